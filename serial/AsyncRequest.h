#pragma once

#include "serial/ComTypes.h"
#include "serial/platform/SerialDevice.h"

#include <memory>

// The record of one overlapped transfer. Its event is manual-reset and created signalled, so waiting on
// a request with which nothing was started returns at once with 0 bytes. Data keeps a copy of the last
// written bytes only to report them to listeners when the write completes.
struct TAsyncRequest {
    TAsyncRequest() { Overlapped.Event = &Event; }

    TEvent Event{true, true};
    TOverlapped Overlapped;
    TAsyncKind Kind = akWrite;
    std::unique_ptr<char[]> Data;
    int DataSize = 0;
};
