#pragma once

#include "controls/ComTermBuffer.h"
#include "controls/EscapeCodes.h"
#include "controls/TermFind.h"
#include "controls/TermHistory.h"
#include "controls/TermSelection.h"
#include "runtime/Component.h"
#include "serial/ComPort.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QByteArrayList>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFont>
#include <QPoint>
#include <QRawFont>
#include <QRect>
#include <QTimer>

#include <typeinfo>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class TComLink;
class TCustomComPort;
class TTermPaste;

namespace CPortCtl {
Q_NAMESPACE

enum TTermEmulation { teVT100orANSI, teVT52, teNone };
Q_ENUM_NS(TTermEmulation)

enum TCaretMove : uint8_t { cmNextChar, cmLineStart, cmLineDown, cmLineUp, cmNextTab, cmBack };
Q_ENUM_NS(TCaretMove)

enum TArrowKeys { akTerminal, akWindows };
Q_ENUM_NS(TArrowKeys)

enum TTermCaret { tcBlock, tcUnderline, tcNone };
Q_ENUM_NS(TTermCaret)

enum TBorderStyle { bsNone, bsSingle };
Q_ENUM_NS(TBorderStyle)

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
Q_ENUM_NS(TScrollStyle)

// A scroll request on one of the terminal's bars (ModifyScrollBar).
enum TScrollRequest {
    srLineUp,        // also left
    srLineDown,      // also right
    srPageUp,        // also left
    srPageDown,      // also right
    srThumbPosition, // the scroll box was released at a position
    srThumbTrack,    // the scroll box is being dragged
    srTop,
    srBottom,
    srEndScroll
};
Q_ENUM_NS(TScrollRequest)

} // namespace CPortCtl

using CPortCtl::TArrowKeys;
using CPortCtl::TBorderStyle;
using CPortCtl::TCaretMove;
using CPortCtl::TScrollRequest;
using CPortCtl::TScrollStyle;
using CPortCtl::TTermCaret;
using CPortCtl::TTermEmulation;
using enum CPortCtl::TTermEmulation;
using enum CPortCtl::TCaretMove;
using enum CPortCtl::TArrowKeys;
using enum CPortCtl::TTermCaret;
using enum CPortCtl::TBorderStyle;
using enum CPortCtl::TScrollStyle;
using enum CPortCtl::TScrollRequest;

// A cell position of the terminal, 1-based, column first.
struct TTermPos {
    int X = 1;
    int Y = 1;
    friend bool operator==(const TTermPos&, const TTermPos&) = default;
};

struct TTermAttributes {
    bool Reverse = false;
    bool Bold = false;
    bool Underline = false;
    friend bool operator==(const TTermAttributes&, const TTermAttributes&) = default;
};

// What the terminal's data path asks of its display. All positions are buffer cells; the display maps
// them through its scroll position. Caret hides and shows nest: the caret is visible again once every
// HideCaret has been matched by a ShowCaret.
class TTermView {
public:
    // The cell was just stored by a received or echoed character: draw it now.
    virtual void DrawCell(int col, int row) = 0;
    // Cells left..right of the row were just stored, one after the other: draw them now.
    virtual void DrawCells(int left, int right, int row) {
        for (int col = left; col <= right; ++col)
            DrawCell(col, row);
    }
    // These cells changed without being drawn: repaint them from the buffer.
    virtual void InvalidateCells(int left, int top, int right, int bottom) = 0;
    // Everything changed (filled, re-created): repaint the whole control.
    virtual void InvalidateAll() = 0;
    // The whole grid moved by one row (up: row 2 is now row 1): move the text area's pixels by one row
    // and repaint the uncovered row.
    virtual void ScrollTextArea(bool up) = 0;
    // Columns or Rows changed: the scroll ranges need adjusting.
    virtual void GridResized() = 0;
    virtual void MoveCaret(int col, int row) = 0;
    virtual void HideCaret() = 0;
    virtual void ShowCaret() = 0;

protected:
    ~TTermView() = default;
};

