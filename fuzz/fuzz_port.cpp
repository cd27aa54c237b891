#include "fuzz/fuzz_port.h"
#include "serial/port.h"
#include "serial/ucommw32.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr PortHandle Handle = 7;
FuzzedDataProvider* in;
bool open;
std::string queue;     // bytes arrived and not yet read, from `head` on
size_t head;
bool queried;          // a query reported bytes since the last read
unsigned reported;     // what that query reported
fuzzport::Log log;

size_t Queued() { return queue.size() - head; }

} // namespace

namespace fuzzport {

void Begin(FuzzedDataProvider* input)
{
    in = input;
    open = false;
    queue.clear();
    head = 0;
    queried = false;
    reported = 0;
    log = Log{};
}

const Log& Current() { return log; }
void ForgetDelivered() { log.delivered.clear(); }
bool IsOpen() { return open; }

void Fail(const char* what)
{
    fprintf(stderr, "stream fuzz: %s\n", what);
    abort();
}

} // namespace fuzzport

using fuzzport::Fail;

PortHandle PlatformOpen(const char* name, const char* mode, uint16_t)
{
    ++log.opens;
    if (open)
        Fail("port opened again while open");
    if (strnlen(name, PortNameCapacity) == PortNameCapacity ||
        strnlen(mode, PortModeCapacity) == PortModeCapacity)
        Fail("port name or mode not terminated within its capacity");
    if (in->ConsumeIntegral<uint8_t>() == 0xFF) { // the device is missing or held
        ++log.openFailures;
        return NoPort;
    }
    open = true;
    return Handle;
}

bool PlatformQueued(PortHandle port, uint32_t* count)
{
    ++log.queries;
    if (!open || port != Handle)
        Fail("query on a port that is not open");
    const uint8_t c = in->ConsumeIntegral<uint8_t>();
    queried = false;
    if (c == 0xFF) { // the query fails
        log.lastCallEndedDrain = true;
        return false;
    }
    if (c == 0xFE) {
        // A count beyond 16 bits: must not read as "nothing waiting".
        *count = uint32_t(0x10000 + Queued());
    } else {
        if (head > 4096 && head * 2 > queue.size()) {
            queue.erase(0, head);
            head = 0;
        }
        if (c < 0xF0) {
            // Some of the input arrives: up to 127 bytes, or a burst of up to 7 KiB.
            queue += in->ConsumeBytesAsString(c < 0x80 ? c : size_t(c - 0x80) * 64);
        } else {
            // A flood: up to 16 input bytes repeated to 8 to 112 KiB, more than one drain takes.
            const std::string unit = in->ConsumeBytesAsString(16);
            for (size_t n = size_t(c - 0xEF) * 8192; !unit.empty() && n >= unit.size();
                 n -= unit.size())
                queue += unit;
        }
        *count = uint32_t(Queued());
    }
    reported = *count;
    queried = reported > 0;
    log.lastCallEndedDrain = reported == 0;
    return true;
}

unsigned PlatformRead(PortHandle port, unsigned char* buffer, unsigned n)
{
    ++log.reads;
    if (!open || port != Handle)
        Fail("read on a port that is not open");
    if (!queried)
        Fail("read without a query reporting bytes before it");
    if (n == 0 || n > ReadCapacity || n > reported)
        Fail("read size is not what the query reported, capped to the read buffer");
    queried = false;
    const uint8_t c = in->ConsumeIntegral<uint8_t>();
    if (c == 0xFF) { // the read fails; the bytes stay queued
        log.lastCallEndedDrain = true;
        return 0;
    }
    size_t m = n < Queued() ? n : Queued();
    if ((c & 0x80) && m > (c & 0x7Fu)) // a short read
        m = c & 0x7Fu;
    memcpy(buffer, queue.data() + head, m);
    log.delivered.append(queue, head, m);
    head += m;
    log.lastCallEndedDrain = m == 0;
    return unsigned(m);
}

void PlatformClose(PortHandle port)
{
    ++log.closes;
    if (!open || port != Handle)
        Fail("close of a port that is not open");
    open = false;
}
