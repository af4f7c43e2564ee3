// The terminal's display and keyboard: TComTerminal.
#include "controls/ComTerminal.h"

#include "runtime/Exception.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QScreen>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kDefaultPointSize = 9;
constexpr uint kDefaultColor = 0x000000;

// A font is taken as fixed-pitch when a narrow and a wide letter advance alike. The font's own
// fixed-pitch flag is not trusted: some monospaced families here report false, and their maximum
// character width is far wider than their advance.
bool AdvancesAlike(const QFont& font) {
    const QFontMetrics metrics(font);
    return metrics.horizontalAdvance(QLatin1Char('i')) == metrics.horizontalAdvance(QLatin1Char('W'));
}

// The family of DefaultFont: the first fixed-pitch family that the font database knows, the system's
// fixed font first. Chosen once per process.
QString FixedFamily() {
    static const QString family = [] {
        const QString system = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
        const QString candidates[] = {system, QStringLiteral("DejaVu Sans Mono"),
                                      QStringLiteral("Liberation Mono"), QStringLiteral("Noto Sans Mono"),
                                      QStringLiteral("Noto Mono")};
        for (const QString& candidate : candidates) {
            if (!candidate.isEmpty() && QFontDatabase::hasFamily(candidate) &&
                QFontDatabase::isFixedPitch(candidate) && AdvancesAlike(QFont(candidate, kDefaultPointSize)))
                return candidate;
        }
        return system;
    }();
    return family;
}

} // namespace

TComTerminal::TComTerminal(QWidget* parent) : TCustomComTerminal(parent) {
    SetView(this);
    m_frameTimer = new QTimer(this);
    m_frameTimer->setSingleShot(true);
    connect(m_frameTimer, &QTimer::timeout, this, [this] { GuardedCall([&] { EndHeldFrame(); }); });
    SetColor(kDefaultColor);
    setFocusPolicy(Qt::StrongFocus);
    // Dead keys and input methods deliver their composed characters as input method events.
    setAttribute(Qt::WA_InputMethodEnabled);
    // Every pixel of the client area is painted here, which also lets scrolling move pixels.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    for (QScrollBar* bar : {horizontalScrollBar(), verticalScrollBar()}) {
        bar->setTracking(m_smoothScroll);
        bar->setSingleStep(1);
        // Only line, page and thumb requests move the view; the bars' scroll-to-end menu is not offered.
        bar->setContextMenuPolicy(Qt::NoContextMenu);
    }
    ApplyWindowStyle();
    resize(kDefaultWidth, kDefaultHeight);
    setFont(DefaultFont());
    FontChanged(); // also when the font equals the inherited one and no change was announced
}

TComTerminal::~TComTerminal() {
    SetView(nullptr);
}

