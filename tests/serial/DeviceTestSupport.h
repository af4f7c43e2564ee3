#pragma once

#include "serial/platform/SerialDevice.h"

#include <cstdint>

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
