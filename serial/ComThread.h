#pragma once

#include "runtime/Thread.h"
#include "serial/ComTypes.h"
#include "serial/platform/SerialDevice.h"

#include <QObject>

class TCustomComPort;

// The event thread of an open port: sets the device's event mask from the port's Events, waits for
// line events and hands each cycle's events to the port's dispatch. Destroying it signals the stop
// event and waits for the thread; from the main thread that wait keeps serving hand-overs, so a thread
// blocked handing events to the main thread can finish.
class TComThread : public TThread {
public:
    explicit TComThread(TCustomComPort* port);
    ~TComThread() override;

    TComEvents RaisedEvents() const { return m_raisedEvents; }

protected:
    void Execute() override;

private:
    void DispatchEvents();

    TCustomComPort* m_port;
    TEvent m_quitEvent{true, false};
    TComEvents m_raisedEvents;
    TSyncMethod m_syncMethod;
};
