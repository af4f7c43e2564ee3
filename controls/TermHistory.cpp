#include "controls/TermHistory.h"

#include <algorithm>
#include <cstring>

namespace {

// A row's block: header, characters, then the look runs.
struct THeader {
    uint16_t Length;
    uint16_t Runs;
    uint8_t Wrapped;
};
struct TRun {
    uint16_t Start; // first column, 0-based
    uint8_t Underline;
    uint32_t TextColor;
    uint32_t FillColor;
};
constexpr size_t kHeaderSize = 5;
constexpr size_t kRunSize = 11;

bool SameLook(const TTermCell& a, const TTermCell& b) {
    return a.TextColor == b.TextColor && a.FillColor == b.FillColor && a.Underline == b.Underline;
}

THeader ReadHeader(const uint8_t* data) {
    THeader h;
    std::memcpy(&h.Length, data, 2);
    std::memcpy(&h.Runs, data + 2, 2);
    h.Wrapped = data[4];
    return h;
}

TRun ReadRun(const uint8_t* at) {
    TRun r;
    std::memcpy(&r.Start, at, 2);
    r.Underline = at[2];
    std::memcpy(&r.TextColor, at + 3, 4);
    std::memcpy(&r.FillColor, at + 7, 4);
    return r;
}

size_t BlockSize(const THeader& h) {
    return kHeaderSize + h.Length + size_t(h.Runs) * kRunSize;
}

} // namespace

constexpr size_t kChunkBytes = 64 * 1024;
// The widest row whose record (every cell in a look of its own) still fits in one chunk.
static_assert(kHeaderSize + size_t(TTermHistory::kMaxColumns) * (1 + kRunSize) <= kChunkBytes);

TTermHistory::TTermHistory(int limit) : m_limit(std::clamp(limit, 0, kMaxLines)) {}

void TTermHistory::SetLimit(int lines) {
    lines = std::clamp(lines, 0, kMaxLines);
    if (lines == m_limit)
        return;
    if (m_count > size_t(lines))
        DropOldest(m_count - size_t(lines));
    // The ring is laid out afresh, oldest first, in a table of the new size.
    std::vector<TRow> rows;
    rows.reserve(std::min<size_t>(size_t(lines), m_count + 1024));
    for (size_t i = 0; i < m_count; ++i)
        rows.push_back(m_rows[(m_head + i) % m_rows.size()]);
    m_rows = std::move(rows);
    m_head = 0;
    m_limit = lines;
    if (m_count == 0)
        Clear();
}

void TTermHistory::ReleaseOldestRecord() {
    TChunk& oldest = m_chunks.front();
    if (--oldest.Live > 0)
        return;
    if (m_chunks.size() > 1) {
        m_spare = std::move(oldest.Bytes);
        m_chunks.pop_front();
    } else {
        // The only chunk holds no row any more: it is written afresh from its start (left as it was, a
        // new chunk would follow it and this empty one would be charged with that one's rows).
        oldest.Used = 0;
    }
}

void TTermHistory::DropOldest(size_t n) {
    for (size_t i = 0; i < n && m_count > 0; ++i) {
        ReleaseOldestRecord();
        m_rows[m_head] = {};
        m_head = (m_head + 1) % m_rows.size();
        --m_count;
    }
}

void TTermHistory::Clear() {
    m_rows.clear();
    m_chunks.clear();
    m_spare.reset();
    m_head = 0;
    m_count = 0;
}

uint8_t* TTermHistory::RecordSpace(size_t bytes) {
    if (m_chunks.empty() || kChunkBytes - m_chunks.back().Used < bytes) {
        TChunk chunk;
        chunk.Bytes = m_spare ? std::move(m_spare) : std::make_unique_for_overwrite<uint8_t[]>(kChunkBytes);
        m_chunks.push_back(std::move(chunk));
    }
    return m_chunks.back().Bytes.get() + m_chunks.back().Used;
}

