// quilmoinput against a real X server (Xvfb): frames written into the data pipe move the pointer
// and press buttons in a window that records them; the writer going away, a missing pipe, the
// whole road from a simulated controller, the uinput device, and bad command lines.
#include "inputhelp.h"

#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

namespace {

TEST_F(QuilmoinputTest, FramesMoveThePointerAndPressButtonsOneAndThree)
{
    StartX("640x480x24");
    StartInput();
    const struct {
        Bytes bytes;
        const char *line;     // what --verbose prints
        const char *pointer;  // where X then has it
        std::vector<std::string> buttons;
    } steps[] = {
        {Frame(0x81, 100, 200), "touch x=100 y=200", "100,200", {"press 1 at 100,200"}},
        {Frame(0x81, 150, 220), "touch x=150 y=220", "150,220", {}},
        {Frame(0x80, 150, 220), "release x=150 y=220", "150,220", {"release 1 at 150,220"}},
        {Frame(0xA1, 1000, 600), "touch right x=1000 y=600", "639,479", {"press 3 at 639,479"}},
        {Frame(0xA0, 1000, 600), "release right x=1000 y=600", "639,479", {"release 3 at 639,479"}},
        // A left touch whose flag turns right: the left press ends before the right one starts.
        {Frame(0x81, 10, 20), "touch x=10 y=20", "10,20", {"press 1 at 10,20"}},
        {Frame(0xA1, 30, 40), "touch right x=30 y=40", "30,40", {"release 1 at 10,20", "press 3 at 30,40"}},
        // flush integers between frames are skipped
        {Bytes{0, 0, 0, 0, 0xA0, 0, 30, 0, 40}, "release right x=30 y=40", "30,40", {"release 3 at 30,40"}},
        {Frame(0x80, 32767, 0), "release x=32767 y=0", "639,0", {}},
    };
    for (const auto &st : steps) {
        SCOPED_TRACE(st.line);
        Inject(st.bytes, st.line);
        EXPECT_EQ(Pointer(x), st.pointer);
        EXPECT_EQ(Buttons(x, st.buttons.size()), st.buttons);
    }
}

TEST_F(QuilmoinputTest, StoppingReleasesTheButtonThatIsDown)
{
    StartX("640x480x24");
    StartInput();
    Inject(Frame(0xA1, 50, 60), "touch right x=50 y=60");
    EXPECT_EQ(Buttons(x, 1), std::vector<std::string>{"press 3 at 50,60"});
    int status = SimStop(input);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Buttons(x, 1), std::vector<std::string>{"release 3 at 50,60"});
}

TEST_F(QuilmoinputTest, AWriterThatGoesAwayIsWaitedForWithoutSpinning)
{
    StartX("640x480x24");
    StartInput();
    Inject(Frame(0x81, 5, 6), "touch x=5 y=6");
    close(writer);  // the daemon ends
    writer = -1;
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: the writer of /dev/qvdat0 went away; waiting for the next",
                                WAIT_MS));
    ExpectIdle(input.pid);
    // The daemon stopped mid-touch: the button was let go where it was.
    EXPECT_EQ(Buttons(x, 2), (std::vector<std::string>{"press 1 at 5,6", "release 1 at 5,6"}));
    OpenWriter();  // the daemon is back
    Inject(Frame(0x80, 7, 8), "release x=7 y=8");
    EXPECT_EQ(Pointer(x), "7,8");
    EXPECT_EQ(PointerButtons(x), 0u);
}

TEST_F(QuilmoinputTest, AMissingPipeIsWaitedForAndAnnouncedOnce)
{
    StartX("640x480x24");
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--verbose"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: waiting for /dev/qvdat0 to appear", WAIT_MS));
    ExpectIdle(input.pid);
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
    std::string next;
    ASSERT_TRUE(SimReadLine(input.err, input.errBuf, WAIT_MS, next));
    EXPECT_EQ(next, "quilmoinput: reading /dev/qvdat0 into X display :" + display);  // said once only
    OpenWriter();
    Inject(Frame(0x81, 1, 2), "touch x=1 y=2");
    EXPECT_EQ(Pointer(x), "1,2");
}

