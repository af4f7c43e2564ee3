#include "controls/ComTerminal.h"

#include "runtime/Exception.h"
#include "serial/ComLink.h"
#include "serial/ComPort.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <typeinfo>

Q_LOGGING_CATEGORY(lcTerminal, "corvantel.controls", QtWarningMsg)

namespace {

constexpr char kBackspace = 0x08;
constexpr char kTab = 0x09;
constexpr char kLineFeed = 0x0A;
constexpr char kFormFeed = 0x0C;
constexpr char kCarriageReturn = 0x0D;

// Hides the caret for its lifetime; the caret shows again also when an exception leaves the scope.
class TCaretHidden {
public:
    explicit TCaretHidden(TTermView* view) : m_view(view) {
        if (m_view)
            m_view->HideCaret();
    }
    ~TCaretHidden() {
        if (m_view)
            m_view->ShowCaret();
    }
    TCaretHidden(const TCaretHidden&) = delete;
    TCaretHidden& operator=(const TCaretHidden&) = delete;

private:
    TTermView* m_view;
};

// ExecuteCode's parameters, in a list.
struct TListParams {
    const QByteArrayList& List;
    int Count() const { return int(List.size()); }
    int Value(int index) const { return TEscapeCodes::ParamValue(index, &List); }
    QByteArrayView Text(int index) const {
        return index >= 1 && index <= Count() ? QByteArrayView(List.at(index - 1)) : QByteArrayView();
    }
};

// The parameters of a received code, read where the parser holds them.
struct TParserParams {
    const TEscapeCodes& Parser;
    int Count() const { return Parser.ParamCount(); }
    int Value(int index) const { return Parser.ParamNumber(index); }
    QByteArrayView Text(int index) const { return Parser.ParamText(index); }
};

} // namespace

TCustomComTerminal::TCustomComTerminal(QWidget* parent)
    : QAbstractScrollArea(parent), TComponent(this), m_comLink(std::make_unique<TComLink>()), m_buffer(this) {
    m_comLink->OnRxBuf = [this](TCustomComPort*, const void* buffer, int count) {
        ReceiveFromPort(static_cast<const char*>(buffer), count);
    };
    m_drainTimer = new QTimer(this);
    m_drainTimer->setSingleShot(true);
    m_drainTimer->setInterval(0);
    connect(m_drainTimer, &QTimer::timeout, this,
            [this] { GuardedCall([&] { DrainPortData(nullptr, 0); }); });
}

TCustomComTerminal::~TCustomComTerminal() {
    SetComPort(nullptr);
}

void TCustomComTerminal::Loaded() {
    TComponent::Loaded();
    RecreateParser();
    m_buffer.Init();
    ResetRowInfo();
    SetCaretCell(m_caretPos.X, m_caretPos.Y);
}

// ---------------------------------------------------------------------------------------------------------
// Port binding

void TCustomComTerminal::SetComPort(TCustomComPort* port) {
    if (port == m_comPort)
        return;
    if (m_comPort) {
        TCustomComPort* old = m_comPort;
        m_comPort = nullptr;
        old->UnregisterLink(m_comLink.get());
        RemoveFreeNotification(old);
    }
    if (port) {
        FreeNotification(port);
        port->RegisterLink(m_comLink.get());
        m_comPort = port;
    }
}

void TCustomComTerminal::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove && m_comPort && component == static_cast<TComponent*>(m_comPort))
        SetComPort(nullptr);
}

bool TCustomComTerminal::Connected() const {
    return m_comPort && m_comPort->Connected();
}

void TCustomComTerminal::SetConnected(bool value) {
    if (m_comPort)
        m_comPort->SetConnected(value);
}

// ---------------------------------------------------------------------------------------------------------
// Properties

void TCustomComTerminal::SetEmulation(TTermEmulation value) {
    if (value == m_emulation)
        return;
    m_emulation = value;
    if (!Loading()) {
        m_escapeCodes.reset();
        RecreateParser();
    }
}

