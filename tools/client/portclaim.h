// Taking a port nobody else uses, for a talk with its controller: the UUCP lock file, the look
// for other holders, the line set raw and given back as it was.
#pragma once
#include <csignal>
#include <cstddef>
#include <sys/types.h>
#include <termios.h>

#include "rootpath.h"

constexpr char LOCK_DIR[] = "/run/lock";       // UUCP lock files: LCK..NAME holding a pid
constexpr long long HOLDER_SCAN_MS = 2000;     // the look through /proc, at most
constexpr size_t MAX_PROCESSES = 65536;        // /proc entries looked at, at most
constexpr size_t MAX_FDS_LOOKED_AT = 1 << 20;  // descriptors looked at, in all

struct PortClaim {
    int fd = -1;
    bool saved = false;
    struct termios before {};         // the line as we found it
    char lockPath[QLM_PATH] = "";     // our lock file, "" when none was taken
    sigset_t waitMask;                // waits let the stop signals through (stopRequested)
    char why[256] = "";               // why the port was not taken, after "DEVICE: "
};

// The processes with the character device rdev open, ours excepted. 1 = one found (*pid),
// 0 = none among all processes, -1 = some could not be looked at (*unseen of them, or the
// look ran out of time).
int FindHolder(dev_t rdev, pid_t *pid, size_t *unseen);
// The lock file's name for device: LCK.. and the node's name, the links followed while they
// stay beneath the sandbox root's /dev. false when the path does not fit.
bool LockFileOf(const char *device, char (&path)[QLM_PATH]);

// Locks device, makes sure nobody else holds it, opens it without waiting and sets it raw at
// 9600 baud, nothing flushed. false with c->why (the lock is given back then).
bool ClaimPort(const char *device, PortClaim *c);
// The line as it was, our bytes that could not be sent within a deadline discarded, the port
// closed and the lock removed. Never waits without a bound.
void ReleasePort(PortClaim *c);
