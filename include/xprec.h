// Exact integer model of the x87 extended format: 64-bit significand, round to nearest, ties to even.
#pragma once
#include <cstdint>

// Value = (-1)^neg * sig * 2^exp. Zero has sig 0; any other value has the top bit of sig set.
// The exponent is unbounded here: the correction's values never come near the format's limits.
struct XPrec {
    uint64_t sig;
    int exp;
    bool neg;
};

constexpr int XP_SIG_BITS = 64;  // significand width of the extended format

XPrec xp_from_int(int64_t v);           // exact
XPrec xp_from_double(double d);         // exact; d must be finite
XPrec xp_add(XPrec a, XPrec b);         // a + b, rounded
XPrec xp_mul(XPrec a, XPrec b);         // a * b, rounded
XPrec xp_quotient(int32_t b, int32_t c);  // b / c, rounded; c must not be 0

// Truncates toward zero. 1 = *out holds the value, 0 = it lies outside the int32 range.
int xp_trunc_int32(XPrec v, int32_t *out);
