// Right click by a long press: a touch-down is held back until the touch is known to be a
// left touch (it lifted or moved) or a right-button touch (it stayed put for rClickHold ms).
#include <cstdint>
#include <cstring>
#include <ctime>

#include "quilmod.h"

constexpr int FRAME_LEN = 5;
constexpr unsigned char FRAME_TOUCH = 0x01;
constexpr unsigned char FRAME_RIGHT = 0x20;
constexpr int HOLD_DISTANCE_MIN = 8;  // px: a resting finger's jitter must not end the hold
constexpr int AREA_SLACK = 15;        // as in the DESKTOP hold: 2 × dblClickArea − 15

enum HoldPhase {
    HOLD_IDLE,      // no touch
    HOLD_COUNTING,  // touch-down held back, undecided
    HOLD_LEFT,      // decided: a left touch, its frames pass
    HOLD_RIGHT,     // decided: a right-button touch, its frames carry the right button
    HOLD_PASS,      // not held: the option was off at touch-down, or the right button was asked for
};

// One touch at a time, like the one pointer the frames drive.
static struct {
    HoldPhase phase = HOLD_IDLE;
    TouchPanel *panel = nullptr;      // the touch's port; checked against the list before use
    unsigned generation = 0;          // resetCount at touch-down: a reset may free the panel
    unsigned char down[FRAME_LEN]{};  // the held-back touch-down frame
    int x = 0, y = 0;                 // where the finger came down, before the mouse mode
    long long dueMs = 0;              // QlmClock time of the decision
} hold;

int LongPressDistance()
{
    long long d = 2LL * TouchSetting.dblClickArea - AREA_SLACK;
    return d < HOLD_DISTANCE_MIN ? HOLD_DISTANCE_MIN : d > INT32_MAX ? INT32_MAX : (int)d;
}

static bool moved_away(int x, int y)
{
    long long d = LongPressDistance();
    long long dx = (long long)x - hold.x, dy = (long long)y - hold.y;
    return dx > d || -dx > d || dy > d || -dy > d;
}

static void start_touch(TouchPanel *panel, int x, int y, unsigned char *frames, int *len)
{
    const Setting &s = TouchSetting;
    if (s.rClickHold <= 0 || (frames[0] & FRAME_RIGHT)) {
        hold.phase = HOLD_PASS;
        return;
    }
    hold.phase = HOLD_COUNTING;
    hold.panel = panel;
    hold.generation = resetCount;
    memcpy(hold.down, frames, FRAME_LEN);
    hold.x = x;
    hold.y = y;
    hold.dueMs = QlmNowMs() + s.rClickHold;  // a later change of the setting acts on the next touch
    *len = 0;
}

// The touch is a left one: the held touch-down goes out first, then the frame that decided
// it, whose release (a lift) comes at the touch-down point too.
static void decide_left(bool touch, unsigned char *frames, int *len)
{
    hold.phase = touch ? HOLD_LEFT : HOLD_IDLE;
    unsigned char now[FRAME_LEN];
    memcpy(now, frames, FRAME_LEN);
    if (!touch)
        memcpy(now + 1, hold.down + 1, FRAME_LEN - 1);
    memcpy(frames, hold.down, FRAME_LEN);
    memcpy(frames + FRAME_LEN, now, FRAME_LEN);
    *len = 2 * FRAME_LEN;
}

void LongPressFrame(TouchPanel *panel, int x, int y, unsigned char *frames, int *len)
{
    if (*len < FRAME_LEN)
        return;
    const bool touch = frames[0] & FRAME_TOUCH;
    if (hold.phase == HOLD_COUNTING && hold.generation != resetCount)
        hold.phase = HOLD_IDLE;  // a reset came between: what goes on is a touch of its own
    if (hold.phase == HOLD_COUNTING && QlmNowMs() >= hold.dueMs)
        LongPressIfDue();  // its time was up before this frame was read
    switch (hold.phase) {
    case HOLD_IDLE:
        if (touch)
            start_touch(panel, x, y, frames, len);
        return;
    case HOLD_COUNTING:
        if (!touch || moved_away(x, y))
            decide_left(touch, frames, len);
        else
            *len = 0;  // still within reach of the touch-down: nothing yet
        return;
    case HOLD_RIGHT:
        frames[0] |= FRAME_RIGHT;
        break;
    case HOLD_LEFT:
    case HOLD_PASS:
        break;
    }
    if (!touch)
        hold.phase = HOLD_IDLE;
}

// The touch's port is still the record it was: a reset or a closed port ends the touch.
static bool panel_still_open()
{
    if (hold.generation != resetCount)
        return false;
    for (TouchPanel *p = panelList; p; p = p->next)
        if (p == hold.panel)
            return true;
    return false;
}

void LongPressIfDue()
{
    if (hold.phase != HOLD_COUNTING || QlmNowMs() < hold.dueMs)
        return;
    if (!panel_still_open()) {
        hold.phase = HOLD_IDLE;  // nothing of it left the daemon: it is simply forgotten
        return;
    }
    hold.phase = HOLD_RIGHT;
    unsigned char frame[FRAME_LEN];
    memcpy(frame, hold.down, FRAME_LEN);
    frame[0] |= FRAME_RIGHT;
    EmitFrames(hold.panel, frame, FRAME_LEN);
}

const struct timespec *LongPressWaitLimit(struct timespec *left)
{
    if (hold.phase != HOLD_COUNTING)
        return nullptr;
    return QlmTimeLeft(hold.dueMs, left);
}

