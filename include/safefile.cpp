// Files in directories that others may have touched: reading only regular files, never through
// a link and never blocking, and replacing a file whole through a scratch file beside it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safefile.h"

static int open_plain(const char *path, int flags)
{
    return open(path, flags);
}
int (*RegularOpen)(const char *path, int flags) = open_plain;

int OpenRegular(const char *path)
{
    // O_NONBLOCK: a FIFO planted at the path must not hold the daemon in open().
    int fd = RegularOpen(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -2;
    }
    return fd;
}

long ReadUpTo(int fd, char *buf, size_t size)
{
    size_t n = 0;
    while (n < size) {
        ssize_t r = read(fd, buf + n, size - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        n += (size_t)r;
    }
    return (long)n;
}

// Writes all of text and gives the file its mode; 0 = done.
static int fill_scratch(int fd, std::string_view text, int mode)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 1;
        done += (size_t)n;
    }
    // mkostemp makes it 0600; fchmod gives the exact mode whatever the umask.
    return fchmod(fd, (mode_t)mode) != 0 || fsync(fd) != 0;
}

int ReplaceFile(const char *path, char *scratch, std::string_view text, int mode)
{
    int fd = mkostemp(scratch, O_CLOEXEC);
    if (fd < 0)
        return 1;
    int failed = fill_scratch(fd, text, mode);
    failed |= close(fd) != 0;
    // rename replaces the name itself: a link planted there is replaced, never written through,
    // and a reader sees the old file or the new one, never half of one.
    if (failed || rename(scratch, path) != 0) {
        unlink(scratch);
        return 2;
    }
    return 0;
}
