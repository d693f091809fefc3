// Tests of the four-point and twenty-five-point corrections and of the extended-format model.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "correct.h"
#include "xprec.h"

namespace {

struct Pos {
    int x, y;
    bool operator==(const Pos &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Pos &p) { return os << "(" << p.x << ", " << p.y << ")"; }

struct Quad {
    Pos ul, ur, ll, lr;
};

// One sensor mounting: raw = (swap ? (v, u) : (u, v)), then each axis maybe reflected about 1024.
struct Mount {
    bool swap, flip_x, flip_y;
};

using Grid = Pos[5][5];

struct Case {
    int w, h;
    Pos raw, screen;
};

}  // namespace

constexpr int kMirror = 1024;
constexpr bool kHardwareExtended = std::numeric_limits<long double>::digits == 64;

// Runs check once with the hardware's extended format and once with the integer model.
template <typename F>
static void with_each_arithmetic(F check)
{
    for (int portable : {0, 1}) {
        SCOPED_TRACE(portable ? "integer model" : "hardware extended format");
        correctPortable = portable;
        check();
    }
    correctPortable = 0;
}

static Mapping mapping_of(const Quad &q)
{
    Mapping m{};
    m.uiULX = q.ul.x, m.uiULY = q.ul.y, m.uiURX = q.ur.x, m.uiURY = q.ur.y;
    m.uiLLX = q.ll.x, m.uiLLY = q.ll.y, m.uiLRX = q.lr.x, m.uiLRY = q.lr.y;
    return m;
}

static Pos correct4(const Quad &q, int w, int h, Pos touch)
{
    TouchPanel panel{};
    panel.mapping = mapping_of(q);
    Calibration4Pt(&panel, &touch.x, &touch.y, w, h);
    return touch;
}

static void load_grid(TouchPanel *panel, const Grid &g)
{
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c) {
            panel->coef.delta[0][r][c] = g[r][c].x;
            panel->coef.delta[1][r][c] = g[r][c].y;
        }
}

static Pos correct25(const Grid &g, int w, int h, Pos touch)
{
    TouchPanel panel{};
    load_grid(&panel, g);
    Calibration25Pt(&panel, &touch.x, &touch.y, w, h);
    return touch;
}

static constexpr int kDefaultColumns[5] = {51, 281, 512, 742, 972};
static constexpr int kDefaultRows[5] = {38, 211, 384, 556, 729};
static constexpr Quad kDefaultCorners = {{51, 38}, {972, 38}, {51, 729}, {972, 729}};

static void default_grid(Grid &g)
{
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            g[r][c] = {kDefaultColumns[c], kDefaultRows[r]};
}

static Pos mounted(Pos n, Mount m)
{
    Pos raw = m.swap ? Pos{n.y, n.x} : n;
    if (m.flip_x)
        raw.x = kMirror - raw.x;
    if (m.flip_y)
        raw.y = kMirror - raw.y;
    return raw;
}

// Where results mean nothing they must still not depend on the arithmetic.
template <typename F>
static void expect_arithmetics_agree(F run, const std::string &what)
{
    Pos results[2];
    for (int portable : {0, 1}) {
        correctPortable = portable;
        results[portable] = run();
    }
    correctPortable = 0;
    EXPECT_EQ(results[0], results[1]) << what;
}

// Runs every case through correct(w, h, raw) with both arithmetics.
template <typename F>
static void expect_cases(F correct, std::initializer_list<Case> cases)
{
    with_each_arithmetic([&] {
        for (const Case &c : cases)
            EXPECT_EQ(correct(c.w, c.h, c.raw), c.screen) << c.w << "x" << c.h << ", raw " << c.raw;
    });
}

static Mount mount_number(int i) { return {(i & 1) != 0, (i & 2) != 0, (i & 4) != 0}; }

// ---- truncated term and target grid ----

TEST(CorrectTerm, DivisorZeroGivesIntegerIndefinite)
{
    with_each_arithmetic([] {
        EXPECT_EQ(truncated_term(5, 3, 0), INT_MIN);
        EXPECT_EQ(truncated_term(-5, 3, 0), INT_MIN);
        EXPECT_EQ(truncated_term(0, 0, 0), INT_MIN);  // 0 * (0 / 0)
        EXPECT_EQ(truncated_term(0, 7, 0), INT_MIN);  // 0 * infinity
    });
}

