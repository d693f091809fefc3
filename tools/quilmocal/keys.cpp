// quilmocal's keys where no window takes them (the console backend, targets on a terminal
// alone): the controlling terminal in raw mode while the run lasts, put back on every way out.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "cal.h"

constexpr char ESC = '\x1b';

static int ttyFd = -1;
static termios saved;
static bool changed, keyCancelled;

bool CancelKeys(const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] == 'q' || bytes[i] == 'Q')
            return true;
        // Escape alone; "ESC [" and "ESC O" begin the sequences of arrows and function keys.
        if (bytes[i] == ESC && (i + 1 == n || (bytes[i + 1] != '[' && bytes[i + 1] != 'O')))
            return true;
    }
    return false;
}

// Keys one at a time, unechoed; the signal keys (Ctrl-C) and the output's line ends stay.
// A run in the background leaves the terminal alone: changing it would stop the process.
void TtyKeysBegin()
{
    if (ttyFd >= 0)
        return;
    ttyFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ttyFd < 0)
        return;
    if (tcgetattr(ttyFd, &saved) != 0 || tcgetpgrp(ttyFd) != getpgrp()) {
        close(ttyFd);
        ttyFd = -1;
        return;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1, raw.c_cc[VTIME] = 0;
    changed = tcsetattr(ttyFd, TCSANOW, &raw) == 0;
    static bool registered;
    if (!registered)
        registered = atexit(TtyKeysEnd) == 0;
}

int TtyKeysFd()
{
    return ttyFd;
}

bool TtyKeysCancelled()
{
    char buf[64];
    for (ssize_t n; ttyFd >= 0 && !keyCancelled && (n = read(ttyFd, buf, sizeof buf)) > 0;)
        keyCancelled = CancelKeys(buf, static_cast<size_t>(n));
    return keyCancelled;
}

void TtyKeysEnd()
{
    if (ttyFd < 0)
        return;
    if (changed)
        tcsetattr(ttyFd, TCSANOW, &saved);
    close(ttyFd);
    ttyFd = -1;
    changed = false;
}
