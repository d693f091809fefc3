// The six named pipes: creation, opening, and discarding their unread content.
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
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

// Makes the FIFO when the path is free; 0 = the path now exists, -1 = mkfifo failed.
static int make_fifo(const char *path, int mode, struct stat *st)
{
    for (int round = 0; stat(path, st) != 0; round++) {
        // Owner-only until chmod: nobody else may open it (say, to read frames or commands)
        // before it has its final mode.
        if (round == MAX_MKFIFO_ROUNDS || mkfifo(path, 0600) != 0)
            return -1;
        chmod(path, mode);  // exact mode, whatever the umask
    }
    return 0;
}

int CreatePipe(char *name, int mode)
{
    static int retry = 0;
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, name))
        return -1;
    for (;;) {
        struct stat st;
        if (make_fifo(path, mode, &st) != 0)
            return -1;
        if (S_ISFIFO(st.st_mode)) {
            int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                printf("open %s", name);
                return -1;
            }
            retry = 0;
            return fd;
        }
        if (unlink(path) != 0)
            return -1;
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

int CreateDatPipe()
{
    return create_pair("/dev/qvdat0", 0622, &fdOuts[0], "/dev/qvdat1", 0622, &fdOuts[1]);
}

int CreateCmdPipe()
{
    return create_pair("/dev/qvcmdin", 0622, &fdCmdIn, "/dev/qvcmdout", 0644, &fdCmdOut);
}

int CreateSharePipe()
{
    return create_pair("/dev/qvshrin", 0622, &fdShrIn, "/dev/qvshrout", 0644, &fdShrOut);
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
