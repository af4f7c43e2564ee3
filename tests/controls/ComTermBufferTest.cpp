#include "controls/ComTermBuffer.h"

#include <QByteArray>
#include <QRect>

#include <gtest/gtest.h>

#include <vector>

namespace {

// Owner with a settable size that records the buffer's screen requests.
class TFakeOwner : public TComTermBufferOwner {
public:
    int columns = 10;
    int rows = 4;
    std::vector<QRect> invalidated; // in cells: x = column, y = row
    std::vector<bool> scrolls;      // true = up

    int Columns() const override { return columns; }
    int Rows() const override { return rows; }
    void InvalidateCells(int left, int top, int right, int bottom) override {
        invalidated.push_back(QRect(QPoint(left, top), QPoint(right, bottom)));
    }
    void ScrollTextArea(bool up) override { scrolls.push_back(up); }

    bool Covered(int col, int row) const {
        for (const QRect& r : invalidated) {
            if (r.contains(col, row))
                return true;
        }
        return false;
    }
};

// Fills every row with its own letter: row 1 "aaaa...", row 2 "bbbb...".
void FillRows(TComTermBuffer& buffer) {
    for (int row = 1; row <= buffer.Rows(); ++row) {
        for (int col = 1; col <= buffer.Columns(); ++col)
            buffer.SetCell(col, row, TTermCell{char('a' + (row - 1) % 26), 0xFFFFFF, 0, false});
    }
}

std::vector<QByteArray> Texts(const TComTermBuffer& buffer) {
    std::vector<QByteArray> texts;
    for (int row = 1; row <= buffer.Rows(); ++row)
        texts.push_back(buffer.RowText(row));
    return texts;
}

} // namespace

TEST(ComTermBuffer, TabStops) {
    enum Op { None, Clear, Set5, Clear9 };
    struct Row {
        int columns;
        Op op;
        int from;
        int expected;
    };
    // clang-format off
    const Row rows[] = {
        {80,  None,   1,   1},  {80, None,  2,  9},  {80, None,   9, 9},  {80, None, 73, 73},
        {80,  None,   74,  0},  {80, None,  81, 0},  {80, None,   0, 1},  {80, None, -5, 1},
        {10,  None,   2,   9},  {10, None,  10, 0},  {2,  None,   2, 0},  {256, None, 250, 0},
        {256, None,   242, 249},
        {80,  Clear,  1,   0},
        {80,  Set5,   2,   5},  {80, Set5,  6,  9},
        {80,  Clear9, 2,   17},
    };
    // clang-format on
    TFakeOwner owner;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.columns << " columns, op " << row.op << ", from " << row.from);
        owner.columns = row.columns;
        TComTermBuffer buffer(&owner);
        buffer.Init();
        if (row.op == Clear)
            buffer.ClearTabStops();
        if (row.op == Set5)
            buffer.SetTabStop(5, true);
        if (row.op == Clear9)
            buffer.SetTabStop(9, false);
        EXPECT_EQ(buffer.NextTabStop(row.from), row.expected);
    }
}