TEST(CorrectTerm, ProductOutsideIntRangeGivesIntegerIndefinite)
{
    with_each_arithmetic([] {
        EXPECT_EQ(truncated_term(INT_MAX, 2, 1), INT_MIN);
        EXPECT_EQ(truncated_term(1, INT_MIN, -1), INT_MIN);  // 2^31
        EXPECT_EQ(truncated_term(INT_MAX, INT_MIN, INT_MIN), INT_MAX);
        EXPECT_EQ(truncated_term(1, INT_MAX, 1), INT_MAX);
        EXPECT_EQ(truncated_term(-1, INT_MIN, -1), INT_MIN);  // -2^31 itself fits
        EXPECT_EQ(truncated_term(INT_MIN, 1, 1), INT_MIN);
    });
}

TEST(CorrectTerm, TruncatesTowardZero)
{
    with_each_arithmetic([] {
        EXPECT_EQ(truncated_term(-1, 1, 2), 0);
        EXPECT_EQ(truncated_term(3, 1, 2), 1);
        EXPECT_EQ(truncated_term(-3, 1, 2), -1);
        EXPECT_EQ(truncated_term(-3, -1, 2), 1);
        EXPECT_EQ(truncated_term(0, 5, 7), 0);
    });
}

TEST(CorrectGrid, TargetsPerScreenSize)
{
    struct Row {
        int w, h;
        int x[5], y[5];
    };
    static const Row kRows[] = {
        {1024, 768, {51, 281, 512, 742, 972}, {38, 211, 384, 556, 729}},
        {800, 600, {40, 220, 400, 579, 759}, {30, 165, 300, 434, 569}},
        {640, 480, {32, 176, 320, 463, 607}, {24, 132, 240, 347, 455}},
        {1280, 1024, {64, 352, 640, 927, 1215}, {51, 281, 512, 742, 972}},
        {1280, 800, {64, 352, 640, 927, 1215}, {40, 220, 400, 579, 759}},
        {1366, 768, {68, 375, 683, 990, 1297}, {38, 211, 384, 556, 729}},
        {1440, 900, {72, 396, 720, 1043, 1367}, {45, 247, 450, 652, 854}},
        {1920, 1080, {96, 528, 960, 1391, 1823}, {54, 297, 540, 782, 1025}},
    };
    with_each_arithmetic([] {
        for (const Row &row : kRows)
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(grid_target(row.w, i), row.x[i]) << row.w << "x" << row.h << " column " << i;
                EXPECT_EQ(grid_target(row.h, i), row.y[i]) << row.w << "x" << row.h << " row " << i;
            }
    });
}

// ---- four-point correction ----

TEST(CorrectFourPoint, DefaultCornersOnBothScreens)
{
    // The far targets are 1024 - 51 and 768 - 38, so the far corners map one pixel beyond.
    expect_cases([](int w, int h, Pos raw) { return correct4(kDefaultCorners, w, h, raw); },
                 {{1024, 768, {51, 38}, {51, 38}},
                  {1024, 768, {972, 38}, {973, 38}},
                  {1024, 768, {972, 729}, {973, 730}},
                  {1024, 768, {512, 384}, {513, 385}},
                  {1024, 768, {1023, 767}, {1024, 768}},
                  {800, 600, {51, 38}, {40, 30}},
                  {800, 600, {972, 729}, {760, 570}},
                  {800, 600, {0, 0}, {1, 1}},
                  {800, 600, {1023, 767}, {799, 599}}});
}

TEST(CorrectFourPoint, WorkedExampleAndExtrapolation)
{
    static constexpr Quad kCorners = {{60, 50}, {960, 45}, {55, 720}, {965, 730}};
    expect_cases([](int w, int h, Pos raw) { return correct4(kCorners, w, h, raw); },
                 {{800, 600, {500, 400}, {393, 312}},
                  {800, 600, {0, 0}, {-8, -10}},  // outside: extrapolated, not clamped
                  {800, 600, {1023, 1023}, {804, 800}}});
}

