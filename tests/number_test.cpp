#include "meter/number.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cfenv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t BitsOf(double d) {
    uint64_t b;
    memcpy(&b, &d, sizeof b);
    return b;
}

// Expected outcome of one field: parsed or not, and the bits of the double.
struct Outcome {
    bool ok;
    uint64_t bits;
};

// Reference: glibc strtod in the C locale, with the field grammar laid around it. `field` is
// the text exactly as the parser sees it (already cut at width or NUL).
Outcome Reference(const std::string& field) {
    size_t i = field.find_first_not_of(' ');
    if (i == std::string::npos) return {false, 0};
    std::string rest = field.substr(i);
    // Only these characters make up a number; strtod would also take "inf", "nan", hex floats
    // and skip tabs or newlines, none of which a field may hold.
    if (rest.find_first_not_of("0123456789.eE+-") != std::string::npos) return {false, 0};
    auto whole = [](const std::string& s, double* v) {
        errno = 0;
        char* end = nullptr;
        *v = strtod(s.c_str(), &end);
        return end == s.c_str() + s.size();
    };
    double v;
    if (!whole(rest, &v)) {
        // A field with no mantissa digit ("." or only an exponent part) is 0: strtod must accept
        // it once a 0 digit stands where the mantissa begins. A lone sign stays an error.
        const size_t signLen = (rest[0] == '+' || rest[0] == '-') ? 1 : 0;
        if (rest.size() == signLen) return {false, 0};
        const char first = rest[signLen];
        if (first != '.' && first != 'e' && first != 'E') return {false, 0};
        if (!whole(rest.substr(0, signLen) + "0" + rest.substr(signLen), &v)) return {false, 0};
    }
    if (std::isinf(v)) return {false, 0};  // overflow
    return {true, BitsOf(v)};
}

// Collects mismatches of many parses and reports the first few in full.
struct Mismatches {
    long count = 0;
    void Check(const std::string& shown, Outcome want, bool ok, uint64_t bits) {
        if (ok == want.ok && (!ok || bits == want.bits)) return;
        if (++count <= 10)
            ADD_FAILURE() << "\"" << shown << "\": expected "
                          << (want.ok ? "bits 0x" + Hex(want.bits) : std::string("error"))
                          << ", got " << (ok ? "bits 0x" + Hex(bits) : std::string("error"));
    }
    static std::string Hex(uint64_t v) {
        char buf[17];
        for (int i = 15; i >= 0; --i, v >>= 4) buf[i] = "0123456789abcdef"[v & 15];
        buf[16] = 0;
        return buf;
    }
};

// Parses `field` twice against the reference: once cut by `width` with digits right behind it
// (which would change the value if they were read), once ended by a NUL inside a wider width.
void CheckField(const std::string& field, Mismatches& m) {
    const Outcome want = Reference(field);
    char buf[64];
    ASSERT_LT(field.size() + 8, sizeof buf);
    memcpy(buf, field.data(), field.size());
    memset(buf + field.size(), '5', 8);
    uint64_t bits = 0;
    bool ok = ParseNumberBits(buf, static_cast<unsigned>(field.size()), &bits);
    m.Check(field, want, ok, bits);
    buf[field.size()] = '\0';
    bits = 0;
    ok = ParseNumberBits(buf, static_cast<unsigned>(field.size() + 5), &bits);
    m.Check(field + "\\0", want, ok, bits);
}

struct Case {
    const char* text;
    unsigned width;
    bool ok;
    double value;  // compared bit for bit, so -0.0 differs from 0.0
    const char* why;
};