QFont TComTerminal::DefaultFont() {
    QFont font(FixedFamily(), kDefaultPointSize);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

// ---------------------------------------------------------------------------------------------------------
// Properties

void TComTerminal::SetBorderStyle(TBorderStyle value) {
    if (value == m_borderStyle)
        return;
    m_borderStyle = value;
    ApplyWindowStyle();
}

void TComTerminal::SetCtl3D(bool value) {
    if (value == m_ctl3D)
        return;
    m_ctl3D = value;
    ApplyWindowStyle();
}

void TComTerminal::SetScrollBars(TScrollStyle value) {
    if (value == m_scrollBars)
        return;
    m_scrollBars = value;
    ApplyWindowStyle();
}

void TComTerminal::SetSmoothScroll(bool value) {
    m_smoothScroll = value;
    horizontalScrollBar()->setTracking(value);
    verticalScrollBar()->setTracking(value);
}

void TComTerminal::SetCaret(TTermCaret value) {
    if (value == m_caret)
        return;
    m_caret = value;
    if (hasFocus() || m_caretCreated) {
        DestroyTerminalCaret();
        CreateTerminalCaret();
    }
}

void TComTerminal::ApplyWindowStyle() {
    if (m_borderStyle == bsNone) {
        setFrameStyle(QFrame::NoFrame);
    } else if (m_ctl3D) {
        setFrameStyle(QFrame::Panel | QFrame::Sunken);
        setLineWidth(2);
    } else {
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setLineWidth(1);
    }
    setHorizontalScrollBarPolicy(HasHorizontalBar() ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(HasVerticalBar() ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    AdjustScrollBars();
    viewport()->update();
}

// ---------------------------------------------------------------------------------------------------------
// Font

bool TComTerminal::GetFontMetrics() {
    const QFontMetrics metrics(font());
    m_fontWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('W')));
    m_fontHeight = std::max(1, metrics.ascent() + metrics.descent());
    m_fontAscent = metrics.ascent();
    m_paintFont = font();
    m_paintFont.setUnderline(false);
    m_underlineFont = m_paintFont;
    m_underlineFont.setUnderline(true);
    m_rawFont = QRawFont::fromFont(m_paintFont);
    return AdvancesAlike(font());
}

void TComTerminal::FontChanged() {
    const bool fixedPitch = GetFontMetrics();
    QFont wanted = font();
    // The fallback is applied once: its own measurement never leads to a second replacement.
    if (!fixedPitch && !m_adjustingFont)
        wanted.setFamily(DefaultFont().family());
    wanted.setUnderline(false);
    if (!m_adjustingFont && wanted != font()) {
        m_adjustingFont = true;
        setFont(wanted); // announces a change of its own, measured there
        m_adjustingFont = false;
        GetFontMetrics();
    }
    AdjustScrollBars();
    if (m_caretCreated) {
        DestroyTerminalCaret();
        CreateTerminalCaret();
    }
    viewport()->update();
}

void TComTerminal::changeEvent(QEvent* e) {
    TCustomComTerminal::changeEvent(e);
    GuardedCall([&] {
        if (e->type() == QEvent::FontChange)
            FontChanged();
        else if (e->type() == QEvent::StyleChange)
            AdjustScrollBars();
    });
}

// ---------------------------------------------------------------------------------------------------------
// Painting

QRect TComTerminal::CellRect(int col, int row) const {
    return {(col - m_topLeft.X) * m_fontWidth, (row - m_topLeft.Y) * m_fontHeight, m_fontWidth, m_fontHeight};
}

QRect TComTerminal::GridRect() const {
    return {(1 - m_topLeft.X) * m_fontWidth, (1 - m_topLeft.Y) * m_fontHeight, Columns() * m_fontWidth,
            Rows() * m_fontHeight};
}

void TComTerminal::paintEvent(QPaintEvent* e) {
    GuardedCall([&] {
        if (m_pendingScroll != 0) {
            // Painted in the middle of a block (a handler let the event loop run) or of a held frame:
            // the pending scroll cannot be applied to pixels painted now, so everything is painted
            // again afterwards (a held frame does it at its end).
            DiscardBatch();
            if (m_frameHeld)
                m_repaintAtFrameEnd = true;
            else
                viewport()->update();
        }
        QPainter painter(viewport());
        const QRect clip = e->rect();
        // The background: empty cells are not drawn.
        painter.fillRect(clip, QColor::fromRgb(Color()));
        painter.setFont(m_paintFont);
        PaintCells(painter, clip.left() / m_fontWidth + 1, clip.top() / m_fontHeight + 1,
                   clip.right() / m_fontWidth + 1, clip.bottom() / m_fontHeight + 1);
        if (clip.contains(m_caretPainted))
            m_caretPainted = {};
        if (const QRect caret = CaretRect(); caret.intersects(clip)) {
            // Inverted pixels, as a solid system caret looks.
            painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            painter.fillRect(caret, Qt::white);
            m_caretPainted = caret;
        }
        m_caretDrawn = CaretRect();
    });
}

void TComTerminal::PaintCells(QPainter& painter, int left, int top, int right, int bottom) {
    // Only screen cells that show a cell of the grid: the partly visible last column and row are drawn,
    // nothing beyond them.
    const TComTermBuffer& buffer = Buffer();
    right = std::min(right, std::min(Columns(), buffer.Columns()) - m_topLeft.X + 1);
    bottom = std::min(bottom, std::min(Rows(), buffer.Rows()) - m_topLeft.Y + 1);
    left = std::max(left, 1);
    top = std::max(top, 1);
    QString run;
    for (int row = top; row <= bottom; ++row) {
        const int bufferRow = row + m_topLeft.Y - 1;
        for (int col = left; col <= right;) {
            const TTermCell cell = buffer.GetCell(col + m_topLeft.X - 1, bufferRow);
            if (cell.Ch == 0) {
                ++col;
                continue;
            }
            // A run of cells that look alike is drawn in one go.
            const int start = col;
            run.clear();
            for (; col <= right; ++col) {
                const TTermCell next = buffer.GetCell(col + m_topLeft.X - 1, bufferRow);
                if (next.Ch == 0 || next.TextColor != cell.TextColor || next.FillColor != cell.FillColor ||
                    next.Underline != cell.Underline)
                    break;
                run += QChar(uchar(next.Ch));
            }
            DrawRun(painter, start, row, run, cell);
        }
    }
}

void TComTerminal::DrawChar(QPainter& painter, int col, int row, const TTermCell& cell) {
    DrawRun(painter, col, row, QString(QChar(uchar(cell.Ch))), cell);
}

void TComTerminal::DrawRun(QPainter& painter, int col, int row, const QString& text, const TTermCell& look) {
    const QRect rect((col - 1) * m_fontWidth, (row - 1) * m_fontHeight, m_fontWidth * int(text.size()),
                     m_fontHeight);
    painter.fillRect(rect, QColor::fromRgb(look.FillColor));
    painter.setPen(QColor::fromRgb(look.TextColor));
    // Glyphs placed on the cell grid exactly, whatever the font's fractional advance; a character the
    // font has no glyph for is left to the text layout, which falls back to another font.
    QList<quint32> glyphs = m_rawFont.isValid() ? m_rawFont.glyphIndexesForString(text) : QList<quint32>();
    if (!glyphs.isEmpty() && !glyphs.contains(0u)) {
        QList<QPointF> positions(glyphs.size());
        for (qsizetype i = 0; i < positions.size(); ++i)
            positions[i] = QPointF(qreal(i * m_fontWidth), 0);
        QGlyphRun glyphRun;
        glyphRun.setRawFont(m_rawFont);
        glyphRun.setGlyphIndexes(glyphs);
        glyphRun.setPositions(positions);
        glyphRun.setUnderline(look.Underline);
        painter.drawGlyphRun(QPointF(rect.left(), rect.top() + m_fontAscent), glyphRun);
        return;
    }
    painter.setFont(look.Underline ? m_underlineFont : m_paintFont);
    for (qsizetype i = 0; i < text.size(); ++i)
        painter.drawText(rect.left() + int(i) * m_fontWidth, rect.top() + m_fontAscent, QString(text[i]));
}

// ---------------------------------------------------------------------------------------------------------
// The data path's requests

// While the caret is hidden (a received block, an echo) the requests are collected as a dirty column
// span per grid row, and line scrolls as one pending pixel scroll; the end of the block scrolls once and
// repaints one rectangle per dirty row. A block of many lines then costs one scroll, not one per line.

void TComTerminal::DrawCell(int col, int row) {
    if (m_caretHidden <= 0) {
        viewport()->update(CellRect(col, row));
        return;
    }
    // The common case while text arrives: the cell just right of (or inside) the row's marked span.
    const int columns = TCustomComTerminal::Columns();
    if (row >= 1 && size_t(row) <= m_dirty.size() && m_dirty.size() == size_t(TCustomComTerminal::Rows()) &&
        col >= 1 && col <= columns) {
        TDirtySpan& span = m_dirty[size_t(row - 1)];
        if (span.Left != 0 && col >= span.Left && col <= span.Right + 1) {
            span.Right = std::max(span.Right, col);
            m_batchDirty = true;
            return;
        }
    }
    MarkDirty(col, row, col, row);
}

void TComTerminal::InvalidateCells(int left, int top, int right, int bottom) {
    if (m_caretHidden > 0) {
        MarkDirty(left, top, right, bottom);
        return;
    }
    const int x1 = std::max((left - m_topLeft.X) * m_fontWidth, 0);
    const int y1 = std::max((top - m_topLeft.Y) * m_fontHeight, 0);
    const int x2 = std::max((right - m_topLeft.X + 1) * m_fontWidth, 0);
    const int y2 = std::max((bottom - m_topLeft.Y + 1) * m_fontHeight, 0);
    if (x2 > x1 && y2 > y1)
        viewport()->update(x1, y1, x2 - x1, y2 - y1);
}

void TComTerminal::InvalidateAll() {
    DiscardBatch();
    viewport()->update();
}

void TComTerminal::ScrollTextArea(bool up) {
    const int step = up ? -1 : 1;
    if (m_pendingScroll != 0 && (m_pendingScroll < 0) != up)
        FlushBatch();
    m_pendingScroll += step;
    // Collected requests move with the text; the uncovered row is blank and repainted.
    if (!m_dirty.empty()) {
        if (up)
            std::rotate(m_dirty.begin(), m_dirty.begin() + 1, m_dirty.end());
        else
            std::rotate(m_dirty.rbegin(), m_dirty.rbegin() + 1, m_dirty.rend());
        m_dirty[up ? m_dirty.size() - 1 : 0] = {};
    }
    MarkDirty(1, up ? Rows() : 1, Columns(), up ? Rows() : 1);
    if (m_caretHidden == 0)
        FlushBatch();
}

void TComTerminal::MarkDirty(int left, int top, int right, int bottom) {
    if (m_dirty.size() != size_t(Rows()))
        m_dirty.assign(size_t(Rows()), {});
    left = std::max(left, 1);
    right = std::min(right, Columns());
    top = std::max(top, 1);
    bottom = std::min(bottom, Rows());
    if (left > right)
        return;
    for (int row = top; row <= bottom; ++row) {
        TDirtySpan& span = m_dirty[size_t(row - 1)];
        if (span.Left == 0) {
            span = {left, right};
        } else {
            span.Left = std::min(span.Left, left);
            span.Right = std::max(span.Right, right);
        }
    }
    m_batchDirty = true;
}

void TComTerminal::FlushBatch() {
    if (m_pendingScroll != 0) {
        const int dy = m_pendingScroll * m_fontHeight;
        m_pendingScroll = 0;
        const QRect area = GridRect() & viewport()->rect();
        if (!area.isEmpty()) {
            if (std::abs(dy) < area.height())
                viewport()->scroll(0, dy, area);
            else
                viewport()->update(area);
        }
        // The caret's inverted pixels moved with the text.
        if (!m_caretPainted.isEmpty()) {
            m_caretPainted.translate(0, dy);
            viewport()->update(m_caretPainted);
        }
    }
    if (m_batchDirty) {
        m_batchDirty = false;
        for (size_t i = 0; i < m_dirty.size(); ++i) {
            TDirtySpan& span = m_dirty[i];
            if (span.Left == 0)
                continue;
            const int row = int(i) + 1;
            viewport()->update(CellRect(span.Left, row).united(CellRect(span.Right, row)));
            span = {};
        }
    }
}

void TComTerminal::DiscardBatch() {
    m_pendingScroll = 0;
    m_batchDirty = false;
    m_dirty.clear();
}

void TComTerminal::GridResized() {
    AdjustScrollBars();
}

// ---------------------------------------------------------------------------------------------------------
// Caret

QRect TComTerminal::CaretRect() const {
    if (!m_caretCreated || m_caretHidden > 0 || m_caretHeight <= 0)
        return {};
    const TTermPos caret = CaretPos();
    return {(caret.X - m_topLeft.X) * m_fontWidth,
            (caret.Y - m_topLeft.Y) * m_fontHeight + m_fontHeight - m_caretHeight, m_fontWidth,
            m_caretHeight};
}

void TComTerminal::UpdateCaret() {
    const QRect now = CaretRect();
    if (now == m_caretDrawn)
        return;
    if (!m_caretDrawn.isEmpty())
        viewport()->update(m_caretDrawn);
    if (!now.isEmpty())
        viewport()->update(now);
    m_caretDrawn = now;
}

void TComTerminal::MoveCaret(int, int) {
    // A hidden caret that is not drawn has nothing to move (every character of a received block).
    if (m_caretHidden > 0 && m_caretDrawn.isEmpty())
        return;
    UpdateCaret();
}

void TComTerminal::HideCaret() {
    ++m_caretHidden;
    UpdateCaret();
}

void TComTerminal::ShowCaret() {
    m_caretHidden = std::max(0, m_caretHidden - 1);
    if (m_caretHidden == 0) {
        if (ReceivingFromPort() && m_lastFlush.isValid() && !m_lastFlush.hasExpired(FrameMs())) {
            // Port data less than a frame after the last flush: hold everything to the frame's end.
            m_caretHidden = 1;
            m_frameHeld = true;
            if (!m_frameTimer->isActive())
                m_frameTimer->start(int(std::max<qint64>(1, FrameMs() - m_lastFlush.elapsed())));
            return;
        }
        FlushBatch();
        m_lastFlush.start();
    }
    UpdateCaret();
}

void TComTerminal::EndHeldFrame() {
    if (!m_frameHeld)
        return;
    m_frameHeld = false;
    if (m_repaintAtFrameEnd) {
        m_repaintAtFrameEnd = false;
        DiscardBatch();
        viewport()->update();
    }
    ShowCaret();
}

int TComTerminal::FrameMs() const {
    const QScreen* shown = screen();
    const qreal rate = shown && shown->refreshRate() > 1 ? shown->refreshRate() : 60;
    return int(std::ceil(1000.0 / rate));
}

void TComTerminal::CreateTerminalCaret() {
    switch (m_caret) {
    case tcBlock:
        m_caretHeight = m_fontHeight;
        break;
    case tcUnderline:
        m_caretHeight = m_fontHeight / 8;
        break;
    case tcNone:
        m_caretHeight = 0;
        break;
    }
    m_caretCreated = m_caretHeight > 0;
    UpdateCaret();
}

void TComTerminal::DestroyTerminalCaret() {
    m_caretCreated = false;
    UpdateCaret();
}

void TComTerminal::focusInEvent(QFocusEvent* e) {
    TCustomComTerminal::focusInEvent(e);
    GuardedCall([&] { CreateTerminalCaret(); });
}

void TComTerminal::focusOutEvent(QFocusEvent* e) {
    GuardedCall([&] { DestroyTerminalCaret(); });
    TCustomComTerminal::focusOutEvent(e);
}

// ---------------------------------------------------------------------------------------------------------
// Scroll bars

void TComTerminal::resizeEvent(QResizeEvent* e) {
    TCustomComTerminal::resizeEvent(e);
    GuardedCall([&] { AdjustScrollBars(); });
}

void TComTerminal::AdjustScrollBars() {
    // Showing or hiding a bar resizes the client area, which must not re-enter here.
    if (m_adjustingBars)
        return;
    m_adjustingBars = true;
    QScrollBar* horizontal = horizontalScrollBar();
    QScrollBar* vertical = verticalScrollBar();
    if (m_scrollBars == ssNone) {
        // Without bars the view shows the grid from its first cell.
        horizontal->setRange(0, 0);
        vertical->setRange(0, 0);
    } else {
        // The client area without bars, then each bar where the grid does not fit; a vertical bar can
        // make the horizontal one necessary and the other way round.
        const QSize full = maximumViewportSize();
        const int barHeight = horizontal->sizeHint().height();
        const int barWidth = vertical->sizeHint().width();
        bool showHorizontal = false;
        bool showVertical = false;
        int visibleColumns = 0;
        int visibleRows = 0;
        for (bool changed = true; changed;) {
            visibleColumns = (full.width() - (showVertical ? barWidth : 0)) / m_fontWidth;
            visibleRows = (full.height() - (showHorizontal ? barHeight : 0)) / m_fontHeight;
            const bool horizontalNeeded = HasHorizontalBar() && visibleColumns < Columns();
            const bool verticalNeeded = HasVerticalBar() && visibleRows < Rows();
            changed = horizontalNeeded != showHorizontal || verticalNeeded != showVertical;
            showHorizontal = horizontalNeeded;
            showVertical = verticalNeeded;
        }
        horizontal->setRange(0, showHorizontal ? Columns() - visibleColumns : 0);
        horizontal->setPageStep(std::max(1, visibleColumns));
        vertical->setRange(0, showVertical ? Rows() - visibleRows : 0);
        vertical->setPageStep(std::max(1, visibleRows));
    }
    m_adjustingBars = false;
    SyncTopLeft();
}

void TComTerminal::SyncTopLeft() {
    const TTermPos topLeft{horizontalScrollBar()->value() + 1, verticalScrollBar()->value() + 1};
    if (topLeft == m_topLeft)
        return;
    m_topLeft = topLeft;
    viewport()->update();
    UpdateCaret();
}

void TComTerminal::ModifyScrollBar(Qt::Orientation bar, TScrollRequest request, int position) {
    if (request == srEndScroll || (request == srThumbTrack && !m_smoothScroll))
        return;
    const bool vertical = bar == Qt::Vertical;
    QScrollBar* scrollBar = vertical ? verticalScrollBar() : horizontalScrollBar();
    const int old = scrollBar->value();
    const int page = vertical ? viewport()->height() / m_fontHeight : viewport()->width() / m_fontWidth;
    int wanted = old;
    switch (request) {
    case srLineUp:
        wanted = old - 1;
        break;
    case srLineDown:
        wanted = old + 1;
        break;
    case srPageUp:
        wanted = old - page;
        break;
    case srPageDown:
        wanted = old + page;
        break;
    case srThumbPosition:
    case srThumbTrack:
        wanted = position;
        break;
    case srTop:
    case srBottom:
    case srEndScroll:
        break;
    }
    // The bar clamps to its range; the view follows through scrollContentsBy.
    scrollBar->setValue(wanted);
}

void TComTerminal::scrollContentsBy(int dx, int dy) {
    // dx, dy: old position minus new position, in cells.
    GuardedCall([&] {
        FlushBatch();
        m_topLeft = {horizontalScrollBar()->value() + 1, verticalScrollBar()->value() + 1};
        viewport()->scroll(dx * m_fontWidth, dy * m_fontHeight);
        if (!m_caretPainted.isEmpty()) {
            m_caretPainted.translate(dx * m_fontWidth, dy * m_fontHeight);
            viewport()->update(m_caretPainted);
        }
        m_caretDrawn = {};
        UpdateCaret();
    });
}

// ---------------------------------------------------------------------------------------------------------
// Keyboard

bool TComTerminal::event(QEvent* e) {
    // With WantTab the Tab key is typed into the terminal instead of moving the focus.
    if (e->type() == QEvent::KeyPress && m_wantTab) {
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Tab && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            keyPressEvent(key);
            return true;
        }
    }
    return TCustomComTerminal::event(e);
}

