#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QObject>

#include <cstdint>

// The classification of escape sequences shared by the parsers, the terminal and its OnUnhandledCode
// event. The order of the values is part of the interface.
namespace CPortEsc {
Q_NAMESPACE

enum TEscapeCode : uint8_t {
    ecUnknown,      // complete, but not recognised
    ecNotCompleted, // internal to the parsers; never reported as a result
    ecCursorUp,
    ecCursorDown,
    ecCursorLeft,
    ecCursorRight,
    ecCursorHome,
    ecCursorMove,
    ecReverseLineFeed,
    ecAppCursorLeft,
    ecAppCursorRight,
    ecAppCursorUp,
    ecAppCursorDown,
    ecEraseLineFrom,
    ecEraseScreenFrom,
    ecEraseLine,
    ecEraseScreen,
    ecSetTab,
    ecClearTab,
    ecClearAllTabs,
    ecIdentify,
    ecIdentResponse,
    ecQueryDevice,
    ecReportDeviceOK,
    ecReportDeviceFailure,
    ecQueryCursorPos,
    ecReportCursorPos,
    ecAttributes,
    ecSetMode,
    ecResetMode,
    ecReset,
    ecSaveCaretAndAttr,
    ecRestoreCaretAndAttr,
    ecSaveCaret,
    ecRestoreCaret,
    ecTest
};
Q_ENUM_NS(TEscapeCode)

enum TFeedResult : uint8_t {
    frPlainChar, // the byte is an ordinary character, now in LastChar()
    frCodeReady, // a sequence has just been completed: Code(), Data() and ParamList() describe it
    frPending    // the byte was consumed; nothing to do yet
};
Q_ENUM_NS(TFeedResult)

} // namespace CPortEsc

using CPortEsc::TEscapeCode;
using CPortEsc::TFeedResult;
using enum CPortEsc::TEscapeCode;
using enum CPortEsc::TFeedResult;

constexpr int kEscapeCodeCount = int(ecTest) + 1;

// The parser of one emulation: turns received bytes into plain characters and completed escape codes,
// and builds the bytes the emulation sends for a code. An application may derive its own emulation.
//
// Contract: FeedChar is called once per received byte, in order. After frCodeReady the caller reads
// Code(), Data() and ParamList(), acts, and clears ParamList() itself; a parser never clears it when a
// sequence starts. No input raises an error: a sequence that is not recognised, or that runs past the
// bounds below, completes as ecUnknown with Data() holding its bytes, and the parser is idle again.
class TEscapeCodes {
public:
    // Bounds on what a peer can make a parser hold: the bytes collected after ESC, and the number of
    // parameters of one control sequence.
    static constexpr int kMaxSequenceLength = 256;
    static constexpr int kMaxParameters = 16;

    TEscapeCodes();
    virtual ~TEscapeCodes();
    TEscapeCodes(const TEscapeCodes&) = delete;
    TEscapeCodes& operator=(const TEscapeCodes&) = delete;

    virtual TFeedResult FeedChar(char ch) = 0;
    // The bytes to send for `code`; empty when the emulation has no sequence for it. Numeric parameters
    // are read through ParamValue. Changes nothing.
    virtual QByteArray CodeToSequence(TEscapeCode code, const QByteArrayList* params) const = 0;
    // Takes the leading bytes of `data` that FeedChar would hand back one by one as frPlainChar, as if
    // each had been fed (LastChar is the last of them), and returns how many it took. A parser that does
    // not know its plain runs takes none: the caller then feeds byte by byte.
    virtual int FeedPlainRun(const char* data, int count);

    // Parameter `index` (from 1) as a number. A missing list or entry gives 1, and so does an entry that
    // is not a decimal number within the 32-bit range (optional sign, digits only). No lower bound.
    static int ParamValue(int index, const QByteArrayList* params);
    // The same conversion of one parameter text.
    static int ParamTextValue(QByteArrayView text);

    char LastChar() const { return m_lastChar; }
    TEscapeCode Code() const { return m_code; }
    // The bytes collected after ESC for the open or last completed sequence.
    const QByteArray& Data() const { return m_data; }
    QByteArrayList& ParamList() {
        TakePendingParams();
        return m_paramList;
    }
    const QByteArrayList& ParamList() const {
        TakePendingParams();
        return m_paramList;
    }

