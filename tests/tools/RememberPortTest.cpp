// cv-remember-port as a user runs it: its arguments, its messages and exit codes, and what it leaves in
// the settings store.
#ifdef CV_REMEMBER_PORT

#include "runtime/Registry.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

struct TRun {
    int Code = -1;
    QString Out, Err;
};

TRun RunTool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(CV_REMEMBER_PORT), args);
    TRun r;
    if (!p.waitForFinished(120000))
        return r;
    r.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.Out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.Err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QByteArray StoreBytes() {
    QFile f(RegistryStorePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

} // namespace

TEST(RememberPort, UsageAndWrongArgumentsLeaveTheStoreAlone) {
    TTempConfigHome home; // the child inherits the private config home
    const TRun help = RunTool({"--help"});
    EXPECT_EQ(help.Code, 0);
    EXPECT_TRUE(help.Out.startsWith("usage: cv-remember-port PORT [SPEED]")) << help.Out.toStdString();
    EXPECT_EQ(help.Err, "");
    EXPECT_EQ(StoreBytes(), "<none>");

    ASSERT_EQ(RunTool({"/dev/ttyUSB1", "57600"}).Code, 0);
    const QByteArray stored = StoreBytes();
    for (const QStringList& wrong :
         {QStringList{}, QStringList{"--halp"}, QStringList{"-x", "9600"}, QStringList{"COM3", "fast"},
          QStringList{"COM3", "9600", "extra"}, QStringList{"--show", "COM3"}}) {
        const TRun r = RunTool(wrong);
        EXPECT_EQ(r.Code, 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(r.Err.startsWith("usage: cv-remember-port")) << r.Err.toStdString();
        EXPECT_EQ(r.Out, "");
        EXPECT_EQ(StoreBytes(), stored) << wrong.join(' ').toStdString();
    }
}

TEST(RememberPort, ShowPrintsWhatIsRememberedAndChangesNothing) {
    TTempConfigHome home;
    TRun r = RunTool({"--show"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "remembered port COM1 at 38400 bit/s\n"); // nothing stored: the layout's values
    ASSERT_EQ(RunTool({"COM3", "57600"}).Out, "stored port COM3 at 57600 bit/s\n");
    const QByteArray stored = StoreBytes();
    r = RunTool({"--show"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "remembered port COM3 at 57600 bit/s\n");
    EXPECT_EQ(StoreBytes(), stored);
}

#endif
