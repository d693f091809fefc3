// Each port's input device under the real daemon, with the kernel's uinput recorded by a
// preloaded stand-in: made when the port opens, a tap's exact events, the touch released before
// a removed port's device goes, the same identity on re-plug; and pipes alone without uinput.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "ctlhelp.h"
#include "devdesc.h"
#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84;

class DevicesTest : public DaemonTest {
protected:
    FakePort *port = nullptr;
    std::string log() { return SandboxReadFile(sb, "/uinput.log"); }
    // Waits until the log has a line containing text.
    bool WaitLog(const std::string &text)
    {
        for (int waited = 0; waited < WAIT_MS; waited += 10) {
            if (log().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits until the daemon has read its configuration n times (n - 1 resets).
    bool WaitReads(int n)
    {
        for (int waited = 0; waited < WAIT_MS; waited += 10) {
            ReadOutput(sb, 10);
            if (CountLines(sb, "Real Mouse Mode") >= n)
                return true;
        }
        return false;
    }
    void StartRecorded(const std::string &portLine, const std::string &extra = "")
    {
        port = &SandboxAddPort(sb, "/dev/ttyS1");
        SandboxWriteConfig(sb, {portLine}, extra);
        SandboxWriteFile(sb, "/dev/uinput", "");
        sb.wrapper = {"/usr/bin/env", std::string("LD_PRELOAD=") + QUILMOD_UINPUTREC,
                      "UINPUTREC_LOG=" + SandboxPath(sb, "/uinput.log"), PreloadAsanOptions()};
        SandboxStart(sb);
    }
};

// SandboxWriteFile with the folders it needs made first.
void WriteDeep(const Sandbox &sb, const std::string &path, const std::string &text)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(SandboxPath(sb, path.substr(0, slash)).c_str(), 0755);
    SandboxWriteFile(sb, path, text);
}

std::string hex4(unsigned v)
{
    char t[8];
    snprintf(t, sizeof t, "%04x", v);
    return t;
}

TEST_F(DevicesTest, ATapReachesThePortsDeviceExactlyAndARemovalReleasesAndDestroysIt)
{
    StartRecorded("/dev/ttyS1 output=HDMI-A-1 size=256x192");
    std::string id = "7175:" + hex4(PortProduct("/dev/ttyS1"));
    std::string made = "SETUP quilmod ttyS1 " + id + "\nPHYS /dev/ttyS1/input0\nCREATE m\n" +
                       "SETUP quilmod ttyS1 (right button) 7175:" + hex4(PortProduct("/dev/ttyS1") | 0x8000) +
                       "\nPHYS /dev/ttyS1/input1\nCREATE c\n";
    EXPECT_EQ(log(), made);
    EXPECT_EQ(SandboxReadFile(sb, "/run/quilmod/output-" + hex4(PortProduct("/dev/ttyS1"))), "WL_OUTPUT=HDMI-A-1\n");
    // The companion pointer too: a right-button touch lands on the panel's monitor.
    EXPECT_EQ(SandboxReadFile(sb, "/run/quilmod/output-" + hex4(PortProduct("/dev/ttyS1") | 0x8000)),
              "WL_OUTPUT=HDMI-A-1\n");
    // The default calibration puts 512,384 at pixel 513,385 of 1024x768: unit 513*16+8.
    SendToPort(*port, Packet(DOWN, 512, 384));
    ASSERT_TRUE(WaitLog("m:T1"));  // the lift in a read of its own
    SendToPort(*port, Packet(LIFT, 512, 384));
    EXPECT_EQ(Hex(ReadBytes(sb.dat[0], 10)), Hex(Frame(0x81, 513, 385)) + " " + Hex(Frame(0x80, 513, 385)));
    ASSERT_TRUE(WaitLog("m:ID-1"));
    // The lift where the touch is: what the kernel holds already is not written again.
    EXPECT_EQ(log(), made + "m:ID0 m:MX8216 m:MY6168 m:T1 m:X8216 m:Y6168 m:SYN\nm:ID-1 m:T0 m:SYN\n");
    // Pulled out mid-touch: the touch ends, then both devices go.
    SendToPort(*port, Packet(DOWN, 51, 38));
    ASSERT_TRUE(WaitLog("m:ID1"));
    close(port->master);
    close(port->slave);
    port->master = port->slave = -1;
    ASSERT_TRUE(WaitLine(sb, "Device removed: /dev/ttyS1"));
    ASSERT_TRUE(WaitLog("DESTROY c"));
    std::string after = log().substr(made.size());
    EXPECT_NE(after.find("m:ID-1 m:T0 m:SYN\nDESTROY m\nDESTROY c\n"), std::string::npos) << after;
    Sync(sb);  // the status file is written once the devices are gone
    EXPECT_EQ(SandboxReadFile(sb, "/run/quilmod/devices"), "");
    // Back under the same name: the same device again.
    SandboxWriteFile(sb, "/uinput.log", "");
    port = &SandboxAddPort(sb, "/dev/ttyS1");
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitLog("CREATE c"));
    Sync(sb);
    EXPECT_EQ(log(), made);
    EXPECT_EQ(SandboxReadFile(sb, "/run/quilmod/devices"),
              "/dev/ttyS1\tquilmod ttyS1\t" + id + "\t1024x768\t256x192\tHDMI-A-1\ttouch\n");
}

TEST_F(DevicesTest, AResetThatChangesNothingKeepsTheDevice)
{
    StartRecorded("/dev/ttyS1 size=256x192");
    ASSERT_TRUE(WaitLog("CREATE c"));
    SandboxWriteFile(sb, "/uinput.log", "");
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitReads(2));
    Sync(sb);
    EXPECT_EQ(log(), "");
    // Now the pointer: the touchscreen and its companion go, one pointer comes.
    SandboxWriteConfig(sb, {"/dev/ttyS1 size=256x192"}, "InputDevice = pointer\n");
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitLog("CREATE m"));
    Sync(sb);
    EXPECT_EQ(log(), "DESTROY m\nDESTROY c\nSETUP quilmod ttyS1 7175:" + hex4(PortProduct("/dev/ttyS1")) +
                         "\nPHYS /dev/ttyS1/input0\nCREATE m\n");
}

