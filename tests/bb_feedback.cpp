// User feedback seen from outside: xsetroot command lines, the right-click tool's life and
// messages, the lock file, and the beep timer's effect on a daemon with or without a console.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "childproc.h"
#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84;
const std::string PORT = "/dev/ttyS0";
const std::string TOOL = "/usr/local/Qelvanto/diag/rbutton.tcl";
const std::string IMAGES = "/usr/local/Qelvanto/image/";

// Lists the script shell's descriptors as "number target" lines into file.
std::string list_fds(const std::string &file)
{
    return "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done >> " + file + "\n";
}

// xsetroot stand-in: one line of '|'-ended arguments per run, and its descriptors; a line in
// xsetroot.done once a run has written everything (the daemon does not wait for it).
void install_xsetroot(Sandbox &sb)
{
    std::string tmp = SandboxPath(sb, "/tmp");
    SandboxWriteFile(sb, "/usr/bin/xsetroot",
                     "#!/bin/sh\nprintf '%s|' \"$@\" >> " + tmp + "/xsetroot.log\necho >> " + tmp +
                         "/xsetroot.log\n" + list_fds(tmp + "/xsetroot.fds") + "echo >> " + tmp + "/xsetroot.done\n",
                     0755);
}

// env stand-in: records its arguments, then is the real env.
void install_env(Sandbox &sb)
{
    std::string tmp = SandboxPath(sb, "/tmp");
    SandboxWriteFile(sb, "/usr/bin/env",
                     "#!/bin/sh\nprintf '%s|' \"$@\" >> " + tmp + "/env.args\necho >> " + tmp +
                         "/env.args\nexec /usr/bin/env \"$@\"\n",
                     0755);
}

// Tool stand-in: records its environment's DISPLAY, its arguments and descriptors, then
// its pid (last, so a listed pid has the rest written), then each line it hears, per pid.
void install_tool(Sandbox &sb, const std::string &body = "")
{
    std::string tmp = SandboxPath(sb, "/tmp");
    std::string listen = body.empty() ? "while read -r line; do printf '%s\\n' \"$line\" >> " + tmp +
                                            "/tool.$$.in; done\n"
                                      : body;
    SandboxWriteFile(sb, TOOL,
                     "#!/bin/sh\nprintf '%s|' \"DISPLAY=$DISPLAY\" \"$0\" \"$@\" >> " + tmp +
                         "/tool.args\necho >> " + tmp + "/tool.args\n" + list_fds(tmp + "/tool.$$.fds") +
                         "echo $$ >> " + tmp + "/tool.pids\n" + listen,
                     0755);
}

void install_all(Sandbox &sb, const std::string &toolBody = "")
{
    install_xsetroot(sb);
    install_env(sb);
    install_tool(sb, toolBody);
    SandboxDisplay(sb);  // the tool's display is there
}

std::vector<std::string> file_lines(const Sandbox &sb, const std::string &path)
{
    return Lines(SandboxReadFile(sb, path));
}

std::vector<int> tool_pids(const Sandbox &sb)
{
    std::vector<int> pids;
    for (const auto &l : file_lines(sb, "/tmp/tool.pids"))
        pids.push_back(std::stoi(l));
    return pids;
}

// Waits until n tools have started; the pid of the nth.
int wait_tools(const Sandbox &sb, size_t n)
{
    EXPECT_TRUE(Eventually([&] { return tool_pids(sb).size() >= n; })) << "tools started: " << tool_pids(sb).size();
    auto pids = tool_pids(sb);
    return pids.size() >= n ? pids[n - 1] : -1;
}

std::string heard(const Sandbox &sb, int pid)
{
    return SandboxReadFile(sb, "/tmp/tool." + std::to_string(pid) + ".in");
}

bool hears(const Sandbox &sb, int pid, const std::string &text)
{
    return Eventually([&] { return heard(sb, pid) == text; });
}

std::string tool_line(const Sandbox &sb, const std::string &on, const std::string &mode)
{
    std::string img = SandboxPath(sb, IMAGES);
    return SandboxPath(sb, TOOL) + "|" + img + "lbutton.gif|" + img + "rbutton.gif|" + std::to_string(sb.pid) +
           "|" + on + "|" + mode + "|";
}

