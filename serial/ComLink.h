#pragma once

#include <functional>

class TCustomComPort;

// A listener of a port. The listener that creates it owns it, fills its callbacks before registering
// it with the port (RegisterLink) and unregisters it before it leaves the port or is destroyed. Every
// slot may be empty; Sender is always the port.
class TComLink {
public:
    using TConnChange = std::function<void(TCustomComPort* sender, bool onOff)>;
    using TBufferEvent = std::function<void(TCustomComPort* sender, const void* buffer, int count)>;
    using TNotify = std::function<void(TCustomComPort* sender)>;
    using TSignal = std::function<void(TCustomComPort* sender, bool onOff)>;

    TConnChange OnConnChange; // the port has opened (true) or closed (false)
    TBufferEvent OnRxBuf;     // received data was read on evRxChar
    TBufferEvent OnTxBuf;     // an asynchronous write has completed, with the written bytes
    TNotify OnTxEmpty;        // evTxEmpty
    TNotify OnRxFlag;         // evRxFlag
    TSignal OnCTSChange;      // evCTS, after open, before close
    TSignal OnDSRChange;      // evDSR, after open, before close
    TSignal OnRLSDChange;     // evRLSD, after open, before close
    TNotify OnRing;           // evRing
    TSignal OnTxChange;       // transmit activity: on when a write is handed over, off on evTxEmpty
    TSignal OnRxChange;       // receive activity: on when data is found waiting, off when a read empties it
};
