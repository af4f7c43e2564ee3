#pragma once

#include "runtime/Thread.h"
#include "serial/ComTypes.h"
#include "serial/platform/SerialDevice.h"

#include <atomic>
#include <exception>
#include <memory>

class TCustomComPort;
struct TPortLife;

// The event thread of an open port: sets the device's event mask from the port's Events, waits for
// line events and hands each cycle's events to the port's dispatch. Destroying it signals the stop
// event and waits for the thread; from the main thread that wait keeps serving hand-overs, so a thread
// blocked handing events to the main thread can finish, and events that happened before the stop still
// reach the handlers.
//
// Under smThreadSync, for a port opened in the main thread of a running application, the wait is
// watched by the main thread's event loop instead: the device's I/O thread wakes the main thread
// directly, which runs the handlers and then starts the next wait, exactly as the thread would after
// its hand-over. The thread then only waits for its stop event. This saves a thread wake-up per report
// (time to the first byte of an answer, CPU on a busy line); the order of every notification is the
// same.
//
// Stopped from another thread than the main one (a port closed by a worker), it first waits for a
// handler that runs in the main thread to return, then drops the events not handled yet instead of
// waiting for the main thread to take them; the objects that watch the wait in the main thread are
// handed to it to be deleted there. The device is kept open as long as the thread needs it.
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
    // From another thread than the main one: no handler runs in the main thread for this thread any
    // more, and one that runs there now has returned. Called before a close from such a thread tells
    // anyone of it.
    void Quiesce();

protected:
    void Execute() override;

private:
    struct TShared;

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
    std::shared_ptr<TSerialDevice> m_device; // open as long as the thread may use it
    std::shared_ptr<TPortLife> m_life;       // the port is touched only while it lives
    std::shared_ptr<TShared> m_shared;       // what the main thread's side holds on to
    TEvent m_quitEvent{true, false};
    TComEvents m_raisedEvents;
    TSyncMethod m_syncMethod;
    std::atomic<bool> m_handingOver{false};

    bool m_direct = false;  // fixed before the thread starts
    bool m_waiting = false; // a wait was started and has not been dispatched
    bool m_dispatching = false;
    bool m_disarmed = false;
};
