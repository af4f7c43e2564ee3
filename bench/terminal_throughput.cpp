// Terminal data-path throughput: bytes per second from DisplayBuffer into the grid (no display) with the
// console's history of 10,000 rows kept, next to libvterm's screen layer on the same streams in the same
// run, as a ratio. The memory of a full history of 80-column rows with their times. Then the visible
// terminal: painting a full 80 x 24 screen, and receiving 1 MB of text into a shown terminal (offscreen;
// with --x11 also under an Xvfb of its own, side by side).
//
//   terminal_throughput [megabytes per stream, default 8] [--data-only] [--x11 | --x11-only]

#include "controls/ComTerminal.h"

#include "BenchPlatforms.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

extern "C" {
#include <vterm.h>
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kColumns = 80;
constexpr int kRows = 24;
constexpr int kChunk = 4096; // bytes per delivery, like one read of the port
constexpr int kRounds = 5;
constexpr int kHistoryLines = 10000; // the console's default
constexpr double kHistoryTargetMiB = 8.0;

// Plain text lines of varying length, CR LF.
QByteArray PlainText(int size) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> length(0, 78);
    std::uniform_int_distribution<int> letter(0x20, 0x7E);
    QByteArray out;
    out.reserve(size + 100);
    while (out.size() < size) {
        const int n = length(rng);
        for (int i = 0; i < n; ++i)
            out += char(letter(rng));
        out += "\r\n";
    }
    out.truncate(size);
    return out;
}

// What the field controller sends when its log is read.
QByteArray ControllerLog(int size) {
    static const char* const kEvents[] = {"DOOR %d OPEN",     "DOOR %d CLOSED", "ALARM ZONE %d",
                                          "CARD %d ACCEPTED", "CARD %d DENIED", "POWER FAIL",
                                          "POWER OK",         "RELAY %d ON"};
    std::mt19937 rng(2);
    QByteArray out;
    out.reserve(size + 100);
    int second = 0;
    char line[96];
    while (out.size() < size) {
        char event[32];
        std::snprintf(event, sizeof event, kEvents[rng() % 8], int(rng() % 16) + 1);
        second += int(rng() % 90);
        std::snprintf(line, sizeof line, "2026-12-%02d %02d:%02d:%02d %s\r\n", 1 + second / 86400 % 28,
                      second / 3600 % 24, second / 60 % 60, second % 60, event);
        out += line;
    }
    out.truncate(size);
    return out;
}

// A full-screen VT100 application's output: cursor moves, erases, attributes, tabs, long lines that
// wrap, and text.
QByteArray MixedVT100(int size) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> letter(0x20, 0x7E);
    QByteArray out;
    out.reserve(size + 200);
    auto text = [&](int n) {
        for (int i = 0; i < n; ++i)
            out += char(letter(rng));
    };
    while (out.size() < size) {
        switch (rng() % 10) {
        case 0:
            out += "\033[" + QByteArray::number(int(rng() % kRows) + 1) + ";" +
                   QByteArray::number(int(rng() % kColumns) + 1) + "H";
            break;
        case 1:
            out += (rng() % 4 == 0) ? "\033[J" : "\033[K";
            break;
        case 2:
            out += (rng() % 2) ? "\033[1;7m" : (rng() % 2) ? "\033[4m" : "\033[0m";
            break;
        case 3:
            out += "\t";
            text(int(rng() % 8));
            break;
        case 4:
            text(100 + int(rng() % 100)); // wraps
            out += "\r\n";
            break;
        case 5:
            out += "\033[A\033[2C\033[B\033[D";
            break;
        default:
            text(int(rng() % 40));
            out += "\r\n";
            break;
        }
    }
    out.truncate(size);
    return out;
}

// Bytes per second of `pass` (one pass over the stream), run repeatedly for at least a quarter second.
double RateOnce(qsizetype bytes, const std::function<void()>& pass) {
    const auto start = Clock::now();
    qsizetype done = 0;
    double seconds = 0;
    do {
        pass();
        done += bytes;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 0.25);
    return double(done) / seconds;
}

// Delivers the stream in port-sized pieces.
template <class F> void Deliver(const QByteArray& stream, F&& deliver) {
    for (qsizetype pos = 0; pos < stream.size(); pos += kChunk)
        deliver(stream.constData() + pos, int(std::min<qsizetype>(kChunk, stream.size() - pos)));
}

class TOurs {
public:
    explicit TOurs(TTermEmulation emulation) {
        m_term.BeginLoading();
        m_term.SetEmulation(emulation);
        m_term.SetColumns(kColumns);
        m_term.SetRows(kRows);
        m_term.SetWrapLines(true);
        m_term.Loaded();
        m_term.SetHistoryLines(kHistoryLines);
    }
    void Pass(const QByteArray& stream) {
        Deliver(stream, [&](const char* data, int n) { m_term.DisplayBuffer(data, n); });
    }

private:
    TCustomComTerminal m_term; // no display
};

class TVterm {
public:
    TVterm() : m_vt(vterm_new(kRows, kColumns)) {
        vterm_set_utf8(m_vt, 0);
        vterm_screen_reset(vterm_obtain_screen(m_vt), 1);
    }
    ~TVterm() { vterm_free(m_vt); }
    TVterm(const TVterm&) = delete;
    TVterm& operator=(const TVterm&) = delete;
    void Pass(const QByteArray& stream) {
        Deliver(stream, [&](const char* data, int n) { vterm_input_write(m_vt, data, size_t(n)); });
    }

private:
    VTerm* m_vt;
};

