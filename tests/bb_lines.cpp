// Port lines: every terminal is set raw whatever its name, a removed port's descriptor is
// closed at once so its node can come back under the same name, and no port's open can hold
// the daemon up.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, TOUCH = 0x81;

// A pseudo-terminal whose both sides closed shows as "/dev/pts/N (deleted)" while still held.
bool holds(pid_t pid, const std::string &node)
{
    for (const auto &target : OpenFdTargets(pid))
        if (target == node || target == node + " (deleted)")
            return true;
    return false;
}

void expect_raw_9600_8n1(const FakePort &port)
{
    struct termios tio;
    ASSERT_EQ(tcgetattr(port.slave, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), (tcflag_t)CS8);
    EXPECT_EQ(cfgetispeed(&tio), (speed_t)B9600);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
}

void expect_touch_frames(Sandbox &sb, FakePort &port)
{
    SendToPort(port, Packet(DOWN, 512, 384));
    for (int pipe = 0; pipe < 2; pipe++) {
        Bytes got = ReadFrames(sb, pipe, 1);
        ASSERT_EQ(got.size(), 5u) << "no frame on /dev/qvdat" << pipe;
        EXPECT_EQ(got[0], TOUCH);
    }
}

using LineTest = DaemonTest;

// Cooked lines hold packet bytes back (no newline ever comes), so a frame proves the line raw.
TEST_F(LineTest, EveryTerminalIsSetRawWhateverItsName)
{
    for (const char *device : {"/dev/quilmo-usb0", "/dev/ttyUSB0", "/dev/Serial_Port_0"}) {
        SCOPED_TRACE(device);
        SandboxStop(sb);
        sb = Sandbox();
        SandboxCreate(sb);
        FakePort &port = SandboxAddPort(sb, device);
        SetPortCooked(port);
        SandboxWriteConfig(sb, {device});
        SandboxStart(sb);
        expect_raw_9600_8n1(port);
        expect_touch_frames(sb, port);
    }
}

// The kernel hands a node's number out again only once nobody holds the old one: the daemon
// lets go of a removed port at once, and a reset reopens the name when the device is back.
TEST_F(LineTest, RemovedPortIsClosedAtOnceAndAResetReopensItsName)
{
    const std::string device = "/dev/ttyUSB0";
    FakePort *port = &SandboxAddPort(sb, device);
    SandboxWriteConfig(sb, {device});
    SandboxStart(sb);
    const std::string node = PortNode(sb, device);
    ASSERT_TRUE(holds(sb.pid, node)) << node;
    close(port->master);
    close(port->slave);
    port->master = port->slave = -1;
    ASSERT_TRUE(WaitLine(sb, "Device removed: " + device));
    EXPECT_FALSE(holds(sb.pid, node)) << "the removed port " << node << " is still open";
    Sync(sb);  // the loop goes on without the port, and does not spin on it
    EXPECT_EQ(CountLines(sb, "Device removed"), 1);

    port = &SandboxAddPort(sb, device);  // plugged in again, under the same name
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitLine(sb, "Test " + device));
    Sync(sb);
    expect_touch_frames(sb, *port);
}

// A removed port whose descriptor is not the highest: the loop must stop selecting on it, or
// select fails on the closed descriptor for ever (no command is answered, the loop spins).
TEST_F(LineTest, RemovingAPortBelowTheHighestDescriptorKeepsTheLoopServing)
{
    SandboxAddPort(sb, "/dev/ttyUSB0");
    SandboxAddPort(sb, "/dev/ttyUSB1");
    FakePort *low = &SandboxPort(sb, "/dev/ttyUSB0");
    FakePort &high = SandboxPort(sb, "/dev/ttyUSB1");
    SandboxWriteConfig(sb, {"/dev/ttyUSB0", "/dev/ttyUSB1"});  // opened in this order: USB0 lower
    SandboxStart(sb);
    close(low->master);
    close(low->slave);
    low->master = low->slave = -1;
    ASSERT_TRUE(WaitLine(sb, "Device removed: /dev/ttyUSB0"));
    for (int round = 0; round < 3; round++) {
        Sync(sb);
        expect_touch_frames(sb, high);
    }
    EXPECT_EQ(CountLines(sb, "Device removed"), 1);
}

// An open that waits for carrier (a line whose CLOCAL an earlier user cleared) is simulated by
// a preloaded shim: the node's open hangs unless it is non-blocking. The daemon opens it, at
// start and at each reset, without waiting: commands are answered, taps on both ports flow,
// and the line ignores the modem lines from then on.
TEST_F(LineTest, APortWhoseOpenWouldWaitForCarrierHoldsNothingUp)
{
    const std::string shim = QUILMOD_BLOCKOPEN;
    ASSERT_EQ(access(shim.c_str(), R_OK), 0) << shim;
    SandboxAddPort(sb, "/dev/ttyS0");
    SandboxAddPort(sb, "/dev/ttyS1");
    FakePort &other = SandboxPort(sb, "/dev/ttyS0");  // looked up once both are made
    FakePort &waiting = SandboxPort(sb, "/dev/ttyS1");
    SandboxWriteConfig(sb, {"/dev/ttyS0", "/dev/ttyS1"});
    sb.wrapper = {"/usr/bin/env", "LD_PRELOAD=" + shim, "QUILMOD_BLOCK_OPEN=" + SandboxPath(sb, "/dev/ttyS1"),
                  PreloadAsanOptions()};
    for (const char *way : {"start", "SIGHUP", "reset command"}) {
        SCOPED_TRACE(way);
        if (way == std::string("start")) {
            SandboxStart(sb);  // returns once the mode query is answered
        } else {
            ReadOutput(sb, 0);
            sb.seen = sb.log.size();
            if (way == std::string("SIGHUP"))
                kill(sb.pid, SIGHUP);
            else
                Command(sb, "[7178]x");
            ASSERT_TRUE(WaitLine(sb, "Test /dev/ttyS1")) << sb.log;
            ASSERT_TRUE(WaitLine(sb, "Real Mouse Mode")) << sb.log;
        }
        EXPECT_EQ(ModeReply(sb), "0");
        expect_touch_frames(sb, other);
        expect_touch_frames(sb, waiting);
        struct termios tio;
        ASSERT_EQ(tcgetattr(waiting.slave, &tio), 0);
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    }
}

}  // namespace
