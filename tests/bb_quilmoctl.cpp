// quilmoctl against the real daemon in the sandbox: settings, actions, watch, share, probe, bad input.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <list>

#include "ctlhelp.h"
#include "fixture.h"
#include "simhelp.h"

namespace {

int Pending(int fd)
{
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

bool WaitPending(int fd, int atLeast)
{
    long long deadline = SimNowMs() + WAIT_MS;
    while (Pending(fd) < atLeast && SimNowMs() < deadline)
        usleep(1000);
    return Pending(fd) >= atLeast;
}

// What watch prints for frames, worked out from the bytes on /dev/qvdat0.
std::string Describe(const Bytes &frames)
{
    std::string text;
    for (size_t at = 0; at + 5 <= frames.size(); at += 5) {
        const unsigned char *f = &frames[at];
        text += std::string(f[0] & 1 ? "touch" : "release") + (f[0] & 0x20 ? " right" : "") +
                " x=" + std::to_string(f[1] * 256 + f[2]) + " y=" + std::to_string(f[3] * 256 + f[4]) + "\n";
    }
    return text;
}

// Touch, move far away, lift; returns the three frames from /dev/qvdat0.
Bytes Stroke(Sandbox &sb, FakePort &port)
{
    WriteBytes(port.master, Packet(0x81, 100, 100));
    WriteBytes(port.master, Packet(0x81, 900, 700));
    WriteBytes(port.master, Packet(0x84, 900, 700));
    return ReadFrames(sb, 0, 3);
}

bool SamePosition(const Bytes &frames, size_t a, size_t b)
{
    return std::equal(frames.begin() + 5 * a + 1, frames.begin() + 5 * a + 5, frames.begin() + 5 * b + 1);
}

// The right-click tool's stand-in logs its start and every message it is sent, one log a process.
std::string FakeTool(const std::string &dir)
{
    return "#!/bin/sh\nlog=" + dir + "/tool.$$\necho \"start on=$6 mode=$7\" > $log\nexec cat >> $log\n";
}

// The logs of every tool started so far, sorted.
std::vector<std::string> ToolLogs(const Sandbox &sb)
{
    std::vector<std::string> logs;
    DIR *d = opendir(SandboxPath(sb, "/tmp").c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name).starts_with("tool."))
            logs.push_back(SandboxReadFile(sb, std::string("/tmp/") + e->d_name));
    if (d)
        closedir(d);
    std::sort(logs.begin(), logs.end());
    return logs;
}

}  // namespace

using QuilmoctlSettings = QuilmoctlTest;
using QuilmoctlWatch = QuilmoctlTest;
using QuilmoctlShare = QuilmoctlTest;
using QuilmoctlController = QuilmoctlTest;
using QuilmoctlBadInput = QuilmoctlTest;

TEST_F(QuilmoctlSettings, ModeIsSetAndReadBack)
{
    SandboxStart(sb);
    ExpectOk(Ctl(sb, {"mode"}), "DRAWING\n");
    ExpectOk(Ctl(sb, {"mode", "desktop"}));
    ExpectOk(Ctl(sb, {"mode"}), "DESKTOP\n");
    ExpectOk(Ctl(sb, {"dump"}));
    EXPECT_TRUE(WaitLine(sb, "Mode: DESKTOP")) << sb.log;
    ExpectOk(Ctl(sb, {"mode", "DRAWING"}));  // the configuration file's spelling
    ExpectOk(Ctl(sb, {"mode"}), "DRAWING\n");
    Command(sb, "[7180]5");
    ExpectOk(Ctl(sb, {"mode"}), "DESKTOP (5)\n");
}

TEST_F(QuilmoctlSettings, ResetRestoresTheConfigurationAndStopEndsTheDaemon)
{
    SandboxStart(sb);
    ExpectOk(Ctl(sb, {"mode", "desktop"}));
    ExpectOk(Ctl(sb, {"reset"}));
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode: DRAWING"));  // the start's load
    EXPECT_TRUE(WaitLine(sb, "***********ReadDataFromCfgFile***********"));  // the reset's
    ExpectOk(Ctl(sb, {"mode"}), "DRAWING\n");
    ExpectOk(Ctl(sb, {"stop"}));
    // It reported success only once the process had ended.
    ASSERT_TRUE(SandboxWaitExit(sb, 0));
    EXPECT_TRUE(WIFEXITED(sb.exitStatus) && WEXITSTATUS(sb.exitStatus) == 0);
    ExpectFailure(Ctl(sb, {"mode"}), 1, "quilmod is not running");
}

