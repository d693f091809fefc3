// Cursor hiding: xsetroot blanks the X pointer while the panel is used and brings the arrow back.
// It runs beside the frame path, never in it: one child at a time, later requests wait behind it
// as a single pending one, and the service loop notices the child's end or its time limit.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "quilmod.h"

constexpr char XSETROOT[] = "/usr/bin/xsetroot";
constexpr char EMPTY_CURSOR[] = "/usr/local/Qelvanto/image/empty.xbm";
constexpr int FRAME_LEN = 5;
constexpr int CURSOR_NONE = 0;
constexpr int CURSOR_DISPLAY = 1;
constexpr long XSETROOT_LIMIT_SEC = 1;  // a slower xsetroot is taken as hung (a stuck X server)
constexpr long NSEC_PER_SEC = 1000000000;

enum CursorRequest { CURSOR_NOTHING, CURSOR_HIDE, CURSOR_SHOW };

volatile sig_atomic_t childEnded = 0;

static pid_t xsetroot_pid = 0;             // the running xsetroot, or 0
static struct timespec xsetroot_deadline;  // CLOCK_MONOTONIC; when it counts as hung
static CursorRequest pending = CURSOR_NOTHING;  // to run once the running one has ended
static bool hang_reported = false;         // one message per run of hung children

void child_ended_routine(int)
{
    childEnded = 1;
}

static char *arg(const char *text)
{
    return const_cast<char *>(text);  // execv's argv is not written to
}

// Starts xsetroot without a shell and without waiting for it.
static void spawn_xsetroot(char *const argv[])
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, XSETROOT))
        return;
    pid_t pid = fork();
    if (pid == 0) {
        ChildSignalDefaults();
        execv(path, argv);
        _exit(0);  // never back into the daemon's code
    }
    if (pid < 0) {
        perror("fork error !\n");
        return;
    }
    xsetroot_pid = pid;
    clock_gettime(CLOCK_MONOTONIC, &xsetroot_deadline);
    xsetroot_deadline.tv_sec += XSETROOT_LIMIT_SEC;
}

static void start(CursorRequest what)
{
    if (what == CURSOR_SHOW) {
        char *const argv[] = {arg("xsetroot"), arg("-display"), arg(":0.0"), arg("-cursor_name"),
                              arg("left_ptr"), nullptr};
        spawn_xsetroot(argv);
        return;
    }
    char bitmap[QLM_PATH];
    if (RootPath(bitmap, sizeof bitmap, EMPTY_CURSOR))
        return;
    char *const argv[] = {arg("xsetroot"), arg("-display"), arg(":0.0"), arg("-cursor"), bitmap, bitmap, nullptr};
    spawn_xsetroot(argv);
}

// While one runs, the newest request waits: a show after a pending hide leaves the arrow shown.
static void request(CursorRequest what)
{
    if (xsetroot_pid)
        pending = what;
    else
        start(what);
}

// 1 when our xsetroot has ended and is reaped; only that pid, so other children keep their owners.
static int reaped()
{
    int r;
    while ((r = waitpid(xsetroot_pid, nullptr, WNOHANG)) < 0 && errno == EINTR) {
    }
    return r == xsetroot_pid || (r < 0 && errno == ECHILD);
}

static int overdue(const struct timespec *now)
{
    return now->tv_sec > xsetroot_deadline.tv_sec ||
           (now->tv_sec == xsetroot_deadline.tv_sec && now->tv_nsec >= xsetroot_deadline.tv_nsec);
}

static void kill_hung()
{
    kill(xsetroot_pid, SIGKILL);
    while (waitpid(xsetroot_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (!hang_reported)
        printf("%s did not end within 1 s and was killed\n", XSETROOT);
    hang_reported = true;
}

void CursorChildService(int woken)
{
    if (!xsetroot_pid)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((woken || overdue(&now)) && reaped()) {
        hang_reported = false;
    } else if (overdue(&now)) {
        kill_hung();
    } else {
        return;
    }
    xsetroot_pid = 0;
    CursorRequest next = pending;
    pending = CURSOR_NOTHING;
    if (next != CURSOR_NOTHING)
        start(next);
}

const struct timespec *CursorWaitLimit(struct timespec *left)
{
    if (!xsetroot_pid)
        return nullptr;  // no child: the loop waits without a time-out
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (long long)(xsetroot_deadline.tv_sec - now.tv_sec) * NSEC_PER_SEC +
                   (xsetroot_deadline.tv_nsec - now.tv_nsec);
    if (ns < 0)
        ns = 0;
    left->tv_sec = (time_t)(ns / NSEC_PER_SEC);
    left->tv_nsec = (long)(ns % NSEC_PER_SEC);
    return left;
}

void CheckFrameForCursor(char *frame, int dlen)
{
    static unsigned char old_frame[FRAME_LEN];
    static unsigned char touch_disp = 1;  // the first frame in Display mode restores the arrow
    if (dlen < FRAME_LEN)
        return;
    if (TouchSetting.cursorMode == CURSOR_NONE) {
        touch_disp = 1;
        if (memcmp(frame, old_frame, FRAME_LEN) == 0)
            return;  // a repeated frame: the cursor is still hidden
        memcpy(old_frame, frame, FRAME_LEN);
        request(CURSOR_HIDE);
    } else if (TouchSetting.cursorMode == CURSOR_DISPLAY && touch_disp) {
        touch_disp = 0;
        request(CURSOR_SHOW);
    }
}
