// quilmoctl: the installer's and service technician's tool: settings and actions over quilmod's
// command FIFO, port sharing, a frame watcher, and direct talk to a controller on a free port.
// The FIFO client itself is the shared client unit; this file is the table of subcommands.
//
// Usage: quilmoctl SUBCOMMAND [OPTIONS] [OPERANDS]; quilmoctl --help lists the subcommands.
// Exit status: 0 done, 1 failed (one line on standard error says why), 2 usage error.
// Every fixed path is taken beneath $QUILMOD_ROOT when it is set, as the daemon does; messages
// name the paths as the daemon knows them.
#include <array>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include "client.h"
#include "device.h"

constexpr int CONTROLLER_CMDS = 16;   // command numbers 0..15
constexpr size_t CONTROLLER_ARG = 5;  // the most argument characters a command takes
constexpr size_t PACKET_LEN = 8;
constexpr long MAX_COUNT = 1000000000;
constexpr long MAX_TIMEOUT_S = 86400;
constexpr int STOP_POLL_MS = 5;

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
    return Complain(EXIT_USAGE, "%s: unknown value '%s' (one of %s)", sub.name, word, words);
}

static int run_fixed(const Subcommand &sub, const Args &)
{
    return RunCommand(sub.code, "x");
}

static int run_choice(const Subcommand &sub, const Args &args)
{
    const Choice *c = find_choice(sub, args.operand[0]);
    if (!c)
        return choice_error(sub, args.operand[0]);
    return RunCommand(c->code, c->arg);
}

static int run_number(const Subcommand &sub, const Args &args)
{
    long v;
    if (!ParseNumber(args.operand[0], sub.lo, sub.hi, &v))
        return Complain(EXIT_USAGE, "%s: '%s' is not a number from %ld to %ld", sub.name, args.operand[0], sub.lo,
                        sub.hi);
    char word[32];
    snprintf(word, sizeof word, "%ld", v);
    return RunCommand(sub.code, word);
}

static bool check_device_word(const Subcommand &sub, const char *device)
{
    if (ValidWord(device))
        return true;
    Complain(EXIT_USAGE, "%s: '%s' is no device name (one word of printable characters, at most %zu)", sub.name,
             device, MAX_WORD);
    return false;
}

static int run_close_port(const Subcommand &sub, const Args &args)
{
    if (!check_device_word(sub, args.operand[0]))
        return EXIT_USAGE;
    return RunCommand(sub.code, args.operand[0]);
}

// ---- mode ----

static void print_mode(int mode)
{
    if (mode == 0)
        puts("DRAWING");
    else if (mode == 1)
        puts("DESKTOP");
    else
        printf("DESKTOP (%d)\n", mode);  // any non-zero mode acts as DESKTOP
}

static int run_mode(const Subcommand &sub, const Args &args)
{
    if (args.operands == 1)
        return run_choice(sub, args);
    Channel ch;
    if (!ChannelOpen(&ch, true))
        return EXIT_FAIL;
    int mode;
    bool ok = QueryMode(ch, &mode);
    ChannelClose(&ch);
    if (!ok)
        return EXIT_FAIL;
    print_mode(mode);
    return EXIT_OK;
}

// ---- stop ----

static int run_stop(const Subcommand &sub, const Args &)
{
    // 0 when the pid file is stale or names another program: then the FIFO tells.
    pid_t pid = DaemonPid();
    if (RunCommand(sub.code, "x") != EXIT_OK)
        return EXIT_FAIL;
    long long deadline = NowMs() + STOP_MS;
    while (!DaemonStopped(pid)) {
        if (NowMs() >= deadline)
            return Complain(EXIT_FAIL, "quilmod took the stop command but still runs after %lld s", STOP_MS / 1000);
        SleepMs(STOP_POLL_MS);
    }
    return EXIT_OK;
}

// ---- watch and share ----

static int run_watch(const Subcommand &, const Args &args)
{
    Session s;
    SessionStart(&s, args.count, args.timeout);
    int fd = OpenWatchPipe();
    if (fd < 0)
        return EXIT_FAIL;
    fprintf(stderr, "quilmoctl: watching %s; interrupt to end\n", WATCH_PIPE);
    bool ok = WatchLoop(&s, fd);
    close(fd);
    return ok ? EXIT_OK : EXIT_FAIL;
}

static int run_share(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_word(sub, device))
        return EXIT_USAGE;
    Session s;
    SessionStart(&s, args.count, args.timeout);
    Share sh;
    sh.raw = args.raw;
    if (!ShareBegin(&sh, device)) {
        ShareClose(&sh);
        return EXIT_FAIL;
    }
    fprintf(stderr, "quilmoctl: sharing %s; interrupt to end\n", device);
    bool ok = ShareLoop(&s, &sh);
    fflush(stdout);
    ShareClose(&sh);
    if (!sh.daemonGone)
        ok = ShareEnd() && ok;
    return ok ? EXIT_OK : EXIT_FAIL;
}

