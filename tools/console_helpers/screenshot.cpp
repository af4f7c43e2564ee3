// cv-console-screenshot SIMULATOR OUT.png: starts the controller simulator, opens the console's window
// headless on the simulator's device, connects, reads the log and the clock with the times shown, and
// saves a picture of the window.
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "controls/ComTerminal.h"
#include "serial/ComPort.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

bool RunUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: cv-console-screenshot SIMULATOR OUT.png\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QProcess sim;
    sim.start(QString::fromLocal8Bit(argv[1]), {"--seconds", "60", "--seed", "7"});
    if (!sim.waitForStarted() || !RunUntil([&] { return sim.canReadLine(); }, 10000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    qputenv("CV_EXTRA_PORTS", device.toLocal8Bit());

    SetExceptionReporter([](const QString& m) { std::fprintf(stderr, "reported: %s\n", qPrintable(m)); });
    TMainFormF window;
    window.show();
    window.ComPort1->SetPort(device);
    window.FormShow();                       // let the selectors show the simulator's device
    window.ComTerminal1->SetShowTimes(true); // the picture shows the arrival times' margin too
    window.btnConnect->click();
    if (!window.ComPort1->Connected())
        return 1;
    window.btnRead->click();
    RunUntil([&] { return window.SessionLog.contains("END OF LOG"); }, 5000);
    window.btnGetTime->click();
    RunUntil([&] { return window.SessionLog.contains("TIME "); }, 5000);
    RunUntil([] { return false; }, 300); // let the lamps go dark and the last paint land
    if (!window.grab().save(QString::fromLocal8Bit(argv[2])))
        return 1;
    window.ComPort1->ClosePort();
    sim.terminate();
    sim.waitForFinished();
    std::printf("saved %s\n", argv[2]);
    return 0;
}
