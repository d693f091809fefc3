// Unit tests of the calibration files: mode flag, data lines, defaults, hostile content, missing directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "quilmod.h"

namespace fs = std::filesystem;

namespace {

const std::string PT4_DEFAULT = "51#38#972#38#51#729#972#729#1024#768#";
const std::string PT25_DEFAULT =
    "51#38#281#38#512#38#742#38#972#38#"
    "51#211#281#211#512#211#742#211#972#211#"
    "51#384#281#384#512#384#742#384#972#384#"
    "51#556#281#556#512#556#742#556#972#556#"
    "51#729#281#729#512#729#742#729#972#729#"
    "1024#768#";
const int GRID_X[5] = {51, 281, 512, 742, 972};
const int GRID_Y[5] = {38, 211, 384, 556, 729};

struct CalFile : testing::Test {
    std::string root;
    fs::path dir;
    std::string device = "/dev/ttyUSB0";
    TouchPanel p{};
    std::string savedRoot;
    bool hadRoot = false;

    void SetUp() override
    {
        if (const char *r = getenv("QUILMOD_ROOT")) {
            hadRoot = true;
            savedRoot = r;
        }
        char tmpl[] = "/tmp/qlm-calfile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        setenv("QUILMOD_ROOT", root.c_str(), 1);
        dir = fs::path(root) / "usr/local/Qelvanto";
        fs::create_directories(dir);
        use_device(device);
    }
    void TearDown() override
    {
        fs::remove_all(root);
        if (hadRoot)
            setenv("QUILMOD_ROOT", savedRoot.c_str(), 1);
        else
            unsetenv("QUILMOD_ROOT");
    }

