// The kernel's uinput interface, spoken directly (ioctls and writes on /dev/uinput): a
// description becomes a device, translated events reach it, and it goes again.
#pragma once
#include <cstddef>

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
// Writes the events of e to their devices (fd[DEVICE_MAIN], fd[DEVICE_COMPANION]) in their
// order, each run of one device's events in one write. 0 = written; else errno.
int UiDevSend(const int fd[DEVICE_COUNT], const InputEvents &e);
