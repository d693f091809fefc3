// Exact integer model of the x87 extended format: every result is rounded from a 128-bit integer.
#include "xprec.h"

#include <bit>
#include <cmath>
#include <limits>

__extension__ typedef unsigned __int128 u128;

constexpr int kHalfBits = 64;           // one half of a u128
constexpr int kAlignShift = 62;         // addends sit at bit 126, so a sum still fits in 128 bits
constexpr int kWideBits = 128;
constexpr int kQuotientBits = 67;       // quotient bits before rounding: at least 3 below the 64 kept
constexpr int kDoubleSigBits = 53;      // significand width of an IEEE double
constexpr uint64_t kTopBit = uint64_t{1} << (XP_SIG_BITS - 1);

static int bit_length(u128 v)
{
    const uint64_t hi = static_cast<uint64_t>(v >> kHalfBits);
    if (hi != 0)
        return kWideBits - std::countl_zero(hi);
    return kHalfBits - std::countl_zero(static_cast<uint64_t>(v));
}

static uint64_t magnitude(int64_t v)
{
    return v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// Rounds (-1)^neg * mag * 2^exp to the 64-bit significand, nearest, ties to even.
// A caller that dropped non-zero bits below mag ORs 1 into its last bit ("jamming"); it
// must then leave at least two bits below the kept 64, so the jam cannot fake a tie.
static XPrec round_wide(bool neg, u128 mag, int exp)
{
    if (mag == 0)
        return {0, 0, neg};
    const int bits = bit_length(mag);
    if (bits <= XP_SIG_BITS) {
        const int up = XP_SIG_BITS - bits;
        return {static_cast<uint64_t>(mag) << up, exp - up, neg};
    }
    const int drop = bits - XP_SIG_BITS;
    uint64_t sig = static_cast<uint64_t>(mag >> drop);
    const u128 rest = mag & ((u128{1} << drop) - 1);
    const u128 half = u128{1} << (drop - 1);
    int shift = drop;
    if (rest > half || (rest == half && (sig & 1) != 0)) {
        ++sig;
        if (sig == 0) {  // carried out of the top: 2^64 is 2^63 one binade up
            sig = kTopBit;
            ++shift;
        }
    }
    return {sig, exp + shift, neg};
}

XPrec xp_from_int(int64_t v)
{
    if (v == 0)
        return {0, 0, false};
    const uint64_t mag = magnitude(v);
    const int lz = std::countl_zero(mag);
    return {mag << lz, -lz, v < 0};
}

XPrec xp_from_double(double d)
{
    if (d == 0)
        return {0, 0, std::signbit(d)};
    int e = 0;
    const double f = std::frexp(std::fabs(d), &e);  // f in [0.5, 1)
    const uint64_t m = static_cast<uint64_t>(std::ldexp(f, kDoubleSigBits));
    const int up = XP_SIG_BITS - kDoubleSigBits;
    return {m << up, e - kDoubleSigBits - up, std::signbit(d)};
}

static bool less_in_magnitude(XPrec a, XPrec b)
{
    return a.exp != b.exp ? a.exp < b.exp : a.sig < b.sig;
}

XPrec xp_add(XPrec a, XPrec b)
{
    if (a.sig == 0 && b.sig == 0)
        return {0, 0, a.neg && b.neg};
    if (a.sig == 0)
        return b;
    if (b.sig == 0)
        return a;
    if (less_in_magnitude(a, b)) {
        const XPrec t = a;
        a = b;
        b = t;
    }
    const u128 big = u128{a.sig} << kAlignShift;
    const int gap = a.exp - b.exp;
    u128 small = 1;  // only the jam survives a shift past every bit
    if (gap < kWideBits) {
        const u128 wide = u128{b.sig} << kAlignShift;
        small = wide >> gap;
        if ((small << gap) != wide)
            small |= 1;
    }
    if (a.neg == b.neg)
        return round_wide(a.neg, big + small, a.exp - kAlignShift);
    if (big == small)
        return {0, 0, false};  // exact cancellation is +0 when rounding to nearest
    return round_wide(a.neg, big - small, a.exp - kAlignShift);
}

XPrec xp_mul(XPrec a, XPrec b)
{
    const bool neg = a.neg != b.neg;
    if (a.sig == 0 || b.sig == 0)
        return {0, 0, neg};
    return round_wide(neg, u128{a.sig} * b.sig, a.exp + b.exp);
}

XPrec xp_quotient(int32_t b, int32_t c)
{
    const bool neg = (b < 0) != (c < 0);
    if (b == 0)
        return {0, 0, neg};
    const uint64_t num = magnitude(b);
    const uint64_t den = magnitude(c);
    // Scale so the integer quotient has kQuotientBits or one more; the remainder is jammed.
    const int k = kQuotientBits + bit_length(den) - bit_length(num);
    const u128 wide = u128{num} << k;
    const u128 q = wide / den;
    const bool inexact = wide % den != 0;
    return round_wide(neg, q | u128{inexact}, -k);
}

int xp_trunc_int32(XPrec v, int32_t *out)
{
    constexpr uint64_t kMaxUp = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    constexpr uint64_t kMaxDown = kMaxUp + 1;
    if (v.sig == 0 || v.exp <= -XP_SIG_BITS) {
        *out = 0;
        return 1;
    }
    if (v.exp >= 0)
        return 0;  // at least 2^63
    const uint64_t mag = v.sig >> -v.exp;
    if (mag > (v.neg ? kMaxDown : kMaxUp))
        return 0;
    *out = static_cast<int32_t>(v.neg ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag));
    return 1;
}
