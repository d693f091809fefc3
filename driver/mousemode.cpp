// Mouse-mode output frames (skeleton).
#include <ctime>

#include "quilmod.h"

static void monotonic_clock(struct timeval *tv)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

void (*QlmClock)(struct timeval *tv) = monotonic_clock;

int InDoubleClickWindow() { return 0; }

void GenFrameWithMouseMode(TouchPanel *, unsigned char head, int x, int y, unsigned char *dest, int *len)
{
    dest[0] = (head == 1 || head == 3) ? 0x81 : 0x80;
    dest[1] = x / 256;
    dest[2] = x % 256;
    dest[3] = y / 256;
    dest[4] = y % 256;
    *len = 5;
}

void CheckFrameForDragDelay(unsigned char *, int) {}
