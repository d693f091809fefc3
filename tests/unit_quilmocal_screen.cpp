// quilmocal's screen arithmetic: lines wrapped to a width, waits that wake only when the screen
// changes, and the panel's pixels on a turned output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cal.h"
#include "wrap.h"

// Lines break at spaces within the width; a word too wide stands alone and asks for a smaller
// font; measured here at 10 units a letter.
TEST(QuilmocalText, WrapsAtSpacesWithinTheWidth)
{
    const Measure tens = [](std::string_view s) { return 10.0 * double(s.size()); };
    struct Case {
        const char *text;
        double width;
        std::vector<std::string> lines;
        bool overflow;
    };
    const std::vector<Case> cases = {
        {"Check failed", 200, {"Check failed"}, false},
        {"Check failed", 120, {"Check failed"}, false},          // exactly the width
        {"Check failed", 119, {"Check", "failed"}, false},
        {"a bb ccc dddd", 70, {"a bb", "ccc", "dddd"}, false},
        {"  leading and  double  spaces ", 140, {"leading and", "double  spaces"}, false},  // kept inside a line
        {"unbreakableword fits", 100, {"unbreakableword", "fits"}, true},  // alone, and too wide
        {"", 100, {}, false},
        {"   ", 100, {}, false},
        {"a b c d e f g h i j k l m n", 10, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' in " + std::to_string(c.width));
        const Wrapped w = WrapText(c.text, c.width, tens);
        std::vector<std::string> got;
        for (int i = 0; i < w.count; ++i)
            got.emplace_back(w.line[static_cast<size_t>(i)]);
        EXPECT_EQ(got, c.lines);
        EXPECT_EQ(w.overflow, c.overflow);
    }
}

// A wait wakes when what it shows changes: the seconds left drop, a held finger reaches the
// cancel warning, each second of the cancel countdown, and the cancel; never on a fixed clock.
TEST(QuilmocalWait, WakesOnlyWhenTheScreenChanges)
{
    struct Case {
        long long now, end;
        bool down;
        long long downAt, cancelMs, next;
    };
    const std::vector<Case> cases = {
        {0, 60000, false, 0, 4000, 1000},       // 60 s shown until 59 s are left
        {250, 60000, false, 0, 4000, 1000},     // the same second: no sooner
        {999, 60000, false, 0, 4000, 1000},
        {1000, 60000, false, 0, 4000, 2000},
        {500, 2500, false, 0, 0, 1500},         // "2 s" shown; "1 s" once 1 s is left
        {59999, 60000, false, 0, 4000, 60000},  // the last millisecond
        {60000, 60000, false, 0, 4000, 60000},  // over: the end itself
        {100, 60000, true, 0, 4000, 1000},      // held 0.1 s: the warning at 2 s is later
        {1500, 60000, true, 0, 4000, 2000},     // the warning and the second coincide
        {1500, 59700, true, 0, 4000, 1700},     // the time left drops first
        {2000, 60500, true, 0, 4000, 2500},
        {2100, 60000, true, 0, 4000, 3000},     // counting down: 2 s, then 1 s at 3 s
        {3500, 60000, true, 300, 4000, 4000},   // a second of the time left comes first
        {4100, 60000, true, 0, 4000, 5000},     // past the cancel: the time left only
        {100, 60000, true, 0, 0, 1000},         // no cancel rule
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.now) + " until " + std::to_string(c.end));
        EXPECT_EQ(NextChange(c.now, c.end, c.down, c.downAt, c.cancelMs), c.next);
    }
}

// The panel's pixels and the turned screen: where the panel's corners show under each of
// Wayland's eight transforms (1024 x 768 panel), and every pixel comes back where it was.
TEST(QuilmocalRotation, PanelPixelsAndTheTurnedScreenMapBothWays)
{
    struct Case {
        int transform;
        Point origin, farX;  // where panel (0, 0) and panel (1023, 0) show
    };
    const std::vector<Case> cases = {
        {0, {0, 0}, {1023, 0}},
        {1, {767, 0}, {767, 1023}},   // rotate-90: weston's (768 - y, x) in pixels
        {2, {1023, 767}, {0, 767}},
        {3, {0, 1023}, {0, 0}},
        {4, {1023, 0}, {0, 0}},       // mirrored, then turned
        {5, {767, 1023}, {767, 0}},
        {6, {0, 767}, {1023, 767}},
        {7, {0, 0}, {0, 1023}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.transform);
        const Turn t = {c.transform, 1024, 768};
        EXPECT_EQ(ScreenOfPanel(t, {0, 0}), c.origin);
        EXPECT_EQ(ScreenOfPanel(t, {1023, 0}), c.farX);
        const bool quarter = c.transform % 2 == 1;
        for (Point p : {Point{0, 0}, Point{1023, 767}, Point{51, 38}, Point{512, 384}, Point{700, 3}}) {
            const Point s = ScreenOfPanel(t, p);
            EXPECT_TRUE(s.x >= 0 && s.y >= 0 && s.x < (quarter ? 768 : 1024) && s.y < (quarter ? 1024 : 768));
            EXPECT_EQ(PanelOfScreen(t, s), p);
        }
    }
}
