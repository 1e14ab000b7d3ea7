// round(x, n) of a float, computed the way the float's own __round__ does
// it, without its decimal string round trip.
//
// float.__round__(n) rounds the exact binary value of x to n decimal places,
// half to even (a correctly rounded decimal conversion), and returns the
// double nearest that decimal number.  For |x| < 2**32 and n of 2 or 4 that
// is: x = m * 2**-s exactly (m below 2**53), P = m * 10**n (below 2**67,
// kept as two 64-bit words), k = P / 2**s rounded half to even by the bits
// shifted out, and the result k / 10**n, a correctly rounded division of two
// exact doubles, with the sign of x (so -0.001 gives -0.0).
#pragma once

#include <cmath>
#include <cstdint>

namespace patch_eus {

// Sets `out` and returns true when x is in the covered range; n is 2 or 4.
inline bool round_decimal(double x, int n, double& out) {
    const double magnitude = std::fabs(x);
    if (!(magnitude < 4294967296.0)) return false;  // NaN, infinities, large
    if (magnitude == 0.0) {
        out = x;
        return true;
    }
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);  // [0.5, 1)
    const uint64_t m = static_cast<uint64_t>(std::ldexp(fraction, 53));
    const int s = 53 - exponent;  // at least 21 here
    const uint64_t scale = n == 2 ? 100 : 10000;

    // P = m * scale as hi:lo, below 2**67.
    const uint64_t low_part = (m & 0xffffffffULL) * scale;  // below 2**46
    const uint64_t high_part = (m >> 32) * scale;           // below 2**35
    const uint64_t lo = low_part + (high_part << 32);
    const uint64_t hi = (high_part >> 32) + (lo < low_part ? 1 : 0);

    // From s = 68 on, P / 2**s is below one half: k is 0.  Below that the
    // bits shifted out start at 0 and end at s - 1, which is 20 to 66.
    uint64_t k = 0;
    if (s < 68) {
        k = s >= 64 ? hi >> (s - 64) : (lo >> s) | (hi << (64 - s));
        const int half = s - 1;  // the first bit shifted out
        const bool half_set = half >= 64 ? (hi >> (half - 64)) & 1 : (lo >> half) & 1;
        // Whether any of the bits below it is set.
        const bool below = half >= 64 ? lo != 0 || (hi & ((1ULL << (half - 64)) - 1)) != 0
                                      : (lo & ((1ULL << half) - 1)) != 0;
        if (half_set && (below || (k & 1))) ++k;
    }
    const double rounded = static_cast<double>(k) / static_cast<double>(scale);
    out = x < 0 ? -rounded : rounded;
    return true;
}

}  // namespace patch_eus
