// Messages of the tools, the monotonic clock, checked numbers, and the exit statuses.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

constexpr size_t IO_CHUNK = 4096;  // one read or write of the FIFOs

// The program name that starts every message ("quilmoctl: ..."); set once by main.
extern const char *clientName;

// One line on standard error; returns status, for the caller to return in turn.
int Complain(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

long long NowMs();
void SleepMs(int ms);
int MsUntil(long long deadline);  // 0 once it has passed

// A whole word of decimal digits, a leading '-' allowed, within lo..hi.
bool ParseNumber(const char *s, long lo, long hi, long *out);
void HexText(const unsigned char *p, size_t n, char *out, size_t size);  // "0A FF ..."
void Printable(const char *in, size_t n, char *out, size_t size);       // unprintable -> '?'
// A name as it may reach a terminal: printable ASCII as it is, a backslash as \\, every other
// byte (control characters, escape sequences, bytes above 0x7E) as \xHH.
std::string Escaped(std::string_view name);
void CloseFd(int *fd);
