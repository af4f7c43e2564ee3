#include "serial/ComThread.h"

#include "runtime/Exception.h"
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <array>
#include <mutex>

// What the main thread's side of the thread holds on to: the gate that a dispatch in the main thread
// holds, and the direct hand-over's wait record with the notifier on its event. Outlives the thread
// while a dispatch or the notifier still needs it; deleted in the main thread.
struct TComThread::TShared {
    std::recursive_mutex Gate;        // held while the main thread works for the thread
    std::atomic<bool> Retired{false}; // stopped from another thread: nothing more runs in the main thread
    bool Gone = false;                // the thread object was destroyed (changed under Gate)
    uint64_t Open = 0;                // the port's open that the thread serves

    TEvent WaitEvent{false, false};
    TOverlapped WaitOv;
    uint32_t WaitMask = 0;
    std::unique_ptr<QSocketNotifier> Notifier;
};

namespace {

std::atomic<bool> g_directHandOver{true};

// Runs the port's handlers for one cycle's events; a handler's failure is returned, not raised. A query
// that failed because the device has gone is no failure of its own: the loss is told as the loss.
std::exception_ptr RunHandlers(TCustomComPort* port, const std::shared_ptr<TPortLife>& life, uint64_t open,
                               TComEvents events) {
    try {
        if (life->Alive)
            port->RunEventHandlers(events);
    } catch (const EComPort&) {
        if (life->LostOpen == open)
            return nullptr;
        return std::current_exception();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

void Report(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (...) {
        ReportCurrentException();
    }
}

// Lets the last reference go in the main thread, where the Qt objects it holds live.
template <class T> void ReleaseInMainThread(std::shared_ptr<T> object) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!object || !app || InMainThread())
        return;
    QMetaObject::invokeMethod(
        app, [held = std::move(object)]() mutable { held.reset(); }, Qt::QueuedConnection);
}

} // namespace

void TComThread::SetDirectHandOver(bool allowed) {
    g_directHandOver = allowed;
}

TComThread::TComThread(TCustomComPort* port)
    : m_port(port), m_device(port->m_device), m_life(port->m_life), m_shared(std::make_shared<TShared>()),
      m_syncMethod(port->SyncMethod()) {
    m_shared->Open = port->m_openGeneration;
    m_device->SetCommMask(EventsToMask(port->Events()));
    if (m_syncMethod == smThreadSync && g_directHandOver && QCoreApplication::instance() && InMainThread()) {
        if (const int fd = m_shared->WaitEvent.Fd(); fd >= 0) {
            m_direct = true;
            m_shared->WaitOv.Event = &m_shared->WaitEvent;
            m_shared->Notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            // The notifier lives as long as the shared part, which may outlive the thread object.
            const std::weak_ptr<TShared> weak = m_shared;
            QObject::connect(m_shared->Notifier.get(), &QSocketNotifier::activated, m_shared->Notifier.get(),
                             [this, weak] {
                                 const std::shared_ptr<TShared> shared = weak.lock();
                                 if (!shared)
                                     return;
                                 std::lock_guard gate(shared->Gate);
                                 if (shared->Gone || shared->Retired) {
                                     shared->WaitEvent.TakeOrDrain();
                                     shared->Notifier->setEnabled(false);
                                     return;
                                 }
                                 WaitEnded();
                             });
            StartWait();
        }
    }
    Start();
}

TComThread::~TComThread() {
    const bool mainThread = InMainThread();
    if (!mainThread && m_syncMethod != smNone)
        Quiesce();
    if (m_direct) {
        if (mainThread) {
            std::lock_guard gate(m_shared->Gate);
            // Events that happened before the close are still handed to the handlers, as a thread waiting
            // in its hand-over would have them served while the close waits for it.
            if (m_waiting && !m_dispatching && m_shared->WaitEvent.IsSet() && m_life->Alive)
                Dispatch(false);
            m_shared->Gone = true;
            m_shared->Notifier.reset();
        } else {
            std::lock_guard gate(m_shared->Gate);
            m_shared->Gone = true;
        }
        if (!m_disarmed)
            Disarm();
    } else {
        std::lock_guard gate(m_shared->Gate);
        m_shared->Gone = true;
    }
    // Another thread cannot serve the hand-overs, and the main thread may be waiting for it.
    if (!mainThread)
        AbandonHandOvers();
    m_quitEvent.Set();
    WaitFor();
    if (m_syncMethod == smWindowSync)
        m_device->PurgeComm(kPurgeTxClear | kPurgeRxClear);
    ReleaseInMainThread(std::move(m_shared));
}

void TComThread::RequestStop() {
    m_quitEvent.Set();
}

void TComThread::Quiesce() {
    m_shared->Retired = true;
    // A dispatch in the main thread holds the gate until its handlers have returned.
    std::lock_guard gate(m_shared->Gate);
}

bool TComThread::EventsWaiting() const {
    if (m_direct)
        return m_waiting && m_shared->WaitEvent.IsSet();
    return m_handingOver;
}

