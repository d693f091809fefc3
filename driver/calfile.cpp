// Calibration mode and data files: per-port flag, four-point and twenty-five-point files, loaded
// into the panel record or written with the defaults (their format: calformat.h).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <string_view>

#include "quilmod.h"

constexpr char SCRATCH_SUFFIX[] = ".XXXXXX";  // a new file is written beside the one it replaces
constexpr int CAL_FILE_MODE = 0644;

enum CalRead {
    CAL_READ,      // the first line is in the buffer
    CAL_MISSING,   // no such file: defaults may be written
    CAL_UNUSABLE,  // there but not readable now (a link, a FIFO, EMFILE, EIO): leave it alone
};

static void say_unusable(const char *stem, const TouchPanel *p, int err)
{
    printf("cannot read %s%s: %s; default data used, the file is left alone\n", stem, CalPortName(p),
           err ? strerror(err) : "not a regular file");
}

// The plain line beside a fixed message: the file as the messages name it, and the reason.
static void say_why(const char *stem, const TouchPanel *p, int err)
{
    char name[QLM_PATH];
    snprintf(name, sizeof name, "%s%s", CalStemName(stem).data(), CalPortName(p));
    SayWhy(name, err);
}

// Builds the path into out and reads the file's first line into buf (*len its length).
static CalRead read_cal(CalPath &out, const char *stem, const TouchPanel *p, char *buf, size_t size,
                        long *len)
{
    CalFilePath(out, stem, p);
    int fd = OpenRegular(out.data());
    if (fd == -1 && errno == ENOENT)
        return CAL_MISSING;
    if (fd < 0) {
        say_unusable(stem, p, fd == -1 ? errno : 0);
        return CAL_UNUSABLE;
    }
    *len = ReadFirstLine(fd, buf, size);
    int err = errno;
    close(fd);
    if (*len < 0) {
        say_unusable(stem, p, err);
        return CAL_UNUSABLE;
    }
    return CAL_READ;
}

static void store_corners(TouchPanel *p, const int *v)
{
    Mapping &m = p->mapping;
    m.uiULX = v[0];
    m.uiULY = v[1];
    m.uiURX = v[2];
    m.uiURY = v[3];
    m.uiLLX = v[4];
    m.uiLLY = v[5];
    m.uiLRX = v[6];
    m.uiLRY = v[7];
}

// Point k of the file goes to row k / 5, column k % 5; x into plane 0, y into plane 1.
static void store_grid(int (*plane)[5][5], const int *v)
{
    for (int k = 0; k < 25; k++) {
        plane[0][k / 5][k % 5] = v[2 * k];
        plane[1][k / 5][k % 5] = v[2 * k + 1];
    }
}

// 0 = written, 1 = could not be created (or written). The file is replaced whole and
// comes out 0644 whatever the umask; a link at the path is replaced, never followed.
static int write_file(const char *path, std::string_view text)
{
    std::array<char, QLM_PATH + sizeof SCRATCH_SUFFIX> scratch;
    int n = snprintf(scratch.data(), scratch.size(), "%s%s", path, SCRATCH_SUFFIX);
    if (!*path || n < 0 || (size_t)n >= scratch.size())
        return 1;
    return ReplaceFile(path, scratch.data(), text, CAL_FILE_MODE) != 0;
}

// The fields as "v#v#...#", written without a line end or terminator.
template <size_t N>
static int write_fields(const char *path, const std::array<int, N> &values)
{
    std::array<char, PT25_READ> text;
    size_t len = 0;
    for (int v : values) {
        int n = snprintf(text.data() + len, text.size() - len, "%d%c", v, FIELD_SEP);
        if (n < 0 || (size_t)n >= text.size() - len)
            return 1;
        len += (size_t)n;
    }
    return write_file(path, {text.data(), len});
}

int SET_PANEL_MAPPING(TouchPanel *p)
{
    Get_4pcal_25pcal_mode(p);
    read4ptdata(p);
    read25ptdata(p);
    return 1;
}

// 0 = flag file read, 1 = it could not be opened (four-point mode).
int Get_4pcal_25pcal_mode(TouchPanel *p)
{
    puts("Get_4pcal_25pcal_mode function");
    CalPath path;
    char flag[3];  // two bytes and a terminator
    long len = 0;
    CalRead got = read_cal(path, FLAG_STEM, p, flag, sizeof flag, &len);
    if (got != CAL_READ) {
        puts("failed to open");
        if (got == CAL_MISSING)  // an unusable one was said already, with its reason
            say_why(FLAG_STEM, p, ENOENT);
        p->_25Mode = MODE_4;
        return 1;
    }
    if (len == 0)
        puts("read error");
    int value = AtoiSat(flag);
    printf("the pcalflag is %d\n", value);
    p->_25Mode = value == MODE_25 ? MODE_25 : MODE_4;
    printf("Get_4pcal_25pcal_mode  %d\n", p->_25Mode);
    return 0;
}

