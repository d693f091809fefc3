// Hiding the X cursor while the panel is used (XFixes), and showing it again as soon as another
// pointing device moves (XInput 2 raw motion of every pointer but the one we inject through).
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xfixes.h>

#include <array>
#include <cstring>
#include <string_view>

#include "client.h"
#include "frames.h"

constexpr size_t MAX_WATCHED = 64;  // slave pointers watched at once

struct CursorState {
    bool ready = false;   // both extensions answered on this connection
    bool hidden = false;
    int xiOpcode = 0;
    std::array<int, MAX_WATCHED> watched{};  // the devices whose raw motion is selected
    size_t watchedCount = 0;
};
static CursorState cursor;

// The XTest slave of the master this client injects through: our own motion comes from it.
static bool ours(const XIDeviceInfo &dev, int master)
{
    std::string_view name = dev.name ? dev.name : "";
    return dev.attachment == master && name.ends_with("XTEST pointer");
}

static void select_raw(Display *d, int device, bool on)
{
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
    if (on)
        XISetMask(bits.data(), XI_RawMotion);
    XIEventMask mask = {device, on ? (int)bits.size() : 0, bits.data()};
    XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
}

// Raw motion from every other slave pointer, selected only while the cursor is hidden, so a
// technician's mouse wakes us once and not at every move.
static void watch_others(Display *d, bool on)
{
    for (size_t i = 0; i < cursor.watchedCount; i++)
        select_raw(d, cursor.watched[i], false);
    cursor.watchedCount = 0;
    if (!on)
        return;
    int n = 0, master = 0;
    XIGetClientPointer(d, None, &master);  // chosen by CursorStart's pointer request
    XIDeviceInfo *info = XIQueryDevice(d, XIAllDevices, &n);
    for (int i = 0; info && i < n && cursor.watchedCount < MAX_WATCHED; i++) {
        if (info[i].use != XISlavePointer || ours(info[i], master))
            continue;
        select_raw(d, info[i].deviceid, true);
        cursor.watched[cursor.watchedCount++] = info[i].deviceid;
    }
    if (info)
        XIFreeDeviceInfo(info);
}

int CursorStart()
{
    Display *d = XtestDisplay();
    int ev, err, major = 2, minor = 0;
    cursor = CursorState{};
    if (!d || !XFixesQueryExtension(d, &ev, &err) ||
        !XQueryExtension(d, "XInputExtension", &cursor.xiOpcode, &ev, &err) ||
        XIQueryVersion(d, &major, &minor) != Success)
        return 1;
    // The server gives a client its pointer at its first pointer request, and XTest injects
    // through that master's XTEST slave. Until then XIGetClientPointer names none, and our own
    // first touch would look like another device's motion and show the cursor at once.
    Window root, child;
    int rx, ry, wx, wy;
    unsigned buttons;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &buttons);
    // Devices plugged in while the cursor is hidden are watched too.
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
    XISetMask(bits.data(), XI_HierarchyChanged);
    XIEventMask mask = {XIAllDevices, (int)bits.size(), bits.data()};
    XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
    cursor.ready = true;
    return 0;
}

static void set_hidden(bool hide)
{
    Display *d = XtestDisplay();
    if (!cursor.ready || !d || cursor.hidden == hide)
        return;
    if (hide)
        XFixesHideCursor(d, DefaultRootWindow(d));
    else
        XFixesShowCursor(d, DefaultRootWindow(d));
    watch_others(d, hide);
    cursor.hidden = hide;
    CursorChanged(hide);
}

void CursorTouched()
{
    set_hidden(true);
}

// One event read from the connection: another device moved, or the devices changed.
void CursorEvent(XEvent *ev)
{
    Display *d = XtestDisplay();
    if (!cursor.ready || !d || ev->xcookie.type != GenericEvent || ev->xcookie.extension != cursor.xiOpcode)
        return;
    if (!XGetEventData(d, &ev->xcookie))
        return;
    int type = ev->xcookie.evtype;
    XFreeEventData(d, &ev->xcookie);
    if (type == XI_RawMotion)
        set_hidden(false);
    else if (type == XI_HierarchyChanged && cursor.hidden)
        watch_others(d, true);
}

// The connection went away: the server forgets our hiding with it.
void CursorLost()
{
    cursor = CursorState{};
}
