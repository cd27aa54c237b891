// Decimal text to double with integer arithmetic only.
//
// The text is read into a decimal mantissa M (up to 19 significant digits, so it fits in 64
// bits) and a decimal exponent E, value = M * 10^E. The double is then built from an exact
// integer image of that value: for E >= 0 the integer M * 10^E itself, for E < 0 the integer
// part of M * 2^s / 10^-E with s chosen so it has at least 54 bits, plus a flag telling whether
// the division left a remainder. Rounding to 53 bits half to even then only looks at bits.
// Typical fields (an integer, or up to three decimals) need nothing beyond 64-bit integers;
// other exponents go through a small fixed-size bignum.
// No floating-point instruction is used, so the host's x87 precision and rounding settings
// cannot change the result.
#include "meter/number.h"

#include <string.h>

namespace {

// A value M * 10^E with E > MaxExp is at least 10^309 and overflows whatever M (>= 1) is; one
// with E < MinExp is below 10^19 * 10^-344 < 2^-1075, half the smallest subnormal, so it is 0.
constexpr int MaxExp = 308;
constexpr int MinExp = -343;

// Largest bignum needed: M * 10^308 < 2^1088 (34 limbs), and for E < 0 the dividend
// M * 2^s < 2^(64 + 1140) (38 limbs, 39 while shifting).
constexpr int Limbs = 40;

struct Big {
    uint32_t limb[Limbs];  // least significant first; only limb[0..len) is meaningful
    int len;
};

void SetU64(Big& b, uint64_t v) {
    b.limb[0] = static_cast<uint32_t>(v);
    b.limb[1] = static_cast<uint32_t>(v >> 32);
    b.len = b.limb[1] ? 2 : 1;
}

void MulSmall(Big& b, uint32_t m) {
    uint64_t carry = 0;
    for (int i = 0; i < b.len; ++i) {
        uint64_t t = static_cast<uint64_t>(b.limb[i]) * m + carry;
        b.limb[i] = static_cast<uint32_t>(t);
        carry = t >> 32;
    }
    if (carry) b.limb[b.len++] = static_cast<uint32_t>(carry);
}

void ShiftLeft(Big& b, int s) {
    const int words = s / 32, bits = s % 32;
    b.limb[b.len] = 0;  // room for the bits shifted out of the top limb
    if (bits) {
        for (int i = b.len; i > 0; --i)
            b.limb[i] = (b.limb[i] << bits) | (b.limb[i - 1] >> (32 - bits));
        b.limb[0] <<= bits;
    }
    int len = b.len + 1;
    if (words) {
        for (int i = len - 1; i >= 0; --i) b.limb[i + words] = b.limb[i];
        for (int i = 0; i < words; ++i) b.limb[i] = 0;
        len += words;
    }
    while (len > 1 && b.limb[len - 1] == 0) --len;
    b.len = len;
}

// b = floor(b / d); returns whether the remainder is nonzero.
bool DivSmall(Big& b, uint32_t d) {
    uint64_t rem = 0;
    for (int i = b.len - 1; i >= 0; --i) {
        uint64_t cur = (rem << 32) | b.limb[i];
        b.limb[i] = static_cast<uint32_t>(cur / d);
        rem = cur % d;
    }
    while (b.len > 1 && b.limb[b.len - 1] == 0) --b.len;
    return rem != 0;
}

int BitLength(const Big& b) {
    const uint32_t top = b.limb[b.len - 1];
    return top ? 32 * b.len - __builtin_clz(top) : 32 * (b.len - 1);
}

// Bits pos .. pos+63 of b (bits beyond the top read as 0). pos >= 0.
uint64_t BitsAt(const Big& b, int pos) {
    const int w = pos / 32, s = pos % 32;
    uint64_t limbs[3];
    for (int i = 0; i < 3; ++i) limbs[i] = w + i < b.len ? b.limb[w + i] : 0;
    uint64_t v = (limbs[0] | limbs[1] << 32) >> s;
    if (s) v |= limbs[2] << (64 - s);
    return v;
}

// Whether any of bits 0 .. pos-1 of b is set.
bool AnyBitBelow(const Big& b, int pos) {
    const int w = pos / 32, s = pos % 32;
    for (int i = 0; i < w && i < b.len; ++i)
        if (b.limb[i]) return true;
    return s && w < b.len && (b.limb[w] << (32 - s)) != 0;
}

// Rounds q * 2^exp2 (plus a positive amount below one unit of q when `inexact`) to the
// nearest double, ties to even, and stores its bits. q must not be 0. Returns false if the
// result is infinite.
bool RoundToDouble(uint64_t q, int exp2, bool inexact, uint64_t* bits) {
    const int top = 63 - __builtin_clzll(q) + exp2;  // binary exponent of the leading bit
    // Weight of the last kept bit: 53 significant bits, but never below the subnormal unit.
    const int lsb = top - 52 > -1074 ? top - 52 : -1074;
    const int shift = lsb - exp2;  // low bits of q that fall below the last kept bit
    uint64_t mant;
    if (shift <= 0) {
        mant = q << -shift;  // q has at most 53 bits and is exact (`inexact` comes with 54+)
    } else if (shift > 64) {
        mant = 0;  // below half the smallest subnormal
    } else {
        mant = shift == 64 ? 0 : q >> shift;
        const bool half = (q >> (shift - 1)) & 1;
        const bool below = shift > 1 && (q << (65 - shift)) != 0;  // bits under the half bit
        const bool sticky = inexact || below;
        if (half && (sticky || (mant & 1))) ++mant;
    }
    // mant is below 2^53 (2^53 after a carry). With its leading 2^52 bit landing on the
    // exponent field, this sum encodes normals, subnormals (lsb = -1074, mant < 2^52) and a
    // carry into the next binade alike.
    const uint64_t r = (static_cast<uint64_t>(lsb + 1074) << 52) + mant;
    if (r >= 0x7FF0000000000000u) return false;
    *bits = r;
    return true;
}

// The same for a bignum: its top 64 bits decide, everything below only as a sticky bit.
bool RoundToDouble(const Big& n, int exp2, bool inexact, uint64_t* bits) {
    const int low = BitLength(n) - 64;
    if (low <= 0) return RoundToDouble(BitsAt(n, 0), exp2, inexact, bits);
    return RoundToDouble(BitsAt(n, low), exp2 + low, inexact || AnyBitBelow(n, low), bits);
}

// Bits of the double nearest to m * 10^e (positive part; the caller adds the sign).
bool DecimalToBits(uint64_t m, int64_t e, uint64_t* bits) {
    if (m == 0 || e < MinExp) {
        *bits = 0;
        return true;
    }
    if (e > MaxExp) return false;
    static const uint32_t Pow10[10] = {1,      10,      100,      1000,      10000,
                                       100000, 1000000, 10000000, 100000000, 1000000000};
    // Fast paths for the usual meter fields. An integer times a small power of ten that fits
    // in 64 bits is exact.
    if (e >= 0 && e <= 9 && m < (uint64_t{1} << 32))
        return RoundToDouble(m * Pow10[e], 0, false, bits);
    // Up to three decimals: m moved to the top of 64 bits, divided by at most 1000 < 2^10,
    // still leaves a quotient of at least 2^53, the 53 bits and the rounding bit.
    if (e < 0 && e >= -3) {
        const int s = __builtin_clzll(m);
        const uint64_t num = m << s, d = Pow10[-e];
        return RoundToDouble(num / d, -s, num % d != 0, bits);
    }

    Big n;
    SetU64(n, m);
    if (e >= 0) {
        int k = static_cast<int>(e);
        for (; k >= 9; k -= 9) MulSmall(n, Pow10[9]);
        if (k) MulSmall(n, Pow10[k]);
        return RoundToDouble(n, 0, false, bits);
    }
    // 10^k < 2^c with c = floor(k * 3402 / 1024) + 1, since log2(10) < 3402 / 1024. Shifting M
    // to 64 + c bits leaves a quotient of at least 2^63: the 53 bits, the rounding bit and
    // more, so the remainder only acts as a sticky bit.
    int k = static_cast<int>(-e);
    const int c = (k * 3402 >> 10) + 1;
    const int s = 64 + c - BitLength(n);
    ShiftLeft(n, s);
    bool inexact = false;
    for (; k >= 9; k -= 9) inexact |= DivSmall(n, Pow10[9]);
    if (k) inexact |= DivSmall(n, Pow10[k]);
    return RoundToDouble(n, -s, inexact, bits);
}

bool IsDigit(char c) { return static_cast<unsigned char>(c - '0') <= 9; }

}  // namespace

