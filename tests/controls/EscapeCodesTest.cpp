#include "controls/EscapeCodes.h"
#include "ParserTrace.h"

#include <QMetaEnum>

#include <gtest/gtest.h>

#include <memory>

namespace {

enum class TEmu { VT52, VT100 };

std::unique_ptr<TEscapeCodes> MakeParser(TEmu emu) {
    if (emu == TEmu::VT52)
        return std::make_unique<TEscapeCodesVT52>();
    return std::make_unique<TEscapeCodesVT100>();
}

struct TParseRow {
    const char* name;
    TEmu emu;
    QByteArray bytes;
    QStringList expected; // TraceParser's notation
};

QByteArray Repeat(char ch, int count) {
    return QByteArray(count, ch);
}

QByteArray Params(int count) {
    QByteArray out;
    for (int i = 1; i <= count; ++i)
        out += (i > 1 ? ";" : "") + QByteArray::number(i);
    return out;
}

const TEmu VT52 = TEmu::VT52;
const TEmu VT100 = TEmu::VT100;

// clang-format off
const TParseRow kParseRows[] = {
    // VT100 control sequences
    {"home with row and column",  VT100, "\033[10;20H",    {"ecCursorHome[10|20]"}},
    {"up without parameter",      VT100, "\033[A",         {"ecCursorUp[]"}},
    {"up by zero",                VT100, "\033[0A",        {"ecCursorUp[0]"}},
    {"down right left",           VT100, "\033[2B\033[3C\033[4D", {"ecCursorDown[2]", "ecCursorRight[3]", "ecCursorLeft[4]"}},
    {"empty first field",         VT100, "\033[;5H",       {"ecCursorHome[;5]"}},
    {"empty middle field",        VT100, "\033[5;;7H",     {"ecCursorHome[5|;7]"}},
    {"trailing separator",        VT100, "\033[5;H",       {"ecCursorHome[5]"}},
    {"move",                      VT100, "\033[5;6f",      {"ecCursorMove[5|6]"}},
    {"erase screen from",         VT100, "\033[J\033[0J\033[05J", {"ecEraseScreenFrom[]", "ecEraseScreenFrom[]", "ecEraseScreenFrom[]"}},
    {"erase screen",              VT100, "\033[2J",        {"ecEraseScreen[]"}},
    {"erase screen 1 unknown",    VT100, "\033[1J",        {"ecUnknown[]{[1J}"}},
    {"erase line",                VT100, "\033[K\033[0K\033[2K", {"ecEraseLineFrom[]", "ecEraseLineFrom[]", "ecEraseLine[]"}},
    {"erase line 1 unknown",      VT100, "\033[1K",        {"ecUnknown[]{[1K}"}},
    {"tab clear",                 VT100, "\033[g\033[0g\033[3g\033[1g", {"ecClearTab[]", "ecClearTab[]", "ecClearAllTabs[]", "ecUnknown[]{[1g}"}},
    {"device reports",            VT100, "\033[0n\033[3n",  {"ecReportDeviceOK[]", "ecReportDeviceFailure[]"}},
    {"device queries",            VT100, "\033[5n\033[55n\033[6n", {"ecQueryDevice[]", "ecQueryDevice[]", "ecQueryCursorPos[]"}},
    {"status without parameter",  VT100, "\033[n\033[7n",   {"ecUnknown[]{[n}", "ecUnknown[]{[7n}"}},
    {"identify",                  VT100, "\033[c\033[0c",   {"ecIdentify[]", "ecIdentify[0]"}},
    {"ident response",            VT100, "\033[?1;2c",     {"ecIdentResponse[?1|2]"}},
    {"c variants unknown",        VT100, "\033[1c\033[?1c\033[0;0c", {"ecUnknown[1]{[1c}", "ecUnknown[?1]{[?1c}", "ecUnknown[0|0]{[0;0c}"}},
    {"cursor report",             VT100, "\033[3;7R",      {"ecReportCursorPos[3|7]"}},
    {"attributes",                VT100, "\033[1;7m\033[m", {"ecAttributes[1|7]", "ecAttributes[]"}},
    {"modes",                     VT100, "\033[?3h\033[7l", {"ecSetMode[?3]", "ecResetMode[7]"}},
    {"save restore caret",        VT100, "\033[s\033[u",   {"ecSaveCaret[]", "ecRestoreCaret[]"}},
    {"unknown final letter",      VT100, "\033[5x",        {"ecUnknown[5]{[5x}"}},
    {"CR stays in parameters",    VT100, "\033[1\r2H",     {"ecCursorHome[1\\x0d2]"}},
    {"ESC inside a sequence",     VT100, "\033[1\033[2H",  {"ecCursorHome[1\\x1b[2]"}},
    {"plain text around",         VT100, "ab\033[Ac",      {"'a'", "'b'", "ecCursorUp[]", "'c'"}},
    {"control bytes are plain",   VT100, QByteArray("\r\n\x07\x00", 4), {"'\\x0d'", "'\\x0a'", "'\\x07'", "'\\x00'"}},
    {"high bytes are plain",      VT100, "\xe9\xff",       {"'\\xe9'", "'\\xff'"}},
    // VT100 sequences without bracket
    {"set tab",                   VT100, "\033H",          {"ecSetTab[]"}},
    {"save restore all",          VT100, "\0337\0338",     {"ecSaveCaretAndAttr[]", "ecRestoreCaretAndAttr[]"}},
    {"reset",                     VT100, "\033c",          {"ecReset[]"}},
    {"alignment test",            VT100, "\033#8",         {"ecTest[]"}},
    {"other hash final",          VT100, "\033#3",         {"ecUnknown[]{#3}"}},
    {"application cursor",        VT100, "\033OA\033OB\033OC\033OD", {"ecAppCursorUp[]", "ecAppCursorDown[]", "ecAppCursorRight[]", "ecAppCursorLeft[]"}},
    {"other SS3 final",           VT100, "\033Ox",         {"ecUnknown[]{Ox}"}},
    {"unknown single final",      VT100, "\033M",          {"ecUnknown[]{M}"}},
    {"ESC ESC",                   VT100, "\033\033A",      {"ecUnknown[]{\\x1b}", "'A'"}},
    // Bounds on what the peer can make the parser hold
    {"longest open sequence",     VT100, "\033[" + Repeat('1', 255) + "H",
                                                           {"ecUnknown[]{[" + QString(255, '1') + "}", "'H'"}},
    {"just within the length",    VT100, "\033[" + Repeat('1', 254) + "H",
                                                           {"ecCursorHome[" + QString(254, '1') + "]"}},
    {"sixteen parameters",        VT100, "\033[" + Params(16) + "m",
                                                           {"ecAttributes[1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|16]"}},
    {"seventeenth parameter",     VT100, "\033[" + Params(17) + "m",
                                                           {"ecUnknown[]{[" + QString(Params(16)) + ";1}", "'7'", "'m'"}},
    {"lone separators",           VT100, "\033[" + Repeat(';', 20) + "m",
                                                           {"ecAttributes[" + QStringList(10, ";").join('|') + "]"}},
    // VT52
    {"vt52 finals",               VT52,  "\033A\033B\033C\033D\033H\033I\033J\033K\033Z",
        {"ecCursorUp[]", "ecCursorDown[]", "ecCursorRight[]", "ecCursorLeft[]", "ecCursorHome[]",
         "ecReverseLineFeed[]", "ecEraseScreenFrom[]", "ecEraseLineFrom[]", "ecIdentify[]"}},
    {"vt52 direct address",       VT52,  "\033Y\x2a\x3f",  {"ecCursorMove[11|32]"}},
    {"vt52 address home",         VT52,  "\033Y  ",        {"ecCursorMove[1|1]"}},
    {"vt52 address with ESC",     VT52,  "\033Y\033\033",  {"ecCursorMove[-4|-4]"}},
    {"vt52 address high bytes",   VT52,  "\033Y\xff\x80",  {"ecCursorMove[224|97]"}},
    {"vt52 ident response",       VT52,  "\033/Z",         {"ecIdentResponse[]"}},
    {"vt52 other slash",          VT52,  "\033/X",         {"ecUnknown[]{/X}"}},
    {"vt52 ESC ESC",              VT52,  "\033\033A",      {"ecUnknown[]{\\x1b}", "'A'"}},
    {"vt52 unknown final",        VT52,  "\033Q",          {"ecUnknown[]{Q}"}},
    {"vt52 bracket is unknown",   VT52,  "\033[A",         {"ecUnknown[]{[}", "'A'"}},
    {"vt52 plain text",           VT52,  "x\033Ay\r",      {"'x'", "ecCursorUp[]", "'y'", "'\\x0d'"}},
};
// clang-format on

} // namespace

