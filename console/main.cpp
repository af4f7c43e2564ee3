// The console program: the application object, the main window and the message loop.
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "runtime/Exception.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvantel"));
    // The installed desktop entry and icon (the window system matches them by this name).
    QGuiApplication::setDesktopFileName(QStringLiteral("com.varnholt.corvantel"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("com.varnholt.corvantel")));
    // Everything that escapes a handler is shown in a message box and the program goes on.
    SetExceptionReporter([](const QString& message) { Dialogs().ShowException(message); });
    TMainFormF window;
    SetDialogs(QtDialogs(&window));
    window.show();
    return QApplication::exec();
}
