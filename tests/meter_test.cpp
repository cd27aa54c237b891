// Line assembly and decoding, fed through a scripted port.
#include "driver/lifecycle.h"
#include "meter/meter.h"
#include "tests/fake_port.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using std::string;
const string Degrees = "T(\xB0" "C)";

class Meter : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeport::Reset();
        LibraryStart();
    }
    void TearDown() override { LibraryStop(false); }
};

struct Reading {
    double main, temperature;
    string mainLabel, tempLabel;
};

void ExpectReading(const Reading& r)
{
    EXPECT_EQ(MainValue, r.main);
    EXPECT_EQ(Temperature, r.temperature);
    EXPECT_EQ(string(MainLabel), r.mainLabel);
    EXPECT_EQ(string(TempLabel), r.tempLabel);
}

// Each row is what the meter sent since load, in one read, and what a measurement then shows.
// Positions are 1-based from the line feed that starts a line.
struct LineCase {
    const char* what;
    string sent;
    Reading expected;
};

const LineCase lineCases[] = {
    {"pH line", "\npH  7.01   25.\r\n", {7.01, 25.0, "pH", Degrees}},
    {"pH line as the meter ends it", "pH  7.01   25.0 C\r\n", {7.01, 25.0, "pH", Degrees}},
    {"mV line", "\n -123mV\r\n", {-123.0, NoValue, "mV", ""}},
    {"first line after load needs no line feed before it", "pH  4.00   19.\r\n",
     {4.0, 19.0, "pH", Degrees}},
    {"a line still arriving is not decoded yet", "pH  4.00   19.0 C",
     {NoValue, NoValue, "xxxxxxxx", "xxxxxxx"}},
    {"value field ending in a space fails alone", "\npH 7.01    25.\r\n",
     {NoValue, 25.0, "pH", Degrees}},
    {"temperature field that fails", "\npH  7.01   2x.\r\n", {7.01, NoValue, "pH", Degrees}},
    {"mV field that fails", "\n12 34mV\r\n", {NoValue, NoValue, "mV", ""}},
    {"NUL at position 8 ends the value field", string("\npH  7.\0\0   25.\r\n", 17),
     {7.0, 25.0, "pH", Degrees}},
    {"NUL bytes elsewhere are kept like others", string("\npH  7.01\0\0\0" "25.\r\n", 17),
     {7.01, 25.0, "pH", Degrees}},
    {"neither pH nor mV: start values stand", "\nhello world\r\n",
     {NoValue, NoValue, "xxxxxxxx", "xxxxxxx"}},
    {"empty lines", "\n\r\n\n", {NoValue, NoValue, "xxxxxxxx", "xxxxxxx"}},
    {"second of two lines in one read wins", "\n  -45mV\r\npH  9.99   30.\r\n",
     {9.99, 30.0, "pH", Degrees}},
    // A short line is decoded alone: no temperature, rather than the older line's.
    {"a short line takes nothing from an older one", "pH  7.01   25.0 C\r\npH   8.2\r\n",
     {8.2, NoValue, "pH", Degrees}},
    // The last finished line is decoded, not a mix of the new line's start and the old one's rest.
    {"a line still arriving leaves the last complete one", "pH  9.91   25.0 C\r\npH  1",
     {9.91, 25.0, "pH", Degrees}},
    {"mV after pH clears the temperature", "\npH  7.01   25.\r\n  250mV\r\n",
     {250.0, NoValue, "mV", ""}},
    // A read longer than 20 bytes whose line feed lies beyond its 20th byte: every byte goes
    // through the assembler, so the next line starts at position 1 again.
    {"line feed beyond the 20th byte of a read", "\npH  6.00   20.0 C\r123456\npH  7.01   25.\r\n",
     {7.01, 25.0, "pH", Degrees}},
    {"an over-long line keeps its first 19 positions", "\npH  5.55   21." + string(500, 'z') + "\r\n",
     {5.55, 21.0, "pH", Degrees}},
    {"exponent and sign in the value field", "\npH -1e-2   25.\r\n", {-0.01, 25.0, "pH", Degrees}},
    {"value beyond a double", "\npH 9e999   25.\r\n", {NoValue, 25.0, "pH", Degrees}},
    {"carriage return in the field fails it", "\n -12\rmV\r\n", {NoValue, NoValue, "mV", ""}},
};

