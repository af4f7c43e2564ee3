// cv-remember-port as a user runs it: its arguments, its messages and exit codes, and what it leaves in
// the settings store.
#ifdef CV_REMEMBER_PORT

#include "runtime/Registry.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

struct TRun {
    int Code = -1;
    QString Out, Err;
};

TRun RunTool(const QStringList& args, const QString& program = QStringLiteral(CV_REMEMBER_PORT)) {
    QProcess p;
    p.start(program, args);
    TRun r;
    if (!p.waitForFinished(120000))
        return r;
    r.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.Out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.Err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QByteArray StoreBytes() {
    return FileBytes(RegistryStorePath());
}

} // namespace

TEST(RememberPort, UsageAndWrongArgumentsLeaveTheStoreAlone) {
    TTempConfigHome home; // the child inherits the private config home
    const TRun help = RunTool({"--help"});
    EXPECT_EQ(help.Code, 0);
    EXPECT_TRUE(help.Out.startsWith("usage: cv-remember-port PORT [SPEED]")) << help.Out.toStdString();
    EXPECT_EQ(help.Err, "");
    EXPECT_FALSE(QFile::exists(RegistryStorePath()));

    ASSERT_EQ(RunTool({"/dev/ttyUSB1", "57600"}).Code, 0);
    const QByteArray stored = StoreBytes();
    for (const QStringList& wrong :
         {QStringList{}, QStringList{"--halp"}, QStringList{"-x", "9600"}, QStringList{"COM3", "fast"},
          QStringList{"COM3", "9600", "extra"}, QStringList{"--show", "COM3"}, QStringList{"COM1", "custom"},
          QStringList{"COM1", "Custom"}}) {
        const TRun r = RunTool(wrong);
        EXPECT_EQ(r.Code, 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(r.Err.startsWith("usage: cv-remember-port")) << r.Err.toStdString();
        EXPECT_EQ(r.Out, "");
        EXPECT_EQ(StoreBytes(), stored) << wrong.join(' ').toStdString();
    }
    // A port name that is not UTF-8 could not be stored as it is.
    const TRun bytes =
        RunTool({"-c", "exec \"$0\" \"$(printf 'COM\\377\\376')\" 9600", CV_REMEMBER_PORT}, "/bin/sh");
    EXPECT_EQ(bytes.Code, 2);
    EXPECT_EQ(StoreBytes(), stored);
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

// A store that cannot be read or written is reported once, with exit code 1; it is never taken for
// "nothing remembered".
TEST(RememberPort, StoresThatCannotBeUsedAreReportedOnce) {
    struct TCase {
        QByteArray Store;
        QStringList Args;
        int Code;
        QString Out, Err;
    };
    const TCase cases[] = {
        {"garbage\xff\xfe\n", {"--show"}, 1, "", "could not be understood: line 1 is not UTF-8 text"},
        {"<folder>", {"--show"}, 1, "", "cannot be read"},
        {"<folder>", {"COM3", "9600"}, 1, "", "Failed to set data for 'Line0000000000'"},
        {"garbage\xff\xfe\n",
         {"COM3", "9600"},
         0,
         "stored port COM3 at 9600 bit/s\n",
         "could not be understood"},
    };
    for (const TCase& c : cases) {
        TTempConfigHome home;
        if (c.Store == "<folder>") // unreadable, also for root
            ASSERT_TRUE(QDir().mkpath(RegistryStorePath()));
        else
            WriteFileBytes(RegistryStorePath(), c.Store);
        const TRun r = RunTool(c.Args);
        const std::string name = c.Store.toStdString() + " " + c.Args.join(' ').toStdString();
        EXPECT_EQ(r.Code, c.Code) << name;
        EXPECT_EQ(r.Out, c.Out) << name;
        QStringList lines = r.Err.split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(lines.filter(c.Err).size(), 1) << name << "\n" << r.Err.toStdString();
        EXPECT_EQ(lines.removeDuplicates(), 0) << name << "\n" << r.Err.toStdString();
    }
}

#endif
