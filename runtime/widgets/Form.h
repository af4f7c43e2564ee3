#pragma once

#include "runtime/Component.h"

#include <QPointer>
#include <QWidget>

#include <functional>

using TNotifyEvent = std::function<void(QObject* sender)>;
using TCloseQueryEvent = std::function<void(QObject* sender, bool& canClose)>;

// The base of every window. Besides being a component (its layout sets the loading flag and runs
// Loaded()), it offers the window's show, close-query and destroy handlers as plain replaceable
// callbacks, so that a component can keep the previous handler and call it on (the property storage
// does this). Handlers run through the application's exception report; an exception never unwinds
// through Qt. A refused close query keeps the window open.
//
// OnDestroy must run while the derived window is still whole: a derived window calls DoDestroy() first
// thing in its destructor; this base destructor only runs it when that has not happened.
class TForm : public QWidget, public TComponent {
    Q_OBJECT
    Q_PROPERTY(int Left READ Left WRITE SetLeft)
    Q_PROPERTY(int Top READ Top WRITE SetTop)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(int Height READ Height WRITE SetHeight)
    Q_PROPERTY(TWindowState WindowState READ WindowState WRITE SetWindowState)
    Q_PROPERTY(TPosition Position READ Position WRITE SetPosition)
    Q_PROPERTY(int PixelsPerInch READ PixelsPerInch WRITE SetPixelsPerInch)
    Q_PROPERTY(QWidget* ActiveControl READ ActiveControl WRITE SetActiveControl)

public:
    enum TWindowState { wsNormal, wsMinimized, wsMaximized };
    Q_ENUM(TWindowState)
    enum TPosition {
        poDesigned,
        poDefault,
        poDefaultPosOnly,
        poDefaultSizeOnly,
        poScreenCenter,
        poDesktopCenter
    };
    Q_ENUM(TPosition)

    explicit TForm(QWidget* parent = nullptr);
    ~TForm() override;

    TNotifyEvent OnShow;
    TCloseQueryEvent OnCloseQuery;
    TNotifyEvent OnDestroy;

    int Left() const { return geometry().x(); }
    void SetLeft(int v) { move(v, Top()); }
    int Top() const { return geometry().y(); }
    void SetTop(int v) { move(Left(), v); }
    int Width() const { return QWidget::width(); }
    void SetWidth(int v) { resize(v, QWidget::height()); }
    int Height() const { return QWidget::height(); }
    void SetHeight(int v) { resize(QWidget::width(), v); }
    TWindowState WindowState() const;
    void SetWindowState(TWindowState state);
    TPosition Position() const { return m_position; }
    void SetPosition(TPosition position) { m_position = position; }
    // The resolution the layout was designed for; the screen's own is ScreenPixelsPerInch().
    int PixelsPerInch() const { return m_pixelsPerInch; }
    void SetPixelsPerInch(int v) { m_pixelsPerInch = v; }
    static int ScreenPixelsPerInch();
    QWidget* ActiveControl() const;
    void SetActiveControl(QWidget* control);
    // The window exists on the screen (it has been shown at least once).
    bool HandleAllocated() const { return testAttribute(Qt::WA_WState_Created); }
    // The bounds the window has in the normal state, also while it is minimized or maximized.
    QRect NormalBounds() const;
    void SetNormalBounds(const QRect& bounds);

    // Asks the close-query handler; true when closing is allowed.
    bool CloseQuery();

protected:
    void DoDestroy();
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    TPosition m_position = poDesigned;
    int m_pixelsPerInch = 96;
    QPointer<QWidget> m_activeControl;
    bool m_destroyDone = false;
};
