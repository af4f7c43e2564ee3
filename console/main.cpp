// The console program: the command line, the application object, the main window and the message loop.
#include "console/CommandLine.h"
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "console/OpenFailureHint.h"
#include "runtime/Exception.h"
#include "serial/ComPort.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>

#include <cstdio>

int main(int argc, char** argv) {
    // The command line is read before the window system is needed, so --help, --version and a bad
    // argument work without a display and change nothing.
    TCommandLine line;
    {
        QCoreApplication parsing(argc, argv);
        line = ParseCommandLine(QCoreApplication::arguments());
    }
    if (line.Action != TCommandLine::TAction::Run) {
        std::FILE* out = line.Action == TCommandLine::TAction::Fail ? stderr : stdout;
        std::fputs(line.Output.toLocal8Bit().constData(), out);
        return line.ExitCode();
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvantel"));
    // The installed desktop entry and icon (the window system matches them by this name).
    QGuiApplication::setDesktopFileName(QStringLiteral("com.varnholt.corvantel"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("com.varnholt.corvantel")));
    // Everything that escapes a handler is shown in a message box and the program goes on; a port that
    // would not open gets a line on what to do about it.
    QPointer<TComPort> port;
    SetExceptionReporter(ConsoleExceptionReporter([&port] { return port ? port->Port() : QString(); }));
    TMainFormF window;
    port = window.ComPort1;
    SetDialogs(QtDialogs(&window));
    window.show();
    ApplyCommandLine(window, line);
    return QApplication::exec();
}
