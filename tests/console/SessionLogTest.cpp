#include "console/SessionLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <unistd.h>

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
    EXPECT_EQ(FileBytes(path), bytes);
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

namespace {

// A recognisable byte stream: every byte value, position-dependent.
QByteArray Pattern(qint64 size, int seed = 0) {
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        out[qsizetype(i)] = char((i * 7 + seed + i / 251) & 0xFF);
    return out;
}

} // namespace

TEST(SessionLog, BeyondTheMemoryLimitTheLogContinuesInAFileAndKeepsEveryByte) {
    TSessionLog log(16);
    const QByteArray bytes = Pattern(3 * TSessionLog::kFileBlock + 123);
    // Characters one by one across the limit, then arrays that straddle file blocks.
    for (int i = 0; i < 40; ++i)
        log.append(bytes[i]);
    EXPECT_EQ(log.SpilledSize(), 24);
    EXPECT_TRUE(log.endsWith(bytes.mid(10, 30)));
    log.append(bytes.mid(40, TSessionLog::kFileBlock));
    log.append(bytes.mid(40 + TSessionLog::kFileBlock));
    EXPECT_EQ(log.size(), bytes.size());
    EXPECT_EQ(log.SpilledSize(), bytes.size() - 16) << "only the limit stays in memory";
    EXPECT_TRUE(log == bytes);
    EXPECT_EQ(log.Tail(5), bytes.right(5));
    EXPECT_EQ(log.Tail(bytes.size() + 10), bytes) << "the tail across memory, file and the open block";
    EXPECT_FALSE(log.endsWith("not the end"));

    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    WriteLogFile(path, log);
    EXPECT_EQ(FileBytes(path), bytes);
    EXPECT_EQ(log.ReadAll(), bytes) << "saving keeps the log";

    // Clearing empties memory and file; the log starts in memory again.
    log.clear();
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(log.SpilledSize(), 0);
    log.append(QByteArray("fresh"));
    EXPECT_EQ(log.SpilledSize(), 0);
    EXPECT_TRUE(log == "fresh");
    WriteLogFile(path, log);
    EXPECT_EQ(FileBytes(path), "fresh");

    // Assigning replaces all of it, the part in the file too.
    log.append(bytes);
    log = QByteArray("new");
    EXPECT_TRUE(log == "new");
    EXPECT_EQ(log.size(), 3);
    EXPECT_EQ(log.SpilledSize(), 0);
}

TEST(SessionLog, CharactersAndArraysMixedKeepTheirOrderAcrossMemoryAndFile) {
    const QByteArray bytes = Pattern(2 * TSessionLog::kFileBlock + 9000);
    for (const qint64 limit : {qint64(0), qint64(5000), qint64(1) << 30}) {
        TSessionLog log(limit);
        qsizetype at = 0;
        // Runs of single characters longer and shorter than any internal block, between arrays.
        for (int run = 0; at < bytes.size(); ++run) {
            const qsizetype n = std::min<qsizetype>(bytes.size() - at, run % 3 == 2 ? 777 : 5000 + run);
            if (run % 3 == 2) {
                log.append(bytes.mid(at, n));
            } else {
                for (qsizetype i = 0; i < n; ++i)
                    log.append(bytes[at + i]);
            }
            at += n;
            ASSERT_EQ(log.size(), at);
            ASSERT_EQ(log.Tail(100), bytes.left(at).right(100)) << "limit " << limit << " at " << at;
            ASSERT_EQ(log.SpilledSize(), std::max<qint64>(0, at - limit));
        }
        EXPECT_TRUE(log == bytes) << "limit " << limit;
        QTemporaryDir dir;
        WriteLogFile(dir.filePath("log.txt"), log);
        EXPECT_EQ(FileBytes(dir.filePath("log.txt")), bytes);
        log.append('!');
        log.clear();
        EXPECT_TRUE(log.isEmpty());
        EXPECT_EQ(log.ReadAll(), QByteArray());
    }
}

TEST(SessionLog, WhenNoMemoryBlockCanBeHadTheBytesGoToTheFile) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer needs its address space";
#else
    const QByteArray bytes = Pattern(2 * TSessionLog::kFileBlock + 9000);
    TSessionLog log;
    QFile statm("/proc/self/statm");
    ASSERT_TRUE(statm.open(QIODevice::ReadOnly));
    const qint64 mapped = statm.readAll().split(' ').value(0).toLongLong() * sysconf(_SC_PAGESIZE);
    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
    // Room for the file's blocks, none for a block of memory.
    rlimit tight = old;
    tight.rlim_cur = rlim_t(mapped + (3 << 20));
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    try {
        for (int i = 0; i < 5000; ++i)
            log.append(bytes[i]);
        log.append(bytes.mid(5000));
    } catch (const std::exception& e) {
        ADD_FAILURE() << "raised " << e.what();
    }
    setrlimit(RLIMIT_AS, &old);
    EXPECT_TRUE(log == bytes);
    EXPECT_EQ(log.SpilledSize(), bytes.size());
#endif
}
