// The right-click tool on a real X server: started by the daemon or on its own, clicked with
// XTest (xdotool) or touched through the daemon and quilmoinput, its window and colours read
// back from the server; its settings, lock file, command FIFO, idle wake-ups, send and its end.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "childproc.h"
#include "fixture.h"
#include "simhelp.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84;
const std::string PORT = "/dev/ttyS0";
const std::string TOOL = "/usr/local/Qelvanto/diag/rbutton.tcl";
const std::string IMAGES = "/usr/local/Qelvanto/image/";
const std::string ARMED = "FF8C00", PLAIN = "E4E4E4";  // the whole button's colour in each state

// The tool's sources, beside this file's directory.
std::string tool_source(const std::string &name)
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tools/rbutton/" + name;
}

std::string read_whole(const std::string &path)
{
    return ReadWholeFile(path);
}

std::string text_of(const Bytes &bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Standard output of a shell command line.
std::string run(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

class RButtonTest : public DaemonTest {
protected:
    int xvfb = -1;
    std::string display;

    void SetUp() override
    {
        DaemonTest::SetUp();
        for (const char *program : {"/usr/bin/wish", "/usr/bin/xdotool", "/usr/bin/xwd"})
            if (access(program, X_OK) != 0)
                GTEST_SKIP() << program << " is not installed (Debian packages tk, xdotool, x11-apps)";
        if (run("command -v convert").empty())
            GTEST_SKIP() << "convert is not installed (Debian package imagemagick)";
        if ((xvfb = StartXvfb("640x480x24", &display)) < 0)
            GTEST_SKIP() << "Xvfb is not installed or did not start here";
        SandboxInstallRButton(sb);
        SandboxDisplay(sb, "/tmp/.X11-unix/X" + display);  // what the daemon waits for
        // The daemon asks env for display :0.0; this one hands the test's display on instead.
        SandboxWriteFile(sb, "/usr/bin/env",
                         "#!/bin/sh\n[ \"$1\" = DISPLAY=:0.0 ] || exit 2\nshift\n"
                         "exec /usr/bin/env DISPLAY=:" + display + " QUILMOD_RBUTTON_STATE=1 \"$@\"\n",
                         0755);
    }
    void TearDown() override
    {
        SimStop(tool);
        DaemonTest::TearDown();
        StopXvfb(xvfb);
    }

    std::string X(const std::string &command) { return run("DISPLAY=:" + display + " " + command + " 2>/dev/null"); }
    // The tool's window id while it is mapped, else "".
    std::string Window() { return X("xdotool search --onlyvisible --name '^rbutton$'"); }
    void Click(int button = 1)
    {
        std::string w;
        ASSERT_TRUE(Eventually([&] { return !(w = Window()).empty(); }));
        // The pointer must rest on the button before the click: a window that is still being
        // placed would otherwise move away from under it, and the click would land on the root.
        ASSERT_TRUE(Eventually([&] {
            X("xdotool mousemove --window " + w + " 24 30");
            auto [x, y, width, height] = Geometry();
            return X("xdotool getmouselocation --shell | head -2 | tr '\\n' ' '") ==
                   "X=" + std::to_string(x + 24) + " Y=" + std::to_string(y + 30) + " ";
        }));
        X("xdotool click " + std::to_string(button));
    }
    // The window's place and size: "X Y WIDTH HEIGHT".
    std::array<int, 4> Geometry()
    {
        std::array<int, 4> g{};
        std::string text = X("xdotool getwindowgeometry --shell " + Window());
        for (auto [key, i] : {std::pair{"X=", 0}, {"Y=", 1}, {"WIDTH=", 2}, {"HEIGHT=", 3}}) {
            size_t at = text.find(key);
            g[i] = at == std::string::npos ? -1 : atoi(text.c_str() + at + strlen(key));
        }
        return g;
    }
    // The screen's colours at the points, read back from the server, as "RRGGBB RRGGBB...".
    std::string Pixels(const std::vector<std::array<int, 2>> &points)
    {
        std::string format;
        for (auto [x, y] : points)
            format += (format.empty() ? "%[hex:p{" : " %[hex:p{") + std::to_string(x) + "," + std::to_string(y) + "}]";
        return X("xwd -silent -root | convert xwd:- -format '" + format + "' info:");
    }
    // "armed" or "plain" when at least half the window shows that state's colour, else "unclear".
    std::string Look()
    {
        auto [x, y, w, h] = Geometry();
        if (w <= 0 || h <= 0)
            return "no window";
        std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
                               std::to_string(y);
        std::string histogram = X("xwd -silent -root | convert xwd:- -crop " + geometry +
                                  " +repage -format %c histogram:info:");
        for (auto [colour, name] : {std::pair{ARMED, "armed"}, {PLAIN, "plain"}}) {
            size_t at = histogram.find("#" + colour);
            size_t line = at == std::string::npos ? at : histogram.rfind('\n', at);
            long count = at == std::string::npos ? 0 : atol(histogram.c_str() + (line == std::string::npos ? 0 : line + 1));
            if (count * 2 >= (long)w * h)
                return name;
        }
        return "unclear";
    }
    // Whether the button comes to look so (Tk draws when idle).
    bool Looks(const std::string &state)
    {
        return Eventually([&] { return Look() == state; });
    }

    // Ends the daemon, and with it its tool.
    void EndDaemon()
    {
        Command(sb, "[7179]x");
        ASSERT_TRUE(SandboxWaitExit(sb));
        EXPECT_TRUE(Eventually([&] { return Window().empty() && !SandboxExists(sb, "/tmp/rclick.lock"); }));
    }

    // The tool on its own, its standard streams ours.
    SimProc tool;
    void StartTool(const std::string &ppid, const std::string &on = "1",
                   const std::vector<std::string> &more = {})
    {
        std::vector<std::string> args = {"DISPLAY=:" + display, "QUILMOD_ROOT=" + sb.root, "QUILMOD_RBUTTON_STATE=1",
                                         SandboxPath(sb, TOOL), SandboxPath(sb, IMAGES + "lbutton.gif"),
                                         SandboxPath(sb, IMAGES + "rbutton.gif"), ppid, on, "0"};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_TRUE(SimStart(tool, "/usr/bin/env", args));
    }
    // The tool on its own, switched on, with a live process as its daemon.
    void StartShown()
    {
        StartTool(std::to_string(getpid()));
        ExpectState("plain withdrawn 0");
        ExpectState("plain mapped 0");
    }
    // The next state line is exactly "rbutton: state " + state.
    void ExpectState(const std::string &state)
    {
        std::string line;
        EXPECT_TRUE(SimWaitFor(tool, "rbutton: state", WAIT_MS, &line));
        EXPECT_EQ(line, "rbutton: state " + state);
    }
    // Ends the tool by closing its input; its exit status.
    int EndTool()
    {
        SimCloseInput(tool);
        int status = SimWait(tool, WAIT_MS);
        EXPECT_TRUE(WIFEXITED(status)) << status;
        return WEXITSTATUS(status);
    }
};

}  // namespace

TEST_F(RButtonTest, DaemonShowsHidesAndTellsTheModeToItsTool)
{
    SandboxWriteConfig(sb, {}, "RClickTool = 1\n");
    SandboxStart(sb);
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));
    EXPECT_TRUE(Eventually([&] { return !Window().empty(); }));
    EXPECT_TRUE(Looks("plain"));
    std::string ctl = "QUILMOD_ROOT=" + sb.root + " " QUILMOD_BIN_DIR "/quilmoctl ";
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"rclick off", "plain withdrawn 0"},
        {"rclick on", "plain mapped 0"},
        {"mode desktop", "plain mapped 1"},
        {"mode drawing", "plain mapped 0"},
    };
    for (const auto &[command, state] : steps) {
        EXPECT_EQ(system((ctl + command).c_str()), 0) << command;
        EXPECT_TRUE(WaitLine(sb, "rbutton: state " + state)) << command;
        EXPECT_EQ(Window().empty(), state.find("withdrawn") != std::string::npos) << command;
    }
}

