// quilmoctl: the installer's and service technician's tool: settings and actions over quilmod's
// command FIFO, port sharing, a frame watcher, and direct talk to a controller on a free port.
// The FIFO client is the client library; this file holds the table of subcommands and the
// command line, commands.cpp the subcommands' actions.
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
#include <getopt.h>
#include <span>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include "client.h"
#include "ctl.h"

constexpr long MAX_COUNT = 1000000000;
constexpr long MAX_TIMEOUT_S = 86400;

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
    {"new", CMD_RCLICK_NEW, "x"},      // a new tool, shown or hidden as the last one
}};

constexpr long MAX_DRAG_DELAY = 1000;      // frames/4 of hold; 8 or less means off
constexpr long MAX_DBLCLICK_AREA = 4095;   // beyond, the daemon's snap tolerance overflows

static const std::array<Subcommand, 26> subcommands = {{
    {"mode", "[drawing|desktop]", "Print the mouse mode, or set it.\n  Without a value it prints DRAWING or DESKTOP.",
     CtlMode, 0, 1, 0, CMD_MODE, modeChoices, 0, 0},
    {"sound", "none|down|up", "Beep never, on touch-down, or on lift-off.", CtlChoice, 1, 1, 0, CMD_SOUND,
     soundChoices, 0, 0},
    {"cursor", "none|display", "Hide the X pointer while the panel is used, or not.\n  none hides it while the panel is used; display keeps it shown.", CtlChoice,
     1, 1, 0, CMD_CURSOR, cursorChoices, 0, 0},
    {"drag-delay", "N", "Set the drag delay (DESKTOP mode).\n  The first 4*N frames of a touch stay on its first point.\n"
     "  It acts in DESKTOP mode and above 8 only; 0 to 1000.",
     CtlNumber, 1, 1, 0, CMD_DRAG_DELAY, {}, 0, MAX_DRAG_DELAY},
    {"dblclick-area", "N", "Set how far a touch may stray and still be held.\n  How far from its touch-down point a touch is held there.\n"
     "  0 to 4095; it also widens the double-click snap.",
     CtlNumber, 1, 1, 0, CMD_DBLCLICK_AREA, {}, 0, MAX_DBLCLICK_AREA},
    {"right-button", "", "Make the next touch a right-button touch.", CtlFixed, 0, 0, 0, CMD_RIGHT_BUTTON, {}, 0,
     0},
    {"left-button", "", "Make the next touch a left-button touch again.", CtlFixed, 0, 0, 0, CMD_LEFT_BUTTON, {},
     0, 0},
    {"right-click-hold", "[MS]", "Print or set the long press for a right click.\n"
     "  A touch that stays put MS ms is a right-button touch from its start; 0 is\n"
     "  off, else 300 to 3000. Without a value it prints the time, or off.",
     CtlHold, 0, 1, 0, CMD_RCLICK_HOLD, {}, 0, 0},
    {"rclick", "on|off|later|new", "Switch the right-click tool on or off.\n  on, off, on after 2 s (later), or start a new one, shown or hidden as\n  the last (new). The daemon starts it itself when display :0 comes.",
     CtlChoice, 1, 1, 0, 0, rclickChoices, 0, 0},
    {"flush", "", "Discard the frames nobody has read yet.", CtlFixed, 0, 0, 0, CMD_FLUSH, {}, 0,
     0},
    {"reset", "", "Re-read the configuration and reopen the ports.", CtlFixed, 0, 0, 0, CMD_RESET,
     {}, 0, 0},
    {"stop", "", "End quilmod, and wait until its process has gone.", CtlStop, 0, 0, 0, CMD_EXIT, {}, 0, 0},
    {"dump", "", "Make quilmod print its mode on its own output.\n  Seen only with quilmod -d, or in the journal.", CtlFixed, 0, 0, 0,
     CMD_DUMP, {}, 0, 0},
    {"close-port", "DEVICE", "Make quilmod close the port DEVICE.\n  No answer comes back.",
     CtlClosePort, 1, 1, 0, CMD_CLOSE_PORT, {}, 0, 0},
    {"share", "[--raw|--decode] [--count N] [--timeout S] DEVICE",
     "Show a port's raw bytes; send it standard input.\n"
     "  The bytes show in hex, 16 a line (--raw: unchanged). --decode cuts them\n"
     "  as quilmod does: a packet a line, its bytes beside down|move|lift x=X y=Y;\n"
     "  a controller's reply beside its text; other bytes beside (no packet).\n"
     "  Ends on SIGINT or SIGTERM, after N bytes, or after S seconds (short of N\n"
     "  bytes: status 1); then quilmod has the port alone again.",
     CtlShare, 1, 1, OPT_RAW | OPT_DECODE | OPT_COUNT | OPT_TIMEOUT, CMD_SHARE, {}, 0, 0},
    {"record", "[--count N] [--timeout S] DEVICE FILE",
     "Record a port's raw stream into FILE.\n"
     "  While quilmod serves the port, its bytes are taken through the share pipes\n"
     "  and written with their times (quilmod-record 1, see quilmoctl(1)); the\n"
     "  port going away and coming back are written too. FILE must not exist.\n"
     "  Ends on SIGINT or SIGTERM, after N bytes, or after S seconds. quilmosim\n"
     "  --replay FILE plays it back.",
     CtlRecord, 2, 2, OPT_COUNT | OPT_TIMEOUT, CMD_SHARE, {}, 0, 0},
    {"watch", "[--timestamps[=wall]] [--count N] [--timeout S]",
     "Print each frame quilmod writes to /dev/qvdat1.\n"
     "  One line a frame: touch|release [right] x=X y=Y. --timestamps puts the\n"
     "  milliseconds since the first frame in front, --timestamps=wall the time\n"
     "  of day (HH:MM:SS.mmm). Ends on SIGINT or SIGTERM, after N frames, or\n"
     "  after S seconds (short of N frames: status 1).",
     CtlWatch, 0, 0, OPT_TIMESTAMPS | OPT_COUNT | OPT_TIMEOUT, 0, {}, 0, 0},
    {"probe", "DEVICE",
     "Ask a controller on a free port who it is.\n"
     "  Opens DEVICE at 9600 baud, asks for the identification and the status byte, and prints\n"
     "  them; status 1 when no controller answers.",
     CtlProbe, 1, 1, 0, 0, {}, 0, 0},
    {"send", "DEVICE N [ARG]",
     "Send a command to a controller on a free port.\n"
     "  Command N (0 to 15) with the argument characters ARG; prints the 8-byte reply in hex.",
     CtlSend, 2, 3, 0, 0, {}, 0, 0},
    {"status", "[--json]",
     "Show quilmod's state and each configured port.\n"
     "  Per Port line: present or missing, held open by quilmod, the calibration mode, whether the\n"
     "  files hold the defaults, and the screen size. --json prints one JSON object.",
     CtlStatus, 0, 0, OPT_JSON, 0, {}, 0, 0},
    {"bind", "[sway|gnome|kde|x11|weston]",
     "Print how to bind each panel to its monitor.\n"
     "  For each input device of quilmod whose Port line names an output=: the\n"
     "  sway configuration lines, the GNOME gsettings command (from the monitor's\n"
     "  EDID), KWin's D-Bus call, xinput map-to-output for X, or what weston needs\n"
     "  (nothing). Without an operand, all of them.",
     CtlBind, 0, 1, 0, 0, {}, 0, 0},
    {"list", "[--probe] [--json]",
     "List the serial nodes: configured, held or free.\n"
     "  Each ttyS*, ttyUSB* and ttyACM* node in /dev with its links (in\n"
     "  /dev/serial/by-id, by-path and /dev): configured or not, held by quilmod\n"
     "  or free; configured ports that are missing too. --probe asks each free\n"
     "  node for the identification (half a second for a silent one). --json\n"
     "  prints one JSON object.",
     CtlList, 0, 0, OPT_PROBE | OPT_JSON, 0, {}, 0, 0},
    {"hotplug", "DEVNODE",
     "Reset quilmod when DEVNODE is a configured port.\n  udev runs this when a USB serial node appears.\n"
     "  Only when DEVNODE, or a Port line's link to it, is in the configuration and quilmod runs;\n"
     "  otherwise nothing happens. Status 0 either way.",
     CtlHotplug, 1, 1, 0, 0, {}, 0, 0},
    {"help", "[SUBCOMMAND]", "Print this help, or a subcommand's.", nullptr, 0, 1, 0, 0, {}, 0, 0},
    {"--help", "", "Print this help.", nullptr, 0, 0, 0, 0, {}, 0, 0},
    {"--version", "", "Print the version.", nullptr, 0, 0, 0, 0, {}, 0, 0},
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
         "Talks to the running quilmod through its pipes; QUILMOD_ROOT moves every\n"
         "fixed path.\n"
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
        return Complain(EXIT_USAGE, "unknown subcommand '%s' (see quilmoctl --help)", Escaped(name).c_str());
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

enum LongOnly { LONG_RAW = 256, LONG_COUNT, LONG_TIMEOUT, LONG_JSON, LONG_DECODE, LONG_TIMESTAMPS, LONG_PROBE };

static const struct option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"raw", no_argument, nullptr, LONG_RAW},
    {"count", required_argument, nullptr, LONG_COUNT},
    {"timeout", required_argument, nullptr, LONG_TIMEOUT},
    {"json", no_argument, nullptr, LONG_JSON},
    {"decode", no_argument, nullptr, LONG_DECODE},
    {"timestamps", optional_argument, nullptr, LONG_TIMESTAMPS},
    {"probe", no_argument, nullptr, LONG_PROBE},
    {nullptr, 0, nullptr, 0},
};

