// quilmocal's screens on Xvfb, read back from the server: the hold ring, rejection reasons and
// the time left at a target, the verdict in words, numbers and check points, every way out by
// touch alone (cancel, calibrate again, restore), and one monitor of two through --output.
#include <cstdlib>
#include <fstream>
#include <set>

#include "calhelp.h"

// After gtest: Xlib's macros (None, Bool, Status) would rename its declarations.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

constexpr unsigned long BACKGROUND = 0x182838, WHITE = 0xFFFFFF, HOLD = 0x40C0FF, PASS = 0x30D050,
                        FAIL = 0xFF4040, AREA = 0x2C4460;

struct Box {
    int x, y, w, h;
};

class QuilmocalScreenTest : public QuilmocalTest {
protected:
    std::string display;
    Display *x = nullptr;
    Panel panel = Mounted(false, false, false);

    void SetUp() override
    {
        QuilmocalTest::SetUp();
        if (!HasFailure() && !OpenX("640x480x24"))
            GTEST_SKIP() << "Xvfb is not installed or did not start here";
    }
    void TearDown() override
    {
        if (x)
            XCloseDisplay(x);
        QuilmocalTest::TearDown();
    }
    bool ReopenX(const std::string &geometry)  // another Xvfb in place of the first
    {
        if (x)
            XCloseDisplay(x);
        x = nullptr, StopXvfb(xvfb);
        return OpenX(geometry.c_str());
    }
    // Only background in the outermost columns: no line of text ran off the window (a target's
    // rings come within two pixels of the edge on a narrow screen, no closer).
    void ExpectEdgesClear(int w, int h)
    {
        EXPECT_EQ(Count({0, 0, 1, h}, [](unsigned long v) { return v != BACKGROUND; }), 0) << "left edge";
        EXPECT_EQ(Count({w - 1, 0, 1, h}, [](unsigned long v) { return v != BACKGROUND; }), 0) << "right edge";
    }
    bool OpenX(const char *geometry)
    {
        if ((xvfb = StartXvfb(geometry, &display)) < 0)
            return false;
        x = XOpenDisplay((":" + display).c_str());
        return x != nullptr;
    }
    void StartOnX(std::vector<std::string> args, const std::vector<std::string> &env = {})
    {
        args.push_back("/dev/ttyS0");
        std::vector<std::string> all = {"-u", "DISPLAY", "QUILMOD_ROOT=" + sb.root, "DISPLAY=:" + display};
        all.insert(all.end(), env.begin(), env.end());
        all.push_back(QUILMOD_BIN_DIR "/quilmocal");
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(SimStart(cal, "/usr/bin/env", all));
    }

