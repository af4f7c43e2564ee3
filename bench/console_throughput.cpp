// End-to-end figures of the console window (headless) on one pseudo-terminal pair:
//  - the time for 16 MiB sent by the far end to be shown by the terminal and appended to the session
//    log, next to `cat` reading the same pair;
//  - the median delay from a byte written by the far end to its appearance in the session log.
// Usage: console_throughput [MiB]   (default 16)
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "controls/ComTerminal.h"
#include "serial/ComPort.h"

#include "PtyBench.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
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

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const qsizetype total = qsizetype(argc > 1 ? std::atoll(argv[1]) : 16) << 20;

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

    // 1. The stream into the terminal and the session log.
    QElapsedTimer timer;
    timer.start();
    std::thread writer([&] { WriteAll(master, stream.constData(), size_t(stream.size())); });
    RunEventsUntil([&] { return window.SessionLog.size() >= total; }, std::chrono::seconds(300));
    const double consoleSeconds = double(timer.nsecsElapsed()) / 1e9;
    writer.join();
    const bool same = window.SessionLog == stream;
    std::printf("console: %lld bytes shown and logged in %.3f s = %.2f MB/s, log %s\n",
                (long long)window.SessionLog.size(), consoleSeconds, double(total) / consoleSeconds / 1e6,
                same ? "identical" : "DIFFERS");

    // 2. Median delay of single bytes, far end to session log: bytes on a quiet line, 100 ms apart, as
    // when the controller echoes typed keys or starts an answer. (A continuing stream is reported in
    // windows of a few tens of milliseconds, which keeps its CPU cost low.)
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
        if (::write(master, "x", 1) != 1)
            return 1;
        loop.exec();
        window.ComTerminal1->OnChar = previous;
        if (window.SessionLog.size() == before + 1)
            delays.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
        // Wait out the lamp events of this byte and keep the line quiet before the next one.
        RunEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    }
    std::sort(delays.begin(), delays.end());
    const double median = delays.empty() ? -1 : delays[delays.size() / 2];
    std::printf("delay far end -> session log: median %.2f ms, 90th %.2f ms over %zu bytes (target < 5 ms)\n",
                median, delays.empty() ? -1 : delays[delays.size() * 9 / 10], delays.size());
    window.ComPort1->ClosePort();

    // 3. cat on the same pair.
    uint64_t catBytes = 0;
    const double catSeconds = CatSeconds(
        pty, [&] { WriteAll(master, stream.constData(), size_t(stream.size())); }, uint64_t(total),
        &catBytes);
    std::printf("cat:     %lld bytes in %.3f s = %.2f MB/s\n", (long long)catBytes, catSeconds,
                double(catBytes) / catSeconds / 1e6);
    std::printf("ratio console/cat: %.2f (target >= 0.25)\n", catSeconds / consoleSeconds);
    return 0;
}
