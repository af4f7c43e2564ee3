#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>

class TCustomComPort;

// One line event addressed to the port's hidden receiver: message 1025 with the event's mask value as
// wParam and lParam 0.
class TComEventMessage : public QEvent {
public:
    static constexpr int kMessage = 1025;
    static QEvent::Type EventType();

    explicit TComEventMessage(uint32_t wParam) : QEvent(EventType()), WParam(wParam) {}
    int Msg = kMessage;
    uint32_t WParam;
    intptr_t LParam = 0;
};

// The hidden receiver of a port under smWindowSync. It lives in the main thread while the port is
// open; the event thread's message has already been answered when it arrives here, and the event is
// handled only while the port is still connected. Failures go to the application's report.
class TComPortWindow : public QObject {
    Q_OBJECT
public:
    explicit TComPortWindow(TCustomComPort* port);
    void SendEventMessage(uint32_t maskValue);

protected:
    bool event(QEvent* e) override;

private:
    TCustomComPort* m_port;
};
