// Recorded streams replayed through the real daemon: each record of tests/data/replay played
// by quilmosim --replay into a port the daemon holds must give the frames beside it (NAME.frames:
// one frame a line in hex). A re-plug in the record is answered as udev would, by the hot-plug
// hook. A field problem recorded with quilmoctl record becomes one more file here.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ctlhelp.h"
#include "record.h"

namespace {

const std::string DATA = QUILMOD_SOURCE_DIR "/tests/data/replay/";

// The frames a file lists, as Hex writes them, one a line; comments (#) and blank lines skipped.
std::vector<std::string> ExpectedFrames(const std::string &path)
{
    std::vector<std::string> frames;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);)
        if (!line.empty() && line[0] != '#')
            frames.push_back(line);
    return frames;
}

std::vector<std::string> FrameLines(const Bytes &bytes)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at + 5 <= bytes.size(); at += 5)
        lines.push_back(Hex(Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 5)));
    return lines;
}

}  // namespace

using ReplayTest = QuilmoctlTest;

TEST_F(ReplayTest, RecordedStreamsGiveTheirFrames)
{
    const struct {
        const char *name;
        int replugs;  // "back" lines in the record
    } records[] = {
        {"tap", 0},     // a touch and its lift
        {"drag", 0},    // nine moves, then the lift
        {"noise", 0},   // random bytes, a packet cut short, a doubled sync byte, then taps
        {"replug", 1},  // the port unplugged and plugged back; the share's zero byte after the reset
    };
    for (const auto &rec : records) {
        SCOPED_TRACE(rec.name);
        Sandbox s;
        SandboxCreate(s);
        SandboxWriteConfig(s, {"/dev/ttyS0"}, "RClickTool = 0\n");
        SimProc sim;
        ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim",
                             {"--replay", DATA + rec.name + ".qrec", "--speed", "4", SandboxPath(s, "/dev/ttyS0")}));
        ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
        SandboxStart(s);
        for (int i = 0; i < rec.replugs; i++) {
            ASSERT_TRUE(SimWaitFor(sim, "plugged", WAIT_MS)) << sim.outBuf << sim.errBuf;
            EXPECT_EQ(Ctl(s, {"hotplug", "/dev/ttyS0"}).status, 0);
        }
        std::vector<std::string> want = ExpectedFrames(DATA + rec.name + ".frames");
        ASSERT_FALSE(want.empty());
        EXPECT_TRUE(SimWaitFor(sim, "replayed", WAIT_MS)) << sim.errBuf;
        EXPECT_EQ(FrameLines(ReadFrames(s, 0, want.size())), want);
        EXPECT_EQ(Hex(ReadAvailable(s.dat[0])), "") << "frames beyond those expected";
        SimStop(sim);
        SandboxStop(s);
    }
}

// quilmoctl record takes what the port sent, through the share, while the daemon goes on
// serving it; the record plays back into the same frames. It never writes over a file.
TEST_F(ReplayTest, RecordTakesThePortsStreamAndPlaysBackTheSame)
{
    SimProc sim;
    ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {SandboxPath(sb, "/dev/ttyS0")}));
    ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "RClickTool = 0\n");
    SandboxStart(sb);
    const std::string file = SandboxPath(sb, "/tmp/field.qrec");
    SimProc &rec = Background({"record", "--count", "32", "/dev/ttyS0", file});
    ASSERT_TRUE(SimWaitForError(rec, "quilmoctl: recording /dev/ttyS0 into " + file, WAIT_MS));
    SimSend(sim, "tap 51 38\nhex FF 0A\nmove 60 40\n");
    Bytes served = ReadFrames(sb, 0, 3);  // the daemon served the port all along
    CtlResult r = CtlFinish(rec);
    EXPECT_EQ(r.status, 0) << r.err;
    FILE *fp = fopen(file.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    RecordReader reader;
    RecordEntry e;
    Bytes got;
    int read;
    while ((read = RecordRead(&reader, fp, &e)) > 0)
        got.insert(got.end(), e.bytes.begin(), e.bytes.begin() + static_cast<long>(e.len));
    fclose(fp);
    EXPECT_EQ(read, 0) << reader.error;
    Bytes sent = Packet(0x81, 51, 38);
    for (const Bytes &part : {Packet(0x84, 51, 38), Bytes{0xFF, 0x0A}, Packet(0x81, 60, 40)})
        sent.insert(sent.end(), part.begin(), part.end());
    EXPECT_EQ(Hex(got), Hex(sent));
    ExpectFailure(Ctl(sb, {"record", "/dev/ttyS0", file}), 1, "cannot create " + file + ": File exists");
    ExpectFailure(Ctl(sb, {"record", "/dev/ttyS9", file + ".2"}), 1, "did not share /dev/ttyS9");
    SimStop(sim);

    Sandbox again;  // played back into a fresh daemon: the same frames
    SandboxCreate(again);
    SandboxWriteConfig(again, {"/dev/ttyS0"}, "RClickTool = 0\n");
    SimProc player;
    ASSERT_TRUE(SimStart(player, QUILMOD_BIN_DIR "/quilmosim",
                         {"--replay", file, "--no-timing", SandboxPath(again, "/dev/ttyS0")}));
    ASSERT_TRUE(SimWaitFor(player, "ready", WAIT_MS));
    SandboxStart(again);
    EXPECT_EQ(Hex(ReadFrames(again, 0, 3)), Hex(served));
    SimStop(player);
    SandboxStop(again);
}
