// The daemon's process (its pid file, checked against /proc) and sessions that run until a
// signal, a count or a time-out.
#include "process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "channel.h"

volatile sig_atomic_t stopRequested = 0;

// A small /proc or /var/run file as one line; false when it cannot be read.
static bool read_line_file(const char *path, int flags, char *text, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, text, size - 1);
    close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    text[strcspn(text, "\n")] = '\0';
    return true;
}

// A live pid is the daemon only when it runs quilmod, as the daemon itself checks: a pid file
// left behind may name any process by now.
static bool runs_daemon(pid_t pid)
{
    char path[64], name[64];
    return ProcPath(path, sizeof path, static_cast<int>(pid), "comm") == 0 &&
           read_line_file(path, 0, name, sizeof name) && strcmp(name, DAEMON_NAME) == 0;
}

pid_t DaemonPid()
{
    char path[QLM_PATH], text[32];
    if (RootPath(path, sizeof path, DAEMON_PID_FILE) != 0 || !read_line_file(path, O_NOFOLLOW, text, sizeof text))
        return 0;
    long pid;
    if (!ParseNumber(text, 2, INT_MAX, &pid) || ProcessStopped(static_cast<pid_t>(pid)) ||
        !runs_daemon(static_cast<pid_t>(pid)))
        return 0;
    return static_cast<pid_t>(pid);
}

bool ProcessStopped(pid_t pid)
{
    if (kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    char path[64], line[512];
    if (ProcPath(path, sizeof path, static_cast<int>(pid), "stat") != 0)
        return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0)
        return false;
    line[n] = '\0';
    const char *paren = strrchr(line, ')');
    return paren && paren[1] == ' ' && (paren[2] == 'Z' || paren[2] == 'X');
}

bool DaemonStopped(pid_t pid)
{
    if (pid > 0)
        return ProcessStopped(pid);
    char full[QLM_PATH];
    if (RootPath(full, sizeof full, CMD_IN) != 0)
        return false;
    int fd = open(full, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return false;
    }
    return errno == ENXIO;
}

static void on_stop_signal(int)
{
    stopRequested = 1;
}

void CatchStopSignals(sigset_t *waitMask)
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, waitMask);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(s, &sa, nullptr);
        sigdelset(waitMask, s);
    }
}

void SessionStart(Session *s, long count, long timeoutS)
{
    CatchStopSignals(&s->waitMask);
    s->want = count;
    if (timeoutS > 0)
        s->deadline = NowMs() + timeoutS * 1000;
}

int SessionWait(Session *s, std::span<struct pollfd> fds, const char *unit)
{
    if (stopRequested || (s->want > 0 && s->shown >= s->want))
        return 0;
    struct timespec ts {};
    if (s->deadline >= 0) {
        int left = MsUntil(s->deadline);
        if (left == 0) {
            if (s->want == 0)
                return 0;
            Complain(EXIT_FAIL, "only %ld of %ld %s within the time-out", s->shown, s->want, unit);
            return -1;
        }
        ts.tv_sec = left / 1000;
        ts.tv_nsec = (left % 1000) * 1000000L;
    }
    std::array<struct pollfd, SESSION_FDS> all{};
    std::copy(fds.begin(), fds.end(), all.begin());
    all[fds.size()] = {s->outputOpen ? STDOUT_FILENO : -1, 0, 0};  // only errors and hang-ups
    int r = ppoll(all.data(), fds.size() + 1, s->deadline >= 0 ? &ts : nullptr, &s->waitMask);
    if (r < 0 && errno != EINTR) {
        Complain(EXIT_FAIL, "poll: %s", strerror(errno));
        return -1;
    }
    std::copy(all.begin(), all.begin() + static_cast<long>(fds.size()), fds.begin());
    short output = r > 0 ? all[fds.size()].revents : 0;
    if (output & POLLNVAL)
        s->outputOpen = false;
    else if (output & (POLLERR | POLLHUP))
        return 0;
    return 1;
}

size_t SessionTake(Session *s, size_t n)
{
    if (s->want > 0 && n > static_cast<size_t>(s->want - s->shown))
        n = static_cast<size_t>(s->want - s->shown);
    s->shown += static_cast<long>(n);
    return n;
}

// Standard output went away (a pager quit): the session ends quietly.
bool OutputFailed(bool *ok)
{
    if (fflush(stdout) == 0)
        return false;
    if (errno != EPIPE) {
        Complain(EXIT_FAIL, "cannot write to standard output: %s", strerror(errno));
        *ok = false;
    }
    return true;
}
