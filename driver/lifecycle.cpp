#include "driver/lifecycle.h"
#include "driver/build.h"
#include "meter/meter.h"
#include "serial/ucommw32.h"

void LibraryStart()
{
    ResetMeter();
    SetText(PortName, PortNameCapacity, BuildPortName);
    SetText(PortMode, PortModeCapacity, BuildPortMode);
    OpenPort();
}

void LibraryStop(bool processEnding)
{
    if (!processEnding)
        ClosePort();
}
