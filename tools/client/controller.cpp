// Controllers on ports the daemon does not hold: the check against its descriptors, and the
// port opened raw.
#include "controller.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include "channel.h"
#include "device.h"
#include "process.h"
#include "rootpath.h"

constexpr int CONTROLLER_BAUD = 9600;

// true when the daemon (going by its pid file) has the device open.
bool HeldByDaemon(const struct stat &dev)
{
    pid_t pid = DaemonPid();
    if (pid <= 0)
        return false;
    char dir[64];
    if (ProcPath(dir, sizeof dir, static_cast<int>(pid), "fd") != 0)
        return false;
    DIR *d = opendir(dir);
    if (!d)
        return false;  // not ours to look into: the open will tell
    bool held = false;
    while (struct dirent *e = readdir(d)) {
        char link[sizeof dir + sizeof e->d_name + 1];
        struct stat st;
        snprintf(link, sizeof link, "%s/%s", dir, e->d_name);
        if (e->d_name[0] != '.' && stat(link, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev)
            held = true;
    }
    closedir(d);
    return held;
}

// O_NONBLOCK keeps the open from waiting for a carrier; once set up the line ignores the
// modem lines.
int OpenController(const char *device)
{
    char full[QLM_PATH];
    if (!ClientRootPath(full, device))
        return -1;
    struct stat st;
    if (stat(full, &st) == 0 && S_ISCHR(st.st_mode) && HeldByDaemon(st)) {
        Complain(EXIT_FAIL, "%s is held by quilmod: use 'quilmoctl share', or 'quilmoctl close-port' first", device);
        return -1;
    }
    int fd = open(full, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Complain(EXIT_FAIL, "cannot open %s: %s", device, strerror(errno));
        return -1;
    }
    // Checked again on what was opened: the name may have changed hands meanwhile.
    const char *refusal = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        refusal = "is not a character device";
    else if (HeldByDaemon(st))
        refusal = "is held by quilmod";
    else if (fd >= FD_SETSIZE)
        refusal = "got a descriptor too high to wait on";
    if (refusal) {
        close(fd);
        Complain(EXIT_FAIL, "%s %s", device, refusal);
        return -1;
    }
    Dev_SaveState(fd);
    Dev_SetBaud(fd, CONTROLLER_BAUD);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void CloseController(int fd)
{
    Dev_RestoreState(fd);
    close(fd);
}