TEST_F(QuilmoctlSettings, ButtonsApplyToTheNextTouch)
{
    StartWithPort();
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    ExpectOk(Ctl(sb, {"right-button"}));
    WriteBytes(port.master, Packet(0x81, 51, 38));
    WriteBytes(port.master, Packet(0x84, 51, 38));
    EXPECT_EQ(Hex(ReadFrames(sb, 0, 2)), Hex(Frame(0xA1, 51, 38)) + " " + Hex(Frame(0xA0, 51, 38)));
    ExpectOk(Ctl(sb, {"right-button"}));
    ExpectOk(Ctl(sb, {"left-button"}));
    WriteBytes(port.master, Packet(0x81, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1)[0], 0x81);
}

TEST_F(QuilmoctlSettings, DblClickAreaDecidesWhetherAMoveIsHeld)
{
    StartWithPort("DblClickSpeed = 0\n");  // no drag delay
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    ExpectOk(Ctl(sb, {"mode", "desktop"}));
    ExpectOk(Ctl(sb, {"dblclick-area", "0"}));
    EXPECT_FALSE(SamePosition(Stroke(sb, port), 0, 1));
    ExpectOk(Ctl(sb, {"dblclick-area", "4095"}));
    EXPECT_TRUE(SamePosition(Stroke(sb, port), 0, 1));
}

TEST_F(QuilmoctlSettings, DragDelayHoldsTheFirstFrames)
{
    StartWithPort("DblClickSpeed = 0\n");
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    ExpectOk(Ctl(sb, {"mode", "desktop"}));
    ExpectOk(Ctl(sb, {"dblclick-area", "0"}));
    ExpectOk(Ctl(sb, {"drag-delay", "9"}));
    Bytes frames = Stroke(sb, port);  // the first touch: no double-click window to skip the delay
    EXPECT_TRUE(SamePosition(frames, 0, 1)) << Hex(frames);
    EXPECT_TRUE(SamePosition(frames, 0, 2)) << Hex(frames);
}

TEST_F(QuilmoctlSettings, FlushEmptiesBothDataPipes)
{
    StartWithPort();
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    for (int i = 0; i < 3; ++i)
        WriteBytes(port.master, Packet(0x81, 51, 38));
    ASSERT_TRUE(WaitPending(sb.dat[1], 15));
    ExpectOk(Ctl(sb, {"flush"}));
    Sync(sb);
    EXPECT_EQ(Pending(sb.dat[0]), 0);
    EXPECT_EQ(Pending(sb.dat[1]), 0);
}

TEST_F(QuilmoctlSettings, CursorModeDecidesWhatXsetrootIsAskedFor)
{
    std::string log = SandboxPath(sb, "/tmp/xsetroot.log");
    SandboxWriteFile(sb, "/usr/bin/xsetroot", "#!/bin/sh\necho \"$3\" >> " + log + "\n", 0755);
    StartWithPort("Cursor = Display\n");
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    ExpectOk(Ctl(sb, {"cursor", "none"}));
    WriteBytes(port.master, Packet(0x81, 51, 38));
    ReadFrames(sb, 0, 1);
    ExpectOk(Ctl(sb, {"cursor", "display"}));
    WriteBytes(port.master, Packet(0x84, 51, 38));
    ReadFrames(sb, 0, 1);
    // xsetroot runs beside the frame path: wait for both runs, then for anything late.
    long long deadline = SimNowMs() + WAIT_MS;
    auto runs = [&] {
        std::string text = SandboxReadFile(sb, "/tmp/xsetroot.log");
        return std::count(text.begin(), text.end(), '\n');
    };
    while (runs() < 2 && SimNowMs() < deadline)
        usleep(10000);
    Sync(sb);
    EXPECT_EQ(SandboxReadFile(sb, "/tmp/xsetroot.log"), "-cursor\n-cursor_name\n");
}

