// The library's exports, as a host (or a test) calls them. Each operation exists in up to
// five forms:
//   register form   ea ...        EAX, EDX, ECX, then doubles on the stack (the operation itself)
//   stdcall form    stdea ...     stack, first argument nearest the return address
//   single form     stdeas ...    stdcall with singles in place of doubles
//   double form     eadouble ...  only doubles, left to right: last argument nearest the return
//   stdcall double  stdeadouble   only doubles, stdcall
// The callee always removes its stack arguments. On 64-bit targets and Linux the forms are
// plain C functions with the same argument and result types.
#pragma once
#include <stdint.h>

#if defined(__i386__)
#define TIV_REG __attribute__((regparm(3)))
#define TIV_REG_POP __attribute__((regparm(3), stdcall)) // removes its stack double
#define TIV_STD __attribute__((stdcall))
// Left to right is stdcall with the argument list reversed.
#define TIV_LTR __attribute__((stdcall))
#define TIV_LTR_ARGS(first, second) second, first
#else
#define TIV_REG
#define TIV_REG_POP
#define TIV_STD
#define TIV_LTR
#define TIV_LTR_ARGS(first, second) first, second
#endif

// A double argument from the host. Inside the 32-bit library it is taken as its two 32-bit
// words, which lie in the same 8 bytes of the stack: GCC moves doubles through the x87 unit,
// and loading a signalling NaN there raises invalid operation. Callers always pass a double.
#if defined(__i386__) && defined(TIV_DEFINING_EXPORTS)
struct HostDouble {
    uint32_t low, high;
};
#define TIV_DOUBLE HostDouble
#else
#define TIV_DOUBLE double
#endif

#if defined(_WIN32)
#define TIV_EXPORT extern "C" // the module-definition file lists the exports
#else
#define TIV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Register forms.
TIV_EXPORT TIV_REG int32_t ea(int32_t channel);
TIV_EXPORT TIV_REG double ead(int32_t channel);
TIV_EXPORT TIV_REG const char* nea(int32_t channel);
TIV_EXPORT TIV_REG const char* nead(int32_t channel);
TIV_EXPORT TIV_REG int32_t sa(int32_t channel, int32_t value);
// sad's value stays a double: regparm would pass a structure of two words in registers.
// sad never reads it.
TIV_EXPORT TIV_REG_POP double sad(int32_t channel, double value);
TIV_EXPORT TIV_REG const char* nsa(int32_t channel);
TIV_EXPORT TIV_REG const char* nsad(int32_t channel);
TIV_EXPORT TIV_REG int32_t rsa(int32_t channel);
TIV_EXPORT TIV_REG double rsad(int32_t channel);
TIV_EXPORT TIV_REG int32_t eb(int32_t channel);
TIV_EXPORT TIV_REG const char* neb(int32_t channel);
TIV_EXPORT TIV_REG int32_t sb(int32_t channel, int32_t value);
TIV_EXPORT TIV_REG const char* nsb(int32_t channel);
TIV_EXPORT TIV_REG int32_t rsb(int32_t channel);
TIV_EXPORT TIV_REG const char* titre();
TIV_EXPORT TIV_REG const char* detail();
TIV_EXPORT TIV_REG double* pead(int32_t channel);
TIV_EXPORT TIV_REG double* psad(int32_t channel, const double* value);

// stdcall forms.
TIV_EXPORT TIV_STD int32_t stdea(int32_t channel);
TIV_EXPORT TIV_STD double stdead(int32_t channel);
TIV_EXPORT TIV_STD const char* stdnea(int32_t channel);
TIV_EXPORT TIV_STD const char* stdnead(int32_t channel);
TIV_EXPORT TIV_STD int32_t stdsa(int32_t channel, int32_t value);
TIV_EXPORT TIV_STD double stdsad(int32_t channel, TIV_DOUBLE value);
TIV_EXPORT TIV_STD const char* stdnsa(int32_t channel);
TIV_EXPORT TIV_STD const char* stdnsad(int32_t channel);
TIV_EXPORT TIV_STD double stdrsad(int32_t channel);
TIV_EXPORT TIV_STD int32_t stdeb(int32_t channel);
TIV_EXPORT TIV_STD const char* stdneb(int32_t channel);
TIV_EXPORT TIV_STD int32_t stdsb(int32_t channel, int32_t value);
TIV_EXPORT TIV_STD const char* stdnsb(int32_t channel);
TIV_EXPORT TIV_STD int32_t stdrsb(int32_t channel);
TIV_EXPORT TIV_STD const char* stdtitre();
TIV_EXPORT TIV_STD const char* stddetail();

// Single forms.
TIV_EXPORT TIV_STD float stdeas(int32_t channel);
TIV_EXPORT TIV_STD float stdrsas(int32_t channel);
TIV_EXPORT TIV_STD float stdsas(int32_t channel, float value);

// Double forms, left to right. From C or C++ on 32-bit x86, pass their two arguments through
// TIV_LTR_ARGS so that they land in the declared order.
TIV_EXPORT TIV_LTR double eadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR const char* neadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR double sadouble(TIV_LTR_ARGS(TIV_DOUBLE channel, TIV_DOUBLE value));
TIV_EXPORT TIV_LTR const char* nsadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR double rsadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR double ebdouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR const char* nebdouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR double sbdouble(TIV_LTR_ARGS(TIV_DOUBLE channel, TIV_DOUBLE value));
TIV_EXPORT TIV_LTR const char* nsbdouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_LTR double rsbdouble(TIV_DOUBLE channel);

// stdcall double forms.
TIV_EXPORT TIV_STD double stdeadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD const char* stdneadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD double stdsadouble(TIV_DOUBLE channel, TIV_DOUBLE value);
TIV_EXPORT TIV_STD const char* stdnsadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD double stdrsadouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD double stdebdouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD const char* stdnebdouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD double stdsbdouble(TIV_DOUBLE channel, TIV_DOUBLE value);
TIV_EXPORT TIV_STD const char* stdnsbdouble(TIV_DOUBLE channel);
TIV_EXPORT TIV_STD double stdrsbdouble(TIV_DOUBLE channel);
