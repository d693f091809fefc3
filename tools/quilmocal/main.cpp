// quilmocal: calibrates a touch port while quilmod runs. It shows targets, takes the port's
// raw touches through the share pipes, writes the port's calibration files, has the daemon
// reset, and checks the corrected frames on five more targets.
//
// Usage: quilmocal [--points 4|25] [--display D] [--screen WxH] [--samples N] [--timeout S]
//                  [--no-reset] DEVICE
//        quilmocal --check [--display D] [--screen WxH] [--timeout S] DEVICE
//        quilmocal --restore [--no-reset] DEVICE
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
constexpr double SPREAD_PERCENT = 1.0;  // of the screen diagonal, in raw units by the estimate
constexpr int MIN_SPREAD_RAW = 40;      // allowed before two targets tell the raw scale
constexpr double VERDICT_PERCENT = 1.0; // largest check error, of the screen diagonal
constexpr char DEFAULT_DISPLAY[] = ":0.0";
constexpr char HELP_LINE[] = "Touch the centre of the cross and hold still until it moves on. Escape or q cancels.";

namespace {

struct Options {
    int points = 4;
    const char *display = nullptr;
    int width = 0, height = 0;  // 0: the X screen's
    long samples = 8;
    long timeout = 60;
    bool noReset = false, check = false, restore = false;
    const char *device = nullptr;
};

}  // namespace

enum Outcome { MEASURED, CANCELLED, TIMED_OUT, INTERRUPTED, FAILED };

static Share *activeShare;  // ended by screen_lost too
static bool filesWritten;

static void end_share()
{
    if (activeShare && activeShare->shared && !activeShare->daemonGone)
        ShareEnd();
    if (activeShare)
        ShareClose(activeShare);
    activeShare = nullptr;
}

// The display went away under us: sharing ends before Xlib ends the program.
[[noreturn]] static void screen_lost()
{
    end_share();
    Complain(EXIT_FAIL, "lost the X display%s", filesWritten ? "" : ": nothing written");
    _exit(EXIT_FAIL);
}

// ---- measuring ----

// How far a steady finger's positions may stray, in raw units: SPREAD_PERCENT of the screen
// diagonal, scaled by what the first and the latest target say about raw units per pixel.
static int spread_bound(const Calibration &c)
{
    if (c.taken < 2)
        return MIN_SPREAD_RAW;
    const Point a = c.raw[0], b = c.raw[c.taken - 1], ta = c.target[0], tb = c.target[c.taken - 1];
    const double pixels = std::hypot(tb.x - ta.x, tb.y - ta.y);
    const double perPixel = pixels > 0 ? std::hypot(b.x - a.x, b.y - a.y) / pixels : 0;
    const double bound = perPixel * std::hypot(c.width, c.height) * SPREAD_PERCENT / 100;
    return std::max(MIN_SPREAD_RAW, static_cast<int>(bound));
}

static Outcome ended(int r, bool timedOut)
{
    if (r < 0)
        return FAILED;
    if (timedOut)
        return TIMED_OUT;
    return stopRequested ? INTERRUPTED : CANCELLED;
}

// One target, asked again until a steady touch agrees with the targets before it.
static Outcome measure(Session *s, Share *sh, const Options &o, Calibration *c)
{
    const int k = c->taken;
    char progress[64], why[160];
    snprintf(progress, sizeof progress, "target %d of %d", k + 1, c->points);
    for (;;) {
        const Point t = c->target[static_cast<size_t>(k)];
        printf("target %d of %d at %d %d\n", k + 1, c->points, t.x, t.y);
        ScreenShow(c->target.data(), k, t, progress, HELP_LINE);
        TouchResult tr;
        bool timedOut;
        int r = SampleTouch(s, sh, o.timeout, &tr, &timedOut);
        if (r <= 0)
            return ended(r, timedOut);
        const Settled &st = tr.settled;
        if (tr.count < o.samples || st.spread > spread_bound(*c)) {
            printf("hold still: target %d again (%d samples, spread %d)\n", k + 1, tr.count, st.spread);
            continue;
        }
        if (!FitsSoFar(*c, st.median, why, sizeof why)) {
            printf("target %d again: %s\n", k + 1, why);
            continue;
        }
        c->raw[static_cast<size_t>(k)] = st.median;
        c->taken++;
        printf("sampled %d: raw %d %d (%d samples, spread %d)\n", k + 1, st.median.x, st.median.y, tr.count,
               st.spread);
        return MEASURED;
    }
}

static int explain(Outcome out, const Options &o, const char *stage)
{
    if (out == TIMED_OUT)
        return Complain(EXIT_FAIL, "no touch within %ld s: %s", o.timeout, stage);
    if (out == INTERRUPTED)
        return Complain(EXIT_FAIL, "interrupted: %s", stage);
    if (out == CANCELLED)
        return Complain(EXIT_FAIL, "cancelled: %s", stage);
    return EXIT_FAIL;  // the failure was explained where it happened
}

// ---- the check ----

// Once the reset is answered, the daemon runs on the new files.
static bool reset_daemon()
{
    Channel ch;
    int mode;
    if (RunCommand(CMD_RESET, "x") != EXIT_OK || !ChannelOpen(&ch, true))
        return false;
    bool ok = QueryMode(ch, &mode);
    ChannelClose(&ch);
    return ok;
}

