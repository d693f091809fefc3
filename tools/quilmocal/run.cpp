// quilmocal's runs: each target measured until a steady touch agrees with the ones before, the
// files written, the daemon reset, the check on five more targets with its corrected frames,
// and the verdict, whose touch areas may restore the old files or start again.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cal.h"
#include "conffile.h"

constexpr double SPREAD_PERCENT = 1.0;  // of the screen diagonal, in raw units by the estimate
constexpr int MIN_SPREAD_RAW = 40;      // allowed before two targets tell the raw scale
constexpr double VERDICT_PERCENT = 1.0; // largest check error, of the screen diagonal
constexpr char HELP_LINE[] = "Touch the centre of the cross and hold still until the ring is full";

enum Outcome { MEASURED, CANCELLED, TIMED_OUT, INTERRUPTED, FAILED };

bool calibrationWritten;

static Share *activeShare;  // ended by screen_lost too
static const Calibration *measuring;  // the run's targets so far place a raw touch on the screen

static bool raw_on_screen(Point raw, Point *screen)
{
    Point panel;
    if (!measuring || !ScreenOfRaw(*measuring, raw, &panel))
        return false;
    *screen = ScreenOfPanel(shownTurn, panel);
    return true;
}

static bool frame_on_screen(Point frame, Point *screen)
{
    *screen = ScreenOfPanel(shownTurn, frame);  // the daemon's frames are in the panel's pixels
    return true;
}

bool RawBegin(Share *sh, const char *device)
{
    activeShare = sh;
    if (ShareBegin(sh, device))
        return true;
    RawEnd();
    return false;
}

void RawEnd()
{
    if (activeShare && activeShare->shared && !activeShare->daemonGone)
        ShareEnd();
    if (activeShare)
        ShareClose(activeShare);
    activeShare = nullptr;
}

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

// A touch the rules turn down: the same reason on standard output and on the screen.
static void rejected(const char *line, const char *shown)
{
    puts(line);
    FeedbackRejected(shown);
}

// One target, asked again until a steady touch agrees with the targets before it.
static Outcome measure(Session *s, Share *sh, const Options &o, Calibration *c)
{
    const int k = c->taken;
    char progress[64], why[160], line[240];
    snprintf(progress, sizeof progress, "target %d of %d", k + 1, c->points);
    for (;;) {
        const Point t = c->target[static_cast<size_t>(k)];
        printf("target %d of %d at %d %d\n", k + 1, c->points, t.x, t.y);
        const auto shown = ShownPoints(c->target.data(), k + 1);
        ScreenShow(shown.data(), k, shown[static_cast<size_t>(k)], progress, HELP_LINE);
        TouchResult tr;
        bool timedOut;
        const HoldRule rule = {o.samples, spread_bound(*c), CANCEL_HOLD_MS};
        int r = SampleTouch(s, sh, rule, o.timeout, &tr, &timedOut);
        if (r <= 0)
            return ended(r, timedOut);
        const Settled &st = tr.settled;
        if (tr.count < o.samples || st.spread > rule.spread) {
            snprintf(line, sizeof line, "hold still: target %d again (%d samples, spread %d)", k + 1, tr.count,
                     st.spread);
            rejected(line, tr.count < o.samples ? "Hold still: that touch was too short" : "Hold still: that touch moved");
            continue;
        }
        if (!FitsSoFar(*c, st.median, why, sizeof why)) {
            snprintf(line, sizeof line, "target %d again: %s", k + 1, why);
            rejected(line, "Touch the centre of the cross: that touch landed far from it");
            continue;
        }
        c->raw[static_cast<size_t>(k)] = st.median;
        c->taken++;
        printf("sampled %d: raw %d %d (%d samples, spread %d)\n", k + 1, st.median.x, st.median.y, tr.count,
               st.spread);
        return MEASURED;
    }
}

// The last screen of a run that ended before its verdict.
static void show_end(Outcome out)
{
    EndingKind kind = END_FAILED;
    if (out == TIMED_OUT)
        kind = END_TIMED_OUT;
    else if (out == CANCELLED || out == INTERRUPTED)
        kind = END_CANCELLED;
    else if (DaemonStopped(0))
        kind = END_DAEMON_GONE;
    ShowEnding(Ended(kind, calibrationWritten));
}

