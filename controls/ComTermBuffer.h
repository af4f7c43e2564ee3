#pragma once

#include <QtGlobal>

#include <cstdint>
#include <vector>

// One character cell of the terminal grid. The all-zero cell is the blank cell: Ch 0 is never drawn,
// the control's background shows through.
struct TTermCell {
    char Ch = 0;
    uint32_t TextColor = 0; // 0xRRGGBB
    uint32_t FillColor = 0; // 0xRRGGBB
    bool Underline = false;

    friend bool operator==(const TTermCell&, const TTermCell&) = default;
};

// What the grid needs from the terminal that owns it: the size to allocate, and the screen requests
// for its two whole-screen operations.
class TComTermBufferOwner {
public:
    virtual int Columns() const = 0;
    virtual int Rows() const = 0;
    // The buffer cells L..R x T..B changed without being drawn: repaint them from the buffer.
    virtual void InvalidateCells(int left, int top, int right, int bottom) = 0;
    // The whole grid moved by one row (up: row 2 is now row 1): move the text area's pixels by one
    // row and repaint the uncovered row from the buffer.
    virtual void ScrollTextArea(bool up) = 0;

protected:
    ~TComTermBufferOwner() = default;
};

// The terminal's character grid: Columns x Rows cells, no scroll-back, plus one tab stop per column.
// Text changes only by storing cells, erasing a tail of a row or of the screen, and scrolling the whole
// grid by one row; the grid knows nothing of escape sequences.
//
// Edge rules:
// - The size is taken from the owner at Init and kept until the next Init; the owner calls Init after
//   every change of its size. Init discards the content and resets the tab stops to every eighth
//   column from column 1.
// - Coordinates are 1-based, column first. Cell access outside the grid (or before the first Init)
//   stores nothing and reads the blank cell; erase ranges are clipped to the grid.
class TComTermBuffer {
public:
    explicit TComTermBuffer(TComTermBufferOwner* owner);

    void Init();
    bool Allocated() const { return !m_cells.empty(); }
    // The size of the last Init.
    int Columns() const { return m_columns; }
    int Rows() const { return m_rows; }

    void SetCell(int col, int row, const TTermCell& cell) {
        if (Inside(col, row)) {
            // Field by field: a copy of the padded struct can cost a stalled load.
            TTermCell& to = m_cells[Index(col, row)];
            to.Ch = cell.Ch;
            to.TextColor = cell.TextColor;
            to.FillColor = cell.FillColor;
            to.Underline = cell.Underline;
        }
    }
    TTermCell GetCell(int col, int row) const {
        return Inside(col, row) ? m_cells[Index(col, row)] : TTermCell{};
    }
    // The cells of a row, Columns() of them; nullptr outside the grid.
    TTermCell* RowCells(int row) {
        return row >= 1 && row <= m_rows && Allocated() ? &m_cells[Index(1, row)] : nullptr;
    }
    // Whole row as text, each blank cell as a space and trailing blanks dropped.
    QByteArray RowText(int row) const;

    void ScrollTextUp();
    void ScrollTextDown();
    // Blanks columns col..Columns of row and asks the owner to repaint them.
    void EraseLineFrom(int col, int row);
    // Blanks from (col, row) to the end of the grid in storage order and asks the owner to repaint it.
    void EraseScreenFrom(int col, int row);
    // Sets every cell to `cell` (no repaint request; the caller repaints the whole control).
    void Fill(const TTermCell& cell);

    bool GetTabStop(int col) const;
    void SetTabStop(int col, bool on);
    // The smallest column C >= fromCol with a tab stop; 0 when there is none.
    int NextTabStop(int fromCol) const;
    void ClearTabStops();

private:
    bool Inside(int col, int row) const { return col >= 1 && col <= m_columns && row >= 1 && row <= m_rows; }
    // The storage row of a grid row: rows are kept as a ring, so that scrolling moves no cells.
    size_t StorageRow(int row) const {
        int r = m_firstRow + row - 1;
        if (r >= m_rows)
            r -= m_rows;
        return size_t(r);
    }
    size_t Index(int col, int row) const { return StorageRow(row) * size_t(m_columns) + size_t(col - 1); }
    void BlankRow(int row, int fromCol);

    TComTermBufferOwner* m_owner;
    int m_columns = 0;
    int m_rows = 0;
    int m_firstRow = 0; // storage row of grid row 1
    std::vector<TTermCell> m_cells;
    std::vector<uint8_t> m_tabStops;
};
