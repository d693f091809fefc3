// The X backend: pointer steps injected through the XTest extension on one X screen.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>

#include "client.h"
#include "frames.h"
#include "xoutput.h"

static Display *xDisplay = nullptr;
static int xScreen = 0;
static bool xLost = false;  // set from Xlib's I/O error path, inside our own calls

// Xlib calls this when the connection breaks; returning keeps the process alive (the exit
// handler below takes over from the default one, which would end it).
static int on_io_error(Display *)
{
    return 0;
}

static void on_io_exit(Display *, void *)
{
    xLost = true;
}

// Protocol errors (a bad screen, a failed request) are reported, never fatal.
static int on_error(Display *, XErrorEvent *ev)
{
    Complain(0, "X error %d on request %d", ev->error_code, ev->request_code);
    return 0;
}

int XtestOpen(Backend *be, const char *display)
{
    XSetIOErrorHandler(on_io_error);
    XSetErrorHandler(on_error);
    Display *d = XOpenDisplay(display);
    if (!d)
        return 1;
    int ev, err, major, minor;
    if (!XTestQueryExtension(d, &ev, &err, &major, &minor)) {
        XCloseDisplay(d);
        return 2;
    }
    XSetIOErrorExitHandler(d, on_io_exit, nullptr);
    xDisplay = d;
    xLost = false;
    xScreen = DefaultScreen(d);  // the screen the display name gives, else 0
    be->width = DisplayWidth(d, xScreen);
    be->height = DisplayHeight(d, xScreen);
    return 0;
}

bool XtestIsXwayland()
{
    int op, ev, err;
    return xDisplay && !xLost && XQueryExtension(xDisplay, "XWAYLAND", &op, &ev, &err);
}

Display *XtestDisplay()
{
    return xLost ? nullptr : xDisplay;
}

int XtestFindOutput(const char *name, XOutputRect *rect)
{
    return xDisplay && !xLost ? FindXOutput(xDisplay, name, rect) : 2;
}

int XtestPrimaryTransform()
{
    return xDisplay && !xLost ? XScreenTransform(xDisplay) : 0;
}

static void inject(const Step &st)
{
    if (st.kind == STEP_MOVE)
        XTestFakeMotionEvent(xDisplay, xScreen, st.x, st.y, CurrentTime);
    else
        XTestFakeButtonEvent(xDisplay, (unsigned)st.button, st.kind == STEP_PRESS, CurrentTime);
}

// Drops the connection once it broke; 1 when it did.
static int check_lost()
{
    if (!xLost)
        return 0;
    XCloseDisplay(xDisplay);  // after an I/O error this only frees the connection's memory
    xDisplay = nullptr;
    CursorLost();
    return 1;
}

int XtestFd()
{
    return xDisplay ? ConnectionNumber(xDisplay) : -1;
}

// The connection is readable: events we never asked for, or the server hanging up.
int XtestService()
{
    if (!xDisplay)
        return 1;
    while (!xLost && XPending(xDisplay) > 0) {
        XEvent ev;
        XNextEvent(xDisplay, &ev);
        CursorEvent(&ev);
    }
    return check_lost();
}

// The requests wait in Xlib's buffer until XtestFlush: one write for all the frames of a read.
int XtestInject(const Steps &steps)
{
    if (!xDisplay)
        return 1;
    for (size_t i = 0; i < steps.count && !xLost; i++)
        inject(steps.step[i]);
    return check_lost();
}

// No round trip unless asked for: a server that went away shows as an I/O error here or as the
// end of the connection, which the loop watches.
int XtestFlush(bool sync)
{
    if (!xDisplay)
        return 1;
    if (!xLost && sync)
        XSync(xDisplay, False);
    else if (!xLost)
        XFlush(xDisplay);
    return check_lost();
}

void XtestClose()
{
    if (!xDisplay)
        return;
    if (!xLost)
        XSync(xDisplay, False);
    XCloseDisplay(xDisplay);
    xDisplay = nullptr;
    CursorLost();
}
