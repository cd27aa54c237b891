// The number in a fixed-width field of a meter line.
#pragma once
#include <stdint.h>

// The value for anything the meter cannot supply or that cannot be decoded.
constexpr double NoValue = -777.0;

// Parses the first `width` characters at `text` (a NUL ends the text earlier): leading spaces,
// one optional sign, digits with an optional '.', an optional exponent ('E' or 'e', optional
// sign, at least one digit), and nothing after. A field holding only a point or only an
// exponent is 0. The decimal point is always '.', whatever the locale.
// On success stores the bits of the correctly rounded double and returns true; returns false
// for text that is not such a number and for a value beyond the range of a double.
// Integer arithmetic only: the result never depends on the x87 precision or rounding setting.
bool ParseNumberBits(const char* text, unsigned width, uint64_t* bits);

// The same, as a double; NoValue when the field does not parse.
double ParseNumber(const char* text, unsigned width);
