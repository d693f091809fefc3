// quilmocal against the real daemon in the sandbox, with quilmosim as a distorted panel:
// calibrations that make taps land, refusals that leave the old files alone, and the screen.
#include <sys/wait.h>

#include <cmath>
#include <functional>
#include <random>

#include "calhelp.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace {

bool Has(const std::vector<std::string> &lines, const std::string &prefix)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
}

const std::vector<Pt> TAPS = {{154, 154}, {512, 269}, {870, 461}, {307, 614}, {716, 115}, {614, 499}, {60, 700}};

}  // namespace

TEST_F(QuilmocalTest, FourPointsCalibrateEachOfTheEightMountings)
{
    for (int m = 0; m < 8; ++m) {
        SCOPED_TRACE("mounting " + std::to_string(m));
        Panel panel = Mounted(m & 1, m & 2, m & 4);
        Start({"--screen", "1024x768", "/dev/ttyS0"});
        CalResult r = Drive(panel);
        ASSERT_EQ(r.status, 0) << r.err << testing::PrintToString(r.lines);
        // The targets are the four-point correction's own: 5 % in, the far ones as it maps them.
        EXPECT_EQ(r.lines[0], "target 1 of 4 at 51 38");
        EXPECT_TRUE(Has(r.lines, "target 4 of 4 at 973 730"));
        EXPECT_TRUE(Has(r.lines, "sampled 4: raw "));
        EXPECT_TRUE(Has(r.lines, "wrote /usr/local/Qelvanto/pt4_ttyS0"));
        EXPECT_TRUE(Has(r.lines, "check 5 of 5 at 768 576"));
        EXPECT_EQ(r.lines.back().rfind("verdict: max error ", 0), 0u) << r.lines.back();
        EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4flag_ttyS0"), "4");
        EXPECT_LE(WorstTap(panel, TAPS), 3.0);
    }
}

TEST_F(QuilmocalTest, TwentyFivePointsFollowAWarpThatFourPointsCannot)
{
    Panel warped = Mounted(false, true, false, 14);
    Start({"--screen", "1024x768", "/dev/ttyS0"});
    CalResult four = Drive(warped);
    // The check sees the warp: the verdict fails, and the new files stay for the user to judge.
    EXPECT_EQ(four.status, 1);
    EXPECT_NE(four.err.find("the check found errors above 12.8 px"), std::string::npos) << four.err;
    EXPECT_NE(four.err.find("'quilmocal --restore /dev/ttyS0' puts the old one back"), std::string::npos);
    double worstFour = WorstTap(warped, TAPS);
    EXPECT_GT(worstFour, 6.0);

    Start({"--points", "25", "--screen", "1024x768", "/dev/ttyS0"});
    CalResult grid = Drive(warped);
    ASSERT_EQ(grid.status, 0) << grid.err;
    EXPECT_EQ(grid.lines[0], "target 1 of 25 at 51 38");
    EXPECT_TRUE(Has(grid.lines, "target 25 of 25 at 972 729"));
    EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4flag_ttyS0"), "25");
    EXPECT_LE(WorstTap(warped, TAPS), 3.0);

    // The four-point file was written from the grid's corners: falling back to it is calibrated.
    SandboxWriteFile(sb, "/usr/local/Qelvanto/pt4flag_ttyS0", "4");
    Command(sb, "[7178]x");
    Sync(sb);
    EXPECT_NEAR(WorstTap(warped, TAPS), worstFour, 3.0);
}