TEST_F(QuilmoctlSettings, RightClickToolIsStartedAndSwitched)
{
    SandboxWriteFile(sb, "/usr/bin/env", FakeTool(SandboxPath(sb, "/tmp")), 0755);
    SandboxDisplay(sb);
    SandboxStart(sb);  // starts a tool, switched off, in DRAWING mode
    ExpectOk(Ctl(sb, {"mode", "desktop"}));
    ExpectOk(Ctl(sb, {"rclick", "new"}));
    ExpectOk(Ctl(sb, {"rclick", "on"}));
    ExpectOk(Ctl(sb, {"rclick", "off"}));
    ExpectOk(Ctl(sb, {"rclick", "later"}));
    // The first tool hears of the mode; the new one gets the switching.
    const std::vector<std::string> want = {"start on=0 mode=0\n1\n", "start on=0 mode=1\nON\nOFF\nON\n"};
    long long deadline = SimNowMs() + WAIT_MS;
    while (ToolLogs(sb) != want && SimNowMs() < deadline)
        usleep(10000);
    EXPECT_EQ(ToolLogs(sb), want);
}

TEST_F(QuilmoctlSettings, ClosePortGivesThePortUp)
{
    StartWithPort();
    ExpectOk(Ctl(sb, {"close-port", "/dev/ttyS0"}));
    ExpectFailure(Ctl(sb, {"share", "/dev/ttyS0"}), 1, "did not share /dev/ttyS0");
}

TEST_F(QuilmoctlSettings, ConcurrentToolsEachGetTheirReply)
{
    SandboxStart(sb);
    std::array<SimProc, 4> runs;
    for (SimProc &p : runs)
        ASSERT_TRUE(CtlStart(sb, p, {"mode"}));
    for (SimProc &p : runs)
        ExpectOk(CtlFinish(p), "DRAWING\n");
}

TEST_F(QuilmoctlWatch, PrintsTheFramesOfATap)
{
    StartWithPort();
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    // Frames of a touch long past wait in the pipe: watch must not show them.
    int stale = OpenFifo(sb, "/dev/qvdat1", O_WRONLY);
    WriteBytes(stale, Frame(0x81, 7, 7));
    close(stale);
    SimProc &w = Background({"watch", "--count", "2"});
    ASSERT_TRUE(SimWaitForError(w, "quilmoctl: watching /dev/qvdat1", WAIT_MS));
    WriteBytes(port.master, Packet(0x81, 51, 38));
    WriteBytes(port.master, Packet(0x84, 51, 38));
    std::string want = Describe(ReadFrames(sb, 0, 2));
    EXPECT_EQ(want, "touch x=51 y=38\nrelease x=51 y=38\n");
    CtlResult r = CtlFinish(w);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want);
}

TEST_F(QuilmoctlWatch, ResynchronisesOnBytesThatStartNoFrame)
{
    SandboxStart(sb);
    SimProc &w = Background({"watch", "--count", "3"});
    ASSERT_TRUE(SimWaitForError(w, "quilmoctl: watching", WAIT_MS));
    int fd = OpenFifo(sb, "/dev/qvdat1", O_WRONLY);
    // flush's 4-byte integer, a frame, a stray byte, a right-button frame, a byte with bits no
    // frame head has, a release.
    Bytes bytes = {0x01, 0x00, 0x00, 0x00};
    for (const Bytes &part : {Frame(0x81, 300, 2), Bytes{0x7F}, Frame(0xA0, 1023, 767), Bytes{0x90},
                              Frame(0x80, 0, 0)})
        bytes.insert(bytes.end(), part.begin(), part.end());
    WriteBytes(fd, bytes);
    close(fd);
    CtlResult r = CtlFinish(w);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "touch x=300 y=2\nrelease right x=1023 y=767\nrelease x=0 y=0\n");
}

