#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "runtime/widgets/Form.h"

// A stand-in that publishes properties on behalf of objects of its target class (registered with
// RegisterStoragePropertyInterceptor). The writer reads a property from the stand-in when the stand-in
// publishes it readable; the reader writes into the stand-in when it publishes it writable and calls
// ApplyValues once the block's records are read. Properties named in the class info "WriteOnly"
// (comma-separated) count as not readable: they are saved from the target's own property of that name
// and restored into the stand-in.
class TStoragePropertyInterceptor : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* Target READ Target)

public:
    Q_INVOKABLE explicit TStoragePropertyInterceptor(QObject* target);
    QObject* Target() const { return m_target; }
    // Answers true; nothing asks it.
    virtual bool NeedApplyValues() const { return true; }
    virtual void ApplyValues() {}

private:
    QPointer<QObject> m_target;
};

// Saves and restores a window's normal position and size, its state and its active control. The
// position and size are saved as they are in the normal state, also while the window is minimized or
// maximized. Restored sizes are scaled from the resolution they were saved at to the screen's.
// The bounds are applied only when a bound or the resolution was read: a window whose stream holds
// other records keeps its place.
class TFormStoragePropertyInterceptor : public TStoragePropertyInterceptor {
    Q_OBJECT
    Q_CLASSINFO("WriteOnly", "ActiveControl,PixelsPerInch,WindowState")
    Q_PROPERTY(QWidget* ActiveControl READ ActiveControl WRITE SetActiveControl)
    Q_PROPERTY(int Height READ Height WRITE SetHeight)
    Q_PROPERTY(int Left READ Left WRITE SetLeft)
    Q_PROPERTY(int PixelsPerInch READ PixelsPerInch WRITE SetPixelsPerInch)
    Q_PROPERTY(int Top READ Top WRITE SetTop)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(TForm::TWindowState WindowState READ WindowState WRITE SetWindowState)

public:
    Q_INVOKABLE explicit TFormStoragePropertyInterceptor(QObject* target);

    QWidget* ActiveControl() const { return m_activeControl; }
    void SetActiveControl(QWidget* v) { m_activeControl = v; }
    int Height() const;
    void SetHeight(int v) { m_height = v, m_boundsRead = true; }
    int Left() const;
    void SetLeft(int v) { m_left = v, m_positionRead = m_boundsRead = true; }
    int PixelsPerInch() const { return m_pixelsPerInch; }
    void SetPixelsPerInch(int v) { m_pixelsPerInch = v, m_boundsRead = true; }
    int Top() const;
    void SetTop(int v) { m_top = v, m_positionRead = m_boundsRead = true; }
    int Width() const;
    void SetWidth(int v) { m_width = v, m_boundsRead = true; }
    TForm::TWindowState WindowState() const { return m_windowState; }
    void SetWindowState(TForm::TWindowState v) { m_windowState = v; }

    void ApplyValues() override;

private:
    TForm* Form() const { return qobject_cast<TForm*>(Target()); }
    QPointer<QWidget> m_activeControl;
    int m_left = 0, m_top = 0, m_width = 0, m_height = 0;
    int m_pixelsPerInch = 96;
    TForm::TWindowState m_windowState = TForm::wsNormal;
    bool m_positionRead = false;
    bool m_boundsRead = false;
};