// Both would be a pixel off with the term done in double precision.
TEST(CorrectFourPoint, ExtendedPrecisionDecides)
{
    with_each_arithmetic([] {
        EXPECT_EQ(correct4({{53, 63}, {960, 44}, {73, 735}, {945, 746}}, 800, 600, {7, 207}), (Pos{1, 146}));
        EXPECT_EQ(correct4({{70, 32}, {975, 55}, {52, 722}, {940, 702}}, 800, 600, {420, 255}), (Pos{324, 203}));
    });
}

TEST(CorrectFourPoint, RotatedMount)
{
    with_each_arithmetic([] {
        EXPECT_EQ(correct4({{950, 60}, {40, 55}, {945, 730}, {45, 725}}, 1280, 1024, {500, 400}), (Pos{634, 522}));
    });
}

// A mirrored 0..4095 axis against a 0..1023 one defeats the orientation rule.
TEST(CorrectFourPoint, UnequalAxisRanges)
{
    with_each_arithmetic([] {
        EXPECT_EQ(correct4({{4035, 50}, {3135, 45}, {4040, 720}, {3130, 730}}, 1280, 1024, {3226, 148}),
                  (Pos{1366, -443}));
        EXPECT_EQ(correct4({{60, 50}, {960, 45}, {55, 720}, {965, 730}}, 1280, 1024, {869, 148}), (Pos{1100, 189}));
    });
}

TEST(CorrectFourPoint, TieForOriginLandsBelowZero)
{
    const Quad q = {{100, 50}, {50, 100}, {100, 700}, {900, 700}};
    with_each_arithmetic([&] {
        // The targets keep their values; each term is the integer indefinite.
        EXPECT_EQ(correct4(q, 1024, 768, {500, 400}), (Pos{INT_MIN + 973, INT_MIN + 730}));
        EXPECT_EQ(correct4({{0, 0}, {0, 0}, {0, 0}, {0, 0}}, 800, 600, {0, 0}), (Pos{INT_MIN + 760, INT_MIN + 570}));
    });
}

TEST(CorrectFourPoint, DegenerateCornersStayDefined)
{
    // Upper-right and lower-right at the same height: the right edge has no slope.
    const Quad q = {{60, 50}, {960, 400}, {55, 720}, {965, 400}};
    expect_arithmetics_agree([&] { return correct4(q, 800, 600, {500, 400}); }, "degenerate right edge");
}

// Calibration files may hold any int: nothing may overflow or convert out of range.
TEST(CorrectFourPoint, ExtremeValuesSaturate)
{
    const int values[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, 1024, INT_MAX - 1, INT_MAX};
    for (int a : values)
        for (int b : values) {
            const Quad q = {{a, b}, {b, a}, {a, a}, {b, 7}};
            expect_arithmetics_agree([&] { return correct4(q, b, a, {a, b}); }, std::to_string(a) + " " + std::to_string(b));
        }
    with_each_arithmetic([] {
        // Sums of 2^32 - 2 compare equal instead of wrapping: still a tie.
        const Quad q = {{INT_MAX, INT_MAX}, {INT_MAX, INT_MAX}, {INT_MAX, INT_MAX}, {INT_MAX, INT_MAX}};
        EXPECT_EQ(correct4(q, 1024, 768, {0, 0}), (Pos{INT_MIN + 973, INT_MIN + 730}));
    });
}

TEST(CorrectFourPoint, ModeSelectsCorrectionAndScreen)
{
    TouchPanel panel{};
    panel.mapping = mapping_of(kDefaultCorners);
    Grid g;
    default_grid(g);
    load_grid(&panel, g);
    panel.screen_width_4 = 1024, panel.screen_high_4 = 768;
    panel.screen_width_25 = 800, panel.screen_high_25 = 600;
    for (int mode : {4, 0, -25, 26}) {
        panel._25Mode = mode;
        Pos p = {972, 729};
        CalibrationPt(&panel, &p.x, &p.y);
        EXPECT_EQ(p, (Pos{973, 730})) << "mode " << mode;
    }
    panel._25Mode = 25;
    Pos p = {972, 729};
    CalibrationPt(&panel, &p.x, &p.y);
    EXPECT_EQ(p, (Pos{759, 569}));
}

static uint64_t test_seed()
{
    const char *env = std::getenv("CORRECT_SEED");  // to replay a failure
    return env ? std::strtoull(env, nullptr, 10) : std::random_device{}();
}