TEST_F(QuilmoctlWatch, EndsOnTerminationALostReaderAndTheTimeOut)
{
    SandboxStart(sb);
    SimProc &w = Background({"watch"});
    ASSERT_TRUE(SimWaitForError(w, "quilmoctl: watching", WAIT_MS));
    kill(w.pid, SIGTERM);
    CtlResult r = CtlFinish(w);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // A reader of its output that goes away (a pager quitting) ends it too, frames or not.
    SimProc &piped = Background({"watch"});
    ASSERT_TRUE(SimWaitForError(piped, "quilmoctl: watching", WAIT_MS));
    close(piped.out);
    piped.out = -1;
    r = CtlFinish(piped);
    EXPECT_EQ(r.status, 0) << r.err;
    r = Ctl(sb, {"watch", "--count", "1", "--timeout", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only 0 of 1 frames"), std::string::npos) << r.err;
}

TEST_F(QuilmoctlShareSim, ShowsTheControllersBytesAndForwardsInput)
{
    StartWithSimulator();
    SimProc &s = Background({"share", "--count", "8", "/dev/ttyS0"});
    ASSERT_TRUE(SimWaitForError(s, "quilmoctl: sharing /dev/ttyS0", WAIT_MS));
    // The identification request goes to the port; the controller's answer comes back.
    SimSend(s, std::string("Uoc\0\0\0\0\x27", 8));
    std::string rx;
    EXPECT_TRUE(SimWaitFor(sim, "rx", WAIT_MS, &rx));
    EXPECT_EQ(rx, "rx 55 6F 63 00 00 00 00 27");
    CtlResult r = CtlFinish(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "55 56 4F 52 54 41 4E 2F\n");  // no share-change zero byte in front
}

TEST_F(QuilmoctlShareSim, RawModeCopiesBytesUnchangedAndTheEndGivesThePortBack)
{
    StartWithSimulator();
    SimProc &s = Background({"share", "--raw", "/dev/ttyS0"});
    ASSERT_TRUE(SimWaitForError(s, "quilmoctl: sharing", WAIT_MS));
    SimSend(sim, "hex FF 55 0A 00\n");  // the daemon holds back short pieces unless they end in 00
    long long deadline = SimNowMs() + WAIT_MS;
    while (s.outBuf.size() < 4 && SimNowMs() < deadline) {
        struct pollfd p = {s.out, POLLIN, 0};
        char c[16];
        ssize_t n = poll(&p, 1, 50) > 0 ? read(s.out, c, sizeof c) : 0;
        if (n > 0)
            s.outBuf.append(c, static_cast<size_t>(n));
    }
    kill(s.pid, SIGTERM);
    CtlResult r = CtlFinish(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("\xFF\x55\x0A\x00", 4));
    // Sharing has ended: the frames of a tap come, its raw bytes no longer go to the share pipe.
    SimSend(sim, "tap 51 38\n");
    EXPECT_EQ(ReadFrames(sb, 0, 2).size(), 10u);
    EXPECT_EQ(Hex(ReadAvailable(sb.shrOut)), "");
}

TEST_F(QuilmoctlShare, UnknownPortIsAClearError)
{
    StartWithPort();
    ExpectFailure(Ctl(sb, {"share", "/dev/ttyS9"}), 1, "quilmod did not share /dev/ttyS9");
}

TEST_F(QuilmoctlShare, ADaemonThatEndsEndsTheSessionWithOneLine)
{
    StartWithPort();
    SimProc &s = Background({"share", "/dev/ttyS0"});
    ASSERT_TRUE(SimWaitForError(s, "quilmoctl: sharing /dev/ttyS0", WAIT_MS));
    kill(sb.pid, SIGKILL);
    ASSERT_TRUE(SandboxWaitExit(sb));
    CtlResult r = CtlFinish(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quilmoctl: quilmod ended\n");
}

TEST_F(QuilmoctlController, ProbeAndSendTalkToAControllerOnAFreePort)
{
    SimProc sim;
    ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {"--controller", SandboxPath(sb, "/dev/ttyUSB3")}));
    ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
    StartWithPort();  // the daemon holds /dev/ttyS0 only
    ExpectOk(Ctl(sb, {"probe", "/dev/ttyUSB3"}), "controller: yes\nidentification: VORTAN\nstatus: 61\n");
    ExpectOk(Ctl(sb, {"send", "/dev/ttyUSB3", "0"}), "reply: 55 61 00 00 00 00 00 B6\n");
    ExpectOk(Ctl(sb, {"send", "/dev/ttyUSB3", "7", "2"}), "reply: 55 4D 00 00 00 00 00 A2\n");
    SimStop(sim);
    ExpectFailure(Ctl(sb, {"probe", "/dev/ttyS0"}), 1, "/dev/ttyS0: held by quilmod");
}

TEST_F(QuilmoctlController, SilentPortsAndNonDevicesAreRefused)
{
    SandboxAddPort(sb, "/dev/ttyS1");  // a terminal with nobody answering
    ExpectFailure(Ctl(sb, {"probe", "/dev/ttyS1"}), 1, "no controller answered");
    SandboxWriteFile(sb, "/dev/ttyS2", "keep me");
    ExpectFailure(Ctl(sb, {"probe", "/dev/ttyS2"}), 1, "not a character device");
    EXPECT_EQ(SandboxReadFile(sb, "/dev/ttyS2"), "keep me");
    ExpectFailure(Ctl(sb, {"probe", "/dev/none"}), 1, "/dev/none: cannot open");
    ExpectFailure(Ctl(sb, {"send", "/dev/ttyS1", "1", "3"}), 2, "does not take the argument '3'");
    ExpectFailure(Ctl(sb, {"send", "/dev/ttyS1", "16"}), 2, "not a command number");
    ExpectFailure(Ctl(sb, {"probe", "ttyS1"}), 2, "no absolute device path");
}

TEST_F(QuilmoctlBadInput, UsageErrorsChangeNothing)
{
    SandboxStart(sb);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no subcommand"},
        {{"jump"}, "unknown subcommand 'jump'"},
        {{"mode", "sideways"}, "unknown value 'sideways'"},
        {{"mode", "desktop", "now"}, "too many arguments"},
        {{"sound", "loud"}, "unknown value 'loud'"},
        {{"sound"}, "missing argument"},
        {{"cursor", "1"}, "unknown value '1'"},
        {{"rclick", "maybe"}, "unknown value 'maybe'"},
        {{"drag-delay", "1001"}, "not a number from 0 to 1000"},
        {{"drag-delay", "-1"}, "not a number from 0 to 1000"},
        {{"drag-delay", "12x"}, "not a number"},
        {{"drag-delay", " 5"}, "not a number"},
        {{"drag-delay", "99999999999999999999"}, "not a number"},
        {{"dblclick-area", "4096"}, "not a number from 0 to 4095"},
        {{"dblclick-area", ""}, "not a number"},
        {{"watch", "--count", "0"}, "--count needs a number"},
        {{"watch", "--count"}, "--count needs a number"},
        {{"watch", "--raw"}, "unknown option '--raw'"},
        {{"share", "--timeout", "1s", "/dev/ttyS0"}, "--timeout needs a number"},
        {{"share", "/dev/tty S0"}, "is no device name"},
        {{"close-port", std::string(600, 'p')}, "is no device name"},
        {{"flush", "now"}, "too many arguments"},
    };
    for (const auto &[args, text] : cases)
        ExpectFailure(Ctl(sb, args), 2, text);
    ExpectOk(Ctl(sb, {"mode"}), "DRAWING\n");
    EXPECT_TRUE(SandboxAlive(sb));
    CtlResult help = Ctl(sb, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *name : {"mode", "drag-delay", "close-port", "share", "watch", "probe", "send"})
        EXPECT_NE(help.out.find(std::string("  ") + name), std::string::npos) << name;
    CtlResult subHelp = Ctl(sb, {"share", "--help"});
    EXPECT_EQ(subHelp.status, 0);
    EXPECT_EQ(subHelp.out.rfind("usage: quilmoctl share ", 0), 0u) << subHelp.out;
}