// A long press made right on a new device: the companion moves alone, its press and the release
// follow whole, in their own writes; the next right touch is pressed at once. The pipes carry
// the right frames as ever.
TEST_F(DevicesTest, ANewCompanionMovesBeforeItsFirstPressAndLaterOnesAreImmediate)
{
    StartRecorded("/dev/ttyS1 size=256x192", "RightClickHold = 300\n");
    ASSERT_TRUE(WaitLog("CREATE c"));
    SandboxWriteFile(sb, "/uinput.log", "");
    for (int x : {512, 100}) {
        SendToPort(*port, Packet(DOWN, x, 384));  // stays put: a right click once its time is up
        EXPECT_EQ(Hex(ReadBytes(sb.dat[0], 5)), Hex(Frame(0xA1, x + 1, 385))) << x;
        SendToPort(*port, Packet(LIFT, x, 384));
        EXPECT_EQ(Hex(ReadBytes(sb.dat[0], 5)), Hex(Frame(0xA0, x + 1, 385))) << x;
        ASSERT_TRUE(WaitLog(x == 512 ? "c:R0" : "c:R1 c:SYN\nc:R0"));
    }
    // The first release may have come while the press waited: then it follows it in its write.
    std::string got = log();
    size_t lift = got.find("c:R1 c:SYN c:R0");
    if (lift != std::string::npos)
        got.replace(lift, 15, "c:R1 c:SYN\nc:R0");
    EXPECT_EQ(got, "c:X8215 c:X8216 c:Y6168 c:SYN\nc:R1 c:SYN\nc:R0 c:SYN\n"
                   "c:X1623 c:X1624 c:SYN c:R1 c:SYN\nc:R0 c:SYN\n");  // Y stayed
}

