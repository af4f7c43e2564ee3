#include "console/SessionTimes.h"

#include <QDateTime>

#include <cstring>
#include <exception>

namespace {

// Record layout: a kind byte, the log offset and the time (8 bytes each, host order); an event then
// has its text's length (4 bytes) and its UTF-8 bytes.
constexpr char kLineRecord = 'L';
constexpr char kEventRecord = 'E';
constexpr int kHeadSize = 1 + 8 + 8;
constexpr qsizetype kMaxEventText = 4096;

// The blank that stands for a time that is not known (a log filled by other means).
const QByteArray kNoTime(23, ' ');

template <class T> void Put(char*& at, T value) {
    std::memcpy(at, &value, sizeof value);
    at += sizeof value;
}

template <class T> T Get(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

} // namespace

TSessionTimes::TSessionTimes(TMsClock clock, qint64 memoryLimit)
    : m_clock(clock ? std::move(clock) : TMsClock([] { return QDateTime::currentMSecsSinceEpoch(); })),
      m_store(memoryLimit) {}

void TSessionTimes::LineStarts(qint64 offset, qint64 msecs) {
    char record[kHeadSize];
    char* at = record;
    Put(at, kLineRecord);
    Put(at, offset);
    Put(at, msecs);
    ++m_lines;
    m_store.append(record, kHeadSize);
}

void TSessionTimes::Chars(const char* chars, qint64 count) {
    if (count <= 0)
        return;
    const qint64 base = m_logSize;
    const bool starts = m_atLineStart;
    m_logSize += count;
    m_atLineStart = chars[count - 1] == '\n';
    std::exception_ptr failure;
    // The run arrived at one moment: the clock is read once, at its first line start.
    qint64 now = 0;
    bool timed = false;
    const auto lineAt = [&](qint64 at) {
        try {
            if (!timed) {
                now = m_clock();
                timed = true;
            }
            LineStarts(at, now);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    };
    if (starts)
        lineAt(base);
    // A line feed starts a line with the byte after it; one at the run's end does so with the next run.
    const char* last = chars + count - 1;
    for (const char* p = chars; p < last;) {
        p = static_cast<const char*>(std::memchr(p, '\n', size_t(last - p)));
        if (!p)
            break;
        ++p;
        lineAt(base + (p - chars));
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TSessionTimes::Event(const QString& text) {
    const QByteArray words = text.toUtf8().left(kMaxEventText);
    QByteArray record(kHeadSize + 4 + words.size(), Qt::Uninitialized);
    char* at = record.data();
    Put(at, kEventRecord);
    Put(at, m_logSize);
    Put(at, m_clock());
    Put(at, quint32(words.size()));
    std::memcpy(at, words.constData(), size_t(words.size()));
    ++m_events;
    m_store.append(record);
}

void TSessionTimes::clear() {
    m_store.clear();
    m_logSize = 0;
    m_atLineStart = true;
    m_lines = m_events = 0;
}

bool TSessionTimes::TReader::Fill(qint64 count) {
    constexpr qint64 kChunk = 64 * 1024;
    if (m_buffer.size() - m_at >= count)
        return true;
    m_buffer.remove(0, m_at);
    m_at = 0;
    const QByteArray more = m_times.m_store.Read(m_pos, std::max(kChunk, count - m_buffer.size()));
    m_pos += more.size();
    m_buffer.append(more);
    return m_buffer.size() >= count;
}

bool TSessionTimes::TReader::Next(TRecord& record) {
    if (!Fill(kHeadSize))
        return false;
    const char* at = m_buffer.constData() + m_at;
    const char kind = at[0];
    record.Offset = Get<qint64>(at + 1);
    record.MSecs = Get<qint64>(at + 9);
    record.IsEvent = kind == kEventRecord;
    record.Text.clear();
    if (!record.IsEvent) {
        m_at += kHeadSize;
        return true;
    }
    if (!Fill(kHeadSize + 4))
        return false;
    const qint64 length = Get<quint32>(m_buffer.constData() + m_at + kHeadSize);
    if (length > kMaxEventText || !Fill(kHeadSize + 4 + length))
        return false;
    record.Text = QString::fromUtf8(m_buffer.constData() + m_at + kHeadSize + 4, qsizetype(length));
    m_at += kHeadSize + 4 + qsizetype(length);
    return true;
}

QByteArray FormatLogTime(qint64 msecs) {
    return QDateTime::fromMSecsSinceEpoch(msecs)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
        .toLatin1();
}

namespace {

// Lays the log out line by line with the times in front, buffering the output.
class TTimedLogWriter {
public:
    TTimedLogWriter(const QString& path, const TSessionTimes& times) : m_file(path), m_records(times) {
        m_haveRecord = m_records.Next(m_record);
    }

    void Feed(const QByteArray& piece, qint64 pieceStart) {
        const char* data = piece.constData();
        for (qsizetype i = 0; i < piece.size(); ++i) {
            const char c = data[i];
            if (!m_inLine)
                BeginLine(pieceStart + i);
            if (c == '\n') {
                EndLine();
            } else if (c == '\r') {
                ++m_heldReturns; // dropped if the line ends right after them
            } else {
                if (m_heldReturns > 0) {
                    m_out.append(m_heldReturns, '\r');
                    m_heldReturns = 0;
                }
                m_out.append(c);
            }
        }
        FlushIfFull();
    }

    void Finish() {
        if (m_inLine)
            EndLine();
        WriteEventsUpTo(INT64_MAX);
        m_file.Write(m_out);
        m_file.Close();
    }

private:
    void BeginLine(qint64 offset) {
        WriteEventsUpTo(offset);
        // Line records before this line belong to a log that has been replaced since.
        while (m_haveRecord && !m_record.IsEvent && m_record.Offset < offset)
            m_haveRecord = m_records.Next(m_record);
        if (m_haveRecord && !m_record.IsEvent && m_record.Offset == offset) {
            m_out.append(FormatLogTime(m_record.MSecs));
            m_haveRecord = m_records.Next(m_record);
        } else {
            m_out.append(kNoTime);
        }
        m_out.append("  ");
        m_inLine = true;
    }
    void EndLine() {
        m_heldReturns = 0;
        m_out.append('\n');
        m_inLine = false;
    }
    void WriteEventsUpTo(qint64 offset) {
        while (m_haveRecord && m_record.Offset <= offset) {
            if (m_record.IsEvent) {
                m_out.append(FormatLogTime(m_record.MSecs));
                m_out.append("  [");
                m_out.append(m_record.Text.toUtf8());
                m_out.append("]\n");
            } else if (m_record.Offset == offset) {
                return; // this line's own time
            }
            m_haveRecord = m_records.Next(m_record);
        }
    }
    void FlushIfFull() {
        if (m_out.size() >= 256 * 1024) {
            m_file.Write(m_out);
            m_out.clear();
        }
    }

    TLogFileWriter m_file;
    TSessionTimes::TReader m_records;
    TSessionTimes::TRecord m_record;
    bool m_haveRecord = false;
    QByteArray m_out;
    bool m_inLine = false;
    int m_heldReturns = 0;
};

} // namespace

void WriteLogWithTimes(const QString& path, const TSessionLog& log, const TSessionTimes& times) {
    TTimedLogWriter writer(path, times);
    qint64 at = 0;
    log.ForEachPiece([&](const QByteArray& piece) {
        writer.Feed(piece, at);
        at += piece.size();
    });
    writer.Finish();
}
