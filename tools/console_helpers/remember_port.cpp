// cv-remember-port PORT [SPEED]: stores a port name (and a speed such as 38400) in the console's
// settings, as if the user had chosen them and closed the window; the next start of the console
// begins with them. cv-remember-port --show prints what is remembered. Runs the console's own window
// headless, so the stored form is exactly the console's. A store that cannot be read or written, and
// every message the console would show, is reported once on standard error with exit code 1.
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "persistence/PropStorage.h"
#include "runtime/Exception.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <QApplication>
#include <QStringDecoder>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

const char kUsage[] =
    "usage: cv-remember-port PORT [SPEED]   store the port (and speed) the console starts with\n"
    "       cv-remember-port --show          print the remembered port and speed\n"
    "       cv-remember-port --help          print this text\n";

int UsageError() {
    std::fputs(kUsage, stderr);
    return 2;
}

// A speed of the speed selector's list; "Custom" needs a rate, which no argument gives.
bool IsSpeed(const QString& text) {
    const TBaudRate rate = TextToBaudRate(text);
    return rate != brCustom && BaudRateText(rate).compare(text, Qt::CaseInsensitive) == 0;
}

// The argument as text; nothing when it is not UTF-8 (a name that could not be stored as it is).
std::optional<QString> ArgumentText(const char* argument) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(argument));
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

// Every message on standard error once, however often it is raised.
void Report(const QString& message) {
    static QStringList reported;
    if (reported.contains(message))
        return;
    reported.append(message);
    std::fprintf(stderr, "cv-remember-port: %s\n", qPrintable(message));
}

} // namespace

int main(int argc, char** argv) {
    // Every argument is checked before the store is touched.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool show = argc == 2 && std::strcmp(argv[1], "--show") == 0;
    std::optional<QString> port, speed;
    if (!show) {
        if (argc < 2 || argc > 3)
            return UsageError();
        for (int i = 1; i < argc; ++i)
            if (argv[i][0] == '-' || argv[i][0] == '\0')
                return UsageError();
        port = ArgumentText(argv[1]);
        if (argc == 3)
            speed = ArgumentText(argv[2]);
        if (!port || (argc == 3 && (!speed || !IsSpeed(*speed))))
            return UsageError();
    }
    SetExceptionReporter(Report);
    if (show) {
        // A store that cannot be read reads as empty: its defaults are not what is remembered.
        if (const QString problem = RegistryStoreProblem(); !problem.isEmpty()) {
            Report(problem);
            return 1;
        }
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
    window.ComPort1->SetPort(*port);
    if (speed)
        window.ComPort1->SetBaudRate(TextToBaudRate(*speed));
    try {
        window.PropStorageEh1->SaveProperties();
    } catch (const Exception& e) {
        window.PropStorageEh1->SetActive(false); // the window's end would try the same save again
        Report(e.Message());
        if (const QString problem = RegistryStoreProblem(); !problem.isEmpty())
            Report(problem);
        return 1;
    }
    std::printf("stored port %s at %s bit/s\n", qPrintable(window.ComPort1->Port()),
                qPrintable(BaudRateText(window.ComPort1->BaudRate())));
    return 0;
}
