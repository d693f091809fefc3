// Devices through /dev/uinput: the description applied by ioctls, events written in one piece.
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "rootpath.h"
#include "uidev.h"

static int kernel_ioctl(int fd, unsigned long request, void *arg)
{
    return ioctl(fd, request, arg);
}

static long kernel_write(int fd, const void *buf, size_t len)
{
    long n;
    do
        n = write(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

int (*UiDevIoctl)(int fd, unsigned long request, void *arg) = kernel_ioctl;
long (*UiDevWrite)(int fd, const void *buf, size_t len) = kernel_write;

int UiDevOpen()
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, UINPUT_NODE)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Non-blocking: a write to uinput never waits, and nothing here may.
    return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

static void *value(unsigned v)
{
    return reinterpret_cast<void *>(static_cast<uintptr_t>(v));
}

// Each call in turn; the first that fails stops the rest.
struct Applier {
    int fd;
    const char *failed = nullptr;
    int err = 0;
    void call(unsigned long request, void *arg, const char *what)
    {
        if (failed)
            return;
        if (UiDevIoctl(fd, request, arg) < 0) {
            failed = what;
            err = errno ? errno : EIO;
        }
    }
};

static void capabilities(Applier *a, const DeviceDesc &d)
{
    if (d.keys)
        a->call(UI_SET_EVBIT, value(EV_KEY), "UI_SET_EVBIT");
    for (size_t i = 0; i < d.keys; i++)
        a->call(UI_SET_KEYBIT, value(d.key[i]), "UI_SET_KEYBIT");
    if (d.axes)
        a->call(UI_SET_EVBIT, value(EV_ABS), "UI_SET_EVBIT");
    for (size_t i = 0; i < d.axes; i++) {
        a->call(UI_SET_ABSBIT, value(d.axis[i].code), "UI_SET_ABSBIT");
        uinput_abs_setup abs = {};
        abs.code = d.axis[i].code;
        abs.absinfo.minimum = d.axis[i].minimum;
        abs.absinfo.maximum = d.axis[i].maximum;
        abs.absinfo.resolution = d.axis[i].resolution;
        a->call(UI_ABS_SETUP, &abs, "UI_ABS_SETUP");
    }
    if (d.direct)
        a->call(UI_SET_PROPBIT, value(INPUT_PROP_DIRECT), "UI_SET_PROPBIT");
}

int UiDevCreate(int fd, const DeviceDesc &d, const char **failed)
{
    Applier a{fd};
    a.call(UI_SET_EVBIT, value(EV_SYN), "UI_SET_EVBIT");
    capabilities(&a, d);
    uinput_setup setup = {};
    setup.id.bustype = d.bustype;
    setup.id.vendor = d.vendor;
    setup.id.product = d.product;
    setup.id.version = d.version;
    static_assert(sizeof setup.name == DEV_NAME_SIZE);
    memcpy(setup.name, d.name, sizeof setup.name);
    setup.name[sizeof setup.name - 1] = '\0';
    a.call(UI_DEV_SETUP, &setup, "UI_DEV_SETUP");
    char phys[DEV_PHYS_SIZE];
    memcpy(phys, d.phys, sizeof phys);
    phys[sizeof phys - 1] = '\0';
    a.call(UI_SET_PHYS, phys, "UI_SET_PHYS");
    a.call(UI_DEV_CREATE, nullptr, "UI_DEV_CREATE");
    if (failed)
        *failed = a.failed;
    return a.failed ? a.err : 0;
}

void UiDevDestroy(int *fd)
{
    if (*fd < 0)
        return;
    UiDevIoctl(*fd, UI_DEV_DESTROY, nullptr);
    close(*fd);  // closing destroys it too; the ioctl says so first, in order
    *fd = -1;
}

// Each run of one device's events in one write.
static int send_events(const int fd[DEVICE_COUNT], const InputEvent *ev, size_t count)
{
    input_event out[QUEUE_EVENTS];
    size_t i = 0;
    while (i < count) {
        unsigned char device = ev[i].device;
        size_t n = 0;
        for (; i < count && ev[i].device == device && n < QUEUE_EVENTS; i++, n++) {
            out[n] = input_event{};  // the time is the kernel's: it stamps each event itself
            out[n].type = ev[i].type;
            out[n].code = ev[i].code;
            out[n].value = ev[i].value;
        }
        if (device >= DEVICE_COUNT || fd[device] < 0)
            return ENODEV;
        long w = UiDevWrite(fd[device], out, n * sizeof out[0]);
        if (w != (long)(n * sizeof out[0]))
            return w < 0 ? errno : EIO;
    }
    return 0;
}

void UiDevQueueInit(UiDevQueue *q, const bool multitouch[DEVICE_COUNT])
{
    *q = UiDevQueue{};
    for (size_t d = 0; d < DEVICE_COUNT; d++)
        if (multitouch[d])
            q->held[d].abs[ABS_MT_TRACKING_ID] = -1;  // as the kernel starts its slots
}

// Whether the kernel takes the event: a changed value (recorded as held), or the end of a report
// that carries something.
static bool changes(UiDevQueue *q, const InputEvent &e)
{
    KernelValues &k = q->held[e.device];
    if (e.type == EV_SYN) {
        bool any = q->open[e.device];
        q->open[e.device] = false;
        return any;
    }
    if (e.type == EV_ABS && e.code < ABS_CNT) {
        if (k.abs[e.code] == e.value)
            return false;
        k.abs[e.code] = e.value;
    } else if (e.type == EV_KEY && e.code < KEY_CNT) {
        if (k.keys[e.code] == (e.value != 0))
            return false;
        k.keys[e.code] = e.value != 0;
    }
    q->open[e.device] = true;
    return true;
}

int UiDevPut(const int fd[DEVICE_COUNT], UiDevQueue *q, const InputEvents &e)
{
    if (q->count + e.count > q->ev.size()) {
        int err = UiDevFlush(fd, q);
        if (err)
            return err;
    }
    for (size_t i = 0; i < e.count; i++)
        if (e.ev[i].device < DEVICE_COUNT && changes(q, e.ev[i]))
            q->ev[q->count++] = e.ev[i];
    return 0;
}

int UiDevFlush(const int fd[DEVICE_COUNT], UiDevQueue *q)
{
    size_t n = q->count;
    q->count = 0;
    return send_events(fd, q->ev.data(), n);
}
