// The terminal's display and keyboard: TComTerminal.
#include "controls/ComTerminal.h"

#include "controls/TermPaste.h"
#include "runtime/Exception.h"
#include "serial/ComLink.h"
#include "serial/ComPort.h"
#include "serial/platform/SerialDevice.h"

#include <QApplication>
#include <QBackingStore>
#include <QClipboard>
#include <QDateTime>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QThread>

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

// Colours of found text: every match, and the one found last.
constexpr uint kMatchFill = 0xFFD75F;
constexpr uint kCurrentMatchFill = 0xFF8700;
constexpr uint kMatchText = 0x000000;

// Highlights of a painted cell.
enum : uint8_t { hlNone, hlSelected, hlMatch, hlCurrentMatch };

} // namespace

// The terminal's scroll bars. While the view follows a growing history the bar's range changes with every
// piece received, but its picture seldom does (the slider sits at the bottom, at its least length): a
// change that leaves the painted bar as it is skips the repaint, which would otherwise repaint (and send
// to the display) the bar, its frame and the window behind them with every piece.
class TTermScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

    // Range and position in one step, so that the picture between the two is not taken for a change.
    void SetRangeAndValue(int min, int max, int value) {
        ++m_batch;
        setRange(min, max);
        setValue(value);
        --m_batch;
        if (m_changed)
            sliderChange(SliderValueChange);
    }

protected:
    void sliderChange(SliderChange change) override {
        if (change == SliderRangeChange || change == SliderValueChange) {
            if (m_batch > 0) {
                m_changed = true;
                return;
            }
            m_changed = false;
            // Transient bars show themselves on a change: that stays as the style wants it.
            if (m_paintedValid && !style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this) &&
                Look() == m_painted)
                return;
        }
        QScrollBar::sliderChange(change);
    }
    void paintEvent(QPaintEvent* e) override {
        // Only what reaches the window counts, not a picture taken with grab() or render().
        if (QBackingStore* store = window()->backingStore();
            store && redirected(nullptr) == store->paintDevice()) {
            m_painted = Look();
            m_paintedValid = true;
        }
        QScrollBar::paintEvent(e);
    }

private:
    // What the bar's picture depends on besides its size and state: where the slider is drawn, and
    // whether the bar can move at all and toward either end.
    struct TLook {
        QRect Slider;
        bool AtMinimum = false;
        bool AtMaximum = false;
        bool Movable = false;
        bool operator==(const TLook&) const = default;
    };
    TLook Look() const {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
                sliderPosition() <= minimum(), sliderPosition() >= maximum(), minimum() < maximum()};
    }
    TLook m_painted;
    bool m_paintedValid = false;
    int m_batch = 0;
    bool m_changed = false;
};

// The margin left of the text that shows each line's arrival time; it scrolls with the lines.
class TTimeMargin : public QWidget {
public:
    explicit TTimeMargin(TComTerminal* term) : QWidget(term), m_term(term) {
        setObjectName(QStringLiteral("TimeMargin"));
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent* e) override {
        QPainter painter(this);
        GuardedCall([&] { m_term->PaintTimes(painter, e->rect()); });
    }

private:
    TComTerminal* m_term;
};

