// The 58 exports: thin adapters around the channel operations (forms and conventions are
// described in exports.h).
#define TIV_DEFINING_EXPORTS
#include "driver/exports.h"
#include "driver/build.h"
#include "driver/channels.h"
#include "meter/number.h"
#include "serial/ucommw32.h"

#if defined(__i386__)
// A host's double, from its two words: it reaches the FPU only once it is known to be a number
// in range.
static int32_t RoundToInteger(HostDouble x)
{
    return RoundBitsToInteger(uint64_t(x.high) << 32 | x.low);
}
#endif

// Register forms: the operations.
TIV_EXPORT TIV_REG POLL_PATH int32_t ea(int32_t channel) { return RoundToInteger(ChannelValue(channel)); }
TIV_EXPORT TIV_REG double ead(int32_t channel) { return ChannelValue(channel); }
TIV_EXPORT TIV_REG const char* nea(int32_t channel) { return ChannelLabel(channel); }
TIV_EXPORT TIV_REG const char* nead(int32_t channel) { return ChannelLabel(channel); }
TIV_EXPORT TIV_REG int32_t sa(int32_t, int32_t) { return NoValueInt; }
TIV_EXPORT TIV_REG_POP double sad(int32_t, double) { return NoValue; }
TIV_EXPORT TIV_REG const char* nsa(int32_t) { return EmptyText; }
TIV_EXPORT TIV_REG const char* nsad(int32_t) { return EmptyText; }
TIV_EXPORT TIV_REG int32_t rsa(int32_t) { return NoValueInt; }
TIV_EXPORT TIV_REG double rsad(int32_t) { return NoValue; }
TIV_EXPORT TIV_REG int32_t eb(int32_t) { return NoValueInt; }
TIV_EXPORT TIV_REG const char* neb(int32_t) { return EmptyText; }
TIV_EXPORT TIV_REG int32_t sb(int32_t channel, int32_t) { return channel; }
TIV_EXPORT TIV_REG const char* nsb(int32_t) { return EmptyText; }
TIV_EXPORT TIV_REG int32_t rsb(int32_t) { return NoValueInt; }
TIV_EXPORT TIV_REG const char* titre() { return BuildTitle; }
TIV_EXPORT TIV_REG const char* detail() { return BuildDetail; }
TIV_EXPORT TIV_REG double* pead(int32_t channel) { return ChannelValueAddress(channel); }
TIV_EXPORT TIV_REG double* psad(int32_t, const double*) { return NoValueAddress(); }

// stdcall forms.
TIV_EXPORT TIV_STD int32_t stdea(int32_t channel) { return ea(channel); }
TIV_EXPORT TIV_STD double stdead(int32_t channel) { return ToDouble(ead(channel)); }
TIV_EXPORT TIV_STD const char* stdnea(int32_t channel) { return nea(channel); }
TIV_EXPORT TIV_STD const char* stdnead(int32_t channel) { return nead(channel); }
TIV_EXPORT TIV_STD int32_t stdsa(int32_t channel, int32_t value) { return sa(channel, value); }
// The value of sad has no effect: the other forms do not pass theirs on, so that a host's
// value is never loaded.
TIV_EXPORT TIV_STD double stdsad(int32_t channel, TIV_DOUBLE) { return ToDouble(sad(channel, 0.0)); }
TIV_EXPORT TIV_STD const char* stdnsa(int32_t channel) { return nsa(channel); }
TIV_EXPORT TIV_STD const char* stdnsad(int32_t channel) { return nsad(channel); }
TIV_EXPORT TIV_STD double stdrsad(int32_t channel) { return ToDouble(rsad(channel)); }
TIV_EXPORT TIV_STD int32_t stdeb(int32_t channel) { return eb(channel); }
TIV_EXPORT TIV_STD const char* stdneb(int32_t channel) { return neb(channel); }
TIV_EXPORT TIV_STD int32_t stdsb(int32_t channel, int32_t value) { return sb(channel, value); }
TIV_EXPORT TIV_STD const char* stdnsb(int32_t channel) { return nsb(channel); }
TIV_EXPORT TIV_STD int32_t stdrsb(int32_t channel) { return rsb(channel); }
TIV_EXPORT TIV_STD const char* stdtitre() { return titre(); }
TIV_EXPORT TIV_STD const char* stddetail() { return detail(); }