TEST_F(QuilmoinputTest, FramesWaitingBeforeTheStartAreNotReplayed)
{
    StartX("640x480x24");
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
    writer = OpenFifo(sb, "/dev/qvdat0", O_RDWR);  // holds the frames of an earlier tap
    ASSERT_GE(writer, 0);
    WriteBytes(writer, Frame(0x81, 300, 300));
    WriteBytes(writer, Frame(0x80, 300, 300));
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--verbose"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0", WAIT_MS));
    Inject(Frame(0x81, 40, 50), "touch x=40 y=50");  // the first line is the new touch
    EXPECT_EQ(Buttons(x, 1), std::vector<std::string>{"press 1 at 40,50"});
}

TEST_F(QuilmoinputTest, ALostDisplayIsRetriedQuietlyAndFramesMeanwhileAreDropped)
{
    StartX("640x480x24");
    StartInput();
    Inject(Frame(0x81, 5, 6), "touch x=5 y=6");
    XWatchClose(&x);
    StopXvfb(xvfb);
    xvfb = -1;
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: X display :" + display + " went away; retrying every second",
                                WAIT_MS));
    WriteBytes(writer, Frame(0x80, 5, 6));  // nowhere to go: dropped, not printed
    ExpectIdle(input.pid);
    kill(input.pid, SIGTERM);
    EXPECT_EQ(SimWait(input, WAIT_MS), 0);
    std::string line;
    EXPECT_FALSE(SimReadLine(input.out, input.outBuf, WAIT_MS, line)) << line;  // end of output, no frame
}

TEST_F(QuilmoinputTest, AnXDisplayThatIsNotThereYetIsWaitedFor)
{
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
    ASSERT_TRUE(InputStart(sb, input, {"--backend", "xtest", "--display", ":65000"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: X display :65000 does not answer; retrying every second",
                                WAIT_MS));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0 into X display :65000", WAIT_MS));
    ExpectIdle(input.pid);
    EXPECT_EQ(SimStop(input), 0);
}

// The whole road: a tap on a simulated controller, through the daemon, clicks on the X screen
// where the daemon's calibrated frame says.
TEST_F(QuilmoinputTest, ASimulatedTapClicksWhereTheDaemonPutsIt)
{
    StartX("1024x768x24");
    SimProc sim;
    ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {SandboxPath(sb, "/dev/ttyS0")}));
    ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
    SandboxWriteConfig(sb, {"/dev/ttyS0"});
    SandboxStart(sb);
    close(sb.dat[0]);  // /dev/qvdat0 is quilmoinput's; the test reads the same frames from qvdat1
    sb.dat[0] = -1;
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--verbose"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0", WAIT_MS));
    SimSend(sim, "tap 512 384\n");
    Bytes frames = ReadFrames(sb, 1, 2);
    ASSERT_EQ(frames.size(), 10u) << Hex(frames);
    std::string at = std::to_string(frames[1] * 256 + frames[2]) + "," + std::to_string(frames[3] * 256 + frames[4]);
    std::string line;
    ASSERT_TRUE(SimReadLine(input.out, input.outBuf, WAIT_MS, line));
    ASSERT_TRUE(SimReadLine(input.out, input.outBuf, WAIT_MS, line));
    EXPECT_EQ(Pointer(x), at);
    EXPECT_EQ(Buttons(x, 2), (std::vector<std::string>{"press 1 at " + at, "release 1 at " + at}));
    SimStop(sim);
}

