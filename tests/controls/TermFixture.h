#pragma once

#include "ParserTrace.h"
#include "controls/ComTerminal.h"

#include <QStringList>

#include <random>
#include <vector>

// A display that records what the data path asks of it.
class TRecordingView : public TTermView {
public:
    QStringList calls;
    int hideDepth = 0;
    int maxHideDepth = 0;
    TTermPos caret{0, 0};

    void DrawCell(int col, int row) override { calls << QStringLiteral("draw %1,%2").arg(col).arg(row); }
    void InvalidateCells(int left, int top, int right, int bottom) override {
        calls << QStringLiteral("invalidate %1,%2-%3,%4").arg(left).arg(top).arg(right).arg(bottom);
    }
    void InvalidateAll() override { calls << "invalidate all"; }
    void ScrollTextArea(bool up) override { calls << (up ? "scroll up" : "scroll down"); }
    void GridResized() override { calls << "resized"; }
    void MoveCaret(int col, int row) override { caret = {col, row}; }
    void HideCaret() override { maxHideDepth = std::max(maxHideDepth, ++hideDepth); }
    void ShowCaret() override { --hideDepth; }
};

// A loaded terminal with its events recorded.
struct TTermFixture {
    TCustomComTerminal term;
    QByteArray chars;      // every byte OnChar reported
    QStringList unhandled; // OnUnhandledCode as "code{data}"

    explicit TTermFixture(TTermEmulation emulation, int columns = 80, int rows = 24, bool wrap = false) {
        Load(term, emulation, columns, rows, wrap);
        term.OnChar = [this](TCustomComTerminal*, char ch) { chars += ch; };
        term.OnUnhandledCode = [this](TCustomComTerminal*, TEscapeCode code, const QByteArray& data) {
            unhandled << QString::fromLatin1(QMetaEnum::fromType<TEscapeCode>().valueToKey(code)) + "{" +
                             TraceBytes(data) + "}";
        };
    }

    static void Load(TCustomComTerminal& t, TTermEmulation emulation, int columns, int rows, bool wrap) {
        t.BeginLoading();
        t.SetEmulation(emulation);
        t.SetColumns(columns);
        t.SetRows(rows);
        t.SetWrapLines(wrap);
        t.Loaded();
    }

    enum class TChunks { Whole, ByteByByte, Random };

    // Delivers the bytes as the port's link does, in the given pieces.
    void Feed(const QByteArray& bytes, TChunks chunks = TChunks::Whole, unsigned seed = 1) {
        std::mt19937 rng(seed);
        int pos = 0;
        while (pos < bytes.size()) {
            int n = int(bytes.size()) - pos;
            if (chunks == TChunks::ByteByByte)
                n = 1;
            else if (chunks == TChunks::Random)
                n = std::min(n, std::uniform_int_distribution<int>(1, 7)(rng));
            term.ReceiveBuffer(nullptr, bytes.constData() + pos, n);
            pos += n;
        }
    }

    std::vector<QByteArray> RowTexts() const {
        std::vector<QByteArray> rows;
        for (int row = 1; row <= term.Buffer().Rows(); ++row)
            rows.push_back(term.Buffer().RowText(row));
        return rows;
    }
};
