// Unit tests of quilmocal's units: targets against the correction, the consistency and refusal
// rules, settling, file lines, and writing and restoring the files beneath a sandbox root.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "cal.h"
#include "correct.h"

namespace fs = std::filesystem;

namespace {

// A panel over about 0..1000 on both axes, mounted plainly, swapped and/or mirrored about 1000.
Point Sensor(Point s, int mounting, int width = 1024, int height = 768)
{
    double u = 30 + 900.0 * s.x / width, v = 45 + 680.0 * s.y / height;
    if (mounting & 2)
        u = 1000 - u;
    if (mounting & 4)
        v = 1000 - v;
    Point p = {int(std::lround(u)), int(std::lround(v))};
    return mounting & 1 ? Point{p.y, p.x} : p;
}

Calibration Measured(int points, int mounting, int width = 1024, int height = 768)
{
    Calibration c;
    PlanTargets(&c, points, width, height);
    for (int k = 0; k < points; ++k)
        c.raw[k] = Sensor(c.target[k], mounting, width, height);
    c.taken = points;
    return c;
}

std::string Why(const Calibration &c)
{
    char why[200] = "";
    return CalibrationSound(c, why, sizeof why) ? "" : why;
}

}  // namespace

TEST(QuilmocalTargets, AreWhereTheCorrectionMapsItsCorners)
{
    struct Case {
        int points, width, height;
        std::vector<Point> first;  // the first targets, in order
        Point last;
    };
    const std::vector<Case> cases = {
        {4, 1024, 768, {{51, 38}, {973, 38}, {51, 730}}, {973, 730}},  // W - W/20, not the grid's 972
        {4, 800, 600, {{40, 30}, {760, 30}, {40, 570}}, {760, 570}},
        {25, 1024, 768, {{51, 38}, {281, 38}, {512, 38}, {742, 38}, {972, 38}, {51, 211}}, {972, 729}},
        {25, 800, 600, {{40, 30}, {220, 30}, {400, 30}, {579, 30}}, {759, 569}},
    };
    for (const Case &c : cases) {
        Calibration cal;
        PlanTargets(&cal, c.points, c.width, c.height);
        for (size_t k = 0; k < c.first.size(); ++k) {
            EXPECT_EQ(cal.target[k].x, c.first[k].x) << c.points << " " << k;
            EXPECT_EQ(cal.target[k].y, c.first[k].y) << c.points << " " << k;
        }
        EXPECT_EQ(cal.target[c.points - 1].x, c.last.x);
        EXPECT_EQ(cal.target[c.points - 1].y, c.last.y);
    }
    auto check = CheckTargets(4, 1024, 768);
    EXPECT_EQ(check[0].x, 512);
    EXPECT_EQ(check[4].y, 576);
}

TEST(QuilmocalTargets, EveryMountingIsAcceptedAndMapsBackOntoItsTargets)
{
    for (int points : {4, 25})
        for (int m = 0; m < 8; ++m) {
            Calibration c = Measured(points, m);
            EXPECT_EQ(Why(c), "") << points << " mounting " << m;
            // The daemon's arithmetic on the files' values puts the centre where it belongs.
            TouchPanel p{};
            FillPanel(c, &p);
            int x = Sensor({512, 384}, m).x, y = Sensor({512, 384}, m).y;
            CalibrationPt(&p, &x, &y);
            EXPECT_NEAR(x, 512, 2) << points << " mounting " << m;
            EXPECT_NEAR(y, 384, 2) << points << " mounting " << m;
        }
}

