// quilmocal's targets and the rules a measured set must meet: the targets come from the
// correction's own arithmetic, a touch far from where the earlier targets put it is asked
// again, and a set the correction would misread is never written; the targets as a turned
// monitor shows them.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "cal.h"
#include "correct.h"

constexpr int CORNER_GRID[4] = {0, GRID_SIDE - 1, GRID_SIDE * (GRID_SIDE - 1), GRID_SIDE * GRID_SIDE - 1};
constexpr int ROUNDTRIP_PX = 2;      // truncation in the correction; a measured point maps this close
constexpr int MIN_RAW_SPAN = 16;     // raw units across the targets on either axis
constexpr int FAR_FRACTION = 4;
constexpr int INSIDE_FRACTION = 10;  // inside the targets the correction may stray a tenth (a warp)      // a touch a quarter of the screen off its prediction is wrong
constexpr double SINGULAR = 1e-9;

void PlanTargets(Calibration *c, int points, int width, int height)
{
    c->points = points;
    c->width = width;
    c->height = height;
    c->taken = 0;
    if (points == 4) {
        // The four-point correction maps its corners onto these, not onto the grid's corners.
        for (int k = 0; k < 4; ++k) {
            c->gridIndex[k] = CORNER_GRID[k];
            c->target[k] = {corner_target(width, k % 2 == 1), corner_target(height, k >= 2)};
        }
        return;
    }
    for (int k = 0; k < MAX_TARGETS; ++k) {
        c->gridIndex[k] = k;
        c->target[k] = {grid_target(width, k % GRID_SIDE), grid_target(height, k / GRID_SIDE)};
    }
}

// The middle of the grid's cell between grid steps i and i + 1 on a side of size pixels.
static int between_grid(int size, int i)
{
    return (grid_target(size, i) + grid_target(size, i + 1)) / 2;
}

std::array<Point, CHECK_TARGETS> CheckTargets(int points, int w, int h)
{
    if (points != 25)
        return {{{w / 2, h / 2}, {w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}}};
    // The grid's own points come back onto themselves whatever the cells between them do: the
    // check takes the middles of cells, one beside the centre and four towards the sides, the
    // upper two a row in, clear of the verdict's words at the top.
    const int x0 = between_grid(w, 0), x1 = between_grid(w, 1), x3 = between_grid(w, 3);
    const int y1 = between_grid(h, 1), y3 = between_grid(h, 3);
    return {{{x1, y1}, {x0, y1}, {x3, y1}, {x0, y3}, {x3, y3}}};
}

// ---- the affine estimate: raw = A * screen + b, least squares over the targets so far ----

namespace {

struct Affine {
    double a[2][3];  // row: raw axis; columns: screen x, screen y, 1
};

}  // namespace

