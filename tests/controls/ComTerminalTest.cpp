#include "TermFixture.h"

#include "runtime/Exception.h"
#include "support/TestSupport.h"

#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using TChunks = TTermFixture::TChunks;

struct TScreenRow {
    const char* name;
    TTermEmulation emulation;
    int columns;
    int rows;
    bool wrap;
    QByteArray bytes;
    std::vector<QByteArray> texts; // the top rows; every row below them must be empty
    TTermPos caret;
    QStringList unhandled;
};

QByteArray Times(const QByteArray& text, int count) {
    return text.repeated(count);
}

// clang-format off
const TScreenRow kScreenRows[] = {
    // Plain text, no emulation
    {"wrap after the last column", teNone,  80, 24, true,  Times("a", 81),          {Times("a", 80), "a"},      {2, 2},  {}},
    {"no wrap overwrites",         teNone,  80, 24, false, Times("a", 80) + "b",    {Times("a", 79) + "b"},     {80, 1}, {}},
    {"CR LF",                      teNone,  80, 24, false, "A\r\nB",                {"A", "B"},                 {2, 2},  {}},
    {"LF keeps the column",        teNone,  80, 24, false, "abcd\nX",               {"abcd", "    X"},          {6, 2},  {}},
    {"FF is a line feed",          teNone,  80, 24, false, "a\fb",                  {"a", " b"},                {3, 2},  {}},
    {"LF on the last row scrolls", teNone,  10, 4,  false, "1\n\r2\n\r3\n\r4\n\r5", {"2", "3", "4", "5"},       {2, 4},  {}},
    {"wrap on the last row",       teNone,  4,  2,  true,  "abcdefghij",            {"efgh", "ij"},             {3, 2},  {}},
    {"backspace does not erase",   teNone,  80, 24, false, "abc\b\bX\b\b\b\bY",     {"YXc"},                    {2, 1},  {}},
    {"tab stops",                  teNone,  80, 24, false, "a\tb\tc",               {"a       b       c"},      {18, 1}, {}},
    {"no stop to the right",       teNone,  10, 2,  false, "\t\t\tX",               {"        X"},              {10, 1}, {}},
    {"invisible controls",         teNone,  80, 24, false, QByteArray("a\x07\x01\x1b\x00" "b", 6), {"ab"},      {3, 1},  {}},
    // Cursor movement, clamped and wide
    {"far position",               teVT100orANSI, 80, 24, false, "\033[200;200H",   {},                         {80, 24}, {}},
    {"zero position",              teVT100orANSI, 80, 24, false, "\033[5;5H\033[0;0H", {},                      {1, 1},  {}},
    {"move is row then column",    teVT100orANSI, 80, 24, false, "\033[3;4f",       {},                         {4, 3},  {}},
    {"huge up",                    teVT100orANSI, 80, 24, false, "\033[5;5H\033[2147483647A", {},               {5, 1},  {}},
    {"huge home",                  teVT100orANSI, 80, 24, false, "\033[2147483647;2147483647H", {},             {80, 24}, {}},
    {"most negative down",         teVT100orANSI, 80, 24, false, "\033[5;5H\033[-2147483648B", {},              {5, 1},  {}},
    {"huge left and right",        teVT100orANSI, 80, 24, false, "\033[5;5H\033[2147483647D\033[3;1H\033[2147483647C", {}, {80, 3}, {}},
    {"beyond 32 bits reads as 1",  teVT100orANSI, 80, 24, false, "\033[5;5H\033[99999999999A", {},              {5, 4},  {}},
    {"moves never scroll",         teVT100orANSI, 10, 3,  false, "x\033[9B\033[9A",  {"x"},                      {2, 1},  {}},
    {"CR inside a sequence",       teVT100orANSI, 80, 24, false, "abc\033[1\r2Hx",   {"xbc"},                    {2, 1},  {}},
    // Erasing
    {"erase line from",            teVT100orANSI, 80, 24, false, "abcdef\033[1;3H\033[K", {"ab"},               {3, 1},  {}},
    {"erase whole line",           teVT100orANSI, 80, 24, false, "abcdef\r\nxyz\033[1;3H\033[2K", {"", "xyz"},  {1, 1},  {}},
    {"erase screen from",          teVT100orANSI, 80, 24, false, "abc\r\ndef\r\nghi\033[2;2H\033[J", {"abc", "d"}, {2, 2}, {}},
    {"erase screen",               teVT100orANSI, 80, 24, false, "abc\r\ndef\033[2J", {},                       {1, 1},  {}},
    {"erase screen 1 unknown",     teVT100orANSI, 80, 24, false, "abc\033[1J",      {"abc"},                    {4, 1},  {"ecUnknown{[1J}"}},
    // Tab stops
    {"set a stop",                 teVT100orANSI, 80, 24, false, "ab\033H\r\tX",     {"abX"},                    {4, 1},  {}},
    {"clear all stops",            teVT100orANSI, 80, 24, false, "\033[3g\tX",      {"X"},                      {2, 1},  {}},
    {"clear one stop",             teVT100orANSI, 80, 24, false, "\033[1;9H\033[g\r\tX", {Times(" ", 16) + "X"}, {18, 1}, {}},
    // Modes
    {"wrap mode on",               teVT100orANSI, 80, 24, false, "\033[7h" + Times("a", 81), {Times("a", 80), "a"}, {2, 2}, {}},
    {"wrap mode off",              teVT100orANSI, 80, 24, true,  "\033[7l" + Times("a", 81), {Times("a", 80)},  {80, 1}, {}},
    {"private 7 is no mode",       teVT100orANSI, 80, 24, false, "\033[?7h" + Times("a", 81), {Times("a", 80)}, {80, 1}, {}},
    {"132 columns empties",        teVT100orANSI, 80, 24, false, "abc\033[?3h",     {},                         {4, 1},  {}},
    {"back to 80 clamps caret",    teVT100orANSI, 80, 24, false, "\033[?3h\033[1;132H\033[?3lX", {Times(" ", 79) + "X"}, {80, 1}, {}},
    // Save and restore
    {"save and restore all",       teVT100orANSI, 80, 24, false, "\033[3;4H\0337\033[10;10H\0338X", {"", "", "   X"}, {5, 3}, {}},
    {"save and restore caret",     teVT100orANSI, 80, 24, false, "\033[2;2H\033[s\033[9;9H\033[uY", {"", " Y"}, {3, 2}, {}},
    {"restore without save",       teVT100orANSI, 80, 24, false, "\033[5;5H\033[u", {},                        {1, 1},  {}},
    {"alignment test",             teVT100orANSI, 4,  3,  false, "ab\033#8",        {"EEEE", "EEEE", "EEEE"},   {3, 1},  {}},
    {"reset keeps the screen",     teVT100orANSI, 80, 24, false, "ab\033c",         {"ab"},                     {3, 1},  {}},
    // Codes that are not performed
    {"unknown final",              teVT100orANSI, 80, 24, false, "\033[5x",         {},                         {1, 1},  {"ecUnknown{[5x}"}},
    {"reports are not performed",  teVT100orANSI, 80, 24, false, "\033[3;7R\033[0n", {},                        {1, 1},  {"ecReportCursorPos{[3;7R}", "ecReportDeviceOK{[0n}"}},
    {"application cursor codes",   teVT100orANSI, 80, 24, false, "\033[5;5H\033OA\033OB\033OB\033OD\033OC\033OC", {}, {6, 6}, {}},
    {"overlong sequence",          teVT100orANSI, 80, 24, false, "\033[" + Times("1", 300) + "H",
                                                                           {Times("1", 45) + "H"},     {47, 1}, {"ecUnknown{[" + QString(255, '1') + "}"}},
    // VT52
    {"vt52 address",               teVT52,  80, 24, false, "\033Y%%X",             {"", "", "", "", "", "     X"}, {7, 6}, {}},
    {"vt52 reverse line feed",     teVT52,  10, 3,  false, "a\r\nb\033A\033IX",     {" X", "a", "b"},           {3, 1},  {}},
    {"vt52 erase",                 teVT52,  10, 3,  false, "abc\r\ndef\033A\033K\033H\033C\033J", {"a"},         {2, 1},  {}},
    {"vt52 unknown",               teVT52,  10, 3,  false, "\033[A",               {"A"},                      {2, 1},  {"ecUnknown{[}"}},
};
// clang-format on

