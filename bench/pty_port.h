// The library's port on a pseudo-terminal, for the benchmarks that go through the real POSIX
// seam: the library opens the device end as it opens a serial port, the benchmark plays the
// meter on the master end.
#pragma once
#include "tests/pty.h"

// Opens a pseudo-terminal, has the library open its device end with the build's settings, and
// sends one pH line, read once so that every later reading decodes a real frame. Stores the
// library's own descriptor of the port in *fd. False on failure.
bool OpenLibraryPort(Pty* meter, int* fd);

// Sends a line and waits until the library's descriptor has it queued.
bool SendAndWait(const Pty& meter, int fd, const char* line);
