#include "controls/TermSelection.h"

#include <algorithm>
#include <cstring>

bool TTermSelection::IsWordChar(char ch) {
    const auto c = uint8_t(ch);
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0xC0 ||
           (c != 0 && std::strchr(kWordChars, ch) != nullptr);
}

void TTermSelection::Widen(const TTermLines& lines, TTermPoint at, TTermPoint& first,
                           TTermPoint& last) const {
    first = last = at;
    switch (m_unit) {
    case suChar:
        break;
    case suWord: {
        const QByteArray text = lines.LineText(at.Line);
        if (at.Col < 1 || at.Col > text.size() || !IsWordChar(text[at.Col - 1]))
            break;
        while (first.Col > 1 && IsWordChar(text[first.Col - 2]))
            --first.Col;
        while (last.Col < text.size() && IsWordChar(text[last.Col]))
            ++last.Col;
        break;
    }
    case suLine:
        while (first.Line > lines.FirstLine() && lines.LineWrapped(first.Line - 1))
            --first.Line;
        while (last.Line + 1 < lines.EndLine() && lines.LineWrapped(last.Line))
            ++last.Line;
        first.Col = 1;
        last.Col = kAllColumns;
        break;
    }
}

void TTermSelection::Start(const TTermLines& lines, TTermPoint at, TUnit unit) {
    m_unit = unit;
    Widen(lines, at, m_anchorFirst, m_anchorLast);
    m_begin = m_anchorFirst;
    m_end = m_anchorLast;
    m_active = true;
}

void TTermSelection::Extend(const TTermLines& lines, TTermPoint to) {
    if (!m_active) {
        Start(lines, to, suChar);
        return;
    }
    TTermPoint first, last;
    Widen(lines, to, first, last);
    m_begin = std::min(first, m_anchorFirst);
    m_end = std::max(last, m_anchorLast);
}

void TTermSelection::SelectAll(const TTermLines& lines) {
    // Up to the last character: the empty rows below it are not selected, or text arriving in them
    // later would join the selection.
    qint64 last = lines.EndLine() - 1;
    while (last >= lines.FirstLine() && lines.LineText(last).isEmpty())
        --last;
    m_unit = suLine;
    m_anchorFirst = m_begin = {lines.FirstLine(), 1};
    m_anchorLast = m_end = {last, int(lines.LineText(last).size())};
    m_active = last >= lines.FirstLine();
}

void TTermSelection::Clip(qint64 firstLine) {
    if (!m_active)
        return;
    if (m_end.Line < firstLine) {
        m_active = false;
        return;
    }
    if (m_begin.Line < firstLine)
        m_begin = {firstLine, 1};
    if (m_anchorFirst.Line < firstLine)
        m_anchorFirst = {firstLine, 1};
}

bool TTermSelection::ColumnsOf(qint64 line, int& first, int& last) const {
    if (!m_active || line < m_begin.Line || line > m_end.Line)
        return false;
    first = line == m_begin.Line ? m_begin.Col : 1;
    last = line == m_end.Line ? m_end.Col : kAllColumns;
    return first <= last;
}

QByteArray TTermSelection::Text(const TTermLines& lines) const {
    QByteArray out;
    if (!m_active)
        return out;
    const qint64 from = std::max(m_begin.Line, lines.FirstLine());
    const qint64 to = std::min(m_end.Line, lines.EndLine() - 1);
    for (qint64 line = from; line <= to; ++line) {
        int first = 1, last = kAllColumns;
        ColumnsOf(line, first, last);
        QByteArray piece = lines.LineText(line).mid(first - 1, qsizetype(last) - first + 1);
        const bool joined = line < to && lines.LineWrapped(line);
        if (!joined) {
            while (piece.endsWith(' '))
                piece.chop(1);
        }
        out += piece;
        if (!joined && line < to)
            out += '\n';
    }
    // Empty rows at the end (the screen below the last text) add nothing.
    while (out.endsWith('\n'))
        out.chop(1);
    return out;
}
