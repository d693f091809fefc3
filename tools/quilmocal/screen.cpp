// quilmocal's target screen: one full-screen window on the X display, holding pointer and
// keyboard, with a crosshair in a circle at the current target (its centre is the target
// pixel), the earlier targets dimmed, a progress line and one line of instructions.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cal.h"

constexpr int RING = 24;         // circle radius around the target
constexpr int ARM = 36;          // crosshair arm length
constexpr int DIM_ARM = 8;       // the dimmed cross of a target already measured
constexpr int GRAB_TRIES = 100;  // a window manager may hold the grab a moment after mapping
constexpr int GRAB_WAIT_MS = 10;
constexpr int TEXT_GAP = 18;     // between the two text lines
constexpr int TEXT_ROW_EIGHTHS = 3;  // text at 3/8 of the height: no target sits there
constexpr int FALLBACK_CHAR = 6;     // pixels a character without a font to measure by

// Colours as 8-bit red, green, blue.
constexpr unsigned long BACKGROUND = 0x182838;  // dark blue: tells our window from the root
constexpr unsigned long CURRENT = 0xFFFFFF;
constexpr unsigned long DONE = 0x506070;
constexpr unsigned long TEXT = 0xD0D0D0;

static Display *display;
static Window window;
static GC gc;
static XFontStruct *font;
static bool cancelled;
void (*onScreenLost)();
static unsigned long doneColour, currentColour, textColour;

// What is on the screen, to draw it again after an Expose.
static std::array<Point, MAX_TARGETS> shownDone;
static int shownCount;
static Point shownCurrent;
static char shownProgress[64], shownHelp[160];

static unsigned long pixel(unsigned long rgb)
{
    XColor c{};
    c.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257);
    c.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257);
    c.blue = static_cast<unsigned short>((rgb & 0xFF) * 257);
    c.flags = DoRed | DoGreen | DoBlue;
    Colormap map = DefaultColormap(display, DefaultScreen(display));
    return XAllocColor(display, map, &c) ? c.pixel : WhitePixel(display, DefaultScreen(display));
}

// Errors on requests (a grab refused, a colour missing) are not worth ending the run for.
static int ignore_error(Display *, XErrorEvent *)
{
    return 0;
}

// Xlib ends the process when the connection breaks; sharing is ended first.
static int connection_lost(Display *)
{
    if (onScreenLost)
        onScreenLost();
    return 0;
}

static void grab_input()
{
    for (int i = 0; i < GRAB_TRIES; ++i) {
        bool keys = XGrabKeyboard(display, window, True, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
        bool mouse = XGrabPointer(display, window, True, ButtonPressMask, GrabModeAsync, GrabModeAsync, window,
                                  None, CurrentTime) == GrabSuccess;
        if (keys && mouse)
            return;
        SleepMs(GRAB_WAIT_MS);
    }
}

bool ScreenOpen(const char *name, int *width, int *height, char *why, size_t size)
{
    display = XOpenDisplay(name);
    if (!display) {
        snprintf(why, size, "cannot open the X display %s", name ? name : XDisplayName(nullptr));
        return false;
    }
    XSetErrorHandler(ignore_error);
    XSetIOErrorHandler(connection_lost);
    const int screen = DefaultScreen(display);
    *width = DisplayWidth(display, screen);
    *height = DisplayHeight(display, screen);
    XSetWindowAttributes a{};
    a.override_redirect = True;  // no window manager frame or placement
    a.background_pixel = pixel(BACKGROUND);
    doneColour = pixel(DONE);
    currentColour = pixel(CURRENT);
    textColour = pixel(TEXT);
    a.event_mask = ExposureMask | KeyPressMask | ButtonPressMask;
    window = XCreateWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(*width),
                           static_cast<unsigned>(*height), 0, CopyFromParent, InputOutput, CopyFromParent,
                           CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XStoreName(display, window, "quilmocal");
    gc = XCreateGC(display, window, 0, nullptr);
    font = XLoadQueryFont(display, "fixed");
    if (font)
        XSetFont(display, gc, font->fid);
    XMapRaised(display, window);
    XSync(display, False);
    grab_input();
    return true;
}

static void cross(Point p, int arm)
{
    XDrawLine(display, window, gc, p.x - arm, p.y, p.x + arm, p.y);
    XDrawLine(display, window, gc, p.x, p.y - arm, p.x, p.y + arm);
}

static void centred_text(const char *text, int y)
{
    const int len = static_cast<int>(strlen(text));
    const int w = font ? XTextWidth(font, text, len) : len * FALLBACK_CHAR;
    XDrawString(display, window, gc, (DisplayWidth(display, DefaultScreen(display)) - w) / 2, y, text, len);
}

static void redraw()
{
    XClearWindow(display, window);
    XSetForeground(display, gc, doneColour);
    for (int i = 0; i < shownCount; ++i)
        cross(shownDone[static_cast<size_t>(i)], DIM_ARM);
    XSetForeground(display, gc, currentColour);
    const Point t = shownCurrent;
    XDrawArc(display, window, gc, t.x - RING, t.y - RING, 2 * RING, 2 * RING, 0, 360 * 64);
    cross(t, ARM);
    XSetForeground(display, gc, textColour);
    const int row = DisplayHeight(display, DefaultScreen(display)) * TEXT_ROW_EIGHTHS / 8;
    centred_text(shownProgress, row);
    centred_text(shownHelp, row + TEXT_GAP);
    XFlush(display);
}

void ScreenShow(const Point *done, int ndone, Point current, const char *progress, const char *help)
{
    if (!display)
        return;
    shownCount = std::min(ndone, MAX_TARGETS);
    std::copy(done, done + shownCount, shownDone.begin());
    shownCurrent = current;
    snprintf(shownProgress, sizeof shownProgress, "%s", progress);
    snprintf(shownHelp, sizeof shownHelp, "%s", help);
    redraw();
}

int ScreenFd()
{
    return display ? ConnectionNumber(display) : -1;
}

bool ScreenCancelled()
{
    while (display && !cancelled && XPending(display) > 0) {
        XEvent e;
        XNextEvent(display, &e);
        if (e.type == Expose && e.xexpose.count == 0)
            redraw();
        if (e.type != KeyPress)
            continue;
        KeySym key = XLookupKeysym(&e.xkey, 0);
        cancelled = key == XK_Escape || key == XK_q;
    }
    return cancelled;
}

void ScreenClose()
{
    if (!display)
        return;
    XUngrabPointer(display, CurrentTime);
    XUngrabKeyboard(display, CurrentTime);
    if (font)
        XFreeFont(display, font);
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    display = nullptr;
}