// The terminal's data path: received bytes pass through the emulation's parser (or straight on with
// teNone) into the character grid, the terminal answers the peer's queries, and typed characters and
// cursor codes go to the port. It works without any display; a display registers through SetView.
//
// Edge rules:
// - The caret always lies within 1..Columns x 1..Rows: every move is computed in 64 bits and clamped,
//   so peer-supplied counts can neither overflow nor leave the grid; a size change brings the caret
//   back inside. Cursor codes never scroll; only line feeds, wraps and reverse line feeds do.
// - A line feed keeps the column; only a carriage return goes to column 1.
// - OnChar sees every byte that PlaceChar handles (control bytes included), never a byte that the
//   parser consumed as part of a sequence.
// - Sending happens only while a port is bound and open; otherwise nothing is sent or echoed.
// - Received data is handled in the terminal's thread: a port that calls the link from another thread
//   has its data handed over in order.
//
// Beside the grid (which has no scroll-back) the terminal keeps, when HistoryLines is above 0, the rows
// that scroll off its top in a history, and for every grid row the time its first character arrived and
// whether it wrapped into the next row; history and grid read as one document through TTermLines.
class TCustomComTerminal : public QAbstractScrollArea,
                           public TComponent,
                           public TTermLines,
                           private TComTermBufferOwner {
    Q_OBJECT
    Q_PROPERTY(bool Connected READ Connected WRITE SetConnected STORED false)
    Q_PROPERTY(CPortCtl::TTermEmulation Emulation READ Emulation WRITE SetEmulation)
    Q_PROPERTY(bool LocalEcho READ LocalEcho WRITE SetLocalEcho)
    Q_PROPERTY(bool SendLF READ SendLF WRITE SetSendLF)
    Q_PROPERTY(bool AppendLF READ AppendLF WRITE SetAppendLF)
    Q_PROPERTY(bool Force7Bit READ Force7Bit WRITE SetForce7Bit)
    Q_PROPERTY(bool WrapLines READ WrapLines WRITE SetWrapLines)
    Q_PROPERTY(int Columns READ Columns WRITE SetColumns)
    Q_PROPERTY(int Rows READ Rows WRITE SetRows)
    Q_PROPERTY(uint AltColor READ AltColor WRITE SetAltColor)
    Q_CLASSINFO("Default.LocalEcho", "false")
    Q_CLASSINFO("Default.SendLF", "false")
    Q_CLASSINFO("Default.AppendLF", "false")
    Q_CLASSINFO("Default.Force7Bit", "false")
    Q_CLASSINFO("Default.WrapLines", "false")
    Q_CLASSINFO("Default.Columns", "80")
    Q_CLASSINFO("Default.Rows", "24")
    Q_CLASSINFO("Default.AltColor", "10921638")
public:
    using TChScreenEvent = std::function<void(TCustomComTerminal* sender, char ch)>;
    using TStrRecvEvent = std::function<void(TCustomComTerminal* sender, QByteArray& str)>;
    // The handler may hand over a parser of its own; the terminal then owns it.
    using TEscapeEvent =
        std::function<void(TCustomComTerminal* sender, std::unique_ptr<TEscapeCodes>& escapeCodes)>;
    using TUnhandledEvent =
        std::function<void(TCustomComTerminal* sender, TEscapeCode code, const QByteArray& data)>;
    // The present time in ms since the epoch.
    using TTimeSource = std::function<qint64()>;

    static constexpr int kMinColumns = 2;
    static constexpr int kMaxColumns = 256;
    static constexpr int kMinRows = 2;
    static constexpr int kMaxRows = 100;

    explicit TCustomComTerminal(QWidget* parent = nullptr);
    ~TCustomComTerminal() override;

    void Loaded() override;

    // The display, or nullptr; not owned.
    TTermView* View() const { return m_view; }
    void SetView(TTermView* view) { m_view = view; }

    TCustomComPort* ComPort() const { return m_comPort; }
    void SetComPort(TCustomComPort* port);
    TComLink* ComLink() const { return m_comLink.get(); }
    bool Connected() const;
    void SetConnected(bool value);

    TTermEmulation Emulation() const { return m_emulation; }
    void SetEmulation(TTermEmulation value);
    TEscapeCodes* EscapeCodes() const { return m_escapeCodes.get(); }
    bool LocalEcho() const { return m_localEcho; }
    void SetLocalEcho(bool value) { m_localEcho = value; }
    bool SendLF() const { return m_sendLF; }
    void SetSendLF(bool value) { m_sendLF = value; }
    bool AppendLF() const { return m_appendLF; }
    void SetAppendLF(bool value) { m_appendLF = value; }
    // Received bytes lose their eighth bit before anything else sees them.
    bool Force7Bit() const { return m_force7Bit; }
    void SetForce7Bit(bool value) { m_force7Bit = value; }
    bool WrapLines() const { return m_wrapLines; }
    void SetWrapLines(bool value) { m_wrapLines = value; }

    int Columns() const override { return m_columns; }
    void SetColumns(int value);
    int Rows() const override { return m_rows; }
    void SetRows(int value);

    // Colours as 0xRRGGBB: the background, the font's colour, and the character colour of bold text.
    uint AltColor() const { return m_altColor; }
    void SetAltColor(uint value) { m_altColor = value; }
    // A new background repaints the control: stored cells keep their colours, empty cells show it.
    uint Color() const { return m_color; }
    void SetColor(uint value);
    uint FontColor() const { return m_fontColor; }
    void SetFontColor(uint value) { m_fontColor = value; }

    const TComTermBuffer& Buffer() const { return m_buffer; }

    // Rows kept after they scroll off the grid's top; 0 (the default) keeps none.
    int HistoryLines() const { return m_history.Limit(); }
    void SetHistoryLines(int lines) { m_history.SetLimit(lines); }
    const TTermHistory& History() const { return m_history; }
    // Where arrival times come from (the system clock unless set).
    void SetTimeSource(TTimeSource source) { m_timeSource = std::move(source); }
    // TTermLines: history, then the grid's rows.
    qint64 FirstLine() const override { return m_history.FirstLine(); }
    qint64 EndLine() const override { return m_history.Added() + m_buffer.Rows(); }
    QByteArray LineText(qint64 line) const override;
    bool LineWrapped(qint64 line) const override;
    qint64 LineTime(qint64 line) const override;
    // The absolute line of grid row `row`.
    qint64 GridLine(int row) const { return m_history.Added() + row - 1; }
    // Arrival time and wrap of a grid row.
    qint64 RowTime(int row) const;
    bool RowWrapped(int row) const;
    TTermPos CaretPos() const { return m_caretPos; }
    TTermPos SavedCaretPos() const { return m_savedCaretPos; }
    TTermAttributes Attributes() const { return m_attributes; }
    TTermAttributes SavedAttributes() const { return m_savedAttributes; }
    bool AppCursorKeys() const { return m_appCursorKeys; }

    // Receiving. ReceiveBuffer displays a block at once; the port's data goes through ReceiveFromPort,
    // which displays at most one event-loop turn's worth (kTurnBudgetMs) and keeps the rest, in order,
    // for the following turns, so that a flood never stalls the thread.
    static constexpr int kTurnBudgetMs = 8;
    static constexpr int kPortSlice = 4096;
    void ReceiveBuffer(TCustomComPort* sender, const void* buffer, int count);
    void ReceiveFromPort(const char* buffer, int count);
    // Received bytes not yet displayed.
    qsizetype Backlog() const { return m_backlogBytes; }
    void ReceiveStr(QByteArray str);
    void DisplayStr(const QByteArray& str);
    void DisplayBuffer(const char* buffer, int count);

    // The screen
    void PlaceChar(char ch);
    void StepCaret(TCaretMove move);
    // Clamps to the grid; wide so that caret arithmetic on peer counts cannot overflow.
    void SetCaretCell(int64_t x, int64_t y);
    virtual bool ExecuteCode(TEscapeCode code, QByteArrayList& params);
    void FillScreen(char ch);

    // Sending
    void SendChar(char ch);
    // Characters sent as if typed one after the other (local echo and SendLF alike), in one write.
    void SendText(const QByteArray& chars);
    void TransmitCode(TEscapeCode code, QByteArrayList params = {});
    void TransmitAnswer(TEscapeCode code, QByteArrayList params = {});

    void RecreateParser();

    TChScreenEvent OnChar;
    // Runs of received characters for an owner that takes them in bulk. The handler is paired with the
    // OnChar handler present when it is set: while OnChar still holds a handler of that kind, each run
    // that is placed in one sweep is reported here once, after its effect on the screen, in place of
    // one OnChar call per character (the same bytes in the same order). Any other OnChar handler, or
    // none, gets every character through OnChar as before.
    using TCharRunEvent = std::function<void(TCustomComTerminal* sender, const char* chars, int count)>;
    void SetCharRunHandler(TCharRunEvent handler);
    TStrRecvEvent OnStrRecieved;
    TEscapeEvent OnGetEscapeCodes;
    TUnhandledEvent OnUnhandledCode;

protected:
    // True while bytes from the port are being displayed: the display may then hold its repaints to
    // the screen's refresh rate.
    bool ReceivingFromPort() const { return m_receivingFromPort; }
    virtual void NotifyChar(char ch);
    virtual void NotifyStrRecieved(QByteArray& str);
    virtual void NotifyGetEscapeCodes(std::unique_ptr<TEscapeCodes>& escapeCodes);
    virtual void NotifyUnhandledCode(TEscapeCode code, const QByteArray& data);
    void Notification(TComponent* component, TOperation operation) override;

private:
    // TComTermBufferOwner
    void InvalidateCells(int left, int top, int right, int bottom) override;
    void ScrollTextArea(bool up) override;

    // The actions of ExecuteCode, for parameters held in a list or still in the parser.
    template <class TParams> bool Perform(TEscapeCode code, const TParams& params);
    template <class TParams> void SetAttributes(const TParams& params);
    void ResetAttributes() { m_attributes = {}; }
    template <class TParams> void SetModes(const TParams& params, bool on);
    // The cell a received character gets with the present attributes.
    TTermCell CellLook(char ch) const {
        return {ch,
                m_attributes.Bold      ? m_altColor
                : m_attributes.Reverse ? m_color
                                       : m_fontColor,
                m_attributes.Reverse ? m_fontColor : m_color, m_attributes.Underline};
    }
    // PlaceChar without the OnChar notification.
    void PlaceCharQuiet(char ch);
    // A run of received plain characters, for a terminal whose OnChar nobody watches or whose OnChar
    // takes runs (NotifyRun follows).
    void PlaceRunQuiet(const char* chars, int count);
    bool RunsAllowed() const { return !OnChar || CharRunsPaired(); }
    bool CharRunsPaired() const {
        return m_charRun && m_charRunPair && OnChar && OnChar.target_type() == *m_charRunPair;
    }
    void NotifyRun(const char* chars, int count);
    // Whether this is one of the terminal classes whose ExecuteCode and NotifyChar are the ones here.
    bool OwnActions() const;
    void SaveCaret() { m_savedCaretPos = m_caretPos; }
    void RestoreCaret() { SetCaretCell(m_savedCaretPos.X, m_savedCaretPos.Y); }
    void SaveAttributes() { m_savedAttributes = m_attributes; }
    void RestoreAttributes() { m_attributes = m_savedAttributes; }
    void GridSizeChanged();
    // The grid scrolls by one row; up hands its top row to the history. The row times and wrap flags
    // move along.
    void ScrollGridUp();
    void ScrollGridDown();
    void ResetRowInfo();
    size_t RowSlot(int row) const {
        size_t slot = m_rowRing + size_t(row - 1);
        return slot >= m_rowTimes.size() ? slot - m_rowTimes.size() : slot;
    }
    // A character was stored in `row` up to column `lastCol`: the row gets the time of the block being
    // displayed, unless it has one, and its written width grows.
    void NoteRow(int row, int lastCol) {
        if (row >= 1 && row <= int(m_rowTimes.size())) {
            const size_t slot = RowSlot(row);
            if (m_rowTimes[slot] == 0)
                m_rowTimes[slot] = BlockTime();
            if (m_rowUsed[slot] < lastCol)
                m_rowUsed[slot] = uint16_t(lastCol);
        }
    }
    qint64 BlockTime();
    bool CanSend() const;
    void Write(const QByteArray& bytes);

    // Displays port data for one turn's budget, starting with the backlog; what is left stays in it.
    void DrainPortData(const char* buffer, qsizetype count);

    TCustomComPort* m_comPort = nullptr;
    std::unique_ptr<TComLink> m_comLink;
    // Port data waiting for a later turn: blocks as they came (never one growing array, whose copies
    // would stall the thread), the first from m_backlogPos on.
    void AddToBacklog(const char* buffer, qsizetype count);
    std::deque<QByteArray> m_backlog;
    qsizetype m_backlogPos = 0;
    qsizetype m_backlogBytes = 0;
    bool m_receivingFromPort = false;
    QTimer* m_drainTimer = nullptr;
    TCharRunEvent m_charRun;
    const std::type_info* m_charRunPair = nullptr;
    std::unique_ptr<TEscapeCodes> m_escapeCodes;
    TComTermBuffer m_buffer;
    TTermView* m_view = nullptr;
    TTermHistory m_history{0};
    std::vector<qint64> m_rowTimes; // per grid row, a ring starting at m_rowRing like the grid's rows
    std::vector<uint8_t> m_rowWrapped;
    std::vector<uint16_t> m_rowUsed; // the last column a character was stored in (the rest is blank)
    size_t m_rowRing = 0;
    TTimeSource m_timeSource;
    qint64 m_blockTime = 0; // the present block's arrival, taken at its first use

    TTermPos m_caretPos;
    TTermPos m_savedCaretPos{0, 0};
    TTermAttributes m_attributes;
    TTermAttributes m_savedAttributes;
    bool m_appCursorKeys = false;

    TTermEmulation m_emulation = teVT100orANSI;
    bool m_localEcho = false;
    bool m_sendLF = false;
    bool m_appendLF = false;
    bool m_force7Bit = false;
    bool m_wrapLines = false;
    int m_columns = 80;
    int m_rows = 24;
    uint m_altColor = 0xA6A6A6;
    uint m_color = 0x000000;
    uint m_fontColor = 0xFFFFFF;
};

