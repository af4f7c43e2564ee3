// When received input is reported: the window rule played on a simulated line, with time given by the
// test (the I/O thread looks at the line when input arrives while it watches the line, when a window
// ends and when a fast stream's report is due).

#include "serial/platform/InputBatching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using TTime = TInputBatching::TTime;
constexpr TTime kNever = TInputBatching::kNever;

TTime At(double ms) {
    // Well after the clock's start, as on a running machine.
    return TTime{} + std::chrono::seconds(10) + std::chrono::microseconds(int64_t(ms * 1000));
}

double Ms(TTime t) {
    return std::chrono::duration<double, std::milli>(t - At(0)).count();
}

// The I/O thread over one line: bytes arrive, the device writes, the rule says when the reader hears.
class TLine {
public:
    std::vector<TTime> Reports;

    // The streams played here come at 115200-baud pace.
    explicit TLine(uint32_t baud = 115200) { m_rule.SetBaudRate(baud); }
    size_t Unread() const { return m_unread; }
    // When the line is looked at next without new input (kNever: it is watched).
    TTime NextLook() const { return std::min(m_rule.WindowEnd(), m_rule.NotifyAt()); }

    void Arrive(TTime t, size_t bytes) {
        RunUntil(t);
        m_unread += bytes;
        if (m_rule.Watching())
            Look(t);
    }
    void Write(TTime t) {
        RunUntil(t);
        m_rule.Written();
    }
    // Runs until everything that arrived was reported; returns when the last report came.
    TTime Settle() {
        while (m_unread || m_unreported) {
            const TTime next = std::min(m_rule.WindowEnd(), m_rule.NotifyAt());
            if (next == kNever) {
                ADD_FAILURE() << "input held with no report due";
                break;
            }
            RunUntil(next);
        }
        return Reports.empty() ? kNever : Reports.back();
    }

private:
    void RunUntil(TTime t) {
        for (TTime next; (next = std::min(m_rule.WindowEnd(), m_rule.NotifyAt())) <= t;)
            Look(next);
    }
    void Look(TTime now) {
        const size_t bytes = m_unread;
        m_unread = 0;
        m_unreported += bytes;
        bool report = m_rule.Read(now, bytes, m_unreported, false);
        report = report || now >= m_rule.NotifyAt();
        if (!report)
            return;
        m_rule.Reported(now, m_unreported > 0);
        if (m_unreported)
            Reports.push_back(now);
        m_unreported = 0;
    }

    TInputBatching m_rule;
    size_t m_unread = 0, m_unreported = 0;
};

} // namespace

