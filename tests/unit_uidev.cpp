// The uinput writer and the daemon's devices, with the kernel calls recorded: what each device
// is told when it is made, the exact events of a tap, and the device's lifetime with its port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uinput.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "devdesc.h"
#include "evnames.h"
#include "quilmod.h"
#include "uidev.h"

namespace {

std::string calls;                // "name; name; ..." of the ioctls
std::string events;               // "m:ID0 m:MX8 ... m:SYN | ..." a write per " | "
std::map<int, std::string> tags;  // fd -> "m" or "c", from the name it was given
int failAt = -1;                  // the ioctl number (in order) that fails, -1 none
int callCount = 0;
long long clockMs = 1000000;      // the daemon's clock, driven by the tests

void fake_clock(struct timeval *tv)
{
    tv->tv_sec = clockMs / 1000;
    tv->tv_usec = clockMs % 1000 * 1000;
}

// Time passes and the loop sends what is due.
void later(long long ms)
{
    clockMs += ms;
    DevicePressIfDue();
    DevicesFlush();
}

void add(std::string *s, const std::string &what)
{
    *s += (s->empty() ? "" : "; ") + what;
}

int record_ioctl(int fd, unsigned long request, void *arg)
{
    if (callCount++ == failAt) {
        errno = EINVAL;
        return -1;
    }
    unsigned v = (unsigned)(uintptr_t)arg;
    if (request == UI_SET_EVBIT)
        add(&calls, "EV" + std::to_string(v));
    else if (request == UI_SET_KEYBIT)
        add(&calls, "KEY" + std::to_string(v));
    else if (request == UI_SET_ABSBIT)
        add(&calls, std::string("ABS ") + AbsName(v));
    else if (request == UI_SET_PROPBIT)
        add(&calls, "PROP" + std::to_string(v));
    else if (request == UI_ABS_SETUP) {
        auto *a = static_cast<uinput_abs_setup *>(arg);
        add(&calls, std::string("SETUP ") + AbsName(a->code) + " " + std::to_string(a->absinfo.minimum) + ".." +
                        std::to_string(a->absinfo.maximum) + "/" + std::to_string(a->absinfo.resolution));
    } else if (request == UI_DEV_SETUP) {
        auto *s = static_cast<uinput_setup *>(arg);
        char id[32];
        snprintf(id, sizeof id, "%04x:%04x:%04x", s->id.bustype, s->id.vendor, s->id.product);
        add(&calls, std::string("DEV ") + s->name + " " + id);
        tags[fd] = strstr(s->name, "(right button)") ? "c" : "m";
    } else if (request == UI_SET_PHYS)
        add(&calls, std::string("PHYS ") + static_cast<const char *>(arg));
    else if (request == UI_DEV_CREATE)
        add(&calls, "CREATE " + tags[fd]);
    else if (request == UI_DEV_DESTROY)
        add(&calls, "DESTROY " + tags[fd]);
    else
        add(&calls, "?");
    return 0;
}

long record_write(int fd, const void *buf, size_t len)
{
    const auto *e = static_cast<const input_event *>(buf);
    std::string w;
    for (size_t i = 0; i < len / sizeof *e; i++)
        w += (w.empty() ? "" : " ") + tags[fd] + ":" + EventWord(e[i].type, e[i].code, e[i].value);
    events += (events.empty() ? "" : " | ") + w;
    return (long)len;
}

void clear()
{
    calls.clear();
    events.clear();
    callCount = 0;
    failAt = -1;
}

TEST(UiDev, ADescriptionBecomesItsIoctlsInOrder)
{
    auto saved = UiDevIoctl;
    UiDevIoctl = record_ioctl;
    clear();
    PanelDesc d = DescribePanel(PanelInput{INPUT_TOUCH, "/dev/ttyS1", 1024, 768, 256, 192, 0x1234});
    const char *failed = "x";
    EXPECT_EQ(UiDevCreate(3, d.main, &failed), 0);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(calls, "EV0; EV1; KEY330; EV3; ABS X; SETUP X 0..16384/64; ABS Y; SETUP Y 0..12288/64; "
                     "ABS SLOT; SETUP SLOT 0..0/0; ABS ID; SETUP ID 0..65535/0; ABS MX; SETUP MX 0..16384/64; "
                     "ABS MY; SETUP MY 0..12288/64; PROP1; DEV quilmod ttyS1 0006:7175:1234; "
                     "PHYS /dev/ttyS1/input0; CREATE m");
    clear();
    EXPECT_EQ(UiDevCreate(4, d.companion, &failed), 0);
    EXPECT_EQ(calls, "EV0; EV1; KEY272; KEY273; KEY274; EV3; ABS X; SETUP X 0..16384/64; ABS Y; "
                     "SETUP Y 0..12288/64; DEV quilmod ttyS1 (right button) 0006:7175:9234; "
                     "PHYS /dev/ttyS1/input1; CREATE c");
    // A refusal stops there and names the call.
    clear();
    failAt = 2;
    EXPECT_EQ(UiDevCreate(3, d.main, &failed), EINVAL);
    EXPECT_STREQ(failed, "UI_SET_KEYBIT");
    EXPECT_EQ(calls, "EV0; EV1");
    UiDevIoctl = saved;
}

// The queue writes what the kernel would pass on, each run of one device's events in one write.
TEST(UiDev, TheQueueWritesOnlyWhatTheKernelTakesARunAWrite)
{
    auto saved = UiDevWrite;
    UiDevWrite = record_write;
    tags[3] = "m";
    tags[4] = "c";
    const int fd[DEVICE_COUNT] = {3, 4};
    auto ev = [](std::initializer_list<InputEvent> list) {
        InputEvents e;
        for (const InputEvent &i : list)
            e.ev[e.count++] = i;
        return e;
    };
    const InputEvent X5{0, EV_ABS, ABS_X, 5}, X6{0, EV_ABS, ABS_X, 6}, Y5{0, EV_ABS, ABS_Y, 5},
        ID0{0, EV_ABS, ABS_MT_TRACKING_ID, 0}, IDoff{0, EV_ABS, ABS_MT_TRACKING_ID, -1}, T1{0, EV_KEY, BTN_TOUCH, 1},
        T0{0, EV_KEY, BTN_TOUCH, 0}, SYN{0, EV_SYN, SYN_REPORT, 0}, cX5{1, EV_ABS, ABS_X, 5}, cR1{1, EV_KEY, BTN_RIGHT, 1},
        cSYN{1, EV_SYN, SYN_REPORT, 0};
    const struct {
        const char *what;
        std::vector<InputEvents> put;  // each put, then one flush
        const char *events;
    } cases[] = {
        {"a fresh device's values are taken", {ev({X5, Y5, ID0, T1, SYN})}, "m:X5 m:Y5 m:ID0 m:T1 m:SYN"},
        {"a contact not begun is not ended, a key not down not released", {ev({IDoff, T0, SYN})}, ""},
        {"a resting finger writes nothing", {ev({X5, Y5, SYN}), ev({X5, Y5, SYN}), ev({X5, Y5, SYN})}, "m:X5 m:Y5 m:SYN"},
        {"only what changed, reports of a read in one write", {ev({X5, Y5, SYN}), ev({X6, Y5, SYN}), ev({X5, SYN})},
         "m:X5 m:Y5 m:SYN m:X6 m:SYN m:X5 m:SYN"},
        {"a neighbour first, then the value: both", {ev({X6, X5, SYN})}, "m:X6 m:X5 m:SYN"},
        {"each device has its own values and writes", {ev({X5, SYN, cX5, cSYN, cR1, cSYN}), ev({T1, SYN})},
         "m:X5 m:SYN | c:X5 c:SYN c:R1 c:SYN | m:T1 m:SYN"},
    };
    for (const auto &c : cases) {
        UiDevQueue q;
        const bool multitouch[DEVICE_COUNT] = {true, false};
        UiDevQueueInit(&q, multitouch);
        events.clear();
        for (const InputEvents &e : c.put)
            EXPECT_EQ(UiDevPut(fd, &q, e), 0) << c.what;
        EXPECT_EQ(UiDevFlush(fd, &q), 0) << c.what;
        EXPECT_EQ(events, c.events) << c.what;
    }
    // A full queue is written before what does not fit; nothing is lost.
    UiDevQueue q;
    const bool multitouch[DEVICE_COUNT] = {true, false};
    UiDevQueueInit(&q, multitouch);
    events.clear();
    size_t reports = QUEUE_EVENTS / 2 + 1;
    for (size_t i = 0; i < reports; i++)
        ASSERT_EQ(UiDevPut(fd, &q, ev({InputEvent{0, EV_ABS, ABS_X, (int)i + 1}, SYN})), 0);
    ASSERT_EQ(UiDevFlush(fd, &q), 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), '|'), 1);
    EXPECT_NE(events.find(" | m:X" + std::to_string(reports) + " m:SYN"), std::string::npos);
    UiDevWrite = saved;
}

