// The touch road end to end: controller bytes on a pseudo-terminal to frames on both data pipes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "correct.h"
#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84, TOUCH = 0x81, RELEASE = 0x80;

const std::string PT4_DEFAULT = "51#38#972#38#51#729#972#729#1024#768#";

// Four-point file text: UL, UR, LL, LR corners, then the screen size.
std::string pt4_text(const Mapping &m, int w, int h)
{
    char buf[200];
    snprintf(buf, sizeof buf, "%d#%d#%d#%d#%d#%d#%d#%d#%d#%d#", m.uiULX, m.uiULY, m.uiURX, m.uiURY, m.uiLLX,
             m.uiLLY, m.uiLRX, m.uiLRY, w, h);
    return buf;
}

// The frame the daemon must write for a raw touch on a four-point panel in DRAWING mode.
Bytes expected(const Mapping &m, int w, int h, unsigned char flags, int x, int y)
{
    TouchPanel p{};
    p.mapping = m;
    p._25Mode = 4;
    p.screen_width_4 = w;
    p.screen_high_4 = h;
    CalibrationPt(&p, &x, &y);
    x = x < 0 ? 0 : x > w ? w : x;
    y = y < 0 ? 0 : y > h ? h : y;
    return Frame(flags, x, y);
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class RoadTest : public DaemonTest {
protected:
    FakePort *port = nullptr;
    void StartWith(const std::string &extra = "", const std::string &device = "/dev/ttyS0")
    {
        port = &SandboxAddPort(sb, device);
        SandboxWriteConfig(sb, {device}, extra);
        SandboxStart(sb);
    }
    void ExpectFrames(const Bytes &frames)
    {
        EXPECT_EQ(Hex(ReadBytes(sb.dat[0], frames.size())), Hex(frames));
        EXPECT_EQ(Hex(ReadBytes(sb.dat[1], frames.size())), Hex(frames));
    }
};

}  // namespace

TEST_F(RoadTest, FirstStartWritesDefaultCalibrationAndReportsThroughIt)
{
    StartWith();
    EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4flag_ttyS0"), "4");
    EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0"), PT4_DEFAULT);
    EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt25_ttyS0").size(), 199u);
    SendToPort(*port, cat({Packet(DOWN, 51, 38), Packet(0x82, 972, 729), Packet(LIFT, 512, 384)}));
    ExpectFrames(cat({Frame(TOUCH, 51, 38), Frame(TOUCH, 973, 730), Frame(RELEASE, 513, 385)}));
}

TEST_F(RoadTest, CalibrationWrittenBeforehandGivesTheWorkedExample)
{
    Mapping m{};
    m.uiULX = 60, m.uiULY = 50, m.uiURX = 960, m.uiURY = 45;
    m.uiLLX = 55, m.uiLLY = 720, m.uiLRX = 965, m.uiLRY = 730;
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4_ttyS0", pt4_text(m, 800, 600) + "\n");
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4flag_ttyS0", "4\n");
    StartWith();
    SendToPort(*port, cat({Packet(DOWN, 500, 400), Packet(DOWN, 0, 0), Packet(DOWN, 1023, 1023)}));
    // (−8, −10) and (804, 800) outside the quadrilateral are clamped to the screen.
    ExpectFrames(cat({Frame(TOUCH, 393, 312), Frame(TOUCH, 0, 0), Frame(TOUCH, 800, 600)}));
    EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0"), pt4_text(m, 800, 600) + "\n");
}

TEST_F(RoadTest, GridFlaggedPanelGivesTheGridWorkedExample)
{
    // Raw grid points, row by row; the named ones are the worked example's, the rest lie between.
    int xs[5][5], ys[5][5];
    const int colX[5] = {53, 273, 505, 724, 956}, rowY[5] = {34, 206, 386, 551, 716};
    for (int r = 0; r < 5; r++)
        for (int c = 0; c < 5; c++)
            xs[r][c] = colX[c], ys[r][c] = rowY[r];
    auto set = [&](int r, int c, int x, int y) { xs[r][c] = x, ys[r][c] = y; };
    set(0, 0, 53, 34), set(0, 4, 956, 38), set(4, 0, 50, 717), set(4, 4, 947, 716);
    set(2, 2, 497, 376), set(2, 3, 729, 383), set(3, 2, 499, 546), set(3, 3, 726, 544);
    std::string text;
    for (int r = 0; r < 5; r++)
        for (int c = 0; c < 5; c++)
            text += std::to_string(xs[r][c]) + "#" + std::to_string(ys[r][c]) + "#";
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt25_ttyS0", text + "800#600#");
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4flag_ttyS0", "25");
    StartWith();
    SendToPort(*port, Packet(DOWN, 600, 500));
    ExpectFrames(Frame(TOUCH, 480, 398));
}

