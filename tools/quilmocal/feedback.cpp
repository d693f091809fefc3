// quilmocal's target screen: the crosshair in a circle at the current target (its centre is the
// target pixel), the earlier targets dimmed, and what the person at the screen needs while
// touching: a ring that fills while the finger holds still (amber while it strays), why the
// last touch was not taken, the time left, and the long hold that cancels.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "draw.h"

constexpr int MIN_RING = 24;       // circle radius around the target
constexpr int RING_DIVISOR = 32;   // of the shorter side, on larger screens
constexpr int DIM_ARM = 8;         // the dimmed cross of a target already measured
constexpr int LINE = 3;            // the current cross and circle; odd, so the centre pixel is on it
constexpr int HOLD_WIDTH = 6;      // the hold ring, just outside the circle
constexpr int FILL_STEPS = 24;     // the ring is redrawn when it grows by a step
constexpr long long WARN_HOLD_MS = CANCEL_HOLD_MS / 2;  // from here on the hold counts down to cancel
constexpr int TEXT_ROW_EIGHTHS = 3;  // text about 3/8 (or 5/8) down, clear of the current target

namespace {

// What the screen shows, and what of the touch was last drawn (to redraw only on a change).
struct TargetView {
    std::array<Point, MAX_TARGETS> done{};
    int ndone = 0;
    Point current{};
    char progress[64] = "", help[200] = "", message[200] = "";
    HoldState hold{};
};

struct Drawn {
    int fill, seconds, cancelSeconds;
    bool down, steady, cancelling;
    bool operator==(const Drawn &) const = default;
};

}  // namespace

static TargetView view;
static long fillSamples = 8;
static Drawn drawn{-1, -1, -1, false, false, false};

static int ring()
{
    return std::max(MIN_RING, std::min(CanvasWidth(), CanvasHeight()) / RING_DIVISOR);
}

void FeedbackRule(long samples)
{
    fillSamples = std::max(1L, samples);
}

static Drawn drawn_of(const HoldState &h)
{
    const long fill = std::min<long>(FILL_STEPS, h.count * FILL_STEPS / fillSamples);
    const long long left = CANCEL_HOLD_MS - h.heldMs;
    const int cancelSeconds = h.down && h.heldMs >= WARN_HOLD_MS ? static_cast<int>((left + 999) / 1000) : -1;
    return {h.down ? static_cast<int>(fill) : 0, h.secondsLeft, cancelSeconds, h.down, h.steady, h.cancelling};
}

static void cross(unsigned long rgb, Point p, int arm, int thickness)
{
    DrawLine(rgb, {p.x - arm, p.y}, {p.x + arm, p.y}, thickness);
    DrawLine(rgb, {p.x, p.y - arm}, {p.x, p.y + arm}, thickness);
}

static void draw_target(const Drawn &d)
{
    const Point t = view.current;
    const int r = ring(), hold = r + LINE + HOLD_WIDTH;
    DrawCircle(DONE, t, hold, HOLD_WIDTH);
    const unsigned long fill = d.cancelling ? FAIL : d.steady ? HOLD : WARN;
    DrawArc(fill, t, hold, HOLD_WIDTH, d.cancelling ? 1.0 : double(d.fill) / FILL_STEPS);
    DrawCircle(CURRENT, t, r, LINE);
    cross(CURRENT, t, r * 3 / 2, LINE);
}

// The line under the instructions: what the finger should do now, else the time left.
static void status_line(const Drawn &d, char *out, size_t size)
{
    if (d.cancelling)
        snprintf(out, size, "Lift your finger to cancel");
    else if (d.cancelSeconds >= 0)
        snprintf(out, size, "Keep holding %d s more to cancel", d.cancelSeconds);
    else if (d.down && d.fill >= FILL_STEPS && d.steady)
        snprintf(out, size, "Lift your finger");
    else
        snprintf(out, size, "%d s left - hold anywhere %lld s (or press Escape) to cancel", d.seconds,
                 CANCEL_HOLD_MS / 1000);
}

// The top of a text block of height h: about 3/8 down, or 5/8 when the target is in the upper
// half, and always clear of the current target's rings.
static int text_top(int h)
{
    const int clear = ring() * 2 + HOLD_WIDTH, height = CanvasHeight(), t = view.current.y;
    if (t < height / 2)
        return std::max(height * (8 - TEXT_ROW_EIGHTHS) / 8 - h / 2, t + clear);
    return std::max(0, std::min(height * TEXT_ROW_EIGHTHS / 8 - h / 2, t - clear - h));
}

static void redraw(const Drawn &d)
{
    DrawClear();
    for (int i = 0; i < view.ndone; ++i)
        cross(DONE, view.done[static_cast<size_t>(i)], DIM_ARM, 1);
    draw_target(d);
    char status[120];
    status_line(d, status, sizeof status);
    const int x = CanvasWidth() / 2;
    const bool message = view.message[0] != '\0';
    int y = text_top(TextLineHeight(TEXT_BODY) * (message ? 2 : 1) + TextLineHeight(TEXT_SMALL) * 2);
    y = DrawCentred(TEXT_BODY, TEXT, x, y, view.progress);
    y = DrawCentred(TEXT_SMALL, TEXT, x, y, view.help);
    if (message)
        y = DrawCentred(TEXT_BODY, WARN, x, y, view.message);
    DrawCentred(TEXT_SMALL, d.cancelling || d.cancelSeconds >= 0 ? WARN : TEXT, x, y, status);
    char text[600];
    snprintf(text, sizeof text, "%s\n%s\n%s%s%s", view.progress, view.help, view.message, message ? "\n" : "",
             status);
    DrawSetText(text);
    DrawPresent();
    drawn = d;
}

void ScreenShow(const Point *done, int ndone, Point current, const char *progress, const char *help)
{
    view.ndone = std::min(ndone, MAX_TARGETS);
    std::copy(done, done + view.ndone, view.done.begin());
    view.current = current;
    if (strcmp(view.progress, progress) != 0)
        view.message[0] = '\0';  // another target: the reason was about the last one
    snprintf(view.progress, sizeof view.progress, "%s", progress);
    snprintf(view.help, sizeof view.help, "%s", help);
    view.hold = {};
    if (ScreenShown())
        redraw(drawn_of(view.hold));
}

void FeedbackRejected(const char *message)
{
    snprintf(view.message, sizeof view.message, "%s", message);
}

void FeedbackHold(const HoldState &h)
{
    if (h.down && !view.hold.down)
        view.message[0] = '\0';  // a new touch: the last one's reason has been read
    view.hold = h;
    const Drawn d = drawn_of(h);
    if (ScreenShown() && !(d == drawn))
        redraw(d);
}
