// quilmosim's script: lines parsed into words and run as touches, raw bytes, noise, waits and
// settings of the controller.
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string_view>
#include <unistd.h>

#include "framing.h"
#include "sim.h"

constexpr size_t MAX_LINE = 1024;        // script line, newline excluded
constexpr size_t MAX_TOKENS = MAX_LINE / 2 + 1;
constexpr unsigned long MAX_COORD = 65535;
constexpr unsigned long MAX_NOISE = 65536;
constexpr unsigned long MAX_DRAG_STEPS = 100000;
constexpr unsigned long MAX_WAIT_MS = 3600000;  // an hour
constexpr unsigned long MAX_RX_WAIT = 1000000;
constexpr long long DEFAULT_RX_WAIT_MS = 5000;

void LineError(const char *fmt, ...)
{
    fprintf(stderr, "error: line %lu: ", sim.lineNo);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// Decimal number without sign, at most max.
bool ParseUnsigned(const char *s, unsigned long max, unsigned long *out)
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
        if (!ParseUnsigned(argv[i], max, &out[i])) {
            LineError("'%s' is not a number from 0 to %lu", argv[i], max);
            return false;
        }
    }
    return true;
}

static bool send_touch(unsigned char status, unsigned long x, unsigned long y)
{
    //   55 54 status xlo xhi ylo yhi 00 00 00
    std::array<unsigned char, PACKET_LEN> pkt = {
        PACKET_SYNC0, PACKET_SYNC1, status,
        static_cast<unsigned char>(x & 0xFF), static_cast<unsigned char>(x >> 8),
        static_cast<unsigned char>(y & 0xFF), static_cast<unsigned char>(y >> 8),
        0, 0, 0};
    sim.lastX = x;
    sim.lastY = y;
    return SendBytes(pkt.data(), pkt.size());
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
    cmd_touch(PACKET_DOWN, argv);
}

static void cmd_lift(int argc, char **argv)
{
    if (argc == 0)
        send_touch(PACKET_LIFT, sim.lastX, sim.lastY);
    else if (argc == 2)
        cmd_touch(PACKET_LIFT, argv);
    else
        LineError("lift takes no position or both X and Y");
}

static void cmd_tap(int argc, char **argv)
{
    unsigned long v[2];
    if (parse_numbers(argv, argc, MAX_COORD, v) && send_touch(PACKET_DOWN, v[0], v[1]))
        send_touch(PACKET_LIFT, v[0], v[1]);
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
    if (!send_touch(PACKET_DOWN, v[0], v[1]))
        return;
    for (unsigned long i = 1; i <= steps; ++i) {
        PauseMs(gap);
        if (Stopping() ||
            !send_touch(PACKET_DOWN, static_cast<unsigned long>(interpolate(v[0], v[2], i, steps)),
                        static_cast<unsigned long>(interpolate(v[1], v[3], i, steps))))
            return;
    }
    PauseMs(gap);
    send_touch(PACKET_LIFT, v[2], v[3]);
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
            LineError("'%s' is not a hex byte", argv[i]);
            return;
        }
    }
    SendBytes(bytes.data(), static_cast<size_t>(argc));
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
            chunk[i] = NoiseByte();
        if (!SendBytes(chunk.data(), k))
            return;
        n -= k;
    }
}

static void cmd_pause(int, char **argv)
{
    unsigned long ms;
    if (parse_numbers(argv, 1, MAX_WAIT_MS, &ms))
        PauseMs(ms);
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
    if (Serve(NowMs() + static_cast<long long>(ms), -1, 0, target) == SERVE_TIMEOUT) {
        LineError("wait-rx: %llu of %lu bytes before the deadline", sim.rxTotal - sim.rxClaimed, want);
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
        LineError("controller takes on or off");
    sim.cmdLen = 0;
}

static void cmd_fault(int, char **argv)
{
    if (!ParseFault(argv[0], &sim.fault))
        LineError("unknown fault '%s' (none, silent, badsum, stray, pieces, noise)", argv[0]);
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
            LineError("too many words");
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
            LineError("%s takes %d to %d arguments, not %d", tok[0], c.minArgs, c.maxArgs, argc);
            return;
        }
        c.run(argc, tok.data() + 1);
        return;
    }
    LineError("unknown command '%s'", tok[0]);
}

// Reads the script from fd line by line, serving the port while the next line is awaited.
void RunScript(int fd)
{
    std::array<char, MAX_LINE + 2> buf;  // a line, its newline, and room for a terminator
    size_t len = 0;
    bool tooLong = false;  // dropping the rest of an over-long line
    bool eof = false;
    while (!eof && !sim.quit && !stopRequested && !sim.portBroken) {
        if (Serve(-1, fd, POLLIN, 0) != SERVE_READY)
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
            if (Stopping())
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
                LineError("longer than %zu characters, skipped", MAX_LINE);
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
