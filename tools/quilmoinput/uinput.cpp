// The uinput backend: a virtual absolute pointer made with libevdev's uinput helpers, which
// every compositor and libinput take as one more pointing device.
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

static libevdev_uinput *uiDevice = nullptr;
static int uiFd = -1;

constexpr const char *UINPUT_PATH = "/dev/uinput";

bool UinputAvailable()
{
    char path[QLM_PATH];
    return RootPath(path, sizeof path, UINPUT_PATH) == 0 && access(path, W_OK) == 0;
}

// The device description: ABS_X 0..W-1, ABS_Y 0..H-1, the left and right buttons.
static libevdev *describe(const char *name, int width, int height)
{
    libevdev *dev = libevdev_new();
    if (!dev)
        return nullptr;
    libevdev_set_name(dev, name);
    libevdev_set_id_bustype(dev, BUS_VIRTUAL);
    input_absinfo ax = {};
    ax.maximum = width - 1;
    input_absinfo ay = {};
    ay.maximum = height - 1;
    libevdev_enable_event_code(dev, EV_ABS, ABS_X, &ax);
    libevdev_enable_event_code(dev, EV_ABS, ABS_Y, &ay);
    libevdev_enable_event_code(dev, EV_KEY, BTN_LEFT, nullptr);
    libevdev_enable_event_code(dev, EV_KEY, BTN_RIGHT, nullptr);
    return dev;
}

int UinputOpen(Backend *be, const char *name, int width, int height)
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, UINPUT_PATH) != 0 || (uiFd = open(path, O_RDWR | O_CLOEXEC)) < 0) {
        Complain(0, "cannot open %s: %s", UINPUT_PATH, strerror(errno));
        return 1;
    }
    libevdev *dev = describe(name, width, height);
    int err = dev ? libevdev_uinput_create_from_device(dev, uiFd, &uiDevice) : -ENOMEM;
    libevdev_free(dev);  // the kernel device keeps its own copy
    if (err != 0) {
        Complain(0, "cannot create the uinput device: %s", strerror(-err));
        close(uiFd);
        uiFd = -1;
        return 1;
    }
    be->width = width;
    be->height = height;
    return 0;
}

int UinputInject(const Steps &steps)
{
    InputEvents e = StepsToEvents(steps);
    for (size_t i = 0; i < e.count; i++)
        if (libevdev_uinput_write_event(uiDevice, e.ev[i].type, e.ev[i].code, e.ev[i].value) != 0)
            return 1;
    return 0;
}

void UinputClose()
{
    if (uiDevice)
        libevdev_uinput_destroy(uiDevice);
    uiDevice = nullptr;
    if (uiFd >= 0)
        close(uiFd);
    uiFd = -1;
}
