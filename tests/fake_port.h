// A scripted serial port for in-process tests: it stands in for the platform seam, so the
// meter and channel code run exactly as in the library while the test decides what arrives.
#pragma once
#include <stddef.h>
#include <string>

namespace fakeport {

void Reset();                                  // closed, nothing queued, counters zero
void Feed(const std::string& bytes);           // bytes the meter sends (queued at once)
size_t Pending();                              // bytes still queued

// Failure modes.
void SetReadsFail(bool fail);                  // reads deliver nothing though bytes are queued
void SetFlood(bool flood);                     // an endless stream: always 255 bytes waiting
void SetOpenFails(bool fail);                  // the device is missing

struct Calls {
    unsigned opens, closes, queries, reads;
};
Calls Counted();

// What the last open was asked for.
std::string OpenedName();
std::string OpenedMode();
unsigned OpenedTimeout();
bool IsOpen();

} // namespace fakeport
