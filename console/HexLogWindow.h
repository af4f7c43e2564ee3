#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class TSessionLog;

// The session log as rows of 16 bytes: offset, hex bytes, printable characters ('.' for the others).
// Only the rows in view are read from the log, so a log of any length (most of it in the temporary
// file) opens at once. The view follows the log: while it shows the last row, new rows scroll in.
//
// A selection is a range of bytes (drag, Shift+click extends, Ctrl+A selects all). Ctrl+C copies it as
// hex bytes ("41 42 0D"), Ctrl+Shift+C as the bytes themselves; at most kMaxCopy bytes are copied.
class THexLogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int kBytesPerRow = 16;
    static constexpr qint64 kMaxCopy = qint64(4) << 20;

    explicit THexLogView(const TSessionLog& log, QWidget* parent = nullptr);

    // The text of the row at `row` (0-based) as it is drawn.
    QString RowText(qint64 row) const;
    qint64 RowCount() const;
    qint64 TopRow() const;
    void ScrollToRow(qint64 row);
    bool AtBottom() const;

    bool HasSelection() const { return m_anchor >= 0; }
    qint64 SelectionStart() const { return std::min(m_anchor, m_cursor); }
    qint64 SelectionEnd() const { return std::max(m_anchor, m_cursor) + 1; } // one past the last byte
    void Select(qint64 start, qint64 end);
    void SelectAll();
    // The copied text; also put on the clipboard.
    QString CopyHex();
    QString CopyText();

    // Follows a change of the log's length (the window's timer calls it).
    void LogChanged();

signals:
    void Message(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    int OffsetDigits() const;
    int VisibleRows() const;
    void UpdateScrollRange();
    // The byte under a viewport point, or -1.
    qint64 ByteAt(QPoint at) const;
    QByteArray SelectedBytes(bool& cut) const;

    const TSessionLog& m_log;
    qint64 m_knownSize = 0;
    qint64 m_anchor = -1;
    qint64 m_cursor = -1;
    int m_charWidth = 8;
    int m_lineHeight = 16;
};

// The window around the view: a find bar (text, or hex bytes when "Hex" is checked; Next, Previous)
// and a line for messages. A search runs in slices between the window's events, so searching a long
// log never stalls the console; a new search replaces a running one.
class THexLogWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr qint64 kSearchSlice = qint64(4) << 20;
    static constexpr int kFollowMs = 100;

    explicit THexLogWindow(const TSessionLog& log, QWidget* parent = nullptr);

    THexLogView* View() const { return m_view; }
    QLineEdit* FindText() const { return m_findText; }
    QCheckBox* FindHex() const { return m_findHex; }
    QLabel* MessageLine() const { return m_message; }

    // Starts a search from the selection (or the start / the end of the log).
    void Find(bool forward);
    bool Searching() const { return m_searching; }

    // The bytes the find text stands for; empty when it is empty or not valid hex.
    static QByteArray Needle(const QString& text, bool hex);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void SearchStep();

    const TSessionLog& m_log;
    THexLogView* m_view = nullptr;
    QLineEdit* m_findText = nullptr;
    QCheckBox* m_findHex = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_previous = nullptr;
    QLabel* m_message = nullptr;
    QTimer* m_follow = nullptr;

    bool m_searching = false;
    bool m_forward = true;
    QByteArray m_needle;
    qint64 m_searchPos = 0; // forward: next start; backward: one past the last byte still to look at
    quint64 m_searchGeneration = 0;
};
