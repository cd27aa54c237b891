// Fuzzes the whole receive path: whatever bytes arrive, in reads of whatever sizes, with failing
// queries and reads mixed in, go through CollectInput and Measure by way of the exports, called
// with any channel (integer or double) under any rounding mode. After every call the state is
// checked against what the meter module defines (meter/meter.h):
//   - every byte a read delivered went through the line assembler, in order: position p of the
//     line that began with the last line feed is Frame[p] for p <= 19; FramePos stays in 1..20,
//     is 1 on a line feed and otherwise only grows; a line feed makes the line it ends the
//     complete line, blank beyond the positions it reached;
//   - a channel-0 reading decodes the last complete line: MainValue and Temperature are the
//     parse of their field positions (a failed parse being NoValue) and the labels follow the
//     line kind;
//     nothing else changes the values or labels;
//   - results are those of the channel the (rounded) argument names; calls that have no reason
//     to touch the port don't; a drain ends only when the port has nothing more to give, or after
//     its bounded amount of input;
//   - the port is opened once per load and closed at unload.
// AddressSanitizer catches any write outside Frame, the labels and the result buffers; the
// UndefinedBehaviorSanitizer any overflow, bad shift or out-of-range conversion.
#include "driver/build.h"
#include "driver/exports.h"
#include "driver/lifecycle.h"
#include "fuzz/fuzz_port.h"
#include "meter/meter.h"
#include "meter/number.h"
#include "serial/ucommw32.h"
#include "tests/reference.h"

#include <cfenv>
#include <climits>
#include <cmath>
#include <float.h>
#include <string.h>
#include <string>

namespace {

using fuzzport::Fail;
using std::string;

const char* const Degrees = "T(\xB0" "C)";
constexpr size_t DrainBound = 65536; // the most input one drain takes, plus at most one read
const int Modes[4] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};

