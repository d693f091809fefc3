// quilmocal on a headless weston (its pixman renderer, desktop shell), read back through weston's
// screenshooter: the target on its printed pixel as on Xvfb, the whole output ours, and the
// compositor's loss or a missing output ending the run with a message and nothing written.
#include <cairo.h>
#include <dirent.h>

#include <filesystem>

#include "calhelp.h"

// After gtest: Xlib's macros (None, Bool, Status) would rename its declarations.
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr unsigned long BACKGROUND = 0x182838, WHITE = 0xFFFFFF;
constexpr char WESTON[] = "/usr/bin/weston", SHOOTER[] = "/usr/bin/weston-screenshooter";

class QuilmocalWaylandTest : public QuilmocalTest {
protected:
    int weston = -1;
    Panel panel = Mounted(false, false, false);
    std::string runtime;  // weston's XDG_RUNTIME_DIR, where its socket and the screenshots go

    void SetUp() override
    {
        QuilmocalTest::SetUp();
        if (HasFailure())
            return;
        if (access(WESTON, X_OK) != 0 || access(SHOOTER, X_OK) != 0)
            GTEST_SKIP() << "weston is not installed (Debian package weston)";
        runtime = SandboxPath(sb, "/run/user");
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        if (!StartWeston(1024, 768))
            GTEST_SKIP() << "weston did not start here";
    }
    void TearDown() override
    {
        StopWeston();
        QuilmocalTest::TearDown();
    }
    // xDisplay: weston in a window of that X display (its X11 backend, whose seat has the X
    // server's keyboard), else headless.
    bool StartWeston(int w, int h, const std::string &transform = "normal", const std::string &xDisplay = "")
    {
        weston = fork();
        if (weston == 0) {
            setpgid(0, 0);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0), dup2(devnull, 1), dup2(devnull, 2);
            // --debug opens the screenshooter to clients; the pixman renderer draws without a GPU.
            // The desktop shell: weston 10's kiosk shell shows no window on an output without a
            // seat, and the headless backend has none.
            std::vector<std::string> args = {WESTON, "--use-pixman", "--shell=desktop-shell.so", "--socket=quilmotest",
                                             "--idle-time=0", "--debug", "--width=" + std::to_string(w),
                                             "--height=" + std::to_string(h)};
            if (xDisplay.empty())
                args.insert(args.end(), {"--backend=headless-backend.so", "--transform=" + transform});
            else
                setenv("DISPLAY", xDisplay.c_str(), 1), args.push_back("--backend=x11-backend.so");
            ExecArgs(args);
        }
        // The socket comes before the shell's globals: ready once a client finds all it needs.
        const std::string probe = "XDG_RUNTIME_DIR=" + runtime + " WAYLAND_DISPLAY=quilmotest " QUILMOD_BIN_DIR
                                  "/quilmocal --backend wayland --list-outputs >/dev/null 2>&1";
        return weston > 0 && Eventually([&] {
                   return access((runtime + "/quilmotest").c_str(), F_OK) == 0 && system(probe.c_str()) == 0;
               }, 20000);
    }
    void StopWeston()
    {
        if (weston > 0) {
            kill(-weston, SIGTERM);
            waitpid(weston, nullptr, 0);
        }
        weston = -1;
    }
    void StartOnWayland(std::vector<std::string> args)
    {
        args.push_back("/dev/ttyS0");
        std::vector<std::string> all = {"-u", "DISPLAY", "QUILMOD_ROOT=" + sb.root, "XDG_RUNTIME_DIR=" + runtime,
                                        "WAYLAND_DISPLAY=quilmotest", QUILMOD_BIN_DIR "/quilmocal"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(SimStart(cal, "/usr/bin/env", all));
    }
    // The output as weston shows it now, 0x00RRGGBB a pixel; empty when no screenshot came.
    std::vector<uint32_t> Screenshot(int *w, int *h)
    {
        const std::string command = "cd " + runtime + " && rm -f wayland-screenshot-*.png && XDG_RUNTIME_DIR=" +
                                    runtime + " WAYLAND_DISPLAY=quilmotest timeout 10 " + SHOOTER +
                                    " >/dev/null 2>&1";
        std::vector<uint32_t> pixels;
        if (system(command.c_str()) != 0)
            return pixels;
        for (const auto &e : std::filesystem::directory_iterator(runtime)) {
            if (e.path().extension() != ".png")
                continue;
            cairo_surface_t *png = cairo_image_surface_create_from_png(e.path().c_str());
            *w = cairo_image_surface_get_width(png), *h = cairo_image_surface_get_height(png);
            const int stride = cairo_image_surface_get_stride(png);
            const unsigned char *data = cairo_image_surface_get_data(png);
            for (int y = 0; data && y < *h; ++y)
                for (int x = 0; x < *w; ++x)
                    pixels.push_back(reinterpret_cast<const uint32_t *>(data + y * stride)[x] & 0xFFFFFF);
            cairo_surface_destroy(png);
        }
        return pixels;
    }
    // --list-outputs prints a line starting with expected and ends well.
    void ExpectListed(const std::string &expected)
    {
        std::vector<std::string> list = {"-u", "DISPLAY", "XDG_RUNTIME_DIR=" + runtime, "WAYLAND_DISPLAY=quilmotest",
                                         QUILMOD_BIN_DIR "/quilmocal", "--list-outputs"};
        ASSERT_TRUE(SimStart(cal, "/usr/bin/env", list));
        EXPECT_TRUE(SimWaitFor(cal, expected, WAIT_MS));
        EXPECT_EQ(Finish().status, 0);
    }
    // Touches each prompt's target, seen at its printed pixel first, up to the verdict; a touch
    // then finishes. The run's result.
    CalResult TouchEveryTarget()
    {
        std::string line;
        Pt at{};
        while (SimReadLine(cal.out, cal.outBuf, WAIT_MS, line) && line.rfind("verdict: ", 0) != 0)
            if (Prompted(line, &at)) {
                EXPECT_TRUE(Eventually([&] { return PixelAt(at) == WHITE; }, 20000)) << line;
                SimSend(sim, Press(panel(at.x, at.y), rng));
            }
        EXPECT_EQ(line.rfind("verdict: max error ", 0), 0u) << line;
        SimSend(sim, Press(panel(512, 384), rng));  // a touch finishes
        return Finish();
    }
    unsigned long PixelAt(Pt p)
    {
        int w = 0, h = 0;
        const std::vector<uint32_t> shot = Screenshot(&w, &h);
        return p.x < w && p.y < h && !shot.empty() ? shot[static_cast<size_t>(p.y * w + p.x)] : 0xFF000000;
    }
};

}  // namespace

