// POSIX details of the serial seam that tests check on their own.
#pragma once
#include <termios.h>

// Applies a mode string ("baud=4800 parity=n data=8 stop=1": blank-separated key=value pairs,
// any case) to a termios record. Keys and values that are not understood leave it unchanged.
void ApplyMode(termios* t, const char* mode);
