// quilmoctl: the installer's and service technician's tool: settings and actions over quilmod's
// command FIFO, port sharing, a frame watcher, and direct talk to a controller on a free port.
//
// Usage: quilmoctl SUBCOMMAND [OPTIONS] [OPERANDS]; quilmoctl --help lists the subcommands.
// Exit status: 0 done, 1 failed (one line on standard error says why), 2 usage error.
// Every fixed path is taken beneath $QUILMOD_ROOT when it is set, as the daemon does; messages
// name the paths as the daemon knows them.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <string_view>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"
#include "quilmod.h"

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

constexpr char CMD_IN[] = "/dev/qvcmdin";
constexpr char CMD_OUT[] = "/dev/qvcmdout";
constexpr char SHR_IN[] = "/dev/qvshrin";
constexpr char SHR_OUT[] = "/dev/qvshrout";
constexpr char WATCH_PIPE[] = "/dev/qvdat1";  // qvdat0 stays with the display server's reader
constexpr char PID_FILE[] = "/var/run/quilmod.pid";

constexpr int CMD_DUMP = 7172;
constexpr int CMD_SHARE = 7173;
constexpr int CMD_CLOSE_PORT = 7174;
constexpr int CMD_RIGHT_BUTTON = 7177;
constexpr int CMD_RESET = 7178;
constexpr int CMD_EXIT = 7179;
constexpr int CMD_MODE = 7180;
constexpr int CMD_SOUND = 7181;
constexpr int CMD_CURSOR = 7182;
constexpr int CMD_DRAG_DELAY = 7183;
constexpr int CMD_DBLCLICK_AREA = 7184;
constexpr int CMD_RCLICK_ON = 7185;
constexpr int CMD_RCLICK_OFF = 7186;
constexpr int CMD_RCLICK_LATER = 7187;
constexpr int CMD_FLUSH = 7188;
constexpr int CMD_LEFT_BUTTON = 7189;
constexpr int CMD_RCLICK_NEW = 7191;
constexpr int CMD_GET_MODE = 7192;

constexpr long long TAKE_MS = 5000;   // daemon reads a command; 'rclick later' holds it 2 s
constexpr long long REPLY_MS = 1000;  // a reply later than this is an error, not a hang
constexpr long long LOCK_MS = 10000;  // another quilmoctl's transaction
constexpr long long STOP_MS = 5000;   // the daemon's process ends after 'stop'
constexpr int WAIT_STEP_MS = 1;
constexpr size_t CMD_TEXT_MAX = 500;  // the daemon reads 500 bytes: a longer command is cut
constexpr size_t MAX_WORD = 480;      // device names, so "[code]word\n" always fits
constexpr size_t DRAIN_LIMIT = 1 << 22;
constexpr size_t REPLY_LINE = 128;
constexpr size_t IO_CHUNK = 4096;
constexpr size_t HEX_PER_LINE = 16;
constexpr size_t FRAME_LEN = 5;
constexpr unsigned char FRAME_MARK = 0x80;
constexpr unsigned char FRAME_TOUCH = 0x01;
constexpr unsigned char FRAME_RIGHT = 0x20;
constexpr unsigned char FRAME_FLAGS = FRAME_MARK | FRAME_RIGHT | FRAME_TOUCH;
constexpr int CONTROLLER_BAUD = 9600;
constexpr int CONTROLLER_CMDS = 16;   // command numbers 0..15
constexpr size_t CONTROLLER_ARG = 5;  // the most argument characters a command takes
constexpr size_t PACKET_LEN = 8;
constexpr long MAX_COUNT = 1000000000;
constexpr long MAX_TIMEOUT_S = 86400;

// ---- messages and small helpers ----

