// quilmocal's calibration files: the flag file and the data files of a port, each written
// through a scratch file in its own directory and renamed over the old one, so the daemon never
// reads half a file; the file replaced stays beside it as FILE.prev for --restore.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cal.h"
#include "calformat.h"

/*
 * Under /usr/local/Qelvanto/, each name ending in the port name (the device without "/dev/"):
 *   pt4flag_NAME  "4" or "25", no line end
 *   pt4_NAME      ULx#ULy#URx#URy#LLx#LLy#LRx#LRy#width#height#     at most 50 characters
 *   pt25_NAME     x1#y1#...#x25#y25#width#height#                    at most 260 characters
 * The daemon rewrites a longer line with its defaults, so such a line is never written.
 */

constexpr const char *STEMS[] = {PT4_STEM, PT25_STEM, FLAG_STEM};
enum FileKind { PT4, PT25, FLAG, KINDS };  // data files first: the flag is replaced last
constexpr size_t TEXT_MAX = 512;
constexpr mode_t FILE_MODE = 0644;
constexpr char PREV_SUFFIX[] = ".prev";

namespace {

struct CalFile {
    char rel[QLM_PATH];      // as the daemon names it, for messages
    char full[QLM_PATH];     // beneath the sandbox root
    char prev[QLM_PATH];
    char scratch[QLM_PATH];  // the new content, until renamed into place
    char text[TEXT_MAX];
    size_t len = 0;
    bool write = false;      // this run replaces the file
    bool replaced = false;
    bool existed = false;
};

}  // namespace

bool FormatFields(const int *v, size_t n, char *out, size_t size, size_t max)
{
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) {
        int w = snprintf(out + len, size - len, "%d#", v[i]);
        if (w < 0 || static_cast<size_t>(w) >= size - len)
            return false;
        len += static_cast<size_t>(w);
    }
    return len <= max;
}

// The three paths of one kind; false after a message when they do not fit.
static bool name_file(CalFile *f, FileKind kind, const char *device)
{
    int n = snprintf(f->rel, sizeof f->rel, "%s%s", CalStemName(STEMS[kind]).data(), device + DEV_PREFIX);
    if (n < 0 || static_cast<size_t>(n) >= sizeof f->rel || !ClientRootPath(f->full, f->rel))
        return false;
    n = snprintf(f->prev, sizeof f->prev, "%s%s", f->full, PREV_SUFFIX);
    if (n >= 0 && static_cast<size_t>(n) < sizeof f->prev)
        return true;
    Complain(EXIT_FAIL, "path of %s too long", f->rel);
    return false;
}

