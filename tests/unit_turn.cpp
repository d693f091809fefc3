// The turn of a monitor: the panel's pixels and the screen a person sees, both ways, under all
// eight transforms; RandR's rotation bits; the connector names X and the kernel give a monitor.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <string>
#include <vector>

#include "turn.h"

// Where the panel's corners show under each transform (a 1024 x 768 panel), and every pixel,
// edges included, comes back where it was.
TEST(Turn, PanelPixelsAndTheTurnedScreenMapBothWays)
{
    struct Case {
        int transform;
        Point origin, farX, farY;  // where panel (0, 0), (1023, 0) and (0, 767) show
    };
    const std::vector<Case> cases = {
        {0, {0, 0}, {1023, 0}, {0, 767}},
        {1, {767, 0}, {767, 1023}, {0, 0}},  // a quarter turn counter-clockwise: weston's (768 - y, x)
        {2, {1023, 767}, {0, 767}, {1023, 0}},
        {3, {0, 1023}, {0, 0}, {767, 1023}},
        {4, {1023, 0}, {0, 0}, {1023, 767}},  // mirrored, then turned
        {5, {767, 1023}, {767, 0}, {0, 1023}},
        {6, {0, 767}, {1023, 767}, {0, 0}},
        {7, {0, 0}, {0, 1023}, {767, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.transform);
        const Turn t = {c.transform, 1024, 768};
        EXPECT_EQ(ScreenOfPanel(t, {0, 0}), c.origin);
        EXPECT_EQ(ScreenOfPanel(t, {1023, 0}), c.farX);
        EXPECT_EQ(ScreenOfPanel(t, {0, 767}), c.farY);
        int w, h;
        TurnedSize(t, &w, &h);
        EXPECT_EQ(w, c.transform % 2 ? 768 : 1024);
        EXPECT_EQ(h, c.transform % 2 ? 1024 : 768);
        const Turn back = TurnOfScreen(c.transform, w, h);
        EXPECT_EQ(back.panelWidth, 1024);
        EXPECT_EQ(back.panelHeight, 768);
        for (Point p : {Point{0, 0}, Point{1023, 767}, Point{1023, 0}, Point{0, 767}, Point{51, 38}, Point{512, 384},
                        Point{700, 3}}) {
            const Point s = ScreenOfPanel(t, p);
            EXPECT_TRUE(s.x >= 0 && s.y >= 0 && s.x < w && s.y < h) << s.x << "," << s.y;
            EXPECT_EQ(PanelOfScreen(t, s), p);
            EXPECT_EQ(ScreenOfPanel(t, PanelOfScreen(t, s)), s);
        }
    }
}

// A turn keeps distances: the check measures the same error on the panel and on the screen.
TEST(Turn, DistancesAreKept)
{
    for (int transform = 0; transform < 8; ++transform) {
        const Turn t = {transform, 1920, 1080};
        const Point a = ScreenOfPanel(t, {100, 200}), b = ScreenOfPanel(t, {103, 196});
        EXPECT_EQ((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y), 25) << transform;
    }
}

// RandR's rotation and reflection bits as transforms: xrandr's left is a quarter turn
// counter-clockwise; a reflection mirrors the screen's own columns (X) or rows (Y), after the
// turn, as Xorg does (the guest's Xorg, --rotate right --reflect x, showed it).
TEST(Turn, RandRRotationsAreTransforms)
{
    const struct {
        unsigned rotation;
        int transform;
    } cases[] = {
        {RANDR_ROTATE_0, 0},
        {RANDR_ROTATE_90, 1},
        {RANDR_ROTATE_180, 2},
        {RANDR_ROTATE_270, 3},
        {RANDR_ROTATE_0 | RANDR_REFLECT_X, 4},
        {RANDR_ROTATE_90 | RANDR_REFLECT_X, 7},
        {RANDR_ROTATE_180 | RANDR_REFLECT_X, 6},
        {RANDR_ROTATE_270 | RANDR_REFLECT_X, 5},
        {RANDR_ROTATE_0 | RANDR_REFLECT_Y, 6},
        {RANDR_ROTATE_90 | RANDR_REFLECT_Y, 5},
        {RANDR_ROTATE_180 | RANDR_REFLECT_Y, 4},
        {RANDR_ROTATE_270 | RANDR_REFLECT_Y, 7},
        {RANDR_ROTATE_0 | RANDR_REFLECT_X | RANDR_REFLECT_Y, 2},
        {RANDR_ROTATE_90 | RANDR_REFLECT_X | RANDR_REFLECT_Y, 3},
        {0, 0},  // a server that reports nothing: unturned
    };
    for (const auto &c : cases)
        EXPECT_EQ(TransformOfRandR(c.rotation), c.transform) << c.rotation;
    // Every turn, mirrored by X or Y: the turned screen mirrored along its own axis.
    for (unsigned r : {RANDR_ROTATE_0, RANDR_ROTATE_90, RANDR_ROTATE_180, RANDR_ROTATE_270}) {
        const Turn plain = {TransformOfRandR(r), 1024, 768};
        int w, h;
        TurnedSize(plain, &w, &h);
        for (Point p : {Point{0, 0}, Point{100, 700}, Point{1023, 5}}) {
            const Point s = ScreenOfPanel(plain, p);
            EXPECT_EQ(ScreenOfPanel({TransformOfRandR(r | RANDR_REFLECT_X), 1024, 768}, p), (Point{w - 1 - s.x, s.y})) << r;
            EXPECT_EQ(ScreenOfPanel({TransformOfRandR(r | RANDR_REFLECT_Y), 1024, 768}, p), (Point{s.x, h - 1 - s.y})) << r;
        }
    }
    // Turned right and mirrored: the screen's top-left is the panel's bottom-right.
    const Turn rightX = {TransformOfRandR(RANDR_ROTATE_270 | RANDR_REFLECT_X), 1024, 768};
    EXPECT_EQ(PanelOfScreen(rightX, {0, 0}), (Point{1023, 767}));
    // Mirrored rows: the panel's top row shows at the bottom, its columns where they were.
    const Turn rows = {TransformOfRandR(RANDR_ROTATE_0 | RANDR_REFLECT_Y), 1024, 768};
    EXPECT_EQ(ScreenOfPanel(rows, {10, 0}), (Point{10, 767}));
    // Turned left: the screen's top-left pixel is the panel's bottom-left one.
    const Turn left = {TransformOfRandR(RANDR_ROTATE_90), 1024, 768};
    EXPECT_EQ(PanelOfScreen(left, {0, 0}), (Point{0, 767}));
}

// The kernel's connector names as X's modesetting driver gives them, and back; names no
// connector has give no kernel name.
TEST(Turn, ConnectorNamesBetweenTheKernelAndX)
{
    const struct {
        const char *kernel, *x;
    } both[] = {
        {"HDMI-A-1", "HDMI-1"}, {"HDMI-A-12", "HDMI-12"}, {"DP-2", "DP-2"}, {"eDP-1", "eDP-1"},
        {"Virtual-1", "Virtual-1"}, {"DVI-D-1", "DVI-D-1"}, {"HDMI-B-1", "HDMI-B-1"}, {"VGA-1", "VGA-1"},
    };
    for (const auto &c : both) {
        EXPECT_EQ(XOutputName(c.kernel), c.x);
        EXPECT_EQ(KernelConnectorName(c.x), c.kernel);
        EXPECT_EQ(KernelConnectorName(c.kernel), c.kernel) << "a kernel name stays";
    }
    for (const char *none : {"XWAYLAND0", "XWAYLAND12", "LEFT", "screen", "", "HDMI-", "HDMI-A-", "DP-x1",
                             "DP-12345", "HDMI-1x", "-1", "DP1"})
        EXPECT_EQ(KernelConnectorName(none), "") << none;
}

// --list-outputs' line on every backend: the mode in the panel's own pixels whatever the turn.
TEST(Turn, AnOutputsLineGivesItsPanelsModeAndItsTurn)
{
    struct Case {
        const char *name;
        Turn turn;
        int x, y, mmW, mmH;
        const char *line;
    } cases[] = {
        {"HDMI-A-1", {0, 1920, 1080}, 0, 0, 527, 296, "HDMI-A-1 1920x1080+0+0 rotation 0 527x296 mm\n"},
        {"Virtual-1", TurnOfScreen(1, 768, 1024), 1024, 0, 260, 195, "Virtual-1 1024x768+1024+0 rotation 90 260x195 mm\n"},
        {"DP-2", TurnOfScreen(3, 1080, 1920), 0, 768, 0, 0, "DP-2 1920x1080+0+768 rotation 270 0x0 mm\n"},
        {"DP-3", {6, 800, 600}, 0, 0, 10, 20, "DP-3 800x600+0+0 rotation 180 flipped 10x20 mm\n"},
        {"", {0, 640, 480}, 0, 0, 1, 1, "(unnamed) 640x480+0+0 rotation 0 1x1 mm\n"},
    };
    for (const Case &c : cases) {
        char *text = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        PrintOutputLine(out, c.name, c.turn, c.x, c.y, c.mmW, c.mmH);
        fclose(out);
        EXPECT_EQ(std::string(text, size), c.line);
        free(text);
    }
}
