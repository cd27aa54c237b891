// The channel operations through their exports, against a scripted port.
#include "driver/exports.h"
#include "driver/lifecycle.h"
#include "tests/fake_port.h"

#include <gtest/gtest.h>
#include <cfenv>
#include <climits>
#include <cmath>
#include <string>

namespace {

using std::string;
const char* Degrees = "T(\xB0" "C)";
const double Nan = std::nan("");
const double Inf = INFINITY;

class Channels : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeport::Reset();
        LibraryStart();
    }
    void TearDown() override { LibraryStop(false); }

    // Sends a line, ended as the meter ends it, and takes a channel-0 reading of it.
    static double Read(const string& line)
    {
        fakeport::Feed(line + "\r\n");
        return ead(0);
    }
    static unsigned PortCalls()
    {
        fakeport::Calls c = fakeport::Counted();
        return c.queries + c.reads;
    }
};

TEST_F(Channels, StateRightAfterLoad)
{
    EXPECT_STREQ(nea(0), "xxxxxxxx");
    EXPECT_STREQ(nea(1), "xxxxxxx");
    EXPECT_EQ(ea(1), -777);
    EXPECT_EQ(ead(1), -777.0);
    EXPECT_EQ(ea(0), -777); // no line yet: no value, not pH 0
    EXPECT_EQ(ead(0), -777.0);
}

const int32_t channels[] = {INT_MIN, -1, 0, 1, 2, 7, INT_MAX};

TEST_F(Channels, OperationsOfAbsentChannelKindsNeitherReadNorChangeAnything)
{
    Read("\npH  7.01   25.");
    fakeport::Feed("  -50mV\r\n"); // would change the labels if anything decoded it
    unsigned before = PortCalls();
    double v = 1.0;
    for (int32_t c : channels) {
        SCOPED_TRACE(c);
        EXPECT_EQ(sa(c, 5), -777);
        EXPECT_EQ(sad(c, 5.0), -777.0);
        EXPECT_STREQ(nsa(c), "");
        EXPECT_STREQ(nsad(c), "");
        EXPECT_EQ(rsa(c), -777);
        EXPECT_EQ(rsad(c), -777.0);
        EXPECT_EQ(eb(c), -777);
        EXPECT_STREQ(neb(c), "");
        EXPECT_EQ(sb(c, 1), c);
        EXPECT_STREQ(nsb(c), "");
        EXPECT_EQ(rsb(c), -777);
        EXPECT_EQ(*psad(c, &v), -777.0);
    }
    EXPECT_EQ(PortCalls(), before);
    EXPECT_EQ(ead(1), 25.0);
}

TEST_F(Channels, ChannelsOtherThanZeroAndOneHaveNoValueAndDoNotReadThePort)
{
    Read("\npH  7.01   25.");
    fakeport::Feed("  -50mV\r\n");
    unsigned before = PortCalls();
    for (int32_t c : channels) {
        if (c == 0 || c == 1)
            continue;
        SCOPED_TRACE(c);
        EXPECT_EQ(ea(c), -777);
        EXPECT_EQ(ead(c), -777.0);
        EXPECT_EQ(*pead(c), -777.0);
    }
    EXPECT_EQ(PortCalls(), before);
    EXPECT_EQ(ea(1), 25); // channel 1 does not read either: still the pH line's temperature
    EXPECT_EQ(PortCalls(), before);
}

TEST_F(Channels, ValuesAndLabelsOfAPhLine)
{
    EXPECT_EQ(Read("\npH  7.01   25."), 7.01);
    EXPECT_EQ(ea(0), 7);
    EXPECT_EQ(ea(1), 25);
    EXPECT_EQ(ead(1), 25.0);
    EXPECT_STREQ(nea(0), "pH");
    EXPECT_STREQ(nead(1), Degrees);
    EXPECT_STREQ(nea(2), "");
    EXPECT_STREQ(nea(-1), "");
}

TEST_F(Channels, MvModeHasNoTemperature)
{
    EXPECT_EQ(Read("\n -123mV\r"), -123.0);
    EXPECT_EQ(ea(0), -123);
    EXPECT_EQ(ea(1), -777);
    EXPECT_STREQ(nea(0), "mV");
    EXPECT_STREQ(nea(1), "");
}