static double det3(const double m[3][3])
{
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// false while the targets so far lie on one line (two alone cannot tell a mirrored mounting).
static bool fit_affine(const Calibration &c, int n, Affine *f)
{
    double m[3][3] = {}, r[2][3] = {};
    for (int k = 0; k < n; ++k) {
        const double s[3] = {double(c.target[k].x), double(c.target[k].y), 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                m[i][j] += s[i] * s[j];
            r[0][i] += s[i] * c.raw[k].x;
            r[1][i] += s[i] * c.raw[k].y;
        }
    }
    const double d = det3(m);
    const double scale = m[0][0] * m[1][1] + 1.0;
    if (n < 3 || std::fabs(d) < SINGULAR * scale * m[2][2])
        return false;
    // Cramer's rule, one column of m replaced at a time.
    for (int axis = 0; axis < 2; ++axis)
        for (int col = 0; col < 3; ++col) {
            double t[3][3];
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    t[i][j] = j == col ? r[axis][i] : m[i][j];
            f->a[axis][col] = det3(t) / d;
        }
    return true;
}

// The screen position the estimate gives for a raw position; false when it maps no area.
static bool screen_of(const Affine &f, Point raw, double *sx, double *sy)
{
    const double det = f.a[0][0] * f.a[1][1] - f.a[0][1] * f.a[1][0];
    if (std::fabs(det) < SINGULAR)
        return false;
    const double rx = raw.x - f.a[0][2], ry = raw.y - f.a[1][2];
    *sx = (f.a[1][1] * rx - f.a[0][1] * ry) / det;
    *sy = (f.a[0][0] * ry - f.a[1][0] * rx) / det;
    return true;
}

bool ScreenOfRaw(const Calibration &c, Point raw, Point *screen)
{
    Affine f;
    double sx, sy;
    if (!fit_affine(c, c.taken, &f) || !screen_of(f, raw, &sx, &sy))
        return false;
    *screen = {static_cast<int>(std::lround(sx)), static_cast<int>(std::lround(sy))};
    return true;
}

bool FitsSoFar(const Calibration &c, Point raw, char *why, size_t size)
{
    Affine f;
    double sx, sy;
    if (!fit_affine(c, c.taken, &f) || !screen_of(f, raw, &sx, &sy))
        return true;  // nothing to judge by yet
    const Point t = c.target[c.taken];
    if (std::fabs(sx - t.x) <= double(c.width) / FAR_FRACTION && std::fabs(sy - t.y) <= double(c.height) / FAR_FRACTION)
        return true;
    snprintf(why, size, "touch landed near %.0f %.0f by the earlier targets, far from the target", sx, sy);
    return false;
}

// ---- the set as a whole ----

static bool same_raw_twice(const Calibration &c, char *why, size_t size)
{
    for (int i = 0; i < c.taken; ++i)
        for (int j = i + 1; j < c.taken; ++j)
            if (c.raw[i].x == c.raw[j].x && c.raw[i].y == c.raw[j].y) {
                snprintf(why, size, "targets %d and %d share the raw position %d %d", i + 1, j + 1, c.raw[i].x,
                         c.raw[i].y);
                return true;
            }
    return false;
}

static bool span_degenerate(const Calibration &c, char *why, size_t size)
{
    int lox = c.raw[0].x, hix = lox, loy = c.raw[0].y, hiy = loy;
    for (int k = 1; k < c.taken; ++k) {
        lox = std::min(lox, c.raw[k].x), hix = std::max(hix, c.raw[k].x);
        loy = std::min(loy, c.raw[k].y), hiy = std::max(hiy, c.raw[k].y);
    }
    if (hix - lox >= MIN_RAW_SPAN && hiy - loy >= MIN_RAW_SPAN)
        return false;
    snprintf(why, size, "the raw positions span only %d by %d", hix - lox, hiy - loy);
    return true;
}

// The target number (1-based) measuring grid point g.
static int target_of_grid(const Calibration &c, int g)
{
    for (int k = 0; k < c.points; ++k)
        if (c.gridIndex[k] == g)
            return k + 1;
    return 0;
}

// The correction takes the corner with the strictly smallest raw sum as the sensor's origin,
// and a neighbour's x > y for the axes: a tie or an equality leaves the mounting open.
static bool mounting_open(const Calibration &c, char *why, size_t size)
{
    long long sums[4];
    for (int i = 0; i < 4; ++i) {
        const Point p = c.raw[target_of_grid(c, CORNER_GRID[i]) - 1];
        sums[i] = (long long)p.x + p.y;
    }
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) {
            bool smallest = sums[i] == sums[j];
            for (int k = 0; k < 4 && smallest; ++k)
                smallest = sums[k] >= sums[i];
            if (smallest) {
                snprintf(why, size, "targets %d and %d tie for the sensor's origin corner (raw sum %lld)",
                         target_of_grid(c, CORNER_GRID[i]), target_of_grid(c, CORNER_GRID[j]), sums[i]);
                return true;
            }
        }
    return false;
}

static long long cross(Point o, Point a, Point b)
{
    return (long long)(a.x - o.x) * (b.y - o.y) - (long long)(a.y - o.y) * (b.x - o.x);
}

// Each cell of measured points (the four corners, or each of the grid's 16) must turn the same
// way at all four corners: a crossed or folded cell maps its own corners right and the rest wrong.
static bool cell_folded(const Calibration &c, char *why, size_t size)
{
    const int cells = c.points == 4 ? 1 : (GRID_SIDE - 1) * (GRID_SIDE - 1);
    for (int a = 0; a < cells; ++a) {
        // Target numbers around the cell: upper left, upper right, lower right, lower left.
        const int ul = c.points == 4 ? 0 : GRID_SIDE * (a / (GRID_SIDE - 1)) + a % (GRID_SIDE - 1);
        const std::array<int, 4> k = c.points == 4 ? std::array<int, 4>{0, 1, 3, 2}
                                                   : std::array<int, 4>{ul, ul + 1, ul + GRID_SIDE + 1, ul + GRID_SIDE};
        int positive = 0, negative = 0;
        for (int i = 0; i < 4; ++i) {
            long long turn = cross(c.raw[k[i]], c.raw[k[(i + 1) % 4]], c.raw[k[(i + 2) % 4]]);
            positive += turn > 0, negative += turn < 0;
        }
        if (positive == 4 || negative == 4)
            continue;
        snprintf(why, size, "targets %d, %d, %d, %d do not enclose an area (crossed or folded)", k[0] + 1, k[1] + 1,
                 k[2] + 1, k[3] + 1);
        return true;
    }
    return false;
}

// The correction's diagnostic lines for one mounting are no part of our output.
static void correct_quietly(TouchPanel *p, int *x, int *y)
{
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *null = fopen("/dev/null", "w");
    if (saved >= 0 && null)
        dup2(fileno(null), STDOUT_FILENO);
    CalibrationPt(p, x, y);
    fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    if (null)
        fclose(null);
}

// true when raw, through the daemon's arithmetic, lands more than ROUNDTRIP_PX off want.
static bool lands_off(TouchPanel *p, Point raw, Point want, int k, const char *mode, char *why, size_t size)
{
    int x = raw.x, y = raw.y;
    correct_quietly(p, &x, &y);
    if (std::abs((long long)x - want.x) <= ROUNDTRIP_PX && std::abs((long long)y - want.y) <= ROUNDTRIP_PX)
        return false;
    snprintf(why, size, "target %d would land at %d %d%s instead of %d %d: the targets disagree", k + 1, x, y,
             mode, want.x, want.y);
    return true;
}

