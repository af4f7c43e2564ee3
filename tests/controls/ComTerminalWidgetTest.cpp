// The visible terminal, headless: properties, font cells, painted pixels, caret, scroll bars and keys.
#include "ShownWidgets.h"

#include "serial/ComPort.h"
#include "support/TestSupport.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMetaClassInfo>
#include <QMetaProperty>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr uint kWhite = 0xFFFFFF;
constexpr uint kBlack = 0x000000;

struct TWidget : TShownTerminal {
    explicit TWidget(TTermEmulation emulation = teVT100orANSI, int columns = 80, int rows = 24)
        : TShownTerminal(emulation, columns, rows) {
        term.clearFocus(); // the window takes the focus when shown; tests give it explicitly
    }
};

// Searches the pixel size of DejaVu Sans Mono that gives cells `height` pixels high; 0 if none does.
int PixelSizeForCellHeight(int height) {
    for (int size = 1; size <= 60; ++size) {
        QFont font("DejaVu Sans Mono");
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        if (metrics.ascent() + metrics.descent() == height)
            return size;
    }
    return 0;
}

void Focus(TComTerminal& term, bool in) {
    QFocusEvent event(in ? QEvent::FocusIn : QEvent::FocusOut, Qt::OtherFocusReason);
    QApplication::sendEvent(&term, &event);
}

} // namespace

// Every declared default is the constructor's value; the two always-stored properties declare none.
TEST(ComTerminalWidget, ConstructorValuesAndStoredDefaults) {
    TComTerminal term;
    const QMetaObject* meta = term.metaObject();
    int defaults = 0;
    for (int i = 0; i < meta->classInfoCount(); ++i) {
        const QMetaClassInfo info = meta->classInfo(i);
        const QByteArray name = info.name();
        if (!name.startsWith("Default."))
            continue;
        ++defaults;
        const QByteArray property = name.mid(8);
        SCOPED_TRACE(property.toStdString());
        const int index = meta->indexOfProperty(property);
        ASSERT_GE(index, 0);
        const QMetaProperty prop = meta->property(index);
        const QVariant value = prop.read(&term);
        const QString text = prop.isEnumType()
                                 ? QString::fromLatin1(prop.enumerator().valueToKey(value.toInt()))
                                 : value.toString();
        EXPECT_EQ(text, QString::fromLatin1(info.value()));
    }
    EXPECT_GE(defaults, 15);
    EXPECT_LT(meta->indexOfClassInfo("Default.Emulation"), 0);
    EXPECT_LT(meta->indexOfClassInfo("Default.ScrollBars"), 0);
    EXPECT_EQ(term.font().family(), TComTerminal::DefaultFont().family());
    EXPECT_TRUE(QFontDatabase::isFixedPitch(TComTerminal::DefaultFont().family()));
}

TEST(ComTerminalWidget, FontRules) {
    TWidget w;
    // A proportional font keeps its size but takes the fixed-pitch family.
    QFont proportional("DejaVu Sans");
    proportional.setPixelSize(20);
    ASSERT_NE(QFontMetrics(proportional).horizontalAdvance('i'),
              QFontMetrics(proportional).horizontalAdvance('W'));
    w.term.setFont(proportional);
    EXPECT_EQ(w.term.font().family(), TComTerminal::DefaultFont().family());
    EXPECT_EQ(w.term.font().pixelSize(), 20);
    EXPECT_TRUE(w.term.GetFontMetrics());
    const QFontMetrics metrics(w.term.font());
    EXPECT_EQ(w.term.FontWidth(), metrics.horizontalAdvance('W'));
    EXPECT_EQ(w.term.FontHeight(), metrics.ascent() + metrics.descent());

    // An underlined fixed-pitch font keeps its family and loses the underline.
    QFont underlined("DejaVu Sans Mono", 11);
    underlined.setUnderline(true);
    w.term.setFont(underlined);
    EXPECT_EQ(w.term.font().family(), "DejaVu Sans Mono");
    EXPECT_FALSE(w.term.font().underline());
    EXPECT_EQ(w.term.FontHeight(),
              QFontMetrics(w.term.font()).ascent() + QFontMetrics(w.term.font()).descent());
}

