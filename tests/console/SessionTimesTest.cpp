// The times beside the session log, the log written with them, and reads anywhere in the log.
#include "console/SessionTimes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <variant>
#include <vector>

namespace {

const qint64 kStart = QDateTime(QDate(2026, 3, 5), QTime(10, 5, 7, 250)).toMSecsSinceEpoch();

// Bytes reported at a time (ms after kStart), or an event.
struct TStep {
    int At;
    QByteArray Bytes;
    QString Event;
};

// Each step's bytes reported one by one, or as one run.
QByteArray Saved(const std::vector<TStep>& steps, qint64 memoryLimit, bool runs = false) {
    TSessionLog log(memoryLimit);
    qint64 now = kStart;
    TSessionTimes times([&] { return now; }, memoryLimit);
    for (const TStep& s : steps) {
        now = kStart + s.At;
        if (!s.Event.isEmpty())
            times.Event(s.Event);
        if (runs) {
            log.append(s.Bytes);
            times.Chars(s.Bytes.constData(), s.Bytes.size());
            continue;
        }
        for (char c : s.Bytes) {
            log.append(c);
            times.Chars(&c, 1);
        }
    }
    QTemporaryDir dir;
    WriteLogWithTimes(dir.filePath("timed.txt"), log, times);
    return FileBytes(dir.filePath("timed.txt"));
}

} // namespace

TEST(SessionTimes, LogIsWrittenWithTheTimeOfEachLinesFirstByteAndTheEvents) {
    struct Row {
        const char* name;
        std::vector<TStep> steps;
        QByteArray expected;
    };
    const Row rows[] = {
        {"lines ended by CR LF or LF",
         {{0, "AB\r\n", {}}, {10, "CD\n", {}}},
         "2026-03-05 10:05:07.250  AB\n2026-03-05 10:05:07.260  CD\n"},
        {"a line arriving in pieces keeps its first byte's time",
         {{0, "AB", {}}, {500, "C\r", {}}, {1750, "\n", {}}},
         "2026-03-05 10:05:07.250  ABC\n"},
        {"a carriage return inside a line stays; a last line without an end gets one",
         {{0, "a\rb\n", {}}, {1, "tail", {}}},
         "2026-03-05 10:05:07.250  a\rb\n2026-03-05 10:05:07.251  tail\n"},
        {"events stand between the lines, also one that came in the middle of a line",
         {{0, {}, "Open /dev/pts/3, 38400"},
          {5, "AB", {}},
          {7, {}, "Lost /dev/pts/3 (device removed) at 10:05:07, waiting for it"},
          {9, "C\n", {}},
          {60000, {}, "Closed"}},
         "2026-03-05 10:05:07.250  [Open /dev/pts/3, 38400]\n"
         "2026-03-05 10:05:07.255  ABC\n"
         "2026-03-05 10:05:07.257  [Lost /dev/pts/3 (device removed) at 10:05:07, waiting for it]\n"
         "2026-03-05 10:06:07.250  [Closed]\n"},
        {"empty lines and bytes of every value",
         {{0, QByteArray("\n\0\xff\n", 4), {}}},
         QByteArray("2026-03-05 10:05:07.250  \n2026-03-05 10:05:07.250  \0\xff\n", 54)},
        {"nothing at all", {}, ""},
    };
    for (const Row& row : rows) {
        // In memory, and with every record (and the log) in the temporary files.
        EXPECT_EQ(Saved(row.steps, TSessionTimes::kMemoryLimit), row.expected) << row.name;
        EXPECT_EQ(Saved(row.steps, 0), row.expected) << row.name << " (in files)";
        EXPECT_EQ(Saved(row.steps, TSessionTimes::kMemoryLimit, true), row.expected) << row.name << " (runs)";
    }
}

TEST(SessionTimes, ClearedWithTheLogAndBoundedInMemory) {
    qint64 now = kStart;
    TSessionTimes times([&] { return now; }, 1000);
    for (int i = 0; i < 1000; ++i)
        for (char c : QByteArray("line\r\n"))
            times.Chars(&c, 1);
    EXPECT_EQ(times.LineCount(), 1000);
    EXPECT_LE(times.MemoryUse(), 1000);
    EXPECT_GT(times.SpilledSize(), 0);
    times.clear();
    EXPECT_EQ(times.LineCount(), 0);
    EXPECT_EQ(times.MemoryUse() + times.SpilledSize(), 0);

    // A log that was replaced by other means: lines without a known time get a blank in its place.
    TSessionLog log;
    log = "old\nnew\n";
    times.Chars("n", 1);
    QTemporaryDir dir;
    WriteLogWithTimes(dir.filePath("t.txt"), log, times);
    EXPECT_EQ(FileBytes(dir.filePath("t.txt")),
              "2026-03-05 10:05:07.250  old\n" + QByteArray(23, ' ') + "  new\n");
}

TEST(SessionLog, ReadsAnyRangeAcrossMemoryFileAndStage) {
    QByteArray all;
    for (int i = 0; i < 300000; ++i)
        all.append(char('a' + i % 26));
    for (qint64 limit : {qint64(0), qint64(100), qint64(150000), TSessionLog::kMemoryLimit}) {
        TSessionLog log(limit);
        log.append(all.left(200000));
        for (char c : all.mid(200000))
            log.append(c); // the last bytes stay staged
        const std::pair<qint64, qint64> ranges[] = {{0, 10},      {95, 10},      {99990, 20}, {149999, 2},
                                                    {199990, 20}, {299990, 100}, {0, 300000}, {300000, 5},
                                                    {-5, 3},      {1000, -1}};
        for (auto [pos, count] : ranges)
            EXPECT_EQ(log.Read(pos, count),
                      all.mid(qsizetype(std::max<qint64>(pos, 0)), qsizetype(std::max<qint64>(count, 0))))
                << "limit " << limit << " at " << pos << " count " << count;
    }
}

TEST(SessionTimes, ATemporaryFileThatCannotBeMadeLosesNoByteAndNoTime) {
    // The same lines fed with a temporary folder that can be used, and with one that cannot for a
    // while (a file stands in its place): the failures are raised, the log and its times stay the same.
    auto feed = [](bool failForAWhile, int& failures) {
        const QByteArray oldTmp = qgetenv("TMPDIR");
        QTemporaryDir dir;
        QFile notAFolder(dir.filePath("not-a-folder"));
        EXPECT_TRUE(notAFolder.open(QIODevice::WriteOnly));
        TSessionLog log(0);
        qint64 now = kStart;
        TSessionTimes times([&] { return now; }, 0);
        times.Event("Open");
        for (int i = 0; i < 12000; ++i) {
            if (failForAWhile && (i == 100 || i == 11000))
                qputenv("TMPDIR", i == 100 ? notAFolder.fileName().toLocal8Bit() : oldTmp);
            ++now;
            for (char c : "line " + QByteArray::number(i) + (i % 3 ? "\r\n" : "\n")) {
                try {
                    log.append(c);
                } catch (const EInOutError&) {
                    ++failures;
                }
                try {
                    times.Chars(&c, 1);
                } catch (const EInOutError&) {
                    ++failures;
                }
            }
        }
        QByteArray saved = log.ReadAll();
        const QString path = dir.filePath("timed.txt");
        WriteLogWithTimes(path, log, times);
        return saved + FileBytes(path);
    };
    int failures = 0;
    const QByteArray expected = feed(false, failures);
    ASSERT_EQ(failures, 0);
    EXPECT_TRUE(feed(true, failures) == expected);
    EXPECT_GT(failures, 1) << "both stores tried their file more than once";
}
