// quilmocal on a headless sway (wlroots' pixman renderer), whose first configure of a window
// names no state and which makes it fullscreen only once it is mapped: the run still gets its
// fullscreen window the output's size, on an output turned a quarter, and binds the port.
#include <pwd.h>

#include <filesystem>

#include "calhelp.h"

namespace {

constexpr char SWAY[] = "/usr/bin/sway", SWAYMSG[] = "/usr/bin/swaymsg";

class QuilmocalSwayTest : public QuilmocalTest {
protected:
    int sway = -1;
    Panel panel = Mounted(false, false, false);
    std::string runtime;  // sway's XDG_RUNTIME_DIR (its sockets) and its config

    void SetUp() override
    {
        QuilmocalTest::SetUp();
        if (HasFailure())
            return;
        if (access(SWAY, X_OK) != 0 || access(SWAYMSG, X_OK) != 0)
            GTEST_SKIP() << "sway is not installed (Debian package sway)";
        // sway refuses to run as root: as root, it runs as nobody, in a folder of nobody's.
        const passwd *nobody = getuid() == 0 ? getpwnam("nobody") : nullptr;
        if (getuid() == 0 && !nobody)
            GTEST_SKIP() << "no user nobody to run sway as";
        char dir[] = "/tmp/quilmosway.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        runtime = dir;
        WriteFile(runtime + "/config", "xwayland disable\noutput HEADLESS-1 mode 1024x768 transform 90\n");
        if (nobody) {
            ASSERT_EQ(chown(dir, nobody->pw_uid, nobody->pw_gid), 0);
            ASSERT_EQ(chmod((runtime + "/config").c_str(), 0644), 0);
        }
        sway = fork();
        if (sway == 0) {
            setpgid(0, 0);
            if (nobody && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0))
                _exit(126);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            setenv("WLR_BACKENDS", "headless", 1), setenv("WLR_RENDERER", "pixman", 1);
            setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
            unsetenv("WAYLAND_DISPLAY"), unsetenv("DISPLAY");
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0), dup2(devnull, 1), dup2(devnull, 2);
            ExecArgs({SWAY, "-c", runtime + "/config"});
        }
        // sway turns clockwise: its "transform 90" is wl_output's 270 (a quarter counter-clockwise
        // three times).
        if (!Eventually([&] { return Listed().find("HEADLESS-1 1024x768+0+0 rotation 270 ") != std::string::npos; },
                        20000))
            GTEST_SKIP() << "sway did not start here: " << Listed();
    }
    void TearDown() override
    {
        if (sway > 0) {
            kill(-sway, SIGTERM);
            waitpid(sway, nullptr, 0);
        }
        if (!runtime.empty())
            std::filesystem::remove_all(runtime);
        QuilmocalTest::TearDown();
    }
    std::string Env() const { return "XDG_RUNTIME_DIR=" + runtime + " WAYLAND_DISPLAY=wayland-1 "; }
    std::string Listed() const
    {
        return RunOutput(Env() + QUILMOD_BIN_DIR "/quilmocal --backend wayland --list-outputs 2>&1");
    }
    // sway's tree, as its IPC gives it.
    std::string Tree() const
    {
        return RunOutput("for s in " + runtime + "/sway-ipc.*.sock; do " + SWAYMSG + " -s \"$s\" -t get_tree; done");
    }
    static std::string RunOutput(const std::string &command)
    {
        std::string out;
        FILE *p = popen(command.c_str(), "r");
        if (!p)
            return out;
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;)
            out.append(chunk, n);
        pclose(p);
        return out;
    }
    static void WriteFile(const std::string &path, const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        fputs(text.c_str(), f);
        fclose(f);
    }
};

}  // namespace

// The window maps first, then sway makes it fullscreen at the turned output's 768 x 1024: the
// run prompts in the panel's own pixels, passes, and binds the port to HEADLESS-1.
TEST_F(QuilmocalSwayTest, AWindowMadeFullscreenOnceMappedIsCalibratedAndBound)
{
    ASSERT_TRUE(SimStart(cal, "/usr/bin/env",
                         {"-u", "DISPLAY", "QUILMOD_ROOT=" + sb.root, "XDG_RUNTIME_DIR=" + runtime,
                          "WAYLAND_DISPLAY=wayland-1", QUILMOD_BIN_DIR "/quilmocal", "--backend", "wayland",
                          "--output", "HEADLESS-1", "/dev/ttyS0"}));
    std::string line;
    Pt at{};
    ASSERT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS, &line) && Prompted(line, &at)) << line << Finish().err;
    EXPECT_EQ(at.x, 51);
    EXPECT_EQ(at.y, 38);
    // Our window's node in sway's tree: its rect and fullscreen mode come before its app_id.
    const std::string tree = Tree();
    const size_t ours = tree.find("\"app_id\": \"quilmocal\"");
    ASSERT_NE(ours, std::string::npos) << tree;
    const size_t mode = tree.rfind("\"fullscreen_mode\": ", ours), rect = tree.rfind("\"rect\": {", ours);
    ASSERT_TRUE(mode != std::string::npos && rect != std::string::npos) << tree;
    EXPECT_EQ(tree.substr(mode, 20), "\"fullscreen_mode\": 1");
    const std::string box = tree.substr(rect, tree.find('}', rect) - rect);
    EXPECT_NE(box.find("\"width\": 768,"), std::string::npos) << box;
    EXPECT_NE(box.find("\"height\": 1024"), std::string::npos) << box;
    SimSend(sim, Press(panel(at.x, at.y), rng));
    CalResult r = Drive(panel);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string conf = SandboxReadFile(sb, "/etc/quilmod.conf");
    EXPECT_NE(conf.find("/dev/ttyS0 output=HEADLESS-1\n"), std::string::npos) << conf;
    EXPECT_TRUE(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0").ends_with("#1024#768#"));
}