TEST_F(QuilmoctlBadInput, NoDaemonIsReportedNotWaitedFor)
{
    ExpectFailure(Ctl(sb, {"mode"}), 1, "/dev/qvcmdin is missing");
    SandboxStart(sb);
    kill(sb.pid, SIGKILL);
    ASSERT_TRUE(SandboxWaitExit(sb));
    // The FIFOs stay behind with nobody reading them.
    ExpectFailure(Ctl(sb, {"mode", "desktop"}), 1, "quilmod is not running");
    ExpectFailure(Ctl(sb, {"watch"}), 1, "quilmod is not running");
    ExpectFailure(Ctl(sb, {"share", "/dev/ttyS0"}), 1, "quilmod is not running");
}

TEST_F(QuilmoctlBadInput, FifosThatAreRegularFilesAreNeverUsed)
{
    SandboxStart(sb);
    unlink(SandboxPath(sb, "/dev/qvcmdout").c_str());
    SandboxWriteFile(sb, "/dev/qvcmdout", "M1\n");
    ExpectFailure(Ctl(sb, {"mode"}), 1, "/dev/qvcmdout is not a named pipe");
    unlink(SandboxPath(sb, "/dev/qvcmdin").c_str());
    SandboxWriteFile(sb, "/dev/qvcmdin", "");
    ExpectFailure(Ctl(sb, {"flush"}), 1, "/dev/qvcmdin is not a named pipe");
    EXPECT_EQ(SandboxReadFile(sb, "/dev/qvcmdin"), "");
}

