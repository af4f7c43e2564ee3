#include "console/HexLogWindow.h"

#include "console/SessionLog.h"
#include "runtime/Exception.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <climits>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Character columns of a row: the offset, two blanks, 16 hex bytes in two groups, two blanks, the text.
int HexColumn(int digits, int byte) {
    return digits + 2 + byte * 3 + (byte >= 8 ? 1 : 0);
}
int TextColumn(int digits, int byte) {
    return digits + 2 + THexLogView::kBytesPerRow * 3 + 1 + 1 + byte;
}

QChar Printable(char c) {
    const uchar u = uchar(c);
    return u >= 0x20 && u < 0x7F ? QChar(u) : QChar('.');
}

} // namespace

THexLogView::THexLogView(const TSessionLog& log, QWidget* parent) : QAbstractScrollArea(parent), m_log(log) {
    setObjectName(QStringLiteral("HexLogView"));
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    setFont(font);
    const QFontMetrics metrics(font);
    m_charWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('0')));
    m_lineHeight = std::max(1, metrics.height());
    setFocusPolicy(Qt::StrongFocus);
    m_knownSize = m_log.size();
    UpdateScrollRange();
}

int THexLogView::OffsetDigits() const {
    int digits = 8;
    for (qint64 size = m_knownSize >> 32; size > 0; size >>= 4)
        ++digits;
    return digits;
}

qint64 THexLogView::RowCount() const {
    return (m_knownSize + kBytesPerRow - 1) / kBytesPerRow;
}

int THexLogView::VisibleRows() const {
    return std::max(1, viewport()->height() / m_lineHeight);
}

qint64 THexLogView::TopRow() const {
    return verticalScrollBar()->value();
}

void THexLogView::ScrollToRow(qint64 row) {
    verticalScrollBar()->setValue(int(std::clamp<qint64>(row, 0, INT_MAX)));
}

bool THexLogView::AtBottom() const {
    return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void THexLogView::UpdateScrollRange() {
    const qint64 last = std::max<qint64>(0, RowCount() - VisibleRows());
    verticalScrollBar()->setRange(0, int(std::min<qint64>(last, INT_MAX)));
    verticalScrollBar()->setPageStep(VisibleRows());
    const int width = TextColumn(OffsetDigits(), kBytesPerRow) * m_charWidth;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
}

void THexLogView::LogChanged() {
    const qint64 size = m_log.size();
    if (size == m_knownSize)
        return;
    const bool follow = AtBottom();
    m_knownSize = size;
    if (m_anchor >= size || m_cursor >= size)
        m_anchor = m_cursor = -1; // the log was cleared under the selection
    UpdateScrollRange();
    if (follow)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
}

QString THexLogView::RowText(qint64 row) const {
    const qint64 start = row * kBytesPerRow;
    const QByteArray bytes = m_log.Read(start, kBytesPerRow);
    const int digits = OffsetDigits();
    QString text(TextColumn(digits, kBytesPerRow), QLatin1Char(' '));
    for (int i = 0; i < digits; ++i)
        text[digits - 1 - i] = QLatin1Char(kHexDigits[(start >> (4 * i)) & 0xF]);
    for (int i = 0; i < bytes.size(); ++i) {
        const uchar u = uchar(bytes[i]);
        text[HexColumn(digits, i)] = QLatin1Char(kHexDigits[u >> 4]);
        text[HexColumn(digits, i) + 1] = QLatin1Char(kHexDigits[u & 0xF]);
        text[TextColumn(digits, i)] = Printable(bytes[i]);
    }
    text.truncate(TextColumn(digits, int(bytes.size())));
    return text;
}

void THexLogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), palette().base());
    painter.setFont(font());
    const int digits = OffsetDigits();
    const int dx = -horizontalScrollBar()->value();
    const QFontMetrics metrics(font());
    const qint64 top = TopRow();
    const qint64 rows = std::min<qint64>(VisibleRows() + 1, RowCount() - top);
    for (qint64 r = 0; r < rows; ++r) {
        const qint64 row = top + r;
        const int y = int(r) * m_lineHeight;
        if (HasSelection()) {
            const qint64 first = std::max(SelectionStart(), row * kBytesPerRow);
            const qint64 last = std::min(SelectionEnd(), (row + 1) * kBytesPerRow) - 1;
            for (qint64 b = first; b <= last; ++b) {
                const int i = int(b - row * kBytesPerRow);
                painter.fillRect(dx + HexColumn(digits, i) * m_charWidth, y, 2 * m_charWidth, m_lineHeight,
                                 palette().highlight());
                painter.fillRect(dx + TextColumn(digits, i) * m_charWidth, y, m_charWidth, m_lineHeight,
                                 palette().highlight());
            }
        }
        painter.setPen(palette().text().color());
        try {
            painter.drawText(dx, y + metrics.ascent(), RowText(row));
        } catch (const Exception& e) {
            // The temporary file failed: say so once per paint, never from inside the paint.
            const QString text = e.Message();
            QTimer::singleShot(0, this, [this, text] { emit Message(text); });
            break;
        }
    }
}

void THexLogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    const bool follow = AtBottom();
    UpdateScrollRange();
    if (follow)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

qint64 THexLogView::ByteAt(QPoint at) const {
    const int digits = OffsetDigits();
    const int column = (at.x() + horizontalScrollBar()->value()) / m_charWidth;
    const qint64 row = TopRow() + at.y() / m_lineHeight;
    int byte = -1;
    for (int i = 0; i < kBytesPerRow && byte < 0; ++i) {
        const int hex = HexColumn(digits, i);
        if ((column >= hex && column <= hex + 1) || column == TextColumn(digits, i))
            byte = i;
    }
    if (byte < 0)
        return -1;
    const qint64 offset = row * kBytesPerRow + byte;
    return offset < m_knownSize ? offset : -1;
}

void THexLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    const qint64 byte = ByteAt(event->position().toPoint());
    if (byte < 0)
        return;
    if (!(event->modifiers() & Qt::ShiftModifier) || m_anchor < 0)
        m_anchor = byte;
    m_cursor = byte;
    viewport()->update();
}

void THexLogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || m_anchor < 0)
        return;
    const qint64 byte = ByteAt(event->position().toPoint());
    if (byte >= 0 && byte != m_cursor) {
        m_cursor = byte;
        viewport()->update();
    }
}

void THexLogView::Select(qint64 start, qint64 end) {
    start = std::clamp<qint64>(start, 0, m_knownSize);
    end = std::clamp<qint64>(end, start, m_knownSize);
    if (end == start) {
        m_anchor = m_cursor = -1;
    } else {
        m_anchor = start;
        m_cursor = end - 1;
        const qint64 row = start / kBytesPerRow;
        if (row < TopRow() || row >= TopRow() + VisibleRows())
            ScrollToRow(row - VisibleRows() / 2);
    }
    viewport()->update();
}

void THexLogView::SelectAll() {
    if (m_knownSize == 0)
        return;
    m_anchor = 0;
    m_cursor = m_knownSize - 1;
    viewport()->update();
}

QByteArray THexLogView::SelectedBytes(bool& cut) const {
    cut = false;
    if (!HasSelection())
        return {};
    const qint64 length = SelectionEnd() - SelectionStart();
    cut = length > kMaxCopy;
    return m_log.Read(SelectionStart(), std::min(length, kMaxCopy));
}

QString THexLogView::CopyHex() {
    bool cut = false;
    const QByteArray bytes = SelectedBytes(cut);
    if (bytes.isEmpty())
        return {};
    const QString text = QString::fromLatin1(bytes.toHex(' ').toUpper());
    QGuiApplication::clipboard()->setText(text);
    if (cut)
        emit Message(tr("Copied the first %1 bytes").arg(kMaxCopy));
    return text;
}

QString THexLogView::CopyText() {
    bool cut = false;
    const QByteArray bytes = SelectedBytes(cut);
    if (bytes.isEmpty())
        return {};
    const QString text = QString::fromLatin1(bytes);
    QGuiApplication::clipboard()->setText(text);
    if (cut)
        emit Message(tr("Copied the first %1 bytes").arg(kMaxCopy));
    return text;
}

void THexLogView::keyPressEvent(QKeyEvent* event) {
    const auto mods = event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    if (event->key() == Qt::Key_C && mods == Qt::ControlModifier)
        return GuardedCall([this] { CopyHex(); });
    if (event->key() == Qt::Key_C && mods == (Qt::ControlModifier | Qt::ShiftModifier))
        return GuardedCall([this] { CopyText(); });
    if (event->key() == Qt::Key_A && mods == Qt::ControlModifier)
        return SelectAll();
    if (event->key() == Qt::Key_Home && mods == Qt::ControlModifier)
        return ScrollToRow(0);
    if (event->key() == Qt::Key_End && mods == Qt::ControlModifier)
        return ScrollToRow(RowCount());
    QAbstractScrollArea::keyPressEvent(event);
}

void THexLogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* hex = menu.addAction(tr("Copy"), [this] { GuardedCall([this] { CopyHex(); }); });
    QAction* text = menu.addAction(tr("Copy as text"), [this] { GuardedCall([this] { CopyText(); }); });
    hex->setEnabled(HasSelection());
    text->setEnabled(HasSelection());
    menu.addAction(tr("Select all"), [this] { SelectAll(); });
    menu.exec(event->globalPos());
}

// ---- the window ----

