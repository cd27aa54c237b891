// A pseudo-terminal standing in for a meter on a serial port: the library opens the device
// end (path), the test plays the meter on the master end.
#pragma once
#include <string>

struct Pty {
    int master = -1;
    std::string path; // the device end
};

// Opens a new pseudo-terminal; the master is non-blocking. Returns false on failure.
bool OpenPty(Pty* pty);
void ClosePty(Pty* pty);

// Writes all bytes to the master end (what the meter sends).
bool SendToPort(const Pty& pty, const std::string& bytes);

// Whatever has arrived at the master end from the device side, without waiting.
std::string SentByPort(const Pty& pty);