bool ParseNumberBits(const char* text, unsigned width, uint64_t* bits) {
    unsigned n = 0;  // the text ends at `width` characters or at a NUL
    while (n < width && text[n]) ++n;

    unsigned i = 0;
    while (i < n && text[i] == ' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == n) return false;  // empty, spaces only, or a lone sign

    // Mantissa: at most 19 significant digits are kept in m; further digits only scale the
    // exponent. A nonzero digit past that would need a larger bignum to round exactly, and no
    // meter field comes near it, so such text is refused rather than rounded inexactly.
    const uint64_t MantissaFull = 1000000000000000000u;  // 10^18: one more digit still fits
    uint64_t m = 0;
    int64_t e = 0;  // decimal exponent of the last digit kept in m
    bool point = false;
    for (; i < n; ++i) {
        const char ch = text[i];
        if (ch == '.' && !point) {
            point = true;
            continue;
        }
        if (!IsDigit(ch)) break;
        const unsigned d = static_cast<unsigned>(ch - '0');
        if (m < MantissaFull) {
            m = m * 10 + d;
            if (point) --e;
        } else {
            if (d) return false;
            if (!point) ++e;
        }
    }

    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
        if (i == n || !IsDigit(text[i])) return false;  // the exponent needs a digit
        // Saturate far beyond any exponent that could still be brought back into range by the
        // at most 2^32 digits of the mantissa; the result is then 0 or an overflow either way.
        int64_t x = 0;
        for (; i < n && IsDigit(text[i]); ++i)
            if (x < (int64_t{1} << 34)) x = x * 10 + (text[i] - '0');
        e += expNegative ? -x : x;
    }
    if (i != n) return false;  // anything after the number, a trailing space included

    uint64_t magnitude;
    if (!DecimalToBits(m, e, &magnitude)) return false;
    *bits = magnitude | (static_cast<uint64_t>(negative) << 63);
    return true;
}

double ParseNumber(const char* text, unsigned width) {
    uint64_t bits;
    if (!ParseNumberBits(text, width, &bits)) return NoValue;
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}