// The uinput backend went to the daemon, which makes each panel's device itself: while those
// devices exist, quilmoinput would inject every touch a second time, so it stands back (status 3,
// which the service does not restart on).
TEST_F(QuilmoinputTest, StandsBackWhileTheDaemonsDevicesCarryTheTouches)
{
    StartX("640x480x24");
    // A list left behind by a daemon that has ended says nothing.
    ASSERT_EQ(mkdir(SandboxPath(sb, "/run").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(SandboxPath(sb, "/run/quilmod").c_str(), 0755), 0);
    const std::string listed = "/dev/ttyS1\tquilmod ttyS1\t7175:0001\t640x480\t0x0\t-\ttouch\n";
    SandboxWriteFile(sb, "/run/quilmod/devices", listed);
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
    SimProc early;
    ASSERT_TRUE(InputStart(sb, early, {"--display", ":" + display}));
    EXPECT_TRUE(SimWaitForError(early, "quilmoinput: reading /dev/qvdat0 into X display", WAIT_MS));
    EXPECT_EQ(SimStop(early), 0);
    // The daemon runs, and its list names a device.
    SandboxWriteConfig(sb, {});
    SandboxStart(sb);
    SandboxWriteFile(sb, "/run/quilmod/devices", listed);
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display}));
    EXPECT_TRUE(SimWaitForError(input, "quilmoinput: quilmod's own input devices carry the touches already", WAIT_MS));
    int status = SimWait(input, WAIT_MS);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 3);
    // No devices (InputDevice = none, or no /dev/uinput): the bridge serves as before.
    SandboxWriteFile(sb, "/run/quilmod/devices", "");
    SimProc again;
    ASSERT_TRUE(InputStart(sb, again, {"--display", ":" + display}));
    EXPECT_TRUE(SimWaitForError(again, "quilmoinput: reading /dev/qvdat0 into X display", WAIT_MS));
    EXPECT_EQ(SimStop(again), 0);
}

TEST_F(QuilmoinputTest, BadCommandLinesAreRefusedClearly)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;  // the first line on standard error
    } cases[] = {
        {{"--screen", "0x768"}, 2, "quilmoinput: --screen: '0x768' is not WxH with sides from 1 to 32768"},
        {{"--screen", "1024x32769"}, 2, "quilmoinput: --screen: '1024x32769' is not WxH"},
        {{"--screen", "1024x"}, 2, "quilmoinput: --screen: '1024x' is not WxH"},
        {{"--screen", "x768"}, 2, "quilmoinput: --screen: 'x768' is not WxH"},
        {{"--screen", " 800x600"}, 2, "quilmoinput: --screen: ' 800x600' is not WxH"},
        {{"--backend", "wayland"}, 2, "quilmoinput: --backend: 'wayland' is not xtest or auto"},
        {{"--pipe", "dev/qvdat0"}, 2, "quilmoinput: --pipe: 'dev/qvdat0' is not an absolute path"},
        {{"--name", std::string(80, 'n')}, 2, "quilmoinput: unknown option '--name'"},
        {{"--device=touch"}, 2, "quilmoinput: unknown option '--device=touch'"},
        {{"--display"}, 2, "quilmoinput: --display needs a value"},
        {{"--frobnicate"}, 2, "quilmoinput: unknown option '--frobnicate'"},
        {{"--backend", "uinput", "--display", ":65000"}, 2,
         "quilmoinput: --backend: 'uinput' is gone: quilmod makes each panel's input device itself"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        SimProc p;
        ASSERT_TRUE(InputStart(sb, p, c.args));
        std::string line;
        EXPECT_TRUE(SimReadLine(p.err, p.errBuf, WAIT_MS, line));
        EXPECT_EQ(line.compare(0, strlen(c.message), c.message), 0) << line;
        int status = SimWait(p, WAIT_MS);
        EXPECT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        SimStop(p);
    }
}