TEST(QuilmocalTargets, FarTouchesAreJudgedOnlyOnceThreeTargetsSpanAnArea)
{
    for (int m = 0; m < 8; ++m) {
        Calibration c = Measured(4, m);
        const Point right = c.raw[3];
        char why[160];
        // Two targets alone cannot tell a mirrored panel: anything goes for the third.
        c.taken = 2;
        EXPECT_TRUE(FitsSoFar(c, c.raw[0], why, sizeof why));
        c.taken = 3;
        EXPECT_TRUE(FitsSoFar(c, right, why, sizeof why)) << m;
        EXPECT_TRUE(FitsSoFar(c, {right.x + 20, right.y - 20}, why, sizeof why)) << m;
        EXPECT_FALSE(FitsSoFar(c, c.raw[0], why, sizeof why)) << m;  // the first corner again
        EXPECT_NE(std::string(why).find("far from the target"), std::string::npos);
    }
    // A grid's first row lies on one line: its sixth target is not judged yet, its seventh is.
    Calibration g = Measured(25, 0);
    char why[160];
    g.taken = 5;
    EXPECT_TRUE(FitsSoFar(g, g.raw[24], why, sizeof why));
    g.taken = 6;
    EXPECT_FALSE(FitsSoFar(g, g.raw[24], why, sizeof why));
    EXPECT_TRUE(FitsSoFar(g, g.raw[6], why, sizeof why));
}

TEST(QuilmocalTargets, SetsTheCorrectionWouldMisreadAreRefused)
{
    struct Case {
        const char *name;
        int points;
        std::function<void(Calibration &)> spoil;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"two corners on one raw point", 4, [](Calibration &c) { c.raw[1] = c.raw[0]; },
         "targets 1 and 2 share the raw position"},
        {"two grid points on one raw point", 25, [](Calibration &c) { c.raw[12] = c.raw[7]; },
         "targets 8 and 13 share the raw position"},
        {"no span", 4,
         [](Calibration &c) {
             for (int k = 0; k < 4; ++k)
                 c.raw[k] = {500 + k, 500 + 2 * k};
         },
         "span only 3 by 6"},
        {"origin corner tie", 4,
         [](Calibration &c) {
             c.raw[0] = {100, 50};
             c.raw[1] = {50, 100};
         },
         "targets 1 and 2 tie for the sensor's origin corner"},
        {"lower corners crossed", 4, [](Calibration &c) { std::swap(c.raw[2], c.raw[3]); },
         "targets 1, 2, 4, 3 do not enclose an area"},
        {"grid cell folded", 25, [](Calibration &c) { std::swap(c.raw[6], c.raw[12]); }, "do not enclose an area"},
        {"grid row out of order", 25, [](Calibration &c) { std::swap(c.raw[11], c.raw[13]); },
         "targets 7, 8, 13, 12 do not enclose an area"},
        {"axes of unlike range", 4,  // x over 0..4095 mirrored: the sum rule takes UR for the origin
         [](Calibration &c) {
             c.raw[0] = {4035, 50}, c.raw[1] = {3135, 45}, c.raw[2] = {4040, 720}, c.raw[3] = {3130, 730};
         },
         "the correction cannot tell this sensor's mounting"},
    };
    for (const Case &c : cases) {
        Calibration cal = Measured(c.points, 0);
        c.spoil(cal);
        EXPECT_NE(Why(cal).find(c.why), std::string::npos) << c.name << ": " << Why(cal);
    }
}

TEST(QuilmocalTargets, AGridsFourPointCornersSitOnTheFourPointTargets)
{
    // The grid corner at 972 is measured; the four-point file needs the raw point of 973.
    for (int m = 0; m < 8; ++m) {
        Calibration c = Measured(25, m);
        Mapping corners = CornerMapping(c);
        TouchPanel p{};
        p._25Mode = 4;
        p.mapping = corners;
        p.screen_width_4 = 1024, p.screen_high_4 = 768;
        for (Point s : {Point{200, 600}, Point{900, 100}, Point{512, 384}}) {
            Point raw = Sensor(s, m);
            CalibrationPt(&p, &raw.x, &raw.y);
            EXPECT_NEAR(raw.x, s.x, 2) << m;
            EXPECT_NEAR(raw.y, s.y, 2) << m;
        }
    }
}

