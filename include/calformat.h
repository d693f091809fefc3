// The calibration files of a port as the daemon and the tools read them: names, fields, line
// limits and defaults, and a quiet reading of what a port's files hold.
#pragma once
#include <array>
#include <cstddef>

#include "quilmo.h"
#include "rootpath.h"

/*
 * Files under /usr/local/Qelvanto/, each ending in the port name (device without "/dev/"):
 *   pt4flag_NAME  "4" or "25": the mode (only two bytes are read)
 *   pt4_NAME      ULx#ULy#URx#URy#LLx#LLy#LRx#LRy#width#height#          10 separators
 *   pt25_NAME     x1#y1#x2#y2#...#x25#y25#width#height#                   52 separators
 * One line; fields are decimal integers, anything after the last "#" is ignored.
 */

constexpr char FLAG_STEM[] = "/usr/local/Qelvanto/pt4flag_";
constexpr char PT4_STEM[] = "/usr/local/Qelvanto/pt4_";
constexpr char PT25_STEM[] = "/usr/local/Qelvanto/pt25_";
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

using CalPath = std::array<char, QLM_PATH>;

// The port name (the device without "/dev/"); a path too short to hold one gives the empty name.
const char *CalPortName(const TouchPanel *p);
// The file of stem for the port, beneath the sandbox root. A name that does not fit leaves the
// path empty, so every open fails.
void CalFilePath(CalPath &out, const char *stem, const TouchPanel *p);
// The stem where the build's layout places it, without the sandbox root: for messages.
CalPath CalStemName(const char *stem);
// The first line as a C string: a zero byte ends it, and so does a line end (kept), after
// at most size - 1 bytes. The length, or -1 on a read error.
long ReadFirstLine(int fd, char *buf, size_t size);
// Field k (below count) of the line into values[k]; returns the number of separators.
int ParseCalFields(const char *line, size_t len, int *values, int count);

// The defaults in file order: the four-point corners UL, UR, LL, LR of the grid, and the
// twenty-five-point grid row by row, each followed by the screen size.
extern const std::array<int, PT4_FIELDS> PT4_DEFAULTS;
extern const std::array<int, PT25_FIELDS> PT25_DEFAULTS;

// What a port's calibration files hold, read without writing or printing: for status tools.
struct CalState {
    int mode;           // 25 or 4, as the flag file selects (4 when it is missing)
    int present;        // the mode's data file exists
    int valid;          // ... and the daemon would load it (else it uses the defaults)
    int isDefault;      // the values the daemon uses are the defaults
    int width, height;  // the screen size it uses in that mode
};
void ReadCalState(const char *device, CalState *out);
