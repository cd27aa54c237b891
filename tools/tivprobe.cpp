// tivprobe: a small host for a tivrel driver library. It loads the library as the
// data-acquisition host does, shows its title and detail, the labels of channels 0 and 1, and
// then polls both channels at a fixed interval from the load on, one line a poll.
//
// It calls the stdcall forms of the exports (stdtitre, stddetail, stdead, stdnea): on 32-bit
// Windows these are plain __stdcall, unlike the register-convention ea/ead/nea; on 64-bit
// Windows and Linux every form is a plain C function.
//
// Texts come from the library in Windows-1252 and are shown in UTF-8.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#define TIV_STDCALL __stdcall
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#define TIV_STDCALL
#endif

namespace {

using std::string;

const char Usage[] =
    "usage: tivprobe [options] LIBRARY\n"
    "Loads a tivrel driver library (tivrel1 or tivrel2, .dll or .so), shows its title, detail\n"
    "and channel labels, then polls channel 0 (pH or mV) and channel 1 (temperature).\n"
    "\n"
    "  --interval MS  time between polls, the first one an interval after the load\n"
    "                 (default 1000)\n"
    "  --count N      number of polls (default 10; 0 polls until interrupted)\n"
#if !defined(_WIN32)
    "  --device PATH  the serial device that stands in for the library's port (required on\n"
    "                 Linux): in a private mount namespace of this process, PATH is put in\n"
    "                 place of /dev/ttyS0 and /dev/ttyS1 (COM1 and COM2), so the library opens\n"
    "                 PATH whichever port it is built for. Needs root or user namespaces.\n"
#endif
    "  --help         this text\n"
    "\n"
    "A reading of -777 is the library's 'no value': no line from the meter yet, no meter, or\n"
    "a port that could not be opened. Exit status: 0 done, 1 usage, 2 library not loaded,\n"
    "3 an export missing, 4 the device could not be put in place.\n";

// Windows-1252 to UTF-8. 0x80..0x9F hold the code page's own characters (five of them are
// unassigned and come out as U+FFFD); 0xA0..0xFF are the Latin-1 characters of the same value.
string Utf8FromCp1252(const char* text)
{
    static const uint16_t high[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
        0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        unsigned c = *p;
        if (c >= 0x80 && c < 0xA0)
            c = high[c - 0x80];
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

using TextFn = const char*(TIV_STDCALL*)();
using ValueFn = double(TIV_STDCALL*)(int32_t);
using LabelFn = const char*(TIV_STDCALL*)(int32_t);

struct Driver {
    TextFn titre = nullptr;
    TextFn detail = nullptr;
    ValueFn ead = nullptr;
    LabelFn nea = nullptr;
};

#if defined(_WIN32)
using Handle = HMODULE;

Handle Load(const char* path, string* error)
{
    // No "cannot load" dialog box from the system: the error is reported here.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    Handle h = LoadLibraryA(path);
    if (h == nullptr) {
        DWORD code = GetLastError();
        char text[512] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       0, text, sizeof text, nullptr);
        size_t n = strlen(text);
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
            text[--n] = '\0';
        *error = "error " + std::to_string(code) + (n ? ": " + string(text) : string());
    }
    return h;
}
void* Symbol(Handle h, const char* name) { return reinterpret_cast<void*>(GetProcAddress(h, name)); }
void Unload(Handle h) { FreeLibrary(h); }
void SleepMs(unsigned ms) { Sleep(ms); }
#else
using Handle = void*;

Handle Load(const char* path, string* error)
{
    Handle h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr)
        *error = dlerror();
    return h;
}
void* Symbol(Handle h, const char* name) { return dlsym(h, name); }
void Unload(Handle h) { dlclose(h); }
void SleepMs(unsigned ms)
{
    timespec t = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool WriteFile(const char* path, const string& text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// Gives this process a /dev of its own in which COM1 and COM2 (/dev/ttyS0 and /dev/ttyS1) are
// `device`: a private mount namespace (in a user namespace when not root) with a tmpfs over
// /dev holding the few nodes a library may need. The machine's own serial devices are then
// out of reach.
bool PutDeviceInPlace(const char* device, string* error)
{
    char real[PATH_MAX];
    struct stat st;
    if (realpath(device, real) == nullptr || stat(real, &st) != 0) {
        *error = string(device) + ": " + strerror(errno);
        return false;
    }
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            *error = string("cannot make a private mount namespace: ") + strerror(errno);
            return false;
        }
    } else if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
               !WriteFile("/proc/self/setgroups", "deny") ||
               !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
               !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        *error = string("cannot make a user and mount namespace: ") + strerror(errno);
        return false;
    }
    // Keep the original /dev reachable under a temporary name while the new one is built.
    char old[] = "/tmp/tivprobe-dev.XXXXXX";
    if (mkdtemp(old) == nullptr) {
        *error = string("cannot make a temporary folder: ") + strerror(errno);
        return false;
    }
    bool ok = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("/dev", old, nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
              mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") == 0;
    for (const char* node : {"null", "zero", "urandom", "random", "tty"}) {
        string from = string(old) + "/" + node, to = string("/dev/") + node;
        int fd = open(to.c_str(), O_CREAT | O_WRONLY, 0644);
        ok = ok && fd >= 0 && mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (fd >= 0)
            close(fd);
    }
    // The device: a path under the old /dev is reached through the temporary name.
    string source = strncmp(real, "/dev/", 5) == 0 ? string(old) + (real + 4) : string(real);
    for (const char* port : {"/dev/ttyS0", "/dev/ttyS1"}) {
        int fd = open(port, O_CREAT | O_WRONLY, 0644);
        ok = ok && fd >= 0 && mount(source.c_str(), port, nullptr, MS_BIND, nullptr) == 0;
        if (fd >= 0)
            close(fd);
    }
    umount2(old, MNT_DETACH);
    rmdir(old);
    if (!ok)
        *error = string("cannot build a private /dev: ") + strerror(errno);
    return ok;
}
#endif

string Value(double v)
{
    if (v == -777.0)
        return "no value";
    char text[32];
    snprintf(text, sizeof text, "%.10g", v);
    return text;
}

bool Whole(const char* text, long min, long* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < min)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
    long interval = 1000, count = 10;
    const char* library = nullptr;
    const char* device = nullptr;
    for (int i = 1; i < argc; ++i) {
        string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(Usage, stdout);
            return 0;
        }
        bool valued = a == "--interval" || a == "--count" || a == "--device";
        if (valued && i + 1 >= argc) {
            fprintf(stderr, "tivprobe: %s needs a value\n", a.c_str());
            return 1;
        }
        if (a == "--interval" || a == "--count") {
            if (!Whole(argv[++i], a == "--interval" ? 1 : 0, a == "--interval" ? &interval : &count)) {
                fprintf(stderr, "tivprobe: %s: not a valid number: %s\n", a.c_str(), argv[i]);
                return 1;
            }
        } else if (a == "--device") {
            device = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "tivprobe: unknown option %s (see --help)\n", a.c_str());
            return 1;
        } else if (library != nullptr) {
            fprintf(stderr, "tivprobe: one library at a time (see --help)\n");
            return 1;
        } else {
            library = argv[i];
        }
    }
    if (library == nullptr) {
        fputs(Usage, stderr);
        return 1;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);

    string error;
