// End-to-end figures of the console window on one pseudo-terminal pair:
//  - the time for 16 MiB sent by the far end to be shown by the terminal and appended to the session
//    log, next to `cat` reading the same pair (medians of alternating rounds);
//  - the median delay from a byte written by the far end to its appearance in the session log, next to
//    the pseudo-terminal's own delay;
//  - the CPU of the whole program while the port is open and idle, and while the far end sends at
//    115200-baud pace for 10 s;
//  - while 20 MiB arrive as fast as the far end can send, the longest stall of the main thread's event
//    loop and the terminal's paint rate (with the hex view of the log open), and the lines' times.
// Usage: console_throughput [MiB [rounds [all|quiet]]] [--x11 | --x11-only]   (default 16 MiB, 3 rounds,
// all; quiet takes only the delays and the CPU figures; --x11 takes the figures offscreen and under an
// Xvfb of its own, side by side)
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "controls/ComLed.h"
#include "controls/ComTerminal.h"
#include "serial/ComPort.h"

#include "BenchPlatforms.h"
#include "ConsoleBench.h"
#include "PtyBench.h"
#include "ThreadUse.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// Controller-log lines, repeated up to `total` bytes.
QByteArray LogStream(qsizetype total) {
    QByteArray out;
    out.reserve(total);
    int n = 0;
    for (; out.size() < total; ++n)
        out += QByteArray("2026-12-06 14:03:") + QByteArray::number(10 + n % 50) + " DOOR " +
               QByteArray::number(n % 8) + " OPEN\r\n";
    out.truncate(total);
    return out;
}

// Counts paint events of the object it filters.
class TPaintCounter : public QObject {
public:
    explicit TPaintCounter(int* paints) : m_paints(paints) {}
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++*m_paints;
        return QObject::eventFilter(watched, e);
    }

private:
    int* m_paints;
};

// Percentile p (0..100) of the values; -1 when there are none.
double Percentile(std::vector<double> values, int p) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * size_t(p) / 100)];
}

// Delays of single bytes, 100 ms apart, from the master to a thread that waits in poll() on the slave.
std::vector<double> BarePtyDelays(TBenchPty& pty, int count) {
    tcsetattr(pty.Slave, TCSANOW, &pty.Raw);
    std::mutex lock;
    std::condition_variable changed;
    std::chrono::steady_clock::time_point arrived;
    int got = 0;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            pollfd p{pty.Slave, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[16];
            if (::read(pty.Slave, buffer, sizeof buffer) <= 0)
                continue;
            const auto now = std::chrono::steady_clock::now();
            std::lock_guard guard(lock);
            arrived = now;
            ++got;
            changed.notify_one();
        }
    });
    std::vector<double> delays;
    for (int i = 0; i < count; ++i) {
        std::unique_lock guard(lock);
        const int before = got;
        const auto sent = std::chrono::steady_clock::now();
        if (::write(pty.Master, "x", 1) != 1)
            break;
        if (changed.wait_for(guard, std::chrono::seconds(2), [&] { return got > before; }))
            delays.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
        guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    reader.join();
    return delays;
}

