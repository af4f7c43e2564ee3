#include "serial/platform/StreamSerialDevice.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr uint32_t kModemEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
constexpr uint32_t kCounterEvents = kEvErr | kEvBreak;
// Beyond this a timeout is as good as none (and a time point could overflow).
constexpr uint64_t kForeverMs = uint64_t(100) * 365 * 24 * 3600 * 1000;

template <typename TTime> TTime AddMs(TTime t, uint64_t ms) {
    if (ms >= kForeverMs)
        return TTime::max();
    return t + std::chrono::milliseconds(int64_t(ms));
}

void Prepare(TOverlapped* ov, uint32_t* eventMask) {
    if (ov->Event)
        ov->Event->Reset();
    std::lock_guard lock(ov->Lock);
    ov->Pending = true;
    ov->Error = 0;
    ov->BytesTransferred = 0;
    ov->EventMask = eventMask;
}

// An operation refused at once: the record says so, its event stays reset.
int Fail(TOverlapped* ov, int error) {
    if (ov) {
        if (ov->Event)
            ov->Event->Reset();
        std::lock_guard lock(ov->Lock);
        ov->Pending = false;
        ov->Error = error;
        ov->BytesTransferred = 0;
    }
    return error;
}

} // namespace

// ---- input ring ----

void TStreamSerialDevice::TByteRing::Reserve(size_t capacity) {
    if (capacity <= m_data.size())
        return;
    std::vector<uint8_t> data(capacity);
    const size_t n = m_size;
    Pop(data.data(), n);
    m_data.swap(data);
    m_head = 0;
    m_size = n;
}

void TStreamSerialDevice::TByteRing::Push(uint8_t b) {
    m_data[(m_head + m_size) % m_data.size()] = b;
    ++m_size;
}

size_t TStreamSerialDevice::TByteRing::PushBulk(const uint8_t* data, size_t count) {
    count = std::min(count, Free());
    if (count == 0)
        return 0;
    const size_t tail = (m_head + m_size) % m_data.size();
    const size_t first = std::min(count, m_data.size() - tail);
    std::memcpy(m_data.data() + tail, data, first);
    std::memcpy(m_data.data(), data + first, count - first);
    m_size += count;
    return count;
}

size_t TStreamSerialDevice::TByteRing::Pop(uint8_t* out, size_t count) {
    count = std::min(count, m_size);
    if (count == 0)
        return 0;
    const size_t first = std::min(count, m_data.size() - m_head);
    std::memcpy(out, m_data.data() + m_head, first);
    std::memcpy(out + first, m_data.data(), count - first);
    m_head = m_size == count ? 0 : (m_head + count) % m_data.size();
    m_size -= count;
    return count;
}

// ---- life ----

TStreamSerialDevice::TStreamSerialDevice(std::unique_ptr<TSerialBackend> backend,
                                         const TBatchWindows& windows)
    : m_backend(std::move(backend)), m_fd(m_backend->DataFd()), m_socket(m_backend->IsSocket()),
      m_readBuffer(std::make_unique_for_overwrite<uint8_t[]>(kReadBufferBytes)), m_batching(windows) {
    m_input.Reserve(kMinInputCapacity);
}

std::unique_ptr<TStreamSerialDevice> TStreamSerialDevice::Create(std::unique_ptr<TSerialBackend> backend,
                                                                 int* error, const TBatchWindows& windows) {
    std::unique_ptr<TStreamSerialDevice> device(new TStreamSerialDevice(std::move(backend), windows));
    device->m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (device->m_wakeFd < 0) {
        *error = errno;
        return nullptr;
    }
    device->m_dcb = device->m_backend->InitialState();
    device->m_batching.SetBaudRate(device->m_dcb.BaudRate);
    if (device->m_backend->CanSampleModem() || device->m_backend->CanSampleCounters())
        device->Sample(false);
    try {
        device->m_thread = std::thread(&TStreamSerialDevice::Run, device.get());
        ::pthread_setname_np(device->m_thread.native_handle(), "cv-serial-io");
    } catch (const std::system_error& e) {
        *error = e.code().value();
        return nullptr;
    }
    return device;
}

