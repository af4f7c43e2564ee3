#include "controls/ComTermBuffer.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {
constexpr int kTabWidth = 8;
}

TComTermBuffer::TComTermBuffer(TComTermBufferOwner* owner) : m_owner(owner) {}

void TComTermBuffer::Init() {
    // The owner clamps its size; a size below one cell would leave nothing to address.
    m_columns = std::max(1, m_owner->Columns());
    m_rows = std::max(1, m_owner->Rows());
    m_cells.assign(size_t(m_columns) * size_t(m_rows), TTermCell{});
    m_firstRow = 0;
    m_tabStops.assign(size_t(m_columns), 0);
    for (int col = 1; col <= m_columns; col += kTabWidth)
        m_tabStops[size_t(col - 1)] = 1;
}

QByteArray TComTermBuffer::RowText(int row) const {
    QByteArray text;
    if (row < 1 || row > m_rows)
        return text;
    const TTermCell* cells = &m_cells[Index(1, row)];
    for (int col = 1; col <= m_columns; ++col) {
        const char ch = cells[col - 1].Ch;
        text += ch ? ch : ' ';
    }
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

void TComTermBuffer::BlankRow(int row, int fromCol) {
    // The blank cell is all zero bytes.
    static_assert(std::is_trivially_copyable_v<TTermCell>);
    std::memset(static_cast<void*>(&m_cells[Index(fromCol, row)]), 0,
                sizeof(TTermCell) * size_t(m_columns - fromCol + 1));
}

void TComTermBuffer::ScrollTextUp() {
    if (!Allocated())
        return;
    // The top row becomes the new, blank bottom row.
    BlankRow(1, 1);
    m_firstRow = int(StorageRow(2));
    m_owner->ScrollTextArea(true);
}

void TComTermBuffer::ScrollTextDown() {
    if (!Allocated())
        return;
    m_firstRow = int(StorageRow(m_rows));
    BlankRow(1, 1);
    m_owner->ScrollTextArea(false);
}

void TComTermBuffer::EraseLineFrom(int col, int row) {
    if (!Allocated() || row < 1 || row > m_rows)
        return;
    col = std::max(col, 1);
    if (col > m_columns)
        return;
    BlankRow(row, col);
    m_owner->InvalidateCells(col, row, m_columns, row);
}

void TComTermBuffer::EraseScreenFrom(int col, int row) {
    if (!Allocated() || row > m_rows)
        return;
    if (row < 1) {
        row = 1;
        col = 1;
    }
    col = std::clamp(col, 1, m_columns + 1);
    if (col <= m_columns)
        BlankRow(row, col);
    for (int r = row + 1; r <= m_rows; ++r)
        BlankRow(r, 1);
    if (col <= m_columns)
        m_owner->InvalidateCells(col, row, m_columns, row);
    if (row < m_rows)
        m_owner->InvalidateCells(1, row + 1, m_columns, m_rows);
}

void TComTermBuffer::Fill(const TTermCell& cell) {
    std::fill(m_cells.begin(), m_cells.end(), cell);
}

bool TComTermBuffer::GetTabStop(int col) const {
    return col >= 1 && col <= m_columns && m_tabStops[size_t(col - 1)];
}

void TComTermBuffer::SetTabStop(int col, bool on) {
    if (col >= 1 && col <= m_columns)
        m_tabStops[size_t(col - 1)] = on ? 1 : 0;
}

int TComTermBuffer::NextTabStop(int fromCol) const {
    for (int col = std::max(fromCol, 1); col <= m_columns; ++col) {
        if (m_tabStops[size_t(col - 1)])
            return col;
    }
    return 0;
}

void TComTermBuffer::ClearTabStops() {
    std::fill(m_tabStops.begin(), m_tabStops.end(), 0);
}