const Case Cases[] = {
    // Typical meter fields.
    {"7.01", 5, true, 7.01, "pH value"},
    {" 7.01", 5, true, 7.01, "leading space"},
    {" -123", 5, true, -123.0, "mV value"},
    {"99999", 5, true, 99999.0, "widest integer"},
    {" 25", 3, true, 25.0, "temperature"},
    {"25.", 3, true, 25.0, "digits then a point and no more digits"},
    {"25.x", 3, true, 25.0, "width 3 stops before the x"},
    // Mantissa forms.
    {"1.", 5, true, 1.0, "trailing point: step 4 allows no digits after it"},
    {".5", 5, true, 0.5, "no digits before the point"},
    {"-.5", 5, true, -0.5, "sign then point"},
    {"00001", 5, true, 1.0, "leading zeros"},
    {"1E2", 5, true, 100.0, "capital E"},
    {"1e009", 5, true, 1e9, "exponent with leading zeros"},
    {"1e+9", 5, true, 1e9, "exponent with plus"},
    {"-0", 5, true, -0.0, "negative zero keeps its sign"},
    {"+0", 5, true, 0.0, "positive zero"},
    {"-0e99", 5, true, -0.0, "zero with a large exponent is still zero, not an overflow"},
    {"0e999", 5, true, 0.0, "zero beyond the double range"},
    // Fields without a mantissa digit are 0, with their sign.
    {".", 5, true, 0.0, "only a point"},
    {"+.", 5, true, 0.0, "sign and point"},
    {"-.", 5, true, -0.0, "minus and point"},
    {"e5", 5, true, 0.0, "only an exponent"},
    {".e5", 5, true, 0.0, "point and exponent"},
    {"-e3", 5, true, -0.0, "minus and exponent"},
    {"E-0", 5, true, 0.0, "exponent with sign"},
    // Errors.
    {"", 5, false, 0, "empty"},
    {"     ", 5, false, 0, "spaces only"},
    {" ", 1, false, 0, "one space"},
    {"+", 5, false, 0, "lone sign"},
    {"  -", 5, false, 0, "spaces and a lone sign"},
    {"7", 0, false, 0, "width 0 is an empty field"},
    {"1e", 5, false, 0, "an exponent needs at least one digit"},
    {"1e+", 5, false, 0, "an exponent sign needs a digit after it"},
    {"1e-", 5, false, 0, "same with minus"},
    {"e", 5, false, 0, "'e' starts an exponent, which then has no digit"},
    {"-E", 5, false, 0, "same after a sign"},
    {".e", 5, false, 0, "point, then an exponent without digit"},
    {"1 ", 5, false, 0, "trailing space"},
    {"1e5 ", 5, false, 0, "trailing space after an exponent"},
    {"--1", 5, false, 0, "only one sign"},
    {"+-1", 5, false, 0, "only one sign"},
    {"- 1", 5, false, 0, "no space after the sign"},
    {"1e5.", 5, false, 0, "no point after the exponent"},
    {"1.2.3", 5, false, 0, "only one point"},
    {"..", 5, false, 0, "only one point"},
    {"1ee5", 5, false, 0, "only one exponent letter"},
    {"1e+-5", 5, false, 0, "only one exponent sign"},
    {"1e5e5", 5, false, 0, "only one exponent"},
    {"\t1", 5, false, 0, "a tab is not skipped"},
    {"1\t", 5, false, 0, "nor accepted at the end"},
    {"7,01", 5, false, 0, "a comma is never a decimal point"},
    {"0x1", 5, false, 0, "no hex"},
    {"inf", 5, false, 0, "no infinity"},
    {"nan", 5, false, 0, "no NaN"},
    {"1e5x", 5, false, 0, "anything after the number"},
    // Width and NUL.
    {"7.0\0x", 5, true, 7.0, "a NUL ends the text"},
    {"\0 123", 5, false, 0, "a NUL at once leaves an empty field"},
    {"-\0" "5", 5, false, 0, "a NUL after a sign leaves a lone sign"},
    {"12345", 3, true, 123.0, "only `width` characters are read"},
    {"1e5", 2, false, 0, "cut to \"1e\""},
    {" 25.x", 3, true, 25.0, "cut to \" 25\""},
    // Range.
    {"1e-99", 5, true, 1e-99, "small"},
    {".1e-9", 5, true, 1e-10, "point and negative exponent"},
    {"-9e99", 5, true, -9e99, "large negative"},
    {"1e308", 5, true, 1e308, "finite"},
    {"2e308", 5, false, 0, "overflow"},
    {"-2e308", 6, false, 0, "negative overflow"},
    {"9e999", 5, false, 0, "far beyond the range"},
    {"5e-324", 6, true, 4.9406564584124654e-324, "smallest subnormal"},
    {"3e-324", 6, true, 4.9406564584124654e-324, "above half the smallest subnormal"},
    {"2e-324", 6, true, 0.0, "below half the smallest subnormal: underflow to 0"},
    {"-1e-400", 7, true, -0.0, "underflow keeps the sign"},
    // Longer text than the meter sends: the parser still rounds correctly.
    {"1.7976931348623158e308", 22, true, 1.7976931348623157e308, "rounds down to the largest"},
    {"1.7976931348623159e308", 22, false, 0, "rounds up to infinity: overflow"},
    {"2.2250738585072011e-308", 23, true, 2.2250738585072009e-308, "largest subnormal"},
    {"2.4703282292062328e-324", 23, true, 4.9406564584124654e-324, "just above half a unit"},
    {"2.4703282292062327e-324", 23, true, 0.0, "just below half a unit"},
    {"9007199254740993", 16, true, 9007199254740992.0, "halfway, ties to the even below"},
    {"9007199254740995", 16, true, 9007199254740996.0, "halfway, ties to the even above"},
    {"7378697629483831296e1", 21, true, 73786976294838312960.0,
     "exactly halfway, ties to even"},
    {"7378697629483824743e1", 21, true, 73786976294838247430.0,
     "just above halfway by bits below the top 64: rounds up"},
    {"1000000000000000000000", 22, true, 1e21, "zeros past 19 digits only scale"},
    {"0.000000000000000000000000000001", 32, true, 1e-30, "leading zeros are not significant"},
    {"12345678901234567891", 20, false, 0,
     "a 20th significant digit that is not 0 cannot be kept: refused, not rounded wrongly"},
};

