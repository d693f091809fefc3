// Taking a free port for a controller talk: the UUCP lock file (taken atomically, a stale one
// removed under flock), the look through /proc for other holders, the line set raw without
// waiting, and given back as it was on every way out.
#include "portclaim.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "message.h"
#include "process.h"

constexpr int MAX_LINK_HOPS = 8;
constexpr long long DRAIN_MS = 500;       // our own bytes still leaving when we give the line back
constexpr int DRAIN_STEP_MS = 10;
constexpr unsigned PTY_SLAVE_MAJOR = 136;  // Unix98 pseudo-terminals' port sides: 136..143
constexpr unsigned PTY_SLAVE_MAJORS = 8;

// ---- holders ----

static bool all_digits(const char *s)
{
    for (; *s; s++)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// The pseudo-terminal index behind the port side rdev, -1 for any other device.
static long pty_index(dev_t rdev)
{
    unsigned maj = major(rdev);
    if (maj < PTY_SLAVE_MAJOR || maj >= PTY_SLAVE_MAJOR + PTY_SLAVE_MAJORS)
        return -1;
    return static_cast<long>((maj - PTY_SLAVE_MAJOR) << 8 | minor(rdev));
}

// Whether the descriptor fd of process pid is the master side of pseudo-terminal index.
static bool is_master_of(const char *pid, const char *fd, long index)
{
    char path[600], text[512];
    snprintf(path, sizeof path, "/proc/%s/fdinfo/%s", pid, fd);
    int f = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = f < 0 ? -1 : read(f, text, sizeof text - 1);
    if (f >= 0)
        close(f);
    if (n <= 0)
        return false;
    text[n] = '\0';
    const char *at = strstr(text, "tty-index:");
    return at && strtol(at + strlen("tty-index:"), nullptr, 10) == index;
}

// 1 = the process holds rdev as a user of the line, 0 = not, -1 = cannot be looked at. A
// process that holds a pseudo-terminal's master side too is the line's far end (a simulator
// keeping its line from hanging up), not a user of the port.
static int process_holds(const char *pid, dev_t rdev, size_t *budget)
{
    char dir[300];
    snprintf(dir, sizeof dir, "/proc/%s/fd", pid);
    DIR *d = opendir(dir);
    if (!d)
        return errno == ENOENT ? 0 : -1;  // gone meanwhile: it holds nothing
    bool holds = false, farEnd = false;
    long index = pty_index(rdev);
    while (struct dirent *e = *budget > 0 ? readdir(d) : nullptr) {
        --*budget;
        char link[sizeof dir + sizeof e->d_name + 1];
        struct stat st;
        snprintf(link, sizeof link, "%s/%s", dir, e->d_name);
        if (e->d_name[0] == '.' || stat(link, &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (st.st_rdev == rdev)
            holds = true;
        else if (index >= 0 && !farEnd)
            farEnd = is_master_of(pid, e->d_name, index);
    }
    closedir(d);
    if (*budget == 0)
        return -1;
    return holds && !farEnd ? 1 : 0;
}

int FindHolder(dev_t rdev, pid_t *pid, size_t *unseen)
{
    *unseen = 0;
    DIR *proc = opendir("/proc");
    if (!proc) {
        *unseen = 1;
        return -1;
    }
    long long deadline = NowMs() + HOLDER_SCAN_MS;
    size_t budget = MAX_FDS_LOOKED_AT, entries = 0;
    pid_t self = getpid();
    int found = 0;
    while (struct dirent *e = readdir(proc)) {
        if (++entries > MAX_PROCESSES || NowMs() >= deadline) {
            ++*unseen;  // the rest is not looked at
            break;
        }
        if (!all_digits(e->d_name) || atol(e->d_name) == self)
            continue;
        int r = process_holds(e->d_name, rdev, &budget);
        if (r < 0)
            ++*unseen;
        if (r > 0) {
            *pid = static_cast<pid_t>(atol(e->d_name));
            found = 1;
            break;
        }
    }
    closedir(proc);
    return found ? 1 : *unseen ? -1 : 0;
}

// ---- the lock file ----

// Follows device's links hop by hop while each target is beneath the root too, so every name
// of a node (a by-id link, the node itself) leads to the same lock.
bool LockFileOf(const char *device, char (&path)[QLM_PATH])
{
    std::array<char, QLM_PATH> name{}, full{}, target{};
    snprintf(name.data(), name.size(), "%s", device);
    for (int hop = 0; hop < MAX_LINK_HOPS; hop++) {
        if (RootPath(full.data(), full.size(), name.data()) != 0)
            return false;
        ssize_t n = readlink(full.data(), target.data(), target.size() - 1);
        if (n <= 0)
            break;
        target[static_cast<size_t>(n)] = '\0';
        std::array<char, QLM_PATH> next{};
        std::array<char, QLM_PATH> dirCopy = name;
        int len = target[0] == '/' ? snprintf(next.data(), next.size(), "%s", target.data())
                                   : snprintf(next.data(), next.size(), "%s/%s", dirname(dirCopy.data()), target.data());
        struct stat st;
        if (len < 0 || static_cast<size_t>(len) >= next.size() || RootPath(full.data(), full.size(), next.data()) != 0 ||
            lstat(full.data(), &st) != 0)
            break;  // the link leaves the root (a sandbox's link to a real node): its own name
        name = next;
    }
    const char *base = strrchr(name.data(), '/');
    char rel[QLM_PATH];
    int n = snprintf(rel, sizeof rel, "%s/LCK..%s", LOCK_DIR, base ? base + 1 : name.data());
    return n > 0 && static_cast<size_t>(n) < sizeof rel && RootPath(path, sizeof path, rel) == 0;
}

// The pid a lock file names: ten digits and a new line as UUCP's HDB writes them, or a binary
// int as older programs did. 0 when it names none.
static pid_t lock_pid(int fd)
{
    char text[32];
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end;
    long v = strtol(text, &end, 10);
    if (end != text && v > 0 && v <= INT_MAX)
        return static_cast<pid_t>(v);
    int binary = 0;
    if (n == sizeof binary)
        memcpy(&binary, text, sizeof binary);
    return binary > 0 ? binary : 0;
}

static bool pid_alive(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

// A lock whose process has gone is removed, under flock so that two of us cannot remove one
// another's fresh lock: only the file still behind the name, still naming the dead pid, goes.
static bool remove_stale(const char *path, pid_t dead)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat mine, now;
    bool removed = flock(fd, LOCK_EX | LOCK_NB) == 0 && lock_pid(fd) == dead && fstat(fd, &mine) == 0 &&
                   lstat(path, &now) == 0 && mine.st_ino == now.st_ino && mine.st_dev == now.st_dev &&
                   unlink(path) == 0;
    close(fd);
    return removed;
}

// Our pid in a scratch file of an unpredictable name, linked to the lock's name: link fails
// when the name exists, so the lock is taken whole or not at all. 1 = taken, 0 = exists,
// -1 = failed (errno); -2 = no lock folder (nobody locks here).
static int link_lock(const char *path)
{
    char scratch[QLM_PATH];
    int n = snprintf(scratch, sizeof scratch, "%s.XXXXXX", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof scratch)
        return -1;
    char *slash = strrchr(scratch, '/');
    if (slash)
        slash[1] = '.';  // .CK..NAME.XXXXXX: hidden, never taken for a lock
    int fd = mkostemp(scratch, O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? -2 : -1;
    char text[16];
    int len = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    bool written = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<size_t>(len)) == len;
    close(fd);
    int r = written && link(scratch, path) == 0 ? 1 : errno == EEXIST ? 0 : -1;
    int err = errno;
    unlink(scratch);
    errno = err;
    return r;
}

// true = locked (or no lock folder); false with c->why.
static bool take_lock(const char *device, PortClaim *c)
{
    char path[QLM_PATH];
    if (!LockFileOf(device, path)) {
        snprintf(c->why, sizeof c->why, "lock file name too long");
        return false;
    }
    for (int attempt = 0; attempt < 2; attempt++) {
        int r = link_lock(path);
        if (r == -2)
            return true;
        if (r == 1) {
            snprintf(c->lockPath, sizeof c->lockPath, "%s", path);
            return true;
        }
        if (r < 0) {
            snprintf(c->why, sizeof c->why, "cannot lock (%s/LCK..): %s", LOCK_DIR, strerror(errno));
            return false;
        }
        int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        pid_t pid = fd < 0 ? 0 : lock_pid(fd);
        if (fd >= 0)
            close(fd);
        if (pid == 0 || pid_alive(pid) || !remove_stale(path, pid)) {
            const char *base = strrchr(path, '/') + 1;
            if (pid > 0)
                snprintf(c->why, sizeof c->why, "locked by pid %d (%s/%s)", static_cast<int>(pid), LOCK_DIR, base);
            else
                snprintf(c->why, sizeof c->why, "locked (%s/%s names no pid)", LOCK_DIR, base);
            return false;
        }
    }
    snprintf(c->why, sizeof c->why, "cannot lock: the lock keeps changing hands");
    return false;
}

static void drop_lock(PortClaim *c)
{
    if (!c->lockPath[0])
        return;
    int fd = open(c->lockPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && lock_pid(fd) == getpid())
        unlink(c->lockPath);
    if (fd >= 0)
        close(fd);
    c->lockPath[0] = '\0';
}

// ---- the claim ----

// Why a holder keeps us off: quilmod (which the share serves), or any other process by name.
static void name_holder(pid_t pid, PortClaim *c)
{
    if (pid == DaemonPid()) {
        snprintf(c->why, sizeof c->why, "held by quilmod (use 'quilmoctl share', or 'quilmoctl close-port' first)");
        return;
    }
    char path[64], comm[64] = "?";
    int fd = ProcPath(path, sizeof path, static_cast<int>(pid), "comm") == 0 ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    ssize_t n = fd < 0 ? -1 : read(fd, comm, sizeof comm - 1);
    if (fd >= 0)
        close(fd);
    comm[n > 0 ? n : 1] = '\0';
    comm[strcspn(comm, "\n")] = '\0';
    snprintf(c->why, sizeof c->why, "held by pid %d (%s)", static_cast<int>(pid), Escaped(comm).c_str());
}

// true when no other process holds rdev; else false with c->why.
static bool nobody_else(dev_t rdev, PortClaim *c)
{
    pid_t pid = 0;
    size_t unseen = 0;
    int r = FindHolder(rdev, &pid, &unseen);
    if (r == 0)
        return true;
    if (r > 0)
        name_holder(pid, c);
    else
        snprintf(c->why, sizeof c->why, "maybe held: %zu processes' descriptors cannot be seen (run as root)", unseen);
    return false;
}

// Raw 8N1 at 9600 baud, modem lines ignored, reads that never wait; applied at once, so a line
// whose output cannot drain does not hold us up.
static bool set_raw(int fd, const struct termios &before)
{
    struct termios tio = before;
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Opens the node checked as free, and checks again what was opened: the name may have changed
// hands, or a holder come, meanwhile.
static bool open_free(const char *full, const struct stat &st, PortClaim *c)
{
    c->fd = open(full, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (c->fd < 0) {
        snprintf(c->why, sizeof c->why, "cannot open: %s", strerror(errno));
        return false;
    }
    struct stat now;
    if (fstat(c->fd, &now) != 0 || !S_ISCHR(now.st_mode) || now.st_rdev != st.st_rdev) {
        snprintf(c->why, sizeof c->why, "changed while it was opened");
        return false;
    }
    if (!nobody_else(st.st_rdev, c))
        return false;
    if (tcgetattr(c->fd, &c->before) != 0) {
        snprintf(c->why, sizeof c->why, "not a terminal");
        return false;
    }
    c->saved = true;
    if (!set_raw(c->fd, c->before)) {
        snprintf(c->why, sizeof c->why, "cannot set the line: %s", strerror(errno));
        return false;
    }
    return true;
}

bool ClaimPort(const char *device, PortClaim *c)
{
    CatchStopSignals(&c->waitMask);
    char full[QLM_PATH];
    struct stat st;
    if (RootPath(full, sizeof full, device) != 0) {
        snprintf(c->why, sizeof c->why, "path too long under QUILMOD_ROOT");
        return false;
    }
    if (stat(full, &st) != 0) {
        snprintf(c->why, sizeof c->why, "cannot open: %s", strerror(errno));
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        snprintf(c->why, sizeof c->why, "not a character device");
        return false;
    }
    if (!take_lock(device, c))
        return false;
    if (nobody_else(st.st_rdev, c) && open_free(full, st, c))
        return true;
    ReleasePort(c);
    return false;
}

// Our bytes still waiting to leave get a moment; what cannot drain (flow stopped) is dropped,
// so that neither the restore nor the close waits on it.
static void settle_output(const PortClaim &c)
{
    long long deadline = NowMs() + DRAIN_MS;
    int queued = 0;
    while (ioctl(c.fd, TIOCOUTQ, &queued) == 0 && queued > 0 && NowMs() < deadline && !stopRequested)
        SleepMs(DRAIN_STEP_MS);
    if (queued != 0)
        tcflush(c.fd, TCOFLUSH);
}

void ReleasePort(PortClaim *c)
{
    if (c->fd >= 0 && c->saved) {
        settle_output(*c);
        tcsetattr(c->fd, TCSANOW, &c->before);
    }
    CloseFd(&c->fd);
    c->saved = false;
    drop_lock(c);
}
