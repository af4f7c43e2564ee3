#pragma once

// Speeds through termios2 (TCGETS2/TCSETS2), kept apart because <asm/termbits.h> cannot share a file with
// <termios.h>. Each returns 0 or the errno of the failed ioctl.

#include <cstdint>

// An opaque copy of the device's whole termios2 settings.
struct TTermios2Copy {
    alignas(8) unsigned char Bytes[96];
};

int SaveTermios2(int fd, TTermios2Copy* copy);
int RestoreTermios2(int fd, const TTermios2Copy& copy);
// Sets any speed (BOTHER) for both directions, leaving every other setting.
int SetCustomSpeed(int fd, uint32_t baud);
// The speeds the device reports.
int GetSpeeds(int fd, uint32_t* outputSpeed, uint32_t* inputSpeed);
