#pragma once

// Line settings between the DCB and termios, as pure functions so that they can be checked from a table
// without a device. Internal to the POSIX backend and its tests.

#include "serial/platform/SerialDevice.h"

#include <termios.h>

// The termios speed code of a standard rate; B0 when the rate needs a custom (termios2) setting.
speed_t StandardSpeedCode(uint32_t baud);

// No echo, no canonical input, no signals, no output processing, reads return at once (VMIN = VTIME = 0),
// receiver on, modem control lines ignored. The speed stays.
void MakeRaw(termios* t);

// Each returns 0, or EINVAL for a value the line cannot take on Linux.
int SetDataBits(termios* t, uint8_t byteSize);
int SetParity(termios* t, uint8_t parity, bool check);
int SetStopBits(termios* t, uint8_t stopBits, uint8_t byteSize);
int SetFlowControl(termios* t, const TDcb& dcb);

// The whole DCB: raw mode plus the fields above; a standard speed is set in the termios, a custom one
// (*customSpeed true) must be set through termios2. RTS toggle is the caller's (RS-485 mode).
int DcbToTermios(const TDcb& dcb, termios* t, bool* customSpeed);

// The DCB a termios stands for (baud given separately: termios2 knows custom speeds).
TDcb TermiosToDcb(const termios& t, uint32_t baud);

// True when `got` (read back from the device) carries every setting of `wanted`; speeds are compared
// separately.
bool TermiosMatches(const termios& wanted, const termios& got);
