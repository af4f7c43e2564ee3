// The session log as hex: rows, the part in the temporary file, following, find and copy.
#include "console/HexLogWindow.h"
#include "console/SessionLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>

TEST(HexLogWindow, RowsShowOffsetHexAndPrintableCharacters) {
    TSessionLog log(8); // most of it in the temporary file
    log.append(QByteArray("Read OK\r\n\x00\x7f\xff"
                          "ABCDEFGHIJ",
                          22));
    THexLogWindow window(log);
    THexLogView* view = window.View();
    EXPECT_EQ(view->RowCount(), 2);
    EXPECT_EQ(view->RowText(0),
              "00000000  52 65 61 64 20 4F 4B 0D  0A 00 7F FF 41 42 43 44  Read OK.....ABCD");
    EXPECT_EQ(view->RowText(1), "00000010  45 46 47 48 49 4A" + QString(33, ' ') + "EFGHIJ");

    // The view follows the log while it shows the end, and stays where the user put it otherwise.
    window.resize(700, 200);
    window.show();
    for (int i = 0; i < 100; ++i)
        log.append(QByteArray(16, char('a' + i % 26)));
    ASSERT_TRUE(WaitUntil([&] { return view->RowCount() == 102; }));
    EXPECT_TRUE(view->AtBottom());
    view->ScrollToRow(0);
    log.append(QByteArray(64, 'z'));
    ASSERT_TRUE(WaitUntil([&] { return view->RowCount() == 106; }));
    EXPECT_EQ(view->TopRow(), 0);

    // Cleared under a selection: the selection goes, nothing is read beyond the end.
    view->Select(1000, 1010);
    log.clear();
    ASSERT_TRUE(WaitUntil([&] { return view->RowCount() == 0; }));
    EXPECT_FALSE(view->HasSelection());
}

TEST(HexLogWindow, FindsTextAndHexBytesBothWaysAndCopiesTheMatch) {
    TSessionLog log(1000);
    QByteArray bytes(3000, '.');
    bytes.replace(100, 5, "ERROR");
    bytes.replace(2500, 5, "ERROR");
    bytes.replace(2990, 3, "\r\n\x1b");
    log.append(bytes);
    THexLogWindow window(log);
    auto find = [&](const QString& text, bool hex, bool forward) {
        window.FindText()->setText(text);
        window.FindHex()->setChecked(hex);
        window.Find(forward);
        EXPECT_TRUE(WaitUntil([&] { return !window.Searching(); }));
        return window.View()->HasSelection() ? window.View()->SelectionStart() : -1;
    };
    struct Row {
        const char* name;
        QString text;
        bool hex;
        bool forward;
        qint64 found; // -1: not found, the selection stays
    };
    const Row rows[] = {
        {"first text match", "ERROR", false, true, 100},
        {"next one, in the file part", "ERROR", false, true, 2500},
        {"none after the last", "ERROR", false, true, 2500},
        {"previous", "ERROR", false, false, 100},
        {"none before the first", "ERROR", false, false, 100},
        {"hex bytes with blanks", "0d 0A 1B", true, true, 2990},
        {"hex bytes across the memory limit", "2E2E", true, false, 2988},
    };
    for (const Row& row : rows)
        EXPECT_EQ(find(row.text, row.hex, row.forward), row.found) << row.name;
    EXPECT_EQ(window.MessageLine()->text(), "Found at offset 2988 (0xbac)");
    find("ERROR", false, false);
    EXPECT_EQ(window.View()->CopyHex(), "45 52 52 4F 52");
    EXPECT_EQ(QApplication::clipboard()->text(), "45 52 52 4F 52");
    EXPECT_EQ(window.View()->CopyText(), "ERROR");

    window.FindText()->setText("0D 0");
    window.FindHex()->setChecked(true);
    window.Find(true);
    EXPECT_EQ(window.MessageLine()->text(), "Type hex bytes, for example 0D 0A");
    EXPECT_EQ(THexLogWindow::Needle("zz", true), QByteArray());
    EXPECT_EQ(THexLogWindow::Needle("41 42", false), "41 42");
}
