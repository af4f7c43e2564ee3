#include "controls/EscapeCodes.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

constexpr char kEsc = 0x1B;

struct TFinal {
    char ch;
    TEscapeCode code;
};

// Final bytes that complete a sequence on their own. Every byte not listed is ecUnknown.
// clang-format off
constexpr TFinal kVT52Finals[] = {
    {'A', ecCursorUp},        {'B', ecCursorDown},      {'C', ecCursorRight},
    {'D', ecCursorLeft},      {'H', ecCursorHome},      {'I', ecReverseLineFeed},
    {'J', ecEraseScreenFrom}, {'K', ecEraseLineFrom},   {'Z', ecIdentify},
};

constexpr TFinal kVT100EscFinals[] = {
    {'H', ecSetTab},          {'7', ecSaveCaretAndAttr}, {'8', ecRestoreCaretAndAttr},
    {'c', ecReset},
};

constexpr TFinal kVT100Ss3Finals[] = {
    {'A', ecAppCursorUp},     {'B', ecAppCursorDown},   {'C', ecAppCursorRight},
    {'D', ecAppCursorLeft},
};

// Control-sequence final letters that keep every parameter.
constexpr TFinal kVT100CsiFinals[] = {
    {'A', ecCursorUp},        {'B', ecCursorDown},      {'C', ecCursorRight},
    {'D', ecCursorLeft},      {'H', ecCursorHome},      {'f', ecCursorMove},
    {'R', ecReportCursorPos}, {'m', ecAttributes},      {'h', ecSetMode},
    {'l', ecResetMode},       {'s', ecSaveCaret},       {'u', ecRestoreCaret},
};

// Final letters chosen by the first character of the first parameter ('\0': no parameter); these drop
// their parameters. A selector not listed is ecUnknown.
struct TSelectedFinal {
    char ch;
    char selector;
    TEscapeCode code;
};
constexpr TSelectedFinal kVT100SelectedFinals[] = {
    {'J', '\0', ecEraseScreenFrom}, {'J', '0', ecEraseScreenFrom},     {'J', '2', ecEraseScreen},
    {'K', '\0', ecEraseLineFrom},   {'K', '0', ecEraseLineFrom},       {'K', '2', ecEraseLine},
    {'g', '\0', ecClearTab},        {'g', '0', ecClearTab},            {'g', '3', ecClearAllTabs},
    {'n', '0',  ecReportDeviceOK},  {'n', '3', ecReportDeviceFailure}, {'n', '5', ecQueryDevice},
    {'n', '6',  ecQueryCursorPos},
};

// What each emulation sends; an empty text is no sequence. "%1" and "%2" stand for the first and
// second parameter as decimal numbers.
struct TSequence {
    TEscapeCode code;
    const char* text;
};
constexpr TSequence kVT52Sequences[] = {
    {ecCursorUp,         "\033A"},  {ecCursorDown,      "\033B"},  {ecCursorRight,   "\033C"},
    {ecCursorLeft,       "\033D"},  {ecCursorHome,      "\033H"},  {ecReverseLineFeed, "\033I"},
    {ecEraseScreenFrom,  "\033J"},  {ecEraseLineFrom,   "\033K"},  {ecIdentify,      "\033Z"},
    {ecIdentResponse,    "\033/Z"},
};
constexpr TSequence kVT100Sequences[] = {
    {ecCursorUp,         "\033[A"},        {ecCursorDown,          "\033[B"},
    {ecCursorRight,      "\033[C"},        {ecCursorLeft,          "\033[D"},
    {ecCursorHome,       "\033[H"},        {ecCursorMove,          "\033[%1;%2f"},
    {ecAppCursorUp,      "\033OA"},        {ecAppCursorDown,       "\033OB"},
    {ecAppCursorRight,   "\033OC"},        {ecAppCursorLeft,       "\033OD"},
    {ecEraseLineFrom,    "\033[K"},        {ecEraseScreenFrom,     "\033[J"},
    {ecEraseLine,        "\033[2K"},       {ecEraseScreen,         "\033[2J"},
    {ecSetTab,           "\033H"},         {ecClearTab,            "\033[g"},
    {ecClearAllTabs,     "\033[3g"},       {ecIdentify,            "\033[c"},
    {ecIdentResponse,    "\033[?1;%1c"},   {ecQueryDevice,         "\033[5n"},
    {ecReportDeviceOK,   "\033[0n"},       {ecReportDeviceFailure, "\033[3n"},
    {ecQueryCursorPos,   "\033[6n"},       {ecReportCursorPos,     "\033[%1;%2R"},
    {ecAttributes,       "\033[m"},        {ecSetMode,             "\033[h"},
    {ecResetMode,        "\033[l"},        {ecReset,               "\033c"},
    {ecSaveCaretAndAttr, "\033" "7"},      {ecRestoreCaretAndAttr, "\033" "8"},
    {ecSaveCaret,        "\033[s"},        {ecRestoreCaret,        "\033[u"},
    {ecTest,             "\033#8"},
};
// clang-format on

