// The sandbox root: every fixed absolute path of the daemon is taken beneath $QUILMOD_ROOT.
#include <cstdlib>
#include <cstring>

#include "quilmod.h"

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