static int noisy(std::mt19937_64 &rng, int centre, int spread)
{
    return centre + static_cast<int>(rng() % (2 * spread + 1)) - spread;
}

TEST(CorrectFourPoint, EveryMountingSeesTheSameTouch)
{
    const uint64_t seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    with_each_arithmetic([&] {
        for (int round = 0; round < 200; ++round) {
            const Quad n = {{noisy(rng, 51, 20), noisy(rng, 38, 20)}, {noisy(rng, 972, 20), noisy(rng, 38, 20)},
                            {noisy(rng, 51, 20), noisy(rng, 729, 20)}, {noisy(rng, 972, 20), noisy(rng, 729, 20)}};
            const Pos touch = {noisy(rng, 512, 512), noisy(rng, 512, 512)};
            const int w = round % 2 ? 1024 : 800, h = round % 2 ? 768 : 600;
            const Pos expect = correct4(n, w, h, touch);
            for (int i = 1; i < 8; ++i) {
                const Mount m = mount_number(i);
                const Quad raw = {mounted(n.ul, m), mounted(n.ur, m), mounted(n.ll, m), mounted(n.lr, m)};
                ASSERT_EQ(correct4(raw, w, h, mounted(touch, m)), expect) << "mounting " << i;
            }
        }
    });
}

// ---- twenty-five-point correction ----

TEST(CorrectTwentyFive, WorkedExample)
{
    // Only the corners, the top row's x, the left column's y and cell 10's points matter here.
    const Grid g = {
        {{53, 34}, {273, 35}, {505, 36}, {724, 37}, {956, 38}},
        {{52, 206}, {275, 205}, {500, 205}, {727, 206}, {953, 208}},
        {{52, 386}, {274, 380}, {497, 376}, {729, 383}, {951, 380}},
        {{51, 551}, {276, 548}, {499, 546}, {726, 544}, {949, 548}},
        {{50, 717}, {274, 716}, {500, 716}, {723, 716}, {947, 716}},
    };
    with_each_arithmetic([&] {
        EXPECT_EQ(correct25(g, 800, 600, {600, 500}), (Pos{480, 398}));
        EXPECT_EQ(Point_Area, 10);
    });
}

TEST(CorrectTwentyFive, DefaultGridMapsOntoItself)
{
    Grid g;
    default_grid(g);
    struct Case {
        Pos raw, screen;
        int cell;
    };
    static const Case kCases[] = {
        {{51, 38}, {51, 38}, 0},         {{512, 384}, {512, 384}, 10}, {{972, 729}, {972, 729}, 15},
        {{0, 0}, {0, 0}, 0},             {{1023, 767}, {1023, 767}, 15},
        {{280, 211}, {281, 211}, 4},     // x term just above -1 in extended precision
        {{741, 555}, {742, 555}, 10},
    };
    with_each_arithmetic([&] {
        for (const Case &c : kCases) {
            EXPECT_EQ(correct25(g, 1024, 768, c.raw), c.screen) << c.raw;
            EXPECT_EQ(Point_Area, c.cell) << c.raw;
        }
    });
}

TEST(CorrectTwentyFive, DefaultGridOnSmallerScreen)
{
    expect_cases(
        [](int w, int h, Pos raw) {
            Grid g;
            default_grid(g);
            return correct25(g, w, h, raw);
        },
        {{800, 600, {972, 729}, {759, 569}},
         {800, 600, {512, 384}, {400, 300}},
         {800, 600, {51, 38}, {40, 30}},
         {800, 600, {0, 0}, {1, 1}},
         {800, 600, {1023, 767}, {798, 598}}});
}

TEST(CorrectTwentyFive, LimitBelongsToTheCellAfterIt)
{
    Grid g;
    default_grid(g);
    correct25(g, 1024, 768, {281, 100});
    EXPECT_EQ(Point_Area, 1);
    correct25(g, 1024, 768, {280, 211});
    EXPECT_EQ(Point_Area, 4);
    correct25(g, 1024, 768, {-100000, 100});
    EXPECT_EQ(Point_Area, 0);
    correct25(g, 1024, 768, {100000, 100000});
    EXPECT_EQ(Point_Area, 15);
    // Inner points other than the top row and left column do not move the limits.
    g[1][1] = {900, 700};
    correct25(g, 1024, 768, {300, 250});
    EXPECT_EQ(Point_Area, 5);
}