TEST_F(QuilmocalTest, RunsThatDoNotFinishLeaveTheOldFilesAlone)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        // The touch for a prompt ("" none); kill: end quilmocal by SIGTERM after that line.
        std::function<std::string(const std::string &, Pt)> touch;
        std::string killAfter;
        std::string err;
        std::string line;  // a line it must have printed
    };
    Pt first{};
    const std::vector<Case> cases = {
        {"cancelled", {}, [&](const std::string &, Pt p) { return Press(p, rng); }, "target 3 of 4",
         "interrupted: nothing written", "sampled 2"},
        {"time-out", {"--timeout", "1"}, [](const std::string &, Pt) { return std::string(); }, "",
         "no touch within 1 s: nothing written", "target 1 of 4"},
        {"far off",
         {},
         [&](const std::string &l, Pt p) {
             if (l.rfind("target 1 ", 0) == 0)
                 first = p;
             return Press(l.rfind("target 4 ", 0) == 0 ? Pt{first.x + 40, first.y + 40} : p, rng);
         },
         "target 4 again", "", "target 4 again: touch landed near"},
        {"unsteady", {}, [](const std::string &, Pt p) { return Steady(p, 14, 100); },
         "hold still", "", "hold still: target 1 again"},
        {"degenerate",
         {},
         [&](const std::string &l, Pt p) {
             if (l.rfind("target 1 ", 0) == 0)
                 first = p;
             // Steady touches, so both medians are the very same point.
             return Steady(l.rfind("target 2 ", 0) == 0 ? first : p, 12);
         },
         "", "refused: targets 1 and 2 share the raw position", "sampled 4"},
    };
    Panel panel = Mounted(false, false, false);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = CalFiles();
        std::vector<std::string> args = {"--screen", "1024x768"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("/dev/ttyS0");
        Start(args);
        CalResult r = Drive(panel, c.touch, c.killAfter);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_TRUE(Has(r.lines, c.line));
        EXPECT_EQ(CalFiles(), before);
        EXPECT_FALSE(SandboxExists(sb, "/usr/local/Qelvanto/pt4_ttyS0.prev"));
        // Sharing has ended: a tap makes frames, and nothing reaches the share pipe.
        ReadAvailable(sb.dat[0]);
        ReadAvailable(sb.shrOut);
        SimSend(sim, "tap 500 400\n");
        EXPECT_EQ(ReadFrames(sb, 0, 2).size(), 10u);
        EXPECT_EQ(Hex(ReadAvailable(sb.shrOut)), "");
    }
}

TEST_F(QuilmocalTest, CheckAloneAndRestoreBringBackThePreviousCalibration)
{
    const std::string defaults = CalFiles();
    Start({"--screen", "1024x768", "--no-reset", "/dev/ttyS0"});
    CalResult r = Drive(Mounted(true, false, true));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines.back(), "verdict: not checked, quilmod was not reset (--no-reset)");
    const std::string calibrated = CalFiles();
    EXPECT_NE(calibrated, defaults);
    // The check on its own judges what the daemon runs on: the defaults until it resets.
    Panel panel = Mounted(true, false, true);
    Start({"--check", "--screen", "1024x768", "/dev/ttyS0"});
    CalResult check = Drive(panel);
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.lines.front(), "check 1 of 5 at 512 384");
    Command(sb, "[7178]x");
    Sync(sb);
    Start({"--check", "--screen", "1024x768", "/dev/ttyS0"});
    check = Drive(panel);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.lines.size(), 11u);
    Start({"--restore", "/dev/ttyS0"});
    CalResult back = Finish();
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(CalFiles(), defaults);
    EXPECT_FALSE(SandboxExists(sb, "/usr/local/Qelvanto/pt4_ttyS0.prev"));
    Start({"--restore", "/dev/ttyS0"});
    back = Finish();
    EXPECT_EQ(back.status, 1);
    EXPECT_NE(back.err.find("no earlier calibration of /dev/ttyS0"), std::string::npos) << back.err;
}

