#pragma once

// The device layer of the port engine. Its operations mirror the Win32 serial calls that the engine is
// written against, so the engine reads like the behaviour it implements; each returns 0 on success or
// the operating system's error number (errno). Nothing outside serial/platform includes a system serial
// header.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

// Error numbers that are not errno values: an overlapped operation is still running.
constexpr int kErrorIoPending = 997;
constexpr int kErrorIoIncomplete = 996;
// The error of an operation aborted by PurgeComm (Win32 ERROR_OPERATION_ABORTED).
constexpr int kErrorOperationAborted = 995;

// DCB flag word masks.
constexpr uint32_t kDcbBinary = 0x0001;
constexpr uint32_t kDcbParity = 0x0002;
constexpr uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr uint32_t kDcbOutxDsrFlow = 0x0008;
constexpr uint32_t kDcbDtrControlMask = 0x0030;
constexpr uint32_t kDcbDtrControlEnable = 0x0010;
constexpr uint32_t kDcbDtrControlHandshake = 0x0020;
constexpr uint32_t kDcbDsrSensitivity = 0x0040;
constexpr uint32_t kDcbTxContinueOnXoff = 0x0080;
constexpr uint32_t kDcbOutX = 0x0100;
constexpr uint32_t kDcbInX = 0x0200;
constexpr uint32_t kDcbErrorChar = 0x0400;
constexpr uint32_t kDcbNull = 0x0800;
constexpr uint32_t kDcbRtsControlMask = 0x3000;
constexpr uint32_t kDcbRtsControlEnable = 0x1000;
constexpr uint32_t kDcbRtsControlHandshake = 0x2000;
constexpr uint32_t kDcbRtsControlToggle = 0x3000;
constexpr uint32_t kDcbAbortOnError = 0x4000;

// Parity and stop-bit codes of the DCB.
constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4;
constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

// Communication event mask bits.
constexpr uint32_t kEvRxChar = 0x0001;
constexpr uint32_t kEvRxFlag = 0x0002;
constexpr uint32_t kEvTxEmpty = 0x0004;
constexpr uint32_t kEvCts = 0x0008;
constexpr uint32_t kEvDsr = 0x0010;
constexpr uint32_t kEvRlsd = 0x0020;
constexpr uint32_t kEvBreak = 0x0040;
constexpr uint32_t kEvErr = 0x0080;
constexpr uint32_t kEvRing = 0x0100;
constexpr uint32_t kEvRx80Full = 0x0400;

// Line error bits reported by ClearCommError.
constexpr uint32_t kCeRxOver = 0x0001;
constexpr uint32_t kCeOverrun = 0x0002;
constexpr uint32_t kCeRxParity = 0x0004;
constexpr uint32_t kCeFrame = 0x0008;
constexpr uint32_t kCeBreak = 0x0010;
constexpr uint32_t kCeTxFull = 0x0100;
constexpr uint32_t kCeIoe = 0x0400;
constexpr uint32_t kCeMode = 0x8000;

// Modem status bits.
constexpr uint32_t kMsCtsOn = 0x0010;
constexpr uint32_t kMsDsrOn = 0x0020;
constexpr uint32_t kMsRingOn = 0x0040;
constexpr uint32_t kMsRlsdOn = 0x0080;

// PurgeComm flags.
constexpr uint32_t kPurgeTxAbort = 0x0001;
constexpr uint32_t kPurgeRxAbort = 0x0002;
constexpr uint32_t kPurgeTxClear = 0x0004;
constexpr uint32_t kPurgeRxClear = 0x0008;

// EscapeCommFunction codes.
constexpr uint32_t kSetXoff = 1, kSetXon = 2, kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6;
constexpr uint32_t kSetBreak = 8, kClrBreak = 9;

struct TDcb {
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    bool operator==(const TDcb&) const = default;
};

// All values in milliseconds; 0xFFFFFFFF is MAXDWORD.
struct TCommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;

    bool operator==(const TCommTimeouts&) const = default;
};

struct TComStat {
    uint32_t cbInQue = 0;
    uint32_t cbOutQue = 0;
};

// A waitable event (manual or automatic reset). Its state lives in memory, so setting, resetting and
// waiting on one event cost no system call unless somebody has to be woken. An eventfd mirrors the
// state from the first time one poll() has to wait for several events (WaitForAnyEvent).
class TEvent {
public:
    TEvent(bool manualReset, bool initiallySet);
    ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs (-1: no limit). Returns true when the event was set; an automatic-reset
    // event is reset by a successful wait.
    bool Wait(int timeoutMs = -1);
    bool ManualReset() const { return m_manualReset; }

    // The eventfd that becomes readable when the event is set, made on first use; -1 (errno kept) when
    // none can be had. It may stay readable after the event was taken or reset.
    int Fd();
    // True when the event is set; an automatic-reset event is reset (only one of several racing
    // waiters gets it).
    bool TryTake();
    // TryTake for a waiter whose descriptor was readable: when the event is not set, the stale count is
    // dropped so that the next poll() sleeps.
    bool TakeOrDrain();

private:
    void ClearLocked(); // with m_lock held

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_set;
    bool m_manualReset;
    int m_waiters = 0;
    int m_writing = 0; // Set calls still writing the descriptor or waking waiters
    int m_fd = -1;
};

// Waits until any of the events is set: returns its index, -1 on timeout, or -2 when the wait itself
// failed (errno is kept). An automatic-reset event that ends the wait is reset.
int WaitForAnyEvent(std::span<TEvent* const> events, int timeoutMs = -1);

