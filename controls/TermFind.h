#pragma once

#include "controls/TermSelection.h"

#include <QByteArray>
#include <QFrame>

#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;

// One occurrence of the searched text: its first cell and its length in cells.
struct TTermMatch {
    qint64 Line = 0;
    int Col = 0; // 0: none
    int Length = 0;
    bool Valid() const { return Col > 0; }
    friend bool operator==(const TTermMatch&, const TTermMatch&) = default;
};

// Finds text in history and screen, line by line (a match does not span two rows). Without match case,
// letters compare without regard to case (Latin-1).
class TTermFind {
public:
    void SetPattern(const QByteArray& pattern, bool matchCase);
    const QByteArray& Pattern() const { return m_pattern; }
    bool MatchCase() const { return m_matchCase; }

    // The next match after `from` (forward) or the last one before it (backward), going round the
    // document's end; none when the text occurs nowhere.
    TTermMatch Next(const TTermLines& lines, TTermPoint from, bool forward) const;
    // The starting columns of every match in one line's text.
    void MatchesIn(const QByteArray& text, std::vector<int>& cols) const;

private:
    QByteArray Fold(const QByteArray& text) const;

    QByteArray m_pattern;
    QByteArray m_folded;
    bool m_matchCase = false;
};

// The find bar shown over the terminal: the text, next, previous, match case. Enter finds the next
// match, Shift+Enter the previous; Esc closes the bar.
class TTermFindBar : public QFrame {
    Q_OBJECT
public:
    explicit TTermFindBar(QWidget* parent);

    QLineEdit* TextField() const { return m_text; }
    QCheckBox* MatchCaseBox() const { return m_matchCase; }
    QByteArray Text() const;
    bool MatchCase() const;
    // Shows "Not found" or nothing.
    void SetFound(bool found);
    QLabel* StatusLabel() const { return m_status; }

signals:
    void FindRequested(bool forward);
    void PatternChanged();
    void Closed();

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    QLineEdit* m_text;
    QCheckBox* m_matchCase;
    QLabel* m_status;
};
