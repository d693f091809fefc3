// quilmocal's verdict screen: passed or failed in large words, the largest and mean error, the
// check points drawn where they landed; a pass ends on a touch or after a few seconds, a failed
// check offers two halves of the screen, "calibrate again" and "restore the previous", told apart
// from the raw positions by the calibration's own targets, so they work when the new files do not.
#include <algorithm>
#include <cstdio>

#include "draw.h"

constexpr long PASS_SHOWN_S = 5;   // a pass closes by itself after this
constexpr int CHECK_ARM = 10;
constexpr int LANDED_DOT = 6;
constexpr int AREA_TOP_PERCENT = 82;   // the touch areas' boxes: the bottom of the screen
constexpr int AREA_BOTTOM_PERCENT = 97;
constexpr int MARGIN_PERCENT = 3;
constexpr const char *AREA_WORDS[2] = {"Calibrate again", "Restore previous"};  // left, right

namespace {

struct VerdictView {
    const CheckResult *result;
    bool choose;       // the two touch areas, else "touch to finish"
    int secondsLeft;
};

}  // namespace

static VerdictView verdict;

Choice ChoiceAt(Point p, int width)
{
    return p.x < width / 2 ? CALIBRATE_AGAIN : RESTORE_PREVIOUS;
}

static int highest_check()
{
    int y = CanvasHeight();
    for (Point t : verdict.result->target)
        y = std::min(y, ScreenOfPanel(shownTurn, t).y);
    return y;
}

static int lowest_check(int height)
{
    int y = 0;
    for (Point t : verdict.result->target)
        y = std::max(y, ScreenOfPanel(shownTurn, t).y);
    return std::min(y, height);
}

static void draw_points(const CheckResult &r)
{
    const unsigned long colour = r.pass ? PASS : FAIL;
    for (int k = 0; k < r.measured; ++k) {
        const Point t = ScreenOfPanel(shownTurn, r.target[static_cast<size_t>(k)]);
        const Point landed = ScreenOfPanel(shownTurn, r.landed[static_cast<size_t>(k)]);
        const Point l = {std::clamp(landed.x, 0, CanvasWidth() - 1), std::clamp(landed.y, 0, CanvasHeight() - 1)};
        DrawLine(DONE, {t.x - CHECK_ARM, t.y}, {t.x + CHECK_ARM, t.y}, 1);
        DrawLine(DONE, {t.x, t.y - CHECK_ARM}, {t.x, t.y + CHECK_ARM}, 1);
        DrawLine(colour, t, l, 2);
        DrawDot(colour, l, LANDED_DOT);
    }
}

// The two halves' boxes with their words, and above them what to do; the whole half counts,
// the box only marks it.
static void draw_areas(char *hint, size_t size)
{
    const int w = CanvasWidth(), h = CanvasHeight(), m = w * MARGIN_PERCENT / 100;
    const int top = h * AREA_TOP_PERCENT / 100, height = h * AREA_BOTTOM_PERCENT / 100 - top;
    for (int i = 0; i < 2; ++i) {
        const int left = i == 0 ? m : w / 2 + m;
        DrawBox(AREA, left, top, w / 2 - 2 * m, height, true);
        DrawBox(TEXT, left, top, w / 2 - 2 * m, height, false);
        const TextLine words = {TEXT_BODY, CURRENT, AREA_WORDS[i]};
        DrawTextBlock(&words, 1, {left + m, top + 2, w / 2 - 4 * m, height - 4}, true, AREA);
    }
    snprintf(hint, size, "Touch the left or the right half of the screen. With no answer in %d s the previous "
             "calibration comes back", verdict.secondsLeft);
    const int below = lowest_check(h) + CHECK_ARM + LANDED_DOT + 2;
    const TextLine line = {TEXT_SMALL, TEXT, hint};
    DrawTextBlock(&line, 1, {m, below, w - 2 * m, top - below - 2}, true);
}

