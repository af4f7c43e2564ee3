#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The lengths of the batch windows in ms (tests make them long, so that what is reported within one
// stands out).
struct TBatchWindows {
    int BatchMs = 2;      // after the first bytes of a quiet line, and after an answer
    int StreamMinMs = 16; // a flowing stream's first window; each next one is twice as long
    int StreamMaxMs = 128;
};

// When received input is reported to the reader. Waking the reader costs about as much as the bytes it
// gets on a slow line, so a stream is collected in windows during which the line is not even watched;
// an exchange (the device wrote, the far end answers) and the first bytes after a quiet line are
// reported at once. Time is given by the caller, so the rule runs without a clock of its own.
//
// - The first bytes after a quiet line are reported at once, and the bytes that follow within BatchMs
//   are reported when that window ends. While a stream keeps flowing (input within kStreamGapMs of the
//   last report) its windows grow, from StreamMinMs doubling up to StreamMaxMs (less on a line so fast that
//   the driver could not hold what the window gathers), so a long slow stream costs a few wake-ups a second.
// - Input that follows bytes the device wrote since the last report is an answer: it is reported at
//   once, even within a window (the line is watched again from the write on), and the windows start
//   over from BatchMs, doubling, so the rest of an answer that comes in pieces waits no longer than the
//   answer took to come. A peer that answers every request at once thus keeps its answers prompt
//   however many rounds it runs, while a stream that nobody asked for keeps its long windows.
// - A fast stream (large reads, or a window that gathered kWindowBytes or more, or kLineMargin times
//   what the line carries at its speed in the window's time: the line is faster than its nominal
//   speed) keeps the line watched and is reported every kFastNotifyMs, or at once when
//   kNotifyBytes are waiting or the queue is full.
class TInputBatching {
public:
    using Clock = std::chrono::steady_clock;
    using TTime = Clock::time_point;
    static constexpr TTime kNever = TTime::max();

    static constexpr size_t kWindowBytes = 16 * 1024; // a window gathers at most this at the line's speed
    static constexpr uint64_t kLineMargin = 4;        // a window that gathered this many times what the line
                                                      // carries meanwhile: the line is faster than its speed
    static constexpr int kStreamGapMs = 50;     // input within this time of the last report: still a stream
    static constexpr size_t kChunkBytes = 1024; // a read this large means a fast stream
    static constexpr int kFastNotifyMs = 1;     // a fast stream is reported this often
    static constexpr size_t kNotifyBytes = 64 * 1024; // or at once when this much is waiting

    explicit TInputBatching(const TBatchWindows& windows = {})
        : m_windows(windows), m_streamBatchMs(windows.StreamMinMs) {}

    void SetBaudRate(uint32_t baud) { m_baud = baud ? baud : 9600; }

    // The device put bytes on the line. True when the line must be watched again where it was not (a
    // window is open): the caller wakes the thread that watches it.
    bool Written();

    // One look at the line at `now` brought `bytes` (0: nothing), after which `queued` bytes wait and
    // the queue is `full`. True: report the waiting input now.
    bool Read(TTime now, size_t bytes, size_t queued, bool full);

    // The waiting input was reported (`input`: it held received bytes).
    void Reported(TTime now, bool input);

    // Whether the line is watched now; while it is not, a window is open and nothing asked for input.
    bool Watching() const { return m_windowEnd == kNever || m_written; }
    // When the open window ends (kNever: none), and when a fast stream's input is reported (kNever).
    TTime WindowEnd() const { return m_windowEnd; }
    TTime NotifyAt() const { return m_notifyAt; }

private:
    bool FastStream(size_t bytes, TTime now, bool windowOver) const;
    int StreamBatchLimitMs() const;

    TBatchWindows m_windows;
    uint32_t m_baud = 9600;
    TTime m_windowEnd = kNever; // end of the open window
    TTime m_windowStart{};      // when the open window opened
    TTime m_lastReport{};       // when received input was last reported
    TTime m_notifyAt = kNever;  // when a fast stream's input is reported
    bool m_fastStream = false;  // the last input came as a fast stream
    bool m_written = false;     // the device wrote since input was last reported
    int m_streamBatchMs;        // the next window of a flowing stream
};
