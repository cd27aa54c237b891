#include "tests/fake_port.h"
#include "serial/port.h"

#include <string.h>

namespace {
std::string queue;
bool readsFail, flood, openFails, open;
fakeport::Calls calls;
std::string name, mode;
unsigned timeout;
constexpr PortHandle FakeHandle = 42;
} // namespace

namespace fakeport {
void Reset()
{
    queue.clear();
    readsFail = flood = openFails = open = false;
    calls = {};
    name.clear();
    mode.clear();
    timeout = 0;
}
void Feed(const std::string& bytes) { queue += bytes; }
size_t Pending() { return queue.size(); }
void SetReadsFail(bool fail) { readsFail = fail; }
void SetFlood(bool on) { flood = on; }
void SetOpenFails(bool fail) { openFails = fail; }
Calls Counted() { return calls; }
std::string OpenedName() { return name; }
std::string OpenedMode() { return mode; }
unsigned OpenedTimeout() { return timeout; }
bool IsOpen() { return open; }
} // namespace fakeport

PortHandle PlatformOpen(const char* portName, const char* portMode, uint16_t timeoutMs)
{
    ++calls.opens;
    name = portName;
    mode = portMode;
    timeout = timeoutMs;
    if (openFails)
        return NoPort;
    open = true;
    return FakeHandle;
}

bool PlatformQueued(PortHandle port, uint32_t* count)
{
    ++calls.queries;
    if (port != FakeHandle || !open)
        return false;
    *count = flood ? 255 : uint32_t(queue.size());
    return true;
}

unsigned PlatformRead(PortHandle port, unsigned char* buffer, unsigned n)
{
    ++calls.reads;
    if (port != FakeHandle || !open || readsFail)
        return 0;
    if (flood) {
        memset(buffer, 'a', n);
        return n;
    }
    size_t got = n < queue.size() ? n : queue.size();
    memcpy(buffer, queue.data(), got);
    queue.erase(0, got);
    return unsigned(got);
}

void PlatformClose(PortHandle port)
{
    ++calls.closes;
    if (port == FakeHandle)
        open = false;
}
