// The daemon's process and the tools' sessions, which end on a signal, a count or a time-out.
#pragma once
#include <csignal>
#include <cstddef>
#include <span>
#include <sys/types.h>

constexpr char DAEMON_PID_FILE[] = "/var/run/quilmod.pid";
constexpr char DAEMON_NAME[] = "quilmod";     // its command name in /proc/PID/comm
constexpr long long STOP_MS = 5000;   // the daemon's process ends after 'stop'

// The daemon's pid from its pid file, when that process is alive and is quilmod; else 0.
pid_t DaemonPid();
// Gone, or a zombie its parent has not reaped yet.
bool ProcessStopped(pid_t pid);
// With pid 0: the daemon has ended once nobody reads its command FIFO.
bool DaemonStopped(pid_t pid);

extern volatile sig_atomic_t stopRequested;  // SIGINT, SIGTERM or SIGHUP arrived

// Catches SIGINT, SIGTERM and SIGHUP into stopRequested; they stay blocked except inside waits
// given waitMask (ppoll), so none slips in between a check and a wait.
void CatchStopSignals(sigset_t *waitMask);

struct Session {
    sigset_t waitMask;
    long long deadline = -1;  // -1 = none
    long want = 0;            // items to show, 0 = no limit
    long shown = 0;
    bool outputOpen = true;   // standard output is a descriptor poll can watch
};

constexpr size_t SESSION_FDS = 4;  // the caller's three at most, and standard output

// Catches the stop signals (blocked except while waiting); count 0 = no limit, timeout 0 = none.
void SessionStart(Session *s, long count, long timeoutS);
// 1 = go on, 0 = the session is over (signal, count, time, or nobody reads our output any
// more), -1 = failed after a message. unit names the items in the time-out message.
int SessionWait(Session *s, std::span<struct pollfd> fds, const char *unit);
// How many of n items the count still lets through; they are counted as shown.
size_t SessionTake(Session *s, size_t n);
// Flushes standard output; true when it went away (a failure other than EPIPE clears *ok).
bool OutputFailed(bool *ok);
