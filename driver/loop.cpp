// The service loop: wait for the command pipe, the share pipe and the ports, and hand each to its handler.
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iterator>

#include "quilmod.h"

// SIGHUP and SIGCHLD are blocked except inside pselect, so one that arrives just before the
// wait still wakes it, and neither a reset nor a reaping runs in the middle of a handler.
static sigset_t selectMask;

static void block_loop_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = child_ended_routine;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);  // no SA_RESTART: the wait must end
    sigset_t loop;
    sigemptyset(&loop);
    sigaddset(&loop, SIGHUP);
    sigaddset(&loop, SIGCHLD);
    sigprocmask(SIG_BLOCK, &loop, &selectMask);
    sigdelset(&selectMask, SIGHUP);
    sigdelset(&selectMask, SIGCHLD);
}

static void take_pending(const sigset_t *pending, int signo, volatile sig_atomic_t *flag)
{
    if (!sigismember(pending, signo))
        return;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    const struct timespec now = {0, 0};
    if (sigtimedwait(&one, nullptr, &now) == signo)
        *flag = 1;
}

// pselect delivers a pending signal only when no descriptor is ready, so a port that is
// always readable could hold one back for ever: take them from the pending set as well.
static void collect_signals()
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return;
    take_pending(&pending, SIGHUP, &resetPending);
    take_pending(&pending, SIGCHLD, &childEnded);
}

// Reset requests (SIGHUP, the reset command, the hot-plug hook's SIGHUP, a self-reset) are
// gathered. A hot-plug event for a node often comes as a burst (the node, its links, change
// events; a storm when a cable is flaky), and every reset reopens the ports, flushing the bytes
// they held: one reset after the burst opens the ports as they are then. The rule:
//  - a request that finds one waiting adds nothing;
//  - the waiting one runs once requests have paused RESET_QUIET_MS, or RESET_LATEST_MS after the
//    first of them if they go on (a storm is still served),
//  - but never sooner than RESET_GAP_MS after the reset before it started: at most one reset in
//    any RESET_GAP_MS, however the requests come;
//  - another command waits for it: it runs at once when the gap allows, else the command is held
//    (and no further command read) until it has run, so every command sees the reset done;
//  - a request that comes after a reset started waits for a reset of its own, so the last plug is
//    never missed.
constexpr long long RESET_QUIET_MS = 200;   // requests closer together than this are one burst
constexpr long long RESET_LATEST_MS = 2000;  // a burst that goes on is still served this often
constexpr long long RESET_GAP_MS = 2000;     // and never more often than this
constexpr long long NO_RESET_YET = -RESET_GAP_MS;
static long long firstRequestMs = -1;        // -1: no reset requested
static long long lastRequestMs;
static long long lastResetMs = NO_RESET_YET;  // when the last reset started (monotonic)
static int requestedBySignal;  // a SIGHUP (or a self-reset) among the requests: says so when run
static int resetNow;           // a self-reset: the ports read nothing, there is no burst to wait for

static long long monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

static long long gap_end_ms()
{
    return lastResetMs + RESET_GAP_MS;
}

static long long reset_due_ms()
{
    long long gathered = resetNow ? firstRequestMs : std::min(lastRequestMs + RESET_QUIET_MS,
                                                              firstRequestMs + RESET_LATEST_MS);
    return std::max(gathered, gap_end_ms());
}

void RequestReset(int bySignal)
{
    long long now = monotonic_ms();
    if (firstRequestMs < 0)
        firstRequestMs = now;
    lastRequestMs = now;
    requestedBySignal |= bySignal;
}

void RequestResetNow()
{
    RequestReset(1);
    resetNow = 1;
}

// Runs the requested reset; the request is cleared first, so one made meanwhile stays.
static void run_requested_reset()
{
    int bySignal = requestedBySignal;
    firstRequestMs = -1;
    requestedBySignal = 0;
    resetNow = 0;
    lastResetMs = monotonic_ms();
    beep_off();
    if (bySignal)
        puts("qlm_killed 's DaemonReset");
    DaemonReset();
}

