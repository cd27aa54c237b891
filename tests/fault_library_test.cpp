// The fault matrix for the built shared objects, loaded as a host loads them, with their ports
// bound to pseudo-terminals in a private /dev (tests/host.h): a missing port, a port held by
// another process, the meter side hanging up mid-line, a flood of bytes while the library
// drains, unload and reload, and both libraries in one process.
//
// Each row: every call returns (a watchdog ends the run otherwise), nothing crashes, nothing is
// written to the port, and the values are as defined.
#include "tests/host.h"
#include "tests/pty.h"
#include "tests/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using std::string;

const double NoValue = -777.0;
const char* const Degrees = "T(\xB0" "C)";
const char* const Paths[2] = {TIVREL1_PATH, TIVREL2_PATH};

Pty meters[2]; // COM1, COM2: the test plays the meter on the master ends
string skipReason;

// Whether another process can take the device of port n for itself (open and lock it).
bool FreeForAnotherProcess(int n)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(SerialDevices[n], O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class LibraryFaults : public ::testing::Test {
protected:
    Watchdog watchdog{120};

    static void SetUpTestSuite() { MakePrivateDev(&skipReason); }

    void SetUp() override
    {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        for (int n = 0; n < 2; ++n)
            ASSERT_NO_FATAL_FAILURE(Ready(n));
    }

    // A library is never loaded unless both ports are our pseudo-terminals.
    static void Ready(int n) { ASSERT_TRUE(ReadyPort(n, &meters[n])) << SerialDevices[n]; }
};

TEST_F(LibraryFaults, PortMissing)
{
    umount2(SerialDevices[0], MNT_DETACH);
    ASSERT_EQ(unlink(SerialDevices[0]), 0);
    ASSERT_NE(access(SerialDevices[0], F_OK), 0);
    Driver d;
    ASSERT_TRUE(Load(Paths[0], &d));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d.ead(0), NoValue);
        EXPECT_EQ(d.ea(0), -777);
        EXPECT_EQ(d.ea(1), -777);
        EXPECT_EQ(*d.pead(0), NoValue);
        EXPECT_EQ(d.stdeas(0), -777.0f);
        EXPECT_EQ(d.eadouble(0.0), NoValue);
        EXPECT_STREQ(d.nea(0), "xxxxxxxx");
        EXPECT_STREQ(d.nead(1), "xxxxxxx");
    }
    Unload(&d);
}

