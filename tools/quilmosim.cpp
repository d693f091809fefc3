// quilmosim: a touch controller on a pseudo-terminal, played from a script, for tests and demos.
//
// Usage: quilmosim [--controller] [--fault KIND] [--exit-at-end] [--seed N] LINKPATH [SCRIPT]
//
// Creates a pseudo-terminal, makes LINKPATH a symlink to its port side (replacing an older
// symlink; the directory must exist) and prints "ready LINKPATH" once the link is there. Then
// it plays SCRIPT (a file; "-" or none = standard input) line by line. Everything the port side
// writes is printed as it arrives: "rx 55 6F 63 00 00 00 00 27". After the script it keeps
// the terminal open until SIGTERM or SIGINT (or ends at once with --exit-at-end), so a daemon
// holding the port sees no hang-up. On the way out it removes its symlink.
//
// Options: --controller starts in controller mode, --fault KIND sets the controller's fault
// (as the script line does), --exit-at-end ends after the script, --seed N seeds the noise
// (default 1, so runs repeat). Exit status 0; 1 when the script, the terminal or the link
// cannot be made or opened; 2 for a bad command line.
//
// Script lines; "#" starts a comment, blank lines are skipped. X and Y are 0..65535.
//   down X Y                  touch packet, status 0x81
//   move X Y                  touch packet, status 0x81
//   lift [X Y]                touch packet, status 0x84 (at the last position without X Y)
//   tap X Y                   down X Y, then lift
//   drag X1 Y1 X2 Y2 N [MS]   down at X1 Y1, N moves towards X2 Y2, lift there; MS pause
//                             before each move and before the lift
//   hex HH HH ...             raw bytes, one or two hex digits each
//   noise N                   N random bytes, never 0x55 (N up to 65536)
//   pause MS                  wait, serving the port meanwhile
//   wait-rx N [MS]            wait at most MS (default 5000) milliseconds until N more bytes
//                             came from the port side than earlier wait-rx lines waited for
//                             (bytes that came before the line was read count too)
//   controller on|off         answer command packets like a controller (see below)
//   fault KIND                how the controller answers: none, silent, badsum, stray,
//                             pieces, noise
//   echo TEXT                 print TEXT on standard output (to mark progress)
//   quit                      end now
// A touch packet is 55 54 STATUS XLO XHI YLO YHI 00 00 00. A bad line is reported on
// standard error as "error: line N: ..." and skipped, as is a wait-rx that runs out of time.
//
// Controller mode answers every 8-byte packet that starts with 0x55 and has a valid checksum
// with "U", the command letter (and the second letter of two-letter commands: o, p, P, R),
// zeros and the checksum; the identification command "U" "o" "c" gets "U" "VORTAN". Faults:
// silent = no answer, badsum = checksum off by one, stray = one 0x2A byte before the answer,
// pieces = the answer in three pieces 10 ms apart, noise = 40 random bytes instead.
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string_view>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "device.h"

enum Fault { FAULT_NONE, FAULT_SILENT, FAULT_BADSUM, FAULT_STRAY, FAULT_PIECES, FAULT_NOISE };

static constexpr std::array<std::string_view, 6> faultNames = {
    "none", "silent", "badsum", "stray", "pieces", "noise"};

constexpr size_t MAX_LINE = 1024;        // script line, newline excluded
constexpr size_t MAX_TOKENS = MAX_LINE / 2 + 1;
constexpr size_t RX_CHUNK = 256;
constexpr unsigned long MAX_COORD = 65535;
constexpr unsigned long MAX_NOISE = 65536;
constexpr unsigned long MAX_DRAG_STEPS = 100000;
constexpr unsigned long MAX_WAIT_MS = 3600000;  // an hour
constexpr unsigned long MAX_RX_WAIT = 1000000;
constexpr long long DEFAULT_RX_WAIT_MS = 5000;
constexpr long long SEND_DEADLINE_MS = 5000;    // a port nobody reads for this long drops bytes
constexpr long long PIECE_GAP_MS = 10;
constexpr size_t NOISE_REPLY = 40;              // beyond the 36 bytes a transaction collects
constexpr unsigned char STRAY_BYTE = 0x2A;
constexpr size_t MAX_PENDING = 32;
constexpr size_t PENDING_BYTES = 64;
constexpr int CMD_LEN = 8;

