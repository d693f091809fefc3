// RandR lookup by name on an Xvfb screen split into two monitors.
#include <gtest/gtest.h>

#include <X11/extensions/Xrandr.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "childproc.h"
#include "xoutput.h"

namespace {

// Adds a monitor without outputs, as `xrandr --setmonitor NAME geometry none` does.
void AddMonitor(Display *dpy, const char *name, int x, int y, int w, int h)
{
    XRRMonitorInfo *info = XRRAllocateMonitor(dpy, 0);
    info->name = XInternAtom(dpy, name, False);
    info->x = x;
    info->y = y;
    info->width = w;
    info->height = h;
    info->mwidth = w / 4;
    info->mheight = h / 4;
    XRRSetMonitor(dpy, DefaultRootWindow(dpy), info);
    XRRFreeMonitors(info);
    XSync(dpy, False);
}

std::string Listing(Display *dpy)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ListXOutputs(dpy, out);
    fclose(out);
    std::string listing(text, size);
    free(text);
    return listing;
}

}  // namespace

TEST(XOutput, FindsMonitorsAndOutputsByName)
{
    std::string display;
    int xvfb = StartXvfb("1600x600x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb is not installed or did not start";
    Display *dpy = XOpenDisplay((":" + display).c_str());
    ASSERT_NE(dpy, nullptr);
    AddMonitor(dpy, "LEFT", 0, 0, 800, 600);
    AddMonitor(dpy, "RIGHT", 800, 0, 800, 600);

    struct Case {
        const char *name;
        int result, x, y, w, h;
    } cases[] = {
        {"RIGHT", 0, 800, 0, 800, 600},
        {"LEFT", 0, 0, 0, 800, 600},
        {"screen", 0, 0, 0, 1600, 600},  // Xvfb's one output drives the whole screen
        {"right", 1, 0, 0, 0, 0},        // names are matched exactly
        {"", 1, 0, 0, 0, 0},
        {"NO-SUCH-OUTPUT", 1, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        XOutputRect rect{-1, -1, -1, -1, {}, -1, -1, -1};
        EXPECT_EQ(FindXOutput(dpy, c.name, &rect), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_STREQ(rect.name.data(), c.name);
            EXPECT_EQ(rect.x, c.x) << c.name;
            EXPECT_EQ(rect.y, c.y) << c.name;
            EXPECT_EQ(rect.width, c.w) << c.name;
            EXPECT_EQ(rect.height, c.h) << c.name;
            EXPECT_EQ(rect.transform, 0) << c.name << ": Xvfb turns nothing";
        }
    }
    // The kernel's connector name finds X's name for it (a monitor stands in for the output).
    AddMonitor(dpy, "HDMI-1", 0, 0, 400, 300);
    XOutputRect hdmi{};
    EXPECT_EQ(FindXOutput(dpy, "HDMI-A-1", &hdmi), 0);
    EXPECT_STREQ(hdmi.name.data(), "HDMI-1");
    EXPECT_EQ(hdmi.width, 400);
    EXPECT_EQ(FindXOutput(dpy, "HDMI-A-2", &hdmi), 1);
    // Xvfb's one output is the screen's only one.
    XOutputRect only{};
    EXPECT_EQ(FindXPrimary(dpy, &only), 0);
    EXPECT_STREQ(only.name.data(), "screen");
    EXPECT_EQ(only.width, 1600);
    EXPECT_EQ(only.transform, 0);
    EXPECT_EQ(XScreenTransform(dpy), 0);
    // Monitors first, then the outputs.
    std::string listing = Listing(dpy);
    size_t left = listing.find("LEFT 800x600+0+0 rotation 0 200x150 mm\n");
    size_t right = listing.find("RIGHT 800x600+800+0 rotation 0 200x150 mm\n");
    size_t output = listing.find("screen 1600x600+0+0 rotation 0 423x159 mm\n");
    EXPECT_NE(left, std::string::npos) << listing;
    EXPECT_NE(right, std::string::npos) << listing;
    EXPECT_NE(output, std::string::npos) << listing;
    EXPECT_LT(std::max(left, right), output) << listing;
    XCloseDisplay(dpy);
    StopXvfb(xvfb);
}

// A screen RandR made one monitor of (named after its output) is listed once.
TEST(XOutput, ListsAMonitorMadeOfAnOutputOnce)
{
    std::string display;
    int xvfb = StartXvfb("1024x768x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb is not installed or did not start";
    Display *dpy = XOpenDisplay((":" + display).c_str());
    ASSERT_NE(dpy, nullptr);
    const std::string listing = Listing(dpy);
    XCloseDisplay(dpy);
    StopXvfb(xvfb);
    EXPECT_EQ(listing, "screen 1024x768+0+0 rotation 0 271x203 mm\n");
}
