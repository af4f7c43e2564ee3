#include "serial/ComThread.h"

#include "runtime/Exception.h"
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"

#include <array>

TComThread::TComThread(TCustomComPort* port)
    : m_port(port), m_life(port->m_life), m_syncMethod(port->SyncMethod()) {
    port->Device()->SetCommMask(EventsToMask(port->Events()));
    Start();
}

TComThread::~TComThread() {
    m_quitEvent.Set();
    WaitFor();
}

void TComThread::Execute() {
    TSerialDevice* device = m_port->Device();
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
        Synchronize([this, events, &error] {
            // The failure is kept, not reported here: a report (a message box) must not hold this thread
            // in its hand-over.
            try {
                if (m_life->Alive)
                    m_port->RunEventHandlers(events);
            } catch (...) {
                error = std::current_exception();
            }
        });
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
        try {
            if (m_life->Alive)
                m_port->RunEventHandlers(events);
        } catch (...) {
            error = std::current_exception();
        }
        break;
    }
    if (!error)
        return true;
    // Shown to the user in the main thread; this thread goes on to its end meanwhile.
    SendToMainThread([error] {
        try {
            std::rethrow_exception(error);
        } catch (...) {
            ReportCurrentException();
        }
    });
    return false;
}