// Bytes the controller sends later (a reply in pieces).
struct Pending {
    long long due;
    size_t len;
    std::array<unsigned char, PENDING_BYTES> bytes;
};

struct Sim {
    int master = -1;
    int slave = -1;               // held open so the master never sees a hang-up
    char slaveName[128] = "";
    const char *link = nullptr;
    bool controller = false;
    Fault fault = FAULT_NONE;
    bool exitAtEnd = false;
    bool quit = false;
    bool portBroken = false;
    unsigned long long rxTotal = 0;
    unsigned long long rxClaimed = 0;  // bytes earlier wait-rx lines waited for
    std::array<unsigned char, CMD_LEN> cmd{};  // command packet being assembled
    int cmdLen = 0;
    std::array<Pending, MAX_PENDING> pending{};
    size_t pendingCount = 0;
    unsigned long lastX = 0;
    unsigned long lastY = 0;
    unsigned long lineNo = 0;
    unsigned long long rng = 1;
    sigset_t waitMask;            // signal mask while waiting: stop signals let through
};

static Sim sim;
static volatile sig_atomic_t stopRequested = 0;
static constexpr std::array<int, 3> stopSignals = {SIGTERM, SIGINT, SIGHUP};

static void on_stop_signal(int)
{
    stopRequested = 1;
}

