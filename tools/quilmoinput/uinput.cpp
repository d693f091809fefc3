// The uinput backend: a virtual touchscreen (with a companion pointer for right-button touches)
// or a virtual absolute pointer, made with libevdev's uinput helpers.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client.h"
#include "frames.h"
#include "rootpath.h"

static libevdev_uinput *uiDevice[DEVICE_COUNT] = {};
static int uiFd[DEVICE_COUNT] = {-1, -1};
static Devices uiState;

constexpr const char *UINPUT_PATH = "/dev/uinput";
// Our vendor number on the virtual bus: the udev rule that names the output matches it.
constexpr int VENDOR = 0x7175;
constexpr int PRODUCT_TOUCH = 1, PRODUCT_POINTER = 2;
constexpr size_t NAME_SIZE = 80;  // the kernel's name field

bool UinputAvailable()
{
    char path[QLM_PATH];
    return RootPath(path, sizeof path, UINPUT_PATH) == 0 && access(path, W_OK) == 0;
}

static void axis(libevdev *dev, unsigned code, int maximum)
{
    input_absinfo a = {};
    a.maximum = maximum;
    libevdev_enable_event_code(dev, EV_ABS, code, &a);
}

static libevdev *base(const char *name, int product, const char *output)
{
    libevdev *dev = libevdev_new();
    if (!dev)
        return nullptr;
    libevdev_set_name(dev, name);
    libevdev_set_id_bustype(dev, BUS_VIRTUAL);
    libevdev_set_id_vendor(dev, VENDOR);
    libevdev_set_id_product(dev, product);
    if (output)
        libevdev_set_phys(dev, output);  // the udev rule makes it the device's WL_OUTPUT
    return dev;
}

// An absolute pointer: ABS_X 0..W-1, ABS_Y 0..H-1, the left and right buttons, and a middle one
// that is never pressed: libinput holds back the left press of a device with left and right but
// no middle button for 50 ms, waiting for a middle-button chord, and the press then lands where
// the pointer has moved meanwhile.
static libevdev *describe_pointer(const char *name, const UinputLayout &layout)
{
    libevdev *dev = base(name, PRODUCT_POINTER, layout.output);
    if (!dev)
        return nullptr;
    axis(dev, ABS_X, layout.width - 1);
    axis(dev, ABS_Y, layout.height - 1);
    libevdev_enable_event_code(dev, EV_KEY, BTN_LEFT, nullptr);
    libevdev_enable_event_code(dev, EV_KEY, BTN_RIGHT, nullptr);
    libevdev_enable_event_code(dev, EV_KEY, BTN_MIDDLE, nullptr);
    return dev;
}

// A touchscreen: a direct device with BTN_TOUCH, one multitouch slot and the single-touch axes
// beside it, which udev tags ID_INPUT_TOUCHSCREEN.
static libevdev *describe_touch(const char *name, const UinputLayout &layout)
{
    libevdev *dev = base(name, PRODUCT_TOUCH, layout.output);
    if (!dev)
        return nullptr;
    libevdev_enable_property(dev, INPUT_PROP_DIRECT);
    libevdev_enable_event_code(dev, EV_KEY, BTN_TOUCH, nullptr);
    axis(dev, ABS_X, layout.width - 1);
    axis(dev, ABS_Y, layout.height - 1);
    axis(dev, ABS_MT_SLOT, 0);
    axis(dev, ABS_MT_TRACKING_ID, TRACKING_ID_MAX);
    axis(dev, ABS_MT_POSITION_X, layout.width - 1);
    axis(dev, ABS_MT_POSITION_Y, layout.height - 1);
    return dev;
}

static int create(size_t i, libevdev *dev)
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, UINPUT_PATH) != 0 || (uiFd[i] = open(path, O_RDWR | O_CLOEXEC)) < 0) {
        Complain(0, "cannot open %s: %s", UINPUT_PATH, strerror(errno));
        libevdev_free(dev);
        return 1;
    }
    int err = dev ? libevdev_uinput_create_from_device(dev, uiFd[i], &uiDevice[i]) : -ENOMEM;
    libevdev_free(dev);  // the kernel device keeps its own copy
    if (err != 0) {
        Complain(0, "cannot create the uinput device: %s", strerror(-err));
        return 1;
    }
    return 0;
}

int UinputOpen(Backend *be, const UinputLayout &layout)
{
    uiState = Devices{};
    uiState.personality = layout.personality;
    int r;
    if (layout.personality == DEVICE_POINTER) {
        r = create(DEVICE_MAIN, describe_pointer(layout.name, layout));
    } else {
        char companion[NAME_SIZE];
        snprintf(companion, sizeof companion, "%.60s (right button)", layout.name);
        r = create(DEVICE_MAIN, describe_touch(layout.name, layout));
        if (r == 0)
            r = create(DEVICE_COMPANION, describe_pointer(companion, layout));
    }
    if (r != 0) {
        UinputClose();
        return 1;
    }
    be->width = layout.width;
    be->height = layout.height;
    return 0;
}

int UinputInject(const Steps &steps)
{
    InputEvents e = StepsToEvents(steps, &uiState);
    for (size_t i = 0; i < e.count; i++) {
        libevdev_uinput *dev = uiDevice[e.ev[i].device];
        if (!dev || libevdev_uinput_write_event(dev, e.ev[i].type, e.ev[i].code, e.ev[i].value) != 0)
            return 1;
    }
    return 0;
}

void UinputClose()
{
    for (size_t i = 0; i < DEVICE_COUNT; i++) {
        if (uiDevice[i])
            libevdev_uinput_destroy(uiDevice[i]);
        uiDevice[i] = nullptr;
        CloseFd(&uiFd[i]);
    }
}