TStreamSerialDevice::~TStreamSerialDevice() {
    m_backend->Detach();
    {
        std::lock_guard lock(m_lock);
        m_quit = true;
        m_lossHandler = nullptr;
    }
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard lock(m_lock);
        FailAll(kErrorOperationAborted);
    }
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_backend.reset();
}

void TStreamSerialDevice::Wake() {
    const uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int TStreamSerialDevice::Unavailable() const {
    if (m_lost)
        return EIO;
    if (m_quit)
        return EBADF;
    return 0;
}

// ---- the I/O thread ----

void TStreamSerialDevice::Run() {
    std::unique_lock lock(m_lock);
    m_ioThread = std::this_thread::get_id();
    while (!m_quit && !m_lost) {
        pollfd fds[3] = {{m_wakeFd, POLLIN, 0}, {m_fd, 0, 0}, {m_backend->WatchFd(), POLLIN, 0}};
        // During a batch window the line is not watched (that is the point of batching), unless a read
        // waits for its bytes or an answer may come.
        const bool batching = !m_batching.Watching() && m_reads.empty();
        if (m_input.Free() > 0 && !batching)
            fds[1].events |= POLLIN;
        if (!m_writes.empty())
            fds[1].events |= POLLOUT;
        // Polling a tty costs even without events (it flushes the tty's buffer work), so the batch window
        // leaves it out; a hang-up is seen when the window ends.
        if (batching && !fds[1].events)
            fds[1].fd = -1;
        const int timeout = PollTimeout(Clock::now());
        // Requests completed in the last round are signalled outside the lock, so that their waiters do
        // not wake up only to block on it.
        SignalCompleted(lock);
        lock.unlock();
        const int n = ::poll(fds, 3, timeout);
        const int pollError = n < 0 ? errno : 0;
        lock.lock();
        if (n < 0 && pollError != EINTR) {
            SetLost(pollError);
            break;
        }
        if (n > 0 && (fds[2].revents & POLLIN) && m_backend->NodeGone()) {
            SetLost(ENODEV);
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            uint64_t value;
            (void)!::read(m_wakeFd, &value, sizeof value);
        }
        if (m_quit || m_lost)
            break;
        const TTime now = Clock::now();
        const short revents = n > 0 ? fds[1].revents : 0;
        const bool hangUp = revents & (POLLHUP | POLLERR);
        if ((revents & (POLLIN | POLLHUP | POLLERR)) || now >= m_batching.WindowEnd())
            ReadInput(lock, now, hangUp);
        if (m_quit || m_lost)
            break;
        if (now >= m_batching.NotifyAt())
            FlushRxEvents(now);
        ServeWrites(now);
        ServeReads(now);
        CheckDrain(now);
        if (SamplingWanted() && now >= m_sampleAt) {
            Sample(true);
            m_sampleAt = now + std::chrono::milliseconds(kSampleMs);
        }
    }
    m_ioThread = std::thread::id();
    SignalCompleted(lock);
}

void TStreamSerialDevice::Signal(TOverlapped* ov) {
    std::lock_guard lock(ov->Lock);
    ov->Pending = false;
    if (ov->Event)
        ov->Event->Set();
}

void TStreamSerialDevice::SignalCompleted(std::unique_lock<std::mutex>& lock) {
    if (m_deferred.empty())
        return;
    // The records are still pending, so their owners have not freed them; operations that end requests
    // wait (SettleSignals) until this round is over.
    m_signalBatch.swap(m_deferred);
    m_signalling = true;
    lock.unlock();
    for (TOverlapped* ov : m_signalBatch)
        Signal(ov);
    m_signalBatch.clear();
    lock.lock();
    m_signalling = false;
    m_signalled.notify_all();
}

void TStreamSerialDevice::SettleSignals(std::unique_lock<std::mutex>& lock) {
    for (TOverlapped* ov : m_deferred)
        Signal(ov);
    m_deferred.clear();
    m_signalled.wait(lock, [this] { return !m_signalling; });
}

int TStreamSerialDevice::PollTimeout(TTime now) const {
    TTime next = std::min(m_batching.WindowEnd(), m_batching.NotifyAt());
    if (!m_reads.empty()) {
        const TRequest& r = m_reads.front();
        next = std::min(next, r.Deadline);
        if (r.IntervalMs && r.Done > 0)
            next = std::min(next, AddMs(r.LastByte, r.IntervalMs));
    }
    if (!m_writes.empty())
        next = std::min(next, m_writes.front().Deadline);
    if (m_outputPending)
        next = std::min(next, m_drainCheck);
    if (SamplingWanted())
        next = std::min(next, m_sampleAt);
    if (next == kNever)
        return -1;
    if (next <= now)
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return int(std::min<int64_t>(ms, INT_MAX));
}

void TStreamSerialDevice::ReadInput(std::unique_lock<std::mutex>& lock, TTime now, bool hangUp) {
    // The reads run without the lock, so that the port's threads are not held up while the tty hands
    // over its bytes. Only this thread adds to the queue, so its free space can only grow meanwhile; a
    // purge of the input in between makes what was read stale, and it is dropped.
    const size_t room = std::min(m_input.Free(), kReadBufferBytes);
    const uint64_t purges = m_inputPurges;
    size_t total = 0;
    int lost = 0;
    if (room > 0) {
        lock.unlock();
        // Bounded, so that a fast writer cannot keep the thread in here.
        for (int round = 0; round < 64 && total < room; ++round) {
            const ssize_t n = ::read(m_fd, m_readBuffer.get() + total, room - total);
            if (n > 0) {
                total += size_t(n);
                // A tty hands over at most its line buffer (4 KiB) per read. Less than that on a slow line
                // means drained, and one more read would only cost a wait for the tty's buffer work; a fast
                // stream is read until the tty has nothing left, which saves a poll per read.
                if (total < kChunkBytes && size_t(n) < 4096)
                    break;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // A raw tty reads 0 when empty; a socket reads 0 only at its end (and would stay readable).
            if (n == 0 && m_socket)
                lost = EIO;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                lost = errno;
            break; // nothing more for now
        }
        lock.lock();
    }
    if (m_quit || m_lost)
        return;
    if (purges != m_inputPurges)
        total = 0;
    if (total > 0)
        ProcessInput(m_readBuffer.get(), total);
    if (lost || (total == 0 && hangUp)) {
        SetLost(lost ? lost : EIO);
        return;
    }

    if (m_batching.Read(now, total, m_input.Size(), m_input.Free() == 0))
        FlushRxEvents(now);
}

void TStreamSerialDevice::ProcessInput(const uint8_t* data, size_t count) {
    if (!m_marked && !(m_dcb.Flags & kDcbNull)) {
        // Fast path: plain bytes.
        const size_t before = m_input.Size();
        count = m_input.PushBulk(data, count);
        m_rxEvents |= kEvRxChar;
        if (std::memchr(data, uint8_t(m_dcb.EvtChar), count))
            m_rxEvents |= kEvRxFlag;
        if (m_mark80 > 0 && before < m_mark80 && m_input.Size() >= m_mark80)
            RaiseEvents(kEvRx80Full);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!m_marked) {
            QueueByte(data[i]);
            continue;
        }
        uint8_t b = 0;
        switch (m_markDecoder.Feed(data[i], &b)) {
        case TErrorMarkDecoder::TResult::None:
            break;
        case TErrorMarkDecoder::TResult::Byte:
            QueueByte(b);
            if (m_markDecoder.Pending(&b))
                QueueByte(b);
            break;
        case TErrorMarkDecoder::TResult::ErrorByte:
            m_errors |= kCeRxParity;
            RaiseEvents(kEvErr);
            QueueByte((m_dcb.Flags & kDcbErrorChar) ? uint8_t(m_dcb.ErrorChar) : b);
            break;
        case TErrorMarkDecoder::TResult::Break:
            m_errors |= kCeBreak;
            RaiseEvents(kEvBreak);
            break;
        }
    }
}

void TStreamSerialDevice::QueueByte(uint8_t b) {
    if ((m_dcb.Flags & kDcbNull) && b == 0)
        return;
    if (m_input.Free() == 0) {
        m_errors |= kCeRxOver;
        RaiseEvents(kEvErr);
        return;
    }
    const size_t before = m_input.Size();
    m_input.Push(b);
    m_rxEvents |= kEvRxChar;
    if (b == uint8_t(m_dcb.EvtChar))
        m_rxEvents |= kEvRxFlag;
    if (m_mark80 > 0 && before < m_mark80 && before + 1 >= m_mark80)
        RaiseEvents(kEvRx80Full);
}

void TStreamSerialDevice::FlushRxEvents(TTime now) {
    m_batching.Reported(now, m_rxEvents & kEvRxChar);
    const uint32_t events = m_rxEvents;
    m_rxEvents = 0;
    RaiseEvents(events);
}

// ---- reads ----

void TStreamSerialDevice::StartRead(TRequest& r, TTime now) {
    const TCommTimeouts& t = m_timeouts;
    r.Started = true;
    const bool intervalMax = t.ReadIntervalTimeout == kMaxDword;
    if (intervalMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        r.Immediate = true;
    } else if (intervalMax && t.ReadTotalTimeoutMultiplier == kMaxDword && t.ReadTotalTimeoutConstant > 0 &&
               t.ReadTotalTimeoutConstant < kMaxDword) {
        r.FirstByte = true;
        r.Deadline = AddMs(now, t.ReadTotalTimeoutConstant);
    } else {
        const uint64_t total =
            uint64_t(t.ReadTotalTimeoutMultiplier) * r.Count + uint64_t(t.ReadTotalTimeoutConstant);
        if (total > 0)
            r.Deadline = AddMs(now, total);
        r.IntervalMs = t.ReadIntervalTimeout;
    }
}

bool TStreamSerialDevice::ReadFinished(const TRequest& r, TTime now) const {
    if (r.Done == r.Count || r.Immediate || (r.FirstByte && r.Done > 0) || now >= r.Deadline)
        return true;
    return r.IntervalMs && r.Done > 0 && now >= AddMs(r.LastByte, r.IntervalMs);
}

void TStreamSerialDevice::ServeReads(TTime now) {
    while (!m_reads.empty()) {
        TRequest& r = m_reads.front();
        if (!r.Started)
            StartRead(r, now);
        const size_t n = m_input.Pop(r.Buffer + r.Done, r.Count - r.Done);
        if (n > 0) {
            r.Done += uint32_t(n);
            r.LastByte = now;
        }
        if (!ReadFinished(r, now))
            return;
        Complete(r.Ov, 0, r.Done);
        m_reads.pop_front();
    }
}

// ---- writes ----

void TStreamSerialDevice::StartWrite(TRequest& r, TTime now) {
    r.Started = true;
    const uint64_t total = uint64_t(m_timeouts.WriteTotalTimeoutMultiplier) * r.Count +
                           uint64_t(m_timeouts.WriteTotalTimeoutConstant);
    if (total > 0)
        r.Deadline = AddMs(now, total);
}

bool TStreamSerialDevice::WriteSome(TRequest& r) {
    while (r.Done < r.Count) {
        const size_t left = r.Count - r.Done;
        const ssize_t n = m_socket ? ::send(m_fd, r.Buffer + r.Done, left, MSG_NOSIGNAL)
                                   : ::write(m_fd, r.Buffer + r.Done, left);
        if (n > 0) {
            r.Done += uint32_t(n);
            m_outputPending = true;
            m_outputMaybeQueued = true;
            // An answer may come before the window ends: the I/O thread watches the line again.
            if (m_batching.Written() && std::this_thread::get_id() != m_ioThread)
                Wake();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        SetLost(n < 0 ? errno : EIO);
        return false;
    }
    return true;
}

void TStreamSerialDevice::ServeWrites(TTime now) {
    bool completed = false;
    while (!m_writes.empty()) {
        TRequest& r = m_writes.front();
        if (!r.Started)
            StartWrite(r, now);
        if (!WriteSome(r))
            return;
        if (r.Done < r.Count && now < r.Deadline)
            break;
        Complete(r.Ov, 0, r.Done);
        m_writes.pop_front();
        completed = true;
    }
    if (completed && m_writes.empty()) {
        m_drainCheck = kNever;
        CheckDrain(now);
    }
}

void TStreamSerialDevice::CheckDrain(TTime now) {
    if (!m_outputPending || !m_writes.empty())
        return;
    if (!(m_mask & kEvTxEmpty)) {
        m_outputPending = false;
        return;
    }
    if (m_drainCheck != kNever && now < m_drainCheck)
        return;
    const uint32_t queued = m_backend->OutputQueued();
    if (queued == 0) {
        m_outputMaybeQueued = false;
        m_outputPending = false;
        m_drainCheck = kNever;
        RaiseEvents(kEvTxEmpty);
        return;
    }
    // Look again when the queued bytes should have gone out at the line's speed.
    const uint64_t bitsPerChar = 1 + std::clamp<uint64_t>(m_dcb.ByteSize, 5, 8) +
                                 (m_dcb.Parity != kNoParity ? 1 : 0) +
                                 (m_dcb.StopBits == kOneStopBit ? 1 : 2);
    const uint64_t baud = m_dcb.BaudRate ? m_dcb.BaudRate : 9600;
    const uint64_t ms = std::clamp<uint64_t>(queued * bitsPerChar * 1000 / baud, 1, 1000);
    m_drainCheck = now + std::chrono::milliseconds(ms);
}

// ---- events and line state ----

bool TStreamSerialDevice::SamplingWanted() const {
    if (m_lost)
        return false;
    return ((m_mask & kModemEvents) && m_backend->CanSampleModem()) ||
           ((m_mask & kCounterEvents) && m_backend->CanSampleCounters());
}

void TStreamSerialDevice::Sample(bool raise) {
    TLineSample s;
    if (m_backend->SampleLine(&s) != 0)
        return;
    const TLineSample old = m_sample;
    m_sample = s;
    const bool compare = raise && m_sampled;
    m_sampled = true;
    if (!compare)
        return;
    uint32_t events = 0, errors = 0;
    const uint32_t flipped = s.ModemStatus ^ old.ModemStatus;
    if ((flipped & kMsCtsOn) || s.Cts != old.Cts)
        events |= kEvCts;
    if ((flipped & kMsDsrOn) || s.Dsr != old.Dsr)
        events |= kEvDsr;
    if ((flipped & kMsRlsdOn) || s.Dcd != old.Dcd)
        events |= kEvRlsd;
    if (((flipped & s.ModemStatus) & kMsRingOn) || s.Ring != old.Ring)
        events |= kEvRing;
    if (s.Frame != old.Frame)
        errors |= kCeFrame;
    if (s.Overrun != old.Overrun)
        errors |= kCeOverrun;
    if (s.Parity != old.Parity)
        errors |= kCeRxParity;
    if (s.BufferOverrun != old.BufferOverrun)
        errors |= kCeRxOver;
    if (s.Break != old.Break)
        errors |= kCeBreak;
    m_errors |= errors;
    if (errors & ~kCeBreak)
        events |= kEvErr;
    if (errors & kCeBreak)
        events |= kEvBreak;
    RaiseEvents(events);
}

void TStreamSerialDevice::RaiseEvents(uint32_t events) {
    events &= m_mask;
    if (!events)
        return;
    if (m_wait) {
        CompleteWait(m_wait, 0, events);
        m_wait = nullptr;
    } else {
        m_history |= events;
    }
}

void TStreamSerialDevice::NotifyLine(uint32_t events, uint32_t errors) {
    std::lock_guard lock(m_lock);
    if (m_lost || m_quit)
        return;
    m_errors |= errors;
    RaiseEvents(events);
}

void TStreamSerialDevice::SetLost(int error) {
    if (m_lost)
        return;
    m_lost = true;
    m_lostError = error ? error : EIO;
    // Input read before the loss is still reported (and can still be counted and read).
    FlushRxEvents(Clock::now());
    FailAll(EIO);
    Wake();
    if (m_lossHandler)
        m_lossHandler(m_lostError);
}

void TStreamSerialDevice::SetLossHandler(std::function<void(int error)> handler) {
    std::lock_guard lock(m_lock);
    m_lossHandler = std::move(handler);
    if (m_lost && m_lossHandler)
        m_lossHandler(m_lostError);
}

void TStreamSerialDevice::FailAll(int error) {
    for (TRequest& r : m_reads)
        Complete(r.Ov, error, r.Done);
    m_reads.clear();
    for (TRequest& r : m_writes)
        Complete(r.Ov, error, r.Done);
    m_writes.clear();
    if (m_wait) {
        CompleteWait(m_wait, error, 0);
        m_wait = nullptr;
    }
}

void TStreamSerialDevice::Complete(TOverlapped* ov, int error, uint32_t bytes) {
    // Pending is cleared and the event set together under the record's lock: once GetOverlappedResult
    // has seen the result, the caller may free the record and its event. The I/O thread leaves both to
    // SignalCompleted, after it has let go of the device's lock.
    std::lock_guard lock(ov->Lock);
    ov->Error = error;
    ov->BytesTransferred = bytes;
    if (std::this_thread::get_id() == m_ioThread) {
        m_deferred.push_back(ov);
        return;
    }
    ov->Pending = false;
    if (ov->Event)
        ov->Event->Set();
}

void TStreamSerialDevice::CompleteWait(TOverlapped* ov, int error, uint32_t mask) {
    {
        std::lock_guard lock(ov->Lock);
        if (ov->EventMask)
            *ov->EventMask = mask;
    }
    Complete(ov, error, 0);
}

// ---- the operations ----

intptr_t TStreamSerialDevice::NativeHandle() const {
    return m_backend->NativeHandle();
}

int TStreamSerialDevice::SetCommState(const TDcb& dcb) {
    const uint32_t dtr = dcb.Flags & kDcbDtrControlMask;
    const uint32_t rts = dcb.Flags & kDcbRtsControlMask;
    bool dtrChanged = false, rtsChanged = false;
    std::unique_lock<std::mutex> applying;
    if (m_backend->AppliesWithoutLock()) {
        // The caller's event loop turns while the backend waits: a handler run from there that changes
        // the settings again is refused (it would wait for itself).
        if (m_applyingThread.load() == std::this_thread::get_id())
            return EBUSY;
        applying = std::unique_lock(m_applyLock);
        m_applyingThread = std::this_thread::get_id();
        struct TDone {
            std::atomic<std::thread::id>& Id;
            ~TDone() { Id = std::thread::id(); }
        } done{m_applyingThread};
        {
            std::lock_guard lock(m_lock);
            if (int e = Unavailable())
                return e;
        }
        if (int e = m_backend->ApplyState(dcb))
            return e;
    }
    {
        std::lock_guard lock(m_lock);
        if (int e = Unavailable())
            return e;
        if (!applying.owns_lock()) {
            if (int e = m_backend->ApplyState(dcb))
                return e;
        }
        dtrChanged = !m_linesSet || dtr != (m_dcb.Flags & kDcbDtrControlMask);
        rtsChanged = !m_linesSet || rts != (m_dcb.Flags & kDcbRtsControlMask);
        m_linesSet = true;
        m_dcb = dcb;
        m_batching.SetBaudRate(dcb.BaudRate);
        m_marked = m_backend->InputErrorsMarked();
        if (!m_marked)
            m_markDecoder.Reset();
    }
    // A change of the DTR / RTS control sets the line (disable: off, enable: on); a handshake or toggle
    // leaves it to the driver. The same control again leaves a line that was set by hand as it is.
    if (dtrChanged && (dtr == 0 || dtr == kDcbDtrControlEnable)) {
        if (int e = m_backend->Escape(dtr ? kSetDtr : kClrDtr))
            return e;
    }
    if (rtsChanged && (rts == 0 || rts == kDcbRtsControlEnable)) {
        if (int e = m_backend->Escape(rts ? kSetRts : kClrRts))
            return e;
    }
    return 0;
}

int TStreamSerialDevice::GetCommState(TDcb* dcb) {
    std::lock_guard lock(m_lock);
    if (int e = Unavailable())
        return e;
    *dcb = m_dcb;
    return 0;
}

int TStreamSerialDevice::SetCommTimeouts(const TCommTimeouts& timeouts) {
    if (timeouts.ReadIntervalTimeout == kMaxDword && timeouts.ReadTotalTimeoutMultiplier == kMaxDword &&
        timeouts.ReadTotalTimeoutConstant == kMaxDword)
        return EINVAL;
    std::lock_guard lock(m_lock);
    if (int e = Unavailable())
        return e;
    m_timeouts = timeouts;
    return 0;
}

int TStreamSerialDevice::SetupComm(int32_t inQueue, int32_t outQueue) {
    if (inQueue < 0 || outQueue < 0 || inQueue > kMaxInputQueue)
        return EINVAL;
    std::lock_guard lock(m_lock);
    if (int e = Unavailable())
        return e;
    m_input.Reserve(std::max<size_t>(size_t(inQueue), kMinInputCapacity));
    m_mark80 = size_t(uint64_t(inQueue) * 8 / 10);
    Wake();
    return 0;
}

int TStreamSerialDevice::WriteFile(const void* buffer, uint32_t count, uint32_t* written, TOverlapped* ov) {
    if (written)
        *written = 0;
    if (!ov || (!buffer && count))
        return EINVAL;
    std::lock_guard lock(m_lock);
    if (int e = Unavailable())
        return Fail(ov, e);
    Prepare(ov, nullptr);
    TRequest r;
    r.Ov = ov;
    r.Buffer = static_cast<uint8_t*>(const_cast<void*>(buffer));
    r.Count = count;
    m_writes.push_back(r);
    if (m_writes.size() == 1)
        ServeWrites(Clock::now());
    const bool pending = !m_writes.empty() && m_writes.back().Ov == ov;
    if (pending || m_outputPending)
        Wake();
    if (pending)
        return kErrorIoPending;
    std::lock_guard ovLock(ov->Lock);
    if (ov->Error) {
        if (ov->Event)
            ov->Event->Reset();
        return ov->Error;
    }
    if (written)
        *written = ov->BytesTransferred;
    return 0;
}

int TStreamSerialDevice::ReadFile(void* buffer, uint32_t count, uint32_t* read, TOverlapped* ov) {
    if (read)
        *read = 0;
    if (!ov || (!buffer && count))
        return EINVAL;
    std::lock_guard lock(m_lock);
    const bool leftOver = m_lost && m_input.Size() > 0;
    if (int e = Unavailable(); e && !leftOver)
        return Fail(ov, e);
    Prepare(ov, nullptr);
    TRequest r;
    r.Ov = ov;
    r.Buffer = static_cast<uint8_t*>(buffer);
    r.Count = count;
    // Nothing more will arrive: a read takes what is left at once.
    r.Started = r.Immediate = leftOver;
    m_reads.push_back(r);
    // A full queue is not read from the line: freeing space must wake the thread.
    const bool wasFull = m_input.Free() == 0;
    if (m_reads.size() == 1)
        ServeReads(Clock::now());
    if (!m_reads.empty() && m_reads.back().Ov == ov) {
        Wake();
        return kErrorIoPending;
    }
    if (wasFull && m_input.Free() > 0)
        Wake();
    std::lock_guard ovLock(ov->Lock);
    if (read)
        *read = ov->BytesTransferred;
    return 0;
}

int TStreamSerialDevice::PurgeComm(uint32_t flags) {
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear))
        return EINVAL;
    std::unique_lock lock(m_lock);
    SettleSignals(lock);
    // A lost device has nothing left to purge; succeeding lets the port close it.
    if (m_lost)
        return 0;
    if (m_quit)
        return EBADF;
    int result = 0;
    if (flags & kPurgeTxAbort) {
        for (TRequest& r : m_writes)
            Complete(r.Ov, kErrorOperationAborted, r.Done);
        m_writes.clear();
    }
    if (flags & kPurgeRxAbort) {
        for (TRequest& r : m_reads)
            Complete(r.Ov, kErrorOperationAborted, r.Done);
        m_reads.clear();
    }
    if (flags & kPurgeTxClear)
        result = m_backend->Flush(false, true);
    if (flags & kPurgeRxClear) {
        auto clearInput = [this] {
            m_input.Clear();
            ++m_inputPurges;
            m_markDecoder.Reset();
            m_rxEvents = 0;
            m_batching.Reported(Clock::now(), false);
        };
        clearInput();
        if (m_backend->AppliesWithoutLock()) {
            // The backend waits for its peer to purge too; what arrives meanwhile is stale.
            lock.unlock();
            const int e = m_backend->Flush(true, false);
            lock.lock();
            if (!m_lost && !m_quit)
                clearInput();
            if (e && !result)
                result = e;
        } else if (int e = m_backend->Flush(true, false); e && !result) {
            result = e;
        }
    }
    Wake();
    return result;
}

