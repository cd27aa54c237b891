// Differential fuzzing of the field number parse against glibc's strtod (C locale).
//
// The first input byte picks the field width (0..5), the next bytes are the field; the field
// gets a buffer of exactly its width, so that a read beyond it is caught by AddressSanitizer.
// The text of a field ends at its width or at a NUL. A text of the field grammar
//     spaces* [+-]? (digits with at most one '.') ([eE] [+-]? digit+)?   (nothing after)
// with at least a point, a digit or an exponent after the sign, must give exactly the bits
// strtod gives for it (a field of only a point or only an exponent part reading as a zero of
// its sign), and a value beyond a double is an error. Any other text is an error, and
// ParseNumber gives NoValue for every error.
#include "meter/number.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Whether `t` is of the field grammar; if so, `number` receives the same text with a 0 in front
// of a mantissa without digits, which strtod then reads in full.
bool InGrammar(const std::string& t, std::string* number)
{
    size_t i = 0;
    while (i < t.size() && t[i] == ' ')
        ++i;
    const size_t signEnd = i + (i < t.size() && (t[i] == '+' || t[i] == '-'));
    i = signEnd;
    if (i == t.size())
        return false; // nothing, spaces only, or a lone sign
    bool digits = false, point = false;
    for (; i < t.size(); ++i) {
        if (Digit(t[i]))
            digits = true;
        else if (t[i] == '.' && !point)
            point = true;
        else
            break;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        if (i == t.size() || !Digit(t[i]))
            return false;
        while (i < t.size() && Digit(t[i]))
            ++i;
    }
    if (i != t.size())
        return false;
    *number = t.substr(0, signEnd) + (digits ? "" : "0") + t.substr(signEnd);
    return true;
}

uint64_t Bits(double x)
{
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

[[noreturn]] void Fail(const std::string& text, const char* what, uint64_t got, uint64_t want)
{
    fprintf(stderr, "number fuzz: \"%s\": %s (got %016llx, expected %016llx)\n", text.c_str(),
            what, (unsigned long long)got, (unsigned long long)want);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned width = data[0] % 6;
    if (width > size - 1)
        width = unsigned(size - 1);
    char* field = new char[width]; // exactly the field, no terminator
    memcpy(field, data + 1, width);
    const std::string text(field, strnlen(field, width));

    uint64_t bits = 0x5555555555555555u;
    const bool ok = ParseNumberBits(field, width, &bits);
    const double value = ParseNumber(field, width);
    delete[] field;

    std::string number;
    if (!InGrammar(text, &number)) {
        if (ok)
            Fail(text, "text outside the grammar parsed", bits, 0);
        if (Bits(value) != Bits(NoValue))
            Fail(text, "failed parse is not NoValue", Bits(value), Bits(NoValue));
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const double reference = strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size())
        Fail(text, "strtod did not read the whole number", 0, 0);
    if (isinf(reference)) {
        if (ok)
            Fail(text, "a value beyond a double parsed", bits, Bits(reference));
        if (Bits(value) != Bits(NoValue))
            Fail(text, "failed parse is not NoValue", Bits(value), Bits(NoValue));
        return 0;
    }
    if (!ok)
        Fail(text, "a number of the grammar did not parse", 0, Bits(reference));
    if (bits != Bits(reference))
        Fail(text, "bits differ from strtod", bits, Bits(reference));
    if (Bits(value) != bits)
        Fail(text, "ParseNumber differs from ParseNumberBits", Bits(value), bits);
    return 0;
}