void TCustomComTerminal::RecreateParser() {
    switch (m_emulation) {
    case teVT100orANSI:
        m_escapeCodes = std::make_unique<TEscapeCodesVT100>();
        break;
    case teVT52:
        m_escapeCodes = std::make_unique<TEscapeCodesVT52>();
        break;
    case teNone:
        m_escapeCodes.reset();
        NotifyGetEscapeCodes(m_escapeCodes);
        break;
    }
}

void TCustomComTerminal::SetColor(uint value) {
    if (value == m_color)
        return;
    m_color = value;
    if (m_view)
        m_view->InvalidateAll();
}

void TCustomComTerminal::SetColumns(int value) {
    // Compared before clamping: setting 300 at 256 columns still empties the screen.
    if (value == m_columns)
        return;
    m_columns = std::clamp(value, kMinColumns, kMaxColumns);
    GridSizeChanged();
}

void TCustomComTerminal::SetRows(int value) {
    if (value == m_rows)
        return;
    m_rows = std::clamp(value, kMinRows, kMaxRows);
    GridSizeChanged();
}

void TCustomComTerminal::GridSizeChanged() {
    if (m_view)
        m_view->GridResized();
    if (Loading())
        return;
    m_buffer.Init();
    ResetRowInfo();
    SetCaretCell(m_caretPos.X, m_caretPos.Y);
    if (m_view)
        m_view->InvalidateAll();
}

void TCustomComTerminal::ResetRowInfo() {
    m_rowTimes.assign(size_t(m_buffer.Rows()), 0);
    m_rowWrapped.assign(size_t(m_buffer.Rows()), 0);
    m_rowUsed.assign(size_t(m_buffer.Rows()), 0);
    m_rowRing = 0;
}

qint64 TCustomComTerminal::BlockTime() {
    if (m_blockTime == 0)
        m_blockTime = m_timeSource ? m_timeSource() : QDateTime::currentMSecsSinceEpoch();
    return m_blockTime;
}

void TCustomComTerminal::ScrollGridUp() {
    if (!m_rowTimes.empty() && m_buffer.Allocated()) {
        const size_t top = RowSlot(1);
        m_history.Push(m_buffer.RowCells(1), std::min<int>(m_rowUsed[top], m_buffer.Columns()),
                       m_rowTimes[top], m_rowWrapped[top] != 0);
        // The top row's slot becomes the new bottom row.
        m_rowTimes[top] = 0;
        m_rowWrapped[top] = 0;
        m_rowUsed[top] = 0;
        m_rowRing = (m_rowRing + 1) % m_rowTimes.size();
    }
    m_buffer.ScrollTextUp();
}

void TCustomComTerminal::ScrollGridDown() {
    if (!m_rowTimes.empty()) {
        m_rowRing = (m_rowRing + m_rowTimes.size() - 1) % m_rowTimes.size();
        m_rowTimes[m_rowRing] = 0;
        m_rowWrapped[m_rowRing] = 0;
        m_rowUsed[m_rowRing] = 0;
    }
    m_buffer.ScrollTextDown();
}

qint64 TCustomComTerminal::RowTime(int row) const {
    return row >= 1 && row <= int(m_rowTimes.size()) ? m_rowTimes[RowSlot(row)] : 0;
}

bool TCustomComTerminal::RowWrapped(int row) const {
    return row >= 1 && row <= int(m_rowWrapped.size()) && m_rowWrapped[RowSlot(row)] != 0;
}

QByteArray TCustomComTerminal::LineText(qint64 line) const {
    if (line < FirstLine() || line >= EndLine())
        return {};
    if (line < m_history.Added())
        return m_history.Text(int(line - FirstLine()));
    const int row = int(line - m_history.Added()) + 1;
    QByteArray text;
    for (int col = m_buffer.Columns(); col >= 1; --col) {
        if (m_buffer.GetCell(col, row).Ch != 0) {
            text.resize(col);
            break;
        }
    }
    for (int col = 1; col <= text.size(); ++col) {
        const char ch = m_buffer.GetCell(col, row).Ch;
        text[col - 1] = ch ? ch : ' ';
    }
    return text;
}

bool TCustomComTerminal::LineWrapped(qint64 line) const {
    if (line < FirstLine() || line >= EndLine())
        return false;
    if (line < m_history.Added())
        return m_history.Wrapped(int(line - FirstLine()));
    return RowWrapped(int(line - m_history.Added()) + 1);
}

