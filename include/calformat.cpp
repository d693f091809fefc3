// The calibration files' names and fields, and the quiet reading of a port's files for status tools.
#include "calformat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "safefile.h"
#include "text.h"

// Target positions on a 1024 × 768 screen: 51.2 + 230.4·c and 38.4 + 172.8·r, truncated.
constexpr int GRID_X[5] = {51, 281, 512, 742, 972};
constexpr int GRID_Y[5] = {38, 211, 384, 556, 729};
constexpr int GRID_LAST = 4;

// Defaults in file order: the UL, UR, LL and LR corners of the grid, then the size.
constexpr std::array<int, PT4_FIELDS> PT4_DEFAULTS = {
    GRID_X[0],         GRID_Y[0],          // upper left
    GRID_X[GRID_LAST], GRID_Y[0],          // upper right
    GRID_X[0],         GRID_Y[GRID_LAST],  // lower left
    GRID_X[GRID_LAST], GRID_Y[GRID_LAST],  // lower right
    DEFAULT_WIDTH,     DEFAULT_HEIGHT,
};

// Defaults in file order: the grid row by row, left to right, then the size.
static constexpr std::array<int, PT25_FIELDS> pt25_defaults()
{
    std::array<int, PT25_FIELDS> v{};
    for (int k = 0; k < 25; k++) {
        v[2 * k] = GRID_X[k % 5];
        v[2 * k + 1] = GRID_Y[k / 5];
    }
    v[50] = DEFAULT_WIDTH;
    v[51] = DEFAULT_HEIGHT;
    return v;
}
constexpr std::array<int, PT25_FIELDS> PT25_DEFAULTS = pt25_defaults();

const char *CalPortName(const TouchPanel *p)
{
    if (!p->device || strlen(p->device) <= DEV_PREFIX)
        return "";
    return p->device + DEV_PREFIX;
}

void CalFilePath(CalPath &out, const char *stem, const TouchPanel *p)
{
    CalPath rel;
    int n = snprintf(rel.data(), rel.size(), "%s%s", stem, CalPortName(p));
    if (n < 0 || (size_t)n >= rel.size() || RootPath(out.data(), out.size(), rel.data()))
        out[0] = '\0';
}

CalPath CalStemName(const char *stem)
{
    CalPath out;
    LayoutPath(out.data(), out.size(), stem);
    return out;
}

long ReadFirstLine(int fd, char *buf, size_t size)
{
    long n = ReadUpTo(fd, buf, size - 1);
    if (n < 0)
        return -1;
    buf[n] = '\0';
    if (char *end = static_cast<char *>(memchr(buf, '\n', (size_t)n)))
        end[1] = '\0';
    return (long)strlen(buf);
}

// Every field ends in its "#", which stops the conversion: nothing is copied.
int ParseCalFields(const char *line, size_t len, int *values, int count)
{
    int seps = 0;
    size_t start = 0;
    for (size_t i = 0; i < len; i++) {
        if (line[i] != FIELD_SEP)
            continue;
        if (seps < count)
            values[seps] = AtoiSat(line + start);
        seps++;
        start = i + 1;
    }
    return seps;
}

// The first line of a calibration file, read quietly; -1 when it is missing or unreadable.
static long quiet_first_line(const char *stem, const TouchPanel *p, char *buf, size_t size)
{
    CalPath path;
    CalFilePath(path, stem, p);
    int fd = OpenRegular(path.data());
    if (fd < 0)
        return -1;
    long len = ReadFirstLine(fd, buf, size);
    close(fd);
    return len;
}

void ReadCalState(const char *device, CalState *out)
{
    TouchPanel p = {};
    p.device = const_cast<char *>(device);  // only its name is read
    *out = {MODE_4, 0, 0, 1, DEFAULT_WIDTH, DEFAULT_HEIGHT};
    std::array<char, PT25_READ> line;
    if (quiet_first_line(FLAG_STEM, &p, line.data(), 3) > 0 && AtoiSat(line.data()) == MODE_25)
        out->mode = MODE_25;  // two bytes and a terminator, as the flag is read
    bool grid = out->mode == MODE_25;
    long len = quiet_first_line(grid ? PT25_STEM : PT4_STEM, &p, line.data(), grid ? PT25_READ : PT4_READ);
    if (len < 0)
        return;
    out->present = 1;
    int count = grid ? PT25_FIELDS : PT4_FIELDS;
    size_t maxLine = grid ? PT25_MAX_LINE : PT4_MAX_LINE;
    std::array<int, PT25_FIELDS> v{};
    out->valid = len > 0 && (size_t)len <= maxLine && ParseCalFields(line.data(), (size_t)len, v.data(), count) == count;
    if (!out->valid)
        return;
    const int *defaults = grid ? PT25_DEFAULTS.data() : PT4_DEFAULTS.data();
    out->isDefault = std::equal(v.begin(), v.begin() + count, defaults);
    out->width = v[static_cast<size_t>(count - 2)];
    out->height = v[static_cast<size_t>(count - 1)];
}
