#pragma once

#include "controls/ComTermBuffer.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// The lines of history and screen as one document, numbered by absolute line: every row that ever
// scrolled off the grid keeps its number, so a position in the document stays on the same text while
// new data scrolls the screen. Lines FirstLine()..EndLine()-1 exist; the last Rows of them are the grid.
class TTermLines {
public:
    // The oldest line still kept.
    virtual qint64 FirstLine() const = 0;
    // One past the grid's last row.
    virtual qint64 EndLine() const = 0;
    // The line's characters up to its last non-blank cell; an empty cell inside it reads as a space.
    virtual QByteArray LineText(qint64 line) const = 0;
    // The line's text continues on the next line (it wrapped at the last column).
    virtual bool LineWrapped(qint64 line) const = 0;
    // When the line's first character arrived, in ms since the epoch; 0 when it has none.
    virtual qint64 LineTime(qint64 line) const = 0;

protected:
    ~TTermLines() = default;
};

// Rows that scrolled off the top of the grid, oldest first, at most Limit() of them (the oldest go
// first). Each row is kept as one record: its characters up to the last non-blank cell, the runs of
// cells that look alike and whether it wrapped, written one after the other into 64 KiB chunks (no
// allocation per row; a chunk is freed once its last row is dropped), and its arrival time in the row
// table. A row of 80 characters in one look costs about 112 bytes.
class TTermHistory {
public:
    static constexpr int kDefaultLines = 10000;
    static constexpr int kMaxLines = 1000000;
    // Cells kept of a row; any further ones are dropped.
    static constexpr int kMaxColumns = 4096;

    explicit TTermHistory(int limit = kDefaultLines);

    int Limit() const { return m_limit; }
    // Clamped to 0..kMaxLines; a smaller limit drops the oldest rows at once.
    void SetLimit(int lines);
    int Count() const { return int(m_count); }
    // Rows ever added, also those dropped since: the absolute number of the next row.
    qint64 Added() const { return m_added; }
    qint64 FirstLine() const { return m_added - qint64(m_count); }

    // Keeps the cells of one row (with a limit of 0 it only counts it).
    void Push(const TTermCell* cells, int columns, qint64 time, bool wrapped);
    void Clear();

    // Rows by index, 0 the oldest kept.
    qint64 Time(int index) const { return Row(index).Time; }
    bool Wrapped(int index) const;
    int Length(int index) const;
    QByteArray Text(int index) const;
    // The row's first `columns` cells; cells beyond its length are blank.
    void ReadCells(int index, TTermCell* out, int columns) const;

    // Bytes held: the row table and every row's block.
    size_t MemoryBytes() const;

private:
    struct TRow {
        qint64 Time = 0;
        const uint8_t* Data = nullptr; // the record in its chunk
    };
    struct TChunk {
        std::unique_ptr<uint8_t[]> Bytes;
        size_t Used = 0;
        size_t Live = 0; // rows of this chunk still kept
    };
    const TRow& Row(int index) const { return m_rows[(m_head + size_t(index)) % m_rows.size()]; }
    void DropOldest(size_t n);
    void ReleaseOldestRecord();
    // Room for a record of up to `bytes` at the end of the newest chunk.
    uint8_t* RecordSpace(size_t bytes);

    std::deque<TChunk> m_chunks; // oldest first; rows are written in order, so the oldest row is in the first
    std::unique_ptr<uint8_t[]> m_spare; // a freed chunk kept for the next one

    int m_limit;
    std::vector<TRow> m_rows; // a ring once it holds m_limit rows; m_head is the oldest
    size_t m_head = 0;
    size_t m_count = 0;
    qint64 m_added = 0;
};
