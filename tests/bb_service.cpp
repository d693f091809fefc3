// quilmoctl's service side against the real daemon: hotplug (udev's hook), status, the single
// frame watcher, and its command line (getopt_long, --version).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "fixture.h"
#include "runprog.h"
#include "simhelp.h"

namespace {

Outcome Ctl(const Sandbox &sb, const std::vector<std::string> &args)
{
    std::vector<std::string> all = {QUILMOD_BIN_DIR "/quilmoctl"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all, {"QUILMOD_ROOT=" + sb.root});
}

bool Has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

const char *const LOAD_LINE = "***********ReadDataFromCfgFile";

class ServiceTest : public DaemonTest {
protected:
    // Ports: ttyS0 and the flat link quilmo-usb0 (to ttyUSB0) configured, ttyUSB1 present but not
    // configured, ttyACM0 configured but unplugged.
    void SetUpPorts()
    {
        SandboxAddPort(sb, "/dev/ttyS0");
        SandboxAddPort(sb, "/dev/ttyUSB0");
        SandboxAddPort(sb, "/dev/ttyUSB1");
        ASSERT_EQ(symlink("ttyUSB0", SandboxPath(sb, "/dev/quilmo-usb0").c_str()), 0);
        SandboxWriteConfig(sb, {"/dev/ttyS0", "/dev/quilmo-usb0", "/dev/ttyACM0"}, "RClickTool = 0\n");
    }
    int Loads()
    {
        ReadOutput(sb, 0);
        return CountLines(sb, LOAD_LINE);
    }
};

TEST_F(ServiceTest, HotplugResetsOnlyForConfiguredNodesOfARunningDaemon)
{
    SetUpPorts();
    struct Case {
        const char *devnode;
        bool configured;
    } cases[] = {
        {"/dev/ttyS0", true},     // named in a Port line
        {"/dev/ttyUSB0", true},   // a Port line's link leads to it
        {"/dev/ttyACM0", true},   // named, though already gone again
        {"/dev/ttyUSB1", false},  // present, not configured
        {"/dev/ttyACM7", false},  // neither
    };
    // Without a daemon nothing happens, whatever the node.
    for (const auto &c : cases) {
        Outcome r = Ctl(sb, {"hotplug", c.devnode});
        EXPECT_EQ(r.status, 0) << c.devnode << ": " << r.out;
        EXPECT_EQ(r.out, "") << c.devnode;
    }
    SandboxStart(sb);
    for (const auto &c : cases) {
        int before = Loads();
        Outcome r = Ctl(sb, {"hotplug", c.devnode});
        EXPECT_EQ(r.status, 0) << c.devnode << ": " << r.out;
        EXPECT_EQ(Has(r.out, "reopens its ports"), c.configured) << c.devnode << ": " << r.out;
        Sync(sb);  // a reset asked for has run before the daemon answers this
        EXPECT_EQ(Loads(), before + (c.configured ? 1 : 0)) << c.devnode;
    }
    Outcome bad = Ctl(sb, {"hotplug", "ttyS0"});
    EXPECT_EQ(bad.status, 2) << bad.out;
}

// Runs count "quilmoctl hotplug devnode" at once, as udev does in a storm; the time they took, in ms.
long long HotplugStorm(const Sandbox &sb, const char *devnode, int count)
{
    auto start = std::chrono::steady_clock::now();
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<pid_t> pids;
    for (int i = 0; i < count; i++) {
        pid_t pid = fork();
        if (pid == 0)
            exec_as({QUILMOD_BIN_DIR "/quilmoctl", "hotplug", devnode}, {"QUILMOD_ROOT=" + sb.root}, {}, devnull);
        pids.push_back(pid);
    }
    close(devnull);
    for (pid_t pid : pids) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a hotplug call failed";
    }
    auto span = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
}

// A burst of plug events (udev's for one node, a flaky cable's) costs a reset or two, not one
// each, whether it comes as hang-ups (root) or as reset commands (a technician). The daemon
// gathers requests that come less than GATHER_MS apart, so two resets of one burst start at
// least that far apart: a burst of span ms gets at most span / GATHER_MS + 1, however busy the
// machine. Without gathering each request found the one before it done and made its own.
TEST_F(ServiceTest, PlugStormsAreGatheredIntoFewResets)
{
    constexpr long long GATHER_MS = 200;
    constexpr int STORM = 200;
    SetUpPorts();
    SandboxStart(sb);
    struct Case {
        const char *way;
        std::function<long long()> storm;
    } cases[] = {
        {"hotplug calls", [&] { return HotplugStorm(sb, "/dev/ttyS0", STORM); }},
        {"reset commands",
         [&] {
             auto start = std::chrono::steady_clock::now();
             for (int i = 0; i < STORM / 4; i++)
                 Command(sb, "[7178]x");
             auto span = std::chrono::steady_clock::now() - start;
             return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
         }},
    };
    for (const auto &c : cases) {
        int before = Loads();
        long long span = c.storm();
        Sync(sb);  // a reset still gathering runs before the answer
        int resets = Loads() - before;
        EXPECT_GE(resets, 1) << c.way;
        EXPECT_LE(resets, span / GATHER_MS + 1) << c.way << " over " << span << " ms";
    }
}