std::string hide_line(const Sandbox &sb)
{
    std::string bitmap = SandboxPath(sb, IMAGES + "empty.xbm");
    return "-display|:0.0|-cursor|" + bitmap + "|" + bitmap + "|";
}

const std::string SHOW_LINE = "-display|:0.0|-cursor_name|left_ptr|";

// The daemon's children and their states.
std::vector<std::pair<int, char>> children_of(int parent)
{
    std::vector<std::pair<int, char>> kids;
    DIR *d = opendir("/proc");
    while (struct dirent *e = readdir(d)) {
        int pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string stat = ReadWholeFile(std::string("/proc/") + e->d_name + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            kids.push_back({pid, state});
    }
    closedir(d);
    return kids;
}

// Children of parent, ended or not, whose command name is name.
int children_named(int parent, const std::string &name)
{
    int n = 0;
    for (auto [pid, state] : children_of(parent)) {
        std::istringstream f(ReadWholeFile("/proc/" + std::to_string(pid) + "/comm"));
        std::string comm;
        std::getline(f, comm);
        n += comm == name;
    }
    return n;
}

int running_children(int parent)
{
    int n = 0;
    for (auto [pid, state] : children_of(parent))
        n += state != 'Z';
    return n;
}

// Whether the daemon catches SIGALRM (its handler is installed).
bool catches_alarm(int pid)
{
    std::istringstream f(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(f, line);)
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGALRM - 1)) & 1;
    return false;
}

class FeedbackTest : public DaemonTest {
protected:
    FakePort *port = nullptr;

    void StartWith(const std::string &extra, bool withPort = true)
    {
        if (withPort) {
            port = &SandboxAddPort(sb, PORT);
            SandboxWriteConfig(sb, {PORT}, extra);
        } else {
            SandboxWriteConfig(sb, {}, extra);
        }
        SandboxStart(sb);
    }
    // Sends packets, reads their frames from both pipes, and waits until the frame path has run.
    Bytes Touch(const std::vector<Bytes> &packets)
    {
        Bytes all;
        for (const auto &p : packets)
            all.insert(all.end(), p.begin(), p.end());
        WriteBytes(port->master, all);
        Bytes frames = ReadFrames(sb, 0, packets.size());
        EXPECT_EQ(frames.size(), 5 * packets.size()) << Hex(frames);
        ReadFrames(sb, 1, packets.size());
        Sync(sb);  // the cursor command runs after the frames are written
        return frames;
    }
    std::vector<std::string> Xsetroot() { return file_lines(sb, "/tmp/xsetroot.log"); }
    // The command lines once n runs have finished and been reaped (xsetroot runs beside the
    // frame path; one still running would take the next requests as a single pending one).
    std::vector<std::string> XsetrootAfter(size_t n, const std::string &done = "/tmp/xsetroot.done")
    {
        EXPECT_TRUE(Eventually([&] {
            return file_lines(sb, done).size() >= n && children_named(sb.pid, "xsetroot") == 0;
        })) << file_lines(sb, done).size();
        Sync(sb);
        return Xsetroot();
    }
};

}  // namespace