static void note_signal_request()
{
    if (!resetPending)
        return;
    resetPending = 0;
    RequestReset(1);
}

static void reset_if_due()
{
    note_signal_request();
    if (firstRequestMs >= 0 && monotonic_ms() >= reset_due_ms())
        run_requested_reset();
}

// The wait's time-out while a reset is requested (written into *left), else nullptr.
static const struct timespec *reset_wait_limit(struct timespec *left)
{
    if (firstRequestMs < 0)
        return nullptr;
    long long ms = std::max(0LL, reset_due_ms() - monotonic_ms());
    *left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    return left;
}

int ResetBeforeCommand()
{
    collect_signals();
    note_signal_request();
    if (firstRequestMs < 0)
        return 0;
    if (monotonic_ms() < gap_end_ms())
        return 1;
    run_requested_reset();
    return 0;
}

// A wait cut short by a signal may have been SIGCHLD under another handler (starting the
// right-click tool installs its own), so that counts as a possible end of our child too.
static void serve_children(int interrupted)
{
    int woken = childEnded || interrupted;
    childEnded = 0;
    CursorChildService(woken);
    RClickToolChildService(woken);
}

// The shorter of two optional time-outs (null: none); null only when both are.
static const struct timespec *earlier(const struct timespec *a, const struct timespec *b)
{
    if (!a || !b)
        return a ? a : b;
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec <= b->tv_nsec) ? a : b;
}

// Every deadline the loop keeps, each a unit's wait until it is due (into *left), or null while
// that unit keeps none. The loop waits for the earliest, and without a time-out when none is kept.
using WaitLimit = const struct timespec *(*)(struct timespec *left);
static constexpr WaitLimit waitLimits[] = {SelfResetTimeout, CursorWaitLimit, reset_wait_limit,
                                           LongPressWaitLimit, DevicePressWaitLimit};

static const struct timespec *next_deadline(struct timespec (&slots)[std::size(waitLimits)])
{
    const struct timespec *limit = nullptr;
    for (size_t i = 0; i < std::size(waitLimits); i++)
        limit = earlier(limit, waitLimits[i](&slots[i]));
    return limit;
}

// Panels in list order; a reset run by a handler ends the walk, since the records may be new.
static void serve_panels(const fd_set *ready, unsigned generation)
{
    TouchPanel *next;
    for (TouchPanel *p = panelList; p && generation == resetCount; p = next) {
        next = p->next;
        if (p->fd >= 0 && p->fd < FD_SETSIZE && FD_ISSET(p->fd, ready))
            ProcessPanel(p);
    }
}

int ServiceCycle()
{
    SelfResetIfDue();
    collect_signals();
    reset_if_due();
    if (firstRequestMs < 0)
        RunHeldCommand();  // the reset it waited for has run
    serve_children(0);
    LongPressIfDue();
    DevicePressIfDue();
    DevicesFlush();  // nothing a device was told waits through the sleep
    fd_set ready = fdSet;
    if (CommandHeld())
        FD_CLR(fdCmdIn, &ready);  // commands keep their order: the next waits behind the held one
    struct timespec slots[std::size(waitLimits)];
    int n = pselect(fdMax + 1, &ready, nullptr, nullptr, next_deadline(slots), &selectMask);
    if (n <= 0) {
        serve_children(n < 0);  // a time-out is xsetroot's limit; an interruption may be its end
        return n;
    }
    unsigned generation = resetCount;
    if (FD_ISSET(fdCmdIn, &ready))
        ProcessCommand();
    if (generation == resetCount && FD_ISSET(fdShrIn, &ready))
        ProcessShare();
    if (generation == resetCount && fdDisplayWatch >= 0 && FD_ISSET(fdDisplayWatch, &ready))
        ProcessDisplayWatch();
    serve_panels(&ready, generation);
    return n;
}

void EndlessServiceLoop()
{
    block_loop_signals();
    for (;;)
        ServiceCycle();
}
