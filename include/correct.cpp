// Four-point and twenty-five-point correction: raw controller positions to screen pixels.
#include "correct.h"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "xprec.h"

int CH_delta[25][2];
int Point_Area;
int correctPortable;

static_assert(std::numeric_limits<int>::digits == 31, "positions are 32-bit integers");

// The hardware is used only where long double is the x87 extended format.
constexpr bool kHardwareExtended = std::numeric_limits<long double>::digits == XP_SIG_BITS;

constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();
// Open bounds of the values whose truncation fits in an int.
constexpr long double kTruncBelow = -2147483649.0L;
constexpr long double kTruncAbove = 2147483648.0L;

constexpr int kTargetInset = 20;       // four-point targets sit 1/20 of a side in
constexpr int kNarrowMaxWidth = 1023;  // a wider or higher screen doubles the raw values
constexpr int kNarrowMaxHeight = 767;
constexpr int kScaleNarrow = 1;
constexpr int kScaleWide = 2;
constexpr int kMirror = 1024;          // pivot of the orientation's reflections

constexpr double kGridMargin = 0.05;   // first target 5 % in from the edge
constexpr double kGridSpan = -0.1;     // minus both margins leaves the targets' span
constexpr double kGridQuarter = 0.25;  // four equal steps across the span
constexpr int kTwentyFiveMode = 25;    // _25Mode of a panel with a grid; any other is four-point
constexpr int kGridSide = 5;           // grid points per row and per column
constexpr int kCellSide = kGridSide - 1;

namespace {

enum Corner { kNoOrigin = 0, kUpperLeft = 1, kUpperRight = 2, kLowerLeft = 3, kLowerRight = 4 };

struct Point {
    int x, y;
};

// Positions at the upper-left, upper-right, lower-left and lower-right targets.
struct Corners {
    Point ul, ur, ll, lr;
};

struct Orientation {
    int org_position;  // Corner with the strictly smallest coordinate sum, or kNoOrigin
    bool x_greater;    // the neighbour corner's x > y test
};

// How a raw point (px, py) becomes normalised (u, v): swap first, then reflect about kMirror.
struct Mounting {
    bool swap, mirror_u, mirror_v;
};

// The interpolation's inputs: corners and touch normalised and scaled, and the screen targets.
struct Frame {
    int XX1, YY1, XX5, YY5, XX21, YY21, XX25, YY25;
    int tempx, tempy;
    int XXS1, XXS5, YYS1, YYS21;
};

}  // namespace

// Indexed by org_position, then by the neighbour's test.
constexpr Mounting kMountings[kLowerRight + 1][2] = {
    //  test fails             test holds
    {{false, false, false}, {false, false, false}},  // none: never applied
    {{true, false, false}, {false, false, false}},   // UL: (py, px)            (px, py)
    {{false, true, false}, {true, true, false}},     // UR: (1024-px, py)       (1024-py, px)
    {{false, false, true}, {true, false, true}},     // LL: (px, 1024-py)       (py, 1024-px)
    {{true, true, true}, {false, true, true}},       // LR: (1024-py, 1024-px)  (1024-px, 1024-py)
};

static int saturate(int64_t v)
{
    return v < kIntMin ? kIntMin : v > kIntMax ? kIntMax : static_cast<int>(v);
}

static int add_sat(int a, int b) { return saturate(int64_t{a} + b); }
static int sub_sat(int a, int b) { return saturate(int64_t{a} - b); }

static bool use_portable() { return !kHardwareExtended || correctPortable != 0; }

// Never converts what does not fit: NaN, infinities and large values give the integer indefinite.
static int trunc_hardware(long double v)
{
    if (!(v > kTruncBelow && v < kTruncAbove))
        return kIntMin;
    return static_cast<int>(v);
}

static int trunc_portable(XPrec v)
{
    int32_t out = 0;
    return xp_trunc_int32(v, &out) ? out : kIntMin;
}

static int term_hardware(int a, int b, int c)
{
    const long double quotient = static_cast<long double>(b) / static_cast<long double>(c);
    return trunc_hardware(static_cast<long double>(a) * quotient);
}

static int term_portable(int a, int b, int c)
{
    return trunc_portable(xp_mul(xp_from_int(a), xp_quotient(b, c)));
}

int truncated_term(int a, int b, int c)
{
    if (c == 0)
        return kIntMin;  // the quotient is infinite or NaN, and so is the product
    return use_portable() ? term_portable(a, b, c) : term_hardware(a, b, c);
}

static int grid_hardware(int size, int step)
{
    const long double side = size;
    long double span = side * static_cast<long double>(kGridSpan) + side;
    span = span * static_cast<long double>(kGridQuarter) * static_cast<long double>(step);
    return trunc_hardware(side * static_cast<long double>(kGridMargin) + span);
}

