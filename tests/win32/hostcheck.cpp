// hostcheck: loads the shipped 32-bit DLLs tivrel1.dll and tivrel2.dll the way the
// data-acquisition host does, calls every export in its own calling convention through the
// thunk in thunk.S, and checks the results, the machine state each call leaves behind, the
// export directory, and the readings that arrive through the serial ports.
//
//   hostcheck full     meters on COM1 and COM2 (meterpty, driven through meterctl.h)
//   hostcheck noport   COM1 and COM2 lead nowhere: the DLLs load and read no value
//   hostcheck relay    a short load, read and unload, for the relay trace of the port set-up;
//                      prints the address range of each loaded DLL ("range NAME LOW HIGH")
//
// Prints one line per failed check ("FAIL ...") and a summary; exits 1 on any failure.
#include <windows.h>

#include <float.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "meterctl.h"
#include "thunk.h"

TivState tiv_state;

namespace {

// ---------------------------------------------------------------------------------------------
// Reporting

unsigned Passed, Failed, Repeated;
const unsigned MaxShown = 300; // distinct failures shown; all are counted
std::set<std::string> DistinctFailures;

std::string Format(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// A failure under one control word or stack offset usually recurs under the others: it is
// shown once, with the context of its first occurrence, and its repetitions are counted.
std::string WithoutCallContext(const std::string& what)
{
    const size_t open = what.find(" [cw ");
    const size_t close = open == std::string::npos ? open : what.find(']', open);
    return close == std::string::npos ? what : what.substr(0, open) + what.substr(close + 1);
}

// `detail` is shown with the failure but does not make it a different one (register contents,
// status words).
bool Check(bool ok, const std::string& what, const std::string& detail = "")
{
    if (ok) {
        ++Passed;
        return true;
    }
    ++Failed;
    const std::string key = WithoutCallContext(what);
    if (!DistinctFailures.insert(key).second) {
        ++Repeated;
        return false;
    }
    if (DistinctFailures.size() <= MaxShown)
        printf("FAIL %s%s\n", what.c_str(), detail.c_str());
    else if (DistinctFailures.size() == MaxShown + 1)
        printf("FAIL ... further failures are counted but not shown\n");
    fflush(stdout);
    return false;
}

void Info(const std::string& what)
{
    printf("info: %s\n", what.c_str());
    fflush(stdout);
}

std::string Quote(const char* s)
{
    std::string out = "\"";
    for (; *s; ++s) {
        unsigned char c = *s;
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            out += char(c);
        else
            out += Format("\\x%02X", c);
    }
    return out + "\"";
}

uint64_t Bits(double d)
{
    uint64_t b;
    memcpy(&b, &d, sizeof b);
    return b;
}

double FromBits(uint64_t b)
{
    double d;
    memcpy(&d, &b, sizeof d);
    return d;
}

float SingleFromBits(uint32_t b)
{
    float f;
    memcpy(&f, &b, sizeof f);
    return f;
}

// ---------------------------------------------------------------------------------------------
// The reference: rounding as the x87 unit does it under each rounding-control setting, computed
// here without the x87 unit.

enum Rounding { Nearest = 0, Down = 1, Up = 2, Chop = 3 }; // the x87 RC field
const char* const RoundingName[] = {"nearest", "down", "up", "chop"};

// The 64-bit integer x rounds to; false when there is none (NaN, infinite, out of range).
bool RoundToInt64(double x, int rc, int64_t* out)
{
    const uint64_t b = Bits(x);
    const bool negative = b >> 63;
    int e = int((b >> 52) & 0x7FF);
    uint64_t m = b & ((uint64_t(1) << 52) - 1);
    if (e == 0x7FF)
        return false;
    if (e != 0)
        m |= uint64_t(1) << 52;
    else
        e = 1;
    // |x| = m * 2^(e - 1075)
    const int scale = e - 1075;
    if (scale >= 0) {
        if (m == 0) {
            *out = 0;
            return true;
        }
        if (scale > 10) { // |x| >= 2^63: only -2^63 itself is a 64-bit integer
            if (negative && scale == 11 && m == uint64_t(1) << 52) {
                *out = INT64_MIN;
                return true;
            }
            return false;
        }
        const uint64_t magnitude = m << scale;
        if (magnitude >> 63) {
            if (negative && magnitude == uint64_t(1) << 63) {
                *out = INT64_MIN;
                return true;
            }
            return false;
        }
        *out = negative ? -int64_t(magnitude) : int64_t(magnitude);
        return true;
    }
    const int shift = -scale;
    uint64_t whole;
    bool fraction, half, aboveHalf;
    if (shift >= 64) {
        whole = 0;
        fraction = m != 0;
        half = aboveHalf = false; // m < 2^53: below 2^-11
    } else {
        whole = m >> shift;
        const uint64_t rest = m & ((uint64_t(1) << shift) - 1);
        const uint64_t halfway = uint64_t(1) << (shift - 1);
        fraction = rest != 0;
        half = rest == halfway;
        aboveHalf = rest > halfway;
    }
    bool away = false;
    switch (rc) {
    case Nearest: away = aboveHalf || (half && (whole & 1)); break;
    case Down: away = negative && fraction; break;
    case Up: away = !negative && fraction; break;
    case Chop: away = false; break;
    }
    whole += away;
    *out = negative ? -int64_t(whole) : int64_t(whole);
    return true;
}

const int32_t NoValueInt = -777;
const double NoValue = -777.0;

// The host's integer of a double: the low 32 bits of the 64-bit integer, or NoValueInt.
int32_t ToInt32(double x, int rc)
{
    int64_t r;
    if (!RoundToInt64(x, rc, &r))
        return NoValueInt;
    return int32_t(uint32_t(uint64_t(r)));
}

// The double as a single under the rounding mode, by the SSE unit (MXCSR uses the same RC
// encoding); NoValue as a single beyond single range and for NaN.
float ToSingle(double x, int rc)
{
    if (x != x || x > double(FLT_MAX) || x < -double(FLT_MAX))
        return float(NoValue);
    float r;
    uint32_t saved, mode;
    asm volatile("stmxcsr %0" : "=m"(saved));
    mode = (saved & ~0x6000u) | (uint32_t(rc) << 13);
    asm volatile("ldmxcsr %2\n\t"
                 "cvtsd2ss %1, %0\n\t"
                 "ldmxcsr %3"
                 : "=&x"(r)
                 : "x"(x), "m"(mode), "m"(saved));
    return r;
}

// ---------------------------------------------------------------------------------------------
// The exports: operation, calling convention, argument and result types, bytes the callee
// removes from the stack.

enum Conv { Reg, Std, Ltr };
enum Kind { None, Int, Dbl, Sgl, Txt, Ptr };
enum Op {
    EA, EAD, NEA, NEAD, SA, SAD, NSA, NSAD, RSA, RSAD, EB, NEB, SB, NSB, RSB, TITRE, DETAIL, PEAD, PSAD
};

struct Form {
    const char* name;
    Op op;
    Conv conv;
    Kind result;
    Kind arg0, arg1;
    uint32_t removes;
};

const Form Forms[] = {
    // Register forms: integers and addresses in EAX, EDX, ECX; doubles on the stack.
    {"ea", EA, Reg, Int, Int, None, 0},
    {"ead", EAD, Reg, Dbl, Int, None, 0},
    {"nea", NEA, Reg, Txt, Int, None, 0},
    {"nead", NEAD, Reg, Txt, Int, None, 0},
    {"sa", SA, Reg, Int, Int, Int, 0},
    {"sad", SAD, Reg, Dbl, Int, Dbl, 8},
    {"nsa", NSA, Reg, Txt, Int, None, 0},
    {"nsad", NSAD, Reg, Txt, Int, None, 0},
    {"rsa", RSA, Reg, Int, Int, None, 0},
    {"rsad", RSAD, Reg, Dbl, Int, None, 0},
    {"eb", EB, Reg, Int, Int, None, 0},
    {"neb", NEB, Reg, Txt, Int, None, 0},
    {"sb", SB, Reg, Int, Int, Int, 0},
    {"nsb", NSB, Reg, Txt, Int, None, 0},
    {"rsb", RSB, Reg, Int, Int, None, 0},
    {"titre", TITRE, Reg, Txt, None, None, 0},
    {"detail", DETAIL, Reg, Txt, None, None, 0},
    {"pead", PEAD, Reg, Ptr, Int, None, 0},
    {"psad", PSAD, Reg, Ptr, Int, Ptr, 0},
    // stdcall forms.
    {"stdea", EA, Std, Int, Int, None, 4},
    {"stdead", EAD, Std, Dbl, Int, None, 4},
    {"stdnea", NEA, Std, Txt, Int, None, 4},
    {"stdnead", NEAD, Std, Txt, Int, None, 4},
    {"stdsa", SA, Std, Int, Int, Int, 8},
    {"stdsad", SAD, Std, Dbl, Int, Dbl, 12},
    {"stdnsa", NSA, Std, Txt, Int, None, 4},
    {"stdnsad", NSAD, Std, Txt, Int, None, 4},
    {"stdrsad", RSAD, Std, Dbl, Int, None, 4},
    {"stdeb", EB, Std, Int, Int, None, 4},
    {"stdneb", NEB, Std, Txt, Int, None, 4},
    {"stdsb", SB, Std, Int, Int, Int, 8},
    {"stdnsb", NSB, Std, Txt, Int, None, 4},
    {"stdrsb", RSB, Std, Int, Int, None, 4},
    {"stdtitre", TITRE, Std, Txt, None, None, 0},
    {"stddetail", DETAIL, Std, Txt, None, None, 0},
    // Single forms.
    {"stdeas", EAD, Std, Sgl, Int, None, 4},
    {"stdrsas", RSAD, Std, Sgl, Int, None, 4},
    {"stdsas", SAD, Std, Sgl, Int, Sgl, 8},
    // Double forms, pushed left to right.
    {"eadouble", EAD, Ltr, Dbl, Dbl, None, 8},
    {"neadouble", NEAD, Ltr, Txt, Dbl, None, 8},
    {"sadouble", SAD, Ltr, Dbl, Dbl, Dbl, 16},
    {"nsadouble", NSAD, Ltr, Txt, Dbl, None, 8},
    {"rsadouble", RSAD, Ltr, Dbl, Dbl, None, 8},
    {"ebdouble", EB, Ltr, Dbl, Dbl, None, 8},
    {"nebdouble", NEB, Ltr, Txt, Dbl, None, 8},
    {"sbdouble", SB, Ltr, Dbl, Dbl, Dbl, 16},
    {"nsbdouble", NSB, Ltr, Txt, Dbl, None, 8},
    {"rsbdouble", RSB, Ltr, Dbl, Dbl, None, 8},
    // stdcall double forms.
    {"stdeadouble", EAD, Std, Dbl, Dbl, None, 8},
    {"stdneadouble", NEAD, Std, Txt, Dbl, None, 8},
    {"stdsadouble", SAD, Std, Dbl, Dbl, Dbl, 16},
    {"stdnsadouble", NSAD, Std, Txt, Dbl, None, 8},
    {"stdrsadouble", RSAD, Std, Dbl, Dbl, None, 8},
    {"stdebdouble", EB, Std, Dbl, Dbl, None, 8},
    {"stdnebdouble", NEB, Std, Txt, Dbl, None, 8},
    {"stdsbdouble", SB, Std, Dbl, Dbl, Dbl, 16},
    {"stdnsbdouble", NSB, Std, Txt, Dbl, None, 8},
    {"stdrsbdouble", RSB, Std, Dbl, Dbl, None, 8},
};
const unsigned FormCount = sizeof Forms / sizeof Forms[0];

struct ExportName {
    const char* name;
    unsigned ordinal;
};
// The export list of driver/exports.txt, turned into {"name", ordinal}, lines at build time.
const ExportName ExportList[] = {
#include "exports.inc"
};
const unsigned ExportCount = sizeof ExportList / sizeof ExportList[0];

const Form* FindForm(const char* name)
{
    for (const Form& f : Forms)
        if (strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Arguments and their placement.

struct Arg {
    Kind kind;
    uint64_t bits; // the value's own bits: 32 for Int, Sgl and Ptr, 64 for Dbl
};

Arg IntArg(int32_t v) { return {Int, uint32_t(v)}; }
Arg DblArg(uint64_t bits) { return {Dbl, bits}; }
Arg SglArg(uint32_t bits) { return {Sgl, bits}; }
Arg PtrArg(const void* p) { return {Ptr, uint32_t(uintptr_t(p))}; }

std::string Describe(const Arg& a)
{
    switch (a.kind) {
    case Int: return Format("%d", int32_t(a.bits));
    case Ptr: return Format("0x%08X", unsigned(a.bits));
    case Dbl: {
        double d = FromBits(a.bits);
        if (d != d)
            return Format("NaN(%016llX)", (unsigned long long)a.bits);
        return Format("%.17g", d);
    }
    case Sgl: {
        float f = SingleFromBits(uint32_t(a.bits));
        if (f != f)
            return Format("NaNf(%08X)", unsigned(a.bits));
        return Format("%.9gf", double(f));
    }
    default: return "?";
    }
}

struct Layout {
    uint32_t eax = 0, edx = 0, ecx = 0;
    std::vector<uint8_t> stack; // from ESP upwards, first byte nearest the return address
};

void Push(std::vector<uint8_t>& stack, const Arg& a)
{
    const unsigned n = a.kind == Dbl ? 8 : 4;
    for (unsigned i = 0; i < n; ++i)
        stack.push_back(uint8_t(a.bits >> (8 * i)));
}

// Where each argument goes in the form's convention.
Layout Place(Conv conv, const std::vector<Arg>& args)
{
    Layout l;
    if (conv == Reg) {
        uint32_t* regs[] = {&l.eax, &l.edx, &l.ecx};
        unsigned used = 0;
        std::vector<Arg> pushed;
        for (const Arg& a : args) {
            if (a.kind == Dbl)
                pushed.push_back(a);
            else
                *regs[used++] = uint32_t(a.bits);
        }
        // Doubles are pushed in declaration order: the last one ends up nearest.
        for (auto it = pushed.rbegin(); it != pushed.rend(); ++it)
            Push(l.stack, *it);
    } else if (conv == Std) {
        for (const Arg& a : args) // pushed last to first: the first ends up nearest
            Push(l.stack, a);
    } else {
        for (auto it = args.rbegin(); it != args.rend(); ++it) // pushed first to last
            Push(l.stack, *it);
    }
    return l;
}

// ---------------------------------------------------------------------------------------------
// Exceptions: x87 exceptions the host has unmasked arrive as exceptions; each is counted as a
// failure of the call in flight and the flags are cleared so that the program goes on. Any
// other fault during a call ends that call through the thunk's recovery path.

volatile LONG FloatTraps, LastTrapCode, CallFault;
volatile LONG StrayTraps; // outside any call: the program's own arithmetic
volatile bool InCall;

bool IsFloatException(DWORD code)
{
    switch (code) {
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case 0xC00002B4: // STATUS_FLOAT_MULTIPLE_FAULTS
    case 0xC00002B5: // STATUS_FLOAT_MULTIPLE_TRAPS
        return true;
    default: return false;
    }
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    CONTEXT* c = info->ContextRecord;
    if (IsFloatException(code)) {
        LastTrapCode = LONG(code);
        if (!InCall)
            ++StrayTraps;
        const LONG traps = ++FloatTraps;
        // Clear the exception flags, the error summary and the stack fault: the instruction
        // that took the trap then runs again without it. fxsave image: FCW at 0, FSW at 2,
        // MXCSR at 24.
        c->FloatSave.StatusWord &= ~0x80FFu;
        uint16_t fsw, fcw;
        uint32_t mxcsr;
        memcpy(&fsw, c->ExtendedRegisters + 2, 2);
        memcpy(&fcw, c->ExtendedRegisters + 0, 2);
        memcpy(&mxcsr, c->ExtendedRegisters + 24, 4);
        fsw &= 0x7F00;
        mxcsr &= ~0x3Fu;
        if (traps > 100) { // no progress: mask everything (the call is failed anyway)
            c->FloatSave.ControlWord |= 0x3F;
            fcw |= 0x3F;
            mxcsr |= 0x1F80;
        }
        memcpy(c->ExtendedRegisters + 2, &fsw, 2);
        memcpy(c->ExtendedRegisters + 0, &fcw, 2);
        memcpy(c->ExtendedRegisters + 24, &mxcsr, 4);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (InCall && (code & 0x80000000u)) {
        CallFault = LONG(code);
        InCall = false;
        c->Eip = DWORD(uintptr_t(&tiv_call_recover));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// ---------------------------------------------------------------------------------------------
// One call through the thunk.

const uint16_t HostControlWords[] = {0x1332, 0x037F}; // unmasked IE/ZE/OE, and all masked
const unsigned StackOffsets[] = {0, 4, 8, 12};
const uint16_t StatusErrors = 0x0001 | 0x0004 | 0x0008 | 0x0040; // IE, ZE, OE, SF

uint16_t WithRounding(uint16_t cw, int rc) { return uint16_t((cw & ~0x0C00) | (rc << 10)); }

struct CallRecord {
    TivState s;
    uint32_t sentinels[4];
    LONG fault;
    LONG floatTraps, trapCode;
};

uint32_t CallCounter;

// Laid on the stack just above the arguments, where the caller's own data would be.
const uint8_t Guard[TS_GUARD_BYTES] = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69, 0x0F, 0xF0,
                                       0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF1};

CallRecord RawCall(uint32_t target, const Layout& l, uint16_t cw, unsigned offset)
{
    std::vector<uint8_t> block(l.stack);
    block.insert(block.end(), Guard, Guard + TS_GUARD_BYTES);

    ++CallCounter;
    TivState& s = tiv_state;
    memset(&s, 0, sizeof s);
    s.target = target;
    s.eax = l.eax;
    s.edx = l.edx;
    s.ecx = l.ecx;
    s.block = block.data();
    s.argBytes = uint32_t(l.stack.size());
    s.blockBytes = uint32_t(block.size());
    s.offset = offset;
    s.controlWord = cw;
    const uint32_t salt = CallCounter * 0x01000193u;
    s.sentinels[0] = 0xEB0EB0E0u ^ salt;
    s.sentinels[1] = 0x51515151u ^ salt;
    s.sentinels[2] = 0xD1D1D1D1u ^ salt;
    s.sentinels[3] = 0xBE5EBE5Eu ^ salt;

    CallRecord r;
    memcpy(r.sentinels, s.sentinels, sizeof r.sentinels);
    FloatTraps = 0;
    CallFault = 0;
    InCall = true;
    tiv_call();
    InCall = false;
    r.fault = s.faulted ? CallFault : 0;
    r.floatTraps = FloatTraps;
    r.trapCode = LastTrapCode;
    r.s = s;
    return r;
}

bool GuardIntact(const CallRecord& r) { return memcmp(r.s.guardAfter, Guard, TS_GUARD_BYTES) == 0; }

unsigned Top(uint16_t sw) { return (sw >> 11) & 7; }
uint16_t TagWord(const uint8_t* env)
{
    uint16_t t;
    memcpy(&t, env + 8, 2);
    return t;
}

// What a call must leave as it found it: stack pointer where the convention puts it, the
// callee-saved registers, the direction flag, the caller's data above the arguments, the x87
// control word, no exception flag, and an x87 stack holding the floating result alone.
bool CheckMachine(const CallRecord& r, uint32_t removes, bool floatResult, uint16_t cw,
                  const std::string& ctx)
{
    if (!Check(r.fault == 0, ctx + Format(": the call faulted (exception 0x%08lX)", r.fault)))
        return false;
    const TivState& s = r.s;
    bool ok = true;
    const int32_t moved = int32_t(s.espAfter - s.espAtCall);
    ok &= Check(moved == int32_t(removes),
                ctx + Format(": callee removed %d stack bytes, the convention says %u", moved, removes));
    static const char* const RegNames[] = {"EBX", "ESI", "EDI", "EBP"};
    for (int i = 0; i < 4; ++i)
        ok &= Check(s.regsAfter[i] == r.sentinels[i], ctx + Format(": %s not preserved", RegNames[i]),
                    Format(" (0x%08X before, 0x%08X after)", r.sentinels[i], s.regsAfter[i]));
    ok &= Check(!(s.eflagsAfter & 0x400), ctx + ": direction flag left set");
    ok &= Check(GuardIntact(r), ctx + ": caller's stack above the arguments was overwritten");
    ok &= Check(s.cwAfter == cw,
                ctx + Format(": x87 control word 0x%04X after the call, was 0x%04X", s.cwAfter, cw));
    ok &= Check(!(s.swAfter & StatusErrors),
                ctx +
                    Format(": x87 exception flags raised:%s%s%s%s", s.swAfter & 1 ? " invalid" : "",
                           s.swAfter & 4 ? " zero-divide" : "", s.swAfter & 8 ? " overflow" : "",
                           s.swAfter & 0x40 ? " stack-fault" : ""),
                Format(" (status word 0x%04X)", s.swAfter));
    ok &= Check(r.floatTraps == 0, ctx + ": floating-point exception trapped",
                Format(" (%ld, last 0x%08lX)", r.floatTraps, r.trapCode));

    // The stack after the call: TOP one below the caller's with only that register in use for
    // a floating result, TOP unchanged and every register empty otherwise.
    const unsigned topBefore = Top(s.swBefore), topAfter = Top(s.swAfter);
    const uint16_t tags = TagWord(s.envAfter);
    unsigned used = 0;
    for (unsigned reg = 0; reg < 8; ++reg)
        if (((tags >> (2 * reg)) & 3) != 3)
            ++used;
    if (floatResult) {
        const unsigned want = (topBefore + 7) & 7;
        ok &= Check(s.hadFloat && used == 1 && topAfter == want && ((tags >> (2 * want)) & 3) != 3,
                    ctx + ": x87 stack should hold the result alone",
                    Format(" (%u register(s) in use, TOP %u -> %u, tag word 0x%04X)", used, topBefore,
                           topAfter, tags));
    } else {
        ok &= Check(used == 0 && topAfter == topBefore, ctx + ": x87 stack should be empty",
                    Format(" (%u register(s) in use, TOP %u -> %u, tag word 0x%04X)", used, topBefore,
                           topAfter, tags));
    }
    return ok;
}

// ---------------------------------------------------------------------------------------------
// The DLLs.

struct Meter {
    double main, temp;
    std::string mainLabel, tempLabel;
};
const Meter Fresh = {NoValue, NoValue, "xxxxxxxx", "xxxxxxx"};

struct Dll {
    const char* file;
    int port;
    HMODULE module = nullptr;
    uint32_t low = 0, high = 0; // the loaded image
    uint32_t address[sizeof Forms / sizeof Forms[0]] = {};
    Meter meter = Fresh; // what the DLL has decoded so far, as the checks expect it
    std::string title, detail;
};

bool InImage(const Dll& d, uint32_t p, uint32_t size)
{
    return p >= d.low && p + size <= d.high && p + size >= p;
}

const IMAGE_NT_HEADERS32* Headers(HMODULE m)
{
    const uint8_t* base = reinterpret_cast<const uint8_t*>(m);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
}

// The export directory as the loaded image holds it: exactly the names and ordinals of the
// export list, sorted for the loader's binary search, each a function in the code, and
// GetProcAddress by name and by ordinal agreeing with it.
void CheckExportDirectory(const Dll& d)
{
    const uint8_t* base = reinterpret_cast<const uint8_t*>(d.module);
    const IMAGE_NT_HEADERS32* nt = Headers(d.module);
    const std::string ctx = Format("%s export directory", d.file);
    Check(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_I386 &&
              (nt->FileHeader.Characteristics & IMAGE_FILE_DLL),
          ctx + ": not a 32-bit x86 DLL");
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!Check(dir.VirtualAddress != 0 && dir.Size != 0, ctx + ": missing"))
        return;
    const IMAGE_EXPORT_DIRECTORY* ed =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    Check(ed->Base == 1, ctx + Format(": ordinal base %lu, expected 1", ed->Base));
    Check(ed->NumberOfFunctions == ExportCount,
          ctx + Format(": %lu functions, expected %u", ed->NumberOfFunctions, ExportCount));
    Check(ed->NumberOfNames == ExportCount,
          ctx + Format(": %lu names, expected %u", ed->NumberOfNames, ExportCount));
    const DWORD* functions = reinterpret_cast<const DWORD*>(base + ed->AddressOfFunctions);
    const DWORD* names = reinterpret_cast<const DWORD*>(base + ed->AddressOfNames);
    const WORD* ordinals = reinterpret_cast<const WORD*>(base + ed->AddressOfNameOrdinals);

    // The section holding the code, for "each export is a function".
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto executable = [&](DWORD rva) {
        for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& sh = sections[i];
            if (rva >= sh.VirtualAddress && rva < sh.VirtualAddress + sh.Misc.VirtualSize)
                return (sh.Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
        }
        return false;
    };

    std::vector<bool> listed(ExportCount, false);
    const char* previous = "";
    for (DWORD i = 0; i < ed->NumberOfNames; ++i) {
        const char* name = reinterpret_cast<const char*>(base + names[i]);
        const unsigned ordinal = ed->Base + ordinals[i];
        Check(i == 0 || strcmp(previous, name) < 0,
              ctx + Format(": names not in ascending order at %s (after %s)", name, previous));
        previous = name;
        unsigned k = 0;
        while (k < ExportCount && strcmp(ExportList[k].name, name) != 0)
            ++k;
        if (!Check(k < ExportCount, ctx + Format(": unexpected export %s", Quote(name).c_str())))
            continue;
        Check(!listed[k], ctx + Format(": %s exported twice", name));
        listed[k] = true;
        Check(ordinal == ExportList[k].ordinal,
              ctx + Format(": %s has ordinal %u, expected %u", name, ordinal, ExportList[k].ordinal));
        if (ordinals[i] >= ed->NumberOfFunctions)
            continue;
        const DWORD rva = functions[ordinals[i]];
        Check(!(rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size),
              ctx + Format(": %s is a forwarder", name));
        Check(executable(rva), ctx + Format(": %s (RVA 0x%lX) is not in an executable section", name, rva));
        const FARPROC byName = GetProcAddress(d.module, name);
        const FARPROC byOrdinal = GetProcAddress(d.module, MAKEINTRESOURCEA(ExportList[k].ordinal));
        Check(
            uintptr_t(byName) == uintptr_t(base + rva),
            ctx +
                Format(": GetProcAddress(%s) = %p, the directory says %p", name, (void*)byName, base + rva));
        Check(byName == byOrdinal,
              ctx +
                  Format(": GetProcAddress by name %s = %p, by ordinal %u = %p", name, (void*)byName,
                         ExportList[k].ordinal, (void*)byOrdinal));
    }
    for (unsigned k = 0; k < ExportCount; ++k)
        Check(listed[k], ctx + Format(": %s is not exported", ExportList[k].name));
}

// The imports: nothing that writes to a port.
void CheckImports(const Dll& d)
{
    static const char* const Forbidden[] = {"WriteFile", "WriteFileEx", "WriteFileGather", "TransmitCommChar",
                                            "NtWriteFile"};
    const uint8_t* base = reinterpret_cast<const uint8_t*>(d.module);
    const IMAGE_NT_HEADERS32* nt = Headers(d.module);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return;
    for (const IMAGE_IMPORT_DESCRIPTOR* id =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         id->Name != 0; ++id) {
        const char* dll = reinterpret_cast<const char*>(base + id->Name);
        Check(_stricmp(dll, "KERNEL32.dll") == 0, Format("%s imports from %s", d.file, dll));
        const DWORD* thunk = reinterpret_cast<const DWORD*>(
            base + (id->OriginalFirstThunk ? id->OriginalFirstThunk : id->FirstThunk));
        for (; *thunk; ++thunk) {
            if (*thunk & IMAGE_ORDINAL_FLAG32)
                continue;
            const char* name = reinterpret_cast<const char*>(base + *thunk + 2);
            for (const char* f : Forbidden)
                Check(strcmp(name, f) != 0, Format("%s imports %s, which writes to a port", d.file, name));
        }
    }
}

bool Resolve(Dll& d)
{
    const IMAGE_NT_HEADERS32* nt = Headers(d.module);
    d.low = uint32_t(uintptr_t(d.module));
    d.high = d.low + nt->OptionalHeader.SizeOfImage;
    bool ok = true;
    for (unsigned i = 0; i < FormCount; ++i) {
        d.address[i] = uint32_t(uintptr_t(GetProcAddress(d.module, Forms[i].name)));
        ok &= Check(d.address[i] != 0, Format("%s: GetProcAddress(%s) failed", d.file, Forms[i].name));
    }
    return ok;
}

bool Load(Dll& d)
{
    d.module = LoadLibraryA(d.file);
    if (!Check(d.module != nullptr, Format("LoadLibrary(%s) failed, error %lu", d.file, GetLastError())))
        return false;
    d.meter = Fresh;
    return Resolve(d);
}

// ---------------------------------------------------------------------------------------------
// Expected results.

struct Expect {
    Kind kind;
    int32_t i = 0;
    double d = 0; // Dbl, and the double a Ptr result points to
    float f = 0;
    std::string text;
};

// The result of an export for these arguments, from the operations: channel 0 is the reading,
// channel 1 the temperature, any other channel has no value; the set/read-back/second-value
// operations have nothing behind them; sb echoes its channel. A double channel is rounded
// like a value, and one without an integer is no channel at all.
Expect Expected(const Dll& d, const Form& f, const std::vector<Arg>& args, int rc)
{
    bool noChannel = false;
    int32_t channel = 0;
    if (f.arg0 == Int)
        channel = int32_t(args[0].bits);
    else if (f.arg0 == Dbl) {
        int64_t r;
        if (RoundToInt64(FromBits(args[0].bits), rc, &r))
            channel = int32_t(uint32_t(uint64_t(r)));
        else
            noChannel = true;
    }
    const Meter& m = d.meter;
    double value = NoValue;
    std::string label;
    if (!noChannel && channel == 0) {
        value = m.main;
        label = m.mainLabel;
    } else if (!noChannel && channel == 1) {
        value = m.temp;
        label = m.tempLabel;
    }

    Expect e;
    e.kind = f.result;
    double number = NoValue;
    switch (f.op) {
    case EA: e.i = ToInt32(value, rc); return e;
    case EAD:
    case PEAD: number = value; break;
    case NEA:
    case NEAD: e.text = label; return e;
    case SA:
    case SAD:
    case RSA:
    case RSAD:
    case EB:
    case RSB:
    case PSAD: number = NoValue; break;
    case NSA:
    case NSAD:
    case NEB:
    case NSB: e.text = ""; return e;
    case SB: number = noChannel ? NoValue : double(channel); break;
    case TITRE: e.text = d.title; return e;
    case DETAIL: e.text = d.detail; return e;
    }
    e.i = int32_t(number);
    e.d = number;
    e.f = ToSingle(number, rc);
    return e;
}

std::string Describe80(const uint8_t* x)
{
    long double v;
    memcpy(&v, x, 10);
    uint16_t se;
    uint64_t mant;
    memcpy(&mant, x, 8);
    memcpy(&se, x + 8, 2);
    return Format("%.17g [%04X:%016llX]", double(v), se, (unsigned long long)mant);
}

bool CheckResult(const Dll& d, const CallRecord& r, const Expect& e, const std::string& ctx)
{
    const TivState& s = r.s;
    switch (e.kind) {
    case Int:
        return Check(int32_t(s.outEax) == e.i, ctx + Format(" = %d, expected %d", int32_t(s.outEax), e.i));
    case Dbl:
    case Sgl: {
        if (!s.hadFloat)
            return Check(false, ctx + ": no result in ST(0)");
        // Exactly the double (or single): same 80-bit image, sign of zero included.
        long double want = e.kind == Dbl ? (long double)e.d : (long double)e.f;
        uint8_t w[12] = {};
        memcpy(w, &want, 10);
        return Check(memcmp(s.st0, w, 10) == 0,
                     ctx + Format(" = %s, expected %s", Describe80(s.st0).c_str(), Describe80(w).c_str()));
    }
    case Txt: {
        const uint32_t p = s.outEax;
        if (!Check(InImage(d, p, 1), ctx + Format(": text at 0x%08X, outside the DLL", p)))
            return false;
        const char* text = reinterpret_cast<const char*>(uintptr_t(p));
        const size_t room = d.high - p;
        if (!Check(strnlen(text, room) < room, ctx + ": text not terminated inside the DLL"))
            return false;
        return Check(e.text == text,
                     ctx + Format(" = %s, expected %s", Quote(text).c_str(), Quote(e.text.c_str()).c_str()));
    }
    case Ptr: {
        const uint32_t p = s.outEax;
        if (!Check(InImage(d, p, 8), ctx + Format(": address 0x%08X, outside the DLL", p)))
            return false;
        double got;
        memcpy(&got, reinterpret_cast<const void*>(uintptr_t(p)), 8);
        return Check(Bits(got) == Bits(e.d), ctx + Format(" -> %.17g, expected %.17g", got, e.d));
    }
    default: return false;
    }
}

std::string CallText(const Dll& d, const Form& f, const std::vector<Arg>& args)
{
    std::string s = Format("%s %s(", d.file, f.name);
    for (size_t i = 0; i < args.size(); ++i)
        s += (i ? ", " : "") + Describe(args[i]);
    return s + ")";
}

unsigned FormIndex(const char* name)
{
    for (unsigned i = 0; i < FormCount; ++i)
        if (strcmp(Forms[i].name, name) == 0)
            return i;
    printf("hostcheck: no form %s\n", name);
    ExitProcess(2);
}

// Calls the export at each of the four stack offsets under the control word and checks each
// call. Returns the record of the last call.
CallRecord CallAndCheck(const Dll& d, unsigned form, const std::vector<Arg>& args, uint16_t cw,
                        const Expect& e, const char* note = nullptr)
{
    const Form& f = Forms[form];
    const Layout l = Place(f.conv, args);
    const std::string call = CallText(d, f, args);
    CallRecord r;
    for (unsigned offset : StackOffsets) {
        r = RawCall(d.address[form], l, cw, offset);
        const std::string ctx = call +
            Format(" [cw 0x%04X %s, ESP%%16=%u%s%s]", cw, RoundingName[(cw >> 10) & 3], offset,
                   note ? ", " : "", note ? note : "");
        if (CheckMachine(r, f.removes, f.result == Dbl || f.result == Sgl, cw, ctx))
            CheckResult(d, r, e, ctx);
    }
    return r;
}

// The export called as the host's default set-up calls it (all exceptions masked, nearest),
// expecting what the operations give for the DLL's current meter state.
void Call(const Dll& d, const char* name, std::vector<Arg> args, const char* note = nullptr)
{
    const unsigned form = FormIndex(name);
    CallAndCheck(d, form, args, 0x037F, Expected(d, Forms[form], args, Nearest), note);
}

// ---------------------------------------------------------------------------------------------
// The table of arguments.

const int32_t Channels[] = {INT_MIN, INT_MAX, -1, 0, 1, 2};
const int32_t SecondInts[] = {INT_MIN, 5, INT_MAX};
const uint64_t DoubleChannels[] = {
    0x0000000000000000, // 0
    0x8000000000000000, // -0
    Bits(0.5),          Bits(0.7),           Bits(1.0),  Bits(1.5),
    Bits(2.4),          Bits(2.5),           Bits(-0.4), Bits(-1.0),
    0x0000000000000001, // the smallest subnormal: channel 1 when rounding up
    Bits(4294967296.0), // 2^32: low 32 bits 0
    Bits(4294967297.0), // low 32 bits 1
    Bits(2147483647.0), Bits(-2147483648.0),
    0x43DFFFFFFFFFFFFF, // 2^63 - 1024, the largest double below 2^63
    0xC3E0000000000000, // -2^63: a 64-bit integer, low 32 bits 0
    0x43E0000000000000, // 2^63: no 64-bit integer
    Bits(1e300),        Bits(-1e300),
    0x7FF0000000000000, // +inf
    0xFFF0000000000000, // -inf
    0x7FF8000000000000, // quiet NaN
    0xFFF8000000000000, // negative quiet NaN
    0x7FF0000000000001, // signalling NaN
};
const uint64_t SecondDoubles[] = {Bits(5.0),          0x7FF8000000000000, 0x7FF0000000000001,
                                  0x7FF0000000000000, Bits(-1e300),       0x0000000000000001};
const uint32_t SecondSingles[] = {0x40200000 /* 2.5 */, 0x7FC00000 /* NaN */, 0x7F800001 /* signalling NaN */,
                                  0x7F800000 /* inf */, 0x00000001 /* smallest subnormal */};
const double OwnDouble = 3.25;
std::vector<const void*> SecondPointers; // set in main: null, an unreadable page, a stray value, a double

std::vector<std::vector<Arg>> ArgumentTable(const Form& f)
{
    std::vector<Arg> firsts, seconds;
    if (f.arg0 == Int)
        for (int32_t c : Channels)
            firsts.push_back(IntArg(c));
    if (f.arg0 == Dbl)
        for (uint64_t c : DoubleChannels)
            firsts.push_back(DblArg(c));
    switch (f.arg1) {
    case Int:
        for (int32_t v : SecondInts)
            seconds.push_back(IntArg(v));
        break;
    case Dbl:
        for (uint64_t v : SecondDoubles)
            seconds.push_back(DblArg(v));
        break;
    case Sgl:
        for (uint32_t v : SecondSingles)
            seconds.push_back(SglArg(v));
        break;
    case Ptr:
        for (const void* p : SecondPointers)
            seconds.push_back(PtrArg(p));
        break;
    default: break;
    }
    std::vector<std::vector<Arg>> table;
    if (f.arg0 == None)
        table.push_back({});
    for (const Arg& a : firsts) {
        if (seconds.empty())
            table.push_back({a});
        for (const Arg& b : seconds)
            table.push_back({a, b});
    }
    return table;
}

// Forms whose results depend on what the meter sent.
bool ReadsTheMeter(const Form& f)
{
    return f.op == EA || f.op == EAD || f.op == NEA || f.op == NEAD || f.op == PEAD;
}

// Every export (or only those that report the meter) with the table of arguments, under each
// host control word in each rounding mode, at each stack offset.
void Sweep(const Dll& d, bool meterFormsOnly, const char* note)
{
    const DWORD start = GetTickCount();
    const unsigned before = CallCounter;
    for (uint16_t host : HostControlWords)
        for (int rc = 0; rc < 4; ++rc) {
            const uint16_t cw = WithRounding(host, rc);
            for (unsigned i = 0; i < FormCount; ++i) {
                const Form& f = Forms[i];
                if (meterFormsOnly && !ReadsTheMeter(f))
                    continue;
                for (const std::vector<Arg>& args : ArgumentTable(f))
                    CallAndCheck(d, i, args, cw, Expected(d, f, args, rc), note);
            }
        }
    Info(Format("%s: %s sweep (%s): %u calls in %lu ms", d.file, meterFormsOnly ? "meter-form" : "full", note,
                CallCounter - before, GetTickCount() - start));
}

// ---------------------------------------------------------------------------------------------
// The meters.

struct Port {
    tivrel_meter m;
    bool open = false;
};

bool OpenMeter(Port& p, const char* name)
{
    p.open = tivrel_meter_open(&p.m, name) == 0;
    return Check(p.open, Format("meter %s: %s", name, p.m.error));
}

bool Send(Port& p, const std::string& bytes)
{
    if (!p.open)
        return false;
    if (!bytes.empty() && tivrel_meter_send(&p.m, bytes.data(), bytes.size()) != 0)
        return Check(false, p.m.error);
    return true;
}

bool Sync(Port& p) { return p.open && Check(tivrel_meter_sync(&p.m) == 0, p.m.error); }

// What the meter sends, and what the DLL reports once a channel-0 reading has decoded it.
struct Reading {
    const char* what;
    std::string bytes;
    bool decodes; // false: not a line the meter decodes; the last decode stands
    Meter meter; // what the DLL holds after a channel-0 reading of it
    bool fullSweep; // run every export over it, not only those that report it
};

const char* const Degrees = "T(\xB0"
                            "C)";

std::string RightAligned(const char* field, size_t width)
{
    const size_t n = strlen(field);
    if (n > width) {
        printf("hostcheck: field %s wider than %u\n", field, unsigned(width));
        ExitProcess(2);
    }
    return std::string(width - n, ' ') + field;
}

// The meter ends each line with CR LF; a line is read once its line feed has arrived. Position 1
// is the line feed that began the line (the previous line's end).
// A pH line: "pH" at positions 2-3, value at 5-9, temperature at 13-15.
std::string PhLine(const char* value, const char* temperature)
{
    return "pH " + RightAligned(value, 5) + "   " + RightAligned(temperature, 3) + "\r\n";
}

// An mV line: value at 2-6, "mV" at 7-8.
std::string MvLine(const char* value) { return RightAligned(value, 5) + "mV\r\n"; }

std::string Junk(unsigned lines)
{
    std::string s;
    for (unsigned i = 0; i < lines; ++i)
        s += Format("XYZ junk %04u\r\n", i);
    return s;
}

const std::vector<Reading>& Readings()
{
    const Meter none = {};
    static const std::vector<Reading> list = {
        {"pH line", PhLine("7.01", "25."), true, {7.01, 25.0, "pH", Degrees}, true},
        {"pH half", PhLine("7.5", "25."), true, {7.5, 25.0, "pH", Degrees}, true},
        {"negative pH and temperature", PhLine("-2.5", "-10"), true, {-2.5, -10.0, "pH", Degrees}, false},
        {"mV line", MvLine("-123"), true, {-123.0, NoValue, "mV", ""}, true},
        {"a line still arriving", "pH  3.33   18.", false, none, false},
        {"the end of that line", "\r\n", true, {3.33, 18.0, "pH", Degrees}, false},
        {"a line of neither kind", "XYZ garbage\r\n", false, none, false},
        {"three lines at once",
         PhLine("1.00", "20.") + PhLine("4.00", "21.") + PhLine("9.99", "22."),
         true,
         {9.99, 22.0, "pH", Degrees},
         false},
        {"a long burst", Junk(120) + MvLine("-50"), true, {-50.0, NoValue, "mV", ""}, false},
        {"NUL and 8-bit bytes between the fields",
         "pH  6.02" + std::string("\x00\xFF\x80", 3) + "30.\r\n",
         true,
         {6.02, 30.0, "pH", Degrees},
         false},
        {"an overlong line",
         "pH  5.55   19." + std::string(40, 'x') + "\r\n",
         true,
         {5.55, 19.0, "pH", Degrees},
         false},
        {"negative zero", PhLine("-0.0", "25."), true, {-0.0, 25.0, "pH", Degrees}, false},
        {"half to even", PhLine("6.5", "25."), true, {6.5, 25.0, "pH", Degrees}, false},
        {"beyond 64 bits and single range", PhLine("1e300", "25."), true, {1e300, 25.0, "pH", Degrees}, true},
        {"beyond 64 bits, temperature beyond 32",
         PhLine("9e99", "9e9"),
         true,
         {9e99, 9e9, "pH", Degrees},
         false},
        {"within 64 bits, beyond 32", PhLine("9e18", "25."), true, {9e18, 25.0, "pH", Degrees}, false},
        {"negative within 64 bits", PhLine("-9e18", "25."), true, {-9e18, 25.0, "pH", Degrees}, false},
        {"within single range", PhLine("3e38", "25."), true, {3e38, 25.0, "pH", Degrees}, false},
        {"beyond single range", PhLine("4e38", "25."), true, {4e38, 25.0, "pH", Degrees}, false},
        {"single subnormal", PhLine("1e-40", "25."), true, {1e-40, 25.0, "pH", Degrees}, false},
        {"below every single", PhLine("1e-99", "25."), true, {1e-99, 25.0, "pH", Degrees}, false},
        {"mV beyond 32 bits", MvLine("4.5e9"), true, {4.5e9, NoValue, "mV", ""}, false},
    };
    return list;
}

// What a host sees of a reading that has just arrived: label queries and channel 1 report the
// last decode (the label query drains the port but does not decode), a channel-0 reading
// decodes it, and then every channel reports it.
void Take(Dll& d, const Reading& r)
{
    const std::string note = Format("after %s", r.what);
    Call(d, "nea", {IntArg(0)}, (note + ", before decoding").c_str());
    Call(d, "ea", {IntArg(1)}, (note + ", before decoding").c_str());
    if (r.decodes)
        d.meter = r.meter;
    Call(d, "ea", {IntArg(0)}, note.c_str());
    Call(d, "ead", {IntArg(0)}, note.c_str());
    Call(d, "ea", {IntArg(1)}, note.c_str());
    Call(d, "nea", {IntArg(0)}, note.c_str());
    Call(d, "nea", {IntArg(1)}, note.c_str());
}

// Results by address stay readable and unchanged while other exports run.
void CheckAddressesOutliveLaterCalls(const Dll& d)
{
    const uint16_t cw = 0x037F;
    const CallRecord value = RawCall(d.address[FormIndex("pead")], Place(Reg, {IntArg(0)}), cw, 0);
    const CallRecord none =
        RawCall(d.address[FormIndex("psad")], Place(Reg, {IntArg(1), PtrArg(nullptr)}), cw, 0);
    const CallRecord label = RawCall(d.address[FormIndex("nea")], Place(Reg, {IntArg(0)}), cw, 0);
    if (!Check(!value.fault && !none.fault && !label.fault && InImage(d, value.s.outEax, 8) &&
                   InImage(d, none.s.outEax, 8) && InImage(d, label.s.outEax, 1),
               Format("%s: pead/psad/nea results are not addresses inside the DLL", d.file)))
        return;
    for (const char* name : {"ea", "ead", "titre", "sad", "stdeas"}) {
        const Form& f = Forms[FormIndex(name)];
        std::vector<Arg> args = {IntArg(1)};
        if (f.arg1 == Dbl)
            args.push_back(DblArg(Bits(2.0)));
        if (f.arg0 == None)
            args.clear();
        RawCall(d.address[FormIndex(name)], Place(f.conv, args), cw, 0);
    }
    double v, n;
    memcpy(&v, reinterpret_cast<const void*>(uintptr_t(value.s.outEax)), 8);
    memcpy(&n, reinterpret_cast<const void*>(uintptr_t(none.s.outEax)), 8);
    Check(Bits(v) == Bits(d.meter.main),
          Format("%s: *pead(0) became %.17g after later calls, expected %.17g", d.file, v, d.meter.main));
    Check(n == NoValue, Format("%s: *psad(1, NULL) became %.17g after later calls", d.file, n));
    const char* text = reinterpret_cast<const char*>(uintptr_t(label.s.outEax));
    Check(d.meter.mainLabel == text,
          Format("%s: the nea(0) label became %s after later calls", d.file, Quote(text).c_str()));
}

// LoadLibrary and FreeLibrary as a host with unmasked exceptions makes them: through the thunk
// under control word 0x1332, so that the DLL's start-up and shut-down run under it too.
HMODULE LoadUnderHostControlWord(const char* file)
{
    Layout l = Place(Std, {PtrArg(file)});
    CallRecord r = RawCall(uint32_t(uintptr_t(&LoadLibraryA)), l, 0x1332, 4);
    CheckMachine(r, 4, false, 0x1332, Format("LoadLibraryA(%s) under cw 0x1332", file));
    return r.fault ? nullptr : reinterpret_cast<HMODULE>(uintptr_t(r.s.outEax));
}

bool FreeUnderHostControlWord(HMODULE m, const char* file)
{
    Layout l = Place(Std, {PtrArg(m)});
    CallRecord r = RawCall(uint32_t(uintptr_t(&FreeLibrary)), l, 0x1332, 12);
    CheckMachine(r, 4, false, 0x1332, Format("FreeLibrary(%s) under cw 0x1332", file));
    return !r.fault && r.s.outEax != 0;
}

// ---------------------------------------------------------------------------------------------
// The runs.

void SetUp(Dll& d, int port)
{
    d.port = port;
    d.title = Format("phm\xE8tre Handylab2 en Com%d:", port);
    d.detail =
        Format("DLL pour phm\xE8tre Schott Handylab2 en com%d:, par Vosquet, le 23 janvier 2003", port);
}

void CheckTables()
{
    // The convention table here and the export list describe the same 58 names.
    Check(ExportCount == 58, Format("the export list has %u names, expected 58", ExportCount));
    Check(FormCount == ExportCount,
          Format("%u forms described here, %u exports listed", FormCount, ExportCount));
    for (const ExportName& e : ExportList)
        Check(FindForm(e.name) != nullptr,
              Format("export %s has no calling convention described here", e.name));
}

void CheckFreshState(Dll& d)
{
    Call(d, "nea", {IntArg(0)}, "right after load");
    Call(d, "nea", {IntArg(1)}, "right after load");
    Call(d, "ea", {IntArg(0)}, "right after load");
    Call(d, "ead", {IntArg(0)}, "right after load");
    Call(d, "ea", {IntArg(1)}, "right after load");
}

int RunNoPort(Dll* dlls)
{
    for (int i = 0; i < 2; ++i) {
        Dll& d = dlls[i];
        if (!Load(d))
            continue;
        CheckExportDirectory(d);
        CheckFreshState(d);
        Sweep(d, false, "no port");
        CheckFreshState(d); // reading a missing port changes nothing
    }
    for (int i = 0; i < 2; ++i)
        if (dlls[i].module)
            Check(FreeLibrary(dlls[i].module) != 0, Format("FreeLibrary(%s) failed", dlls[i].file));
    return 0;
}

int RunRelay(Dll* dlls)
{
    Port ports[2];
    for (int i = 0; i < 2; ++i) {
        if (!OpenMeter(ports[i], i == 0 ? "COM1" : "COM2") || !Load(dlls[i]))
            return 1;
        printf("range %s %08X %08X\n", dlls[i].file, dlls[i].low, dlls[i].high);
    }
    for (int i = 0; i < 2; ++i) {
        const Reading& r = Readings()[i == 0 ? 0 : 3];
        Send(ports[i], r.bytes);
        Sync(ports[i]);
        Take(dlls[i], r);
    }
    for (int i = 0; i < 2; ++i)
        Check(FreeLibrary(dlls[i].module) != 0, Format("FreeLibrary(%s) failed", dlls[i].file));
    return 0;
}

int RunFull(Dll* dlls)
{
    Port ports[2];
    if (!OpenMeter(ports[0], "COM1") || !OpenMeter(ports[1], "COM2"))
        return 1;
    Dll& one = dlls[0];
    Dll& two = dlls[1];
    Info("meters open");
    if (!Load(one) || !Load(two))
        return 1;
    Info("both DLLs loaded");
    for (int i = 0; i < 2; ++i) {
        CheckExportDirectory(dlls[i]);
        CheckImports(dlls[i]);
        CheckFreshState(dlls[i]);
        Sweep(dlls[i], false, "right after load");
    }

    // Each DLL has its own port and its own state.
    Info("readings: each DLL has its own port");
    const std::vector<Reading>& readings = Readings();
    Send(ports[0], readings[0].bytes);
    Sync(ports[0]);
    Take(one, readings[0]);
    Call(two, "ea", {IntArg(0)}, "COM2 has received nothing");
    Call(two, "nea", {IntArg(0)}, "COM2 has received nothing");
    Send(ports[1], readings[3].bytes);
    Sync(ports[1]);
    Take(two, readings[3]);
    Call(one, "ea", {IntArg(0)}, "COM1 has received nothing new");
    Call(one, "nea", {IntArg(0)}, "COM1 has received nothing new");
    Call(one, "ea", {IntArg(1)}, "COM1 has received nothing new");

    // The readings, COM1 from the first and COM2 from the middle of the list, both ports fed
    // before either is read. (A line still arriving and its end stay next to each other.)
    const size_t n = readings.size();
    for (size_t i = 0; i < n; ++i) {
        const Reading& r1 = readings[i];
        const Reading& r2 = readings[(i + n / 2) % n];
        Info(Format("readings: COM1 %s, COM2 %s", r1.what, r2.what));
        Send(ports[0], r1.bytes);
        Send(ports[1], r2.bytes);
        Sync(ports[0]);
        Sync(ports[1]);
        Take(one, r1);
        Take(two, r2);
        if (r1.decodes)
            Sweep(one, !r1.fullSweep, r1.what);
        if (r2.decodes)
            Sweep(two, !r2.fullSweep, r2.what);
    }
    for (int i = 0; i < 2; ++i)
        CheckAddressesOutliveLaterCalls(dlls[i]);

    // Unloading closes the port and loading again opens it again, with a fresh state.
    Info("unloading tivrel1.dll and loading it again");
    Send(ports[0], readings[1].bytes);
    Sync(ports[0]);
    Take(one, readings[1]);
    if (Check(FreeUnderHostControlWord(one.module, one.file), "FreeLibrary(tivrel1.dll) failed")) {
        Check(GetModuleHandleA(one.file) == nullptr, "tivrel1.dll is still loaded after FreeLibrary");
        one.module = LoadUnderHostControlWord(one.file);
        if (Check(one.module != nullptr, "loading tivrel1.dll again failed") && Resolve(one)) {
            one.meter = Fresh;
            CheckExportDirectory(one);
            CheckFreshState(one);
            Send(ports[0], readings[3].bytes);
            Sync(ports[0]);
            Take(one, readings[3]);
            Send(ports[0], readings[0].bytes);
            Sync(ports[0]);
            Take(one, readings[0]);
            Sweep(one, true, "loaded again");
        }
    }
    Call(two, "ea", {IntArg(0)}, "tivrel1.dll was unloaded and loaded again");
    Call(two, "nea", {IntArg(0)}, "tivrel1.dll was unloaded and loaded again");

    for (int i = 0; i < 2; ++i)
        if (dlls[i].module)
            Check(FreeLibrary(dlls[i].module) != 0, Format("FreeLibrary(%s) failed", dlls[i].file));
    for (Port& p : ports)
        tivrel_meter_close(&p.m);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "full") != 0 && strcmp(mode, "noport") != 0 && strcmp(mode, "relay") != 0) {
        printf("usage: hostcheck full|noport|relay\n");
        return 2;
    }
    AddVectoredExceptionHandler(1, OnException);
    void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    SecondPointers = {nullptr, unreadable, reinterpret_cast<const void*>(uintptr_t(0x10)), &OwnDouble};

    Dll dlls[2];
    dlls[0].file = "tivrel1.dll";
    dlls[1].file = "tivrel2.dll";
    SetUp(dlls[0], 1);
    SetUp(dlls[1], 2);
    CheckTables();

    const DWORD start = GetTickCount();
    if (strcmp(mode, "full") == 0)
        RunFull(dlls);
    else if (strcmp(mode, "noport") == 0)
        RunNoPort(dlls);
    else
        RunRelay(dlls);
    Check(StrayTraps == 0, "a floating-point exception was trapped outside the calls");
    Info(Format("%u calls in %lu ms", CallCounter, GetTickCount() - start));
    if (Repeated)
        printf("(%u of the failures repeat one shown above under another control word or stack offset)\n",
               Repeated);
    printf("hostcheck %s: %u passed, %u failed\n", mode, Passed, Failed);
    fflush(stdout);
    return Failed ? 1 : 0;
}