TEST_F(FeedbackTest, CursorNoneHidesOnEachNewFrameOnly)
{
    install_all(sb);
    StartWith("Cursor = None\n");
    Bytes frames = Touch({Packet(DOWN, 256, 256), Packet(DOWN, 256, 256), Packet(DOWN, 300, 256)});
    ASSERT_EQ(frames.size(), 15u);
    ASSERT_EQ(Hex(Bytes(frames.begin(), frames.begin() + 5)), Hex(Bytes(frames.begin() + 5, frames.begin() + 10)));
    ASSERT_NE(Hex(Bytes(frames.begin() + 5, frames.begin() + 10)), Hex(Bytes(frames.begin() + 10, frames.end())));
    EXPECT_EQ(XsetrootAfter(2), std::vector<std::string>(2, hide_line(sb)));
    Touch({Packet(LIFT, 300, 256)});
    EXPECT_EQ(XsetrootAfter(3).size(), 3u);
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(FeedbackTest, CursorDisplayRestoresOnceAndFollowsTheMode)
{
    install_all(sb);
    StartWith("");
    Touch({Packet(DOWN, 100, 100), Packet(DOWN, 200, 100), Packet(LIFT, 200, 100)});
    EXPECT_EQ(XsetrootAfter(1), std::vector<std::string>{SHOW_LINE});

    Command(sb, "[7182]0");
    Touch({Packet(DOWN, 400, 300), Packet(LIFT, 400, 300)});
    XsetrootAfter(3);  // a request made while one runs would replace a pending one
    Command(sb, "[7182]1");
    Touch({Packet(DOWN, 400, 300), Packet(DOWN, 410, 300), Packet(LIFT, 410, 300)});
    XsetrootAfter(4);
    Command(sb, "[7182]2");
    Touch({Packet(DOWN, 500, 300), Packet(LIFT, 500, 300)});
    EXPECT_EQ(Xsetroot(), (std::vector<std::string>{SHOW_LINE, hide_line(sb), hide_line(sb), SHOW_LINE}));
}

TEST_F(FeedbackTest, CursorCommandsSucceedOnARealDisplay)
{
    if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xsetroot", X_OK) != 0)
        GTEST_SKIP() << "Xvfb or xsetroot is not installed (Debian packages xvfb, x11-xserver-utils)";
    std::string display;
    int xvfb = StartXvfb("640x480x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb did not start here";

    std::string log = SandboxPath(sb, "/tmp/xsetroot.log");
    SandboxWriteFile(sb, "/usr/bin/xsetroot",
                     "#!/bin/sh\n"
                     "[ \"$1\" = -display ] && [ \"$2\" = :0.0 ] || { echo \"unexpected $*\" >> " + log + "; exit 2; }\n"
                     "shift 2\n/usr/bin/xsetroot -display :" + display + " \"$@\"\necho \"$? $*\" >> " + log + "\n",
                     0755);
    SandboxWriteFile(sb, IMAGES + "empty.xbm",
                     "#define empty_width 16\n#define empty_height 16\nstatic unsigned char empty_bits[] = {\n"
                     "  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,\n"
                     "  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,\n"
                     "  0x00, 0x00, 0x00, 0x00 };\n");
    install_env(sb);
    install_tool(sb);
    StartWith("Cursor = None\n");
    Touch({Packet(DOWN, 100, 100)});
    Command(sb, "[7182]1");
    Touch({Packet(LIFT, 100, 100)});
    std::string bitmap = SandboxPath(sb, IMAGES + "empty.xbm");
    EXPECT_EQ(XsetrootAfter(2, "/tmp/xsetroot.log"),
              (std::vector<std::string>{"0 -cursor " + bitmap + " " + bitmap, "0 -cursor_name left_ptr"}));
    StopXvfb(xvfb);
}

TEST_F(FeedbackTest, WithoutAConsoleBeepingNeverEndsTheDaemon)
{
    install_all(sb);
    StartWith("Sound = Down\n");
    EXPECT_TRUE(WaitLine(sb, "the computer beep device no /dev/console"));
    EXPECT_FALSE(catches_alarm(sb.pid));  // so an armed timer would end it
    Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});
    Command(sb, "[7181]2");
    Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});
    // A timer armed by mistake fires within 100 ms of the touch: keep the daemon busy past that.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until && SandboxAlive(sb))
        Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
}

// Occurrences of text in the file.
static int count_in(const Sandbox &sb, const std::string &path, const std::string &text)
{
    std::string all = SandboxReadFile(sb, path);
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
        n++;
    return n;
}