static int grid_portable(int size, int step)
{
    const XPrec side = xp_from_int(size);
    XPrec span = xp_add(xp_mul(side, xp_from_double(kGridSpan)), side);
    span = xp_mul(xp_mul(span, xp_from_double(kGridQuarter)), xp_from_int(step));
    return trunc_portable(xp_add(xp_mul(side, xp_from_double(kGridMargin)), span));
}

int grid_target(int size, int step)
{
    return use_portable() ? grid_portable(size, step) : grid_hardware(size, step);
}

int corner_target(int size, bool far)
{
    const int inset = size / kTargetInset;
    return far ? sub_sat(size, inset) : inset;
}

static int scale_factor(int screen_width, int screen_high)
{
    return screen_width > kNarrowMaxWidth || screen_high > kNarrowMaxHeight ? kScaleWide : kScaleNarrow;
}

static int64_t coordinate_sum(Point p) { return int64_t{p.x} + p.y; }

static int origin_corner(const Corners &c)
{
    // one_point, two_point, three_point, four_point: in 64 bits, so no sum wraps into the smallest
    const int64_t sums[] = {coordinate_sum(c.ul), coordinate_sum(c.ur), coordinate_sum(c.ll),
                            coordinate_sum(c.lr)};
    const int corners[] = {kUpperLeft, kUpperRight, kLowerLeft, kLowerRight};
    for (int i = 0; i < kLowerRight; ++i) {
        bool smallest = true;
        for (int j = 0; j < kLowerRight; ++j)
            smallest = smallest && (i == j || sums[i] < sums[j]);
        if (smallest)
            return corners[i];
    }
    return kNoOrigin;  // the smallest sum is shared
}

static Orientation find_orientation(const Corners &c)
{
    Orientation o = {origin_corner(c), false};
    // The corner next to the origin, clockwise, tells whether the axes are swapped.
    const Point neighbours[] = {{0, 0}, c.ur, c.lr, c.ul, c.ll};
    const Point n = neighbours[o.org_position];
    o.x_greater = n.x > n.y;
    return o;
}

static Point normalise(Point p, Orientation o)
{
    const Mounting &m = kMountings[o.org_position][o.x_greater ? 1 : 0];
    int64_t u = m.swap ? p.y : p.x;
    int64_t v = m.swap ? p.x : p.y;
    if (m.mirror_u)
        u = kMirror - u;
    if (m.mirror_v)
        v = kMirror - v;
    return {saturate(u), saturate(v)};
}

static Point scale(Point p, int adsx)
{
    return {saturate(int64_t{p.x} * adsx), saturate(int64_t{p.y} * adsx)};
}

// Corners already normalised; scaled here.
static void place_corners(Frame *f, const Corners &n, int adsx)
{
    const Point ul = scale(n.ul, adsx), ur = scale(n.ur, adsx);
    const Point ll = scale(n.ll, adsx), lr = scale(n.lr, adsx);
    f->XX1 = ul.x, f->YY1 = ul.y;
    f->XX5 = ur.x, f->YY5 = ur.y;
    f->XX21 = ll.x, f->YY21 = ll.y;
    f->XX25 = lr.x, f->YY25 = lr.y;
}

static void place_touch(Frame *f, Point normalised, int adsx)
{
    const Point t = scale(normalised, adsx);
    f->tempx = t.x;
    f->tempy = t.y;
}

// The point of the edge from (from, from_other) to (to, to_other) whose other coordinate is at.
static int edge_at(int from, int to, int from_other, int to_other, int at)
{
    return add_sat(from, truncated_term(sub_sat(to, from), sub_sat(from_other, at), sub_sat(from_other, to_other)));
}

// Maps at, between the far and the near edge, linearly onto the far and near targets.
static int target_at(int far_target, int near_target, int at, int far_edge, int near_edge)
{
    return add_sat(far_target, truncated_term(sub_sat(near_target, far_target), sub_sat(at, far_edge),
                                              sub_sat(near_edge, far_edge)));
}

// Edges at the touch's height and x, then the linear map between them onto the targets.
static void interpolate(const Frame &f, int *iCx, int *iCy)
{
    const int XR = edge_at(f.XX5, f.XX25, f.YY5, f.YY25, f.tempy);
    const int YD = edge_at(f.YY21, f.YY25, f.XX21, f.XX25, f.tempx);
    const int XL = edge_at(f.XX1, f.XX21, f.YY1, f.YY21, f.tempy);
    const int YU = edge_at(f.YY1, f.YY5, f.XX1, f.XX5, f.tempx);
    *iCx = target_at(f.XXS5, f.XXS1, f.tempx, XR, XL);
    *iCy = target_at(f.YYS21, f.YYS1, f.tempy, YD, YU);
}

