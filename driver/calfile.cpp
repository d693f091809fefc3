// Calibration mode and data files: per-port flag, four-point and twenty-five-point files.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "quilmod.h"

/*
 * Files under /usr/local/Qelvanto/, each ending in the port name (device without "/dev/"):
 *   pt4flag_NAME  "4" or "25": the mode (only two bytes are read)
 *   pt4_NAME      ULx#ULy#URx#URy#LLx#LLy#LRx#LRy#width#height#          10 separators
 *   pt25_NAME     x1#y1#x2#y2#...#x25#y25#width#height#                   52 separators
 * One line; fields are decimal integers, anything after the last "#" is ignored.
 */

constexpr const char *FLAG_STEM = "/usr/local/Qelvanto/pt4flag_";
constexpr const char *PT4_STEM = "/usr/local/Qelvanto/pt4_";
constexpr const char *PT25_STEM = "/usr/local/Qelvanto/pt25_";
constexpr size_t DEV_PREFIX = 5;  // "/dev/"

constexpr int MODE_25 = 25;
constexpr int MODE_4 = 4;
constexpr char FIELD_SEP = '#';

constexpr int PT4_FIELDS = 10;        // eight corner values, width, height
constexpr size_t PT4_READ = 100;      // line buffer: at most 99 characters
constexpr size_t PT4_MAX_LINE = 50;
constexpr int PT25_FIELDS = 52;       // 25 points, width, height
constexpr size_t PT25_READ = 500;     // line buffer: at most 499 characters
constexpr size_t PT25_MAX_LINE = 260;

constexpr int DEFAULT_WIDTH = 1024;
constexpr int DEFAULT_HEIGHT = 768;
// Target positions on a 1024 × 768 screen: 51.2 + 230.4·c and 38.4 + 172.8·r, truncated.
constexpr int GRID_X[5] = {51, 281, 512, 742, 972};
constexpr int GRID_Y[5] = {38, 211, 384, 556, 729};
constexpr int GRID_LAST = 4;

using CalPath = std::array<char, QLM_PATH>;

// The port name; a path too short to hold one gives the empty name.
static const char *port_name(const TouchPanel *p)
{
    if (!p->device || strlen(p->device) <= DEV_PREFIX)
        return "";
    return p->device + DEV_PREFIX;
}

// A name that does not fit leaves the path empty, so every open fails.
static void cal_path(CalPath &out, const char *stem, const TouchPanel *p)
{
    CalPath rel;
    int n = snprintf(rel.data(), rel.size(), "%s%s", stem, port_name(p));
    if (n < 0 || (size_t)n >= rel.size() || RootPath(out.data(), out.size(), rel.data()))
        out[0] = '\0';
}

// Builds the path into out and opens the file for reading.
static FILE *open_cal(CalPath &out, const char *stem, const TouchPanel *p)
{
    cal_path(out, stem, p);
    return fopen(out.data(), "r");
}

// The first line, line end included, at most size - 1 bytes of any value.
static size_t read_first_line(FILE *fp, char *buf, size_t size)
{
    size_t n = 0;
    int c;
    while (n + 1 < size && (c = getc(fp)) != EOF) {
        buf[n++] = (char)c;
        if (c == '\n')
            break;
    }
    return n;
}

// Field k (below count) of the line into values[k]; returns the number of separators.
// Every field ends in its "#", which stops the conversion: nothing is copied.
static int parse_fields(const char *line, size_t len, int *values, int count)
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

// 0 = written, 1 = could not be created (or written).
static int write_file(const char *path, std::string_view text)
{
    FILE *fp = fopen(path, "w");
    if (!fp)
        return 1;
    size_t put = fwrite(text.data(), 1, text.size(), fp);
    return (fclose(fp) != 0 || put != text.size()) ? 1 : 0;
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
    FILE *fp = open_cal(path, FLAG_STEM, p);
    if (!fp) {
        puts("failed to open");
        p->_25Mode = MODE_4;
        return 1;
    }
    char flag[3] = {};  // two bytes and a terminator
    if (fread(flag, 1, 2, fp) == 0)
        puts("read error");
    int value = AtoiSat(flag);
    printf("the pcalflag is %d\n", value);
    p->_25Mode = value == MODE_25 ? MODE_25 : MODE_4;
    printf("Get_4pcal_25pcal_mode  %d\n", p->_25Mode);
    fclose(fp);
    return 0;
}

// 1 = the line was loaded into the panel. 0 = rejected; size[] then holds the
// width and height to keep (a line with the wrong count keeps what it parsed).
static int load_pt4(FILE *fp, TouchPanel *p, int *size)
{
    std::array<char, PT4_READ> line;
    size_t len = read_first_line(fp, line.data(), line.size());
    if (len == 0 || len > PT4_MAX_LINE) {
        puts("the programe will create default file and use default data-length<0");
        return 0;
    }
    int v[PT4_FIELDS] = {0, 0, 0, 0, 0, 0, 0, 0, DEFAULT_WIDTH, DEFAULT_HEIGHT};
    if (parse_fields(line.data(), len, v, PT4_FIELDS) != PT4_FIELDS) {
        printf("this file data is not ok ,it will create it again and use default-testflagerror");
        size[0] = v[8];
        size[1] = v[9];
        return 0;
    }
    store_corners(p, v);
    p->screen_width_4 = v[8];
    p->screen_high_4 = v[9];
    return 1;
}

