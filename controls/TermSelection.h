#pragma once

#include "controls/TermHistory.h"

#include <QByteArray>

#include <compare>

// A cell of the document of history and screen: absolute line, 1-based column.
struct TTermPoint {
    qint64 Line = 0;
    int Col = 1;
    friend auto operator<=>(const TTermPoint&, const TTermPoint&) = default;
};

// What the user selected in history and screen, kept by absolute lines so that it stays on its text
// while new data scrolls the screen. A selection grows from its anchor in characters, words or whole
// lines; Begin..End is inclusive and already widened to the unit.
//
// Edge rules:
// - A word is a run of letters, digits and the characters of kWordChars; a click on any other character
//   selects that character alone.
// - A line is the row with the rows it wrapped into and from.
// - The text: the rows' characters joined by line breaks, each row's trailing blanks cut; a row that
//   wrapped joins the next without a break and keeps its blanks.
class TTermSelection {
public:
    enum TUnit { suChar, suWord, suLine };
    static constexpr const char* kWordChars = "_-.:/@~+%#=?&";
    static constexpr int kAllColumns = 0xFFFF;

    bool Active() const { return m_active; }
    TTermPoint Begin() const { return m_begin; }
    TTermPoint End() const { return m_end; }
    TUnit Unit() const { return m_unit; }

    void Start(const TTermLines& lines, TTermPoint at, TUnit unit);
    // Moves the free end to `to` (widened to the unit); the anchor's unit stays selected.
    void Extend(const TTermLines& lines, TTermPoint to);
    // Every line up to the last character; none when there is no character.
    void SelectAll(const TTermLines& lines);
    void Clear() { m_active = false; }
    // Forgets lines the history dropped.
    void Clip(qint64 firstLine);

    // The selected columns of `line`, inclusive; false when none.
    bool ColumnsOf(qint64 line, int& first, int& last) const;
    QByteArray Text(const TTermLines& lines) const;

    static bool IsWordChar(char ch);

private:
    // The unit around `at`: its first and last cell.
    void Widen(const TTermLines& lines, TTermPoint at, TTermPoint& first, TTermPoint& last) const;

    bool m_active = false;
    TUnit m_unit = suChar;
    TTermPoint m_anchorFirst, m_anchorLast; // the unit where the selection started
    TTermPoint m_begin, m_end;
};
