// The sandbox root and the package layout: every fixed path the daemon and the tools name goes
// through RootPath.
#pragma once
#include <cstddef>

constexpr size_t QLM_PATH = 4096;

// Where the files of the fixed directory /usr/local/Qelvanto/ live. Plain: there, as documented.
// Debian: a package may not place files under /usr/local, so the right-click tool and the images
// are shipped in /usr/share/quilmod/ and the calibration files, which the daemon and quilmocal
// write, are kept in /var/lib/quilmod/.
enum class Layout { Plain, Debian };
#ifdef QUILMOD_LAYOUT_DEBIAN
constexpr Layout BUILD_LAYOUT = Layout::Debian;
#else
constexpr Layout BUILD_LAYOUT = Layout::Plain;
#endif

// Writes path as the layout places it into out (no sandbox root): for messages.
// 0 = done, 1 = did not fit (out is then the empty string).
int LayoutPath(char *out, size_t size, const char *path, Layout layout = BUILD_LAYOUT);
// Writes path, placed by the build's layout, under $QUILMOD_ROOT (or as is) into out.
// 0 = done, 1 = did not fit (out is then the empty string, so opens fail).
int RootPath(char *out, size_t size, const char *path);
// /proc/PID/ENTRY (PID 0: /proc/self/ENTRY), never beneath the sandbox root. 0 = done, 1 = did not fit.
int ProcPath(char *out, size_t size, int pid, const char *entry);
