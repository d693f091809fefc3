// The sandbox root: every fixed path the daemon and the tools name goes through RootPath.
#pragma once
#include <cstddef>

constexpr size_t QLM_PATH = 4096;
// Writes path under $QUILMOD_ROOT (or path itself) into out.
// 0 = done, 1 = did not fit (out is then the empty string, so opens fail).
int RootPath(char *out, size_t size, const char *path);
// /proc/PID/ENTRY (PID 0: /proc/self/ENTRY), never beneath the sandbox root. 0 = done, 1 = did not fit.
int ProcPath(char *out, size_t size, int pid, const char *entry);