long long MsSince(std::chrono::steady_clock::time_point start)
{
    auto span = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
}

// Packets at a steady rate on one port while it runs; what was sent, and what arrived as frames.
struct Feeder {
    std::atomic<bool> stop{false};
    long sent = 0;
    std::thread thread;
};

void StartFeeding(Feeder &f, FakePort &port)
{
    f.thread = std::thread([&f, &port] {
        const Bytes packet = Packet(0x81, 512, 384);
        while (!f.stop) {
            if (write(port.master, packet.data(), packet.size()) == (ssize_t)packet.size())
                f.sent++;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
}

// At most one reset in any 2 s, however it is asked for; a storm that goes on is still served
// while it lasts. Requests come spaced wider than the burst gathering's quiet time (signals,
// hot-plug calls every 250 ms: without the 2 s gap each would be a reset of its own), closer than
// it (every 50 ms: without the 2 s latest, no reset until the storm ends), or as a reset command
// each followed by a mode query (without holding the query back each pair resets). Each storm
// lasts until a reset came while it went on, and at least 5 s; resets that start 2 s apart or
// more number at most span / 2 s + 1. The packet loss of the command storm is printed.
TEST_F(ServiceTest, ResetsComeAtMostOnceInTwoSecondsHoweverTheyAreAsked)
{
    constexpr long long GAP_MS = 2000, STORM_MS = 5000;
    SetUpPorts();
    SandboxStart(sb);
    auto hup = [&] { kill(sb.pid, SIGHUP); };
    auto command_pair = [&] {
        Command(sb, "[7178]x");
        EXPECT_EQ(ModeReply(sb), "0");  // answered, once the reset it waited for has run
    };
    auto hotplug = [&] { EXPECT_EQ(Ctl(sb, {"hotplug", "/dev/ttyS0"}).status, 0); };
    struct Case {
        const char *way;
        int everyMs;
        std::function<void()> ask;
        bool measureLoss;
    } cases[] = {
        {"SIGHUP every 250 ms", 250, hup, false},
        {"SIGHUP every 50 ms", 50, hup, false},
        {"reset command and mode query", 20, command_pair, true},
        {"hot-plug call every 250 ms", 250, hotplug, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.way);
        Feeder feeder;
        ReadAvailable(sb.dat[0]);
        if (c.measureLoss)
            StartFeeding(feeder, SandboxPort(sb, "/dev/ttyS0"));
        int before = Loads();
        auto start = std::chrono::steady_clock::now();
        bool servedDuring = false;
        while (!(servedDuring && MsSince(start) >= STORM_MS) && MsSince(start) < 4 * WAIT_MS) {
            c.ask();
            std::this_thread::sleep_for(std::chrono::milliseconds(c.everyMs));
            servedDuring = Loads() > before;
        }
        EXPECT_TRUE(servedDuring) << "no reset while the storm went on";
        feeder.stop = true;
        if (feeder.thread.joinable())
            feeder.thread.join();
        Sync(sb);
        long long span = MsSince(start);
        int resets = Loads() - before;
        EXPECT_LE(resets, span / GAP_MS + 1) << resets << " resets in " << span << " ms\n" << sb.log;
        if (c.measureLoss) {
            ASSERT_TRUE(WaitPortDrained(SandboxPort(sb, "/dev/ttyS0")));
            Sync(sb);
            long frames = static_cast<long>(ReadAvailable(sb.dat[0]).size() / 5);
            double lost = feeder.sent ? 100.0 * (feeder.sent - frames) / feeder.sent : 0;
            printf("[ storm    ] %s: %d resets in %lld ms, %ld packets sent, %ld frames, %.1f %% lost\n", c.way,
                   resets, span, feeder.sent, frames, lost);
            RecordProperty("storm_packets_lost_percent", std::to_string(lost));
        }
    }
    // Right after a reset, quilmoctl's query waits for the one it asked for, up to 2 s: it
    // still gets its answer.
    Sync(sb);
    EXPECT_EQ(Ctl(sb, {"reset"}).status, 0);
    Outcome mode = Ctl(sb, {"mode"});
    EXPECT_EQ(mode.status, 0) << mode.out;
    EXPECT_TRUE(Has(mode.out, "DRAWING")) << mode.out;
}

// A plug that comes once a reset has started gets a reset of its own, by itself: no command
// needs to come after it. The port serves afterwards.
TEST_F(ServiceTest, PlugDuringAResetIsHonoured)
{
    SetUpPorts();
    SandboxStart(sb);
    ReadOutput(sb, 0);
    sb.seen = sb.log.size();
    ASSERT_EQ(Ctl(sb, {"hotplug", "/dev/ttyS0"}).status, 0);
    ASSERT_TRUE(WaitLine(sb, "qlm_killed 's DaemonReset")) << sb.log;
    ASSERT_EQ(Ctl(sb, {"hotplug", "/dev/ttyS0"}).status, 0);
    EXPECT_TRUE(WaitLine(sb, "qlm_killed 's DaemonReset")) << "the second plug was missed:\n" << sb.log;
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode"));
    SendToPort(SandboxPort(sb, "/dev/ttyS0"), Packet(0x81, 512, 384));
    EXPECT_EQ(ReadFrames(sb, 1, 1).size(), 5u) << sb.log;
}

TEST_F(ServiceTest, StatusReportsDaemonPortsAndCalibration)
{
    SetUpPorts();
    // ttyUSB0 (as quilmo-usb0) calibrated for an 800 x 600 screen; ttyACM0 flagged for the grid.
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4flag_quilmo-usb0", "4");
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4_quilmo-usb0", "100#80#900#80#100#700#900#700#800#600#\n");
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4flag_ttyACM0", "25");
    Outcome down = Ctl(sb, {"status"});
    EXPECT_EQ(down.status, 0) << down.out;
    EXPECT_TRUE(Has(down.out, "quilmod: not running\n")) << down.out;
    EXPECT_TRUE(Has(down.out, "port /dev/ttyS0: present; 4-point calibration, missing; screen 1024x768")) << down.out;

    SandboxStart(sb);
    Command(sb, "[7174]/dev/ttyS0");  // close-port: present, but no longer held
    Sync(sb);
    Outcome up = Ctl(sb, {"status"});
    EXPECT_EQ(up.status, 0) << up.out;
    struct Line {
        const char *text;
    } lines[] = {
        {"quilmod: running, pid "},
        {"mode: DRAWING\n"},
        {"port /dev/ttyS0: present; 4-point calibration, default; screen 1024x768\n"},
        {"port /dev/quilmo-usb0: present, held by quilmod, line raw 9600 8N1; 4-point calibration, calibrated; "
         "screen 800x600\n"},
        {"port /dev/ttyACM0: missing; 25-point calibration, missing; screen 1024x768\n"},
    };
    for (const auto &l : lines)
        EXPECT_TRUE(Has(up.out, l.text)) << l.text << "\nin:\n" << up.out;
    EXPECT_TRUE(Has(up.out, "pid " + std::to_string(sb.pid) + "\n")) << up.out;

    Outcome json = Ctl(sb, {"status", "--json"});
    EXPECT_EQ(json.status, 0) << json.out;
    EXPECT_EQ(json.out.rfind("{\"running\":true,\"pid\":" + std::to_string(sb.pid) + ",\"mode\":\"DRAWING\"", 0), 0u)
        << json.out;
    EXPECT_TRUE(Has(json.out, "{\"device\":\"/dev/quilmo-usb0\",\"exists\":true,\"held\":true,"
                              "\"line\":\"raw 9600 8N1\",\"calibration\":4,"
                              "\"values\":\"calibrated\",\"width\":800,\"height\":600,\"input\":null}"))
        << json.out;
    EXPECT_TRUE(Has(json.out, "{\"device\":\"/dev/ttyACM0\",\"exists\":false,\"held\":false,\"line\":null,"
                              "\"calibration\":25,"
                              "\"values\":\"missing\",\"width\":1024,\"height\":768,\"input\":null}"))
        << json.out;
}

// Each port's line as the daemon holds it, and a port it still holds after a reload renamed its
// Port line to a link of the same node: shown, with its line, as held but not configured.
TEST_F(ServiceTest, StatusShowsLinesAndPortsHeldThatNoLongerAreConfigured)
{
    FakePort &cooked = SandboxAddPort(sb, "/dev/panel-a");  // no "tty" in the name
    SetPortCooked(cooked);
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/panel-fifo").c_str(), 0600), 0);
    SandboxWriteConfig(sb, {"/dev/panel-a", "/dev/panel-fifo"}, "RClickTool = 0\n");
    SandboxStart(sb);
    Outcome before = Ctl(sb, {"status"});
    EXPECT_TRUE(Has(before.out, "port /dev/panel-a: present, held by quilmod, line raw 9600 8N1;")) << before.out;
    EXPECT_TRUE(Has(before.out, "port /dev/panel-fifo: present, line not a terminal;")) << before.out;
    EXPECT_FALSE(Has(before.out, "not configured")) << before.out;

    const std::string node = PortNode(sb, "/dev/panel-a");
    ASSERT_EQ(symlink(node.c_str(), SandboxPath(sb, "/dev/panel-b").c_str()), 0);
    SandboxWriteConfig(sb, {"/dev/panel-b", "/dev/panel-fifo"}, "RClickTool = 0\n");
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitLine(sb, LOAD_LINE));
    Sync(sb);
    Outcome after = Ctl(sb, {"status"});
    EXPECT_TRUE(Has(after.out, "port /dev/panel-b: present, held by quilmod, line raw 9600 8N1;")) << after.out;
    EXPECT_TRUE(Has(after.out, "port " + node + ": held, not configured, line raw 9600 8N1\n")) << after.out;
    Outcome json = Ctl(sb, {"status", "--json"});
    EXPECT_TRUE(Has(json.out, ",\"held_not_configured\":[{\"device\":\"" + node + "\",\"line\":\"raw 9600 8N1\"}]}"))
        << json.out;

    SandboxWriteConfig(sb, {"/dev/panel-fifo"}, "RClickTool = 0\n");  // dropped as well: still one line
    kill(sb.pid, SIGHUP);
    ASSERT_TRUE(WaitLine(sb, LOAD_LINE));
    Sync(sb);
    Outcome dropped = Ctl(sb, {"status"});
    EXPECT_EQ(CountLines(sb, LOAD_LINE), 3) << sb.log;
    size_t first = dropped.out.find("port " + node + ": held, not configured");
    EXPECT_NE(first, std::string::npos) << dropped.out;
    EXPECT_EQ(dropped.out.find("port " + node + ":", first + 1), std::string::npos) << dropped.out;
}

TEST_F(ServiceTest, SecondWatcherIsToldWhoWatches)
{
    SandboxAddPort(sb, "/dev/ttyS0");
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "RClickTool = 0\n");
    SandboxStart(sb);
    SimProc first;
    ASSERT_TRUE(SimStart(first, "/usr/bin/env",
                         {"QUILMOD_ROOT=" + sb.root, QUILMOD_BIN_DIR "/quilmoctl", "watch", "--count=1"}));
    ASSERT_TRUE(SimWaitForError(first, "quilmoctl: watching", WAIT_MS));
    Outcome second = Ctl(sb, {"watch", "--count", "1", "--timeout", "5"});
    EXPECT_EQ(second.status, 1) << second.out;
    EXPECT_TRUE(Has(second.out, "watched already by process " + std::to_string(first.pid))) << second.out;
    // The first keeps every frame.
    SendToPort(SandboxPort(sb, "/dev/ttyS0"), Packet(0x81, 512, 384));
    ASSERT_TRUE(SimWaitFor(first, "touch x=513 y=385", WAIT_MS)) << first.outBuf << first.errBuf;
    EXPECT_EQ(SimWait(first, WAIT_MS), 0);
}

TEST_F(ServiceTest, CommandLineOptionsInEitherSpelling)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *expect;
    } cases[] = {
        {{"--version"}, 0, "quilmoctl " QUILMOD_VERSION "\n"},
        {{"-V"}, 0, "quilmoctl " QUILMOD_VERSION "\n"},
        {{"watch", "--count=0"}, 2, "--count needs a number from 1"},
        {{"watch", "--timeout=1s"}, 2, "--timeout needs a number from 1"},
        {{"watch", "--json"}, 2, "unknown option '--json'"},
        {{"drag-delay", "-1"}, 2, "'-1' is not a number from 0 to 1000"},
        {{"close-port", "--", "--odd"}, 1, "quilmod is not running"},  // after "--", an operand
        {{"status", "--json", "extra"}, 2, "too many arguments"},
    };
    for (const auto &c : cases) {
        Outcome r = Ctl(sb, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back() << ": " << r.out;
        EXPECT_TRUE(Has(r.out, c.expect)) << c.args[0] << " " << c.args.back() << ": " << r.out;
    }
    Outcome help = Ctl(sb, {"--help"});
    size_t widest = 0, at = 0;
    for (size_t nl; (nl = help.out.find('\n', at)) != std::string::npos; at = nl + 1)
        widest = std::max(widest, nl - at);
    EXPECT_LE(widest, 80u) << help.out;
}

}  // namespace
