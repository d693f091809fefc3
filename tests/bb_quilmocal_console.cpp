// quilmocal's console backend on a card made of files (the fakedrm shim): a card that scans out
// a copy of its buffer, as virtio-gpu does, shows every frame, target 1 on its printed pixel;
// a card a display server holds ends the run with a message and nothing written.
#include <sys/stat.h>

#include "calhelp.h"

using namespace calhelp;

namespace {

constexpr uint32_t BACKGROUND = 0x182838, WHITE = 0xFFFFFF;

class QuilmocalConsoleTest : public QuilmocalTest {
protected:
    Panel panel = Mounted(false, false, false);
    std::string scanout;  // what the monitor shows

    void StartOnConsole(bool held)
    {
        mkdir(SandboxPath(sb, "/dev/dri").c_str(), 0755);
        SandboxWriteFile(sb, "/dev/dri/card0", "");
        scanout = SandboxPath(sb, "/scanout");
        std::vector<std::string> env = {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "QUILMOD_ROOT=" + sb.root,
                                        std::string("LD_PRELOAD=") + QUILMOD_FAKEDRM, "FAKEDRM_SCANOUT=" + scanout,
                                        PreloadAsanOptions()};
        if (held)
            env.push_back("FAKEDRM_HELD=1");
        env.insert(env.end(), {QUILMOD_BIN_DIR "/quilmocal", "--backend", "console", "--output", "Virtual-1",
                               "/dev/ttyS0"});
        ASSERT_TRUE(SimStart(cal, "/usr/bin/env", env));
    }

    // The monitor's pixel (1024 x 768, 32 bits each, 0xXXRRGGBB in the machine's order; the top
    // byte is not looked at).
    uint32_t Shown(Pt p)
    {
        const std::string bytes = SandboxReadFile(sb, "/scanout");
        const size_t at = (static_cast<size_t>(p.y) * W + static_cast<size_t>(p.x)) * 4;
        uint32_t v = 0xFF000000;  // nothing shown
        if (bytes.size() >= at + 4)
            memcpy(&v, bytes.data() + at, 4), v &= 0xFFFFFF;
        return v;
    }

    // The current target at p: white centre and arms on the dark background.
    bool TargetShown(Pt p)
    {
        return Shown(p) == WHITE && Shown({p.x + 30, p.y}) == WHITE && Shown({p.x, p.y + 30}) == WHITE &&
               Shown({W - 1, H - 1}) == BACKGROUND;
    }
};

}  // namespace

// The whole run on the console: each target reaches the monitor where it is printed (without
// the dirty-framebuffer call it stays black), the run passes and writes its files.
TEST_F(QuilmocalConsoleTest, EveryTargetReachesTheMonitorAndTheRunPasses)
{
    const std::string before = CalFiles();
    StartOnConsole(false);
    int seen = 0, asked = 0;
    CalResult r = Drive(panel, [&](const std::string &line, Pt raw) {
        Pt at;
        if (Prompted(line, &at)) {
            asked++;
            seen += Eventually([&] { return TargetShown(at); }, WAIT_MS);
        }
        return Press(raw, rng);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(asked, 9) << "four targets and five checks";
    EXPECT_EQ(seen, asked) << "targets the monitor never showed";
    EXPECT_NE(CalFiles(), before);
    EXPECT_TRUE(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0").ends_with("#1024#768#"));
}

// A card a compositor holds: the message says so, exit status 1, no target, nothing written.
TEST_F(QuilmocalConsoleTest, ACardADisplayServerHoldsEndsTheRunWithNothingWritten)
{
    const std::string before = CalFiles();
    StartOnConsole(true);
    CalResult r = Drive(panel);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("quilmocal: the DRM device is held by a display server (or needs root)"), std::string::npos)
        << r.err;
    EXPECT_TRUE(r.lines.empty()) << r.lines.front();
    EXPECT_EQ(CalFiles(), before);
}