// One check target: where the daemon put the touch. 1 = measured, else the run ends.
static Outcome check_one(Session *s, int fd, const Options &o, const std::array<Point, CHECK_TARGETS> &t, int k,
                         Point *off)
{
    char progress[64];
    snprintf(progress, sizeof progress, "check %d of %d", k + 1, CHECK_TARGETS);
    printf("check %d of %d at %d %d\n", k + 1, CHECK_TARGETS, t[static_cast<size_t>(k)].x, t[static_cast<size_t>(k)].y);
    ScreenShow(t.data(), k, t[static_cast<size_t>(k)], progress, HELP_LINE);
    TouchResult tr;
    bool timedOut;
    int r = SampleFrames(s, fd, o.timeout, &tr, &timedOut);
    if (r <= 0)
        return ended(r, timedOut);
    *off = {tr.settled.median.x - t[static_cast<size_t>(k)].x, tr.settled.median.y - t[static_cast<size_t>(k)].y};
    printf("check %d: off by %d %d\n", k + 1, off->x, off->y);
    return MEASURED;
}

static int run_check(Session *s, const Options &o)
{
    int fd = OpenWatchPipe();
    if (fd < 0)
        return EXIT_FAIL;
    const auto targets = CheckTargets(o.width, o.height);
    double worst = 0, sum = 0;
    for (int k = 0; k < CHECK_TARGETS; ++k) {
        Point off;
        Outcome out = check_one(s, fd, o, targets, k, &off);
        if (out != MEASURED) {
            close(fd);
            return explain(out, o, "check not finished");
        }
        const double e = std::hypot(off.x, off.y);
        worst = std::max(worst, e);
        sum += e;
    }
    close(fd);
    printf("verdict: max error %.1f px, mean %.1f px\n", worst, sum / CHECK_TARGETS);
    const double allowed = std::hypot(o.width, o.height) * VERDICT_PERCENT / 100;
    if (worst <= allowed)
        return EXIT_OK;
    return Complain(EXIT_FAIL, "the check found errors above %.1f px (1 %% of the screen diagonal)", allowed);
}

// ---- calibrating ----

static int calibrate(Session *s, const Options &o)
{
    Calibration c;
    PlanTargets(&c, o.points, o.width, o.height);
    Share sh;
    activeShare = &sh;
    if (!ShareBegin(&sh, o.device)) {
        end_share();
        return EXIT_FAIL;
    }
    Outcome out = MEASURED;
    while (out == MEASURED && c.taken < c.points)
        out = measure(s, &sh, o, &c);
    end_share();
    if (out != MEASURED)
        return explain(out, o, "nothing written");
    char why[200];
    if (!CalibrationSound(c, why, sizeof why))
        return Complain(EXIT_FAIL, "refused: %s; nothing written", why);
    if (!WriteCalibration(c, o.device))
        return EXIT_FAIL;
    filesWritten = true;
    if (o.noReset) {
        puts("verdict: not checked, quilmod was not reset (--no-reset)");
        return EXIT_OK;
    }
    if (!reset_daemon())
        return EXIT_FAIL;
    int status = run_check(s, o);
    if (status != EXIT_OK)  // the new files may still beat the old: the choice is the user's
        Complain(status, "the new calibration stays; 'quilmocal --restore %s' puts the old one back", o.device);
    return status;
}

static int restore(const Options &o)
{
    int status = RestoreCalibration(o.device);
    if (status != EXIT_OK || o.noReset)
        return status;
    if (DaemonStopped(0)) {
        puts("quilmod is not running: the files take effect when it starts");
        return EXIT_OK;
    }
    return reset_daemon() ? EXIT_OK : EXIT_FAIL;
}

// ---- command line ----

static void usage()
{
    puts("usage: quilmocal [--points 4|25] [--display D] [--screen WxH] [--samples N] [--timeout S]\n"
         "                 [--no-reset] DEVICE\n"
         "       quilmocal --check [--display D] [--screen WxH] [--timeout S] DEVICE\n"
         "       quilmocal --restore [--no-reset] DEVICE\n"
         "       quilmocal --help|--version\n"
         "Calibrates the touch port DEVICE while quilmod runs: touch each target until the next one\n"
         "shows. Writes the port's calibration files (keeping the old ones as .prev), has quilmod\n"
         "reset, and checks five more targets. --check checks only; --restore puts the .prev files\n"
         "back. Without an X display, --screen WxH prints the targets for marking on the glass.\n"
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
    if (optind != argc - 1)
        return Complain(EXIT_USAGE, optind == argc ? "no DEVICE (see quilmocal --help)" : "one DEVICE only");
    o->device = argv[optind];
    if (!valid_device(o->device))
        return Complain(EXIT_USAGE, "'%s' is no device path (as the Port line names it)", o->device);
    return 0;
}

// The X screen, or the terminal alone when there is no display and --screen gave the size.
static bool open_screen(Options *o)
{
    const char *name = o->display;
    if (!name && getenv("DISPLAY") && *getenv("DISPLAY"))
        name = getenv("DISPLAY");
    if (!name && o->width > 0)
        return true;
    char why[200];
    int w, h;
    if (!ScreenOpen(name ? name : DEFAULT_DISPLAY, &w, &h, why, sizeof why)) {
        if (o->width > 0) {
            fprintf(stderr, "quilmocal: %s: targets on the terminal only\n", why);
            return true;
        }
        Complain(EXIT_FAIL, "%s (give --screen WxH to go on without it)", why);
        return false;
    }
    if (o->width == 0)
        o->width = w, o->height = h;
    return true;
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
    if (o.restore)
        return restore(o);
    if (!open_screen(&o))
        return EXIT_FAIL;
    Session s;
    SessionStart(&s, 0, 0);
    int status = o.check ? run_check(&s, o) : calibrate(&s, o);
    ScreenClose();
    return status;
}
