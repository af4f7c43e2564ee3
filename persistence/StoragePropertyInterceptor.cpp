#include "persistence/StoragePropertyInterceptor.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

int ToInt(double v) {
    return int(std::clamp(v, double(INT_MIN), double(INT_MAX)));
}

// Stored bounds brought onto the screen they are on (or the main one): no larger than its available
// area, no smaller than the window's least size, and inside the area, so that a store written on
// another monitor layout, or a crafted one, never hides the window or shrinks it to nothing.
QRect FitOnScreen(const QWidget* form, double left, double top, double width, double height) {
    QScreen* screen = QGuiApplication::screenAt(QPoint(ToInt(left + width / 2), ToInt(top + height / 2)));
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QRect(ToInt(left), ToInt(top), ToInt(width), ToInt(height));
    const QRect area = screen->availableGeometry();
    const QSize least = form->minimumSize().expandedTo(form->minimumSizeHint()).expandedTo(QSize(1, 1));
    const double w = std::clamp(width, double(least.width()), double(std::max(area.width(), least.width())));
    const double h =
        std::clamp(height, double(least.height()), double(std::max(area.height(), least.height())));
    const double x =
        std::clamp(left, double(area.left()), double(area.left()) + std::max(0.0, area.width() - w));
    const double y =
        std::clamp(top, double(area.top()), double(area.top()) + std::max(0.0, area.height() - h));
    return QRect(ToInt(x), ToInt(y), ToInt(w), ToInt(h));
}

} // namespace

TStoragePropertyInterceptor::TStoragePropertyInterceptor(QObject* target) : m_target(target) {}

TFormStoragePropertyInterceptor::TFormStoragePropertyInterceptor(QObject* target)
    : TStoragePropertyInterceptor(target) {
    if (TForm* form = Form()) {
        const QRect r = form->NormalBounds();
        m_left = r.left();
        m_top = r.top();
        m_width = r.width();
        m_height = r.height();
        m_pixelsPerInch = form->PixelsPerInch();
        m_windowState = form->WindowState();
        m_activeControl = form->ActiveControl();
    }
}

int TFormStoragePropertyInterceptor::Height() const {
    return Form() ? Form()->NormalBounds().height() : 0;
}
int TFormStoragePropertyInterceptor::Left() const {
    return Form() ? Form()->NormalBounds().left() : 0;
}
int TFormStoragePropertyInterceptor::Top() const {
    return Form() ? Form()->NormalBounds().top() : 0;
}
int TFormStoragePropertyInterceptor::Width() const {
    return Form() ? Form()->NormalBounds().width() : 0;
}

void TFormStoragePropertyInterceptor::ApplyValues() {
    TForm* form = Form();
    if (!form)
        return;
    // A resolution outside any real screen's is taken as unknown: no scaling.
    double left = m_left, top = m_top, width = m_width, height = m_height;
    if (m_pixelsPerInch >= 24 && m_pixelsPerInch <= 960) {
        const double factor = double(TForm::ScreenPixelsPerInch()) / m_pixelsPerInch;
        left = std::round(left * factor);
        top = std::round(top * factor);
        width = std::round(width * factor);
        height = std::round(height * factor);
    }
    form->SetWindowState(m_windowState);
    form->SetActiveControl(m_activeControl);
    if (m_boundsRead)
        form->SetNormalBounds(FitOnScreen(form, left, top, width, height));
    if ((form->Position() == TForm::poScreenCenter || form->Position() == TForm::poDesktopCenter) &&
        !form->Designing() && m_positionRead)
        form->SetPosition(TForm::poDesigned);
}
