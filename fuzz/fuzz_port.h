// A serial port driven by fuzz input, standing in for the platform seam (serial/port.h).
//
// Control values (open, query and read outcomes) are taken from the end of the input, the
// bytes the meter sends from its front, so that the line text of a corpus file stays readable.
// Every query first lets some of the input "arrive" in the port's queue, a few bytes, a burst,
// or a flood of input bytes repeated past what one drain takes; a query may fail, may report a
// count that is far too large, and a read may fail or deliver fewer bytes than asked for, while
// the bytes stay queued.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string>

namespace fuzzport {

// Starts a new run on this input: closed port, empty queue, empty log, zero counters.
void Begin(FuzzedDataProvider* input);

struct Log {
    unsigned opens, openFailures, closes, queries, reads;
    std::string delivered;  // every byte a read has handed out, in order
    bool lastCallEndedDrain; // the last query reported nothing or failed, or the last read gave 0
};
const Log& Current();
void ForgetDelivered(); // empties Log::delivered once the bytes have been checked

bool IsOpen();

// Reports a broken rule and aborts, so that the fuzzer keeps the input.
[[noreturn]] void Fail(const char* what);

} // namespace fuzzport
