#include "serial/ComThread.h"

#include "runtime/Exception.h"
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"

#include <QCoreApplication>

#include <array>

namespace {

std::atomic<bool> g_directHandOver{true};

// Runs the port's handlers for one cycle's events; a handler's failure is returned, not raised.
std::exception_ptr RunHandlers(TCustomComPort* port, const std::shared_ptr<TPortLife>& life,
                               TComEvents events) {
    try {
        if (life->Alive)
            port->RunEventHandlers(events);
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

} // namespace

void TComThread::SetDirectHandOver(bool allowed) {
    g_directHandOver = allowed;
}

TComThread::TComThread(TCustomComPort* port)
    : m_port(port), m_device(port->Device()), m_life(port->m_life), m_syncMethod(port->SyncMethod()) {
    m_device->SetCommMask(EventsToMask(port->Events()));
    if (m_syncMethod == smThreadSync && g_directHandOver && QCoreApplication::instance() && InMainThread()) {
        if (const int fd = m_waitEvent.Fd(); fd >= 0) {
            m_direct = true;
            m_waitOv.Event = &m_waitEvent;
            m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                             [this] { WaitEnded(); });
            StartWait();
        }
    }
    Start();
}

TComThread::~TComThread() {
    if (m_direct) {
        // Events that happened before the close are still handed to the handlers, as a thread waiting in
        // its hand-over would have them served while the close waits for it.
        if (m_waiting && !m_dispatching && m_waitEvent.IsSet() && m_life->Alive)
            Dispatch(false);
        *m_token = false;
        m_notifier.reset();
        if (!m_disarmed)
            Disarm();
    }
    m_quitEvent.Set();
    WaitFor();
}

void TComThread::RequestStop() {
    m_quitEvent.Set();
}

bool TComThread::EventsWaiting() const {
    if (m_direct)
        return m_waiting && m_waitEvent.IsSet();
    return m_handingOver;
}

void TComThread::Execute() {
    if (m_direct) {
        // The main thread watches the wait; this thread only keeps its place until the stop.
        m_quitEvent.Wait();
        return;
    }
    TSerialDevice* device = m_device;
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
        if (WaitForAnyEvent(waitList, -1) != 1)
            break;
        uint32_t unused = 0;
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

    // End the outstanding wait before its event goes away, then drop what the driver still holds.
    device->SetCommMask(0);
    device->PurgeComm(kPurgeTxClear | kPurgeRxClear);
}

bool TComThread::DispatchEvents() {
    const TComEvents events = m_raisedEvents;
    std::exception_ptr error;
    switch (m_syncMethod) {
    case smThreadSync:
        m_handingOver = true;
        Synchronize([this, events, &error] {
            // The failure is kept, not reported here: a report (a message box) must not hold this thread
            // in its hand-over.
            error = RunHandlers(m_port, m_life, events);
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
            SendToMainThread([port, life, maskValue] {
                if (!life->Alive)
                    return;
                if (TComPortWindow* window = port->Window())
                    window->SendEventMessage(maskValue);
            });
        }
        break;
    case smNone:
        error = RunHandlers(m_port, m_life, events);
        break;
    }
    if (!error)
        return true;
    // Shown to the user in the main thread; this thread goes on to its end meanwhile.
    SendToMainThread([error] { Report(error); });
    return false;
}

// ---- direct hand-over (main thread) ----

void TComThread::StartWait() {
    const int started = m_device->WaitCommEvent(&m_waitMask, &m_waitOv);
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
    if (!m_waitEvent.TakeOrDrain() || !m_waiting || m_dispatching)
        return;
    Dispatch(true);
}

void TComThread::Dispatch(bool again) {
    uint32_t unused = 0;
    const int result = GetOverlappedResult(m_waitOv, &unused, false);
    if (result == kErrorIoIncomplete)
        return;
    m_waiting = false;
    // A wait that ended with an error (device lost): nothing more will come.
    if (result != 0) {
        Disarm();
        return;
    }
    m_raisedEvents = MaskToEvents(m_waitMask);
    if (m_raisedEvents) {
        const std::shared_ptr<bool> token = m_token;
        m_dispatching = true;
        const std::exception_ptr error = RunHandlers(m_port, m_life, m_raisedEvents);
        if (!*token)
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
    if (m_notifier)
        m_notifier->setEnabled(false);
    // End the outstanding wait, then drop what the driver still holds.
    m_device->SetCommMask(0);
    m_device->PurgeComm(kPurgeTxClear | kPurgeRxClear);
    m_quitEvent.Set();
}