TEST_F(RButtonTest, TheNextDaemonEndsALeftOverToolByItsLockFile)
{
    StartShown();
    SandboxWriteConfig(sb, {}, "RClickTool = 1\n");
    int leftover = tool.pid;
    SandboxStart(sb);
    int status = SimWait(tool, WAIT_MS);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));  // the lock is written before
    int pid = atoi(SandboxReadFile(sb, "/tmp/rclick.lock").c_str());
    EXPECT_TRUE(pid > 0 && pid != leftover) << pid;
}

TEST_F(RButtonTest, ClickMakesTheNextTouchARightButtonTouch)
{
    FakePort &port = SandboxAddPort(sb, PORT);
    SandboxWriteConfig(sb, {PORT}, "RClickTool = 1\n");
    SandboxStart(sb);
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));
    // Armed and touched: a right-button touch, then the left image again. Armed and taken
    // back: a left-button touch.
    const std::vector<std::pair<int, unsigned char>> cases = {{1, 0xA1}, {2, 0x81}};
    for (auto [clicks, flags] : cases) {
        for (int i = 0; i < clicks; i++) {
            Click();
            ASSERT_TRUE(WaitLine(sb, i ? "rbutton: state plain mapped 0" : "rbutton: state armed mapped 0"))
                << clicks << " " << i << " " << sb.log;
        }
        if (clicks == 1) {
            EXPECT_TRUE(Looks("armed"));
        }
        ASSERT_TRUE(WaitFifoDrained(sb, "/dev/qvcmdin"));
        Sync(sb);
        WriteBytes(port.master, Packet(DOWN, 100, 100));
        WriteBytes(port.master, Packet(LIFT, 100, 100));
        Bytes frames = ReadFrames(sb, 0, 2);
        ASSERT_EQ(frames.size(), 10u) << clicks;
        EXPECT_EQ(frames[0], flags) << clicks;
        EXPECT_EQ(frames[5], flags & ~1) << clicks;
        if (clicks == 1) {
            EXPECT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));
        }
        EXPECT_TRUE(Looks("plain"));
    }
}