TEST_F(QuilmocalTest, UsageErrorsAndAMissingDisplay)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--points", "5", "/dev/ttyS0"}, "--points takes 4 or 25"},
        {{"--points", "/dev/ttyS0"}, "--points takes 4 or 25"},
        {{"--screen", "1024", "/dev/ttyS0"}, "--screen takes WxH"},
        {{"--screen", "1024x99999", "/dev/ttyS0"}, "--screen takes WxH"},
        {{"--screen", "x768", "/dev/ttyS0"}, "--screen takes WxH"},
        {{"--samples", "3", "/dev/ttyS0"}, "--samples takes a number"},
        {{"--timeout", "0", "/dev/ttyS0"}, "--timeout takes seconds"},
        {{"--timeout"}, "--timeout needs a value"},
        {{"--bogus", "/dev/ttyS0"}, "unknown option '--bogus'"},
        {{"--check", "--restore", "/dev/ttyS0"}, "do not go together"},
        {{}, "no DEVICE"},
        {{"/dev/ttyS0", "/dev/ttyS1"}, "one DEVICE only"},
        {{"ttyS0"}, "is no device path"},
        {{"/dev/"}, "is no device path"},
        {{"/dev/../etc/x"}, "is no device path"},
    };
    const std::string before = CalFiles();
    for (const auto &[args, text] : cases) {
        SCOPED_TRACE(text);
        Start(args);
        CalResult r = Finish();
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("quilmocal: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    }
    // No display to be had and no --screen: one line, status 1.
    Start({"--display", ":9999", "/dev/ttyS0"});
    CalResult r = Finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open the X display :9999"), std::string::npos) << r.err;
    EXPECT_EQ(CalFiles(), before);
    // --version and --help answer at once, whatever else the line holds.
    for (const char *info : {"--version", "--help"}) {
        Start({info, "/dev/ttyS0"});
        std::string first;
        EXPECT_TRUE(SimReadLine(cal.out, cal.outBuf, WAIT_MS, first)) << info;
        EXPECT_EQ(first.rfind(std::string(info) == "--version" ? "quilmocal " QUILMOD_VERSION : "usage: ", 0), 0u)
            << first;
        EXPECT_EQ(Finish().status, 0) << info;
    }
    EXPECT_EQ(CalFiles(), before);
}

TEST_F(QuilmocalTest, TheTargetIsDrawnAtTheAnnouncedPixelOnAFullScreenWindow)
{
    std::string display;
    xvfb = StartXvfb("640x480x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb is not installed";
    Start({"--no-reset", "/dev/ttyS0"}, ":" + display);
    Display *x = XOpenDisplay((":" + display).c_str());
    ASSERT_NE(x, nullptr);
    Panel panel = Mounted(false, false, false);
    std::vector<std::string> lines;
    std::string line;
    while (SimReadLine(cal.out, cal.outBuf, WAIT_MS, line)) {
        lines.push_back(line);
        Pt at;
        if (!Prompted(line, &at))
            continue;
        // The screen's own size: 5 % of 640 x 480 in for the first target.
        if (lines.size() == 1) {
            EXPECT_EQ(line, "target 1 of 4 at 32 24");
        }
        auto drawn = [&](int px, int py) {
            XImage *img = XGetImage(x, DefaultRootWindow(x), px, py, 1, 1, AllPlanes, ZPixmap);
            unsigned long v = img ? XGetPixel(img, 0, 0) & 0xFFFFFF : 0;
            if (img)
                XDestroyImage(img);
            return v;
        };
        // Drawing happens right after the line: poll until the cross is there.
        EXPECT_TRUE(Eventually([&] { return drawn(at.x, at.y) == 0xFFFFFF; })) << line;
        // Off the cross, towards the middle: the window's own background, not the root's.
        const Pt beside = {at.x < 320 ? at.x + 30 : at.x - 30, at.y < 240 ? at.y + 30 : at.y - 30};
        for (Pt corner : {Pt{0, 0}, Pt{639, 0}, Pt{0, 479}, Pt{639, 479}, beside})
            EXPECT_EQ(drawn(corner.x, corner.y), 0x182838u) << corner.x << " " << corner.y;
        SimSend(sim, Press(panel(at.x, at.y), rng));
    }
    CalResult r = Finish();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string pt4 = SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0");
    EXPECT_TRUE(pt4.ends_with("#640#480#")) << pt4;

    // Escape on the target screen cancels, and nothing is written.
    Start({"/dev/ttyS0"}, ":" + display);
    EXPECT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS));
    Window ours = 0;
    EXPECT_TRUE(Eventually([&] { return (ours = QuilmocalWindow(x)) != 0; }));
    XEvent key{};
    key.xkey.type = KeyPress;
    key.xkey.display = x;
    key.xkey.window = ours;
    key.xkey.root = DefaultRootWindow(x);
    key.xkey.keycode = XKeysymToKeycode(x, XK_Escape);
    key.xkey.same_screen = True;
    XSendEvent(x, ours, True, KeyPressMask, &key);
    XFlush(x);
    r = Finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cancelled: nothing written"), std::string::npos) << r.err;
    EXPECT_EQ(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0"), pt4);
    XCloseDisplay(x);
}

// The console backend where no monitor can be driven: no DRM device at all, a card node that
// is no card, a connector nobody has: a message, exit status 1, nothing written.
TEST_F(QuilmocalTest, TheConsoleWithoutADrivableMonitorSaysWhyAndWritesNothing)
{
    const std::string before = CalFiles();
    struct Case {
        const char *card;    // the sandbox's /dev/dri/card0, nullptr: none
        const char *output;  // --output, nullptr: none
        const char *message;
    };
    const Case cases[] = {
        {nullptr, nullptr, "no DRM device (/dev/dri/card*) to draw on"},
        {nullptr, "HDMI-A-1", "no DRM device (/dev/dri/card*) to draw on"},
        {"not a card\n", nullptr, "no connected monitor"},
        {"not a card\n", "HDMI-A-1", "no connected connector 'HDMI-A-1' (see --list-outputs)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.card ? "a file as card0" : "no card") + ", output " + (c.output ? c.output : "-"));
        if (c.card) {
            mkdir(SandboxPath(sb, "/dev/dri").c_str(), 0755);
            SandboxWriteFile(sb, "/dev/dri/card0", c.card);
        }
        std::vector<std::string> args = {"--backend", "console"};
        if (c.output)
            args.insert(args.end(), {"--output", c.output});
        args.push_back("/dev/ttyS0");
        Start(args);
        CalResult r = Finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(CalFiles(), before);
    }
    Start({"--backend", "console", "--list-outputs"});
    EXPECT_EQ(Finish().status, 0) << "nothing to list is no failure";
}

// Escape or q on the controlling terminal cancels where no window takes keys (targets on the
// terminal alone, as on the console backend); the terminal is left as it was found.
TEST_F(QuilmocalTest, EscapeOrQOnTheTerminalCancelsAndTheTerminalComesBack)
{
    if (access("/usr/bin/script", X_OK) != 0)
        GTEST_SKIP() << "script is not installed (Debian package bsdutils)";
    const std::string before = CalFiles();
    for (const char *key : {"\x1b", "q"}) {
        SCOPED_TRACE(key[0] == 'q' ? "q" : "Escape");
        // script gives quilmocal a pseudo-terminal as its controlling terminal; what we write
        // is typed on it. After quilmocal, the terminal's modes as it left them.
        const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY QUILMOD_ROOT=" + sb.root + " " +
                                    QUILMOD_BIN_DIR "/quilmocal --screen 1024x768 /dev/ttyS0; echo \"status $?\"; stty -a";
        ASSERT_TRUE(SimStart(cal, "/usr/bin/script", {"-qfec", command, "/dev/null"}));
        ASSERT_TRUE(SimWaitFor(cal, "target 1 of 4", WAIT_MS));
        SimSend(cal, key);
        std::vector<std::string> lines;
        std::string status;
        ASSERT_TRUE(SimWaitFor(cal, "status ", WAIT_MS, &status, &lines));
        EXPECT_EQ(status.rfind("status 1", 0), 0u) << status;
        std::string all;
        for (const std::string &l : lines)
            all += l + "\n";
        EXPECT_NE(all.find("cancelled: nothing written"), std::string::npos) << all;
        std::string modes, line;
        while (SimReadLine(cal.out, cal.outBuf, WAIT_MS, line))
            modes += line + " ";
        for (const char *mode : {" icanon", " echo ", " icrnl", " ixon"})
            EXPECT_NE(modes.find(mode), std::string::npos) << mode << " in " << modes;
        EXPECT_EQ(Finish().status, 0);
    }
    EXPECT_EQ(CalFiles(), before);
}

// Under X, --output takes the kernel's connector name as well as X's; a passed run binds the
// Port line by the kernel's name. A name no connector has (Xwayland's) is not bound, and the
// run says why.
TEST_F(QuilmocalTest, APassedXRunBindsThePortByTheKernelsConnectorName)
{
    if (access("/usr/bin/xrandr", X_OK) != 0)
        GTEST_SKIP() << "xrandr is not installed (Debian package x11-xserver-utils)";
    std::string display;
    xvfb = StartXvfb("1280x480x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb is not installed";
    Display *x = XOpenDisplay((":" + display).c_str());  // Xvfb forgets its monitors once nobody is connected
    ASSERT_NE(x, nullptr);
    const std::string xrandr = "DISPLAY=:" + display + " xrandr --setmonitor ";
    ASSERT_EQ(system((xrandr + "HDMI-1 640/169x480/127+640+0 none").c_str()), 0);
    ASSERT_EQ(system((xrandr + "XWAYLAND0 640/169x480/127+0+0 none").c_str()), 0);
    const struct {
        const char *output, *said, *bound;  // bound: the Port line afterwards, nullptr: unchanged
    } cases[] = {
        {"HDMI-A-1", "bound /dev/ttyS0 to output HDMI-A-1", "/dev/ttyS0 output=HDMI-A-1\n"},
        {"XWAYLAND0", "not bound: X names the output XWAYLAND0, which is no kernel connector's name", nullptr},
        {"HDMI-1", "bound /dev/ttyS0 to output HDMI-A-1", "/dev/ttyS0 output=HDMI-A-1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output);
        SandboxWriteConfig(sb, {"/dev/ttyS0"});
        const std::string conf = SandboxReadFile(sb, "/etc/quilmod.conf");
        Start({"--output", c.output, "/dev/ttyS0"}, ":" + display);
        CalResult r = Drive(Mounted(false, false, false));
        ASSERT_EQ(r.status, 0) << r.err << testing::PrintToString(r.lines);
        EXPECT_TRUE(Has(r.lines, c.said)) << testing::PrintToString(r.lines);
        EXPECT_TRUE(SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0").ends_with("#640#480#"));
        const std::string after = SandboxReadFile(sb, "/etc/quilmod.conf");
        if (c.bound)
            EXPECT_NE(after.find(c.bound), std::string::npos) << after;
        else
            EXPECT_EQ(after, conf);
    }
    XCloseDisplay(x);
}
