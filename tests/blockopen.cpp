// LD_PRELOAD shim for the tests: an open of the path in $QUILMOD_BLOCK_OPEN without O_NONBLOCK
// never returns, as the open of a serial line waiting for carrier (CLOCAL cleared) does not.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);

void block_if_chosen(const char *path, int flags)
{
    const char *chosen = getenv("QUILMOD_BLOCK_OPEN");
    if (!chosen || !*chosen || !path || strcmp(path, chosen) != 0 || (flags & O_NONBLOCK))
        return;
    for (;;)
        pause();  // a signal ends pause, never the wait for a carrier that does not come
}

mode_t mode_of(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

// On 64-bit glibc open64 is open under another name, which nothing here calls.
extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    block_if_chosen(path, flags);
    static auto real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    return real(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_of(flags, ap);
    va_end(ap);
    block_if_chosen(path, flags);
    static auto real = reinterpret_cast<OpenAtFn>(dlsym(RTLD_NEXT, "openat"));
    return real(dir, path, flags, mode);
}

}  // extern "C"