// The visible terminal: a focusable scroll area that paints the grid cell by cell, owns the caret and
// the scroll bars that move a window over a grid larger than itself, and turns keys into bytes and
// escape codes for the data path.
//
// Edge rules:
// - One cell is FontWidth x FontHeight pixels: the advance of the font's characters and its ascent plus
//   descent. A font whose 'i' and 'W' advance differently is not fixed-pitch and is replaced, once, by
//   DefaultFont's family (a fixed-pitch family the font database confirms); the replacement is never
//   measured into a second replacement. Underline is always removed from the control's font (it is a
//   per-cell attribute).
// - Screen cell (C, R), 1-based, shows buffer cell (C + TopLeft.X - 1, R + TopLeft.Y - 1). TopLeft
//   follows the scroll bars; an axis without a bar in ScrollBars is at 1, so painting never reaches
//   outside the grid (also when ScrollBars becomes ssNone while the view is scrolled).
// - The caret is drawn by the control (inverted cell pixels): it exists only while the control has the
//   focus; tcBlock covers the cell, tcUnderline is FontHeight / 8 pixels on its bottom edge (none below
//   8 pixels), tcNone shows nothing. Hides and shows nest.
// - A dragged scroll box moves the view while it is dragged only with SmoothScroll; otherwise when it
//   is released.
// - Typed characters go to SendChar as 8-bit bytes; a character outside Latin-1 cannot be sent: it is
//   dropped with a beep.
// - With HistoryLines above 0 the vertical bar, the wheel, Shift+PageUp/PageDown and Shift+Home/End run
//   over history and grid. At the bottom the view shows the grid as it would without history and
//   follows it; up in the history arriving data leaves the view on its lines and a mark in the bottom
//   right corner says that more waits below. End, a typed key or anything else the port sends returns
//   to the bottom.
// - Mouse: a drag selects characters, a double click a word, a triple click a line, Shift+click
//   extends; the selection becomes the primary selection. The middle button pastes the primary
//   selection. Ctrl+Shift+C copies, Ctrl+Shift+V and Shift+Insert paste, Ctrl+Shift+A selects all,
//   Ctrl+Shift+F finds. Every other key goes to the peer as before.
// - A paste is sent as typed characters, line breaks as Enter sends them, in pieces paced to the line
//   (Esc stops the rest); more than kPasteAskBytes are sent only after OnConfirmPaste agrees.
class TComTerminal : public TCustomComTerminal, private TTermView {
    Q_OBJECT
    Q_PROPERTY(TCustomComPort* ComPort READ ComPort WRITE SetComPort)
    Q_PROPERTY(CPortCtl::TArrowKeys ArrowKeys READ ArrowKeys WRITE SetArrowKeys)
    Q_PROPERTY(CPortCtl::TBorderStyle BorderStyle READ BorderStyle WRITE SetBorderStyle)
    Q_PROPERTY(CPortCtl::TTermCaret Caret READ Caret WRITE SetCaret)
    Q_PROPERTY(CPortCtl::TScrollStyle ScrollBars READ ScrollBars WRITE SetScrollBars)
    Q_PROPERTY(bool SmoothScroll READ SmoothScroll WRITE SetSmoothScroll)
    Q_PROPERTY(bool WantTab READ WantTab WRITE SetWantTab)
    Q_PROPERTY(uint Color READ Color WRITE SetColor)
    Q_PROPERTY(QFont Font READ font WRITE setFont)
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE SetCtl3D)
    Q_PROPERTY(bool TabStop READ TabStop WRITE SetTabStop)
    Q_PROPERTY(bool Enabled READ isEnabled WRITE setEnabled)
    Q_PROPERTY(bool Visible READ IsShown WRITE setVisible)
    Q_CLASSINFO("Default.ArrowKeys", "akTerminal")
    Q_CLASSINFO("Default.BorderStyle", "bsSingle")
    Q_CLASSINFO("Default.Caret", "tcBlock")
    Q_CLASSINFO("Default.SmoothScroll", "false")
    Q_CLASSINFO("Default.WantTab", "false")
    Q_CLASSINFO("Default.Ctl3D", "true")
    Q_CLASSINFO("Default.TabStop", "true")
    Q_CLASSINFO("Default.Enabled", "true")
    Q_CLASSINFO("Default.Visible", "true")