struct TSnapshot {
    std::vector<QByteArray> texts;
    TTermPos caret;
    QStringList unhandled;
    QByteArray chars;
    friend bool operator==(const TSnapshot&, const TSnapshot&) = default;
};

TSnapshot RunRow(const TScreenRow& row, TChunks chunks, unsigned seed = 1) {
    TTermFixture f(row.emulation, row.columns, row.rows, row.wrap);
    f.Feed(row.bytes, chunks, seed);
    return {f.RowTexts(), f.term.CaretPos(), f.unhandled, f.chars};
}

std::vector<QByteArray> Padded(std::vector<QByteArray> texts, int rows) {
    texts.resize(size_t(rows));
    return texts;
}

} // namespace

// Every row whole, byte by byte and in random pieces: serial data arrives in arbitrary chunks, and the
// screen must not depend on where they break.
TEST(ComTerminal, ScreenTable) {
    for (const TScreenRow& row : kScreenRows) {
        SCOPED_TRACE(row.name);
        const TSnapshot whole = RunRow(row, TChunks::Whole);
        EXPECT_EQ(whole.texts, Padded(row.texts, row.rows));
        EXPECT_EQ(whole.caret, row.caret) << whole.caret.X << "," << whole.caret.Y;
        EXPECT_EQ(whole.unhandled, row.unhandled);
        EXPECT_TRUE(RunRow(row, TChunks::ByteByByte) == whole);
        for (unsigned seed = 1; seed <= 5; ++seed)
            EXPECT_TRUE(RunRow(row, TChunks::Random, seed) == whole) << "seed " << seed;
    }
}