int TStreamSerialDevice::ClearCommError(uint32_t* errors, TComStat* stat) {
    std::lock_guard lock(m_lock);
    if (int e = Unavailable(); e && !(m_lost && m_input.Size() > 0))
        return e;
    if (!m_lost && m_backend->CanSampleCounters())
        Sample(true);
    if (errors)
        *errors = m_errors;
    m_errors = 0;
    if (stat) {
        uint64_t out = 0;
        for (const TRequest& r : m_writes)
            out += r.Count - r.Done;
        // Only this device writes to the line: once its output was seen drained, nothing is queued
        // until it writes again (which spares the driver a question per received batch).
        if (m_outputMaybeQueued && !m_lost) {
            const uint32_t queued = m_backend->OutputQueued();
            out += queued;
            m_outputMaybeQueued = queued != 0;
        }
        stat->cbInQue = uint32_t(m_input.Size());
        stat->cbOutQue = uint32_t(std::min<uint64_t>(out, kMaxDword));
    }
    return 0;
}

int TStreamSerialDevice::GetCommModemStatus(uint32_t* status) {
    {
        std::lock_guard lock(m_lock);
        if (int e = Unavailable())
            return e;
    }
    return m_backend->ModemStatus(status);
}

int TStreamSerialDevice::EscapeCommFunction(uint32_t function) {
    {
        std::lock_guard lock(m_lock);
        if (int e = Unavailable())
            return e;
    }
    return m_backend->Escape(function);
}

