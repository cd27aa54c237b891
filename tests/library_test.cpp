// The built shared objects, loaded with dlopen as a host loads them. Their ports, COM1 and
// COM2, are /dev/ttyS0 and /dev/ttyS1; inside a private mount namespace this test binds a
// pseudo-terminal over each, and checks that the bind took before any library is loaded, so
// the machine's real serial devices are never opened.
#include "tests/pty.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using std::string;

Pty meters[2];          // COM1, COM2
string skipReason;

bool SameDevice(const char* a, const char* b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && S_ISCHR(sa.st_mode) &&
           sa.st_rdev == sb.st_rdev;
}

const char* const devices[2] = {"/dev/ttyS0", "/dev/ttyS1"};

// Binds `source` over the device of port n (0 or 1) and checks it.
bool BindPort(int n, const char* source)
{
    umount2(devices[n], MNT_DETACH); // an earlier bind, if any
    return mount(source, devices[n], nullptr, MS_BIND, nullptr) == 0;
}

// Gives this process a /dev of its own: a private mount namespace with a tmpfs over /dev that
// holds only what the test needs, and empty files where the serial devices go. The machine's
// real serial devices are then not even visible.
bool MakePrivateDev(string* why)
{
    char old[] = "/tmp/tivrel-dev.XXXXXX";
    if (mkdtemp(old) == nullptr) {
        *why = "cannot make a temporary folder";
        return false;
    }
    bool ok = unshare(CLONE_NEWNS) == 0 &&
              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("/dev", old, nullptr, MS_BIND | MS_REC, nullptr) == 0;
    if (!ok) {
        rmdir(old);
        *why = "cannot make a private mount namespace (needs root)";
        return false;
    }
    ok = mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") == 0;
    for (const char* node : {"null", "zero", "urandom", "random", "tty"}) {
        string from = string(old) + "/" + node, to = string("/dev/") + node;
        int fd = open(to.c_str(), O_CREAT | O_WRONLY, 0644);
        close(fd);
        ok = ok && fd >= 0 && mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    // New pseudo-terminals come from the pts instance's own multiplexer.
    ok = ok && mkdir("/dev/pts", 0755) == 0 &&
         mount((string(old) + "/pts").c_str(), "/dev/pts", nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
         symlink("pts/ptmx", "/dev/ptmx") == 0;
    for (const char* device : devices) {
        int fd = open(device, O_CREAT | O_WRONLY, 0644);
        ok = ok && fd >= 0;
        close(fd);
    }
    umount2(old, MNT_DETACH);
    rmdir(old);
    if (!ok)
        *why = "cannot build a private /dev";
    return ok;
}

class Library : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!MakePrivateDev(&skipReason))
            return;
        for (int n = 0; n < 2; ++n) {
            if (!OpenPty(&meters[n]) || !BindPort(n, meters[n].path.c_str())) {
                skipReason = "cannot bind a pseudo-terminal over the serial devices";
                return;
            }
        }
    }

    void SetUp() override
    {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        // Never load a library unless both ports are our pseudo-terminals.
        for (int n = 0; n < 2; ++n) {
            ASSERT_TRUE(BindPort(n, meters[n].path.c_str()));
            ASSERT_TRUE(SameDevice(devices[n], meters[n].path.c_str())) << devices[n];
            // Start each test with nothing in flight in either direction.
            SentByPort(meters[n]);
            int fd = open(meters[n].path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            tcflush(fd, TCIFLUSH);
            close(fd);
        }
    }
};

// The exports a host uses most, resolved from one loaded library.
struct Driver {
    void* handle = nullptr;
    int32_t (*ea)(int32_t);
    double (*ead)(int32_t);
    const char* (*nea)(int32_t);
    const char* (*titre)();
    const char* (*detail)();
};

bool Load(const char* path, Driver* d)
{
    d->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (d->handle == nullptr)
        return false;
    d->ea = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(d->handle, "ea"));
    d->ead = reinterpret_cast<double (*)(int32_t)>(dlsym(d->handle, "ead"));
    d->nea = reinterpret_cast<const char* (*)(int32_t)>(dlsym(d->handle, "nea"));
    d->titre = reinterpret_cast<const char* (*)()>(dlsym(d->handle, "titre"));
    d->detail = reinterpret_cast<const char* (*)()>(dlsym(d->handle, "detail"));
    return d->ea && d->ead && d->nea && d->titre && d->detail;
}

void Unload(Driver* d)
{
    if (d->handle)
        dlclose(d->handle);
    d->handle = nullptr;
}

// The bytes sent to a port reach the library's input queue shortly after: poll ead(0) for the
// expected value with a generous bound.
double ReadUntil(const Driver& d, double expected)
{
    double v = d.ead(0);
    for (int i = 0; i < 2000 && v != expected; ++i) {
        usleep(1000);
        v = d.ead(0);
    }
    return v;
}

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