// The console tone request itself, seen by tracing the daemon's ioctl calls.
TEST_F(FeedbackTest, ToneRequestsComeOnTheConfiguredEdgesOnly)
{
    if (system("/usr/bin/strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    install_all(sb);
    SandboxWriteFile(sb, "/dev/console", "");  // opens; the request fails on a file but is made
    const std::string log = "/tmp/strace.log";
    sb.wrapper = {"/usr/bin/strace", "-qq", "-e", "trace=ioctl", "-o", SandboxPath(sb, log)};
    StartWith("Sound = Down\n");
    auto tones = [&] { return count_in(sb, log, "KIOCSOUND, 1000"); };
    auto alarms = [&] { return count_in(sb, log, "SIGALRM"); };
    // Each step waits for the alarm that ends the tone, so the next edge may start one.
    auto expect_tones = [&](int n) {
        EXPECT_TRUE(Eventually([&] { return tones() >= n; })) << SandboxReadFile(sb, log);
        int seen = alarms();
        EXPECT_TRUE(Eventually([&] { return alarms() > seen; }));
        EXPECT_EQ(tones(), n);
    };
    Touch({Packet(DOWN, 100, 100), Packet(DOWN, 120, 100), Packet(LIFT, 120, 100)});
    expect_tones(1);  // the touch-down only
    Command(sb, "[7181]2");
    Touch({Packet(DOWN, 100, 100), Packet(DOWN, 120, 100)});
    Sync(sb);
    EXPECT_EQ(tones(), 1);  // touch frames are no edge for Up
    Touch({Packet(LIFT, 120, 100)});
    expect_tones(2);  // the lift-off
    Command(sb, "[7177]x");
    Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});  // right-button frames never beep
    Command(sb, "[7181]0");
    Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});
    Sync(sb);
    EXPECT_EQ(tones(), 2);
}

TEST_F(FeedbackTest, OnLaterSwitchesTheToolOnBeforeTheNextCommand)
{
    install_all(sb);
    StartWith("RClickTool = 0\n");
    int tool = wait_tools(sb, 1);
    Command(sb, "[7187]x");
    Sync(sb);  // taken only after the delayed switch has run
    EXPECT_TRUE(hears(sb, tool, "ON\n")) << heard(sb, tool);
}

TEST_F(FeedbackTest, WithAConsoleTheToneAlarmDisturbsNothing)
{
    install_all(sb);
    SandboxWriteFile(sb, "/dev/console", "");  // opens; the tone request simply fails on it
    StartWith("Sound = Down\nCursor = None\nRClickTool = 1\n");
    EXPECT_TRUE(catches_alarm(sb.pid));
    int tool = wait_tools(sb, 1);
    size_t hides = 0;
    for (int i = 0; i < 20; i++) {  // each tone's alarm interrupts the loop, a reaping or a command
        Touch({Packet(DOWN, 100 + i, 100), Packet(LIFT, 100 + i, 100)});
        hides += 2;
        Command(sb, i % 2 ? "[7185]x" : "[7186]x");
        XsetrootAfter(hides);  // so no request of the next touch replaces a pending one
    }
    Sync(sb);
    EXPECT_EQ(Xsetroot().size(), hides);
    std::string expect;
    for (int i = 0; i < 20; i++)
        expect += i % 2 ? "ON\n" : "OFF\n";
    EXPECT_TRUE(hears(sb, tool, expect)) << heard(sb, tool);
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(FeedbackTest, ToolStartsSwitchedOffWithItsCommandLine)
{
    install_all(sb);
    StartWith("");
    int tool = wait_tools(sb, 1);
    EXPECT_EQ(file_lines(sb, "/tmp/env.args"), std::vector<std::string>{"DISPLAY=:0.0|" + tool_line(sb, "0", "0")});
    EXPECT_EQ(file_lines(sb, "/tmp/tool.args"), std::vector<std::string>{"DISPLAY=:0.0|" + tool_line(sb, "0", "0")});
    Sync(sb);
    EXPECT_EQ(heard(sb, tool), "");
}

TEST_F(FeedbackTest, ToolStartsSwitchedOnInTheLoadedMode)
{
    install_all(sb);
    StartWith("RClickTool = 1\nMouseMode = DESKTOP\n");
    wait_tools(sb, 1);
    EXPECT_EQ(file_lines(sb, "/tmp/env.args"), std::vector<std::string>{"DISPLAY=:0.0|" + tool_line(sb, "1", "1")});
}

TEST_F(FeedbackTest, ToolHearsOnOffModeAndTheEndOfARightButtonTouch)
{
    install_all(sb);
    StartWith("RClickTool = 1\n");
    int tool = wait_tools(sb, 1);
    Command(sb, "[7186]x");
    Command(sb, "[7185]x");
    Command(sb, "[7180]7");
    Command(sb, "[7180]0");
    Command(sb, "[7177]x");
    Bytes frames = Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames[0], 0xA1);
    EXPECT_EQ(frames[5], 0xA0);
    Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});  // a left touch ends silently
    EXPECT_TRUE(hears(sb, tool, "OFF\nON\n7\n0\nOK\n")) << heard(sb, tool);

    // A reset with the tool alive and enabled keeps the mode and switches it on again.
    Command(sb, "[7180]1");
    Command(sb, "[7178]x");
    Sync(sb);
    EXPECT_TRUE(hears(sb, tool, "OFF\nON\n7\n0\nOK\n1\nON\n")) << heard(sb, tool);
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode: DESKTOP"));
    EXPECT_EQ(tool_pids(sb).size(), 1u);
}