TEST_F(RoadTest, PacketsSplitAtEveryPositionAndWrappedInNoise)
{
    StartWith();
    Bytes packet = Packet(DOWN, 51, 38);
    for (size_t cut = 1; cut < packet.size(); cut++) {
        SendToPort(*port, Bytes(packet.begin(), packet.begin() + cut));
        SendToPort(*port, Bytes(packet.begin() + cut, packet.end()));
        ExpectFrames(Frame(TOUCH, 51, 38));
    }
    // Noise before, between and inside packets; a sync pair with a bad status; a lone 0x55 at the end.
    Bytes noisy = cat({{0x01, 0x55, 0x02}, Packet(DOWN, 51, 38), {0x55, 0x54, 0x00}, Packet(LIFT, 51, 38),
                       {0x55, 0x54, 0x83, 0x11}, {0x55}});
    SendToPort(*port, noisy);
    ExpectFrames(cat({Frame(TOUCH, 51, 38), Frame(RELEASE, 51, 38)}));
    Bytes burst;
    for (int i = 0; i < 10; i++)
        burst = cat({burst, Packet(DOWN, 51, 38)});
    SendToPort(*port, burst);  // exactly one full read of 100 bytes
    for (int i = 0; i < 10; i++)
        ExpectFrames(Frame(TOUCH, 51, 38));
    EXPECT_TRUE(ReadAvailable(sb.dat[0]).empty());
}

TEST_F(RoadTest, RightButtonCoversExactlyOneTouchAndNeverSplitsOne)
{
    StartWith();
    Command(sb, "[7177]x");
    SendToPort(*port, cat({Packet(DOWN, 51, 38), Packet(LIFT, 51, 38)}));
    ExpectFrames(cat({Frame(0xA1, 51, 38), Frame(0xA0, 51, 38)}));
    SendToPort(*port, Packet(DOWN, 51, 38));
    ExpectFrames(Frame(TOUCH, 51, 38));
    Command(sb, "[7177]x");  // during a touch: for the next one
    SendToPort(*port, cat({Packet(DOWN, 51, 38), Packet(LIFT, 51, 38), Packet(DOWN, 51, 38)}));
    ExpectFrames(cat({Frame(TOUCH, 51, 38), Frame(RELEASE, 51, 38), Frame(0xA1, 51, 38)}));
}

TEST_F(RoadTest, DesktopHoldAndDragDelayOnAFirstTouch)
{
    // Corners equal to the 800 × 600 targets, so raw and screen positions coincide.
    Mapping m{};
    m.uiULX = 40, m.uiULY = 30, m.uiURX = 760, m.uiURY = 30;
    m.uiLLX = 40, m.uiLLY = 570, m.uiLRX = 760, m.uiLRY = 570;
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4_ttyS0", pt4_text(m, 800, 600));
    StartWith("MouseMode = DESKTOP\nDblClickSpeed = 9\n");
    Bytes first = expected(m, 800, 600, TOUCH, 400, 300);
    // Drag delay 9: frames 2 to 36 repeat the first; the hold keeps near frames on it as well.
    Bytes packets, frames;
    for (int i = 1; i <= 36; i++) {
        packets = cat({packets, Packet(DOWN, 400 + (i > 1 ? 200 : 0), 300)});
        frames = cat({frames, first});
    }
    packets = cat({packets, Packet(DOWN, 650, 300), Packet(LIFT, 650, 300)});
    frames = cat({frames, expected(m, 800, 600, TOUCH, 650, 300), expected(m, 800, 600, RELEASE, 650, 300)});
    for (size_t at = 0; at < packets.size(); at += 100)
        SendToPort(*port, Bytes(packets.begin() + at, packets.begin() + std::min(packets.size(), at + 100)));
    ExpectFrames(frames);
}

TEST_F(RoadTest, RemovedDeviceIsDroppedAndARescanIsRequested)
{
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/tmp/qelvanto.cmd").c_str(), 0600), 0);
    int rescan = OpenFifo(sb, "/tmp/qelvanto.cmd", O_RDONLY);
    StartWith();
    close(port->master);
    close(port->slave);
    port->master = port->slave = -1;
    EXPECT_TRUE(WaitLine(sb, "Device removed: /dev/ttyS0"));
    EXPECT_TRUE(WaitLine(sb, "Send rescan to /tmp/qelvanto.cmd"));
    Bytes got = ReadBytes(rescan, 7);
    EXPECT_EQ(std::string(got.begin(), got.end()), "rescan\n");
    close(rescan);
    Sync(sb);
    EXPECT_EQ(CountLines(sb, "Device removed"), 1);
    // A port name no longer present cannot be shared.
    Command(sb, "[7173]/dev/ttyS0");
    Sync(sb);
    EXPECT_EQ(sb.replies.find("SHROK"), std::string::npos);
}