static void swapped_grid(Grid &g)
{
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            g[r][c] = {40 + 170 * r, 50 + 225 * c};  // the sensor's x runs down the screen
}

TEST(CorrectTwentyFive, SwappedAxesPrintTheCell)
{
    Grid g;
    swapped_grid(g);
    with_each_arithmetic([&] {
        testing::internal::CaptureStdout();
        const Pos p = correct25(g, 1024, 768, {40, 50});
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(p, (Pos{51, 38}));
        EXPECT_EQ(Point_Area, 0);
        EXPECT_EQ(out, "100 ,80-------550 ,80\n100 ,420-------550 ,420\n");
    });
}

TEST(CorrectTwentyFive, DeltaSChangesNothing)
{
    Grid g;
    default_grid(g);
    TouchPanel panel{};
    load_grid(&panel, g);
    Pos before = {600, 300};
    Calibration25Pt(&panel, &before.x, &before.y, 1024, 768);
    std::memset(panel.coef.delta_S, 0x5a, sizeof panel.coef.delta_S);
    Pos after = {600, 300};
    Calibration25Pt(&panel, &after.x, &after.y, 1024, 768);
    EXPECT_EQ(before, after);
}

TEST(CorrectTwentyFive, TieKeepsPreviousGridState)
{
    Grid g;
    default_grid(g);
    with_each_arithmetic([&] {
        correct25(g, 1024, 768, {600, 300});
        int saved[25][2];
        std::memcpy(saved, CH_delta, sizeof saved);
        const int area = Point_Area;
        Grid tie;
        default_grid(tie);
        tie[0][0] = {100, 50};
        tie[0][4] = {50, 100};
        // Every working value is 0, the targets too: both coordinates are the integer indefinite.
        EXPECT_EQ(correct25(tie, 1024, 768, {600, 300}), (Pos{INT_MIN, INT_MIN}));
        EXPECT_EQ(std::memcmp(saved, CH_delta, sizeof saved), 0);
        EXPECT_EQ(Point_Area, area);
    });
}

TEST(CorrectTwentyFive, ExtremeValuesSaturate)
{
    const int values[] = {INT_MIN, -1, 0, 1, 1024, INT_MAX};
    for (int a : values)
        for (int b : values) {
            Grid g;
            default_grid(g);
            g[0][0] = {a, b};
            g[0][4] = {b, INT_MIN};
            g[0][1] = {a, a};
            g[2][0] = {b, b};
            g[4][4] = {INT_MAX, a};
            expect_arithmetics_agree([&] { return correct25(g, a, b, {b, a}); }, std::to_string(a) + " " + std::to_string(b));
        }
}

TEST(CorrectTwentyFive, EveryMountingSeesTheSameTouch)
{
    const uint64_t seed = test_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    with_each_arithmetic([&] {
        for (int round = 0; round < 100; ++round) {
            Grid n;
            for (int r = 0; r < 5; ++r)
                for (int c = 0; c < 5; ++c)
                    n[r][c] = {noisy(rng, kDefaultColumns[c], 15), noisy(rng, kDefaultRows[r], 15)};
            const Pos touch = {noisy(rng, 512, 512), noisy(rng, 512, 512)};
            const int w = round % 2 ? 1024 : 800, h = round % 2 ? 768 : 600;
            const Pos expect = correct25(n, w, h, touch);
            const int area = Point_Area;
            for (int i = 0; i < 8; ++i) {
                const Mount m = mount_number(i);
                Grid raw;
                for (int r = 0; r < 5; ++r)
                    for (int c = 0; c < 5; ++c)
                        raw[r][c] = mounted(n[r][c], m);
                testing::internal::CaptureStdout();
                const Pos p = correct25(raw, w, h, mounted(touch, m));
                const std::string out = testing::internal::GetCapturedStdout();
                ASSERT_EQ(p, expect) << "mounting " << i;
                ASSERT_EQ(Point_Area, area) << "mounting " << i;
                // Only the plain swap (origin upper left, axes exchanged) prints.
                ASSERT_EQ(out.empty(), !(m.swap && !m.flip_x && !m.flip_y)) << "mounting " << i;
            }
        }
    });
}

// ---- the integer model against the hardware ----

