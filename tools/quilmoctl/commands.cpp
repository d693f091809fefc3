// quilmoctl's subcommands: settings and actions over the command FIFO, mode, stop, watch and
// share, probe and send to a controller on a free port, status and hot-plug.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "client.h"
#include "ctl.h"
#include "device.h"
#include "inputdev.h"
#include "service.h"

constexpr int CONTROLLER_CMDS = 16;   // command numbers 0..15
constexpr size_t CONTROLLER_ARG = 5;  // the most argument characters a command takes
constexpr int STOP_POLL_MS = 5;

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
    return Complain(EXIT_USAGE, "%s: unknown value '%s' (one of %s)", sub.name, Escaped(word).c_str(), words);
}

int CtlFixed(const Subcommand &sub, const Args &)
{
    return RunCommand(sub.code, "x");
}

int CtlChoice(const Subcommand &sub, const Args &args)
{
    const Choice *c = find_choice(sub, args.operand[0]);
    if (!c)
        return choice_error(sub, args.operand[0]);
    return RunCommand(c->code, c->arg);
}

int CtlNumber(const Subcommand &sub, const Args &args)
{
    long v;
    if (!ParseNumber(args.operand[0], sub.lo, sub.hi, &v))
        return Complain(EXIT_USAGE, "%s: '%s' is not a number from %ld to %ld", sub.name, Escaped(args.operand[0]).c_str(), sub.lo,
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
             Escaped(device).c_str(), MAX_WORD);
    return false;
}

// The daemon answers close-port with nothing, and ignores a name it does not hold: that is
// found out before, where it can be.
int CtlClosePort(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_word(sub, device))
        return EXIT_USAGE;
    std::vector<std::string> ports;
    if (DaemonPid() > 0 && ReadConfiguredPorts(&ports) && DaemonHoldsPort(ports, device) == 0) {
        bool named = std::find(ports.begin(), ports.end(), device) != ports.end();
        return Complain(EXIT_FAIL, "quilmod holds no port named %s (%s)", Escaped(device).c_str(),
                        named ? "it is configured, but not open: missing, or closed already" : "no Port line names it");
    }
    return RunCommand(sub.code, device);
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

int CtlMode(const Subcommand &sub, const Args &args)
{
    if (args.operands == 1)
        return CtlChoice(sub, args);
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

int CtlStop(const Subcommand &sub, const Args &)
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

int CtlWatch(const Subcommand &, const Args &args)
{
    Session s;
    SessionStart(&s, args.count, args.timeout);
    int fd = OpenWatchPipe();
    if (fd < 0)
        return EXIT_FAIL;
    fprintf(stderr, "quilmoctl: watching %s; interrupt to end\n", WATCH_PIPE);
    bool ok = WatchLoop(&s, fd, args.stamps);
    close(fd);
    return ok ? EXIT_OK : EXIT_FAIL;
}

int CtlShare(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_word(sub, device))
        return EXIT_USAGE;
    Session s;
    SessionStart(&s, args.count, args.timeout);
    shareRefusalReason = WhyNotShared;
    Share sh;
    sh.raw = args.raw;
    sh.decode = args.decode;
    if (!ShareBegin(&sh, device)) {
        ShareClose(&sh);
        return EXIT_FAIL;
    }
    fprintf(stderr, "quilmoctl: sharing %s; interrupt to end\n", device);
    bool ok = ShareLoop(&s, &sh);
    if (sh.decode)
        DecodeFlush(&sh.decoder);  // what the last bytes left undecided
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
    Complain(EXIT_USAGE, "%s: '%s' is no absolute device path", sub.name, Escaped(device).c_str());
    return false;
}

// What a talk with a controller came to, for a port it has given back.
static int talk_failed(const char *device, Answer a)
{
    return Complain(EXIT_FAIL, "%s: %s%s", Escaped(device).c_str(), AnswerText(a),
                    a == ANSWER_STUCK || a == ANSWER_STOPPED ? "; its line is set back as it was" : "");
}

static bool claim(const char *device, PortClaim *c)
{
    if (ClaimPort(device, c))
        return true;
    Complain(EXIT_FAIL, "%s: %s", Escaped(device).c_str(), c->why);
    return false;
}