// ---- probe and send: a controller on a port the daemon does not hold ----

static bool check_device_path(const Subcommand &sub, const char *device)
{
    if (device[0] == '/' && ValidWord(device))
        return true;
    Complain(EXIT_USAGE, "%s: '%s' is no absolute device path", sub.name, device);
    return false;
}

// Opens the port raw at 9600 baud; -1 after a message. A port the daemon holds is not even
// opened. O_NONBLOCK keeps the open from waiting for a carrier; once set up the line ignores
static int run_probe(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_path(sub, device))
        return EXIT_USAGE;
    int fd = OpenController(device);
    if (fd < 0)
        return EXIT_FAIL;
    int found = try_touch_connect(fd);
    unsigned char status = found ? static_cast<unsigned char>(get_error_status(fd)) : 0;
    CloseController(fd);
    if (!found)
        return Complain(EXIT_FAIL, "%s: no controller answered the identification", device);
    printf("controller: yes\nstatus: %02X\n", status);
    return EXIT_OK;
}

// Command number and argument characters, checked by building the packet before any port is
// touched. false after a message.
static bool build_send(const Subcommand &sub, const Args &args, int *cmd, unsigned char *cmdbuf)
{
    long n;
    if (!ParseNumber(args.operand[1], 0, CONTROLLER_CMDS - 1, &n)) {
        Complain(EXIT_USAGE, "send: '%s' is not a command number from 0 to %d", args.operand[1], CONTROLLER_CMDS - 1);
        return false;
    }
    const char *arg = args.operands > 2 ? args.operand[2] : "";
    if (strlen(arg) > CONTROLLER_ARG) {
        Complain(EXIT_USAGE, "send: at most %zu argument characters", CONTROLLER_ARG);
        return false;
    }
    memset(cmdbuf, 0, PACKET_LEN);
    memcpy(cmdbuf, arg, strlen(arg));
    std::array<unsigned char, PACKET_LEN> packet;
    if (!process_command(static_cast<int>(n), cmdbuf, packet.data())) {
        Complain(EXIT_USAGE, "%s: command %ld does not take the argument '%s'", sub.name, n, arg);
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
    int fd = OpenController(device);
    if (fd < 0)
        return EXIT_FAIL;
    int len = 0;
    int answered = SendAndWait(fd, cmd, cmdbuf.data(), &len);
    CloseController(fd);
    if (!answered)
        return Complain(EXIT_FAIL, "%s: no valid reply to command %d", device, cmd);
    char hex[PACKET_LEN * 3 + 1];
    HexText(cmdbuf.data(), PACKET_LEN, hex, sizeof hex);
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
        return Complain(EXIT_USAGE, "unknown subcommand '%s' (see quilmoctl --help)", name);
    print_sub_help(*sub);
    return EXIT_OK;
}

// ---- options ----

// The value of --count or --timeout. false after a message.
static bool option_value(const Subcommand &sub, const char *option, const char *value, long max, long *out)
{
    if (value && ParseNumber(value, 1, max, out))
        return true;
    Complain(EXIT_USAGE, "%s: %s needs a number from 1 to %ld", sub.name, option, max);
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
    return Complain(EXIT_USAGE, "%s: unknown option '%s'", sub.name, argv[*i]);
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
            return Complain(EXIT_USAGE, "%s: too many arguments (usage: quilmoctl %s %s)", sub.name, sub.name,
                            sub.operands);
        args->operand[static_cast<size_t>(args->operands++)] = argv[i];
    }
    if (args->operands < sub.minOperands)
        return Complain(EXIT_USAGE, "%s: missing argument (usage: quilmoctl %s %s)", sub.name, sub.name,
                        sub.operands);
    return 0;
}

int main(int argc, char **argv)
{
    clientName = "quilmoctl";
    signal(SIGPIPE, SIG_IGN);  // a reader that went away shows as EPIPE
    if (argc < 2)
        return Complain(EXIT_USAGE, "no subcommand (see quilmoctl --help)");
    if (strcmp(argv[1], "-h") == 0)
        return run_help(nullptr);
    const Subcommand *sub = find_subcommand(argv[1]);
    if (!sub)
        return Complain(EXIT_USAGE, "unknown subcommand '%s' (see quilmoctl --help)", argv[1]);
    Args args;
    int parsed = parse_args(*sub, argc - 2, argv + 2, &args);
    if (parsed != 0)
        return parsed < 0 ? EXIT_OK : parsed;
    if (!sub->run)
        return run_help(args.operands > 0 ? args.operand[0] : nullptr);
    return sub->run(*sub, args);
}
