// The client side of quilmod's FIFOs, shared by every tool: messages, the command channel with
// its lock and deadlines, the daemon's pid, sessions, port sharing, the frame cutter, and
// controllers on ports the daemon does not hold.
#include "client.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "device.h"

constexpr long long LOCK_MS = 10000;  // another tool's transaction
constexpr int WAIT_STEP_MS = 1;
constexpr size_t CMD_TEXT_MAX = 500;  // the daemon reads 500 bytes: a longer command is cut
constexpr size_t DRAIN_LIMIT = 1 << 22;
constexpr size_t HEX_PER_LINE = 16;
constexpr unsigned char FRAME_FLAGS = FRAME_MARK | FRAME_RIGHT | FRAME_TOUCH;
constexpr int CONTROLLER_BAUD = 9600;

const char *clientName = "quilmoctl";
volatile sig_atomic_t stopRequested = 0;

// ---- messages and small helpers ----

int Complain(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", clientName);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return status;
}

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

int MsUntil(long long deadline)
{
    long long left = deadline - NowMs();
    return left < 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool ParseNumber(const char *s, long lo, long hi, long *out)
{
    const char *digits = *s == '-' ? s + 1 : s;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    char *end;
    long v = strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool ValidWord(const char *s)
{
    size_t n = strlen(s);
    if (n == 0 || n > MAX_WORD)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!isgraph(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

void HexText(const unsigned char *p, size_t n, char *out, size_t size)
{
    size_t at = 0;
    out[0] = '\0';
    for (size_t i = 0; i < n && at + 4 <= size; ++i)
        at += static_cast<size_t>(snprintf(out + at, size - at, i ? " %02X" : "%02X", p[i]));
}

void Printable(const char *in, size_t n, char *out, size_t size)
{
    size_t i = 0;
    for (; i < n && i + 1 < size; ++i)
        out[i] = isprint(static_cast<unsigned char>(in[i])) ? in[i] : '?';
    out[i] = '\0';
}

void CloseFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// ---- the daemon's FIFOs ----

bool ClientRootPath(char (&out)[QLM_PATH], const char *path)
{
    if (RootPath(out, sizeof out, path) == 0)
        return true;
    Complain(EXIT_FAIL, "path of %s too long under QUILMOD_ROOT", path);
    return false;
}

static void explain_open_failure(const char *path, int err)
{
    if (err == ENXIO)
        Complain(EXIT_FAIL, "quilmod is not running (nobody reads %s)", path);
    else if (err == ENOENT)
        Complain(EXIT_FAIL, "%s is missing: quilmod is not running here", path);
    else
        Complain(EXIT_FAIL, "cannot open %s: %s", path, strerror(err));
}

// A regular file in a FIFO's place is not written to or read as if the daemon had answered.
int OpenFifo(const char *path, int flags)
{
    char full[QLM_PATH];
    if (!ClientRootPath(full, path))
        return -1;
    struct stat st;
    if (stat(full, &st) != 0) {
        explain_open_failure(path, errno);
        return -1;
    }
    if (!S_ISFIFO(st.st_mode)) {
        Complain(EXIT_FAIL, "%s is not a named pipe", path);
        return -1;
    }
    int fd = open(full, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        explain_open_failure(path, errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        Complain(EXIT_FAIL, "%s is not a named pipe", path);
        return -1;
    }
    return fd;
}

static int fifo_pending(int fd)
{
    int pending = 0;
    return ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

// true once nothing is left unread in the FIFO, false at the deadline.
static bool wait_drained(int fd, long long deadline)
{
    for (;;) {
        int pending = fifo_pending(fd);
        if (pending == 0)
            return true;
        if (pending < 0 || NowMs() >= deadline)
            return false;
        SleepMs(WAIT_STEP_MS);
    }
}

bool DrainFifo(int fd)
{
    std::array<unsigned char, IO_CHUNK> buf;
    for (size_t total = 0; total < DRAIN_LIMIT;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        return n == 0 || errno == EAGAIN || errno == EINTR;
    }
    return true;
}

// ---- the command channel ----

void ChannelClose(Channel *ch)
{
    CloseFd(&ch->in);
    CloseFd(&ch->out);
}

// Two tools at once could land in one read of the daemon, or take each other's replies.
static bool lock_channel(int fd)
{
    long long deadline = NowMs() + LOCK_MS;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;  // no locks here: go on as a lone tool would
        if (NowMs() >= deadline) {
            Complain(EXIT_FAIL, "another quilmoctl keeps %s busy", CMD_IN);
            return false;
        }
        SleepMs(WAIT_STEP_MS * 10);
    }
    return true;
}

bool ChannelOpen(Channel *ch, bool reply)
{
    ch->in = OpenFifo(CMD_IN, O_WRONLY);
    if (ch->in < 0 || !lock_channel(ch->in)) {
        ChannelClose(ch);
        return false;
    }
    if (!reply)
        return true;
    ch->out = OpenFifo(CMD_OUT, O_RDONLY);
    if (ch->out < 0) {
        ChannelClose(ch);
        return false;
    }
    return true;
}

static bool write_command(int fd, const char *text, size_t len)
{
    ssize_t n;
    do
        n = write(fd, text, len);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(len))
        return true;
    if (n < 0 && errno == EPIPE)
        Complain(EXIT_FAIL, "quilmod is not running (nobody reads %s)", CMD_IN);
    else
        Complain(EXIT_FAIL, "cannot write to %s: %s", CMD_IN, n < 0 ? strerror(errno) : "short write");
    return false;
}

// The daemon acts on the first command of each read only: the FIFO must be empty before the
// command goes in, and the command must be taken before anything follows it. A command still
// in the FIFO at the deadline cannot be taken back: the daemon may yet run it.
bool SendCommand(const Channel &ch, int code, const char *word)
{
    char text[CMD_TEXT_MAX + 1];
    int len = snprintf(text, sizeof text, "[%d]%s\n", code, word);
    if (len < 0 || static_cast<size_t>(len) > CMD_TEXT_MAX) {
        Complain(EXIT_FAIL, "command too long");
        return false;
    }
    if (!wait_drained(ch.in, NowMs() + TAKE_MS)) {
        Complain(EXIT_FAIL, "quilmod does not take commands: %s stays full", CMD_IN);
        return false;
    }
    if (ch.out >= 0 && !DrainFifo(ch.out)) {
        Complain(EXIT_FAIL, "cannot read %s: %s", CMD_OUT, strerror(errno));
        return false;
    }
    if (!write_command(ch.in, text, static_cast<size_t>(len)))
        return false;
    if (!wait_drained(ch.in, NowMs() + TAKE_MS)) {
        Complain(EXIT_FAIL, "quilmod did not take the command within %lld s; it may still carry it out later",
                 TAKE_MS / 1000);
        return false;
    }
    return true;
}

// Takes whole lines out of buf; true with the first that starts with prefix in line.
static bool take_line(char *buf, size_t *len, std::string_view prefix, char *line, size_t size)
{
    for (;;) {
        char *nl = static_cast<char *>(memchr(buf, '\n', *len));
        if (!nl)
            return false;
        size_t n = static_cast<size_t>(nl - buf);
        bool found = n < size && std::string_view(buf, n).starts_with(prefix);
        if (found) {
            memcpy(line, buf, n);
            line[n] = '\0';
        }
        *len -= n + 1;
        memmove(buf, nl + 1, *len);
        if (found)
            return true;
    }
}

Reply AwaitReply(const Channel &ch, std::string_view prefix, char *line, size_t size)
{
    long long deadline = NowMs() + REPLY_MS;
    std::array<char, REPLY_LINE> buf;
    size_t len = 0;
    for (;;) {
        struct pollfd p = {ch.out, POLLIN, 0};
        if (poll(&p, 1, MsUntil(deadline)) < 0 && errno != EINTR) {
            Complain(EXIT_FAIL, "cannot wait for %s: %s", CMD_OUT, strerror(errno));
            return REPLY_FAILED;
        }
        if (len == buf.size())
            len = 0;  // a line this long is no reply of the daemon's
        ssize_t n = read(ch.out, buf.data() + len, buf.size() - len);
        if (n > 0) {
            len += static_cast<size_t>(n);
            if (take_line(buf.data(), &len, prefix, line, size))
                return REPLY_GOT;
        } else if (n == 0) {
            Complain(EXIT_FAIL, "quilmod ended while a reply was awaited");
            return REPLY_FAILED;
        }
        if (NowMs() >= deadline)
            return REPLY_NONE;
    }
}

int RunCommand(int code, const char *word)
{
    Channel ch;
    if (!ChannelOpen(&ch, false))
        return EXIT_FAIL;
    bool sent = SendCommand(ch, code, word);
    ChannelClose(&ch);
    return sent ? EXIT_OK : EXIT_FAIL;
}

// "M%d" from the daemon: true with the number.
static bool parse_mode_reply(const char *line, int *mode)
{
    long v;
    if (line[0] != 'M' || !ParseNumber(line + 1, INT_MIN, INT_MAX, &v))
        return false;
    *mode = static_cast<int>(v);
    return true;
}

bool QueryMode(const Channel &ch, int *mode)
{
    char line[REPLY_LINE];
    if (!SendCommand(ch, CMD_GET_MODE, "x"))
        return false;
    Reply r = AwaitReply(ch, "M", line, sizeof line);
    if (r == REPLY_NONE)
        Complain(EXIT_FAIL, "no reply from quilmod to the mode query within %lld s", REPLY_MS / 1000);
    if (r != REPLY_GOT)
        return false;
    if (parse_mode_reply(line, mode))
        return true;
    char shown[REPLY_LINE];
    Printable(line, strlen(line), shown, sizeof shown);
    Complain(EXIT_FAIL, "unexpected reply from quilmod: '%s'", shown);
    return false;
}

// ---- the daemon's process ----

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

// ---- sessions ----

static void on_stop_signal(int)
{
    stopRequested = 1;
}

// Stop signals stay blocked except inside ppoll, so none slips in between a check and a wait.
static void catch_stop_signals(sigset_t *waitMask)
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
    catch_stop_signals(&s->waitMask);
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

// ---- share ----

void ShareClose(Share *sh)
{
    CloseFd(&sh->out);
    CloseFd(&sh->in);
}

// Shows port bytes in hex, up to 16 on a line, or raw.
static void show_bytes(const Share &sh, const unsigned char *p, size_t n)
{
    if (sh.raw) {
        fwrite(p, 1, n, stdout);
        return;
    }
    for (size_t at = 0; at < n; at += HEX_PER_LINE) {
        char line[HEX_PER_LINE * 3 + 1];
        HexText(p + at, std::min(HEX_PER_LINE, n - at), line, sizeof line);
        puts(line);
    }
}

ssize_t ShareRead(Share *sh, unsigned char *buf, size_t size)
{
    ssize_t n = read(sh->out, buf, size);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n > 0)
        return n;
    sh->daemonGone = n == 0;
    if (n == 0)
        Complain(EXIT_FAIL, "quilmod ended");
    else
        Complain(EXIT_FAIL, "cannot read %s: %s", SHR_OUT, strerror(errno));
    return -1;
}

// Port bytes from the daemon. false when the session must end.
static bool share_receive(Session *s, Share *sh, bool *ok)
{
    std::array<unsigned char, IO_CHUNK> buf;
    ssize_t n = ShareRead(sh, buf.data(), buf.size());
    if (n == 0)
        return true;
    if (n < 0) {
        *ok = false;
        return false;
    }
    size_t take = static_cast<size_t>(n);
    if (s->want > 0 && take > static_cast<size_t>(s->want - s->shown))
        take = static_cast<size_t>(s->want - s->shown);
    show_bytes(*sh, buf.data(), take);
    s->shown += static_cast<long>(take);
    return !OutputFailed(ok);
}

// Writes what waits for the port; the rest stays until the FIFO has room.
static bool share_flush_input(Share *sh)
{
    while (sh->pendingLen > 0) {
        ssize_t n = write(sh->in, sh->pending.data() + sh->pendingAt, sh->pendingLen);
        if (n > 0) {
            sh->pendingAt += static_cast<size_t>(n);
            sh->pendingLen -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        sh->daemonGone = n < 0 && errno == EPIPE;
        if (sh->daemonGone)
            Complain(EXIT_FAIL, "quilmod ended");
        else
            Complain(EXIT_FAIL, "cannot write to %s: %s", SHR_IN, n < 0 ? strerror(errno) : "short write");
        return false;
    }
    return true;
}

static bool share_read_input(Share *sh)
{
    ssize_t n = read(STDIN_FILENO, sh->pending.data(), sh->pending.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        sh->input = false;  // end of input: the port's side goes on
        return true;
    }
    sh->pendingAt = 0;
    sh->pendingLen = static_cast<size_t>(n);
    return share_flush_input(sh);
}

bool ShareLoop(Session *s, Share *sh)
{
    bool ok = true;
    for (;;) {
        std::array<struct pollfd, 3> fds = {{{sh->out, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0}}};
        if (sh->input && sh->pendingLen == 0)
            fds[1].fd = STDIN_FILENO;
        if (sh->pendingLen > 0)
            fds[2].fd = sh->in;
        int r = SessionWait(s, fds, "bytes");
        if (r <= 0)
            return ok && r == 0;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !share_receive(s, sh, &ok))
            return ok;
        if ((fds[1].revents & (POLLNVAL | POLLERR)))
            sh->input = false;
        else if (fds[1].revents && !share_read_input(sh))
            return false;
        if (fds[2].revents && !share_flush_input(sh))
            return false;
    }
}

// Asks for the port and waits for "SHROK". Then a mode query: once it is answered the daemon
// has finished switching and drained the zero byte that marks the change, so everything read
// from the share pipe afterwards is the port's own.
bool ShareBegin(Share *sh, const char *device)
{
    sh->out = OpenFifo(SHR_OUT, O_RDONLY);
    sh->in = sh->out < 0 ? -1 : OpenFifo(SHR_IN, O_WRONLY);
    Channel ch;
    if (sh->in < 0 || !ChannelOpen(&ch, true))
        return false;
    char line[REPLY_LINE];
    int mode;
    bool ok = DrainFifo(sh->out) && SendCommand(ch, CMD_SHARE, device);
    Reply r = ok ? AwaitReply(ch, "SHROK", line, sizeof line) : REPLY_FAILED;
    if (r == REPLY_NONE)
        Complain(EXIT_FAIL, "quilmod did not share %s within %lld s: no present port of that name", device,
                 REPLY_MS / 1000);
    sh->shared = r == REPLY_GOT;
    ok = r == REPLY_GOT && QueryMode(ch, &mode);
    ChannelClose(&ch);
    return ok;
}

bool ShareEnd()
{
    return RunCommand(CMD_SHARE, "x") == EXIT_OK;
}

// ---- frames ----

static bool frame_head(unsigned char b)
{
    return (b & FRAME_MARK) && (b & ~FRAME_FLAGS) == 0;
}

// The high bytes of x and y (bytes 1 and 3) never carry the mark: no screen reaches 32768.
static bool frame_broken(size_t at, unsigned char b)
{
    return (at == 1 || at == 3) && (b & FRAME_MARK);
}

// Anything else where a frame should start (a flush marker: a 4-byte integer 0 or 1) is skipped.
// A head is only trusted in its place: one that turns out to be a coordinate byte (a byte lost
// before it) is dropped, and the cut starts again at the next head among the bytes after it, so
// no touch is ever made of coordinate bytes.
bool FrameFeed(FrameCutter *fc, unsigned char b)
{
    if (fc->have == 0 && !frame_head(b))
        return false;
    if (frame_broken(fc->have, b)) {
        std::array<unsigned char, FRAME_LEN> held = fc->frame;
        size_t n = fc->have;
        fc->have = 0;
        for (size_t i = 1; i < n; i++)
            FrameFeed(fc, held[i]);  // fewer than five bytes: completes nothing
        FrameFeed(fc, b);
        return false;
    }
    fc->frame[fc->have++] = b;
    if (fc->have < FRAME_LEN)
        return false;
    fc->have = 0;
    return true;
}

void FrameText(const unsigned char *f, char *out, size_t size)
{
    snprintf(out, size, "%s%s x=%d y=%d", (f[0] & FRAME_TOUCH) ? "touch" : "release",
             (f[0] & FRAME_RIGHT) ? " right" : "", f[1] * 256 + f[2], f[3] * 256 + f[4]);
}

// Decodes one read's bytes; false when standard output failed.
static bool watch_bytes(Session *s, FrameCutter *fc, const unsigned char *p, size_t n, bool *ok)
{
    for (size_t i = 0; i < n && (s->want == 0 || s->shown < s->want); ++i) {
        if (!FrameFeed(fc, p[i]))
            continue;
        char line[64];
        FrameText(fc->frame.data(), line, sizeof line);
        puts(line);
        s->shown++;
        if (OutputFailed(ok))
            return false;
    }
    return true;
}

bool WatchLoop(Session *s, int fd)
{
    FrameCutter fc;
    bool ok = true;
    std::array<unsigned char, IO_CHUNK> buf;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = SessionWait(s, {&p, 1}, "frames");
        if (r <= 0)
            return ok && r == 0;
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n == 0) {
            Complain(EXIT_FAIL, "quilmod ended");
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            Complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
            return false;
        }
        if (!watch_bytes(s, &fc, buf.data(), static_cast<size_t>(n), &ok))
            return ok;
    }
}

// The process holding a flock on fd's file, from the kernel's lock table (/proc/locks, reached
// from /proc/self); 0 when it cannot be told. Lines: "1: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE ...".
static pid_t flock_holder(int fd)
{
    struct stat st;
    char path[64];
    if (fstat(fd, &st) != 0 || ProcPath(path, sizeof path, 0, "../locks") != 0)
        return 0;
    FILE *fp = fopen(path, "re");
    if (!fp)
        return 0;
    char line[256];
    pid_t holder = 0;
    while (holder == 0 && fgets(line, sizeof line, fp)) {
        char type[16];
        int pid;
        unsigned maj, min;
        unsigned long ino;
        if (sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", type, &pid, &maj, &min, &ino) == 5 &&
            strcmp(type, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
            holder = pid;
    }
    fclose(fp);
    return holder;
}

// Two watchers would split the frames between them: the first one holds the pipe alone.
static bool lock_watch_pipe(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno != EWOULDBLOCK) {
        Complain(EXIT_FAIL, "cannot lock %s: %s", WATCH_PIPE, strerror(errno));
        return false;
    }
    pid_t holder = flock_holder(fd);
    if (holder > 0)
        Complain(EXIT_FAIL, "%s is watched already by process %d; one watcher at a time", WATCH_PIPE,
                 static_cast<int>(holder));
    else
        Complain(EXIT_FAIL, "%s is watched already by another process; one watcher at a time", WATCH_PIPE);
    return false;
}

// A pipe nobody writes would wait for ever: the command FIFO tells first whether anyone runs.
int OpenWatchPipe()
{
    int probe = OpenFifo(CMD_IN, O_WRONLY);
    if (probe < 0)
        return -1;
    close(probe);
    int fd = OpenFifo(WATCH_PIPE, O_RDONLY);
    if (fd < 0)
        return -1;
    if (!lock_watch_pipe(fd)) {  // before draining: the other watcher's frames stay its own
        close(fd);
        return -1;
    }
    if (!DrainFifo(fd)) {  // frames of touches long past
        close(fd);
        Complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
        return -1;
    }
    return fd;
}

// ---- controllers on free ports ----

// true when the daemon (going by its pid file) has the device open.
bool HeldByDaemon(const struct stat &dev)
{
    pid_t pid = DaemonPid();
    if (pid <= 0)
        return false;
    char dir[64];
    if (ProcPath(dir, sizeof dir, static_cast<int>(pid), "fd") != 0)
        return false;
    DIR *d = opendir(dir);
    if (!d)
        return false;  // not ours to look into: the open will tell
    bool held = false;
    while (struct dirent *e = readdir(d)) {
        char link[sizeof dir + sizeof e->d_name + 1];
        struct stat st;
        snprintf(link, sizeof link, "%s/%s", dir, e->d_name);
        if (e->d_name[0] != '.' && stat(link, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev)
            held = true;
    }
    closedir(d);
    return held;
}

// O_NONBLOCK keeps the open from waiting for a carrier; once set up the line ignores the
// modem lines.
int OpenController(const char *device)
{
    char full[QLM_PATH];
    if (!ClientRootPath(full, device))
        return -1;
    struct stat st;
    if (stat(full, &st) == 0 && S_ISCHR(st.st_mode) && HeldByDaemon(st)) {
        Complain(EXIT_FAIL, "%s is held by quilmod: use 'quilmoctl share', or 'quilmoctl close-port' first", device);
        return -1;
    }
    int fd = open(full, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Complain(EXIT_FAIL, "cannot open %s: %s", device, strerror(errno));
        return -1;
    }
    // Checked again on what was opened: the name may have changed hands meanwhile.
    const char *refusal = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        refusal = "is not a character device";
    else if (HeldByDaemon(st))
        refusal = "is held by quilmod";
    else if (fd >= FD_SETSIZE)
        refusal = "got a descriptor too high to wait on";
    if (refusal) {
        close(fd);
        Complain(EXIT_FAIL, "%s %s", device, refusal);
        return -1;
    }
    Dev_SaveState(fd);
    Dev_SetBaud(fd, CONTROLLER_BAUD);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void CloseController(int fd)
{
    Dev_RestoreState(fd);
    close(fd);
}