// Delays of single bytes from the far end to the console's session log, next to the same for a thread
// that reads the pseudo-terminal itself; prints both. The port is open before and after.
bool MeasureDelays(TMainFormF& window, TBenchPty& pty, const char* when) {
    std::vector<double> delays;
    for (int i = 0; i < 100; ++i) {
        const qsizetype before = window.SessionLog.size();
        QEventLoop loop;
        std::chrono::steady_clock::time_point arrived;
        auto previous = window.ComTerminal1->OnChar;
        window.ComTerminal1->OnChar = [&](TCustomComTerminal* sender, char ch) {
            previous(sender, ch);
            arrived = std::chrono::steady_clock::now();
            loop.quit();
        };
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        const auto sent = std::chrono::steady_clock::now();
        if (::write(pty.Master, "x", 1) != 1)
            return false;
        loop.exec();
        window.ComTerminal1->OnChar = previous;
        if (window.SessionLog.size() == before + 1)
            delays.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
        // Wait out the lamp's hold of this byte and keep the line quiet before the next one: each byte
        // finds the console as a quiet line leaves it.
        RunEventsUntil([] { return false; }, std::chrono::milliseconds(TComLed::kActivityHoldMs + 50));
    }
    window.ComPort1->ClosePort();
    const std::vector<double> bare = BarePtyDelays(pty, 100);
    window.ComPort1->OpenPort();
    const double median = Percentile(delays, 50), p90 = Percentile(delays, 90);
    const double bareMedian = Percentile(bare, 50);
    const bool all = delays.size() >= 90;
    std::printf(
        "delay far end -> session log (%s, log %.1f MiB): median %.3f ms, 90th %.3f ms over %zu bytes\n",
        when, double(window.SessionLog.size()) / (1 << 20), median, p90, delays.size());
    std::printf(
        "delay far end -> a thread reading the pty itself: median %.3f ms, 90th %.3f ms over %zu bytes\n",
        bareMedian, Percentile(bare, 90), bare.size());
    const std::string name = std::string("quiet-line delay, ") + when;
    Figure(name + ": median", Format("%.3f ms", median), "< 0.5 ms", all && median < 0.5);
    Figure(name + ": 90th", Format("%.3f ms", p90), "< 1 ms", all && p90 < 1.0);
    // Offscreen, painting is almost free: what is left is the console's own path.
    const double times = bareMedian > 0 ? median / bareMedian : 0;
    Figure(name + ": median / the pty's own", Format("%.1fx", times), "<= 3x offscreen", all && times <= 3.0,
           !OnXServer());
    return window.ComPort1->Connected();
}

// Page faults of the process so far (on a virtual machine each costs tens of microseconds).
long MinorFaults() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_minflt;
}

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU of this process (and of the X server it draws on, when known) in percent of one core, while the
// event loop runs for `span` (without a timer of its own, which would be counted).
struct TCpuShare {
    double Process = 0;
    double XServer = -1;
};
double ProcessCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

