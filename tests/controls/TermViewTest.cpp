// The visible terminal's history view, selection, copy and paste, find bar and times margin, headless.
#include "ShownWidgets.h"

#include "serial/ComPort.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A shown terminal with history and a client area of 84 x 30 cells.
struct TView : TShownTerminal {
    qint64 now = QDateTime(QDate(2026, 12, 7), QTime(14, 2, 11, 345)).toMSecsSinceEpoch();

    explicit TView(int history = 1000)
        : TShownTerminal(teNone, 84, 30, [&](TComTerminal& t) {
              t.SetWrapLines(true);
              t.SetHistoryLines(history);
              t.SetTimeSource([this] { return now; });
          }) {}
    void Feed(const QByteArray& bytes) {
        TShownTerminal::Feed(bytes);
        Settle();
    }
    void FeedLines(int from, int to) {
        QByteArray text;
        for (int i = from; i <= to; ++i)
            text += "line " + QByteArray::number(i) + "\r\n";
        Feed(text);
    }
    QPoint CellCentre(int col, int row) const { return ScreenCell(col, row).center(); }
    void Mouse(QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held,
               Qt::KeyboardModifiers mods = {}) {
        QMouseEvent e(type, QPointF(at), term.viewport()->mapToGlobal(QPointF(at)), button, held, mods);
        QApplication::sendEvent(term.viewport(), &e);
    }
    void Click(QPoint at, Qt::KeyboardModifiers mods = {}) {
        Mouse(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, mods);
        Mouse(QEvent::MouseButtonRelease, at, Qt::LeftButton, {}, mods);
    }
    QString TopText() const { return QString::fromLatin1(term.LineText(term.TopLine())); }
};

} // namespace

