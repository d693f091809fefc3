// Unit tests of mouse-mode frames: frame bytes, right button, DESKTOP snap and hold, drag delay.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quilmod.h"

namespace {

using Frame = std::array<unsigned char, 5>;

struct timeval fakeNow;
int clockReads;

void fake_clock(struct timeval *tv)
{
    *tv = fakeNow;
    clockReads++;
}

void set_now(long sec, long usec)
{
    fakeNow.tv_sec = sec;
    fakeNow.tv_usec = usec;
}

struct MouseMode : testing::Test {
    TouchPanel panel{};
    Setting saved{};
    int savedPid = 0;
    int savedPipe[2] = {-1, -1};

    void SetUp() override
    {
        saved = TouchSetting;
        savedPid = RClickPid;
        memcpy(savedPipe, MsgPipe, sizeof savedPipe);
        TouchSetting = Setting{};
        TouchSetting.dblClickSpeed = 18;
        TouchSetting.dblClickArea = 30;
        TouchSetting.drag_delay = 18;
        RClickPid = 0;
        QlmClock = fake_clock;
        clockReads = 0;
        set_now(5000, 0);
        drag_idle();
    }
    void TearDown() override
    {
        TouchSetting = saved;
        RClickPid = savedPid;
        memcpy(MsgPipe, savedPipe, sizeof savedPipe);
        drag_idle();
    }

    Frame gen(unsigned char head, int x, int y)
    {
        Frame f{};
        unsigned char dest[30];
        int len = 0;
        GenFrameWithMouseMode(&panel, head, x, y, dest, &len);
        EXPECT_EQ(len, 5);
        memcpy(f.data(), dest, f.size());
        return f;
    }
    Frame touch(int x, int y) { return gen(1, x, y); }
    Frame lift(int x, int y) { return gen(7, x, y); }

    // Any frame whose first byte is not 0x81 returns the drag delay to idle.
    static void drag_idle()
    {
        unsigned char f[5] = {0x80, 0, 0, 0, 0};
        CheckFrameForDragDelay(f, 5);
    }
    // One DESKTOP tap: touch-down and release at one place, starting at the given time.
    void tap(long sec, long usec, int x, int y)
    {
        set_now(sec, usec);
        touch(x, y);
        lift(x, y);
    }
};

Frame frame_at(unsigned char flags, int x, int y)
{
    return {flags, (unsigned char)(x / 256), (unsigned char)(x % 256), (unsigned char)(y / 256),
            (unsigned char)(y % 256)};
}

}  // namespace

TEST_F(MouseMode, DrawingPassesPositions)
{
    EXPECT_EQ(touch(1000, 600), (Frame{0x81, 0x03, 0xE8, 0x02, 0x58}));
    EXPECT_EQ(TouchSetting.touched, 1);
    EXPECT_EQ(panel.touched, 1);
    EXPECT_EQ(touch(1001, 600), frame_at(0x81, 1001, 600));
    EXPECT_EQ(lift(1000, 600), (Frame{0x80, 0x03, 0xE8, 0x02, 0x58}));
    EXPECT_EQ(TouchSetting.touched, 0);
    EXPECT_EQ(panel.touched, 0);
    EXPECT_EQ(TouchSetting.oldx, 1000);
    EXPECT_EQ(TouchSetting.oldy, 600);
    EXPECT_EQ(clockReads, 0);  // the clock is for DESKTOP touches only
}

TEST_F(MouseMode, NoRightBitBeforeFirstRelease)
{
    EXPECT_EQ(touch(10, 20)[0], 0x81);
    EXPECT_EQ(lift(10, 20)[0], 0x80);
    EXPECT_EQ(TouchSetting.thisButton, 0);  // the start value of nextButton
    EXPECT_EQ(TouchSetting.nextButton, 1);
}

TEST_F(MouseMode, RightButtonTouchTellsTool)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    MsgPipe[0] = fds[0];
    MsgPipe[1] = fds[1];
    TouchSetting.thisButton = 3;
    TouchSetting.nextButton = 3;  // a second right touch was requested meanwhile
    char got[8];

    EXPECT_EQ(lift(5, 5)[0], 0xA0);
    EXPECT_EQ(read(fds[0], got, sizeof got), -1);  // no tool, no message

    RClickPid = 4242;
    EXPECT_EQ(touch(1000, 600), (Frame{0xA1, 0x03, 0xE8, 0x02, 0x58}));
    EXPECT_EQ(read(fds[0], got, sizeof got), -1);  // nothing while the touch lasts
    EXPECT_EQ(lift(1000, 600), (Frame{0xA0, 0x03, 0xE8, 0x02, 0x58}));
    ASSERT_EQ(read(fds[0], got, sizeof got), 3);
    EXPECT_EQ(0, memcmp(got, "OK\n", 3));
    EXPECT_EQ(TouchSetting.thisButton, 1);
    EXPECT_EQ(TouchSetting.nextButton, 1);

    EXPECT_EQ(lift(1000, 600)[0], 0x80);
    EXPECT_EQ(read(fds[0], got, sizeof got), -1);  // left release: no message
    close(fds[0]);
    close(fds[1]);
}

