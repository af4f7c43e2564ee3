#include "serial/platform/InputBatching.h"

#include <algorithm>

namespace {

std::chrono::milliseconds Ms(int64_t ms) {
    return std::chrono::milliseconds(ms);
}

} // namespace

bool TInputBatching::Written() {
    const bool wasWatching = Watching();
    m_written = true;
    return !wasWatching;
}

void TInputBatching::Reported(TTime now, bool input) {
    m_notifyAt = kNever;
    if (input) {
        m_lastReport = now;
        m_written = false;
    }
}

bool TInputBatching::Read(TTime now, size_t bytes, size_t queued, bool full) {
    const bool windowOpen = m_windowEnd != kNever;
    const bool windowOver = windowOpen && now >= m_windowEnd;
    if (bytes == 0) {
        // A window that ends on a quiet line reports what it gathered.
        if (!windowOver)
            return false;
        m_windowEnd = kNever;
        return true;
    }
    if (FastStream(bytes, now, windowOver) || full) {
        // A fast stream: its reads are large, so the line stays watched; the reader is told at most every
        // kFastNotifyMs, unless much is waiting already (a reader woken per read would run in lockstep
        // with the tty's small pushes).
        m_windowEnd = kNever;
        m_fastStream = true;
        if (queued >= kNotifyBytes || full)
            return true;
        if (m_notifyAt == kNever)
            m_notifyAt = now + Ms(kFastNotifyMs);
        return false;
    }
    if (m_written) {
        // An answer: told at once, whatever window was open. The rest of it may come in pieces (a slow
        // line, a UART's FIFO): the windows that follow grow from BatchMs, so its last bytes wait no longer
        // than the answer took to come.
        m_fastStream = false;
        m_windowStart = now;
        m_windowEnd = now + Ms(m_windows.BatchMs);
        m_streamBatchMs = std::min(2 * m_windows.BatchMs, m_windows.StreamMinMs);
        return true;
    }
    if (windowOpen && !windowOver)
        return false;
    // A stream that keeps flowing, also one that comes in bursts a few milliseconds apart, is collected
    // in growing windows: its latency matters less the longer it flows, its wake-ups do.
    const bool flowing = windowOver || (!m_fastStream && now - m_lastReport < Ms(kStreamGapMs));
    m_fastStream = false;
    m_windowStart = now;
    if (!flowing) {
        m_streamBatchMs = m_windows.StreamMinMs;
        m_windowEnd = now + Ms(m_windows.BatchMs);
    } else {
        m_windowEnd = now + Ms(m_streamBatchMs);
        m_streamBatchMs = std::min(m_streamBatchMs * 2, StreamBatchLimitMs());
    }
    return windowOver || !flowing;
}

bool TInputBatching::FastStream(size_t bytes, TTime now, bool windowOver) const {
    if (bytes < kChunkBytes)
        return false;
    if (!windowOver)
        return true;
    // A window gathers at most kWindowBytes at the line's speed, and no more than the line carries in
    // the window's time. More means the line runs faster than its speed says (a pseudo-terminal, a
    // network port): holding it in windows would throttle it to what the driver keeps per window (a
    // pseudo-terminal keeps about 14 KiB, whatever the far end has to send). The margin leaves a real
    // line's bursts (a UART's FIFO, a USB adapter's packets) to the windows.
    if (bytes >= kWindowBytes)
        return true;
    const auto gatheredMs = std::max<int64_t>(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(now - m_windowStart).count());
    if (uint64_t(bytes) * 10 * 1000 > kLineMargin * uint64_t(m_baud) * uint64_t(gatheredMs))
        return true;
    // What a window gathered is large because the window was long: the stream is fast only when it came
    // at more than kChunkBytes per BatchMs.
    return uint64_t(bytes) * uint64_t(m_windows.BatchMs) >= uint64_t(kChunkBytes) * uint64_t(gatheredMs);
}

int TInputBatching::StreamBatchLimitMs() const {
    // The line's driver holds what a window gathers: at most kWindowBytes at the line's speed.
    const uint64_t ms = uint64_t(kWindowBytes) * 10 * 1000 / m_baud;
    return int(std::clamp<uint64_t>(ms, uint64_t(m_windows.StreamMinMs),
                                    uint64_t(std::max(m_windows.StreamMinMs, m_windows.StreamMaxMs))));
}
