#pragma once

#include "serial/platform/SerialDevice.h"

#include <memory>
#include <string>

// An in-process null-modem cable with two ends, kEndA and kEndB, for tests and tools. What one end
// writes the other reads; RTS drives the other end's CTS, DTR its DSR and RLSD; a break sent by one end
// is a break (CE_BREAK, EV_BREAK) at the other; closing an end drops its RTS and DTR. Hooks bring in what
// a real line would: line errors, breaks, rings and the loss of the device.
//
// The ends run on the same engine as the tty backend (a socket pair carries the data), so they show the
// same transfer, timeout and event behaviour. Every DCB is accepted and kept. While the pair object
// lives its ends are registered by name (base name + "A" / "B") for OpenSerialDevice; an end that is
// open keeps working after the pair object is gone. An end can be open once at a time (EBUSY).
class TVirtualSerialPair {
public:
    static constexpr int kEndA = 0;
    static constexpr int kEndB = 1;

    // nullptr when one of the two names is already registered.
    static std::unique_ptr<TVirtualSerialPair> Create(const std::string& baseName);
    ~TVirtualSerialPair();
    TVirtualSerialPair(const TVirtualSerialPair&) = delete;
    TVirtualSerialPair& operator=(const TVirtualSerialPair&) = delete;

    std::string EndName(int end) const;
    std::unique_ptr<TSerialDevice> Open(int end, int* error);
    bool IsOpen(int end) const;

    // Hooks; each acts on the end given, as seen by its user.
    // Line errors (CE_* bits) that its ClearCommError reports once; raises EV_ERR for any bit but
    // CE_BREAK, and EV_BREAK for CE_BREAK.
    void InjectLineErrors(int end, uint32_t errors);
    void InjectBreak(int end);
    // The ring indicator the end sees; EV_RING when it comes on.
    void SetRing(int end, bool on);
    void PulseRing(int end);
    // The device goes away at both ends (a hang-up, a pulled cable).
    void Disconnect();
    // A fresh cable in place of a disconnected one, under the same names (the adapter plugged in
    // again). Refused (false) while an end is still open.
    bool Reconnect();

    // The registered end of that name; *found false when no pair holds the name.
    static std::unique_ptr<TSerialDevice> OpenRegistered(const std::string& name, int* error, bool* found);

    struct TShared;

private:
    TVirtualSerialPair(std::shared_ptr<TShared> shared, std::string baseName);

    std::shared_ptr<TShared> m_shared;
    std::string m_baseName;
};
