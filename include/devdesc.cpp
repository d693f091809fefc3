// The panel's input devices as records: identity from the Port line, axes from the calibrated
// screen and the monitor's size. Pure: nothing here touches the kernel.
#include <linux/input-event-codes.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "devdesc.h"

// Units per pixel when the monitor's size is unknown, and the least otherwise: a pixel must be
// several units wide so that its centre is a unit of its own (see ScaleAxis).
constexpr int UNITS_UNSIZED = 16;
constexpr int UNITS_MIN = 16;
constexpr int PIXELS_MAX = 65536;  // frames carry 16-bit positions

/*
 * Every desktop turns a unit u of an axis min..max into a position on its output of W pixels
 * as (u - min) * W / (max - min + 1); X's libinput driver goes on through a 0..65535 valuator
 * that the server spreads over 65536 steps, which multiplies by 65535/65536. A pixel's first
 * unit therefore lands a hair left of its pixel on X (1024 px, max 1023: 513 -> 512.99).
 * So pixel p is reported at u = p * perPixel + perPixel / 2, its centre, on an axis 0..max with
 * max = W * perPixel: u * W / (max + 1) = (p + 1/2) * (1 - 1/(max + 1)), which is p + 1/2 less
 * a sixteenth at most on weston and wlroots; on X another (p + 1/2) / 65536 goes, and the sum
 * stays below 1/2 for every pixel of a screen up to 24576 px wide. Both pixels stay exact.
 *
 * The size is (max - min) / resolution to udev (whole millimetres: ID_INPUT_WIDTH_MM) and to
 * libinput, and KWin compares whole millimetres, mutter within 5 %: so max over the resolution
 * is the monitor's millimetres exactly. With g = gcd(W, mm):
 *   perPixel = (mm / g) * m,  resolution = (W / g) * m,  m the least with perPixel >= 16
 *   max / resolution = W * (mm / g) / (W / g) = mm exactly.
 *   1920 px on 527 mm: g 1, perPixel 527, resolution 1920, max 1011840 = 527 mm * 1920
 *   1024 px on 256 mm: g 256, perPixel 1 * 16, resolution 4 * 16 = 64, max 16384 = 256 * 64
 * W <= 65536 and mm <= 10000 keep the range below 2^31.
 */
AxisScale ScaleAxis(int pixels, int mm)
{
    if (pixels < 1)
        pixels = 1;
    if (pixels > PIXELS_MAX)
        pixels = PIXELS_MAX;
    if (mm <= 0)
        return AxisScale{UNITS_UNSIZED, 0};
    int g = std::gcd(pixels, mm);
    int s0 = mm / g, r0 = pixels / g;
    int m = (UNITS_MIN + s0 - 1) / s0;
    long long per = (long long)s0 * m;
    if (per * pixels > INT_MAX)  // beyond any monitor: keep the range, lose exact millimetres
        return AxisScale{INT_MAX / pixels, (int)((long long)(INT_MAX / pixels) * pixels / mm)};
    return AxisScale{(int)per, r0 * m};
}

int PixelUnit(int p, const AxisScale &s)
{
    return p * s.perPixel + s.perPixel / 2;
}

unsigned short PortProduct(std::string_view port)
{
    // FNV-1a over the line's bytes, folded to 15 bits: the top bit marks the companion.
    unsigned h = 2166136261u;
    for (unsigned char c : port) {
        h ^= c;
        h *= 16777619u;
    }
    unsigned p = (h ^ (h >> 15) ^ (h >> 30)) & 0x7FFF;
    return (unsigned short)(p ? p : 1);
}

static std::string_view last_element(std::string_view port)
{
    while (port.size() > 1 && port.back() == '/')
        port.remove_suffix(1);
    size_t slash = port.rfind('/');
    return slash == std::string_view::npos || slash + 1 == port.size() ? port : port.substr(slash + 1);
}

