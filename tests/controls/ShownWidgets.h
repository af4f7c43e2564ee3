#pragma once

// A shown (offscreen) terminal with a known fixed-pitch font, and what the screen shows of widgets.
#include "controls/ComTerminal.h"

#include <QApplication>
#include <QImage>
#include <QPaintEvent>
#include <QScreen>
#include <QWindow>

#include <functional>

// Widgets show and hide their scroll bars from queued events.
inline void Settle() {
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

// What the window system shows of `widget` right now (the window's backing store), and a fresh painting.
inline QImage OnScreen(QWidget* widget, QImage::Format format = QImage::Format_RGB32) {
    QWidget* window = widget->window();
    const QPoint origin = widget->mapTo(window, QPoint(0, 0));
    return widget->screen()
        ->grabWindow(window->winId(), origin.x(), origin.y(), widget->width(), widget->height())
        .toImage()
        .convertToFormat(format);
}

inline QImage Fresh(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// How many pixels of `rect` have colour `rgb`.
inline int CountColour(const QImage& image, const QRect& rect, uint rgb) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            n += (image.pixel(x, y) & 0xFFFFFF) == rgb;
    return n;
}

inline bool AllColour(const QImage& image, const QRect& rect, uint rgb) {
    return CountColour(image, rect, rgb) == rect.width() * rect.height();
}

// Calls `seen` with the region of every paint event of the widgets it filters, before the paint.
class TPaintWatch : public QObject {
public:
    explicit TPaintWatch(std::function<void(const QRegion&)> seen) : m_seen(std::move(seen)) {}
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            m_seen(static_cast<QPaintEvent*>(e)->region());
        return QObject::eventFilter(watched, e);
    }

private:
    std::function<void(const QRegion&)> m_seen;
};

// A loaded terminal in DejaVu Sans Mono 10 whose client area without bars holds `columns` x `rows` cells;
// `setup` runs while it is being loaded.
struct TShownTerminal {
    TComTerminal term;

    TShownTerminal(TTermEmulation emulation, int columns, int rows,
                   const std::function<void(TComTerminal&)>& setup = {}) {
        term.BeginLoading();
        term.SetEmulation(emulation);
        if (setup)
            setup(term);
        term.Loaded();
        term.setFont(QFont("DejaVu Sans Mono", 10));
        ResizeClient(columns, rows);
        term.show();
        Settle();
    }

    void ResizeClient(int columns, int rows) {
        const int frame = 2 * term.frameWidth();
        term.resize(columns * term.FontWidth() + frame, rows * term.FontHeight() + frame);
        Settle();
    }
    void Feed(const QByteArray& bytes) { term.ReceiveBuffer(nullptr, bytes.constData(), int(bytes.size())); }
    QImage Grab() { return Fresh(term.viewport()); }
    // The pixel rectangle of screen cell (col, row), 1-based.
    QRect ScreenCell(int col, int row) const {
        return {(col - 1) * term.FontWidth(), (row - 1) * term.FontHeight(), term.FontWidth(),
                term.FontHeight()};
    }
};