TEST_F(Channels, LabelQueriesDrainWithoutDecoding)
{
    Read("\npH  7.01   25.");
    fakeport::Feed("  -50mV\r\n");
    EXPECT_STREQ(nea(7), ""); // drains the port, whatever the channel
    EXPECT_EQ(fakeport::Pending(), 0u);
    EXPECT_STREQ(nea(0), "pH"); // the mV line is in the frame but not decoded yet
    EXPECT_STREQ(nead(1), Degrees);
    EXPECT_EQ(ea(0), -50); // a channel-0 reading decodes it
    EXPECT_STREQ(nea(0), "mV");
    EXPECT_STREQ(nea(1), "");
}

TEST_F(Channels, LabelsAreCopiesThatOutliveTheCall)
{
    Read("\npH  7.01   25.");
    const char* label = nea(0);
    titre();
    ea(1);
    EXPECT_STREQ(label, "pH");
}

// Rounding to an integer: by the current rounding mode, halves to even under the default,
// as a 64-bit integer of which the low 32 bits are kept; no integer at all gives -777.
struct RoundCase {
    const char* line;
    int32_t nearest, down, up;
};
const RoundCase roundCases[] = {
    {"\npH   6.5   25.", 6, 6, 7},
    {"\npH   7.5   25.", 8, 7, 8},
    {"\npH  -2.5   25.", -2, -3, -2},
    {"\n4.5e9mV", 205032704, 205032704, 205032704},       // 4500000000 - 2^32
    {"\n -3e9mV", 1294967296, 1294967296, 1294967296},    // -3000000000 + 2^32
    {"\n 9e99mV", -777, -777, -777},                      // beyond 64 bits
    {"\n -777mV", -777, -777, -777},
};

TEST_F(Channels, RoundingFollowsTheCallersMode)
{
    for (const RoundCase& c : roundCases) {
        SCOPED_TRACE(c.line);
        Read(c.line);
        EXPECT_EQ(ea(0), c.nearest);
        ASSERT_EQ(fesetround(FE_DOWNWARD), 0);
        EXPECT_EQ(ea(0), c.down);
        ASSERT_EQ(fesetround(FE_UPWARD), 0);
        EXPECT_EQ(stdea(0), c.up);
        ASSERT_EQ(fesetround(FE_TONEAREST), 0);
    }
}

TEST_F(Channels, AddressResultsHoldTheirValueAfterLaterCalls)
{
    Read("\npH  7.01   25.");
    double* value = pead(0);
    double* temperature = psad(3, nullptr); // never read through: a null value is fine
    fakeport::Feed("  -50mV\r\n");
    nea(0);
    ea(1);
    sad(0, 1.0);
    EXPECT_EQ(*value, 7.01);
    EXPECT_EQ(*temperature, -777.0);
    EXPECT_EQ(*pead(1), 25.0);
}

TEST_F(Channels, StdcallAndSingleForms)
{
    Read("\npH  7.01   25.");
    EXPECT_EQ(stdea(0), 7);
    EXPECT_EQ(stdead(0), 7.01);
    EXPECT_STREQ(stdnea(0), "pH");
    EXPECT_STREQ(stdnead(1), Degrees);
    EXPECT_EQ(stdsa(0, 1), -777);
    EXPECT_EQ(stdsad(0, 1.0), -777.0);
    EXPECT_STREQ(stdnsa(0), "");
    EXPECT_STREQ(stdnsad(0), "");
    EXPECT_EQ(stdrsad(0), -777.0);
    EXPECT_EQ(stdeb(0), -777);
    EXPECT_STREQ(stdneb(0), "");
    EXPECT_EQ(stdsb(3, 1), 3);
    EXPECT_STREQ(stdnsb(0), "");
    EXPECT_EQ(stdrsb(0), -777);
    EXPECT_STREQ(stdtitre(), titre());
    EXPECT_STREQ(stddetail(), detail());
    EXPECT_EQ(stdeas(0), 7.01f);
    EXPECT_EQ(stdeas(1), 25.0f);
    EXPECT_EQ(stdrsas(0), -777.0f);
    EXPECT_EQ(stdsas(0, 2.5f), -777.0f);
}