qint64 TCustomComTerminal::LineTime(qint64 line) const {
    if (line < FirstLine() || line >= EndLine())
        return 0;
    if (line < m_history.Added())
        return m_history.Time(int(line - FirstLine()));
    return RowTime(int(line - m_history.Added()) + 1);
}

// ---------------------------------------------------------------------------------------------------------
// Receiving

void TCustomComTerminal::ReceiveBuffer(TCustomComPort*, const void* buffer, int count) {
    if (!buffer || count <= 0)
        return;
    QByteArray str(static_cast<const char*>(buffer), count);
    if (QThread::currentThread() != thread()) {
        // A port that delivers in its event thread: display in ours, in arrival order.
        QMetaObject::invokeMethod(
            this,
            [this, str] { GuardedCall([&] { ReceiveBuffer(nullptr, str.constData(), int(str.size())); }); },
            Qt::QueuedConnection);
        return;
    }
    if (m_appendLF) {
        QByteArray withLF;
        withLF.reserve(str.size() + str.count(kCarriageReturn));
        for (char ch : str) {
            withLF += ch;
            if (ch == kCarriageReturn)
                withLF += kLineFeed;
        }
        str = std::move(withLF);
    }
    if (m_force7Bit) {
        for (char& ch : str)
            ch = char(uint8_t(ch) & 0x7F);
    }
    ReceiveStr(std::move(str));
}

void TCustomComTerminal::ReceiveFromPort(const char* buffer, int count) {
    if (!buffer || count <= 0)
        return;
    if (QThread::currentThread() != thread()) {
        // A port that delivers in its event thread: display in ours, in arrival order.
        QByteArray str(buffer, count);
        QMetaObject::invokeMethod(
            this, [this, str] { GuardedCall([&] { ReceiveFromPort(str.constData(), int(str.size())); }); },
            Qt::QueuedConnection);
        return;
    }
    if (m_receivingFromPort || Backlog() > 0) {
        // Behind the bytes that wait (or a handler's nested event loop): in order, later.
        AddToBacklog(buffer, count);
        if (!m_receivingFromPort)
            m_drainTimer->start();
        return;
    }
    DrainPortData(buffer, count);
}

void TCustomComTerminal::DrainPortData(const char* buffer, qsizetype count) {
    if (m_receivingFromPort)
        return;
    // Resets the flag and schedules what is left also when a handler throws.
    struct TTurn {
        TCustomComTerminal* term;
        explicit TTurn(TCustomComTerminal* t) : term(t) { term->m_receivingFromPort = true; }
        ~TTurn() {
            term->m_receivingFromPort = false;
            if (term->Backlog() > 0)
                term->m_drainTimer->start();
        }
        TTurn(const TTurn&) = delete;
        TTurn& operator=(const TTurn&) = delete;
    } turn(this);
    QElapsedTimer timer;
    timer.start();
    auto overBudget = [&] { return timer.elapsed() >= kTurnBudgetMs; };
    // The backlog first, in slices copied out of it (a handler may append to it meanwhile).
    while (Backlog() > 0) {
        if (overBudget()) {
            AddToBacklog(buffer, count);
            return;
        }
        // The block stays alive while its slice is displayed, whatever a handler adds meanwhile.
        const QByteArray block = m_backlog.front();
        const qsizetype n = std::min<qsizetype>(kPortSlice, block.size() - m_backlogPos);
        const char* slice = block.constData() + m_backlogPos;
        m_backlogPos += n;
        m_backlogBytes -= n;
        if (m_backlogPos == block.size()) {
            m_backlog.pop_front();
            m_backlogPos = 0;
        }
        ReceiveBuffer(nullptr, slice, int(n));
    }
    for (qsizetype pos = 0; pos < count;) {
        if (pos > 0 && overBudget()) {
            AddToBacklog(buffer + pos, count - pos);
            return;
        }
        const qsizetype n = std::min<qsizetype>(kPortSlice, count - pos);
        ReceiveBuffer(nullptr, buffer + pos, int(n));
        pos += n;
    }
}

