// The panel's device description: identity from the Port line, capabilities per personality,
// and axes whose pixel centres every desktop maps back to the very pixel, sized to the monitor.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cmath>
#include <cstring>
#include <string>

#include "devdesc.h"

namespace {

TEST(DevDesc, IdentityComesFromThePortLineAndStaysWithIt)
{
    const struct {
        const char *port, *name, *phys;
    } cases[] = {
        {"/dev/ttyS1", "quilmod ttyS1", "/dev/ttyS1/input0"},
        {"/dev/quilmo-usb0", "quilmod quilmo-usb0", "/dev/quilmo-usb0/input0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0/", "quilmod usb-FTDI_FT232R_A1B2-if00-port0",
         "/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0//input0"},
        {"ttyS0", "quilmod ttyS0", "ttyS0/input0"},
    };
    for (const auto &c : cases) {
        PanelDesc d = DescribePanel(PanelInput{INPUT_TOUCH, c.port, 1024, 768});
        EXPECT_STREQ(d.main.name, c.name);
        EXPECT_EQ(std::string(d.companion.name), std::string(c.name) + " (right button)");
        EXPECT_STREQ(d.main.phys, c.phys);
        EXPECT_EQ(d.main.vendor, DEV_VENDOR);
        EXPECT_EQ(d.main.product, PortProduct(c.port));
        EXPECT_EQ(d.companion.product, PortProduct(c.port) | COMPANION_BIT);
        EXPECT_GE(d.main.product, 1);
        EXPECT_LE(d.main.product, 0x7FFF);
    }
    // The same text, the same number, run after run; neighbouring names differ.
    EXPECT_EQ(PortProduct("/dev/ttyS1"), PortProduct(std::string("/dev/ttyS") + "1"));
    EXPECT_NE(PortProduct("/dev/ttyS0"), PortProduct("/dev/ttyS1"));
    EXPECT_NE(PortProduct("/dev/quilmo-usb0"), PortProduct("/dev/quilmo-usb1"));
}

TEST(DevDesc, LongNamesAreCutToTheKernelsFields)
{
    std::string port = "/dev/" + std::string(300, 'a');
    PanelDesc d = DescribePanel(PanelInput{INPUT_TOUCH, port, 800, 600});
    EXPECT_EQ(strlen(d.main.name), DEV_NAME_SIZE - 1);
    EXPECT_EQ(std::string(d.main.name).substr(0, 9), "quilmod a");
    EXPECT_EQ(strlen(d.companion.name), DEV_NAME_SIZE - 1);
    EXPECT_EQ(std::string(d.companion.name).substr(DEV_NAME_SIZE - 1 - 15), " (right button)");
    EXPECT_EQ(strlen(d.main.phys), DEV_PHYS_SIZE - 1);
    EXPECT_EQ(std::string(d.main.phys).substr(DEV_PHYS_SIZE - 1 - 7), "/input0");
}

std::string capabilities(const DeviceDesc &d)
{
    std::string s = d.direct ? "direct" : "indirect";
    for (size_t i = 0; i < d.keys; i++)
        s += " key" + std::to_string(d.key[i]);
    for (size_t i = 0; i < d.axes; i++)
        s += " abs" + std::to_string(d.axis[i].code) + ":" + std::to_string(d.axis[i].minimum) + ".." +
             std::to_string(d.axis[i].maximum) + "/" + std::to_string(d.axis[i].resolution);
    return s;
}

// 1024x768 on 256x192 mm: 16 units a pixel, 64 units a mm.
TEST(DevDesc, EachPersonalityHasItsCapabilities)
{
    PanelInput in{INPUT_TOUCH, "/dev/ttyS1", 1024, 768, 256, 192};
    PanelDesc t = DescribePanel(in);
    EXPECT_EQ(capabilities(t.main), "direct key330 abs0:0..16384/64 abs1:0..12288/64 abs47:0..0/0 "
                                    "abs57:0..65535/0 abs53:0..16384/64 abs54:0..12288/64");
    ASSERT_TRUE(t.hasCompanion);
    EXPECT_EQ(capabilities(t.companion), "indirect key272 key273 key274 abs0:0..16384/64 abs1:0..12288/64");
    in.kind = INPUT_POINTER;
    PanelDesc p = DescribePanel(in);
    EXPECT_FALSE(p.hasCompanion);
    EXPECT_EQ(capabilities(p.main), "indirect key272 key273 key274 abs0:0..16384/64 abs1:0..12288/64");
    EXPECT_EQ(std::string(p.main.name), "quilmod ttyS1");
    in.kind = INPUT_NONE;
    EXPECT_EQ(DescribePanel(in).kind, INPUT_NONE);
    // No mouse button on the touchscreen: udev and mutter would take it for a pointer.
    for (size_t i = 0; i < t.main.keys; i++)
        EXPECT_TRUE(t.main.key[i] < BTN_MOUSE || t.main.key[i] > BTN_TASK) << t.main.key[i];
}

// Where a desktop puts unit u of an axis 0..max over W pixels: weston and wlroots take
// u * W / (max + 1); X's libinput driver goes through a 0..65535 valuator spread over 65536.
double compositor(int u, int max, int w)
{
    return (double)u * w / ((double)max + 1);
}

double xserver(int u, int max, int w)
{
    return compositor(u, max, 65535) * w / 65536.0;
}

TEST(DevDesc, EveryPixelIsExactOnEveryDesktopAndTheSizeIsTheMonitors)
{
    const struct {
        int pixels, mm;
        int perPixel, resolution;
    } cases[] = {
        {1024, 256, 16, 64},      // gcd 256: 1 mm over 4 px, times 16
        {1920, 527, 527, 1920},   // coprime: a unit is 1/1920 mm
        {1080, 296, 37, 135},     // gcd 8
        {768, 0, 16, 0},          // size unknown: no resolution
        {800, 800, 16, 16},       // one pixel a millimetre
        {3840, 600, 20, 128},     // gcd 120: 5 mm over 32 px, times 4
        {1, 1, 16, 16},
        {65535, 10000, 2000, 13107},  // the largest: the range stays below 2^31
        {24576, 1536, 16, 256},       // the widest exact on X, with the fewest units a pixel
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.pixels) + " px on " + std::to_string(c.mm) + " mm");
        AxisScale s = ScaleAxis(c.pixels, c.mm);
        EXPECT_EQ(s, (AxisScale{c.perPixel, c.resolution}));
        int max = c.pixels * s.perPixel;
        if (c.mm) {
            EXPECT_EQ((long long)max, (long long)c.mm * s.resolution) << "(max - min) / resolution == mm";
        } else {
            EXPECT_EQ(s.resolution, 0);
        }
        int step = c.pixels > 4096 ? 7 : 1;
        for (int p = 0; p < c.pixels; p += step) {
            int u = PixelUnit(p, s);
            ASSERT_LE(u, max);
            ASSERT_EQ((int)std::floor(compositor(u, max, c.pixels)), p);
            if (c.pixels <= 24576) {  // the widest X screen kept exact (see ScaleAxis)
                ASSERT_EQ((int)std::floor(xserver(u, max, c.pixels)), p);
            }
        }
    }
    // The old range (one unit a pixel, 0..W-1) loses the pixel on X: 513 of 1024 at 512.99.
    EXPECT_LT(xserver(513, 1023, 1024), 513.0);
}

}  // namespace