int read4ptdata(TouchPanel *p)
{
    CalPath path;
    int size[2] = {DEFAULT_WIDTH, DEFAULT_HEIGHT};
    FILE *fp = open_cal(path, PT4_STEM, p);
    if (!fp) {
        printf("failed to open %s%s\n", PT4_STEM, port_name(p));  // messages name the real path
        puts("the programe will create default file and use default data");
    } else {
        int loaded = load_pt4(fp, p, size);
        fclose(fp);
        if (loaded)
            return 0;
    }
    store_corners(p, PT4_DEFAULTS.data());
    p->screen_width_4 = size[0];
    p->screen_high_4 = size[1];
    SavePt4defaulttoFile(p);
    return 0;
}

// 1 = the line was loaded into the panel, 0 = rejected.
static int load_pt25(FILE *fp, TouchPanel *p)
{
    std::array<char, PT25_READ> line;
    size_t len = read_first_line(fp, line.data(), line.size());
    printf("read25ptdata  the length is %d\n", (int)len);
    if (len == 0 || len > PT25_MAX_LINE) {
        puts("the programe will create default file and use default data-length<0");
        return 0;
    }
    int v[PT25_FIELDS] = {};
    v[50] = DEFAULT_WIDTH;
    v[51] = DEFAULT_HEIGHT;
    if (parse_fields(line.data(), len, v, PT25_FIELDS) != PT25_FIELDS) {
        puts("this file data is not ok ,it will create it again and use default-testflag      error ");
        return 0;
    }
    store_grid(p->coef.delta, v);
    p->screen_width_25 = v[50];
    p->screen_high_25 = v[51];
    return 1;
}

int read25ptdata(TouchPanel *p)
{
    puts("read25ptdata function");
    CalPath path;
    FILE *fp = open_cal(path, PT25_STEM, p);
    if (!fp) {
        puts("the programe will create default file and use default data-open file error");
    } else {
        int loaded = load_pt25(fp, p);
        fclose(fp);
        if (loaded)
            return 0;
    }
    store_grid(p->coef.delta, PT25_DEFAULTS.data());
    store_grid(p->coef.delta_S, PT25_DEFAULTS.data());
    p->screen_width_25 = DEFAULT_WIDTH;
    p->screen_high_25 = DEFAULT_HEIGHT;
    SavePt25defaulttoFile(p);
    return 0;
}

// 0 = data file written, 1 = the flag or the data file could not be created.
int SavePt4defaulttoFile(TouchPanel *p)
{
    CalPath flag, path;
    cal_path(flag, FLAG_STEM, p);
    cal_path(path, PT4_STEM, p);
    if (write_file(flag.data(), "4")) {
        puts("failed to open file can not create");
        return 1;
    }
    if (write_fields(path.data(), PT4_DEFAULTS)) {
        printf("failed to open can not create file %s%s\n", PT4_STEM, port_name(p));
        return 1;
    }
    return 0;
}

// 0 = data file written, 1 = it could not be created. A missing flag file gets "4".
int SavePt25defaulttoFile(TouchPanel *p)
{
    CalPath flag, path;
    FILE *fp = open_cal(flag, FLAG_STEM, p);
    cal_path(path, PT25_STEM, p);
    if (fp) {
        fclose(fp);
    } else {
        puts("the flag file is not exist ");
        write_file(flag.data(), "4");
    }
    if (write_fields(path.data(), PT25_DEFAULTS)) {
        printf("failed to open can not create file %s%s\n", PT25_STEM, port_name(p));
        return 1;
    }
    return 0;
}

// The mode's data line parsed as the loaders parse it; 1 = the daemon would load it.
static int quiet_load(FILE *fp, size_t readSize, size_t maxLine, int *values, int count)
{
    std::array<char, PT25_READ> line;
    size_t len = read_first_line(fp, line.data(), std::min(readSize, line.size()));
    return len > 0 && len <= maxLine && parse_fields(line.data(), len, values, count) == count;
}

void ReadCalState(const char *device, CalState *out)
{
    TouchPanel p = {};
    p.device = const_cast<char *>(device);  // only its name is read
    CalPath path;
    *out = {MODE_4, 0, 0, 1, DEFAULT_WIDTH, DEFAULT_HEIGHT};
    if (FILE *fp = open_cal(path, FLAG_STEM, &p)) {
        char flag[3] = {};
        if (fread(flag, 1, 2, fp) > 0 && AtoiSat(flag) == MODE_25)
            out->mode = MODE_25;
        fclose(fp);
    }
    bool grid = out->mode == MODE_25;
    std::array<int, PT25_FIELDS> v{};
    FILE *fp = open_cal(path, grid ? PT25_STEM : PT4_STEM, &p);
    if (!fp)
        return;
    out->present = 1;
    int count = grid ? PT25_FIELDS : PT4_FIELDS;
    out->valid = quiet_load(fp, grid ? PT25_READ : PT4_READ, grid ? PT25_MAX_LINE : PT4_MAX_LINE, v.data(), count);
    fclose(fp);
    if (!out->valid)
        return;
    const int *defaults = grid ? PT25_DEFAULTS.data() : PT4_DEFAULTS.data();
    out->isDefault = std::equal(v.begin(), v.begin() + count, defaults);
    out->width = v[static_cast<size_t>(count - 2)];
    out->height = v[static_cast<size_t>(count - 1)];
}
