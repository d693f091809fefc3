// The service loop: wait for the command pipe, the share pipe and the ports, and hand each to its handler.
#include <cerrno>

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

static void reset_if_asked()
{
    if (!resetPending)
        return;
    resetPending = 0;
    beep_off();
    puts("qlm_killed 's DaemonReset");
    DaemonReset();
}

// A wait cut short by a signal may have been SIGCHLD under another handler (starting the
// right-click tool installs its own), so that counts as a possible end of our child too.
static void serve_children(int interrupted)
{
    int woken = childEnded || interrupted;
    childEnded = 0;
    CursorChildService(woken);
}

// The shorter of two optional time-outs (null: none); null only when both are.
static const struct timespec *earlier(const struct timespec *a, const struct timespec *b)
{
    if (!a || !b)
        return a ? a : b;
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec <= b->tv_nsec) ? a : b;
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
    reset_if_asked();
    serve_children(0);
    fd_set ready = fdSet;
    struct timespec wait, left;
    const struct timespec *limit = earlier(SelfResetTimeout(&wait), CursorWaitLimit(&left));
    int n = pselect(fdMax + 1, &ready, nullptr, nullptr, limit, &selectMask);
    if (n <= 0) {
        serve_children(n < 0);  // a time-out is xsetroot's limit; an interruption may be its end
        return n;
    }
    unsigned generation = resetCount;
    if (FD_ISSET(fdCmdIn, &ready))
        ProcessCommand();
    if (generation == resetCount && FD_ISSET(fdShrIn, &ready))
        ProcessShare();
    serve_panels(&ready, generation);
    return n;
}

void EndlessServiceLoop()
{
    block_loop_signals();
    for (;;)
        ServiceCycle();
}