TEST_F(Channels, SingleFormBeyondSingleRangeIsNoValue)
{
    Read("\npH 1e300   25.");
    EXPECT_EQ(ead(0), 1e300);
    EXPECT_EQ(stdeas(0), -777.0f);
    Read("\npH 1e-40   25.");
    EXPECT_EQ(stdeas(0), 1e-40f); // below the normal range: still a single
}

// Double forms: the channel double is rounded like a value; one without an integer is no
// channel.
struct DoubleChannelCase {
    double channel;
    double value;         // eadouble and stdeadouble
    const char* label;    // neadouble and stdneadouble
    double sb;            // sbdouble and stdsbdouble with this channel
};
const DoubleChannelCase doubleCases[] = {
    {0.0, 7.01, "pH", 0.0},
    {0.5, 7.01, "pH", 0.0},    // 0.5 rounds to 0
    {-0.4, 7.01, "pH", 0.0},
    {0.7, 25.0, Degrees, 1.0},
    {1.0, 25.0, Degrees, 1.0},
    {1.5, -777.0, "", 2.0},    // 1.5 rounds to 2
    {2.4, -777.0, "", 2.0},
    {-1.0, -777.0, "", -1.0},
    {4294967296.0, 7.01, "pH", 0.0}, // low 32 bits of 2^32 are 0
    {-0x1p63, 7.01, "pH", 0.0},      // the least 64-bit integer: low 32 bits 0
    {0x1p63, -777.0, "", -777.0},    // one beyond the greatest
    {1e300, -777.0, "", -777.0},
    {Inf, -777.0, "", -777.0},
    {-Inf, -777.0, "", -777.0},
    {Nan, -777.0, "", -777.0},
};

TEST_F(Channels, DoubleForms)
{
    Read("\npH  7.01   25.");
    for (const DoubleChannelCase& c : doubleCases) {
        SCOPED_TRACE(c.channel);
        EXPECT_EQ(eadouble(c.channel), c.value);
        EXPECT_EQ(stdeadouble(c.channel), c.value);
        EXPECT_STREQ(neadouble(c.channel), c.label);
        EXPECT_STREQ(stdneadouble(c.channel), c.label);
        EXPECT_EQ(sbdouble(TIV_LTR_ARGS(c.channel, 5.0)), c.sb);
        EXPECT_EQ(stdsbdouble(c.channel, Nan), c.sb);
        EXPECT_EQ(sadouble(TIV_LTR_ARGS(c.channel, Nan)), -777.0);
        EXPECT_EQ(stdsadouble(c.channel, 5.0), -777.0);
        EXPECT_STREQ(nsadouble(c.channel), "");
        EXPECT_STREQ(stdnsadouble(c.channel), "");
        EXPECT_EQ(rsadouble(c.channel), -777.0);
        EXPECT_EQ(stdrsadouble(c.channel), -777.0);
        EXPECT_EQ(ebdouble(c.channel), -777.0);
        EXPECT_EQ(stdebdouble(c.channel), -777.0);
        EXPECT_STREQ(nebdouble(c.channel), "");
        EXPECT_STREQ(stdnebdouble(c.channel), "");
        EXPECT_STREQ(nsbdouble(c.channel), "");
        EXPECT_STREQ(stdnsbdouble(c.channel), "");
        EXPECT_EQ(rsbdouble(c.channel), -777.0);
        EXPECT_EQ(stdrsbdouble(c.channel), -777.0);
    }
}

TEST_F(Channels, DoubleFormsRoundTheChannelByTheCallersMode)
{
    Read("\npH  7.01   25.");
    ASSERT_EQ(fesetround(FE_UPWARD), 0);
    EXPECT_EQ(eadouble(0.2), 25.0); // 0.2 rounds up to channel 1
    EXPECT_EQ(sbdouble(TIV_LTR_ARGS(2.4, 0.0)), 3.0);
    ASSERT_EQ(fesetround(FE_TONEAREST), 0);
}

} // namespace