// The record of one overlapped operation: the device completes it by filling in the result and setting
// Event. Starting an operation resets the event; an operation that completes at once sets it again; an
// operation refused at once leaves it reset (so a waiter that ignores the refusal blocks instead of
// spinning) and GetOverlappedResult reports the refusal. A record and its event may be freed once the
// operation has completed (its event fired, or GetOverlappedResult no longer says kErrorIoIncomplete),
// or once SetCommMask / PurgeComm ended it: the device touches it no more after that.
struct TOverlapped {
    TEvent* Event = nullptr; // not owned

    // Written by the device under Lock; read through GetOverlappedResult.
    std::mutex Lock;
    bool Pending = false;
    int Error = 0;                 // errno of a failed operation, 0 on success
    uint32_t BytesTransferred = 0; // or, for WaitCommEvent, unused
    uint32_t* EventMask = nullptr; // WaitCommEvent's output, written on completion
};

// Fetches the result of an overlapped operation. Returns 0 with the byte count, kErrorIoIncomplete when
// it is still pending and wait is false, or the operation's error. With wait true it first waits for
// the record's event.
int GetOverlappedResult(TOverlapped& ov, uint32_t* bytesTransferred, bool wait);

// One open serial device. Destroying it is CloseHandle: pending operations complete with
// kErrorOperationAborted and no thread of the device outlives it. Every operation may be called from any
// thread, also while a transfer or a comm-event wait of another thread is pending.
//
// When the device goes away (pty master closed, USB adapter unplugged) pending transfers and the pending
// comm-event wait complete with EIO and every later operation fails with EIO, except PurgeComm and
// SetCommMask, which succeed (there is nothing left to purge or wait for), so that closing still works.
// Input received before the loss is not lost with it: its events are still reported, and ClearCommError
// and ReadFile still count and read it until it has been taken.
class TSerialDevice {
public:
    virtual ~TSerialDevice() = default;

    // The native handle shown as the port's Handle (a file descriptor, or an id for in-process devices).
    virtual intptr_t NativeHandle() const = 0;

    // Applies the whole block (or refuses it, EINVAL or the system's error, keeping the previous
    // settings). The first block, and later a changed DTR or RTS control, also sets that line
    // (DISABLE: off, ENABLE: on); the same control again leaves a line set by hand alone.
    virtual int SetCommState(const TDcb& dcb) = 0;
    // The last accepted block (after opening: what the device had).
    virtual int GetCommState(TDcb* dcb) = 0;
    // Applies to transfers started afterwards.
    virtual int SetCommTimeouts(const TCommTimeouts& timeouts) = 0;
    // inQueue sets the 80 % mark of EV_RX80FULL; the input queue holds at least 1 MiB (16 MiB at most).
    virtual int SetupComm(int32_t inQueue, int32_t outQueue) = 0;

    // Overlapped transfers: return 0 when the operation completed at once (count in *transferred and in
    // the record), kErrorIoPending when it goes on in the background (the record's event is set when it
    // ends), or an error. The buffer must stay valid until the operation completes. A write completes
    // when the device has taken every byte; reads follow the COMMTIMEOUTS rules; a timeout completes
    // either successfully with the bytes so far.
    virtual int WriteFile(const void* buffer, uint32_t count, uint32_t* written, TOverlapped* ov) = 0;
    virtual int ReadFile(void* buffer, uint32_t count, uint32_t* read, TOverlapped* ov) = 0;

    // TXABORT / RXABORT complete pending writes / reads with kErrorOperationAborted (the bytes so far
    // in the record); TXCLEAR / RXCLEAR discard queued output / input.
    virtual int PurgeComm(uint32_t flags) = 0;
    // Returns and clears the line errors (CE_* bits); cbInQue is the input queue's size.
    virtual int ClearCommError(uint32_t* errors, TComStat* stat) = 0;
    virtual int GetCommModemStatus(uint32_t* status) = 0;
    virtual int EscapeCommFunction(uint32_t function) = 0;

    // Sets the watched events; a pending WaitCommEvent completes with mask 0. Clears the event history.
    virtual int SetCommMask(uint32_t mask) = 0;
    // Overlapped wait for a watched event; events that occurred since the last wait complete it at once.
    // One wait at a time, and only with a non-empty mask (EINVAL otherwise).
    virtual int WaitCommEvent(uint32_t* mask, TOverlapped* ov) = 0;

    // Called once, from a thread of the device, when the device goes away (hang-up, EIO / ENXIO, its
    // node removed), with the system's error (ENODEV for a removed node); called at once when the device
    // is already lost. The handler must not call the device; it is dropped when the device is destroyed.
    // A device that cannot tell keeps it unused.
    virtual void SetLossHandler(std::function<void(int error)> handler) { (void)handler; }
};

// Opens a device by port name, exclusively. A name containing "/" is a path used as given; "COMn"
// (n >= 1, any case) is /dev/ttyS(n-1); an in-process device registered under the name (see
// VirtualSerialDevice.h) is taken first; "rfc2217://HOST:PORT" and "tcp://HOST:PORT" are ports on a
// network device server (NetworkSerialDevice.h); any other name is /dev/<name>. On failure returns nullptr
// and sets *error: ENOENT for a missing device, EAGAIN or EBUSY when another opener holds it, ENOTTY for a
// file that is not a terminal.
std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName, int* error);

// Maps a port name to the path that OpenSerialDevice opens (in-process devices not considered).
std::string PortNameToPath(const std::string& portName);
