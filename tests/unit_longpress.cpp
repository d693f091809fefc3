// Unit tests of the long press: which frames leave for each way a touch can go, on both pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "quilmod.h"

namespace {

using Frame = std::array<unsigned char, 5>;

long long fakeMs;

void fake_clock(struct timeval *tv)
{
    tv->tv_sec = 1000 + fakeMs / 1000;
    tv->tv_usec = (fakeMs % 1000) * 1000;
}

Frame frame_at(unsigned char flags, int x, int y)
{
    return {flags, (unsigned char)(x / 256), (unsigned char)(x % 256), (unsigned char)(y / 256),
            (unsigned char)(y % 256)};
}

// One thing that happens at a time (ms since the first step), and the frames it lets out.
enum Act { DOWN, LIFT, TICK, HOLD_SET, RESET, CLOSE_PORT };
struct Step {
    Act act;
    long long ms;
    int x = 0, y = 0;  // DOWN and LIFT: where; HOLD_SET: x is the new hold
    std::vector<Frame> out = {};
};

struct Case {
    const char *name;
    int mode;        // 0 DRAWING, 1 DESKTOP
    int hold;        // rClickHold at the start
    int button;      // thisButton at the start
    std::vector<Step> steps;
};

Frame L(int x, int y) { return frame_at(0x81, x, y); }   // left touch
Frame LU(int x, int y) { return frame_at(0x80, x, y); }  // left release
Frame R(int x, int y) { return frame_at(0xA1, x, y); }   // right-button touch
Frame RU(int x, int y) { return frame_at(0xA0, x, y); }  // right-button release

struct LongPress : testing::Test {
    TouchPanel panel{};
    Setting saved{};
    TouchPanel *savedList = nullptr;
    int savedOuts[2] = {-1, -1};
    int savedPid = 0;
    int pipes[2][2] = {{-1, -1}, {-1, -1}};

    void SetUp() override
    {
        saved = TouchSetting;
        savedList = panelList;
        memcpy(savedOuts, fdOuts, sizeof savedOuts);
        savedPid = RClickPid;
        RClickPid = 0;  // no tool to tell of right-button touches
        TouchSetting = Setting{};
        TouchSetting.dblClickSpeed = 18;
        TouchSetting.dblClickArea = 30;
        TouchSetting.drag_delay = 18;
        TouchSetting.cursorMode = 2;  // neither hides nor shows: no xsetroot here
        panelList = &panel;
        QlmClock = fake_clock;
        fakeMs = 0;
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(pipe2(pipes[i], O_NONBLOCK | O_CLOEXEC), 0);
            fdOuts[i] = pipes[i][1];
        }
        idle();
    }
    void TearDown() override
    {
        idle();
        TouchSetting = saved;
        panelList = savedList;
        memcpy(fdOuts, savedOuts, sizeof savedOuts);
        RClickPid = savedPid;
        for (auto &p : pipes)
            for (int fd : p)
                close(fd);
    }
    // Every state back to no touch: a lift through the whole road, its frames read away.
    void idle()
    {
        int hold = TouchSetting.rClickHold;
        TouchSetting.rClickHold = 0;
        feed(7, 0, 0);
        TouchSetting.rClickHold = hold;
        TouchSetting.count = 0;
        TouchSetting.prevTime = TouchSetting.thisTime = {};  // no double click across cases
        drain(0);
        drain(1);
    }
    // The road of one packet after its calibration, as the report pipeline takes it.
    void feed(unsigned char head, int x, int y)
    {
        unsigned char frames[30];
        int len = 0;
        GenFrameWithMouseMode(&panel, head, x, y, frames, &len);
        LongPressFrame(&panel, x, y, frames, &len);
        EmitFrames(&panel, frames, len);
    }
    std::vector<Frame> drain(int pipe)
    {
        std::vector<Frame> got;
        Frame f;
        while (read(pipes[pipe][0], f.data(), f.size()) == (ssize_t)f.size())
            got.push_back(f);
        return got;
    }
    void act(const Step &s)
    {
        fakeMs = s.ms;
        switch (s.act) {
        case DOWN: feed(1, s.x, s.y); break;
        case LIFT: feed(7, s.x, s.y); break;
        case TICK: LongPressIfDue(); break;
        case HOLD_SET: TouchSetting.rClickHold = s.x; break;
        case RESET: resetCount++; break;
        case CLOSE_PORT: panelList = nullptr; break;
        }
    }
};

