// The DLL's own entry point: no C runtime start-up runs before or around it.
#include "driver/lifecycle.h"

#include <windows.h>

extern "C" BOOL WINAPI DllEntry(HINSTANCE, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        LibraryStart();
        break;
    case DLL_PROCESS_DETACH:
        // reserved is non-null when the process is terminating rather than unloading us.
        LibraryStop(reserved != nullptr);
        break;
    default: // thread attach and detach: nothing to do
        break;
    }
    return TRUE;
}
