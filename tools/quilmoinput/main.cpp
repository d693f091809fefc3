// quilmoinput: reads the daemon's frames from a data pipe and injects them as pointer motion and
// button presses into the X server (XTest) or the kernel (uinput). Options, the pipe and the loop.
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
#include "frames.h"
#include "rootpath.h"

static bool verbose = false;  // print each injected frame

constexpr int MAX_SCREEN = 65536;         // frames carry 16-bit coordinates
constexpr size_t MAX_NAME = 79;           // the kernel's uinput name field holds 80 bytes
constexpr size_t MAX_DISPLAY = 255;
constexpr size_t READ_CHUNK = 512;

enum BackendChoice { CHOOSE_AUTO, CHOOSE_XTEST, CHOOSE_UINPUT };

struct Options {
    const char *pipe = "/dev/qvdat0";
    BackendChoice backend = CHOOSE_AUTO;
    const char *display = nullptr;
    int width = 1024, height = 768;
    const char *name = "quilmod touch panel";
};

static const char USAGE[] =
    "usage: quilmoinput [--pipe PATH] [--backend xtest|uinput|auto] [--display D] [--screen WxH]\n"
    "                   [--name NAME] [--verbose]\n";

static const char HELP[] =
    "Reads quilmod's pointer frames from a data pipe and puts them into the desktop: through the\n"
    "XTest extension of an X display, or as a virtual absolute pointer made through uinput.\n"
    "\n"
    "  --pipe PATH      the data pipe (default /dev/qvdat0)\n"
    "  --backend B      xtest, uinput, or auto (default): xtest when an X display answers,\n"
    "                   else uinput when /dev/uinput is writable\n"
    "  --display D      the X display (default $DISPLAY, else :0.0)\n"
    "  --screen WxH     the uinput device's range (default 1024x768, the calibration's screen)\n"
    "  --name NAME      the uinput device's name (default \"quilmod touch panel\")\n"
    "  --verbose        print each injected frame: touch|release [right] x=X y=Y\n"
    "  --help, --version\n"
    "\n"
    "QUILMOD_ROOT, when set, is put in front of the pipe's path and /dev/uinput.\n"
    "Ends on SIGINT or SIGTERM, releasing any button still down.\n";

static void on_stop(int)
{
    stopRequested = 1;  // the loop ends at its next wake-up, which this signal causes
}

static int usage_error(const char *fmt, const char *what)
{
    fprintf(stderr, "%s: ", clientName);
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\n%s", USAGE);
    return EXIT_USAGE;
}

// "WxH" with both sides 1..MAX_SCREEN, nothing else.
static bool parse_screen(const char *s, int *w, int *h)
{
    if (!(s[0] >= '0' && s[0] <= '9'))  // strtol would take blanks and signs too
        return false;
    char *end;
    errno = 0;
    long a = strtol(s, &end, 10);
    if (end == s || *end != 'x' || errno || a < 1 || a > MAX_SCREEN || !(end[1] >= '0' && end[1] <= '9'))
        return false;
    const char *second = end + 1;
    long b = strtol(second, &end, 10);
    if (*end || errno || b < 1 || b > MAX_SCREEN)
        return false;
    *w = (int)a;
    *h = (int)b;
    return true;
}