static long double to_long_double(XPrec v)
{
    const long double mag = std::ldexp(static_cast<long double>(v.sig), v.exp);
    return v.neg ? -mag : mag;
}

static bool same_value(XPrec model, long double hardware)
{
    return to_long_double(model) == hardware && std::signbit(to_long_double(model)) == std::signbit(hardware);
}

// Field by field, so these hold whatever long double is on the platform.
static void expect_xprec(XPrec v, uint64_t sig, int exp, bool neg = false)
{
    EXPECT_EQ(v.sig, sig);
    EXPECT_EQ(v.exp, exp);
    EXPECT_EQ(v.neg, neg);
}

TEST(CorrectArithmetic, RoundsTiesToEven)
{
    constexpr uint64_t kTop = uint64_t{1} << 63;
    constexpr uint64_t kThreeQuarters = 3 * (kTop >> 1);
    const XPrec three = xp_from_int(3);
    const XPrec one = xp_from_int(1);
    // 3 * (2^63 + 1) = 3 * 2^63 + 3 needs 65 bits; the dropped bit is exactly half: up to even.
    expect_xprec(xp_mul(three, {kTop + 1, 0, false}), kThreeQuarters + 2, 1);
    // 3 * (2^63 + 3) = 3 * 2^63 + 9: down to even.
    expect_xprec(xp_mul(three, {kTop + 3, 0, false}), kThreeQuarters + 4, 1);
    expect_xprec(xp_add({kTop, 1, false}, one), kTop, 1);              // 2^64 + 1
    expect_xprec(xp_add({kTop + 1, 1, false}, one), kTop + 2, 1);      // 2^64 + 3
    expect_xprec(xp_add({kTop, 2, false}, xp_from_int(-1)), kTop, 2);  // 2^65 - 1 carries up
    expect_xprec(xp_add(xp_from_int(INT64_MAX), one), kTop, 0);
    expect_xprec(xp_add(one, xp_from_int(-1)), 0, 0);  // exact cancellation is +0
}

TEST(CorrectArithmetic, ConvertsExactly)
{
    expect_xprec(xp_from_int(INT64_MIN), uint64_t{1} << 63, 0, true);
    expect_xprec(xp_from_double(-0.1), 0xCCCCCCCCCCCCD000, -67, true);  // 0x1.999999999999Ap-4
    expect_xprec(xp_from_double(0.05), 0xCCCCCCCCCCCCD000, -68);
    struct Trunc {
        double value;
        int fits, result;
    };
    static const Trunc kTruncs[] = {
        {-0.75, 1, 0},          {-2147483648.75, 1, INT_MIN}, {-2147483649.0, 0, 0},
        {2147483647.99, 1, INT_MAX}, {2147483648.0, 0, 0},    {1e30, 0, 0},
    };
    for (const Trunc &t : kTruncs) {
        int32_t out = 0;
        EXPECT_EQ(xp_trunc_int32(xp_from_double(t.value), &out), t.fits) << t.value;
        if (t.fits) {
            EXPECT_EQ(out, t.result) << t.value;
        }
    }
}

// Typical, boundary and log-uniform values, so quotients run from 2^-31 to 2^31.
static int pick_int(std::mt19937_64 &rng)
{
    static const int kEdges[] = {0, 1, -1, 2, -2, 3, -3, 5, 7, 1024, INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN + 1,
                                 1 << 30, -(1 << 30), (1 << 30) + 1, 65535, -65537};
    switch (rng() % 4) {
    case 0:
        return kEdges[rng() % std::size(kEdges)];
    case 1:
        return static_cast<int>(rng() % 4097) - 2048;
    case 2:
        return static_cast<int>(static_cast<uint32_t>(rng()));
    default: {
        const int64_t v = static_cast<int64_t>(rng() >> (rng() % 32 + 32));  // below 2^32
        return static_cast<int>(std::clamp<int64_t>(rng() % 2 ? v : -v, INT_MIN, INT_MAX));
    }
    }
}