TComTerminal::TComTerminal(QWidget* parent) : TCustomComTerminal(parent) {
    SetView(this);
    m_paste = new TTermPaste(this, [this](const QByteArray& piece) {
        // A port closed meanwhile ends the paste.
        if (!Connected())
            m_paste->Stop();
        else
            SendText(piece);
    });
    m_paste->OnProgress = [this](qsizetype sent, qsizetype total, bool finished) {
        if (OnPasteProgress)
            OnPasteProgress(this, sent, total, finished);
    };
    m_findBar = new TTermFindBar(this);
    m_findBar->hide();
    connect(m_findBar, &TTermFindBar::FindRequested, this,
            [this](bool forward) { GuardedCall([&] { FindNext(forward); }); });
    connect(m_findBar, &TTermFindBar::PatternChanged, this, [this] {
        GuardedCall([&] {
            // Searched afresh from the present match (or the view's top), so typing refines in place.
            const TTermPoint from =
                m_match.Valid() ? TTermPoint{m_match.Line, m_match.Col - 1} : TTermPoint{TopLine(), 0};
            m_match = {};
            m_find.SetPattern(m_findBar->Text(), m_findBar->MatchCase());
            if (m_find.Pattern().isEmpty()) {
                m_findBar->SetFound(true);
                viewport()->update();
                return;
            }
            m_match = m_find.Next(*this, from, true);
            m_findBar->SetFound(m_match.Valid());
            if (m_match.Valid())
                ShowLine(m_match.Line);
            viewport()->update();
        });
    });
    connect(m_findBar, &TTermFindBar::Closed, this, [this] { GuardedCall([&] { HideFind(); }); });
    m_timeMargin = new TTimeMargin(this);
    m_timeMargin->hide();
    // Whatever goes out to the port (a typed key, a command, a paste) brings the view back down.
    ComLink()->OnTxChange = [this](TCustomComPort*, bool on) {
        if (!on)
            return;
        if (QThread::currentThread() == thread())
            ReturnToBottom();
        else
            QMetaObject::invokeMethod(this, [this] { GuardedCall([&] { ReturnToBottom(); }); });
    };
    m_frameTimer = new QTimer(this);
    m_frameTimer->setSingleShot(true);
    connect(m_frameTimer, &QTimer::timeout, this, [this] { GuardedCall([&] { EndHeldFrame(); }); });
    SetColor(kDefaultColor);
    setFocusPolicy(Qt::StrongFocus);
    // Dead keys and input methods deliver their composed characters as input method events.
    setAttribute(Qt::WA_InputMethodEnabled);
    // Every pixel of the client area is painted here, which also lets scrolling move pixels.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    setHorizontalScrollBar(new TTermScrollBar(Qt::Horizontal, this));
    setVerticalScrollBar(new TTermScrollBar(Qt::Vertical, this));
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
    ComLink()->OnTxChange = nullptr;
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
    if (m_showTimes)
        setViewportMargins(kTimeCells * m_fontWidth, 0, 0, 0);
    AdjustScrollBars();
    PlaceOverlays();
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
        // The background: empty cells are not drawn. Filled in bands of a few rows: the raster engine
        // hands taller fills to worker threads, and for an area this small waking them costs more than
        // the fill itself.
        constexpr int kBand = 64;
        for (int y = clip.top(); y <= clip.bottom(); y += kBand)
            painter.fillRect(QRect(clip.left(), y, clip.width(), std::min(kBand, clip.bottom() + 1 - y)),
                             QColor::fromRgb(Color()));
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
        if (m_newBelow && NewBelowMark().intersects(clip)) {
            const QRect mark = NewBelowMark();
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor::fromRgb(kCurrentMatchFill));
            const QPointF points[] = {mark.topLeft(), mark.topRight() + QPointF(1, 0),
                                      QPointF(mark.center().x() + 0.5, mark.bottom() + 1)};
            painter.drawPolygon(points, 3);
        }
    });
}