void TTermHistory::Push(const TTermCell* cells, int columns, qint64 time, bool wrapped) {
    // Counted also when nothing is kept: the screen's lines keep moving, and what points at them
    // (a selection, a match) moves with them.
    ++m_added;
    if (m_limit == 0)
        return;
    // A full table: the oldest row goes first, so that its chunk may serve the new one.
    if (m_count == size_t(m_limit)) {
        ReleaseOldestRecord();
        m_head = (m_head + 1) % m_rows.size();
        --m_count;
    }
    columns = std::clamp(columns, 0, kMaxColumns);
    // An empty cell is never drawn, whatever its colours: the row ends at its last character.
    int length = columns;
    while (length > 0 && cells[length - 1].Ch == 0)
        --length;
    // Written straight into the chunk: the characters, and a run wherever the look changes.
    uint8_t* record = RecordSpace(kHeaderSize + size_t(length) * (1 + kRunSize));
    uint8_t* chars = record + kHeaderSize;
    uint8_t* runs = chars + length;
    uint16_t runCount = 0;
    TTermCell look{0, ~0u, ~0u, false}; // no cell looks like this: the first opens a run
    for (int col = 0; col < length; ++col) {
        const TTermCell& cell = cells[col];
        chars[col] = uint8_t(cell.Ch);
        if (SameLook(cell, look))
            continue;
        look = cell;
        uint8_t* run = runs + size_t(runCount++) * kRunSize;
        const uint16_t start = uint16_t(col);
        std::memcpy(run, &start, 2);
        run[2] = cell.Underline ? 1 : 0;
        std::memcpy(run + 3, &cell.TextColor, 4);
        std::memcpy(run + 7, &cell.FillColor, 4);
    }
    const THeader header{uint16_t(length), runCount, uint8_t(wrapped ? 1 : 0)};
    std::memcpy(record, &header.Length, 2);
    std::memcpy(record + 2, &header.Runs, 2);
    record[4] = header.Wrapped;
    TChunk& chunk = m_chunks.back();
    chunk.Used += BlockSize(header);
    ++chunk.Live;

    if (m_rows.size() < size_t(m_limit) && m_head == 0 && m_count == m_rows.size())
        m_rows.push_back({time, record});
    else
        m_rows[(m_head + m_count) % m_rows.size()] = {time, record};
    ++m_count;
}

bool TTermHistory::Wrapped(int index) const {
    return ReadHeader(Row(index).Data).Wrapped != 0;
}

int TTermHistory::Length(int index) const {
    return ReadHeader(Row(index).Data).Length;
}

QByteArray TTermHistory::Text(int index) const {
    const uint8_t* data = Row(index).Data;
    const THeader h = ReadHeader(data);
    QByteArray text(reinterpret_cast<const char*>(data + kHeaderSize), h.Length);
    text.replace('\0', ' ');
    return text;
}

void TTermHistory::ReadCells(int index, TTermCell* out, int columns) const {
    std::fill(out, out + columns, TTermCell{});
    const uint8_t* data = Row(index).Data;
    const THeader h = ReadHeader(data);
    const uint8_t* chars = data + kHeaderSize;
    const uint8_t* runs = chars + h.Length;
    const int length = std::min<int>(h.Length, columns);
    for (int r = 0; r < h.Runs; ++r) {
        const TRun run = ReadRun(runs + size_t(r) * kRunSize);
        const int end = r + 1 < h.Runs ? ReadRun(runs + size_t(r + 1) * kRunSize).Start : h.Length;
        for (int col = run.Start; col < std::min(end, length); ++col)
            out[col] = {char(chars[col]), run.TextColor, run.FillColor, run.Underline != 0};
    }
}

size_t TTermHistory::MemoryBytes() const {
    return sizeof(*this) + m_rows.capacity() * sizeof(TRow) +
           (m_chunks.size() + (m_spare ? 1 : 0)) * kChunkBytes;
}