static int explain(Outcome out, const Options &o, const char *stage)
{
    show_end(out);
    if (out == TIMED_OUT)
        return Complain(EXIT_FAIL, "no touch within %ld s: %s", o.timeout, stage);
    if (out == INTERRUPTED)
        return Complain(EXIT_FAIL, "interrupted: %s", stage);
    if (out == CANCELLED)
        return Complain(EXIT_FAIL, "cancelled: %s", stage);
    return EXIT_FAIL;  // the failure was explained where it happened
}

// ---- the check ----

// Once the reset is answered, the daemon runs on the new files; the reset shows the right-click
// tool again when it is configured, so it is hidden once more.
static bool reset_daemon()
{
    Channel ch;
    int mode;
    if (RunCommand(CMD_RESET, "x") != EXIT_OK || !ChannelOpen(&ch, true))
        return false;
    bool ok = QueryMode(ch, &mode);
    ChannelClose(&ch);
    RClickAgain();
    return ok;
}

// One check target: where the daemon put the touch.
static Outcome check_one(Session *s, int fd, const Options &o, CheckResult *r, int k)
{
    char progress[64];
    const Point t = r->target[static_cast<size_t>(k)];
    snprintf(progress, sizeof progress, "check %d of %d", k + 1, CHECK_TARGETS);
    printf("check %d of %d at %d %d\n", k + 1, CHECK_TARGETS, t.x, t.y);
    const auto shown = ShownPoints(r->target.data(), k + 1);
    ScreenShow(shown.data(), k, shown[static_cast<size_t>(k)], progress, HELP_LINE);
    TouchResult tr;
    bool timedOut;
    const HoldRule rule = {1, -1, CANCEL_HOLD_MS};
    int got = SampleFrames(s, fd, rule, o.timeout, &tr, &timedOut);
    if (got <= 0)
        return ended(got, timedOut);
    r->landed[static_cast<size_t>(k)] = tr.settled.median;
    r->measured = k + 1;
    printf("check %d: off by %d %d\n", k + 1, tr.settled.median.x - t.x, tr.settled.median.y - t.y);
    return MEASURED;
}

// The check on an open watch pipe; EXIT_OK when it passed, else after a message.
static int run_check(Session *s, const Options &o, int fd, CheckResult *r)
{
    r->target = CheckTargets(o.points, o.width, o.height);
    r->allowed = std::hypot(o.width, o.height) * VERDICT_PERCENT / 100;
    double sum = 0;
    for (int k = 0; k < CHECK_TARGETS; ++k) {
        Outcome out = check_one(s, fd, o, r, k);
        if (out != MEASURED)
            return explain(out, o, "check not finished");
        // Measured as the person gets it: the daemon's position turned with the monitor, as the
        // compositor, quilmoinput or X's libinput driver turns it.
        const Point t = ScreenOfPanel(shownTurn, r->target[static_cast<size_t>(k)]);
        const Point l = ScreenOfPanel(shownTurn, r->landed[static_cast<size_t>(k)]);
        const double e = std::hypot(l.x - t.x, l.y - t.y);
        r->worst = std::max(r->worst, e);
        sum += e;
    }
    r->mean = sum / CHECK_TARGETS;
    r->pass = r->worst <= r->allowed;
    printf("verdict: max error %.1f px, mean %.1f px\n", r->worst, r->mean);
    if (r->pass)
        return EXIT_OK;
    return Complain(EXIT_FAIL, "the check found errors above %.1f px (1 %% of the screen diagonal)", r->allowed);
}

// The check and its verdict screen; c (the run just written) offers the way back on a failure.
static int check_and_show(Session *s, const Options &o, const Calibration *c, Choice *choice, CheckResult *r)
{
    *choice = FINISH;
    FeedbackRule(o.samples);
    fingerOnScreen = frame_on_screen;
    int fd = OpenWatchPipe();
    if (fd < 0) {
        show_end(FAILED);
        return EXIT_FAIL;
    }
    int status = run_check(s, o, fd, r);
    if (r->measured == CHECK_TARGETS)
        *choice = VerdictShow(s, o, *r, c, fd);
    close(fd);
    return status;
}