TEST_F(RoadTest, RescanRequestNeverFollowsASymlinkOrWritesAFile)
{
    SandboxWriteFile(sb, "/tmp/victim", "keep");
    ASSERT_EQ(symlink(SandboxPath(sb, "/tmp/victim").c_str(), SandboxPath(sb, "/tmp/qelvanto.cmd").c_str()), 0);
    StartWith();
    close(port->master);
    EXPECT_TRUE(WaitLine(sb, "Send rescan to /tmp/qelvanto.cmd"));
    Sync(sb);
    EXPECT_EQ(SandboxReadFile(sb, "/tmp/victim"), "keep");
    unlink(SandboxPath(sb, "/tmp/qelvanto.cmd").c_str());
    SandboxWriteFile(sb, "/tmp/qelvanto.cmd", "");
    Command(sb, "[7178]x");  // reopen the port: it is gone, so nothing to remove again
    Sync(sb);
    EXPECT_EQ(SandboxReadFile(sb, "/tmp/qelvanto.cmd"), "");
}

TEST_F(RoadTest, EmptyReadsResetTheDaemonOnTheSeventh)
{
    SandboxWriteFile(sb, "/dev/USB_Port_0", "");  // a node that always reads end of file
    SandboxWriteConfig(sb, {"/dev/USB_Port_0"});
    SandboxStart(sb);
    EXPECT_TRUE(WaitLine(sb, "kill(getpid(),SIGUP) in DoRead")) << sb.log;
    EXPECT_TRUE(WaitLine(sb, "qlm_killed 's DaemonReset"));
    EXPECT_TRUE(WaitLine(sb, "Update /dev/USB_Port_0....create new  panel and remove old panel"));
    Command(sb, "[7174]/dev/USB_Port_0");
    Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(RoadTest, FullDataPipesAreDrainedAndFramesFlowAgain)
{
    StartWith();
    close(sb.dat[0]);
    close(sb.dat[1]);
    sb.dat[0] = sb.dat[1] = -1;
    Bytes burst;
    for (int i = 0; i < 10; i++)
        burst = cat({burst, Packet(DOWN, 51, 38)});
    for (int i = 0; i < 1500; i++)  // 75,000 bytes of frames: far more than a pipe holds
        SendToPort(*port, burst);
    Sync(sb);
    sb.dat[0] = OpenFifo(sb, "/dev/qvdat0", O_RDONLY);
    sb.dat[1] = OpenFifo(sb, "/dev/qvdat1", O_RDONLY);
    SendToPort(*port, Packet(LIFT, 972, 729));
    // Whatever survived the drains is whole frames, and the new one arrives after them.
    for (int pipe = 0; pipe < 2; pipe++) {
        Bytes frame;
        do {
            frame = ReadFrames(sb, pipe, 1);
            ASSERT_EQ(frame.size(), 5u);
            ASSERT_TRUE(frame[0] == 0x81 || frame[0] == 0x80) << Hex(frame);
        } while (frame[0] != 0x80);
        EXPECT_EQ(Hex(frame), Hex(Frame(RELEASE, 973, 730)));
    }
}

TEST_F(RoadTest, PortsOutsideTheConfigurationAndFailedOpens)
{
    SandboxAddPort(sb, "/dev/ttyS1");
    SandboxWriteConfig(sb, {"/dev/ttyS1", "/dev/ttyS0", "/dev/missing"});
    port = &SandboxAddPort(sb, "/dev/ttyS0");
    SandboxStart(sb);
    EXPECT_TRUE(WaitLine(sb, "Test /dev/missing....open failed"));
    // Both ports serve; a reset keeps a port the file no longer lists.
    SandboxWriteConfig(sb, {"/dev/ttyS0"});
    Command(sb, "[7178]x");
    Sync(sb);
    SendToPort(SandboxPort(sb, "/dev/ttyS1"), Packet(DOWN, 51, 38));
    ExpectFrames(Frame(TOUCH, 51, 38));
    SendToPort(*port, Packet(LIFT, 972, 729));
    ExpectFrames(Frame(RELEASE, 973, 730));
}