TEST_F(MouseMode, DesktopHoldNearTouchDown)
{
    TouchSetting.mode = 1;
    EXPECT_EQ(touch(500, 500), frame_at(0x81, 500, 500));
    EXPECT_EQ(touch(540, 500), frame_at(0x81, 500, 500));
    EXPECT_EQ(touch(545, 455), frame_at(0x81, 500, 500));  // 45 is still near
    EXPECT_EQ(touch(546, 500), frame_at(0x81, 546, 500));
    EXPECT_EQ(touch(500, 500), frame_at(0x81, 500, 500));  // free now, even back near
    EXPECT_EQ(touch(510, 500), frame_at(0x81, 510, 500));
    EXPECT_EQ(clockReads, 1);
}

TEST_F(MouseMode, DesktopHoldLastsEighteenFrames)
{
    TouchSetting.mode = 1;
    touch(300, 300);
    for (int frame = 2; frame <= 19; frame++)
        EXPECT_EQ(touch(310, 310), frame_at(0x81, 300, 300)) << "frame " << frame;
    EXPECT_EQ(touch(310, 310), frame_at(0x81, 310, 310));
    EXPECT_EQ(lift(311, 311), frame_at(0x80, 311, 311));
    EXPECT_EQ(TouchSetting.count, 0);
}

