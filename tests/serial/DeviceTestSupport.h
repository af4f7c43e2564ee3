#pragma once

#include "serial/platform/SerialDevice.h"
#include "serial/platform/Termios2.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// A request record with its own manual-reset event, created signalled as the port makes them.
struct TRecord {
    TEvent Event{true, true};
    TOverlapped Ov;
    TRecord() { Ov.Event = &Event; }
    // Waits (generously) and returns the result; *bytes gets the count.
    int Finish(uint32_t* bytes = nullptr) {
        if (!Event.Wait(10000))
            return -1;
        uint32_t n = 0;
        const int r = GetOverlappedResult(Ov, &n, false);
        if (bytes)
            *bytes = n;
        return r;
    }
    bool Done() {
        uint32_t n;
        return GetOverlappedResult(Ov, &n, false) != kErrorIoIncomplete;
    }
};

// A line setting block with the usual XON/XOFF characters.
inline TDcb Dcb(uint32_t baud, uint8_t byteSize = 8, uint8_t parity = kNoParity,
                uint8_t stopBits = kOneStopBit, uint32_t flags = kDcbBinary) {
    TDcb dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.Flags = flags;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

inline uint32_t InQueue(TSerialDevice& device) {
    TComStat stat;
    EXPECT_EQ(device.ClearCommError(nullptr, &stat), 0);
    return stat.cbInQue;
}

// A tty's settings read through a descriptor of our own.
struct TDeviceSettings {
    termios Termios{};
    uint32_t OutSpeed = 0, InSpeed = 0;
};
inline TDeviceSettings ReadBack(const std::string& path) {
    TDeviceSettings s;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::tcgetattr(fd, &s.Termios), 0);
    EXPECT_EQ(GetSpeeds(fd, &s.OutSpeed, &s.InSpeed), 0);
    ::close(fd);
    return s;
}
