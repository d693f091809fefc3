// The sandbox root: every fixed absolute path of the daemon and the tools is taken beneath
// $QUILMOD_ROOT. The kernel's /proc is the one tree that stays where it is.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rootpath.h"

int RootPath(char *out, size_t size, const char *path)
{
    const char *root = getenv("QUILMOD_ROOT");
    if (!root)
        root = "";
    int n = snprintf(out, size, "%s%s", root, path);
    if (n < 0 || (size_t)n >= size) {
        if (size)
            out[0] = '\0';
        return 1;
    }
    return 0;
}

int ProcPath(char *out, size_t size, int pid, const char *entry)
{
    int n = pid > 0 ? snprintf(out, size, "/proc/%d/%s", pid, entry) : snprintf(out, size, "/proc/self/%s", entry);
    if (n < 0 || (size_t)n >= size) {
        if (size)
            out[0] = '\0';
        return 1;
    }
    return 0;
}
