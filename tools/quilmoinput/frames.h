// quilmoinput's shared declarations: the two injection backends and the globals they share
// with main; the translation from frames to steps and events is the daemon's too (evtranslate.h).
#pragma once
#include <cstddef>

#include "evtranslate.h"


// The screen of the backend in use.
struct Backend {
    int width = 0, height = 0;
};

struct XOutputRect;
typedef struct _XDisplay Display;
typedef union _XEvent XEvent;

// 0 = ready, 1 = the display does not answer, 2 = it has no XTest extension.
int XtestOpen(Backend *be, const char *display);
// Whether the open display is Xwayland: XTest reaches its X clients only, never the Wayland desktop.
bool XtestIsXwayland();
Display *XtestDisplay();  // the open connection, nullptr when there is none
// FindXOutput on the open connection (2 also when there is none).
int XtestFindOutput(const char *name, XOutputRect *rect);
// The turn of the whole screen (XScreenTransform: its primary or only output's, when that shows
// all of it), 0 else.
int XtestPrimaryTransform();
// 0 = queued, 1 = the display went away (closed; reopen with XtestOpen).
int XtestInject(const Steps &steps);
// Sends what is queued (sync: and waits until the server has done it); 1 = the display went away.
int XtestFlush(bool sync);
int XtestFd();       // the connection to watch, -1 when closed
int XtestService();  // the connection is readable; 1 = the display went away (closed)
void XtestClose();

// Cursor hiding on the open connection. 0 = it can hide (XFixes and XInput 2 answer).
int CursorStart();
void CursorTouched();          // the panel is used: hide the cursor
void CursorEvent(XEvent *ev);  // an event from the connection
void CursorLost();             // the connection is gone
void CursorChanged(bool hidden);  // main's: the cursor was hidden or shown
