#pragma once

#include "serial/platform/SerialDevice.h"
#include "serial/platform/Termios2.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
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

inline uint32_t ModemStatus(TSerialDevice& device) {
    uint32_t status = 0xDEAD;
    EXPECT_EQ(device.GetCommModemStatus(&status), 0);
    return status;
}

// The line errors flagged since the last query (the query clears them).
inline uint32_t TakeErrors(TSerialDevice& device) {
    uint32_t errors = 0xDEAD;
    TComStat stat;
    EXPECT_EQ(device.ClearCommError(&errors, &stat), 0);
    return errors;
}

// Opens the device; the test fails when it cannot.
inline std::unique_ptr<TSerialDevice> OpenDevice(const std::string& name) {
    int error = 0;
    auto device = OpenSerialDevice(name, &error);
    EXPECT_TRUE(device) << name << ": " << strerror(error);
    return device;
}

// Writes the bytes and waits for the write: 0 once every byte went, else the error (-1: fewer bytes).
inline int WriteAll(TSerialDevice& device, const QByteArray& data) {
    TRecord rec;
    uint32_t n = 0;
    int r = device.WriteFile(data.constData(), uint32_t(data.size()), &n, &rec.Ov);
    if (r == 0 || r == kErrorIoPending)
        r = rec.Finish(&n);
    return r == 0 && n != uint32_t(data.size()) ? -1 : r;
}

// Reads until count bytes arrived, each read ending as the device's time-outs say.
inline QByteArray ReadDevice(TSerialDevice& device, int count) {
    QByteArray out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        QByteArray chunk(count - out.size(), '\0');
        TRecord rec;
        uint32_t got = 0;
        int r = device.ReadFile(chunk.data(), uint32_t(chunk.size()), &got, &rec.Ov);
        if (r == kErrorIoPending)
            r = rec.Finish(&got);
        if (r != 0)
            break;
        out.append(chunk.left(int(got)));
    }
    return out;
}

// Reads exactly what is queued now (the port's way: count, then an immediate read).
inline QByteArray ReadQueued(TSerialDevice& device) {
    const uint32_t count = InQueue(device);
    QByteArray data(int(count), '\0');
    TRecord rec;
    uint32_t got = 0;
    EXPECT_EQ(device.ReadFile(data.data(), count, &got, &rec.Ov), 0);
    data.resize(int(got));
    return data;
}

// Collects comm events until `wanted` were all seen (or the deadline passed). A wait that does not end is
// ended by setting the mask `watched` again, before its record goes away.
inline uint32_t WaitEvents(TSerialDevice& device, uint32_t wanted, uint32_t watched) {
    uint32_t seen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((seen & wanted) != wanted && std::chrono::steady_clock::now() < end) {
        TRecord wait;
        uint32_t mask = 0;
        const int r = device.WaitCommEvent(&mask, &wait.Ov);
        if (r == kErrorIoPending && !wait.Event.Wait(2000)) {
            device.SetCommMask(watched);
            wait.Finish();
        }
        if (r == 0 || (r == kErrorIoPending && wait.Finish() == 0))
            seen |= mask;
    }
    return seen;
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
