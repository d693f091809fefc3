// The translation from data-pipe frames to pointer steps and kernel input events: pure functions
// over the button state, so both backends inject exactly the same thing.
#include <linux/input-event-codes.h>

#include "frames.h"

// The frame's head bits (the frame cutter guarantees the 0x80 mark) and its coordinates:
//   byte 0: 1 0 R 0 0 0 0 T   (R 0x20 right button, T 0x01 finger on the panel)
//   bytes 1-2: x, high byte first; bytes 3-4: y, high byte first
constexpr unsigned char HEAD_TOUCH = 0x01, HEAD_RIGHT = 0x20;

static int clamp(int v, int size)
{
    if (v >= size)
        return size > 0 ? size - 1 : 0;
    return v;
}

static void add(Steps *s, StepKind kind, int x, int y, int button)
{
    s->step[s->count++] = Step{kind, x, y, button};
}

Steps TranslateFrame(Buttons *b, const unsigned char *frame, int width, int height)
{
    Steps s;
    bool touch = frame[0] & HEAD_TOUCH;
    int want = (frame[0] & HEAD_RIGHT) ? BUTTON_RIGHT : BUTTON_LEFT;
    int x = clamp(frame[1] * 256 + frame[2], width), y = clamp(frame[3] * 256 + frame[4], height);
    // A touch while another button is down (a lost release, the flag changing mid-touch):
    // end the old press where it is, before the pointer moves or anything else is pressed.
    if (touch && b->down != BUTTON_NONE && b->down != want) {
        add(&s, STEP_RELEASE, 0, 0, b->down);
        b->down = BUTTON_NONE;
    }
    add(&s, STEP_MOVE, x, y, BUTTON_NONE);
    if (touch && b->down == BUTTON_NONE) {
        add(&s, STEP_PRESS, 0, 0, want);
        b->down = want;
    } else if (!touch && b->down != BUTTON_NONE) {
        add(&s, STEP_RELEASE, 0, 0, b->down);  // whatever is down, whatever the flag says
        b->down = BUTTON_NONE;
    }
    return s;
}

Steps ReleaseAll(Buttons *b)
{
    Steps s;
    if (b->down != BUTTON_NONE)
        add(&s, STEP_RELEASE, 0, 0, b->down);
    b->down = BUTTON_NONE;
    return s;
}

static void event(InputEvents *e, unsigned short type, unsigned short code, int value)
{
    e->ev[e->count++] = InputEvent{type, code, value};
}

// Each group of changes ends with a SYN_REPORT; a release that precedes the motion is its own
// group, so no reader sees the old button dragged to the new position.
InputEvents StepsToEvents(const Steps &steps)
{
    InputEvents e;
    bool open = false;
    for (size_t i = 0; i < steps.count; i++) {
        const Step &st = steps.step[i];
        if (st.kind == STEP_MOVE) {
            if (open)
                event(&e, EV_SYN, SYN_REPORT, 0);
            event(&e, EV_ABS, ABS_X, st.x);
            event(&e, EV_ABS, ABS_Y, st.y);
        } else {
            event(&e, EV_KEY, st.button == BUTTON_RIGHT ? BTN_RIGHT : BTN_LEFT, st.kind == STEP_PRESS);
        }
        open = true;
    }
    if (open)
        event(&e, EV_SYN, SYN_REPORT, 0);
    return e;
}