TEST_F(RButtonTest, CommandsGoIntoTheFifoOnlyWhenItHasAReader)
{
    StartShown();
    const std::string fifo = SandboxPath(sb, "/dev/qvcmdin");
    struct Case {
        const char *setup;  // what /dev/qvcmdin is
        const char *error;
    } cases[] = {
        {"missing", "rbutton: /dev/qvcmdin is missing; the touch is ignored"},
        {"file", "rbutton: /dev/qvcmdin is not a FIFO; the touch is ignored"},
        {"fifo", "rbutton: nobody reads /dev/qvcmdin; the touch is ignored"},
    };
    for (const auto &c : cases) {
        unlink(fifo.c_str());
        if (std::string(c.setup) == "file")
            SandboxWriteFile(sb, "/dev/qvcmdin", "");
        if (std::string(c.setup) == "fifo") {
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        }
        Click();
        Click();  // reported once only
        if (std::string(c.setup) == "file") {
            EXPECT_EQ(SandboxReadFile(sb, "/dev/qvcmdin"), "");
        }
        std::string line;
        EXPECT_TRUE(SimWaitForError(tool, "rbutton:", WAIT_MS, &line));
        EXPECT_EQ(line, c.error);
    }
    // With a reader. Button 3 is the armed touch landing on the tool: it only ever disarms,
    // also when the daemon's OK for that touch came first.
    int reader = OpenFifo(sb, "/dev/qvcmdin", O_RDONLY);
    struct Step {
        const char *action;  // "1", "3": a click with that button; else a message
        const char *bytes;   // written into the FIFO
        const char *state;   // the state line it prints, "" for none
    } steps[] = {
        {"1", "[7177]x", "armed mapped 0"}, {"1", "[7189]x", "plain mapped 0"}, {"3", "", ""},
        {"1", "[7177]x", "armed mapped 0"}, {"3", "[7189]x", "plain mapped 0"}, {"1", "[7177]x", "armed mapped 0"},
        {"OK\n", "", "plain mapped 0"},    {"3", "", ""},                      {"1", "[7177]x", "armed mapped 0"},
    };
    for (const auto &step : steps) {
        std::string action = step.action;
        if (action.size() == 1)
            Click(std::stoi(action));
        else
            SimSend(tool, action);
        std::string bytes = step.bytes;
        EXPECT_EQ(text_of(ReadBytes(reader, bytes.size())), bytes) << action;
        if (*step.state)
            ExpectState(step.state);
    }
    EXPECT_EQ(Hex(ReadAvailable(reader)), "");
    close(reader);
    EXPECT_EQ(EndTool(), 0);
    EXPECT_EQ(tool.errBuf, "");
}

TEST_F(RButtonTest, MessagesAreWholeLinesAndTheRestIsIgnored)
{
    StartTool(std::to_string(getpid()), "0");
    ExpectState("plain withdrawn 0");
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"ON\n", "plain mapped 0"},
        {"on\nON2\n ON\nOFFF\n12\n3\n", "plain mapped 3"},
        {"OFF\n", "plain withdrawn 3"},
        {std::string(5000, 'x') + "ON\n4\n", "plain withdrawn 4"},
        {"O", ""},
        {"N\r\n", "plain mapped 4"},
        {"OK\n", "plain mapped 4"},  // not armed: nothing changes but the line
    };
    for (const auto &[input, state] : steps) {
        SimSend(tool, input);
        if (!state.empty())
            ExpectState(state);
    }
    // Hidden while armed: the right button is taken back first.
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0600), 0);
    int reader = OpenFifo(sb, "/dev/qvcmdin", O_RDONLY);
    Click();
    ExpectState("armed mapped 4");
    SimSend(tool, "OFF\n");
    ExpectState("plain mapped 4");
    ExpectState("plain withdrawn 4");
    EXPECT_EQ(text_of(ReadBytes(reader, 14)), "[7177]x[7189]x");
    close(reader);
}

TEST_F(RButtonTest, LockFileIsReplacedNeverFollowedAndRemovedOnlyWhileItIsOurs)
{
    const std::string lock = SandboxPath(sb, "/tmp/rclick.lock");
    const std::string target = SandboxPath(sb, "/tmp/target");
    struct Case {
        const char *planted;  // what /tmp/rclick.lock is before the tool starts
        bool takenOver;       // another tool writes its own pid while this one runs
    } cases[] = {{"link to a file", false}, {"link to a directory", false}, {"stale lock", false},
                 {"stale lock", true}};
    for (const auto &c : cases) {
        std::string planted = c.planted;
        unlink(lock.c_str());
        if (planted == "link to a file")
            SandboxWriteFile(sb, "/tmp/target", "precious\n");
        else if (planted == "link to a directory")
            mkdir(target.c_str(), 0755);
        if (planted == "stale lock")
            SandboxWriteFile(sb, "/tmp/rclick.lock", "1\n");
        else
            ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);

        StartTool(std::to_string(getpid()));
        ExpectState("plain withdrawn 0");
        ExpectState("plain mapped 0");
        struct stat st;
        ASSERT_EQ(lstat(lock.c_str(), &st), 0) << planted;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << planted;
        EXPECT_EQ(SandboxReadFile(sb, "/tmp/rclick.lock"), std::to_string(tool.pid) + "\n") << planted;
        if (planted == "link to a file") {
            EXPECT_EQ(SandboxReadFile(sb, "/tmp/target"), "precious\n");
        }
        if (planted == "link to a directory") {
            EXPECT_EQ(run("ls -A " + target), "");
        }
        if (c.takenOver)
            SandboxWriteFile(sb, "/tmp/rclick.lock", "4242\n");
        EXPECT_EQ(EndTool(), 0) << planted;
        EXPECT_EQ(SandboxExists(sb, "/tmp/rclick.lock"), c.takenOver) << planted;
        EXPECT_EQ(run("ls -A " + SandboxPath(sb, "/tmp") + " | grep -c rclick.lock."), "0") << "scratch left";
        run("rm -rf " + target);
    }
}

