#pragma once

#include "serial/platform/ErrorMarkDecoder.h"
#include "serial/platform/InputBatching.h"
#include "serial/platform/SerialDevice.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

class TStreamSerialDevice;

// One reading of the line state for devices that cannot notify by themselves: the modem inputs and the
// driver's interrupt counters.
struct TLineSample {
    uint32_t ModemStatus = 0; // kMs* bits
    uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
    uint32_t Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufferOverrun = 0;
};

// 9600 baud, 8N1, binary, no flow control, the usual XON/XOFF characters: the starting settings of a
// device that has no line settings of its own.
inline TDcb PlainDcb() {
    TDcb dcb;
    dcb.BaudRate = 9600;
    dcb.Flags = kDcbBinary;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// What the engine needs of the device under it. The engine owns the backend and destroys it after its
// I/O thread has ended, so the backend may close its descriptor in its destructor.
//
// Locking: ApplyState, Flush, OutputQueued and SampleLine are called with the engine's lock held and
// must not call into any engine; ModemStatus and Escape are called without it (the null-modem reaches
// the other end's engine from there). A backend whose ApplyState waits for a peer says so with
// AppliesWithoutLock: it is then called without the lock (ApplyState one at a time, and Flush of the
// input too), so that the I/O thread goes on taking input and the caller may turn its event loop
// meanwhile.
class TSerialBackend {
public:
    virtual ~TSerialBackend() = default;

    // The descriptor that carries the data; read and written only by the engine.
    virtual int DataFd() const = 0;
    virtual intptr_t NativeHandle() const { return DataFd(); }
    // A socket is written with send(MSG_NOSIGNAL): a closed peer must not raise SIGPIPE.
    virtual bool IsSocket() const { return false; }

    // The line settings the device has right after opening.
    virtual TDcb InitialState() = 0;
    // Applies line settings; refuses (EINVAL or the system's error) what the device cannot take,
    // leaving the previous settings in place.
    virtual int ApplyState(const TDcb& dcb) = 0;
    virtual bool AppliesWithoutLock() const { return false; }
    // True when received bytes arrive with errors marked (0xFF 0x00 x, 0xFF 0xFF for 0xFF).
    virtual bool InputErrorsMarked() const { return false; }
    // Discards what the device itself buffers.
    virtual int Flush(bool input, bool output) = 0;
    // Bytes written to the device but not yet sent; 0 when it cannot tell or drains at once.
    virtual uint32_t OutputQueued() { return 0; }

    virtual int ModemStatus(uint32_t* status) = 0;
    virtual int Escape(uint32_t function) = 0;

    // Which parts of the line state must be sampled because the device cannot notify them.
    virtual bool CanSampleModem() const { return false; }
    virtual bool CanSampleCounters() const { return false; }
    virtual int SampleLine(TLineSample*) { return ENOTTY; }

    // A descriptor that becomes readable when the device node may have gone (-1: none), and the check
    // made then: true when the device is gone for good.
    virtual int WatchFd() const { return -1; }
    virtual bool NodeGone() { return false; }

    // Called first when the device closes, while the engine is still whole: after it returns, nobody
    // else may call the engine.
    virtual void Detach() {}
};

// The Win32 serial behaviour on top of a descriptor, shared by the POSIX backend and the null-modem.
//
// One I/O thread per device owns the reading side of the descriptor. It drains input into the input
// queue (the "driver's input queue": discard-null, error marks, the event character and the 80 % mark
// are applied there), completes pending reads and writes under the COMMTIMEOUTS rules, samples the line
// where the backend asks for it and raises comm events into the mask. A write that the descriptor takes
// at once completes in the caller's thread (no wake-up); the rest goes on in the I/O thread.
//
// Edge rules:
// - Input notifications (EV_RXCHAR, EV_RXFLAG) follow TInputBatching: the first bytes of a quiet line
//   and answers to what the device wrote are raised at once, a stream nobody asked for in windows that
//   grow while it flows, a fast stream every millisecond. A pending read whose count is reached
//   completes at once, whatever the window.
// - The thread sleeps in poll() without a timeout while nothing is pending or watched; every wait ends
//   through an eventfd in the same poll().
// - Timeouts complete a request successfully with the bytes so far.
// - When the device goes away (hang-up, EIO, ENXIO, its node removed) pending requests and the comm-event
//   wait fail with EIO, the loss handler is told once, the thread ends, and every later operation fails
//   with EIO, except that input read before the loss is still reported, counted and read. The hang-up
//   is seen within the batch window also while nothing is pending.
// - Destroying the device fails pending requests with kErrorOperationAborted.
// - An operation that fails at once leaves its record's event reset, so a waiter that ignores the
//   failure blocks instead of spinning.
class TStreamSerialDevice final : public TSerialDevice {
public:
    static constexpr size_t kChunkBytes = TInputBatching::kChunkBytes; // a read this large: a fast stream
    static constexpr size_t kMinInputCapacity = 1024 * 1024;
    static constexpr int32_t kMaxInputQueue = 16 * 1024 * 1024;
    static constexpr size_t kReadBufferBytes = 64 * 1024; // read from the line per round
    static constexpr int kSampleMs = 20;                  // line sampling of a UART that cannot notify

    // Starts the I/O thread; nullptr with *error when that fails.
    static std::unique_ptr<TStreamSerialDevice> Create(std::unique_ptr<TSerialBackend> backend, int* error,
                                                       const TBatchWindows& windows = {});
    ~TStreamSerialDevice() override;

    intptr_t NativeHandle() const override;
    int SetCommState(const TDcb& dcb) override;
    int GetCommState(TDcb* dcb) override;
    int SetCommTimeouts(const TCommTimeouts& timeouts) override;
    int SetupComm(int32_t inQueue, int32_t outQueue) override;
    int WriteFile(const void* buffer, uint32_t count, uint32_t* written, TOverlapped* ov) override;
    int ReadFile(void* buffer, uint32_t count, uint32_t* read, TOverlapped* ov) override;
    int PurgeComm(uint32_t flags) override;
    int ClearCommError(uint32_t* errors, TComStat* stat) override;
    int GetCommModemStatus(uint32_t* status) override;
    int EscapeCommFunction(uint32_t function) override;
    int SetCommMask(uint32_t mask) override;
    int WaitCommEvent(uint32_t* mask, TOverlapped* ov) override;
    void SetLossHandler(std::function<void(int error)> handler) override;

    // For devices that notify by themselves (the null-modem): record line errors (reported and cleared
    // by ClearCommError) and raise events into the mask.
    void NotifyLine(uint32_t events, uint32_t errors);

private:
    using Clock = std::chrono::steady_clock;
    using TTime = Clock::time_point;
    static constexpr TTime kNever = TTime::max();

    struct TRequest {
        TOverlapped* Ov = nullptr;
        uint8_t* Buffer = nullptr;
        uint32_t Count = 0;
        uint32_t Done = 0;
        bool Started = false;
        bool Immediate = false;  // read: return what is queued
        bool FirstByte = false;  // read: return as soon as anything arrived
        TTime Deadline = kNever; // total timeout
        uint64_t IntervalMs = 0; // read: longest gap after the first byte, 0 = none
        TTime LastByte{};
    };

    // The input queue: a ring buffer.
    class TByteRing {
    public:
        void Reserve(size_t capacity);
        size_t Size() const { return m_size; }
        size_t Capacity() const { return m_data.size(); }
        size_t Free() const { return m_data.size() - m_size; }
        void Push(uint8_t b);
        // Appends up to Free() bytes; returns how many.
        size_t PushBulk(const uint8_t* data, size_t count);
        size_t Pop(uint8_t* out, size_t count);
        void Clear() { m_head = m_size = 0; }

    private:
        std::vector<uint8_t> m_data;
        size_t m_head = 0;
        size_t m_size = 0;
    };

    TStreamSerialDevice(std::unique_ptr<TSerialBackend> backend, const TBatchWindows& windows);
    void Run();
    void Wake();

    // All below run with m_lock held.
    int PollTimeout(TTime now) const;
    void ReadInput(std::unique_lock<std::mutex>& lock, TTime now, bool hangUp); // reads without the lock
    void ProcessInput(const uint8_t* data, size_t count);
    void QueueByte(uint8_t b);
    void FlushRxEvents(TTime now);
    void ServeReads(TTime now);
    void StartRead(TRequest& r, TTime now);
    bool ReadFinished(const TRequest& r, TTime now) const;
    void ServeWrites(TTime now);
    void StartWrite(TRequest& r, TTime now);
    bool WriteSome(TRequest& r);
    void OutputWritten(TTime now);
    void CheckDrain(TTime now);
    bool SamplingWanted() const;
    void Sample(bool raise);
    void RaiseEvents(uint32_t events);
    void SetLost(int error);
    void FailAll(int error);
    void Complete(TOverlapped* ov, int error, uint32_t bytes);
    void CompleteWait(TOverlapped* ov, int error, uint32_t mask);
    static void Signal(TOverlapped* ov);
    void SignalCompleted(std::unique_lock<std::mutex>& lock); // in the I/O thread
    void SettleSignals(std::unique_lock<std::mutex>& lock);
    int Unavailable() const;

    std::unique_ptr<TSerialBackend> m_backend;
    int m_fd;
    bool m_socket;
    int m_wakeFd = -1;
    std::thread m_thread;
    std::thread::id m_ioThread;              // set while the I/O thread runs
    std::vector<TOverlapped*> m_deferred;    // completed by the I/O thread, not yet signalled
    std::vector<TOverlapped*> m_signalBatch; // being signalled without the lock
    bool m_signalling = false;
    std::condition_variable m_signalled;

    std::mutex m_applyLock; // one ApplyState at a time where it runs without m_lock
    std::atomic<std::thread::id> m_applyingThread{};
    mutable std::mutex m_lock;
    bool m_quit = false;
    bool m_lost = false;
    int m_lostError = 0;
    std::function<void(int)> m_lossHandler;
    TDcb m_dcb;
    bool m_linesSet = false; // DTR and RTS were set from the settings once
    bool m_marked = false;
    TErrorMarkDecoder m_markDecoder;
    TCommTimeouts m_timeouts;
    size_t m_mark80 = 4096 * 8 / 10;
    TByteRing m_input;
    uint64_t m_inputPurges = 0;              // input cleared this many times
    std::unique_ptr<uint8_t[]> m_readBuffer; // the I/O thread's, filled without the lock
    std::deque<TRequest> m_reads;
    std::deque<TRequest> m_writes;

    uint32_t m_mask = 0;
    uint32_t m_history = 0;
    TOverlapped* m_wait = nullptr;
    uint32_t m_errors = 0;

    uint32_t m_rxEvents = 0;          // input events not yet raised
    TInputBatching m_batching;        // when they are raised
    bool m_outputPending = false;     // bytes went out since the last EV_TXEMPTY check
    bool m_outputMaybeQueued = false; // bytes went out since the output was last seen drained
    TTime m_drainCheck = kNever;      // when to look whether the output has drained
    TTime m_sampleAt = kNever;
    TLineSample m_sample;
    bool m_sampled = false;
};