// Single forms.
TIV_EXPORT TIV_STD float stdeas(int32_t channel) { return ToSingle(ead(channel)); }
TIV_EXPORT TIV_STD float stdrsas(int32_t channel) { return ToSingle(rsad(channel)); }
TIV_EXPORT TIV_STD float stdsas(int32_t channel, float) { return ToSingle(sad(channel, 0.0)); }

// Double forms (left to right) and stdcall double forms. A channel double without an integer
// rounds to NoValueInt, which is no channel: numeric results are NoValue, labels empty.
TIV_EXPORT TIV_LTR double eadouble(TIV_DOUBLE channel) { return ToDouble(ead(RoundToInteger(channel))); }
TIV_EXPORT TIV_LTR const char* neadouble(TIV_DOUBLE channel) { return nead(RoundToInteger(channel)); }
TIV_EXPORT TIV_LTR double sadouble(TIV_LTR_ARGS(TIV_DOUBLE channel, TIV_DOUBLE))
{
    return ToDouble(sad(RoundToInteger(channel), 0.0));
}
TIV_EXPORT TIV_LTR const char* nsadouble(TIV_DOUBLE channel) { return nsad(RoundToInteger(channel)); }
TIV_EXPORT TIV_LTR double rsadouble(TIV_DOUBLE channel) { return ToDouble(rsad(RoundToInteger(channel))); }
TIV_EXPORT TIV_LTR double ebdouble(TIV_DOUBLE channel) { return eb(RoundToInteger(channel)); }
TIV_EXPORT TIV_LTR const char* nebdouble(TIV_DOUBLE channel) { return neb(RoundToInteger(channel)); }
TIV_EXPORT TIV_LTR double sbdouble(TIV_LTR_ARGS(TIV_DOUBLE channel, TIV_DOUBLE value))
{
    return sb(RoundToInteger(channel), RoundToInteger(value));
}
TIV_EXPORT TIV_LTR const char* nsbdouble(TIV_DOUBLE channel) { return nsb(RoundToInteger(channel)); }
TIV_EXPORT TIV_LTR double rsbdouble(TIV_DOUBLE channel) { return rsb(RoundToInteger(channel)); }

TIV_EXPORT TIV_STD double stdeadouble(TIV_DOUBLE channel) { return ToDouble(ead(RoundToInteger(channel))); }
TIV_EXPORT TIV_STD const char* stdneadouble(TIV_DOUBLE channel) { return nead(RoundToInteger(channel)); }
TIV_EXPORT TIV_STD double stdsadouble(TIV_DOUBLE channel, TIV_DOUBLE)
{
    return ToDouble(sad(RoundToInteger(channel), 0.0));
}
TIV_EXPORT TIV_STD const char* stdnsadouble(TIV_DOUBLE channel) { return nsad(RoundToInteger(channel)); }
TIV_EXPORT TIV_STD double stdrsadouble(TIV_DOUBLE channel) { return ToDouble(rsad(RoundToInteger(channel))); }
TIV_EXPORT TIV_STD double stdebdouble(TIV_DOUBLE channel) { return eb(RoundToInteger(channel)); }
TIV_EXPORT TIV_STD const char* stdnebdouble(TIV_DOUBLE channel) { return neb(RoundToInteger(channel)); }
TIV_EXPORT TIV_STD double stdsbdouble(TIV_DOUBLE channel, TIV_DOUBLE value)
{
    return sb(RoundToInteger(channel), RoundToInteger(value));
}
TIV_EXPORT TIV_STD const char* stdnsbdouble(TIV_DOUBLE channel) { return nsb(RoundToInteger(channel)); }
TIV_EXPORT TIV_STD double stdrsbdouble(TIV_DOUBLE channel) { return rsb(RoundToInteger(channel)); }
