// Touch beep: a 100 ms console tone on the configured touch edge, switched off by SIGALRM.
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/time.h>

#include "quilmod.h"

#ifndef KIOCSOUND
#define KIOCSOUND 0x4B2F  // console tone; the argument is the PIT divisor, 0 stops it
#endif

int console = -1;
volatile sig_atomic_t beep_status = 0;
long beep_freq = 1000;

constexpr double BEEP_INTERVAL = 0.1;      // seconds: length of a tone
constexpr long USEC_PER_SEC = 1000000;
constexpr long DOWN_PAUSE_USEC = 1000;     // after a touch-down tone
constexpr int FRAME_LEN = 5;
constexpr unsigned char FRAME_TOUCH_LEFT = 0x81;
constexpr int SOUND_DOWN = 1;
constexpr int SOUND_UP = 2;

static int console_ioctl(int fd, unsigned long request, long arg)
{
    return ioctl(fd, request, arg);
}

int (*BeepIoctl)(int fd, unsigned long request, long arg) = console_ioctl;

void beep_on(long freq)
{
    BeepIoctl(console, KIOCSOUND, freq);  // a failure is silent, like a missing speaker
}

void beep_off()
{
    BeepIoctl(console, KIOCSOUND, 0);
}

// One alarm only: the tone ends at it, and an idle daemon is never woken again.
void setTimer(double interval)
{
    struct itimerval it = {};
    long sec = (long)interval;
    it.it_value.tv_sec = sec;
    it.it_value.tv_usec = (long)((interval - (double)sec) * (double)USEC_PER_SEC);
    setitimer(ITIMER_REAL, &it, nullptr);
}

void kick_beep()
{
    // Without a console no SIGALRM handler is installed: an armed timer would end the daemon.
    if (beep_status || console < 0)
        return;
    beep_on(beep_freq);
    setTimer(BEEP_INTERVAL);
    beep_status = 1;
}

void beep_timer_routine(int num)
{
    static volatile sig_atomic_t IamBusy = 0;
    if (IamBusy)
        return;
    IamBusy = 1;
    int saved = errno;  // the interrupted code may be about to look at errno
    if (num == SIGALRM && beep_status == 1) {
        beep_off();
        beep_status = 0;
    }
    errno = saved;
    IamBusy = 0;
}

static void pause_after_down()
{
    struct timeval tv = {0, DOWN_PAUSE_USEC};
    select(0, nullptr, nullptr, nullptr, &tv);
}

void CheckFrameForBeep(char *frame, int dlen)
{
    static int OldTouched = 0;
    for (int i = 0; i < dlen; i += FRAME_LEN) {
        // A right-button touch (0xA1) counts as not touched: it never beeps.
        int touched = (unsigned char)frame[i] == FRAME_TOUCH_LEFT;
        if (touched == OldTouched)
            continue;
        if (touched && TouchSetting.soundMode == SOUND_DOWN) {
            XBEEP();
            pause_after_down();
        } else if (!touched && TouchSetting.soundMode == SOUND_UP) {
            XBEEP();
        }
        OldTouched = touched;
    }
}
