// The fault matrix, in-process against the scripted port: a missing port, reads that fail while
// bytes are reported waiting, a port that never stops delivering, unload and reload; and every
// export under each floating-point setting a host may run with (the x87 control words 0x037F
// and 0x1332 -- invalid, zero-divide and overflow unmasked -- each with the four rounding
// modes), with extreme arguments and extreme fields in the frame.
//
// Each row: every call returns (a watchdog ends the run otherwise), nothing crashes, results are
// as defined, and around every call the floating-point state is checked: the control word (and
// MXCSR) unchanged, no invalid, zero-divide or overflow flag raised, no stack fault, and the
// x87 stack as it was (TOP and tag word), so nothing is left behind on it. The scripted port has
// no way to send: nothing can be written to it.
//
// On 32-bit x86 the arithmetic runs on the x87. Under qemu-i386 an unmasked exception does not
// trap, but its status flag is set, which is what the checks look at; on x86-64 the exceptions
// are also unmasked in MXCSR, where they would trap.
#include "driver/exports.h"
#include "driver/lifecycle.h"
#include "meter/number.h"
#include "tests/fake_port.h"
#include "tests/reference.h"
#include "tests/watchdog.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cmath>
#include <float.h>
#include <string.h>
#include <string>

namespace {

using std::string;

const char* const Degrees = "T(\xB0" "C)";
const char* const Title = "phm\xE8tre Handylab2 en Com1:";
const char* const Detail =
    "DLL pour phm\xE8tre Schott Handylab2 en com1:, par Vosquet, le 23 janvier 2003";

// ---- The floating-point environment a host may call with --------------------------------

struct FpSetting {
    string name;
    uint16_t controlWord; // x87: masks, precision and rounding bits
    int mode;             // the same rounding mode for <cfenv> (and MXCSR)
    bool unmasked;        // invalid, zero-divide and overflow unmasked
};

std::vector<FpSetting> Settings()
{
    struct Mode {
        const char* name;
        int mode;
        uint16_t bits; // x87 rounding control
    };
    const Mode modes[] = {{"nearest", FE_TONEAREST, 0x000},
                          {"down", FE_DOWNWARD, 0x400},
                          {"up", FE_UPWARD, 0x800},
                          {"toward zero", FE_TOWARDZERO, 0xC00}};
    std::vector<FpSetting> all;
    for (uint16_t word : {uint16_t(0x037F), uint16_t(0x1332)}) {
        for (const Mode& m : modes) {
            char name[64];
            const uint16_t cw = uint16_t((word & ~0x0C00) | m.bits);
            snprintf(name, sizeof name, "control word %04X (%s)", cw, m.name);
            all.push_back({name, cw, m.mode, word == 0x1332});
        }
    }
    return all;
}

const FpSetting Default = {"control word 037F (nearest)", 0x037F, FE_TONEAREST, false};

struct FpuState {
    uint16_t cw, sw, tw;
    uint32_t mxcsr;
};

constexpr uint16_t FlagsChecked = 0x0D; // invalid, zero-divide, overflow
constexpr uint16_t StackFault = 0x40;

FpuState ReadFpu()
{
    FpuState s{};
#if defined(__i386__) || defined(__x86_64__)
    // fnstenv masks every exception as a side effect: fldenv puts the state back as it was.
    struct {
        uint32_t cw, sw, tw, rest[4];
    } env;
    asm volatile("fnstenv %0\n\tfldenv %0"
                 : "+m"(env)
                 :
                 : "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)");
    s.cw = uint16_t(env.cw);
    s.sw = uint16_t(env.sw);
    s.tw = uint16_t(env.tw);
#endif
#if defined(__x86_64__)
    asm volatile("stmxcsr %0" : "=m"(s.mxcsr) : : "memory");
#endif
    return s;
}

void SetFpu(const FpSetting& f)
{
    fesetround(f.mode);
    fedisableexcept(FE_ALL_EXCEPT);
    if (f.unmasked)
        feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
#if defined(__i386__) || defined(__x86_64__)
    asm volatile("fldcw %0" : : "m"(f.controlWord) : "memory");
#endif
    feclearexcept(FE_ALL_EXCEPT);
}

void ResetFpu()
{
    fedisableexcept(FE_ALL_EXCEPT);
    fesetround(FE_TONEAREST);
#if defined(__i386__) || defined(__x86_64__)
    const uint16_t cw = 0x037F;
    asm volatile("fldcw %0" : : "m"(cw) : "memory");
#endif
    feclearexcept(FE_ALL_EXCEPT);
}

// ---- Expected results ---------------------------------------------------------------------

// What the meter showed at the last channel-0 reading.
struct Reading {
    const char* line; // sent since load
    double main, temperature;
    const char* mainLabel;
    const char* tempLabel;
};

const Reading AtLoad = {"", NoValue, NoValue, "xxxxxxxx", "xxxxxxx"};

double ValueOf(const Reading& r, int32_t channel)
{
    return channel == 0 ? r.main : channel == 1 ? r.temperature : NoValue;
}

const char* LabelOf(const Reading& r, int32_t channel)
{
    return channel == 0 ? r.mainLabel : channel == 1 ? r.tempLabel : "";
}

template <class T>
bool SameBits(T a, T b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// ---- Calling an export and checking it -----------------------------------------------------

struct Call {
    const FpSetting& fp;
    const Reading& reading;
    const char* name;
    int count; // of the arguments shown
    double arg1, arg2;
};

std::ostream& operator<<(std::ostream& o, const Call& c)
{
    o << c.name << "(";
    if (c.count > 0)
        o << c.arg1;
    if (c.count > 1)
        o << ", " << c.arg2;
    string line;
    for (char ch : string(c.reading.line))
        line += ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : string(1, ch);
    return o << ") after \"" << line << "\" under " << c.fp.name;
}

// Calls f under the call's floating-point setting and checks the state around the call. The
// result is stored before the state is read, so that a double result has left the x87 stack.
template <class F>
auto Probe(const Call& c, F f) -> decltype(f())
{
    using R = decltype(f());
    SetFpu(c.fp);
    const FpuState before = ReadFpu();
    volatile R result = f();
    const FpuState after = ReadFpu();
    const int flagged = fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    ResetFpu();

    if (after.cw != before.cw)
        ADD_FAILURE() << c << ": control word " << std::hex << before.cw << " became " << after.cw;
    if ((after.sw & (FlagsChecked | StackFault)) != 0 || flagged != 0)
        ADD_FAILURE() << c << ": raised x87 status " << std::hex << after.sw << " / flags "
                      << flagged;
    if ((after.sw & 0x3800) != (before.sw & 0x3800) || after.tw != before.tw)
        ADD_FAILURE() << c << ": x87 stack changed: TOP " << ((before.sw >> 11) & 7) << " -> "
                      << ((after.sw >> 11) & 7) << ", tags " << std::hex << before.tw << " -> "
                      << after.tw;
    if ((after.mxcsr & ~0x3Fu) != (before.mxcsr & ~0x3Fu) || (after.mxcsr & FlagsChecked) != 0)
        ADD_FAILURE() << c << ": MXCSR " << std::hex << before.mxcsr << " became " << after.mxcsr;
    return result;
}

template <class F>
void ExpectInt(const Call& c, F f, int32_t expected)
{
    const int32_t got = Probe(c, f);
    if (got != expected)
        ADD_FAILURE() << c << " gave " << got << ", expected " << expected;
}

template <class F>
void ExpectDouble(const Call& c, F f, double expected)
{
    const double got = Probe(c, f);
    if (!SameBits(got, expected))
        ADD_FAILURE() << c << " gave " << got << ", expected " << expected;
}

template <class F>
void ExpectSingle(const Call& c, F f, float expected)
{
    const float got = Probe(c, f);
    if (!SameBits(got, expected))
        ADD_FAILURE() << c << " gave " << got << ", expected " << expected;
}

template <class F>
void ExpectText(const Call& c, F f, const char* expected)
{
    const char* got = Probe(c, f);
    if (got == nullptr || strcmp(got, expected) != 0)
        ADD_FAILURE() << c << " gave \"" << (got ? got : "(null)") << "\", expected \""
                      << expected << "\"";
}

template <class F>
void ExpectAddressOf(const Call& c, F f, double expected)
{
    const double* got = Probe(c, f);
    if (got == nullptr || !SameBits(*got, expected))
        ADD_FAILURE() << c << " gave " << (got ? *got : 0.0) << ", expected " << expected;
}

// Extreme arguments.
const int32_t IntChannels[] = {INT_MIN, INT_MAX, -1, 0, 1, 2};
const double DoubleChannels[] = {0.5, 0.7, 1.5, 2.4, -0.5, -1.5, 0.0, -0.0, 1.0, 2.0,
                                 NAN, INFINITY, -INFINITY, 1e300, -1e300,
                                 4.9406564584124654e-324, -4.9406564584124654e-324,
                                 2.2250738585072009e-308, 4294967296.0, 2147483648.5,
                                 9223372036854774784.0, 9223372036854775808.0,
                                 -9223372036854775808.0};
const double DoubleValues[] = {0.5, NAN, INFINITY, -1e300, 4.9406564584124654e-324};
const float SingleValues[] = {0.5f, NAN, INFINITY, -INFINITY, FLT_MAX, 1.4e-45f, -0.0f};

// Every one of the 58 exports, with every extreme argument, under one floating-point setting.
void CallEveryExport(const FpSetting& fp, const Reading& r)
{
    const int mode = fp.mode;
    for (int32_t n : IntChannels) {
        const double v = ValueOf(r, n);
        const char* label = LabelOf(r, n);
        auto call = [&](const char* name) { return Call{fp, r, name, 1, double(n), 0}; };
        auto call2 = [&](const char* name, double second) {
            return Call{fp, r, name, 2, double(n), second};
        };
        ExpectInt(call("ea"), [&] { return ea(n); }, Rounded(v, mode));
        ExpectInt(call("stdea"), [&] { return stdea(n); }, Rounded(v, mode));
        ExpectDouble(call("ead"), [&] { return ead(n); }, v);
        ExpectDouble(call("stdead"), [&] { return stdead(n); }, v);
        ExpectSingle(call("stdeas"), [&] { return stdeas(n); }, Single(v, mode));
        ExpectAddressOf(call("pead"), [&] { return pead(n); }, v);
        ExpectText(call("nea"), [&] { return nea(n); }, label);
        ExpectText(call("nead"), [&] { return nead(n); }, label);
        ExpectText(call("stdnea"), [&] { return stdnea(n); }, label);
        ExpectText(call("stdnead"), [&] { return stdnead(n); }, label);

        // Operations of channel kinds this meter does not have.
        ExpectInt(call2("sa", n), [&] { return sa(n, n); }, -777);
        ExpectInt(call2("stdsa", n), [&] { return stdsa(n, n); }, -777);
        for (double x : DoubleValues) {
            ExpectDouble(call2("sad", x), [&] { return sad(n, x); }, NoValue);
            ExpectDouble(call2("stdsad", x), [&] { return stdsad(n, x); }, NoValue);
            ExpectAddressOf(call2("psad", x), [&] { return psad(n, &x); }, NoValue);
        }
        ExpectAddressOf(call("psad"), [&] { return psad(n, nullptr); }, NoValue);
        for (float x : SingleValues)
            ExpectSingle(call2("stdsas", x), [&] { return stdsas(n, x); }, float(NoValue));
        ExpectInt(call("rsa"), [&] { return rsa(n); }, -777);
        ExpectDouble(call("rsad"), [&] { return rsad(n); }, NoValue);
        ExpectDouble(call("stdrsad"), [&] { return stdrsad(n); }, NoValue);
        ExpectSingle(call("stdrsas"), [&] { return stdrsas(n); }, float(NoValue));
        ExpectInt(call("eb"), [&] { return eb(n); }, -777);
        ExpectInt(call("stdeb"), [&] { return stdeb(n); }, -777);
        ExpectInt(call("rsb"), [&] { return rsb(n); }, -777);
        ExpectInt(call("stdrsb"), [&] { return stdrsb(n); }, -777);
        ExpectInt(call2("sb", INT_MIN), [&] { return sb(n, INT_MIN); }, n);
        ExpectInt(call2("stdsb", INT_MAX), [&] { return stdsb(n, INT_MAX); }, n);
        ExpectText(call("nsa"), [&] { return nsa(n); }, "");
        ExpectText(call("nsad"), [&] { return nsad(n); }, "");
        ExpectText(call("stdnsa"), [&] { return stdnsa(n); }, "");
        ExpectText(call("stdnsad"), [&] { return stdnsad(n); }, "");
        ExpectText(call("neb"), [&] { return neb(n); }, "");
        ExpectText(call("stdneb"), [&] { return stdneb(n); }, "");
        ExpectText(call("nsb"), [&] { return nsb(n); }, "");
        ExpectText(call("stdnsb"), [&] { return stdnsb(n); }, "");
    }
    ExpectText(Call{fp, r, "titre", 0, 0, 0}, [] { return titre(); }, Title);
    ExpectText(Call{fp, r, "stdtitre", 0, 0, 0}, [] { return stdtitre(); }, Title);
    ExpectText(Call{fp, r, "detail", 0, 0, 0}, [] { return detail(); }, Detail);
    ExpectText(Call{fp, r, "stddetail", 0, 0, 0}, [] { return stddetail(); }, Detail);

    for (double d : DoubleChannels) {
        const int32_t n = Rounded(d, mode); // the channel the double names
        const double v = ValueOf(r, n);
        const char* label = LabelOf(r, n);
        auto call = [&](const char* name) { return Call{fp, r, name, 1, d, 0}; };
        auto call2 = [&](const char* name, double second) {
            return Call{fp, r, name, 2, d, second};
        };
        ExpectDouble(call("eadouble"), [&] { return eadouble(d); }, v);
        ExpectDouble(call("stdeadouble"), [&] { return stdeadouble(d); }, v);
        ExpectText(call("neadouble"), [&] { return neadouble(d); }, label);
        ExpectText(call("stdneadouble"), [&] { return stdneadouble(d); }, label);
        for (double x : DoubleValues) {
            ExpectDouble(call2("sadouble", x), [&] { return sadouble(TIV_LTR_ARGS(d, x)); }, NoValue);
            ExpectDouble(call2("stdsadouble", x), [&] { return stdsadouble(d, x); }, NoValue);
            ExpectDouble(call2("sbdouble", x), [&] { return sbdouble(TIV_LTR_ARGS(d, x)); }, double(n));
            ExpectDouble(call2("stdsbdouble", x), [&] { return stdsbdouble(d, x); }, double(n));
        }
        ExpectDouble(call("rsadouble"), [&] { return rsadouble(d); }, NoValue);
        ExpectDouble(call("stdrsadouble"), [&] { return stdrsadouble(d); }, NoValue);
        ExpectDouble(call("ebdouble"), [&] { return ebdouble(d); }, -777.0);
        ExpectDouble(call("stdebdouble"), [&] { return stdebdouble(d); }, -777.0);
        ExpectDouble(call("rsbdouble"), [&] { return rsbdouble(d); }, -777.0);
        ExpectDouble(call("stdrsbdouble"), [&] { return stdrsbdouble(d); }, -777.0);
        ExpectText(call("nsadouble"), [&] { return nsadouble(d); }, "");
        ExpectText(call("stdnsadouble"), [&] { return stdnsadouble(d); }, "");
        ExpectText(call("nebdouble"), [&] { return nebdouble(d); }, "");
        ExpectText(call("stdnebdouble"), [&] { return stdnebdouble(d); }, "");
        ExpectText(call("nsbdouble"), [&] { return nsbdouble(d); }, "");
        ExpectText(call("stdnsbdouble"), [&] { return stdnsbdouble(d); }, "");
    }
}

class Faults : public ::testing::Test {
protected:
    Watchdog watchdog{120};
    void SetUp() override
    {
        ResetFpu();
        fakeport::Reset();
    }
    void TearDown() override
    {
        LibraryStop(false);
        ResetFpu();
    }
};

// ---- Host floating-point settings ----------------------------------------------------------

// Lines whose fields reach the edges: halves, a signed zero, values beyond 32 and 64 bits and
// beyond a single, the largest and smallest a 5-character field holds, fields that fail.
const Reading Lines[] = {
    {"\npH  7.01   25.\r\n", 7.01, 25.0, "pH", Degrees},
    {"\npH   7.5   -2.\r\n", 7.5, -2.0, "pH", Degrees},
    {"\npH  -2.5   0.5\r\n", -2.5, 0.5, "pH", Degrees},
    {"\npH    -0   -.5\r\n", -0.0, -0.5, "pH", Degrees},
    {"\npH 1e300   1e9\r\n", 1e300, 1e9, "pH", Degrees},
    {"\npH 35e37   25.\r\n", 3.5e38, 25.0, "pH", Degrees},
    {"\npH 34e37   25.\r\n", 3.4e38, 25.0, "pH", Degrees},
    {"\npH 1e999   9e9\r\n", NoValue, 9e9, "pH", Degrees},
    {"\npH   2 5    1 \r\n", NoValue, NoValue, "pH", Degrees},
    {"\n 9e99mV\r\n", 9e99, NoValue, "mV", ""},
    {"\n-1e99mV\r\n", -1e99, NoValue, "mV", ""},
    {"\n4.5e9mV\r\n", 4.5e9, NoValue, "mV", ""},
    {"\n1e-99mV\r\n", 1e-99, NoValue, "mV", ""},
};

TEST_F(Faults, EveryExportUnderEveryHostFloatingPointSetting)
{
    const std::vector<FpSetting> settings = Settings();
    LibraryStart();
    for (const FpSetting& fp : settings)
        CallEveryExport(fp, AtLoad);
    LibraryStop(false);

    for (const Reading& r : Lines) {
        fakeport::Reset();
        LibraryStart();
        fakeport::Feed(r.line);
        ead(0); // the reading every call below sees
        for (const FpSetting& fp : settings)
            CallEveryExport(fp, r);
        LibraryStop(false);
    }
}

// ---- Port faults ---------------------------------------------------------------------------

const Reading PhLine = {"\npH  7.01   25.\r\n", 7.01, 25.0, "pH", Degrees};

struct PortFault {
    const char* what;
    bool openFails;
    bool readingFirst;        // a line is read before the fault starts
    void (*fault)();          // what goes wrong after load (and after that reading)
    unsigned maxReadsPerDrain;
};

const PortFault portFaults[] = {
    {"port missing", true, false, [] { fakeport::Feed(PhLine.line); }, 0},
    {"reads fail while bytes are waiting", false, false,
     [] {
         fakeport::Feed(PhLine.line);
         fakeport::SetReadsFail(true);
     },
     1},
    {"reads fail after a reading", false, true,
     [] {
         fakeport::Feed("\n  -50mV\r\n");
         fakeport::SetReadsFail(true);
     },
     1},
    // An endless stream: always 255 bytes waiting. A drain stops after 64 KiB.
    {"flood from load on", false, false, [] { fakeport::SetFlood(true); }, 258},
    {"flood after a reading", false, true, [] { fakeport::SetFlood(true); }, 258},
};

TEST_F(Faults, PortFaultsLeaveEveryCallReturningWithDefinedValues)
{
    for (const PortFault& f : portFaults) {
        SCOPED_TRACE(f.what);
        fakeport::Reset();
        fakeport::SetOpenFails(f.openFails);
        LibraryStart();
        if (f.readingFirst) {
            fakeport::Feed(PhLine.line);
            ASSERT_EQ(ead(0), PhLine.main);
        }
        f.fault();
        const Reading& expected = f.readingFirst ? PhLine : AtLoad;

        // One channel-0 reading: its cost on the port is bounded.
        const fakeport::Calls before = fakeport::Counted();
        EXPECT_EQ(ead(0), expected.main);
        const fakeport::Calls after = fakeport::Counted();
        EXPECT_LE(after.reads - before.reads, f.maxReadsPerDrain);
        EXPECT_LE(after.queries - before.queries, f.maxReadsPerDrain + 1);

        CallEveryExport(Default, expected);
        EXPECT_EQ(fakeport::Counted().opens, 1u);
        EXPECT_EQ(fakeport::Counted().closes, 0u);
        LibraryStop(false);
        EXPECT_EQ(fakeport::Counted().closes, f.openFails ? 0u : 1u);
    }
}

TEST_F(Faults, PortThatRecoversIsReadAgain)
{
    LibraryStart();
    fakeport::Feed(PhLine.line);
    fakeport::SetReadsFail(true);
    EXPECT_EQ(ead(0), NoValue);
    fakeport::SetReadsFail(false);
    EXPECT_EQ(ead(0), 7.01);

    fakeport::SetFlood(true);
    EXPECT_EQ(ead(0), 7.01); // a flood of bytes that are no line
    fakeport::SetFlood(false);
    fakeport::Feed("\n  -50mV\r\n");
    EXPECT_EQ(ead(0), -50.0);
    EXPECT_EQ(ea(1), -777);
}

TEST_F(Faults, UnloadAndReloadManyTimes)
{
    const int rounds = 200;
    for (int i = 0; i < rounds; ++i) {
        SCOPED_TRACE(i);
        LibraryStart();
        EXPECT_EQ(ead(0), NoValue); // fresh state every time
        EXPECT_EQ(ead(1), NoValue);
        EXPECT_STREQ(nea(0), "xxxxxxxx");
        char value[8], line[32];
        snprintf(value, sizeof value, "%d.%02d", i % 10, i % 100);
        snprintf(line, sizeof line, "\npH  %s   2%d.\r\n", value, i % 10);
        fakeport::Feed(line);
        EXPECT_EQ(ead(0), strtod(value, nullptr));
        EXPECT_EQ(ea(1), 20 + i % 10);
        LibraryStop(false);
        EXPECT_FALSE(fakeport::IsOpen());
        ASSERT_FALSE(HasFailure());
    }
    const fakeport::Calls c = fakeport::Counted();
    EXPECT_EQ(c.opens, unsigned(rounds));
    EXPECT_EQ(c.closes, unsigned(rounds));
}

} // namespace