// The identification and the status byte of a controller on a free port.
int CtlProbe(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    if (!check_device_path(sub, device))
        return EXIT_USAGE;
    PortClaim c;
    if (!claim(device, &c))
        return EXIT_FAIL;
    char text[CMD_PACKET_LEN];
    std::array<unsigned char, CMD_PACKET_LEN> none{}, reply{};
    Answer a = IdentifyController(c, text, sizeof text);
    Answer s = a == ANSWER_OK ? Transact(c, 0, none.data(), reply.data()) : a;
    ReleasePort(&c);
    if (a != ANSWER_OK || s == ANSWER_STOPPED || s == ANSWER_STUCK)
        return talk_failed(device, a != ANSWER_OK ? a : s);
    printf("controller: yes\nidentification: %s\nstatus: %02X\n", text, s == ANSWER_OK ? reply[1] : 0);
    return EXIT_OK;
}

// Command number and argument characters, checked by building the packet before any port is
// touched. false after a message.
static bool build_send(const Subcommand &sub, const Args &args, int *cmd, unsigned char *cmdbuf)
{
    long n;
    if (!ParseNumber(args.operand[1], 0, CONTROLLER_CMDS - 1, &n)) {
        Complain(EXIT_USAGE, "send: '%s' is not a command number from 0 to %d", Escaped(args.operand[1]).c_str(),
                 CONTROLLER_CMDS - 1);
        return false;
    }
    const char *arg = args.operands > 2 ? args.operand[2] : "";
    if (strlen(arg) > CONTROLLER_ARG) {
        Complain(EXIT_USAGE, "send: at most %zu argument characters", CONTROLLER_ARG);
        return false;
    }
    memset(cmdbuf, 0, CMD_PACKET_LEN);
    memcpy(cmdbuf, arg, strlen(arg));
    std::array<unsigned char, CMD_PACKET_LEN> packet;
    if (!process_command(static_cast<int>(n), cmdbuf, packet.data())) {
        Complain(EXIT_USAGE, "%s: command %ld does not take the argument '%s'", sub.name, n, Escaped(arg).c_str());
        return false;
    }
    *cmd = static_cast<int>(n);
    return true;
}

int CtlSend(const Subcommand &sub, const Args &args)
{
    const char *device = args.operand[0];
    int cmd;
    std::array<unsigned char, CMD_PACKET_LEN> cmdbuf, reply;
    if (!check_device_path(sub, device) || !build_send(sub, args, &cmd, cmdbuf.data()))
        return EXIT_USAGE;
    PortClaim c;
    if (!claim(device, &c))
        return EXIT_FAIL;
    Answer a = TransactTwice(c, cmd, cmdbuf.data(), reply.data());
    ReleasePort(&c);
    if (a != ANSWER_OK)
        return talk_failed(device, a);
    char hex[CMD_PACKET_LEN * 3 + 1];
    HexText(reply.data(), CMD_PACKET_LEN, hex, sizeof hex);
    printf("reply: %s\n", hex);
    return EXIT_OK;
}

// ---- status and hot-plug ----

int CtlStatus(const Subcommand &, const Args &args)
{
    return RunStatus(args.json);
}

int CtlBind(const Subcommand &, const Args &args)
{
    std::string desktop = args.operands ? args.operand[0] : "";
    static const char *const desktops[] = {"sway", "gnome", "kde", "x11", "weston"};
    if (!desktop.empty() && std::find(std::begin(desktops), std::end(desktops), desktop) == std::end(desktops)) {
        fprintf(stderr, "quilmoctl: bind: '%s' is not sway, gnome, kde, x11 or weston\n", desktop.c_str());
        return EXIT_USAGE;
    }
    std::vector<InputDevState> devs = ReadInputDevices();
    if (devs.empty()) {
        fprintf(stderr, "quilmoctl: bind: quilmod has no input devices (see quilmoctl status)\n");
        return EXIT_FAIL;
    }
    PrintBindLines(devs, desktop);
    return EXIT_OK;
}

int CtlHotplug(const Subcommand &sub, const Args &args)
{
    if (!check_device_path(sub, args.operand[0]))
        return EXIT_USAGE;
    return RunHotplug(args.operand[0]);
}
