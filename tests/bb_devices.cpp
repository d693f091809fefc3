// Each port's input device under the real daemon, with the kernel's uinput recorded by a
// preloaded stand-in: made when the port opens, a tap's exact events, the touch released before
// a removed port's device goes, the same identity on re-plug; and pipes alone without uinput.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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
                      "UINPUTREC_LOG=" + SandboxPath(sb, "/uinput.log")};
        SandboxStart(sb);
    }
};

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
    // The default calibration puts 512,384 at pixel 513,385 of 1024x768: unit 513*16+8.
    SendToPort(*port, Packet(DOWN, 512, 384));
    SendToPort(*port, Packet(LIFT, 512, 384));
    EXPECT_EQ(Hex(ReadBytes(sb.dat[0], 10)), Hex(Frame(0x81, 513, 385)) + " " + Hex(Frame(0x80, 513, 385)));
    ASSERT_TRUE(WaitLog("m:ID-1"));
    EXPECT_EQ(log(), made + "m:ID0 m:MX8216 m:MY6168 m:T1 m:X8216 m:Y6168 m:SYN\n"
                            "m:MX8216 m:MY6168 m:X8216 m:Y6168 m:SYN m:ID-1 m:T0 m:SYN\n");
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

}  // namespace
