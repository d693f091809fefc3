// The frames of the data pipes: the cutter that finds them in a byte stream, their text, and
// the one watcher of /dev/qvdat1.
#include "watch.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "channel.h"
#include "rootpath.h"

constexpr unsigned char FRAME_FLAGS = FRAME_MARK | FRAME_RIGHT | FRAME_TOUCH;

static bool frame_head(unsigned char b)
{
    return (b & FRAME_MARK) && (b & ~FRAME_FLAGS) == 0;
}

// Anything else where a frame should start (flush writes 4-byte integers) is skipped.
// The high bytes of x and y (bytes 1 and 3) never carry the mark: no screen reaches 32768.
static bool frame_broken(size_t at, unsigned char b)
{
    return (at == 1 || at == 3) && (b & FRAME_MARK);
}

// A head is only trusted in its place: one that turns out to be a coordinate byte (a byte lost
// before it) is dropped, and the cut starts again at the next head among the bytes after it, so
// no touch is ever made of coordinate bytes.
bool FrameFeed(FrameCutter *fc, unsigned char b)
{
    if (fc->have == 0 && !frame_head(b))
        return false;
    if (frame_broken(fc->have, b)) {
        std::array<unsigned char, FRAME_LEN> held = fc->frame;
        size_t n = fc->have;
        fc->have = 0;
        for (size_t i = 1; i < n; i++)
            FrameFeed(fc, held[i]);  // fewer than five bytes: completes nothing
        FrameFeed(fc, b);
        return false;
    }
    fc->frame[fc->have++] = b;
    if (fc->have < FRAME_LEN)
        return false;
    fc->have = 0;
    return true;
}

void FrameText(const unsigned char *f, char *out, size_t size)
{
    snprintf(out, size, "%s%s x=%d y=%d", (f[0] & FRAME_TOUCH) ? "touch" : "release",
             (f[0] & FRAME_RIGHT) ? " right" : "", f[1] * 256 + f[2], f[3] * 256 + f[4]);
}

// Decodes one read's bytes; false when standard output failed.
static bool watch_bytes(Session *s, FrameCutter *fc, const unsigned char *p, size_t n, bool *ok)
{
    for (size_t i = 0; i < n && (s->want == 0 || s->shown < s->want); ++i) {
        if (!FrameFeed(fc, p[i]))
            continue;
        char line[64];
        FrameText(fc->frame.data(), line, sizeof line);
        puts(line);
        s->shown++;
        if (OutputFailed(ok))
            return false;
    }
    return true;
}

bool WatchLoop(Session *s, int fd)
{
    FrameCutter fc;
    bool ok = true;
    std::array<unsigned char, IO_CHUNK> buf;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = SessionWait(s, {&p, 1}, "frames");
        if (r <= 0)
            return ok && r == 0;
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n == 0) {
            Complain(EXIT_FAIL, "quilmod ended");
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            Complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
            return false;
        }
        if (!watch_bytes(s, &fc, buf.data(), static_cast<size_t>(n), &ok))
            return ok;
    }
}

// The process holding a flock on fd's file, from the kernel's lock table (/proc/locks, reached
// from /proc/self); 0 when it cannot be told. Lines: "1: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE ...".
static pid_t flock_holder(int fd)
{
    struct stat st;
    char path[64];
    if (fstat(fd, &st) != 0 || ProcPath(path, sizeof path, 0, "../locks") != 0)
        return 0;
    FILE *fp = fopen(path, "re");
    if (!fp)
        return 0;
    char line[256];
    pid_t holder = 0;
    while (holder == 0 && fgets(line, sizeof line, fp)) {
        char type[16];
        int pid;
        unsigned maj, min;
        unsigned long ino;
        if (sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", type, &pid, &maj, &min, &ino) == 5 &&
            strcmp(type, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
            holder = pid;
    }
    fclose(fp);
    return holder;
}

// Two watchers would split the frames between them: the first one holds the pipe alone.
static bool lock_watch_pipe(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno != EWOULDBLOCK) {
        Complain(EXIT_FAIL, "cannot lock %s: %s", WATCH_PIPE, strerror(errno));
        return false;
    }
    pid_t holder = flock_holder(fd);
    if (holder > 0)
        Complain(EXIT_FAIL, "%s is watched already by process %d; one watcher at a time", WATCH_PIPE,
                 static_cast<int>(holder));
    else
        Complain(EXIT_FAIL, "%s is watched already by another process; one watcher at a time", WATCH_PIPE);
    return false;
}

// A pipe nobody writes would wait for ever: the command FIFO tells first whether anyone runs.
int OpenWatchPipe()
{
    int probe = OpenFifo(CMD_IN, O_WRONLY);
    if (probe < 0)
        return -1;
    close(probe);
    int fd = OpenFifo(WATCH_PIPE, O_RDONLY);
    if (fd < 0)
        return -1;
    if (!lock_watch_pipe(fd)) {  // before draining: the other watcher's frames stay its own
        close(fd);
        return -1;
    }
    if (!DrainFifo(fd)) {  // frames of touches long past
        close(fd);
        Complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
        return -1;
    }
    return fd;
}