std::string hex(const std::vector<Frame> &frames)
{
    std::string s;
    char b[4];
    for (const Frame &f : frames)
        for (size_t i = 0; i < f.size(); i++) {
            snprintf(b, sizeof b, i ? "%02X" : " %02X", f[i]);
            s += b;
        }
    return s;
}

}  // namespace

TEST_F(LongPress, EachWayATouchGoesGivesItsFrames)
{
    const std::vector<Case> cases = {
        {"off: frames pass at once", 0, 0, 1,
         {{DOWN, 0, 100, 100, {L(100, 100)}}, {DOWN, 900, 100, 100, {L(100, 100)}}, {LIFT, 950, 100, 100, {LU(100, 100)}}}},
        {"lift before: a left click at the touch-down point", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 100, 140, 60}, {TICK, 200}, {LIFT, 499, 144, 101, {L(100, 100), LU(100, 100)}}}},
        {"move before: the left press there, then the motion", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 100, 145, 100},
          {DOWN, 200, 146, 100, {L(100, 100), L(146, 100)}}, {DOWN, 900, 150, 100, {L(150, 100)}},
          {LIFT, 950, 150, 100, {LU(150, 100)}}}},
        {"move upwards counts the same", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 100, 100, 54, {L(100, 100), L(100, 54)}}, {LIFT, 150, 100, 54, {LU(100, 54)}}}},
        {"held: right from its start", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 300, 101, 99}, {TICK, 499}, {TICK, 500, 0, 0, {R(100, 100)}}, {TICK, 600},
          {DOWN, 700, 102, 99, {R(102, 99)}}, {LIFT, 800, 102, 99, {RU(102, 99)}},
          {DOWN, 900, 50, 50}, {LIFT, 950, 50, 50, {L(50, 50), LU(50, 50)}}}},
        {"held then moved: a right drag", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {TICK, 500, 0, 0, {R(100, 100)}}, {DOWN, 600, 400, 300, {R(400, 300)}},
          {LIFT, 700, 400, 300, {RU(400, 300)}}}},
        {"time up before the next frame is read", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 650, 101, 100, {R(100, 100), R(101, 100)}}, {LIFT, 700, 101, 100, {RU(101, 100)}}}},
        {"time up, lift read first", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {LIFT, 650, 101, 100, {R(100, 100), RU(101, 100)}}}},
        {"right button asked for: never held", 0, 500, 3,
         {{DOWN, 0, 100, 100, {R(100, 100)}}, {DOWN, 600, 100, 100, {R(100, 100)}}, {LIFT, 700, 100, 100, {RU(100, 100)}},
          {DOWN, 800, 10, 10}, {LIFT, 900, 10, 10, {L(10, 10), LU(10, 10)}}}},
        {"switched off mid-touch: this touch keeps counting", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {HOLD_SET, 100, 0}, {DOWN, 200, 100, 100}, {TICK, 500, 0, 0, {R(100, 100)}},
          {LIFT, 600, 100, 100, {RU(100, 100)}}, {DOWN, 700, 5, 5, {L(5, 5)}}, {LIFT, 800, 5, 5, {LU(5, 5)}}}},
        {"switched on mid-touch: the next touch counts", 0, 0, 1,
         {{DOWN, 0, 100, 100, {L(100, 100)}}, {HOLD_SET, 100, 300}, {TICK, 900}, {LIFT, 950, 100, 100, {LU(100, 100)}},
          {DOWN, 1000, 7, 7}, {TICK, 1300, 0, 0, {R(7, 7)}}, {LIFT, 1400, 7, 7, {RU(7, 7)}}}},
        {"a longer hold set mid-touch waits for the next touch", 0, 300, 1,
         {{DOWN, 0, 100, 100}, {HOLD_SET, 100, 3000}, {TICK, 300, 0, 0, {R(100, 100)}}, {LIFT, 400, 100, 100, {RU(100, 100)}}}},
        {"reset mid-touch: the undecided touch is forgotten, what goes on counts anew", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {RESET, 100}, {TICK, 500}, {DOWN, 600, 105, 100}, {TICK, 1099},
          {TICK, 1100, 0, 0, {R(105, 100)}}, {LIFT, 1200, 105, 100, {RU(105, 100)}}}},
        {"reset after the decision: the touch stays right", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {TICK, 500, 0, 0, {R(100, 100)}}, {RESET, 550}, {DOWN, 600, 101, 100, {R(101, 100)}},
          {LIFT, 700, 101, 100, {RU(101, 100)}}}},
        {"its port closed while counting: nothing left, nothing sent", 0, 500, 1,
         {{DOWN, 0, 100, 100}, {CLOSE_PORT, 100}, {TICK, 500}, {TICK, 900}}},
        {"DESKTOP: lift before, the hold keeps the touch-down point", 1, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 100, 130, 100}, {LIFT, 200, 130, 100, {L(100, 100), LU(100, 100)}}}},
        {"DESKTOP: held, the mode holds the pointer still as before", 1, 500, 1,
         {{DOWN, 0, 100, 100}, {TICK, 500, 0, 0, {R(100, 100)}}, {DOWN, 600, 130, 100, {R(100, 100)}},
          {DOWN, 700, 300, 100, {R(300, 100)}}, {LIFT, 800, 300, 100, {RU(300, 100)}}}},
        {"DESKTOP drag delay: a move repeats the first frame, the lift comes there", 1, 500, 1,
         {{DOWN, 0, 100, 100}, {DOWN, 100, 200, 100, {L(100, 100), L(100, 100)}}, {DOWN, 200, 250, 100, {L(100, 100)}},
          {LIFT, 300, 250, 100, {LU(100, 100)}}}},
        {"DESKTOP drag delay: a right-button touch is never delayed", 1, 500, 1,
         {{DOWN, 0, 100, 100}, {TICK, 500, 0, 0, {R(100, 100)}}, {DOWN, 600, 200, 100, {R(200, 100)}},
          {LIFT, 700, 200, 100, {RU(200, 100)}}}},
        {"DESKTOP, long press off: the drag delay as ever", 1, 0, 1,
         {{DOWN, 0, 100, 100, {L(100, 100)}}, {DOWN, 100, 200, 100, {L(100, 100)}}, {LIFT, 200, 200, 100, {LU(100, 100)}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TouchSetting.mode = c.mode;
        TouchSetting.rClickHold = c.hold;
        TouchSetting.thisButton = c.button;
        TouchSetting.nextButton = 1;
        panelList = &panel;
        for (size_t i = 0; i < c.steps.size(); i++) {
            act(c.steps[i]);
            EXPECT_EQ(hex(drain(0)), hex(c.steps[i].out)) << "step " << i;
            EXPECT_EQ(hex(drain(1)), hex(c.steps[i].out)) << "step " << i;
        }
        panelList = &panel;
        TouchSetting.mode = 0;
        idle();
    }
}

TEST_F(LongPress, LoopWaitsOnlyWhileATouchIsUndecided)
{
    struct timespec left;
    TouchSetting.rClickHold = 800;
    EXPECT_EQ(LongPressWaitLimit(&left), nullptr);
    act({DOWN, 0, 10, 10});
    act({DOWN, 300, 10, 10});
    ASSERT_NE(LongPressWaitLimit(&left), nullptr);
    EXPECT_EQ(left.tv_sec, 0);
    EXPECT_EQ(left.tv_nsec, 500 * 1000000L);
    fakeMs = 5000;  // overdue: no wait at all
    ASSERT_NE(LongPressWaitLimit(&left), nullptr);
    EXPECT_EQ(left.tv_sec * 1000000000L + left.tv_nsec, 0);
    act({TICK, 5000});
    EXPECT_EQ(LongPressWaitLimit(&left), nullptr);
    act({LIFT, 5100, 10, 10});
    EXPECT_EQ(LongPressWaitLimit(&left), nullptr);
}

TEST_F(LongPress, DistanceFollowsTheDoubleClickAreaAndKeepsAFloor)
{
    const std::vector<std::pair<int, int>> cases = {
        {30, 45}, {20, 25}, {11, 8}, {0, 8}, {-5, 8}, {4095, 8175}, {2000000000, 2147483647}};
    for (auto [area, distance] : cases) {
        TouchSetting.dblClickArea = area;
        EXPECT_EQ(LongPressDistance(), distance) << area;
    }
}
