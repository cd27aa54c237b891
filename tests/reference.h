// Reference conversions the tests and the fuzzer check the library's results against, written
// with the C library's own rounding functions rather than the library's x87/SSE code.
#pragma once
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <stdint.h>

// The integer a double rounds to in the given mode, its low 32 bits; -777 without one.
inline int32_t Rounded(double x, int mode)
{
    if (!(std::fabs(x) < 0x1p63) && x != -0x1p63) // -2^63 is the least 64-bit integer
        return -777;
    const double r = mode == FE_DOWNWARD     ? std::floor(x)
                     : mode == FE_UPWARD     ? std::ceil(x)
                     : mode == FE_TOWARDZERO ? std::trunc(x)
                                             : std::nearbyint(x); // halves to even
    return int32_t(uint32_t(uint64_t(int64_t(r))));
}

// The single a double becomes in the given mode; -777 beyond single range and for NaN.
inline float Single(double x, int mode)
{
    if (std::isnan(x) || std::fabs(x) > double(FLT_MAX))
        return -777.0f;
    fesetround(mode);
    volatile float f = float(x);
    fesetround(FE_TONEAREST);
    return f;
}
