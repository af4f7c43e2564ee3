// History, row times and the document of history and screen; selection and find over it, as tables.
#include "TermFixture.h"

#include "controls/TermFind.h"
#include "controls/TermHistory.h"
#include "controls/TermSelection.h"

#include <gtest/gtest.h>

namespace {

std::vector<TTermCell> Cells(const QByteArray& text, int columns, TTermCell look = {0, 0xFFFFFF, 0, false}) {
    std::vector<TTermCell> cells(static_cast<size_t>(columns));
    for (int i = 0; i < std::min<int>(columns, int(text.size())); ++i) {
        if (text[i] != '\0') {
            cells[size_t(i)] = look;
            cells[size_t(i)].Ch = text[i];
        }
    }
    return cells;
}

// A document given as lines, the first numbered `first`; a line ending in '+' wrapped (the '+' is not
// part of its text).
class TLines : public TTermLines {
public:
    TLines(std::vector<QByteArray> lines, qint64 first = 0) : m_first(first) {
        for (QByteArray& line : lines) {
            const bool wrapped = line.endsWith('+');
            if (wrapped)
                line.chop(1);
            m_lines.push_back({line, wrapped});
        }
    }
    qint64 FirstLine() const override { return m_first; }
    qint64 EndLine() const override { return m_first + qint64(m_lines.size()); }
    QByteArray LineText(qint64 line) const override { return At(line).first; }
    bool LineWrapped(qint64 line) const override { return At(line).second; }
    qint64 LineTime(qint64) const override { return 0; }

private:
    std::pair<QByteArray, bool> At(qint64 line) const {
        return line >= FirstLine() && line < EndLine() ? m_lines[size_t(line - m_first)]
                                                       : std::pair<QByteArray, bool>{};
    }
    qint64 m_first;
    std::vector<std::pair<QByteArray, bool>> m_lines;
};

} // namespace

TEST(TermHistory, RowsComeBackAsTheyWentIn) {
    struct Row {
        const char* name;
        std::vector<TTermCell> cells;
        QByteArray text;
        int length;
    };
    std::vector<TTermCell> mixed = Cells("ab cd", 10);
    mixed[1].TextColor = 0xA6A6A6; // bold
    mixed[3].Underline = true;     // underlined
    mixed[4].FillColor = 0xFFFFFF; // reverse
    std::vector<TTermCell> gap = Cells(QByteArray("x\0\0y", 4), 8);
    const Row rows[] = {
        {"plain", Cells("hello", 80), "hello", 5},
        {"trailing blanks dropped", Cells("hi", 80), "hi", 2},
        {"spaces kept", Cells("a  ", 80), "a  ", 3},
        {"empty", Cells("", 80), "", 0},
        {"full width", Cells(QByteArray(132, 'w'), 132), QByteArray(132, 'w'), 132},
        {"looks", mixed, "ab cd", 5},
        {"empty cells inside", gap, "x  y", 4},
    };
    TTermHistory history(100);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        history.Push(row.cells.data(), int(row.cells.size()), 1234, true);
        const int last = history.Count() - 1;
        EXPECT_EQ(history.Text(last), row.text);
        EXPECT_EQ(history.Length(last), row.length);
        EXPECT_EQ(history.Time(last), 1234);
        EXPECT_TRUE(history.Wrapped(last));
        std::vector<TTermCell> back(row.cells.size());
        history.ReadCells(last, back.data(), int(back.size()));
        EXPECT_EQ(back, row.cells);
        // Read narrower than kept: the row is cut, never overrun.
        std::vector<TTermCell> narrow(3);
        history.ReadCells(last, narrow.data(), 3);
        EXPECT_TRUE(std::equal(narrow.begin(), narrow.end(), row.cells.begin()));
    }
    // A row wider than any grid: its first kMaxColumns cells are kept, nothing is overrun.
    const auto wide = Cells(QByteArray(9000, 'v'), 9000);
    history.Push(wide.data(), 9000, 0, false);
    EXPECT_EQ(history.Text(history.Count() - 1), QByteArray(TTermHistory::kMaxColumns, 'v'));
}

