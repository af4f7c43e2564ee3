#include "controls/ComTermBuffer.h"

#include <QByteArray>

#include <algorithm>

namespace {
constexpr int kTabWidth = 8;
}

TComTermBuffer::TComTermBuffer(TComTermBufferOwner* owner) : m_owner(owner) {}

void TComTermBuffer::Init() {
    // The owner clamps its size; a size below one cell would leave nothing to address.
    m_columns = std::max(1, m_owner->Columns());
    m_rows = std::max(1, m_owner->Rows());
    m_cells.assign(size_t(m_columns) * size_t(m_rows), TTermCell{});
    m_tabStops.assign(size_t(m_columns), 0);
    for (int col = 1; col <= m_columns; col += kTabWidth)
        m_tabStops[size_t(col - 1)] = 1;
}

void TComTermBuffer::SetCell(int col, int row, const TTermCell& cell) {
    if (Inside(col, row))
        m_cells[Index(col, row)] = cell;
}

TTermCell TComTermBuffer::GetCell(int col, int row) const {
    if (!Inside(col, row))
        return {};
    return m_cells[Index(col, row)];
}

QByteArray TComTermBuffer::RowText(int row) const {
    QByteArray text;
    if (row < 1 || row > m_rows)
        return text;
    for (int col = 1; col <= m_columns; ++col) {
        const char ch = m_cells[Index(col, row)].Ch;
        text += ch ? ch : ' ';
    }
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

void TComTermBuffer::ScrollTextUp() {
    if (!Allocated())
        return;
    const auto rowSize = ptrdiff_t(m_columns);
    std::move(m_cells.begin() + rowSize, m_cells.end(), m_cells.begin());
    std::fill(m_cells.end() - rowSize, m_cells.end(), TTermCell{});
    m_owner->ScrollTextArea(true);
}

void TComTermBuffer::ScrollTextDown() {
    if (!Allocated())
        return;
    const auto rowSize = ptrdiff_t(m_columns);
    std::move_backward(m_cells.begin(), m_cells.end() - rowSize, m_cells.end());
    std::fill(m_cells.begin(), m_cells.begin() + rowSize, TTermCell{});
    m_owner->ScrollTextArea(false);
}

void TComTermBuffer::EraseLineFrom(int col, int row) {
    if (!Allocated() || row < 1 || row > m_rows)
        return;
    col = std::max(col, 1);
    if (col > m_columns)
        return;
    std::fill(m_cells.begin() + ptrdiff_t(Index(col, row)),
              m_cells.begin() + ptrdiff_t(Index(m_columns, row)) + 1, TTermCell{});
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
    std::fill(m_cells.begin() + ptrdiff_t(Index(1, row)) + (col - 1), m_cells.end(), TTermCell{});
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