// Another user who plants names beside the lock cannot keep the tool from writing it: its scratch
// name is not one to guess. Here every name a pid-and-counter scheme would try for this tool's
// pid is taken before it starts (a shell holds the pid until it execs the tool in its place).
TEST_F(RButtonTest, PlantedScratchNamesBesideTheLockDenyNothing)
{
    std::vector<std::string> args = {"-c", "read -r go && exec \"$0\" \"$@\"", "/usr/bin/env",
                                     "DISPLAY=:" + display, "QUILMOD_ROOT=" + sb.root, "QUILMOD_RBUTTON_STATE=1",
                                     SandboxPath(sb, TOOL), SandboxPath(sb, IMAGES + "lbutton.gif"),
                                     SandboxPath(sb, IMAGES + "rbutton.gif"), std::to_string(getpid()), "1", "0"};
    ASSERT_TRUE(SimStart(tool, "/bin/sh", args));
    const std::string lock = SandboxPath(sb, "/tmp/rclick.lock");
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(mkdir((lock + "." + std::to_string(tool.pid) + "." + std::to_string(i)).c_str(), 0755), 0);
    ASSERT_TRUE(SimSend(tool, "go\n"));
    ExpectState("plain withdrawn 0");
    ExpectState("plain mapped 0");
    EXPECT_TRUE(Eventually([&] {
        return SandboxReadFile(sb, "/tmp/rclick.lock") == std::to_string(tool.pid) + "\n";
    }, WAIT_MS)) << "no lock written";
    EXPECT_EQ(EndTool(), 0);
}

// The daemon holds the other end of the tool's input: however the daemon ends, the tool ends
// with it, and in between it sleeps: not one wake-up while nothing happens.
TEST_F(RButtonTest, SleepsWhileIdleAndEndsWithTheDaemon)
{
    SandboxWriteConfig(sb, {}, "RClickTool = 1\n");
    for (int end : {SIGTERM, SIGKILL}) {
        SandboxStart(sb);
        ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));
        int pid = atoi(SandboxReadFile(sb, "/tmp/rclick.lock").c_str());
        ASSERT_GT(pid, 0);
        if (end == SIGTERM) {
            // Settled once two looks a while apart agree; then a few seconds of nothing.
            long before = -1;
            ASSERT_TRUE(Eventually([&] {
                long now = VoluntarySwitches(pid);
                bool same = now == before;
                before = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                return same;
            }));
            std::this_thread::sleep_for(std::chrono::seconds(3));
            EXPECT_EQ(VoluntarySwitches(pid) - before, 0) << "wake-ups while idle";
        }
        kill(sb.pid, end);
        ASSERT_TRUE(SandboxWaitExit(sb));
        EXPECT_TRUE(Eventually([&] { return ProcState(pid) == 0 || ProcState(pid) == 'Z'; }, WAIT_MS))
            << "the tool outlived the daemon (" << strsignal(end) << ")";
        EXPECT_FALSE(SandboxExists(sb, "/tmp/rclick.lock")) << strsignal(end);
    }
}

TEST_F(RButtonTest, BadArgumentsAreRefusedAndAMissingImageLeavesTheWord)
{
    struct Case {
        std::string pid, on;
        std::vector<std::string> more;
        std::string error;
        int status;  // -1: it runs
    } cases[] = {
        {"1234", "1", {"extra"}, "rbutton: usage: rbutton.tcl LEFT.gif RIGHT.gif DAEMON_PID ON(0|1) MODE(0-9)", 2},
        {"12x", "1", {}, "rbutton: '12x' is not a process id", 2},
        {"1", "1", {}, "rbutton: '1' is not a process id", 2},
        {std::to_string(getpid()), "yes", {}, "rbutton: the on flag 'yes' is neither 0 nor 1", 2},
        {std::to_string(getpid()), "1", {}, "rbutton: cannot read the image", -1},
    };
    for (const auto &c : cases) {
        if (c.status < 0)
            unlink(SandboxPath(sb, IMAGES + "lbutton.gif").c_str());
        StartTool(c.pid, c.on, c.more);
        std::string line;
        EXPECT_TRUE(SimWaitForError(tool, "rbutton:", WAIT_MS, &line));
        EXPECT_EQ(line.substr(0, c.error.size()), c.error);
        if (c.status >= 0) {
            int status = SimWait(tool, WAIT_MS);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << c.error;
        } else {
            ExpectState("plain withdrawn 0");
            ExpectState("plain mapped 0");
            EXPECT_EQ(EndTool(), 0);
        }
        SimStop(tool);
        tool.outBuf.clear();
        tool.errBuf.clear();
    }
}