TEST(TermHistory, KeepsTheNewestUpToItsLimit) {
    TTermHistory history(3);
    const auto push = [&](int from, int to) {
        for (int i = from; i <= to; ++i)
            history.Push(Cells(QByteArray::number(i), 10).data(), 10, i, false);
    };
    push(1, 5);
    EXPECT_EQ(history.Count(), 3);
    EXPECT_EQ(history.Added(), 5);
    EXPECT_EQ(history.FirstLine(), 2);
    EXPECT_EQ(history.Text(0), "3");
    EXPECT_EQ(history.Text(2), "5");
    EXPECT_EQ(history.Time(0), 3);

    history.SetLimit(2); // drops the oldest at once, numbering stays
    EXPECT_EQ(history.Count(), 2);
    EXPECT_EQ(history.Text(0), "4");
    EXPECT_EQ(history.FirstLine(), 3);
    history.SetLimit(4); // room again; the order holds through the ring
    push(6, 9);
    EXPECT_EQ(history.Count(), 4);
    EXPECT_EQ(history.Text(0), "6");
    EXPECT_EQ(history.Text(3), "9");

    history.SetLimit(0); // off: keeps nothing, but the row still moved off the screen
    push(10, 10);
    EXPECT_EQ(history.Count(), 0);
    EXPECT_EQ(history.Added(), 10);
    EXPECT_EQ(history.FirstLine(), 10);
}

// Whatever the limit, the memory held stays bounded while rows keep coming (chunks are given back).
TEST(TermHistory, MemoryStaysBoundedAtAnyLimit) {
    const auto cells = Cells(QByteArray(80, 'm'), 80);
    for (const int limit : {1, 2, 3, 1000}) {
        TTermHistory history(limit);
        for (int i = 0; i < 20000; ++i)
            history.Push(cells.data(), 80, i, false);
        EXPECT_LE(history.MemoryBytes(), size_t(limit) * 200 + 3 * 64 * 1024) << limit;
        EXPECT_EQ(history.Count(), limit);
        EXPECT_EQ(history.Text(limit - 1), QByteArray(80, 'm'));
    }
}

TEST(TermHistory, TerminalHandsScrolledRowsOnWithTimesAndWraps) {
    TTermFixture f(teVT52, 10, 4, true);
    qint64 now = 1000;
    f.term.SetTimeSource([&] { return now; });
    f.term.SetHistoryLines(100);
    f.Feed("one\r\ntwo\r\n");
    now = 2000;
    // "three..." wraps at column 10 into its second row.
    f.Feed("three45678abc\r\nfour\r\nfive\r\n");
    ASSERT_EQ(f.term.History().Count(), 3);
    EXPECT_EQ(f.term.FirstLine(), 0);
    EXPECT_EQ(f.term.EndLine(), 7);
    const std::vector<std::pair<QByteArray, qint64>> expected = {
        {"one", 1000},  {"two", 1000}, {"three45678", 2000}, {"abc", 2000}, {"four", 2000},
        {"five", 2000}, {"", 0}}; // the empty row the caret is on has no time
    for (qint64 line = 0; line < 7; ++line) {
        SCOPED_TRACE(line);
        EXPECT_EQ(f.term.LineText(line), expected[size_t(line)].first);
        EXPECT_EQ(f.term.LineTime(line), expected[size_t(line)].second);
        EXPECT_EQ(f.term.LineWrapped(line), line == 2);
    }
    EXPECT_EQ(f.term.LineText(-1), "");
    EXPECT_EQ(f.term.LineText(7), "");

    // A reverse line feed on row 1 scrolls the grid down: its bottom row goes nowhere, the history
    // stays, and the times move with their rows.
    f.Feed("\033H\033I");
    EXPECT_EQ(f.term.History().Count(), 3);
    EXPECT_EQ(f.term.LineText(3), "");
    EXPECT_EQ(f.term.LineTime(3), 0);
    EXPECT_EQ(f.term.LineText(4), "abc");
    EXPECT_EQ(f.term.LineTime(6), 2000);

    // Without history the grid scrolls as before and nothing is kept.
    TTermFixture none(teNone, 10, 2, true);
    none.Feed("a\r\nb\r\nc\r\n");
    EXPECT_EQ(none.term.History().Count(), 0);
    EXPECT_EQ(none.RowTexts(), (std::vector<QByteArray>{"c", ""}));
}

