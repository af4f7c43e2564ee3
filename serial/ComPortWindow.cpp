#include "serial/ComPortWindow.h"

#include "runtime/Exception.h"
#include "serial/ComPort.h"

#include <QCoreApplication>

QEvent::Type TComEventMessage::EventType() {
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

TComPortWindow::TComPortWindow(TCustomComPort* port) : m_port(port) {
    setObjectName(QStringLiteral("ComPortWindow"));
}

void TComPortWindow::SendEventMessage(uint32_t maskValue) {
    TComEventMessage message(maskValue);
    QCoreApplication::sendEvent(this, &message);
}

bool TComPortWindow::event(QEvent* e) {
    if (e->type() != TComEventMessage::EventType())
        return QObject::event(e);
    auto* message = static_cast<TComEventMessage*>(e);
    GuardedCall([&] {
        if (m_port->Connected())
            m_port->HandleEventMessage(message->WParam);
    });
    return true;
}