TEST(ParseNumber, Table) {
    for (const Case& c : Cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\" width " + std::to_string(c.width) +
                     ": " + c.why);
        uint64_t bits = 0x1234;
        const bool ok = ParseNumberBits(c.text, c.width, &bits);
        EXPECT_EQ(ok, c.ok);
        if (ok && c.ok) {
            EXPECT_EQ(bits, BitsOf(c.value));
        }
        const double d = ParseNumber(c.text, c.width);
        EXPECT_EQ(BitsOf(d), BitsOf(c.ok ? c.value : NoValue));
    }
}

// Text far longer than a field: digits and exponent still scale exactly.
TEST(ParseNumber, VeryLongTextScalesExactly) {
    struct Long {
        std::string text;
        bool ok;
        double value;
    };
    const Long cases[] = {
        {"0." + std::string(19999, '0') + "1e20000", true, 1.0},
        {"1" + std::string(2000, '0') + "e-2000", true, 1.0},
        {"-1" + std::string(2000, '0') + "e-1700", true, -1e300},
        {"1" + std::string(2000, '0'), false, 0},  // 1e2000: overflow
        {"0." + std::string(2000, '0') + "1", true, 0.0},  // 1e-2001: underflow
        {"1e" + std::string(30, '0') + "5", true, 1e5},
        {"1e99999999999999999999", false, 0},
        {"-1e-99999999999999999999", true, -0.0},
        {"0e99999999999999999999", true, 0.0},
    };
    for (const Long& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        uint64_t bits = 0;
        const bool ok = ParseNumberBits(c.text.c_str(), static_cast<unsigned>(c.text.size()), &bits);
        EXPECT_EQ(ok, c.ok);
        if (ok && c.ok) {
            EXPECT_EQ(bits, BitsOf(c.value));
        }
    }
}

// Exact and near halfway points of at most 5 characters (and the subnormals, of 6), with bits
// from an independent arbitrary-precision conversion.
struct Hard {
    const char* text;
    uint64_t bits;
};
const Hard HardCases[] = {
    {"1e23", 0x44b52d02c7e14af6},   // 5^23 * 2^23: exactly halfway, ties down to even
    {"5e22", 0x44a52d02c7e14af6},   // exactly halfway, ties down
    {"7e22", 0x44ada56a4b0835c0},   // exactly halfway, ties up
    {"14e22", 0x44bda56a4b0835c0},  // exactly halfway, ties up
    {"95e20", 0x448017f7df96be18},  // exactly halfway, ties up
    {"99e20", 0x4480c570cb5c6a7a},  // exactly halfway, ties up
    {"37e46", 0x49d033d7eca0adef},  // 4e-5 of a unit from halfway
    {"1e126", 0x5a17a2ecc414a03f},  // 1.4e-4 of a unit from halfway
    {"43e-3", 0x3fa604189374bc6a},  // 0.004 of a unit from halfway (three decimals)
    {"93e-5", 0x3f4e7967caea747e},  // 0.0014 of a unit from halfway
    {"3e-25", 0x3ad7361cb863de62},  // 0.0015 of a unit from halfway
    {"7e-79", 0x2fb4bffc397ca23f},  // 0.0065 of a unit from halfway
    {"1e-21", 0x3b92e3b40a0e9b4f},
    {"7.01", 0x401c0a3d70a3d70a},
    {"1e308", 0x7fe1ccf385ebc8a0},
    {"1e-99", 0x2b617f7d4ed8c33e},
    {".1e-9", 0x3ddb7cdfd9d7bdbb},
    {"5e-324", 0x1},
    {"7e-324", 0x1},
    {"1e-323", 0x2},
};