TEST(QuilmocalSamples, SettleToTheMedianOfTheLaterPositions)
{
    struct Case {
        std::vector<Point> samples;
        Point median;
        int kept, spread;
    };
    const std::vector<Case> cases = {
        {{{900, 900}, {600, 600}, {520, 520}, {500, 400}, {502, 401}, {498, 399}}, {500, 400}, 3, 2},
        {{{0, 0}, {0, 0}, {0, 0}, {10, 20}, {11, 21}}, {10, 20}, 2, 1},  // halves go to the even side
        {{{0, 0}, {0, 0}, {0, 0}, {11, 21}, {12, 22}}, {12, 22}, 2, 1},
        {{{7, 8}, {9, 10}}, {8, 9}, 2, 1},  // too few to leave any out
        {{}, {0, 0}, 0, 0},
    };
    for (const Case &c : cases) {
        Settled s = SettleSamples(c.samples.data(), int(c.samples.size()));
        EXPECT_EQ(s.median.x, c.median.x);
        EXPECT_EQ(s.median.y, c.median.y);
        EXPECT_EQ(s.kept, c.kept);
        EXPECT_EQ(s.spread, c.spread);
    }
}

TEST(QuilmocalFiles, LinesTheDaemonWouldRejectAreNeverFormed)
{
    char out[512];
    const int pt4[] = {51, 38, 973, 38, 51, 730, 973, 730, 1024, 768};
    ASSERT_TRUE(FormatFields(pt4, 10, out, sizeof out, 50));
    EXPECT_STREQ(out, "51#38#973#38#51#730#973#730#1024#768#");
    const int wide[] = {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535, 1024, 768};
    EXPECT_FALSE(FormatFields(wide, 10, out, sizeof out, 50));  // 57 characters
    EXPECT_FALSE(FormatFields(wide, 10, out, 20, 500));         // does not fit the buffer
}

class QuilmocalWrite : public testing::Test {
protected:
    fs::path root;
    std::string savedRoot;
    bool hadRoot = false;

    void SetUp() override
    {
        if (const char *r = getenv("QUILMOD_ROOT"))
            savedRoot = r, hadRoot = true;
        char tmpl[] = "/tmp/qlmcal.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        fs::create_directories(root / "usr/local/Qelvanto");
        setenv("QUILMOD_ROOT", root.c_str(), 1);
    }
    void TearDown() override
    {
        if (hadRoot)
            setenv("QUILMOD_ROOT", savedRoot.c_str(), 1);
        else
            unsetenv("QUILMOD_ROOT");
        fs::remove_all(root);
    }
    fs::path File(const std::string &name) { return root / "usr/local/Qelvanto" / name; }
    std::string Read(const std::string &name)
    {
        std::ifstream f(File(name));
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void Write(const std::string &name, const std::string &text) { std::ofstream(File(name)) << text; }
};

TEST_F(QuilmocalWrite, ReplacesTheFilesKeepsThePreviousAndRestoresThem)
{
    Write("pt4flag_ttyS0", "25");
    Write("pt4_ttyS0", "old4#");
    Write("pt25_ttyS0", "old25#");
    Calibration c = Measured(4, 0);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(WriteCalibration(c, "/dev/ttyS0"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "wrote /usr/local/Qelvanto/pt4_ttyS0\nwrote /usr/local/Qelvanto/pt4flag_ttyS0\n");
    EXPECT_EQ(Read("pt4flag_ttyS0"), "4");
    EXPECT_EQ(Read("pt4_ttyS0"), "75#79#885#79#75#691#885#691#1024#768#");
    EXPECT_EQ(Read("pt25_ttyS0"), "old25#");  // a four-point run leaves the grid alone
    EXPECT_EQ(Read("pt4_ttyS0.prev"), "old4#");
    EXPECT_EQ(fs::status(File("pt4_ttyS0")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    for (const auto &e : fs::directory_iterator(root / "usr/local/Qelvanto"))
        EXPECT_EQ(e.path().filename().string().find(".quilmocal"), std::string::npos);  // no scratch left
    testing::internal::CaptureStdout();
    EXPECT_EQ(RestoreCalibration("/dev/ttyS0"), EXIT_OK);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Read("pt4flag_ttyS0"), "25");
    EXPECT_EQ(Read("pt4_ttyS0"), "old4#");
    EXPECT_FALSE(fs::exists(File("pt4_ttyS0.prev")));
}

TEST_F(QuilmocalWrite, AGridRunWritesAllThreeAndARestoreRemovesWhatWasNotThere)
{
    Calibration c = Measured(25, 3);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(WriteCalibration(c, "/dev/ttyS0"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Read("pt4flag_ttyS0"), "25");
    std::string grid = Read("pt25_ttyS0");
    EXPECT_EQ(std::count(grid.begin(), grid.end(), '#'), 52);
    EXPECT_TRUE(grid.ends_with("#1024#768#"));
    std::string corners = Read("pt4_ttyS0");
    EXPECT_EQ(std::count(corners.begin(), corners.end(), '#'), 10);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RestoreCalibration("/dev/ttyS0"), EXIT_OK);
    testing::internal::GetCapturedStdout();
    for (const char *name : {"pt4flag_ttyS0", "pt4_ttyS0", "pt25_ttyS0", "pt4_ttyS0.prev"})
        EXPECT_FALSE(fs::exists(File(name))) << name;
}

TEST_F(QuilmocalWrite, HostilePlacesAreRefusedAndNothingIsWritten)
{
    struct Case {
        const char *name;
        std::function<void()> make;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"a link to another file", [&] { fs::create_symlink(root / "target", File("pt4_ttyS0")); },
         "is not a regular file"},
        {"a directory", [&] { fs::create_directory(File("pt4flag_ttyS0")); }, "is not a regular file"},
        {"no directory", [&] { fs::remove_all(root / "usr/local/Qelvanto"); }, "cannot write beside"},
    };
    for (const Case &c : cases) {
        fs::remove_all(root / "usr/local/Qelvanto");
        fs::create_directories(root / "usr/local/Qelvanto");
        std::ofstream(root / "target") << "keep";
        c.make();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(WriteCalibration(Measured(4, 0), "/dev/ttyS0")) << c.name;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.err), std::string::npos) << c.name << ": " << err;
        std::ifstream t(root / "target");
        std::string kept;
        t >> kept;
        EXPECT_EQ(kept, "keep") << c.name;
        if (!fs::exists(root / "usr/local/Qelvanto"))
            continue;
        for (const auto &e : fs::directory_iterator(root / "usr/local/Qelvanto"))
            EXPECT_EQ(e.path().filename().string().find("prev"), std::string::npos) << c.name;
    }
}