// The daemon's devices in a sandbox root whose /dev/uinput is a plain file: the calls recorded.
class PortDevices : public ::testing::Test {
protected:
    std::string root;
    TouchPanel *panel = nullptr;
    decltype(UiDevIoctl) savedIoctl = UiDevIoctl;
    decltype(UiDevWrite) savedWrite = UiDevWrite;
    decltype(QlmClock) savedClock = QlmClock;
    void SetUp() override
    {
        QlmClock = fake_clock;
        char tmpl[] = "/tmp/uidevXXXXXX";
        root = mkdtemp(tmpl);
        mkdir((root + "/dev").c_str(), 0755);
        close(open((root + "/dev/uinput").c_str(), O_CREAT | O_WRONLY, 0600));
        setenv("QUILMOD_ROOT", root.c_str(), 1);
        UiDevIoctl = record_ioctl;
        UiDevWrite = record_write;
        clear();
        FD_ZERO(&fdSet);
        fdMax = -1;
        panelList = nullptr;
        InputDeviceKind = INPUT_TOUCH;
    }
    void TearDown() override
    {
        DevicesEnd();
        UiDevIoctl = savedIoctl;
        UiDevWrite = savedWrite;
        QlmClock = savedClock;
        unsetenv("QUILMOD_ROOT");
        std::string cmd = "rm -rf " + root;
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    void open_port(const char *device, int w, int h)
    {
        panel = static_cast<TouchPanel *>(calloc(1, sizeof(TouchPanel) + strlen(device) + 1));
        panel->device = reinterpret_cast<char *>(panel + 1);
        strcpy(panel->device, device);
        panel->fd = open("/dev/null", O_RDONLY);
        panel->present = 1;
        panel->_25Mode = 4;
        panel->screen_width_4 = w;
        panel->screen_high_4 = h;
        AddPanel(panel);
    }
    void frame(unsigned char head, int x, int y)
    {
        unsigned char f[5] = {head, (unsigned char)(x >> 8), (unsigned char)x, (unsigned char)(y >> 8),
                              (unsigned char)y};
        DeviceFrame(panel, f, 5);
        DevicesFlush();  // a read of one frame
    }
    std::string file(const std::string &path)
    {
        std::ifstream in(root + path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

// Only the lines that make or destroy devices, without the capabilities.
std::string lifetime(const std::string &all)
{
    std::string out, item;
    std::stringstream s(all);
    while (std::getline(s, item, ';')) {
        item.erase(0, item.find_first_not_of(' '));
        if (item.rfind("DEV ", 0) == 0 || item.rfind("CREATE", 0) == 0 || item.rfind("DESTROY", 0) == 0)
            out += (out.empty() ? "" : "; ") + item;
    }
    return out;
}

std::string hex(unsigned v)
{
    char t[8];
    snprintf(t, sizeof t, "%04x", v);
    return t;
}

TEST_F(PortDevices, ATapRightClickAndRemovalGiveExactEvents)
{
    open_port("/dev/ttyS1", 1024, 768);
    NotePortOptions("/dev/ttyS1", " output=HDMI-A-1 size=256x192");
    SyncDevices();
    std::string product = hex(PortProduct("/dev/ttyS1")), companion = hex(PortProduct("/dev/ttyS1") | 0x8000);
    EXPECT_EQ(lifetime(calls), "DEV quilmod ttyS1 0006:7175:" + product + "; CREATE m; DEV quilmod ttyS1 (right button) 0006:7175:" +
                                   companion + "; CREATE c");
    EXPECT_EQ(file("/run/quilmod/devices"), "/dev/ttyS1\tquilmod ttyS1\t7175:" + product + "\t1024x768\t256x192\tHDMI-A-1\ttouch\n");
    EXPECT_EQ(file("/run/quilmod/output-" + product), "WL_OUTPUT=HDMI-A-1\n");
    // 16 units a pixel: pixel 513 is unit 8216, its centre.
    const struct {
        unsigned char head;
        int x, y;
        long long laterMs;  // then the loop's time passes
        const char *events;
    } taps[] = {
        {0x81, 513, 385, 0, "m:ID0 m:MX8216 m:MY6168 m:T1 m:X8216 m:Y6168 m:SYN"},
        {0x80, 513, 385, 0, "m:ID-1 m:T0 m:SYN"},  // nothing moved: no motion report
        {0xA1, 10, 20, 250, "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN"},  // moved, then pressed
        {0xA0, 10, 20, 0, "c:R0 c:SYN"},
        {0x81, 0, 5000, 0, "m:ID1 m:MX8 m:MY12280 m:T1 m:X8 m:Y12280 m:SYN"},  // clamped to the last pixel
    };
    for (const auto &t : taps) {
        events.clear();
        frame(t.head, t.x, t.y);
        later(t.laterMs);
        EXPECT_EQ(events, t.events) << (int)t.head;
    }
    // Nothing changed: a reset keeps the devices as they are.
    clear();
    SyncDevices();
    EXPECT_EQ(calls, "");
    // Removed mid-touch: the touch ends before the devices go.
    close(panel->fd);
    panel->fd = -1;
    SyncDevices();
    EXPECT_EQ(events, "m:ID-1 m:T0 m:SYN");
    EXPECT_EQ(calls, "DESTROY m; DESTROY c");
    EXPECT_EQ(file("/run/quilmod/devices"), "");
    // Back again: the same identity.
    clear();
    panel->fd = open("/dev/null", O_RDONLY);
    SyncDevices();
    EXPECT_EQ(lifetime(calls), "DEV quilmod ttyS1 0006:7175:" + product + "; CREATE m; DEV quilmod ttyS1 (right button) 0006:7175:" +
                                   companion + "; CREATE c");
}

// A companion that never moved moves alone; its press follows when the desktop has had the time
// to take the new pointer, with what came meanwhile after it in order. Pixel 10,20 is unit
// 168,328 (16 a pixel), 30,40 is 488,648.
TEST_F(PortDevices, ANewCompanionsFirstPressWaitsAndWhatComesMeanwhileFollowsInOrder)
{
    open_port("/dev/ttyS1", 1024, 768);
    const char *move = "c:X167 c:X168 c:Y328 c:SYN", *press = "c:R1 c:SYN";
    // Each case on a new device: f HEAD X Y a frame, t MS time passes, k a reset that keeps the
    // device, s one that remakes it (another size), r the port closed.
    const struct {
        const char *what, *script, *events;
    } cases[] = {
        {"a tap: the press when due, not before", "f A1 10 20; t 249; f A0 10 20; t 1",
         "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN c:R0 c:SYN"},
        {"later right touches are immediate", "f A1 10 20; t 250; f A0 10 20; f A1 30 40; f A0 30 40",
         "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN | c:R0 c:SYN | c:X487 c:X488 c:Y648 c:SYN c:R1 c:SYN | c:R0 c:SYN"},
        {"motions while it waits follow the press", "f A1 10 20; f A1 30 40; f A0 30 40; t 250",
         "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN c:X488 c:Y648 c:SYN c:R0 c:SYN"},
        {"left touches are never held", "f 81 10 20; f 80 10 20",
         "m:ID0 m:MX168 m:MY328 m:T1 m:X168 m:Y328 m:SYN | m:ID-1 m:T0 m:SYN"},
        {"a left touch is ended before the companion moves", "f 81 30 40; f A1 10 20; t 250",
         "m:ID0 m:MX488 m:MY648 m:T1 m:X488 m:Y648 m:SYN | m:ID-1 m:T0 m:SYN | c:X167 c:X168 c:Y328 c:SYN | "
         "c:R1 c:SYN"},
        {"removed while it waits: pressed and released before it goes", "f A1 10 20; f A1 30 40; r; t 250",
         "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN c:X488 c:Y648 c:SYN c:R0 c:SYN"},
        {"a reset that keeps the device keeps the wait", "f A1 10 20; k; t 250", "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN"},
        {"a remade device waits anew (its scale another)", "f A1 10 20; s; f A1 30 40; t 250",
         "c:X167 c:X168 c:Y328 c:SYN | c:R1 c:SYN c:R0 c:SYN | c:X2286 c:X2287 c:Y1012 c:SYN | c:R1 c:SYN"},
    };
    for (const auto &c : cases) {
        NotePortOptions("/dev/ttyS1", " size=256x192");
        SyncDevices();
        DevicesEnd();
        SyncDevices();
        events.clear();
        std::stringstream script(c.script);
        for (std::string step; std::getline(script, step, ';');) {
            std::stringstream w(step);
            std::string op;
            unsigned head = 0;
            int x = 0, y = 0;
            long long ms = 0;
            w >> op;
            if (op == "f" && (w >> std::hex >> head >> std::dec >> x >> y))
                frame((unsigned char)head, x, y);
            else if (op == "t" && (w >> ms))
                later(ms);
            else if (op == "k" || op == "s") {
                NotePortOptions("/dev/ttyS1", op == "k" ? " size=256x192" : " size=300x200");
                SyncDevices();
            } else if (op == "r") {
                close(panel->fd);
                panel->fd = -1;
                SyncDevices();
                panel->fd = open("/dev/null", O_RDONLY);
            } else
                ADD_FAILURE() << "bad step " << step;
        }
        EXPECT_EQ(events, c.events) << c.what;
        struct timespec left;
        EXPECT_EQ(DevicePressWaitLimit(&left), nullptr) << c.what;
    }
    // The loop's deadline while it waits; more frames than it keeps send the press at once.
    NotePortOptions("/dev/ttyS1", " size=256x192");
    DevicesEnd();
    SyncDevices();
    events.clear();
    frame(0xA1, 10, 20);
    struct timespec left;
    ASSERT_NE(DevicePressWaitLimit(&left), nullptr);
    EXPECT_EQ(left.tv_sec * 1000 + left.tv_nsec / 1000000, 250);
    for (int i = 0; i < 64; i++)
        frame(0xA1, 30, 40);
    EXPECT_EQ(events, move);
    frame(0xA1, 30, 40);
    EXPECT_EQ(events.substr(0, strlen(move) + strlen(press) + 4), std::string(move) + " | " + press + " ");
    EXPECT_EQ(DevicePressWaitLimit(&left), nullptr);
}

TEST_F(PortDevices, WhatDescribesADeviceDecidesWhetherAResetRemakesIt)
{
    open_port("/dev/ttyS1", 1024, 768);
    NotePortOptions("/dev/ttyS1", " size=256x192");
    SyncDevices();
    const struct {
        const char *what;
        void (*change)(TouchPanel *p);
        const char *calls;
    } cases[] = {
        {"the same line again", [](TouchPanel *) { NotePortOptions("/dev/ttyS1", " size=256x192"); }, ""},
        {"another size", [](TouchPanel *) { NotePortOptions("/dev/ttyS1", " size=300x200"); },
         "DESTROY m; DESTROY c; CREATE m; CREATE c"},
        {"a new calibration", [](TouchPanel *p) { p->screen_width_4 = 1920; }, "DESTROY m; DESTROY c; CREATE m; CREATE c"},
        {"the pointer", [](TouchPanel *) { InputDeviceKind = INPUT_POINTER; }, "DESTROY m; DESTROY c; CREATE m"},
        {"none", [](TouchPanel *) { InputDeviceKind = INPUT_NONE; }, "DESTROY m"},
        {"still none", [](TouchPanel *) {}, ""},
        {"touch again", [](TouchPanel *) { InputDeviceKind = INPUT_TOUCH; }, "CREATE m; CREATE c"},
    };
    for (const auto &c : cases) {
        clear();
        c.change(panel);
        SyncDevices();
        std::string got = lifetime(calls), only;
        std::stringstream s(got);
        for (std::string item; std::getline(s, item, ';');) {
            item.erase(0, item.find_first_not_of(' '));
            if (item.rfind("DEV", 0) != 0)
                only += (only.empty() ? "" : "; ") + item;
        }
        EXPECT_EQ(only, c.calls) << c.what;
    }
}

TEST_F(PortDevices, WithoutUinputThePortsAreServedAndItIsSaidOnce)
{
    unlink((root + "/dev/uinput").c_str());
    open_port("/dev/ttyS1", 1024, 768);
    NotePortOptions("/dev/ttyS1", "");
    testing::internal::CaptureStdout();
    SyncDevices();
    SyncDevices();
    frame(0x81, 1, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "cannot open /dev/uinput: it does not exist (is the uinput module loaded?); the panels reach the "
                   "desktop through the data pipes only\n");
    EXPECT_EQ(calls, "");
    EXPECT_EQ(events, "");
}

TEST_F(PortDevices, AnUnsizedMonitorIsNamedAndTheDeviceMadeWithoutSize)
{
    mkdir((root + "/sys").c_str(), 0755);
    mkdir((root + "/sys/class").c_str(), 0755);
    mkdir((root + "/sys/class/drm").c_str(), 0755);
    mkdir((root + "/sys/class/drm/card0-Virtual-1").c_str(), 0755);
    close(open((root + "/sys/class/drm/card0-Virtual-1/edid").c_str(), O_CREAT | O_WRONLY, 0644));
    const struct {
        const char *options, *note;
    } cases[] = {
        {" output=Virtual-1", "Port /dev/ttyS1: output Virtual-1: no monitor's EDID on it; the device has no size "
                              "(add size=WIDTHxHEIGHT in mm)\n"},
        {" output=HDMI-A-9", "Port /dev/ttyS1: output HDMI-A-9: no such connector in /sys/class/drm; the device has "
                             "no size (add size=WIDTHxHEIGHT in mm)\n"},
        {" output=HDMI-A-9 size=0x0", "Port /dev/ttyS1: option \"size=0x0\" ignored: each side is a whole number of "
                                      "millimetres from 1 to 10000\n"},
    };
    open_port("/dev/ttyS1", 800, 600);
    for (const auto &c : cases) {
        DevicesEnd();
        clear();
        testing::internal::CaptureStdout();
        NotePortOptions("/dev/ttyS1", c.options);
        SyncDevices();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, strlen(c.note)), c.note) << out;
        EXPECT_NE(calls.find("SETUP X 0..12800/0"), std::string::npos) << calls;
    }
}

}  // namespace