TEST_F(DevicesTest, WithoutUinputItIsSaidOnceAndThePipesServeAsBefore)
{
    port = &SandboxAddPort(sb, "/dev/ttyS1");
    SandboxWriteConfig(sb, {"/dev/ttyS1 output=HDMI-A-1 bogus size=0x1"});
    SandboxStart(sb);
    EXPECT_TRUE(WaitLine(sb, "Port /dev/ttyS1: option \"bogus\" ignored: not KEY=VALUE"));
    EXPECT_TRUE(WaitLine(sb, "cannot open /dev/uinput: it does not exist"));
    SendToPort(*port, Packet(DOWN, 512, 384));
    EXPECT_EQ(Hex(ReadBytes(sb.dat[0], 5)), Hex(Frame(0x81, 513, 385)));
    EXPECT_EQ(Hex(ReadBytes(sb.dat[1], 5)), Hex(Frame(0x81, 513, 385)));
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitReads(2));
    Sync(sb);
    EXPECT_EQ(CountLines(sb, "cannot open /dev/uinput"), 1);
}

// An EDID base block of a 527x296 mm monitor "GSM" 0x5b11 named "LG TEST", serial 0x01020304.
std::string test_edid()
{
    std::string b(128, '\0');
    const unsigned char head[] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x1E, 0x6D, 0x11, 0x5B, 4, 3, 2, 1};
    for (size_t i = 0; i < sizeof head; i++)
        b[i] = (char)head[i];
    b[0x15] = 53, b[0x16] = 30;
    b[54] = 2, b[55] = 0x3A, b[66] = 0x0F, b[67] = 0x28, b[68] = 0x21;  // 527 x 296 mm
    const char name[] = {0, 0, 0, (char)0xFC, 0, 'L', 'G', ' ', 'T', 'E', 'S', 'T', '\n', ' ', ' ', ' ', ' ', ' '};
    b.replace(72, sizeof name, name, sizeof name);
    unsigned sum = 0;
    for (int i = 0; i < 127; i++)
        sum += (unsigned char)b[i];
    b[127] = (char)((256 - sum % 256) % 256);
    return b;
}

