// Shared helpers of the fuzz targets: structured values from the fuzzer's bytes, a private
// sandbox root, non-blocking pipes, and the report of a broken oracle.
#pragma once
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quilmod.h"

// The fuzzer's bytes, read front to back; past the end every value is 0.
struct FuzzInput {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

inline uint8_t TakeByte(FuzzInput &in)
{
    return in.pos < in.size ? in.data[in.pos++] : 0;
}

// A little-endian 32-bit value of four bytes.
inline int TakeInt(FuzzInput &in)
{
    uint32_t v = 0;
    for (int k = 0; k < 4; k++)
        v |= uint32_t{TakeByte(in)} << (8 * k);
    return (int)v;
}

inline std::vector<uint8_t> TakeRest(FuzzInput &in)
{
    std::vector<uint8_t> rest(in.data + (in.pos < in.size ? in.pos : in.size), in.data + in.size);
    in.pos = in.size;
    return rest;
}

// Read sizes from 1 to 128 bytes, cycled; none means one size that takes everything at once.
struct Splits {
    std::vector<size_t> sizes;
    size_t next;
};

inline Splits TakeSplits(FuzzInput &in)
{
    Splits s{{}, 0};
    int count = TakeByte(in) % 32;
    for (int k = 0; k < count; k++)
        s.sizes.push_back(TakeByte(in) % 128 + 1);
    return s;
}

inline size_t NextSplit(Splits &s, size_t left)
{
    if (s.sizes.empty())
        return left;
    size_t n = s.sizes[s.next++ % s.sizes.size()];
    return n < left ? n : left;
}

// An oracle that does not hold: the message, then abort, so the fuzzer keeps the input.
[[noreturn]] inline void FuzzFail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("oracle: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    fflush(stdout);
    abort();
}

// The daemon's messages would drown the fuzzer's own, and slow it down; QUILMOD_FUZZ_VERBOSE
// keeps them, to follow one input.
inline void QuietStdout()
{
    if (getenv("QUILMOD_FUZZ_VERBOSE"))
        return;
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

inline std::string &FuzzRoot()
{
    static std::string root;
    return root;
}

inline int remove_fuzz_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

inline void remove_fuzz_root()
{
    if (!FuzzRoot().empty())
        nftw(FuzzRoot().c_str(), remove_fuzz_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// A private QUILMOD_ROOT with the directories the daemon expects, removed at exit. In memory
// where the machine offers it: the calibration target writes files on every run.
inline void PrivateRoot()
{
    char tmpl[64];
    snprintf(tmpl, sizeof tmpl, "%s/qlmfuzz.XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    if (!mkdtemp(tmpl))
        FuzzFail("mkdtemp: %s", strerror(errno));
    FuzzRoot() = tmpl;
    setenv("QUILMOD_ROOT", tmpl, 1);
    for (const char *d : {"/etc", "/dev", "/tmp", "/var", "/var/run", "/usr", "/usr/local", "/usr/local/Qelvanto"})
        if (mkdir((FuzzRoot() + d).c_str(), 0755) != 0)
            FuzzFail("mkdir %s: %s", d, strerror(errno));
    atexit(remove_fuzz_root);
}

inline void NonblockingPipe(int fds[2])
{
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        FuzzFail("pipe: %s", strerror(errno));
}

// Everything fd holds now, appended to out.
inline void DrainInto(int fd, std::vector<uint8_t> &out)
{
    uint8_t buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.insert(out.end(), buf, buf + n);
}

// strtol's reading, saturated to int: the number atoi gives wherever it is defined.
// 0 = no digits.
inline int ScanLong(const char *s, int *out)
{
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (end == s)
        return 0;
    *out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
    return 1;
}

// Frames go to pipes only we read (their read ends in readers); the cursor and the beep stay
// out of the way.
inline void OpenFrameOutputs(int readers[2])
{
    int fds[2];
    for (int k = 0; k < 2; k++) {
        NonblockingPipe(fds);
        readers[k] = fds[0];
        fdOuts[k] = fds[1];
    }
    TouchSetting.cursorMode = 2;  // neither None nor Display: xsetroot is never run
    TouchSetting.soundMode = 0;
}
