// The translation from data-pipe frames to pointer steps and kernel input events: pure functions
// over the button and device state, so every device injects exactly the same thing.
#include <linux/input-event-codes.h>

#include "evtranslate.h"
#include "turn.h"

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

// A frame coordinate of the panel's range onto the target span: the edges stay on the edges.
static int place(int v, int range, int origin, int span)
{
    v = clamp(v, range);
    if (range == span)
        return origin + v;
    return origin + (int)((long long)v * span / range);
}

FrameMap WholeScreen(int width, int height)
{
    return FrameMap{width, height, 0, 0, width, height};
}

// A frame's position on the target: scaled onto the monitor's unturned pixels, turned with it.
static Point place_turned(int vx, int vy, const FrameMap &m)
{
    if (m.transform == 0)
        return {place(vx, m.panelWidth, m.x, m.width), place(vy, m.panelHeight, m.y, m.height)};
    const Turn t = TurnOfScreen(m.transform, m.width, m.height);
    const Point s = ScreenOfPanel(t, {place(vx, m.panelWidth, 0, t.panelWidth), place(vy, m.panelHeight, 0, t.panelHeight)});
    return {m.x + s.x, m.y + s.y};
}

static void add(Steps *s, StepKind kind, int x, int y, int button)
{
    s->step[s->count++] = Step{kind, x, y, button};
}

Steps TranslateFrame(Buttons *b, const unsigned char *frame, const FrameMap &m)
{
    Steps s;
    bool touch = frame[0] & HEAD_TOUCH;
    int want = (frame[0] & HEAD_RIGHT) ? BUTTON_RIGHT : BUTTON_LEFT;
    const Point at = place_turned(frame[1] * 256 + frame[2], frame[3] * 256 + frame[4], m);
    const int x = at.x, y = at.y;
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

// ---- kernel events ----

struct Emit {
    InputEvents e;
    bool open[DEVICE_COUNT] = {};  // a report begun on that device, not yet ended
};

static void event(Emit *m, unsigned char dev, unsigned short type, unsigned short code, int value)
{
    m->e.ev[m->e.count++] = InputEvent{dev, type, code, value};
    m->open[dev] = true;
}

static void report(Emit *m, unsigned char dev)
{
    if (m->open[dev])
        m->e.ev[m->e.count++] = InputEvent{dev, EV_SYN, SYN_REPORT, 0};
    m->open[dev] = false;
}

// A press is made where the position says even when the position equals the device's last one:
// the kernel passes on only values that change, so the report that carries a press sets X to a
// neighbour first. Without it the press lands wherever another device left the pointer.
// Positions are pixels until here: each becomes the unit at its pixel's centre.
static void absolute(Emit *m, const Devices *d, unsigned char dev, int x, int y, bool pressing)
{
    int ux = PixelUnit(x, d->sx), uy = PixelUnit(y, d->sy);
    if (pressing)
        event(m, dev, EV_ABS, ABS_X, ux == 0 ? 1 : ux - 1);
    event(m, dev, EV_ABS, ABS_X, ux);
    event(m, dev, EV_ABS, ABS_Y, uy);
}

static void contact(Emit *m, const Devices *d, int x, int y)
{
    event(m, DEVICE_MAIN, EV_ABS, ABS_MT_POSITION_X, PixelUnit(x, d->sx));
    event(m, DEVICE_MAIN, EV_ABS, ABS_MT_POSITION_Y, PixelUnit(y, d->sy));
}

static bool press_follows(const Steps &steps, size_t i)
{
    return i + 1 < steps.count && steps.step[i + 1].kind == STEP_PRESS;
}

// The pointer: motion and the button in one report, a release before the motion in its own,
// so no reader sees the old button dragged to the new position.
static void pointer_step(Emit *m, const Devices *d, const Steps &steps, size_t i)
{
    const Step &st = steps.step[i];
    if (st.kind == STEP_MOVE) {
        report(m, DEVICE_MAIN);
        absolute(m, d, DEVICE_MAIN, st.x, st.y, press_follows(steps, i));
    } else {
        event(m, DEVICE_MAIN, EV_KEY, st.button == BUTTON_RIGHT ? BTN_RIGHT : BTN_LEFT, st.kind == STEP_PRESS);
    }
}

static void touch_down(Emit *m, Devices *d)
{
    event(m, DEVICE_MAIN, EV_ABS, ABS_MT_TRACKING_ID, d->nextId);
    d->nextId = d->nextId == TRACKING_ID_MAX ? 0 : d->nextId + 1;
    contact(m, d, d->x, d->y);
    event(m, DEVICE_MAIN, EV_KEY, BTN_TOUCH, 1);
    absolute(m, d, DEVICE_MAIN, d->x, d->y, false);
    report(m, DEVICE_MAIN);
}

// The touchscreen: one contact in slot 0 for the left button; right-button touches, which no
// touchscreen can say, go to the companion pointer beside it. A contact ends in a report of its
// own, after the one that moved it to where the finger left. The companion moves to the touch
// in a report before the one that presses, so a reader can tell the motion from the press (the
// daemon sends a new companion's first press later, once the desktop has taken its pointer).
static void touch_step(Emit *m, Devices *d, const Step &st)
{
    if (st.kind == STEP_MOVE) {
        d->x = st.x;
        d->y = st.y;
        if (d->down == BUTTON_LEFT) {
            contact(m, d, st.x, st.y);
            absolute(m, d, DEVICE_MAIN, st.x, st.y, false);
        } else if (d->down == BUTTON_RIGHT) {
            absolute(m, d, DEVICE_COMPANION, st.x, st.y, false);
        }
    } else if (st.kind == STEP_PRESS && st.button == BUTTON_LEFT) {
        touch_down(m, d);
    } else if (st.kind == STEP_PRESS) {
        absolute(m, d, DEVICE_COMPANION, d->x, d->y, true);
        report(m, DEVICE_COMPANION);
        event(m, DEVICE_COMPANION, EV_KEY, BTN_RIGHT, 1);
        report(m, DEVICE_COMPANION);
    } else if (st.button == BUTTON_LEFT) {
        report(m, DEVICE_MAIN);
        event(m, DEVICE_MAIN, EV_ABS, ABS_MT_TRACKING_ID, -1);
        event(m, DEVICE_MAIN, EV_KEY, BTN_TOUCH, 0);
        report(m, DEVICE_MAIN);
    } else {
        event(m, DEVICE_COMPANION, EV_KEY, BTN_RIGHT, 0);
        report(m, DEVICE_COMPANION);
    }
    if (st.kind != STEP_MOVE)
        d->down = st.kind == STEP_PRESS ? st.button : BUTTON_NONE;
}

InputEvents StepsToEvents(const Steps &steps, Devices *d)
{
    Emit m;
    for (size_t i = 0; i < steps.count; i++) {
        if (d->personality == DEVICE_POINTER)
            pointer_step(&m, d, steps, i);
        else
            touch_step(&m, d, steps.step[i]);
    }
    report(&m, DEVICE_MAIN);
    report(&m, DEVICE_COMPANION);
    return m.e;
}
