// The library's one serial port: receive only, opened once at load.
#pragma once
#include <stdint.h>

// Marks the functions on the path of every poll (ea(0) with nothing waiting). The compiler puts
// hot functions in a section of their own, so they end up side by side: after the port query's
// system call, a poll touches as few code pages as possible.
#define POLL_PATH __attribute__((hot))

// Settings handed to the platform's open call. Start-up replaces the defaults with the
// build's own values before the only open.
constexpr unsigned PortNameCapacity = 32;
constexpr unsigned PortModeCapacity = 64;
extern char PortName[PortNameCapacity];   // e.g. "Com1:"
extern char PortMode[PortModeCapacity];   // e.g. "baud=4800 parity=n data=8 stop=1"
constexpr uint16_t PortTimeout = 1000;    // total read (and write) time-out, ms

// The largest single read: the capacity of the read buffer.
constexpr unsigned ReadCapacity = 255;

// Bytes handed out by ReadWaiting; they live in the module's read buffer until the next read.
struct Received {
    const unsigned char* data;
    unsigned length;
};

// Copies src (NUL-terminated) into a text buffer of the given capacity, always terminating it.
void SetText(char* dst, unsigned capacity, const char* src);

// Opens and configures the port named by PortName with PortMode. Failures are not reported:
// the port then simply never has anything waiting.
void OpenPort();

// Releases the port, so that a later load in the same process can open it again.
void ClosePort();

// Number of received bytes waiting; 0 when the port is missing or the query fails.
uint16_t BytesWaiting();

// Reads what is waiting, at most ReadCapacity bytes, in the order received. Empty when
// nothing is waiting or the read fails. Every byte value comes through, NUL included.
Received ReadWaiting();
