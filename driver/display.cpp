// The X display the right-click tool serves: whether its server's socket is there, whether it
// answers, and an inotify watch on the socket directory that tells when a server comes.
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "quilmod.h"

constexpr char TMP_DIR[] = "/tmp";
constexpr char SOCKET_DIR_NAME[] = ".X11-unix";
constexpr char SOCKET_DIR[] = "/tmp/.X11-unix";
constexpr char SOCKET_NAME[] = "X0";  // display :0, the one the tool is started on
constexpr char SOCKET[] = "/tmp/.X11-unix/X0";
constexpr size_t EVENT_BUFFER = 4096;  // whole events only: the kernel never splits one
// A directory made or renamed into place, a socket bound or renamed into place, the directory gone.
constexpr uint32_t DIR_EVENTS = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

int fdDisplayWatch = -1;
static int tmpWatch = -1;     // on /tmp while the socket directory is missing
static int socketWatch = -1;  // on the socket directory

static int watch_dir(const char *dir, uint32_t mask)
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, dir))
        return -1;
    return inotify_add_watch(fdDisplayWatch, path, mask | IN_ONLYDIR);
}

// Watches the socket directory, or /tmp until it exists: /tmp sees every scratch file of the
// machine, so its watch is kept only as long as it is needed.
static void watch_socket_dir()
{
    socketWatch = watch_dir(SOCKET_DIR, DIR_EVENTS);
    if (socketWatch >= 0 && tmpWatch >= 0) {
        inotify_rm_watch(fdDisplayWatch, tmpWatch);
        tmpWatch = -1;
    } else if (socketWatch < 0 && tmpWatch < 0) {
        tmpWatch = watch_dir(TMP_DIR, IN_CREATE | IN_MOVED_TO);
    }
}

void DisplayWatchStart()
{
    if (fdDisplayWatch >= 0)
        return;
    fdDisplayWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fdDisplayWatch < 0) {
        perror("inotify");
        return;
    }
    if (WatchFd(fdDisplayWatch) != 0) {
        close(fdDisplayWatch);
        fdDisplayWatch = -1;
        return;
    }
    watch_socket_dir();
}

int DisplaySocketPresent()
{
    char path[QLM_PATH];
    struct stat st;
    return RootPath(path, sizeof path, SOCKET) == 0 && stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

int DisplayAnswers()
{
    char path[QLM_PATH];
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (RootPath(path, sizeof path, SOCKET) || strlen(path) >= sizeof addr.sun_path)
        return 0;
    memcpy(addr.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    // A listening server takes the connection at once, or has its queue full (EAGAIN).
    int r = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    int answered = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    return answered;
}

// 1 when the event may mean the display's socket has come.
static int display_event(const struct inotify_event *ev)
{
    if (ev->wd == tmpWatch)
        return ev->len && strcmp(ev->name, SOCKET_DIR_NAME) == 0;
    if (ev->wd != socketWatch)
        return 0;
    if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
        inotify_rm_watch(fdDisplayWatch, socketWatch);
        socketWatch = -1;  // gone: wait for it in /tmp again
        return 1;
    }
    return ev->len && strcmp(ev->name, SOCKET_NAME) == 0;
}

void ProcessDisplayWatch()
{
    alignas(struct inotify_event) char buf[EVENT_BUFFER];
    ssize_t n = read(fdDisplayWatch, buf, sizeof buf);
    if (n <= 0)
        return;  // nothing (EAGAIN), or an interruption: the next wake-up reads it
    int relevant = 0;
    for (ssize_t at = 0; at + (ssize_t)sizeof(struct inotify_event) <= n;) {
        const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + at);
        relevant |= display_event(ev);
        at += (ssize_t)(sizeof(struct inotify_event) + ev->len);
    }
    if (socketWatch < 0)
        watch_socket_dir();
    if (relevant && DisplaySocketPresent())
        RClickToolDisplayCame();
}