// A negative number is an operand (to be refused by its range), never an option.
static bool looks_negative(const char *a)
{
    return a[0] == '-' && isdigit(static_cast<unsigned char>(a[1]));
}

// The Option bit a subcommand must list to take the long option c.
static unsigned option_bit(int c)
{
    switch (c) {
    case LONG_RAW: return OPT_RAW;
    case LONG_COUNT: return OPT_COUNT;
    case LONG_TIMEOUT: return OPT_TIMEOUT;
    case LONG_JSON: return OPT_JSON;
    case LONG_DECODE: return OPT_DECODE;
    case LONG_TIMESTAMPS: return OPT_TIMESTAMPS;
    case LONG_PROBE: return OPT_PROBE;
    default: return 0;
    }
}

// The options without a value; false for any other.
static bool take_flag(int c, Args *args)
{
    bool *flag = c == LONG_RAW ? &args->raw : c == LONG_JSON ? &args->json : c == LONG_DECODE ? &args->decode
                 : c == LONG_PROBE ? &args->probe : nullptr;
    if (flag)
        *flag = true;
    return flag != nullptr;
}

// --timestamps alone counts from the first frame; --timestamps=wall gives the time of day.
static int take_stamps(const Subcommand &sub, const char *value, Args *args)
{
    if (!value || strcmp(value, "ms") == 0)
        args->stamps = STAMPS_SINCE_FIRST;
    else if (strcmp(value, "wall") == 0)
        args->stamps = STAMPS_WALL;
    else
        return Complain(EXIT_USAGE, "%s: --timestamps takes no value, =ms or =wall, not '%s'", sub.name, Escaped(value).c_str());
    return 0;
}

