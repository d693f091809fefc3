// The command channel and port sharing, through /dev/qvcmdin, /dev/qvcmdout, /dev/qvshrin and /dev/qvshrout.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Writes raw bytes into the command FIFO and waits until the daemon has taken them.
void RawCommand(Sandbox &sb, const std::string &bytes)
{
    int fd = OpenFifo(sb, "/dev/qvcmdin", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
    EXPECT_TRUE(WaitFifoDrained(sb, "/dev/qvcmdin"));
}

// Bytes reach the port's queue a moment after the write: wait for them to be there.
bool wait_pending_at_port(const FakePort &port, int count)
{
    int pending = -1;
    for (int i = 0; i < WAIT_MS && (ioctl(port.slave, FIONREAD, &pending) != 0 || pending != count); i++)
        usleep(1000);
    return pending == count;
}

class CommandTest : public DaemonTest {
protected:
    FakePort *port = nullptr;
    void StartWith(const std::string &extra = "")
    {
        port = &SandboxAddPort(sb, "/dev/ttyS0");
        SandboxWriteConfig(sb, {"/dev/ttyS0"}, extra);
        SandboxStart(sb);
    }
    Bytes Frames(size_t count)
    {
        Bytes first = ReadFrames(sb, 0, count);
        EXPECT_EQ(Hex(ReadFrames(sb, 1, count)), Hex(first));
        return first;
    }
};

}  // namespace

TEST_F(CommandTest, ModeIsSetAndReportedWithAtoiRules)
{
    StartWith();
    EXPECT_EQ(ModeReply(sb), "0");
    for (auto [text, mode] : std::vector<std::pair<std::string, std::string>>{
             {"[7180]1", "1"}, {"[7180]abc", "0"}, {"[7180] 1", "1"}, {"[ 7180]7", "7"}, {"[+7180]-3x", "-3"},
             {"[7180]99999999999999", "2147483647"}, {"[7180]-99999999999999", "-2147483648"}}) {
        Command(sb, text);
        EXPECT_EQ(ModeReply(sb), mode) << text;
    }
    Command(sb, "[7180]1");
    Command(sb, "[7172]x");
    EXPECT_TRUE(WaitLine(sb, "Mode: DESKTOP"));
}

