// quilmoinput's shared declarations: the translation from data-pipe frames to pointer steps and
// input events, the two injection backends, and the globals they share with main.
#pragma once
#include <array>
#include <cstddef>

// The button a frame acts on: what the X server numbers as buttons 1 and 3.
constexpr int BUTTON_NONE = 0, BUTTON_LEFT = 1, BUTTON_RIGHT = 3;

// What the frames have left pressed; the translation keeps it sound.
struct Buttons {
    int down = BUTTON_NONE;
};

enum StepKind : unsigned char { STEP_MOVE, STEP_PRESS, STEP_RELEASE };

struct Step {
    StepKind kind = STEP_MOVE;
    int x = 0, y = 0;  // STEP_MOVE: the position, already clamped to the screen
    int button = BUTTON_NONE;  // STEP_PRESS, STEP_RELEASE
};

// A frame yields at most a stale release, the motion and a press.
constexpr size_t MAX_STEPS = 3;
struct Steps {
    std::array<Step, MAX_STEPS> step{};
    size_t count = 0;
};

// One 5-byte frame into pointer steps on a width x height screen; updates *b.
Steps TranslateFrame(Buttons *b, const unsigned char *frame, int width, int height);
// The steps that end a session: a release of whatever is still down.
Steps ReleaseAll(Buttons *b);

// A kernel input event as the uinput backend writes it (type, code, value of linux/input.h).
struct InputEvent {
    unsigned short type = 0, code = 0;
    int value = 0;
};
// Motion, buttons and a SYN_REPORT after each group; at most two groups per frame.
constexpr size_t MAX_EVENTS = 8;
struct InputEvents {
    std::array<InputEvent, MAX_EVENTS> ev{};
    size_t count = 0;
};
InputEvents StepsToEvents(const Steps &steps);

// The screen of the backend in use, which every position is clamped to.
struct Backend {
    int width = 0, height = 0;
};

// 0 = ready, 1 = the display does not answer, 2 = it has no XTest extension.
int XtestOpen(Backend *be, const char *display);
// 0 = injected, 1 = the display went away (closed; reopen with XtestOpen).
int XtestInject(const Steps &steps);
int XtestFd();       // the connection to watch, -1 when closed
int XtestService();  // the connection is readable; 1 = the display went away (closed)
void XtestClose();

bool UinputAvailable();
// 0 = the device exists, 1 = it could not be made (a message said why).
int UinputOpen(Backend *be, const char *name, int width, int height);
// 0 = written, 1 = the device refused the events.
int UinputInject(const Steps &steps);
void UinputClose();