TEST(ParseNumber, HardRoundingCases) {
    for (const Hard& h : HardCases) {
        SCOPED_TRACE(h.text);
        uint64_t bits = 0;
        EXPECT_TRUE(ParseNumberBits(h.text, static_cast<unsigned>(strlen(h.text)), &bits));
        EXPECT_EQ(bits, h.bits);
        const Outcome ref = Reference(h.text);
        EXPECT_TRUE(ref.ok);
        EXPECT_EQ(ref.bits, h.bits);
    }
}

// Every text of up to 5 characters over digits, point, exponent letters, signs and space: all
// mantissas of up to 5 digits with and without a point, every exponent from -99 to 999, and
// every grammar error these characters can form.
TEST(ParseNumber, EveryShortFieldMatchesStrtod) {
    const char alphabet[] = "0123456789.eE+- ";
    const int n = sizeof alphabet - 1;
    Mismatches m;
    std::string s;
    for (int len = 0; len <= 5; ++len) {
        int total = 1;
        for (int i = 0; i < len; ++i) total *= n;
        s.assign(len, ' ');
        for (int code = 0; code < total; ++code) {
            for (int i = 0, c = code; i < len; ++i, c /= n) s[i] = alphabet[c % n];
            CheckField(s, m);
        }
    }
    EXPECT_EQ(m.count, 0);
}

// Longer text across the whole exponent range: every mantissa of up to 2 digits, with and
// without a point, times every exponent from -400 to 400.
TEST(ParseNumber, EveryExponentMatchesStrtod) {
    std::vector<std::string> mantissas;
    for (int len = 1; len <= 2; ++len) {
        const int total = len == 1 ? 10 : 100;
        for (int v = 0; v < total; ++v) {
            std::string digits = std::to_string(v);
            digits.insert(0, len - digits.size(), '0');
            for (size_t point = 0; point <= digits.size() + 1; ++point) {
                std::string t = digits;
                if (point <= digits.size()) t.insert(point, ".");
                mantissas.push_back(t);
            }
        }
    }
    Mismatches m;
    for (const std::string& mant : mantissas)
        for (int e = -400; e <= 400; ++e) CheckField(mant + "e" + std::to_string(e), m);
    EXPECT_EQ(m.count, 0);
}

// Long mantissas (up to 19 significant digits) at random exponents: the bignum paths, the
// subnormal range and the overflow boundary.
TEST(ParseNumber, LongMantissasMatchStrtod) {
    uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state](uint64_t range) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % range;
    };
    Mismatches m;
    for (int i = 0; i < 200000; ++i) {
        const int digits = 1 + static_cast<int>(next(19));
        std::string t;
        for (int d = 0; d < digits; ++d) t += static_cast<char>('0' + next(10));
        t.insert(next(digits + 1), ".");
        if (next(4) == 0) t.insert(0, std::string(next(5), '0'));
        const int e = static_cast<int>(next(700)) - 360;
        CheckField(t + "e" + std::to_string(e), m);
    }
    EXPECT_EQ(m.count, 0);
}

