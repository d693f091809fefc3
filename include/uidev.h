// The kernel's uinput interface, spoken directly (ioctls and writes on /dev/uinput): a
// description becomes a device, translated events reach it, and it goes again.
#pragma once
#include <array>
#include <bitset>
#include <cstddef>
#include <linux/input-event-codes.h>

#include "devdesc.h"
#include "evtranslate.h"

constexpr char UINPUT_NODE[] = "/dev/uinput";

// The calls that reach the kernel; pointers so that tests record them instead.
extern int (*UiDevIoctl)(int fd, unsigned long request, void *arg);
extern long (*UiDevWrite)(int fd, const void *buf, size_t len);

// Opens /dev/uinput (under the sandbox root). The descriptor, or -1 (errno says why).
int UiDevOpen();
// Describes and creates the device on fd, an open /dev/uinput. 0 = made; else errno, and
// *failed names the call that refused.
int UiDevCreate(int fd, const DeviceDesc &d, const char **failed);
// Destroys the device and closes fd; -1 is left in *fd.
void UiDevDestroy(int *fd);

// What the kernel holds for each of a panel's devices. It passes on only a value that changes,
// and a report left with nothing is not passed on at all: an event it would drop is not written.
struct KernelValues {
    std::array<int, ABS_CNT> abs{};
    std::bitset<KEY_CNT> keys;
};

// A panel's events on their way to its devices (fd[DEVICE_MAIN], fd[DEVICE_COMPANION]), in order:
// written together, each run of one device's events in one write, when the frames of a read are
// done (or the queue is full).
constexpr size_t QUEUE_EVENTS = 256;
struct UiDevQueue {
    std::array<InputEvent, QUEUE_EVENTS> ev{};
    size_t count = 0;
    KernelValues held[DEVICE_COUNT];
    bool open[DEVICE_COUNT] = {};  // a report of that device kept since its last SYN_REPORT
};
// A queue for devices just made: multitouch says which have slots (their contact starts unused).
void UiDevQueueInit(UiDevQueue *q, const bool multitouch[DEVICE_COUNT]);
// Adds e's events but those the kernel would drop; writes the queue first when they do not fit.
// 0 = queued; else errno (the queue is emptied).
int UiDevPut(const int fd[DEVICE_COUNT], UiDevQueue *q, const InputEvents &e);
// Writes what is queued and empties the queue. 0 = written or nothing to write; else errno.
int UiDevFlush(const int fd[DEVICE_COUNT], UiDevQueue *q);