static int parse_value(Options *o, const char *opt, const char *v)
{
    if (!strcmp(opt, "--pipe")) {
        if (v[0] != '/' || strlen(v) >= QLM_PATH)
            return usage_error("--pipe: '%s' is not an absolute path", v);
        o->pipe = v;
    } else if (!strcmp(opt, "--backend")) {
        if (!strcmp(v, "auto"))
            o->backend = CHOOSE_AUTO;
        else if (!strcmp(v, "xtest"))
            o->backend = CHOOSE_XTEST;
        else if (!strcmp(v, "uinput"))
            o->backend = CHOOSE_UINPUT;
        else
            return usage_error("--backend: '%s' is not xtest, uinput or auto", v);
    } else if (!strcmp(opt, "--display")) {
        if (!v[0] || strlen(v) > MAX_DISPLAY)
            return usage_error("--display: '%s' is not a display name", v);
        o->display = v;
    } else if (!strcmp(opt, "--screen")) {
        if (!parse_screen(v, &o->width, &o->height))
            return usage_error("--screen: '%s' is not WxH with sides from 1 to 65536", v);
    } else {  // --name
        if (!v[0] || strlen(v) > MAX_NAME)
            return usage_error("--name: '%s' is empty or longer than 79 bytes", v);
        o->name = v;
    }
    return -1;
}

// -1 = go on; otherwise the exit status (--help, --version, a usage error).
static int parse_options(Options *o, int argc, char **argv)
{
    static const char *const WITH_VALUE[] = {"--pipe", "--backend", "--display", "--screen", "--name"};
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "--help")) {
            printf("%s\n%s", USAGE, HELP);
            return EXIT_OK;
        }
        if (!strcmp(a, "--version")) {
            printf("quilmoinput %s\n", QUILMOD_VERSION);
            return EXIT_OK;
        }
        if (!strcmp(a, "--verbose")) {
            verbose = true;
            continue;
        }
        bool known = false;
        for (const char *w : WITH_VALUE)
            known = known || !strcmp(a, w);
        if (!known)
            return usage_error("unknown option '%s'", a);
        if (i + 1 >= argc)
            return usage_error("%s needs a value", a);
        int r = parse_value(o, a, argv[++i]);
        if (r >= 0)
            return r;
    }
    if (!o->display) {
        const char *env = getenv("DISPLAY");
        o->display = env && env[0] && strlen(env) <= MAX_DISPLAY ? env : ":0.0";
    }
    return -1;
}