TEST_F(FeedbackTest, NewToolCommandStartsAnotherAndTalksToItOnly)
{
    install_all(sb);
    StartWith("RClickTool = 1\n");
    int first = wait_tools(sb, 1);
    Command(sb, "[7191]x");
    int second = wait_tools(sb, 2);
    // Shown, as the one it replaced was (RClickTool = 1).
    EXPECT_EQ(file_lines(sb, "/tmp/env.args").back(), "DISPLAY=:0.0|" + tool_line(sb, "1", "0"));
    Command(sb, "[7185]x");
    EXPECT_TRUE(hears(sb, second, "ON\n")) << heard(sb, second);
    EXPECT_EQ(heard(sb, first), "");
    EXPECT_EQ(ProcState(first), 0);  // the first one was ended and reaped: one tool at a time
}

TEST_F(FeedbackTest, EndedToolIsStartedAgainAndMessagesToItAreHarmless)
{
    install_all(sb);
    StartWith("RClickTool = 1\n");
    int first = wait_tools(sb, 1);
    kill(first, SIGKILL);
    ASSERT_TRUE(Eventually([&] { return ProcState(first) == 'Z'; }));
    Command(sb, "[7186]x");  // nobody reads the pipe any more
    Command(sb, "[7180]1");
    Sync(sb);
    ASSERT_TRUE(SandboxAlive(sb));

    Command(sb, "[7178]x");
    int second = wait_tools(sb, 2);
    EXPECT_NE(second, first);
    EXPECT_EQ(file_lines(sb, "/tmp/env.args").back(), "DISPLAY=:0.0|" + tool_line(sb, "1", "0"));
    EXPECT_EQ(ProcState(first), 0);  // reaped
    Command(sb, "[7186]x");
    EXPECT_TRUE(hears(sb, second, "OFF\n"));

    // Switched on after it ended: started again, switched on.
    kill(second, SIGKILL);
    ASSERT_TRUE(Eventually([&] { return ProcState(second) == 'Z'; }));
    Command(sb, "[7185]x");
    wait_tools(sb, 3);
    EXPECT_EQ(file_lines(sb, "/tmp/env.args").back(), "DISPLAY=:0.0|" + tool_line(sb, "1", "0"));
}