TEST_F(RButtonTest, StaysOnTopAndMovesWithADragInsideTheScreen)
{
    StartShown();
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0600), 0);
    int reader = OpenFifo(sb, "/dev/qvcmdin", O_RDONLY);
    auto [x, y, w, h] = Geometry();
    ASSERT_EQ(x + w, 640 - 8);  // at the right edge
    struct Case {
        int dx, dy;              // the finger's way
        int expectX, expectY;    // where the window ends
    } cases[] = {
        {-100, 50, x - 100, y + 50},
        {1000, 1000, 640 - w, 480 - h},  // the finger stops at the screen's edge, the window inside
        {-1000, -1000, 0, 0},
        {3, 2, 0, 0},  // too short for a drag: a touch
    };
    for (const auto &c : cases) {
        X("xdotool mousemove --window " + Window() + " 24 30 mousedown 1 mousemove_relative -- " +
          std::to_string(c.dx) + " " + std::to_string(c.dy) + " mouseup 1");
        EXPECT_TRUE(Eventually([&] {
            auto g = Geometry();
            return g[0] == c.expectX && g[1] == c.expectY;
        })) << c.dx << "," << c.dy << ": " << Geometry()[0] << "," << Geometry()[1];
    }
    ExpectState("armed mapped 0");  // from the last touch only
    EXPECT_EQ(text_of(ReadAvailable(reader)), "[7177]x");
    close(reader);

    // A window opened over it is put below it.
    SimProc cover;
    ASSERT_TRUE(SimStart(cover, "/usr/bin/env", {"DISPLAY=:" + display, "/usr/bin/wish"}));
    std::string size = std::to_string(w + 10) + "x" + std::to_string(h + 10);
    SimSend(cover, "wm overrideredirect . 1\n. configure -background red\nwm geometry . " + size + "+0+0\n");
    EXPECT_TRUE(Eventually([&] { return Pixels({{w + 4, h + 4}}) == "FF0000"; }));  // it is there
    EXPECT_TRUE(Eventually([&] { return Pixels({{4, 4}, {w + 4, h + 4}}) == ARMED + " FF0000"; }));
    SimStop(cover);
}

TEST_F(RButtonTest, CommittedImagesAreWhatTheirScriptDraws)
{
    std::string dir = SandboxPath(sb, "/tmp");
    EXPECT_EQ(X("/usr/bin/wish " + tool_source("make-images.tcl") + " " + dir + " && echo drawn"), "drawn");
    for (const char *image : {"lbutton.gif", "rbutton.gif"}) {
        std::string drawn = read_whole(dir + "/" + image);
        EXPECT_FALSE(drawn.empty()) << image;
        EXPECT_EQ(drawn, read_whole(tool_source(image))) << image;
    }
}

// The tool runs as root on the desktop's display: another Tk program of that display must not
// run commands in it. A plain Tk program beside it shows that send works on this display.
TEST_F(RButtonTest, NoOtherClientOfTheDisplayCanRunCommandsInIt)
{
    StartShown();
    SimProc plain;
    SandboxWriteFile(sb, "/tmp/plain.tcl", "wm withdraw .\n");
    ASSERT_TRUE(SimStart(plain, "/usr/bin/env", {"DISPLAY=:" + display, "/usr/bin/wish", SandboxPath(sb, "/tmp/plain.tcl")}));
    const std::string owned = SandboxPath(sb, "/tmp/owned");
    SandboxWriteFile(sb, "/tmp/sender.tcl",
                     "for {set i 0} {$i < 200 && \"plain.tcl\" ni [winfo interps]} {incr i} { after 50 }\n"
                     "set out {}\n"
                     "foreach app {plain.tcl rbutton.tcl} {\n"
                     "    lappend out $app [catch {send $app [list exec touch " + owned + ".$app]}]\n"
                     "}\n"
                     "puts \"$out [expr {{rbutton.tcl} in [winfo interps]}]\"\n"
                     "exit\n");
    EXPECT_EQ(X("/usr/bin/wish " + SandboxPath(sb, "/tmp/sender.tcl")), "plain.tcl 0 rbutton.tcl 1 0");
    EXPECT_TRUE(SandboxExists(sb, "/tmp/owned.plain.tcl"));
    EXPECT_FALSE(SandboxExists(sb, "/tmp/owned.rbutton.tcl"));
    SimStop(plain);
}

