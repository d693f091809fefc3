// The sandbox root and the package layout: every fixed absolute path of the daemon and the tools
// is placed by the build's layout and taken beneath $QUILMOD_ROOT. The kernel's /proc is the one
// tree that stays where it is.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "rootpath.h"

namespace {

struct Move {
    std::string_view from;  // a directory, without its closing "/"
    std::string_view to;
};

// The first directory that holds the path decides; the more specific ones come first.
constexpr Move DEBIAN_MOVES[] = {
    {"/usr/local/Qelvanto/image", "/usr/share/quilmod/image"},
    {"/usr/local/Qelvanto/diag", "/usr/share/quilmod/diag"},
    {"/usr/local/Qelvanto", "/var/lib/quilmod"},
};

// 0 = done; 1 = did not fit, out emptied.
int join(char *out, size_t size, const char *root, std::string_view head, const char *tail)
{
    int n = snprintf(out, size, "%s%.*s%s", root, static_cast<int>(head.size()), head.data(), tail);
    if (n < 0 || (size_t)n >= size) {
        if (size)
            out[0] = '\0';
        return 1;
    }
    return 0;
}

// Writes root + path as the layout places it.
int place(char *out, size_t size, const char *root, const char *path, Layout layout)
{
    if (layout == Layout::Debian) {
        std::string_view p(path);
        for (const Move &m : DEBIAN_MOVES) {
            if (p.starts_with(m.from) && (p.size() == m.from.size() || p[m.from.size()] == '/'))
                return join(out, size, root, m.to, path + m.from.size());
        }
    }
    return join(out, size, root, "", path);
}

}  // namespace

int LayoutPath(char *out, size_t size, const char *path, Layout layout)
{
    return place(out, size, "", path, layout);
}

int RootPath(char *out, size_t size, const char *path)
{
    const char *root = getenv("QUILMOD_ROOT");
    return place(out, size, root ? root : "", path, BUILD_LAYOUT);
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