// 1 when a * (b / c) drops bits that are exactly one half: the rounding tie is exercised.
static int is_product_tie(int a, int b, int c)
{
    if (a == 0 || b == 0 || c == 0)
        return 0;
    const unsigned __int128 p = static_cast<unsigned __int128>(xp_quotient(b, c).sig) *
                                static_cast<uint64_t>(std::abs(static_cast<int64_t>(a)));
    int bits = 0;
    for (unsigned __int128 t = p; t != 0; t >>= 1)
        ++bits;
    if (bits <= 64)
        return 0;
    const int drop = bits - 64;
    return (p & ((static_cast<unsigned __int128>(1) << drop) - 1)) == static_cast<unsigned __int128>(1) << (drop - 1);
}

TEST(CorrectArithmetic, TermModelMatchesHardware)
{
    if (!kHardwareExtended)
        GTEST_SKIP() << "long double is not the x87 format here";
    const uint64_t seed = test_seed();
    std::mt19937_64 rng(seed);
    int ties = 0;
    for (int i = 0; i < 2000000; ++i) {
        const int a = pick_int(rng), b = pick_int(rng), c = pick_int(rng);
        correctPortable = 0;
        const int hardware = truncated_term(a, b, c);
        correctPortable = 1;
        const int model = truncated_term(a, b, c);
        if (hardware != model) {
            ADD_FAILURE() << "seed " << seed << ": T(" << a << ", " << b << ", " << c << ") hardware " << hardware
                          << ", model " << model;
            break;
        }
        ties += i % 8 == 0 ? is_product_tie(a, b, c) : 0;
    }
    correctPortable = 0;
    EXPECT_GT(ties, 100) << "seed " << seed;
}

TEST(CorrectArithmetic, GridModelMatchesHardware)
{
    if (!kHardwareExtended)
        GTEST_SKIP() << "long double is not the x87 format here";
    const uint64_t seed = test_seed();
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 500000; ++i) {
        const int size = pick_int(rng);
        const int step = i % 4 == 0 ? pick_int(rng) : static_cast<int>(rng() % 5);
        correctPortable = 0;
        const int hardware = grid_target(size, step);
        correctPortable = 1;
        const int model = grid_target(size, step);
        if (hardware != model) {
            ADD_FAILURE() << "seed " << seed << ": grid(" << size << ", " << step << ") hardware " << hardware
                          << ", model " << model;
            break;
        }
    }
    correctPortable = 0;
}

// Random operands. Few significant bits make products round on ties; a significand with only its
// end bits set, an ulp's width below another operand, makes a sum whose dropped bits decide a tie.
static XPrec pick_xprec(std::mt19937_64 &rng)
{
    constexpr uint64_t kTop = uint64_t{1} << 63;
    constexpr int kNear = -70;
    if (rng() % 32 == 0)
        return {0, 0, rng() % 2 == 0};
    uint64_t sig = rng() | kTop;
    if (rng() % 3 == 0)
        sig = ((rng() % 64) | 1 | 64) << 57;
    else if (rng() % 2 == 0)
        sig = kTop | 1 | uint64_t{1} << (rng() % 63);
    int exp = kNear + static_cast<int>(rng() % 8);
    if (rng() % 4 == 0)
        exp = static_cast<int>(rng() % 300) - 200;
    else if (rng() % 3 == 0)
        exp = kNear - 64 + static_cast<int>(rng() % 4);
    return {sig, exp, rng() % 2 == 0};
}

TEST(CorrectArithmetic, PrimitivesMatchHardware)
{
    if (!kHardwareExtended)
        GTEST_SKIP() << "long double is not the x87 format here";
    const uint64_t seed = test_seed();
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 1000000; ++i) {
        const XPrec a = pick_xprec(rng), b = pick_xprec(rng);
        const long double x = to_long_double(a), y = to_long_double(b);
        ASSERT_TRUE(same_value(xp_add(a, b), x + y)) << "seed " << seed << ": " << x << " + " << y;
        ASSERT_TRUE(same_value(xp_mul(a, b), x * y)) << "seed " << seed << ": " << x << " * " << y;
        const int p = pick_int(rng), q = pick_int(rng);
        if (q != 0) {
            ASSERT_TRUE(same_value(xp_quotient(p, q), static_cast<long double>(p) / q))
                << "seed " << seed << ": " << p << " / " << q;
        }
        double d = 0;
        const uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) {
            ASSERT_TRUE(same_value(xp_from_double(d), static_cast<long double>(d))) << "seed " << seed << ": " << d;
        }
    }
}
