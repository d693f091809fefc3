// quilmoinput's black-box fixture: quilmoinput run on a sandbox FIFO against Xvfb, a window that
// records the buttons X sees, the pointer read back, and the effort of an idle process.
#pragma once
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "childproc.h"
#include "fixture.h"
#include "simhelp.h"

#include <X11/Xlib.h>  // last: its macros (None, Status, Bool) would break the headers above
#include <X11/extensions/XInput2.h>


inline const std::string INPUT_BIN = QUILMOD_BIN_DIR "/quilmoinput";

// Runs quilmoinput through env so that only the child sees the sandbox root.
inline bool InputStart(const Sandbox &sb, SimProc &p, const std::vector<std::string> &args)
{
    std::vector<std::string> all = {"QUILMOD_ROOT=" + sb.root, INPUT_BIN};
    all.insert(all.end(), args.begin(), args.end());
    return SimStart(p, "/usr/bin/env", all);
}

// CPU ticks (utime + stime) and read calls so far, from /proc: a process that spins shows both.
struct Effort {
    long ticks = -1;
    long reads = -1;
};

inline Effort EffortOf(pid_t pid)
{
    Effort e;
    std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren != std::string::npos) {
        std::istringstream in(stat.substr(paren + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; i++) {  // fields 14 and 15 of the line
            if (i == 14)
                utime = std::stol(field);
            if (i == 15)
                stime = std::stol(field);
        }
        e.ticks = utime + stime;
    }
    std::istringstream io(ReadWholeFile("/proc/" + std::to_string(pid) + "/io"));
    std::string key;
    long value;
    while (io >> key >> value)
        if (key == "syscr:")
            e.reads = value;
    return e;
}

// Watches quilmoinput for a while it should spend asleep: the effort must stay near zero.
// The bounds are generous; a loop that spins makes millions of calls and burns whole seconds.
inline void ExpectIdle(pid_t pid)
{
    constexpr long MAX_TICKS = 10, MAX_READS = 20;
    Effort before = EffortOf(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Effort after = EffortOf(pid);
    ASSERT_GE(before.ticks, 0);
    EXPECT_LE(after.ticks - before.ticks, MAX_TICKS);
    if (before.reads >= 0) {
        EXPECT_LE(after.reads - before.reads, MAX_READS);
    }
}

// A window over the whole screen that records button presses and releases.
struct XWatch {
    Display *d = nullptr;
    Window w = 0;
};

inline bool XWatchOpen(XWatch *x, const std::string &display)
{
    x->d = XOpenDisplay((":" + display).c_str());
    if (!x->d)
        return false;
    int s = DefaultScreen(x->d);
    XSetWindowAttributes a = {};
    a.override_redirect = True;
    a.event_mask = ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    x->w = XCreateWindow(x->d, RootWindow(x->d, s), 0, 0, (unsigned)DisplayWidth(x->d, s),
                         (unsigned)DisplayHeight(x->d, s), 0, CopyFromParent, InputOutput, CopyFromParent,
                         CWOverrideRedirect | CWEventMask, &a);
    XMapWindow(x->d, x->w);
    XEvent ev;
    return Eventually([&] { return XCheckTypedWindowEvent(x->d, x->w, MapNotify, &ev); }, WAIT_MS);
}

inline void XWatchClose(XWatch *x)
{
    if (x->d)
        XCloseDisplay(x->d);
    x->d = nullptr;
}

inline std::string Pointer(const XWatch &x)
{
    Window root, child;
    int rx = -1, ry = -1, wx, wy;
    unsigned mask;
    XQueryPointer(x.d, DefaultRootWindow(x.d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return std::to_string(rx) + "," + std::to_string(ry);
}

// The buttons X holds down now (XQueryPointer's mask).
inline unsigned PointerButtons(const XWatch &x)
{
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(x.d, DefaultRootWindow(x.d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return mask & (Button1Mask | Button2Mask | Button3Mask);
}

// The next n button events, as "press 1 at X,Y"; fewer when they do not come in time.
inline std::vector<std::string> Buttons(const XWatch &x, size_t n)
{
    std::vector<std::string> got;
    Eventually([&] {
        while (got.size() < n && XPending(x.d) > 0) {
            XEvent ev;
            XNextEvent(x.d, &ev);
            if (ev.type != ButtonPress && ev.type != ButtonRelease)
                continue;
            got.push_back(std::string(ev.type == ButtonPress ? "press " : "release ") +
                          std::to_string(ev.xbutton.button) + " at " + std::to_string(ev.xbutton.x_root) + "," +
                          std::to_string(ev.xbutton.y_root));
        }
        return got.size() >= n;
    }, WAIT_MS);
    return got;
}

// Moves the pointer through a master of its own, as a technician's mouse would: a second
// pointer device beside the one quilmoinput injects through.
struct OtherPointer {
    Display *d = nullptr;
};

inline bool OtherPointerOpen(OtherPointer *o, const std::string &display)
{
    o->d = XOpenDisplay((":" + display).c_str());
    int major = 2, minor = 2;
    if (!o->d || XIQueryVersion(o->d, &major, &minor) != Success)
        return false;
    XIAddMasterInfo add = {XIAddMaster, const_cast<char *>("other"), True, True};
    XIChangeHierarchy(o->d, reinterpret_cast<XIAnyHierarchyChangeInfo *>(&add), 1);
    XSync(o->d, False);
    int n = 0, master = -1;
    XIDeviceInfo *info = XIQueryDevice(o->d, XIAllMasterDevices, &n);
    for (int i = 0; i < n; i++)
        if (info[i].use == XIMasterPointer && std::string(info[i].name) == "other pointer")
            master = info[i].deviceid;
    XIFreeDeviceInfo(info);
    if (master < 0)
        return false;
    XISetClientPointer(o->d, None, master);
    return true;
}

class QuilmoinputTest : public DaemonTest {
protected:
    int xvfb = -1;
    std::string display;
    XWatch x;
    SimProc input;
    int writer = -1;

    void StartX(const char *geometry)
    {
        xvfb = StartXvfb(geometry, &display);
        if (xvfb < 0)
            GTEST_SKIP() << "Xvfb is missing or did not start (Debian package xvfb)";
        ASSERT_TRUE(XWatchOpen(&x, display));
    }

    // quilmoinput on the sandbox's /dev/qvdat0 (a FIFO made here), printing each frame unless
    // told otherwise.
    void StartInput(const std::vector<std::string> &extra = {"--verbose"})
    {
        ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
        std::vector<std::string> args = {"--display", ":" + display};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(InputStart(sb, input, args));
        ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0 into X display", WAIT_MS));
        OpenWriter();
    }

    void OpenWriter()
    {
        writer = OpenFifo(sb, "/dev/qvdat0", O_WRONLY);
        ASSERT_GE(writer, 0);
    }

    // Writes bytes and waits for the line quilmoinput prints once it has injected the frame.
    void Inject(const Bytes &bytes, const std::string &line)
    {
        WriteBytes(writer, bytes);
        std::string got;
        ASSERT_TRUE(SimReadLine(input.out, input.outBuf, WAIT_MS, got)) << "no frame line for " << line;
        EXPECT_EQ(got, line);
    }

    void TearDown() override
    {
        if (writer >= 0)
            close(writer);
        SimStop(input);
        XWatchClose(&x);
        StopXvfb(xvfb);
        DaemonTest::TearDown();
    }
};
