// Mouse-mode output frames: DESKTOP snapping and holding, the drag delay, the right button.
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "quilmod.h"

/*
 * Output frame, 5 bytes, x and y big-endian screen pixels:
 *
 *   +-------+------+------+------+------+
 *   | flags | x hi | x lo | y hi | y lo |
 *   +-------+------+------+------+------+
 *   flags: 0x80 always, 0x01 finger on, 0x20 right button.
 *   0x81 touch, 0x80 release, 0xA1 right touch, 0xA0 right release.
 */

constexpr int FRAME_LEN = 5;
constexpr unsigned char FRAME_ALWAYS = 0x80;
constexpr unsigned char FRAME_TOUCH = 0x01;
constexpr unsigned char FRAME_RIGHT = 0x20;
constexpr unsigned char FRAME_TOUCH_LEFT = FRAME_ALWAYS | FRAME_TOUCH;  // 0x81
constexpr int RIGHT_BUTTON = 3;

constexpr int64_t USEC_PER_SEC = 1000000;
constexpr int64_t DBLCLICK_STEP_USEC = 50000;   // one dblClickSpeed step
constexpr int64_t DBLCLICK_BASE_USEC = 100000;  // added to every window
// No window can span this many seconds (int dblClickSpeed × 50 ms is below 1.1e8 s).
constexpr int64_t WINDOW_MAX_SEC = INT64_C(1) << 28;
constexpr int SNAP_AREA_SHIFT = 19;  // the snap tolerance is dblClickArea × 2^19 + 15
constexpr int64_t AREA_SLACK = 15;

static void monotonic_clock(struct timeval *tv)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

void (*QlmClock)(struct timeval *tv) = monotonic_clock;

long long QlmNowMs()
{
    struct timeval tv;
    QlmClock(&tv);
    return (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

const struct timespec *QlmTimeLeft(long long dueMs, struct timespec *left)
{
    long long ms = dueMs - QlmNowMs();
    if (ms < 0)
        ms = 0;
    *left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    return left;
}

// True time from the start of the previous touch to the start of this one, in
// microseconds of a clock that never jumps: quick taps within one second count
// as well as taps across a second boundary.
int InDoubleClickWindow()
{
    const timeval &now = TouchSetting.thisTime;
    const timeval &prev = TouchSetting.prevTime;
    int64_t dsec;
    if (__builtin_sub_overflow((int64_t)now.tv_sec, (int64_t)prev.tv_sec, &dsec) ||
        dsec < -WINDOW_MAX_SEC || dsec > WINDOW_MAX_SEC)
        return 0;
    int64_t dusec = dsec * USEC_PER_SEC + ((int64_t)now.tv_usec - (int64_t)prev.tv_usec);
    int64_t window = (int64_t)TouchSetting.dblClickSpeed * DBLCLICK_STEP_USEC + DBLCLICK_BASE_USEC;
    return dusec >= 0 && dusec < window;
}

// 64-bit so that any dblClickArea stays defined; 32-bit wrapped from 4096 up.
static bool near_old(int x, int y, int64_t tol)
{
    const Setting &s = TouchSetting;
    return (int64_t)s.oldx - x <= tol && (int64_t)x - s.oldx <= tol &&
           (int64_t)s.oldy - y <= tol && (int64_t)y - s.oldy <= tol;
}

static void first_frame(int *x, int *y)
{
    Setting &s = TouchSetting;
    s.count = 1;
    QlmClock(&s.thisTime);
    int64_t snap_tol = (int64_t)s.dblClickArea * (INT64_C(1) << SNAP_AREA_SHIFT) + AREA_SLACK;
    if (InDoubleClickWindow() && near_old(*x, *y, snap_tol)) {
        *x = s.oldx;
        *y = s.oldy;
    }
}

static void later_frame(bool touch, int *x, int *y)
{
    Setting &s = TouchSetting;
    if (s.count <= s.dblClickSpeed) {
        int64_t hold_tol = (int64_t)s.dblClickArea * 2 - AREA_SLACK;
        if (near_old(*x, *y, hold_tol)) {
            s.count++;
            *x = s.oldx;
            *y = s.oldy;
        } else {
            s.count = s.dblClickSpeed + 1;  // the hold is over for this touch
        }
    }
    if (!touch) {
        s.count = 0;
        s.prevTime = s.thisTime;
    }
}

void GenFrameWithMouseMode(TouchPanel *panel, unsigned char head, int x, int y,
                           unsigned char *dest, int *len)
{
    Setting &s = TouchSetting;
    const bool touch = head == 1 || head == 3;

    if (s.mode) {
        if (s.count <= 0)
            first_frame(&x, &y);
        else
            later_frame(touch, &x, &y);
    }
    s.oldx = x;
    s.oldy = y;

    dest[0] = touch ? FRAME_TOUCH_LEFT : FRAME_ALWAYS;
    dest[1] = (unsigned char)(x / 256);
    dest[2] = (unsigned char)(x % 256);
    dest[3] = (unsigned char)(y / 256);
    dest[4] = (unsigned char)(y % 256);
    *len = FRAME_LEN;

    s.touched = touch;
    panel->touched = touch;

    if (s.thisButton == RIGHT_BUTTON)
        for (int f = 0; f < *len; f += FRAME_LEN)
            dest[f] |= FRAME_RIGHT;

    if (!touch) {
        if (RClickPid && s.thisButton == RIGHT_BUTTON)
            PipeWrite(MsgPipe[1], "OK\n", 3);  // the right-button touch is over
        s.thisButton = s.nextButton;  // a right-button request covers one touch
        s.nextButton = 1;
    }
}

// Drag delay: one state for the whole daemon, like the one pointer.
void CheckFrameForDragDelay(unsigned char *frame, int)
{
    static unsigned char fist_touch_frame[FRAME_LEN];
    static unsigned char fist_touch_flag = 0;
    static unsigned int touch_count = 0;
    // 64-bit: drag_delay × 8 overflowed int for large configured values.
    const int64_t hold_frames = (int64_t)TouchSetting.drag_delay * 4;
    const int64_t count_limit = (int64_t)TouchSetting.drag_delay * 8;

    if (frame[0] == FRAME_TOUCH_LEFT && !fist_touch_flag) {
        fist_touch_flag = 1;
        memcpy(fist_touch_frame, frame, FRAME_LEN);
    }
    if (touch_count != 0 && (int64_t)touch_count < hold_frames) {
        if (frame[0] != FRAME_TOUCH_LEFT)
            fist_touch_frame[0] = FRAME_ALWAYS;  // release at the first position
        memcpy(frame, fist_touch_frame, FRAME_LEN);
    }
    if (frame[0] == FRAME_TOUCH_LEFT) {
        if ((int64_t)touch_count < count_limit && touch_count < UINT_MAX)
            touch_count++;
        return;
    }
    touch_count = 0;
    fist_touch_flag = 0;
}