static void draw_verdict()
{
    const CheckResult &r = *verdict.result;
    DrawClear();
    const int w = CanvasWidth(), h = CanvasHeight(), m = std::max(2, w * MARGIN_PERCENT / 100);
    char title[64], numbers[160], hint[200];
    snprintf(title, sizeof title, "%s", r.pass ? "Calibration passed" : "Check failed");
    snprintf(numbers, sizeof numbers, "Largest error %.1f px, mean %.1f px (at most %.1f px passes)", r.worst,
             r.mean, r.allowed);
    // The words above the highest check point, clear of its cross and of where it landed.
    const std::array<TextLine, 2> head = {{{TEXT_LARGE, r.pass ? PASS : FAIL, title}, {TEXT_BODY, TEXT, numbers}}};
    const int band = highest_check() - CHECK_ARM - LANDED_DOT - 2 - m;
    DrawTextBlock(head.data(), 2, {m, m, w - 2 * m, band});
    if (verdict.choose) {
        draw_areas(hint, sizeof hint);
    } else {
        snprintf(hint, sizeof hint, "Touch the screen to finish (%d s)", verdict.secondsLeft);
        const int below = lowest_check(h) + CHECK_ARM + LANDED_DOT + 2;
        const TextLine line = {TEXT_BODY, TEXT, hint};
        DrawTextBlock(&line, 1, {m, below, w - 2 * m, h - m - below}, true);
    }
    draw_points(r);
    char text[600];
    snprintf(text, sizeof text, "%s\n%s\n%s%s%s%s%s", title, numbers, hint, verdict.choose ? "\n" : "",
             verdict.choose ? AREA_WORDS[0] : "", verdict.choose ? " | " : "", verdict.choose ? AREA_WORDS[1] : "");
    DrawSetText(text);
    DrawPresent();
}

static void tick(const HoldState &h)
{
    if (h.secondsLeft == verdict.secondsLeft)
        return;
    verdict.secondsLeft = h.secondsLeft;
    draw_verdict();
}

// A touch (any frame on watchFd), a click, Escape, or the time running out ends it.
static void wait_finish(Session *s, int watchFd, long seconds)
{
    const long long end = NowMs() + seconds * 1000;
    bool timedOut;
    for (int r = 2; r == 2;) {
        HoldState h{};
        h.secondsLeft = (MsUntil(end) + 999) / 1000;
        tick(h);
        r = watchFd >= 0 ? WaitReadable(s, watchFd, end, NextSecond(NowMs(), end), &timedOut) : 0;
    }
}

// Touches on the shared port until one lands on a half; NO_ANSWER when none comes in time (or
// the run is cancelled or interrupted first).
static Choice wait_choice(Session *s, const Options &o, const Calibration &c)
{
    Share sh;
    if (!RawBegin(&sh, o.device))
        return NO_ANSWER;
    puts("choose: the left half calibrates again, the right half restores the previous calibration");
    const HoldRule any;
    Choice choice = NO_ANSWER;
    for (;;) {
        TouchResult tr;
        bool timedOut;
        Point at;
        if (SampleTouch(s, &sh, any, o.timeout, &tr, &timedOut) != 1)
            break;
        if (ScreenOfRaw(c, tr.settled.median, &at)) {
            choice = ChoiceAt(ScreenOfPanel(shownTurn, at), CanvasWidth());
            break;
        }
    }
    RawEnd();
    Point click;
    if (choice == NO_ANSWER && ScreenTakeClick(&click))
        choice = ChoiceAt(click, CanvasWidth());
    return choice;
}

Choice VerdictShow(Session *s, const Options &o, const CheckResult &r, const Calibration *c, int watchFd)
{
    if (!ScreenShown())
        return FINISH;
    verdict = {&r, !r.pass && c != nullptr, -1};
    ScreenWantClicks(true);
    onHold = tick;
    Choice choice = FINISH;
    if (verdict.choose)
        choice = wait_choice(s, o, *c);
    else
        wait_finish(s, watchFd, r.pass ? PASS_SHOWN_S : o.timeout);
    onHold = nullptr;
    ScreenWantClicks(false);
    return choice;
}
