// The console's command line: parsing in-process, the window started with a port, a speed and
// --connect on a pseudo-terminal, and the program's exit codes and output for help, version and bad
// arguments.
#include "console/CommandLine.h"
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "controls/ComComboBox.h"
#include "serial/ComPort.h"
#include "serial/DeviceTestSupport.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "NoDialogs.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

namespace {

using TAction = TCommandLine::TAction;

TCommandLine Parse(QStringList args) {
    args.prepend(QStringLiteral("corvantel"));
    return ParseCommandLine(args);
}

} // namespace

TEST(CommandLine, PortSpeedAndConnect) {
    TCommandLine line = Parse({});
    EXPECT_EQ(line.Action, TAction::Run);
    EXPECT_TRUE(line.Port.isEmpty() && line.Speed.isEmpty() && !line.Connect);

    line = Parse({"ttyUSB1"});
    EXPECT_EQ(line.Port, "ttyUSB1");
    EXPECT_TRUE(line.Speed.isEmpty());

    line = Parse({"/dev/pts/3", "115200", "--connect"});
    EXPECT_EQ(line.Action, TAction::Run);
    EXPECT_EQ(line.Port, "/dev/pts/3");
    EXPECT_EQ(line.Speed, "115200");
    EXPECT_TRUE(line.Connect);

    line = Parse({"--connect"});
    EXPECT_TRUE(line.Connect && line.Port.isEmpty());
    for (const char* speed : {"110", "38400", "256000"})
        EXPECT_EQ(Parse({"COM1", speed}).Speed, speed);
}

TEST(CommandLine, BadArgumentsFailWithTheUsage) {
    const QList<QStringList> bad = {
        {"--bogus"},          {"-x", "ttyUSB0"},          {"ttyUSB0", "12345"}, {"ttyUSB0", "Custom"},
        {"ttyUSB0", "fast"},  {"ttyUSB0", "9600", "8N1"}, {"--connect=yes"},    {""},
        {"ttyUSB0", "-9600"}, {"ttyUSB0", " 9600"}};
    for (const QStringList& args : bad) {
        const TCommandLine line = Parse(args);
        const std::string shown = args.join(' ').toStdString();
        EXPECT_EQ(line.Action, TAction::Fail) << shown;
        EXPECT_EQ(line.ExitCode(), 2) << shown;
        EXPECT_TRUE(line.Output.startsWith("corvantel: ")) << shown;
        EXPECT_TRUE(line.Output.contains("Usage: ")) << shown;
        EXPECT_TRUE(line.Port.isEmpty() && line.Speed.isEmpty() && !line.Connect) << shown;
    }
    EXPECT_TRUE(Parse({"a", "9600", "b", "c"}).Output.contains("too many arguments: b c"));
    EXPECT_TRUE(Parse({"a", "12345"}).Output.contains("unknown speed: 12345"));
}

// Started with a port, a speed and --connect: the window opens the pseudo-terminal at that speed with
// the lines raised; the store learns port and speed only when the window closes.
TEST(CommandLine, TheWindowStartsOnThePortAndSpeedAndConnects) {
    TTempConfigHome home;
    TPtyPair device;
    TDialogsInUse dialogs(true);
    const QString path = QString::fromStdString(device.SlavePath());
    {
        TMainFormF window;
        window.show();
        ApplyCommandLine(window, Parse({path, "57600", "--connect"}));
        EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
        ASSERT_TRUE(window.ComPort1->Connected());
        EXPECT_EQ(window.ComPort1->Port(), path);
        EXPECT_EQ(window.ComComboBox2->Text(), "57600");
        EXPECT_TRUE(window.btnRead->isEnabled());
        EXPECT_EQ(ReadBack(device.SlavePath()).OutSpeed, 57600u);
        EXPECT_TRUE(QDir(home.Path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty())
            << "nothing is stored before the window closes";
        window.close();
    }
    {
        // The next start without arguments finds them remembered; with only a port, the remembered
        // speed stays and nothing is opened.
        TMainFormF window;
        window.show();
        EXPECT_EQ(window.ComPort1->Port(), path);
        EXPECT_EQ(window.ComPort1->BaudRate(), br57600);
        ApplyCommandLine(window, Parse({"ttyUSB7"}));
        EXPECT_EQ(window.ComPort1->Port(), "ttyUSB7");
        EXPECT_EQ(window.ComPort1->BaudRate(), br57600);
        EXPECT_FALSE(window.ComPort1->Connected());
        window.close();
    }
    EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
}

// The program itself: help and version on standard output with exit 0, before any window; a bad
// argument prints the usage on standard error, exits 2 and writes no settings.
TEST(CommandLine, TheProgramsExitCodesAndOutput) {
    TTempConfigHome home;
    auto run = [&](const QStringList& args, QByteArray& out, QByteArray& err) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.Path());
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM"); // help, version and errors need no window system
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(CV_CORVANTEL_PATH), args);
        EXPECT_TRUE(p.waitForFinished(60000));
        out = p.readAllStandardOutput();
        err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    QByteArray out, err;
    for (const char* option : {"--help", "-h"}) {
        EXPECT_EQ(run({option}, out, err), 0) << option;
        for (const char* part : {"Usage: ", "[options] [PORT [SPEED]]", "--connect", "--version"})
            EXPECT_TRUE(out.contains(part)) << option << ": " << out.toStdString();
        EXPECT_TRUE(err.isEmpty()) << err.toStdString();
    }
    EXPECT_EQ(run({"--version", "ttyUSB0"}, out, err), 0); // ends before the port is looked at
    EXPECT_TRUE(
        QRegularExpression("^Corvantel \\d+\\.\\d+(\\.\\d+)*\\n$").match(QString::fromUtf8(out)).hasMatch())
        << out.toStdString();
    for (const QStringList& args :
         {QStringList{"--nope"}, QStringList{"ttyUSB0", "9601"}, QStringList{"ttyUSB0", "9600", "extra"}}) {
        EXPECT_EQ(run(args, out, err), 2) << args.join(' ').toStdString();
        EXPECT_TRUE(out.isEmpty()) << out.toStdString();
        EXPECT_TRUE(err.startsWith("corvantel: ") && err.contains("Usage: ")) << err.toStdString();
    }
    EXPECT_TRUE(QDir(home.Path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}
