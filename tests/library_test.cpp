// The built shared objects, loaded with dlopen as a host loads them. Their ports, COM1 and
// COM2, are /dev/ttyS0 and /dev/ttyS1; inside a private mount namespace this test binds a
// pseudo-terminal over each, and checks that the bind took before any library is loaded, so
// the machine's real serial devices are never opened (tests/host.h).
#include "tests/host.h"
#include "tests/pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using std::string;

Pty meters[2];          // COM1, COM2
string skipReason;
const char* const* const devices = SerialDevices;

class Library : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MakePrivateDev(&skipReason); }

    void SetUp() override
    {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        // Never load a library unless both ports are our pseudo-terminals.
        for (int n = 0; n < 2; ++n)
            ASSERT_TRUE(ReadyPort(n, &meters[n])) << devices[n];
    }
};

TEST_F(Library, EachBuildReadsItsOwnPortAndTellsWhichItIs)
{
    Driver one, two;
    ASSERT_TRUE(Load(TIVREL1_PATH, &one));
    ASSERT_TRUE(Load(TIVREL2_PATH, &two));
    EXPECT_STREQ(one.titre(), "phm\xE8tre Handylab2 en Com1:");
    EXPECT_STREQ(two.titre(), "phm\xE8tre Handylab2 en Com2:");
    EXPECT_STREQ(one.detail(),
                 "DLL pour phm\xE8tre Schott Handylab2 en com1:, par Vosquet, le 23 janvier 2003");
    EXPECT_STREQ(two.detail(),
                 "DLL pour phm\xE8tre Schott Handylab2 en com2:, par Vosquet, le 23 janvier 2003");

    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    ASSERT_TRUE(SendToPort(meters[1], "  -42mV\r\n"));
    EXPECT_EQ(ReadUntil(one, 7.01), 7.01);
    EXPECT_EQ(ReadUntil(two, -42.0), -42.0);
    EXPECT_EQ(one.ea(1), 25);
    EXPECT_EQ(two.ea(1), -777);
    EXPECT_STREQ(one.nea(0), "pH");
    EXPECT_STREQ(two.nea(0), "mV");

    Unload(&one);
    Unload(&two);
    EXPECT_EQ(SentByPort(meters[0]), "");
    EXPECT_EQ(SentByPort(meters[1]), "");
}

TEST_F(Library, ReloadedLibraryOpensItsPortAgainAndReads)
{
    Driver d;
    ASSERT_TRUE(Load(TIVREL1_PATH, &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  4.00   20.0 C\r\n"));
    EXPECT_EQ(ReadUntil(d, 4.0), 4.0);
    Unload(&d);

    ASSERT_TRUE(Load(TIVREL1_PATH, &d));
    EXPECT_STREQ(d.nea(0), "xxxxxxxx"); // fresh state
    ASSERT_TRUE(SendToPort(meters[0], "pH  9.18   21.0 C\r\n"));
    EXPECT_EQ(ReadUntil(d, 9.18), 9.18);
    Unload(&d);
}

TEST_F(Library, LabelQueriesDrainThePortButOnlyAReadingDecodes)
{
    Driver d;
    ASSERT_TRUE(Load(TIVREL1_PATH, &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    ASSERT_EQ(ReadUntil(d, 7.01), 7.01);

    ASSERT_TRUE(SendToPort(meters[0], "  -42mV\r\n"));
    usleep(50000);
    EXPECT_STREQ(d.nea(0), "pH"); // the mV line is taken in, not decoded
    EXPECT_STREQ(d.nea(1), "T(\xB0" "C)");
    // Nothing is left queued at the device (root may look in despite the exclusive flag).
    int fd = open(devices[0], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int queued = -1;
    EXPECT_EQ(ioctl(fd, FIONREAD, &queued), 0);
    close(fd);
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(d.ea(0), -42);
    EXPECT_STREQ(d.nea(0), "mV");
    EXPECT_STREQ(d.nea(1), "");
    Unload(&d);
}

TEST_F(Library, PortThatIsNotThereStillLoadsAndHasNoValue)
{
    ASSERT_TRUE(BindPort(1, "/dev/null")); // COM2 is no serial device
    Driver d;
    ASSERT_TRUE(Load(TIVREL2_PATH, &d));
    EXPECT_STREQ(d.titre(), "phm\xE8tre Handylab2 en Com2:");
    EXPECT_EQ(d.ea(0), -777);
    EXPECT_EQ(d.ea(1), -777);
    EXPECT_STREQ(d.nea(0), "xxxxxxxx");
    Unload(&d);
}

TEST_F(Library, PortHeldByAnotherProgramLeavesNoValue)
{
    int other = open(devices[0], O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    Driver d;
    ASSERT_TRUE(Load(TIVREL1_PATH, &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    usleep(50000);
    EXPECT_EQ(d.ead(0), -777.0);
    EXPECT_STREQ(d.nea(0), "xxxxxxxx");
    Unload(&d);
    close(other);
}

} // namespace
