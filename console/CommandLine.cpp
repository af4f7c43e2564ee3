#include "console/CommandLine.h"

#include "console/MainformU.h"
#include "controls/ComComboBox.h"
#include "runtime/Exception.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <QCommandLineParser>

namespace {

// A speed of the speed selector's list, without its "Custom" entry.
bool IsListedSpeed(const QString& text) {
    for (int v = int(br110); v <= int(br256000); ++v) {
        if (BaudRateText(TBaudRate(v)) == text)
            return true;
    }
    return false;
}

} // namespace

QString VersionText() {
    return QStringLiteral("Corvantel " CV_VERSION);
}

TCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Service console for field controllers on a serial line."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption connect(QStringLiteral("connect"),
                                     QStringLiteral("Open the port at start, as \"Connect COM\" does."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(connect);
    parser.addPositionalArgument(QStringLiteral("PORT"),
                                 QStringLiteral("Port to select at start (ttyUSB0, COM1, /dev/pts/3, ...)."),
                                 QStringLiteral("[PORT"));
    parser.addPositionalArgument(QStringLiteral("SPEED"),
                                 QStringLiteral("Speed to select at start (110 to 256000 bits per second)."),
                                 QStringLiteral("[SPEED]]"));

    TCommandLine line;
    auto fail = [&](const QString& error) {
        line.Action = TCommandLine::TAction::Fail;
        line.Output = QStringLiteral("corvantel: ") + error + QLatin1Char('\n') + parser.helpText();
        line.Port.clear();
        line.Speed.clear();
        line.Connect = false;
        return line;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        line.Action = TCommandLine::TAction::ShowHelp;
        line.Output = parser.helpText();
        return line;
    }
    if (parser.isSet(version)) {
        line.Action = TCommandLine::TAction::ShowVersion;
        line.Output = VersionText() + QLatin1Char('\n');
        return line;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 2)
        return fail(QStringLiteral("too many arguments: ") + positional.mid(2).join(QLatin1Char(' ')));
    if (!positional.isEmpty()) {
        if (positional[0].trimmed().isEmpty())
            return fail(QStringLiteral("empty port name"));
        line.Port = positional[0];
    }
    if (positional.size() == 2) {
        if (!IsListedSpeed(positional[1]))
            return fail(QStringLiteral("unknown speed: ") + positional[1]);
        line.Speed = positional[1];
    }
    line.Connect = parser.isSet(connect);
    return line;
}

void ApplyCommandLine(TMainFormF& window, const TCommandLine& line) {
    if (!line.Port.isEmpty())
        GuardedCall([&] { window.ComPort1->SetPort(line.Port); });
    if (!line.Speed.isEmpty())
        GuardedCall([&] { window.ComPort1->SetBaudRate(TextToBaudRate(line.Speed)); });
    window.ComComboBox1->RefreshFromPort();
    window.ComComboBox2->RefreshFromPort();
    if (line.Connect)
        GuardedCall([&] { window.btnConnectClick(); });
}
