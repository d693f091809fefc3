// Unit tests of the touch beep: tone requests, the 100 ms timer, the edge detector.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <vector>

#include "childproc.h"

#include "quilmod.h"

namespace {

constexpr unsigned long TONE_REQUEST = 0x4B2F;  // KIOCSOUND
constexpr int FAKE_CONSOLE = 42;

struct ToneRequest {
    int fd;
    unsigned long request;
    long arg;
};
std::vector<ToneRequest> requests;
int (*const realIoctl)(int, unsigned long, long) = BeepIoctl;  // constant-initialised in beep.cpp

int record_ioctl(int fd, unsigned long request, long arg)
{
    requests.push_back({fd, request, arg});
    return 0;
}

struct itimerval timer_now()
{
    struct itimerval it;
    getitimer(ITIMER_REAL, &it);
    return it;
}

void disarm_timer()
{
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
}

struct Beep : testing::Test {
    Setting saved{};
    int savedConsole = -1;

    void SetUp() override
    {
        saved = TouchSetting;
        savedConsole = console;
        // Alarms are delivered by hand here, so the tests never depend on timing.
        signal(SIGALRM, SIG_IGN);
        BeepIoctl = record_ioctl;
        console = FAKE_CONSOLE;
        beep_status = 0;
        TouchSetting.soundMode = 0;
        frames({0x80});  // the edge detector starts from "not touched"
        requests.clear();
    }
    void TearDown() override
    {
        disarm_timer();
        signal(SIGALRM, SIG_DFL);
        beep_status = 0;
        console = savedConsole;
        TouchSetting = saved;
        BeepIoctl = realIoctl;
    }

    // Runs each first byte through the detector as a 5-byte frame, one call per frame.
    void frames(std::initializer_list<unsigned char> heads)
    {
        for (unsigned char h : heads) {
            char frame[5] = {(char)h, 1, 2, 3, 4};
            CheckFrameForBeep(frame, 5);
        }
    }
    int tones() const
    {
        int n = 0;
        for (const auto &r : requests)
            n += r.arg != 0;
        return n;
    }
};

}  // namespace

TEST_F(Beep, ToneRequestsGoToTheConsole)
{
    beep_on(1000);
    beep_off();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].fd, FAKE_CONSOLE);
    EXPECT_EQ(requests[0].request, TONE_REQUEST);
    EXPECT_EQ(requests[0].arg, 1000);
    EXPECT_EQ(requests[1].request, TONE_REQUEST);
    EXPECT_EQ(requests[1].arg, 0);
}

TEST_F(Beep, TimerIsOneShotWithTheGivenInterval)
{
    setTimer(1.25);
    struct itimerval it = timer_now();
    EXPECT_EQ(it.it_interval.tv_sec, 0);
    EXPECT_EQ(it.it_interval.tv_usec, 0);
    EXPECT_GT(it.it_value.tv_sec * 1000000 + it.it_value.tv_usec, 1000000);
    EXPECT_LE(it.it_value.tv_sec * 1000000 + it.it_value.tv_usec, 1250000);
}

TEST_F(Beep, ExpiredTimerStaysDisarmed)
{
    setTimer(0.001);  // SIGALRM is ignored here; a periodic timer would be re-armed at expiry
    EXPECT_TRUE(Eventually([] {
        struct itimerval it = timer_now();
        return it.it_value.tv_sec == 0 && it.it_value.tv_usec == 0;
    }));
}