THexLogWindow::THexLogWindow(const TSessionLog& log, QWidget* parent)
    : QWidget(parent, Qt::Window), m_log(log) {
    setObjectName(QStringLiteral("HexLogWindow"));
    setWindowTitle(tr("Session log as hex"));
    setAttribute(Qt::WA_DeleteOnClose);
    m_view = new THexLogView(log, this);
    m_findText = new QLineEdit(this);
    m_findText->setObjectName(QStringLiteral("FindText"));
    m_findText->setPlaceholderText(tr("Find"));
    m_findHex = new QCheckBox(tr("Hex"), this);
    m_findHex->setObjectName(QStringLiteral("FindHex"));
    m_next = new QPushButton(tr("Next"), this);
    m_previous = new QPushButton(tr("Previous"), this);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("Message"));

    auto* bar = new QHBoxLayout;
    bar->addWidget(m_findText, 1);
    bar->addWidget(m_findHex);
    bar->addWidget(m_previous);
    bar->addWidget(m_next);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addLayout(bar);
    layout->addWidget(m_message);

    connect(m_next, &QPushButton::clicked, this, [this] { Find(true); });
    connect(m_previous, &QPushButton::clicked, this, [this] { Find(false); });
    connect(m_findText, &QLineEdit::returnPressed, this, [this] { Find(true); });
    connect(m_view, &THexLogView::Message, m_message, &QLabel::setText);

    m_follow = new QTimer(this);
    m_follow->setInterval(kFollowMs);
    connect(m_follow, &QTimer::timeout, this, [this] { m_view->LogChanged(); });
    m_follow->start();

    const QFontMetrics metrics(m_view->font());
    resize(metrics.horizontalAdvance(QString(82, QLatin1Char('0'))), 30 * metrics.height());
    m_view->ScrollToRow(m_view->RowCount());
}

QByteArray THexLogWindow::Needle(const QString& text, bool hex) {
    if (!hex)
        return text.toLatin1();
    QString digits = text;
    digits.remove(QLatin1Char(' '));
    if (digits.size() % 2 != 0)
        return {};
    for (QChar c : digits)
        if (!std::isxdigit(uchar(c.toLatin1())))
            return {};
    return QByteArray::fromHex(digits.toLatin1());
}

void THexLogWindow::Find(bool forward) {
    m_needle = Needle(m_findText->text(), m_findHex->isChecked());
    if (m_needle.isEmpty()) {
        m_searching = false;
        m_message->setText(m_findHex->isChecked() && !m_findText->text().isEmpty()
                               ? tr("Type hex bytes, for example 0D 0A")
                               : QString());
        return;
    }
    m_view->LogChanged();
    m_forward = forward;
    const qint64 size = m_log.size();
    if (forward)
        m_searchPos = m_view->HasSelection() ? m_view->SelectionStart() + 1 : 0;
    else
        m_searchPos = m_view->HasSelection() ? m_view->SelectionStart() : size;
    m_searching = true;
    m_message->setText(tr("Searching..."));
    const quint64 generation = ++m_searchGeneration;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_searchGeneration)
            GuardedCall([this] { SearchStep(); });
    });
}

void THexLogWindow::SearchStep() {
    if (!m_searching)
        return;
    const qint64 size = m_log.size();
    const qint64 overlap = m_needle.size() - 1;
    qint64 found = -1;
    bool done = false;
    if (m_forward) {
        const QByteArray slice = m_log.Read(m_searchPos, kSearchSlice + overlap);
        const qsizetype at = slice.indexOf(m_needle);
        if (at >= 0)
            found = m_searchPos + at;
        m_searchPos += kSearchSlice;
        done = found >= 0 || m_searchPos + overlap >= size;
    } else {
        const qint64 start = std::max<qint64>(0, m_searchPos - kSearchSlice);
        const QByteArray slice = m_log.Read(start, m_searchPos - start + overlap);
        // A match must start before the slice's end (the overlap only completes it).
        const qsizetype at = slice.lastIndexOf(m_needle, qsizetype(m_searchPos - start - 1));
        if (at >= 0 && m_searchPos > start)
            found = start + at;
        m_searchPos = start;
        done = found >= 0 || start == 0;
    }
    if (!done) {
        const quint64 generation = m_searchGeneration;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_searchGeneration)
                GuardedCall([this] { SearchStep(); });
        });
        return;
    }
    m_searching = false;
    if (found < 0) {
        m_message->setText(tr("Not found"));
        return;
    }
    m_view->Select(found, found + m_needle.size());
    m_message->setText(tr("Found at offset %1 (0x%2)").arg(found).arg(found, 0, 16));
}

void THexLogWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F3)
        return Find(!(event->modifiers() & Qt::ShiftModifier));
    if (event->key() == Qt::Key_F && event->modifiers() == Qt::ControlModifier) {
        m_findText->setFocus();
        m_findText->selectAll();
        return;
    }
    QWidget::keyPressEvent(event);
}