TCpuShare CpuOver(std::chrono::milliseconds span) {
    const char* xPid = std::getenv(kBenchXServerVariable);
    const int xServer = xPid ? std::atoi(xPid) : 0;
    // The per-thread figures are read outside the measured span: reading them costs CPU too.
    const auto threads = ThreadUse();
    const double xBefore = xServer ? ThreadUseTotal("", xServer).CpuNs : 0;
    const double before = ProcessCpuNs();
    const auto start = std::chrono::steady_clock::now();
    QEventLoop loop;
    QTimer::singleShot(span, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    const double used = ProcessCpuNs() - before;
    const double elapsedNs = Ms(std::chrono::steady_clock::now() - start) * 1e6;
    TCpuShare share;
    share.Process = used / elapsedNs * 100.0;
    if (xServer)
        share.XServer = (ThreadUseTotal("", xServer).CpuNs - xBefore) / elapsedNs * 100.0;
    for (const auto& [tid, use] : ThreadUse()) {
        const auto it = threads.find(tid);
        const double ns = use.CpuNs - (it == threads.end() ? 0.0 : it->second.CpuNs);
        const double runs = use.Runs - (it == threads.end() ? 0.0 : it->second.Runs);
        if (runs > 0)
            std::printf("    thread %-16s %.4f %% of a core, %.1f runs/s, %.0f us per run\n",
                        use.Name.c_str(), ns / elapsedNs * 100.0, runs / (elapsedNs / 1e9), ns / 1e3 / runs);
    }
    return share;
}

// The figure of a CPU share, and the X server's share beside it (not the console's: no target).
void CpuFigures(const std::string& name, const TCpuShare& share, const char* target, double limit,
                const std::string& note = {}) {
    Figure(name, Format("%.4f %% of a core", share.Process) + note, target, share.Process < limit);
    if (share.XServer >= 0)
        Figure(name + ", the X server's", Format("%.4f %% of a core", share.XServer), "(not the console's)",
               true, false);
}

// The far end sends `bytes` at `bytesPerSecond`, in 10 ms portions, from a child process (so that its
// CPU is not counted as the console's).
pid_t StartPacedWriter(int master, const QByteArray& bytes, int bytesPerSecond) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const qsizetype portion = bytesPerSecond / 100;
    auto next = std::chrono::steady_clock::now();
    for (qsizetype sent = 0; sent < bytes.size();) {
        const qsizetype n = std::min(portion, bytes.size() - sent);
        const ssize_t w = ::write(master, bytes.constData() + sent, size_t(n));
        if (w > 0)
            sent += w;
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
    }
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    if (const int rc = RunOffscreenAndX(argc, argv); rc >= 0)
        return rc;
    TBenchApplication app(argc, argv);
    const qsizetype total = qsizetype(std::max(1LL, argc > 1 ? std::atoll(argv[1]) : 16LL)) << 20;
    const int rounds = std::max(1, argc > 2 ? std::atoi(argv[2]) : 3);
    const bool quietOnly = argc > 3 && std::string(argv[3]) == "quiet";

    TBenchPty pty;
    if (!pty.Open())
        return 1;
    const int master = pty.Master;
    const char* name = pty.Name;
    const QByteArray stream = LogStream(total);

    SetExceptionReporter([](const QString& m) { std::fprintf(stderr, "reported: %s\n", qPrintable(m)); });
    TMainFormF window;
    window.show();
    window.ComPort1->SetPort(QString::fromLatin1(name));
    window.btnConnect->click();
    if (!window.ComPort1->Connected())
        return 1;
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));

    // 1. Delay of single bytes, far end to session log, on the fresh console: bytes on a quiet line, 200 ms
    // apart (each finds the receive lamp dark again), as when the controller echoes typed keys or starts
    // an answer. (A continuing stream is
    // reported in windows of 16 to 128 ms, which keeps its CPU cost low.) The same is measured for a
    // thread that reads the pair's slave itself: what the pseudo-terminal costs on its own.
    if (!MeasureDelays(window, pty, "fresh"))
        return 1;

    // 2. The whole program's CPU with the port open and nothing arriving, then while the far end sends
    // controller lines at 115200-baud pace (11,520 bytes a second) for 10 s.
    {
        // The port was just opened again (after the pty's own delays): its status line is repainted first.
        RunEventsUntil([] { return false; }, std::chrono::milliseconds(300));
        const TCpuShare idle = CpuOver(std::chrono::seconds(5));
        CpuFigures("CPU idle, port open, over 5 s", idle, "< 0.05 %", 0.05);
        const QByteArray paced = LogStream(11520 * 10);
        const qsizetype before = window.SessionLog.size();
        const pid_t writer = StartPacedWriter(master, paced, 11520);
        const TCpuShare share = CpuOver(std::chrono::seconds(10));
        waitpid(writer, nullptr, 0);
        RunEventsUntil([&] { return window.SessionLog.size() >= before + paced.size(); },
                       std::chrono::seconds(10));
        const bool same = window.SessionLog.size() == before + paced.size() &&
                          window.SessionLog.Tail(paced.size()) == paced;
        std::printf("paced: %lld bytes sent, log %s\n", (long long)paced.size(),
                    same ? "identical" : "DIFFERS");
        CpuFigures("CPU at 115200-baud pace, over 10 s", share, "< 1 %", same ? 1.0 : -1.0,
                   same ? "" : ", log DIFFERS");
    }

    if (quietOnly) {
        window.ComPort1->ClosePort();
        return 0;
    }

    // 3. The stream into the terminal and the session log, and cat on the same pair, taking turns so that
    // a change in the machine's load hits both; the medians are compared.
    std::vector<double> consoleRates, catRates;
    bool allLogged = true;
    for (int round = 0; round < rounds; ++round) {
        if (!window.ComPort1->Connected())
            window.ComPort1->OpenPort();
        const qsizetype before = window.SessionLog.size();
        QElapsedTimer timer;
        const long faultsBefore = MinorFaults();
        timer.start();
        std::thread writer([&] { WriteAll(master, stream.constData(), size_t(stream.size())); });
        RunEventsUntil([&] { return window.SessionLog.size() >= before + total; }, std::chrono::seconds(300));
        const double consoleSeconds = double(timer.nsecsElapsed()) / 1e9;
        const long faults = MinorFaults() - faultsBefore;
        writer.join();
        const bool same =
            window.SessionLog.size() == before + total && window.SessionLog.Tail(total) == stream;
        allLogged = allLogged && same;
        consoleRates.push_back(double(total) / consoleSeconds);
        std::printf("console: %lld bytes shown and logged in %.3f s = %.2f MB/s (%ld page faults), log %s\n",
                    (long long)(window.SessionLog.size() - before), consoleSeconds, consoleRates.back() / 1e6,
                    faults, same ? "identical" : "DIFFERS");
        window.ComPort1->ClosePort();
        uint64_t catBytes = 0;
        const double catSeconds = CatSeconds(
            pty, [&] { WriteAll(master, stream.constData(), size_t(stream.size())); }, uint64_t(total),
            &catBytes);
        catRates.push_back(double(catBytes) / catSeconds);
        std::printf("cat:     %lld bytes in %.3f s = %.2f MB/s\n", (long long)catBytes, catSeconds,
                    catRates.back() / 1e6);
    }
    const double ratio = Median(consoleRates) / Median(catRates);
    std::printf("median of %d rounds: console %.2f MB/s, cat %.2f MB/s\n", rounds, Median(consoleRates) / 1e6,
                Median(catRates) / 1e6);
    Figure("console / cat, medians of alternating rounds",
           Format("%.2f", ratio) + (allLogged ? "" : ", log DIFFERS"), ">= 0.5", ratio >= 0.5 && allLogged);

    // 4. The same delays once the session log holds what the rounds sent (its memory makes every
    // wake-up of the process dearer on this kind of virtual machine).
    window.ComPort1->OpenPort();
    if (!MeasureDelays(window, pty, "log full"))
        return 1;

    // 5. A flood into the shown console: the longest gap between ticks of a 10 ms timer on the main
    // thread, the terminal's paints per second against the screen's refresh rate, and the session log.
    {
        const qsizetype flood = qsizetype(20) << 20;
        const QByteArray floodBytes = LogStream(flood);
        const qsizetype before = window.SessionLog.size();
        const qint64 linesBefore = window.SessionTimes.LineCount();
        // The hex view of the log stays open and follows it throughout.
        window.ShowLogAsHex();
        int paints = 0;
        TPaintCounter counter(&paints);
        window.ComTerminal1->viewport()->installEventFilter(&counter);
        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0;
        qint64 longestGap = 0;
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longestGap = std::max(longestGap, now - lastTick);
            lastTick = now;
        });
        ticks.start(10);
        lastTick = clock.nsecsElapsed();
        std::thread floodWriter([&] { WriteAll(master, floodBytes.constData(), size_t(floodBytes.size())); });
        RunEventsUntil([&] { return window.SessionLog.size() >= before + flood; }, std::chrono::seconds(300),
                       10);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        floodWriter.join();
        ticks.stop();
        window.ComTerminal1->viewport()->removeEventFilter(&counter);
        const bool logged = window.SessionLog.ReadAll().mid(before) == floodBytes;
        const double refresh =
            QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->refreshRate() : 60;
        const double paintRate = paints / seconds;
        std::printf("flood 20 MiB into the shown console in %.2f s, %d paints\n", seconds, paints);
        Figure("flood 20 MiB: session log", logged ? "identical" : "DIFFERS", "identical", logged);
        Figure("flood 20 MiB: longest event-loop stall", Format("%.1f ms", double(longestGap) / 1e6),
               "< 50 ms", longestGap < 50'000'000);
        Figure("flood 20 MiB: terminal paints per second", Format("%.1f", paintRate),
               Format("<= refresh rate %.0f Hz", refresh), paintRate <= refresh + 0.5);
        const qint64 lines = floodBytes.count('\n');
        const qint64 timed = window.SessionTimes.LineCount() - linesBefore;
        Figure("flood 20 MiB: arrival times kept, hex view open", Format("%.0f lines", double(timed)),
               Format("%.0f", double(lines)), timed == lines);
        window.HexLogWindow()->close();
    }
    window.ComPort1->ClosePort();

    return 0;
}