// Each row on a fresh parser, and again on one parser that has run every earlier row (no state may
// leak from one sequence into the next).
TEST(EscapeCodes, ClassificationTable) {
    std::unique_ptr<TEscapeCodes> shared[2] = {MakeParser(VT52), MakeParser(VT100)};
    for (const TParseRow& row : kParseRows) {
        SCOPED_TRACE(row.name);
        auto fresh = MakeParser(row.emu);
        EXPECT_EQ(TraceParser(*fresh, row.bytes), row.expected);
        EXPECT_EQ(TraceParser(*shared[int(row.emu)], row.bytes), row.expected);
    }
}

// The parameters read without the list agree with the list, and a code's parameters that nobody has
// read yet survive the next sequence, which reuses the collected bytes. The list is the caller's:
// plain-rule codes leave it, a control sequence replaces it and VT52 appends to it.
TEST(EscapeCodes, ParamsWithoutList) {
    TEscapeCodesVT100 parser;
    for (char ch : QByteArray("\033[12;;+7;?9H"))
        parser.FeedChar(ch);
    ASSERT_EQ(parser.ParamCount(), 3);
    EXPECT_EQ(parser.ParamText(1), "12");
    EXPECT_EQ(parser.ParamText(2), ";+7");
    EXPECT_EQ(parser.ParamText(3), "?9");
    EXPECT_EQ(parser.ParamText(4), "");
    EXPECT_EQ(parser.ParamNumber(1), 12);
    EXPECT_EQ(parser.ParamNumber(2), 1);
    EXPECT_EQ(parser.ParamNumber(0), 1);
    for (char ch : QByteArray("\0337\033[99x"))
        parser.FeedChar(ch);
    // "ESC 7" left the list alone; "ESC [ 99 x" replaced it.
    EXPECT_EQ(parser.ParamList(), QByteArrayList{"99"});
    for (char ch : QByteArray("\033[4;5m\033H"))
        parser.FeedChar(ch);
    EXPECT_EQ(parser.Data(), "H");
    EXPECT_EQ(parser.ParamList(), (QByteArrayList{"4", "5"}));
    EXPECT_EQ(parser.ParamCount(), 2);
    parser.ParamList().append("+6");
    EXPECT_EQ(parser.ParamNumber(3), 6);
    parser.ClearParams();
    EXPECT_EQ(parser.ParamCount(), 0);
    EXPECT_TRUE(parser.ParamList().isEmpty());
    parser.ParamList() = {"stale"};
    for (char ch : QByteArray("\033[2J"))
        parser.FeedChar(ch);
    EXPECT_TRUE(parser.ParamList().isEmpty());

    TEscapeCodesVT52 vt52;
    vt52.ParamList() = {"x"};
    for (char ch : QByteArray("\033Y!!"))
        vt52.FeedChar(ch);
    EXPECT_EQ(vt52.ParamList(), (QByteArrayList{"x", "2", "2"}));
}

