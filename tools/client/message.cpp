// Messages of the tools (one line on standard error), the monotonic clock, and checked numbers.
#include "message.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

const char *clientName = "quilmoctl";

int Complain(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", clientName);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return status;
}

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

int MsUntil(long long deadline)
{
    long long left = deadline - NowMs();
    return left < 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool ParseNumber(const char *s, long lo, long hi, long *out)
{
    const char *digits = *s == '-' ? s + 1 : s;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    char *end;
    long v = strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

void HexText(const unsigned char *p, size_t n, char *out, size_t size)
{
    size_t at = 0;
    out[0] = '\0';
    for (size_t i = 0; i < n && at + 4 <= size; ++i)
        at += static_cast<size_t>(snprintf(out + at, size - at, i ? " %02X" : "%02X", p[i]));
}

void Printable(const char *in, size_t n, char *out, size_t size)
{
    size_t i = 0;
    for (; i < n && i + 1 < size; ++i)
        out[i] = isprint(static_cast<unsigned char>(in[i])) ? in[i] : '?';
    out[i] = '\0';
}

std::string Escaped(std::string_view name)
{
    std::string out;
    for (unsigned char c : name) {
        char hex[5];
        if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

void CloseFd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}
