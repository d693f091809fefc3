// The kernel input devices that stand for one panel: what they are (capabilities, identity,
// axes) as plain records, worked out from the panel's port, calibrated screen and monitor.
#pragma once
#include <array>
#include <cstddef>
#include <string_view>

// What the daemon makes for each open port: a touchscreen with a companion pointer for
// right-button touches, one absolute pointer, or nothing (the data pipes only).
enum InputKind : unsigned char { INPUT_TOUCH, INPUT_POINTER, INPUT_NONE };

constexpr size_t DEV_NAME_SIZE = 80;  // the kernel's name field, with its NUL
constexpr size_t DEV_PHYS_SIZE = 64;
constexpr unsigned short DEV_BUS_VIRTUAL = 0x06;  // BUS_VIRTUAL
constexpr unsigned short DEV_VENDOR = 0x7175;     // ours on the virtual bus: the udev rule matches it
constexpr unsigned short COMPANION_BIT = 0x8000;  // the companion pointer's product: the panel's | this
constexpr int TRACKING_ID_MAX = 65535;
constexpr size_t MAX_KEYS = 3, MAX_AXES = 6;
// The daemon's list of the devices it has made (quilmoctl and quilmoinput read it).
constexpr char DEVICES_STATUS_FILE[] = "/run/quilmod/devices";

struct AxisDesc {
    unsigned short code = 0;
    int minimum = 0, maximum = 0, resolution = 0;  // resolution: units per mm, 0 unknown
    bool operator==(const AxisDesc &) const = default;
};

struct DeviceDesc {
    char name[DEV_NAME_SIZE] = {};
    char phys[DEV_PHYS_SIZE] = {};
    unsigned short bustype = DEV_BUS_VIRTUAL, vendor = DEV_VENDOR, product = 0, version = 1;
    bool direct = false;  // INPUT_PROP_DIRECT
    std::array<unsigned short, MAX_KEYS> key{};
    size_t keys = 0;
    std::array<AxisDesc, MAX_AXES> axis{};
    size_t axes = 0;
    bool operator==(const DeviceDesc &) const = default;
};

// One screen axis in device units, 0 .. pixels*perPixel: pixel p is reported at the unit of its
// centre, p*perPixel + perPixel/2. resolution is units per mm (0: size unknown).
struct AxisScale {
    int perPixel = 1;
    int resolution = 0;
    bool operator==(const AxisScale &) const = default;
};

struct PanelInput {
    InputKind kind = INPUT_TOUCH;
    std::string_view port;       // the Port line's device, as written
    int width = 0, height = 0;   // the calibrated screen in pixels
    int widthMm = 0, heightMm = 0;  // the monitor's size; 0: unknown
    unsigned short product = 0;  // PortProduct(port), or the next free one
};

struct PanelDesc {
    InputKind kind = INPUT_NONE;
    AxisScale x, y;
    DeviceDesc main, companion;  // companion: the touchscreen's right-button pointer
    bool hasCompanion = false;
    bool operator==(const PanelDesc &) const = default;
};

// The pixels of one axis over its millimetres.
AxisScale ScaleAxis(int pixels, int mm);
// The unit at the centre of pixel p.
int PixelUnit(int p, const AxisScale &s);
// The product number of a Port line's device: stable for the same text, 1..0x7FFF.
unsigned short PortProduct(std::string_view port);
// "quilmod " and the port's last path element, cut to fit the kernel's field.
void DeviceName(std::string_view port, const char *suffix, char *out, size_t size);
PanelDesc DescribePanel(const PanelInput &in);
