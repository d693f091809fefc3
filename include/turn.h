// A monitor turned (and mirrored) by its output's transform: the panel's own pixels, as if the
// monitor were not turned, and the screen a person sees on it, both ways; RandR's rotation bits
// and the kernel's connector names as X names them.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

struct Point {
    int x, y;
    bool operator==(const Point &) const = default;
};

// An output's transform as Wayland numbers it (0 normal, 1..3 the picture turned by 90, 180,
// 270 degrees counter-clockwise, 4..7 the same mirrored first) over a panel of panelWidth x
// panelHeight pixels: its mode, unturned.
struct Turn {
    int transform = 0;
    int panelWidth = 0, panelHeight = 0;
};
Point ScreenOfPanel(const Turn &t, Point panel);
Point PanelOfScreen(const Turn &t, Point screen);
// The screen's size: a quarter turn swaps the panel's sides.
void TurnedSize(const Turn &t, int *width, int *height);
// The panel's size under a screen of width x height turned by transform.
Turn TurnOfScreen(int transform, int width, int height);

// One monitor of --list-outputs: "NAME WxH+X+Y rotation R[ flipped] WxH mm", its mode in the
// panel's own pixels (unturned), its place, the turn in degrees counter-clockwise and its size.
void PrintOutputLine(FILE *out, std::string_view name, const Turn &t, int x, int y, int widthMm, int heightMm);

// RandR's rotation bits (randr.h: RR_Rotate_0 .. RR_Reflect_Y): the same numbers on the wire.
constexpr unsigned RANDR_ROTATE_0 = 1, RANDR_ROTATE_90 = 2, RANDR_ROTATE_180 = 4, RANDR_ROTATE_270 = 8;
constexpr unsigned RANDR_REFLECT_X = 16, RANDR_REFLECT_Y = 32;
// The transform of a CRTC's RandR rotation: xrandr's "left" is RANDR_ROTATE_90 and turns the
// picture as Wayland's 90 does; RandR's reflections mirror the turned picture's columns (X) or
// rows (Y), the screen's own axes.
int TransformOfRandR(unsigned rotation);

// X's name of a kernel connector under the modesetting driver ("HDMI-A-1" -> "HDMI-1"); other
// names are X's too.
std::string XOutputName(std::string_view connector);
// The kernel's connector behind an X output name ("HDMI-1" -> "HDMI-A-1"), or "" when the name
// is no connector's (XWAYLAND0, a monitor made with xrandr --setmonitor).
std::string KernelConnectorName(std::string_view xName);