// GNOME's own schema takes the printed line: its relocatable path, key and value type (a
// memory backend, so nothing of this machine's settings changes).
static void ExpectGsettingsTakes(const std::string &bindOut)
{
    constexpr const char *schema = "/usr/share/glib-2.0/schemas/org.gnome.desktop.peripherals.gschema.xml";
    if (access("/usr/bin/gsettings", X_OK) != 0 || access(schema, R_OK) != 0) {
        std::cerr << "gsettings or GNOME's peripherals schema missing (libglib2.0-bin, "
                     "gsettings-desktop-schemas): the GNOME line is not tried\n";
        return;
    }
    size_t at = bindOut.find("gsettings set ");
    ASSERT_NE(at, std::string::npos) << bindOut;
    std::string line = bindOut.substr(at, bindOut.find('\n', at) - at);
    std::string run = "GSETTINGS_BACKEND=memory " + line + " 2>&1";
    FILE *p = popen(run.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::array<char, 512> said{};
    size_t n = fread(said.data(), 1, said.size() - 1, p);
    EXPECT_EQ(pclose(p), 0) << line << ": " << std::string(said.data(), n);
}

// The monitor's EDID gives the size; quilmoctl finds the event node and prints each desktop's
// binding line from what the daemon made.
TEST_F(DevicesTest, StatusAndBindShowEachPanelsDeviceAndItsMonitor)
{
    WriteDeep(sb, "/sys/class/drm/card0-HDMI-A-1/edid", test_edid());
    StartRecorded("/dev/ttyS1 output=HDMI-A-1");
    ASSERT_TRUE(WaitLog("CREATE c"));
    Sync(sb);
    unsigned product = PortProduct("/dev/ttyS1");
    std::string id = hex4(product), dec = std::to_string(product), decc = std::to_string(product | 0x8000);
    WriteDeep(sb, "/sys/class/input/input9/id/vendor", "7175\n");
    WriteDeep(sb, "/sys/class/input/input9/id/product", id + "\n");
    WriteDeep(sb, "/sys/class/input/input9/name", "quilmod ttyS1\n");
    WriteDeep(sb, "/sys/class/input/input9/event9/dev", "13:73\n");
    CtlResult r = Ctl(sb, {"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n  input device /dev/input/event9: \"quilmod ttyS1\" 7175:" + id +
                         " (touch), 1024x768 px, 527x296 mm, output HDMI-A-1\n"),
              std::string::npos)
        << r.out;
    r = Ctl(sb, {"status", "--json"});
    EXPECT_NE(r.out.find(",\"input\":{\"event\":\"/dev/input/event9\",\"name\":\"quilmod ttyS1\",\"id\":\"7175:" + id +
                         "\",\"kind\":\"touch\",\"width\":1024,\"height\":768,\"width_mm\":527,\"height_mm\":296,"
                         "\"output\":\"HDMI-A-1\"}}"),
              std::string::npos)
        << r.out;
    r = Ctl(sb, {"bind"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "# /dev/ttyS1: \"quilmod ttyS1\" 7175:" + id + " on HDMI-A-1\n"
                     "# sway (its config, or swaymsg while it runs):\n"
                     "input \"29045:" + dec + ":quilmod_ttyS1\" map_to_output HDMI-A-1\n"
                     "input \"29045:" + decc + ":quilmod_ttyS1_(right_button)\" map_to_output HDMI-A-1\n"
                     "# GNOME (as the session's user):\n"
                     "gsettings set org.gnome.desktop.peripherals.touchscreen:/org/gnome/desktop/peripherals/"
                     "touchscreens/7175:" + id + "/ output \"['GSM', 'LG TEST', '0x01020304']\"\n"
                     "# KDE Plasma (as the session's user; KWin also binds by the monitor's size):\n"
                     "dbus-send --session --print-reply --dest=org.kde.KWin /org/kde/KWin/InputDevice/event9 "
                     "org.freedesktop.DBus.Properties.Set string:org.kde.KWin.InputDevice string:outputName "
                     "variant:string:HDMI-A-1\n"
                     "# X with the libinput driver (the modesetting driver's output name; xrandr lists them):\n"
                     "xinput map-to-output \"quilmod ttyS1\" HDMI-1\n"
                     "xinput map-to-output \"quilmod ttyS1 (right button)\" HDMI-1\n"
                     "# weston: nothing to do; the udev rule gives the device WL_OUTPUT=HDMI-A-1\n");
    ExpectGsettingsTakes(r.out);
    r = Ctl(sb, {"bind", "sway"});
    EXPECT_EQ(r.out.find("gsettings"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("map_to_output"), std::string::npos) << r.out;
    r = Ctl(sb, {"bind", "amiga"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "quilmoctl: bind: 'amiga' is not sway, gnome, kde, x11 or weston\n");
}

// What a status file may hold: lines that do not parse are left out, whatever they hold.
TEST_F(DevicesTest, BindSkipsStatusLinesThatDoNotParse)
{
    WriteDeep(sb, "/run/quilmod/devices",
                     "/dev/ttyS1\tquilmod ttyS1\t7175:0001\t800x600\t0x0\t-\ttouch\n"
                     "/dev/ttyS2\tquilmod ttyS2\t7175:0002\t800x600\t0x0\tDP-1\tpointer\n"
                     "/dev/ttyS3\tquilmod ttyS3\t7175:0003\t800x600\t0x0\t$(reboot)\ttouch\n"
                     "/dev/ttyS4\tquilmod ttyS4\tzz:0004\t800x600\t0x0\tDP-1\ttouch\n"
                     "/dev/ttyS5\tquilmod ttyS5\t7175:0005\t800x600\t0x0\tDP-1\n"
                     "/dev/ttyS6\tquilmod \"x\"\t7175:0006\t800x600\t0x0\tDP-1\tmouse\n"
                     "garbage\n\n");
    CtlResult r = Ctl(sb, {"bind", "x11"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "# /dev/ttyS1: \"quilmod ttyS1\": no output= on its Port line, nothing to bind\n"
                     "# /dev/ttyS2: \"quilmod ttyS2\" 7175:0002 on DP-1\n"
                     "# X with the libinput driver (the modesetting driver's output name; xrandr lists them):\n"
                     "xinput map-to-output \"quilmod ttyS2\" DP-1\n");
    SandboxWriteFile(sb, "/run/quilmod/devices", "");
    r = Ctl(sb, {"bind"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quilmoctl: bind: quilmod has no input devices (see quilmoctl status)\n");
}

}  // namespace