void TComTerminal::inputMethodEvent(QInputMethodEvent* e) {
    // A composed character is typed like the key that would have produced it.
    if (!e->commitString().isEmpty()) {
        QKeyEvent typed(QEvent::KeyPress, 0, Qt::NoModifier, e->commitString());
        keyPressEvent(&typed);
    }
    e->accept();
}

void TComTerminal::DoKeyDown(int& key, Qt::KeyboardModifiers modifiers) {
    if (OnKeyDown)
        OnKeyDown(this, key, modifiers);
}

void TComTerminal::DoKeyPress(QChar& key) {
    if (OnKeyPress)
        OnKeyPress(this, key);
}

void TComTerminal::keyPressEvent(QKeyEvent* e) {
    GuardedCall([&] {
        int key = e->key();
        DoKeyDown(key, e->modifiers());
        TEscapeCode code = ecUnknown;
        TEscapeCode appCode = ecUnknown;
        switch (key) {
        case Qt::Key_Home:
            code = ecCursorHome;
            break;
        case Qt::Key_Left:
            code = ecCursorLeft;
            appCode = ecAppCursorLeft;
            break;
        case Qt::Key_Up:
            code = ecCursorUp;
            appCode = ecAppCursorUp;
            break;
        case Qt::Key_Right:
            code = ecCursorRight;
            appCode = ecAppCursorRight;
            break;
        case Qt::Key_Down:
            code = ecCursorDown;
            appCode = ecAppCursorDown;
            break;
        default:
            break;
        }
        if (code != ecUnknown) {
            if (AppCursorKeys()) {
                if (appCode != ecUnknown)
                    TransmitCode(appCode);
            } else if (m_arrowKeys == akWindows) {
                QByteArrayList none;
                ExecuteCode(code, none);
            } else {
                TransmitCode(code);
            }
            e->accept();
            return;
        }

        // Character input: the key's text, byte by byte.
        const QString text = e->text();
        if (text.isEmpty()) {
            e->ignore();
            return;
        }
        for (QChar ch : text) {
            DoKeyPress(ch);
            if (ch.unicode() > 0xFF) {
                // Only 8-bit characters go on the line.
                QApplication::beep();
                continue;
            }
            SendChar(char(uchar(ch.unicode())));
        }
        e->accept();
    });
}