// A full command FIFO takes no part of a command: the touch is ignored and said so once, the
// state stays, no descriptor stays open, and nothing arrives later once there is room.
TEST_F(RButtonTest, AFullCommandFifoTakesNothingAndLeaksNothing)
{
    StartShown();
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0600), 0);
    int reader = OpenFifo(sb, "/dev/qvcmdin", O_RDONLY);
    int filler = OpenFifo(sb, "/dev/qvcmdin", O_WRONLY);
    ASSERT_GE(filler, 0);
    std::string block(4096, '.');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    while (write(filler, ".", 1) > 0) {
    }
    close(filler);
    ASSERT_EQ(ReadBytes(reader, 3).size(), 3u);  // room for 3 bytes: less than a command
    Click();
    std::string line;
    EXPECT_TRUE(SimWaitForError(tool, "rbutton:", WAIT_MS, &line));
    EXPECT_EQ(line, "rbutton: /dev/qvcmdin is full; the touch is ignored");
    int fds = CountOpenFds(tool.pid);  // after the first touch: Tcl makes some of its own then
    for (int i = 0; i < 2; i++)
        Click();
    SimSend(tool, "5\n");  // no state line but this one: three touches changed nothing
    ExpectState("plain mapped 5");
    EXPECT_TRUE(Looks("plain"));
    EXPECT_EQ(CountOpenFds(tool.pid), fds) << run("ls -l /proc/" + std::to_string(tool.pid) + "/fd");

    Bytes drained;
    for (Bytes got; !(got = ReadAvailable(reader)).empty();)
        drained.insert(drained.end(), got.begin(), got.end());
    std::string late = text_of(drained);
    late.erase(0, std::min(late.size(), late.find_first_not_of('.')));
    EXPECT_EQ(late, "") << "a command came in part or late";
    Click();
    ExpectState("armed mapped 5");
    EXPECT_EQ(text_of(ReadBytes(reader, 7)), "[7177]x");
    EXPECT_EQ(Hex(ReadAvailable(reader)), "");
    close(reader);
    EXPECT_EQ(EndTool(), 0);
    EXPECT_FALSE(SimWaitForError(tool, "rbutton:", WAIT_MS, &line)) << "said again: " << line;
}

// The administrator's settings file: the size in millimetres of this screen (X knows its size)
// or in pixels, and every bad line named; the button is never smaller than what it shows.
TEST_F(RButtonTest, SettingsFileSizesTheButton)
{
    SandboxWriteFile(sb, "/tmp/size.tcl", "puts \"[winfo screenwidth .] [winfo screenheight .] [winfo screenmmwidth .]\"\nexit\n");
    std::string dims = X("/usr/bin/wish " + SandboxPath(sb, "/tmp/size.tcl"));
    int wpx = 0, hpx = 0, wmm = 0;
    ASSERT_EQ(sscanf(dims.c_str(), "%d %d %d", &wpx, &hpx, &wmm), 3) << dims;
    auto mm = [&](int n) { return (int)std::ceil(n * (double)wpx / wmm); };
    const std::string file = "/etc/quilmod-rbutton.conf";
    struct Case {
        const char *text;  // the file; "FIFO": a FIFO there; nullptr: none
        int side;          // 0: larger than 48, the image alone
        const char *error;
    } cases[] = {
        {nullptr, mm(20), ""},
        {"# a kiosk\n\nSize = 30 mm   # at arm's length\n", mm(30), ""},
        {"size=25MM\n", mm(25), ""},
        {"Size = 100 px\nSize = 90px\n", 90, ""},
        {"Size = 1000 px\n", hpx / 3, ""},
        {"Size = 5 mm\n", 0, ""},
        {"Size = 3 mm\n", mm(20), "rbutton: /etc/quilmod-rbutton.conf line 1: '3 mm' is not a size (5-100 mm or 24-1000 px); ignored"},
        {"\nSize = big\n", mm(20), "rbutton: /etc/quilmod-rbutton.conf line 2: 'big' is not a size"},
        {"Colour = red\n", mm(20), "rbutton: /etc/quilmod-rbutton.conf line 1: unknown setting 'Colour'; ignored"},
        {"Size 30\n", mm(20), "rbutton: /etc/quilmod-rbutton.conf line 1: not KEY = VALUE; ignored"},
        {"FIFO", mm(20), "rbutton: /etc/quilmod-rbutton.conf is not a regular file that can be read; it is ignored"},
    };
    for (const auto &c : cases) {
        std::string what = c.text ? c.text : "no file";
        unlink(SandboxPath(sb, file).c_str());
        if (what == "FIFO")
            ASSERT_EQ(mkfifo(SandboxPath(sb, file).c_str(), 0644), 0);
        else if (c.text)
            SandboxWriteFile(sb, file, c.text);
        StartShown();
        auto [x, y, w, h] = Geometry();
        if (c.side) {
            EXPECT_EQ(w, c.side) << what;
        } else {
            EXPECT_GT(w, 48) << what;
        }
        EXPECT_EQ(h, w) << what;
        EXPECT_EQ(EndTool(), 0) << what;
        std::string error = c.error, line;
        if (!SimWaitForError(tool, "rbutton:", WAIT_MS, &line))
            line.clear();
        EXPECT_EQ(line.substr(0, error.size()), error) << what;
        SimStop(tool);
        tool.outBuf.clear();
        tool.errBuf.clear();
    }
}