uint64_t Bits(double x)
{
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

// The meter state an operation is checked against.
struct State {
    unsigned char frame[FrameCapacity + 1];
    unsigned char line[FrameCapacity + 1]; // the last complete line
    unsigned pos;
    uint64_t main, temp;
    string mainLabel, tempLabel;
};

State Take()
{
    State s;
    memcpy(s.frame, Frame, sizeof s.frame);
    memcpy(s.line, CompleteLine, sizeof s.line);
    s.pos = FramePos;
    s.main = Bits(MainValue);
    s.temp = Bits(Temperature);
    s.mainLabel = MainLabel;
    s.tempLabel = TempLabel;
    return s;
}

void Expect(bool ok, const char* what)
{
    if (!ok)
        Fail(what);
}

// The state after `bytes` went through the line assembler, from the definition: a line feed
// ends the line in progress (positions 1..18 of it, blank where it did not reach, become the
// complete line) and is position 1 of a new line, the next character position 2 and so on;
// positions past 19 are not kept, and the position count stops at 20.
void Assemble(State* s, const string& bytes)
{
    for (unsigned char c : bytes) {
        const bool lineFeed = c == '\n';
        if (lineFeed)
            for (unsigned p = 1; p <= FrameLength; ++p)
                s->line[p] = p <= s->pos ? s->frame[p] : ' ';
        s->pos = lineFeed ? 1 : (s->pos < FrameCapacity ? s->pos + 1 : FrameCapacity);
        if (s->pos <= LastStored)
            s->frame[s->pos] = c;
    }
}

// A channel-0 reading: the fields of a complete pH or mV line, or nothing changes.
void Decode(State* s)
{
    const char* f = reinterpret_cast<const char*>(s->line);
    if (s->line[2] == 'p') {
        s->main = Bits(ParseNumber(f + 5, 5));
        s->temp = Bits(ParseNumber(f + 13, 3));
        s->mainLabel = "pH";
        s->tempLabel = Degrees;
    } else if (s->line[7] == 'm') {
        s->main = Bits(ParseNumber(f + 2, 5));
        s->temp = Bits(NoValue);
        s->mainLabel = "mV";
        s->tempLabel = "";
    }
}

double Value(const State& s, int64_t channel)
{
    uint64_t b = channel == 0 ? s.main : channel == 1 ? s.temp : Bits(NoValue);
    double d;
    memcpy(&d, &b, sizeof d);
    return d;
}

string Label(const State& s, int64_t channel)
{
    return channel == 0 ? s.mainLabel : channel == 1 ? s.tempLabel : string();
}

int32_t PickChannel(FuzzedDataProvider& in)
{
    static const int32_t table[] = {0, 0, 0, 1, 1, 2, -1, INT_MIN, INT_MAX, 7};
    uint8_t b = in.ConsumeIntegral<uint8_t>();
    return b < 250 ? table[b % 10] : in.ConsumeIntegral<int32_t>();
}

double PickDouble(FuzzedDataProvider& in)
{
    static const double table[] = {0.0, 1.0, 0.5, 0.7, 1.5, 2.4, -0.5, -0.0, NAN, INFINITY,
                                   -INFINITY, 1e300, -1e300, 5e-324, 4294967296.0, 4294967297.0,
                                   -0x1p63};
    uint8_t b = in.ConsumeIntegral<uint8_t>();
    if (b < 240)
        return table[b % (sizeof table / sizeof table[0])];
    uint64_t bits = in.ConsumeIntegral<uint64_t>();
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

void ExpectLabel(const char* got, const string& expected)
{
    Expect(got != nullptr && strnlen(got, 24) < 24, "label result not a terminated text");
    Expect(got == expected, "label result differs from the channel's label");
}

void ExpectDouble(double got, double expected, const char* what)
{
    if (Bits(got) != Bits(expected))
        Fail(what);
}

void ExpectStartState()
{
    Expect(FramePos == 1 && Frame[0] == 0, "frame not reset at load");
    for (unsigned p = 1; p <= FrameCapacity; ++p)
        Expect(Frame[p] == 'x', "frame not reset at load");
    Expect(Bits(MainValue) == Bits(NoValue) && Bits(Temperature) == Bits(NoValue),
           "values not reset at load");
    Expect(strcmp(MainLabel, "xxxxxxxx") == 0 && strcmp(TempLabel, "xxxxxxx") == 0,
           "labels not reset at load");
}

enum Op {
    OpEa, OpEad, OpNea, OpNead, OpPead, OpStdEas,
    OpEadouble, OpStdEadouble, OpNeadouble, OpStdNeadouble, OpOtherDoubleForms,
    OpReload, OpCount
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    fuzzport::Begin(&in);
    LibraryStart();
    ExpectStartState();
    Expect(strcmp(PortName, BuildPortName) == 0 && strcmp(PortMode, BuildPortMode) == 0,
           "port settings not the build's");

    for (int step = 0; step < 256 && in.remaining_bytes() > 0; ++step) {
        const Op op = Op(in.ConsumeIntegral<uint8_t>() % OpCount);
        const int mode = Modes[in.ConsumeIntegral<uint8_t>() & 3];
        const int32_t channel = PickChannel(in);
        const double dchannel = PickDouble(in);
        const double dvalue = PickDouble(in);

        State expected = Take();
        const fuzzport::Log before = fuzzport::Current();
        const size_t deliveredBefore = before.delivered.size();

        // The channel an integer or double argument names, under this call's mode.
        const int64_t named = op >= OpEadouble ? Rounded(dchannel, mode) : channel;
        const bool drains = op == OpNea || op == OpNead || op == OpNeadouble ||
                            op == OpStdNeadouble ||
                            ((op == OpEa || op == OpEad || op == OpPead || op == OpStdEas ||
                              op == OpEadouble || op == OpStdEadouble) && named == 0);
        const bool decodes = drains && op != OpNea && op != OpNead && op != OpNeadouble &&
                             op != OpStdNeadouble;

        int32_t intResult = 0;
        double doubleResult = 0;
        float floatResult = 0;
        const char* text = nullptr;
        double* address = nullptr;
        double others[8];
        const char* otherTexts[6];

        if (op == OpReload) {
            LibraryStop(false);
            Expect(!fuzzport::IsOpen(), "port still open after unload");
            LibraryStart();
            ExpectStartState();
            continue;
        }

        fesetround(mode);
        switch (op) {
        case OpEa: intResult = ea(channel); break;
        case OpEad: doubleResult = ead(channel); break;
        case OpNea: text = nea(channel); break;
        case OpNead: text = nead(channel); break;
        case OpPead: address = pead(channel); break;
        case OpStdEas: floatResult = stdeas(channel); break;
        case OpEadouble: doubleResult = eadouble(dchannel); break;
        case OpStdEadouble: doubleResult = stdeadouble(dchannel); break;
        case OpNeadouble: text = neadouble(dchannel); break;
        case OpStdNeadouble: text = stdneadouble(dchannel); break;
        case OpOtherDoubleForms:
            others[0] = sadouble(TIV_LTR_ARGS(dchannel, dvalue));
            others[1] = stdsadouble(dchannel, dvalue);
            others[2] = rsadouble(dchannel);
            others[3] = stdrsadouble(dchannel);
            others[4] = ebdouble(dchannel);
            others[5] = stdebdouble(dchannel);
            others[6] = sbdouble(TIV_LTR_ARGS(dchannel, dvalue));
            others[7] = stdsbdouble(dchannel, dvalue);
            otherTexts[0] = nsadouble(dchannel);
            otherTexts[1] = stdnsadouble(dchannel);
            otherTexts[2] = nebdouble(dchannel);
            otherTexts[3] = stdnebdouble(dchannel);
            otherTexts[4] = nsbdouble(dchannel);
            otherTexts[5] = stdnsbdouble(dchannel);
            break;
        default: break;
        }
        fesetround(FE_TONEAREST);

        // The port: touched only by calls that drain it, and then until it has nothing more.
        const fuzzport::Log& after = fuzzport::Current();
        const string arrived = after.delivered.substr(deliveredBefore);
        if (!drains || !fuzzport::IsOpen()) {
            Expect(after.queries == before.queries && after.reads == before.reads,
                   "port touched by a call that has no reason to");
        } else {
            Expect(after.queries > before.queries, "channel-0 reading or label query did not drain");
            Expect(after.lastCallEndedDrain || arrived.size() >= DrainBound,
                   "drain stopped while the port still reported bytes");
            Expect(arrived.size() < DrainBound + ReadCapacity, "drain took more than its bound");
        }
        Expect(after.opens == before.opens && after.closes == before.closes,
               "port opened or closed outside load and unload");

        // Every delivered byte went through the assembler.
        const unsigned posBefore = expected.pos;
        Assemble(&expected, arrived);
        Expect(FramePos >= 1 && FramePos <= FrameCapacity, "FramePos outside 1..20");
        if (arrived.find('\n') == string::npos)
            Expect(FramePos >= posBefore, "FramePos went back without a line feed");
        Expect(FramePos == expected.pos, "FramePos is not the position in the current line");
        Expect(memcmp(Frame, expected.frame, sizeof Frame) == 0,
               "Frame does not hold the current line at its positions");
        Expect(memcmp(CompleteLine + 1, expected.line + 1, FrameLength) == 0,
               "CompleteLine is not the last line a line feed ended");
        fuzzport::ForgetDelivered();

        if (decodes)
            Decode(&expected);
        ExpectDouble(MainValue, Value(expected, 0), "MainValue is not the parse of its field");
        ExpectDouble(Temperature, Value(expected, 1), "Temperature is not the parse of its field");
        Expect(MainLabel == expected.mainLabel && TempLabel == expected.tempLabel,
               "labels do not follow the decoded line");

        // Results are those of the named channel.
        switch (op) {
        case OpEa: Expect(intResult == Rounded(Value(expected, named), mode), "ea result"); break;
        case OpEad:
        case OpEadouble:
        case OpStdEadouble: ExpectDouble(doubleResult, Value(expected, named), "value result"); break;
        case OpNea:
        case OpNead:
        case OpNeadouble:
        case OpStdNeadouble: ExpectLabel(text, Label(expected, named)); break;
        case OpPead:
            Expect(address != nullptr, "pead gave no address");
            ExpectDouble(*address, Value(expected, named), "pead result");
            break;
        case OpStdEas:
        {
            const float single = Single(Value(expected, named), mode);
            Expect(memcmp(&floatResult, &single, sizeof single) == 0, "stdeas result");
        }
            break;
        case OpOtherDoubleForms:
            for (int i = 0; i < 4; ++i)
                ExpectDouble(others[i], NoValue, "double form without a value kind");
            ExpectDouble(others[4], -777.0, "ebdouble result");
            ExpectDouble(others[5], -777.0, "stdebdouble result");
            ExpectDouble(others[6], double(named), "sbdouble result");
            ExpectDouble(others[7], double(named), "stdsbdouble result");
            for (const char* t : otherTexts)
                ExpectLabel(t, "");
            break;
        default: break;
        }
        Expect(strcmp(PortName, BuildPortName) == 0 && strcmp(PortMode, BuildPortMode) == 0,
               "port settings changed");
    }

    LibraryStop(false);
    const fuzzport::Log& end = fuzzport::Current();
    Expect(!fuzzport::IsOpen(), "port still open after unload");
    Expect(end.closes == end.opens - end.openFailures, "every open port is closed once");
    return 0;
}
