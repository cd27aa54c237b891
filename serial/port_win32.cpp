// The serial seam on Windows: the Win32 communications API. Nothing here writes to the port.
#include "serial/port.h"
#include "serial/ucommw32.h"

#include <windows.h>

PortHandle PlatformOpen(const char* name, const char* mode, uint16_t timeoutMs)
{
    // Each step runs whatever the earlier ones returned: with a missing or busy port the
    // handle is invalid and the set-up calls simply fail.
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    SetupComm(h, 256, 256);

    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    BuildCommDCBA(mode, &dcb);
    SetCommState(h, &dcb);

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = timeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = timeoutMs;
    SetCommTimeouts(h, &timeouts);

    return h == INVALID_HANDLE_VALUE ? NoPort : PortHandle(h);
}

POLL_PATH bool PlatformQueued(PortHandle port, uint32_t* count)
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(HANDLE(port), &errors, &status))
        return false;
    *count = status.cbInQue;
    return true;
}

unsigned PlatformRead(PortHandle port, unsigned char* buffer, unsigned n)
{
    DWORD got = 0;
    if (!ReadFile(HANDLE(port), buffer, n, &got, nullptr))
        return 0;
    return unsigned(got);
}

void PlatformClose(PortHandle port)
{
    CloseHandle(HANDLE(port));
}