TEST(TermView, BottomIsTheGridAsBeforeAndReadingHistoryHoldsTheView) {
    TView v;
    TView plain(0);
    v.FeedLines(1, 50);
    plain.FeedLines(1, 50);
    ASSERT_EQ(v.term.History().Count(), 27);
    EXPECT_TRUE(v.term.AtBottom());
    EXPECT_EQ(v.term.TopLeft().Y, 1);
    EXPECT_EQ(v.TopText(), "line 28");
    QScrollBar* bar = v.term.verticalScrollBar();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), 27);
    EXPECT_EQ(bar->value(), 27);
    // At the bottom the grid's pixels are those of a terminal without history.
    const QRect grid(0, 0, 80 * v.term.FontWidth(), 24 * v.term.FontHeight());
    EXPECT_EQ(v.Grab().copy(grid), plain.Grab().copy(grid));

    // Shift+PageUp: one page up into the history.
    QTest::keyClick(&v.term, Qt::Key_PageUp, Qt::ShiftModifier);
    EXPECT_FALSE(v.term.AtBottom());
    EXPECT_EQ(v.TopText(), "line 1");
    const QImage before = v.Grab();
    const QRect topRow(0, 0, 80 * v.term.FontWidth(), v.term.FontHeight());

    // New data does not move the view; a mark says it waits below.
    v.FeedLines(51, 60);
    EXPECT_EQ(v.TopText(), "line 1");
    EXPECT_TRUE(v.term.NewDataBelow());
    EXPECT_EQ(v.Grab().copy(topRow), before.copy(topRow));
    EXPECT_EQ(bar->value(), 0);

    // The wheel and Shift+PageDown move through history and screen; End returns to the bottom.
    QTest::keyClick(&v.term, Qt::Key_PageDown, Qt::ShiftModifier);
    EXPECT_EQ(v.TopText(), "line 31");
    QWheelEvent wheel(QPointF(10, 10), v.term.viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(v.term.viewport(), &wheel);
    EXPECT_EQ(v.TopText(), "line 28");
    QTest::keyClick(&v.term, Qt::Key_End);
    EXPECT_TRUE(v.term.AtBottom());
    EXPECT_FALSE(v.term.NewDataBelow());
    EXPECT_EQ(v.TopText(), "line 38");
    EXPECT_EQ(v.term.TopLeft().Y, 1);
    QTest::keyClick(&v.term, Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(v.TopText(), "line 1");
    QTest::keyClick(&v.term, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_TRUE(v.term.AtBottom());

    // At the bottom the view follows the data again.
    v.FeedLines(61, 62);
    EXPECT_TRUE(v.term.AtBottom());
    EXPECT_EQ(v.TopText(), "line 40");
}

TEST(TermView, ViewUpInAFullHistoryKeepsToTheOldestLine) {
    TView v(20);
    v.FeedLines(1, 50);
    QTest::keyClick(&v.term, Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(v.TopText(), "line 8");
    v.FeedLines(51, 55); // five more drop off the top: the view stays on the oldest kept
    EXPECT_EQ(v.term.TopLine(), v.term.FirstLine());
    EXPECT_EQ(v.TopText(), "line 13");
    EXPECT_EQ(v.term.verticalScrollBar()->value(), 0);
}

// Without history the rows still move under a selection: it follows its text up and goes with it.
TEST(TermView, SelectionFollowsItsTextWithoutHistory) {
    TView v(0);
    v.FeedLines(1, 5);
    v.Click(v.CellCentre(2, 3));
    v.Mouse(QEvent::MouseButtonDblClick, v.CellCentre(2, 3), Qt::LeftButton, Qt::LeftButton);
    v.Mouse(QEvent::MouseButtonRelease, v.CellCentre(2, 3), Qt::LeftButton, {});
    v.Click(v.CellCentre(2, 3));
    EXPECT_EQ(v.term.SelectedText(), "line 3");
    v.FeedLines(6, v.term.Rows()); // the grid scrolls by one row
    ASSERT_EQ(v.term.LineText(v.term.TopLine()), "line 2");
    EXPECT_EQ(v.term.SelectedText(), "line 3");
    v.FeedLines(v.term.Rows() + 1, v.term.Rows() + 2); // line 3 scrolls off
    EXPECT_FALSE(v.term.Selection().Active());

    // Rows moving down (VT52 reverse line feed at the top) take a selection on the screen away.
    TView down(10);
    down.term.SetEmulation(teVT52);
    down.FeedLines(1, 3);
    QTest::keyClick(&down.term, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(down.term.Selection().Active());
    down.Feed("\x1bH\x1bI");
    EXPECT_EQ(down.term.LineText(down.term.TopLine() + 1), "line 1");
    EXPECT_FALSE(down.term.Selection().Active());
}

TEST(TermView, MouseSelectsCharactersWordsAndLinesAndCopies) {
    TView v;
    v.Feed("alpha beta-gamma  \r\nsecond line\r\n");
    // Drag from (1, 1) to (5, 2).
    v.Mouse(QEvent::MouseButtonPress, v.CellCentre(1, 1), Qt::LeftButton, Qt::LeftButton);
    v.Mouse(QEvent::MouseMove, v.CellCentre(3, 1), Qt::NoButton, Qt::LeftButton);
    v.Mouse(QEvent::MouseMove, v.CellCentre(5, 2), Qt::NoButton, Qt::LeftButton);
    v.Mouse(QEvent::MouseButtonRelease, v.CellCentre(5, 2), Qt::LeftButton, {});
    EXPECT_EQ(v.term.SelectedText(), "alpha beta-gamma\nsecon");
    // Selected cells are painted reversed: the font colour fills them.
    const QRect firstCell(0, 0, v.term.FontWidth(), v.term.FontHeight());
    EXPECT_GT(CountColour(v.Grab(), firstCell, 0xFFFFFF), firstCell.width() * firstCell.height() / 2);

    // Shift+click extends the selection.
    v.Click(v.CellCentre(11, 2), Qt::ShiftModifier);
    EXPECT_EQ(v.term.SelectedText(), "alpha beta-gamma\nsecond line");

    // A click alone clears it; a double click selects a word, a third click the line.
    v.Click(v.CellCentre(3, 1));
    EXPECT_FALSE(v.term.Selection().Active());
    v.Mouse(QEvent::MouseButtonDblClick, v.CellCentre(8, 1), Qt::LeftButton, Qt::LeftButton);
    v.Mouse(QEvent::MouseButtonRelease, v.CellCentre(8, 1), Qt::LeftButton, {});
    EXPECT_EQ(v.term.SelectedText(), "beta-gamma");
    v.Click(v.CellCentre(8, 1));
    EXPECT_EQ(v.term.SelectedText(), "alpha beta-gamma");

    // Ctrl+Shift+A selects history and screen; Ctrl+Shift+C copies.
    v.FeedLines(1, 40);
    QTest::keyClick(&v.term, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&v.term, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    const QString copied = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(copied.startsWith("alpha beta-gamma\nsecond line\nline 1\nline 2\n"));
    EXPECT_TRUE(copied.endsWith("line 39\nline 40"));
}

TEST(TermView, PasteSendsTypedCharactersAndKeysWithoutShiftStillGoOut) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetBaudRate(br256000);
    TView v;
    v.term.SetComPort(&port);
    v.term.SetConnected(true);
    ASSERT_TRUE(port.Connected());
    v.term.SetLocalEcho(true);

    QGuiApplication::clipboard()->setText("first\nsecond\r\nthird");
    QTest::keyClick(&v.term, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(pty.Read(18), "first\rsecond\rthird");
    EXPECT_EQ(v.term.Buffer().RowText(1), "thirdd"); // echoed like typing: CR returns, no line feed
    QTest::keyClick(&v.term, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(pty.Read(18), "first\rsecond\rthird");
    // A paste while another is under way follows it: neither loses a byte.
    v.term.PasteText(QString(3000, QLatin1Char('p')));
    ASSERT_TRUE(v.term.Pasting());
    v.term.PasteText("tail\n");
    EXPECT_EQ(pty.Read(3005), QByteArray(3000, 'p') + "tail\r");

    // Ctrl+C, Ctrl+V and a plain letter go to the controller as they always did.
    for (const auto& [key, text] : {std::pair{Qt::Key_C, "\x03"}, std::pair{Qt::Key_V, "\x16"}}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier, QString::fromLatin1(text));
        QApplication::sendEvent(&v.term, &press);
    }
    QTest::keyClick(&v.term, Qt::Key_X);
    EXPECT_EQ(pty.Read(3), "\x03\x16x");

    // More than 64 KiB asks first: declined, nothing goes out.
    const QString big(70000, QLatin1Char('a'));
    std::vector<qsizetype> asked;
    bool agree = false;
    v.term.OnConfirmPaste = [&](TComTerminal*, qsizetype bytes) {
        asked.push_back(bytes);
        return agree;
    };
    std::vector<std::pair<qsizetype, bool>> progress;
    v.term.OnPasteProgress = [&](TComTerminal*, qsizetype sent, qsizetype total, bool finished) {
        EXPECT_EQ(total, 70000);
        progress.push_back({sent, finished});
    };
    v.term.PasteText(big);
    EXPECT_EQ(asked, std::vector<qsizetype>{70000});
    EXPECT_FALSE(v.term.Pasting());
    EXPECT_EQ(pty.ReadAvailable(), "");

    // Agreed: it goes out in pieces while the window runs; Esc stops the rest.
    agree = true;
    v.term.PasteText(big);
    ASSERT_TRUE(v.term.Pasting());
    ASSERT_TRUE(WaitUntil([&] { return progress.size() >= 3; }));
    QTest::keyClick(&v.term, Qt::Key_Escape);
    EXPECT_FALSE(v.term.Pasting());
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(progress.back().second);
    const qsizetype sent = progress.back().first;
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 70000);
    EXPECT_EQ(pty.Read(int(sent)).size(), sent);
    EXPECT_EQ(pty.ReadAvailable(), ""); // neither the rest nor the Esc went out
}

TEST(TermView, FindBarHighlightsAndShowsMatchesAndClosesWithEsc) {
    TView v;
    v.Feed("DOOR 1 open\r\n");
    v.FeedLines(1, 60);
    v.Feed("door 2 closed\r\n");
    QTest::keyClick(&v.term, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    TTermFindBar* bar = v.term.FindBar();
    ASSERT_TRUE(bar->isVisible());
    QTest::keyClicks(bar->TextField(), "door");
    // Typing finds from the view's top on: the line at the bottom.
    EXPECT_EQ(v.term.CurrentMatch().Line, v.term.EndLine() - 2);
    const QImage shown = v.Grab();
    EXPECT_GT(CountColour(shown, shown.rect(), 0xFF8700), 0);
    // Next goes round to the first line, in the history: the view moves there.
    QTest::keyClick(bar->TextField(), Qt::Key_Return);
    EXPECT_EQ(v.term.CurrentMatch().Line, v.term.FirstLine());
    EXPECT_FALSE(v.term.AtBottom());
    EXPECT_LE(v.term.TopLine(), v.term.FirstLine());
    // Match case: only the lower-case one.
    bar->MatchCaseBox()->click();
    QTest::keyClick(bar->TextField(), Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(v.term.CurrentMatch().Line, v.term.EndLine() - 2);
    QTest::keyClicks(bar->TextField(), "x");
    EXPECT_FALSE(v.term.CurrentMatch().Valid());
    EXPECT_EQ(bar->StatusLabel()->text(), "Not found");
    // A character the line cannot carry occurs nowhere (it is not a '?').
    v.Feed("who? caf\xe9\r\n");
    for (const char* text : {"who\u20ac", "\u20ac", "caf\u00e9"}) {
        bar->TextField()->setText(QString::fromUtf8(text));
        EXPECT_EQ(v.term.CurrentMatch().Valid(), text[0] == 'c') << text;
    }
    QTest::keyClick(bar->TextField(), Qt::Key_Escape);
    EXPECT_FALSE(bar->isVisible());
    const QImage closed = v.Grab();
    EXPECT_EQ(CountColour(closed, closed.rect(), 0xFF8700) + CountColour(closed, closed.rect(), 0xFFD75F), 0);
}

TEST(TermView, TimesMarginShowsEachLinesArrival) {
    TView v;
    EXPECT_EQ(TComTerminal::TimeText(v.now), "14:02:11.345");
    v.Feed("first\r\n");
    v.now += 1500;
    v.FeedLines(1, 40);
    EXPECT_EQ(v.term.LineTime(v.term.FirstLine()), v.now - 1500);
    const int x = v.term.viewport()->geometry().left();
    v.term.SetShowTimes(true);
    Settle();
    EXPECT_EQ(v.term.viewport()->geometry().left(), x + TComTerminal::kTimeCells * v.term.FontWidth());
    QWidget* margin = v.term.TimeMargin();
    ASSERT_TRUE(margin->isVisible());
    EXPECT_EQ(margin->geometry().right() + 1, v.term.viewport()->geometry().left());
    // Times are drawn beside lines that have one, nothing beside the empty last row.
    const QImage image = margin->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int h = v.term.FontHeight();
    EXPECT_GT(CountColour(image, QRect(0, 0, image.width(), h), 0xA6A6A6), 0);
    EXPECT_EQ(CountColour(image, QRect(0, 23 * h, image.width(), h), 0xA6A6A6), 0);
    v.term.SetShowTimes(false);
    Settle();
    EXPECT_FALSE(margin->isVisible());
    EXPECT_EQ(v.term.viewport()->geometry().left(), x);
}
