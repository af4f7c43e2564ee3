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
        rows.push_back(std::move(m_rows[(m_head + i) % m_rows.size()]));
    m_rows = std::move(rows);
    m_head = 0;
    m_limit = lines;
}

void TTermHistory::DropOldest(size_t n) {
    for (size_t i = 0; i < n && m_count > 0; ++i) {
        TRow& row = m_rows[m_head];
        row.Data.reset();
        m_head = (m_head + 1) % m_rows.size();
        --m_count;
    }
}

void TTermHistory::Clear() {
    m_rows.clear();
    m_head = 0;
    m_count = 0;
}

void TTermHistory::Push(const TTermCell* cells, int columns, qint64 time, bool wrapped) {
    if (m_limit == 0)
        return;
    ++m_added;
    columns = std::clamp(columns, 0, 0xFFFF);
    int length = columns;
    while (length > 0 && cells[length - 1] == TTermCell{})
        --length;
    uint16_t runs = 0;
    for (int col = 0; col < length; ++col)
        runs += col == 0 || !SameLook(cells[col], cells[col - 1]);
    const THeader header{uint16_t(length), runs, uint8_t(wrapped ? 1 : 0)};
    auto data = std::make_unique<uint8_t[]>(BlockSize(header));
    uint8_t* at = data.get();
    std::memcpy(at, &header.Length, 2);
    std::memcpy(at + 2, &header.Runs, 2);
    at[4] = header.Wrapped;
    at += kHeaderSize;
    for (int col = 0; col < length; ++col)
        *at++ = uint8_t(cells[col].Ch);
    for (int col = 0; col < length; ++col) {
        if (col > 0 && SameLook(cells[col], cells[col - 1]))
            continue;
        const uint16_t start = uint16_t(col);
        std::memcpy(at, &start, 2);
        at[2] = cells[col].Underline ? 1 : 0;
        std::memcpy(at + 3, &cells[col].TextColor, 4);
        std::memcpy(at + 7, &cells[col].FillColor, 4);
        at += kRunSize;
    }

    if (m_count == size_t(m_limit)) {
        // Full: the oldest row's slot takes the new one.
        TRow& slot = m_rows[m_head];
        slot = {time, std::move(data)};
        m_head = (m_head + 1) % m_rows.size();
        return;
    }
    if (m_rows.size() < size_t(m_limit) && m_head == 0) {
        m_rows.push_back({time, std::move(data)});
    } else {
        m_rows[(m_head + m_count) % m_rows.size()] = {time, std::move(data)};
    }
    ++m_count;
}

bool TTermHistory::Wrapped(int index) const {
    return ReadHeader(Row(index).Data.get()).Wrapped != 0;
}

int TTermHistory::Length(int index) const {
    return ReadHeader(Row(index).Data.get()).Length;
}

QByteArray TTermHistory::Text(int index) const {
    const uint8_t* data = Row(index).Data.get();
    const THeader h = ReadHeader(data);
    QByteArray text(reinterpret_cast<const char*>(data + kHeaderSize), h.Length);
    text.replace('\0', ' ');
    return text;
}

void TTermHistory::ReadCells(int index, TTermCell* out, int columns) const {
    std::fill(out, out + columns, TTermCell{});
    const uint8_t* data = Row(index).Data.get();
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
    // Each block also costs the allocator's own header, rounded to its 16-byte granules.
    size_t blocks = 0;
    for (size_t i = 0; i < m_count; ++i)
        blocks += (BlockSize(ReadHeader(Row(int(i)).Data.get())) + 8 + 15) / 16 * 16;
    return sizeof(*this) + m_rows.capacity() * sizeof(TRow) + blocks;
}