struct Bridge {
    Options opt;
    Backend be;
    bool xtest = false;     // which backend: XTest, else uinput
    bool attached = false;  // the backend takes steps now
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

// Opens the data pipe without waiting for a writer; a missing pipe is waited for, checked once
// a second. 0 = open (or a stop came first), 1 = it cannot be used.
static int open_pipe(Bridge *s)
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, s->opt.pipe) != 0) {
        Complain(0, "the path of %s is too long", s->opt.pipe);
        return 1;
    }
    bool said = false;
    while (!stopRequested && (s->fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        if (errno != ENOENT) {
            Complain(0, "cannot open %s: %s", s->opt.pipe, strerror(errno));
            return 1;
        }
        if (!said)
            Complain(0, "waiting for %s to appear", s->opt.pipe);
        said = true;
        wait_events(s, nullptr, 0, &ONE_SECOND);
    }
    struct stat st;
    if (s->fd >= 0 && (fstat(s->fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        Complain(0, "%s is not a FIFO", s->opt.pipe);
        close(s->fd);
        s->fd = -1;
        return 1;
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
    Complain(0, "X display %s %s; retrying every second", s->opt.display, how);
    s->attached = false;
    s->buttons = Buttons{};  // whatever was down went with the server
    schedule_retry(s);
}

// 0 = attached, 1 = the display does not answer, 2 = it never will (no XTest extension).
static int x_attach(Bridge *s)
{
    int r = XtestOpen(&s->be, s->opt.display);
    if (r == 2)
        Complain(0, "X display %s has no XTest extension", s->opt.display);
    s->attached = r == 0;
    return r;
}

// The backend the options ask for; 0 = chosen (XTest may still be waiting for its display).
static int choose_backend(Bridge *s)
{
    BackendChoice c = s->opt.backend;
    if (c != CHOOSE_UINPUT) {
        s->xtest = true;
        int r = x_attach(s);
        if (r == 0 || (r == 1 && c == CHOOSE_XTEST)) {
            if (r == 1)
                x_lost(s, "does not answer");
            return 0;
        }
        if (r == 2 && c == CHOOSE_XTEST)
            return 1;
        s->xtest = false;
        if (!UinputAvailable()) {
            Complain(0, "no X display answers at %s and /dev/uinput is not writable", s->opt.display);
            return 1;
        }
    }
    if (UinputOpen(&s->be, s->opt.name, s->opt.width, s->opt.height) != 0)
        return 1;
    s->attached = true;
    return 0;
}

static void say_ready(const Bridge *s)
{
    if (s->xtest)
        Complain(0, "reading %s into X display %s", s->opt.pipe, s->opt.display);
    else
        Complain(0, "reading %s into uinput device \"%s\" (%dx%d)", s->opt.pipe, s->opt.name, s->opt.width,
                 s->opt.height);
}

// Hands steps to the backend; a lost display or a broken device is noticed here.
static void inject(Bridge *s, const Steps &steps)
{
    if (!s->attached || steps.count == 0)
        return;
    if (s->xtest && XtestInject(steps) != 0) {
        x_lost(s, "went away");
    } else if (!s->xtest && UinputInject(steps) != 0) {
        Complain(0, "the uinput device refused events: %s", strerror(errno));
        s->failed = true;
        s->attached = false;
    }
}

static void take_frame(Bridge *s)
{
    const unsigned char *f = s->fc.frame.data();
    if (!s->attached)
        return;  // nobody to show it to: dropped
    inject(s, TranslateFrame(&s->buttons, f, s->be.width, s->be.height));
    if (verbose && s->attached) {
        char line[64];
        FrameText(f, line, sizeof line);
        printf("%s\n", line);
        fflush(stdout);
    }
}

// One read's bytes into frames. At end of file the writer has gone (the daemon ended): the pipe
// is opened anew, which waits without spinning for the next writer. 0 = go on, 1 = give up.
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
    if (n == 0) {
        Complain(0, "the writer of %s went away; waiting for the next", s->opt.pipe);
        close(s->fd);
        s->fd = -1;
        return open_pipe(s);
    }
    for (ssize_t i = 0; i < n; i++)
        if (FrameFeed(&s->fc, buf[(size_t)i]))
            take_frame(s);
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
    if (r == 0)
        Complain(0, "X display %s answers", s->opt.display);
    else if (r == 2)
        s->failed = true;
    else
        schedule_retry(s);
}

// 0 = stopped by a signal, 1 = ended by a failure.
static int run(Bridge *s)
{
    while (!stopRequested && !s->failed && s->fd >= 0) {
        std::array<pollfd, 2> fds = {pollfd{s->fd, POLLIN, 0}, pollfd{-1, POLLIN, 0}};
        if (s->xtest && s->attached)
            fds[1].fd = XtestFd();
        bool waiting = s->xtest && !s->attached;
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
    if (s->xtest)
        XtestClose();
    else
        UinputClose();
    if (s->fd >= 0)
        close(s->fd);
}

int main(int argc, char **argv)
{
    clientName = "quilmoinput";
    Bridge s;
    int r = parse_options(&s.opt, argc, argv);
    if (r >= 0)
        return r;
    setup_signals(&s);
    if (choose_backend(&s) != 0)
        return EXIT_FAIL;
    int status = open_pipe(&s) != 0 ? EXIT_FAIL : EXIT_OK;
    // Frames left from touches long past (the daemon writes whether or not anyone reads)
    // would replay as clicks at start-up: only what comes from now on is injected.
    if (status == EXIT_OK && s.fd >= 0 && !DrainFifo(s.fd))
        status = Complain(EXIT_FAIL, "cannot read %s: %s", s.opt.pipe, strerror(errno));
    if (status == EXIT_OK && !stopRequested) {
        say_ready(&s);
        status = run(&s) ? EXIT_FAIL : EXIT_OK;
    }
    finish(&s);
    return status;
}
