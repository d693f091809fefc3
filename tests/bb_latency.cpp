// Latency and idle wake-ups seen from outside: frames never wait for xsetroot, its runs stay
// single and end in the last requested state, a hung one is killed, and the tone timer goes quiet.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "childproc.h"
#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84;
const std::string PORT = "/dev/ttyS0";
const std::string KILLED = "/usr/bin/xsetroot did not end within 1 s and was killed";
constexpr int DRAG_PACKETS = 50;
constexpr auto DRAG_PERIOD = std::chrono::milliseconds(10);  // 100 packets a second

std::vector<std::string> file_lines(const Sandbox &sb, const std::string &path)
{
    std::vector<std::string> lines;
    std::istringstream in(SandboxReadFile(sb, path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string hide_line(const Sandbox &sb)
{
    std::string bitmap = SandboxPath(sb, "/usr/local/Qelvanto/image/empty.xbm");
    return "-display|:0.0|-cursor|" + bitmap + "|" + bitmap + "|";
}

const std::string SHOW_LINE = "-display|:0.0|-cursor_name|left_ptr|";

// xsetroot stand-in. Each run logs its pid in xs.pids and its arguments. Without hangs, a run
// notes in xs.overlap when another is still going; the first waits until the test creates
// xs.go, later ones take 200 ms, and xs.done gets a line per finished run. With hangs, run n
// sleeps until killed when the nth letter is H, and ends at once otherwise.
void install_xsetroot(Sandbox &sb, const std::string &hangs = "")
{
    std::string t = SandboxPath(sb, "/tmp");
    std::string body = "#!/bin/sh\nT=" + t + "\necho $$ >> $T/xs.pids\n" +
                       "printf '%s|' \"$@\" >> $T/xsetroot.log\necho >> $T/xsetroot.log\n";
    if (!hangs.empty())
        body += "n=$(wc -l < $T/xs.pids)\n[ \"$(echo " + hangs + " | cut -c$n)\" = H ] && exec sleep 30\nexit 0\n";
    else
        body += "mkdir $T/xs.running 2>/dev/null || echo overlap >> $T/xs.overlap\n"
                "if mkdir $T/xs.first 2>/dev/null; then\n"
                "  while [ ! -e $T/xs.go ]; do sleep 0.01; done\n"
                "else\n  sleep 0.2\nfi\n"
                "rmdir $T/xs.running\necho >> $T/xs.done\n";
    SandboxWriteFile(sb, "/usr/bin/xsetroot", body, 0755);
}

int occurrences(const std::string &all, const std::string &text)
{
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
        n++;
    return n;
}

class LatencyTest : public DaemonTest {
protected:
    FakePort *port = nullptr;

    void StartWith(const std::string &extra)
    {
        port = &SandboxAddPort(sb, PORT);
        SandboxWriteConfig(sb, {PORT}, "RClickTool = 0\n" + extra);
        SandboxStart(sb);
    }
    // Packets on their own schedule (never behind by the time the daemon took); returns the
    // frames that came out of /dev/qvdat0.
    Bytes Drag(int x0, int count)
    {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; i++) {
            std::this_thread::sleep_until(start + i * DRAG_PERIOD);
            WriteBytes(port->master, Packet(i + 1 < count ? DOWN : LIFT, x0 + 4 * i, 300));
        }
        ReadFrames(sb, 1, count);
        return ReadFrames(sb, 0, count);
    }
    size_t Count(const std::string &file) { return file_lines(sb, file).size(); }
};

}  // namespace

// Every frame of a drag comes out while the first xsetroot still runs; the requests made
// meanwhile become one more run, which ends the cursor in the state last asked for.
TEST_F(LatencyTest, FramesNeverWaitForXsetrootAndTheLastRequestWins)
{
    struct Case {
        const char *name;
        const char *config;
        std::vector<const char *> commands;  // after the drag, each followed by one touch
        bool lastShows;
    };
    const Case cases[] = {
        {"None: hides again after the drag", "Cursor = None\n", {}, false},
        {"None, then Display: shows", "Cursor = None\n", {"[7182]1"}, true},
        {"None, Display, None: hides", "Cursor = None\n", {"[7182]1", "[7182]0"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SandboxStop(sb);
        sb = Sandbox();
        SandboxCreate(sb);
        install_xsetroot(sb);
        StartWith(c.config);
        Bytes frames = Drag(100, DRAG_PACKETS);
        for (size_t i = 0; i < c.commands.size(); i++) {
            Command(sb, c.commands[i]);
            WriteBytes(port->master, Packet(DOWN, 600 + 10 * (int)i, 100));
            ReadFrames(sb, 1, 1);
            ASSERT_EQ(ReadFrames(sb, 0, 1).size(), 5u);
        }
        ASSERT_EQ(frames.size(), 5u * DRAG_PACKETS);
        Sync(sb);
        EXPECT_EQ(Count("/tmp/xs.done"), 0u) << "the first xsetroot ended before the last frame";
        EXPECT_EQ(CountLines(sb, KILLED), 0) << sb.log;
        SandboxWriteFile(sb, "/tmp/xs.go", "");

        ASSERT_TRUE(Eventually([&] { return Count("/tmp/xs.done") >= 2; }));
        Sync(sb);
        EXPECT_TRUE(Eventually([&] { return Count("/tmp/xs.pids") == Count("/tmp/xs.done"); }));
        auto runs = file_lines(sb, "/tmp/xsetroot.log");
        ASSERT_EQ(runs.size(), 2u);  // everything asked during the first run became one more
        EXPECT_EQ(runs[0], hide_line(sb));
        EXPECT_EQ(runs[1], c.lastShows ? SHOW_LINE : hide_line(sb));
        EXPECT_FALSE(SandboxExists(sb, "/tmp/xs.overlap"));
        EXPECT_TRUE(Eventually([&] { return ProcState(std::stoi(file_lines(sb, "/tmp/xs.pids")[1])) == 0; }))
            << "the last xsetroot was not reaped";
    }
}

// Each touch asks for a run (while one hangs, it waits for the kill); the message comes once
// for hung runs in a row, again after a run that ended by itself.
TEST_F(LatencyTest, HungXsetrootIsKilledAndSaidOnceWhileCommandsGoOn)
{
    struct Case {
        const char *hangs;
        int messages;
    };
    for (Case c : {Case{"HH", 1}, Case{"HOH", 2}}) {
        SCOPED_TRACE(c.hangs);
        SandboxStop(sb);
        sb = Sandbox();
        SandboxCreate(sb);
        install_xsetroot(sb, c.hangs);
        StartWith("Cursor = None\n");
        const size_t runs = strlen(c.hangs);
        for (size_t i = 0; i < runs; i++) {
            WriteBytes(port->master, Packet(DOWN, 100 + 10 * (int)i, 100));
            ASSERT_EQ(ReadFrames(sb, 0, 1).size(), 5u) << "frame " << i;
            ReadFrames(sb, 1, 1);
            ASSERT_TRUE(Eventually([&] { return Count("/tmp/xs.pids") == i + 1; }, 3 * WAIT_MS / 2)) << i;
            EXPECT_EQ(ModeReply(sb), "0");  // answered whatever xsetroot does
        }
        auto pids = file_lines(sb, "/tmp/xs.pids");
        for (const auto &pid : pids)
            EXPECT_TRUE(Eventually([&] { return ProcState(std::stoi(pid)) == 0; }, 3 * WAIT_MS / 2))
                << "xsetroot " << pid << " was neither killed nor reaped";
        Sync(sb);
        EXPECT_EQ(CountLines(sb, KILLED), c.messages) << sb.log;
        EXPECT_EQ(file_lines(sb, "/tmp/xsetroot.log"), std::vector<std::string>(runs, hide_line(sb)));
    }
}

// The tone's single alarm is the last wake-up: an idle daemon does not count up its switches.
TEST_F(LatencyTest, AfterAToneTheIdleDaemonIsNeverWoken)
{
    SandboxWriteFile(sb, "/dev/console", "");  // opens; the tone request fails on it but the timer runs
    StartWith("Sound = Down\nCursor = 2\n");
    WriteBytes(port->master, Packet(DOWN, 100, 100));
    ReadFrames(sb, 0, 1);
    Sync(sb);
    // Settled once it has not woken for 300 ms; a periodic timer never lets it settle.
    long last = VoluntarySwitches(sb.pid);
    auto quiet_since = std::chrono::steady_clock::now();
    EXPECT_TRUE(Eventually([&] {
        long now = VoluntarySwitches(sb.pid);
        if (now != last) {
            last = now;
            quiet_since = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - quiet_since > std::chrono::milliseconds(300);
    }));
    long settled = VoluntarySwitches(sb.pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(VoluntarySwitches(sb.pid), settled);
    EXPECT_TRUE(SandboxAlive(sb));
}

// A touch while the tone sounds starts none; one after the tone's alarm starts the next.
TEST_F(LatencyTest, ToneIsNotRestartedButFollowsItsAlarm)
{
    if (system("/usr/bin/strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    struct Case {
        const char *name;
        bool waitForAlarm;  // between the lift and the second touch
        int tones;
    };
    for (Case c : {Case{"second touch in the same read", false, 1}, Case{"second touch after the alarm", true, 2}}) {
        SCOPED_TRACE(c.name);
        SandboxStop(sb);
        sb = Sandbox();
        SandboxCreate(sb);
        SandboxWriteFile(sb, "/dev/console", "");
        const std::string log = "/tmp/strace.log";
        sb.wrapper = {"/usr/bin/strace", "-qq", "-e", "trace=ioctl", "-o", SandboxPath(sb, log)};
        StartWith("Sound = Down\nCursor = 2\n");
        auto count = [&](const char *what) { return occurrences(SandboxReadFile(sb, log), what); };
        Bytes touches = Packet(DOWN, 100, 100), lift = Packet(LIFT, 100, 100), again = Packet(DOWN, 120, 100);
        touches.insert(touches.end(), lift.begin(), lift.end());
        if (!c.waitForAlarm)
            touches.insert(touches.end(), again.begin(), again.end());
        WriteBytes(port->master, touches);
        if (c.waitForAlarm) {
            ReadFrames(sb, 0, 2);
            ASSERT_TRUE(Eventually([&] { return count("--- SIGALRM") == 1; }));
            WriteBytes(port->master, again);
        }
        ReadFrames(sb, 0, c.waitForAlarm ? 1 : 3);
        EXPECT_TRUE(Eventually([&] { return count("--- SIGALRM") >= c.tones; }));  // each tone ends
        Sync(sb);
        EXPECT_EQ(count("KIOCSOUND, 1000"), c.tones) << SandboxReadFile(sb, log);
        EXPECT_EQ(count("--- SIGALRM"), c.tones) << "one alarm per tone";
    }
}
