// The meter's current line and its decoding into the two channels.
//
// The meter sends text lines separated by line feeds (it ends each line with CR LF). Frame
// assembles the first characters of the line being received; when the line feed that ends it
// arrives, the line is complete and becomes CompleteLine. Measure decodes CompleteLine on demand,
// so a reading never mixes the start of a line still arriving with the rest of an older one.
// Fixed positions, 1-based; position 1 holds the line feed that began the line:
//
//   pH line:  position 2 = 'p', value at 5..9, temperature (deg C) at 13..15
//             "pH  7.01   25.0 C\r\n"  ->  pH 7.01 at 25 degrees
//   mV line:  position 7 = 'm', value at 2..6
//             " -123mV\r\n"           ->  -123 mV, no temperature
#pragma once
#include "meter/number.h"

constexpr unsigned FrameCapacity = 20;  // positions 1..20
constexpr unsigned FrameLength = 18;    // positions 1..18 are decoded
constexpr unsigned LastStored = 19;     // characters beyond this position of a line are dropped

// Frame[p] is position p; Frame[0] is unused so that the indices read as the positions above.
extern unsigned char Frame[FrameCapacity + 1];
extern unsigned FramePos;               // position of the last character stored, at most 20
// The last complete line, positions 1..18; positions the line did not reach are blank.
extern unsigned char CompleteLine[FrameCapacity + 1];

extern double MainValue;                // pH or mV
extern double Temperature;              // deg C, NoValue in mV mode
constexpr unsigned LabelCapacity = 9;
extern char MainLabel[LabelCapacity];   // "pH", "mV", or "xxxxxxxx" before the first line
extern char TempLabel[LabelCapacity];   // "T(\xB0C)", empty, or "xxxxxxx" before the first line

// Drains the port: every waiting byte goes through the line assembler. Returns when the port
// reports nothing waiting, when a read delivers nothing, or after a bounded amount of input,
// so that a failing or flooding port cannot hold the caller.
void CollectInput();

// Drains the port, decodes CompleteLine into the values and labels, and returns MainValue.
double Measure();

// Puts the meter state back to its values at load.
void ResetMeter();
