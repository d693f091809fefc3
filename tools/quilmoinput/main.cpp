// quilmoinput: reads the daemon's frames from a data pipe and injects them as pointer motion and
// button presses into the X server (XTest). Options, the pipe and the loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client.h"
#include "devdesc.h"
#include "frames.h"
#include "options.h"
#include "rootpath.h"
#include "safefile.h"
#include "turn.h"
#include "xoutput.h"

static bool verbose = false;  // print each injected frame and the cursor's changes

constexpr size_t READ_CHUNK = 510;
// Not an error: quilmod's own devices, or nothing XTest can reach, serve the desktop. The
// service does not restart on it.
constexpr int EXIT_STAND_BACK = 3;  // whole frames while the writer keeps to them

static void on_stop(int)
{
    stopRequested = 1;  // the loop ends at its next wake-up, which this signal causes
}

// ---- the log: each kind of event said once per run of it ----

enum LogKind { LOG_NONE, LOG_WRITER_GONE, LOG_X_GONE, LOG_X_BACK };

static LogKind logLast = LOG_NONE;
static long logRepeats = 0;

// A run ends at another kind of event or at a frame: its repeats are counted, once.
static void log_run_end()
{
    if (logRepeats > 0)
        Complain(0, "(the last message came %ld more times)", logRepeats);
    logLast = LOG_NONE;
    logRepeats = 0;
}

// true when the event is to be said; a repeat of the last kind is only counted.
static bool log_say(LogKind kind)
{
    if (kind == logLast) {
        logRepeats++;
        return false;
    }
    log_run_end();
    logLast = kind;
    return true;
}

void CursorChanged(bool hidden)
{
    if (verbose && !hidden) {  // a hide is printed with its frame, at the flush after the read
        printf("cursor shown\n");
        fflush(stdout);
    } else if (verbose) {
        printf("cursor hidden\n");
    }
}

struct Bridge {
    Options opt;
    Backend be;
    FrameMap map;            // frames onto the screen or the chosen output
    bool attached = false;  // the backend takes steps now
    bool standBack = false; // the touches reach the desktop another way: end with EXIT_STAND_BACK
    bool failed = false;    // the backend broke for good: end with status 1
    int fd = -1;            // the data pipe
    FrameCutter fc;
    Buttons buttons;
    sigset_t waitMask;      // the mask inside ppoll: the stop signals get through only there
    timespec nextRetry{};   // when to try the lost X display again (CLOCK_MONOTONIC)
};

// The stop signals stay blocked except inside ppoll, so a stop that comes just before a wait
// ends that wait instead of waiting for the next frame.
static void setup_signals(Bridge *s)
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // --verbose into a reader that went away
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &s->waitMask);
    sigdelset(&s->waitMask, SIGINT);
    sigdelset(&s->waitMask, SIGTERM);
}

// Waits for fds or the timeout (nullptr: none); the ppoll result, 0 when a signal came.
static int wait_events(Bridge *s, pollfd *fds, nfds_t n, const timespec *timeout)
{
    int r = ppoll(fds, n, timeout, &s->waitMask);
    return r < 0 && errno == EINTR ? 0 : r;
}

constexpr timespec ONE_SECOND = {1, 0};  // a missing pipe, a lost display: looked for once a second

// What stands at the pipe's path while it cannot be read yet.
enum PipeWait { PIPE_THERE, PIPE_MISSING, PIPE_NOT_FIFO };

static PipeWait look_at_pipe(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return errno == ENOENT ? PIPE_MISSING : PIPE_THERE;  // any other error: open says which
    return S_ISFIFO(st.st_mode) ? PIPE_THERE : PIPE_NOT_FIFO;
}