// The same run as on Xvfb: targets on their printed pixels, in our background over the whole
// output, named by its connector; a pass binds the port to that output.
TEST_F(QuilmocalWaylandTest, TheTargetsShowOnTheOutputWhereTheyArePrinted)
{
    // The output by its connector name (weston names its headless one so), listed once.
    ExpectListed("headless 1024x768+0+0 rotation 0 ");
    StartOnWayland({"--backend", "wayland", "--output", "headless"});
    std::string line;
    Pt at{};
    ASSERT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS, &line) && Prompted(line, &at)) << line;
    EXPECT_EQ(at.x, 51);
    EXPECT_TRUE(Eventually([&] { return PixelAt(at) == WHITE; }, 20000)) << "no target at " << at.x << " " << at.y;
    EXPECT_EQ(PixelAt({1023, 767}), BACKGROUND) << "the window covers the output";
    SimSend(sim, Press(panel(at.x, at.y), rng));
    CalResult r = TouchEveryTarget();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0").ends_with("#1024#768#"));
    // Calibrated on that output, the port is bound to it: its Port line alone changed.
    const std::string conf = SandboxReadFile(sb, "/etc/quilmod.conf");
    EXPECT_NE(conf.find("/dev/ttyS0 output=headless\n"), std::string::npos) << conf;
    EXPECT_EQ(conf.find("output=", conf.find("output=") + 1), std::string::npos) << conf;
}

