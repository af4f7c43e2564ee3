#pragma once

#include "runtime/Exception.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QTemporaryFile;

// A file error while saving the session log, with the runtime's input/output message. The file and the
// system's error number travel with it, for a report that says what failed.
class EInOutError : public Exception {
public:
    explicit EInOutError(int errorCode, const QString& path = {}, int systemError = 0);
    // The error for an errno of a failed operation on `path`.
    static EInOutError For(int err, const QString& path);
    int ErrorCode() const { return m_errorCode; }
    QString Path() const { return m_path; }
    int SystemError() const { return m_systemError; }

    // The runtime's error number for an errno of a failed file operation on `path`.
    static int FromErrno(int err, const QString& path);
    static QString MessageFor(int errorCode);

private:
    int m_errorCode;
    QString m_path;
    int m_systemError;
};

// Writes one file: created (or emptied) when made, every byte written, closed by Close. Failures raise
// EInOutError.
class TLogFileWriter {
public:
    explicit TLogFileWriter(const QString& path);
    ~TLogFileWriter();
    TLogFileWriter(const TLogFileWriter&) = delete;
    TLogFileWriter& operator=(const TLogFileWriter&) = delete;
    void Write(const QByteArray& bytes);
    void Close();

private:
    QString m_path;
    int m_fd = -1;
};

// Every character the terminal reported, in order. The first kMemoryLimit bytes stay in memory; the
// rest continues in a temporary file (written in blocks), so that a console left logging for days
// neither exhausts memory nor loses a byte. A temporary file that cannot be written raises EInOutError.
class TSessionLog {
public:
    static constexpr qint64 kMemoryLimit = qint64(64) << 20;
    static constexpr qint64 kFileBlock = 64 * 1024;

    explicit TSessionLog(qint64 memoryLimit = kMemoryLimit);
    ~TSessionLog();
    TSessionLog(const TSessionLog&) = delete;
    TSessionLog& operator=(const TSessionLog&) = delete;
    TSessionLog& operator=(const QByteArray& bytes);
    // Bytes kept in memory before the log continues in the file; applies to what is appended later.
    void SetMemoryLimit(qint64 limit) { m_memoryLimit = std::max<qint64>(0, limit); }
    qint64 MemoryLimit() const { return m_memoryLimit; }

    // One character at a time is the terminal's way: they are gathered in a small block first.
    // An append keeps its bytes even when it raises: a temporary file that cannot take them leaves
    // them in memory, and a later append tries the file again.
    void append(char ch) {
        if (m_staged == kStageBytes)
            return AppendToFullStage(ch);
        m_stage[m_staged++] = ch;
    }
    void append(const QByteArray& bytes) { append(bytes.constData(), bytes.size()); }
    void append(const char* data, qint64 count);
    // Empties the memory part and the file.
    void clear();
    qint64 size() const { return m_memorySize + m_fileSize + m_pending.size() + m_staged; }
    bool isEmpty() const { return size() == 0; }
    // The bytes beyond the memory part (0 while everything fits in memory).
    qint64 SpilledSize() const;

    // The whole log in one array (for tests and small logs), and reads of its tail.
    QByteArray ReadAll() const;
    QByteArray Tail(qint64 count) const;
    // Up to `count` bytes from `pos` on (fewer at the end); the part in the file is read from it.
    QByteArray Read(qint64 pos, qint64 count) const;
    bool endsWith(const QByteArray& bytes) const { return Tail(bytes.size()) == bytes; }
    bool contains(const QByteArray& bytes) const { return ReadAll().contains(bytes); }
    bool operator==(const QByteArray& bytes) const;

    // Calls `sink` with the log's bytes in order, in pieces. A piece may view the log's own memory (a copy
    // of it too): it is valid during the call only, and is not followed by a terminating zero.
    template <class F> void ForEachPiece(F&& sink) const {
        for (const TBlock& block : m_memory)
            sink(QByteArray::fromRawData(block.Data, block.Size));
        ReadFilePart([&](const QByteArray& piece) { sink(piece); });
        if (!m_pending.isEmpty())
            sink(m_pending);
        if (m_staged > 0)
            sink(QByteArray::fromRawData(m_stage.data(), m_staged));
    }

private:
    static constexpr int kStageBytes = 4096;
    // One block of the memory part: a mapping of its own, offered to the system for huge pages. Every
    // fresh page costs a fault, and on a virtual machine a fault costs tens of microseconds: a log
    // growing by megabytes a second spent a fifth of its time in them with 4 KiB pages.
    static constexpr qsizetype kMemoryBlock = qsizetype(2) << 20;
    struct TBlock {
        TBlock();
        ~TBlock();
        TBlock(TBlock&& other) noexcept : Data(std::exchange(other.Data, nullptr)), Size(other.Size) {}
        TBlock(const TBlock&) = delete;
        TBlock& operator=(const TBlock&) = delete;
        TBlock& operator=(TBlock&&) = delete;
        char* Data;
        qsizetype Size = 0;
    };

    // Takes the bytes into memory or the pending block; never raises.
    void KeepBytes(const char* data, qint64 count);
    void KeepStage();
    void AppendToFullStage(char ch);
    // Writes the pending block to the file once it is full.
    void FlushPendingIfFull();
    // What the memory part can still take.
    qint64 MemoryRoom() const;
    void FlushPending();
    void ReadFilePart(const std::function<void(const QByteArray&)>& sink) const;
    // Exactly `count` bytes of the temporary file from `at`, or EInOutError.
    QByteArray ReadFileAt(qint64 at, qint64 count) const;

    qint64 m_memoryLimit;
    // The memory part in blocks of kMemoryBlock: growing never moves what is there (a long log would
    // otherwise be copied whole, stalling the window, each time its array outgrew its room).
    std::vector<TBlock> m_memory;
    qint64 m_memorySize = 0;
    QByteArray m_pending; // bytes beyond the memory part not yet written to the file
    std::unique_ptr<QTemporaryFile> m_file;
    qint64 m_fileSize = 0;
    std::array<char, kStageBytes> m_stage; // the latest characters, after everything else
    int m_staged = 0;
};

// The proposed file name: "Terminal log D.M.YYYY H M.txt", plain numbers without leading zeros.
QString ProposedLogFileName(const QDateTime& now);

// Creates (or replaces) the file and writes the bytes unchanged; raises EInOutError on failure.
void WriteLogFile(const QString& path, const QByteArray& bytes);
void WriteLogFile(const QString& path, const TSessionLog& log);