// One line on standard error; returns status, for the caller to return in turn.
static int complain(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static int complain(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("quilmoctl: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return status;
}

static long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

static int ms_until(long long deadline)
{
    long long left = deadline - now_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A whole word of decimal digits, a leading '-' allowed, within lo..hi.
static bool parse_number(const char *s, long lo, long hi, long *out)
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

// The daemon takes its argument as one word of printable characters.
static bool valid_word(const char *s)
{
    size_t n = strlen(s);
    if (n == 0 || n > MAX_WORD)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!isgraph(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

static void hex_text(const unsigned char *p, size_t n, char *out, size_t size)
{
    size_t at = 0;
    out[0] = '\0';
    for (size_t i = 0; i < n && at + 4 <= size; ++i)
        at += static_cast<size_t>(snprintf(out + at, size - at, i ? " %02X" : "%02X", p[i]));
}

// A reply line fit to print: anything unprintable becomes '?'.
static void printable(const char *in, size_t n, char *out, size_t size)
{
    size_t i = 0;
    for (; i < n && i + 1 < size; ++i)
        out[i] = isprint(static_cast<unsigned char>(in[i])) ? in[i] : '?';
    out[i] = '\0';
}

static void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// ---- the daemon's FIFOs ----

// ROOT + path, or a message when it does not fit.
static bool root_path(char (&out)[QLM_PATH], const char *path)
{
    if (RootPath(out, sizeof out, path) == 0)
        return true;
    complain(EXIT_FAIL, "path of %s too long under QUILMOD_ROOT", path);
    return false;
}

static void explain_open_failure(const char *path, int err)
{
    if (err == ENXIO)
        complain(EXIT_FAIL, "quilmod is not running (nobody reads %s)", path);
    else if (err == ENOENT)
        complain(EXIT_FAIL, "%s is missing: quilmod is not running here", path);
    else
        complain(EXIT_FAIL, "cannot open %s: %s", path, strerror(err));
}

// Opens one of the daemon's FIFOs, never anything else: a regular file in its place is not
// written to or read as if the daemon had answered. -1 after a message.
static int open_fifo(const char *path, int flags)
{
    char full[QLM_PATH];
    if (!root_path(full, path))
        return -1;
    struct stat st;
    if (stat(full, &st) != 0) {
        explain_open_failure(path, errno);
        return -1;
    }
    if (!S_ISFIFO(st.st_mode)) {
        complain(EXIT_FAIL, "%s is not a named pipe", path);
        return -1;
    }
    int fd = open(full, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        explain_open_failure(path, errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        complain(EXIT_FAIL, "%s is not a named pipe", path);
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
        if (pending < 0 || now_ms() >= deadline)
            return false;
        sleep_ms(WAIT_STEP_MS);
    }
}

// Reads away what a FIFO holds now. false when reading failed.
static bool drain_fifo(int fd)
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

// One transaction: the command FIFO (locked against other quilmoctl) and, for commands that
// are answered, the reply FIFO.
struct Channel {
    int in = -1;
    int out = -1;
};

static void channel_close(Channel *ch)
{
    close_fd(&ch->in);
    close_fd(&ch->out);
}

// Two quilmoctl at once could land in one read of the daemon, or take each other's replies.
static bool lock_channel(int fd)
{
    long long deadline = now_ms() + LOCK_MS;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;  // no locks here: go on as a lone tool would
        if (now_ms() >= deadline) {
            complain(EXIT_FAIL, "another quilmoctl keeps %s busy", CMD_IN);
            return false;
        }
        sleep_ms(WAIT_STEP_MS * 10);
    }
    return true;
}

// With reply, the reply FIFO too (send_command reads stale replies away).
static bool channel_open(Channel *ch, bool reply)
{
    ch->in = open_fifo(CMD_IN, O_WRONLY);
    if (ch->in < 0 || !lock_channel(ch->in)) {
        channel_close(ch);
        return false;
    }
    if (!reply)
        return true;
    ch->out = open_fifo(CMD_OUT, O_RDONLY);
    if (ch->out < 0) {
        channel_close(ch);
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
        complain(EXIT_FAIL, "quilmod is not running (nobody reads %s)", CMD_IN);
    else
        complain(EXIT_FAIL, "cannot write to %s: %s", CMD_IN, n < 0 ? strerror(errno) : "short write");
    return false;
}

// The daemon acts on the first command of each read only: the FIFO must be empty before the
// command goes in, and the command must be taken before anything follows it.
static bool send_command(const Channel &ch, int code, const char *word)
{
    char text[CMD_TEXT_MAX + 1];
    int len = snprintf(text, sizeof text, "[%d]%s\n", code, word);
    if (len < 0 || static_cast<size_t>(len) > CMD_TEXT_MAX) {
        complain(EXIT_FAIL, "command too long");
        return false;
    }
    if (!wait_drained(ch.in, now_ms() + TAKE_MS)) {
        complain(EXIT_FAIL, "quilmod does not take commands: %s stays full", CMD_IN);
        return false;
    }
    if (ch.out >= 0 && !drain_fifo(ch.out)) {
        complain(EXIT_FAIL, "cannot read %s: %s", CMD_OUT, strerror(errno));
        return false;
    }
    if (!write_command(ch.in, text, static_cast<size_t>(len)))
        return false;
    if (!wait_drained(ch.in, now_ms() + TAKE_MS)) {
        complain(EXIT_FAIL, "quilmod did not take the command within %lld s", TAKE_MS / 1000);
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

enum Reply { REPLY_GOT, REPLY_NONE, REPLY_FAILED };

// Waits up to REPLY_MS for a reply line starting with prefix; other lines are passed over.
// REPLY_NONE (nothing in time) is left for the caller to explain; REPLY_FAILED was explained.
static Reply await_reply(const Channel &ch, std::string_view prefix, char *line, size_t size)
{
    long long deadline = now_ms() + REPLY_MS;
    std::array<char, REPLY_LINE> buf;
    size_t len = 0;
    for (;;) {
        struct pollfd p = {ch.out, POLLIN, 0};
        if (poll(&p, 1, ms_until(deadline)) < 0 && errno != EINTR) {
            complain(EXIT_FAIL, "cannot wait for %s: %s", CMD_OUT, strerror(errno));
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
            complain(EXIT_FAIL, "quilmod ended while a reply was awaited");
            return REPLY_FAILED;
        }
        if (now_ms() >= deadline)
            return REPLY_NONE;
    }
}

// One command without a reply.
static int run_command(int code, const char *word)
{
    Channel ch;
    if (!channel_open(&ch, false))
        return EXIT_FAIL;
    bool sent = send_command(ch, code, word);
    channel_close(&ch);
    return sent ? EXIT_OK : EXIT_FAIL;
}

// ---- command lines ----

struct Args {
    std::array<const char *, 3> operand{};
    int operands = 0;
    bool raw = false;
    long count = 0;    // 0 = no limit
    long timeout = 0;  // seconds, 0 = none
};

// One accepted word of a subcommand and what it sends.
struct Choice {
    const char *word;
    int code;
    const char *arg;
};

enum Option : unsigned { OPT_RAW = 1, OPT_COUNT = 2, OPT_TIMEOUT = 4 };

struct Subcommand {
    const char *name;
    const char *operands;  // as the usage line shows them
    const char *help;      // first line: the summary
    int (*run)(const Subcommand &sub, const Args &args);
    int minOperands;
    int maxOperands;
    unsigned options;
    int code;                       // the one command it sends, where it sends one
    std::span<const Choice> choices;
    long lo, hi;                    // range of a numeric operand
};

// Values are taken in any case: the configuration file writes them in capitals.
static const Choice *find_choice(const Subcommand &sub, const char *word)
{
    for (const Choice &c : sub.choices)
        if (strcasecmp(c.word, word) == 0)
            return &c;
    return nullptr;
}

static int choice_error(const Subcommand &sub, const char *word)
{
    char words[128] = "";
    for (const Choice &c : sub.choices) {
        size_t at = strlen(words);
        snprintf(words + at, sizeof words - at, "%s%s", at ? ", " : "", c.word);
    }
    return complain(EXIT_USAGE, "%s: unknown value '%s' (one of %s)", sub.name, word, words);
}

static int run_fixed(const Subcommand &sub, const Args &)
{
    return run_command(sub.code, "x");
}

static int run_choice(const Subcommand &sub, const Args &args)
{
    const Choice *c = find_choice(sub, args.operand[0]);
    if (!c)
        return choice_error(sub, args.operand[0]);
    return run_command(c->code, c->arg);
}

static int run_number(const Subcommand &sub, const Args &args)
{
    long v;
    if (!parse_number(args.operand[0], sub.lo, sub.hi, &v))
        return complain(EXIT_USAGE, "%s: '%s' is not a number from %ld to %ld", sub.name, args.operand[0], sub.lo,
                        sub.hi);
    char word[32];
    snprintf(word, sizeof word, "%ld", v);
    return run_command(sub.code, word);
}

static bool check_device_word(const Subcommand &sub, const char *device)
{
    if (valid_word(device))
        return true;
    complain(EXIT_USAGE, "%s: '%s' is no device name (one word of printable characters, at most %zu)", sub.name,
             device, MAX_WORD);
    return false;
}

static int run_close_port(const Subcommand &sub, const Args &args)
{
    if (!check_device_word(sub, args.operand[0]))
        return EXIT_USAGE;
    return run_command(sub.code, args.operand[0]);
}

// ---- mode ----

// "M%d" from the daemon: true with the number.
static bool parse_mode_reply(const char *line, int *mode)
{
    long v;
    if (line[0] != 'M' || !parse_number(line + 1, INT_MIN, INT_MAX, &v))
        return false;
    *mode = static_cast<int>(v);
    return true;
}

static void print_mode(int mode)
{
    if (mode == 0)
        puts("DRAWING");
    else if (mode == 1)
        puts("DESKTOP");
    else
        printf("DESKTOP (%d)\n", mode);  // any non-zero mode acts as DESKTOP
}

// Asks for the mode over an open channel.
static bool query_mode(const Channel &ch, int *mode)
{
    char line[REPLY_LINE];
    if (!send_command(ch, CMD_GET_MODE, "x"))
        return false;
    Reply r = await_reply(ch, "M", line, sizeof line);
    if (r == REPLY_NONE)
        complain(EXIT_FAIL, "no reply from quilmod to the mode query within %lld s", REPLY_MS / 1000);
    if (r != REPLY_GOT)
        return false;
    if (parse_mode_reply(line, mode))
        return true;
    char shown[REPLY_LINE];
    printable(line, strlen(line), shown, sizeof shown);
    complain(EXIT_FAIL, "unexpected reply from quilmod: '%s'", shown);
    return false;
}

static int run_mode(const Subcommand &sub, const Args &args)
{
    if (args.operands == 1)
        return run_choice(sub, args);
    Channel ch;
    if (!channel_open(&ch, true))
        return EXIT_FAIL;
    int mode;
    bool ok = query_mode(ch, &mode);
    channel_close(&ch);
    if (!ok)
        return EXIT_FAIL;
    print_mode(mode);
    return EXIT_OK;
}

// ---- stop ----

// The daemon's pid from its pid file; 0 when there is none to go by.
static pid_t daemon_pid()
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, PID_FILE) != 0)
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    text[strcspn(text, "\n")] = '\0';
    long pid;
    return parse_number(text, 2, INT_MAX, &pid) ? static_cast<pid_t>(pid) : 0;
}

// Gone, or a zombie its parent has not reaped yet: either way it serves nothing any more.
static bool process_stopped(pid_t pid)
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

// Without a pid to watch, the daemon has ended once nobody reads its command FIFO.
static bool daemon_stopped(pid_t pid)
{
    if (pid > 0)
        return process_stopped(pid);
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

static int run_stop(const Subcommand &sub, const Args &)
{
    pid_t pid = daemon_pid();
    if (pid > 0 && process_stopped(pid))
        pid = 0;  // a pid file left by an earlier run
    if (run_command(sub.code, "x") != EXIT_OK)
        return EXIT_FAIL;
    long long deadline = now_ms() + STOP_MS;
    while (!daemon_stopped(pid)) {
        if (now_ms() >= deadline)
            return complain(EXIT_FAIL, "quilmod took the stop command but still runs after %lld s", STOP_MS / 1000);
        sleep_ms(WAIT_STEP_MS * 5);
    }
    return EXIT_OK;
}

// ---- sessions: share and watch run until a signal, a count or a time-out ----

static volatile sig_atomic_t stopRequested = 0;

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

struct Session {
    sigset_t waitMask;
    long long deadline = -1;  // -1 = none
    long want = 0;            // items to show, 0 = no limit
    long shown = 0;
    bool outputOpen = true;   // standard output is a descriptor poll can watch
};

constexpr size_t SESSION_FDS = 4;  // the caller's three at most, and standard output

static void session_start(Session *s, const Args &args)
{
    catch_stop_signals(&s->waitMask);
    s->want = args.count;
    if (args.timeout > 0)
        s->deadline = now_ms() + args.timeout * 1000;
}

// 1 = go on, 0 = the session is over (signal, count, time, or nobody reads our output any
// more), -1 = failed after a message.
static int session_wait(Session *s, std::span<struct pollfd> fds, const char *unit)
{
    if (stopRequested || (s->want > 0 && s->shown >= s->want))
        return 0;
    struct timespec ts {};
    if (s->deadline >= 0) {
        int left = ms_until(s->deadline);
        if (left == 0) {
            if (s->want == 0)
                return 0;
            complain(EXIT_FAIL, "only %ld of %ld %s within the time-out", s->shown, s->want, unit);
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
        complain(EXIT_FAIL, "poll: %s", strerror(errno));
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
static bool output_failed(bool *ok)
{
    if (fflush(stdout) == 0)
        return false;
    if (errno != EPIPE) {
        complain(EXIT_FAIL, "cannot write to standard output: %s", strerror(errno));
        *ok = false;
    }
    return true;
}

// ---- watch ----

// Cuts 5-byte frames out of the data pipe:
//   byte 0: 1 0 R 0 0 0 0 T   (0x80 always, R 0x20 right button, T 0x01 touch; else 0)
//   bytes 1-2: x, high byte first; bytes 3-4: y, high byte first
// Anything else where a frame should start (flush writes 4-byte integers) is skipped.
struct FrameCutter {
    std::array<unsigned char, FRAME_LEN> frame{};
    size_t have = 0;
};

static bool frame_head(unsigned char b)
{
    return (b & FRAME_MARK) && (b & ~FRAME_FLAGS) == 0;
}

// true when b completed a frame in fc->frame.
static bool frame_feed(FrameCutter *fc, unsigned char b)
{
    if (fc->have == 0 && !frame_head(b))
        return false;
    fc->frame[fc->have++] = b;
    if (fc->have < FRAME_LEN)
        return false;
    fc->have = 0;
    return true;
}

static void print_frame(const unsigned char *f)
{
    printf("%s%s x=%d y=%d\n", (f[0] & FRAME_TOUCH) ? "touch" : "release", (f[0] & FRAME_RIGHT) ? " right" : "",
           f[1] * 256 + f[2], f[3] * 256 + f[4]);
}

// Decodes one read's bytes; false when standard output failed.
static bool watch_bytes(Session *s, FrameCutter *fc, const unsigned char *p, size_t n, bool *ok)
{
    for (size_t i = 0; i < n && (s->want == 0 || s->shown < s->want); ++i) {
        if (!frame_feed(fc, p[i]))
            continue;
        print_frame(fc->frame.data());
        s->shown++;
        if (output_failed(ok))
            return false;
    }
    return true;
}

static bool watch_loop(Session *s, int fd)
{
    FrameCutter fc;
    bool ok = true;
    std::array<unsigned char, IO_CHUNK> buf;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = session_wait(s, {&p, 1}, "frames");
        if (r <= 0)
            return ok && r == 0;
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n == 0) {
            complain(EXIT_FAIL, "quilmod ended");
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
            return false;
        }
        if (!watch_bytes(s, &fc, buf.data(), static_cast<size_t>(n), &ok))
            return ok;
    }
}

// Frames are read from the second data pipe, so the display server keeps its own.
static int run_watch(const Subcommand &, const Args &args)
{
    Session s;
    session_start(&s, args);
    int probe = open_fifo(CMD_IN, O_WRONLY);  // a pipe nobody writes would wait for ever
    if (probe < 0)
        return EXIT_FAIL;
    close(probe);
    int fd = open_fifo(WATCH_PIPE, O_RDONLY);
    if (fd < 0)
        return EXIT_FAIL;
    if (!drain_fifo(fd)) {  // frames of touches long past
        close(fd);
        return complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
    }
    fprintf(stderr, "quilmoctl: watching %s; interrupt to end\n", WATCH_PIPE);
    bool ok = watch_loop(&s, fd);
    close(fd);
    return ok ? EXIT_OK : EXIT_FAIL;
}

// ---- share ----

struct Share {
    int out = -1;    // /dev/qvshrout: the port's bytes
    int in = -1;     // /dev/qvshrin: bytes for the port
    bool raw = false;
    bool input = true;  // standard input still open
    bool daemonGone = false;
    std::array<unsigned char, IO_CHUNK> pending{};
    size_t pendingAt = 0, pendingLen = 0;
};

static void share_close(Share *sh)
{
    close_fd(&sh->out);
    close_fd(&sh->in);
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
        hex_text(p + at, std::min(HEX_PER_LINE, n - at), line, sizeof line);
        puts(line);
    }
}

// Port bytes from the daemon. false when the session must end.
static bool share_receive(Session *s, Share *sh, bool *ok)
{
    std::array<unsigned char, IO_CHUNK> buf;
    ssize_t n = read(sh->out, buf.data(), buf.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        sh->daemonGone = n == 0;
        if (n == 0)
            complain(EXIT_FAIL, "quilmod ended");
        else
            complain(EXIT_FAIL, "cannot read %s: %s", SHR_OUT, strerror(errno));
        *ok = false;
        return false;
    }
    size_t take = static_cast<size_t>(n);
    if (s->want > 0 && take > static_cast<size_t>(s->want - s->shown))
        take = static_cast<size_t>(s->want - s->shown);
    show_bytes(*sh, buf.data(), take);
    s->shown += static_cast<long>(take);
    return !output_failed(ok);
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
            complain(EXIT_FAIL, "quilmod ended");
        else
            complain(EXIT_FAIL, "cannot write to %s: %s", SHR_IN, n < 0 ? strerror(errno) : "short write");
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

static bool share_loop(Session *s, Share *sh)
{
    bool ok = true;
    for (;;) {
        std::array<struct pollfd, 3> fds = {{{sh->out, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0}}};
        if (sh->input && sh->pendingLen == 0)
            fds[1].fd = STDIN_FILENO;
        if (sh->pendingLen > 0)
            fds[2].fd = sh->in;
        int r = session_wait(s, fds, "bytes");
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
static bool share_begin(Share *sh, const char *device)
{
    sh->out = open_fifo(SHR_OUT, O_RDONLY);
    sh->in = sh->out < 0 ? -1 : open_fifo(SHR_IN, O_WRONLY);
    Channel ch;
    if (sh->in < 0 || !channel_open(&ch, true))
        return false;
    char line[REPLY_LINE];
    int mode;
    bool ok = drain_fifo(sh->out) && send_command(ch, CMD_SHARE, device);
    Reply r = ok ? await_reply(ch, "SHROK", line, sizeof line) : REPLY_FAILED;
    if (r == REPLY_NONE)
        complain(EXIT_FAIL, "quilmod did not share %s within %lld s: no present port of that name", device,
                 REPLY_MS / 1000);
    ok = r == REPLY_GOT && query_mode(ch, &mode);
    channel_close(&ch);
    return ok;
}

// A name that matches no port ends all sharing.
static bool share_end()
{
    return run_command(CMD_SHARE, "x") == EXIT_OK;
}

static int run_share(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_word(sub, device))
        return EXIT_USAGE;
    Session s;
    session_start(&s, args);
    Share sh;
    sh.raw = args.raw;
    if (!share_begin(&sh, device)) {
        share_close(&sh);
        return EXIT_FAIL;
    }
    fprintf(stderr, "quilmoctl: sharing %s; interrupt to end\n", device);
    bool ok = share_loop(&s, &sh);
    fflush(stdout);
    share_close(&sh);
    if (!sh.daemonGone)
        ok = share_end() && ok;
    return ok ? EXIT_OK : EXIT_FAIL;
}

// ---- probe and send: a controller on a port the daemon does not hold ----

// true when the daemon (going by its pid file) has the device open.
static bool held_by_daemon(const struct stat &dev)
{
    pid_t pid = daemon_pid();
    if (pid <= 0 || process_stopped(pid))
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

static bool check_device_path(const Subcommand &sub, const char *device)
{
    if (device[0] == '/' && valid_word(device))
        return true;
    complain(EXIT_USAGE, "%s: '%s' is no absolute device path", sub.name, device);
    return false;
}

// Opens the port raw at 9600 baud; -1 after a message. A port the daemon holds is not even
// opened. O_NONBLOCK keeps the open from waiting for a carrier; once set up the line ignores
// the modem lines.
static int open_controller(const char *device)
{
    char full[QLM_PATH];
    if (!root_path(full, device))
        return -1;
    struct stat st;
    if (stat(full, &st) == 0 && S_ISCHR(st.st_mode) && held_by_daemon(st)) {
        complain(EXIT_FAIL, "%s is held by quilmod: use 'quilmoctl share', or 'quilmoctl close-port' first", device);
        return -1;
    }
    int fd = open(full, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        complain(EXIT_FAIL, "cannot open %s: %s", device, strerror(errno));
        return -1;
    }
    // Checked again on what was opened: the name may have changed hands meanwhile.
    const char *refusal = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        refusal = "is not a character device";
    else if (held_by_daemon(st))
        refusal = "is held by quilmod";
    else if (fd >= FD_SETSIZE)
        refusal = "got a descriptor too high to wait on";
    if (refusal) {
        close(fd);
        complain(EXIT_FAIL, "%s %s", device, refusal);
        return -1;
    }
    Dev_SaveState(fd);
    Dev_SetBaud(fd, CONTROLLER_BAUD);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

static void close_controller(int fd)
{
    Dev_RestoreState(fd);
    close(fd);
}

static int run_probe(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_path(sub, device))
        return EXIT_USAGE;
    int fd = open_controller(device);
    if (fd < 0)
        return EXIT_FAIL;
    int found = try_touch_connect(fd);
    unsigned char status = found ? static_cast<unsigned char>(get_error_status(fd)) : 0;
    close_controller(fd);
    if (!found)
        return complain(EXIT_FAIL, "%s: no controller answered the identification", device);
    printf("controller: yes\nstatus: %02X\n", status);
    return EXIT_OK;
}

// Command number and argument characters, checked by building the packet before any port is
// touched. false after a message.
static bool build_send(const Subcommand &sub, const Args &args, int *cmd, unsigned char *cmdbuf)
{
    long n;
    if (!parse_number(args.operand[1], 0, CONTROLLER_CMDS - 1, &n)) {
        complain(EXIT_USAGE, "send: '%s' is not a command number from 0 to %d", args.operand[1], CONTROLLER_CMDS - 1);
        return false;
    }
    const char *arg = args.operands > 2 ? args.operand[2] : "";
    if (strlen(arg) > CONTROLLER_ARG) {
        complain(EXIT_USAGE, "send: at most %zu argument characters", CONTROLLER_ARG);
        return false;
    }
    memset(cmdbuf, 0, PACKET_LEN);
    memcpy(cmdbuf, arg, strlen(arg));
    std::array<unsigned char, PACKET_LEN> packet;
    if (!process_command(static_cast<int>(n), cmdbuf, packet.data())) {
        complain(EXIT_USAGE, "%s: command %ld does not take the argument '%s'", sub.name, n, arg);
        return false;
    }
    *cmd = static_cast<int>(n);
    return true;
}

static int run_send(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    int cmd;
    std::array<unsigned char, PACKET_LEN> cmdbuf;
    if (!check_device_path(sub, device) || !build_send(sub, args, &cmd, cmdbuf.data()))
        return EXIT_USAGE;
    int fd = open_controller(device);
    if (fd < 0)
        return EXIT_FAIL;
    int len = 0;
    int answered = SendAndWait(fd, cmd, cmdbuf.data(), &len);
    close_controller(fd);
    if (!answered)
        return complain(EXIT_FAIL, "%s: no valid reply to command %d", device, cmd);
    char hex[PACKET_LEN * 3 + 1];
    hex_text(cmdbuf.data(), PACKET_LEN, hex, sizeof hex);
    printf("reply: %s\n", hex);
    return EXIT_OK;
}

// ---- the table of subcommands ----

static constexpr std::array<Choice, 2> modeChoices = {{
    {"drawing", CMD_MODE, "0"},
    {"desktop", CMD_MODE, "1"},
}};
static constexpr std::array<Choice, 3> soundChoices = {{
    {"none", CMD_SOUND, "0"},
    {"down", CMD_SOUND, "1"},  // beep on touch-down
    {"up", CMD_SOUND, "2"},    // beep on lift-off
}};
static constexpr std::array<Choice, 2> cursorChoices = {{
    {"none", CMD_CURSOR, "0"},  // hide the pointer while the panel is used
    {"display", CMD_CURSOR, "1"},
}};
static constexpr std::array<Choice, 4> rclickChoices = {{
    {"on", CMD_RCLICK_ON, "x"},
    {"off", CMD_RCLICK_OFF, "x"},
    {"later", CMD_RCLICK_LATER, "x"},  // the daemon waits 2 s first
    {"new", CMD_RCLICK_NEW, "x"},      // a new tool, switched off
}};

constexpr long MAX_DRAG_DELAY = 1000;      // frames/4 of hold; 8 or less means off
constexpr long MAX_DBLCLICK_AREA = 4095;   // beyond, the daemon's snap tolerance overflows

static const std::array<Subcommand, 19> subcommands = {{
    {"mode", "[drawing|desktop]", "Without a value, print the mouse mode (DRAWING or DESKTOP); with one, set it.",
     run_mode, 0, 1, 0, CMD_MODE, modeChoices, 0, 0},
    {"sound", "none|down|up", "Beep never, on touch-down, or on lift-off.", run_choice, 1, 1, 0, CMD_SOUND,
     soundChoices, 0, 0},
    {"cursor", "none|display", "Hide the X pointer while the panel is used (none), or keep it shown.", run_choice,
     1, 1, 0, CMD_CURSOR, cursorChoices, 0, 0},
    {"drag-delay", "N", "Set the drag delay: the first 4*N frames of a touch stay on its first point.\n"
     "  It acts in DESKTOP mode and above 8 only; 0 to 1000.",
     run_number, 1, 1, 0, CMD_DRAG_DELAY, {}, 0, MAX_DRAG_DELAY},
    {"dblclick-area", "N", "Set how far a touch may stray and still be held on its touch-down point.\n"
     "  0 to 4095; it also widens the double-click snap.",
     run_number, 1, 1, 0, CMD_DBLCLICK_AREA, {}, 0, MAX_DBLCLICK_AREA},
    {"right-button", "", "Make the next touch a right-button touch.", run_fixed, 0, 0, 0, CMD_RIGHT_BUTTON, {}, 0,
     0},
    {"left-button", "", "Make the next touch a left-button touch again.", run_fixed, 0, 0, 0, CMD_LEFT_BUTTON, {},
     0, 0},
    {"rclick", "on|off|later|new", "Switch the right-click tool on, off, on after 2 s, or start a new one (off).",
     run_choice, 1, 1, 0, 0, rclickChoices, 0, 0},
    {"flush", "", "Discard the frames nobody has read from the data pipes.", run_fixed, 0, 0, 0, CMD_FLUSH, {}, 0,
     0},
    {"reset", "", "Make quilmod re-read its configuration and reopen its ports.", run_fixed, 0, 0, 0, CMD_RESET,
     {}, 0, 0},
    {"stop", "", "End quilmod, and wait until its process has gone.", run_stop, 0, 0, 0, CMD_EXIT, {}, 0, 0},
    {"dump", "", "Make quilmod print its mode on its own output (seen with quilmod -d).", run_fixed, 0, 0, 0,
     CMD_DUMP, {}, 0, 0},
    {"close-port", "DEVICE", "Make quilmod close the port configured as DEVICE (no answer comes back).",
     run_close_port, 1, 1, 0, CMD_CLOSE_PORT, {}, 0, 0},
    {"share", "[--raw] [--count N] [--timeout S] DEVICE",
     "Show a port's raw bytes, and send it standard input.\n"
     "  The bytes show in hex, 16 a line (--raw: unchanged). Ends on SIGINT or SIGTERM, after N\n"
     "  bytes, or after S seconds (short of N bytes: status 1); then quilmod has the port alone again.",
     run_share, 1, 1, OPT_RAW | OPT_COUNT | OPT_TIMEOUT, CMD_SHARE, {}, 0, 0},
    {"watch", "[--count N] [--timeout S]",
     "Print each frame quilmod writes to /dev/qvdat1.\n"
     "  One line a frame: touch|release [right] x=X y=Y. Ends on SIGINT or SIGTERM, after N\n"
     "  frames, or after S seconds (short of N frames: status 1).",
     run_watch, 0, 0, OPT_COUNT | OPT_TIMEOUT, 0, {}, 0, 0},
    {"probe", "DEVICE",
     "Ask the controller on a port quilmod does not hold who it is.\n"
     "  Opens DEVICE at 9600 baud, asks for the identification and the status byte, and prints\n"
     "  them; status 1 when no controller answers.",
     run_probe, 1, 1, 0, 0, {}, 0, 0},
    {"send", "DEVICE N [ARG]",
     "Send a controller command to a port quilmod does not hold.\n"
     "  Command N (0 to 15) with the argument characters ARG; prints the 8-byte reply in hex.",
     run_send, 2, 3, 0, 0, {}, 0, 0},
    {"help", "[SUBCOMMAND]", "Print this help, or a subcommand's.", nullptr, 0, 1, 0, 0, {}, 0, 0},
    {"--help", "", "Print this help.", nullptr, 0, 0, 0, 0, {}, 0, 0},
}};

static const Subcommand *find_subcommand(const char *name)
{
    for (const Subcommand &sub : subcommands)
        if (strcmp(sub.name, name) == 0)
            return &sub;
    return nullptr;
}

static void print_usage_line(const Subcommand &sub)
{
    printf("usage: quilmoctl %s%s%s\n", sub.name, sub.operands[0] ? " " : "", sub.operands);
}

static void print_sub_help(const Subcommand &sub)
{
    print_usage_line(sub);
    printf("  %s\n", sub.help);
}

constexpr int OVERVIEW_COLUMN = 26;

static void print_overview()
{
    puts("usage: quilmoctl SUBCOMMAND [ARGUMENTS]   (quilmoctl SUBCOMMAND --help for one)\n"
         "Talks to the running quilmod through its pipes; QUILMOD_ROOT moves every fixed path.\n"
         "Exit status: 0 done, 1 failed, 2 usage error.\n");
    for (const Subcommand &sub : subcommands) {
        if (sub.name[0] == '-')
            continue;
        char left[64];
        int n = snprintf(left, sizeof left, "%s %s", sub.name, sub.operands);
        int summary = static_cast<int>(strcspn(sub.help, "\n"));
        if (n > OVERVIEW_COLUMN)
            printf("  %s\n  %-*s %.*s\n", left, OVERVIEW_COLUMN, "", summary, sub.help);
        else
            printf("  %-*s %.*s\n", OVERVIEW_COLUMN, left, summary, sub.help);
    }
}

static int run_help(const char *name)
{
    if (!name) {
        print_overview();
        return EXIT_OK;
    }
    const Subcommand *sub = find_subcommand(name);
    if (!sub)
        return complain(EXIT_USAGE, "unknown subcommand '%s' (see quilmoctl --help)", name);
    print_sub_help(*sub);
    return EXIT_OK;
}

// ---- options ----

// The value of --count or --timeout. false after a message.
static bool option_value(const Subcommand &sub, const char *option, const char *value, long max, long *out)
{
    if (value && parse_number(value, 1, max, out))
        return true;
    complain(EXIT_USAGE, "%s: %s needs a number from 1 to %ld", sub.name, option, max);
    return false;
}

// 0 = parsed, -1 = help printed, else the usage status.
static int parse_option(const Subcommand &sub, char **argv, int *i, Args *args)
{
    std::string_view a = argv[*i];
    if (a == "--help" || a == "-h") {
        print_sub_help(sub);
        return -1;
    }
    if (a == "--raw" && (sub.options & OPT_RAW)) {
        args->raw = true;
        return 0;
    }
    if (a == "--count" && (sub.options & OPT_COUNT))
        return option_value(sub, "--count", argv[++*i], MAX_COUNT, &args->count) ? 0 : EXIT_USAGE;
    if (a == "--timeout" && (sub.options & OPT_TIMEOUT))
        return option_value(sub, "--timeout", argv[++*i], MAX_TIMEOUT_S, &args->timeout) ? 0 : EXIT_USAGE;
    return complain(EXIT_USAGE, "%s: unknown option '%s'", sub.name, argv[*i]);
}

// 0 = parsed, -1 = help printed, else the usage status.
static int parse_args(const Subcommand &sub, int argc, char **argv, Args *args)
{
    for (int i = 0; i < argc; ++i) {
        bool option = argv[i][0] == '-' && argv[i][1] != '\0' && !isdigit(static_cast<unsigned char>(argv[i][1]));
        if (option) {
            int r = parse_option(sub, argv, &i, args);
            if (r != 0)
                return r;
            continue;
        }
        if (args->operands == sub.maxOperands)
            return complain(EXIT_USAGE, "%s: too many arguments (usage: quilmoctl %s %s)", sub.name, sub.name,
                            sub.operands);
        args->operand[static_cast<size_t>(args->operands++)] = argv[i];
    }
    if (args->operands < sub.minOperands)
        return complain(EXIT_USAGE, "%s: missing argument (usage: quilmoctl %s %s)", sub.name, sub.name,
                        sub.operands);
    return 0;
}

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // a reader that went away shows as EPIPE
    if (argc < 2)
        return complain(EXIT_USAGE, "no subcommand (see quilmoctl --help)");
    if (strcmp(argv[1], "-h") == 0)
        return run_help(nullptr);
    const Subcommand *sub = find_subcommand(argv[1]);
    if (!sub)
        return complain(EXIT_USAGE, "unknown subcommand '%s' (see quilmoctl --help)", argv[1]);
    Args args;
    int parsed = parse_args(*sub, argc - 2, argv + 2, &args);
    if (parsed != 0)
        return parsed < 0 ? EXIT_OK : parsed;
    if (!sub->run)
        return run_help(args.operands > 0 ? args.operand[0] : nullptr);
    return sub->run(*sub, args);
}
