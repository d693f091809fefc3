// The six named pipes: creation, opening, and discarding their unread content.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quilmod.h"

int fdOuts[2] = {0, 0};
int fdCmdIn = -1, fdCmdOut = -1, fdShrIn = -1, fdShrOut = -1;

constexpr int MAX_PIPE_RETRY = 5;     // re-attempts after removing a non-FIFO
constexpr int MAX_MKFIFO_ROUNDS = 8;  // bounds a path that vanishes again after mkfifo
constexpr size_t EMPTY_PIPE_READ = 5000;
constexpr int PIPE_COUNT = 6;

// Low descriptors held from before the ports open until each FIFO takes one, so the FIFOs
// never depend on how many descriptors the ports left (select stops at FD_SETSIZE).
static int reserved[PIPE_COUNT] = {-1, -1, -1, -1, -1, -1};
static int reservedUsed = 0;

long PipeWrite(int fd, const void *buf, size_t len)
{
    ssize_t n;
    do
        n = write(fd, buf, len);
    while (n == -1 && errno == EINTR);
    return n;
}

constexpr char FIFO_GROUP[] = "quilmod";
constexpr gid_t ROOT_GROUP = 0;

// The group that may talk to the daemon, as the package's sysusers entry makes it; root's when
// there is none. Read from the group file itself, so a sandbox root has its own.
static gid_t fifo_group()
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, "/etc/group"))
        return ROOT_GROUP;
    FILE *f = fopen(path, "re");
    if (!f)
        return ROOT_GROUP;
    gid_t gid = ROOT_GROUP;
    while (struct group *g = fgetgrent(f))
        if (strcmp(g->gr_name, FIFO_GROUP) == 0) {
            gid = g->gr_gid;
            break;
        }
    fclose(f);
    return gid;
}

// Makes the FIFO when the path is free; 0 = the path now exists (*made: by this call), -1 =
// mkfifo failed. Owner-only until it is open and given its group and mode: nobody else may open
// it (say, to read frames or commands) before that.
static int make_fifo(const char *path, struct stat *st, int *made)
{
    *made = 0;
    for (int round = 0; stat(path, st) != 0; round++) {
        if (round == MAX_MKFIFO_ROUNDS || mkfifo(path, 0600) != 0)
            return -1;
        *made = 1;
    }
    return 0;
}

// A FIFO this start made: the group quilmod (or root's) and the exact mode, whatever the
// umask, through the descriptor, so no name swapped in meanwhile is touched. One found is left
// as it is: its modes are the administrator's (or the package's tmpfiles entry's).
static void give_fifo_its_mode(int fd, int mode)
{
    if (fchown(fd, (uid_t)-1, fifo_group()) != 0) {
        // not root: the daemon's own group stays, and the mode still closes it to others
    }
    fchmod(fd, mode);
}

int CreatePipe(char *name, int mode)
{
    static int retry = 0;
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, name))
        return -1;
    for (;;) {
        struct stat st;
        int made;
        if (make_fifo(path, &st, &made) != 0) {
            SayWhy(name, errno);
            return -1;
        }
        if (S_ISFIFO(st.st_mode)) {
            int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                int err = errno;
                printf("open %s\n", name);
                SayWhy(name, err);
                return -1;
            }
            if (made)
                give_fifo_its_mode(fd, mode);
            retry = 0;
            return fd;
        }
        if (unlink(path) != 0) {
            SayWhy(name, errno);
            return -1;
        }
        printf("%s should be a pipe.\nDelete it and try again...\n", name);
        if (retry > MAX_PIPE_RETRY) {
            retry = 0;
            return -1;
        }
        retry++;
    }
}

void ReservePipeFds()
{
    for (int &fd : reserved)
        if (fd < 0)
            fd = eventfd(0, EFD_CLOEXEC);
    reservedUsed = 0;
}

// Frees the next held descriptor just before a FIFO is opened, so the open gets it (or a
// lower free one) even when the ports took every other descriptor.
static int create_in_reserve(const char *name, int mode)
{
    if (reservedUsed < PIPE_COUNT) {
        int &fd = reserved[reservedUsed++];
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    return CreatePipe((char *)name, mode);
}

// Opens a pair of FIFOs into *first and *second; 0 = both open, 1 = failure.
static int create_pair(const char *first, int firstMode, int *fdFirst,
                       const char *second, int secondMode, int *fdSecond)
{
    int fd = create_in_reserve(first, firstMode);
    if (fd == -1)
        return 1;
    *fdFirst = fd;
    fd = create_in_reserve(second, secondMode);
    if (fd == -1)
        return 1;
    *fdSecond = fd;
    return 0;
}

// The modes of FIFOs the daemon makes: those of the package's tmpfiles entry. Root reads commands
// and shared input, the group quilmod writes them and reads replies and the shared stream;
// qvdat0 is the display server's input driver's alone; nothing for others.
constexpr int MODE_IN = 0620;     // qvcmdin, qvshrin
constexpr int MODE_OUT = 0640;    // qvcmdout, qvshrout, qvdat1
constexpr int MODE_FRAMES = 0600;  // qvdat0

int CreateDatPipe()
{
    return create_pair("/dev/qvdat0", MODE_FRAMES, &fdOuts[0], "/dev/qvdat1", MODE_OUT, &fdOuts[1]);
}

int CreateCmdPipe()
{
    return create_pair("/dev/qvcmdin", MODE_IN, &fdCmdIn, "/dev/qvcmdout", MODE_OUT, &fdCmdOut);
}

int CreateSharePipe()
{
    return create_pair("/dev/qvshrin", MODE_IN, &fdShrIn, "/dev/qvshrout", MODE_OUT, &fdShrOut);
}

void EmptyPipe(int fd)
{
    static unsigned char scratch[EMPTY_PIPE_READ];
    if (read(fd, scratch, sizeof scratch) < 0) {
        // nothing to discard
    }
}

void FlushOutput()
{
    for (int32_t index = 0; index < 2; index++) {
        PipeWrite(fdOuts[index], &index, sizeof index);  // the index, in host byte order
        EmptyPipe(fdOuts[index]);
    }
}
