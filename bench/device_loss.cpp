// The console window (headless) losing its device and getting it back, on pseudo-terminal pairs that
// stand in for a USB adapter under a stable name (a symlink re-pointed as udev does):
//  - the time from the loss (the far end closes) to the port's closed notification;
//  - the time from the device's return (the name points at a new device) to the port being open again;
//  - the CPU the whole program uses while it waits for the device, over 10 s, next to the same window
//    idle with its port closed and nothing to wait for (its own timers, the offscreen painting); the
//    difference is what the waiting costs.
// Usage: device_loss [rounds] [--x11 | --x11-only]   (default 5; --x11 takes the figures offscreen and
// under an Xvfb of its own, side by side)
#include "console/MainformU.h"
#include "runtime/Exception.h"
#include "serial/ComPort.h"

#include "BenchPlatforms.h"
#include "ConsoleBench.h"
#include "PtyBench.h"
#include "ThreadUse.h"

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

bool PointLink(const QString& link, const char* target) {
    const QByteArray temp = (link + QStringLiteral(".new")).toLocal8Bit();
    return ::symlink(target, temp.constData()) == 0 && std::rename(temp.constData(), link.toLocal8Bit()) == 0;
}

// The CPU of the whole program, in percent of one core, while the event loop runs for `ms`.
double ProcessPercentOver(int ms) {
    const TThreadUse before = ThreadUseTotal();
    const Clock::time_point start = Clock::now();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpuNs = ThreadUseTotal().CpuNs - before.CpuNs;
    return cpuNs / (Ms(Clock::now() - start) * 1e6) * 100.0;
}

} // namespace

int main(int argc, char** argv) {
    if (const int rc = RunOffscreenAndX(argc, argv); rc >= 0)
        return rc;
    TBenchApplication app(argc, argv);
    const int rounds = std::max(1, argc > 1 ? std::atoi(argv[1]) : 5);

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyUSB0"));
    auto pty = std::make_unique<TBenchPty>();
    if (!pty->Open() || !PointLink(link, pty->Name))
        return 1;

    SetExceptionReporter([](const QString& m) { std::fprintf(stderr, "reported: %s\n", qPrintable(m)); });
    TMainFormF window;
    window.show();
    window.ComPort1->SetPort(link);
    Clock::time_point closedAt{}, openedAt{};
    auto formClosed = window.ComPort1->OnAfterClose;
    window.ComPort1->OnAfterClose = [&](TCustomComPort* p) {
        closedAt = Clock::now();
        formClosed(p);
    };
    auto formOpened = window.ComPort1->OnAfterOpen;
    window.ComPort1->OnAfterOpen = [&](TCustomComPort* p) {
        openedAt = Clock::now();
        formOpened(p);
    };
    const double idlePercent = ProcessPercentOver(10000);
    window.btnConnect->click();
    if (!window.ComPort1->Connected())
        return 1;

    std::vector<double> losses, returns;
    double waitingPercent = -1;
    for (int round = 0; round < rounds; ++round) {
        closedAt = {};
        const Clock::time_point lostAt = Clock::now();
        ::close(pty->Master);
        pty->Master = -1;
        RunEventsUntil([&] { return closedAt != Clock::time_point{}; }, std::chrono::seconds(10));
        if (closedAt == Clock::time_point{}) {
            std::printf("round %d: the loss was not noticed within 10 s\n", round + 1);
            return 1;
        }
        losses.push_back(Ms(closedAt - lostAt));

        if (round == 0)
            waitingPercent = ProcessPercentOver(10000);

        auto next = std::make_unique<TBenchPty>();
        if (!next->Open())
            return 1;
        pty = std::move(next); // the old slave goes too, as with an unplugged adapter
        openedAt = {};
        const Clock::time_point backAt = Clock::now();
        if (!PointLink(link, pty->Name))
            return 1;
        RunEventsUntil([&] { return window.ComPort1->Connected(); }, std::chrono::seconds(10));
        if (!window.ComPort1->Connected()) {
            std::printf("round %d: not reopened within 10 s\n", round + 1);
            return 1;
        }
        returns.push_back(Ms(openedAt - backAt));
    }

    std::sort(losses.begin(), losses.end());
    std::sort(returns.begin(), returns.end());
    const double lossMax = losses.back(), returnMax = returns.back();
    std::printf("loss to closed notification: median %.1f ms over %d rounds; device back to reopened: median "
                "%.1f ms\n",
                losses[losses.size() / 2], rounds, returns[returns.size() / 2]);
    Figure("loss to closed notification, worst", Format("%.1f ms", lossMax), "< 100 ms", lossMax < 100);
    Figure("device back to reopened, worst", Format("%.1f ms", returnMax), "< 1000 ms", returnMax < 1000);
    const double waitingCost = std::max(0.0, waitingPercent - idlePercent);
    std::printf("waiting for the device: %.4f %% of a core over 10 s, the closed window alone %.4f %%\n",
                waitingPercent, idlePercent);
    Figure("CPU of the wait itself, over 10 s", Format("%.4f %% of a core", waitingCost), "< 0.1 %",
           waitingCost < 0.1);
    window.ComPort1->OnAfterClose = formClosed;
    window.ComPort1->OnAfterOpen = formOpened;
    window.ComPort1->ClosePort();
    return 0;
}
