// quilmocal: calibrates a touch port while quilmod runs. It shows targets, takes the port's
// raw touches through the share pipes, writes the port's calibration files, has the daemon
// reset, and checks the corrected frames on five more targets.
//
// Usage: quilmocal [--points 4|25] [--display D] [--output NAME] [--screen WxH] [--samples N]
//                  [--timeout S] [--no-reset] [--backend B] DEVICE
//        quilmocal --check [--display D] [--output NAME] [--screen WxH] [--timeout S] [--backend B] DEVICE
//        quilmocal --restore [--no-reset] DEVICE
//        quilmocal --list-outputs [--display D]
// Exit status: 0 calibrated (and checked), 1 failed or cancelled (nothing written), 2 usage.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "cal.h"

constexpr long MIN_SAMPLES = SETTLE + 1;
constexpr long MAX_SAMPLE_OPTION = 1000;
constexpr long MAX_TIMEOUT_S = 86400;
constexpr char DEFAULT_DISPLAY[] = ":0.0";

// The display went away under us: sharing ends and the right-click tool comes back before Xlib
// ends the program.
[[noreturn]] static void screen_lost()
{
    RawEnd();
    RClickBack();
    TtyKeysEnd();
    Complain(EXIT_FAIL, "lost the %s%s", WlActive() ? "Wayland compositor" : "X display",
             calibrationWritten ? "" : ": nothing written");
    _exit(EXIT_FAIL);
}

// ---- command line ----

static void usage()
{
    puts("usage: quilmocal [--points 4|25] [--display D] [--output NAME] [--screen WxH] [--samples N]\n"
         "                 [--timeout S] [--no-reset] [--backend B] DEVICE\n"
         "       quilmocal --check [--display D] [--output NAME] [--screen WxH] [--timeout S]\n"
         "                 [--backend B] DEVICE\n"
         "       quilmocal --restore [--no-reset] DEVICE\n"
         "       quilmocal --list-outputs [--display D] [--backend B]\n"
         "       quilmocal --help|--version\n"
         "Calibrates the touch port DEVICE while quilmod runs: touch each target and hold still until\n"
         "its ring is full. Writes the port's calibration files (keeping the old ones as .prev), has\n"
         "quilmod reset, checks five more targets and shows the verdict; after a failed check, touch\n"
         "the left half to calibrate again or the right half to restore the old files. A touch held\n"
         "4 s cancels, as do Escape and q. --output draws on one monitor, named as the kernel names\n"
         "its connector (HDMI-A-1; --list-outputs names them), and a passed run binds the port to it.\n"
         "--check checks only; --restore puts the .prev files back. Without an X display,\n"
         "--screen WxH prints the targets for marking on the glass. --backend auto|wayland|x11|console\n"
         "chooses where to draw (auto: $WAYLAND_DISPLAY's compositor, else X).\n"
         "Exit status: 0 calibrated and checked, 1 failed or cancelled, 2 usage error.");
}

// "WxH" with both sides in range.
static bool parse_screen(const char *text, Options *o)
{
    char w[16], h[16];
    const char *x = strchr(text, 'x');
    if (!x || x == text || static_cast<size_t>(x - text) >= sizeof w || strlen(x + 1) >= sizeof h)
        return false;
    snprintf(w, sizeof w, "%.*s", static_cast<int>(x - text), text);
    snprintf(h, sizeof h, "%s", x + 1);
    long lw, lh;
    if (!ParseNumber(w, MIN_SCREEN, MAX_SCREEN, &lw) || !ParseNumber(h, MIN_SCREEN, MAX_SCREEN, &lh))
        return false;
    o->width = static_cast<int>(lw);
    o->height = static_cast<int>(lh);
    return true;
}

// The name the daemon's files end in is the device without its first five characters.
static bool valid_device(const char *d)
{
    return d[0] == '/' && ValidWord(d) && strlen(d) > 5 && !strstr(d, "/..") && !strstr(d, "../");
}