namespace {

// A terminal that performs codes through its own ExecuteCode: it gets every code's parameters as a list.
class TListTerminal : public TCustomComTerminal {
public:
    QStringList performed;
    bool ExecuteCode(TEscapeCode code, QByteArrayList& params) override {
        performed << TraceCode(code, params, {});
        return TCustomComTerminal::ExecuteCode(code, params);
    }
};

std::vector<TTermCell> Cells(const TCustomComTerminal& term) {
    std::vector<TTermCell> cells;
    for (int row = 1; row <= term.Buffer().Rows(); ++row)
        for (int col = 1; col <= term.Buffer().Columns(); ++col)
            cells.push_back(term.Buffer().GetCell(col, row));
    return cells;
}

} // namespace

// The same rows with nobody watching OnChar (plain runs are placed in one sweep) and through a derived
// ExecuteCode (parameters as lists): cells, caret and unreported codes are the same on every path.
TEST(ComTerminal, ScreenTableOnEveryPath) {
    const QByteArray attributes = "\033[1;7mAB\033[mCD\033[4mEF\033[7;24mGH\r\n";
    for (const TScreenRow& row : kScreenRows) {
        SCOPED_TRACE(row.name);
        const QByteArray bytes = (row.emulation == teVT100orANSI ? attributes : QByteArray()) + row.bytes;
        TTermFixture watched(row.emulation, row.columns, row.rows, row.wrap);
        watched.Feed(bytes);
        for (unsigned seed = 0; seed <= 3; ++seed) {
            TTermFixture quiet(row.emulation, row.columns, row.rows, row.wrap);
            quiet.term.OnChar = nullptr;
            TRecordingView view;
            quiet.term.SetView(&view);
            quiet.Feed(bytes, seed == 0 ? TChunks::Whole : TChunks::Random, seed);
            EXPECT_EQ(Cells(quiet.term), Cells(watched.term)) << "seed " << seed;
            EXPECT_EQ(quiet.term.CaretPos(), watched.term.CaretPos());
            EXPECT_EQ(view.caret, watched.term.CaretPos());
            EXPECT_EQ(quiet.unhandled, watched.unhandled);
            quiet.term.SetView(nullptr);
        }
        // Watched through a run handler paired with OnChar: the same bytes in the same order.
        TTermFixture paired(row.emulation, row.columns, row.rows, row.wrap);
        paired.term.SetCharRunHandler(
            [&](TCustomComTerminal*, const char* chars, int count) { paired.chars.append(chars, count); });
        paired.Feed(bytes, TTermFixture::TChunks::Random, 5);
        EXPECT_EQ(paired.chars, watched.chars);
        EXPECT_EQ(Cells(paired.term), Cells(watched.term));
        EXPECT_EQ(paired.term.CaretPos(), watched.term.CaretPos());
        EXPECT_EQ(paired.unhandled, watched.unhandled);
        TListTerminal derived;
        TTermFixture::Load(derived, row.emulation, row.columns, row.rows, row.wrap);
        derived.DisplayStr(bytes);
        EXPECT_EQ(Cells(derived), Cells(watched.term));
        EXPECT_EQ(derived.CaretPos(), watched.term.CaretPos());
    }
    TListTerminal derived;
    derived.Loaded();
    derived.DisplayStr("\033[5;7H\033[1;4m\033[2J\033[?1h\0337");
    EXPECT_EQ(derived.performed, (QStringList{"ecCursorHome[5|7]", "ecAttributes[1|4]", "ecEraseScreen[]",
                                              "ecSetMode[?1]", "ecSaveCaretAndAttr[]"}));
    EXPECT_TRUE(derived.AppCursorKeys());
}