// In DESKTOP mode the daemon holds a touch's pointer still at first (for 18 frames while it
// stays within 45 pixels, whatever the time since the last touch). A touch that goes on past
// that is a drag and moves the button; one that ends within it moves nothing and, lasting
// longer than a tap, arms nothing. A tap arms, and a tap disarms. Touches come from a
// controller, through the daemon and quilmoinput onto the X screen.
TEST_F(RButtonTest, DesktopModeDragsMoveTheButtonAndOnlyTapsArmIt)
{
    const std::string input_bin = QUILMOD_BIN_DIR "/quilmoinput";
    if (access(input_bin.c_str(), X_OK) != 0)
        GTEST_SKIP() << "quilmoinput was not built (it needs libxtst-dev)";
    FakePort &port = SandboxAddPort(sb, PORT);
    SandboxWriteConfig(sb, {PORT}, "RClickTool = 1\nMouseMode = DESKTOP\n");
    SandboxStart(sb);
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 1"));
    close(sb.dat[0]);  // /dev/qvdat0 is quilmoinput's; the test reads the same frames from qvdat1
    sb.dat[0] = -1;
    SimProc input;
    ASSERT_TRUE(SimStart(input, "/usr/bin/env",
                         {"QUILMOD_ROOT=" + sb.root, input_bin, "--display", ":" + display, "--backend", "xtest"}));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: reading /dev/qvdat0", WAIT_MS));
    struct Case {
        const char *what;
        int still, moving;  // touch frames at the start, then on the way
        int dx, dy;         // the finger's way
        int stepMs;         // between two frames on the way
        bool moves;
        const char *look;
    } cases[] = {
        {"press, hold, move", 80, 40, -200, 100, 0, true, "plain"},
        {"a move that ends while the daemon holds the pointer", 0, 15, -40, 20, 50, false, "plain"},
        {"a tap", 0, 0, 0, 0, 0, false, "armed"},
        {"a tap again", 0, 0, 0, 0, 0, false, "plain"},
    };
    auto at = [](const Bytes &f, size_t i) { return std::array<int, 2>{f[i + 1] * 256 + f[i + 2], f[i + 3] * 256 + f[i + 4]}; };
    for (const auto &c : cases) {
        auto [x, y, w, h] = Geometry();
        int cx = x + w / 2, cy = y + h / 2, fx = cx, fy = cy;
        for (int i = 0; i <= c.still; i++)
            WriteBytes(port.master, Packet(DOWN, cx, cy));
        for (int i = 1; i <= c.moving; i++) {
            fx = cx + c.dx * i / c.moving;
            fy = cy + c.dy * i / c.moving;
            WriteBytes(port.master, Packet(DOWN, fx, fy));
            std::this_thread::sleep_for(std::chrono::milliseconds(c.stepMs));
        }
        WriteBytes(port.master, Packet(LIFT, fx, fy));
        size_t count = 2 + c.still + c.moving;
        Bytes frames = ReadFrames(sb, 1, count);
        ASSERT_EQ(frames.size(), 5 * count) << c.what;
        auto [x0, y0] = at(frames, 0);
        auto [x1, y1] = at(frames, frames.size() - 5);
        int ex = c.moves ? x + x1 - x0 : x, ey = c.moves ? y + y1 - y0 : y;
        ASSERT_EQ(c.moves, x1 != x0) << c.what << ": the daemon let the pointer go at " << x1 << "," << y1;
        EXPECT_TRUE(Eventually([&] {
            auto g = Geometry();
            return g[0] == ex && g[1] == ey;
        }, WAIT_MS)) << c.what << ": at " << Geometry()[0] << "," << Geometry()[1] << ", not " << ex << "," << ey;
        EXPECT_TRUE(Looks(c.look)) << c.what << ": " << Look();
        ASSERT_TRUE(WaitFifoDrained(sb, "/dev/qvcmdin"));
        Sync(sb);
    }
    EXPECT_EQ(CountLines(sb, "rbutton: state armed"), 1);
    SimStop(input);
}

