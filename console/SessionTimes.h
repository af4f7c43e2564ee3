#pragma once

#include "console/SessionLog.h"

#include <QByteArray>
#include <QString>

#include <functional>

// When each line of the session log arrived, and what happened to the port meanwhile, kept beside the
// log (never in it). A line starts with the log's first byte and with every byte after a line feed; its
// time is the time that byte was reported. An event (the port opened, lost, reopened, closed) is
// recorded with the status line's words at the log's present length.
//
// Records are stored as bytes in a store bounded like the log itself: memory first, then a temporary
// file, so a log left running for days keeps every line's time without exhausting memory.
class TSessionTimes {
public:
    // Milliseconds since the epoch.
    using TMsClock = std::function<qint64()>;
    static constexpr qint64 kMemoryLimit = qint64(8) << 20;

    explicit TSessionTimes(TMsClock clock = {}, qint64 memoryLimit = kMemoryLimit);

    // Follows a run of characters appended to the log. The count moves on before the records are stored,
    // so a store that raises (its file could not be written; the record stays in memory) keeps in step;
    // every line start in the run is recorded also when storing one raises (the first failure is raised
    // at the end).
    void Chars(const char* chars, qint64 count);
    void Event(const QString& text);
    // The log was emptied: the times go with it.
    void clear();
    void SetClock(TMsClock clock) { m_clock = std::move(clock); }
    void SetMemoryLimit(qint64 limit) { m_store.SetMemoryLimit(limit); }

    qint64 LineCount() const { return m_lines; }
    qint64 EventCount() const { return m_events; }
    // Bytes the records take in memory (the rest is in the file).
    qint64 MemoryUse() const { return m_store.size() - m_store.SpilledSize(); }
    qint64 SpilledSize() const { return m_store.SpilledSize(); }

    struct TRecord {
        qint64 Offset = 0; // where in the log
        qint64 MSecs = 0;  // when
        bool IsEvent = false;
        QString Text; // the event's words
    };
    // Reads the records in order, from the first on.
    class TReader {
    public:
        explicit TReader(const TSessionTimes& times) : m_times(times) {}
        bool Next(TRecord& record);

    private:
        bool Fill(qint64 count);
        const TSessionTimes& m_times;
        qint64 m_pos = 0;
        QByteArray m_buffer;
        qsizetype m_at = 0;
    };

private:
    void LineStarts(qint64 at, qint64 msecs);

    TMsClock m_clock;
    TSessionLog m_store;
    qint64 m_logSize = 0;
    bool m_atLineStart = true;
    qint64 m_lines = 0;
    qint64 m_events = 0;
};

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
QByteArray FormatLogTime(qint64 msecs);

// Writes the log line by line, each line after the time it arrived and two blanks, line ends written
// as one line feed; the events stand on lines of their own between them, in the order they happened.
// Creates (or replaces) the file; raises EInOutError on failure.
void WriteLogWithTimes(const QString& path, const TSessionLog& log, const TSessionTimes& times);
