// Unit tests of the report pipeline: a record's calibrated frame stays within what a frame can
// carry, and a release always ends the drag delay's hold.
#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <unistd.h>

#include "correct.h"
#include "quilmod.h"

namespace {

using Frame = std::array<unsigned char, 5>;

constexpr unsigned char REC_TOUCH = 1, REC_LIFT = 7;

timeval fakeNow;
void fake_clock(timeval *tv)
{
    *tv = fakeNow;
}

struct Report : testing::Test {
    TouchPanel panel{};
    Setting saved{};
    int savedOuts[2] = {0, 0};
    int readers[2] = {-1, -1};

    void SetUp() override
    {
        saved = TouchSetting;
        savedOuts[0] = fdOuts[0], savedOuts[1] = fdOuts[1];
        for (int k = 0; k < 2; k++) {
            int fds[2];
            ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
            readers[k] = fds[0];
            fdOuts[k] = fds[1];
        }
        TouchSetting = Setting{};
        TouchSetting.dblClickSpeed = 18;
        TouchSetting.dblClickArea = 30;
        TouchSetting.cursorMode = 2;  // neither None nor Display: no xsetroot
        QlmClock = fake_clock;
        panel._25Mode = 4;
        drag_idle();
    }
    void TearDown() override
    {
        drag_idle();
        for (int k = 0; k < 2; k++) {
            close(readers[k]);
            close(fdOuts[k]);
            fdOuts[k] = savedOuts[k];
        }
        TouchSetting = saved;
    }
    static void drag_idle()
    {
        unsigned char f[5] = {0x80, 0, 0, 0, 0};
        CheckFrameForDragDelay(f, 5);
    }
    // Corners at raw (lo, lo) to (hi, hi) on a w × h screen.
    void Calibrate(int lo, int hi, int w, int h)
    {
        panel.mapping = Mapping{};
        panel.mapping.uiULX = lo, panel.mapping.uiULY = lo, panel.mapping.uiURX = hi, panel.mapping.uiURY = lo;
        panel.mapping.uiLLX = lo, panel.mapping.uiLLY = hi, panel.mapping.uiLRX = hi, panel.mapping.uiLRY = hi;
        panel.screen_width_4 = w;
        panel.screen_high_4 = h;
    }
    // One record at raw (x, y) at ms on the clock; the frame both pipes then hold.
    Frame Report1(unsigned char code, int x, int y, long ms)
    {
        fakeNow = {ms / 1000, ms % 1000 * 1000};
        unsigned char rec[8] = {0x55, code, (unsigned char)(x >> 8), (unsigned char)x,
                                (unsigned char)(y >> 8), (unsigned char)y, 0, 0};
        ReportFrame(&panel, rec);
        Frame f[2] = {};
        for (int k = 0; k < 2; k++)
            EXPECT_EQ(read(readers[k], f[k].data(), f[k].size()), 5) << "pipe " << k;
        EXPECT_EQ(f[0], f[1]);
        return f[0];
    }
};

Frame frame_at(unsigned char flags, int x, int y)
{
    return {flags, (unsigned char)(x >> 8), (unsigned char)x, (unsigned char)(y >> 8), (unsigned char)y};
}

}  // namespace

// A calibration file may name a screen wider than 65535 pixels; a frame holds 16 bits, so a
// touch out there is put on the frame's last pixel instead of wrapping round to the left.
TEST_F(Report, PositionsBeyondSixteenBitsStayOnTheFramesLastPixel)
{
    Calibrate(5000, 50000, 100000, 100000);
    const struct {
        int rawX, rawY;
        int x, y;  // 0 = the calibrated value, which fits
    } cases[] = {{60000, 60000, 65535, 65535}, {60000, 5000, 65535, 0}, {5000, 60000, 0, 65535}};
    for (const auto &c : cases) {
        int x = c.rawX, y = c.rawY;
        CalibrationPt(&panel, &x, &y);
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        ASSERT_TRUE(x > 65535 || y > 65535) << "the case must lead beyond 16 bits";
        EXPECT_EQ(Report1(REC_TOUCH, c.rawX, c.rawY, 100000), frame_at(0x81, c.x ? c.x : x, c.y ? c.y : y));
        Report1(REC_LIFT, c.rawX, c.rawY, 100000);
    }
}

// DESKTOP mode with the drag delay: a tap long after a double tap starts where it is touched,
// not where an earlier touch was held. Touches inside the double-click window skip the delay;
// releases never do.
TEST_F(Report, AReleaseEndsTheDragDelaysHold)
{
    Calibrate(40, 760, 800, 800);
    TouchSetting.mode = 1;
    TouchSetting.drag_delay = 18;
    for (long ms : {100000, 100300}) {
        Report1(REC_TOUCH, 100, 100, ms);
        Report1(REC_LIFT, 100, 100, ms + 50);
    }
    int x = 500, y = 400;
    CalibrationPt(&panel, &x, &y);
    EXPECT_EQ(Report1(REC_TOUCH, 500, 400, 200000), frame_at(0x81, x, y));
    Report1(REC_LIFT, 500, 400, 200050);
}
