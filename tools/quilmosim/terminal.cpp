// quilmosim's pseudo-terminal: the port side's bytes in and out, replies sent later, the wait
// that serves the port, and the link that names the terminal.
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sim.h"

constexpr long long SEND_DEADLINE_MS = 5000;    // a port nobody reads for this long drops bytes

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static void print_rx(const unsigned char *p, size_t n)
{
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::array<char, 3 + RX_CHUNK * 3 + 1> line;
    size_t at = 0;
    line[at++] = 'r';
    line[at++] = 'x';
    for (size_t i = 0; i < n && i < RX_CHUNK; ++i) {
        line[at++] = ' ';
        line[at++] = hexDigits[p[i] >> 4];
        line[at++] = hexDigits[p[i] & 0xF];
    }
    line[at++] = '\n';
    fwrite(line.data(), 1, at, stdout);
}

// One write attempt for the controller's answers: they are small, and a port nobody
// reads would not take them later either.
void WriteNow(const unsigned char *p, size_t n)
{
    ssize_t w;
    do
        w = write(sim.master, p, n);
    while (w < 0 && errno == EINTR);
    if (w < 0 || static_cast<size_t>(w) < n)
        fprintf(stderr, "error: port did not take the controller's answer\n");
}

void Schedule(long long due, const unsigned char *p, size_t n)
{
    if (sim.pendingCount == MAX_PENDING || n > PENDING_BYTES) {
        WriteNow(p, n);
        return;
    }
    Pending &e = sim.pending[sim.pendingCount++];
    e.due = due;
    e.len = n;
    memcpy(e.bytes.data(), p, n);
}

static void send_due()
{
    long long now = NowMs();
    size_t i = 0;
    while (i < sim.pendingCount) {
        if (sim.pending[i].due > now) {
            ++i;
            continue;
        }
        WriteNow(sim.pending[i].bytes.data(), sim.pending[i].len);
        for (size_t j = i + 1; j < sim.pendingCount; ++j)
            sim.pending[j - 1] = sim.pending[j];
        --sim.pendingCount;
    }
}

long long NextDue()
{
    long long due = -1;
    for (size_t i = 0; i < sim.pendingCount; ++i)
        if (due < 0 || sim.pending[i].due < due)
            due = sim.pending[i].due;
    return due;
}

static void receive()
{
    std::array<unsigned char, RX_CHUNK> buf;
    ssize_t n = read(sim.master, buf.data(), buf.size());
    if (n <= 0) {
        // End of file cannot happen while we hold the port side open: treat it as broken.
        if (n == 0) {
            fprintf(stderr, "quilmosim: the terminal hung up\n");
            sim.portBroken = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            perror("quilmosim: read from the terminal");
            sim.portBroken = true;
        }
        return;
    }
    print_rx(buf.data(), static_cast<size_t>(n));
    sim.rxTotal += static_cast<unsigned long long>(n);
    if (sim.controller)
        for (ssize_t i = 0; i < n; ++i)
            ControllerFeed(buf[static_cast<size_t>(i)]);
}

// ppoll delivers a pending signal only when it has to wait; with input always ready
// (a fast script, a flood on the port) the signal would stay pending for good.
static bool stop_pending()
{
    sigset_t set;
    if (sigpending(&set) != 0)
        return false;
    for (int sig : stopSignals)
        if (sigismember(&set, sig) == 1)
            return true;
    return false;
}

bool Stopping()
{
    if (stop_pending())
        stopRequested = 1;
    return stopRequested != 0;
}