// A full history of 80-column controller log rows with their times: the heap it takes (as the allocator
// counts it) and what the history counts itself.
bool HistoryMemory() {
    const QByteArray log = ControllerLog(kHistoryLines * 60);
    std::vector<TTermCell> row(kColumns);
    const size_t before = mallinfo2().uordblks;
    auto history = std::make_unique<TTermHistory>(kHistoryLines);
    qint64 time = QDateTime::currentMSecsSinceEpoch();
    qsizetype pos = 0;
    for (int i = 0; i < kHistoryLines; ++i) {
        // Rows filled to the last column, so no row is cheaper than a full one.
        for (int col = 0; col < kColumns; ++col) {
            const char ch = log[pos++ % log.size()];
            row[size_t(col)] = {ch >= 0x20 ? ch : '.', 0xFFFFFF, 0x000000, false};
        }
        history->Push(row.data(), kColumns, time++, false);
    }
    const double heap = double(mallinfo2().uordblks - before) / (1 << 20);
    const double counted = double(history->MemoryBytes()) / (1 << 20);
    const bool met = std::max(heap, counted) < kHistoryTargetMiB;
    std::printf(
        "history of %d rows x %d columns with times: %.2f MiB heap (%.2f MiB counted)  target < %.0f MiB: "
        "%s\n",
        kHistoryLines, kColumns, heap, counted, kHistoryTargetMiB, met ? "met" : "not met");
    return met;
}

void Widget() {
    TComTerminal term;
    term.BeginLoading();
    term.SetEmulation(teNone);
    term.SetWrapLines(true);
    term.Loaded();
    term.SetHistoryLines(kHistoryLines);
    term.resize(kColumns * term.FontWidth() + 2 * term.frameWidth() + 40,
                kRows * term.FontHeight() + 2 * term.frameWidth() + 40);
    term.show();
    QApplication::processEvents();
    term.FillScreen('E');

    std::printf("shown terminal: %s, cells %d x %d pixels\n", qPrintable(term.font().family()),
                term.FontWidth(), term.FontHeight());
    // A full paint of every cell, as after an expose.
    constexpr int kPaints = 200;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kPaints; ++i)
        term.viewport()->repaint();
    Figure("paint 80 x 24 full cells",
           Format("%.3f ms per paint", double(timer.nsecsElapsed()) / 1e6 / kPaints), "(none)", true, false);

    // 1 MB of controller log into the shown terminal, delivered like port reads, painted as it goes.
    const QByteArray log = ControllerLog(1 << 20);
    timer.restart();
    for (qsizetype pos = 0; pos < log.size(); pos += kChunk) {
        term.ReceiveBuffer(nullptr, log.constData() + pos,
                           int(std::min<qsizetype>(kChunk, log.size() - pos)));
        QApplication::processEvents();
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    Figure("1 MB into a shown terminal", Format("%.3f s, %.2f MB/s", seconds, 1.0 / seconds), "(none)", true,
           false);
}

} // namespace

int main(int argc, char** argv) {
    if (const int rc = RunOffscreenAndX(argc, argv); rc >= 0)
        return rc;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
    const int size = megabytes << 20;

    struct TStream {
        const char* name;
        QByteArray bytes;
        double target; // at least this many times libvterm's rate
    };
    const TStream streams[] = {
        {"plain text CR LF", PlainText(size), 10.0},
        {"controller log", ControllerLog(size), 10.0},
        {"mixed VT100", MixedVT100(size), 5.0},
    };
    std::printf(
        "DisplayBuffer into an %d x %d grid (no display) with a history of %d rows, %d MB per stream, "
        "%d-byte deliveries\n",
        kColumns, kRows, kHistoryLines, megabytes, kChunk);
    std::printf("%-18s %14s %14s %14s %8s\n", "stream", "VT100 MB/s", "no emul. MB/s", "libvterm MB/s",
                "ratio");
    bool met = true;
    for (const TStream& stream : streams) {
        TOurs vt100(teVT100orANSI);
        TOurs none(teNone);
        TVterm vterm;
        // Best of several alternating rounds, so that a busy machine slows both sides alike.
        double ours = 0, plain = 0, theirs = 0;
        for (int round = 0; round < kRounds; ++round) {
            ours = std::max(ours, RateOnce(stream.bytes.size(), [&] { vt100.Pass(stream.bytes); }));
            plain = std::max(plain, RateOnce(stream.bytes.size(), [&] { none.Pass(stream.bytes); }));
            theirs = std::max(theirs, RateOnce(stream.bytes.size(), [&] { vterm.Pass(stream.bytes); }));
        }
        const double ratio = ours / theirs;
        met = met && ratio >= stream.target;
        std::printf("%-18s %14.1f %14.1f %14.1f %7.2fx  target >= %.0fx: %s\n", stream.name, ours / 1e6,
                    plain / 1e6, theirs / 1e6, ratio, stream.target,
                    ratio >= stream.target ? "met" : "not met");
    }
    std::printf("all streams (VT100 emulation against libvterm): %s\n", met ? "met" : "not met");
    HistoryMemory();
    if (argc < 3 || std::string(argv[2]) != "--data-only")
        Widget();
    return 0;
}