TEST(EscapeCodes, ParamValue) {
    struct Row {
        QByteArrayList params;
        int index;
        int expected;
    };
    // clang-format off
    const Row rows[] = {
        {{}, 1, 1},             {{"7"}, 0, 1},          {{"7"}, 2, 1},          {{"0"}, 1, 0},
        {{"05"}, 1, 5},         {{"3", "9"}, 2, 9},     {{"?1"}, 1, 1},         {{""}, 1, 1},
        {{";5"}, 1, 1},         {{"-3"}, 1, -3},        {{"+4"}, 1, 4},         {{"+"}, 1, 1},
        {{"-"}, 1, 1},          {{"+-4"}, 1, 1},        {{" 5"}, 1, 1},         {{"5 "}, 1, 1},
        {{"0x10"}, 1, 1},       {{"2147483647"}, 1, 2147483647},                {{"2147483648"}, 1, 1},
        {{"-2147483648"}, 1, -2147483647 - 1},          {{"-2147483649"}, 1, 1},
        {{"99999999999999999999"}, 1, 1},               {{"1a"}, 1, 1},         {{"123456"}, 1, 123456},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.params.join(',').toStdString() + " #" + std::to_string(row.index));
        EXPECT_EQ(TEscapeCodes::ParamValue(row.index, &row.params), row.expected);
        if (row.index == 1 && row.params.size() == 1) { // the same rule without a list
            EXPECT_EQ(TEscapeCodes::ParamTextValue(row.params[0]), row.expected);
        }
    }
    EXPECT_EQ(TEscapeCodes::ParamValue(1, nullptr), 1);
}

