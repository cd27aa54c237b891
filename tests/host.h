// The built shared objects as a host loads them, with their ports in a /dev of the test's own.
// Their ports, COM1 and COM2, are /dev/ttyS0 and /dev/ttyS1: inside a private mount namespace
// a test binds a pseudo-terminal over each and checks that the bind took before it loads a
// library, so the machine's real serial devices are never opened.
#pragma once
#include <stdint.h>
#include <string>

extern const char* const SerialDevices[2]; // COM1, COM2

// Gives this process a /dev of its own: a private mount namespace with a tmpfs over /dev that
// holds only what the tests need, and empty files where the serial devices go. Done once per
// process; later calls give the first call's result.
bool MakePrivateDev(std::string* why);

// Binds `source` over the device of port n (0 or 1).
bool BindPort(int n, const char* source);

// Whether both paths are the same character device.
bool SameDevice(const char* a, const char* b);

struct Pty;
// Makes port n ready for a test: opens a new pseudo-terminal for it if it has none (after a
// hang-up), puts the device file back if a test removed it, binds the pseudo-terminal over the
// device and checks the bind, and empties both directions. False when any step fails: then no
// library may be loaded.
bool ReadyPort(int n, Pty* meter);

// Exports resolved from one loaded library.
struct Driver {
    void* handle = nullptr;
    int32_t (*ea)(int32_t);
    double (*ead)(int32_t);
    const char* (*nea)(int32_t);
    const char* (*nead)(int32_t);
    double* (*pead)(int32_t);
    int32_t (*stdea)(int32_t);
    float (*stdeas)(int32_t);
    double (*eadouble)(double);
    const char* (*titre)();
    const char* (*detail)();
};

// Loads with RTLD_LOCAL, as most hosts do, or with RTLD_GLOBAL, which puts the library's
// exports in the process's global scope.
bool Load(const char* path, Driver* d, bool global = false);
void Unload(Driver* d);

// The bytes sent to a port reach the library's input queue shortly after: polls ead(0) for the
// expected value with a generous bound, and returns the last value read.
double ReadUntil(const Driver& d, double expected);
