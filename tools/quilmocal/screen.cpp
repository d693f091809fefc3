// quilmocal's window on the X display: one window over the whole screen or one RandR output,
// holding pointer and keyboard, drawn through a back buffer; its events (Escape or q cancels,
// a click is kept for the verdict) and the drawing primitives the screens share.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "draw.h"
#include "xoutput.h"

constexpr int GRAB_TRIES = 100;  // a window manager may hold the grab a moment after mapping
constexpr int GRAB_WAIT_MS = 10;
constexpr int COLOURS = 16;      // distinct colours the screens use
constexpr char TEXT_PROPERTY[] = "QUILMOCAL_TEXT";

static Display *display;
static Window window;
static Pixmap back;
static GC gc;
static Area shownArea;
static bool cancelled, clicked, wantClicks;
static Point clickAt;
void (*onScreenLost)();

// Colours already allocated: a redraw asks the server for none.
static std::array<unsigned long, COLOURS> colourRgb, colourPixel;
static size_t colourCount;

unsigned long ColourPixel(unsigned long rgb)
{
    for (size_t i = 0; i < colourCount; ++i)
        if (colourRgb[i] == rgb)
            return colourPixel[i];
    XColor c{};
    c.red = Channel16(rgb, 16);
    c.green = Channel16(rgb, 8);
    c.blue = Channel16(rgb, 0);
    c.flags = DoRed | DoGreen | DoBlue;
    Colormap map = DefaultColormap(display, DefaultScreen(display));
    const unsigned long p = XAllocColor(display, map, &c) ? c.pixel : WhitePixel(display, DefaultScreen(display));
    if (colourCount < COLOURS)
        colourRgb[colourCount] = rgb, colourPixel[colourCount++] = p;
    return p;
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

bool ScreenConnect(const char *name, char *why, size_t size)
{
    display = XOpenDisplay(name);
    if (!display) {
        snprintf(why, size, "cannot open the X display %s", name ? name : XDisplayName(nullptr));
        return false;
    }
    XSetErrorHandler(ignore_error);
    XSetIOErrorHandler(connection_lost);
    return true;
}

int ScreenArea(const char *output, Area *area, char *why, size_t size)
{
    const int screen = DefaultScreen(display);
    *area = {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    if (!output)
        return 0;
    XOutputRect r{};
    const int found = FindXOutput(display, output, &r);
    if (found == 0) {
        *area = {r.x, r.y, r.width, r.height};
        return 0;
    }
    snprintf(why, size, found == 1 ? "no monitor or output '%s' (see --list-outputs)"
                                   : "the X server cannot name its outputs (no RandR 1.5): no --output '%s'",
             output);
    return found;
}

void ScreenListOutputs()
{
    ListXOutputs(display, stdout);
}

void ScreenOpen(const Area &area)
{
    const int screen = DefaultScreen(display);
    shownArea = area;
    XSetWindowAttributes a{};
    a.override_redirect = True;  // no window manager frame or placement
    a.background_pixel = ColourPixel(BACKGROUND);
    a.event_mask = ExposureMask | KeyPressMask | ButtonPressMask;
    const auto w = static_cast<unsigned>(area.width), h = static_cast<unsigned>(area.height);
    window = XCreateWindow(display, RootWindow(display, screen), area.x, area.y, w, h, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XStoreName(display, window, "quilmocal");
    back = XCreatePixmap(display, window, w, h, static_cast<unsigned>(DefaultDepth(display, screen)));
    gc = XCreateGC(display, window, 0, nullptr);
    FontOpen(display, back, area.width, area.height);
    DrawClear();
    XMapRaised(display, window);
    XSync(display, False);
    grab_input();
}

int ScreenFd()
{
    return display ? ConnectionNumber(display) : -1;
}

bool ScreenShown()
{
    return display && window;
}

static void handle(XEvent &e)
{
    if (e.type == Expose && e.xexpose.count == 0)
        DrawPresent();
    if (e.type == ButtonPress && wantClicks) {
        clicked = true;
        clickAt = {e.xbutton.x, e.xbutton.y};
    }
    if (e.type == KeyPress) {
        KeySym key = XLookupKeysym(&e.xkey, 0);
        cancelled = key == XK_Escape || key == XK_q;
    }
}

bool ScreenCancelled()
{
    while (display && !cancelled && XPending(display) > 0) {
        XEvent e;
        XNextEvent(display, &e);
        handle(e);
    }
    return cancelled;
}

void ScreenWantClicks(bool want)
{
    wantClicks = want;
    clicked = false;
}

bool ScreenClickPending()
{
    ScreenCancelled();
    return clicked;
}

bool ScreenTakeClick(Point *at)
{
    ScreenCancelled();
    const bool was = clicked;
    clicked = false;
    *at = clickAt;
    return was;
}

void ScreenClose()
{
    if (!display)
        return;
    XUngrabPointer(display, CurrentTime);
    XUngrabKeyboard(display, CurrentTime);
    if (window) {
        FontClose();
        XFreeGC(display, gc);
        XFreePixmap(display, back);
        XDestroyWindow(display, window);
    }
    XCloseDisplay(display);  // Xft lets go of its fonts here
    display = nullptr;
    window = 0;
    FontRelease();
}

// ---- drawing ----

int CanvasWidth()
{
    return shownArea.width;
}

int CanvasHeight()
{
    return shownArea.height;
}

static bool drawing(unsigned long rgb, int thickness)
{
    if (!window)
        return false;
    XSetForeground(display, gc, ColourPixel(rgb));
    XSetLineAttributes(display, gc, static_cast<unsigned>(std::max(thickness, 0)), LineSolid, CapButt, JoinMiter);
    return true;
}

void DrawClear()
{
    DrawBox(BACKGROUND, 0, 0, shownArea.width, shownArea.height, true);
}

void DrawLine(unsigned long rgb, Point a, Point b, int thickness)
{
    if (drawing(rgb, thickness))
        XDrawLine(display, back, gc, a.x, a.y, b.x, b.y);
}

void DrawArc(unsigned long rgb, Point c, int radius, int thickness, double fraction)
{
    constexpr int FULL = 360 * 64, TOP = 90 * 64;  // X's angles: 1/64 degree, counter-clockwise from three
    const int extent = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * FULL));
    if (extent > 0 && drawing(rgb, thickness))
        XDrawArc(display, back, gc, c.x - radius, c.y - radius, static_cast<unsigned>(2 * radius),
                 static_cast<unsigned>(2 * radius), TOP, -extent);
}

void DrawCircle(unsigned long rgb, Point c, int radius, int thickness)
{
    DrawArc(rgb, c, radius, thickness, 1.0);
}

void DrawBox(unsigned long rgb, int x, int y, int width, int height, bool filled)
{
    if (!drawing(rgb, 2) || width <= 0 || height <= 0)
        return;
    const auto w = static_cast<unsigned>(width), h = static_cast<unsigned>(height);
    if (filled)
        XFillRectangle(display, back, gc, x, y, w, h);
    else
        XDrawRectangle(display, back, gc, x, y, w - 1, h - 1);
}

void DrawDot(unsigned long rgb, Point c, int radius)
{
    if (drawing(rgb, 1))
        XFillArc(display, back, gc, c.x - radius, c.y - radius, static_cast<unsigned>(2 * radius),
                 static_cast<unsigned>(2 * radius), 0, 360 * 64);
}

void DrawPresent()
{
    if (!window)
        return;
    XCopyArea(display, back, window, gc, 0, 0, static_cast<unsigned>(shownArea.width),
              static_cast<unsigned>(shownArea.height), 0, 0);
    XFlush(display);
}

void DrawSetText(const char *text)
{
    if (!window)
        return;
    Atom property = XInternAtom(display, TEXT_PROPERTY, False);
    XChangeProperty(display, window, property, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(text), static_cast<int>(strlen(text)));
}
