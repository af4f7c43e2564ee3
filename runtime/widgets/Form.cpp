#include "runtime/widgets/Form.h"

#include "runtime/Exception.h"

#include <QApplication>
#include <QCloseEvent>
#include <QScreen>

TForm::TForm(QWidget* parent) : QWidget(parent, Qt::Window), TComponent(this) {}

TForm::~TForm() {
    DoDestroy();
}

void TForm::DoDestroy() {
    if (m_destroyDone)
        return;
    m_destroyDone = true;
    if (OnDestroy)
        GuardedCall([&] { OnDestroy(this); });
}

void TForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return; // shown again by the window system (restore from minimized): not a new showing
    if (OnShow)
        GuardedCall([&] { OnShow(this); });
}

bool TForm::CloseQuery() {
    bool canClose = true;
    if (OnCloseQuery)
        GuardedCall([&] { OnCloseQuery(this, canClose); });
    return canClose;
}

void TForm::closeEvent(QCloseEvent* event) {
    if (CloseQuery())
        event->accept();
    else
        event->ignore();
}

TForm::TWindowState TForm::WindowState() const {
    const Qt::WindowStates s = windowState();
    if (s & Qt::WindowMinimized)
        return wsMinimized;
    if (s & (Qt::WindowMaximized | Qt::WindowFullScreen))
        return wsMaximized;
    return wsNormal;
}

void TForm::SetWindowState(TWindowState state) {
    Qt::WindowStates s = windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
    if (state == wsMinimized)
        s |= Qt::WindowMinimized;
    else if (state == wsMaximized)
        s |= Qt::WindowMaximized;
    setWindowState(s);
}

int TForm::ScreenPixelsPerInch() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? qRound(screen->logicalDotsPerInchY()) : 96;
}

QWidget* TForm::ActiveControl() const {
    if (QWidget* focus = focusWidget(); focus && focus != this)
        return focus;
    return m_activeControl;
}

void TForm::SetActiveControl(QWidget* control) {
    m_activeControl = control;
    if (control && isVisible())
        control->setFocus();
}

QRect TForm::NormalBounds() const {
    if (WindowState() != wsNormal && HandleAllocated()) {
        const QRect normal = normalGeometry();
        if (normal.isValid())
            return normal;
    }
    return geometry();
}

void TForm::SetNormalBounds(const QRect& bounds) {
    if (WindowState() == wsNormal) {
        setGeometry(bounds);
        return;
    }
    // Qt keeps the normal geometry itself; set it by restoring, placing and going back.
    const Qt::WindowStates state = windowState();
    setWindowState(state & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
    setGeometry(bounds);
    setWindowState(state);
}