// One option getopt_long returned. 0 = taken, -1 = help printed, else the usage status.
static int take_option(const Subcommand &sub, int c, const char *text, Args *args)
{
    const char *value = optarg;
    if (c == ':') {  // its value is missing: option_value says what it needs
        c = optopt;
        value = nullptr;
    }
    if (c == 'h') {
        print_sub_help(sub);
        return -1;
    }
    if (c == '?' || !(sub.options & option_bit(c)))
        return Complain(EXIT_USAGE, "%s: unknown option '%s'", sub.name, Escaped(text).c_str());
    if (take_flag(c, args))
        return 0;
    if (c == LONG_TIMESTAMPS)
        return take_stamps(sub, value, args);
    if (!option_value(sub, c == LONG_COUNT ? "--count" : "--timeout", value,
                      c == LONG_COUNT ? MAX_COUNT : MAX_TIMEOUT_S, c == LONG_COUNT ? &args->count : &args->timeout))
        return EXIT_USAGE;
    return 0;
}

static int add_operand(const Subcommand &sub, const char *word, Args *args)
{
    if (args->operands == sub.maxOperands)
        return Complain(EXIT_USAGE, "%s: too many arguments (usage: quilmoctl %s %s)", sub.name, sub.name,
                        sub.operands);
    args->operand[static_cast<size_t>(args->operands++)] = word;
    return 0;
}

// argv[0] is the subcommand. Options and operands mix; "--" ends the options ("--count=5" and
// "--count 5" both work). 0 = parsed, -1 = help printed, else the usage status.
static int parse_args(const Subcommand &sub, int argc, char **argv, Args *args)
{
    optind = 1;
    opterr = 0;  // our own messages, with the subcommand's name
    bool optionsEnded = false;
    while (optind < argc) {
        const char *a = argv[optind];
        if (optionsEnded || a[0] != '-' || a[1] == '\0' || looks_negative(a)) {
            int r = add_operand(sub, a, args);
            if (r != 0)
                return r;
            optind++;
            continue;
        }
        if (strcmp(a, "--") == 0) {
            optionsEnded = true;
            optind++;
            continue;
        }
        int c = getopt_long(argc, argv, "+:h", longOptions, nullptr);
        if (c == -1)
            break;
        int r = take_option(sub, c, argv[optind - 1], args);
        if (r != 0)
            return r;
    }
    if (args->raw && args->decode)
        return Complain(EXIT_USAGE, "%s: --raw and --decode exclude each other", sub.name);
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
    if (strcmp(argv[1], "-V") == 0 || strcmp(argv[1], "--version") == 0) {
        puts("quilmoctl " QUILMOD_VERSION);
        return EXIT_OK;
    }
    const Subcommand *sub = find_subcommand(argv[1]);
    if (!sub)
        return Complain(EXIT_USAGE, "unknown subcommand '%s' (see quilmoctl --help)", Escaped(argv[1]).c_str());
    Args args;
    int parsed = parse_args(*sub, argc - 1, argv + 1, &args);
    if (parsed != 0)
        return parsed < 0 ? EXIT_OK : parsed;
    if (!sub->run)
        return run_help(args.operands > 0 ? args.operand[0] : nullptr);
    return sub->run(*sub, args);
}
