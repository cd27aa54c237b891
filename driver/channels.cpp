#include "driver/channels.h"
#include "meter/meter.h"
#include "serial/ucommw32.h"

#include <string.h>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

const char EmptyText[] = "";

static char LabelResult[24];
static double ValueResult;
static double NoValueResult;

POLL_PATH double ChannelValue(int32_t channel)
{
    if (channel == 0)
        return Measure();
    if (channel == 1)
        return Temperature;
    return NoValue;
}

const char* ChannelLabel(int32_t channel)
{
    CollectInput();
    const char* label = channel == 0 ? MainLabel : channel == 1 ? TempLabel : EmptyText;
    SetText(LabelResult, sizeof LabelResult, label);
    return LabelResult;
}

double* ChannelValueAddress(int32_t channel)
{
    ValueResult = ChannelValue(channel);
    return &ValueResult;
}

double* NoValueAddress()
{
    NoValueResult = NoValue;
    return &NoValueResult;
}

POLL_PATH int32_t RoundBitsToInteger(uint64_t bits)
{
    // |x| < 2^63 exactly when the biased exponent is below 1023 + 63; NaN and the
    // infinities have the largest exponent and fail too. -2^63 itself is a 64-bit integer.
    constexpr uint64_t MinusTwoTo63 = 0xC3E0000000000000;
    if (((bits >> 52) & 0x7FF) >= 1023 + 63 && bits != MinusTwoTo63)
        return NoValueInt;
    double x;
    memcpy(&x, &bits, sizeof x);
    int64_t r;
#if defined(__i386__)
    asm("fistpll %0" : "=m"(r) : "t"(x) : "st"); // rounds by the control word, leaves it alone
#elif defined(__x86_64__)
    r = _mm_cvtsd_si64(_mm_set_sd(x));           // rounds by MXCSR
#else
    r = __builtin_llrint(x);
#endif
    return int32_t(uint32_t(uint64_t(r)));
}

float ToSingle(double x)
{
    // Magnitude above the largest single (0x47EFFFFFE0000000), NaN included: no value.
    if ((DoubleBits(x) & 0x7FFFFFFFFFFFFFFF) > 0x47EFFFFFE0000000)
        return float(NoValue);
    volatile float single = float(x);
    return single;
}

double ToDouble(double x)
{
#if defined(__i386__)
    volatile double stored = x;
    return stored;
#else
    return x;
#endif
}
