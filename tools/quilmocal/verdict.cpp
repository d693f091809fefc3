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

static void draw_points(const CheckResult &r)
{
    const unsigned long colour = r.pass ? PASS : FAIL;
    for (int k = 0; k < r.measured; ++k) {
        const Point t = r.target[static_cast<size_t>(k)];
        const Point l = {std::clamp(r.landed[static_cast<size_t>(k)].x, 0, CanvasWidth() - 1),
                         std::clamp(r.landed[static_cast<size_t>(k)].y, 0, CanvasHeight() - 1)};
        DrawLine(DONE, {t.x - CHECK_ARM, t.y}, {t.x + CHECK_ARM, t.y}, 1);
        DrawLine(DONE, {t.x, t.y - CHECK_ARM}, {t.x, t.y + CHECK_ARM}, 1);
        DrawLine(colour, t, l, 2);
        DrawDot(colour, l, LANDED_DOT);
    }
}

// The two halves' boxes with their words; the whole half counts, the box only marks it.
static void draw_areas(char *hint, size_t size)
{
    const int w = CanvasWidth(), h = CanvasHeight(), m = w * MARGIN_PERCENT / 100;
    const int top = h * AREA_TOP_PERCENT / 100, height = h * AREA_BOTTOM_PERCENT / 100 - top;
    for (int i = 0; i < 2; ++i) {
        const int left = i == 0 ? m : w / 2 + m;
        DrawBox(AREA, left, top, w / 2 - 2 * m, height, true);
        DrawBox(TEXT, left, top, w / 2 - 2 * m, height, false);
        DrawCentred(TEXT_BODY, CURRENT, left + (w / 2 - 2 * m) / 2, top + (height - TextLineHeight(TEXT_BODY)) / 2,
                    AREA_WORDS[i]);
    }
    snprintf(hint, size, "Touch the left or the right half of the screen (%d s left)", verdict.secondsLeft);
    DrawCentred(TEXT_SMALL, TEXT, w / 2, top - TextLineHeight(TEXT_SMALL) - h / 100, hint);
}

static void draw_verdict()
{
    const CheckResult &r = *verdict.result;
    DrawClear();
    draw_points(r);
    const int x = CanvasWidth() / 2;
    char title[64], numbers[160], hint[200];
    snprintf(title, sizeof title, "%s", r.pass ? "Calibration passed" : "Check failed");
    snprintf(numbers, sizeof numbers, "Largest error %.1f px, mean %.1f px (at most %.1f px passes)", r.worst,
             r.mean, r.allowed);
    int y = DrawCentred(TEXT_LARGE, r.pass ? PASS : FAIL, x, CanvasHeight() / 24, title);
    DrawCentred(TEXT_BODY, TEXT, x, y, numbers);
    if (verdict.choose) {
        draw_areas(hint, sizeof hint);
    } else {
        snprintf(hint, sizeof hint, "Touch the screen to finish (%d s)", verdict.secondsLeft);
        DrawCentred(TEXT_BODY, TEXT, x, CanvasHeight() * 7 / 8, hint);
    }
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
        r = watchFd >= 0 ? WaitReadable(s, watchFd, end, &timedOut) : 0;
    }
}

// Touches on the shared port until one lands on a half; FINISH when none comes in time.
static Choice wait_choice(Session *s, const Options &o, const Calibration &c)
{
    Share sh;
    if (!RawBegin(&sh, o.device))
        return FINISH;
    puts("choose: the left half calibrates again, the right half restores the previous calibration");
    const HoldRule any;
    Choice choice = FINISH;
    for (;;) {
        TouchResult tr;
        bool timedOut;
        Point at;
        if (SampleTouch(s, &sh, any, o.timeout, &tr, &timedOut) != 1)
            break;
        if (ScreenOfRaw(c, tr.settled.median, &at)) {
            choice = ChoiceAt(at, CanvasWidth());
            break;
        }
    }
    RawEnd();
    Point click;
    if (choice == FINISH && ScreenTakeClick(&click))
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
