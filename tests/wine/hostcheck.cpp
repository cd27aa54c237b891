// hostcheck: a scripted host for the Wine tests. It runs the commands of its command line in
// order against up to two loaded driver libraries, and prints one result line each, for the
// test script to compare:
//
//   load K PATH      LoadLibraryA         "load K: base 0x... size 0x..."  or  "load K: failed ..."
//   texts K          titre and detail     "titre K: ..."  "detail K: ..."
//   labels K         stdnea(0), stdnea(1) "labels K: l0|l1"
//   read K           one reading          "read K: v0|v1|l0|l1"
//   wait K PAT MS    polls every 5 ms until the reading matches PAT (fields separated by '|',
//                    '*' matches anything) or MS milliseconds pass; prints each new reading as
//                    "seen K: ...", then "reached K: ..." or "timeout K: ..."
//   free K           FreeLibrary
//   sleep MS
//
// A reading is stdead(0), stdead(1), stdnea(0), stdnea(1): channel 0 first, since a channel-0
// reading is what decodes the latest line. Values print with up to 15 significant digits
// (-777 is the library's no value); texts print bytes outside printable ASCII, and '|' and
// '\', as \xHH, so the Windows-1252 texts compare byte for byte.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using std::string;

using TextFn = const char*(__stdcall*)();
using ValueFn = double(__stdcall*)(int32_t);
using LabelFn = const char*(__stdcall*)(int32_t);

struct Library {
    HMODULE module = nullptr;
    TextFn titre = nullptr;
    TextFn detail = nullptr;
    ValueFn ead = nullptr;
    LabelFn nea = nullptr;
};

Library libraries[3]; // 1 and 2

template <typename Fn> Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

string Escape(const char* text)
{
    string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p >= 0x20 && *p < 0x7F && *p != '|' && *p != '\\') {
            out += char(*p);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", *p);
            out += hex;
        }
    }
    return out;
}

string Number(double v)
{
    char text[40];
    snprintf(text, sizeof text, "%.15g", v);
    return text;
}

string Reading(const Library& l)
{
    double v0 = l.ead(0);
    double v1 = l.ead(1);
    string l0 = Escape(l.nea(0)); // copied at once: the library reuses one text buffer
    string l1 = Escape(l.nea(1));
    return Number(v0) + "|" + Number(v1) + "|" + l0 + "|" + l1;
}

std::vector<string> Fields(const string& s)
{
    std::vector<string> out(1);
    for (char c : s) {
        if (c == '|')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

bool Matches(const string& reading, const string& pattern)
{
    std::vector<string> r = Fields(reading), p = Fields(pattern);
    if (r.size() != p.size())
        return false;
    for (size_t i = 0; i < r.size(); ++i)
        if (p[i] != "*" && p[i] != r[i])
            return false;
    return true;
}

[[noreturn]] void Usage(const char* why)
{
    printf("usage error: %s\n", why);
    exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    // Plain line feeds, unbuffered: the test script reads the output as it comes.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    int i = 1;
    auto next = [&](const char* what) -> string {
        if (i >= argc)
            Usage(what);
        return argv[i++];
    };
    auto slot = [&]() -> Library& {
        string k = next("a library number");
        if (k != "1" && k != "2")
            Usage("library number must be 1 or 2");
        return libraries[k[0] - '0'];
    };

    while (i < argc) {
        string command = next("a command");
        string k = i < argc ? argv[i] : "";
        if (command == "load") {
            Library& l = slot();
            string path = next("a path");
            l.module = LoadLibraryA(path.c_str());
            if (l.module == nullptr) {
                printf("load %s: failed (error %lu)\n", k.c_str(), GetLastError());
                continue;
            }
            l.titre = Export<TextFn>(l.module, "stdtitre");
            l.detail = Export<TextFn>(l.module, "stddetail");
            l.ead = Export<ValueFn>(l.module, "stdead");
            l.nea = Export<LabelFn>(l.module, "stdnea");
            if (!l.titre || !l.detail || !l.ead || !l.nea) {
                printf("load %s: an export is missing\n", k.c_str());
                return 1;
            }
            // The module's address range, for telling its calls apart in a relay trace.
            auto base = reinterpret_cast<const unsigned char*>(l.module);
            auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
            auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
            printf("load %s: base 0x%llx size 0x%lx\n", k.c_str(),
                   (unsigned long long)(uintptr_t)base, (unsigned long)nt->OptionalHeader.SizeOfImage);
        } else if (command == "free") {
            Library& l = slot();
            printf("free %s: %s\n", k.c_str(), l.module && FreeLibrary(l.module) ? "ok" : "failed");
            l = Library();
        } else if (command == "sleep") {
            Sleep(DWORD(atol(next("milliseconds").c_str())));
        } else {
            Library& l = slot();
            if (l.module == nullptr)
                Usage("library not loaded");
            if (command == "texts") {
                printf("titre %s: %s\n", k.c_str(), Escape(l.titre()).c_str());
                printf("detail %s: %s\n", k.c_str(), Escape(l.detail()).c_str());
            } else if (command == "labels") {
                string l0 = Escape(l.nea(0));
                string l1 = Escape(l.nea(1));
                printf("labels %s: %s|%s\n", k.c_str(), l0.c_str(), l1.c_str());
            } else if (command == "read") {
                printf("read %s: %s\n", k.c_str(), Reading(l).c_str());
            } else if (command == "wait") {
                string pattern = next("a pattern");
                DWORD limit = DWORD(atol(next("milliseconds").c_str()));
                DWORD start = GetTickCount();
                string last;
                bool reached = false;
                for (;;) {
                    string r = Reading(l);
                    if (r != last)
                        printf("seen %s: %s\n", k.c_str(), r.c_str());
                    last = r;
                    if (Matches(r, pattern)) {
                        reached = true;
                        break;
                    }
                    if (GetTickCount() - start >= limit)
                        break;
                    Sleep(5);
                }
                printf("%s %s: %s\n", reached ? "reached" : "timeout", k.c_str(), last.c_str());
            } else {
                Usage(("unknown command " + command).c_str());
            }
        }
    }
    return 0;
}