// A received character is painted in its cell's rectangle in its colours; everything else shows the
// background.
TEST(ComTerminalWidget, ReceivedCharacterPixels) {
    TWidget w;
    w.term.SetColor(0x102030);
    w.Feed("\033[3;5H\033[7mM\033[m\033[1mH");
    const QImage image = w.Grab();
    const QRect reverse = w.ScreenCell(5, 3);
    const QRect bold = w.ScreenCell(6, 3);
    // Reverse: white fill, glyph in the background colour.
    EXPECT_GT(CountColour(image, reverse, kWhite), reverse.width() * reverse.height() / 2);
    EXPECT_GT(CountColour(image, reverse, 0x102030), 0);
    // Bold: the alternative colour on the background.
    EXPECT_GT(CountColour(image, bold, 0x102030), bold.width() * bold.height() / 2);
    EXPECT_GT(CountColour(image, bold, 0xA6A6A6), 0);
    // Neighbours are untouched background.
    EXPECT_TRUE(AllColour(image, w.ScreenCell(4, 3), 0x102030));
    EXPECT_TRUE(AllColour(image, w.ScreenCell(7, 3), 0x102030));
    EXPECT_TRUE(AllColour(image, w.ScreenCell(5, 2), 0x102030));
}

// Drawing a received character asks for a repaint of exactly its cell.
TEST(ComTerminalWidget, ReceivedCharacterRepaintsItsCell) {
    TWidget w;
    w.term.SetCaret(tcNone);
    QRegion painted;
    TPaintWatch spy([&](const QRegion& region) { painted += region; });
    w.term.viewport()->installEventFilter(&spy);
    w.term.viewport()->update();
    ASSERT_TRUE(WaitUntil([&] { return !painted.isEmpty(); }));
    painted = {};
    w.Feed("\033[2;3HQ");
    ASSERT_TRUE(WaitUntil([&] { return !painted.isEmpty(); }));
    EXPECT_EQ(painted, QRegion(w.ScreenCell(3, 2)));
}

// A line feed on the last row moves every row up by one cell height.
TEST(ComTerminalWidget, LineFeedOnLastRowScrollsPixels) {
    TWidget w(teVT100orANSI, 80, 24);
    // A reverse block (white cell) in row r at column r.
    for (int r = 1; r <= 24; ++r)
        w.Feed("\033[" + QByteArray::number(r) + ";" + QByteArray::number(r) + "H\033[7m \033[m");
    QImage before = w.Grab();
    ASSERT_TRUE(AllColour(before, w.ScreenCell(24, 24), kWhite));
    w.Feed("\033[24;1H\n");
    const QImage after = w.Grab();
    for (int r = 2; r <= 24; ++r) {
        SCOPED_TRACE(r);
        EXPECT_TRUE(AllColour(after, w.ScreenCell(r, r - 1), kWhite));
        EXPECT_TRUE(AllColour(after, w.ScreenCell(r, r), kBlack));
    }
    EXPECT_EQ(after.copy(0, 0, after.width(), 23 * w.term.FontHeight()),
              before.copy(0, w.term.FontHeight(), before.width(), 23 * w.term.FontHeight()));
}

