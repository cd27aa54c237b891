#include "serial/ucommw32.h"
#include "serial/port.h"

char PortName[PortNameCapacity] = "Com2:";
char PortMode[PortModeCapacity] = "baud=1200 parity=e data=7 stop=1";

static PortHandle Port = NoPort;
static unsigned char ReadBuffer[ReadCapacity];

void SetText(char* dst, unsigned capacity, const char* src)
{
    unsigned i = 0;
    for (; i + 1 < capacity && src[i] != '\0'; ++i)
        dst[i] = src[i];
    dst[i] = '\0';
}

void OpenPort()
{
    Port = PlatformOpen(PortName, PortMode, PortTimeout);
}

void ClosePort()
{
    if (Port != NoPort)
        PlatformClose(Port);
    Port = NoPort;
}

POLL_PATH uint16_t BytesWaiting()
{
    uint32_t count = 0;
    if (Port == NoPort || !PlatformQueued(Port, &count))
        return 0;
    // Saturate rather than truncate: a full 64 KiB queue must not read as empty.
    return count > 0xFFFF ? 0xFFFF : uint16_t(count);
}

POLL_PATH Received ReadWaiting()
{
    // One query, then one read of what it reported: the bytes are already queued, so the
    // read returns at once instead of waiting for the time-out.
    unsigned n = BytesWaiting();
    if (n == 0)
        return {ReadBuffer, 0};
    if (n > ReadCapacity)
        n = ReadCapacity;
    unsigned got = PlatformRead(Port, ReadBuffer, n);
    return {ReadBuffer, got <= n ? got : 0};
}