TEST_F(FeedbackTest, ToolThatClosesItsInputOrExitsAtOnceIsSurvived)
{
    install_all(sb, "exec 0<&-\nexec sleep 60\n");
    StartWith("RClickTool = 1\n");
    wait_tools(sb, 1);
    for (const char *cmd : {"[7186]x", "[7185]x", "[7180]3", "[7180]0", "[7177]x"})
        Command(sb, cmd);
    Touch({Packet(DOWN, 100, 100), Packet(LIFT, 100, 100)});
    EXPECT_TRUE(SandboxAlive(sb));

    install_tool(sb, "exit 0\n");
    Command(sb, "[7191]x");
    int quick = wait_tools(sb, 2);
    ASSERT_TRUE(Eventually([&] { return ProcState(quick) == 'Z' || ProcState(quick) == 0; }));
    Command(sb, "[7185]x");  // found gone: started again
    wait_tools(sb, 3);
    Command(sb, "[7186]x");
    Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(FeedbackTest, MissingXsetrootAndToolAreSurvived)
{
    SandboxDisplay(sb);
    StartWith("Cursor = None\nRClickTool = 1\n");
    EXPECT_TRUE(WaitLine(sb, "exec: No such file or directory"));
    Touch({Packet(DOWN, 100, 100), Packet(DOWN, 110, 100), Packet(LIFT, 110, 100)});
    Command(sb, "[7185]x");
    Command(sb, "[7186]x");
    Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
    EXPECT_TRUE(Eventually([&] { return running_children(sb.pid) == 0; }));
}

TEST_F(FeedbackTest, ToolAndXsetrootHoldNoPortOrFifo)
{
    install_all(sb);
    SandboxWriteFile(sb, "/dev/console", "");
    StartWith("Cursor = None\n");
    int tool = wait_tools(sb, 1);
    Touch({Packet(DOWN, 100, 100)});
    XsetrootAfter(1);
    auto tool_fds = file_lines(sb, "/tmp/tool." + std::to_string(tool) + ".fds");
    auto xset_fds = file_lines(sb, "/tmp/xsetroot.fds");
    ASSERT_FALSE(tool_fds.empty());
    ASSERT_FALSE(xset_fds.empty());
    for (const auto *fds : {&tool_fds, &xset_fds})
        for (const auto &l : *fds) {
            EXPECT_EQ(l.find("/dev/qv"), std::string::npos) << l;
            EXPECT_EQ(l.find("/dev/pts/"), std::string::npos) << l;
        }
    // The tool keeps what it is handed: its input pipe, standard output and error, the console.
    std::string console = SandboxPath(sb, "/dev/console");
    bool hasConsole = false, stdinPipe = false;
    for (const auto &l : tool_fds) {
        hasConsole |= l.find(" " + console) != std::string::npos;
        stdinPipe |= l.rfind("0 pipe:", 0) == 0;
    }
    EXPECT_TRUE(hasConsole);
    EXPECT_TRUE(stdinPipe);
}

TEST_F(FeedbackTest, LockFileKillsALeftOverToolAndNothingElse)
{
    install_all(sb);
    int feed, bystanderFeed;
    int leftover = SpawnFed({"/bin/sh", SandboxPath(sb, TOOL)}, &feed);
    ASSERT_EQ(wait_tools(sb, 1), leftover);
    SandboxWriteFile(sb, "/tmp/rclick.lock", std::to_string(leftover) + "\n");
    StartWith("");
    int tool = wait_tools(sb, 2);
    EXPECT_EQ(EndAndReap(leftover), SIGKILL);
    close(feed);

    // The daemon's tool has ended; the stale lock now names an unrelated process.
    int bystander = SpawnFed({"/bin/cat"}, &bystanderFeed);
    SandboxWriteFile(sb, "/tmp/rclick.lock", std::to_string(bystander) + "\n");
    kill(tool, SIGKILL);
    ASSERT_TRUE(Eventually([&] { return ProcState(tool) == 'Z'; }));
    Command(sb, "[7178]x");
    wait_tools(sb, 3);
    Sync(sb);
    EXPECT_EQ(EndAndReap(bystander), SIGTERM);
    close(bystanderFeed);

    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(FeedbackTest, ThousandResetsWithADyingToolKeepDescriptorsConstant)
{
    ASSERT_EQ(symlink("/usr/bin/env", SandboxPath(sb, "/usr/bin/env").c_str()), 0);
    // Ends on the first message it hears, so it dies between resets but never while being
    // started (where the SIGCHLD handler would already close its pipe).
    SandboxWriteFile(sb, TOOL, "#!/bin/sh\nread -r line\n", 0755);
    StartWith("RClickTool = 1\n", false);
    int before = CountOpenFds(sb.pid);
    for (int i = 0; i < 1000; i++) {
        Command(sb, "[7178]x");
        ReadOutput(sb, 0);  // keep its standard output flowing
    }
    Sync(sb);
    EXPECT_EQ(CountOpenFds(sb.pid), before);
    EXPECT_LE(children_of(sb.pid).size(), 1u);  // ended tools are reaped at the next load
    EXPECT_TRUE(SandboxAlive(sb));
}