    // The words the window shows, as it names them for those who cannot see it.
    std::string Shown()
    {
        Window w = QuilmocalWindow(x);
        Atom type;
        int format;
        unsigned long n = 0, after;
        unsigned char *data = nullptr;
        std::string text;
        if (w && XGetWindowProperty(x, w, XInternAtom(x, "QUILMOCAL_TEXT", False), 0, 1024, False, XA_STRING, &type,
                                    &format, &n, &after, &data) == Success && data)
            text.assign(reinterpret_cast<char *>(data), n);
        if (data)
            XFree(data);
        return text;
    }
    bool WaitShown(const std::string &text)
    {
        bool seen = Eventually([&] { return Shown().find(text) != std::string::npos; });
        EXPECT_TRUE(seen) << "never shown: " << text << "; shown: " << Shown();
        return seen;
    }
    // Pixels of the root window in box for which keep holds.
    int Count(Box b, const std::function<bool(unsigned long)> &keep)
    {
        XImage *img = XGetImage(x, DefaultRootWindow(x), b.x, b.y, unsigned(b.w), unsigned(b.h), AllPlanes, ZPixmap);
        int n = 0;
        for (int j = 0; img && j < b.h; ++j)
            for (int i = 0; i < b.w; ++i)
                n += keep(XGetPixel(img, i, j) & 0xFFFFFF);
        if (img)
            XDestroyImage(img);
        return n;
    }
    int CountColour(Box b, unsigned long rgb)
    {
        return Count(b, [&](unsigned long v) { return v == rgb; });
    }
    unsigned long Pixel(int px, int py)
    {
        int n = 0;
        unsigned long seen = 0;
        Count({px, py, 1, 1}, [&](unsigned long v) { return seen = v, ++n; });
        return seen;
    }
    // With QUILMOD_PICTURES=DIR, the screen as DIR/name (the README's pictures come from here).
    void Picture(const std::string &name)
    {
        const char *dir = getenv("QUILMOD_PICTURES");
        if (dir && *dir) {
            const std::string command = "xwd -silent -root -display :" + display + " | convert xwd:- " + dir + "/" + name;
            EXPECT_EQ(system(command.c_str()), 0);
        }
    }
    // Waits for the next prompt starting with prefix; its pixel in *at.
    bool Prompt(const std::string &prefix, Pt *at, std::string *line = nullptr)
    {
        std::string found;
        bool ok = SimWaitFor(cal, prefix, WAIT_MS, &found) && Prompted(found, at);
        EXPECT_TRUE(ok) << "no prompt " << prefix;
        if (line)
            *line = found;
        return ok;
    }
    void Touch(Pt screen, Pt off = {0, 0}) { SimSend(sim, Press(panel(screen.x + off.x, screen.y + off.y), rng)); }
    // Answers the prompts up to the verdict, each check touch off by checkOff; returns the
    // verdict line, and the check points where they landed in *landed.
    std::string ToVerdict(Pt checkOff, std::vector<Pt> *landed = nullptr)
    {
        std::string line;
        Pt at{}, target{};
        while (SimReadLine(cal.out, cal.outBuf, WAIT_MS, line)) {
            int dx, dy, k;
            if (line.rfind("verdict: ", 0) == 0)
                return line;
            if (Prompted(line, &at)) {
                target = at;
                Touch(at, line.rfind("check ", 0) == 0 ? checkOff : Pt{0, 0});
            } else if (landed && sscanf(line.c_str(), "check %d: off by %d %d", &k, &dx, &dy) == 3) {
                landed->push_back({target.x + dx, target.y + dy});
            }
        }
        ADD_FAILURE() << "no verdict";
        return "";
    }
    // A tap on screen pixel p reaches the desktop there (within the correction's rounding).
    void ExpectTapLands(Pt p)
    {
        ReadAvailable(sb.dat[0]);
        const Pt raw = panel(p.x, p.y);
        SimSend(sim, "tap " + std::to_string(raw.x) + " " + std::to_string(raw.y) + "\n");
        Bytes f = ReadFrames(sb, 0, 2);
        ASSERT_EQ(f.size(), 10u);
        EXPECT_NEAR(f[1] * 256 + f[2], p.x, 3);
        EXPECT_NEAR(f[3] * 256 + f[4], p.y, 3);
    }
    std::string Prev() { return SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0.prev"); }
};

bool Amber(unsigned long v)
{
    return (v >> 16) > 0xC0 && ((v >> 8) & 0xFF) > 0x80 && (v & 0xFF) < 0x60;
}

}  // namespace

TEST_F(QuilmocalScreenTest, TheHoldRingFillsAndARejectedTouchSaysWhy)
{
    StartOnX({"--no-reset", "--timeout", "30"});
    Pt at;
    ASSERT_TRUE(Prompt("target 1 of 4", &at));
    const Box ring = {0, 0, at.x + 40, at.y + 40};
    ASSERT_TRUE(WaitShown("s left"));
    EXPECT_EQ(CountColour(ring, HOLD), 0);
    // The time left counts down on the screen.
    const std::string first = Shown();
    size_t end = first.find(" s left"), start = end;
    while (start > 0 && start != std::string::npos && isdigit(static_cast<unsigned char>(first[start - 1])))
        start--;
    ASSERT_LT(start, end) << first;
    WaitShown(std::to_string(std::stoi(first.substr(start, end - start)) - 1) + " s left");
    // A held touch fills the ring as its positions come, three of eight, then six.
    const Pt raw = panel(at.x, at.y);
    SimSend(sim, Line("down", raw) + Line("move", raw) + Line("move", raw));
    int third = 0, more = 0;
    EXPECT_TRUE(Eventually([&] { return (third = CountColour(ring, HOLD)) > 0; }));
    SimSend(sim, Line("move", raw) + Line("move", raw) + Line("move", raw));
    EXPECT_TRUE(Eventually([&] { return (more = CountColour(ring, HOLD)) > third; })) << third;
    // Lifted too soon: the reason shows in amber, in anti-aliased letters.
    SimSend(sim, Line("lift", raw));
    EXPECT_TRUE(SimWaitFor(cal, "hold still: target 1 again", WAIT_MS));
    WaitShown("Hold still: that touch was too short");
    const Box text = {0, 120, 640, 300};
    EXPECT_GT(Count(text, Amber), 50);
    std::set<unsigned long> shades;
    Count(text, [&](unsigned long v) { return shades.insert(v).second; });
    EXPECT_GT(shades.size(), 8u) << "no anti-aliasing";
    EXPECT_EQ(CountColour(ring, HOLD), 0) << "the ring starts again";
    // Three good targets, then a touch far from the fourth: told to touch the cross.
    Pt firstAt = at;
    Touch(at);
    for (const char *t : {"target 2 of 4", "target 3 of 4"}) {
        ASSERT_TRUE(Prompt(t, &at));
        Touch(at);
    }
    ASSERT_TRUE(Prompt("target 4 of 4", &at));
    Touch(firstAt, {40, 40});
    EXPECT_TRUE(SimWaitFor(cal, "target 4 again: touch landed near", WAIT_MS));
    WaitShown("Touch the centre of the cross: that touch landed far from it");
    Picture("quilmocal.png");
    ASSERT_TRUE(Prompt("target 4 of 4", &at));
    Touch(at);
    EXPECT_EQ(Finish().status, 0);
}