// A run handler stands in for OnChar only while OnChar holds a handler of the kind it was paired with.
TEST(ComTerminal, RunHandlerFollowsItsOnChar) {
    TTermFixture f(teVT100orANSI);
    QByteArray runs;
    f.term.SetCharRunHandler(
        [&](TCustomComTerminal*, const char* chars, int count) { runs.append(chars, count); });
    f.Feed("ab\033[1mcd\r\n");
    EXPECT_EQ(f.chars + runs, "abcd\r\n");
    EXPECT_FALSE(runs.isEmpty());
    QByteArray other;
    f.term.OnChar = [&](TCustomComTerminal*, char ch) { other += ch; };
    const QByteArray before = runs;
    f.Feed("ef\033[mgh");
    EXPECT_EQ(other, "efgh");
    EXPECT_EQ(runs, before);
    f.term.OnChar = nullptr;
    f.Feed("ij");
    EXPECT_EQ(runs, before);
    EXPECT_EQ(f.RowTexts()[1].trimmed(), "efghij");
}

// Every event's handler may drop or replace itself while it runs: what it holds stays alive until it
// returns, and what comes next goes to the new handler (or nobody).
TEST(ComTerminal, HandlersMayDropThemselves) {
    struct TCase {
        const char* name;
        TTermEmulation emulation;
        // Sets on the terminal a handler that runs `body` (which clears the handler) and then `use`.
        std::function<void(TCustomComTerminal&, std::function<void()> body)> install;
        std::function<void(TTermFixture&)> trigger;
    };
    const TCase cases[] = {
        {"OnChar", teNone,
         [](TCustomComTerminal& t, std::function<void()> body) {
             t.OnChar = [body](TCustomComTerminal* s, char) { s->OnChar = nullptr, body(); };
         },
         [](TTermFixture& f) { f.Feed("ab"); }},
        {"run handler", teNone,
         [](TCustomComTerminal& t, std::function<void()> body) {
             t.SetCharRunHandler(
                 [body](TCustomComTerminal* s, const char*, int) { s->SetCharRunHandler(nullptr), body(); });
         },
         [](TTermFixture& f) { f.Feed("ab\r\n"); }},
        {"OnStrRecieved", teNone,
         [](TCustomComTerminal& t, std::function<void()> body) {
             t.OnStrRecieved = [body](TCustomComTerminal* s, QByteArray&) {
                 s->OnStrRecieved = nullptr, body();
             };
         },
         [](TTermFixture& f) { f.term.ReceiveStr("ab"); }},
        {"OnGetEscapeCodes", teVT100orANSI,
         [](TCustomComTerminal& t, std::function<void()> body) {
             t.OnGetEscapeCodes = [body](TCustomComTerminal* s, std::unique_ptr<TEscapeCodes>&) {
                 s->OnGetEscapeCodes = nullptr, body();
             };
         },
         [](TTermFixture& f) { f.term.SetEmulation(teNone); }},
        {"OnUnhandledCode", teVT100orANSI,
         [](TCustomComTerminal& t, std::function<void()> body) {
             t.OnUnhandledCode = [body](TCustomComTerminal* s, TEscapeCode, const QByteArray&) {
                 s->OnUnhandledCode = nullptr, body();
             };
         },
         [](TTermFixture& f) { f.Feed("\033[5x"); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TTermFixture f(c.emulation);
        int calls = 0;
        auto held = std::make_shared<QByteArray>(256, '!');
        const std::weak_ptr<QByteArray> watch = held;
        c.install(f.term, [&calls, &watch, held] {
            ++calls;
            EXPECT_FALSE(watch.expired()); // the running handler's capture
        });
        held.reset();
        c.trigger(f);
        EXPECT_TRUE(watch.expired());
        c.trigger(f);
        EXPECT_EQ(calls, 1);
    }
}

// Without emulation every received byte reaches OnChar in order, and the grid matches a plain-text
// rendering of the stream with wrap and scroll.
TEST(ComTerminal, PlainStreamMatchesTextRendering) {
    constexpr int kColumns = 7;
    constexpr int kRows = 4;
    const QByteArray alphabet = QByteArray("abcdefgh \r\n\r\n\x07\x1b\x00", 16);
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        QByteArray stream;
        const int length = std::uniform_int_distribution<int>(0, 200)(rng);
        for (int i = 0; i < length; ++i)
            stream += alphabet[std::uniform_int_distribution<int>(0, int(alphabet.size()) - 1)(rng)];

        // The rendering: lines of text; a full line continues on the next, a line feed below the
        // last line drops the first.
        std::vector<QByteArray> lines(kRows, QByteArray(kColumns, ' '));
        int x = 0, y = 0;
        auto down = [&] {
            if (y + 1 < kRows) {
                ++y;
            } else {
                lines.erase(lines.begin());
                lines.push_back(QByteArray(kColumns, ' '));
            }
        };
        for (char ch : stream) {
            if (ch == '\r') {
                x = 0;
            } else if (ch == '\n') {
                down();
            } else if (uint8_t(ch) >= 0x20) {
                lines[size_t(y)][x] = ch;
                if (++x == kColumns) {
                    x = 0;
                    down();
                }
            }
        }
        for (QByteArray& line : lines) {
            while (line.endsWith(' '))
                line.chop(1);
        }

        TTermFixture f(teNone, kColumns, kRows, true);
        f.Feed(stream, TChunks::Random, unsigned(round));
        SCOPED_TRACE(TraceBytes(stream).toStdString());
        EXPECT_EQ(f.chars, stream);
        EXPECT_EQ(f.RowTexts(), lines);
        EXPECT_EQ(f.term.CaretPos(), (TTermPos{x + 1, y + 1}));
    }
}

TEST(ComTerminal, CellAttributes) {
    TTermFixture f(teVT100orANSI);
    f.term.SetColor(0x000010);
    f.term.SetFontColor(0xF0F0F0);
    f.term.SetAltColor(0x808080);
    f.Feed("\033[1;7mA\033[mB\033[7mC\033[4;27mD\033[24;1mE\033[21mF\033[0;4;9mG\033[;7mH\033[1\033[4m");
    struct Row {
        int col;
        TTermCell cell;
    };
    // clang-format off
    const Row rows[] = {
        {1, {'A', 0x808080, 0xF0F0F0, false}}, // bold wins over reverse for the text colour
        {2, {'B', 0xF0F0F0, 0x000010, false}},
        {3, {'C', 0x000010, 0xF0F0F0, false}},
        {4, {'D', 0xF0F0F0, 0x000010, true}},
        {5, {'E', 0x808080, 0x000010, false}},
        {6, {'F', 0xF0F0F0, 0x000010, false}},
        {7, {'G', 0xF0F0F0, 0x000010, true}},  // unknown values are ignored
        {8, {'H', 0x808080, 0x000010, true}},  // ";7" is one entry that reads as 1: bold
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cell.Ch);
        EXPECT_EQ(f.term.Buffer().GetCell(row.col, 1), row.cell);
    }
    // The sequence "ESC [ 1 ESC [ 4 m" is one code with the entry "1\x1b[4": not a number, so bold.
    EXPECT_EQ(f.term.Attributes(), (TTermAttributes{false, true, true}));

    f.Feed("\0337\033[24;7m\0338");
    EXPECT_EQ(f.term.Attributes(), (TTermAttributes{false, true, true}));
    f.Feed("\033[4m\033c");
    EXPECT_EQ(f.term.Attributes(), TTermAttributes{});
    f.Feed("\033#8");
    EXPECT_EQ(f.term.Buffer().GetCell(80, 24), (TTermCell{'E', 0xF0F0F0, 0x000010, false}));
}