// 0 = parsed, -1 = help or version printed, 2 = usage error after a message.
static int parse_option(int opt, const char *arg, Options *o)
{
    long v;
    switch (opt) {
    case 'p':
        if (!ParseNumber(arg, 4, 25, &v) || (v != 4 && v != 25))
            return Complain(EXIT_USAGE, "--points takes 4 or 25, not '%s'", arg);
        o->points = static_cast<int>(v);
        return 0;
    case 'd': o->display = arg; return 0;
    case 's':
        return parse_screen(arg, o) ? 0
                                    : Complain(EXIT_USAGE, "--screen takes WxH, each from %d to %d, not '%s'",
                                               MIN_SCREEN, MAX_SCREEN, arg);
    case 'n':
        if (!ParseNumber(arg, MIN_SAMPLES, MAX_SAMPLE_OPTION, &o->samples))
            return Complain(EXIT_USAGE, "--samples takes a number from %ld to %ld, not '%s'", MIN_SAMPLES,
                            MAX_SAMPLE_OPTION, arg);
        return 0;
    case 't':
        if (!ParseNumber(arg, 1, MAX_TIMEOUT_S, &o->timeout))
            return Complain(EXIT_USAGE, "--timeout takes seconds from 1 to %ld, not '%s'", MAX_TIMEOUT_S, arg);
        return 0;
    case 'r': o->noReset = true; return 0;
    case 'c': o->check = true; return 0;
    case 'R': o->restore = true; return 0;
    case 'o': o->output = arg; return 0;
    case 'b':
        for (const char *name : {"auto", "wayland", "x11", "console"})
            if (strcmp(arg, name) == 0)
                return o->backend = name, 0;
        return Complain(EXIT_USAGE, "--backend takes auto, wayland, x11 or console, not '%s'", arg);
    case 'L': o->listOutputs = true; return 0;
    case 'h': usage(); return -1;
    case 'V': printf("quilmocal %s\n", QUILMOD_VERSION); return -1;
    default: return Complain(EXIT_USAGE, "unknown option (see quilmocal --help)");  // not reached
    }
}