// Serves the port (received bytes, controller answers) until the deadline (-1 = none),
// until waitFd shows waitEvents, until rxTotal reaches rxTarget (0 = no target), or until
// a stop signal or a broken port.
ServeEnd Serve(long long deadline, int waitFd, short waitEvents, unsigned long long rxTarget)
{
    for (;;) {
        if (Stopping() || sim.portBroken)
            return SERVE_STOP;
        send_due();
        if (rxTarget > 0 && sim.rxTotal >= rxTarget)
            return SERVE_RX;
        long long now = NowMs();
        if (deadline >= 0 && now >= deadline)
            return SERVE_TIMEOUT;
        long long wake = NextDue();
        if (deadline >= 0 && (wake < 0 || deadline < wake))
            wake = deadline;
        std::array<struct pollfd, 2> fds{};
        nfds_t nfds = 1;
        fds[0] = {sim.master, POLLIN, 0};
        if (waitFd == sim.master)
            fds[0].events = static_cast<short>(fds[0].events | waitEvents);
        else if (waitFd >= 0)
            fds[nfds++] = {waitFd, waitEvents, 0};
        struct timespec ts {};
        if (wake >= 0) {
            long long left = wake > now ? wake - now : 0;
            ts.tv_sec = left / 1000;
            ts.tv_nsec = (left % 1000) * 1000000;
        }
        int r = ppoll(fds.data(), nfds, wake >= 0 ? &ts : nullptr, &sim.waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            perror("quilmosim: ppoll");
            return SERVE_STOP;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            receive();
        if (waitFd == sim.master && (fds[0].revents & waitEvents))
            return SERVE_READY;
        if (nfds == 2 && fds[1].revents)
            return SERVE_READY;
    }
}

// Script output: waits (serving the port) while the terminal's buffer is full.
bool SendBytes(const unsigned char *p, size_t n)
{
    long long deadline = NowMs() + SEND_DEADLINE_MS;
    while (n > 0) {
        ssize_t w = write(sim.master, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN) {
            perror("quilmosim: write to the terminal");
            sim.portBroken = true;
            return false;
        }
        ServeEnd end = Serve(deadline, sim.master, POLLOUT, 0);
        if (end == SERVE_STOP)
            return false;
        if (end == SERVE_TIMEOUT) {
            LineError("the port takes no bytes, %zu dropped", n);
            return false;
        }
    }
    return true;
}

void PauseMs(unsigned long ms)
{
    if (ms > 0)
        Serve(NowMs() + static_cast<long long>(ms), -1, 0, 0);
}

static int make_raw(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    return tcsetattr(fd, TCSANOW, &tio);
}

bool OpenTerminal()
{
    if (openpty(&sim.master, &sim.slave, nullptr, nullptr, nullptr) != 0) {
        perror("quilmosim: openpty");
        return false;
    }
    // The port side starts raw too: no echo of our packets before a daemon configures it.
    if (make_raw(sim.master) != 0 || make_raw(sim.slave) != 0 ||
        ptsname_r(sim.master, sim.slaveName, sizeof sim.slaveName) != 0) {
        perror("quilmosim: pseudo-terminal set-up");
        return false;
    }
    int flags = fcntl(sim.master, F_GETFL);
    fcntl(sim.master, F_SETFL, flags | O_NONBLOCK);
    fcntl(sim.master, F_SETFD, FD_CLOEXEC);
    fcntl(sim.slave, F_SETFD, FD_CLOEXEC);
    return true;
}

// Points link at the terminal through a temporary name, so the link never goes missing.
bool MakeLink(const char *link)
{
    struct stat st;
    if (lstat(link, &st) == 0 && !S_ISLNK(st.st_mode)) {
        fprintf(stderr, "quilmosim: %s exists and is not a symlink\n", link);
        return false;
    }
    std::array<char, PATH_MAX> tmp;
    int n = snprintf(tmp.data(), tmp.size(), "%s.%ld.tmp", link, static_cast<long>(getpid()));
    if (n < 0 || static_cast<size_t>(n) >= tmp.size()) {
        fprintf(stderr, "quilmosim: link path too long: %s\n", link);
        return false;
    }
    unlink(tmp.data());
    if (symlink(sim.slaveName, tmp.data()) != 0 || rename(tmp.data(), link) != 0) {
        fprintf(stderr, "quilmosim: cannot create link %s: %s\n", link, strerror(errno));
        unlink(tmp.data());
        return false;
    }
    sim.link = link;
    return true;
}

// Removes the link only while it is still ours: a newer simulator may have taken the name.
void RemoveLink()
{
    if (sim.link == nullptr)
        return;
    std::array<char, sizeof sim.slaveName> target{};
    ssize_t n = readlink(sim.link, target.data(), target.size() - 1);
    if (n > 0 && strcmp(target.data(), sim.slaveName) == 0)
        unlink(sim.link);
}
