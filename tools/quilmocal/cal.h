// quilmocal's records and the functions its units share: the options, the targets and their
// consistency rules, sampling touches from the shared port, the target screen and its feedback,
// the verdict, the calibration files, and the right-click tool kept out of the way.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client.h"
#include "quilmo.h"
#include "turn.h"

constexpr int MAX_TARGETS = 25;
constexpr int CHECK_TARGETS = 5;
constexpr int GRID_SIDE = 5;
constexpr int MIN_SCREEN = 16;     // a side shorter than this has no room for 5 % insets
constexpr int MAX_SCREEN = 9999;   // four digits keep the files within the daemon's line limits

struct Options {
    int points = 4;
    const char *display = nullptr;
    int width = 0, height = 0;  // 0: the X screen's (or the output's)
    long samples = 8;
    long timeout = 60;
    bool noReset = false, check = false, restore = false, listOutputs = false;
    const char *output = nullptr;  // a RandR monitor or output; none: the whole screen
    const char *backend = "auto";  // auto, wayland, x11 or console
    const char *device = nullptr;
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

// The targets are in the panel's own pixels (turn.h); the monitor drawn on shows them turned.
extern Turn shownTurn;  // the output drawn on (transform 0: the screen is the panel)
// The first n points as shown on the screen.
std::array<Point, MAX_TARGETS> ShownPoints(const Point *panel, int n);

// The targets of a run: the four-point correction's four corners, or the 5 x 5 grid row by row.
void PlanTargets(Calibration *c, int points, int width, int height);
// The check targets: for 4 points the centre, then a quarter and three quarters of width and
// height; for 25 points the middles of grid cells, none on a grid point.
std::array<Point, CHECK_TARGETS> CheckTargets(int points, int width, int height);
// true when raw, measured for target c.taken, agrees with the targets so far; else why.
bool FitsSoFar(const Calibration &c, Point raw, char *why, size_t size);
// Where the measured targets so far put a raw position on the screen (a least-squares affine
// estimate); false before three targets span an area.
bool ScreenOfRaw(const Calibration &c, Point raw, Point *screen);
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

// What a touch must be to count, and when holding it means "cancel".
struct HoldRule {
    long samples = 1;       // positions while the finger is down
    int spread = -1;        // the largest stray of a kept position from the median; -1 any
    long long cancelMs = 0; // a touch held this long cancels once lifted; 0 never
};
constexpr long long CANCEL_HOLD_MS = 4000;

// A touch in progress, for the screen: reported as positions arrive and once a tick.
struct HoldState {
    bool down;           // the finger is on the panel
    int count;           // positions so far
    bool steady;         // they keep within the rule's spread
    long long heldMs;    // since the touch began
    int secondsLeft;     // before the wait times out
    bool cancelling;     // held past the rule's cancelMs: the lift cancels
    Point last;          // the touch's latest position, as the stream gives it (raw or screen)
    bool hasLast;
};
extern void (*onHold)(const HoldState &);  // nullptr: nobody shows it

// 1 = fd readable, 2 = tick passed (what the screen shows changes then; 0: no tick), 0 = the run
// ends (signal, time-out, cancel on the screen), -1 = failed. *timedOut tells a time-out from
// the rest; end is the deadline.
int WaitReadable(Session *s, int fd, long long end, long long tick, bool *timedOut);
// The moment the whole seconds left before end (rounded up) drop next; end once reached.
long long NextSecond(long long now, long long end);
// The next moment a wait's screen changes by time alone: the seconds left before end, and for a
// finger down since downAt, the cancel warning at half of cancelMs, its countdown's seconds and
// the cancel itself (cancelMs 0: no cancel).
long long NextChange(long long now, long long end, bool down, long long downAt, long long cancelMs);

struct TouchResult {
    Settled settled;
    int count;   // positions while the finger was down
};
// Samples one touch on the shared port: 1 = got one, 0 = ended (see WaitReadable; a touch held
// past rule.cancelMs ends so once lifted), -1 = failed.
int SampleTouch(Session *s, Share *sh, const HoldRule &rule, long timeoutS, TouchResult *out, bool *timedOut);
// The same for the daemon's corrected frames on the watch pipe.
int SampleFrames(Session *s, int fd, const HoldRule &rule, long timeoutS, TouchResult *out, bool *timedOut);

// ---- screen.cpp: the window on the X display (the drawing layer in draw.h) ----

// The part of the X screen the window covers; the targets are in its coordinates.
struct Area {
    int x = 0, y = 0, width = 0, height = 0;
};
// Opens the display; false (a reason in why) when it cannot be reached.
bool ScreenConnect(const char *display, char *why, size_t size);
// The whole screen, or the RandR monitor or output name (the kernel's connector name finds X's
// name for it): 0 = found, 1 = no such name, 2 = the server cannot tell (no RandR 1.5); why says
// which. Sets shownTurn from the output's rotation (without a name: XScreenTransform's).
int ScreenArea(const char *output, Area *area, char *why, size_t size);
extern std::array<char, 64> xOutputName;  // X's name of the output ScreenArea found, "" for none
// The display is Xwayland: its outputs show the compositor's turned sizes, never the turn.
bool ScreenIsXwayland();
// Prints the monitors and outputs, one "NAME WxH+X+Y" a line.
void ScreenListOutputs();
// A window over area that takes pointer and keyboard, with the canvas on it; false (a reason
// in why) when the display offers nothing the canvas can draw into.
bool ScreenOpen(const Area &area, char *why, size_t size);
int ScreenFd();          // the connection's descriptor, -1 without a screen
bool ScreenShown();      // a window is open
bool ScreenCancelled();  // handles what the server sent; true once Escape or q was pressed
// With clicks wanted, a mouse click on the window ends a wait (WaitReadable) and is kept for
// ScreenTakeClick (in window coordinates); else clicks are dropped.
void ScreenWantClicks(bool want);
bool ScreenClickPending();
bool ScreenTakeClick(Point *at);
void ScreenClose();
// Called when the connection to the display breaks (Xlib ends the process afterwards).
extern void (*onScreenLost)();

// ---- wayland.cpp: the window on a Wayland compositor (Screen* above hand over to these) ----

// Connects to $WAYLAND_DISPLAY and learns its outputs; false (a reason in why) when it cannot.
bool WlConnect(char *why, size_t size);
// The output named (its connector name), or the first: 0 = found, 1 = no such name.
int WlArea(const char *output, Area *area, char *why, size_t size);
void WlListOutputs(FILE *out);  // one "NAME WxH+X+Y rotation R WxH mm" a line
// A fullscreen window on the output WlArea chose, of area's size; false (why) when the
// compositor refuses fullscreen or gives another size.
bool WlOpen(const Area &area, char *why, size_t size);
bool WlActive();
bool WlShown();
int WlFd();
bool WlCancelled();
void WlClose();

// ---- wlkeys.cpp: Escape and q on the Wayland seat ----

struct wl_seat;
void WlKeysAttach(wl_seat *seat);  // the seat's keyboard, whenever it has one
bool WlKeysCancelled();            // Escape or q was pressed
void WlKeysEnd();                  // the keyboard let go, ready for another run

// ---- console.cpp: a DRM dumb buffer on a connector no display server drives ----

void ConListOutputs(FILE *out);  // the connected connectors, as WlListOutputs lists outputs
// The connector named (the kernel's name), or the first connected: 0 = found, 1 = no such
// connector, 2 = no DRM device.
int ConArea(const char *output, Area *area, char *why, size_t size);
// Takes the card's master role and shows a dumb buffer in the preferred mode; false (why)
// when a display server holds the card.
bool ConOpen(const Area &area, char *why, size_t size);
bool ConActive();
void ConClose();  // the CRTC back as it was

// ---- keys.cpp: Escape or q on the controlling terminal, where no window takes keys ----

// true when bytes read from a terminal hold q, or Escape alone (not a key's escape sequence).
bool CancelKeys(const char *bytes, size_t n);
void TtyKeysBegin();      // raw mode on the controlling terminal, when there is one in front
int TtyKeysFd();          // -1 without one
bool TtyKeysCancelled();  // reads what was typed; true once Escape or q was
void TtyKeysEnd();        // the terminal as it was (also at exit)
// The kernel's codes of the keys that give keysym unshifted in any group of an XKB keymap in
// its text form (what a Wayland seat sends); none for text that is no such keymap.
std::vector<uint32_t> KeymapKeysOf(std::string_view keymap, std::string_view keysym);

// ---- feedback.cpp: the target screen ----

// Draws the current target with the earlier ones dimmed, a progress line and instructions;
// the hold ring, rejection and time left start afresh.
void ScreenShow(const Point *done, int ndone, Point current, const char *progress, const char *help);
// Why the last touch was not taken, shown until the next touch begins.
void FeedbackRejected(const char *message);
// The hold ring, the time left and the cancel hint of the touch in progress (onHold).
void FeedbackHold(const HoldState &h);
void FeedbackRule(long samples);  // positions that fill the ring
// Where a touch's position is on the screen (false: not known yet); nullptr: not known at all.
extern bool (*fingerOnScreen)(Point position, Point *screen);

// ---- verdict.cpp: the verdict screen after the check ----

struct CheckResult {
    std::array<Point, CHECK_TARGETS> target{}, landed{};
    int measured = 0;
    double worst = 0, mean = 0, allowed = 0;
    bool pass = false;
};
// FINISH: a pass seen, or no screen to ask on; NO_ANSWER: a failed check's question unanswered.
enum Choice { FINISH, CALIBRATE_AGAIN, RESTORE_PREVIOUS, NO_ANSWER };
// Which touch area a point on a failed verdict's screen lies in.
Choice ChoiceAt(Point p, int width);
// Shows the verdict. A pass ends on a touch (frames on watchFd) or after a few seconds; a failed
// check after a calibration (c not null) waits for a touch on one of its two halves, told from
// the raw positions by c's own targets, so a calibration that is off still finds the right one.
Choice VerdictShow(Session *s, const Options &o, const CheckResult &r, const Calibration *c, int watchFd);

// ---- ending.cpp: the last screen of every run ----

enum EndingKind {
    END_PASSED,        // calibrated and checked
    END_CHECK_PASSED,  // --check
    END_CHECK_FAILED,  // --check
    END_RESTORED,      // a failed check, "Restore previous" touched
    END_NO_ANSWER,     // a failed check nobody answered: the previous files are back
    END_AGAIN,         // a failed check, "Calibrate again" touched
    END_CANCELLED,
    END_TIMED_OUT,
    END_DAEMON_GONE,
    END_FAILED,        // any other failure, explained on standard error
};
struct Ending {
    const char *what;
    unsigned long colour;
    const char *inForce;  // which calibration the daemon uses now
};
// The words for an ending; written: this run's files are the port's now.
Ending Ended(EndingKind kind, bool written);
// Shows the ending for a moment (nothing without a window).
void ShowEnding(const Ending &e);

// ---- run.cpp: the runs; each returns the exit status ----

extern bool calibrationWritten;  // the port's files are this run's (for the last message)
int Calibrate(Session *s, const Options &o);  // measure, write, reset, check, verdict
int CheckOnly(Session *s, const Options &o);
int Restore(const Options &o);                // the .prev files back, and a reset

// ---- run.cpp: the port's raw stream, ended on every way out (the display's loss included) ----

bool RawBegin(Share *sh, const char *device);  // false after a message
void RawEnd();

// ---- rclick.cpp: the right-click tool out of the way while quilmocal runs ----

// Hides the tool (hide: a calibration, whose resets show it as configured) and makes the next
// touch a left-button one; again after each reset.
void RClickAway(bool hide);
void RClickAgain();  // after a reset: hidden again if it was
// Puts the tool back as the configuration has it (once, whatever way the run ends).
void RClickBack();
// The configuration's RClickTool is non-zero (the last such line counts; no file: off).
bool RClickConfiguredOn();

// ---- bindport.cpp: the port bound to the monitor it was calibrated on ----

// text with the last Port line naming device given "output=connector" (its output= word
// replaced, or one added after its last word); false when no Port line names device.
bool BindPortText(std::string_view text, std::string_view device, std::string_view connector, std::string *out);
// The same on /etc/quilmod.conf, replaced whole; false after a message on standard error.
bool BindPort(const char *device, const char *connector);

// ---- calfiles.cpp: the calibration files, written so the daemon never reads half a file ----

// false (after a message) when a file could not be written; the old files are then intact.
bool WriteCalibration(const Calibration &c, const char *device);
// Puts the .prev files back; EXIT_OK, or EXIT_FAIL after a message.
int RestoreCalibration(const char *device);
// The "v#v#...#" line of n fields; false when it is longer than max characters.
bool FormatFields(const int *v, size_t n, char *out, size_t size, size_t max);