// Only a regular file (or none) is replaced: a link or a device in its place is left alone.
static bool check_place(CalFile *f)
{
    struct stat st;
    if (lstat(f->full, &st) != 0) {
        if (errno == ENOENT)
            return true;
        Complain(EXIT_FAIL, "cannot look at %s: %s", f->rel, strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        Complain(EXIT_FAIL, "%s is not a regular file: nothing written", f->rel);
        return false;
    }
    f->existed = true;
    return true;
}

static bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The new content in a scratch file beside the real one, on disk before any rename.
static bool stage(CalFile *f)
{
    const char *slash = strrchr(f->full, '/');
    int dir = static_cast<int>(slash - f->full);
    snprintf(f->scratch, sizeof f->scratch, "%.*s/.quilmocal.XXXXXX", dir, f->full);
    int fd = mkstemp(f->scratch);
    if (fd < 0) {
        f->scratch[0] = '\0';
        Complain(EXIT_FAIL, "cannot write beside %s: %s", f->rel, strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, FILE_MODE) == 0 && write_all(fd, f->text, f->len) && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok)
        Complain(EXIT_FAIL, "cannot write beside %s: %s", f->rel, strerror(err));
    return ok;
}

// The old file becomes FILE.prev (an empty one when there was none), the scratch file FILE.
static bool replace(CalFile *f)
{
    if (unlink(f->prev) != 0 && errno != ENOENT)
        return false;
    if (f->existed) {
        if (link(f->full, f->prev) != 0)
            return false;
    } else {
        int fd = open(f->prev, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FILE_MODE);
        if (fd < 0)
            return false;
        close(fd);
    }
    if (rename(f->scratch, f->full) != 0)
        return false;
    f->replaced = true;
    return true;
}

// Puts back what this run replaced: the old file from FILE.prev, or no file.
static void roll_back(CalFile *f)
{
    if (!f->replaced)
        return;
    if (f->existed)
        rename(f->prev, f->full);
    else
        unlink(f->full), unlink(f->prev);
}

// The daemon would take a longer line as malformed and put its defaults in its place.
static bool too_long(const CalFile &f, size_t max)
{
    Complain(EXIT_FAIL, "raw values too large for %s (over %zu characters): nothing written", f.rel, max);
    return false;
}

static bool fill_texts(const Calibration &c, CalFile *files)
{
    const Mapping m = CornerMapping(c);
    const int pt4[] = {m.uiULX, m.uiULY, m.uiURX, m.uiURY, m.uiLLX, m.uiLLY, m.uiLRX, m.uiLRY, c.width, c.height};
    if (!FormatFields(pt4, std::size(pt4), files[PT4].text, TEXT_MAX, PT4_MAX_LINE))
        return too_long(files[PT4], PT4_MAX_LINE);
    files[PT4].write = true;
    if (c.points == 25) {
        int pt25[2 * MAX_TARGETS + 2];
        for (int k = 0; k < MAX_TARGETS; ++k)
            pt25[2 * k] = c.raw[k].x, pt25[2 * k + 1] = c.raw[k].y;
        pt25[2 * MAX_TARGETS] = c.width;
        pt25[2 * MAX_TARGETS + 1] = c.height;
        if (!FormatFields(pt25, std::size(pt25), files[PT25].text, TEXT_MAX, PT25_MAX_LINE))
            return too_long(files[PT25], PT25_MAX_LINE);
        files[PT25].write = true;
    }
    snprintf(files[FLAG].text, TEXT_MAX, "%d", c.points);
    files[FLAG].write = true;
    for (int k = 0; k < KINDS; ++k)
        files[k].len = strlen(files[k].text);
    return true;
}

static void drop_scratch(CalFile *files)
{
    for (int k = 0; k < KINDS; ++k)
        if (files[k].scratch[0] && !files[k].replaced)
            unlink(files[k].scratch);
}

bool WriteCalibration(const Calibration &c, const char *device)
{
    CalFile files[KINDS];
    for (int k = 0; k < KINDS; ++k)
        if (!name_file(&files[k], static_cast<FileKind>(k), device))
            return false;
    if (!fill_texts(c, files))
        return false;
    bool ok = true;
    for (int k = 0; k < KINDS && ok; ++k)
        ok = !files[k].write || (check_place(&files[k]) && stage(&files[k]));
    for (int k = 0; k < KINDS && ok; ++k)
        if (files[k].write && !replace(&files[k])) {
            Complain(EXIT_FAIL, "cannot replace %s: %s; the old files are back", files[k].rel, strerror(errno));
            ok = false;
        }
    if (!ok)
        for (CalFile &f : files)
            roll_back(&f);
    drop_scratch(files);
    if (!ok)
        return false;
    for (CalFile &f : files)
        if (f.write)
            printf("wrote %s\n", f.rel);
        else
            unlink(f.prev);  // an older .prev would not be this run's to restore
    return true;
}

int RestoreCalibration(const char *device)
{
    int restored = 0;
    for (int k = 0; k < KINDS; ++k) {
        CalFile f;
        struct stat st;
        if (!name_file(&f, static_cast<FileKind>(k), device))
            return EXIT_FAIL;
        if (lstat(f.prev, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        bool ok = st.st_size > 0 ? rename(f.prev, f.full) == 0
                                 : (unlink(f.full) == 0 || errno == ENOENT) && unlink(f.prev) == 0;
        if (!ok)
            return Complain(EXIT_FAIL, "cannot restore %s: %s", f.rel, strerror(errno));
        printf(st.st_size > 0 ? "restored %s\n" : "removed %s\n", f.rel);
        restored++;
    }
    if (restored == 0)
        return Complain(EXIT_FAIL, "no earlier calibration of %s to restore", device);
    return EXIT_OK;
}
