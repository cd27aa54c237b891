#include "meter/meter.h"
#include "serial/ucommw32.h"

#include <string.h>

unsigned char Frame[FrameCapacity + 1];
unsigned FramePos;
unsigned char CompleteLine[FrameCapacity + 1];
// Whether CompleteLine has changed since Measure last decoded it. A poll that brought no new
// line then returns the values as they are: decoding the same line again gives the same.
static bool NewLine;
double MainValue;
double Temperature;
char MainLabel[LabelCapacity];
char TempLabel[LabelCapacity];

// At most this many bytes are taken in one drain: a port that never stops delivering must not
// keep the caller forever. What is left stays queued for the next call.
constexpr unsigned long DrainLimit = 65536;

void ResetMeter()
{
    memset(Frame, 'x', sizeof Frame);
    Frame[0] = 0;
    FramePos = 1;
    memcpy(CompleteLine, Frame, sizeof CompleteLine);
    NewLine = false; // the start line is neither pH nor mV: decoding it changes nothing
    // No reading yet: both channels read as no value, not as pH 0.
    MainValue = NoValue;
    Temperature = NoValue;
    SetText(MainLabel, LabelCapacity, "xxxxxxxx");
    SetText(TempLabel, LabelCapacity, "xxxxxxx");
}

// Passes one received character through the line assembler.
static void AssembleChar(unsigned char c)
{
    // A line feed ends the line in progress and starts a new one at position 1. Past the last
    // stored position the count stops growing (no wrap-around).
    if (c == '\n') {
        for (unsigned p = 1; p <= FrameLength; ++p)
            CompleteLine[p] = p <= FramePos ? Frame[p] : ' ';
        NewLine = true;
        FramePos = 1;
    } else if (FramePos <= LastStored) {
        ++FramePos;
    }
    if (FramePos <= LastStored)
        Frame[FramePos] = c;
}

POLL_PATH void CollectInput()
{
    unsigned long taken = 0;
    while (taken < DrainLimit) {
        Received r = ReadWaiting();
        if (r.length == 0)
            break;
        for (unsigned i = 0; i < r.length; ++i)
            AssembleChar(r.data[i]);
        taken += r.length;
    }
}

POLL_PATH double Measure()
{
    CollectInput();
    if (!NewLine)
        return MainValue;
    NewLine = false;
    const unsigned char* s = CompleteLine; // s[p] is position p

    if (s[2] == 'p') {
        SetText(MainLabel, LabelCapacity, "pH");
        MainValue = ParseNumber(reinterpret_cast<const char*>(s + 5), 5);    // 5..9
        Temperature = ParseNumber(reinterpret_cast<const char*>(s + 13), 3); // 13..15
        SetText(TempLabel, LabelCapacity, "T(\xB0" "C)");
    } else if (s[7] == 'm') {
        SetText(MainLabel, LabelCapacity, "mV");
        MainValue = ParseNumber(reinterpret_cast<const char*>(s + 2), 5);    // 2..6
        Temperature = NoValue;
        SetText(TempLabel, LabelCapacity, "");
    }
    // Anything else: the last decode stands.
    return MainValue;
}