void TCustomComTerminal::AddToBacklog(const char* buffer, qsizetype count) {
    if (count <= 0)
        return;
    m_backlog.emplace_back(buffer, count);
    m_backlogBytes += count;
}

void TCustomComTerminal::ReceiveStr(QByteArray str) {
    NotifyStrRecieved(str);
    DisplayStr(str);
}

void TCustomComTerminal::DisplayStr(const QByteArray& str) {
    DisplayBuffer(str.constData(), int(str.size()));
}

bool TCustomComTerminal::OwnActions() const {
    const std::type_info& type = typeid(*this);
    return type == typeid(TCustomComTerminal) || type == typeid(TComTerminal);
}

void TCustomComTerminal::DisplayBuffer(const char* buffer, int count) {
    TCaretHidden hidden(m_view);
    m_blockTime = 0;
    // Codes are performed straight from the parser's parameters, and runs of plain characters are
    // placed in one sweep, unless a derived class may act on them itself.
    const bool ownActions = OwnActions();
    for (int i = 0; i < count;) {
        // Looked up for every byte or run: a handler may have replaced the parser.
        TEscapeCodes* parser = m_escapeCodes.get();
        if (!parser) {
            if (ownActions && RunsAllowed()) {
                PlaceRunQuiet(buffer + i, count - i);
                NotifyRun(buffer + i, count - i);
                break;
            }
            PlaceChar(buffer[i++]);
            continue;
        }
        if (ownActions && RunsAllowed()) {
            // Nobody acts between the characters of a run, so nothing can replace the parser within it;
            // a run handler acts after it, before the next lookup.
            if (const int run = parser->FeedPlainRun(buffer + i, count - i); run > 0) {
                PlaceRunQuiet(buffer + i, run);
                NotifyRun(buffer + i, run);
                i += run;
                continue;
            }
        }
        switch (parser->FeedChar(buffer[i++])) {
        case frPlainChar:
            PlaceChar(parser->LastChar());
            break;
        case frCodeReady: {
            const TEscapeCode code = parser->Code();
            if (ownActions) {
                // The actions read the parameters where the parser holds them; an unperformed code did
                // nothing before it is reported, so the parser still holds its bytes.
                if (!Perform(code, TParserParams{*parser})) {
                    qCDebug(lcTerminal) << "unhandled" << QMetaEnum::fromType<TEscapeCode>().valueToKey(code);
                    const QByteArray data = parser->Data();
                    parser->ClearParams();
                    NotifyUnhandledCode(code, data);
                } else if (m_escapeCodes.get() == parser) {
                    parser->ClearParams();
                }
                break;
            }
            // Taken out of the parser first, so that nothing an action or a handler does to the parser
            // can pull the code from under it.
            const QByteArray data = parser->Data();
            QByteArrayList params = std::move(parser->ParamList());
            parser->ClearParams();
            if (!ExecuteCode(code, params)) {
                qCDebug(lcTerminal) << "unhandled" << QMetaEnum::fromType<TEscapeCode>().valueToKey(code);
                NotifyUnhandledCode(code, data);
            }
            break;
        }
        case frPending:
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// The screen

void TCustomComTerminal::PlaceChar(char ch) {
    PlaceCharQuiet(ch);
    NotifyChar(ch);
}

void TCustomComTerminal::PlaceCharQuiet(char ch) {
    switch (ch) {
    case kBackspace:
        StepCaret(cmBack);
        break;
    case kTab:
        StepCaret(cmNextTab);
        break;
    case kLineFeed:
    case kFormFeed:
        StepCaret(cmLineDown);
        break;
    case kCarriageReturn:
        StepCaret(cmLineStart);
        break;
    default:
        if (uint8_t(ch) >= 0x20) {
            NoteRow(m_caretPos.Y, m_caretPos.X);
            m_buffer.SetCell(m_caretPos.X, m_caretPos.Y, CellLook(ch));
            if (m_view)
                m_view->DrawCell(m_caretPos.X, m_caretPos.Y);
            if (m_caretPos.X >= 1 && m_caretPos.X < m_columns) {
                // The common step, one column right within the row: nothing to clamp.
                ++m_caretPos.X;
                if (m_view)
                    m_view->MoveCaret(m_caretPos.X, m_caretPos.Y);
            } else {
                StepCaret(cmNextChar);
            }
        }
        break;
    }
}

void TCustomComTerminal::PlaceRunQuiet(const char* chars, int count) {
    // The attributes cannot change within a run of plain characters.
    const TTermCell look = CellLook(0);
    for (int i = 0; i < count;) {
        const int x = m_caretPos.X;
        const int y = m_caretPos.Y;
        TTermCell* row = m_buffer.Columns() == m_columns ? m_buffer.RowCells(y) : nullptr;
        if (!row || x < 1 || x >= m_columns || uint8_t(chars[i]) < 0x20) {
            PlaceCharQuiet(chars[i++]);
            continue;
        }
        // Printable characters that step right within the row: stored in one sweep. The last column
        // (wrap or stay) takes the single-character path.
        const int end = i + std::min(count - i, m_columns - x);
        int n = 0;
        for (; i + n < end && uint8_t(chars[i + n]) >= 0x20; ++n) {
            // Field by field: a copy of the padded look costs a stalled load per cell.
            TTermCell& cell = row[x - 1 + n];
            cell.Ch = chars[i + n];
            cell.TextColor = look.TextColor;
            cell.FillColor = look.FillColor;
            cell.Underline = look.Underline;
        }
        NoteRow(y, x + n - 1);
        m_caretPos.X = x + n;
        if (m_view) {
            // One request for the run; the caret moves once, to where the run left it.
            m_view->DrawCells(x, x + n - 1, y);
            m_view->MoveCaret(x + n, y);
        }
        i += n;
    }
}

void TCustomComTerminal::StepCaret(TCaretMove move) {
    const int x = m_caretPos.X;
    const int y = m_caretPos.Y;
    switch (move) {
    case cmNextChar:
        if (x < m_columns) {
            SetCaretCell(x + 1, y);
        } else if (m_wrapLines) {
            if (!m_rowWrapped.empty() && y >= 1 && y <= int(m_rowWrapped.size()))
                m_rowWrapped[RowSlot(y)] = 1;
            if (y < m_rows) {
                SetCaretCell(1, y + 1);
            } else {
                ScrollGridUp();
                SetCaretCell(1, y);
            }
        }
        break;
    case cmLineStart:
        SetCaretCell(1, y);
        break;
    case cmLineDown:
        if (y < m_rows)
            SetCaretCell(x, y + 1);
        else
            ScrollGridUp();
        break;
    case cmLineUp:
        if (y > 1)
            SetCaretCell(x, y - 1);
        else
            ScrollGridDown();
        break;
    case cmNextTab:
        if (const int tab = m_buffer.NextTabStop(x + 1); tab != 0)
            SetCaretCell(tab, y);
        break;
    case cmBack:
        SetCaretCell(int64_t(x) - 1, y);
        break;
    }
}

void TCustomComTerminal::SetCaretCell(int64_t x, int64_t y) {
    m_caretPos.X = int(std::clamp<int64_t>(x, 1, m_columns));
    m_caretPos.Y = int(std::clamp<int64_t>(y, 1, m_rows));
    if (m_view)
        m_view->MoveCaret(m_caretPos.X, m_caretPos.Y);
}

bool TCustomComTerminal::ExecuteCode(TEscapeCode code, QByteArrayList& params) {
    const bool done = Perform(code, TListParams{params});
    // The parameters of the answers and of a reset are left in the list, as callers have seen them.
    switch (code) {
    case ecIdentify:
        params = {"2"};
        break;
    case ecQueryCursorPos:
        params = {QByteArray::number(m_caretPos.Y), QByteArray::number(m_caretPos.X)};
        break;
    case ecReset:
        params = {"0"};
        break;
    default:
        break;
    }
    return done;
}

template <class TParams> bool TCustomComTerminal::Perform(TEscapeCode code, const TParams& params) {
    const int64_t p1 = params.Value(1);
    const int64_t p2 = params.Value(2);
    const int64_t x = m_caretPos.X;
    const int64_t y = m_caretPos.Y;
    switch (code) {
    case ecCursorUp:
    case ecAppCursorUp:
        SetCaretCell(x, y - p1);
        return true;
    case ecCursorDown:
    case ecAppCursorDown:
        SetCaretCell(x, y + p1);
        return true;
    case ecCursorLeft:
    case ecAppCursorLeft:
        SetCaretCell(x - p1, y);
        return true;
    case ecCursorRight:
    case ecAppCursorRight:
        SetCaretCell(x + p1, y);
        return true;
    case ecCursorHome:
    case ecCursorMove:
        SetCaretCell(p2, p1);
        return true;
    case ecReverseLineFeed:
        StepCaret(cmLineUp);
        return true;
    case ecEraseLineFrom:
        m_buffer.EraseLineFrom(int(x), int(y));
        return true;
    case ecEraseScreenFrom:
        m_buffer.EraseScreenFrom(int(x), int(y));
        return true;
    case ecEraseLine:
        m_buffer.EraseLineFrom(1, int(y));
        SetCaretCell(1, y);
        return true;
    case ecEraseScreen:
        m_buffer.EraseScreenFrom(1, 1);
        SetCaretCell(1, 1);
        return true;
    case ecSetTab:
        m_buffer.SetTabStop(int(x), true);
        return true;
    case ecClearTab:
        m_buffer.SetTabStop(int(x), false);
        return true;
    case ecClearAllTabs:
        m_buffer.ClearTabStops();
        return true;
    case ecIdentify:
        TransmitAnswer(ecIdentResponse, {"2"});
        return true;
    case ecQueryDevice:
        TransmitAnswer(ecReportDeviceOK);
        return true;
    case ecQueryCursorPos:
        TransmitAnswer(ecReportCursorPos,
                       {QByteArray::number(m_caretPos.Y), QByteArray::number(m_caretPos.X)});
        return true;
    case ecAttributes:
        SetAttributes(params);
        return true;
    case ecSetMode:
        SetModes(params, true);
        return true;
    case ecResetMode:
        SetModes(params, false);
        return true;
    case ecReset:
        // Only the attributes: screen, caret and tab stops stay.
        ResetAttributes();
        return true;
    case ecSaveCaretAndAttr:
        SaveCaret();
        SaveAttributes();
        return true;
    case ecRestoreCaretAndAttr:
        RestoreCaret();
        RestoreAttributes();
        return true;
    case ecSaveCaret:
        SaveCaret();
        return true;
    case ecRestoreCaret:
        RestoreCaret();
        return true;
    case ecTest:
        FillScreen('E');
        return true;
    case ecUnknown:
    case ecNotCompleted:
    case ecIdentResponse:
    case ecReportDeviceOK:
    case ecReportDeviceFailure:
    case ecReportCursorPos:
        break;
    }
    return false;
}

template <class TParams> void TCustomComTerminal::SetAttributes(const TParams& params) {
    const int count = params.Count();
    if (count == 0) {
        ResetAttributes();
        return;
    }
    for (int i = 1; i <= count; ++i) {
        switch (params.Value(i)) {
        case 0:
            ResetAttributes();
            break;
        case 1:
            m_attributes.Bold = true;
            break;
        case 4:
            m_attributes.Underline = true;
            break;
        case 7:
            m_attributes.Reverse = true;
            break;
        case 21:
            m_attributes.Bold = false;
            break;
        case 24:
            m_attributes.Underline = false;
            break;
        case 27:
            m_attributes.Reverse = false;
            break;
        default:
            break;
        }
    }
}

template <class TParams> void TCustomComTerminal::SetModes(const TParams& params, bool on) {
    if (params.Count() == 0)
        return;
    const QByteArrayView mode = params.Text(1);
    if (mode == "?1")
        m_appCursorKeys = on;
    else if (mode == "7")
        m_wrapLines = on;
    else if (mode == "?3")
        SetColumns(on ? 132 : 80);
}

void TCustomComTerminal::FillScreen(char ch) {
    m_buffer.Fill(TTermCell{ch, m_fontColor, m_color, false});
    std::fill(m_rowUsed.begin(), m_rowUsed.end(), uint16_t(m_buffer.Columns()));
    if (m_view)
        m_view->InvalidateAll();
}

void TCustomComTerminal::InvalidateCells(int left, int top, int right, int bottom) {
    if (m_view)
        m_view->InvalidateCells(left, top, right, bottom);
}

void TCustomComTerminal::ScrollTextArea(bool up) {
    if (m_view)
        m_view->ScrollTextArea(up);
}

// ---------------------------------------------------------------------------------------------------------
// Sending

bool TCustomComTerminal::CanSend() const {
    return m_comPort && m_comPort->Connected();
}

void TCustomComTerminal::Write(const QByteArray& bytes) {
    // An empty sequence (a code the emulation cannot express) is not a write.
    if (bytes.isEmpty())
        return;
    const QPointer<TCustomComTerminal> self(this);
    const QPointer<TCustomComPort> port(m_comPort);
    try {
        port->WriteText(bytes);
    } catch (const EComPort&) {
        // The device went away under the write before its loss was told: the write has closed the port,
        // which tells of the loss itself. What was typed or pasted is dropped, as on a closed port.
        if (!self || !port || !port->Connected())
            return;
        throw;
    }
}

void TCustomComTerminal::SendChar(char ch) {
    if (!CanSend())
        return;
    Write(QByteArray(1, ch));
    if (m_localEcho) {
        TCaretHidden hidden(m_view);
        m_blockTime = 0;
        PlaceChar(ch);
    }
    if (ch == kCarriageReturn && m_sendLF)
        SendChar(kLineFeed);
}

void TCustomComTerminal::SendText(const QByteArray& chars) {
    if (!CanSend() || chars.isEmpty())
        return;
    QByteArray out;
    out.reserve(chars.size() + (m_sendLF ? chars.count(kCarriageReturn) : 0));
    for (char ch : chars) {
        out += ch;
        if (ch == kCarriageReturn && m_sendLF)
            out += kLineFeed;
    }
    Write(out);
    if (m_localEcho) {
        TCaretHidden hidden(m_view);
        m_blockTime = 0;
        for (char ch : out)
            PlaceChar(ch);
    }
}

void TCustomComTerminal::TransmitCode(TEscapeCode code, QByteArrayList params) {
    if (!m_escapeCodes || !CanSend())
        return;
    Write(m_escapeCodes->CodeToSequence(code, &params));
    if (m_localEcho) {
        TCaretHidden hidden(m_view);
        ExecuteCode(code, params);
    }
}

void TCustomComTerminal::TransmitAnswer(TEscapeCode code, QByteArrayList params) {
    if (!m_escapeCodes || !CanSend())
        return;
    Write(m_escapeCodes->CodeToSequence(code, &params));
}

// ---------------------------------------------------------------------------------------------------------
// Events

void TCustomComTerminal::SetCharRunHandler(TCharRunEvent handler) {
    m_charRun = std::move(handler);
    m_charRunPair = m_charRun && OnChar ? &OnChar.target_type() : nullptr;
}

namespace {

// Calls an event through a copy of its handler: the handler may replace or clear the event it runs from.
template <class TEvent, class... TArgs> void CallEvent(const TEvent& event, TArgs&&... args) {
    if (event) {
        const TEvent handler = event;
        handler(std::forward<TArgs>(args)...);
    }
}

} // namespace

void TCustomComTerminal::NotifyChar(char ch) {
    CallEvent(OnChar, this, ch);
}

void TCustomComTerminal::NotifyRun(const char* chars, int count) {
    if (OnChar)
        CallEvent(m_charRun, this, chars, count);
}

void TCustomComTerminal::NotifyStrRecieved(QByteArray& str) {
    CallEvent(OnStrRecieved, this, str);
}

void TCustomComTerminal::NotifyGetEscapeCodes(std::unique_ptr<TEscapeCodes>& escapeCodes) {
    CallEvent(OnGetEscapeCodes, this, escapeCodes);
}

void TCustomComTerminal::NotifyUnhandledCode(TEscapeCode code, const QByteArray& data) {
    CallEvent(OnUnhandledCode, this, code, data);
}