using TFinalMap = std::array<TEscapeCode, 256>;

template <size_t N> constexpr TFinalMap MakeFinalMap(const TFinal (&finals)[N]) {
    TFinalMap map{};
    map.fill(ecUnknown);
    for (const TFinal& f : finals)
        map[uint8_t(f.ch)] = f.code;
    return map;
}

using TSequenceMap = std::array<const char*, kEscapeCodeCount>;

template <size_t N> constexpr TSequenceMap MakeSequenceMap(const TSequence (&sequences)[N]) {
    TSequenceMap map{};
    map.fill("");
    for (const TSequence& s : sequences)
        map[s.code] = s.text;
    return map;
}

constexpr TFinalMap kVT52FinalMap = MakeFinalMap(kVT52Finals);
constexpr TFinalMap kVT100EscFinalMap = MakeFinalMap(kVT100EscFinals);
constexpr TFinalMap kVT100Ss3FinalMap = MakeFinalMap(kVT100Ss3Finals);
constexpr TFinalMap kVT100CsiFinalMap = MakeFinalMap(kVT100CsiFinals);
constexpr TSequenceMap kVT52SequenceMap = MakeSequenceMap(kVT52Sequences);
constexpr TSequenceMap kVT100SequenceMap = MakeSequenceMap(kVT100Sequences);

bool IsLetter(char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

// Expands a sequence text: "%1" and "%2" become the first and second parameter in decimal.
QByteArray Expand(const char* text, const QByteArrayList* params) {
    QByteArray out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '%' && (p[1] == '1' || p[1] == '2')) {
            out += QByteArray::number(TEscapeCodes::ParamValue(p[1] - '0', params));
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

} // namespace

TEscapeCodes::TEscapeCodes() = default;
TEscapeCodes::~TEscapeCodes() = default;

int TEscapeCodes::FeedPlainRun(const char*, int) {
    return 0;
}

int TEscapeCodes::FeedGroundRun(const char* data, int count) {
    // Without an open sequence every byte up to the next ESC is a plain character.
    if (count <= 0)
        return 0;
    const void* esc = std::memchr(data, kEsc, size_t(count));
    const int n = esc ? int(static_cast<const char*>(esc) - data) : count;
    if (n > 0)
        m_lastChar = data[n - 1];
    return n;
}

int TEscapeCodes::ParamValue(int index, const QByteArrayList* params) {
    if (!params || index < 1 || index > params->size())
        return 1;
    return ParamTextValue(params->at(index - 1));
}

int TEscapeCodes::ParamTextValue(QByteArrayView text) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first == last)
        return 1;
    // The common parameter: one or two digits.
    if (last - first <= 2 && uint8_t(*first - '0') < 10 && uint8_t(last[-1] - '0') < 10)
        return last - first == 1 ? *first - '0' : (*first - '0') * 10 + (first[1] - '0');
    if (*first == '+' && last - first > 1 && first[1] != '-')
        ++first;
    int value = 0;
    auto [end, error] = std::from_chars(first, last, value, 10);
    if (error != std::errc() || end != last)
        return 1;
    return value;
}

