#pragma once

#include "runtime/Thread.h"
#include "serial/ComTypes.h"
#include "serial/platform/SerialDevice.h"

#include <QObject>

#include <exception>
#include <memory>

class TCustomComPort;
struct TPortLife;

// The event thread of an open port: sets the device's event mask from the port's Events, waits for
// line events and hands each cycle's events to the port's dispatch. Destroying it signals the stop
// event and waits for the thread; from the main thread that wait keeps serving hand-overs, so a thread
// blocked handing events to the main thread can finish.
class TComThread : public TThread {
public:
    explicit TComThread(TCustomComPort* port);
    ~TComThread() override;

    TComEvents RaisedEvents() const { return m_raisedEvents; }
    // Signals the stop event without waiting (the port was destroyed by one of its handlers).
    void RequestStop() { m_quitEvent.Set(); }

protected:
    void Execute() override;

private:
    // False when a handler failed: its exception is reported once the hand-over is released, and the
    // thread ends.
    bool DispatchEvents();

    TCustomComPort* m_port;
    std::shared_ptr<TPortLife> m_life; // the port is touched only while it lives
    TEvent m_quitEvent{true, false};
    TComEvents m_raisedEvents;
    TSyncMethod m_syncMethod;
};