int CheckOnly(Session *s, const Options &o)
{
    Choice ignored;
    onHold = FeedbackHold;
    CheckResult r;
    const int status = check_and_show(s, o, nullptr, &ignored, &r);
    if (r.measured == CHECK_TARGETS)
        ShowEnding(Ended(r.pass ? END_CHECK_PASSED : END_CHECK_FAILED, false));
    return status;
}

// ---- calibrating ----

// Measures every target and writes the files; EXIT_OK once they are written.
static int measure_and_write(Session *s, const Options &o, Calibration *c)
{
    PlanTargets(c, o.points, o.width, o.height);
    FeedbackRule(o.samples);
    measuring = c;
    fingerOnScreen = raw_on_screen;
    onHold = FeedbackHold;
    Share sh;
    if (!RawBegin(&sh, o.device))
        return EXIT_FAIL;
    Outcome out = MEASURED;
    while (out == MEASURED && c->taken < c->points)
        out = measure(s, &sh, o, c);
    RawEnd();
    measuring = nullptr;
    if (out != MEASURED)
        return explain(out, o, "nothing written");
    char why[200];
    if (!CalibrationSound(*c, why, sizeof why)) {
        show_end(FAILED);
        return Complain(EXIT_FAIL, "refused: %s; nothing written", why);
    }
    if (!WriteCalibration(*c, o.device)) {
        show_end(FAILED);
        return EXIT_FAIL;
    }
    calibrationWritten = true;
    return EXIT_OK;
}

// The verdict's way back: the old files, in force at once.
static bool put_back(const Options &o)
{
    if (RestoreCalibration(o.device) != EXIT_OK)
        return false;
    calibrationWritten = false;
    return reset_daemon();
}

// What the verdict's answer leads to; EXIT_OK to calibrate again, else the run's exit status.
static int answered(const Options &o, int status, Choice choice)
{
    if (choice == FINISH)  // no screen asked: the new files may still beat the old, the user judges
        return Complain(status, "the new calibration stays; 'quilmocal --restore %s' puts the old one back",
                        o.device);
    if (!put_back(o)) {
        show_end(FAILED);
        return EXIT_FAIL;
    }
    if (choice == CALIBRATE_AGAIN) {
        ShowEnding(Ended(END_AGAIN, false));
        return EXIT_OK;
    }
    ShowEnding(Ended(choice == RESTORE_PREVIOUS ? END_RESTORED : END_NO_ANSWER, false));
    return Complain(EXIT_FAIL, choice == RESTORE_PREVIOUS ? "the previous calibration is back"
                                                           : "no answer to the failed check: the previous calibration is back");
}

// A passed run on a named monitor binds the port to it by the kernel's connector name, the one
// Port lines take: Wayland and the console name outputs so, X by its own names.
static void bind_monitor(const Options &o)
{
    if (!o.output)
        return;
    if (strcmp(o.backend, "x11") != 0) {
        BindPort(o.device, o.output);
        return;
    }
    const std::string connector = KernelConnectorName(xOutputName.data());
    if (connector.empty()) {
        printf("not bound: X names the output %s, which is no kernel connector's name (Xwayland names its "
               "own); bind the port with output= in %s, or calibrate with --backend wayland\n",
               xOutputName.data(), CONFIG_FILE);
        return;
    }
    BindPort(o.device, connector.c_str());
}

int Calibrate(Session *s, const Options &o)
{
    for (;;) {
        Calibration c;
        int status = measure_and_write(s, o, &c);
        if (status != EXIT_OK)
            return status;
        if (o.noReset) {
            puts("verdict: not checked, quilmod was not reset (--no-reset)");
            return EXIT_OK;
        }
        if (!reset_daemon()) {
            show_end(FAILED);
            return EXIT_FAIL;
        }
        Choice choice;
        CheckResult r;
        status = check_and_show(s, o, &c, &choice, &r);
        if (status == EXIT_OK) {
            bind_monitor(o);
            ShowEnding(Ended(END_PASSED, true));
            return EXIT_OK;
        }
        if (r.measured < CHECK_TARGETS)
            return status;  // explained and shown where the check ended
        status = answered(o, status, choice);
        if (status != EXIT_OK)
            return status;
        puts("calibrating again");
    }
}

int Restore(const Options &o)
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