void TComTerminal::PaintCells(QPainter& painter, int left, int top, int right, int bottom) {
    // Only screen cells that show a cell of the document: the partly visible last column and row are
    // drawn, nothing beyond them. Rows above the grid's first come from the history.
    const TComTermBuffer& buffer = Buffer();
    const TTermHistory& history = History();
    const int columns = std::min(Columns(), buffer.Columns());
    right = std::min(right, columns - m_topLeft.X + 1);
    bottom = std::min(bottom, std::min(Rows(), buffer.Rows()) - m_topLeft.Y + 1);
    left = std::max(left, 1);
    top = std::max(top, 1);
    if (right < left)
        return;
    m_rowCells.resize(size_t(std::max(columns, 1)));
    std::vector<uint8_t> marks(size_t(columns) + 1);
    std::vector<int> matchCols;
    const bool finding = m_findBar->isVisible() && !m_find.Pattern().isEmpty();
    QString run;
    for (int row = top; row <= bottom; ++row) {
        const int bufferRow = row + m_topLeft.Y - 1;
        const qint64 line = GridLine(bufferRow);
        if (bufferRow >= 1) {
            for (int col = 1; col <= columns; ++col)
                m_rowCells[size_t(col - 1)] = buffer.GetCell(col, bufferRow);
        } else {
            const int index = history.Count() + bufferRow - 1;
            if (index < 0)
                continue;
            history.ReadCells(index, m_rowCells.data(), columns);
        }
        // What is selected or found in this row.
        bool marked = false;
        int first = 0, last = 0;
        if (m_selection.ColumnsOf(line, first, last) || finding) {
            std::fill(marks.begin(), marks.end(), uint8_t(hlNone));
            if (m_selection.ColumnsOf(line, first, last)) {
                for (int col = std::max(first, 1); col <= std::min(last, columns); ++col)
                    marks[size_t(col)] = hlSelected;
            }
            if (finding) {
                m_find.MatchesIn(LineText(line), matchCols);
                for (int start : matchCols) {
                    const bool current = m_match.Line == line && m_match.Col == start;
                    for (int col = start; col < start + int(m_find.Pattern().size()) && col <= columns;
                         ++col) {
                        if (marks[size_t(col)] != hlCurrentMatch)
                            marks[size_t(col)] = current ? hlCurrentMatch : hlMatch;
                    }
                }
            }
            marked = true;
        }
        auto markOf = [&](int col) { return marked ? marks[size_t(col)] : uint8_t(hlNone); };
        for (int col = left; col <= right;) {
            const int bufferCol = col + m_topLeft.X - 1;
            const TTermCell cell = m_rowCells[size_t(bufferCol - 1)];
            const uint8_t mark = markOf(bufferCol);
            if (cell.Ch == 0 && mark == hlNone) {
                ++col;
                continue;
            }
            // A run of cells that look alike is drawn in one go.
            const int start = col;
            run.clear();
            for (; col <= right; ++col) {
                const TTermCell& next = m_rowCells[size_t(col + m_topLeft.X - 2)];
                if (markOf(col + m_topLeft.X - 1) != mark || (next.Ch == 0 && mark == hlNone) ||
                    next.TextColor != cell.TextColor || next.FillColor != cell.FillColor ||
                    next.Underline != cell.Underline)
                    break;
                run += QChar(next.Ch ? uchar(next.Ch) : uchar(' '));
            }
            TTermCell look = cell;
            switch (mark) {
            case hlSelected:
                look.TextColor = cell.Ch ? cell.FillColor : Color();
                look.FillColor = cell.Ch ? cell.TextColor : FontColor();
                break;
            case hlMatch:
            case hlCurrentMatch:
                look.TextColor = kMatchText;
                look.FillColor = mark == hlMatch ? kMatchFill : kCurrentMatchFill;
                break;
            default:
                break;
            }
            DrawRun(painter, start, row, run, look);
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

void TComTerminal::DrawCells(int left, int right, int row) {
    if (m_caretHidden > 0)
        MarkDirty(left, row, right, row);
    else
        viewport()->update(CellRect(left, row).united(CellRect(right, row)));
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
    // The screen's rows moving down keep their line numbers: a selection on them would stay on the
    // places, not on its text, so it goes.
    if (!up && m_selection.Active() && m_selection.End().Line >= GridLine(1))
        ClearSelection();
    if (HistoryView() && !m_following) {
        // Up in the history the view stays on its lines: only the grid rows in view change. A row the
        // grid handed to the history keeps its absolute line, so the grid's first row moves down.
        if (!m_dirty.empty()) {
            if (up)
                std::rotate(m_dirty.begin(), m_dirty.begin() + 1, m_dirty.end());
            else
                std::rotate(m_dirty.rbegin(), m_dirty.rbegin() + 1, m_dirty.rend());
            m_dirty[up ? m_dirty.size() - 1 : 0] = {};
        }
        m_viewTopAbs = std::max(m_viewTopAbs, FirstLine());
        m_topLeft.Y = int(m_viewTopAbs - History().Added() + 1);
        m_gridMoved = true;
        SetNewBelow(true);
        if (m_caretHidden == 0)
            FlushBatch();
        return;
    }
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
        if (m_showTimes)
            m_timeMargin->update();
    }
    if (m_gridMoved) {
        m_gridMoved = false;
        viewport()->update(GridRect() & viewport()->rect());
        if (m_showTimes)
            m_timeMargin->update();
    }
    if (m_batchDirty) {
        m_batchDirty = false;
        for (size_t i = 0; i < m_dirty.size(); ++i) {
            TDirtySpan& span = m_dirty[i];
            if (span.Left == 0)
                continue;
            const int row = int(i) + 1;
            viewport()->update(CellRect(span.Left, row).united(CellRect(span.Right, row)));
            if (m_showTimes)
                m_timeMargin->update(0, CellRect(1, row).top(), m_timeMargin->width(), m_fontHeight);
            span = {};
        }
    }
    if (History().Added() != m_seenAdded || FirstLine() != m_seenFirst) {
        m_selection.Clip(FirstLine());
        if (HistoryView() && (History().Count() > 0) != (m_barHistory > 0))
            AdjustScrollBars(); // the vertical bar appears (or goes) with the first history row
        else
            SyncHistoryView();
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
    GuardedCall([&] {
        AdjustScrollBars();
        PlaceOverlays();
    });
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
        m_gridMax = 0;
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
            const bool verticalNeeded =
                HasVerticalBar() && (visibleRows < Rows() || (HistoryView() && History().Count() > 0));
            changed = horizontalNeeded != showHorizontal || verticalNeeded != showVertical;
            showHorizontal = horizontalNeeded;
            showVertical = verticalNeeded;
        }
        horizontal->setRange(0, showHorizontal ? Columns() - visibleColumns : 0);
        horizontal->setPageStep(std::max(1, visibleColumns));
        m_gridMax = showVertical ? std::max(0, Rows() - visibleRows) : 0;
        vertical->setPageStep(std::max(1, visibleRows));
    }
    m_adjustingBars = false;
    SyncTopLeft();
}

void TComTerminal::SyncTopLeft() {
    SyncHistoryView();
    const int x = horizontalScrollBar()->value() + 1;
    if (x == m_topLeft.X)
        return;
    m_topLeft.X = x;
    viewport()->update();
    UpdateCaret();
}

void TComTerminal::SetBarQuietly(QScrollBar* bar, int min, int max, int value) {
    ++m_quietBars;
    if (auto* own = dynamic_cast<TTermScrollBar*>(bar)) {
        own->SetRangeAndValue(min, max, value);
    } else {
        bar->setRange(min, max);
        bar->setValue(value);
    }
    --m_quietBars;
}

void TComTerminal::SyncHistoryView() {
    QScrollBar* bar = verticalScrollBar();
    const bool historyView = HistoryView();
    const int history = historyView ? History().Count() : 0;
    const int max = history + m_gridMax;
    int value = 0;
    if (!historyView) {
        // Without history the position stays where the user left it, within the new range.
        value = std::clamp(bar->value(), 0, max);
    } else if (m_following) {
        value = max;
    } else {
        const qint64 wanted = std::clamp<qint64>(m_viewTopAbs - FirstLine(), 0, max);
        value = int(wanted);
        m_viewTopAbs = FirstLine() + wanted;
    }
    if (bar->minimum() != 0 || bar->maximum() != max || bar->value() != value)
        SetBarQuietly(bar, 0, max, value);
    m_barHistory = history;
    m_seenAdded = History().Added();
    m_seenFirst = FirstLine();
    if (m_following)
        SetNewBelow(false);
    const int y = value - history + 1;
    if (y == m_topLeft.Y)
        return;
    m_topLeft.Y = y;
    viewport()->update();
    if (m_showTimes)
        m_timeMargin->update();
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
    // dx, dy: old position minus new position, in cells. A bar set here (quietly) is followed by the
    // one who set it.
    if (m_quietBars > 0)
        return;
    GuardedCall([&] {
        FlushBatch();
        QScrollBar* vertical = verticalScrollBar();
        if (dy != 0 && HistoryView()) {
            m_following = vertical->value() >= vertical->maximum();
            m_viewTopAbs = FirstLine() + vertical->value();
            if (m_following)
                SetNewBelow(false);
        }
        m_topLeft = {horizontalScrollBar()->value() + 1, vertical->value() - m_barHistory + 1};
        if (m_showTimes && dy != 0)
            m_timeMargin->update();
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
        if (ShortcutKey(e, key)) {
            e->accept();
            return;
        }
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
        ReturnToBottom();
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

bool TComTerminal::ShortcutKey(QKeyEvent* e, int key) {
    const Qt::KeyboardModifiers mods =
        e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (mods == (Qt::ControlModifier | Qt::ShiftModifier)) {
        switch (key) {
        case Qt::Key_C:
            Copy();
            return true;
        case Qt::Key_V:
            Paste(QClipboard::Clipboard);
            return true;
        case Qt::Key_A:
            SelectAll();
            return true;
        case Qt::Key_F:
            ShowFind();
            return true;
        default:
            return false;
        }
    }
    if (mods == Qt::ShiftModifier) {
        const int page = std::max(1, viewport()->height() / m_fontHeight);
        switch (key) {
        case Qt::Key_PageUp:
            ScrollLines(-page);
            return true;
        case Qt::Key_PageDown:
            ScrollLines(page);
            return true;
        case Qt::Key_Home:
            ScrollToTop();
            return true;
        case Qt::Key_End:
            ScrollToBottom();
            return true;
        case Qt::Key_Insert:
            Paste(QClipboard::Clipboard);
            return true;
        default:
            return false;
        }
    }
    if (mods == Qt::NoModifier && key == Qt::Key_End) {
        ScrollToBottom();
        return true;
    }
    if (key == Qt::Key_Escape && Pasting()) {
        StopPaste();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------------------
// History view

void TComTerminal::ScrollToBottom() {
    FlushBatch();
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->maximum());
    if (HistoryView()) {
        m_following = true;
        SetNewBelow(false);
    }
}

void TComTerminal::ReturnToBottom() {
    // Only a view up in the history returns; without history the grid's view stays where it was put.
    if (HistoryView() && !m_following)
        ScrollToBottom();
}

void TComTerminal::ScrollToTop() {
    FlushBatch();
    verticalScrollBar()->setValue(0);
}

void TComTerminal::ScrollLines(int delta) {
    FlushBatch();
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(int(std::clamp<qint64>(qint64(bar->value()) + delta, 0, bar->maximum())));
}

void TComTerminal::ShowLine(qint64 line) {
    FlushBatch();
    const int visible = std::max(1, viewport()->height() / m_fontHeight);
    const qint64 top = TopLine();
    if (line >= top && line < top + visible)
        return;
    // The line a third down the view.
    QScrollBar* bar = verticalScrollBar();
    const qint64 wanted = line - FirstLine() - visible / 3;
    bar->setValue(int(std::clamp<qint64>(wanted, 0, bar->maximum())));
}

QRect TComTerminal::NewBelowMark() const {
    const int size = std::max(8, m_fontHeight * 2 / 3);
    const QRect view = viewport()->rect();
    return {view.right() - size - 4, view.bottom() - size - 4, size, size};
}

void TComTerminal::SetNewBelow(bool on) {
    if (on == m_newBelow)
        return;
    m_newBelow = on;
    viewport()->update(NewBelowMark());
}

// ---------------------------------------------------------------------------------------------------------
// Selection

TTermPoint TComTerminal::PointAt(QPoint pixel) const {
    const int screenCol = pixel.x() < 0 ? 0 : pixel.x() / m_fontWidth;
    const int screenRow = pixel.y() < 0 ? -1 - (-pixel.y() - 1) / m_fontHeight : pixel.y() / m_fontHeight;
    const int col = std::clamp(screenCol + m_topLeft.X, 1, Columns());
    const qint64 line = std::clamp<qint64>(GridLine(screenRow + m_topLeft.Y), FirstLine(), EndLine() - 1);
    return {line, col};
}

void TComTerminal::SelectionChanged() {
    viewport()->update();
}

void TComTerminal::SelectAll() {
    m_selection.SelectAll(*this);
    SelectionChanged();
    SetPrimarySelection();
}

void TComTerminal::SetPrimarySelection() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (m_selection.Active() && clipboard->supportsSelection())
        clipboard->setText(QString::fromLatin1(SelectedText()), QClipboard::Selection);
}

void TComTerminal::ClearSelection() {
    if (!m_selection.Active())
        return;
    m_selection.Clear();
    SelectionChanged();
}

void TComTerminal::Copy() {
    if (!m_selection.Active())
        return;
    QGuiApplication::clipboard()->setText(QString::fromLatin1(SelectedText()), QClipboard::Clipboard);
}

void TComTerminal::ButtonPress(QMouseEvent* e, bool doubleClick) {
    if (e->button() == Qt::MiddleButton) {
        Paste(QClipboard::Selection);
        return;
    }
    if (e->button() != Qt::LeftButton)
        return;
    // Clicks close in time and place count up to a triple click.
    const QPoint pos = e->position().toPoint();
    const bool again = doubleClick || (m_lastClick.isValid() &&
                                       !m_lastClick.hasExpired(QApplication::doubleClickInterval()) &&
                                       (pos - m_lastClickPos).manhattanLength() <= 4);
    m_clicks = again ? std::min(m_clicks + 1, 3) : 1;
    m_lastClick.start();
    m_lastClickPos = pos;
    const TTermPoint at = PointAt(pos);
    if (m_clicks == 1 && (e->modifiers() & Qt::ShiftModifier) && m_selection.Active()) {
        m_selection.Extend(*this, at);
    } else if (m_clicks == 1) {
        m_selection.Clear();
    } else {
        m_selection.Start(*this, at, m_clicks == 2 ? TTermSelection::suWord : TTermSelection::suLine);
    }
    m_dragging = true;
    m_dragAnchor = at;
    SelectionChanged();
}

void TComTerminal::mousePressEvent(QMouseEvent* e) {
    TCustomComTerminal::mousePressEvent(e);
    GuardedCall([&] { ButtonPress(e, false); });
}

void TComTerminal::mouseDoubleClickEvent(QMouseEvent* e) {
    GuardedCall([&] { ButtonPress(e, true); });
}

void TComTerminal::mouseMoveEvent(QMouseEvent* e) {
    GuardedCall([&] {
        if (!m_dragging || !(e->buttons() & Qt::LeftButton))
            return;
        const QPoint pos = e->position().toPoint();
        // Beyond the top or bottom edge the view follows the drag.
        if (pos.y() < 0)
            ScrollLines(-1);
        else if (pos.y() >= viewport()->height())
            ScrollLines(1);
        const TTermPoint at = PointAt(pos);
        if (!m_selection.Active()) {
            if (at == m_dragAnchor)
                return;
            m_selection.Start(*this, m_dragAnchor, TTermSelection::suChar);
        }
        m_selection.Extend(*this, at);
        SelectionChanged();
    });
}

void TComTerminal::mouseReleaseEvent(QMouseEvent* e) {
    GuardedCall([&] {
        if (e->button() != Qt::LeftButton || !m_dragging)
            return;
        m_dragging = false;
        SetPrimarySelection();
    });
}

// ---------------------------------------------------------------------------------------------------------
// Paste

void TComTerminal::Paste(QClipboard::Mode mode) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (mode == QClipboard::Selection && !clipboard->supportsSelection())
        return;
    PasteText(clipboard->text(mode));
}

void TComTerminal::PasteText(const QString& text) {
    if (text.isEmpty())
        return;
    // Only 8-bit characters go on the line, as for typing.
    QByteArray bytes;
    bytes.reserve(text.size());
    bool dropped = false;
    for (QChar ch : text) {
        if (ch.unicode() > 0xFF)
            dropped = true;
        else
            bytes += char(uchar(ch.unicode()));
    }
    if (dropped)
        QApplication::beep();
    bytes = TTermPaste::LineEndsAsEnter(bytes);
    if (bytes.isEmpty() || !Connected())
        return;
    if (bytes.size() > kPasteAskBytes && !(OnConfirmPaste && OnConfirmPaste(this, bytes.size())))
        return;
    ReturnToBottom();
    const int baud = ComPort() ? BuildDcb(*ComPort()).BaudRate : 9600;
    m_paste->Start(bytes, TTermPaste::PieceFor(baud));
}

bool TComTerminal::Pasting() const {
    return m_paste->Active();
}

void TComTerminal::StopPaste() {
    m_paste->Stop();
}

// ---------------------------------------------------------------------------------------------------------
// Find

void TComTerminal::PlaceOverlays() {
    const QRect view = viewport()->geometry();
    if (m_findBar) {
        m_findBar->adjustSize();
        const int width = std::min(m_findBar->sizeHint().width(), view.width());
        m_findBar->setGeometry(view.right() + 1 - width, view.top(), width, m_findBar->sizeHint().height());
    }
    if (m_timeMargin) {
        const int width = m_showTimes ? kTimeCells * m_fontWidth : 0;
        m_timeMargin->setGeometry(view.left() - width, view.top(), width, view.height());
    }
}

void TComTerminal::ShowFind() {
    PlaceOverlays();
    m_findBar->show();
    m_findBar->raise();
    m_findBar->TextField()->setFocus();
    m_findBar->TextField()->selectAll();
    viewport()->update();
}

void TComTerminal::HideFind() {
    m_findBar->hide();
    m_match = {};
    setFocus();
    viewport()->update();
}

bool TComTerminal::FindNext(bool forward) {
    m_find.SetPattern(m_findBar->Text(), m_findBar->MatchCase());
    const TTermPoint from = m_match.Valid() ? TTermPoint{m_match.Line, m_match.Col}
                            : forward       ? TTermPoint{TopLine(), 0}
                                            : TTermPoint{EndLine() - 1, TTermSelection::kAllColumns};
    m_match = m_find.Next(*this, from, forward);
    m_findBar->SetFound(m_match.Valid() || m_find.Pattern().isEmpty());
    if (m_match.Valid())
        ShowLine(m_match.Line);
    viewport()->update();
    return m_match.Valid();
}

// ---------------------------------------------------------------------------------------------------------
// Times

QString TComTerminal::TimeText(qint64 msSinceEpoch) {
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch).toString(QStringLiteral("HH:mm:ss.zzz"));
}

void TComTerminal::SetShowTimes(bool on) {
    if (on == m_showTimes)
        return;
    m_showTimes = on;
    setViewportMargins(on ? kTimeCells * m_fontWidth : 0, 0, 0, 0);
    m_timeMargin->setVisible(on);
    PlaceOverlays();
    AdjustScrollBars();
    m_timeMargin->update();
    viewport()->update();
}

void TComTerminal::PaintTimes(QPainter& painter, const QRect& clip) {
    painter.fillRect(clip, QColor::fromRgb(Color()));
    painter.setFont(m_paintFont);
    painter.setPen(QColor::fromRgb(AltColor()));
    const int first = clip.top() / m_fontHeight + 1;
    const int last = clip.bottom() / m_fontHeight + 1;
    for (int row = first; row <= last; ++row) {
        const qint64 line = GridLine(row + m_topLeft.Y - 1);
        if (line < FirstLine() || line >= EndLine())
            continue;
        const qint64 time = LineTime(line);
        if (time == 0)
            continue;
        painter.drawText(0, (row - 1) * m_fontHeight + m_fontAscent, TimeText(time));
    }
}
