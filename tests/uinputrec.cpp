// A stand-in for the kernel's uinput under the real daemon (LD_PRELOAD): on descriptors of a file
// named .../dev/uinput, ioctls succeed and writes are taken, and both are logged as text lines
// to $UINPUTREC_LOG. Every other descriptor goes to the C library as usual.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "evnames.h"

namespace {

constexpr int MAX_FD = 1024;
char tag[MAX_FD];  // 'm' the panel's device, 'c' its companion, by the name it was given

bool is_uinput(int fd)
{
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 11 || fd < 0 || fd >= MAX_FD)
        return false;
    target[n] = '\0';
    return strcmp(target + n - 11, "/dev/uinput") == 0;
}

void log_line(const std::string &line)
{
    const char *path = getenv("UINPUTREC_LOG");
    if (!path)
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    std::string l = line + "\n";
    syscall(SYS_write, fd, l.data(), l.size());  // not through our own write()
    close(fd);
}

void log_ioctl(int fd, unsigned long request, void *arg)
{
    char t[2] = {tag[fd] ? tag[fd] : '?', '\0'};
    if (request == UI_DEV_SETUP) {
        auto *s = static_cast<uinput_setup *>(arg);
        tag[fd] = strstr(s->name, "(right button)") ? 'c' : 'm';
        char id[16];
        snprintf(id, sizeof id, "%04x:%04x", s->id.vendor, s->id.product);
        log_line(std::string("SETUP ") + s->name + " " + id);
    } else if (request == UI_SET_PHYS) {
        log_line(std::string("PHYS ") + static_cast<const char *>(arg));
    } else if (request == UI_DEV_CREATE) {
        log_line(std::string("CREATE ") + t);
    } else if (request == UI_DEV_DESTROY) {
        log_line(std::string("DESTROY ") + t);
    }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (is_uinput(fd)) {
        log_ioctl(fd, request, arg);
        return 0;
    }
    static auto real = reinterpret_cast<int (*)(int, unsigned long, void *)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

extern "C" ssize_t write(int fd, const void *buf, size_t len)
{
    if (is_uinput(fd)) {
        const auto *e = static_cast<const input_event *>(buf);
        std::string line;
        for (size_t i = 0; i < len / sizeof *e; i++)
            line += (line.empty() ? "" : " ") + std::string(1, tag[fd]) + ":" + EventWord(e[i].type, e[i].code, e[i].value);
        log_line(line);
        return (ssize_t)len;
    }
    return syscall(SYS_write, fd, buf, len);
}
