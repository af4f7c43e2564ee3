#include "controls/TermFind.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

namespace {

char FoldChar(char ch) {
    const auto c = uint8_t(ch);
    // ASCII and the Latin-1 capitals (not the multiplication sign).
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return char(c + 0x20);
    return ch;
}

} // namespace

QByteArray TTermFind::Fold(const QByteArray& text) const {
    if (m_matchCase)
        return text;
    QByteArray out = text;
    for (char& ch : out)
        ch = FoldChar(ch);
    return out;
}

void TTermFind::SetPattern(const QByteArray& pattern, bool matchCase) {
    m_pattern = pattern;
    m_matchCase = matchCase;
    m_folded = Fold(pattern);
}

void TTermFind::MatchesIn(const QByteArray& text, std::vector<int>& cols) const {
    cols.clear();
    if (m_folded.isEmpty())
        return;
    const QByteArray folded = Fold(text);
    for (qsizetype at = folded.indexOf(m_folded); at >= 0; at = folded.indexOf(m_folded, at + 1))
        cols.push_back(int(at) + 1);
}

TTermMatch TTermFind::Next(const TTermLines& lines, TTermPoint from, bool forward) const {
    const qint64 first = lines.FirstLine();
    const qint64 end = lines.EndLine();
    if (m_folded.isEmpty() || end <= first)
        return {};
    const qint64 count = end - first;
    from.Line = std::clamp(from.Line, first, end - 1);
    std::vector<int> cols;
    // Every line once, starting with `from`'s, and round the end back to it (its other side).
    for (qint64 step = 0; step <= count; ++step) {
        const qint64 offset = forward ? step : -step;
        const qint64 line = first + ((from.Line - first + offset) % count + count) % count;
        MatchesIn(lines.LineText(line), cols);
        if (cols.empty())
            continue;
        const int length = int(m_pattern.size());
        if (step == 0) {
            // The starting line: only matches beyond `from`.
            if (forward) {
                const auto it = std::upper_bound(cols.begin(), cols.end(), from.Col);
                if (it != cols.end())
                    return {line, *it, length};
            } else {
                const auto it = std::lower_bound(cols.begin(), cols.end(), from.Col);
                if (it != cols.begin())
                    return {line, *std::prev(it), length};
            }
            continue;
        }
        return {line, forward ? cols.front() : cols.back(), length};
    }
    return {};
}

TTermFindBar::TTermFindBar(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("FindBar"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(4);
    m_text = new QLineEdit(this);
    m_text->setObjectName(QStringLiteral("FindText"));
    m_text->setPlaceholderText(QStringLiteral("Find"));
    m_text->setMinimumWidth(140);
    auto* previous = new QPushButton(QStringLiteral("Previous"), this);
    previous->setObjectName(QStringLiteral("FindPrevious"));
    auto* next = new QPushButton(QStringLiteral("Next"), this);
    next->setObjectName(QStringLiteral("FindNext"));
    m_matchCase = new QCheckBox(QStringLiteral("Match case"), this);
    m_matchCase->setObjectName(QStringLiteral("FindMatchCase"));
    m_status = new QLabel(this);
    auto* close = new QToolButton(this);
    close->setObjectName(QStringLiteral("FindClose"));
    close->setText(QStringLiteral("x"));
    close->setToolTip(QStringLiteral("Close (Esc)"));
    for (QWidget* w : std::initializer_list<QWidget*>{previous, next, m_matchCase, close})
        w->setFocusPolicy(Qt::TabFocus);
    layout->addWidget(m_text);
    layout->addWidget(previous);
    layout->addWidget(next);
    layout->addWidget(m_matchCase);
    layout->addWidget(m_status);
    layout->addWidget(close);
    connect(previous, &QPushButton::clicked, this, [this] { emit FindRequested(false); });
    connect(next, &QPushButton::clicked, this, [this] { emit FindRequested(true); });
    connect(m_text, &QLineEdit::textChanged, this, [this] { emit PatternChanged(); });
    connect(m_matchCase, &QCheckBox::toggled, this, [this] { emit PatternChanged(); });
    connect(close, &QToolButton::clicked, this, [this] {
        hide();
        emit Closed();
    });
    adjustSize();
}

QByteArray TTermFindBar::Text() const {
    // A character beyond Latin-1 never reaches the screen: it becomes a byte no line holds (an empty
    // cell reads as a space), so that it matches nothing rather than a '?'.
    const QString text = m_text->text();
    QByteArray bytes(text.size(), '\0');
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() <= 0xFF)
            bytes[i] = char(uchar(text[i].unicode()));
    }
    return bytes;
}

bool TTermFindBar::MatchCase() const {
    return m_matchCase->isChecked();
}

void TTermFindBar::SetFound(bool found) {
    m_status->setText(found ? QString() : QStringLiteral("Not found"));
    adjustSize();
}

void TTermFindBar::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Escape:
        hide();
        emit Closed();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit FindRequested(!(e->modifiers() & Qt::ShiftModifier));
        return;
    default:
        QFrame::keyPressEvent(e);
    }
}
