// quilmocal's X backend: one window over the whole screen or one RandR output, holding pointer
// and keyboard, showing the canvas's pixels as an image; its events (Escape or q cancels, a
// click is kept for the verdict).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <bit>
#include <vector>
#include <cstdio>
#include <cstring>

#include "draw.h"
#include "xoutput.h"

constexpr int GRAB_TRIES = 100;  // a window manager may hold the grab a moment after mapping
constexpr int GRAB_WAIT_MS = 10;
constexpr char TEXT_PROPERTY[] = "QUILMOCAL_TEXT";
constexpr unsigned long RED_MASK = 0xFF0000, GREEN_MASK = 0x00FF00, BLUE_MASK = 0x0000FF;

static Display *display;
static Window window;
static GC gc;
static XImage *image;                       // the canvas's pixels as X sees them
static std::vector<unsigned char> pixels;   // the canvas's pixels
static bool cancelled, clicked, wantClicks;
static Point clickAt;
std::array<char, 64> xOutputName;
void (*onScreenLost)();

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

// The targets are in the panel's pixels: the monitor's mode unturned, whatever RandR turned.
int ScreenArea(const char *output, Area *area, char *why, size_t size)
{
    const int screen = DefaultScreen(display);
    *area = {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    XOutputRect r{};
    if (!output) {
        shownTurn = TurnOfScreen(XScreenTransform(display), area->width, area->height);
        return 0;
    }
    const int found = FindXOutput(display, output, &r);
    if (found == 0) {
        *area = {r.x, r.y, r.width, r.height};
        shownTurn = TurnOfScreen(r.transform, r.width, r.height);
        snprintf(xOutputName.data(), xOutputName.size(), "%s", r.name.data());
        return 0;
    }
    snprintf(why, size, found == 1 ? "no monitor or output '%s' (see --list-outputs)"
                                   : "the X server cannot name its outputs (no RandR 1.5): no --output '%s'",
             output);
    return found;
}

bool ScreenIsXwayland()
{
    int op, ev, err;
    return display && XQueryExtension(display, "XWAYLAND", &op, &ev, &err);
}

void ScreenListOutputs()
{
    ListXOutputs(display, stdout);
}

// The canvas's pixels (0x00RRGGBB in 32 bits) go to the server as they are on a TrueColor
// visual of 24 bits: what every X server of the last decades offers by default.
static bool visual_fits(Visual *v, int depth)
{
    return v->c_class == TrueColor && (depth == 24 || depth == 32) && v->red_mask == RED_MASK &&
           v->green_mask == GREEN_MASK && v->blue_mask == BLUE_MASK;
}

static void show_image()
{
    if (window && image)
        XPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(image->width),
                  static_cast<unsigned>(image->height));
    XFlush(display);
}

static void name_window(const char *text)
{
    Atom property = XInternAtom(display, TEXT_PROPERTY, False);
    XChangeProperty(display, window, property, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(text), static_cast<int>(strlen(text)));
    XFlush(display);  // a screen left standing (the ending) is named now, not at the next event
}

// The canvas over pixels X can take as an image of the window's size.
static bool make_image(int width, int height)
{
    const int screen = DefaultScreen(display), depth = DefaultDepth(display, screen);
    Visual *visual = DefaultVisual(display, screen);
    if (!visual_fits(visual, depth))
        return false;
    const int stride = 4 * width;
    pixels.assign(static_cast<size_t>(stride) * static_cast<size_t>(height), 0);
    image = XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0,
                         reinterpret_cast<char *>(pixels.data()), static_cast<unsigned>(width),
                         static_cast<unsigned>(height), 32, stride);
    if (!image || image->bits_per_pixel != 32)
        return false;
    image->byte_order = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;  // Xlib swaps for the server
    canvasBackend = {show_image, name_window};
    return CanvasBegin(pixels.data(), width, height, stride);
}

bool ScreenOpen(const Area &area, char *why, size_t size)
{
    const int screen = DefaultScreen(display);
    XSetWindowAttributes a{};
    a.override_redirect = True;  // no window manager frame or placement
    a.background_pixel = BACKGROUND;
    a.event_mask = ExposureMask | KeyPressMask | ButtonPressMask;
    const auto w = static_cast<unsigned>(area.width), h = static_cast<unsigned>(area.height);
    window = XCreateWindow(display, RootWindow(display, screen), area.x, area.y, w, h, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XStoreName(display, window, "quilmocal");
    gc = XCreateGC(display, window, 0, nullptr);
    if (!make_image(area.width, area.height)) {
        snprintf(why, size, "the X display draws in no 24-bit TrueColor visual: nothing to draw with");
        return false;
    }
    DrawClear();
    XMapRaised(display, window);
    XSync(display, False);
    grab_input();
    return true;
}

int ScreenFd()
{
    if (WlActive())
        return WlFd();
    return display ? ConnectionNumber(display) : TtyKeysFd();
}

bool ScreenShown()
{
    if (ConActive())
        return CanvasReady();
    return WlActive() ? WlShown() : display && window;
}

static void handle(XEvent &e)
{
    if (e.type == Expose && e.xexpose.count == 0)
        show_image();
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
    if (WlActive())
        return cancelled = cancelled || WlCancelled();
    if (!display)
        return cancelled = cancelled || TtyKeysCancelled();
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
    WlClose();
    ConClose();
    TtyKeysEnd();
    if (!display)
        return;
    XUngrabPointer(display, CurrentTime);
    XUngrabKeyboard(display, CurrentTime);
    CanvasEnd();
    canvasBackend = {};
    if (image) {
        image->data = nullptr;  // the pixels are ours, not Xlib's
        XDestroyImage(image);
        image = nullptr;
    }
    if (window) {
        XFreeGC(display, gc);
        XDestroyWindow(display, window);
    }
    XCloseDisplay(display);
    display = nullptr;
    window = 0;
}