// Opens the data pipe without waiting for a writer. A missing pipe, or something else at its
// path (a file left by a mistyped command, made before the daemon's FIFO), is waited for, said
// once and looked at once a second: ending instead would only have the service manager start
// it again every few seconds for ever, and the path is never opened before it is a FIFO (a
// device node there might act on the open). 0 = open (or a stop came first), 1 = it cannot be.
static int open_pipe(Bridge *s)
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, s->opt.pipe) != 0) {
        Complain(0, "the path of %s is too long", s->opt.pipe);
        return 1;
    }
    PipeWait said = PIPE_THERE;
    while (!stopRequested) {
        PipeWait now = look_at_pipe(path);
        if (now == PIPE_THERE && (s->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)) >= 0) {
            struct stat st;
            if (fstat(s->fd, &st) == 0 && S_ISFIFO(st.st_mode))
                break;
            close(s->fd);  // replaced between the look and the open
            s->fd = -1;
            now = PIPE_NOT_FIFO;
        } else if (now == PIPE_THERE && errno != ENOENT) {
            Complain(0, "cannot open %s: %s", s->opt.pipe, strerror(errno));
            return 1;
        }
        if (now != said && now == PIPE_MISSING)
            Complain(0, "waiting for %s to appear", s->opt.pipe);
        if (now != said && now == PIPE_NOT_FIFO)
            Complain(0, "%s is not a FIFO; waiting for it to become one", s->opt.pipe);
        said = now;
        wait_events(s, nullptr, 0, &ONE_SECOND);
    }
    s->fc = FrameCutter{};  // a new writer starts on a frame boundary
    return 0;
}

static void schedule_retry(Bridge *s)
{
    clock_gettime(CLOCK_MONOTONIC, &s->nextRetry);
    s->nextRetry.tv_sec += ONE_SECOND.tv_sec;
}

static void x_lost(Bridge *s, const char *how)
{
    if (log_say(LOG_X_GONE))
        Complain(0, "X display %s %s; retrying every second", s->opt.display, how);
    s->attached = false;
    s->buttons = Buttons{};  // whatever was down went with the server
    schedule_retry(s);
}

// The frames onto the chosen output, or the panel's range onto the whole screen, turned as RandR
// turns that output (without one: the primary or only output, when it shows the whole screen).
// The frames are in the panel's own pixels, the monitor unturned. 0 = mapped, 1 = the output is
// not there (said).
static int x_map(Bridge *s)
{
    const Options &o = s->opt;
    XOutputRect rect;
    if (!o.output) {
        const int transform = XtestPrimaryTransform();
        const Turn t = TurnOfScreen(transform, s->be.width, s->be.height);
        const int pw = o.screenGiven ? o.width : t.panelWidth, ph = o.screenGiven ? o.height : t.panelHeight;
        s->map = FrameMap{pw, ph, 0, 0, s->be.width, s->be.height, transform};
        return 0;
    }
    int r = XtestFindOutput(o.output, &rect);
    if (r == 0) {
        // Without --screen the panel was calibrated on this monitor: its pixels, one to one.
        const Turn t = TurnOfScreen(rect.transform, rect.width, rect.height);
        const int w = o.screenGiven ? o.width : t.panelWidth, h = o.screenGiven ? o.height : t.panelHeight;
        s->map = FrameMap{w, h, rect.x, rect.y, rect.width, rect.height, rect.transform};
        return 0;
    }
    if (r == 1)
        Complain(0, "X display %s has no monitor or output %s (--list-outputs shows them)", o.display, o.output);
    else
        Complain(0, "X display %s has no RandR 1.5: --output cannot be served", o.display);
    return 1;
}

// 0 = attached, 1 = the display does not answer, 2 = it never will (no XTest extension),
// 3 = it cannot serve the options (no such output), 4 = it is Xwayland.
static int x_attach(Bridge *s)
{
    int r = XtestOpen(&s->be, s->opt.display);
    if (r == 2)
        Complain(0, "X display %s has no XTest extension", s->opt.display);
    if (r == 0 && XtestIsXwayland()) {
        // XTest there moves Xwayland's own pointer: the Wayland desktop and its clients get nothing.
        Complain(0, "X display %s is Xwayland: XTest cannot reach the Wayland desktop; quilmod's own input "
                    "devices serve it (InputDevice in quilmod.conf)", s->opt.display);
        XtestClose();
        s->standBack = true;
        return 4;
    }
    if (r == 0 && x_map(s) != 0) {
        XtestClose();
        r = 3;
    }
    if (r == 0 && s->opt.hideCursor && CursorStart() != 0)
        Complain(0, "X display %s lacks XFixes or XInput 2: the cursor is not hidden", s->opt.display);
    s->attached = r == 0;
    return r;
}