// The verdict's halves are told from raw positions by the run's own targets: every mounting,
// swapped or mirrored, sends a touch on the left to "calibrate again", on the right to "restore".
TEST(QuilmocalVerdict, RawTouchesFindTheirHalfWhateverTheMounting)
{
    for (int mounting = 0; mounting < 8; ++mounting) {
        SCOPED_TRACE(mounting);
        const Calibration c = Measured(4, mounting);
        for (auto [screen, want] : {std::pair{Point{100, 700}, CALIBRATE_AGAIN}, {Point{500, 100}, CALIBRATE_AGAIN},
                                    {Point{530, 400}, RESTORE_PREVIOUS}, {Point{1000, 20}, RESTORE_PREVIOUS}}) {
            Point at;
            ASSERT_TRUE(ScreenOfRaw(c, Sensor(screen, mounting), &at));
            EXPECT_NEAR(at.x, screen.x, 2);
            EXPECT_NEAR(at.y, screen.y, 2);
            EXPECT_EQ(ChoiceAt(at, 1024), want) << screen.x << " " << screen.y;
        }
    }
    Calibration two = Measured(4, 0);
    two.taken = 2;  // two targets on one line tell no plane
    Point at;
    EXPECT_FALSE(ScreenOfRaw(two, {500, 400}, &at));
}

// The right-click tool comes back as the configuration has it, read by the daemon's rules.
TEST_F(QuilmocalWrite, TheRightClickToolsConfiguredStateFollowsTheDaemonsRules)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"RClickTool = 1\n", true},
        {"rclicktool=2\n", true},                           // any case, no spaces, any non-zero
        {"RClickTool = 0\n", false},
        {"RClickTool = 1\nRClickTool = 0\n", false},        // the last line counts
        {"# RClickTool = 1\n", false},                      // a comment
        {"RClickToolbar = 1\nMouseMode = DESKTOP\n", false},  // another key
        {"RClickTool = yes\n", false},                      // no number: the default
        {"Port = /dev/ttyS0 RClickTool = 1\n", false},      // the key before the first "="
    };
    fs::create_directories(root / "etc");
    for (const auto &[text, on] : cases) {
        SCOPED_TRACE(text);
        std::ofstream(root / "etc/quilmod.conf") << text;
        EXPECT_EQ(RClickConfiguredOn(), on);
    }
    fs::remove(root / "etc/quilmod.conf");
    EXPECT_FALSE(RClickConfiguredOn());  // no file: the daemon's default
}