void CalibrationPt(TouchPanel *panel, int *iCx, int *iCy)
{
    if (panel->_25Mode == kTwentyFiveMode)
        Calibration25Pt(panel, iCx, iCy, panel->screen_width_25, panel->screen_high_25);
    else
        Calibration4Pt(panel, iCx, iCy, panel->screen_width_4, panel->screen_high_4);
}

void Calibration4Pt(TouchPanel *panel, int *iCx, int *iCy, int screen_width, int screen_high)
{
    Frame f{};
    f.XXS1 = corner_target(screen_width, false);
    f.YYS1 = corner_target(screen_high, false);
    f.XXS5 = corner_target(screen_width, true);
    f.YYS21 = corner_target(screen_high, true);
    const Mapping &m = panel->mapping;
    const Corners raw = {{m.uiULX, m.uiULY}, {m.uiURX, m.uiURY}, {m.uiLLX, m.uiLLY}, {m.uiLRX, m.uiLRY}};
    const Orientation o = find_orientation(raw);
    if (o.org_position != kNoOrigin) {  // else all ten values stay 0
        const int adsx = scale_factor(screen_width, screen_high);
        const Corners n = {normalise(raw.ul, o), normalise(raw.ur, o), normalise(raw.ll, o),
                           normalise(raw.lr, o)};
        place_corners(&f, n, adsx);
        place_touch(&f, normalise({*iCx, *iCy}, o), adsx);
    }
    interpolate(f, iCx, iCy);
}

static Point grid_point(const int (&grid)[2][kGridSide][kGridSide], int r, int c)
{
    return {grid[0][r][c], grid[1][r][c]};
}

static void normalise_grid(const int (&grid)[2][kGridSide][kGridSide], Orientation o)
{
    for (int r = 0; r < kGridSide; ++r)
        for (int c = 0; c < kGridSide; ++c) {
            const Point n = normalise(grid_point(grid, r, c), o);
            CH_delta[kGridSide * r + c][0] = n.x;
            CH_delta[kGridSide * r + c][1] = n.y;
        }
}

static Point normalised_point(int k) { return {CH_delta[k][0], CH_delta[k][1]}; }

// Cell values from the normalised grid: corners, touch and the cell's rectangle of targets.
// Grid point (r, c) targets (grid_target(W, c), grid_target(H, r)); only the cell's are needed.
static void place_cell(Frame *f, int area, Point touch, int screen_width, int screen_high)
{
    const int adsx = scale_factor(screen_width, screen_high);
    const int row = area / kCellSide, column = area % kCellSide;
    const int k = kGridSide * row + column;  // the cell's upper-left grid point
    const Corners cell = {normalised_point(k), normalised_point(k + 1), normalised_point(k + kGridSide),
                          normalised_point(k + kGridSide + 1)};
    place_corners(f, cell, adsx);
    place_touch(f, touch, adsx);
    f->XXS1 = grid_target(screen_width, column);
    f->XXS5 = grid_target(screen_width, column + 1);
    f->YYS1 = grid_target(screen_high, row);
    f->YYS21 = grid_target(screen_high, row + 1);
}

static void print_edge(int x1, int y1, int x2, int y2)
{
    printf("%d ,%d-------%d ,%d\n", x1, y1, x2, y2);
}

void Calibration25Pt(TouchPanel *panel, int *iCx, int *iCy, int screen_width, int screen_high)
{
    const auto &grid = panel->coef.delta;
    const int last = kGridSide - 1;
    const Corners raw = {grid_point(grid, 0, 0), grid_point(grid, 0, last), grid_point(grid, last, 0),
                         grid_point(grid, last, last)};
    const Orientation o = find_orientation(raw);
    Frame f{};  // without an origin corner every value stays 0, the targets too
    if (o.org_position != kNoOrigin) {
        normalise_grid(grid, o);
        const Point touch = normalise({*iCx, *iCy}, o);
        Find_point_Area(&Point_Area, touch.x, touch.y);
        place_cell(&f, Point_Area, touch, screen_width, screen_high);
        if (o.org_position == kUpperLeft && !o.x_greater) {
            print_edge(f.XX1, f.YY1, f.XX5, f.YY5);
            print_edge(f.XX21, f.YY21, f.XX25, f.YY25);
        }
    }
    interpolate(f, iCx, iCy);
}

// Only the top row's inner points bound the columns and the left column's the rows;
// a value equal to a bound belongs to the cell after it.
static int cell_column(int x)
{
    for (int c = 1; c < kCellSide; ++c)
        if (x < CH_delta[c][0])
            return c - 1;
    return kCellSide - 1;
}

static int cell_row(int y)
{
    for (int r = 1; r < kCellSide; ++r)
        if (y < CH_delta[kGridSide * r][1])
            return r - 1;
    return kCellSide - 1;
}

void Find_point_Area(int *Area, int x, int y)
{
    *Area = cell_column(x) + kCellSide * cell_row(y);
}