    void use_device(const std::string &d)
    {
        device = d;
        p.device = device.data();
    }
    fs::path file(const char *stem) const { return dir / (std::string(stem) + "ttyUSB0"); }
    void relink(const char *stem, const fs::path &target) const
    {
        fs::remove(file(stem));
        fs::create_symlink(target, file(stem));
    }
    // Messages name the real path, whatever the sandbox root.
    static std::string named(const char *stem) { return std::string("/usr/local/Qelvanto/") + stem + "ttyUSB0"; }
    void put(const char *stem, const std::string &content) const
    {
        std::ofstream(file(stem), std::ios::binary) << content;
    }
    static std::string get(const fs::path &f)
    {
        std::ifstream in(f, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string get(const char *stem) const { return get(file(stem)); }

    template <typename F>
    std::string output_of(F f)
    {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

    // Corners in file order: UL, UR, LL, LR.
    void expect_corners(std::array<int, 8> want) const
    {
        const Mapping &m = p.mapping;
        std::array<int, 8> got = {m.uiULX, m.uiULY, m.uiURX, m.uiURY, m.uiLLX, m.uiLLY, m.uiLRX, m.uiLRY};
        EXPECT_EQ(got, want);
    }
    void expect_default_corners() const { expect_corners({51, 38, 972, 38, 51, 729, 972, 729}); }
    static void expect_default_grid(const int (*plane)[5][5])
    {
        for (int r = 0; r < 5; r++)
            for (int c = 0; c < 5; c++) {
                EXPECT_EQ(plane[0][r][c], GRID_X[c]) << r << "," << c;
                EXPECT_EQ(plane[1][r][c], GRID_Y[r]) << r << "," << c;
            }
    }
};

std::string pt25_line(int base)
{
    std::string s;
    for (int k = 0; k < 25; k++)
        s += std::to_string(base + k) + "#" + std::to_string(base + 100 + k) + "#";
    return s + "1920#1080#";
}

}  // namespace

TEST_F(CalFile, NewPortGetsDefaultFiles)
{
    std::string out = output_of([&] { EXPECT_EQ(SET_PANEL_MAPPING(&p), 1); });
    // Beside each fixed text that names nothing, a line with the file and the reason.
    EXPECT_EQ(out, "Get_4pcal_25pcal_mode function\n"
                   "failed to open\n"
                   "quilmod: " + named("pt4flag_") + ": No such file or directory\n"
                   "failed to open " + named("pt4_") + "\n"
                   "the programe will create default file and use default data\n"
                   "read25ptdata function\n"
                   "the programe will create default file and use default data-open file error\n"
                   "quilmod: " + named("pt25_") + ": No such file or directory\n");
    EXPECT_EQ(p._25Mode, 4);
    expect_default_corners();
    EXPECT_EQ(p.screen_width_4, 1024);
    EXPECT_EQ(p.screen_high_4, 768);
    EXPECT_EQ(p.screen_width_25, 1024);
    EXPECT_EQ(p.screen_high_25, 768);
    expect_default_grid(p.coef.delta);
    expect_default_grid(p.coef.delta_S);

    EXPECT_EQ(get("pt4flag_"), "4");
    EXPECT_EQ(PT4_DEFAULT.size(), 37u);
    EXPECT_EQ(get("pt4_"), PT4_DEFAULT);
    EXPECT_EQ(PT25_DEFAULT.size(), 199u);
    EXPECT_EQ(get("pt25_"), PT25_DEFAULT);

    // The written defaults read back cleanly.
    TouchPanel again{};
    again.device = device.data();
    out = output_of([&] { SET_PANEL_MAPPING(&again); });
    EXPECT_EQ(out, "Get_4pcal_25pcal_mode function\n"
                   "the pcalflag is 4\n"
                   "Get_4pcal_25pcal_mode  4\n"
                   "read25ptdata function\n"
                   "read25ptdata  the length is 199\n");
    expect_default_grid(again.coef.delta);
}

TEST_F(CalFile, FlagValues)
{
    const std::string head = "Get_4pcal_25pcal_mode function\n";
    struct Case {
        const char *content;  // null: no flag file
        int result, mode;
        std::string out;
    } cases[] = {
        {"25", 0, 25, "the pcalflag is 25\nGet_4pcal_25pcal_mode  25\n"},
        {"250", 0, 25, "the pcalflag is 25\nGet_4pcal_25pcal_mode  25\n"},  // two bytes only
        {"4\n", 0, 4, "the pcalflag is 4\nGet_4pcal_25pcal_mode  4\n"},
        {"12", 0, 4, "the pcalflag is 12\nGet_4pcal_25pcal_mode  4\n"},
        {"x5", 0, 4, "the pcalflag is 0\nGet_4pcal_25pcal_mode  4\n"},
        {"", 0, 4, "read error\nthe pcalflag is 0\nGet_4pcal_25pcal_mode  4\n"},
        {nullptr, 1, 4, "failed to open\nquilmod: " + named("pt4flag_") + ": No such file or directory\n"},
    };
    for (const Case &c : cases) {
        if (c.content)
            put("pt4flag_", c.content);
        else
            fs::remove(file("pt4flag_"));
        p._25Mode = 0;
        std::string out = output_of([&] { EXPECT_EQ(Get_4pcal_25pcal_mode(&p), c.result); });
        EXPECT_EQ(p._25Mode, c.mode) << (c.content ? c.content : "(none)");
        EXPECT_EQ(out, head + c.out);
    }
}

TEST_F(CalFile, FourPointLineLoads)
{
    const std::string line = "100#80#900#80#100#700#900#700#1024#768#\n";
    put("pt4flag_", "4");
    put("pt4_", line);
    std::string out = output_of([&] { read4ptdata(&p); });
    EXPECT_EQ(out, "");
    expect_corners({100, 80, 900, 80, 100, 700, 900, 700});
    EXPECT_EQ(p.screen_width_4, 1024);
    EXPECT_EQ(p.screen_high_4, 768);
    EXPECT_EQ(get("pt4_"), line);
}

TEST_F(CalFile, FourPointFieldsConvertLikeAtoi)
{
    put("pt4_", "abc# 7#-8#+9#12x#5#6#7#8#9#ignored");
    read4ptdata(&p);
    expect_corners({0, 7, -8, 9, 12, 5, 6, 7});
    EXPECT_EQ(p.screen_width_4, 8);
    EXPECT_EQ(p.screen_high_4, 9);
    EXPECT_EQ(get("pt4_"), "abc# 7#-8#+9#12x#5#6#7#8#9#ignored");  // accepted, kept
}

TEST_F(CalFile, FourPointWrongSeparatorCount)
{
    put("pt4flag_", "25");
    put("pt4_", "1#2#3#4#5#6#7#8#800#600#99#");
    std::string out = output_of([&] { read4ptdata(&p); });
    EXPECT_EQ(out, "this file data is not ok ,it will create it again and use default-testflagerror\n");
    expect_default_corners();
    EXPECT_EQ(p.screen_width_4, 800);
    EXPECT_EQ(p.screen_high_4, 600);
    EXPECT_EQ(get("pt4_"), PT4_DEFAULT);
    EXPECT_EQ(get("pt4flag_"), "4");

    put("pt4_", "1#2#3#4#5#6#7#8#800#");
    output_of([&] { read4ptdata(&p); });
    EXPECT_EQ(p.screen_width_4, 800);
    EXPECT_EQ(p.screen_high_4, 768);

    put("pt4_", "1#2#3#");
    output_of([&] { read4ptdata(&p); });
    expect_default_corners();
    EXPECT_EQ(p.screen_width_4, 1024);
    EXPECT_EQ(p.screen_high_4, 768);
}

TEST_F(CalFile, FourPointLengthLimit)
{
    const std::string tail = "1#2#3#4#5#6#7#8#1024#768#";
    std::string ok = std::string(50 - 1 - tail.size(), '0') + tail + "\n";  // 50 with the line end
    ASSERT_EQ(ok.size(), 50u);
    put("pt4_", ok);
    read4ptdata(&p);
    EXPECT_EQ(p.mapping.uiLLX, 5);
    EXPECT_EQ(get("pt4_"), ok);

    std::string longer = "0" + ok;
    put("pt4_", longer);
    std::string out = output_of([&] { read4ptdata(&p); });
    EXPECT_EQ(out, "the programe will create default file and use default data-length<0\n");
    expect_default_corners();
    EXPECT_EQ(get("pt4_"), PT4_DEFAULT);

    put("pt4_", "");
    out = output_of([&] { read4ptdata(&p); });
    EXPECT_EQ(out, "the programe will create default file and use default data-length<0\n");
    EXPECT_EQ(get("pt4_"), PT4_DEFAULT);
}

TEST_F(CalFile, FlaggedTwentyFiveWithCorruptFourPointFile)
{
    put("pt4flag_", "25");
    put("pt4_", "garbage");
    put("pt25_", pt25_line(0));
    output_of([&] { SET_PANEL_MAPPING(&p); });
    EXPECT_EQ(p._25Mode, 25);
    EXPECT_EQ(get("pt4flag_"), "4");
    EXPECT_EQ(get("pt25_"), pt25_line(0));
}

TEST_F(CalFile, TwentyFivePointLineLoads)
{
    put("pt25_", pt25_line(300) + "\n");
    p.coef.delta_S[0][2][3] = -5;
    std::string out = output_of([&] { read25ptdata(&p); });
    EXPECT_EQ(out, "read25ptdata function\nread25ptdata  the length is " +
                       std::to_string(pt25_line(300).size() + 1) + "\n");
    for (int k = 0; k < 25; k++) {
        EXPECT_EQ(p.coef.delta[0][k / 5][k % 5], 300 + k);
        EXPECT_EQ(p.coef.delta[1][k / 5][k % 5], 400 + k);
    }
    EXPECT_EQ(p.screen_width_25, 1920);
    EXPECT_EQ(p.screen_high_25, 1080);
    EXPECT_EQ(p.coef.delta_S[0][2][3], -5);  // only defaults touch it
}

TEST_F(CalFile, TwentyFivePointWrongSeparatorCount)
{
    put("pt4flag_", "25");
    for (const std::string &line : {pt25_line(0) + "7#", pt25_line(0).substr(2)}) {
        put("pt25_", line);
        std::string out = output_of([&] { read25ptdata(&p); });
        EXPECT_EQ(out, "read25ptdata function\nread25ptdata  the length is " + std::to_string(line.size()) +
                           "\nthis file data is not ok ,it will create it again and use default-testflag      error \n");
        expect_default_grid(p.coef.delta);
        expect_default_grid(p.coef.delta_S);
        EXPECT_EQ(p.screen_width_25, 1024);
        EXPECT_EQ(p.screen_high_25, 768);
        EXPECT_EQ(get("pt25_"), PT25_DEFAULT);
        EXPECT_EQ(get("pt4flag_"), "25");  // an existing flag stays
    }
}

TEST_F(CalFile, TwentyFivePointLengthLimit)
{
    put("pt4flag_", "4");
    std::string ok = pt25_line(0);
    ok = std::string(260 - ok.size(), '0') + ok;
    put("pt25_", ok);
    output_of([&] { read25ptdata(&p); });
    EXPECT_EQ(p.coef.delta[0][0][0], 0);
    EXPECT_EQ(p.coef.delta[1][4][4], 124);
    EXPECT_EQ(get("pt25_"), ok);

    put("pt25_", "0" + ok);
    std::string out = output_of([&] { read25ptdata(&p); });
    EXPECT_EQ(out, "read25ptdata function\nread25ptdata  the length is 261\n"
                   "the programe will create default file and use default data-length<0\n");
    expect_default_grid(p.coef.delta);
    EXPECT_EQ(get("pt25_"), PT25_DEFAULT);
}

TEST_F(CalFile, HugeFieldsSaturate)
{
    std::string four = "99999999999999999999#-9999999999999999999#########";
    ASSERT_EQ(four.size(), 50u);
    put("pt4_", four);
    read4ptdata(&p);
    expect_corners({INT_MAX, INT_MIN, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(p.screen_width_4, 0);

    std::string big(100, '9');
    std::string line = big + "#-" + big.substr(0, 50) + "#";
    for (int k = 2; k < 52; k++)
        line += "1#";
    put("pt25_", line);
    output_of([&] { read25ptdata(&p); });
    EXPECT_EQ(p.coef.delta[0][0][0], INT_MAX);
    EXPECT_EQ(p.coef.delta[1][0][0], INT_MIN);
    EXPECT_EQ(p.coef.delta[1][4][4], 1);
    EXPECT_EQ(get("pt25_"), line);
}

TEST_F(CalFile, NulAndBinaryBytes)
{
    // The line is a C string: a zero byte ends it, so a field cut short leaves too few separators.
    put("pt4_", std::string("1\0" "9#2#3#4#5#6#7#8#9#10#", 23));
    output_of([&] { read4ptdata(&p); });
    expect_default_corners();
    EXPECT_EQ(get("pt4_"), PT4_DEFAULT);

    std::string blob(4096, '\0');
    for (size_t i = 0; i < blob.size(); i++)
        blob[i] = (char)((i * 37 + 11) % 256 == '\n' ? 0 : (i * 37 + 11) % 256);
    put("pt25_", blob);
    std::string out = output_of([&] { read25ptdata(&p); });
    EXPECT_NE(out.find("read25ptdata  the length is 83\n"), std::string::npos) << out;  // the first zero byte
    EXPECT_EQ(get("pt25_"), PT25_DEFAULT);
}

// A writer that also writes the string's terminator leaves a zero byte after a valid line:
// whatever follows it is not part of the line, and the file is kept as it is.
TEST_F(CalFile, ZeroByteEndsAValidLine)
{
    struct Case {
        const char *stem;
        std::string content;
    } cases[] = {
        {"pt4_", "1#2#3#4#5#6#7#8#9#10#" + std::string(1, '\0')},
        {"pt4_", "1#2#3#4#5#6#7#8#9#10#" + std::string(1, '\0') + std::string(40, 'x') + "\n"},
        {"pt4_", "1#2#3#4#5#6#7#8#9#10#\n" + std::string(1, '\0')},
        {"pt25_", pt25_line(1) + std::string(1, '\0') + std::string(300, '#')},
    };
    for (const Case &c : cases) {
        put("pt4_", PT4_DEFAULT);
        put("pt25_", PT25_DEFAULT);
        put(c.stem, c.content);
        output_of([&] { SET_PANEL_MAPPING(&p); });
        EXPECT_EQ(get(c.stem), c.content) << c.stem;
        if (std::string(c.stem) == "pt4_") {
            expect_corners({1, 2, 3, 4, 5, 6, 7, 8});
            EXPECT_EQ(p.screen_high_4, 10);
        } else {
            EXPECT_EQ(p.coef.delta[0][0][0], 1);
            EXPECT_EQ(p.screen_width_25, 1920);
        }
    }
}

TEST_F(CalFile, OverlongLines)
{
    std::string huge(100000, '#');
    put("pt4_", huge);
    put("pt25_", huge);
    std::string out = output_of([&] { read4ptdata(&p); read25ptdata(&p); });
    EXPECT_NE(out.find("read25ptdata  the length is 499\n"), std::string::npos);
    EXPECT_EQ(get("pt4_"), PT4_DEFAULT);
    EXPECT_EQ(get("pt25_"), PT25_DEFAULT);
}

TEST_F(CalFile, RandomContentEndsInFileOrDefaults)
{
    unsigned seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const char alphabet[] = "0123456789#-+ \t\n\0xz\xff";
    for (int round = 0; round < 60; round++) {
        std::string content;
        for (int n = rng() % 320; n > 0; n--)
            content += rng() % 4 ? alphabet[rng() % (sizeof alphabet - 1)] : (char)(rng() % 256);
        put("pt4flag_", content.substr(0, 3));
        put("pt4_", content);
        put("pt25_", content);
        output_of([&] { SET_PANEL_MAPPING(&p); });
        EXPECT_TRUE(p._25Mode == 4 || p._25Mode == 25);
        std::string four = get("pt4_"), grid = get("pt25_");
        EXPECT_TRUE(four == content || four == PT4_DEFAULT);
        EXPECT_TRUE(grid == content || grid == PT25_DEFAULT);
    }
}

TEST_F(CalFile, MissingDirectory)
{
    fs::remove_all(dir);
    p.screen_width_4 = p.screen_width_25 = 5;
    std::string out = output_of([&] { EXPECT_EQ(SET_PANEL_MAPPING(&p), 1); });
    const std::string gone = ": No such file or directory\n";
    EXPECT_EQ(out, "Get_4pcal_25pcal_mode function\n"
                   "failed to open\n"
                   "quilmod: " + named("pt4flag_") + gone +
                   "failed to open " + named("pt4_") + "\n"
                   "the programe will create default file and use default data\n"
                   "failed to open file can not create\n"
                   "quilmod: " + named("pt4flag_") + gone +
                   "read25ptdata function\n"
                   "the programe will create default file and use default data-open file error\n"
                   "quilmod: " + named("pt25_") + gone +
                   "the flag file is not exist \n"
                   "failed to open can not create file " + named("pt25_") + "\n"
                   "quilmod: " + named("pt25_") + gone);
    EXPECT_EQ(p._25Mode, 4);
    expect_default_corners();
    expect_default_grid(p.coef.delta);
    EXPECT_EQ(p.screen_width_4, 1024);
    EXPECT_EQ(p.screen_width_25, 1024);
    EXPECT_FALSE(fs::exists(dir));
    output_of([&] {
        EXPECT_EQ(SavePt4defaulttoFile(&p), 1);
        EXPECT_EQ(SavePt25defaulttoFile(&p), 1);
    });
}

TEST_F(CalFile, WritersReportWhatCouldNotBeCreated)
{
    fs::create_directory(file("pt4flag_"));  // a directory cannot be opened for writing
    std::string out = output_of([&] { EXPECT_EQ(SavePt4defaulttoFile(&p), 1); });
    EXPECT_EQ(out, "failed to open file can not create\nquilmod: " + named("pt4flag_") + ": Is a directory\n");
    EXPECT_FALSE(fs::exists(file("pt4_")));
    fs::remove(file("pt4flag_"));

    fs::create_directory(file("pt4_"));
    out = output_of([&] { EXPECT_EQ(SavePt4defaulttoFile(&p), 1); });
    EXPECT_EQ(out, "failed to open can not create file " + named("pt4_") + "\nquilmod: " + named("pt4_") +
                       ": Is a directory\n");
    EXPECT_EQ(get("pt4flag_"), "4");

    fs::create_directory(file("pt25_"));
    out = output_of([&] { EXPECT_EQ(SavePt25defaulttoFile(&p), 1); });
    EXPECT_EQ(out, "failed to open can not create file " + named("pt25_") + "\nquilmod: " + named("pt25_") +
                       ": Is a directory\n");
}

TEST_F(CalFile, PortNames)
{
    for (const char *shortDev : {"/dev/", "ab", ""}) {
        use_device(shortDev);
        output_of([&] { SET_PANEL_MAPPING(&p); });
        EXPECT_EQ(get(dir / "pt4flag_"), "4") << shortDev;
        EXPECT_EQ(get(dir / "pt4_"), PT4_DEFAULT) << shortDev;
        EXPECT_EQ(get(dir / "pt25_"), PT25_DEFAULT) << shortDev;
        fs::remove_all(dir);
        fs::create_directories(dir);
    }

    use_device("/dev/Serial_Port_0123456789abcdef");
    output_of([&] { SET_PANEL_MAPPING(&p); });
    EXPECT_EQ(get(dir / "pt4_Serial_Port_0123456789abcdef"), PT4_DEFAULT);
    EXPECT_EQ(get(dir / "pt25_Serial_Port_0123456789abcdef"), PT25_DEFAULT);
    EXPECT_EQ(get(dir / "pt4flag_Serial_Port_0123456789abcdef"), "4");
}

TEST_F(CalFile, NameTooLongForPathFailsLikeMissingDirectory)
{
    use_device("/dev/" + std::string(QLM_PATH, 'n'));
    std::string out = output_of([&] { SET_PANEL_MAPPING(&p); });
    EXPECT_NE(out.find("failed to open can not create file /usr/local/Qelvanto/pt25_" + std::string(QLM_PATH, 'n') + "\n"),
              std::string::npos);
    EXPECT_EQ(p._25Mode, 4);
    expect_default_corners();
    expect_default_grid(p.coef.delta);
    EXPECT_TRUE(fs::is_empty(dir));
}

namespace {

// The stem whose open the seam makes fail, and how.
std::string failStem;
int failErrno;

int failing_open(const char *path, int flags)
{
    std::string name = fs::path(path).filename();
    if (name.rfind(failStem, 0) == 0) {
        if (failErrno == EIO)
            return open(path, O_WRONLY | O_CLOEXEC);  // opens, and every read then fails
        errno = failErrno;
        return -1;
    }
    return open(path, flags);
}

}  // namespace

// Good files whose open or read fails for a moment (descriptors used up, an I/O error) are
// used as defaults for this load only; the files keep their calibration for the next load.
TEST_F(CalFile, TransientFailuresLeaveTheFilesAlone)
{
    const std::string four = "100#80#900#80#100#700#900#700#1024#768#";
    const std::string grid = pt25_line(1);
    struct Case {
        const char *stem;
        int err;
    } cases[] = {
        {"pt4_", EMFILE}, {"pt4_", ENFILE}, {"pt4_", EIO}, {"pt25_", EMFILE},
        {"pt25_", EIO},   {"pt4flag_", EMFILE}, {"pt4flag_", EIO},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.stem) + " " + strerror(c.err));
        put("pt4flag_", "25");
        put("pt4_", four);
        put("pt25_", grid);
        failStem = c.stem;
        failErrno = c.err;
        auto saved = RegularOpen;
        RegularOpen = failing_open;
        std::string out = output_of([&] { SET_PANEL_MAPPING(&p); });
        RegularOpen = saved;
        EXPECT_EQ(get("pt4flag_"), "25");
        EXPECT_EQ(get("pt4_"), four);
        EXPECT_EQ(get("pt25_"), grid);
        if (c.stem != std::string("pt4flag_")) {
            EXPECT_NE(out.find("cannot read " + named(c.stem) + ": " + strerror(c.err == EIO ? EBADF : c.err) +
                               "; default data used, the file is left alone\n"),
                      std::string::npos)
                << out;
        }
        if (c.stem == std::string("pt4_"))
            expect_default_corners();
        if (c.stem == std::string("pt25_"))
            expect_default_grid(p.coef.delta);
    }
}

// Anyone who can plant a file in the directory: links are never followed, FIFOs never block,
// new files are 0644 whatever the umask, and a file is replaced whole, never written into.
TEST_F(CalFile, HostileEntriesAndTheUmask)
{
    const fs::path victim = fs::path(root) / "victim";
    struct Case {
        const char *what;
        std::function<void()> plant;
        const char *replaced;  // the entry that becomes a default file, or null
    } cases[] = {
        {"data link", [&] { relink("pt4_", victim); }, nullptr},
        {"flag link", [&] { relink("pt4flag_", victim); put("pt4_", "bad"); }, "pt4flag_"},
        {"grid link", [&] { relink("pt25_", victim); }, nullptr},
        {"data FIFO", [&] { fs::remove(file("pt4_")); mkfifo(file("pt4_").c_str(), 0644); }, nullptr},
        {"flag FIFO", [&] { fs::remove(file("pt4flag_")); mkfifo(file("pt4flag_").c_str(), 0644); }, nullptr},
        {"dangling flag link", [&] { relink("pt4flag_", dir / "nowhere"); fs::remove(file("pt25_")); }, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        put("pt4flag_", "4");
        put("pt4_", PT4_DEFAULT);
        put("pt25_", PT25_DEFAULT);
        std::ofstream(victim) << "root:x:0:0\n";
        c.plant();
        int done = fork();
        if (done == 0) {
            alarm(5);  // a FIFO that blocked the open would hang here
            output_of([&] { SET_PANEL_MAPPING(&p); });
            _exit(0);
        }
        int status;
        ASSERT_EQ(waitpid(done, &status, 0), done);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "blocked or crashed";
        EXPECT_EQ(get(victim), "root:x:0:0\n");
        if (c.replaced) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file(c.replaced))));
        }
        EXPECT_FALSE(fs::exists(dir / "nowhere"));
    }
    for (int mask : {0, 077}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        mode_t old = umask((mode_t)mask);
        output_of([&] { SET_PANEL_MAPPING(&p); });
        umask(old);
        for (const char *stem : {"pt4flag_", "pt4_", "pt25_"})
            EXPECT_EQ(fs::status(file(stem)).permissions(), fs::perms(0644)) << stem << " umask " << mask;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);  // no scratch left
    }
}