TEST_F(Beep, OneToneLastsUntilTheNextAlarm)
{
    kick_beep();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].arg, beep_freq);
    EXPECT_EQ(beep_freq, 1000);
    EXPECT_EQ(beep_status, 1);
    struct itimerval it = timer_now();
    EXPECT_EQ(it.it_interval.tv_sec, 0);
    EXPECT_EQ(it.it_interval.tv_usec, 0);
    EXPECT_EQ(it.it_value.tv_sec, 0);
    EXPECT_GT(it.it_value.tv_usec, 0);
    EXPECT_LE(it.it_value.tv_usec, 100000);

    kick_beep();  // sounding: neither restarted nor lengthened
    EXPECT_EQ(requests.size(), 1u);

    beep_timer_routine(SIGHUP);  // not the alarm
    EXPECT_EQ(beep_status, 1);
    beep_timer_routine(SIGALRM);
    EXPECT_EQ(beep_status, 0);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].arg, 0);

    beep_timer_routine(SIGALRM);  // a stray alarm leaves a silent speaker alone
    EXPECT_EQ(requests.size(), 2u);
    kick_beep();
    EXPECT_EQ(tones(), 2);
}

TEST_F(Beep, EarlySilenceStillBlocksANewToneUntilTheAlarm)
{
    kick_beep();
    beep_off();  // a command arrives
    kick_beep();
    EXPECT_EQ(tones(), 1);
    beep_timer_routine(SIGALRM);
    kick_beep();
    EXPECT_EQ(tones(), 2);
}

TEST_F(Beep, WithoutAConsoleNoTimerIsArmed)
{
    console = -1;
    TouchSetting.soundMode = 1;
    frames({0x81, 0x80, 0x81});
    kick_beep();
    struct itimerval it = timer_now();
    EXPECT_EQ(it.it_value.tv_sec, 0);
    EXPECT_EQ(it.it_value.tv_usec, 0);
    EXPECT_EQ(beep_status, 0);
    EXPECT_EQ(tones(), 0);
}

TEST_F(Beep, DownBeepsOnTouchDownOnly)
{
    TouchSetting.soundMode = 1;
    frames({0x81, 0x81, 0x81, 0x80});
    EXPECT_EQ(tones(), 1);
    EXPECT_EQ(requests.size(), 1u);
    beep_timer_routine(SIGALRM);
    frames({0x80, 0x81});
    EXPECT_EQ(tones(), 2);
}

TEST_F(Beep, UpBeepsOnLiftOffOnly)
{
    TouchSetting.soundMode = 2;
    frames({0x81, 0x81});
    EXPECT_EQ(tones(), 0);
    frames({0x80, 0x80});
    EXPECT_EQ(tones(), 1);
}

TEST_F(Beep, NoneAndUnknownModesStillFollowTheEdges)
{
    for (int mode : {0, 3, -1}) {
        TouchSetting.soundMode = mode;
        frames({0x81, 0x80, 0x81});
        EXPECT_EQ(tones(), 0) << mode;
        frames({0x80});
    }
    TouchSetting.soundMode = 0;
    frames({0x81});
    TouchSetting.soundMode = 1;  // switched during a touch: its frames are no new edge
    frames({0x81, 0x81});
    EXPECT_EQ(tones(), 0);
}

TEST_F(Beep, RightButtonFramesNeverBeep)
{
    for (int mode : {1, 2}) {
        TouchSetting.soundMode = mode;
        frames({0xA1, 0xA1, 0xA0, 0xA1, 0xA0});
        EXPECT_EQ(tones(), 0) << mode;
    }
}

TEST_F(Beep, QuickSecondTouchFindsTheToneStillSounding)
{
    TouchSetting.soundMode = 1;
    frames({0x81, 0x80, 0x81});
    EXPECT_EQ(tones(), 1);
    EXPECT_EQ(beep_status, 1);
}

TEST_F(Beep, EveryFrameOfABufferIsLookedAt)
{
    TouchSetting.soundMode = 2;
    char buf[15] = {(char)0x81, 0, 0, 0, 0, (char)0x80, 0, 0, 0, 0, (char)0x81, 0, 0, 0, 0};
    CheckFrameForBeep(buf, 15);
    EXPECT_EQ(tones(), 1);
    beep_timer_routine(SIGALRM);
    CheckFrameForBeep(buf, 7);  // a short tail reads no byte past dlen
    EXPECT_EQ(tones(), 2);
}