TEST(TermSelection, UnitsExtendAndText) {
    const TLines lines({"alpha beta-gamma  ", "0123456789+", "wrapped tail", "last  line   "}, 10);
    struct Row {
        const char* name;
        TTermPoint start;
        TTermSelection::TUnit unit;
        TTermPoint extend; // Line 0: none
        QByteArray text;
    };
    using S = TTermSelection;
    // clang-format off
    const Row rows[] = {
        {"one character",      {10, 1},  S::suChar, {0, 0},   "a"},
        {"drag within a line", {10, 3},  S::suChar, {10, 8},  "pha be"},
        {"drag backwards",     {10, 8},  S::suChar, {10, 3},  "pha be"},
        {"across lines",       {10, 11}, S::suChar, {11, 2},  "-gamma\n01"},
        {"trailing blanks cut",{10, 11}, S::suChar, {10, 25}, "-gamma"},
        {"wrapped row joins",  {11, 8},  S::suChar, {12, 3},  "789wra"},
        {"word",               {10, 8},  S::suWord, {0, 0},   "beta-gamma"},
        {"word on a blank",    {10, 6},  S::suWord, {0, 0},   ""},
        {"word then drag",     {10, 2},  S::suWord, {10, 8},  "alpha beta-gamma"},
        {"line",               {10, 4},  S::suLine, {0, 0},   "alpha beta-gamma"},
        {"line over its wrap", {12, 4},  S::suLine, {0, 0},   "0123456789wrapped tail"},
        {"lines extended",     {10, 1},  S::suLine, {13, 1},  "alpha beta-gamma\n0123456789wrapped tail\nlast  line"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TTermSelection selection;
        selection.Start(lines, row.start, row.unit);
        if (row.extend.Line != 0)
            selection.Extend(lines, row.extend);
        EXPECT_EQ(selection.Text(lines), row.text);
    }

    TTermSelection all;
    all.SelectAll(lines);
    EXPECT_EQ(all.Text(lines), "alpha beta-gamma\n0123456789wrapped tail\nlast  line");
    // All ends at the last character: rows still empty are not selected, so later text is not either.
    const TLines screen({"one", "two", "", ""}, 5);
    TTermSelection upToText;
    upToText.SelectAll(screen);
    EXPECT_EQ(upToText.End(), (TTermPoint{6, 3}));
    upToText.SelectAll(TLines({"", ""}));
    EXPECT_FALSE(upToText.Active());
    // Shift+click without a selection starts one at that cell.
    TTermSelection fresh;
    fresh.Extend(lines, {13, 1});
    EXPECT_EQ(fresh.Text(lines), "l");
    // The history drops lines: the selection keeps what is left of it.
    all.Clip(12);
    EXPECT_EQ(all.Begin(), (TTermPoint{12, 1}));
    all.Clip(14);
    EXPECT_FALSE(all.Active());
}

TEST(TermFind, NextAndPreviousRoundTheDocument) {
    const TLines lines({"Door 1 open", "door 2 closed", "alarm", "DOOR 3 open door"}, 5);
    struct Row {
        const char* name;
        QByteArray pattern;
        bool matchCase;
        TTermPoint from;
        bool forward;
        TTermMatch match;
    };
    // clang-format off
    const Row rows[] = {
        {"first from the top",       "door", false, {5, 0},  true,  {5, 1, 4}},
        {"next after a match",       "door", false, {5, 1},  true,  {6, 1, 4}},
        {"second in one line",       "door", false, {8, 1},  true,  {8, 13, 4}},
        {"round the end",            "door", false, {8, 13}, true,  {5, 1, 4}},
        {"previous",                 "door", false, {8, 13}, false, {8, 1, 4}},
        {"previous round the start", "door", false, {5, 1},  false, {8, 13, 4}},
        {"match case",               "door", true,  {5, 0},  true,  {6, 1, 4}},
        {"match case only one",      "door", true,  {6, 1},  true,  {8, 13, 4}},
        {"the only match again",     "alarm", false, {7, 1}, true,  {7, 1, 5}},
        {"nowhere",                  "gate", false, {5, 0},  true,  {}},
        {"empty pattern",            "",     false, {5, 0},  true,  {}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TTermFind find;
        find.SetPattern(row.pattern, row.matchCase);
        EXPECT_EQ(find.Next(lines, row.from, row.forward), row.match);
    }
    TTermFind latin;
    latin.SetPattern("\xC4nderung", false); // Latin-1 capitals fold too
    std::vector<int> cols;
    latin.MatchesIn("x \xE4nderung \xC4NDERUNG", cols);
    EXPECT_EQ(cols, (std::vector<int>{3, 12}));
}