// Texts whose conversion exercises every path: fast paths, bignum multiply and divide,
// subnormals, overflow.
std::vector<std::string> ModeSamples() {
    std::vector<std::string> out;
    const char* mantissas[] = {"1", "2.5", "7.01", "9.999", "12345", "98765", ".3", "43"};
    for (const char* mant : mantissas)
        for (int e = -340; e <= 310; ++e) out.push_back(mant + std::string("e") + std::to_string(e));
    for (const Hard& h : HardCases) out.push_back(h.text);
    for (const Case& c : Cases) out.push_back(std::string(c.text, strnlen(c.text, c.width)));
    return out;
}

// Parses every sample; `ok` and `bits` receive the results.
void ParseAll(const std::vector<std::string>& in, std::vector<char>& ok, std::vector<uint64_t>& bits) {
    for (size_t i = 0; i < in.size(); ++i) {
        bits[i] = 0;
        ok[i] = ParseNumberBits(in[i].c_str(), static_cast<unsigned>(in[i].size()), &bits[i]);
    }
}

TEST(ParseNumber, FloatingPointRoundingModeDoesNotMatter) {
    const std::vector<std::string> in = ModeSamples();
    std::vector<char> ok0(in.size()), ok(in.size());
    std::vector<uint64_t> bits0(in.size()), bits(in.size());
    ParseAll(in, ok0, bits0);
    const int modes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    const int saved = fegetround();
    for (int mode : modes) {
        ASSERT_EQ(fesetround(mode), 0);
        ParseAll(in, ok, bits);
        fesetround(saved);
        for (size_t i = 0; i < in.size(); ++i) {
            EXPECT_EQ(ok[i], ok0[i]) << in[i] << " mode " << mode;
            EXPECT_EQ(bits[i], bits0[i]) << in[i] << " mode " << mode;
        }
    }
}

#if defined(__i386__)
uint16_t GetX87ControlWord() {
    uint16_t cw;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw));
    return cw;
}

void SetX87ControlWord(uint16_t cw) { __asm__ __volatile__("fldcw %0" : : "m"(cw)); }

// The host may leave the x87 unit at any precision and rounding setting.
TEST(ParseNumber, X87PrecisionAndRoundingDoNotMatter) {
    const std::vector<std::string> in = ModeSamples();
    std::vector<char> ok0(in.size()), ok(in.size());
    std::vector<uint64_t> bits0(in.size()), bits(in.size());
    ParseAll(in, ok0, bits0);
    const uint16_t saved = GetX87ControlWord();
    const uint16_t precisions[] = {0, 2, 3};  // 24, 53 and 64 bits
    for (uint16_t pc : precisions) {
        for (uint16_t rc = 0; rc < 4; ++rc) {  // nearest, down, up, toward zero
            const uint16_t cw = static_cast<uint16_t>((saved & ~0x0F00) | pc << 8 | rc << 10);
            SetX87ControlWord(cw);
            ParseAll(in, ok, bits);
            SetX87ControlWord(saved);
            for (size_t i = 0; i < in.size(); ++i) {
                EXPECT_EQ(ok[i], ok0[i]) << in[i] << " control word " << std::hex << cw;
                EXPECT_EQ(bits[i], bits0[i]) << in[i] << " control word " << std::hex << cw;
            }
        }
    }
}
#endif

// The decimal point is '.' whatever LC_NUMERIC says.
TEST(ParseNumber, LocaleDoesNotMatter) {
    const std::string saved = setlocale(LC_NUMERIC, nullptr);
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                           "de_DE",       "fr_FR",      "nl_NL.UTF-8", "ru_RU.UTF-8"};
    const char* found = nullptr;
    for (const char* name : names) {
        if (setlocale(LC_NUMERIC, name) && strcmp(localeconv()->decimal_point, ",") == 0) {
            found = name;
            break;
        }
        setlocale(LC_NUMERIC, saved.c_str());
    }
    if (!found) GTEST_SKIP() << "no locale with a decimal comma is installed";
    uint64_t bits = 0, commaBits = 0;
    const bool dotOk = ParseNumberBits("7.01", 5, &bits);
    const bool comma = ParseNumberBits("7,01", 5, &commaBits);
    const double viaDouble = ParseNumber("-1.5e3", 6);
    setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(dotOk) << found;
    EXPECT_EQ(bits, BitsOf(7.01)) << found;
    EXPECT_FALSE(comma) << found;
    EXPECT_EQ(BitsOf(viaDouble), BitsOf(-1500.0)) << found;
}

}  // namespace
