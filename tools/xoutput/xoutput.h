// The rectangles of the X screen's RandR monitors and outputs, by name, for the tools that
// serve or calibrate a panel on one of several monitors.
#pragma once
#include <X11/Xlib.h>
#include <array>
#include <cstdio>

struct XOutputRect {
    int x, y, width, height;    // in the root window's pixels
    std::array<char, 64> name;  // as RandR names it, cut to fit
    int transform;              // its CRTC's rotation (turn.h's numbers); 0 for a monitor of no output
    int widthMm, heightMm;      // its size as RandR gives it, unturned
};

// Looks name up among the RandR monitors (xrandr --setmonitor ones included), then among the
// connected outputs that drive a CRTC; a kernel connector's name finds X's name for it too
// (HDMI-A-1 is HDMI-1 under the modesetting driver).
// 0 = found (rect filled), 1 = no monitor or output of that name, 2 = the server has no RandR 1.5
int FindXOutput(Display *dpy, const char *name, XOutputRect *rect);
// The screen's primary output, else its only one that shows something: 0 = found, 1 = none
// (several and no primary, or no RandR 1.5).
int FindXPrimary(Display *dpy, XOutputRect *rect);
// The turn of the whole screen for a panel no monitor is named for: that of the primary or only
// output when it shows the whole screen, else 0 (several heads side by side are not turned).
int XScreenTransform(Display *dpy);

// Prints one line per RandR monitor and connected output (turn.h's PrintOutputLine), monitors
// first; an output RandR names a monitor after is that monitor, printed once. Prints nothing
// when the server has no RandR 1.5.
void ListXOutputs(Display *dpy, FILE *out);