TEST(ComTerminal, ViewRequests) {
    TTermFixture f(teVT100orANSI, 10, 3);
    TRecordingView view;
    f.term.SetView(&view);
    f.Feed("ab\r\n\n\nc\033[1;3H\033[K\033[J\033#8");
    EXPECT_EQ(view.calls, (QStringList{"draw 1,1", "draw 2,1", "scroll up", "draw 1,3", "invalidate 3,1-10,1",
                                       "invalidate 3,1-10,1", "invalidate 1,2-10,3", "invalidate all"}));
    EXPECT_EQ(view.caret, f.term.CaretPos());
    EXPECT_EQ(view.hideDepth, 0);
    EXPECT_EQ(view.maxHideDepth, 1);

    view.calls.clear();
    f.term.SetColumns(20);
    f.term.SetColumns(20);
    EXPECT_EQ(view.calls, (QStringList{"resized", "invalidate all"}));
    EXPECT_EQ(f.RowTexts(), (std::vector<QByteArray>{"", "", ""}));

    // A handler that throws ends the block, and the caret shows again.
    f.term.OnChar = [](TCustomComTerminal*, char ch) {
        if (ch == 'y')
            throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(f.Feed("\033[Hxyz"), std::runtime_error);
    EXPECT_EQ(f.term.Buffer().RowText(1), "xy");
    EXPECT_EQ(view.hideDepth, 0);
}

TEST(ComTerminal, ReceivePreprocessing) {
    {
        TTermFixture f(teNone);
        f.term.SetAppendLF(true);
        f.Feed("\r\r\nA");
        EXPECT_EQ(f.chars, "\r\n\r\n\nA");
    }
    {
        TTermFixture f(teNone);
        f.term.SetForce7Bit(true);
        f.Feed("\xc1\xe2\x8d");
        EXPECT_EQ(f.chars, "Ab\r");
    }
    {
        TTermFixture f(teNone);
        f.Feed("\xc1");
        EXPECT_EQ(f.chars, "\xc1");
    }
    {
        TTermFixture f(teVT100orANSI);
        QByteArrayList blocks;
        f.term.OnStrRecieved = [&](TCustomComTerminal*, QByteArray& str) {
            blocks << str;
            str = str == "drop" ? QByteArray() : str.toUpper();
        };
        f.Feed("abc");
        f.Feed("drop");
        f.Feed("\033[2;1fx");
        EXPECT_EQ(blocks, (QByteArrayList{"abc", "drop", "\033[2;1fx"}));
        // The handler upper-cased the final letter too: ESC [ 2 ; 1 F is no move.
        EXPECT_EQ(f.RowTexts()[0], "ABCX");
        EXPECT_EQ(f.chars, "ABCX");
    }
}

TEST(ComTerminal, ParserFollowsEmulation) {
    TTermFixture f(teNone);
    EXPECT_EQ(f.term.EscapeCodes(), nullptr);
    f.term.SetEmulation(teVT52);
    EXPECT_NE(dynamic_cast<TEscapeCodesVT52*>(f.term.EscapeCodes()), nullptr);
    f.term.SetEmulation(teVT100orANSI);
    EXPECT_NE(dynamic_cast<TEscapeCodesVT100*>(f.term.EscapeCodes()), nullptr);

    // teNone with an application parser.
    int asked = 0;
    f.term.OnGetEscapeCodes = [&](TCustomComTerminal*, std::unique_ptr<TEscapeCodes>& codes) {
        ++asked;
        codes = std::make_unique<TEscapeCodesVT52>();
    };
    f.term.SetEmulation(teNone);
    EXPECT_EQ(asked, 1);
    f.Feed("abc\033HX");
    EXPECT_EQ(f.RowTexts()[0], "Xbc");

    // While loading, the parser waits for Loaded.
    TCustomComTerminal loading;
    loading.BeginLoading();
    loading.SetEmulation(teVT52);
    EXPECT_EQ(loading.EscapeCodes(), nullptr);
    loading.Loaded();
    EXPECT_NE(dynamic_cast<TEscapeCodesVT52*>(loading.EscapeCodes()), nullptr);

    // A handler that replaces the parser while a block is being displayed does not disturb the block.
    TTermFixture replaced(teVT100orANSI);
    replaced.term.OnUnhandledCode = [](TCustomComTerminal* term, TEscapeCode, const QByteArray&) {
        term->SetEmulation(teVT52);
    };
    replaced.Feed("\033[5x\033Y!!Z");
    EXPECT_EQ(replaced.RowTexts()[1], " Z");
}

TEST(ComTerminal, SizeSetters) {
    struct Row {
        int set;
        int columns;
        int rows;
    };
    // clang-format off
    const Row rows[] = {{1, 2, 2}, {0, 2, 2}, {300, 256, 100}, {150, 150, 100}, {-5, 2, 2}, {40, 40, 40}};
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.set);
        for (const char* property : {"Columns", "Rows"}) {
            TTermFixture f(teNone);
            f.Feed("text");
            f.term.setProperty(property, row.set); // clamped, and the screen is emptied
            EXPECT_EQ(f.term.property(property).toInt(), property[0] == 'C' ? row.columns : row.rows);
            EXPECT_EQ(f.term.Buffer().RowText(1), "");
            EXPECT_EQ(f.term.Buffer().Columns(), f.term.Columns());
            EXPECT_EQ(f.term.Buffer().Rows(), f.term.Rows());
        }
    }
    // At a limit, asking beyond it still empties the screen; the caret is brought inside a smaller grid.
    TTermFixture f(teVT100orANSI);
    f.term.SetColumns(256);
    f.Feed("x\033[20;200H");
    f.term.SetColumns(300);
    EXPECT_EQ(f.term.Buffer().RowText(1), "");
    f.term.SetColumns(10);
    f.term.SetRows(5);
    EXPECT_EQ(f.term.CaretPos(), (TTermPos{10, 5}));
    f.Feed("Q");
    EXPECT_EQ(f.term.Buffer().RowText(5), "         Q");
    f.term.SetRows(2);
    f.Feed("\033[Hy");
    ASSERT_EQ(f.term.Buffer().RowText(1), "y");
    f.term.SetRows(-5);
    EXPECT_EQ(f.term.Buffer().RowText(1), "");
}