TEST(ComTermBuffer, EraseKeepsOnlyTheHeadAndRepaintsTheRest) {
    struct Row {
        const char* name;
        bool screen;
        int col;
        int row;
        std::vector<QByteArray> texts;
    };
    // clang-format off
    const Row rows[] = {
        {"line tail",          false, 4,  2, {"aaaaaaaaaa", "bbb",        "cccccccccc", "dddddddddd"}},
        {"whole line",         false, 1,  3, {"aaaaaaaaaa", "bbbbbbbbbb", "",           "dddddddddd"}},
        {"last column",        false, 10, 4, {"aaaaaaaaaa", "bbbbbbbbbb", "cccccccccc", "ddddddddd"}},
        {"line past the end",  false, 11, 1, {"aaaaaaaaaa", "bbbbbbbbbb", "cccccccccc", "dddddddddd"}},
        {"screen from home",   true,  1,  1, {"",           "",           "",           ""}},
        {"screen from middle", true,  5,  2, {"aaaaaaaaaa", "bbbb",       "",           ""}},
        {"screen last row",    true,  3,  4, {"aaaaaaaaaa", "bbbbbbbbbb", "cccccccccc", "dd"}},
        {"screen past column", true,  11, 2, {"aaaaaaaaaa", "bbbbbbbbbb", "",           ""}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TFakeOwner owner;
        TComTermBuffer buffer(&owner);
        buffer.Init();
        FillRows(buffer);
        if (row.screen)
            buffer.EraseScreenFrom(row.col, row.row);
        else
            buffer.EraseLineFrom(row.col, row.row);
        EXPECT_EQ(Texts(buffer), row.texts);
        // Every erased cell is blank and lies in a repainted rectangle; nothing outside the grid is.
        for (int r = 1; r <= buffer.Rows(); ++r) {
            for (int c = 1; c <= buffer.Columns(); ++c) {
                if (buffer.GetCell(c, r).Ch == 0) {
                    EXPECT_EQ(buffer.GetCell(c, r), TTermCell{});
                    EXPECT_TRUE(owner.Covered(c, r)) << c << "," << r;
                }
            }
        }
        for (const QRect& r : owner.invalidated)
            EXPECT_TRUE(QRect(1, 1, 10, 4).contains(r)) << r.x() << "," << r.y();
    }
}

TEST(ComTermBuffer, Scroll) {
    TFakeOwner owner;
    owner.rows = 24;
    TComTermBuffer buffer(&owner);
    buffer.Init();
    FillRows(buffer);
    buffer.SetCell(3, 24, TTermCell{'#', 1, 2, true});

    buffer.ScrollTextUp();
    EXPECT_EQ(buffer.RowText(1), "bbbbbbbbbb");
    EXPECT_EQ(buffer.RowText(22), "wwwwwwwwww");
    EXPECT_EQ(buffer.RowText(23), "xx#xxxxxxx");
    EXPECT_EQ(buffer.GetCell(3, 23), (TTermCell{'#', 1, 2, true}));
    EXPECT_EQ(buffer.RowText(24), "");
    EXPECT_EQ(owner.scrolls, std::vector<bool>{true});

    buffer.ScrollTextDown();
    EXPECT_EQ(buffer.RowText(1), "");
    EXPECT_EQ(buffer.RowText(2), "bbbbbbbbbb");
    EXPECT_EQ(buffer.RowText(24), "xx#xxxxxxx");
    EXPECT_EQ(owner.scrolls, (std::vector<bool>{true, false}));
}

TEST(ComTermBuffer, InitDiscardsContentAndGuardsAccess) {
    TFakeOwner owner;
    TComTermBuffer buffer(&owner);
    // Before the first Init nothing is allocated and nothing breaks.
    buffer.SetCell(1, 1, TTermCell{'x', 0, 0, false});
    EXPECT_EQ(buffer.GetCell(1, 1), TTermCell{});
    buffer.ScrollTextUp();
    buffer.EraseScreenFrom(1, 1);
    EXPECT_EQ(buffer.NextTabStop(1), 0);
    EXPECT_TRUE(owner.scrolls.empty());

    buffer.Init();
    FillRows(buffer);
    buffer.ClearTabStops();
    owner.columns = 4;
    owner.rows = 2;
    buffer.Init();
    EXPECT_EQ(buffer.Columns(), 4);
    EXPECT_EQ(Texts(buffer), (std::vector<QByteArray>{"", ""}));
    EXPECT_EQ(buffer.NextTabStop(1), 1);
    EXPECT_EQ(buffer.NextTabStop(2), 0);
    // Outside the grid: stores nothing, reads blank.
    buffer.SetCell(5, 1, TTermCell{'x', 0, 0, false});
    buffer.SetCell(1, 3, TTermCell{'x', 0, 0, false});
    buffer.SetCell(0, 0, TTermCell{'x', 0, 0, false});
    EXPECT_EQ(Texts(buffer), (std::vector<QByteArray>{"", ""}));
    EXPECT_EQ(buffer.GetCell(5, 1), TTermCell{});
    EXPECT_FALSE(buffer.GetTabStop(5));
    buffer.SetTabStop(99, true);
    EXPECT_EQ(buffer.NextTabStop(2), 0);
}