TEST_F(QuilmocalScreenTest, TheVerdictShowsPassAndFailWithNumbersAndWhereTheChecksLanded)
{
    struct Case {
        const char *name;
        Pt checkOff;
        const char *title;
        unsigned long colour;
        const char *picture;
    };
    for (const Case &c : {Case{"pass", {0, 0}, "Calibration passed", PASS, "quilmocal-verdict.png"},
                          Case{"fail", {30, 0}, "Check failed", FAIL, "quilmocal-failed.png"}}) {
        SCOPED_TRACE(c.name);
        StartOnX({});
        std::vector<Pt> landed;
        const std::string verdict = ToVerdict(c.checkOff, &landed);
        double worst, mean;
        ASSERT_EQ(sscanf(verdict.c_str(), "verdict: max error %lf px, mean %lf px", &worst, &mean), 2) << verdict;
        char numbers[80];
        snprintf(numbers, sizeof numbers, "Largest error %.1f px, mean %.1f px", worst, mean);
        WaitShown(c.title);
        WaitShown(numbers);
        EXPECT_GT(CountColour({0, 0, 640, 100}, c.colour), 100) << "the title in its colour";
        ASSERT_EQ(landed.size(), 5u);
        for (Pt l : landed)
            EXPECT_EQ(Pixel(l.x, l.y), c.colour) << "a check point at " << l.x << " " << l.y;
        if (c.colour == FAIL) {
            // The two halves to touch, marked by their boxes.
            EXPECT_TRUE(SimWaitFor(cal, "choose: ", WAIT_MS));
            EXPECT_EQ(Pixel(100, 440), AREA);
            EXPECT_EQ(Pixel(540, 440), AREA);
            WaitShown("Calibrate again");
            WaitShown("Restore previous");
        } else {
            // A pass has nothing to undo: it only waits to be done with.
            WaitShown("Touch the screen to finish");
            EXPECT_EQ(Shown().find("Calibrate again"), std::string::npos) << Shown();
            EXPECT_NE(Pixel(100, 440), AREA);
        }
        Picture(c.picture);
        kill(cal.pid, SIGTERM);
        Finish();
    }
}