TEST_F(CommandTest, MalformedCommandsAreIgnored)
{
    StartWith();
    Command(sb, "[7180]1");
    std::vector<std::string> bad = {"[7180]",  "7180]0",    "[7180 ]0", "[7180x]0", "[]0",  "(7180)0",
                                    "[7175]x", "[7176]x",   "[7190]x",  "[7195]x",  "[7171]x", "[-7180]0",
                                    "[99999999999999999999]0", " [7180]0"};
    for (const auto &text : bad)
        Command(sb, text);
    EXPECT_EQ(ModeReply(sb), "1");
    // A command split across two reads is two malformed texts.
    RawCommand(sb, "[71");
    RawCommand(sb, "80]0\n");
    // NUL bytes end the text where they stand.
    RawCommand(sb, std::string("[7180]\0" "0\n", 9));
    EXPECT_EQ(ModeReply(sb), "1");
    std::mt19937 rng(12345);
    for (int i = 0; i < 200; i++) {
        std::string junk(1 + rng() % 700, '\0');
        for (char &c : junk)
            c = (char)(rng() % 256);
        junk[0] = junk[0] == '[' ? ']' : junk[0];  // never a well-formed command by chance
        RawCommand(sb, junk);
    }
    EXPECT_EQ(ModeReply(sb), "1") << "seed 12345";
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(CommandTest, OnlyTheFirstCommandOfOneReadCountsAndBytesPast500WaitForTheNext)
{
    StartWith();
    RawCommand(sb, "[7180]1\n[7180]0\n[7180]0\n");
    EXPECT_EQ(ModeReply(sb), "1");
    std::string burst;
    for (int i = 0; i < 40; i++)
        burst += "[7180]" + std::to_string(i % 2 ? 1 : 0) + "\n";
    RawCommand(sb, burst);
    EXPECT_EQ(ModeReply(sb), "0");
    // Exactly 500 bytes, then a second command that the next read takes.
    RawCommand(sb, "[7180]1" + std::string(493, 'x') + "[7180]0\n");
    EXPECT_EQ(ModeReply(sb), "0");
    RawCommand(sb, "[7180]1" + std::string(2000, 'y'));
    EXPECT_EQ(ModeReply(sb), "1");
}

TEST_F(CommandTest, ExitEndsWithStatusZero)
{
    StartWith();
    Command(sb, "[7179]x");
    ASSERT_TRUE(SandboxWaitExit(sb));
    EXPECT_TRUE(WIFEXITED(sb.exitStatus) && WEXITSTATUS(sb.exitStatus) == 0);
    EXPECT_TRUE(SandboxExists(sb, "/var/run/quilmod.pid"));
}

TEST_F(CommandTest, ResetRereadsTheConfiguration)
{
    StartWith("MouseMode = DESKTOP\n");
    Command(sb, "[7180]0");
    Command(sb, "[7178]x");
    EXPECT_TRUE(WaitLine(sb, "Update /dev/ttyS0....create new  panel and remove old panel"));
    EXPECT_EQ(ModeReply(sb), "1");
}

TEST_F(CommandTest, ClosePortStopsServingIt)
{
    StartWith();
    Command(sb, "[7174]/dev/ttyS1");  // not registered: nothing happens
    SendToPort(*port, Packet(DOWN, 51, 38));
    EXPECT_EQ(Hex(Frames(1)), Hex(Frame(0x81, 51, 38)));
    Command(sb, "[7174]/dev/ttyS0");
    WriteBytes(port->master, Packet(LIFT, 51, 38));
    Sync(sb);
    EXPECT_TRUE(wait_pending_at_port(*port, 10));  // nobody reads the port any more
    EXPECT_TRUE(ReadAvailable(sb.dat[0]).empty());
    Command(sb, "[7173]/dev/ttyS0");  // a closed port cannot be shared
    Sync(sb);
    EXPECT_EQ(sb.replies.find("SHROK"), std::string::npos);
}

TEST_F(CommandTest, FlushEmptiesBothDataPipes)
{
    StartWith();
    SendToPort(*port, cat({Packet(DOWN, 51, 38), Packet(DOWN, 51, 38), Packet(DOWN, 51, 38)}));
    Sync(sb);
    Command(sb, "[7188]x");
    Sync(sb);
    EXPECT_TRUE(ReadAvailable(sb.dat[0]).empty());
    EXPECT_TRUE(ReadAvailable(sb.dat[1]).empty());
}

TEST_F(CommandTest, DragDelayAndDoubleClickAreaChangeLaterFrames)
{
    StartWith("MouseMode = DESKTOP\n");
    Command(sb, "[7183]0");   // no drag delay
    Command(sb, "[7184]100");  // hold tolerance 185 pixels
    SendToPort(*port, cat({Packet(DOWN, 51, 38), Packet(DOWN, 200, 38), Packet(DOWN, 400, 38)}));
    Bytes frames = Frames(3);
    // Frame 2 (149 px away) is held on frame 1; frame 3 (349 px) goes free.
    EXPECT_EQ(Hex(Bytes(frames.begin(), frames.begin() + 5)), Hex(Bytes(frames.begin() + 5, frames.begin() + 10)));
    EXPECT_NE(Hex(Bytes(frames.begin() + 5, frames.begin() + 10)), Hex(Bytes(frames.begin() + 10, frames.end())));
}

TEST_F(CommandTest, LeftButtonCancelsARightButtonRequest)
{
    StartWith();
    Command(sb, "[7177]x");
    Command(sb, "[7189]x");
    SendToPort(*port, Packet(DOWN, 51, 38));
    EXPECT_EQ(Hex(Frames(1)), Hex(Frame(0x81, 51, 38)));
}

TEST_F(CommandTest, SharedPortStreamsBothWaysAndSurvivesAReset)
{
    StartWith();
    Command(sb, "[7173]/dev/ttyS0");
    EXPECT_TRUE(WaitReply(sb, "SHROK\n"));
    Sync(sb);
    Bytes packet = Packet(DOWN, 51, 38);
    SendToPort(*port, packet);
    EXPECT_EQ(Hex(ReadBytes(sb.shrOut, 10)), Hex(packet));
    EXPECT_EQ(Hex(Frames(1)), Hex(Frame(0x81, 51, 38)));  // touch processing goes on
    // A short chunk that may be the start of a packet is held until the rest arrives.
    SendToPort(*port, Bytes(packet.begin(), packet.begin() + 4));
    Sync(sb);
    EXPECT_TRUE(ReadAvailable(sb.shrOut).empty());
    SendToPort(*port, Bytes(packet.begin() + 4, packet.end()));
    EXPECT_EQ(Hex(ReadBytes(sb.shrOut, 10)), Hex(packet));
    // The tool's bytes reach the controller: 1500 bytes as 1000 and 500.
    Bytes toPort(1500);
    for (size_t i = 0; i < toPort.size(); i++)
        toPort[i] = (unsigned char)i;
    int in = OpenFifo(sb, "/dev/qvshrin", O_WRONLY);
    WriteBytes(in, toPort);
    close(in);
    EXPECT_EQ(Hex(ReadBytes(port->master, 1500)), Hex(toPort));
    // Sharing again sends SHROK again; a reset shares the port again.
    Command(sb, "[7173]/dev/ttyS0");
    EXPECT_TRUE(WaitReply(sb, "SHROK\n"));
    Command(sb, "[7178]x");
    EXPECT_TRUE(WaitReply(sb, "SHROK\n"));
    Sync(sb);  // SHROK comes before the share-change byte is written and drained
    SendToPort(*port, packet);
    EXPECT_EQ(Hex(ReadBytes(sb.shrOut, 10)), Hex(packet));
    // A name that matches no port ends sharing without a reply.
    Command(sb, "[7173]x");
    SendToPort(*port, packet);
    Sync(sb);
    EXPECT_TRUE(ReadAvailable(sb.shrOut).empty());
    EXPECT_EQ(sb.replies.find("SHROK"), std::string::npos);
}

TEST_F(CommandTest, ShareInputWithoutASharedPortIsDropped)
{
    StartWith();
    int in = OpenFifo(sb, "/dev/qvshrin", O_WRONLY);
    WriteBytes(in, Bytes(1500, 0x42));
    close(in);
    EXPECT_TRUE(WaitFifoDrained(sb, "/dev/qvshrin"));
    Sync(sb);
    EXPECT_EQ(ReadAvailable(port->master).size(), 0u);
}

TEST_F(CommandTest, AShareReaderThatStopsNeverStallsTouches)
{
    StartWith();
    Command(sb, "[7173]/dev/ttyS0");
    EXPECT_TRUE(WaitReply(sb, "SHROK\n"));
    Bytes burst;
    for (int i = 0; i < 10; i++)
        burst = cat({burst, Packet(DOWN, 51, 38)});
    for (int i = 0; i < 800; i++) {  // 80,000 bytes: more than the share pipe holds
        SendToPort(*port, burst);
        ASSERT_EQ(Frames(10).size(), 50u);
    }
    // The failed write ended sharing; the stream stays quiet until the port is asked for again.
    ReadAvailable(sb.shrOut);
    SendToPort(*port, Packet(LIFT, 51, 38));
    EXPECT_EQ(Hex(Frames(1)), Hex(Frame(0x80, 51, 38)));
    Sync(sb);
    EXPECT_TRUE(ReadAvailable(sb.shrOut).empty());
    Command(sb, "[7173]/dev/ttyS0");
    EXPECT_TRUE(WaitReply(sb, "SHROK\n"));
}

TEST_F(CommandTest, LongShareNamesAreBounded)
{
    StartWith();
    Command(sb, "[7173]" + std::string(494, 'd'));
    Command(sb, "[7178]x");
    Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
}