    // ParamList read without building it: the number of entries, entry `index` (from 1; empty when
    // missing) and its ParamValue. A control sequence's parameters stay slices of Data() until the list
    // is asked for.
    int ParamCount() const { return m_paramsPending ? m_pendingCount : int(m_paramList.size()); }
    QByteArrayView ParamText(int index) const;
    int ParamNumber(int index) const {
        if (index < 1 || index > ParamCount())
            return 1;
        return ParamTextValue(ParamText(index));
    }
    // Empties ParamList, as the caller does after each code.
    void ClearParams() {
        m_paramsPending = false;
        m_pendingCount = 0;
        if (!m_paramList.isEmpty())
            m_paramList.clear();
    }

protected:
    // One parameter as a slice of Data().
    struct TParamSlice {
        int16_t Start = 0;
        int16_t Length = 0;
    };
    // ParamList becomes the `count` slices of Data(); the list itself is built when first asked for.
    void SetPendingParams(const TParamSlice* slices, int count);
    // FeedPlainRun for a parser with no open sequence, whose plain characters are all bytes but ESC.
    int FeedGroundRun(const char* data, int count);
    // Builds ParamList from pending slices; called before Data() is reused for the next sequence.
    void TakePendingParams() const {
        if (m_paramsPending)
            BuildParamList();
    }

    char m_lastChar = 0;
    TEscapeCode m_code = ecUnknown;
    QByteArray m_data;

private:
    void BuildParamList() const;

    mutable QByteArrayList m_paramList;
    mutable bool m_paramsPending = false;
    int m_pendingCount = 0;
    TParamSlice m_pending[kMaxParameters];
};

// VT52: ESC and one final byte; ESC Y row column (one byte each, value = coordinate + 31); ESC / Z.
// A sequence ends after at most three bytes; a second ESC is an unknown final, not a new sequence.
class TEscapeCodesVT52 : public TEscapeCodes {
public:
    TFeedResult FeedChar(char ch) override;
    QByteArray CodeToSequence(TEscapeCode code, const QByteArrayList* params) const override;
    int FeedPlainRun(const char* data, int count) override;

    bool Collecting() const { return m_state != State::Ground; }

private:
    enum class State {
        Ground,
        Escape,          // ESC seen
        DirectCursorRow, // ESC Y
        DirectCursorCol, // ESC Y row
        IdentResponse    // ESC /
    };
    TFeedResult Complete(TEscapeCode code);

    State m_state = State::Ground;
};

// VT100/ANSI: ESC with one final byte, ESC # 8, ESC O with a cursor letter, and control sequences
// ESC [ params letter. A control sequence ends at the first letter; every other byte, control bytes
// and ESC included, stays in its parameter text. Parameters are split at ';', but an empty field is not
// an entry of its own: its ';' starts the next entry (";5" is one entry). A control sequence that
// reaches kMaxSequenceLength bytes or starts a parameter past kMaxParameters without its final letter
// completes as ecUnknown at once; the bytes after it are then plain characters.
class TEscapeCodesVT100 : public TEscapeCodes {
public:
    TFeedResult FeedChar(char ch) override;
    QByteArray CodeToSequence(TEscapeCode code, const QByteArrayList* params) const override;
    int FeedPlainRun(const char* data, int count) override;

    bool Collecting() const { return m_state != State::Ground; }
    bool BracketSeen() const { return m_state == State::CsiParam; }

private:
    enum class State {
        Ground,
        Escape,             // ESC seen
        EscapeIntermediate, // ESC #
        SingleShift3,       // ESC O
        CsiParam            // ESC [ and parameter bytes
    };
    TFeedResult Complete(TEscapeCode code);
    TFeedResult CompleteControlSequence(char final);
    TFeedResult CsiByte(char ch);
    // The first character of finished entry `index` (from 0).
    char EntryStart(int index) const { return m_data.at(m_params[index].Start); }
    bool EntryIs(int index, const char* text) const;

    State m_state = State::Ground;
    // The parameter text split as it arrives: finished entries as slices of m_data, and the open
    // accumulator (the bytes of m_data from m_accumulatorStart on).
    TParamSlice m_params[kMaxParameters];
    int m_paramCount = 0;
    int m_accumulatorStart = 0;
};