TEST_F(QuilmocalScreenTest, EveryWayOutWorksByTouchAlone)
{
    const std::string before = CalFiles();
    const std::string pt4 = SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0");
    Pt at;
    {
        SCOPED_TRACE("a touch held 4 s cancels once lifted; nothing is written");
        StartOnX({});
        ASSERT_TRUE(Prompt("target 1 of 4", &at));
        Touch(at);
        ASSERT_TRUE(Prompt("target 2 of 4", &at));
        const Pt raw = panel(at.x, at.y);
        SimSend(sim, Line("down", raw) + Line("move", raw));
        WaitShown("Keep holding");
        WaitShown("Lift your finger to cancel");
        SimSend(sim, Line("lift", raw));
        WaitShown("Calibration cancelled\nNothing written: the calibration from before this run stays in force");
        CalResult r = Finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cancelled: nothing written"), std::string::npos) << r.err;
        EXPECT_EQ(CalFiles(), before);
        EXPECT_FALSE(SandboxExists(sb, "/usr/local/Qelvanto/pt4_ttyS0.prev"));
    }
    {
        SCOPED_TRACE("a failed check, the right half: the old files are back, none left as .prev");
        StartOnX({});
        ToVerdict({30, 0});
        ASSERT_TRUE(SimWaitFor(cal, "choose: ", WAIT_MS));
        EXPECT_NE(CalFiles(), before);
        Touch({480, 300});
        WaitShown("Previous calibration restored\nThe calibration from before this run is in force");
        CalResult r = Finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the previous calibration is back"), std::string::npos) << r.err;
        EXPECT_EQ(CalFiles(), before);
        EXPECT_FALSE(SandboxExists(sb, "/usr/local/Qelvanto/pt4_ttyS0.prev"));
    }
    {
        SCOPED_TRACE("a failed check, the left half: the old files back, then a new run that passes");
        StartOnX({});
        ToVerdict({30, 0});
        ASSERT_TRUE(SimWaitFor(cal, "choose: ", WAIT_MS));
        Touch({160, 300});
        WaitShown("Calibrating again\nThe calibration from before this run is in force until the new one is written");
        ASSERT_TRUE(SimWaitFor(cal, "calibrating again", WAIT_MS));
        EXPECT_EQ(CalFiles(), before);
        EXPECT_EQ(ToVerdict({0, 0}).rfind("verdict: max error ", 0), 0u);
        WaitShown("Calibration passed");
        Touch({320, 240});  // a touch finishes
        WaitShown("Calibration passed\nThe new calibration is in force");
        CalResult r = Finish();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(CalFiles(), before);
        EXPECT_EQ(Prev(), pt4) << "the .prev file is the calibration before both runs";
        ExpectTapLands({200, 100});
    }
}

TEST_F(QuilmocalScreenTest, OutputPutsTheTargetsOnOneMonitorOfTwo)
{
    if (access("/usr/bin/xrandr", X_OK) != 0)
        GTEST_SKIP() << "xrandr is not installed (Debian package x11-xserver-utils)";
    ASSERT_TRUE(ReopenX("1280x480x24"));
    const std::string xrandr = "DISPLAY=:" + display + " xrandr --setmonitor ";
    ASSERT_EQ(system((xrandr + "LEFTM 640/169x480/127+0+0 none").c_str()), 0);
    ASSERT_EQ(system((xrandr + "RIGHTM 640/169x480/127+640+0 none").c_str()), 0);
    StartOnX({"--list-outputs"});
    // (the device is no argument of --list-outputs: it is refused)
    EXPECT_EQ(Finish().status, 2);
    {
        std::vector<std::string> all = {"-u", "DISPLAY", "DISPLAY=:" + display, QUILMOD_BIN_DIR "/quilmocal",
                                        "--list-outputs"};
        ASSERT_TRUE(SimStart(cal, "/usr/bin/env", all));
        EXPECT_TRUE(SimWaitFor(cal, "RIGHTM 640x480+640+0 rotation 0 169x127 mm", WAIT_MS));
        EXPECT_EQ(Finish().status, 0);
    }
    StartOnX({"--output", "NOSUCH"});
    CalResult bad = Finish();
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("no monitor or output 'NOSUCH'"), std::string::npos) << bad.err;

    StartOnX({"--output", "RIGHTM"});
    Pt at;
    ASSERT_TRUE(Prompt("target 1 of 4", &at));
    EXPECT_EQ(at.x, 32);  // in the monitor's own pixels
    EXPECT_TRUE(Eventually([&] { return Pixel(640 + at.x, at.y) == WHITE; }));
    EXPECT_NE(Pixel(at.x, at.y), WHITE);
    EXPECT_EQ(Pixel(1279, 479), BACKGROUND);
    EXPECT_NE(Pixel(639, 479), BACKGROUND) << "the left monitor is not ours";
    Touch(at);
    EXPECT_EQ(ToVerdict({0, 0}).rfind("verdict: max error ", 0), 0u);
    Touch({320, 240});
    EXPECT_EQ(Finish().status, 0);
    const std::string files = SandboxReadFile(sb, "/usr/local/Qelvanto/pt4_ttyS0");
    EXPECT_TRUE(files.ends_with("#640#480#")) << files;
    // The written calibration serves a tap on that monitor in its own pixels.
    ExpectTapLands({500, 400});
}