// However it is started, the button comes up near the right edge, a third down the screen,
// with no window manager to place it.
TEST_F(RButtonTest, ComesUpNearTheRightEdgeHoweverItIsStarted)
{
    std::string ctl = "QUILMOD_ROOT=" + sb.root + " " QUILMOD_BIN_DIR "/quilmoctl ";
    struct Case {
        const char *config;
        const char *started;  // the first tool's state once it is up
        const char *command;  // after the start, or ""
        const char *state;    // the state it ends in
    } cases[] = {
        {"RClickTool = 1\n", "plain mapped 0", "", "plain mapped 0"},
        {"RClickTool = 1\n", "plain mapped 0", "rclick new", "plain mapped 0"},  // shown, as configured
        {"RClickTool = 0\n", "plain withdrawn 0", "rclick on", "plain mapped 0"},
        {"RClickTool = 0\nMouseMode = DESKTOP\n", "plain withdrawn 1", "rclick new", "plain withdrawn 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.config) + c.command);
        SandboxWriteConfig(sb, {}, c.config);
        SandboxStart(sb);
        ASSERT_TRUE(WaitLine(sb, std::string("rbutton: state ") + c.started));
        if (c.command[0]) {
            EXPECT_EQ(system((ctl + c.command).c_str()), 0);
            ASSERT_TRUE(WaitLine(sb, std::string("rbutton: state ") + c.state));
        }
        if (std::string(c.state).find("mapped") != std::string::npos) {
            auto [x, y, w, h] = Geometry();
            EXPECT_EQ(x + w, 640 - 8);
            EXPECT_EQ(y, 480 / 3);
            EXPECT_EQ(w, h);
        } else {
            Sync(sb);
            EXPECT_EQ(Window(), "");
        }
        EndDaemon();
    }
}

// A window mapped over the button later, full-screen, with or without override-redirect:
// the button comes back on top, from the X server's word that it is covered.
TEST_F(RButtonTest, ComesBackOverALaterFullScreenWindow)
{
    StartShown();
    auto [x, y, w, h] = Geometry();
    for (auto [redirect, colour] : {std::pair{"1", "FF0000"}, {"0", "0000FF"}}) {
        SCOPED_TRACE(redirect);
        SimProc cover;
        ASSERT_TRUE(SimStart(cover, "/usr/bin/env", {"DISPLAY=:" + display, "/usr/bin/wish"}));
        SimSend(cover, std::string("wm overrideredirect . ") + redirect + "\n. configure -background #" + colour +
                           "\nwm geometry . 640x480+0+0\n");
        EXPECT_TRUE(Eventually([&] { return Pixels({{10, 10}}) == colour; })) << Pixels({{10, 10}});
        EXPECT_TRUE(Eventually([&] { return Pixels({{x + 4, y + 4}, {x - 4, y + 4}}) == PLAIN + " " + colour; }))
            << Pixels({{x + 4, y + 4}, {x - 4, y + 4}});
        SimStop(cover);
    }
}

// The daemon starts before any X server: the tool comes when the display's socket does, and
// again when a new server makes it anew after the tool ended with the old one.
TEST_F(RButtonTest, StartedWhenTheDisplayComesAfterTheDaemon)
{
    std::string server = "/tmp/.X11-unix/X" + display;
    for (bool withDir : {false, true}) {
        SCOPED_TRACE(withDir ? "socket directory there" : "no socket directory");
        unlink(SandboxPath(sb, DISPLAY_SOCKET).c_str());
        if (!withDir)
            rmdir(SandboxPath(sb, "/tmp/.X11-unix").c_str());
        SandboxWriteConfig(sb, {}, "RClickTool = 1\n");
        SandboxStart(sb);
        ASSERT_TRUE(WaitLine(sb, "right-click tool: no X display :0 yet; it starts when the display comes"));
        Command(sb, "[7178]x");  // a reset without a display says nothing more
        Sync(sb);
        SandboxDisplay(sb, server);
        ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));
        // The server goes away, and its tool with it; a new server makes its socket anew, after
        // the tool has ended or while it is still ending.
        for (bool endedFirst : {true, false}) {
            SCOPED_TRACE(endedFirst ? "the tool ended before" : "the tool still ending");
            int old = atoi(SandboxReadFile(sb, "/tmp/rclick.lock").c_str());
            ASSERT_GT(old, 0);
            auto end_tool = [&] {
                kill(old, SIGKILL);
                ASSERT_TRUE(Eventually([&] { return ProcState(old) == 'Z' || ProcState(old) == 0; }));
            };
            unlink(SandboxPath(sb, DISPLAY_SOCKET).c_str());
            if (endedFirst)
                end_tool();
            SandboxDisplay(sb, server);
            if (!endedFirst) {
                Sync(sb);  // two round trips: the socket's event is read in the first at the latest
                Sync(sb);
                end_tool();
            }
            ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0")) << sb.log;
            EXPECT_NE(atoi(SandboxReadFile(sb, "/tmp/rclick.lock").c_str()), old);
        }
        EXPECT_EQ(CountLines(sb, "no X display"), 1);
        EndDaemon();
    }
}

// Without its display the tool says so in one line, and ends.
TEST_F(RButtonTest, WithoutItsDisplayOneLineAndNoTrace)
{
    for (const char *shown : {"DISPLAY=:65000", "DISPLAY="}) {
        SimProc t;
        ASSERT_TRUE(SimStart(t, "/usr/bin/env", {shown, SandboxPath(sb, TOOL), SandboxPath(sb, IMAGES + "lbutton.gif"),
                                                 SandboxPath(sb, IMAGES + "rbutton.gif"), std::to_string(getpid()), "1",
                                                 "0"}));
        SimCloseInput(t);
        int status = SimWait(t, WAIT_MS);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << shown << " " << status;
        char buf[4096];
        ssize_t n = read(t.err, buf, sizeof buf);
        std::string err(buf, n > 0 ? static_cast<size_t>(n) : 0);
        EXPECT_EQ(Lines(err).size(), 1u) << err;
        EXPECT_EQ(err.rfind("rbutton: cannot reach X display ", 0), 0u) << err;
        EXPECT_NE(err.find("; quilmod starts the tool again when the display comes\n"), std::string::npos) << err;
        SimStop(t);
    }
}
