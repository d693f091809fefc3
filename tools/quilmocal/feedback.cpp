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
constexpr int MARGIN_PERCENT = 3;    // of the width, left clear at either side of the text

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
    int cancelFill = 0;   // steps of the cancel ring at the finger
    Point finger{};       // where the cancel ring is drawn
    bool operator==(const Drawn &) const = default;
};

}  // namespace

static TargetView view;
static long fillSamples = 8;
static Drawn drawn{-1, -1, -1, false, false, false};
bool (*fingerOnScreen)(Point position, Point *screen);

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
    Drawn d = {h.down ? static_cast<int>(fill) : 0, h.secondsLeft, cancelSeconds, h.down, h.steady, h.cancelling};
    if (cancelSeconds < 0 && !h.cancelling)
        return d;
    const long long into = std::clamp(h.heldMs - WARN_HOLD_MS, 0LL, CANCEL_HOLD_MS - WARN_HOLD_MS);
    d.cancelFill = h.cancelling ? FILL_STEPS : static_cast<int>(into * FILL_STEPS / (CANCEL_HOLD_MS - WARN_HOLD_MS));
    // At the finger where its position tells the screen's pixel, else around the target.
    if (!h.hasLast || !fingerOnScreen || !fingerOnScreen(h.last, &d.finger))
        d.finger = view.current;
    d.finger.x = std::clamp(d.finger.x, 0, CanvasWidth() - 1);
    d.finger.y = std::clamp(d.finger.y, 0, CanvasHeight() - 1);
    return d;
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
    DrawArc(d.steady ? HOLD : WARN, t, hold, HOLD_WIDTH, double(d.fill) / FILL_STEPS);
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

// The text's box: about 3/8 down, or 5/8 when the target is in the upper half, always clear of
// the current target's rings, as wide as the window less its margins; height is the block's.
static Area text_box(int height)
{
    const int w = CanvasWidth(), h = CanvasHeight(), m = std::max(2, w * MARGIN_PERCENT / 100);
    const int clear = ring() * 2 + HOLD_WIDTH, t = view.current.y;
    if (t < h / 2) {
        const int top = std::max(h * (8 - TEXT_ROW_EIGHTHS) / 8 - height / 2, t + clear);
        return {m, top, w - 2 * m, std::max(0, h - m - top)};
    }
    const int bottom = std::min(h * TEXT_ROW_EIGHTHS / 8 + height / 2, t - clear);
    const int top = std::max(m, bottom - height);
    return {m, top, w - 2 * m, std::max(0, bottom - top)};
}

// The long hold that cancels, at the finger: a ring that fills amber, red once a lift cancels.
static void draw_cancel(const Drawn &d)
{
    if (d.cancelSeconds < 0 && !d.cancelling)
        return;
    const int radius = ring() * 2 + HOLD_WIDTH;
    DrawCircle(DONE, d.finger, radius, HOLD_WIDTH);
    DrawArc(d.cancelling ? FAIL : WARN, d.finger, radius, HOLD_WIDTH, double(d.cancelFill) / FILL_STEPS);
}

static void redraw(const Drawn &d)
{
    DrawClear();
    char status[120];
    status_line(d, status, sizeof status);
    const bool message = view.message[0] != '\0';
    const unsigned long statusColour = d.cancelling || d.cancelSeconds >= 0 ? WARN : TEXT;
    std::array<TextLine, 4> lines = {{{TEXT_BODY, TEXT, view.progress}, {TEXT_SMALL, TEXT, view.help},
                                      {TEXT_BODY, WARN, view.message}, {TEXT_SMALL, statusColour, status}}};
    if (!message)
        lines[2] = lines[3];
    const int n = message ? 4 : 3;
    DrawTextBlock(lines.data(), n, text_box(TextBlockHeight(lines.data(), n, CanvasWidth() * (100 - 2 * MARGIN_PERCENT) / 100)));
    for (int i = 0; i < view.ndone; ++i)
        cross(DONE, view.done[static_cast<size_t>(i)], DIM_ARM, 1);
    draw_target(d);
    draw_cancel(d);
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
    drawn = {-1, -1, -1, false, false, false};  // drawn by the wait's first report, with its time left
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