TEST_F(QuilmocalScreenTest, WithoutAnyFontTheBuiltInLettersStillSpeak)
{
    // A fontconfig that knows no fonts: cairo's own stroked letters stand in.
    SandboxWriteFile(sb, "/etc/fonts-none.conf", "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
    StartOnX({"--no-reset"}, {"FONTCONFIG_FILE=" + SandboxPath(sb, "/etc/fonts-none.conf")});
    Pt at;
    ASSERT_TRUE(Prompt("target 1 of 4", &at));
    WaitShown("s left");
    const Box text = {0, 120, 640, 300};
    const auto bright = [](unsigned long v) { return ((v >> 8) & 0xFF) > 0x80; };
    EXPECT_TRUE(Eventually([&] { return Count(text, bright) > 100; })) << "no letters drawn";
    kill(cal.pid, SIGTERM);
    EXPECT_EQ(Finish().status, 1);
}

// The right-click tool installed in the sandbox, started by the daemon on the test's display and
// saying its state; false when wish is missing.
static bool InstallRButton(Sandbox &sb, const std::string &display)
{
    if (access("/usr/bin/wish", X_OK) != 0)
        return false;
    SandboxInstallRButton(sb);
    // The daemon asks env for display :0.0; this one hands the test's display on instead.
    SandboxWriteFile(sb, "/usr/bin/env",
                     "#!/bin/sh\n[ \"$1\" = DISPLAY=:0.0 ] || exit 2\nshift\n"
                     "exec /usr/bin/env DISPLAY=:" + display + " QUILMOD_RBUTTON_STATE=1 \"$@\"\n",
                     0755);
    SandboxDisplay(sb, "/tmp/.X11-unix/X" + display);
    return true;
}

TEST_F(QuilmocalScreenTest, TheRightClickToolStepsAsideAndComesBack)
{
    if (!InstallRButton(sb, display))
        GTEST_SKIP() << "wish is not installed (Debian package tk)";
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "RClickTool = 1\n");
    Command(sb, "[7178]x");
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped"));
    Command(sb, "[7177]x");  // armed: the next touch would be a right-button one
    StartOnX({"--check"});
    Pt at;
    ASSERT_TRUE(Prompt("check 1 of 5", &at));
    ReadAvailable(sb.dat[0]);
    Touch(at);
    Bytes f = ReadFrames(sb, 0, 1);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0] & 0x20, 0) << "the check's touch is a left-button one";
    kill(cal.pid, SIGTERM);
    EXPECT_EQ(Finish().status, 1);
    // A check resets nothing: the tool is left as it was, never hidden and shown again (one a
    // technician had hidden would come back).
    EXPECT_FALSE(WaitLine(sb, "rbutton: state plain withdrawn", 300)) << "a check hid the tool";
    // A calibration hides it while it runs and puts it back as the configuration has it.
    StartOnX({});
    ASSERT_TRUE(Prompt("target 1 of 4", &at));
    EXPECT_TRUE(WaitLine(sb, "rbutton: state plain withdrawn"));
    kill(cal.pid, SIGTERM);
    EXPECT_EQ(Finish().status, 1);
    EXPECT_TRUE(WaitLine(sb, "rbutton: state plain mapped")) << "back as the configuration has it";
}

// A tool shown by hand where the configuration says RClickTool = 0 stays away after quilmocal:
// the state put back is the one the daemon's next reset would give.
TEST_F(QuilmocalScreenTest, TheRightClickToolStaysAwayWhenTheConfigurationSaysSo)
{
    if (!InstallRButton(sb, display))
        GTEST_SKIP() << "wish is not installed (Debian package tk)";
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "RClickTool = 0\n");
    Command(sb, "[7178]x");
    Sync(sb);
    Command(sb, "[7185]x");
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain mapped 0"));
    StartOnX({});  // a calibration: a check alone leaves the tool as it is
    Pt at;
    ASSERT_TRUE(Prompt("target 1 of 4", &at));
    EXPECT_TRUE(WaitLine(sb, "rbutton: state plain withdrawn 0"));
    kill(cal.pid, SIGTERM);
    EXPECT_EQ(Finish().status, 1);
    Command(sb, "[7180]1");  // a mark: the tool says its state with the new mode
    ASSERT_TRUE(WaitLine(sb, "rbutton: state plain "));
    EXPECT_EQ(CountLines(sb, "rbutton: state plain mapped 1"), 0);
    EXPECT_EQ(CountLines(sb, "rbutton: state plain mapped 0"), 1) << "shown again after quilmocal";
}