TEST_F(MouseMode, DoubleClickWindowBounds)
{
    struct Case {
        long psec, pusec, sec, usec;
        int in;
    } cases[] = {
        {1000, 900000, 1001, 300000, 1},  // across a second boundary
        {1000, 100000, 1000, 400000, 1},  // inside one second
        {1000, 0, 1000, 999999, 1},
        {1000, 0, 1001, 0, 0},            // exactly the window: out
        {1000, 500000, 1002, 0, 0},
        {1000, 0, 1000, 0, 1},            // the same instant
        {1000, 400000, 1000, 100000, 0},  // before the previous start
        {1000, 0, 999, 999999, 0},
        {0, 0, 1L << 40, 0, 0},           // far apart: no overflow
        {1L << 40, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        TouchSetting.prevTime = {c.psec, c.pusec};
        TouchSetting.thisTime = {c.sec, c.usec};
        EXPECT_EQ(InDoubleClickWindow(), c.in) << c.psec << "." << c.pusec << " -> " << c.sec << "." << c.usec;
    }
    TouchSetting.dblClickSpeed = 0;  // 100 ms
    TouchSetting.prevTime = {10, 0};
    TouchSetting.thisTime = {10, 99999};
    EXPECT_EQ(InDoubleClickWindow(), 1);
    TouchSetting.thisTime = {10, 100000};
    EXPECT_EQ(InDoubleClickWindow(), 0);
}

TEST_F(MouseMode, QuickSecondTapSnaps)
{
    TouchSetting.mode = 1;
    tap(1000, 100000, 400, 300);
    set_now(1000, 400000);  // same second: a whole-second rule would call this 60 s
    EXPECT_EQ(touch(900, 700), frame_at(0x81, 400, 300));

    lift(900, 700);
    tap(2000, 900000, 100, 100);
    set_now(2001, 300000);
    EXPECT_EQ(touch(1000, 700), frame_at(0x81, 100, 100));
}

TEST_F(MouseMode, SlowSecondTapDoesNotSnap)
{
    TouchSetting.mode = 1;
    tap(1000, 500000, 400, 300);
    set_now(1001, 500000);
    EXPECT_EQ(touch(900, 700), frame_at(0x81, 900, 700));
}

TEST_F(MouseMode, WindowRunsFromStartOfPreviousTouch)
{
    TouchSetting.mode = 1;
    set_now(50, 0);
    touch(400, 300);
    for (int k = 0; k < 30; k++)
        touch(420, 320);
    set_now(50, 900000);
    lift(420, 320);
    EXPECT_EQ(TouchSetting.count, 0);
    EXPECT_EQ(TouchSetting.prevTime.tv_sec, 50);
    EXPECT_EQ(TouchSetting.prevTime.tv_usec, 0);
    set_now(51, 100000);  // 0.2 s after the lift, 1.1 s after the touch-down
    EXPECT_EQ(touch(900, 700), frame_at(0x81, 900, 700));
}

TEST_F(MouseMode, SnapToleranceFollowsArea)
{
    TouchSetting.mode = 1;
    struct Case {
        int area, dx, dy, snapped;
    } cases[] = {
        {0, 15, 0, 1},
        {0, 16, 0, 0},
        {0, -15, 0, 1},  // the tolerance reaches as far to every side
        {0, -16, 0, 0},
        {0, 0, 15, 1},
        {0, 0, 16, 0},
        {0, 0, -15, 1},
        {0, 0, -16, 0},
        {-1, 1, 0, 0},          // negative tolerance never snaps
        {4096, 60000, 0, 1},    // wrapped negative in 32 bits
        {INT_MAX, 60000, 0, 1},
        {INT_MIN, 1, 0, 0},
        {-4097, 1, 0, 0},       // wrapped positive in 32 bits
    };
    long sec = 100;
    for (const Case &c : cases) {
        TouchSetting.dblClickArea = c.area;
        tap(sec, 0, 1000, 500);
        set_now(sec, 500000);
        int x = 1000 + c.dx, y = 500 + c.dy;
        Frame want = c.snapped ? frame_at(0x81, 1000, 500) : frame_at(0x81, x, y);
        EXPECT_EQ(touch(x, y), want) << "area " << c.area << " dx " << c.dx << " dy " << c.dy;
        lift(x, y);
        sec += 10;
    }
}

TEST_F(MouseMode, HoldToleranceExtremes)
{
    TouchSetting.mode = 1;
    TouchSetting.dblClickArea = INT_MAX;
    touch(0, 0);
    EXPECT_EQ(touch(65535, 65535), frame_at(0x81, 0, 0));
    lift(0, 0);
    long sec = 9000;
    for (int area : {7, INT_MIN}) {  // a negative hold tolerance ends the hold at once
        TouchSetting.dblClickArea = area;
        set_now(sec += 10, 0);
        touch(7, 7);
        EXPECT_EQ(touch(7, 7), frame_at(0x81, 7, 7));
        EXPECT_EQ(TouchSetting.count, 19);
        lift(7, 7);
    }
}

TEST_F(MouseMode, DragDelayRepeatsFirstFrame)
{
    const Frame first = frame_at(0x81, 100, 200);
    for (int n = 1; n <= 80; n++) {
        Frame f = n == 1 ? first : frame_at(0x81, 100 + n, 200 + n);
        CheckFrameForDragDelay(f.data(), 5);
        if (n <= 72)
            EXPECT_EQ(f, first) << "frame " << n;
        else
            EXPECT_EQ(f, frame_at(0x81, 100 + n, 200 + n)) << "frame " << n;
    }
    Frame rel = frame_at(0x80, 500, 500);
    CheckFrameForDragDelay(rel.data(), 5);
    EXPECT_EQ(rel, frame_at(0x80, 500, 500));  // late release keeps its place
}

TEST_F(MouseMode, DragDelayEarlyReleaseAtFirstPosition)
{
    for (int n = 0; n < 40; n++) {
        Frame f = frame_at(0x81, 100 + n, 200);
        CheckFrameForDragDelay(f.data(), 5);
    }
    Frame rel = frame_at(0x80, 900, 900);
    CheckFrameForDragDelay(rel.data(), 5);
    EXPECT_EQ(rel, frame_at(0x80, 100, 200));
    Frame next = frame_at(0x81, 700, 700);  // the next touch starts afresh
    CheckFrameForDragDelay(next.data(), 5);
    EXPECT_EQ(next, frame_at(0x81, 700, 700));
    next = frame_at(0x81, 710, 710);
    CheckFrameForDragDelay(next.data(), 5);
    EXPECT_EQ(next, frame_at(0x81, 700, 700));
}

TEST_F(MouseMode, DragDelaySkipsRightButtonFrames)
{
    for (int n = 0; n < 5; n++) {
        Frame f = frame_at(0xA1, 100 + n, 200);
        CheckFrameForDragDelay(f.data(), 5);
        EXPECT_EQ(f, frame_at(0xA1, 100 + n, 200));
    }
}

TEST_F(MouseMode, DragDelayHugeValueStaysDefined)
{
    TouchSetting.drag_delay = INT_MAX;
    const Frame first = frame_at(0x81, 1, 2);
    for (int n = 0; n < 1000; n++) {
        Frame f = n == 0 ? first : frame_at(0x81, 3, 4);
        CheckFrameForDragDelay(f.data(), 5);
        EXPECT_EQ(f, first);
    }
}
