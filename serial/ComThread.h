#pragma once

#include "runtime/Thread.h"
#include "serial/ComTypes.h"
#include "serial/platform/SerialDevice.h"

#include <QObject>
#include <QSocketNotifier>

#include <atomic>

#include <exception>
#include <memory>

class TCustomComPort;
struct TPortLife;

// The event thread of an open port: sets the device's event mask from the port's Events, waits for
// line events and hands each cycle's events to the port's dispatch. Destroying it signals the stop
// event and waits for the thread; from the main thread that wait keeps serving hand-overs, so a thread
// blocked handing events to the main thread can finish.
//
// Under smThreadSync, for a port opened in the main thread of a running application, the wait is
// watched by the main thread's event loop instead: the device's I/O thread wakes the main thread
// directly, which runs the handlers and then starts the next wait, exactly as the thread would after
// its hand-over. The thread then only waits for its stop event. This saves a thread wake-up per report
// (time to the first byte of an answer, CPU on a busy line); the order of every notification is the
// same.
class TComThread : public TThread {
public:
    explicit TComThread(TCustomComPort* port);
    ~TComThread() override;

    TComEvents RaisedEvents() const { return m_raisedEvents; }
    // Signals the stop event without waiting (the port was destroyed by one of its handlers).
    void RequestStop();
    // True when the main thread's event loop watches the wait (see above).
    bool Direct() const { return m_direct; }
    // Whether ports opened from now on may use the direct hand-over (on by default; for tests and
    // benchmarks that compare the two).
    static void SetDirectHandOver(bool allowed);
    // True while line events that have happened wait for the main thread to run their handlers.
    bool EventsWaiting() const;

protected:
    void Execute() override;

private:
    // False when a handler failed: its exception is reported once the hand-over is released, and the
    // thread ends.
    bool DispatchEvents();
    // The main thread's side of the direct hand-over.
    void StartWait();
    void WaitEnded();
    // Runs the handlers of a completed wait, then starts the next wait when `again`.
    void Dispatch(bool again);
    // Ends the wait for good and lets the thread end.
    void Disarm();

    TCustomComPort* m_port;
    TSerialDevice* m_device;
    std::shared_ptr<TPortLife> m_life; // the port is touched only while it lives
    TEvent m_quitEvent{true, false};
    TComEvents m_raisedEvents;
    TSyncMethod m_syncMethod;
    std::atomic<bool> m_handingOver{false};

    // Direct hand-over: the wait's record and the notifier on its event's descriptor.
    TEvent m_waitEvent{false, false};
    TOverlapped m_waitOv;
    uint32_t m_waitMask = 0;
    bool m_direct = false;  // fixed before the thread starts
    bool m_waiting = false; // a wait was started and has not been dispatched
    bool m_dispatching = false;
    bool m_disarmed = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::shared_ptr<bool> m_token = std::make_shared<bool>(true); // false once destroyed
};