// 1 = the line was loaded into the panel. 0 = rejected; size[] then holds the
// width and height to keep (a line with the wrong count keeps what it parsed).
static int load_pt4(const char *line, size_t len, TouchPanel *p, int *size)
{
    if (len == 0 || len > PT4_MAX_LINE) {
        puts("the programe will create default file and use default data-length<0");
        return 0;
    }
    int v[PT4_FIELDS] = {0, 0, 0, 0, 0, 0, 0, 0, DEFAULT_WIDTH, DEFAULT_HEIGHT};
    if (ParseCalFields(line, len, v, PT4_FIELDS) != PT4_FIELDS) {
        puts("this file data is not ok ,it will create it again and use default-testflagerror");
        size[0] = v[8];
        size[1] = v[9];
        return 0;
    }
    store_corners(p, v);
    p->screen_width_4 = v[8];
    p->screen_high_4 = v[9];
    return 1;
}

static void use_pt4_defaults(TouchPanel *p, const int *size)
{
    store_corners(p, PT4_DEFAULTS.data());
    p->screen_width_4 = size[0];
    p->screen_high_4 = size[1];
}

int read4ptdata(TouchPanel *p)
{
    CalPath path;
    int size[2] = {DEFAULT_WIDTH, DEFAULT_HEIGHT};
    std::array<char, PT4_READ> line;
    long len = 0;
    switch (read_cal(path, PT4_STEM, p, line.data(), line.size(), &len)) {
    case CAL_READ:
        if (load_pt4(line.data(), (size_t)len, p, size))
            return 0;
        break;
    case CAL_MISSING:
        printf("failed to open %s%s\n", CalStemName(PT4_STEM).data(), CalPortName(p));  // messages name the real path
        puts("the programe will create default file and use default data");
        break;
    case CAL_UNUSABLE:
        use_pt4_defaults(p, size);
        return 0;
    }
    use_pt4_defaults(p, size);
    SavePt4defaulttoFile(p);
    return 0;
}

// 1 = the line was loaded into the panel, 0 = rejected.
static int load_pt25(const char *line, size_t len, TouchPanel *p)
{
    printf("read25ptdata  the length is %d\n", (int)len);
    if (len == 0 || len > PT25_MAX_LINE) {
        puts("the programe will create default file and use default data-length<0");
        return 0;
    }
    int v[PT25_FIELDS] = {};
    v[50] = DEFAULT_WIDTH;
    v[51] = DEFAULT_HEIGHT;
    if (ParseCalFields(line, len, v, PT25_FIELDS) != PT25_FIELDS) {
        puts("this file data is not ok ,it will create it again and use default-testflag      error ");
        return 0;
    }
    store_grid(p->coef.delta, v);
    p->screen_width_25 = v[50];
    p->screen_high_25 = v[51];
    return 1;
}

static void use_pt25_defaults(TouchPanel *p)
{
    store_grid(p->coef.delta, PT25_DEFAULTS.data());
    store_grid(p->coef.delta_S, PT25_DEFAULTS.data());
    p->screen_width_25 = DEFAULT_WIDTH;
    p->screen_high_25 = DEFAULT_HEIGHT;
}

int read25ptdata(TouchPanel *p)
{
    puts("read25ptdata function");
    CalPath path;
    std::array<char, PT25_READ> line;
    long len = 0;
    switch (read_cal(path, PT25_STEM, p, line.data(), line.size(), &len)) {
    case CAL_READ:
        if (load_pt25(line.data(), (size_t)len, p))
            return 0;
        break;
    case CAL_MISSING:
        puts("the programe will create default file and use default data-open file error");
        say_why(PT25_STEM, p, ENOENT);
        break;
    case CAL_UNUSABLE:
        use_pt25_defaults(p);
        return 0;
    }
    use_pt25_defaults(p);
    SavePt25defaulttoFile(p);
    return 0;
}

// 0 = data file written, 1 = the flag or the data file could not be created.
int SavePt4defaulttoFile(TouchPanel *p)
{
    CalPath flag, path;
    CalFilePath(flag, FLAG_STEM, p);
    CalFilePath(path, PT4_STEM, p);
    if (write_file(flag.data(), "4")) {
        int err = errno;
        puts("failed to open file can not create");
        say_why(FLAG_STEM, p, err);
        return 1;
    }
    if (write_fields(path.data(), PT4_DEFAULTS)) {
        int err = errno;
        printf("failed to open can not create file %s%s\n", CalStemName(PT4_STEM).data(), CalPortName(p));
        say_why(PT4_STEM, p, err);
        return 1;
    }
    return 0;
}

// 0 = data file written, 1 = it could not be created. A missing flag file gets "4"; one
// that is there (or cannot be looked at now) keeps its mode.
int SavePt25defaulttoFile(TouchPanel *p)
{
    CalPath flag, path;
    CalFilePath(flag, FLAG_STEM, p);
    CalFilePath(path, PT25_STEM, p);
    struct stat st;
    if (lstat(flag.data(), &st) != 0 && errno == ENOENT) {
        puts("the flag file is not exist ");
        write_file(flag.data(), "4");
    }
    if (write_fields(path.data(), PT25_DEFAULTS)) {
        int err = errno;
        printf("failed to open can not create file %s%s\n", CalStemName(PT25_STEM).data(), CalPortName(p));
        say_why(PT25_STEM, p, err);
        return 1;
    }
    return 0;
}