TEST(ComTerminalWidget, CaretStyles) {
    const int size16 = PixelSizeForCellHeight(16);
    const int size7 = PixelSizeForCellHeight(7);
    ASSERT_GT(size16, 0);
    ASSERT_GT(size7, 0);
    struct Row {
        const char* name;
        TTermCaret caret;
        int pixelSize;
        int height; // 0: no caret
    };
    // clang-format off
    const Row rows[] = {
        {"underline 16", tcUnderline, size16, 2},
        {"underline 7",  tcUnderline, size7,  0},
        {"block 16",     tcBlock,     size16, 16},
        {"none",         tcNone,      size16, 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TWidget w;
        QFont font("DejaVu Sans Mono");
        font.setPixelSize(row.pixelSize);
        w.term.setFont(font);
        w.term.SetCaret(row.caret);
        w.Feed("\033[3;5H");
        EXPECT_FALSE(w.term.CaretCreated()); // only with the focus
        Focus(w.term, true);
        EXPECT_EQ(w.term.CaretCreated(), row.height > 0);
        EXPECT_EQ(w.term.CaretHeight(), row.height);
        const QRect cell = w.ScreenCell(5, 3);
        const QImage image = w.Grab();
        if (row.height > 0) {
            const QRect caret(cell.left(), cell.bottom() - row.height + 1, cell.width(), row.height);
            EXPECT_EQ(w.term.CaretRect(), caret);
            // The caret inverts the black background; the rest of the cell stays black.
            EXPECT_TRUE(AllColour(image, caret, kWhite));
            EXPECT_EQ(CountColour(image, cell, kWhite), caret.width() * caret.height());
        } else {
            EXPECT_TRUE(w.term.CaretRect().isEmpty());
            EXPECT_TRUE(AllColour(image, cell, kBlack));
        }
        Focus(w.term, false);
        EXPECT_FALSE(w.term.CaretCreated());
        EXPECT_TRUE(AllColour(w.Grab(), cell, kBlack));
    }
}

// The caret is hidden while a received block is displayed, follows the caret cell, and a change of
// style while focused takes effect at once.
TEST(ComTerminalWidget, CaretFollowsAndHides) {
    TWidget w;
    Focus(w.term, true);
    QList<bool> hiddenDuringBlock;
    w.term.OnChar = [&](TCustomComTerminal*, char) { hiddenDuringBlock << w.term.CaretRect().isEmpty(); };
    w.Feed("ab\r\nc");
    EXPECT_EQ(hiddenDuringBlock, QList<bool>(5, true));
    EXPECT_EQ(w.term.CaretRect(), w.ScreenCell(2, 2));
    w.term.SetCaret(tcUnderline);
    EXPECT_EQ(w.term.CaretHeight(), w.term.FontHeight() / 8);
    EXPECT_EQ(w.term.CaretRect().bottom(), w.ScreenCell(2, 2).bottom());
}

TEST(ComTerminalWidget, ScrollBarsOverALargerGrid) {
    // 80 x 24 in a client 60 columns wide and tall enough for the grid and a horizontal bar.
    TWidget w(teVT100orANSI, 60, 26);
    QScrollBar* h = w.term.horizontalScrollBar();
    QScrollBar* v = w.term.verticalScrollBar();
    EXPECT_EQ(h->minimum(), 0);
    EXPECT_EQ(h->maximum(), 20);
    EXPECT_EQ(v->maximum(), 0);
    EXPECT_TRUE(h->isVisible());
    EXPECT_FALSE(v->isVisible());

    // Marks in buffer columns 21 and 80 of row 1.
    w.Feed("\033[1;21H\033[7m \033[1;80H ");
    EXPECT_TRUE(AllColour(w.Grab(), w.ScreenCell(21, 1), kWhite));
    w.term.ModifyScrollBar(Qt::Horizontal, srThumbPosition, 20);
    EXPECT_EQ(w.term.TopLeft(), (TTermPos{21, 1}));
    const QImage image = w.Grab();
    EXPECT_TRUE(AllColour(image, w.ScreenCell(1, 1), kWhite));  // buffer column 21
    EXPECT_TRUE(AllColour(image, w.ScreenCell(60, 1), kWhite)); // buffer column 80
    EXPECT_TRUE(AllColour(image, w.ScreenCell(2, 1), kBlack));
    // Nothing is painted right of the grid's last column.
    EXPECT_TRUE(AllColour(
        image, QRect(60 * w.term.FontWidth(), 0, image.width() - 60 * w.term.FontWidth(), 10), kBlack));

    // Without bars the view returns to the grid's first cell.
    w.term.SetScrollBars(ssNone);
    EXPECT_EQ(w.term.TopLeft(), (TTermPos{1, 1}));
    EXPECT_TRUE(AllColour(w.Grab(), w.ScreenCell(21, 1), kWhite));
}

TEST(ComTerminalWidget, GridThatFitsShowsNoBars) {
    TWidget w(teVT100orANSI, 80, 24);
    EXPECT_EQ(w.term.horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(w.term.verticalScrollBar()->maximum(), 0);
    EXPECT_FALSE(w.term.horizontalScrollBar()->isVisible());
    EXPECT_FALSE(w.term.verticalScrollBar()->isVisible());
    EXPECT_EQ(w.term.viewport()->width(), 80 * w.term.FontWidth());

    // One row short: the vertical bar takes a strip of the width, so the columns no longer fit either,
    // and the horizontal bar takes one more row.
    w.ResizeClient(80, 23);
    const int barWidth = w.term.verticalScrollBar()->width();
    const int barHeight = w.term.horizontalScrollBar()->height();
    EXPECT_TRUE(w.term.verticalScrollBar()->isVisible());
    EXPECT_TRUE(w.term.horizontalScrollBar()->isVisible());
    EXPECT_EQ(w.term.horizontalScrollBar()->maximum(),
              80 - (80 * w.term.FontWidth() - barWidth) / w.term.FontWidth());
    EXPECT_EQ(w.term.verticalScrollBar()->maximum(),
              24 - (23 * w.term.FontHeight() - barHeight) / w.term.FontHeight());
    EXPECT_EQ(w.term.viewport()->size(),
              QSize(80 * w.term.FontWidth() - barWidth, 23 * w.term.FontHeight() - barHeight));
}

TEST(ComTerminalWidget, ScrollRequests) {
    struct Row {
        const char* name;
        bool smooth;
        TScrollRequest request;
        int position;
        int expectedRow; // TopLeft row, starting from position 10 of 0..76
    };
    // clang-format off
    const Row rows[] = {
        {"line down",        false, srLineDown,      0,  12},
        {"line up",          false, srLineUp,        0,  10},
        {"page down",        false, srPageDown,      0,  35},
        {"page up",          false, srPageUp,        0,  1},
        {"thumb position",   false, srThumbPosition, 40, 41},
        {"track, not smooth",false, srThumbTrack,    40, 11},
        {"track, smooth",    true,  srThumbTrack,    40, 41},
        {"past the end",     false, srThumbPosition, 99, 77},
        {"top",              false, srTop,           0,  11},
        {"bottom",           false, srBottom,        0,  11},
        {"end scroll",       false, srEndScroll,     0,  11},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TWidget w(teVT100orANSI, 90, 24); // wide enough for a vertical bar
        w.term.SetRows(100);
        Settle();
        w.term.SetSmoothScroll(row.smooth);
        w.term.ModifyScrollBar(Qt::Vertical, srThumbPosition, 10);
        ASSERT_EQ(w.term.TopLeft().Y, 11);
        w.term.ModifyScrollBar(Qt::Vertical, row.request, row.position);
        EXPECT_EQ(w.term.TopLeft().Y, row.expectedRow);
    }
}

// Dragging the scroll box moves the view while dragging only with SmoothScroll.
TEST(ComTerminalWidget, DraggingTheScrollBox) {
    for (bool smooth : {false, true}) {
        SCOPED_TRACE(smooth);
        TWidget w(teVT100orANSI, 80, 24);
        w.term.SetRows(100);
        w.term.SetSmoothScroll(smooth);
        QScrollBar* v = w.term.verticalScrollBar();
        v->setSliderDown(true);
        v->setSliderPosition(30);
        EXPECT_EQ(w.term.TopLeft().Y, smooth ? 31 : 1);
        v->setSliderPosition(50);
        EXPECT_EQ(w.term.TopLeft().Y, smooth ? 51 : 1);
        v->setSliderDown(false);
        EXPECT_EQ(w.term.TopLeft().Y, 51);
    }
}

TEST(ComTerminalWidget, CellsFollowTheView) {
    TWidget w(teVT100orANSI, 80, 10);
    w.Feed("\033[15;3H\033[7m ");
    w.term.ModifyScrollBar(Qt::Vertical, srThumbPosition, 10);
    EXPECT_EQ(w.term.TopLeft().Y, 11);
    EXPECT_TRUE(AllColour(w.Grab(), w.ScreenCell(3, 5), kWhite));
    // An erase repaints the erased cells where the view shows them.
    w.Feed("\033[15;1H\033[K");
    EXPECT_TRUE(AllColour(w.Grab(), w.ScreenCell(3, 5), kBlack));
}

// Keys on a real port: what reaches the far end of a pseudo-terminal, and where the caret goes.
TEST(ComTerminalWidget, KeysOnAPort) {
    struct Row {
        const char* name;
        TTermEmulation emulation;
        TArrowKeys arrows;
        QByteArray farEndFirst; // received before the key
        Qt::Key key;
        QString text;
        QByteArray sent;
        TTermPos caret; // starting from (5, 5)
    };
    // clang-format off
    const Row rows[] = {
        {"terminal up",           teVT100orANSI, akTerminal, "",           Qt::Key_Up,    "",   "\033[A", {5, 5}},
        {"windows up",            teVT100orANSI, akWindows,  "",           Qt::Key_Up,    "",   "",       {5, 4}},
        {"windows home",          teVT100orANSI, akWindows,  "",           Qt::Key_Home,  "",   "",       {1, 1}},
        {"app keys up",           teVT100orANSI, akTerminal, "\033[?1h",   Qt::Key_Up,    "",   "\033OA", {5, 5}},
        {"app keys beat windows", teVT100orANSI, akWindows,  "\033[?1h",   Qt::Key_Left,  "",   "\033OD", {5, 5}},
        {"app keys: home inert",  teVT100orANSI, akTerminal, "\033[?1h",   Qt::Key_Home,  "",   "",       {5, 5}},
        {"app keys off again",    teVT100orANSI, akTerminal, "\033[?1h\033[?1l", Qt::Key_Down, "", "\033[B", {5, 5}},
        {"vt52 right",            teVT52,        akTerminal, "",           Qt::Key_Right, "",   "\033C",  {5, 5}},
        {"no emulation arrows",   teNone,        akTerminal, "",           Qt::Key_Up,    "",   "",       {5, 5}},
        {"letter",                teNone,        akTerminal, "",           Qt::Key_A,     "a",  "a",      {5, 5}},
        {"enter",                 teVT100orANSI, akTerminal, "",           Qt::Key_Return, "\r", "\r",    {5, 5}},
        {"backspace",             teVT100orANSI, akTerminal, "",           Qt::Key_Backspace, "\b", "\b", {5, 5}},
        {"latin-1",               teNone,        akTerminal, "",           Qt::Key_Eacute, "\u00e9", "\xe9", {5, 5}},
        {"outside latin-1",       teNone,        akTerminal, "",           Qt::Key_unknown, "\u20ac", "",  {5, 5}},
        {"no text",               teNone,        akTerminal, "",           Qt::Key_F5,    "",   "",       {5, 5}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPtyPair pty;
        TComPort port;
        port.SetPort(QString::fromStdString(pty.SlavePath()));
        TWidget w(row.emulation);
        w.term.SetComPort(&port);
        w.term.SetArrowKeys(row.arrows);
        w.term.SetConnected(true);
        ASSERT_TRUE(port.Connected());
        if (!row.farEndFirst.isEmpty()) {
            // The far end's bytes, then a marker that shows they have all been handled.
            QByteArray seen;
            w.term.OnChar = [&](TCustomComTerminal*, char ch) { seen += ch; };
            pty.Write(row.farEndFirst + "!");
            ASSERT_TRUE(WaitUntil([&] { return seen.endsWith('!'); }));
        }
        w.term.SetCaretCell(5, 5);
        QKeyEvent press(QEvent::KeyPress, row.key, Qt::NoModifier, row.text);
        QApplication::sendEvent(&w.term, &press);
        EXPECT_EQ(pty.ReadNow(), row.sent);
        EXPECT_EQ(w.term.CaretPos(), row.caret) << w.term.CaretPos().X << "," << w.term.CaretPos().Y;
    }
}

// Tab moves the focus unless WantTab; with WantTab it is typed. Handlers may change keys.
TEST(ComTerminalWidget, TabAndKeyHandlers) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* term = new TComTerminal;
    term->Loaded();
    auto* edit = new QLineEdit;
    layout->addWidget(term);
    layout->addWidget(edit);
    term->SetComPort(&port);
    term->SetConnected(true);
    window.show();
    QApplication::setActiveWindow(&window);
    term->setFocus();
    ASSERT_TRUE(WaitUntil([&] { return term->hasFocus(); }));
    EXPECT_TRUE(term->CaretCreated());

    QTest::keyClick(term, Qt::Key_Tab);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_FALSE(term->CaretCreated());
    EXPECT_EQ(pty.ReadNow(), "");

    term->setFocus();
    term->SetWantTab(true);
    QTest::keyClick(term, Qt::Key_Tab);
    EXPECT_TRUE(term->hasFocus());
    EXPECT_EQ(pty.ReadNow(), "\t");

    // OnKeyPress changes the character; OnKeyDown turns an arrow key into no key.
    term->OnKeyPress = [](TComTerminal*, QChar& ch) { ch = ch.toUpper(); };
    term->OnKeyDown = [](TComTerminal*, int& key, Qt::KeyboardModifiers) {
        if (key == Qt::Key_Up)
            key = 0;
    };
    QTest::keyClick(term, Qt::Key_Q);
    QTest::keyClick(term, Qt::Key_Up);
    EXPECT_EQ(pty.ReadNow(), "Q");
}

// What is really on the screen (the window's backing store) after a stream arrived in pieces, with the
// event loop running between them, equals a fresh painting of the grid: partial repaints, batched
// scrolls and the caret leave no stale pixels.
TEST(ComTerminalWidget, ScreenMatchesAFreshPaint) {
    for (bool scrolled : {false, true}) {
        SCOPED_TRACE(scrolled);
        TWidget w(teVT100orANSI, 70, 20); // smaller than the grid: both bars
        if (scrolled) {
            w.term.ModifyScrollBar(Qt::Horizontal, srThumbPosition, 5);
            w.term.ModifyScrollBar(Qt::Vertical, srThumbPosition, 3);
        }
        Focus(w.term, true);
        QByteArray stream;
        for (int i = 0; i < 60; ++i) {
            stream += "line " + QByteArray::number(i) + (i % 3 ? "\033[7m" : "\033[m") +
                      QByteArray(i * 7 % 90, 'x');
            stream += i % 5 ? "\r\n" : "\033[3;4H\033[K\033M\033M\r\n\033[24;1H\n";
        }
        for (qsizetype pos = 0; pos < stream.size(); pos += 97) {
            w.Feed(stream.mid(pos, 97));
            if (pos % 3 == 0)
                Settle();
        }
        // Blocks that change cells without scrolling.
        for (int i = 1; i <= 8; ++i) {
            w.Feed("\033[" + QByteArray::number(i * 2) + ";" + QByteArray::number(i * 6) + "Habc\033[1K");
            Settle();
        }
        const QImage screen = OnScreen(w.term.viewport());
        ASSERT_FALSE(screen.isNull());
        EXPECT_TRUE(screen == w.Grab());
    }
}

// The vertical bar as it is on the screen equals a fresh painting of it while the history grows under a
// following view (a piece that leaves its picture as it was does not repaint it), after the view moves
// up into the history, and back at the bottom.
TEST(ComTerminalWidget, ScrollBarOnScreenFollowsTheHistory) {
    QWidget window; // inside a window, as in the console
    auto* term = new TComTerminal(&window);
    term->BeginLoading();
    term->Loaded();
    term->setFont(QFont("DejaVu Sans Mono", 10));
    term->SetHistoryLines(2000);
    term->resize(80 * term->FontWidth() + 40, 24 * term->FontHeight() + 2 * term->frameWidth());
    window.resize(term->size() + QSize(20, 20));
    window.show();
    QScrollBar* bar = term->verticalScrollBar();
    const auto onScreen = [&] { return OnScreen(bar); };
    const auto fresh = [&] { return Fresh(bar); };
    int line = 0;
    const auto feedLines = [&](int count) {
        for (int i = 0; i < count; ++i, ++line) {
            const QByteArray text = "line " + QByteArray::number(line) + "\r\n";
            term->ReceiveBuffer(nullptr, text.constData(), int(text.size()));
        }
        Settle();
    };
    for (int count : {30, 1, 3, 40, 200, 1, 900, 5}) {
        SCOPED_TRACE(count);
        feedLines(count);
        ASSERT_TRUE(bar->isVisible());
        EXPECT_EQ(bar->value(), bar->maximum());
        EXPECT_TRUE(onScreen() == fresh());
    }
    term->ModifyScrollBar(Qt::Vertical, srThumbPosition, bar->maximum() / 2);
    Settle();
    EXPECT_TRUE(onScreen() == fresh());
    feedLines(30); // up in the history the range grows under a still view
    EXPECT_LT(bar->value(), bar->maximum());
    EXPECT_TRUE(onScreen() == fresh());
    term->ModifyScrollBar(Qt::Vertical, srThumbPosition, bar->maximum());
    feedLines(2);
    EXPECT_TRUE(onScreen() == fresh());
}
