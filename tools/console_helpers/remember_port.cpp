// cv-remember-port PORT [SPEED]: stores a port name (and a speed such as 38400) in the console's
// settings, as if the user had chosen them and closed the window; the next start of the console
// begins with them. Runs the console's own window headless, so the stored form is exactly the
// console's.
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "persistence/PropStorage.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: cv-remember-port PORT [SPEED]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TMainFormF window;
    window.show(); // restores what is stored, as at a normal start
    window.ComPort1->SetPort(QString::fromLocal8Bit(argv[1]));
    if (argc == 3)
        window.ComPort1->SetBaudRate(TextToBaudRate(QString::fromLocal8Bit(argv[2])));
    try {
        window.PropStorageEh1->SaveProperties();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cv-remember-port: %s\n", e.what());
        return 1;
    }
    std::printf("stored port %s at %s bit/s\n", qPrintable(window.ComPort1->Port()),
                qPrintable(BaudRateText(window.ComPort1->BaudRate())));
    return 0;
}