// Whatever runs came before, --restore puts back what the last run replaced and leaves no .prev
// behind: a second restore would otherwise undo an older run, and one left from a run that did
// not write that file would mix two calibrations.
TEST_F(QuilmocalWrite, ARestoreUndoesTheLastRunAndLeavesNoPreviousFile)
{
    using Files = std::map<std::string, std::string>;
    auto files = [&] {
        Files all;
        for (const auto &e : fs::directory_iterator(root / "usr/local/Qelvanto"))
            all[e.path().filename().string()] = Read(e.path().filename().string());
        return all;
    };
    const struct {
        const char *name;
        Files before;             // the files the first run finds
        std::vector<int> points;  // each run's kind, the last one restored
    } cases[] = {
        {"four points over files", {{"pt4flag_ttyS0", "25"}, {"pt4_ttyS0", "old4#"}, {"pt25_ttyS0", "old25#"}}, {4}},
        {"a grid over nothing", {}, {25}},
        {"four points after a grid", {}, {25, 4}},
        {"a grid after four points over files", {{"pt4flag_ttyS0", "4"}, {"pt4_ttyS0", "old4#"}}, {4, 25}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "usr/local/Qelvanto");
        fs::create_directories(root / "usr/local/Qelvanto");
        for (const auto &[name, text] : c.before)
            Write(name, text);
        Files beforeLast;
        testing::internal::CaptureStdout();
        for (int points : c.points) {
            beforeLast = files();
            ASSERT_TRUE(WriteCalibration(Measured(points, 0), "/dev/ttyS0"));
        }
        EXPECT_EQ(RestoreCalibration("/dev/ttyS0"), EXIT_OK);
        testing::internal::GetCapturedStdout();
        for (auto it = beforeLast.begin(); it != beforeLast.end();)
            it = it->first.ends_with(".prev") ? beforeLast.erase(it) : std::next(it);
        EXPECT_EQ(files(), beforeLast);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RestoreCalibration("/dev/ttyS0"), EXIT_FAIL);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("no earlier calibration"), std::string::npos);
    }
}

// The 25-point check measures between the grid's points: each of its targets is off every grid
// row and column (a grid point maps back onto itself whatever the correction does between).
TEST(QuilmocalTargets, TheGridsCheckPointsLieBetweenItsPoints)
{
    for (auto [w, h] : {std::pair{1024, 768}, {1920, 1080}, {768, 1024}, {16, 16}}) {
        Calibration c;
        PlanTargets(&c, 25, w, h);
        for (Point p : CheckTargets(25, w, h)) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(p.x) + " " +
                         std::to_string(p.y));
            for (int k = 0; k < MAX_TARGETS && w > 16; ++k) {
                EXPECT_NE(p.x, c.target[static_cast<size_t>(k)].x);
                EXPECT_NE(p.y, c.target[static_cast<size_t>(k)].y);
            }
            EXPECT_TRUE(p.x > 0 && p.x < w && p.y > 0 && p.y < h);
        }
        EXPECT_EQ(CheckTargets(4, w, h)[0].x, w / 2) << "four points keep the centre";
    }
}