// A port that calls its link from its own thread has the data shown in the terminal's thread, in order.
TEST(ComTerminal, DataFromAnotherThreadIsHandedOver) {
    TTermFixture f(teNone);
    QByteArray sent;
    bool sameThread = true;
    f.term.OnChar = [&](TCustomComTerminal* term, char ch) {
        sameThread = sameThread && QThread::currentThread() == term->thread();
        f.chars += ch;
    };
    std::thread sender([&] {
        for (int i = 0; i < 100; ++i) {
            const QByteArray piece = QByteArray::number(i) + ",";
            f.term.ReceiveBuffer(nullptr, piece.constData(), int(piece.size()));
        }
    });
    for (int i = 0; i < 100; ++i)
        sent += QByteArray::number(i) + ",";
    sender.join();
    ASSERT_TRUE(WaitUntil([&] { return f.chars.size() == sent.size(); }));
    EXPECT_EQ(f.chars, sent);
    EXPECT_TRUE(sameThread);
}

// The port's data is displayed a turn's budget at a time: a block larger than one turn leaves a
// backlog, later blocks queue behind it, and in the end every byte is shown once, in order.
TEST(ComTerminal, PortDataInTurns) {
    TTermFixture f(teNone, 80, 24, true);
    QByteArray first;
    for (int i = 0; first.size() < (8 << 20); ++i)
        first += "line " + QByteArray::number(i) + "\r\n";
    const QByteArray second = "second block\r\n";
    f.term.ReceiveFromPort(first.constData(), int(first.size()));
    EXPECT_TRUE(first.startsWith(f.chars));
    f.term.ReceiveFromPort(second.constData(), int(second.size()));
    ASSERT_TRUE(WaitUntil([&] { return f.term.Backlog() == 0; }, std::chrono::seconds(60)));
    EXPECT_EQ(f.chars.size(), first.size() + second.size());
    EXPECT_TRUE(f.chars == first + second);
    EXPECT_EQ(f.RowTexts()[22], "second block");
}
