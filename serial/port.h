// The platform seam of the serial link: the only place where the operating system's serial
// calls are made. One implementation per platform (Win32, POSIX); tests may link their own.
#pragma once
#include <stdint.h>

using PortHandle = intptr_t;
constexpr PortHandle NoPort = -1;

// Opens the named device for reading and writing, exclusively, and applies the mode string
// ("baud=4800 parity=n data=8 stop=1"), 256-byte queues and a total read time-out of timeoutMs.
// Returns NoPort when the device cannot be opened; set-up failures after the open are ignored.
PortHandle PlatformOpen(const char* name, const char* mode, uint16_t timeoutMs);

// Stores the number of received bytes in the input queue; false when the query fails.
bool PlatformQueued(PortHandle port, uint32_t* count);

// Reads up to n bytes; returns the number read (0 on failure or time-out).
unsigned PlatformRead(PortHandle port, unsigned char* buffer, unsigned n);

void PlatformClose(PortHandle port);