// Whether quilmod runs and has made input devices for its ports: they carry every touch already.
// (A list left by a daemon that ended says nothing.)
static bool daemon_devices()
{
    if (DaemonPid() == 0)
        return false;
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, DEVICES_STATUS_FILE) != 0)
        return false;
    int fd = OpenRegular(path);
    char c;
    bool any = fd >= 0 && ReadUpTo(fd, &c, 1) == 1;
    if (fd >= 0)
        close(fd);
    return any;
}

// Attaches to the X display, or waits for it. 0 = going on; else the exit status.
static int start_backend(Bridge *s)
{
    if (daemon_devices()) {
        Complain(0, "quilmod's own input devices carry the touches already (quilmoctl status): injecting "
                    "them too would touch twice; InputDevice = none in quilmod.conf leaves them to quilmoinput");
        return EXIT_STAND_BACK;
    }
    int r = x_attach(s);
    if (r == 1)
        x_lost(s, "does not answer");
    return r <= 1 ? 0 : r == 4 ? EXIT_STAND_BACK : EXIT_FAIL;
}

static void say_ready(const Bridge *s)
{
    const Options &o = s->opt;
    constexpr const char *TURNS[8] = {"", ", turned left", ", turned upside down", ", turned right",
                                      ", mirrored", ", mirrored and turned left", ", mirrored upside down",
                                      ", mirrored and turned right"};
    Complain(0, "reading %s into X display %s%s%s%s", o.pipe, o.display, o.output ? ", output " : "",
             o.output ? o.output : "", TURNS[s->map.transform & 7]);
}

// Hands steps to the backend; a lost display or a broken device is noticed here.
static void inject(Bridge *s, const Steps &steps)
{
    if (!s->attached || steps.count == 0)
        return;
    if (XtestInject(steps) != 0)
        x_lost(s, "went away");
}

// Sends what the frames of one read queued: one flush per read, not one round trip per frame.
// --verbose waits for the server, so a printed frame has been done (what the tests rely on).
static void flush(Bridge *s)
{
    if (s->attached && XtestFlush(verbose) != 0)
        x_lost(s, "went away");
    if (verbose)
        fflush(stdout);
}

static bool is_touch(const unsigned char *f)
{
    return f[0] & FRAME_TOUCH;
}

static void take_frame(Bridge *s)
{
    const unsigned char *f = s->fc.frame.data();
    log_run_end();
    if (!s->attached)
        return;  // nobody to show it to: dropped
    if (s->opt.hideCursor && is_touch(f))
        CursorTouched();
    inject(s, TranslateFrame(&s->buttons, f, s->map));
    if (verbose && s->attached) {
        char line[64];
        FrameText(f, line, sizeof line);
        printf("%s\n", line);  // out at the flush after this read's frames
    }
}

// The writer went away (the daemon ended, perhaps mid-touch): whatever is down is let go, and
// the pipe is opened anew, which waits without spinning for the next writer.
static int writer_gone(Bridge *s)
{
    inject(s, ReleaseAll(&s->buttons));
    flush(s);
    if (log_say(LOG_WRITER_GONE))
        Complain(0, "the writer of %s went away; waiting for the next", s->opt.pipe);
    close(s->fd);
    s->fd = -1;
    return open_pipe(s);
}

