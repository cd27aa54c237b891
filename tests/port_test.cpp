// The POSIX serial link against real pseudo-terminals.
#include "serial/port.h"
#include "serial/port_posix.h"
#include "serial/ucommw32.h"
#include "tests/pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using std::string;

class Port : public ::testing::Test {
protected:
    Pty meter;
    void SetUp() override
    {
        ASSERT_TRUE(OpenPty(&meter));
        Open("baud=4800 parity=n data=8 stop=1");
    }
    void TearDown() override
    {
        ClosePort();
        ClosePty(&meter);
    }
    void Open(const char* mode)
    {
        ClosePort();
        SetText(PortName, PortNameCapacity, meter.path.c_str());
        SetText(PortMode, PortModeCapacity, mode);
        OpenPort();
    }
    // Bytes written to the master reach the device's input queue shortly after.
    static bool WaitUntilWaiting(unsigned n)
    {
        for (int i = 0; i < 2000; ++i) {
            if (BytesWaiting() == n)
                return true;
            usleep(1000);
        }
        return false;
    }
    static string Read()
    {
        Received r = ReadWaiting();
        return string(reinterpret_cast<const char*>(r.data), r.length);
    }
};

TEST_F(Port, SetsUpARawTerminalAt4800Baud8N1)
{
    termios t;
    ASSERT_EQ(tcgetattr(meter.master, &t), 0); // a pty's two ends share their settings
    EXPECT_EQ(cfgetispeed(&t), speed_t(B4800));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B4800));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                           IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHONL | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 10); // a read that finds nothing ends after 1 s
}

// A pseudo-terminal always reports 8 data bits and no parity, so the mode strings are checked
// on a termios record.
struct ModeCase {
    const char* mode;
    speed_t speed;
    tcflag_t size;
    tcflag_t parity; // PARENB / PARODD bits
    bool twoStopBits;
};
const ModeCase modeCases[] = {
    {"baud=4800 parity=n data=8 stop=1", B4800, CS8, 0, false},
    {"baud=1200 parity=e data=7 stop=1", B1200, CS7, PARENB, false},
    {"baud=9600 parity=o data=5 stop=2", B9600, CS5, PARENB | PARODD, true},
    {"BAUD=19200 PARITY=N DATA=6 STOP=1", B19200, CS6, 0, false},
    {"  data=7   baud=2400 ", B2400, CS7, 0, false},         // any order, extra blanks
    {"baud=1234 parity=x data=9 stop=3", B300, CS8, 0, false}, // not understood: unchanged
    {"baud parity=e =7 data=", B300, CS8, PARENB, false},      // malformed pairs skipped
    {"", B300, CS8, 0, false},
};

TEST(PortMode, AppliesModeStrings)
{
    for (const ModeCase& c : modeCases) {
        SCOPED_TRACE(c.mode);
        termios t = {};
        t.c_cflag = CS8;
        cfsetispeed(&t, B300);
        cfsetospeed(&t, B300);
        ApplyMode(&t, c.mode);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), c.parity);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStopBits);
    }
}

TEST_F(Port, CountsAndReadsWaitingBytes)
{
    EXPECT_EQ(BytesWaiting(), 0);
    EXPECT_EQ(Read(), "");
    ASSERT_TRUE(SendToPort(meter, "\npH  7.01   25.\r"));
    ASSERT_TRUE(WaitUntilWaiting(16));
    EXPECT_EQ(Read(), "\npH  7.01   25.\r");
    EXPECT_EQ(BytesWaiting(), 0);
}

TEST_F(Port, ReadsAtMost255BytesAtATime)
{
    string sent;
    for (int i = 0; i < 300; ++i)
        sent += char('a' + i % 26);
    ASSERT_TRUE(SendToPort(meter, sent));
    ASSERT_TRUE(WaitUntilWaiting(300));
    EXPECT_EQ(Read(), sent.substr(0, 255));
    EXPECT_EQ(BytesWaiting(), 45);
    EXPECT_EQ(Read(), sent.substr(255));
}

TEST_F(Port, EveryByteValueArrivesUnchanged)
{
    string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    ASSERT_TRUE(SendToPort(meter, all));
    ASSERT_TRUE(WaitUntilWaiting(256));
    string got = Read();
    got += Read();
    EXPECT_EQ(got, all); // NUL, CR, LF, XON/XOFF, 0xFF: nothing dropped or translated
}

TEST_F(Port, NothingIsEverWrittenToThePort)
{
    ASSERT_TRUE(SendToPort(meter, "\npH  7.01   25.\r\x11\x13"));
    ASSERT_TRUE(WaitUntilWaiting(18));
    Read();
    BytesWaiting();
    ClosePort();
    usleep(20000);
    EXPECT_EQ(SentByPort(meter), "");
}

// Opens the device from a child process, optionally as an unprivileged user; 0 when the child
// got the port to itself (opened it and took its lock).
int OpenFromAnotherProcess(const string& path, bool unprivileged)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (unprivileged && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        PortHandle h = PlatformOpen(path.c_str(), "baud=4800", 1000);
        _exit(h == NoPort ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Port, IsHeldExclusivelyAndReleasedOnClose)
{
    ASSERT_EQ(chmod(meter.path.c_str(), 0666), 0); // let an unprivileged user try too
    EXPECT_EQ(PlatformOpen(meter.path.c_str(), "baud=4800", 1000), NoPort);
    EXPECT_NE(OpenFromAnotherProcess(meter.path, false), 0);
    EXPECT_NE(OpenFromAnotherProcess(meter.path, true), 0);

    // Once let go, the port is free again, also for a non-root user (root ignores the
    // exclusive flag a careless close would leave on the device).
    ClosePort();
    EXPECT_EQ(OpenFromAnotherProcess(meter.path, true), 0);
    EXPECT_EQ(OpenFromAnotherProcess(meter.path, false), 0);
}

TEST_F(Port, MissingDeviceHasNothingWaiting)
{
    ClosePort();
    SetText(PortName, PortNameCapacity, "/nonexistent/tty-for-test");
    OpenPort();
    EXPECT_EQ(BytesWaiting(), 0);
    EXPECT_EQ(Read(), "");
}

TEST_F(Port, NotATerminalIsNotAPort)
{
    ClosePort();
    SetText(PortName, PortNameCapacity, "/dev/null");
    OpenPort();
    EXPECT_EQ(BytesWaiting(), 0);
    EXPECT_EQ(Read(), "");
}

TEST_F(Port, HangUpMidLineEndsTheReadsWithoutHanging)
{
    ASSERT_TRUE(SendToPort(meter, "\npH  7."));
    ASSERT_TRUE(WaitUntilWaiting(7));
    ClosePty(&meter); // the meter's side goes away
    string got;
    for (int i = 0; i < 10; ++i) {
        string r = Read();
        if (r.empty())
            break;
        got += r;
    }
    EXPECT_LE(got.size(), 7u);
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(BytesWaiting(), 0);
}

} // namespace