QByteArrayView TEscapeCodes::ParamText(int index) const {
    if (index < 1 || index > ParamCount())
        return {};
    if (!m_paramsPending)
        return m_paramList.at(index - 1);
    const TParamSlice& slice = m_pending[index - 1];
    return QByteArrayView(m_data.constData() + slice.Start, slice.Length);
}

void TEscapeCodes::SetPendingParams(const TParamSlice* slices, int count) {
    if (!m_paramList.isEmpty())
        m_paramList.clear();
    std::copy(slices, slices + count, m_pending);
    m_pendingCount = count;
    m_paramsPending = true;
}

void TEscapeCodes::BuildParamList() const {
    m_paramsPending = false;
    m_paramList.clear();
    m_paramList.reserve(m_pendingCount);
    for (int i = 0; i < m_pendingCount; ++i)
        m_paramList.append(m_data.mid(m_pending[i].Start, m_pending[i].Length));
}

// ---------------------------------------------------------------------------------------------------------

TFeedResult TEscapeCodesVT52::Complete(TEscapeCode code) {
    m_code = code;
    m_state = State::Ground;
    return frCodeReady;
}

int TEscapeCodesVT52::FeedPlainRun(const char* data, int count) {
    return m_state == State::Ground ? FeedGroundRun(data, count) : 0;
}

TFeedResult TEscapeCodesVT52::FeedChar(char ch) {
    if (m_state == State::Ground) {
        if (ch != kEsc) {
            m_lastChar = ch;
            return frPlainChar;
        }
        // Parameters not yet taken still point into the collected bytes.
        TakePendingParams();
        m_data.resize(0); // keeps the capacity
        m_state = State::Escape;
        return frPending;
    }
    m_data += ch;
    switch (m_state) {
    case State::Escape:
        if (ch == 'Y') {
            m_state = State::DirectCursorRow;
            return frPending;
        }
        if (ch == '/') {
            m_state = State::IdentResponse;
            return frPending;
        }
        return Complete(kVT52FinalMap[uint8_t(ch)]);
    case State::DirectCursorRow:
        m_state = State::DirectCursorCol;
        return frPending;
    case State::DirectCursorCol:
        ParamList().append(QByteArray::number(int(uint8_t(m_data.at(1))) - 31));
        ParamList().append(QByteArray::number(int(uint8_t(ch)) - 31));
        return Complete(ecCursorMove);
    case State::IdentResponse:
        return Complete(ch == 'Z' ? ecIdentResponse : ecUnknown);
    case State::Ground:
        break;
    }
    return Complete(ecUnknown);
}

QByteArray TEscapeCodesVT52::CodeToSequence(TEscapeCode code, const QByteArrayList* params) const {
    if (code == ecCursorMove) {
        // One byte per coordinate; a coordinate that does not fit a byte is clamped to the byte range.
        auto coordinate = [&](int index) {
            return char(std::clamp<int64_t>(int64_t(ParamValue(index, params)) + 31, 0, 255));
        };
        QByteArray out("\033Y");
        out += coordinate(1);
        out += coordinate(2);
        return out;
    }
    if (code >= kEscapeCodeCount)
        return {};
    return QByteArray(kVT52SequenceMap[code]);
}

// ---------------------------------------------------------------------------------------------------------

TFeedResult TEscapeCodesVT100::Complete(TEscapeCode code) {
    m_code = code;
    m_state = State::Ground;
    return frCodeReady;
}