// Something else at the pipe's path is said once and waited for without spinning (ending would
// only have the unit restart it every few seconds for ever); once a FIFO stands there, it serves.
TEST_F(QuilmoinputTest, APathThatIsNoFifoIsSaidOnceAndWaitedFor)
{
    StartX("640x480x24");
    SandboxWriteFile(sb, "/dev/qvdat1", "not a pipe\n");
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--pipe", "/dev/qvdat1"}));
    EXPECT_TRUE(SimWaitForError(input, "quilmoinput: /dev/qvdat1 is not a FIFO; waiting for it to become one",
                                WAIT_MS));
    ExpectIdle(input.pid);
    EXPECT_EQ(waitpid(input.pid, nullptr, WNOHANG), 0) << "it ended";
    ASSERT_EQ(unlink(SandboxPath(sb, "/dev/qvdat1").c_str()), 0);
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat1").c_str(), 0600), 0);
    writer = OpenFifo(sb, "/dev/qvdat1", O_WRONLY);
    ASSERT_TRUE(Eventually([&] {
        if (writer < 0)
            writer = OpenFifo(sb, "/dev/qvdat1", O_WRONLY);
        return writer >= 0;
    }, WAIT_MS)) << "it never opened the FIFO";
    // Only what comes after the drain at the open is injected: write once it says it reads.
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat1", WAIT_MS));
    WriteBytes(writer, Frame(0x81, 3, 4));
    EXPECT_TRUE(Eventually([&] { return Pointer(x) == "3,4"; }, WAIT_MS)) << Pointer(x);
    kill(input.pid, SIGTERM);
    EXPECT_EQ(SimWait(input, WAIT_MS), 0);
    for (std::string line; SimReadLine(input.err, input.errBuf, WAIT_MS, line);)
        EXPECT_EQ(line.find("is not a FIFO"), std::string::npos) << "said again: " << line;
}