int TStreamSerialDevice::SetCommMask(uint32_t mask) {
    std::unique_lock lock(m_lock);
    // The caller may free the record of a wait that this ends (or that ended just before).
    SettleSignals(lock);
    // As with PurgeComm: clearing the mask of a lost device succeeds, so that closing works.
    if (m_lost)
        return 0;
    if (m_quit)
        return EBADF;
    m_mask = mask;
    m_history = 0;
    if (m_wait) {
        CompleteWait(m_wait, 0, 0);
        m_wait = nullptr;
    }
    if (SamplingWanted()) {
        Sample(false);
        m_sampleAt = Clock::now() + std::chrono::milliseconds(kSampleMs);
    } else {
        m_sampleAt = kNever;
    }
    Wake();
    return 0;
}

int TStreamSerialDevice::WaitCommEvent(uint32_t* mask, TOverlapped* ov) {
    if (!ov || !mask)
        return EINVAL;
    std::lock_guard lock(m_lock);
    // Events raised before a loss are still reported.
    if (int e = Unavailable(); e && !(m_lost && (m_history & m_mask)))
        return Fail(ov, e);
    if (m_wait || m_mask == 0)
        return Fail(ov, EINVAL);
    Prepare(ov, mask);
    if (const uint32_t happened = m_history & m_mask) {
        m_history = 0;
        CompleteWait(ov, 0, happened);
        return 0;
    }
    m_wait = ov;
    return kErrorIoPending;
}