// Corners that each map onto their own target can still be read the wrong way round inside
// (axes of unlike ranges fool the sensor-mounting rule): points inside, where the measured set
// as a whole puts them, must land near where they belong.
static bool inside_lands_off(const Calibration &c, TouchPanel *p, char *why, size_t size)
{
    Affine f;
    if (!fit_affine(c, c.taken, &f))
        return false;
    for (Point s : CheckTargets(4, c.width, c.height)) {
        const Point raw = {(int)std::lround(f.a[0][0] * s.x + f.a[0][1] * s.y + f.a[0][2]),
                           (int)std::lround(f.a[1][0] * s.x + f.a[1][1] * s.y + f.a[1][2])};
        int x = raw.x, y = raw.y;
        correct_quietly(p, &x, &y);
        if (std::abs((long long)x - s.x) <= c.width / INSIDE_FRACTION &&
            std::abs((long long)y - s.y) <= c.height / INSIDE_FRACTION)
            continue;
        snprintf(why, size, "the correction cannot tell this sensor's mounting: a touch at %d %d would land at %d %d",
                 s.x, s.y, x, y);
        return true;
    }
    return false;
}

// Every measured point must come back onto its own target through the daemon's arithmetic,
// and a grid's corners in four-point mode too, where the port falls back to.
static bool round_trip_fails(const Calibration &c, char *why, size_t size)
{
    TouchPanel p{};
    FillPanel(c, &p);
    for (int k = 0; k < c.taken; ++k)
        if (lands_off(&p, c.raw[k], c.target[k], k, "", why, size))
            return true;
    if (c.points == 25) {
        p._25Mode = 4;
        for (int g : CORNER_GRID)
            if (lands_off(&p, c.raw[g], c.target[g], g, " in four-point mode", why, size))
                return true;
        p._25Mode = 25;
    }
    return inside_lands_off(c, &p, why, size);
}

bool CalibrationSound(const Calibration &c, char *why, size_t size)
{
    return !(same_raw_twice(c, why, size) || span_degenerate(c, why, size) || mounting_open(c, why, size) ||
             cell_folded(c, why, size) || round_trip_fails(c, why, size));
}

// Grid corner g moved from its grid target onto the four-point correction's target, along
// the measured grid's edges next to it.
static Point corner_from_grid(const Calibration &c, int g)
{
    const int r = g / GRID_SIDE, col = g % GRID_SIDE;
    const int rn = r == 0 ? 1 : r - 1, cn = col == 0 ? 1 : col - 1;  // the next row and column in
    const Point at = c.raw[g], across = c.raw[r * GRID_SIDE + cn], down = c.raw[rn * GRID_SIDE + col];
    const double dx = corner_target(c.width, col != 0) - c.target[g].x;
    const double dy = corner_target(c.height, r != 0) - c.target[g].y;
    const double sx = c.target[g].x - c.target[r * GRID_SIDE + cn].x;
    const double sy = c.target[g].y - c.target[rn * GRID_SIDE + col].y;
    if (sx == 0 || sy == 0)
        return at;
    const double x = at.x + dx * (at.x - across.x) / sx + dy * (at.x - down.x) / sy;
    const double y = at.y + dx * (at.y - across.y) / sx + dy * (at.y - down.y) / sy;
    return {(int)std::lround(x), (int)std::lround(y)};
}

Mapping CornerMapping(const Calibration &c)
{
    std::array<Point, 4> p;
    for (int i = 0; i < 4; ++i)
        p[i] = c.points == 4 ? c.raw[i] : corner_from_grid(c, CORNER_GRID[i]);
    Mapping m{};
    m.uiULX = p[0].x, m.uiULY = p[0].y;
    m.uiURX = p[1].x, m.uiURY = p[1].y;
    m.uiLLX = p[2].x, m.uiLLY = p[2].y;
    m.uiLRX = p[3].x, m.uiLRY = p[3].y;
    return m;
}

void FillPanel(const Calibration &c, TouchPanel *p)
{
    p->_25Mode = c.points;
    p->mapping = CornerMapping(c);
    p->screen_width_4 = p->screen_width_25 = c.width;
    p->screen_high_4 = p->screen_high_25 = c.height;
    if (c.points != 25)
        return;
    for (int k = 0; k < MAX_TARGETS; ++k) {
        p->coef.delta[0][k / GRID_SIDE][k % GRID_SIDE] = c.raw[k].x;
        p->coef.delta[1][k / GRID_SIDE][k % GRID_SIDE] = c.raw[k].y;
    }
}

// ---- the targets as the turned monitor shows them ----

Turn shownTurn;

std::array<Point, MAX_TARGETS> ShownPoints(const Point *panel, int n)
{
    std::array<Point, MAX_TARGETS> shown{};
    for (int i = 0; i < n && i < MAX_TARGETS; ++i)
        shown[static_cast<size_t>(i)] = ScreenOfPanel(shownTurn, panel[i]);
    return shown;
}