TEST_F(QuilmoctlBadInput, StaleRepliesAreNotTakenForTheAnswer)
{
    SandboxStart(sb);
    ExpectOk(Ctl(sb, {"mode", "desktop"}));
    int fd = OpenFifo(sb, "/dev/qvcmdout", O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string junk = "M0\nSHROK\n";
    while (junk.size() < 60000)
        junk += "M0\ngarbage without end ";
    WriteBytes(fd, Bytes(junk.begin(), junk.end()));
    ExpectOk(Ctl(sb, {"mode"}), "DESKTOP\n");
    WriteBytes(fd, Bytes{'S', 'H', 'R', 'O', 'K', '\n'});
    ExpectFailure(Ctl(sb, {"share", "/dev/ttyS7"}), 1, "did not share /dev/ttyS7");
    close(fd);
}

TEST_F(QuilmoctlBadInput, ADaemonThatNeverAnswersIsAnErrorNotAHang)
{
    // Our own reader in the daemon's place: it takes commands and answers none.
    mkfifo(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0622);
    mkfifo(SandboxPath(sb, "/dev/qvcmdout").c_str(), 0644);
    int in = open(SandboxPath(sb, "/dev/qvcmdin").c_str(), O_RDWR | O_NONBLOCK);
    int out = open(SandboxPath(sb, "/dev/qvcmdout").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(in, 0);
    SimProc p;
    ASSERT_TRUE(CtlStart(sb, p, {"mode"}));
    Bytes got = ReadBytes(in, 8);
    EXPECT_EQ(std::string(got.begin(), got.end()), "[7192]x\n");
    CtlResult r = CtlFinish(p);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no reply from quilmod"), std::string::npos) << r.err;
    close(in);
    close(out);
}

TEST_F(QuilmoctlBadInput, ACommandNobodyTakesMayStillRunLater)
{
    // A reader that holds the command FIFO open and never reads: the command stays queued.
    mkfifo(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0622);
    int in = open(SandboxPath(sb, "/dev/qvcmdin").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(in, 0);
    ExpectFailure(Ctl(sb, {"flush"}), 1, "not take the command within 5 s; it may still carry it out later");
    Bytes queued = ReadAvailable(in);
    EXPECT_EQ(std::string(queued.begin(), queued.end()), "[7188]x\n");
    close(in);
}

TEST_F(QuilmoctlSettings, StopGoesByTheFifoWhenThePidFileNamesAnotherProgram)
{
    SandboxStart(sb);
    // A live process that is not quilmod, as a pid file left from a reboot can name.
    SimProc other;
    ASSERT_TRUE(SimStart(other, "/bin/sleep", {"60"}));
    SandboxWriteFile(sb, "/var/run/quilmod.pid", std::to_string(other.pid) + "\n");
    ExpectOk(Ctl(sb, {"stop"}));
    ASSERT_TRUE(SandboxWaitExit(sb, 0));
    EXPECT_EQ(kill(other.pid, 0), 0);  // looked at, never taken for the daemon
    SimStop(other);
}
