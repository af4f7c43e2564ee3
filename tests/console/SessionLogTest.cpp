#include "console/SessionLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

TEST(SessionLog, ProposedNameHasPlainNumbers) {
    EXPECT_EQ(ProposedLogFileName(QDateTime(QDate(2026, 12, 5), QTime(15, 7))),
              "Terminal log 5.12.2026 15 7.txt");
    EXPECT_EQ(ProposedLogFileName(QDateTime(QDate(2027, 1, 1), QTime(9, 0, 59))),
              "Terminal log 1.1.2027 9 0.txt");
    EXPECT_EQ(ProposedLogFileName(QDateTime(QDate(2026, 3, 9), QTime(10, 5))),
              "Terminal log 9.3.2026 10 5.txt");
}

TEST(SessionLog, WritesBytesUnchangedAndReplacesAnOldFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    QByteArray bytes("AB\r\n\x00\xff\n", 7);
    WriteLogFile(path, "an older and longer content");
    WriteLogFile(path, bytes);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), bytes);
    WriteLogFile(path, QByteArray());
    EXPECT_EQ(QFileInfo(path).size(), 0);
}

TEST(SessionLog, FileErrorsCarryTheRuntimeMessages) {
    QTemporaryDir dir;
    struct Row {
        QString path;
        QString message;
    };
    const Row rows[] = {
        {dir.filePath("missing-folder/log.txt"), "Invalid filename"},
        {"/dev/full", "Disk full"},
        {dir.path(), "File access denied"}, // a folder
        {QString(), "Invalid filename"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path.toStdString());
        try {
            WriteLogFile(r.path, "data");
            ADD_FAILURE() << "no error raised";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.Message(), r.message);
        }
    }
    EXPECT_EQ(EInOutError::MessageFor(4), "Too many open files");
    EXPECT_EQ(EInOutError::MessageFor(2), "File not found");
    EXPECT_EQ(EInOutError::MessageFor(5), "File access denied");
    EXPECT_EQ(EInOutError::MessageFor(1234), "I/O error 1234");
}
