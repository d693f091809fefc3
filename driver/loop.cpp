// The service loop: wait for the command pipe, the share pipe and the ports, and hand each to its handler.
#include <cerrno>

#include "quilmod.h"

// SIGHUP is blocked except inside pselect, so one that arrives just before the wait
// still wakes it, and the reset never runs in the middle of a handler.
static sigset_t selectMask;

static void block_hangup()
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    sigprocmask(SIG_BLOCK, &hup, &selectMask);
    sigdelset(&selectMask, SIGHUP);
}

// pselect delivers a pending SIGHUP only when no descriptor is ready, so a port that is
// always readable could hold it back for ever: take it from the pending set as well.
static void collect_hangup()
{
    sigset_t pending;
    if (sigpending(&pending) != 0 || !sigismember(&pending, SIGHUP))
        return;
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    const struct timespec now = {0, 0};
    if (sigtimedwait(&hup, nullptr, &now) == SIGHUP)
        resetPending = 1;
}

static void reset_if_asked()
{
    collect_hangup();
    if (!resetPending)
        return;
    resetPending = 0;
    beep_off();
    puts("qlm_killed 's DaemonReset");
    DaemonReset();
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
    reset_if_asked();
    fd_set ready = fdSet;
    struct timespec wait;
    int n = pselect(fdMax + 1, &ready, nullptr, nullptr, SelfResetTimeout(&wait), &selectMask);
    if (n <= 0)
        return n;
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
    block_hangup();
    for (;;)
        ServiceCycle();
}
