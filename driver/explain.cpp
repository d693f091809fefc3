// Plain lines beside the fixed messages: which path failed and the system's reason, so a log
// names what a technician has to look at.
#include <cstring>

#include "quilmod.h"

constexpr char DEVICE_DIR[] = "/dev/";

void SayWhy(const char *path, int err)
{
    printf("quilmod: %s: %s\n", path, strerror(err));
}

// A Port value that does not start with /dev/ is almost always a device written without it.
void SayPortWhy(const char *device, int err)
{
    if (strncmp(device, DEVICE_DIR, sizeof DEVICE_DIR - 1) == 0) {
        SayWhy(device, err);
        return;
    }
    const char *base = strrchr(device, '/');
    printf("quilmod: %s: %s (a Port value is a full path such as %s%s)\n", device, strerror(err), DEVICE_DIR,
           base ? base + 1 : device);
}