static long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static void line_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void line_error(const char *fmt, ...)
{
    fprintf(stderr, "error: line %lu: ", sim.lineNo);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

static unsigned char noise_byte()
{
    for (;;) {  // xorshift64; 0x55 would look like the start of a packet
        sim.rng ^= sim.rng << 13;
        sim.rng ^= sim.rng >> 7;
        sim.rng ^= sim.rng << 17;
        auto b = static_cast<unsigned char>(sim.rng >> 24);
        if (b != 0x55)
            return b;
    }
}

// ---- the port side ----

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
static void write_now(const unsigned char *p, size_t n)
{
    ssize_t w;
    do
        w = write(sim.master, p, n);
    while (w < 0 && errno == EINTR);
    if (w < 0 || static_cast<size_t>(w) < n)
        fprintf(stderr, "error: port did not take the controller's answer\n");
}

static void schedule(long long due, const unsigned char *p, size_t n)
{
    if (sim.pendingCount == MAX_PENDING || n > PENDING_BYTES) {
        write_now(p, n);
        return;
    }
    Pending &e = sim.pending[sim.pendingCount++];
    e.due = due;
    e.len = n;
    memcpy(e.bytes.data(), p, n);
}

static void send_due()
{
    long long now = now_ms();
    size_t i = 0;
    while (i < sim.pendingCount) {
        if (sim.pending[i].due > now) {
            ++i;
            continue;
        }
        write_now(sim.pending[i].bytes.data(), sim.pending[i].len);
        for (size_t j = i + 1; j < sim.pendingCount; ++j)
            sim.pending[j - 1] = sim.pending[j];
        --sim.pendingCount;
    }
}

static long long next_due()
{
    long long due = -1;
    for (size_t i = 0; i < sim.pendingCount; ++i)
        if (due < 0 || sim.pending[i].due < due)
            due = sim.pending[i].due;
    return due;
}

static bool two_letter_command(unsigned char first)
{
    return first == 'o' || first == 'p' || first == 'P' || first == 'R';
}

static void controller_answer(const unsigned char *cmd)
{
    std::array<unsigned char, CMD_LEN> reply{};
    reply[0] = 'U';
    if (cmd[1] == 'o' && cmd[2] == 'c') {
        memcpy(reply.data() + 1, "VORTAN", 6);
    } else {
        reply[1] = cmd[1];
        if (two_letter_command(cmd[1]))
            reply[2] = cmd[2];
    }
    reply[7] = check_sum(reply.data());
    std::array<unsigned char, NOISE_REPLY> out;
    switch (sim.fault) {
    case FAULT_NONE:
        write_now(reply.data(), reply.size());
        break;
    case FAULT_SILENT:
        break;
    case FAULT_BADSUM:
        reply[7] = static_cast<unsigned char>(reply[7] + 1);
        write_now(reply.data(), reply.size());
        break;
    case FAULT_STRAY:
        out[0] = STRAY_BYTE;
        memcpy(out.data() + 1, reply.data(), reply.size());
        write_now(out.data(), reply.size() + 1);
        break;
    case FAULT_PIECES: {
        long long now = now_ms();
        write_now(reply.data(), 3);
        schedule(now + PIECE_GAP_MS, reply.data() + 3, 3);
        schedule(now + 2 * PIECE_GAP_MS, reply.data() + 6, 2);
        break;
    }
    case FAULT_NOISE:
        for (auto &b : out)
            b = noise_byte();
        write_now(out.data(), out.size());
        break;
    }
}

// Assembles command packets from the received bytes, resynchronising on the next 0x55
// when eight bytes do not make one.
static void controller_feed(unsigned char b)
{
    if (sim.cmdLen == 0 && b != 0x55)
        return;
    sim.cmd[static_cast<size_t>(sim.cmdLen++)] = b;
    if (sim.cmdLen < CMD_LEN)
        return;
    if (check_sum_data(sim.cmd.data())) {
        controller_answer(sim.cmd.data());
        sim.cmdLen = 0;
        return;
    }
    int next = 1;
    while (next < CMD_LEN && sim.cmd[static_cast<size_t>(next)] != 0x55)
        ++next;
    memmove(sim.cmd.data(), sim.cmd.data() + next, static_cast<size_t>(CMD_LEN - next));
    sim.cmdLen = CMD_LEN - next;
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
            controller_feed(buf[static_cast<size_t>(i)]);
}

enum ServeEnd { SERVE_TIMEOUT, SERVE_READY, SERVE_RX, SERVE_STOP };

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

static bool stopping()
{
    if (stop_pending())
        stopRequested = 1;
    return stopRequested != 0;
}

// Serves the port (received bytes, controller answers) until the deadline (-1 = none),
// until waitFd shows waitEvents, until rxTotal reaches rxTarget (0 = no target), or until
// a stop signal or a broken port.
static ServeEnd serve(long long deadline, int waitFd, short waitEvents, unsigned long long rxTarget)
{
    for (;;) {
        if (stopping() || sim.portBroken)
            return SERVE_STOP;
        send_due();
        if (rxTarget > 0 && sim.rxTotal >= rxTarget)
            return SERVE_RX;
        long long now = now_ms();
        if (deadline >= 0 && now >= deadline)
            return SERVE_TIMEOUT;
        long long wake = next_due();
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
static bool send_bytes(const unsigned char *p, size_t n)
{
    long long deadline = now_ms() + SEND_DEADLINE_MS;
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
        ServeEnd end = serve(deadline, sim.master, POLLOUT, 0);
        if (end == SERVE_STOP)
            return false;
        if (end == SERVE_TIMEOUT) {
            line_error("the port takes no bytes, %zu dropped", n);
            return false;
        }
    }
    return true;
}

static bool send_touch(unsigned char status, unsigned long x, unsigned long y)
{
    //   55 54 status xlo xhi ylo yhi 00 00 00
    std::array<unsigned char, 10> pkt = {0x55, 0x54, status,
                                         static_cast<unsigned char>(x & 0xFF), static_cast<unsigned char>(x >> 8),
                                         static_cast<unsigned char>(y & 0xFF), static_cast<unsigned char>(y >> 8),
                                         0, 0, 0};
    sim.lastX = x;
    sim.lastY = y;
    return send_bytes(pkt.data(), pkt.size());
}

static void pause_ms(unsigned long ms)
{
    if (ms > 0)
        serve(now_ms() + static_cast<long long>(ms), -1, 0, 0);
}

// ---- script commands ----

// Decimal number without sign, at most max.
static bool parse_number(const char *s, unsigned long max, unsigned long *out)
{
    if (*s < '0' || *s > '9')
        return false;
    errno = 0;
    char *end;
    unsigned long v = strtoul(s, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// Parses argv[0..n) as numbers no greater than max; reports the first bad one.
static bool parse_numbers(char **argv, int n, unsigned long max, unsigned long *out)
{
    for (int i = 0; i < n; ++i) {
        if (!parse_number(argv[i], max, &out[i])) {
            line_error("'%s' is not a number from 0 to %lu", argv[i], max);
            return false;
        }
    }
    return true;
}

static void cmd_touch(unsigned char status, char **argv)
{
    unsigned long v[2];
    if (parse_numbers(argv, 2, MAX_COORD, v))
        send_touch(status, v[0], v[1]);
}

// down and move send the same packet: the daemon tells them apart by what came before.
static void cmd_down(int, char **argv)
{
    cmd_touch(0x81, argv);
}

static void cmd_lift(int argc, char **argv)
{
    if (argc == 0)
        send_touch(0x84, sim.lastX, sim.lastY);
    else if (argc == 2)
        cmd_touch(0x84, argv);
    else
        line_error("lift takes no position or both X and Y");
}

static void cmd_tap(int argc, char **argv)
{
    unsigned long v[2];
    if (parse_numbers(argv, argc, MAX_COORD, v) && send_touch(0x81, v[0], v[1]))
        send_touch(0x84, v[0], v[1]);
}

static long interpolate(unsigned long from, unsigned long to, unsigned long i, unsigned long n)
{
    long long span = static_cast<long long>(to) - static_cast<long long>(from);
    return static_cast<long>(static_cast<long long>(from) + span * static_cast<long long>(i) / static_cast<long long>(n));
}

static void cmd_drag(int argc, char **argv)
{
    unsigned long v[4];
    unsigned long steps;
    unsigned long gap = 0;
    if (!parse_numbers(argv, 4, MAX_COORD, v) || !parse_numbers(argv + 4, 1, MAX_DRAG_STEPS, &steps))
        return;
    if (argc == 6 && !parse_numbers(argv + 5, 1, MAX_WAIT_MS, &gap))
        return;
    if (!send_touch(0x81, v[0], v[1]))
        return;
    for (unsigned long i = 1; i <= steps; ++i) {
        pause_ms(gap);
        if (stopping() ||
            !send_touch(0x81, static_cast<unsigned long>(interpolate(v[0], v[2], i, steps)),
                        static_cast<unsigned long>(interpolate(v[1], v[3], i, steps))))
            return;
    }
    pause_ms(gap);
    send_touch(0x84, v[2], v[3]);
}

static bool parse_hex_byte(const char *s, unsigned char *out)
{
    size_t n = strlen(s);
    if (n == 0 || n > 2)
        return false;
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        v = v * 16 + d;
    }
    *out = static_cast<unsigned char>(v);
    return true;
}

static void cmd_hex(int argc, char **argv)
{
    std::array<unsigned char, MAX_TOKENS> bytes;
    for (int i = 0; i < argc; ++i) {
        if (!parse_hex_byte(argv[i], &bytes[static_cast<size_t>(i)])) {
            line_error("'%s' is not a hex byte", argv[i]);
            return;
        }
    }
    send_bytes(bytes.data(), static_cast<size_t>(argc));
}

static void cmd_noise(int, char **argv)
{
    unsigned long n;
    if (!parse_numbers(argv, 1, MAX_NOISE, &n))
        return;
    std::array<unsigned char, RX_CHUNK> chunk;
    while (n > 0) {
        size_t k = n < chunk.size() ? n : chunk.size();
        for (size_t i = 0; i < k; ++i)
            chunk[i] = noise_byte();
        if (!send_bytes(chunk.data(), k))
            return;
        n -= k;
    }
}

static void cmd_pause(int, char **argv)
{
    unsigned long ms;
    if (parse_numbers(argv, 1, MAX_WAIT_MS, &ms))
        pause_ms(ms);
}

static void cmd_wait_rx(int argc, char **argv)
{
    unsigned long want;
    unsigned long ms = DEFAULT_RX_WAIT_MS;
    if (!parse_numbers(argv, 1, MAX_RX_WAIT, &want))
        return;
    if (argc == 2 && !parse_numbers(argv + 1, 1, MAX_WAIT_MS, &ms))
        return;
    if (want == 0)
        return;
    // Counted from what earlier waits claimed, not from now: bytes that came while the
    // line was on its way still count.
    unsigned long long target = sim.rxClaimed + want;
    if (serve(now_ms() + static_cast<long long>(ms), -1, 0, target) == SERVE_TIMEOUT) {
        line_error("wait-rx: %llu of %lu bytes before the deadline", sim.rxTotal - sim.rxClaimed, want);
        sim.rxClaimed = sim.rxTotal;
        return;
    }
    sim.rxClaimed = target;
}

static void cmd_controller(int, char **argv)
{
    if (strcmp(argv[0], "on") == 0)
        sim.controller = true;
    else if (strcmp(argv[0], "off") == 0)
        sim.controller = false;
    else
        line_error("controller takes on or off");
    sim.cmdLen = 0;
}

static bool parse_fault(const char *name, Fault *out)
{
    for (size_t i = 0; i < faultNames.size(); ++i) {
        if (faultNames[i] == name) {
            *out = static_cast<Fault>(i);
            return true;
        }
    }
    return false;
}

static void cmd_fault(int, char **argv)
{
    if (!parse_fault(argv[0], &sim.fault))
        line_error("unknown fault '%s' (none, silent, badsum, stray, pieces, noise)", argv[0]);
}

static void cmd_echo(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i)
        printf(i ? " %s" : "%s", argv[i]);
    putchar('\n');
}

static void cmd_quit(int, char **)
{
    sim.quit = true;
}

struct ScriptCommand {
    std::string_view name;
    int minArgs;
    int maxArgs;
    void (*run)(int argc, char **argv);
};

static constexpr std::array<ScriptCommand, 13> scriptCommands = {{
    {"down", 2, 2, cmd_down},
    {"move", 2, 2, cmd_down},
    {"lift", 0, 2, cmd_lift},
    {"tap", 2, 2, cmd_tap},
    {"drag", 5, 6, cmd_drag},
    {"hex", 1, static_cast<int>(MAX_TOKENS), cmd_hex},
    {"noise", 1, 1, cmd_noise},
    {"pause", 1, 1, cmd_pause},
    {"wait-rx", 1, 2, cmd_wait_rx},
    {"controller", 1, 1, cmd_controller},
    {"fault", 1, 1, cmd_fault},
    {"echo", 0, static_cast<int>(MAX_TOKENS), cmd_echo},
    {"quit", 0, 0, cmd_quit},
}};

static void run_line(char *line)
{
    ++sim.lineNo;
    char *hash = strchr(line, '#');
    if (hash)
        *hash = '\0';
    std::array<char *, MAX_TOKENS + 1> tok;
    int n = 0;
    char *save = nullptr;
    for (char *t = strtok_r(line, " \t\r", &save); t; t = strtok_r(nullptr, " \t\r", &save)) {
        if (static_cast<size_t>(n) == tok.size()) {
            line_error("too many words");
            return;
        }
        tok[static_cast<size_t>(n++)] = t;
    }
    if (n == 0)
        return;
    for (const ScriptCommand &c : scriptCommands) {
        if (c.name != tok[0])
            continue;
        int argc = n - 1;
        if (argc < c.minArgs || argc > c.maxArgs) {
            line_error("%s takes %d to %d arguments, not %d", tok[0], c.minArgs, c.maxArgs, argc);
            return;
        }
        c.run(argc, tok.data() + 1);
        return;
    }
    line_error("unknown command '%s'", tok[0]);
}

// Reads the script from fd line by line, serving the port while the next line is awaited.
static void run_script(int fd)
{
    std::array<char, MAX_LINE + 2> buf;  // a line, its newline, and room for a terminator
    size_t len = 0;
    bool tooLong = false;  // dropping the rest of an over-long line
    bool eof = false;
    while (!eof && !sim.quit && !stopRequested && !sim.portBroken) {
        if (serve(-1, fd, POLLIN, 0) != SERVE_READY)
            return;
        ssize_t n = read(fd, buf.data() + len, MAX_LINE + 1 - len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            if (n < 0)
                perror("quilmosim: read the script");
            eof = true;
            n = 0;
        }
        len += static_cast<size_t>(n);
        size_t start = 0;
        for (size_t i = 0; i < len && !sim.quit; ++i) {
            if (buf[i] != '\n')
                continue;
            if (stopping())
                return;
            buf[i] = '\0';
            if (tooLong)
                tooLong = false;
            else
                run_line(buf.data() + start);
            start = i + 1;
        }
        memmove(buf.data(), buf.data() + start, len - start);
        len -= start;
        if (len == MAX_LINE + 1) {
            if (!tooLong) {
                ++sim.lineNo;
                line_error("longer than %zu characters, skipped", MAX_LINE);
            }
            tooLong = true;
            len = 0;
        }
    }
    if (eof && len > 0 && !tooLong && !sim.quit && !stopRequested) {
        buf[len] = '\0';
        run_line(buf.data());
    }
}

// ---- set-up ----

static int make_raw(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    return tcsetattr(fd, TCSANOW, &tio);
}

static bool open_terminal()
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
static bool make_link(const char *link)
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
static void remove_link()
{
    if (sim.link == nullptr)
        return;
    std::array<char, sizeof sim.slaveName> target{};
    ssize_t n = readlink(sim.link, target.data(), target.size() - 1);
    if (n > 0 && strcmp(target.data(), sim.slaveName) == 0)
        unlink(sim.link);
}

static void setup_signals()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : stopSignals)
        sigaddset(&stops, sig);
    // Blocked except inside ppoll, so a signal cannot slip in between a check and a wait.
    sigprocmask(SIG_BLOCK, &stops, &sim.waitMask);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : stopSignals) {
        sigdelset(&sim.waitMask, sig);
        sigaction(sig, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

struct Options {
    const char *link = nullptr;
    const char *script = nullptr;
};

constexpr char USAGE[] = "usage: quilmosim [--controller] [--fault KIND] [--exit-at-end] [--seed N] LINKPATH [SCRIPT]\n";

static int usage()
{
    fputs(USAGE, stderr);
    return 2;
}

// 0 = parsed, -1 = answered --help or --version (exit 0), otherwise the exit status.
static int parse_options(int argc, char **argv, Options *opt)
{
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        unsigned long seed;
        if (a == "-h" || a == "--help") {
            printf("%s"
                   "A touch controller on a pseudo-terminal linked at LINKPATH, played from SCRIPT\n"
                   "(default: standard input). See quilmosim(1) for the script lines.\n"
                   "  --controller     answer command packets like a controller\n"
                   "  --fault KIND     none, silent, badsum, stray, pieces or noise\n"
                   "  --exit-at-end    end after the script\n"
                   "  --seed N         seed of the noise command (default 1)\n",
                   USAGE);
            return -1;
        } else if (a == "-V" || a == "--version") {
            puts("quilmosim " QUILMOD_VERSION);
            return -1;
        } else if (a == "--controller") {
            sim.controller = true;
        } else if (a == "--exit-at-end") {
            sim.exitAtEnd = true;
        } else if (a == "--fault" && i + 1 < argc) {
            if (!parse_fault(argv[++i], &sim.fault)) {
                fprintf(stderr, "quilmosim: unknown fault '%s'\n", argv[i]);
                return 2;
            }
        } else if (a == "--seed" && i + 1 < argc) {
            if (!parse_number(argv[++i], ULONG_MAX, &seed))
                return usage();
            sim.rng = seed ? seed : 1;  // xorshift must not start at zero
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return usage();
        } else if (positional == 0) {
            opt->link = argv[i];
            ++positional;
        } else if (positional == 1) {
            opt->script = argv[i];
            ++positional;
        } else {
            return usage();
        }
    }
    return opt->link ? 0 : usage();
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options opt;
    int status = parse_options(argc, argv, &opt);
    if (status != 0)
        return status < 0 ? 0 : status;
    int scriptFd = 0;
    if (opt.script && strcmp(opt.script, "-") != 0) {
        scriptFd = open(opt.script, O_RDONLY | O_CLOEXEC);
        if (scriptFd < 0) {
            fprintf(stderr, "quilmosim: cannot open script %s: %s\n", opt.script, strerror(errno));
            return 1;
        }
    }
    setup_signals();
    if (!open_terminal() || !make_link(opt.link))
        return 1;
    printf("ready %s\n", opt.link);
    fflush(stdout);

    run_script(scriptFd);
    if (!sim.quit) {
        // Let a reply in pieces finish; then hold the terminal until told to stop.
        if (sim.pendingCount > 0)
            serve(next_due() + 2 * PIECE_GAP_MS, -1, 0, 0);
        if (!sim.exitAtEnd)
            serve(-1, -1, 0, 0);
    }
    remove_link();
    return sim.portBroken ? 1 : 0;
}