#if defined(_WIN32)
    if (device != nullptr) {
        fprintf(stderr, "tivprobe: --device is for Linux; on Windows the library opens its own COM port\n");
        return 1;
    }
#else
    if (device == nullptr) {
        fprintf(stderr, "tivprobe: give --device PATH: the serial device for the library to use "
                        "in place of its port (see --help)\n");
        return 1;
    }
    if (!PutDeviceInPlace(device, &error)) {
        fprintf(stderr, "tivprobe: %s\n", error.c_str());
        return 4;
    }
#endif

    Handle h = Load(library, &error);
    if (h == nullptr) {
        fprintf(stderr, "tivprobe: cannot load %s: %s\n", library, error.c_str());
        return 2;
    }
    Driver d;
    d.titre = reinterpret_cast<TextFn>(Symbol(h, "stdtitre"));
    d.detail = reinterpret_cast<TextFn>(Symbol(h, "stddetail"));
    d.ead = reinterpret_cast<ValueFn>(Symbol(h, "stdead"));
    d.nea = reinterpret_cast<LabelFn>(Symbol(h, "stdnea"));
    const char* missing = !d.titre ? "stdtitre" : !d.detail ? "stddetail" : !d.ead ? "stdead"
                        : !d.nea ? "stdnea" : nullptr;
    if (missing != nullptr) {
        fprintf(stderr, "tivprobe: %s has no export named %s: not a tivrel driver library?\n",
                library, missing);
        Unload(h);
        return 3;
    }

    printf("library    %s\n", library);
    printf("titre      %s\n", Utf8FromCp1252(d.titre()).c_str());
    printf("detail     %s\n", Utf8FromCp1252(d.detail()).c_str());
    // Labels are copied at once: each query reuses the library's one text buffer.
    string label0 = Utf8FromCp1252(d.nea(0));
    string label1 = Utf8FromCp1252(d.nea(1));
    printf("labels     channel 0 \"%s\", channel 1 \"%s\"\n", label0.c_str(), label1.c_str());
    printf("%5s %9s   %-22s %s\n", "poll", "time", "channel 0", "channel 1");

    // Poll n comes n intervals after the load: the first one leaves the meter time to send.
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (long n = 1; count == 0 || n <= count; ++n) {
        double due = double(n) * double(interval) / 1000.0;
        double now = elapsed();
        if (due > now)
            SleepMs(unsigned((due - now) * 1000.0));
        double t = elapsed();
        double v0 = d.ead(0);
        double v1 = d.ead(1);
        label0 = Utf8FromCp1252(d.nea(0));
        label1 = Utf8FromCp1252(d.nea(1));
        string ch0 = Value(v0) + " " + label0;
        // The width counts bytes; the labels are short and ASCII but for the degree sign.
        printf("%5ld %7.2f s   %-22s %s %s\n", n, t, ch0.c_str(), Value(v1).c_str(), label1.c_str());
    }
    Unload(h);
    return 0;
}
