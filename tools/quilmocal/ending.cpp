// quilmocal's last screen: every run ends by showing what happened and which calibration is in
// force now, for a moment the person at the screen can read it in, however the run ended.
#include <poll.h>

#include <array>
#include <cstdio>

#include "draw.h"

constexpr long long ENDING_SHOWN_MS = 2000;
constexpr int MARGIN_PERCENT = 5;

Ending Ended(EndingKind kind, bool written)
{
    switch (kind) {
    case END_PASSED: return {"Calibration passed", PASS, "The new calibration is in force"};
    case END_CHECK_PASSED: return {"Check passed", PASS, "The calibration in force stays"};
    case END_CHECK_FAILED:
        return {"Check failed", FAIL, "The calibration in force stays: calibrate again to mend it"};
    case END_RESTORED:
        return {"Previous calibration restored", WARN, "The calibration from before this run is in force"};
    case END_NO_ANSWER:
        return {"No answer: previous calibration restored", WARN,
                "The calibration from before this run is in force"};
    case END_AGAIN:
        return {"Calibrating again", TEXT, "The calibration from before this run is in force until the new one is written"};
    case END_CANCELLED: break;
    case END_TIMED_OUT: break;
    case END_DAEMON_GONE: break;
    case END_FAILED: break;
    }
    const char *what = kind == END_CANCELLED    ? "Calibration cancelled"
                       : kind == END_TIMED_OUT   ? "No touch in time: calibration ended"
                       : kind == END_DAEMON_GONE ? "quilmod stopped: calibration ended"
                                                 : "Calibration ended by an error";
    return {what, WARN, written ? "The new calibration is written but not checked: it stays in force"
                                : "Nothing written: the calibration from before this run stays in force"};
}

void ShowEnding(const Ending &e)
{
    if (!ScreenShown() || !CanvasReady())
        return;
    DrawClear();
    const int w = CanvasWidth(), h = CanvasHeight(), m = w * MARGIN_PERCENT / 100;
    const std::array<TextLine, 2> lines = {{{TEXT_LARGE, e.colour, e.what}, {TEXT_BODY, TEXT, e.inForce}}};
    DrawTextBlock(lines.data(), 2, {m, m, w - 2 * m, h - 2 * m}, true);
    char text[400];
    snprintf(text, sizeof text, "%s\n%s", e.what, e.inForce);
    DrawSetText(text);
    DrawPresent();
    // Shown for its time: the display's events (an Expose) are served, a signal cuts it short.
    const long long end = NowMs() + ENDING_SHOWN_MS;
    while (!stopRequested && MsUntil(end) > 0) {
        struct pollfd p = {ScreenFd(), POLLIN, 0};
        poll(&p, 1, MsUntil(end));
        ScreenCancelled();
    }
}