// Bad input from the compositor's side: a name it has no output of, and the compositor going
// away mid-run: a message, exit status 1, nothing written.
TEST_F(QuilmocalWaylandTest, AMissingOutputOrALostCompositorEndsTheRunWithNothingWritten)
{
    const std::string before = CalFiles();
    StartOnWayland({"--backend", "wayland", "--output", "NOSUCH-1"});
    CalResult bad = Finish();
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("no output 'NOSUCH-1' (see --list-outputs)"), std::string::npos) << bad.err;

    StartOnWayland({"--backend", "wayland"});
    std::string line;
    Pt at{};
    ASSERT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS, &line) && Prompted(line, &at));
    SimSend(sim, Press(panel(at.x, at.y), rng));
    ASSERT_TRUE(SimWaitFor(cal, "target 2 of 4", WAIT_MS));
    StopWeston();
    CalResult lost = Finish();
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("lost the Wayland compositor: nothing written"), std::string::npos) << lost.err;
    EXPECT_EQ(CalFiles(), before);
}

// A panel on an output turned a quarter: the person sees the screen upright (768 x 1024), the
// files speak the panel's own 1024 x 768 pixels the compositor maps the touchscreen onto, and
// each target shows on the panel at the pixel printed.
TEST_F(QuilmocalWaylandTest, ARotatedOutputIsCalibratedInThePanelsOwnPixels)
{
    StopWeston();
    ASSERT_TRUE(StartWeston(1024, 768, "rotate-90"));
    ExpectListed("headless 1024x768+0+0 rotation 90 ");
    StartOnWayland({"--backend", "wayland"});
    std::string line;
    Pt at{};
    int w = 0, h = 0;
    ASSERT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS, &line) && Prompted(line, &at)) << line;
    EXPECT_EQ(at.x, 51);
    EXPECT_EQ(at.y, 38);
    EXPECT_TRUE(Eventually([&] { return PixelAt(at) == WHITE; }, 20000)) << "no target at " << at.x << " " << at.y;
    Screenshot(&w, &h);
    EXPECT_EQ(w, 1024) << "the compositor's picture is the panel's";
    SimSend(sim, Press(panel(at.x, at.y), rng));
    CalResult r = TouchEveryTarget();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0").ends_with("#1024#768#"));
}

// Escape or q on the seat's keyboard cancels, nothing written: weston in a window of Xvfb (its
// X11 backend) takes the key XTest presses there and hands it to quilmocal's focused window.
TEST_F(QuilmocalWaylandTest, EscapeOrQOnTheKeyboardCancels)
{
    std::string display;
    xvfb = StartXvfb("1024x768x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb is not installed";
    StopWeston();
    if (!StartWeston(800, 600, "normal", ":" + display))
        GTEST_SKIP() << "weston's X11 backend did not start here";
    Display *x = XOpenDisplay((":" + display).c_str());
    ASSERT_NE(x, nullptr);
    const std::string before = CalFiles();
    for (KeySym key : {XK_Escape, XK_q}) {
        SCOPED_TRACE(XKeysymToString(key));
        StartOnWayland({"--backend", "wayland"});
        ASSERT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS));
        // Pressed until it is heard: weston gives the window the keyboard once it is shown.
        const KeyCode code = XKeysymToKeycode(x, key);
        EXPECT_TRUE(Eventually([&] {
            XTestFakeMotionEvent(x, 0, 400, 300, CurrentTime);
            XTestFakeKeyEvent(x, code, True, CurrentTime);
            XTestFakeKeyEvent(x, code, False, CurrentTime);
            XSync(x, False);
            return SimWaitForError(cal, "quilmocal: cancelled", 300);
        }));
        CalResult r = Finish();
        EXPECT_EQ(r.status, 1) << r.err;
    }
    EXPECT_EQ(CalFiles(), before);
    XCloseDisplay(x);
}
