// The panel registry: open ports as TouchPanel records on panelList, and the select set.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "device.h"
#include "quilmod.h"

TouchPanel *panelList = nullptr;
fd_set fdSet;
int fdMax = -1;

constexpr int PORT_SETTLE_US = 10000;

int WatchFd(int fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return 1;  // select could not hold it
    FD_SET(fd, &fdSet);
    if (fd > fdMax)
        fdMax = fd;
    return 0;
}

void JoinList(TouchPanel **headp, TouchPanel *newp)
{
    newp->next = *headp;
    *headp = newp;
}

void LeaveList(TouchPanel **headp, TouchPanel *target, TouchPanel *pre)
{
    if (pre)
        pre->next = target->next;
    else
        *headp = target->next;
    target->next = nullptr;
}

void AddPanel(TouchPanel *p)
{
    JoinList(&panelList, p);
    WatchFd(p->fd);
}

// Opens the node under the sandbox root; -1 when it cannot be opened or selected on (errno says
// why). O_NONBLOCK: a serial line whose CLOCAL an earlier user cleared would hold a plain open
// until carrier came, and the whole daemon with it. Once the line ignores the modem lines the
// descriptor blocks again, so reads behave as they always did (select says when to read).
static int open_port(const char *device, int baud)
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, device)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // O_NOCTTY: a port must never become the daemon's controlling terminal.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (fd >= FD_SETSIZE) {
        close(fd);
        errno = EMFILE;
        return -1;
    }
    // Every terminal is a serial line to set raw, whatever its name (a udev link
    // /dev/quilmo-usb0 too); anything else (a FIFO, a file) is read as it is.
    if (isatty(fd)) {
        Dev_SaveState(fd);
        Dev_SetBaud(fd, baud);
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

TouchPanel *NewPanel(char *device, int baud)
{
    if (!device)
        return nullptr;
    printf("Test %s....", device);
    fflush(stdout);
    int fd = open_port(device, baud);
    if (fd < 0) {
        int err = errno;
        puts("open failed");
        SayPortWhy(device, err);
        return nullptr;
    }
    putchar('\n');  // what the calibration files say next stands on a line of its own
    devUsleep(PORT_SETTLE_US);
    size_t n = strlen(device);
    auto *p = static_cast<TouchPanel *>(calloc(1, sizeof(TouchPanel) + n + 1));
    if (!p) {
        printf("malloc %s\n", device);
        SayWhy(device, ENOMEM);
        close(fd);
        return nullptr;
    }
    p->device = reinterpret_cast<char *>(p + 1);
    memcpy(p->device, device, n + 1);
    p->fd = fd;
    p->state = Normal;
    p->present = 1;
    SET_PANEL_MAPPING(p);
    return p;
}

void ForgetPanelFd(TouchPanel *p)
{
    if (p->fd < 0)
        return;  // closed already when its device went away
    close(p->fd);
    FD_CLR(p->fd, &fdSet);
    if (p->fd == fdMax)
        fdMax = p->fd - 1;
    p->fd = -1;
}

// Closes and unlinks every record named name; frees them all but keep.
static void close_matching(const char *name, TouchPanel *keep)
{
    TouchPanel *pre = nullptr, *next;
    for (TouchPanel *p = panelList; p; p = next) {
        next = p->next;
        if (strcmp(p->device, name) != 0) {
            pre = p;
            continue;
        }
        ForgetPanelFd(p);
        LeaveList(&panelList, p, pre);
        if (p != keep)
            free(p);
    }
}

void ClosePort(char *name)
{
    close_matching(name, nullptr);
    SyncDevices();
}

TouchPanel *UpdatePanel(TouchPanel *p)
{
    printf("Update %s....", p->device);
    fflush(stdout);
    puts("create new  panel and remove old panel");
    close_matching(p->device, p);  // p's device text is still needed to reopen
    TouchPanel *fresh = NewPanel(p->device, 9600);
    free(p);
    return fresh;
}