TEST(InputBatching, AnswersToRequestsStayPromptRoundAfterRound) {
    struct TCase {
        const char* Name;
        double AnswerMs;   // from the request to the answer's first bytes
        int Pieces;        // the answer comes in this many pieces
        double PieceGapMs; // this far apart
        double ThinkMs;    // from the answer's report to the next request
    };
    const TCase cases[] = {
        {"at once, next request at once", 0.3, 1, 0, 0.1},
        {"after 5 ms", 5, 1, 0, 0.1},
        {"after 30 ms", 30, 1, 0, 0.1},
        {"in three pieces", 0.3, 3, 0.5, 0.1},
        {"in pieces over 3 ms (a UART's FIFO)", 0.3, 4, 1.0, 0.1},
        {"a byte per ms (9600 baud)", 0.3, 33, 1.0, 0.1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TLine line;
        TTime t = At(0);
        std::chrono::microseconds worst{0};
        const auto us = [](double ms) { return std::chrono::microseconds(int64_t(ms * 1000)); };
        for (int round = 0; round < 100; ++round) {
            line.Write(t);
            for (int piece = 0; piece < c.Pieces; ++piece)
                line.Arrive(t + us(c.AnswerMs + piece * c.PieceGapMs), 12);
            const TTime last = t + us(c.AnswerMs + (c.Pieces - 1) * c.PieceGapMs);
            const TTime reported = line.Settle();
            worst = std::max(worst, std::chrono::duration_cast<std::chrono::microseconds>(reported - last));
            t = reported + us(c.ThinkMs);
        }
        // A whole answer at once; one in pieces within the first window, or no later than it took to come.
        const double spanMs = (c.Pieces - 1) * c.PieceGapMs;
        EXPECT_LE(worst.count(),
                  c.Pieces == 1 ? 0 : std::max<double>(TBatchWindows().BatchMs, spanMs) * 1000);
    }
}

TEST(InputBatching, AStreamNobodyAskedForIsCollectedInGrowingWindows) {
    // 115 bytes every 10 ms (115200 baud) for 3 s; once a second the device writes a few bytes of its own.
    for (const bool writes : {false, true}) {
        SCOPED_TRACE(writes ? "with a write every second" : "without writes");
        TLine line;
        for (int i = 0; i < 300; ++i) {
            if (writes && i % 100 == 50)
                line.Write(At(i * 10 + 5));
            line.Arrive(At(i * 10), 115);
        }
        line.Settle();
        const auto& r = line.Reports;
        // At once, then windows of 2, 16, 32, 64 and 128 ms: about 27 reports in 3 s (a write adds the
        // climb to the long windows once more).
        EXPECT_LE(r.size(), writes ? 45u : 30u);
        std::vector<double> gaps;
        for (size_t i = 1; i < r.size(); ++i)
            gaps.push_back(Ms(r[i]) - Ms(r[i - 1]));
        ASSERT_FALSE(gaps.empty());
        std::sort(gaps.begin(), gaps.end());
        EXPECT_GE(gaps[gaps.size() / 2], 100.0);
    }
}

// A flood after a slow stream: the driver holds what arrives while a long window is open (here 20 KiB,
// then the far end must wait); once a window gathered that much, the line is watched and the flood is
// reported as it comes, not one driver's worth per window.
TEST(InputBatching, AFloodAfterASlowStreamIsNotHeldInWindows) {
    TLine line;
    for (int i = 0; i < 300; ++i) // 115200-baud pace for 3 s: the windows have grown long
        line.Arrive(At(i * 10), 115);
    line.Arrive(At(3000), 20 * 1024);
    const TTime first = line.Settle();
    EXPECT_LE(Ms(first), 3000 + TBatchWindows().StreamMaxMs);
    TTime at = first;
    const auto us = [](int n) { return std::chrono::microseconds(n); };
    for (int piece = 1; piece <= 10; ++piece) {
        at += us(500);
        line.Arrive(at, 20 * 1024);
        EXPECT_LE(Ms(line.Settle()) - Ms(at), TInputBatching::kFastNotifyMs) << "piece " << piece;
        at = std::max(at, line.Reports.back());
        if (piece % 3 != 0)
            continue;
        // The far end falls behind for a moment: two small pieces, then the flood again. It waits at
        // most for a short window, not for the long ones of the slow stream before the flood.
        line.Arrive(at + us(500), 300);
        line.Arrive(at + us(1500), 300);
        at += us(3000);
        line.Arrive(at, 20 * 1024);
        EXPECT_LE(Ms(line.Settle()) - Ms(at), TBatchWindows().StreamMinMs + TInputBatching::kFastNotifyMs)
            << "after a pause, piece " << piece;
        at = std::max(at, line.Reports.back());
    }
}

// A flood from a far end that must wait while the driver is full (a pseudo-terminal keeps about 14 KiB):
// each look at the line finds no more than the driver keeps, and the far end fills it again at once. On a
// line set to a slower speed than the flood comes at, the first window that gathers several times what
// the line could carry ends the windows; the flood is not held to one driver's worth per window.
TEST(InputBatching, AFloodThroughASmallDriverIsNotHeldInWindows) {
    struct TCase {
        const char* Name;
        uint32_t Baud;
        size_t Held;
    };
    const TCase cases[] = {
        {"pseudo-terminal at 38400 baud", 38400, 14 * 1024},
        {"pseudo-terminal at 115200 baud", 115200, 14 * 1024},
        {"a 4 KiB driver at 9600 baud", 9600, 4096},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TLine line(c.Baud);
        for (int i = 0; i < 300; ++i) // a stream at its line's pace for 3 s: the windows have grown long
            line.Arrive(At(i * 10), c.Baud / 1000);
        size_t left = size_t(1) << 20;
        TTime t = At(3000);
        while (left > 0) {
            const size_t n = std::min(left, c.Held - line.Unread());
            line.Arrive(t, n);
            left -= n;
            // The far end writes again once the line was read (0.1 ms later), or waits for the next look.
            t = line.Unread() == 0 ? t + std::chrono::microseconds(100) : line.NextLook();
        }
        // 1 MiB in pieces of the driver's size, 0.1 ms apart, after at most one long window.
        const double pieces = double(size_t(1) << 20) / double(c.Held);
        EXPECT_LE(Ms(line.Settle()) - 3000, TBatchWindows().StreamMaxMs + pieces * 0.1 + 1);
    }
}
