// The system test's X client: a window over the whole screen that logs its XInput2 touches and button presses.
//
// Usage: xprobe [--pointer] --log FILE        (DISPLAY names the server)
// The window is override-redirect (no window manager runs) and selects XInput 2.2's touch and
// button events; with --pointer only the button events, as a client that knows no touches, which
// the server gives a touch's emulated pointer. Each is one line in FILE, flushed at once, in root
// coordinates as the server gives them (fractions kept, so a pixel lost in a scaling shows):
//   ready WIDTH HEIGHT
//   touch begin|update|end X Y DEVICE | button press|release CODE X Y DEVICE
// DEVICE is the slave device's name, spaces as underscores. It runs until it is killed.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

FILE* out = nullptr;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "xprobe: %s\n", what);
    std::exit(1);
}

// The device's name with spaces as underscores, so a line splits on blanks.
std::array<char, 128> device_name(Display* d, int id) {
    std::array<char, 128> name{};
    int n = 0;
    XIDeviceInfo* info = XIQueryDevice(d, id, &n);
    std::snprintf(name.data(), name.size(), "%s", n > 0 && info ? info[0].name : "?");
    if (info) XIFreeDeviceInfo(info);
    for (char& c : name)
        if (c == ' ') c = '_';
    return name;
}

Window open_window(Display* d, bool touches, int* w, int* h) {
    int screen = DefaultScreen(d);
    *w = DisplayWidth(d, screen), *h = DisplayHeight(d, screen);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = BlackPixel(d, screen);
    Window win = XCreateWindow(d, RootWindow(d, screen), 0, 0, *w, *h, 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel, &attrs);
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
    XISetMask(bits.data(), XI_ButtonPress);
    XISetMask(bits.data(), XI_ButtonRelease);
    if (touches)
        for (int type : {XI_TouchBegin, XI_TouchUpdate, XI_TouchEnd}) XISetMask(bits.data(), type);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(bits.size()), bits.data()};
    XISelectEvents(d, win, &mask, 1);
    XMapRaised(d, win);
    XSync(d, False);
    return win;
}

void log_event(Display* d, const XIDeviceEvent* e) {
    const char* what = nullptr;
    switch (e->evtype) {
    case XI_TouchBegin: what = "touch begin"; break;
    case XI_TouchUpdate: what = "touch update"; break;
    case XI_TouchEnd: what = "touch end"; break;
    case XI_ButtonPress: what = "button press"; break;
    case XI_ButtonRelease: what = "button release"; break;
    default: return;
    }
    auto name = device_name(d, e->sourceid);
    if (e->evtype == XI_ButtonPress || e->evtype == XI_ButtonRelease)
        std::fprintf(out, "%s %d %.2f %.2f %s\n", what, e->detail, e->root_x, e->root_y, name.data());
    else
        std::fprintf(out, "%s %.2f %.2f %s\n", what, e->root_x, e->root_y, name.data());
    std::fflush(out);
}

}  // namespace

int main(int argc, char** argv) {
    bool touches = argc == 3;
    if (argc < 3 || argc > 4 || (argc == 4 && std::string_view(argv[1]) != "--pointer") ||
        std::string_view(argv[argc - 2]) != "--log")
        die("usage: xprobe [--pointer] --log FILE");
    // Appending: the test empties the log between its steps while the probe keeps it open.
    out = std::fopen(argv[argc - 1], "a");
    if (!out || ftruncate(fileno(out), 0) != 0) die("cannot write the log");
    Display* d = XOpenDisplay(nullptr);
    if (!d) die("cannot open the display");
    int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error) || XIQueryVersion(d, &major, &minor) != Success ||
        major * 10 + minor < 22)
        die("the server lacks XInput 2.2");
    int w = 0, h = 0;
    open_window(d, touches, &w, &h);
    std::fprintf(out, "ready %d %d\n", w, h);
    std::fflush(out);
    for (;;) {
        XEvent ev;
        XNextEvent(d, &ev);
        XGenericEventCookie* cookie = &ev.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode || !XGetEventData(d, cookie)) continue;
        log_event(d, static_cast<XIDeviceEvent*>(cookie->data));
        XFreeEventData(d, cookie);
    }
}
