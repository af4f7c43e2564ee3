// cv-remember-port PORT [SPEED]: stores a port name (and a speed such as 38400) in the console's
// settings, as if the user had chosen them and closed the window; the next start of the console
// begins with them. cv-remember-port --show prints what is remembered. Runs the console's own window
// headless, so the stored form is exactly the console's.
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "persistence/PropStorage.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: cv-remember-port PORT [SPEED]   store the port (and speed) the console starts with\n"
    "       cv-remember-port --show          print the remembered port and speed\n"
    "       cv-remember-port --help          print this text\n";

int UsageError() {
    std::fputs(kUsage, stderr);
    return 2;
}

bool IsSpeed(const QString& text) {
    return BaudRateText(TextToBaudRate(text)).compare(text, Qt::CaseInsensitive) == 0;
}

} // namespace

int main(int argc, char** argv) {
    // Every argument is checked before the store is touched.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool show = argc == 2 && std::strcmp(argv[1], "--show") == 0;
    if (!show) {
        if (argc < 2 || argc > 3)
            return UsageError();
        for (int i = 1; i < argc; ++i)
            if (argv[i][0] == '-' || argv[i][0] == '\0')
                return UsageError();
        if (argc == 3 && !IsSpeed(QString::fromLocal8Bit(argv[2])))
            return UsageError();
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TMainFormF window;
    window.show(); // restores what is stored, as at a normal start
    if (show) {
        window.PropStorageEh1->SetActive(false); // only looking: nothing is saved at the end
        std::printf("remembered port %s at %s bit/s\n", qPrintable(window.ComPort1->Port()),
                    qPrintable(BaudRateText(window.ComPort1->BaudRate())));
        return 0;
    }
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