// On a landscape, a wide and a portrait screen every line fits the window (the longest ones: a
// rejected touch, a failed check's verdict and its question, the ending), the targets sit on
// their printed pixels, and a failed check nobody answers restores the previous calibration,
// saying so while it counts down and once it is done.
TEST_F(QuilmocalScreenTest, TextFitsEveryShapeOfScreenAndAnUnansweredFailureRestores)
{
    struct Case {
        int w, h;
        const char *picture;
    };
    const std::string before = CalFiles();
    for (const Case &c : {Case{1024, 768, ""}, Case{1920, 1080, ""}, Case{768, 1024, "portrait"}}) {
        const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
        SCOPED_TRACE(size);
        ASSERT_TRUE(ReopenX(size + "x24"));
        StartOnX({"--timeout", "3"});
        Pt at;
        ASSERT_TRUE(Prompt("target 1 of 4", &at));
        EXPECT_TRUE(Eventually([&] { return Pixel(at.x, at.y) == WHITE; })) << at.x << " " << at.y;
        Touch(at);
        ASSERT_TRUE(Prompt("target 2 of 4", &at));
        Touch(at);
        ASSERT_TRUE(Prompt("target 3 of 4", &at));
        Touch(at);
        ASSERT_TRUE(Prompt("target 4 of 4", &at));
        Touch({at.x - c.w / 2, at.y - c.h / 2});
        WaitShown("Touch the centre of the cross: that touch landed far from it");
        EXPECT_GT(Count({0, 0, c.w, c.h}, Amber), 50);
        ExpectEdgesClear(c.w, c.h);
        if (*c.picture)
            Picture(std::string("quilmocal-") + c.picture + ".png");
        ASSERT_TRUE(Prompt("target 4 of 4", &at));
        Touch(at);
        std::vector<Pt> landed;
        ToVerdict({c.w / 40, 0}, &landed);
        ASSERT_TRUE(SimWaitFor(cal, "choose: ", WAIT_MS));
        WaitShown("the previous calibration comes back");
        EXPECT_GT(CountColour({0, 0, c.w, c.h / 4}, FAIL), 100) << "the title";
        for (Pt l : landed)
            EXPECT_EQ(Pixel(l.x, l.y), FAIL) << "a check point at " << l.x << " " << l.y;
        ExpectEdgesClear(c.w, c.h);
        if (*c.picture)
            Picture(std::string("quilmocal-failed-") + c.picture + ".png");
        WaitShown("No answer: previous calibration restored");
        ExpectEdgesClear(c.w, c.h);
        CalResult r = Finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("no answer to the failed check: the previous calibration is back"), std::string::npos)
            << r.err;
        EXPECT_EQ(CalFiles(), before);
    }
}

// The long hold that cancels shows its progress where the finger is, not at the target: amber
// while it counts down, red once a lift cancels.
TEST_F(QuilmocalScreenTest, HoldToCancelFillsARingAtTheFinger)
{
    StartOnX({});
    Pt at;
    for (const char *t : {"target 1 of 4", "target 2 of 4", "target 3 of 4"}) {
        ASSERT_TRUE(Prompt(t, &at));
        Touch(at);
    }
    ASSERT_TRUE(Prompt("target 4 of 4", &at));
    const Pt finger = {160, 380};
    const Box near = {finger.x - 70, finger.y - 70, 140, 140}, target = {at.x - 40, at.y - 40, 72, 64};  // to the edges
    const Pt raw = panel(finger.x, finger.y);
    SimSend(sim, Line("down", raw) + Line("move", raw));
    WaitShown("Keep holding");
    EXPECT_TRUE(Eventually([&] { return Count(near, Amber) > 20; })) << "no amber ring at the finger";
    EXPECT_EQ(Count(target, Amber), 0) << "the target's ring is no cancel mark";
    WaitShown("Lift your finger to cancel");
    EXPECT_TRUE(Eventually([&] { return CountColour(near, FAIL) > 20; })) << "no red ring at the finger";
    EXPECT_EQ(CountColour(target, FAIL), 0);
    Picture("quilmocal-cancel.png");
    SimSend(sim, Line("lift", raw));
    WaitShown("Calibration cancelled");
    EXPECT_EQ(Finish().status, 1);
}