TEST_F(LibraryFaults, PortHeldByAnotherProcess)
{
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = fork();
    if (holder == 0) {
        // Another program has the port: open, raw (so nothing the meter sends is echoed), locked
        // and marked exclusive, until told to let go.
        int fd = open(SerialDevices[0], O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t;
        bool ok = fd >= 0 && tcgetattr(fd, &t) == 0;
        if (ok) {
            cfmakeraw(&t);
            ok = tcsetattr(fd, TCSANOW, &t) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                 ioctl(fd, TIOCEXCL) == 0;
        }
        char c = ok ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    Driver d;
    ASSERT_TRUE(Load(Paths[0], &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    usleep(50000);
    EXPECT_EQ(d.ead(0), NoValue);
    EXPECT_EQ(d.ea(1), -777);
    EXPECT_STREQ(d.nea(0), "xxxxxxxx");
    EXPECT_EQ(SentByPort(meters[0]), "");
    Unload(&d);

    (void)!write(release[1], &c, 1);
    int status = 0;
    waitpid(holder, &status, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);

    // Let go by the other program, the port is the library's at its next load.
    ASSERT_TRUE(Load(Paths[0], &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    EXPECT_EQ(ReadUntil(d, 7.01), 7.01);
    Unload(&d);
    EXPECT_EQ(SentByPort(meters[0]), "");
}

TEST_F(LibraryFaults, HangUpMidLine)
{
    Driver d;
    ASSERT_TRUE(Load(Paths[0], &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    ASSERT_EQ(ReadUntil(d, 7.01), 7.01);
    // Half a line, taken in: it is never complete, so the last whole line keeps being read.
    ASSERT_TRUE(SendToPort(meters[0], "pH  8."));
    usleep(50000);
    EXPECT_EQ(d.ead(0), 7.01);
    EXPECT_EQ(SentByPort(meters[0]), "");

    ClosePty(&meters[0]); // the meter side goes away
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(d.ead(0), 7.01);
        EXPECT_EQ(d.ea(0), 7);
        EXPECT_EQ(d.ea(1), 25);
        EXPECT_EQ(*d.pead(0), 7.01);
        EXPECT_EQ(d.stdeas(0), 7.01f);
        EXPECT_EQ(d.eadouble(0.0), 7.01);
        EXPECT_STREQ(d.nea(0), "pH");
        EXPECT_STREQ(d.nead(1), Degrees);
    }
    Unload(&d);
}

TEST_F(LibraryFaults, HangUpWithHalfALineStillQueued)
{
    Driver d;
    ASSERT_TRUE(Load(Paths[0], &d));
    ASSERT_TRUE(SendToPort(meters[0], "pH  7.01   25.0 C\r\n"));
    ASSERT_EQ(ReadUntil(d, 7.01), 7.01);
    ASSERT_TRUE(SendToPort(meters[0], "pH  8."));
    ClosePty(&meters[0]); // before the library has looked: the half line may be lost
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(d.ead(0), 7.01);
        EXPECT_EQ(d.ea(1), 25);
        EXPECT_STREQ(d.nea(0), "pH");
    }
    Unload(&d);
}

TEST_F(LibraryFaults, FloodWhileDraining)
{
    Driver d;
    ASSERT_TRUE(Load(Paths[0], &d));
    std::atomic<bool> stop{false};
    std::atomic<size_t> written{0};
    std::thread writer([&] {
        string lines;
        while (lines.size() < 8192)
            lines += "pH  7.01   25.0 C\r\n";
        size_t at = 0;
        while (!stop) {
            ssize_t n = write(meters[0].master, lines.data() + at, lines.size() - at);
            if (n > 0) {
                written += size_t(n);
                at = (at + size_t(n)) % lines.size();
            } else {
                sched_yield();
            }
        }
    });

    // Until the first whole line is in, a reading may see no value; after that always 7.01.
    // The readings go on until several drains' worth of bytes have been pushed at the port.
    bool seen = false;
    for (int i = 0; (i < 400 || written < 8 * 65536) && !HasFailure(); ++i) {
        const double v = d.ead(0);
        if (seen)
            EXPECT_EQ(v, 7.01);
        else
            EXPECT_TRUE(v == NoValue || v == 7.01) << v;
        seen = seen || v == 7.01;
        const int32_t t = d.ea(1);
        EXPECT_TRUE(t == 25 || (!seen && t == -777)) << t;
        const char* label = d.nea(0);
        EXPECT_TRUE(strcmp(label, "pH") == 0 || (!seen && strcmp(label, "xxxxxxxx") == 0))
            << label;
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(seen);
    Unload(&d);
    EXPECT_EQ(SentByPort(meters[0]), "");
}

TEST_F(LibraryFaults, UnloadAndReload)
{
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        Driver d;
        ASSERT_TRUE(Load(Paths[0], &d));
        EXPECT_STREQ(d.nea(0), "xxxxxxxx"); // fresh state every time
        EXPECT_EQ(d.ead(0), NoValue);
        EXPECT_FALSE(FreeForAnotherProcess(0));
        char value[8], line[32];
        snprintf(value, sizeof value, "%d.%02d", i % 10, i);
        snprintf(line, sizeof line, "pH  %s   2%d.0 C\r\n", value, i % 10);
        ASSERT_TRUE(SendToPort(meters[0], line));
        EXPECT_EQ(ReadUntil(d, strtod(value, nullptr)), strtod(value, nullptr));
        EXPECT_EQ(d.ea(1), 20 + i % 10);
        Unload(&d);
        EXPECT_TRUE(FreeForAnotherProcess(0));
        EXPECT_EQ(SentByPort(meters[0]), "");
        ASSERT_FALSE(HasFailure());
    }
}

// Both libraries in one process, each reading its own port; unloading one leaves the other
// reading, and frees the first one's port.
void BothLibrariesInOneProcess(bool global)
{
    Driver one, two;
    ASSERT_TRUE(Load(Paths[0], &one, global));
    ASSERT_TRUE(Load(Paths[1], &two, global));
    EXPECT_STRNE(one.titre(), two.titre());
    for (int i = 1; i <= 5 && !::testing::Test::HasFailure(); ++i) {
        SCOPED_TRACE(i);
        char ph[32], mv[32];
        snprintf(ph, sizeof ph, "pH  %d.00   21.0 C\r\n", i);
        snprintf(mv, sizeof mv, "  -%d0mV\r\n", i);
        ASSERT_TRUE(SendToPort(meters[0], ph));
        ASSERT_TRUE(SendToPort(meters[1], mv));
        EXPECT_EQ(ReadUntil(one, i), i);
        EXPECT_EQ(ReadUntil(two, -10.0 * i), -10.0 * i);
        // Every form reads its own library's port and state.
        EXPECT_EQ(one.ea(0), i);
        EXPECT_EQ(one.stdea(0), i);
        EXPECT_EQ(two.ea(0), -10 * i);
        EXPECT_EQ(two.stdea(0), -10 * i);
        EXPECT_EQ(one.stdeas(1), 21.0f);
        EXPECT_EQ(two.stdeas(1), -777.0f);
        EXPECT_EQ(one.eadouble(0.0), i);
        EXPECT_EQ(two.eadouble(0.0), -10.0 * i);
        EXPECT_EQ(*one.pead(1), 21.0);
        EXPECT_EQ(*two.pead(1), NoValue);
        EXPECT_STREQ(one.nea(0), "pH");
        EXPECT_STREQ(two.nea(0), "mV");
        EXPECT_STREQ(two.nead(1), "");
    }
    Unload(&one);
    EXPECT_TRUE(FreeForAnotherProcess(0));
    ASSERT_TRUE(SendToPort(meters[1], "  -99mV\r\n"));
    EXPECT_EQ(ReadUntil(two, -99.0), -99.0);
    EXPECT_EQ(two.stdea(0), -99);

    ASSERT_TRUE(Load(Paths[0], &one, global));
    EXPECT_STREQ(one.nea(0), "xxxxxxxx"); // loaded afresh
    ASSERT_TRUE(SendToPort(meters[0], "pH  4.00   19.0 C\r\n"));
    EXPECT_EQ(ReadUntil(one, 4.0), 4.0);
    EXPECT_EQ(one.stdea(1), 19);
    EXPECT_EQ(two.stdea(0), -99);
    Unload(&one);
    Unload(&two);
    EXPECT_EQ(SentByPort(meters[0]), "");
    EXPECT_EQ(SentByPort(meters[1]), "");
}

TEST_F(LibraryFaults, BothLibrariesInOneProcess)
{
    BothLibrariesInOneProcess(false); // RTLD_LOCAL
}

// A host may load its drivers with RTLD_GLOBAL: their exports then share the process's global
// symbol scope, and each library must still call its own code.
TEST_F(LibraryFaults, BothLibrariesInOneProcessInTheGlobalScope)
{
    BothLibrariesInOneProcess(true);
}

} // namespace
