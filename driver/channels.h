// The channel operations behind the exports, and the conversions the export forms share.
#pragma once
#include <stdint.h>
#include <string.h>

constexpr int32_t NoValueInt = -777;

// Channel 0 drains the port and decodes the current line (pH or mV); channel 1 gives the
// temperature of the last decode without touching the port; any other channel has no value.
double ChannelValue(int32_t channel);

// Drains the port (for every channel) without decoding, and returns the label of channel 0 or
// 1 from the last channel-0 reading, or the empty text. The text is a copy in result storage
// that stays valid until the next label query.
const char* ChannelLabel(int32_t channel);

// ChannelValue kept in storage of its own; the address stays valid after the call.
double* ChannelValueAddress(int32_t channel);

// The address of a library-owned double holding NoValue.
double* NoValueAddress();

extern const char EmptyText[];

// Rounds the double with these bits by the calling thread's current rounding mode to a 64-bit
// integer and keeps the low 32 bits. A double without such an integer (NaN, infinite, beyond
// 64 bits) gives NoValueInt; it is rejected from its bits, before it ever reaches the FPU, so
// no exception is raised.
int32_t RoundBitsToInteger(uint64_t bits);

inline uint64_t DoubleBits(double x)
{
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits;
}

// The same for a double the library computed itself (never a signalling NaN).
inline int32_t RoundToInteger(double x) { return RoundBitsToInteger(DoubleBits(x)); }

// The double as a single, rounded by the current mode; NoValue beyond single range or NaN.
float ToSingle(double x);

// The double stored to double precision and reloaded (on the x87 a value can otherwise carry
// extended precision into the caller).
double ToDouble(double x);
