// The right-click tool on a real X server: started by the daemon or on its own, clicked with
// XTest (xdotool) or touched through the daemon and quilmoinput, its window and colours read
// back from the server; its settings, lock file, command FIFO, idle wake-ups, send and its end.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
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
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
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
        SandboxWriteFile(sb, TOOL, read_whole(tool_source("rbutton.tcl")), 0755);
        for (const char *image : {"lbutton.gif", "rbutton.gif"})
            SandboxWriteFile(sb, IMAGES + image, read_whole(tool_source(image)));
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

    // A window opened over it is put below it at the next look.
    SimProc cover;
    ASSERT_TRUE(SimStart(cover, "/usr/bin/env", {"DISPLAY=:" + display, "/usr/bin/wish"}));
    std::string size = std::to_string(w + 10) + "x" + std::to_string(h + 10);
    SimSend(cover, "wm overrideredirect . 1\n. configure -background red\nwm geometry . " + size + "+0+0\n");
    EXPECT_TRUE(Eventually([&] { return Pixels({{w / 2, h / 2}}) == "FF0000"; }));
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
