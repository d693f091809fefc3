// quilmocal's records and the functions its units share: the targets and their consistency
// rules, sampling touches from the shared port, the target screen, the calibration files and
// the check of the daemon's corrected frames.
#pragma once
#include <array>
#include <cstddef>

#include "client.h"
#include "quilmo.h"

constexpr int MAX_TARGETS = 25;
constexpr int CHECK_TARGETS = 5;
constexpr int GRID_SIDE = 5;
constexpr int MIN_SCREEN = 16;     // a side shorter than this has no room for 5 % insets
constexpr int MAX_SCREEN = 9999;   // four digits keep the files within the daemon's line limits

struct Point {
    int x, y;
};

// One calibration run: its targets on the screen and the raw positions measured at them.
struct Calibration {
    int points = 4;                     // 4 or 25
    int width = 0, height = 0;          // the screen size written into the files
    std::array<Point, MAX_TARGETS> target{};
    std::array<int, MAX_TARGETS> gridIndex{};  // target k is grid point gridIndex[k] (0..24)
    std::array<Point, MAX_TARGETS> raw{};
    int taken = 0;                      // targets measured so far, in order
};

// ---- targets.cpp: where the targets are, and what the measured positions must satisfy ----

// The targets of a run: the four-point correction's four corners, or the 5 x 5 grid row by row.
void PlanTargets(Calibration *c, int points, int width, int height);
// The check targets: the centre, then a quarter and three quarters of width and height.
std::array<Point, CHECK_TARGETS> CheckTargets(int width, int height);
// true when raw, measured for target c.taken, agrees with the targets so far; else why.
bool FitsSoFar(const Calibration &c, Point raw, char *why, size_t size);
// true when the measured set can be written; else which targets disagree.
bool CalibrationSound(const Calibration &c, char *why, size_t size);
// The four-point corners of a run (for 25 points moved from the grid's corner targets to the
// four-point correction's own).
Mapping CornerMapping(const Calibration &c);
// A panel record holding the run as the daemon would load it from the files.
void FillPanel(const Calibration &c, TouchPanel *p);

// ---- sample.cpp: touches from the shared raw stream ----

// Median of the positions after the first few (settling), and their spread about it.
struct Settled {
    Point median;
    int kept;     // positions the median is taken over
    int spread;   // the largest distance of a kept position from the median, per axis
};
constexpr int SETTLE = 3;  // first positions of a touch, left out while the finger settles
constexpr int MAX_SAMPLES = 2048;
Settled SettleSamples(const Point *samples, int n);

// 1 = fd readable, 0 = the run ends (signal, time-out, cancel on the screen), -1 = failed.
// *timedOut tells a time-out from the rest.
int WaitReadable(Session *s, int fd, bool *timedOut);

struct TouchResult {
    Settled settled;
    int count;   // positions while the finger was down
};
// Samples one touch on the shared port: 1 = got one, 0 = ended (see WaitReadable), -1 = failed.
int SampleTouch(Session *s, Share *sh, long timeoutS, TouchResult *out, bool *timedOut);
// The same for the daemon's corrected frames on the watch pipe.
int SampleFrames(Session *s, int fd, long timeoutS, TouchResult *out, bool *timedOut);

// ---- screen.cpp: the target screen on the X display ----

// Opens a full-screen window that takes pointer and keyboard; false when the display cannot
// be reached (a reason in why). The root window's size in *width, *height.
bool ScreenOpen(const char *display, int *width, int *height, char *why, size_t size);
// Draws the current target with the earlier ones dimmed, a progress line and instructions.
void ScreenShow(const Point *done, int ndone, Point current, const char *progress, const char *help);
int ScreenFd();        // the connection's descriptor, -1 without a screen
bool ScreenCancelled();  // handles what the server sent; true once Escape or q was pressed
void ScreenClose();
// Called when the connection to the display breaks (Xlib ends the process afterwards).
extern void (*onScreenLost)();

// ---- calfiles.cpp: the calibration files, written so the daemon never reads half a file ----

// false (after a message) when a file could not be written; the old files are then intact.
bool WriteCalibration(const Calibration &c, const char *device);
// Puts the .prev files back; EXIT_OK, or EXIT_FAIL after a message.
int RestoreCalibration(const char *device);
// The "v#v#...#" line of n fields; false when it is longer than max characters.
bool FormatFields(const int *v, size_t n, char *out, size_t size, size_t max);
