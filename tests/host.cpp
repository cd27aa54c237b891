#include "tests/host.h"
#include "tests/pty.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using std::string;

const char* const SerialDevices[2] = {"/dev/ttyS0", "/dev/ttyS1"};

bool SameDevice(const char* a, const char* b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && S_ISCHR(sa.st_mode) &&
           sa.st_rdev == sb.st_rdev;
}

bool BindPort(int n, const char* source)
{
    umount2(SerialDevices[n], MNT_DETACH); // an earlier bind, if any
    return mount(source, SerialDevices[n], nullptr, MS_BIND, nullptr) == 0;
}

bool ReadyPort(int n, Pty* meter)
{
    if (meter->master < 0 && !OpenPty(meter))
        return false;
    if (access(SerialDevices[n], F_OK) != 0) { // removed by a test
        int fd = open(SerialDevices[n], O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            return false;
        close(fd);
    }
    if (!BindPort(n, meter->path.c_str()) || !SameDevice(SerialDevices[n], meter->path.c_str()))
        return false;
    SentByPort(*meter);
    int fd = open(meter->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    tcflush(fd, TCIFLUSH);
    close(fd);
    return true;
}

static bool BuildPrivateDev(string* why)
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
    for (const char* device : SerialDevices) {
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

bool MakePrivateDev(string* why)
{
    static string reason;
    static const bool made = BuildPrivateDev(&reason);
    *why = reason;
    return made;
}

template <class F>
static void Resolve(void* handle, const char* name, F* f, bool* all)
{
    *f = reinterpret_cast<F>(dlsym(handle, name));
    *all = *all && *f != nullptr;
}

bool Load(const char* path, Driver* d, bool global)
{
    d->handle = dlopen(path, RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (d->handle == nullptr)
        return false;
    bool all = true;
    Resolve(d->handle, "ea", &d->ea, &all);
    Resolve(d->handle, "ead", &d->ead, &all);
    Resolve(d->handle, "nea", &d->nea, &all);
    Resolve(d->handle, "nead", &d->nead, &all);
    Resolve(d->handle, "pead", &d->pead, &all);
    Resolve(d->handle, "stdea", &d->stdea, &all);
    Resolve(d->handle, "stdeas", &d->stdeas, &all);
    Resolve(d->handle, "eadouble", &d->eadouble, &all);
    Resolve(d->handle, "titre", &d->titre, &all);
    Resolve(d->handle, "detail", &d->detail, &all);
    return all;
}

void Unload(Driver* d)
{
    if (d->handle)
        dlclose(d->handle);
    d->handle = nullptr;
}

double ReadUntil(const Driver& d, double expected)
{
    double v = d.ead(0);
    for (int i = 0; i < 2000 && v != expected; ++i) {
        usleep(1000);
        v = d.ead(0);
    }
    return v;
}