TEST_F(Meter, DecodesLines)
{
    for (const LineCase& c : lineCases) {
        SCOPED_TRACE(c.what);
        LibraryStop(false);
        fakeport::Reset();
        LibraryStart();
        fakeport::Feed(c.sent);
        EXPECT_EQ(Measure(), c.expected.main);
        ExpectReading(c.expected);
        EXPECT_EQ(fakeport::Pending(), 0u);
    }
}

TEST_F(Meter, NoDataReadsAsNoValueNotAsZero)
{
    EXPECT_EQ(Measure(), NoValue);
    ExpectReading({NoValue, NoValue, "xxxxxxxx", "xxxxxxx"});
}

TEST_F(Meter, EveryByteOfALongReadIsAssembled)
{
    // 20 x 12-byte lines (240 bytes) in one read: the last line must be the one decoded.
    string burst;
    for (int i = 0; i < 19; ++i)
        burst += "\npH  1.00   11.";
    burst += "\npH  6.86   22.\r\n";
    fakeport::Feed(burst);
    EXPECT_EQ(Measure(), 6.86);
    EXPECT_EQ(Temperature, 22.0);
}

TEST_F(Meter, LinesSplitAcrossReadsJoinUp)
{
    fakeport::Feed("\npH  7.");
    Measure();
    fakeport::Feed("42   18.\r\n");
    EXPECT_EQ(Measure(), 7.42);
    EXPECT_EQ(Temperature, 18.0);
}

TEST_F(Meter, MoreThanOneReadIsDrained)
{
    // 300 bytes waiting: two reads (255 + 45) in one drain.
    fakeport::Feed(string(290, 'q') + "\n  -12mV\r\n");
    EXPECT_EQ(Measure(), -12.0);
    EXPECT_EQ(fakeport::Pending(), 0u);
    EXPECT_EQ(fakeport::Counted().reads, 2u);
}

TEST_F(Meter, RepeatedMeasureDecodesTheSameLineAgain)
{
    fakeport::Feed("\npH  7.01   25.\r\n");
    EXPECT_EQ(Measure(), 7.01);
    EXPECT_EQ(Measure(), 7.01);
    EXPECT_EQ(Temperature, 25.0);
}

TEST_F(Meter, UnrecognisedLineKeepsThePreviousDecode)
{
    fakeport::Feed("\n  250mV\r\n");
    Measure();
    fakeport::Feed("xxxxxxxxxxx\r\n");
    EXPECT_EQ(Measure(), 250.0);
    ExpectReading({250.0, NoValue, "mV", ""});
}

TEST_F(Meter, PortThatReportsBytesButReadsNothingDoesNotHang)
{
    fakeport::Feed("\npH  7.01   25.\r\n");
    fakeport::SetReadsFail(true);
    EXPECT_EQ(Measure(), NoValue);
    EXPECT_EQ(fakeport::Counted().reads, 1u);
    EXPECT_EQ(fakeport::Pending(), 17u);
    fakeport::SetReadsFail(false); // the port recovers: the line is still there to read
    EXPECT_EQ(Measure(), 7.01);
}

TEST_F(Meter, EndlessInputDoesNotHoldTheCaller)
{
    fakeport::SetFlood(true);
    Measure(); // returns after a bounded amount of input
    fakeport::Calls c = fakeport::Counted();
    EXPECT_GT(c.reads, 1u);
    EXPECT_LE(c.reads, 1000u);
}

TEST_F(Meter, MissingPortKeepsTheStartValues)
{
    LibraryStop(false);
    fakeport::Reset();
    fakeport::SetOpenFails(true);
    LibraryStart();
    fakeport::Feed("\npH  7.01   25."); // queued at a port the library could not open
    EXPECT_EQ(Measure(), NoValue);
    ExpectReading({NoValue, NoValue, "xxxxxxxx", "xxxxxxx"});
    EXPECT_EQ(fakeport::Counted().reads, 0u);
}

TEST_F(Meter, NothingWaitingCostsOneQuery)
{
    fakeport::Feed("\npH  7.01   25.\r\n");
    Measure();
    fakeport::Calls before = fakeport::Counted();
    Measure();
    fakeport::Calls after = fakeport::Counted();
    EXPECT_EQ(after.queries - before.queries, 1u);
    EXPECT_EQ(after.reads - before.reads, 0u);
}

TEST_F(Meter, ALineWaitingCostsQueryReadQuery)
{
    fakeport::Feed("\npH  7.01   25.\r\n");
    fakeport::Calls before = fakeport::Counted();
    Measure();
    fakeport::Calls after = fakeport::Counted();
    EXPECT_EQ(after.queries - before.queries, 2u);
    EXPECT_EQ(after.reads - before.reads, 1u);
}

} // namespace