void TComThread::Execute() {
    if (m_direct) {
        // The main thread watches the wait; this thread only keeps its place until the stop.
        m_quitEvent.Wait();
        return;
    }
    TSerialDevice* device = m_device.get();
    TEvent waitEvent(true, true);
    TOverlapped ov;
    ov.Event = &waitEvent;
    const std::array<TEvent*, 2> waitList{&m_quitEvent, &waitEvent};
    uint32_t mask = 0;

    for (;;) {
        const int started = device->WaitCommEvent(&mask, &ov);
        // A wait that cannot even be started means the device is gone: end instead of spinning.
        if (started != 0 && started != kErrorIoPending)
            break;
        const int fired = WaitForAnyEvent(waitList, -1);
        uint32_t unused = 0;
        if (fired != 1) {
            // Stopped: events that completed the wait before the stop are still handed over (a close
            // from the main thread serves them while it waits).
            if (fired == 0 && waitEvent.IsSet() && GetOverlappedResult(ov, &unused, false) == 0) {
                m_raisedEvents = MaskToEvents(mask);
                if (m_raisedEvents)
                    DispatchEvents();
            }
            break;
        }
        const int result = GetOverlappedResult(ov, &unused, false);
        if (result == kErrorIoIncomplete)
            continue;
        // A wait that ended with an error (device lost) ends the loop too; nothing more will come.
        if (result != 0)
            break;
        m_raisedEvents = MaskToEvents(mask);
        if (m_raisedEvents && !DispatchEvents())
            break;
    }

    // End the outstanding wait before its event goes away, then drop what the driver still holds. Under
    // smWindowSync the messages sent last may still be handled after this thread has been released: the
    // stop drops the buffers once they have run.
    device->SetCommMask(0);
    if (m_syncMethod != smWindowSync)
        device->PurgeComm(kPurgeTxClear | kPurgeRxClear);
}

bool TComThread::DispatchEvents() {
    const TComEvents events = m_raisedEvents;
    std::exception_ptr error;
    switch (m_syncMethod) {
    case smThreadSync:
        m_handingOver = true;
        Synchronize([this, events, &error] {
            std::lock_guard gate(m_shared->Gate);
            if (m_shared->Retired)
                return;
            // The failure is kept, not reported here: a report (a message box) must not hold this thread
            // in its hand-over.
            error = RunHandlers(m_port, m_life, m_shared->Open, events);
        });
        m_handingOver = false;
        break;
    case smWindowSync:
        for (TComEvent event : kEventHandlingOrder) {
            if (!(events & event))
                continue;
            const uint32_t maskValue = EventsToMask(event);
            TCustomComPort* port = m_port;
            std::shared_ptr<TPortLife> life = m_life;
            std::shared_ptr<TShared> shared = m_shared;
            SendToMainThread([port, life, shared, maskValue] {
                std::lock_guard gate(shared->Gate);
                if (!life->Alive || shared->Retired)
                    return;
                if (TComPortWindow* window = port->Window())
                    window->SendEventMessage(maskValue);
            });
        }
        break;
    case smNone:
        error = RunHandlers(m_port, m_life, m_shared->Open, events);
        break;
    }
    if (!error)
        return true;
    // Shown to the user in the main thread; this thread goes on to its end meanwhile.
    SendToMainThread([error] { Report(error); });
    return false;
}

// ---- direct hand-over (main thread, with the gate held) ----

void TComThread::StartWait() {
    const int started = m_device->WaitCommEvent(&m_shared->WaitMask, &m_shared->WaitOv);
    if (started != 0 && started != kErrorIoPending) {
        Disarm();
        return;
    }
    // A wait that completed at once (events during the handlers) has set its event: the notifier sees it
    // on the next turn of the event loop, after whatever else waits there.
    m_waiting = true;
}

void TComThread::WaitEnded() {
    // A count left behind by an event that was already taken (or by a late write) is dropped, also while
    // the handlers run (a nested event loop would otherwise see the descriptor readable again and again).
    if (!m_shared->WaitEvent.TakeOrDrain() || !m_waiting || m_dispatching)
        return;
    Dispatch(true);
}

void TComThread::Dispatch(bool again) {
    uint32_t unused = 0;
    const int result = GetOverlappedResult(m_shared->WaitOv, &unused, false);
    if (result == kErrorIoIncomplete)
        return;
    m_waiting = false;
    // A wait that ended with an error (device lost): nothing more will come.
    if (result != 0) {
        Disarm();
        return;
    }
    m_raisedEvents = MaskToEvents(m_shared->WaitMask);
    if (m_raisedEvents) {
        const std::shared_ptr<TShared> shared = m_shared;
        m_dispatching = true;
        const std::exception_ptr error = RunHandlers(m_port, m_life, shared->Open, m_raisedEvents);
        if (shared->Gone)
            return; // destroyed meanwhile
        m_dispatching = false;
        if (error) {
            // As a failing handler ends the thread: no more waits, and the report comes after that.
            Disarm();
            WaitFor();
            Report(error);
            return;
        }
    }
    // The next wait, unless a port destroyed by its handlers asked the thread to stop.
    if (again && !m_quitEvent.IsSet())
        StartWait();
}

void TComThread::Disarm() {
    m_disarmed = true;
    m_waiting = false;
    if (m_shared->Notifier && InMainThread())
        m_shared->Notifier->setEnabled(false);
    // End the outstanding wait, then drop what the driver still holds.
    m_device->SetCommMask(0);
    m_device->PurgeComm(kPurgeTxClear | kPurgeRxClear);
    m_quitEvent.Set();
}