public:
    // The handler may change the key (0: no key) or the character.
    using TKeyEvent = std::function<void(TComTerminal* sender, int& key, Qt::KeyboardModifiers modifiers)>;
    using TKeyPressEvent = std::function<void(TComTerminal* sender, QChar& key)>;

    static constexpr int kDefaultWidth = 400;
    static constexpr int kDefaultHeight = 250;

    explicit TComTerminal(QWidget* parent = nullptr);
    ~TComTerminal() override;

    // Every terminal's initial font: white in the design, 9 points, of a fixed-pitch family that the
    // font database confirms (the system's fixed font when it is one). Its family is the fallback for
    // fonts that are not fixed-pitch.
    static QFont DefaultFont();

    TArrowKeys ArrowKeys() const { return m_arrowKeys; }
    void SetArrowKeys(TArrowKeys value) { m_arrowKeys = value; }
    TBorderStyle BorderStyle() const { return m_borderStyle; }
    void SetBorderStyle(TBorderStyle value);
    TTermCaret Caret() const { return m_caret; }
    void SetCaret(TTermCaret value);
    TScrollStyle ScrollBars() const { return m_scrollBars; }
    void SetScrollBars(TScrollStyle value);
    bool SmoothScroll() const { return m_smoothScroll; }
    void SetSmoothScroll(bool value);
    bool WantTab() const { return m_wantTab; }
    void SetWantTab(bool value) { m_wantTab = value; }
    bool Ctl3D() const { return m_ctl3D; }
    void SetCtl3D(bool value);
    // Without TabStop neither Tab nor a click gives the control the focus (setFocus still does).
    bool TabStop() const { return focusPolicy() == Qt::StrongFocus; }
    void SetTabStop(bool value) { setFocusPolicy(value ? Qt::StrongFocus : Qt::NoFocus); }

    // Measures the control's font into FontWidth and FontHeight; true when it is fixed-pitch.
    bool GetFontMetrics();
    int FontWidth() const { return m_fontWidth; }
    int FontHeight() const { return m_fontHeight; }
    TTermPos TopLeft() const { return m_topLeft; }
    int CaretHeight() const { return m_caretHeight; }
    bool CaretCreated() const { return m_caretCreated; }
    // The caret's pixels in the client area (empty while there is none or while it is hidden).
    QRect CaretRect() const;
    // The client pixels of buffer cell (col, row) at the present scroll position.
    QRect CellRect(int col, int row) const;

    // Fits the scroll ranges to the grid, the font and the client size, and takes TopLeft from them.
    void AdjustScrollBars();
    // One scroll request on the horizontal or vertical bar; `position` is used by the thumb requests.
    void ModifyScrollBar(Qt::Orientation bar, TScrollRequest request, int position = 0);

    TKeyEvent OnKeyDown;
    TKeyPressEvent OnKeyPress;

    // History view
    bool AtBottom() const { return m_following; }
    void ScrollToBottom();
    // Back to the bottom from up in the history (what typing, a paste or a write to the port does).
    void ReturnToBottom();
    // Moves the view by whole lines (negative: into the history).
    void ScrollLines(int delta);
    void ScrollToTop();
    // Brings an absolute line into view (unless it is shown already).
    void ShowLine(qint64 line);
    // The absolute line in the view's top row.
    qint64 TopLine() const { return GridLine(m_topLeft.Y); }
    // Data arrived below while the view was up in the history.
    bool NewDataBelow() const { return m_newBelow; }

    // Selection and clipboard
    const TTermSelection& Selection() const { return m_selection; }
    QByteArray SelectedText() const { return m_selection.Text(*this); }
    void SelectAll();
    void ClearSelection();
    // The selected text onto the clipboard.
    void Copy();
    // The document cell under a pixel of the client area (within the document).
    TTermPoint PointAt(QPoint pixel) const;

    // Paste
    static constexpr qsizetype kPasteAskBytes = 64 * 1024;
    using TConfirmPasteEvent = std::function<bool(TComTerminal* sender, qsizetype bytes)>;
    using TPasteProgressEvent =
        std::function<void(TComTerminal* sender, qsizetype sent, qsizetype total, bool finished)>;
    void Paste(QClipboard::Mode mode = QClipboard::Clipboard);
    void PasteText(const QString& text);
    bool Pasting() const;
    void StopPaste();
    // Asked before a paste of more than kPasteAskBytes; without a handler such a paste is not sent.
    TConfirmPasteEvent OnConfirmPaste;
    TPasteProgressEvent OnPasteProgress;

    // Find
    void ShowFind();
    void HideFind();
    TTermFindBar* FindBar() const { return m_findBar; }
    // Finds the find bar's text after (before) the present match and shows it; false when none.
    bool FindNext(bool forward);
    TTermMatch CurrentMatch() const { return m_match; }

    // The arrival time of every line, in a margin left of the text.
    static constexpr int kTimeCells = 13; // "HH:MM:SS.mmm" and a blank
    bool ShowTimes() const { return m_showTimes; }
    void SetShowTimes(bool on);
    QWidget* TimeMargin() const { return m_timeMargin; }
    static QString TimeText(qint64 msSinceEpoch);