bool TEscapeCodesVT100::EntryIs(int index, const char* text) const {
    const TParamSlice& slice = m_params[index];
    return QByteArrayView(m_data.constData() + slice.Start, slice.Length) == QByteArrayView(text);
}

TFeedResult TEscapeCodesVT100::CompleteControlSequence(char final) {
    // The final letter is the last byte of m_data; the open accumulator ends before it.
    const int end = int(m_data.size()) - 1;
    if (end > m_accumulatorStart)
        m_params[m_paramCount++] = {int16_t(m_accumulatorStart), int16_t(end - m_accumulatorStart)};
    TEscapeCode code = ecUnknown;
    bool keepParams = true;
    if (final == 'c') {
        if (m_paramCount == 0 || (m_paramCount == 1 && EntryIs(0, "0")))
            code = ecIdentify;
        else if (m_paramCount == 2 && EntryIs(0, "?1"))
            code = ecIdentResponse;
    } else if (final == 'J' || final == 'K' || final == 'g' || final == 'n') {
        const char selector = m_paramCount == 0 ? '\0' : EntryStart(0);
        for (const TSelectedFinal& f : kVT100SelectedFinals) {
            if (f.ch == final && f.selector == selector) {
                code = f.code;
                break;
            }
        }
        keepParams = false;
    } else {
        code = kVT100CsiFinalMap[uint8_t(final)];
    }
    SetPendingParams(m_params, keepParams ? m_paramCount : 0);
    m_paramCount = 0;
    return Complete(code);
}

TFeedResult TEscapeCodesVT100::CsiByte(char ch) {
    if (IsLetter(ch))
        return CompleteControlSequence(ch);
    const int position = int(m_data.size()) - 1; // where ch is stored
    const bool accumulatorEmpty = position == m_accumulatorStart;
    if (accumulatorEmpty && m_paramCount >= kMaxParameters) {
        m_paramCount = 0;
        return Complete(ecUnknown);
    }
    if (ch == ';' && !accumulatorEmpty) {
        // The separator ends the entry and belongs to none.
        m_params[m_paramCount++] = {int16_t(m_accumulatorStart), int16_t(position - m_accumulatorStart)};
        m_accumulatorStart = position + 1;
    }
    if (m_data.size() >= kMaxSequenceLength) {
        m_paramCount = 0;
        return Complete(ecUnknown);
    }
    return frPending;
}

int TEscapeCodesVT100::FeedPlainRun(const char* data, int count) {
    return m_state == State::Ground ? FeedGroundRun(data, count) : 0;
}

TFeedResult TEscapeCodesVT100::FeedChar(char ch) {
    if (m_state == State::Ground) {
        if (ch != kEsc) {
            m_lastChar = ch;
            return frPlainChar;
        }
        // Parameters not yet taken still point into the collected bytes.
        TakePendingParams();
        m_data.resize(0); // keeps the capacity
        m_state = State::Escape;
        return frPending;
    }
    m_data += ch;
    switch (m_state) {
    case State::Escape:
        switch (ch) {
        case '[':
            m_paramCount = 0;
            m_accumulatorStart = 1;
            m_state = State::CsiParam;
            return frPending;
        case '#':
            m_state = State::EscapeIntermediate;
            return frPending;
        case 'O':
            m_state = State::SingleShift3;
            return frPending;
        default:
            return Complete(kVT100EscFinalMap[uint8_t(ch)]);
        }
    case State::EscapeIntermediate:
        return Complete(ch == '8' ? ecTest : ecUnknown);
    case State::SingleShift3:
        return Complete(kVT100Ss3FinalMap[uint8_t(ch)]);
    case State::CsiParam:
        return CsiByte(ch);
    case State::Ground:
        break;
    }
    return Complete(ecUnknown);
}

QByteArray TEscapeCodesVT100::CodeToSequence(TEscapeCode code, const QByteArrayList* params) const {
    if (code >= kEscapeCodeCount)
        return {};
    return Expand(kVT100SequenceMap[code], params);
}
