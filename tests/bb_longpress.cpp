// Right click by a long press, end to end: the simulator's touches through the daemon to both
// data pipes; the setting from the file, the command channel and quilmoctl; what status tells.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "childproc.h"
#include "ctlhelp.h"
#include "fixture.h"
#include "simhelp.h"

namespace {

constexpr unsigned char L = 0x81, LU = 0x80, R = 0xA1, RU = 0xA0;
const std::string PORT = "/dev/ttyS0";
// Corners on the 800 × 600 targets: raw controller units and screen pixels coincide.
const std::string PT4_SAME = "40#30#760#30#40#570#760#570#800#600#";

Bytes frames(std::initializer_list<std::array<int, 3>> list)
{
    Bytes all;
    for (auto [flags, x, y] : list) {
        Bytes f = Frame(static_cast<unsigned char>(flags), x, y);
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

class LongPressTest : public DaemonTest {
protected:
    SimProc sim;
    void TearDown() override
    {
        SimStop(sim);
        DaemonTest::TearDown();
    }
    void StartWith(const std::string &extra)
    {
        SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4_ttyS0", PT4_SAME);
        ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {SandboxPath(sb, PORT)}));
        ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
        SandboxWriteConfig(sb, {PORT}, extra);
        SandboxStart(sb);
    }
    // Plays script lines; both pipes must then carry exactly these frames.
    void Expect(const std::string &script, const Bytes &want)
    {
        ASSERT_TRUE(SimSend(sim, script));
        for (int pipe : {0, 1})
            EXPECT_EQ(Hex(ReadFrames(sb, pipe, want.size() / 5)), Hex(want)) << script << " pipe " << pipe;
    }
    std::string Hold()
    {
        CtlResult r = Ctl(sb, {"right-click-hold"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

// A listening socket at path, as an X server's; the descriptor keeps it listening.
int listen_at(const std::string &path)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TEST_F(LongPressTest, HeldTouchesAreRightFromTheStartAndOthersLeftClicks)
{
    StartWith("RightClickHold = 300\n");
    // Held: the first frame to leave is the right-button press at the touch-down point.
    Expect("down 400 300\n", frames({{R, 400, 300}}));
    Expect("move 402 301\nlift 402 301\n", frames({{R, 402, 301}, {RU, 402, 301}}));
    // A long hold, so that no busy moment of this machine can make these taps and drags right.
    ASSERT_EQ(Ctl(sb, {"right-click-hold", "3000"}).status, 0);
    Expect("tap 100 100\n", frames({{L, 100, 100}, {LU, 100, 100}}));
    Expect("down 200 200\nmove 240 160\nlift 241 161\n", frames({{L, 200, 200}, {LU, 200, 200}}));
    Expect("drag 100 100 300 100 4\n",
           frames({{L, 100, 100}, {L, 150, 100}, {L, 200, 100}, {L, 250, 100}, {L, 300, 100}, {LU, 300, 100}}));
    // The tool's request still makes a right-button touch at once, never held.
    Command(sb, "[7177]x");
    Expect("down 500 500\nlift 500 500\n", frames({{R, 500, 500}, {RU, 500, 500}}));
    // Off: the frames of every touch pass at once, as before.
    ASSERT_EQ(Ctl(sb, {"right-click-hold", "0"}).status, 0);
    Expect("down 10 10\n", frames({{L, 10, 10}}));
    Expect("lift 10 10\n", frames({{LU, 10, 10}}));
}

TEST_F(LongPressTest, SettingComesFromTheFileTheCommandAndQuilmoctl)
{
    StartWith("");
    EXPECT_EQ(Hold(), "off\n");
    struct Case {
        const char *value;
        const char *shown;  // by quilmoctl
        bool refused;
    } cases[] = {
        {"1200", "1200 ms\n", false}, {"300", "300 ms\n", false}, {"3000 ms", "3000 ms\n", false},
        {"0", "off\n", false},        {"299", "off\n", true},     {"3001", "off\n", true},
        {"-300", "off\n", true},      {"soon", "off\n", true},    {"", "off\n", true},
    };
    for (const Case &c : cases) {
        SandboxWriteConfig(sb, {PORT}, std::string("RightClickHold = ") + c.value + "\n");
        Command(sb, "[7178]x");
        if (c.refused) {
            EXPECT_TRUE(WaitLine(sb, "RightClickHold: '" + std::string(c.value) +
                                         "' is neither 0 nor 300 to 3000 ms; the long press is off"))
                << c.value;
        }
        EXPECT_TRUE(WaitLine(sb, std::string("Right-Click Hold: ") + (c.refused ? "0" : std::to_string(atoi(c.value)))))
            << c.value;
        EXPECT_EQ(Hold(), c.shown) << c.value;
    }
    ExpectOk(Ctl(sb, {"right-click-hold", "800"}));
    EXPECT_EQ(Hold(), "800 ms\n");
    for (const char *bad : {"250", "3001", "-1", "1s"})
        ExpectFailure(Ctl(sb, {"right-click-hold", bad}), 2,
                      "right-click-hold: '" + std::string(bad) + "' is neither 0 (off) nor 300 to 3000 ms");
    Command(sb, "[7193]250");  // past quilmoctl: the daemon refuses it as well
    EXPECT_TRUE(WaitLine(sb, "right-click hold 250 refused: 0, or 300 to 3000 ms; it stays 800"));
    EXPECT_EQ(Hold(), "800 ms\n");
    Command(sb, "[7178]x");  // a reset goes back to the file's value
    EXPECT_TRUE(WaitLine(sb, "Right-Click Hold: 0"));
    EXPECT_EQ(Hold(), "off\n");
}

TEST_F(LongPressTest, StatusTellsTheRightClickMeansTheDaemonHas)
{
    StartWith("RightClickHold = 700\n");
    auto status = [&](bool json) {
        CtlResult r = Ctl(sb, json ? std::vector<std::string>{"status", "--json"} : std::vector<std::string>{"status"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    EXPECT_NE(status(false).find("right click: long press 700 ms; tool not running; X display :0 not reachable "
                                 "(no socket)\n"),
              std::string::npos)
        << status(false);
    EXPECT_NE(status(true).find("\"right_click\":{\"hold_ms\":700,\"tool\":\"none\",\"display\":\"absent\"}"),
              std::string::npos)
        << status(true);
    // A socket nobody serves, then a server on it. No tool program is installed here, so none
    // runs whichever comes.
    SandboxDisplay(sb);
    EXPECT_TRUE(Eventually([&] { return status(false).find("tool not running; X display :0 not reachable (a socket "
                                                           "nobody serves)") != std::string::npos; }))
        << status(false);
    std::string path = SandboxPath(sb, DISPLAY_SOCKET);
    unlink(path.c_str());
    int server = listen_at(path);
    ASSERT_GE(server, 0);
    EXPECT_TRUE(Eventually([&] { return status(true).find("\"tool\":\"none\",\"display\":\"answers\"") != std::string::npos; }))
        << status(true);
    close(server);
}