static int parse_args(int argc, char **argv, Options *o)
{
    static const struct option longs[] = {
        {"points", required_argument, nullptr, 'p'},  {"display", required_argument, nullptr, 'd'},
        {"screen", required_argument, nullptr, 's'},  {"samples", required_argument, nullptr, 'n'},
        {"timeout", required_argument, nullptr, 't'}, {"no-reset", no_argument, nullptr, 'r'},
        {"check", no_argument, nullptr, 'c'},         {"restore", no_argument, nullptr, 'R'},
        {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
        {"output", required_argument, nullptr, 'o'},  {"list-outputs", no_argument, nullptr, 'L'},
        {"backend", required_argument, nullptr, 'b'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // our own messages, one line each
    for (int opt; (opt = getopt_long(argc, argv, ":hV", longs, nullptr)) != -1;) {
        if (opt == ':')
            return Complain(EXIT_USAGE, "%s needs a value", argv[optind - 1]);
        if (opt == '?')
            return Complain(EXIT_USAGE, "unknown option '%s' (see quilmocal --help)", argv[optind - 1]);
        int r = parse_option(opt, optarg, o);
        if (r != 0)
            return r;
    }
    if (o->check && o->restore)
        return Complain(EXIT_USAGE, "--check and --restore do not go together");
    if (o->output && !ValidWord(o->output))
        return Complain(EXIT_USAGE, "--output takes the name of a monitor's connector");
    if (o->listOutputs)
        return optind == argc ? 0 : Complain(EXIT_USAGE, "--list-outputs takes no DEVICE");
    if (optind != argc - 1)
        return Complain(EXIT_USAGE, optind == argc ? "no DEVICE (see quilmocal --help)" : "one DEVICE only");
    o->device = argv[optind];
    if (!valid_device(o->device))
        return Complain(EXIT_USAGE, "'%s' is no device path (as the Port line names it)", o->device);
    return 0;
}

static const char *display_name(const Options &o)
{
    if (o.display)
        return o.display;
    const char *env = getenv("DISPLAY");
    return env && *env ? env : nullptr;
}

// The backend asked for; auto: the Wayland compositor when one is named (and no X display was
// given), else X.
static const char *backend_of(const Options &o)
{
    if (strcmp(o.backend, "auto") != 0)
        return o.backend;
    const char *wayland = getenv("WAYLAND_DISPLAY");
    return wayland && *wayland && !o.display ? "wayland" : "x11";
}

// The Wayland compositor's output: false after a message.
static bool open_wayland(Options *o)
{
    char why[200];
    Area area;
    if (!WlConnect(why, sizeof why) || WlArea(o->output, &area, why, sizeof why) != 0 ||
        !WlOpen(area, why, sizeof why)) {
        Complain(EXIT_FAIL, "%s", why);
        return false;
    }
    // The files speak the panel's own pixels: the compositor turns the touchscreen with the
    // output, as it turns what it shows.
    if (o->width == 0)
        o->width = shownTurn.panelWidth, o->height = shownTurn.panelHeight;
    return true;
}

// The monitor on a DRM connector: false after a message.
static bool open_console(Options *o)
{
    char why[200];
    Area area;
    if (ConArea(o->output, &area, why, sizeof why) != 0 || !ConOpen(area, why, sizeof why)) {
        Complain(EXIT_FAIL, "%s", why);
        ConClose();
        return false;
    }
    if (o->width == 0)
        o->width = area.width, o->height = area.height;
    TtyKeysBegin();  // no window to take the keys: the terminal's
    return true;
}

// The X screen (or one output of it), or the terminal alone when there is no display and
// --screen gave the size.
static bool open_screen(Options *o)
{
    const char *backend = o->backend = backend_of(*o);
    if (strcmp(backend, "console") == 0)
        return open_console(o);
    if (strcmp(backend, "wayland") == 0)
        return open_wayland(o);
    const char *name = display_name(*o);
    if (!name && o->width > 0 && !o->output)
        return TtyKeysBegin(), true;
    char why[200];
    if (!ScreenConnect(name ? name : DEFAULT_DISPLAY, why, sizeof why)) {
        if (o->width > 0 && !o->output) {
            fprintf(stderr, "quilmocal: %s: targets on the terminal only\n", why);
            TtyKeysBegin();
            return true;
        }
        Complain(EXIT_FAIL, "%s%s", why, o->output ? "" : " (give --screen WxH to go on without it)");
        return false;
    }
    Area area;
    if (ScreenArea(o->output, &area, why, sizeof why) != 0) {
        Complain(EXIT_FAIL, "%s", why);
        return false;
    }
    if (!ScreenOpen(area, why, sizeof why)) {
        Complain(EXIT_FAIL, "%s", why);
        return false;
    }
    // The panel's own pixels, as under Wayland: whatever delivers the daemon's positions (XTest
    // through quilmoinput, X's libinput driver through xinput map-to-output) turns them.
    if (o->width == 0)
        o->width = shownTurn.panelWidth, o->height = shownTurn.panelHeight;
    if (ScreenIsXwayland())
        fprintf(stderr, "quilmocal: the X display is Xwayland, which does not tell an output's rotation: on a "
                        "turned output calibrate with --backend wayland\n");
    return true;
}

static int list_outputs(const Options &o)
{
    char why[200];
    if (strcmp(backend_of(o), "console") == 0) {
        ConListOutputs(stdout);
        return EXIT_OK;
    }
    if (strcmp(backend_of(o), "wayland") == 0) {
        if (!WlConnect(why, sizeof why))
            return Complain(EXIT_FAIL, "%s", why);
        WlListOutputs(stdout);
        WlClose();
        return EXIT_OK;
    }
    const char *name = display_name(o);
    if (!ScreenConnect(name ? name : DEFAULT_DISPLAY, why, sizeof why))
        return Complain(EXIT_FAIL, "%s", why);
    ScreenListOutputs();
    ScreenClose();
    return EXIT_OK;
}

int main(int argc, char **argv)
{
    clientName = "quilmocal";
    onScreenLost = screen_lost;
    setvbuf(stdout, nullptr, _IOLBF, 0);  // scripts follow the steps as they happen
    signal(SIGPIPE, SIG_IGN);
    Options o;
    int parsed = parse_args(argc, argv, &o);
    if (parsed != 0)
        return parsed < 0 ? EXIT_OK : parsed;
    if (o.listOutputs)
        return list_outputs(o);
    if (o.restore)
        return Restore(o);
    if (!open_screen(&o))
        return EXIT_FAIL;
    Session s;
    SessionStart(&s, 0, 0);
    RClickAway(!o.check);
    int status = o.check ? CheckOnly(&s, o) : Calibrate(&s, o);
    ScreenClose();
    RClickBack();
    return status;
}
