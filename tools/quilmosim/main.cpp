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
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "sim.h"


Sim sim;
volatile sig_atomic_t stopRequested = 0;

static void on_stop_signal(int)
{
    stopRequested = 1;
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
    const char *replay = nullptr;  // a record file to play instead of a script
    double speed = 1;              // of the replay; 0 = no timing
};

constexpr double MAX_SPEED = 1000;

// A positive decimal number up to MAX_SPEED.
static bool parse_speed(const char *s, double *out)
{
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !(v > 0 && v <= MAX_SPEED))
        return false;
    *out = v;
    return true;
}

constexpr char USAGE[] = "usage: quilmosim [--controller] [--fault KIND] [--exit-at-end] [--seed N] LINKPATH [SCRIPT]\n"
                         "       quilmosim --replay FILE [--speed F|--no-timing] [--exit-at-end] LINKPATH\n";

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
                   "  --seed N         seed of the noise command (default 1)\n"
                   "  --replay FILE    play a record of quilmoctl record instead of a script\n"
                   "  --speed F        play it F times as fast (default 1); --no-timing: no waits\n",
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
            if (!ParseFault(argv[++i], &sim.fault)) {
                fprintf(stderr, "quilmosim: unknown fault '%s'\n", argv[i]);
                return 2;
            }
        } else if (a == "--replay" && i + 1 < argc) {
            opt->replay = argv[++i];
        } else if (a == "--speed" && i + 1 < argc) {
            if (!parse_speed(argv[++i], &opt->speed))
                return usage();
        } else if (a == "--no-timing") {
            opt->speed = 0;
        } else if (a == "--seed" && i + 1 < argc) {
            if (!ParseUnsigned(argv[++i], ULONG_MAX, &seed))
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
    return opt->link && !(opt->replay && opt->script) ? 0 : usage();
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
    if (!OpenTerminal() || !MakeLink(opt.link))
        return 1;
    printf("ready %s\n", opt.link);
    fflush(stdout);

    if (opt.replay) {
        if (!Replay(opt.replay, opt.speed))
            sim.portBroken = true;
        fflush(stdout);
    } else {
        RunScript(scriptFd);
    }
    if (!sim.quit && !sim.portBroken) {
        // Let a reply in pieces finish; then hold the terminal until told to stop.
        if (sim.pendingCount > 0)
            Serve(NextDue() + 2 * PIECE_GAP_MS, -1, 0, 0);
        if (!sim.exitAtEnd)
            Serve(-1, -1, 0, 0);
    }
    RemoveLink();
    return sim.portBroken ? 1 : 0;
}
