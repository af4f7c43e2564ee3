#include "persistence/StoragePropertyInterceptor.h"

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
    if (m_pixelsPerInch >= 24 && m_pixelsPerInch <= 960) {
        const int screen = TForm::ScreenPixelsPerInch();
        auto scale = [&](int v) { return qRound(double(v) * screen / m_pixelsPerInch); };
        m_height = scale(m_height);
        m_left = scale(m_left);
        m_top = scale(m_top);
        m_width = scale(m_width);
    }
    form->SetWindowState(m_windowState);
    form->SetActiveControl(m_activeControl);
    if (m_boundsRead)
        form->SetNormalBounds(QRect(m_left, m_top, m_width, m_height));
    if ((form->Position() == TForm::poScreenCenter || form->Position() == TForm::poDesktopCenter) &&
        !form->Designing() && m_positionRead)
        form->SetPosition(TForm::poDesigned);
}