// ReadCalState tells what the daemon would use, and neither writes nor prints anything.
TEST_F(CalFile, StateIsReadWithoutWritingOrPrinting)
{
    struct Case {
        const char *name;
        const char *flag;  // nullptr: no file
        const char *pt4;
        std::string pt25;
        CalState want;  // mode, present, valid, isDefault, width, height
    } cases[] = {
        {"no files", nullptr, nullptr, "", {4, 0, 0, 1, 1024, 768}},
        {"default four-point", "4", PT4_DEFAULT.c_str(), "", {4, 1, 1, 1, 1024, 768}},
        {"calibrated four-point", "4\n", "100#80#900#80#100#700#900#700#800#600#\n", "", {4, 1, 1, 0, 800, 600}},
        {"eleven separators", "4", "1#2#3#4#5#6#7#8#800#600#9#", "", {4, 1, 0, 1, 1024, 768}},
        {"51 characters", "4", "51#38#972#38#51#729#972#729#1024#768#00000000000000", "", {4, 1, 0, 1, 1024, 768}},
        {"grid flag, grid file missing", "25", PT4_DEFAULT.c_str(), "", {25, 0, 0, 1, 1024, 768}},
        {"default grid", "25", nullptr, PT25_DEFAULT, {25, 1, 1, 1, 1024, 768}},
        {"calibrated grid", "25", nullptr, pt25_line(100), {25, 1, 1, 0, 1920, 1080}},
        {"flag 2 means four-point", "2", nullptr, PT25_DEFAULT, {4, 0, 0, 1, 1024, 768}},
    };
    for (const auto &c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        if (c.flag)
            put("pt4flag_", c.flag);
        if (c.pt4)
            put("pt4_", c.pt4);
        if (!c.pt25.empty())
            put("pt25_", c.pt25);
        size_t files = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
        CalState got{};
        std::string printed = output_of([&] { ReadCalState(device.c_str(), &got); });
        EXPECT_EQ(printed, "") << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), (long)files) << c.name;
        std::array<int, 6> g = {got.mode, got.present, got.valid, got.isDefault, got.width, got.height};
        std::array<int, 6> w = {c.want.mode, c.want.present, c.want.valid, c.want.isDefault, c.want.width,
                                c.want.height};
        EXPECT_EQ(g, w) << c.name;
    }
}