// One read's bytes into frames. 0 = go on, 1 = give up.
static int read_pipe(Bridge *s)
{
    std::array<unsigned char, READ_CHUNK> buf;
    ssize_t n = read(s->fd, buf.data(), buf.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n < 0) {
        Complain(0, "cannot read %s: %s", s->opt.pipe, strerror(errno));
        return 1;
    }
    if (n == 0)
        return writer_gone(s);
    for (ssize_t i = 0; i < n; i++)
        if (FrameFeed(&s->fc, buf[(size_t)i]))
            take_frame(s);
    flush(s);
    return 0;
}

// Time left until the next attempt on the lost display; zero when it is due.
static timespec retry_left(const Bridge *s)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (s->nextRetry.tv_sec - now.tv_sec) * 1000000000LL + (s->nextRetry.tv_nsec - now.tv_nsec);
    if (ns < 0)
        ns = 0;
    return timespec{(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
}

static void retry_x(Bridge *s)
{
    timespec left = retry_left(s);
    if (left.tv_sec || left.tv_nsec)
        return;
    int r = x_attach(s);
    if (r == 0 && log_say(LOG_X_BACK))
        Complain(0, "X display %s answers", s->opt.display);
    else if (r >= 2)
        s->failed = true;
    else
        schedule_retry(s);
}

// 0 = stopped by a signal, 1 = ended by a failure.
static int run(Bridge *s)
{
    while (!stopRequested && !s->failed && s->fd >= 0) {
        std::array<pollfd, 2> fds = {pollfd{s->fd, POLLIN, 0}, pollfd{-1, POLLIN, 0}};
        if (s->attached)
            fds[1].fd = XtestFd();
        bool waiting = !s->attached;
        timespec left = waiting ? retry_left(s) : timespec{};
        if (wait_events(s, fds.data(), fds.size(), waiting ? &left : nullptr) < 0) {
            Complain(0, "cannot wait for %s: %s", s->opt.pipe, strerror(errno));
            return 1;
        }
        if (stopRequested)
            break;
        if (waiting)
            retry_x(s);
        if (fds[1].fd >= 0 && fds[1].revents && XtestService() != 0)
            x_lost(s, "went away");
        if (fds[0].revents && read_pipe(s) != 0)
            return 1;
    }
    return s->failed || (s->fd < 0 && !stopRequested) ? 1 : 0;
}

// Leaves nothing pressed and no device behind.
static void finish(Bridge *s)
{
    inject(s, ReleaseAll(&s->buttons));
    flush(s);
    log_run_end();
    XtestClose();
    if (s->fd >= 0)
        close(s->fd);
}

static int list_outputs(const Options &o)
{
    Backend be;
    int r = XtestOpen(&be, o.display);
    if (r == 1)
        return Complain(EXIT_FAIL, "X display %s does not answer", o.display);
    XOutputRect probe;
    if (XtestFindOutput("", &probe) == 2) {
        XtestClose();
        return Complain(EXIT_FAIL, "X display %s has no RandR 1.5", o.display);
    }
    ListXOutputs(XtestDisplay(), stdout);
    XtestClose();
    return EXIT_OK;
}

int main(int argc, char **argv)
{
    clientName = "quilmoinput";
    Bridge s;
    int r = ParseOptions(&s.opt, argc, argv);
    if (r >= 0)
        return r;
    verbose = s.opt.verbose;
    if (s.opt.listOutputs)
        return list_outputs(s.opt);
    setup_signals(&s);
    if (int r = start_backend(&s); r != 0)
        return r;
    int status = open_pipe(&s) != 0 ? EXIT_FAIL : EXIT_OK;
    // Frames left from touches long past (the daemon writes whether or not anyone reads)
    // would replay as clicks at start-up: only what comes from now on is injected.
    if (status == EXIT_OK && s.fd >= 0 && !DrainFifo(s.fd))
        status = Complain(EXIT_FAIL, "cannot read %s: %s", s.opt.pipe, strerror(errno));
    if (status == EXIT_OK && !stopRequested) {
        say_ready(&s);
        status = !run(&s) ? EXIT_OK : s.standBack ? EXIT_STAND_BACK : EXIT_FAIL;
    }
    finish(&s);
    return status;
}
