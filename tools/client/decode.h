// share --decode: a port's byte stream cut as the daemon cuts it, one controller packet a line
// beside its meaning, command replies and the bytes that form neither on lines of their own.
#pragma once
#include <array>
#include <cstddef>
#include <cstdio>

#include "quilmo.h"

constexpr size_t DECODE_HOLD = 64;  // bytes no packet took, held until they are told apart

struct Decoder {
    TouchPanel panel{};  // the daemon's cutter works on a panel's input buffer
    std::array<unsigned char, DECODE_HOLD> rest{};  // bytes the cutter passed over
    size_t restLen = 0;
    FILE *out = stdout;
};

// Takes n bytes of the stream and prints every line they complete.
void DecodeFeed(Decoder *d, const unsigned char *p, size_t n);
// The stream has ended: prints what is still held, as bytes that form no packet.
void DecodeFlush(Decoder *d);
