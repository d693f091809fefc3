// The translation from 5-byte frames to pointer steps and kernel input events, the same for the
// daemon's devices and quilmoinput's backends: pure functions over the button and device state.
#pragma once
#include <array>
#include <cstddef>

#include "devdesc.h"

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

// Where frames land: the panel's range (0..panelWidth-1, 0..panelHeight-1) scaled onto a
// rectangle of the target (the whole screen, or one monitor of it). The range is the monitor
// unturned: a turned monitor (transform as turn.h numbers it) turns the positions with it.
struct FrameMap {
    int panelWidth = 0, panelHeight = 0;
    int x = 0, y = 0, width = 0, height = 0;
    int transform = 0;
};
// The panel's range is the target's, one to one.
FrameMap WholeScreen(int width, int height);

// One 5-byte frame into pointer steps; updates *b.
Steps TranslateFrame(Buttons *b, const unsigned char *frame, const FrameMap &m);
// The steps that end a session: a release of whatever is still down.
Steps ReleaseAll(Buttons *b);

// The uinput device's personality: a touchscreen (a contact for the left button, a companion
// absolute pointer for the right one), or one absolute pointer with both buttons.
enum Personality : unsigned char { DEVICE_TOUCH, DEVICE_POINTER };
constexpr unsigned char DEVICE_MAIN = 0, DEVICE_COMPANION = 1;
constexpr size_t DEVICE_COUNT = 2;

// What the devices have been told so far.
struct Devices {
    Personality personality = DEVICE_TOUCH;
    int down = BUTTON_NONE;  // the touchscreen's contact (left) or the companion's button (right)
    int x = 0, y = 0;        // the last position
    int nextId = 0;          // the next contact's tracking id
    AxisScale sx, sy;        // pixels into device units (one to one by default)
};

// A kernel input event as the uinput backend writes it (type, code, value of linux/input.h), and
// the device it goes to.
struct InputEvent {
    unsigned char device = DEVICE_MAIN;
    unsigned short type = 0, code = 0;
    int value = 0;
};
// Each device's changes end with a SYN_REPORT; a frame makes at most three reports.
constexpr size_t MAX_EVENTS = 16;
struct InputEvents {
    std::array<InputEvent, MAX_EVENTS> ev{};
    size_t count = 0;
};
InputEvents StepsToEvents(const Steps &steps, Devices *d);