protected:
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void inputMethodEvent(QInputMethodEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    virtual void DoKeyDown(int& key, Qt::KeyboardModifiers modifiers);
    virtual void DoKeyPress(QChar& key);

    void PaintCells(QPainter& painter, int left, int top, int right, int bottom);
    void DrawChar(QPainter& painter, int col, int row, const TTermCell& cell);
    // Draws `text` from screen cell (col, row) on, one character per cell, in the colours of `look`.
    void DrawRun(QPainter& painter, int col, int row, const QString& text, const TTermCell& look);

private:
    friend class TTimeMargin;
    void PaintTimes(QPainter& painter, const QRect& clip);
    // Fits the vertical bar to the history and places the view: at the bottom when following, else on
    // the same absolute line.
    void SyncHistoryView();
    bool HistoryView() const { return HistoryLines() > 0 && HasVerticalBar(); }
    void SetBarQuietly(QScrollBar* bar, int min, int max, int value);
    void SetNewBelow(bool on);
    QRect NewBelowMark() const;
    void PlaceOverlays();
    void SelectionChanged();
    void SetPrimarySelection();
    void ButtonPress(QMouseEvent* e, bool doubleClick);
    bool ShortcutKey(QKeyEvent* e, int key);

    // TTermView
    void DrawCell(int col, int row) override;
    void DrawCells(int left, int right, int row) override;
    void InvalidateCells(int left, int top, int right, int bottom) override;
    void InvalidateAll() override;
    void ScrollTextArea(bool up) override;
    void GridResized() override;
    void MoveCaret(int col, int row) override;
    void HideCaret() override;
    void ShowCaret() override;

    void FontChanged();
    void ApplyWindowStyle();
    void CreateTerminalCaret();
    void DestroyTerminalCaret();
    void SyncTopLeft();
    // Visible as a layout sees it: not hidden on purpose (a child is hidden until its window shows).
    bool IsShown() const { return !isHidden() || !testAttribute(Qt::WA_WState_ExplicitShowHide); }
    bool HasHorizontalBar() const { return m_scrollBars == ssHorizontal || m_scrollBars == ssBoth; }
    bool HasVerticalBar() const { return m_scrollBars == ssVertical || m_scrollBars == ssBoth; }
    // The grid's pixels in the client area at the present scroll position.
    QRect GridRect() const;

    TArrowKeys m_arrowKeys = akTerminal;
    TBorderStyle m_borderStyle = bsSingle;
    TTermCaret m_caret = tcBlock;
    TScrollStyle m_scrollBars = ssBoth;
    bool m_smoothScroll = false;
    bool m_wantTab = false;
    bool m_ctl3D = true;

    int m_fontWidth = 1;
    int m_fontHeight = 1;
    int m_fontAscent = 1;
    QFont m_paintFont; // the control's font, and its underlined twin for cells with Underline
    QFont m_underlineFont;
    QRawFont m_rawFont; // the glyphs of m_paintFont, placed on the cell grid by hand
    bool m_adjustingFont = false;
    bool m_adjustingBars = false;

    TTermPos m_topLeft;
    int m_caretHeight = 0;
    bool m_caretCreated = false;
    int m_caretHidden = 0; // nesting depth of HideCaret
    QRect m_caretDrawn;    // where the caret was last asked to be painted

    // Repaints the caret's old and new pixels when it moved, appeared or vanished.
    void UpdateCaret();

    // Repaint requests collected while the caret is hidden: buffer columns Left..Right of each grid row
    // (Left 0: clean), and the grid's pixel scroll in rows (negative: up) not yet applied.
    struct TDirtySpan {
        int Left = 0;
        int Right = 0;
    };
    void MarkDirty(int left, int top, int right, int bottom);
    void FlushBatch();
    void DiscardBatch();
    std::vector<TDirtySpan> m_dirty;
    bool m_batchDirty = false;
    // Port data repaints at most once per frame of the screen: a block that ends less than a frame
    // after the last flush keeps the caret hidden (its requests collected) until the frame timer.
    int FrameMs() const;
    void EndHeldFrame();
    QElapsedTimer m_lastFlush;
    bool m_frameHeld = false;
    bool m_repaintAtFrameEnd = false;
    QTimer* m_frameTimer = nullptr;
    int m_pendingScroll = 0;
    QRect m_caretPainted; // where the last paint left the caret's inverted pixels

    // History view
    bool m_following = true; // the view is at the bottom and follows the grid
    qint64 m_viewTopAbs = 0; // the top row's absolute line while not following
    int m_gridMax = 0;       // the bar's positions within the grid alone
    int m_barHistory = 0;    // history rows the vertical bar counted at its last fitting
    qint64 m_seenAdded = 0;
    qint64 m_seenFirst = 0;
    int m_quietBars = 0;
    bool m_gridMoved = false; // grid rows moved under a view that stays: repaint them
    bool m_newBelow = false;
    std::vector<TTermCell> m_rowCells; // one row's cells while painting

    // Selection
    TTermSelection m_selection;
    bool m_dragging = false;
    TTermPoint m_dragAnchor;
    int m_clicks = 0;
    QPoint m_lastClickPos;
    QElapsedTimer m_lastClick;

    TTermPaste* m_paste = nullptr;

    TTermFindBar* m_findBar = nullptr;
    TTermFind m_find;
    TTermMatch m_match;

    bool m_showTimes = false;
    QWidget* m_timeMargin = nullptr;
};