TEST(EscapeCodes, CodeToSequenceEveryCode) {
    struct Row {
        TEscapeCode code;
        QByteArray vt52;
        QByteArray vt100;
    };
    // Parameters for every row: 11 and 32.
    // clang-format off
    const Row rows[] = {
        {ecUnknown,             "",          ""},            {ecNotCompleted,        "",          ""},
        {ecCursorUp,            "\033A",     "\033[A"},      {ecCursorDown,          "\033B",     "\033[B"},
        {ecCursorLeft,          "\033D",     "\033[D"},      {ecCursorRight,         "\033C",     "\033[C"},
        {ecCursorHome,          "\033H",     "\033[H"},      {ecCursorMove,  "\033Y\x2a\x3f",   "\033[11;32f"},
        {ecReverseLineFeed,     "\033I",     ""},            {ecAppCursorLeft,       "",          "\033OD"},
        {ecAppCursorRight,      "",          "\033OC"},      {ecAppCursorUp,         "",          "\033OA"},
        {ecAppCursorDown,       "",          "\033OB"},      {ecEraseLineFrom,       "\033K",     "\033[K"},
        {ecEraseScreenFrom,     "\033J",     "\033[J"},      {ecEraseLine,           "",          "\033[2K"},
        {ecEraseScreen,         "",          "\033[2J"},     {ecSetTab,              "",          "\033H"},
        {ecClearTab,            "",          "\033[g"},      {ecClearAllTabs,        "",          "\033[3g"},
        {ecIdentify,            "\033Z",     "\033[c"},      {ecIdentResponse,       "\033/Z",    "\033[?1;11c"},
        {ecQueryDevice,         "",          "\033[5n"},     {ecReportDeviceOK,      "",          "\033[0n"},
        {ecReportDeviceFailure, "",          "\033[3n"},     {ecQueryCursorPos,      "",          "\033[6n"},
        {ecReportCursorPos,     "",          "\033[11;32R"}, {ecAttributes,          "",          "\033[m"},
        {ecSetMode,             "",          "\033[h"},      {ecResetMode,           "",          "\033[l"},
        {ecReset,               "",          "\033c"},       {ecSaveCaretAndAttr,    "",          "\033" "7"},
        {ecRestoreCaretAndAttr, "",          "\033" "8"},    {ecSaveCaret,           "",          "\033[s"},
        {ecRestoreCaret,        "",          "\033[u"},      {ecTest,                "",          "\033#8"},
    };
    // clang-format on
    ASSERT_EQ(std::size(rows), size_t(kEscapeCodeCount));
    const QByteArrayList params{"11", "32"};
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    for (const Row& row : rows) {
        SCOPED_TRACE(QMetaEnum::fromType<TEscapeCode>().valueToKey(row.code));
        EXPECT_EQ(vt52.CodeToSequence(row.code, &params), row.vt52);
        EXPECT_EQ(vt100.CodeToSequence(row.code, &params), row.vt100);
    }
}

TEST(EscapeCodes, CodeToSequenceParameters) {
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    EXPECT_EQ(vt100.CodeToSequence(ecCursorMove, nullptr), "\033[1;1f");
    EXPECT_EQ(vt100.CodeToSequence(ecIdentResponse, nullptr), "\033[?1;1c");
    const QByteArrayList two{"2"};
    EXPECT_EQ(vt100.CodeToSequence(ecIdentResponse, &two), "\033[?1;2c");
    const QByteArrayList wide{"-2147483648", "2147483647"};
    EXPECT_EQ(vt100.CodeToSequence(ecReportCursorPos, &wide), "\033[-2147483648;2147483647R");
    EXPECT_EQ(vt52.CodeToSequence(ecCursorMove, &wide), QByteArray("\033Y\x00\xff", 4));
    EXPECT_EQ(vt52.CodeToSequence(ecCursorMove, nullptr), "\033Y  ");
    // Round trip of a VT52 address through the parser.
    const QByteArrayList corner{"24", "80"};
    for (char ch : vt52.CodeToSequence(ecCursorMove, &corner))
        vt52.FeedChar(ch);
    EXPECT_EQ(vt52.Code(), ecCursorMove);
    EXPECT_EQ(vt52.ParamList(), (QByteArrayList{"24", "80"}));
}