// Binding a port to its monitor changes the last Port line naming it and nothing else,
// whatever else the file holds.
TEST(QuilmocalBind, ThePortLineAloneGetsItsOutput)
{
    struct Case {
        const char *text, *bound;  // bound: nullptr when no line names the port
    };
    const std::vector<Case> cases = {
        {"Port = /dev/ttyS0\n", "Port = /dev/ttyS0 output=HDMI-A-1\n"},
        {"Port = /dev/ttyS0", "Port = /dev/ttyS0 output=HDMI-A-1"},                   // no final newline
        {"Port = /dev/ttyS0 size=300x200\n", "Port = /dev/ttyS0 size=300x200 output=HDMI-A-1\n"},
        {"Port = /dev/ttyS0 output=DP-1 size=1x1\n", "Port = /dev/ttyS0 output=HDMI-A-1 size=1x1\n"},
        {"Port = /dev/ttyS0 output=\n", "Port = /dev/ttyS0 output=HDMI-A-1\n"},
        {" MouseMode = DRAWING\n\rPort = /dev/ttyS0\n\rPort = /dev/ttyS1\n\r",           // the default's "\n\r"
         " MouseMode = DRAWING\n\rPort = /dev/ttyS0 output=HDMI-A-1\n\rPort = /dev/ttyS1\n\r"},
        {"Port = /dev/ttyS0\r\n", "Port = /dev/ttyS0 output=HDMI-A-1\r\n"},           // CR LF kept
        {"port=/dev/ttyS0   \n", "port=/dev/ttyS0 output=HDMI-A-1   \n"},             // any case, blanks kept
        {"\tPORT\t=\t/dev/ttyS0\n", "\tPORT\t=\t/dev/ttyS0 output=HDMI-A-1\n"},
        {"# Port = /dev/ttyS0\n", nullptr},                                            // a comment
        {"Port = /dev/ttyS00\nPort = /dev/ttyS\n", nullptr},                          // exact names only
        {"Port = /dev/TTYS0\n", nullptr},
        {"Ports = /dev/ttyS0\nPort /dev/ttyS0\n", nullptr},                           // other key, no '='
        {"Port = /dev/ttyS0\nPort = /dev/ttyS0 output=X\n# end\n",                     // the last one counts
         "Port = /dev/ttyS0\nPort = /dev/ttyS0 output=HDMI-A-1\n# end\n"},
        {"Sound = 1\nPort = /dev/ttyS0\nCursor = 0", "Sound = 1\nPort = /dev/ttyS0 output=HDMI-A-1\nCursor = 0"},
        {"", nullptr},
        {"\n\n\n", nullptr},
        {"Port = \n", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        std::string out = "untouched";
        EXPECT_EQ(BindPortText(c.text, "/dev/ttyS0", "HDMI-A-1", &out), c.bound != nullptr);
        EXPECT_EQ(out, c.bound ? c.bound : "untouched");
    }
}

// On the file: through the sandbox root, every other byte and the file's mode kept; a link, a
// directory or a file without the port are left as they are.
TEST_F(QuilmocalWrite, BindingRewritesTheConfigurationWholeOrNotAtAll)
{
    fs::create_directories(root / "etc");
    const fs::path conf = root / "etc/quilmod.conf";
    const std::string text = "Sound = 1\nPort = /dev/ttyS0 size=300x200\nPort = /dev/ttyS1\n";
    std::ofstream(conf) << text;
    fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(BindPort("/dev/ttyS1", "Virtual-1"));
    std::stringstream got;
    got << std::ifstream(conf).rdbuf();
    EXPECT_EQ(got.str(), "Sound = 1\nPort = /dev/ttyS0 size=300x200\nPort = /dev/ttyS1 output=Virtual-1\n");
    EXPECT_EQ(fs::status(conf).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(BindPort("/dev/ttyS9", "Virtual-1")) << "no line for the port";
    fs::remove(conf);
    std::ofstream(root / "elsewhere") << text;
    fs::create_symlink(root / "elsewhere", conf);
    EXPECT_FALSE(BindPort("/dev/ttyS0", "Virtual-1")) << "never through a link";
    fs::remove(conf);
    fs::create_directory(conf);
    EXPECT_FALSE(BindPort("/dev/ttyS0", "Virtual-1"));
    fs::remove(conf);
    std::stringstream kept;
    kept << std::ifstream(root / "elsewhere").rdbuf();
    EXPECT_EQ(kept.str(), text);
    for (const auto &e : fs::directory_iterator(root / "etc"))
        ADD_FAILURE() << "left behind: " << e.path();
}