void DeviceName(std::string_view port, const char *suffix, char *out, size_t size)
{
    constexpr char PREFIX[] = "quilmod ";
    std::string_view base = last_element(port);
    size_t room = size - 1 - (sizeof PREFIX - 1) - strlen(suffix);
    if (base.size() > room)
        base = base.substr(0, room);
    snprintf(out, size, "%s%.*s%s", PREFIX, (int)base.size(), base.data(), suffix);
}

// The port's path and the device's place on it, cut at the front to fit ("/dev/ttyS1/input0").
static void phys_name(std::string_view port, int input, char *out, size_t size)
{
    constexpr size_t TAIL = 7;  // "/input0"
    if (port.size() > size - 1 - TAIL)
        port = port.substr(port.size() - (size - 1 - TAIL));
    snprintf(out, size, "%.*s/input%d", (int)port.size(), port.data(), input);
}

static void add_axis(DeviceDesc *d, unsigned short code, int maximum, int resolution)
{
    d->axis[d->axes++] = AxisDesc{code, 0, maximum, resolution};
}

static void identity(DeviceDesc *d, const PanelInput &in, const char *suffix, int input, unsigned short product)
{
    DeviceName(in.port, suffix, d->name, sizeof d->name);
    phys_name(in.port, input, d->phys, sizeof d->phys);
    d->product = product;
}

// ABS_X and ABS_Y over the whole calibrated screen.
static void position_axes(DeviceDesc *d, const PanelDesc &p, int w, int h, unsigned short cx, unsigned short cy)
{
    add_axis(d, cx, w * p.x.perPixel, p.x.resolution);
    add_axis(d, cy, h * p.y.perPixel, p.y.resolution);
}

// An absolute pointer with the left, right and middle buttons. The middle one is never pressed:
// libinput holds back the left press of a device with left and right but no middle button for
// 50 ms, waiting for a chord, and the press would land where the pointer moved meanwhile.
static void describe_pointer(DeviceDesc *d, const PanelDesc &p, int w, int h)
{
    position_axes(d, p, w, h, ABS_X, ABS_Y);
    d->key[d->keys++] = BTN_LEFT;
    d->key[d->keys++] = BTN_RIGHT;
    d->key[d->keys++] = BTN_MIDDLE;
}

// A touchscreen as udev and the desktops know one: direct, BTN_TOUCH, no mouse button, the
// single-touch axes and one multitouch slot beside them.
static void describe_touch(DeviceDesc *d, const PanelDesc &p, int w, int h)
{
    d->direct = true;
    d->key[d->keys++] = BTN_TOUCH;
    position_axes(d, p, w, h, ABS_X, ABS_Y);
    add_axis(d, ABS_MT_SLOT, 0, 0);
    add_axis(d, ABS_MT_TRACKING_ID, TRACKING_ID_MAX, 0);
    position_axes(d, p, w, h, ABS_MT_POSITION_X, ABS_MT_POSITION_Y);
}

PanelDesc DescribePanel(const PanelInput &in)
{
    PanelDesc p;
    if (in.kind == INPUT_NONE)
        return p;
    int w = in.width < 1 ? 1 : in.width > PIXELS_MAX ? PIXELS_MAX : in.width;
    int h = in.height < 1 ? 1 : in.height > PIXELS_MAX ? PIXELS_MAX : in.height;
    p.kind = in.kind;
    p.x = ScaleAxis(w, in.widthMm);
    p.y = ScaleAxis(h, in.heightMm);
    unsigned short product = in.product & 0x7FFF ? in.product & 0x7FFF : PortProduct(in.port);
    if (in.kind == INPUT_POINTER) {
        identity(&p.main, in, "", 0, product);
        describe_pointer(&p.main, p, w, h);
        return p;
    }
    identity(&p.main, in, "", 0, product);
    describe_touch(&p.main, p, w, h);
    p.hasCompanion = true;
    identity(&p.companion, in, " (right button)", 1, (unsigned short)(product | COMPANION_BIT));
    describe_pointer(&p.companion, p, w, h);
    return p;
}