// Two RandR monitors side by side on one screen: --output serves the right one only, the panel's
// range scaled onto it, and --list-outputs names both.
TEST_F(QuilmoinputTest, AnOutputTakesTheFramesOfItsPanel)
{
    if (access("/usr/bin/xrandr", X_OK) != 0)
        GTEST_SKIP() << "xrandr is not installed (Debian package x11-xserver-utils)";
    StartX("1664x768x24");
    std::string env = "DISPLAY=:" + display + " /usr/bin/xrandr";
    ASSERT_EQ(system((env + " --setmonitor LEFT 1024/270x768/200+0+0 none").c_str()), 0);
    ASSERT_EQ(system((env + " --setmonitor RIGHT 640/170x480/130+1024+0 none").c_str()), 0);
    SimProc list;
    ASSERT_TRUE(InputStart(sb, list, {"--display", ":" + display, "--list-outputs"}));
    std::string all, line;
    while (SimReadLine(list.out, list.outBuf, WAIT_MS, line))
        all += line + "\n";
    EXPECT_NE(all.find("LEFT 1024x768+0+0 rotation 0 270x200 mm\n"), std::string::npos) << all;
    EXPECT_NE(all.find("RIGHT 640x480+1024+0 rotation 0 170x130 mm\n"), std::string::npos) << all;
    EXPECT_EQ(SimWait(list, WAIT_MS), 0);

    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--output", "RIGHT", "--screen", "1024x768",
                                       "--verbose"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0 into X display :" + display +
                                           ", output RIGHT", WAIT_MS));
    OpenWriter();
    Inject(Frame(0x81, 512, 384), "touch x=512 y=384");
    EXPECT_EQ(Pointer(x), "1344,240");
    Inject(Frame(0x80, 1023, 767), "release x=1023 y=767");
    EXPECT_EQ(Buttons(x, 2), (std::vector<std::string>{"press 1 at 1344,240", "release 1 at 1663,479"}));

    // Without --screen the panel was calibrated on that monitor (quilmocal --output writes its
    // size): frames are its pixels, one to one, not a guessed 1024x768 stretched over it.
    EXPECT_EQ(SimStop(input), 0);
    close(writer);
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--output", "RIGHT", "--verbose"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0", WAIT_MS));
    OpenWriter();
    Inject(Frame(0x81, 100, 200), "touch x=100 y=200");
    EXPECT_EQ(Pointer(x), "1124,200");
    Inject(Frame(0x81, 639, 479), "touch x=639 y=479");
    EXPECT_EQ(Pointer(x), "1663,479");

    SimProc bad;
    ASSERT_TRUE(InputStart(sb, bad, {"--display", ":" + display, "--output", "MIDDLE"}));
    EXPECT_TRUE(SimWaitForError(bad, "quilmoinput: X display :" + display + " has no monitor or output MIDDLE",
                                WAIT_MS));
    int status = SimWait(bad, WAIT_MS);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST_F(QuilmoinputTest, HideCursorHidesWhileThePanelIsUsedAndShowsForAnotherPointer)
{
    StartX("640x480x24");
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvdat0").c_str(), 0600), 0);
    ASSERT_TRUE(InputStart(sb, input, {"--display", ":" + display, "--hide-cursor", "--verbose"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0", WAIT_MS));
    OpenWriter();
    WriteBytes(writer, Frame(0x81, 10, 10));
    std::string line;
    ASSERT_TRUE(SimReadLine(input.out, input.outBuf, WAIT_MS, line));
    EXPECT_EQ(line, "cursor hidden");
    Inject(Bytes(), "touch x=10 y=10");
    for (int i = 0; i < 20; i++)  // the panel's own drag keeps it hidden
        Inject(Frame(0x81, 20 + i, 30), "touch x=" + std::to_string(20 + i) + " y=30");
    Inject(Frame(0x80, 40, 30), "release x=40 y=30");
    OtherPointer other;
    ASSERT_TRUE(OtherPointerOpen(&other, display));
    // The mouse keeps moving: motion before quilmoinput has seen the new device is not its to see.
    int step = 0;
    ASSERT_TRUE(Eventually([&] {
        XTestFakeMotionEvent(other.d, 0, 300 + step++ % 2, 300, 0);
        XSync(other.d, False);
        return SimReadLine(input.out, input.outBuf, 20, line);
    }, WAIT_MS));
    EXPECT_EQ(line, "cursor shown");
    Inject(Frame(0x81, 50, 50), "cursor hidden");  // the next touch hides it again
    XCloseDisplay(other.d);
}

// A writer that opens and closes the pipe again and again is said once, and counted.
TEST_F(QuilmoinputTest, AWriterComingAndGoingIsSaidOncePerRun)
{
    StartX("640x480x24");
    StartInput();
    constexpr int ROUNDS = 200;
    if (EffortOf(input.pid).reads < 0)
        GTEST_SKIP() << "/proc/PID/io is not readable here";
    for (int i = 0; i < ROUNDS; i++) {
        long reads = EffortOf(input.pid).reads;
        close(writer);
        writer = -1;
        // Its next read is the end of file, unless this writer came before it opened the pipe
        // anew (such a writer leaving is no end of file for it): then the round is not counted.
        Eventually([&] { return EffortOf(input.pid).reads > reads && ProcState(input.pid) == 'S'; }, 200);
        // quilmoinput opens the pipe anew after each end of file; until then there is no reader
        ASSERT_TRUE(Eventually([&] {
            writer = open(SandboxPath(sb, "/dev/qvdat0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return writer >= 0;
        }, WAIT_MS));
    }
    // The last writer may have come in the moment quilmoinput let go of the pipe to open it anew:
    // its write then meets no reader (EPIPE), and a fresh writer comes, as the daemon's next would.
    const Bytes touch = Frame(0x81, 1, 1);
    ASSERT_TRUE(Eventually([&] {
        if (write(writer, touch.data(), touch.size()) == static_cast<ssize_t>(touch.size()))
            return true;
        if (writer >= 0)
            close(writer);
        writer = open(SandboxPath(sb, "/dev/qvdat0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return false;
    }, WAIT_MS)) << strerror(errno);
    std::string injected;
    ASSERT_TRUE(SimReadLine(input.out, input.outBuf, WAIT_MS, injected));
    EXPECT_EQ(injected, "touch x=1 y=1");
    kill(input.pid, SIGTERM);
    EXPECT_EQ(SimWait(input, WAIT_MS), 0);
    std::string line, all;
    int said = 0;
    while (SimReadLine(input.err, input.errBuf, WAIT_MS, line)) {
        said += line.find("went away") != std::string::npos;
        all += line + "\n";
    }
    EXPECT_EQ(said, 1) << all;
    size_t at = all.find("(the last message came ");
    ASSERT_NE(at, std::string::npos) << all;
    EXPECT_GE(atoi(all.c_str() + at + 23), ROUNDS / 2) << all;
}

}  // namespace
