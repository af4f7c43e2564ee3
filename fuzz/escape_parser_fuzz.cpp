// fuzz-libs: controls
// Feeds arbitrary bytes through both escape-sequence parsers, acting as the terminal does after each
// completed code, and through the terminal's whole data path on a grid of 2 to 256 columns. Checks the
// parsers' bounds and that nothing the data path asks of its display lies outside the grid.
#include "controls/ComTerminal.h"
#include "controls/EscapeCodes.h"

#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void RunParser(TEscapeCodes& parser, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const TFeedResult result = parser.FeedChar(char(data[i]));
        Check(parser.Data().size() <= TEscapeCodes::kMaxSequenceLength);
        if (result == frCodeReady) {
            Check(parser.Code() != ecNotCompleted);
            Check(parser.ParamList().size() <= TEscapeCodes::kMaxParameters);
            for (int p = 1; p <= parser.ParamList().size(); ++p)
                (void)TEscapeCodes::ParamValue(p, &parser.ParamList());
            // Building the answer from peer-supplied parameters must be safe for every code.
            (void)parser.CodeToSequence(parser.Code(), &parser.ParamList());
            parser.ParamList().clear();
        }
    }
}

// A display that checks every request against the grid.
class TCheckingView : public TTermView {
public:
    explicit TCheckingView(const TCustomComTerminal& term) : m_term(term) {}

    void DrawCell(int col, int row) override { CheckCell(col, row); }
    void InvalidateCells(int left, int top, int right, int bottom) override {
        CheckCell(left, top);
        CheckCell(right, bottom);
        Check(left <= right && top <= bottom);
    }
    void InvalidateAll() override {}
    void ScrollTextArea(bool) override {}
    void GridResized() override {}
    void MoveCaret(int col, int row) override { CheckCell(col, row); }
    void HideCaret() override { ++hidden; }
    void ShowCaret() override { --hidden; }

    int hidden = 0;

private:
    void CheckCell(int col, int row) const {
        Check(col >= 1 && col <= m_term.Columns() && row >= 1 && row <= m_term.Rows());
    }
    const TCustomComTerminal& m_term;
};

void RunTerminal(const uint8_t* data, size_t size) {
    if (size < 3)
        return;
    const uint8_t flags = data[0];
    TCustomComTerminal term;
    TCheckingView view(term);
    term.BeginLoading();
    term.SetEmulation(TTermEmulation(flags % 3));
    term.SetColumns(2 + data[1] % 255);
    term.SetRows(2 + data[2] % 99);
    term.SetWrapLines(flags & 0x04);
    term.SetAppendLF(flags & 0x08);
    term.SetForce7Bit(flags & 0x10);
    term.Loaded();
    term.SetView(&view);
    // Serial data arrives in pieces: break the stream where the flags say.
    const size_t piece = 1 + (flags >> 5) * 9;
    for (size_t pos = 3; pos < size; pos += piece)
        term.ReceiveBuffer(nullptr, data + pos, int(std::min(piece, size - pos)));
    Check(view.hidden == 0);
    const TTermPos caret = term.CaretPos();
    Check(caret.X >= 1 && caret.X <= term.Columns() && caret.Y >= 1 && caret.Y <= term.Rows());
    Check(term.Buffer().Columns() == term.Columns() && term.Buffer().Rows() == term.Rows());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The terminal is a widget: it needs an application object, headless.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "escape_parser_fuzz";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    RunParser(vt52, data, size);
    RunParser(vt100, data, size);
    RunTerminal(data, size);
    return 0;
}
