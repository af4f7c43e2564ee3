#include "serial/ComPort.h"

#include "serial/AsyncRequest.h"
#include "serial/ComPortWindow.h"
#include "serial/ComThread.h"
#include "serial/platform/NetworkWait.h"
#include "serial/platform/SerialDevice.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

Q_LOGGING_CATEGORY(lcSerial, "corvantel.serial", QtWarningMsg)

namespace {

// Operations on a closed port reach no device; they fail as a call on an invalid handle does.
constexpr int kInvalidHandleError = EBADF;

// clang-format off
struct TEventMaskBit { TComEvent Event; uint32_t Mask; };
constexpr TEventMaskBit kEventMask[] = {
    {evRxChar,   kEvRxChar},
    {evTxEmpty,  kEvTxEmpty},
    {evRxFlag,   kEvRxFlag},
    {evRing,     kEvRing},
    {evBreak,    kEvBreak},
    {evCTS,      kEvCts},
    {evDSR,      kEvDsr},
    {evError,    kEvErr},
    {evRLSD,     kEvRlsd},
    {evRx80Full, kEvRx80Full},
};

constexpr uint32_t kBaudRates[] = {
    0 /* brCustom */, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200,
    128000, 256000,
};
// clang-format on

} // namespace

uint32_t EventsToMask(TComEvents events) {
    uint32_t mask = 0;
    for (const auto& e : kEventMask)
        if (events & e.Event)
            mask |= e.Mask;
    return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
    TComEvents events;
    for (const auto& e : kEventMask)
        if (mask & e.Mask)
            events |= e.Event;
    return events;
}

// ---- settings objects ------------------------------------------------------------------------------

void TComTimeouts::Set(int& field, int value) {
    if (field == value)
        return;
    field = value;
    if (ComPort)
        ComPort->ApplyTimeoutSettings();
}
void TComTimeouts::SetReadInterval(int value) {
    Set(m_readInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(int value) {
    Set(m_readTotalMultiplier, value);
}
void TComTimeouts::SetReadTotalConstant(int value) {
    Set(m_readTotalConstant, value);
}
void TComTimeouts::SetWriteTotalMultiplier(int value) {
    Set(m_writeTotalMultiplier, value);
}
void TComTimeouts::SetWriteTotalConstant(int value) {
    Set(m_writeTotalConstant, value);
}

void TComTimeouts::Assign(const TPersistent* source) {
    auto* other = qobject_cast<const TComTimeouts*>(source);
    if (!other)
        AssignError(source);
    m_readInterval = other->m_readInterval;
    m_readTotalMultiplier = other->m_readTotalMultiplier;
    m_readTotalConstant = other->m_readTotalConstant;
    m_writeTotalMultiplier = other->m_writeTotalMultiplier;
    m_writeTotalConstant = other->m_writeTotalConstant;
}

template <class T> void TComFlowControl::Set(T& field, T value) {
    if (field == value)
        return;
    field = value;
    if (ComPort)
        ComPort->ApplyLineSettings();
}
void TComFlowControl::SetOutCTSFlow(bool value) {
    Set(m_outCTSFlow, value);
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    Set(m_outDSRFlow, value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    Set(m_controlDTR, value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    Set(m_controlRTS, value);
}
void TComFlowControl::SetXonXoffOut(bool value) {
    Set(m_xonXoffOut, value);
}
void TComFlowControl::SetXonXoffIn(bool value) {
    Set(m_xonXoffIn, value);
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    Set(m_dsrSensitivity, value);
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    Set(m_txContinueOnXoff, value);
}
void TComFlowControl::SetXonChar(char value) {
    Set(m_xonChar, value);
}
void TComFlowControl::SetXoffChar(char value) {
    Set(m_xoffChar, value);
}

TFlowControl TComFlowControl::FlowControl() const {
    if (m_controlRTS == rtsHandshake && m_outCTSFlow && !m_xonXoffIn && !m_xonXoffOut)
        return fcHardware;
    if (m_controlRTS == rtsDisable && !m_outCTSFlow && m_xonXoffIn && m_xonXoffOut)
        return fcSoftware;
    if (m_controlRTS == rtsDisable && !m_outCTSFlow && !m_xonXoffIn && !m_xonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    if (value != fcCustom) {
        m_controlRTS = rtsDisable;
        m_outCTSFlow = false;
        m_xonXoffIn = false;
        m_xonXoffOut = false;
        if (value == fcHardware) {
            m_controlRTS = rtsHandshake;
            m_outCTSFlow = true;
        } else if (value == fcSoftware) {
            m_xonXoffIn = true;
            m_xonXoffOut = true;
        }
    }
    if (ComPort)
        ComPort->ApplyLineSettings();
}

void TComFlowControl::Assign(const TPersistent* source) {
    auto* other = qobject_cast<const TComFlowControl*>(source);
    if (!other)
        AssignError(source);
    m_outCTSFlow = other->m_outCTSFlow;
    m_outDSRFlow = other->m_outDSRFlow;
    m_controlDTR = other->m_controlDTR;
    m_controlRTS = other->m_controlRTS;
    m_xonXoffOut = other->m_xonXoffOut;
    m_xonXoffIn = other->m_xonXoffIn;
    m_dsrSensitivity = other->m_dsrSensitivity;
    m_txContinueOnXoff = other->m_txContinueOnXoff;
    m_xonChar = other->m_xonChar;
    m_xoffChar = other->m_xoffChar;
}

template <class T> void TComParity::Set(T& field, T value) {
    if (field == value)
        return;
    field = value;
    if (ComPort)
        ComPort->ApplyLineSettings();
}
void TComParity::SetBits(TParityBits value) {
    Set(m_bits, value);
}
void TComParity::SetCheck(bool value) {
    Set(m_check, value);
}
void TComParity::SetReplace(bool value) {
    Set(m_replace, value);
}
void TComParity::SetReplaceChar(char value) {
    Set(m_replaceChar, value);
}

void TComParity::Assign(const TPersistent* source) {
    auto* other = qobject_cast<const TComParity*>(source);
    if (!other)
        AssignError(source);
    m_bits = other->m_bits;
    m_check = other->m_check;
    m_replace = other->m_replace;
    m_replaceChar = other->m_replaceChar;
}

void TComBuffer::Set(int& field, int value) {
    if (field == value)
        return;
    // Driver queues come in even sizes.
    field = (value > 0 && value % 2 != 0) ? value - 1 : value;
    if (ComPort)
        ComPort->ApplyBufferSettings();
}
void TComBuffer::SetInputSize(int value) {
    Set(m_inputSize, value);
}
void TComBuffer::SetOutputSize(int value) {
    Set(m_outputSize, value);
}

void TComBuffer::Assign(const TPersistent* source) {
    auto* other = qobject_cast<const TComBuffer*>(source);
    if (!other)
        AssignError(source);
    m_inputSize = other->m_inputSize;
    m_outputSize = other->m_outputSize;
}

// ---- DCB and time-outs ------------------------------------------------------------------------------

TDcb BuildDcb(const TCustomComPort& port) {
    TDcb dcb;
    dcb.BaudRate =
        port.BaudRate() == brCustom ? uint32_t(port.CustomBaudRate()) : kBaudRates[port.BaudRate()];

    const TComFlowControl& flow = *port.FlowControl();
    const TComParity& parity = *port.Parity();
    uint32_t flags = kDcbBinary;
    if (port.DiscardNull())
        flags |= kDcbNull;
    if (flow.OutCTSFlow())
        flags |= kDcbOutxCtsFlow;
    if (flow.OutDSRFlow())
        flags |= kDcbOutxDsrFlow;
    switch (flow.ControlDTR()) {
    case dtrDisable:
        break;
    case dtrEnable:
        flags |= kDcbDtrControlEnable;
        break;
    case dtrHandshake:
        flags |= kDcbDtrControlHandshake;
        break;
    }
    switch (flow.ControlRTS()) {
    case rtsDisable:
        break;
    case rtsEnable:
        flags |= kDcbRtsControlEnable;
        break;
    case rtsHandshake:
        flags |= kDcbRtsControlHandshake;
        break;
    case rtsToggle:
        flags |= kDcbRtsControlToggle;
        break;
    }
    if (flow.XonXoffOut())
        flags |= kDcbOutX;
    if (flow.XonXoffIn())
        flags |= kDcbInX;
    if (flow.DSRSensitivity())
        flags |= kDcbDsrSensitivity;
    if (flow.TxContinueOnXoff())
        flags |= kDcbTxContinueOnXoff;
    if (parity.Check()) {
        flags |= kDcbParity;
        if (parity.Replace()) {
            flags |= kDcbErrorChar;
            dcb.ErrorChar = parity.ReplaceChar();
        }
    }
    dcb.Flags = flags;

    const uint16_t limit = uint16_t(port.Buffer()->InputSize() / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = uint8_t(5 + int(port.DataBits()));
    dcb.Parity = uint8_t(parity.Bits());
    dcb.StopBits = uint8_t(port.StopBits());
    dcb.XonChar = flow.XonChar();
    dcb.XoffChar = flow.XoffChar();
    dcb.EvtChar = port.EventChar();
    dcb.EofChar = 0;
    return dcb;
}

TCommTimeouts BuildCommTimeouts(const TComTimeouts& timeouts) {
    TCommTimeouts t;
    t.ReadIntervalTimeout = uint32_t(timeouts.ReadInterval());
    t.ReadTotalTimeoutMultiplier = uint32_t(timeouts.ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = uint32_t(timeouts.ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = uint32_t(timeouts.WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = uint32_t(timeouts.WriteTotalConstant());
    return t;
}

// ---- requests ---------------------------------------------------------------------------------------

void NewAsyncRequest(PAsyncRequest& request) {
    request = new TAsyncRequest;
}

void FreeAsyncRequest(PAsyncRequest& request) {
    delete request;
    request = nullptr;
}

namespace {
// Frees a synchronous operation's request in every case.
struct TRequestGuard {
    PAsyncRequest Request = nullptr;
    TRequestGuard() { NewAsyncRequest(Request); }
    ~TRequestGuard() { FreeAsyncRequest(Request); }
};

} // namespace

// Marks the port's own line-event handling as running in this thread. Works on the port's shared life,
// so that it unwinds safely also when a handler destroyed the port. When the outermost handling ends, a
// close asked for meanwhile is posted (once).
struct TDispatchScope {
    TCustomComPort* Port;
    std::shared_ptr<TPortLife> Life;
    std::thread::id Previous;
    TDispatchScope(TCustomComPort* port, std::shared_ptr<TPortLife> life)
        : Port(port), Life(std::move(life)), Previous(Life->DispatchThread) {
        ++Life->DispatchDepth;
        Life->DispatchThread = std::this_thread::get_id();
    }
    ~TDispatchScope() {
        --Life->DispatchDepth;
        Life->DispatchThread = Previous;
        if (Life->Alive && !Port->DispatchingHere())
            Port->PostPendingClose();
    }
    TDispatchScope(const TDispatchScope&) = delete;
    TDispatchScope& operator=(const TDispatchScope&) = delete;
    bool Alive() const { return Life->Alive; }
};

// ---- the port ---------------------------------------------------------------------------------------

TCustomComPort::TCustomComPort(QObject* owner) : QObject(owner), TComponent(this) {
    m_parity = new TComParity(this);
    m_parity->ComPort = this;
    m_flowControl = new TComFlowControl(this);
    m_flowControl->ComPort = this;
    m_timeouts = new TComTimeouts(this);
    m_timeouts->ComPort = this;
    m_buffer = new TComBuffer(this);
    m_buffer->ComPort = this;
    m_parity->setObjectName(QStringLiteral("Parity"));
    m_flowControl->setObjectName(QStringLiteral("FlowControl"));
    m_timeouts->setObjectName(QStringLiteral("Timeouts"));
    m_buffer->setObjectName(QStringLiteral("Buffer"));
}

TCustomComPort::~TCustomComPort() {
    if (m_connected && (m_closing || DispatchingHere())) {
        // Destroyed by one of its own line-event handlers, or by a handler that a close runs: the event
        // thread waits for that very handler (or is this thread, or is being stopped by the close below
        // us), so it cannot be waited for here. The port closes with the notifications not sent yet; the
        // thread, the receiver and the device are finished off once the handler has returned.
        try {
            if (!m_closing) {
                CallBeforeClose();
                AbortTransfers(); // a close under way has purged already
            }
        } catch (...) {
            ReportCurrentException();
        }
        RetireOpenPort();
        GuardedCall([this] { CallAfterClose(); });
    } else if (m_connected) {
        try {
            ClosePortNow();
        } catch (...) {
            ReportCurrentException();
        }
        // Whatever failed above, nothing of the open port may outlive the object.
        DropOpenPort();
    }
    delete m_buffer;
    m_buffer = nullptr;
    delete m_flowControl;
    m_flowControl = nullptr;
    delete m_timeouts;
    m_timeouts = nullptr;
    delete m_parity;
    m_parity = nullptr;
    // Listeners that watch this port unregister their links now, while the port is still whole.
    NotifyRemoval();
    // A handler that destroyed the port returns into frames that must not touch it any more.
    m_life->Alive = false;
}

intptr_t TCustomComPort::Handle() const {
    return m_device ? m_device->NativeHandle() : -1;
}

void TCustomComPort::SetConnected(bool value) {
    if (Loading() || Designing()) {
        m_connected = value;
        return;
    }
    // A close deferred from a handler counts as done, a reopen asked for after it as open; an open whose
    // device is being opened counts as open unless a close cancelled it.
    bool wanted = m_connected;
    if (m_closePending)
        wanted = m_reopenPending;
    else if (m_opening && !m_connected)
        wanted = !m_openCancelled;
    if (value == wanted)
        return;
    if (value)
        OpenPort();
    else
        ClosePort();
}

void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (m_connected && !Designing()) {
        // The layout asked for an open port: a failure is reported, not raised into the loader.
        m_connected = false;
        GuardedCall([this] { OpenPort(); });
    }
}

void TCustomComPort::CreatePortHandle() {
    // A network open turns the event loop while it connects: a timer or a posted call may destroy the
    // port meanwhile, and then the device closes with the local.
    const std::shared_ptr<TPortLife> life = m_life;
    int error = 0;
    std::shared_ptr<TSerialDevice> device = OpenSerialDevice(m_port.toStdString(), &error);
    if (!life->Alive)
        return;
    if (!device)
        throw EComPort(CError_OpenFailed, error);
    m_device = std::move(device);
}

void TCustomComPort::ReleasePortHandle() {
    DetachDevice();
    m_device.reset();
}

void TCustomComPort::DetachDevice() {
    // After this the device's thread no longer reaches the port (the handler is dropped under the
    // device's lock, so a report in progress has been posted by then).
    if (m_device)
        m_device->SetLossHandler(nullptr);
}

void TCustomComPort::ReleaseWindow() {
    std::unique_ptr<TComPortWindow> window = std::move(m_window);
    QCoreApplication* app = QCoreApplication::instance();
    if (!window || !app || InMainThread())
        return;
    // A Qt object is deleted in the thread it lives in.
    std::shared_ptr<TComPortWindow> held(std::move(window));
    QMetaObject::invokeMethod(
        app, [held = std::move(held)]() mutable { held.reset(); }, Qt::QueuedConnection);
}

void TCustomComPort::RetireOpenPort() {
    struct TRemains {
        std::unique_ptr<TComThread> Thread;
        std::unique_ptr<TComPortWindow> Window;
        std::shared_ptr<TSerialDevice> Device;
    };
    DetachDevice();
    auto remains = std::make_shared<TRemains>();
    remains->Thread = std::move(m_eventThread);
    remains->Window = std::move(m_window);
    remains->Device = std::move(m_device);
    if (remains->Thread)
        remains->Thread->RequestStop();
    m_threadCreated = false;
    m_connected = false;
    auto finish = [remains] {
        remains->Thread.reset(); // waits for the thread, which ends after the handler has returned
        remains->Window.reset();
        remains->Device.reset();
    };
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, finish, Qt::QueuedConnection);
    else
        std::thread(finish).detach(); // no event loop: a helper waits instead
}

void TCustomComPort::DropOpenPort() {
    DetachDevice();
    m_eventThread.reset();
    ReleaseWindow();
    m_threadCreated = false;
    m_device.reset();
    m_connected = false;
    m_closing = false;
}

void TCustomComPort::OpenPort() {
    if (Designing())
        return;
    if (m_closePending) {
        // From a handler that asked for a close: open again once that close has run.
        m_reopenPending = true;
        return;
    }
    if (m_opening && !m_connected) {
        m_openCancelled = false; // connected again while the device is being opened
        return;
    }
    if (m_connected || m_opening)
        return;
    // Handlers of the open may destroy the port, close it or open it again: after each of them, this
    // open goes on only while it is still the port's present one.
    const std::shared_ptr<TPortLife> life = m_life;
    CallBeforeOpen();
    // A before-open handler may have destroyed the port or opened it itself.
    if (!life->Alive || m_connected)
        return;
    m_opening = true;
    m_openCancelled = false;
    struct TOpening {
        TCustomComPort* Port;
        const std::shared_ptr<TPortLife>& Life;
        ~TOpening() {
            if (Life->Alive)
                Port->m_opening = false;
        }
    } opening{this, life};
    // A network open turns the event loop while it connects: a new name given meanwhile is the one to
    // open, whether the old one could be opened or not.
    for (;;) {
        const QString name = m_port;
        try {
            CreatePortHandle();
        } catch (const EComPort&) {
            if (!life->Alive || m_openCancelled || m_port == name)
                throw;
            continue;
        }
        if (!life->Alive)
            return;
        if (m_openCancelled) {
            ReleasePortHandle();
            return;
        }
        if (m_port == name)
            break;
        ReleasePortHandle();
        if (!life->Alive)
            return;
    }
    m_connected = true;
    // The device tells of its loss from its own thread: the loss is noted for calls made before the
    // report has run, and the port closes in its own thread once the report arrives (a report for an
    // earlier open of the port, or for a port gone meanwhile, is dropped).
    const uint64_t generation = ++m_openGeneration;
    if (m_device) {
        m_device->SetLossHandler([this, life, generation](int error) {
            life->LossError = error;
            life->LostOpen = generation;
            QMetaObject::invokeMethod(
                this, [this, generation, error] { DeviceLost(generation, error); }, Qt::QueuedConnection);
        });
    }
    try {
        ApplyAllSettings();
    } catch (...) {
        if (!life->Alive)
            throw;
        ReleasePortHandle();
        m_connected = false;
        throw;
    }
    if (!life->Alive)
        return;
    if (!m_events) {
        m_threadCreated = false;
    } else {
        if (m_syncMethod == smWindowSync) {
            m_window = std::make_unique<TComPortWindow>(this);
            // The receiver takes its messages in the main thread, whichever thread opens the port.
            if (QCoreApplication* app = QCoreApplication::instance())
                m_window->moveToThread(app->thread());
        }
        m_eventThread = std::make_unique<TComThread>(this);
        m_threadCreated = true;
    }
    // Open now: its notifications may close it again.
    m_opening = false;
    PostPendingClose();
    CallAfterOpen();
}

bool TCustomComPort::DispatchingHere() const {
    // A network wait below us turns the event loop while the device is in use: a close must wait too.
    return (m_life->DispatchDepth > 0 && m_life->DispatchThread == std::this_thread::get_id()) ||
           NetworkWaitTurning();
}

void TCustomComPort::ClosePort() {
    if (Designing())
        return;
    if (m_opening && !m_connected) {
        m_openCancelled = true; // the device is not open yet: the open stops without notifications
        return;
    }
    // A close asked for while closing: the close under way does it.
    if (!m_connected || m_closing)
        return;
    if (DispatchingHere()) {
        // The event thread waits for this very handler: closing now would wait for ourselves. Close as
        // soon as the handler has returned.
        m_reopenPending = false;
        m_closePending = true;
        if (NetworkWaitTurning())
            PostPendingClose();
        return;
    }
    ClosePortNow();
}

void TCustomComPort::PostPendingClose() {
    if (!m_closePending && !m_lossPending)
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    const std::shared_ptr<TPortLife> life = m_life;
    std::function<void()> run = [this, life] {
        if (life->Alive)
            RunPendingClose();
    };
    // A network wait turns the event loop below us: the close runs once that wait has ended.
    if (NetworkWaitTurning())
        AfterNetworkWait(std::move(run));
    else
        QMetaObject::invokeMethod(app, std::move(run), Qt::QueuedConnection);
}

void TCustomComPort::RunPendingClose() {
    // Still inside a handler (a newer one, running an event loop of its own): the end of that handling
    // posts the close again.
    if (DispatchingHere() || m_opening) {
        // A network wait is no handler: nothing else would post the close once it has ended.
        if (NetworkWaitTurning())
            PostPendingClose();
        return;
    }
    if (m_lossPending) {
        // The device is gone: closing for the loss is the close, and there is nothing to reopen.
        m_lossPending = false;
        m_closePending = m_reopenPending = false;
        DeviceLost(m_lossPendingOpen, m_lossPendingError);
        return;
    }
    if (!m_closePending)
        return;
    const bool reopen = m_reopenPending;
    m_closePending = m_reopenPending = false;
    const std::shared_ptr<TPortLife> life = m_life;
    GuardedCall([this] {
        if (m_connected && !m_closing)
            ClosePortNow();
    });
    // A reopen asked for after the close (a new port name, or connected again) opens on the current
    // name once the old device is closed.
    if (life->Alive && reopen && !m_connected)
        GuardedCall([this] { OpenPort(); });
}

void TCustomComPort::ClosePortNow() {
    // Handlers of the close may destroy the port: after each of them, nothing of it is touched unless it
    // still lives.
    const std::shared_ptr<TPortLife> life = m_life;
    m_closePending = m_reopenPending = m_lossPending = false;
    m_closing = true;
    // From another thread than the main one: no line-event handler may run in the main thread while
    // this thread notifies and closes.
    if (m_eventThread && m_syncMethod != smNone && !InMainThread())
        m_eventThread->Quiesce();
    try {
        CallBeforeClose();
        if (!life->Alive)
            return;
        AbortTransfers();
        if (!life->Alive)
            return;
    } catch (...) {
        if (life->Alive)
            m_closing = false;
        throw;
    }
    if (m_threadCreated) {
        // The thread serves the events that happened before the close while it stops; a handler may
        // destroy the port there. The thread keeps the device open until it has ended.
        std::unique_ptr<TComThread> thread = std::move(m_eventThread);
        m_threadCreated = false;
        thread.reset();
        if (!life->Alive)
            return;
        ReleaseWindow();
    }
    ReleasePortHandle();
    if (!life->Alive)
        return; // destroyed while the network drain turned the event loop
    m_connected = false;
    m_closing = false;
    CallAfterClose();
}

void TCustomComPort::DeviceLost(uint64_t generation, int systemError) {
    if (!m_connected || m_closing || generation != m_openGeneration || Designing())
        return;
    if (DispatchingHere() || m_opening) {
        // A handler runs a nested event loop, or the open is still under way: close once it has
        // returned, like a close asked for there.
        m_lossPending = true;
        m_lossPendingOpen = generation;
        m_lossPendingError = systemError;
        if (NetworkWaitTurning())
            PostPendingClose();
        return;
    }
    qCDebug(lcSerial) << "device of" << m_port << "lost, error" << systemError;
    const std::shared_ptr<TPortLife> life = m_life;
    m_lossPending = false;
    try {
        ClosePortNow();
    } catch (...) {
        // A failing close handler is reported; the port is closed all the same.
        ReportCurrentException();
        if (life->Alive && m_connected)
            DropOpenPort();
    }
    if (life->Alive)
        GuardedCall([this, systemError] { DoDeviceLost(systemError); });
}

int TCustomComPort::TakeLoss() {
    if (!m_connected || m_closing || m_opening || m_life->LostOpen != m_openGeneration || DispatchingHere() ||
        QThread::currentThread() != thread())
        return 0;
    const int error = m_life->LossError ? m_life->LossError.load() : EIO;
    DeviceLost(m_openGeneration, error);
    return error;
}

void TCustomComPort::Fail(int code, int systemError) {
    CheckLoss(code);
    throw EComPort(code, systemError);
}

void TCustomComPort::CheckLoss(int code) {
    // The port may be gone once the loss was told: only the locals are used after it.
    if (const int error = TakeLoss())
        throw EComPort(code, error);
}

// ---- settings ---------------------------------------------------------------------------------------

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (m_baudRate == value)
        return;
    m_baudRate = value;
    ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(int value) {
    if (m_customBaudRate == value)
        return;
    m_customBaudRate = value;
    ApplyLineSettings();
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (m_stopBits == value)
        return;
    m_stopBits = value;
    ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (m_dataBits == value)
        return;
    m_dataBits = value;
    ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool value) {
    if (m_discardNull == value)
        return;
    m_discardNull = value;
    ApplyLineSettings();
}

void TCustomComPort::SetEventChar(char value) {
    if (m_eventChar == value)
        return;
    m_eventChar = value;
    ApplyLineSettings();
}

void TCustomComPort::SetPort(const QString& value) {
    if (m_port == value)
        return;
    m_port = value;
    // While the port closes, the new name waits for the next open.
    if (m_connected && !m_closing && !Loading() && !Designing()) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (m_syncMethod == value)
        return;
    if (m_connected && !Loading() && !Designing())
        throw EComPort(CError_ConnChangeProp);
    m_syncMethod = value;
}

void TCustomComPort::SetBuffer(TComBuffer* value) {
    if (value && value != m_buffer)
        m_buffer->Assign(value);
    ApplyBufferSettings();
}

void TCustomComPort::SetParity(TComParity* value) {
    if (value && value != m_parity)
        m_parity->Assign(value);
    ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(TComTimeouts* value) {
    if (value && value != m_timeouts)
        m_timeouts->Assign(value);
    ApplyTimeoutSettings();
}

void TCustomComPort::SetFlowControl(TComFlowControl* value) {
    if (value && value != m_flowControl)
        m_flowControl->Assign(value);
    ApplyLineSettings();
}

void TCustomComPort::BeginUpdate() {
    ++m_updateDepth;
}

void TCustomComPort::EndUpdate() {
    if (m_updateDepth == 0 || --m_updateDepth > 0 || !m_lineSettingsHeld)
        return;
    m_lineSettingsHeld = false;
    ApplyLineSettings();
}

void TCustomComPort::ApplyLineSettings() {
    if (!m_connected || Loading() || Designing())
        return;
    if (m_updateDepth > 0) {
        m_lineSettingsHeld = true;
        return;
    }
    CheckLoss(CError_SetStateFailed);
    const std::shared_ptr<TPortLife> life = m_life;
    const std::shared_ptr<TSerialDevice> device = m_device; // kept through a network exchange
    const int error = device ? device->SetCommState(BuildDcb(*this)) : kInvalidHandleError;
    if (!life->Alive)
        return;
    if (error != 0) {
        qCDebug(lcSerial) << "line settings refused by" << m_port << "error" << error;
        Fail(CError_SetStateFailed, error);
    }
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!m_connected || Loading() || Designing())
        return;
    CheckLoss(CError_TimeoutsFailed);
    const std::shared_ptr<TPortLife> life = m_life;
    const std::shared_ptr<TSerialDevice> device = m_device;
    const int error = device ? device->SetCommTimeouts(BuildCommTimeouts(*m_timeouts)) : kInvalidHandleError;
    if (!life->Alive)
        return;
    if (error != 0)
        Fail(CError_TimeoutsFailed, error);
}

void TCustomComPort::ApplyBufferSettings() {
    if (!m_connected || Loading() || Designing())
        return;
    CheckLoss(CError_SetupComFailed);
    const std::shared_ptr<TPortLife> life = m_life;
    const std::shared_ptr<TSerialDevice> device = m_device;
    const int error =
        device ? device->SetupComm(m_buffer->InputSize(), m_buffer->OutputSize()) : kInvalidHandleError;
    if (!life->Alive)
        return;
    if (error != 0)
        Fail(CError_SetupComFailed, error);
}

void TCustomComPort::ApplyAllSettings() {
    // Each may wait for a network server with the event loop turning, where the port may be destroyed.
    const std::shared_ptr<TPortLife> life = m_life;
    ApplyBufferSettings();
    if (!life->Alive)
        return;
    ApplyLineSettings();
    if (!life->Alive)
        return;
    ApplyTimeoutSettings();
}

// ---- transfers --------------------------------------------------------------------------------------

int TCustomComPort::WriteBytesAsync(const void* buffer, int count, PAsyncRequest& request) {
    if (!request)
        throw EComPort(CError_InvalidAsync);
    // A negative count would reach the driver as a huge length: refuse it like a failed write.
    if (count < 0)
        throw EComPort(CError_WriteFailed, EINVAL);
    CheckLoss(CError_WriteFailed);
    request->Kind = akWrite;
    request->Data.reset();
    request->DataSize = 0;
    if (count > 0) {
        request->Data = std::make_unique_for_overwrite<char[]>(size_t(count));
        std::memcpy(request->Data.get(), buffer, size_t(count));
        request->DataSize = count;
    }
    uint32_t written = 0;
    const int error = m_device ? m_device->WriteFile(buffer, uint32_t(count), &written, &request->Overlapped)
                               : kInvalidHandleError;
    if (error != 0 && error != kErrorIoPending)
        Fail(CError_WriteFailed, error);
    CallTransmitOn();
    return int(written);
}

int TCustomComPort::WriteTextAsync(const QByteArray& text, PAsyncRequest& request) {
    if (text.isEmpty())
        return 0;
    return WriteBytesAsync(text.constData(), int(text.size()), request);
}

int TCustomComPort::WriteText(const QByteArray& text) {
    TRequestGuard guard;
    WriteTextAsync(text, guard.Request);
    return WaitForCompletion(guard.Request);
}

int TCustomComPort::ReadBytesAsync(void* buffer, int count, PAsyncRequest& request) {
    if (!request)
        throw EComPort(CError_InvalidAsync);
    if (count < 0)
        throw EComPort(CError_ReadFailed, EINVAL);
    CheckLoss(CError_ReadFailed);
    request->Kind = akRead;
    uint32_t read = 0;
    const int error = m_device ? m_device->ReadFile(buffer, uint32_t(count), &read, &request->Overlapped)
                               : kInvalidHandleError;
    if (error != 0 && error != kErrorIoPending)
        Fail(CError_ReadFailed, error);
    return int(read);
}

int TCustomComPort::ReadBytes(void* buffer, int count) {
    TRequestGuard guard;
    ReadBytesAsync(buffer, count, guard.Request);
    return WaitForCompletion(guard.Request);
}

int TCustomComPort::WaitForCompletion(PAsyncRequest& request) {
    if (!request)
        throw EComPort(CError_InvalidAsync);
    const bool signalled = request->Event.Wait(-1);
    uint32_t transferred = 0;
    const int error = GetOverlappedResult(request->Overlapped, &transferred, false);
    if (!signalled || error != 0)
        Fail(request->Kind == akWrite ? CError_WriteFailed : CError_ReadFailed, error ? error : EIO);
    CallTransferCompleted(*request);
    return int(transferred);
}

int TCustomComPort::InputQueueCount() {
    CheckLoss(CError_ClearComFailed);
    return QueueCount(true);
}

int TCustomComPort::QueueCount(bool checked) {
    uint32_t errors = 0;
    TComStat stat;
    const int error = m_device ? m_device->ClearCommError(&errors, &stat) : kInvalidHandleError;
    if (error != 0 && checked)
        Fail(CError_ClearComFailed, error);
    if (error != 0)
        throw EComPort(CError_ClearComFailed, error);
    return int(std::min<uint32_t>(stat.cbInQue, uint32_t(INT32_MAX)));
}

void TCustomComPort::AbortTransfers() {
    CheckLoss(CError_PurgeFailed);
    const std::shared_ptr<TPortLife> life = m_life;
    const std::shared_ptr<TSerialDevice> device = m_device; // kept through the server's answer
    const int error = device ? device->PurgeComm(kPurgeTxAbort | kPurgeRxAbort) : kInvalidHandleError;
    if (!life->Alive)
        return;
    if (error != 0)
        Fail(CError_PurgeFailed, error);
}

// ---- line control -----------------------------------------------------------------------------------

void TCustomComPort::SetDTRLine(bool onOff) {
    CheckLoss(CError_EscapeComFailed);
    const std::shared_ptr<TPortLife> life = m_life;
    const std::shared_ptr<TSerialDevice> device = m_device; // kept through a network exchange
    const int error = device ? device->EscapeCommFunction(onOff ? kSetDtr : kClrDtr) : kInvalidHandleError;
    if (!life->Alive)
        return;
    if (error != 0)
        Fail(CError_EscapeComFailed, error);
}

void TCustomComPort::SetRTSLine(bool onOff) {
    CheckLoss(CError_EscapeComFailed);
    const std::shared_ptr<TPortLife> life = m_life;
    const std::shared_ptr<TSerialDevice> device = m_device; // kept through a network exchange
    const int error = device ? device->EscapeCommFunction(onOff ? kSetRts : kClrRts) : kInvalidHandleError;
    if (!life->Alive)
        return;
    if (error != 0)
        Fail(CError_EscapeComFailed, error);
}

TModemSignals TCustomComPort::ModemSignals() {
    CheckLoss(CError_ModemStatFailed);
    return ReadModemSignals(true);
}

TModemSignals TCustomComPort::ReadModemSignals(bool checked) {
    uint32_t status = 0;
    const int error = m_device ? m_device->GetCommModemStatus(&status) : kInvalidHandleError;
    if (error != 0 && checked)
        Fail(CError_ModemStatFailed, error);
    if (error != 0)
        throw EComPort(CError_ModemStatFailed, error);
    TModemSignals lineState;
    if (status & kMsCtsOn)
        lineState |= msCTS;
    if (status & kMsDsrOn)
        lineState |= msDSR;
    if (status & kMsRingOn)
        lineState |= msRing;
    if (status & kMsRlsdOn)
        lineState |= msRLSD;
    return lineState;
}

TComErrors TCustomComPort::LineErrors() {
    CheckLoss(CError_ClearComFailed);
    uint32_t errors = 0;
    TComStat stat;
    const int error = m_device ? m_device->ClearCommError(&errors, &stat) : kInvalidHandleError;
    if (error != 0)
        Fail(CError_ClearComFailed, error);
    TComErrors result;
    if (errors & kCeFrame)
        result |= ceFrame;
    if ((errors & kCeRxParity) && m_parity->Check())
        result |= ceRxParity;
    if (errors & kCeOverrun)
        result |= ceOverrun;
    if (errors & kCeRxOver)
        result |= ceRxOver;
    if (errors & kCeTxFull)
        result |= ceTxFull;
    if (errors & kCeBreak)
        result |= ceBreak;
    if (errors & kCeIoe)
        result |= ceIO;
    if (errors & kCeMode)
        result |= ceMode;
    return result;
}

// ---- links and notifications ------------------------------------------------------------------------

void TCustomComPort::RegisterLink(TComLink* link) {
    std::lock_guard lock(m_life->LinksLock);
    if (!link || std::find(m_links.begin(), m_links.end(), link) != m_links.end())
        throw EComPort(CError_RegFailed);
    m_links.push_back(link);
    m_hasRxBufLink =
        std::any_of(m_links.begin(), m_links.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

void TCustomComPort::UnregisterLink(TComLink* link) {
    std::lock_guard lock(m_life->LinksLock);
    auto it = std::find(m_links.begin(), m_links.end(), link);
    if (it == m_links.end())
        throw EComPort(CError_RegFailed);
    m_links.erase(it);
    m_hasRxBufLink =
        std::any_of(m_links.begin(), m_links.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

template <class F> bool TCustomComPort::ForEachLink(F&& fn) {
    // A callback may unregister links (its own or others): walk a copy and skip the ones gone. It may
    // also destroy the port: then nothing of it is touched any more (the life outlives it).
    const std::shared_ptr<TPortLife> life = m_life;
    std::lock_guard lock(life->LinksLock);
    const std::vector<TComLink*> links = m_links;
    for (TComLink* link : links) {
        if (!life->Alive)
            return false;
        if (std::find(m_links.begin(), m_links.end(), link) != m_links.end())
            fn(link);
    }
    return life->Alive;
}

void TCustomComPort::CallBeforeOpen() {
    DoBeforeOpen();
}

void TCustomComPort::CallAfterOpen() {
    // Each step may close, reopen or destroy the port: the rest belongs to this open only.
    const std::shared_ptr<TPortLife> life = m_life;
    const uint64_t open = m_openGeneration;
    const auto stillOpen = [&] {
        return life->Alive && m_connected && !m_closing && m_openGeneration == open;
    };
    ForEachLink([this](TComLink* l) {
        if (l->OnConnChange)
            l->OnConnChange(this, true);
    });
    if (!stillOpen())
        return;
    DoAfterOpen();
    for (TComEvent signal : {evCTS, evDSR, evRLSD}) {
        if (!stillOpen())
            return;
        HandleSignal(signal);
    }
}

void TCustomComPort::CallBeforeClose() {
    // Each step may destroy the port.
    const std::shared_ptr<TPortLife> life = m_life;
    for (auto slot : {&TComLink::OnCTSChange, &TComLink::OnDSRChange, &TComLink::OnRLSDChange}) {
        if (!ForEachLink([this, slot](TComLink* l) {
                if (l->*slot)
                    (l->*slot)(this, false);
            }))
            return;
    }
    for (auto raise :
         {&TCustomComPort::DoCTSChange, &TCustomComPort::DoDSRChange, &TCustomComPort::DoRLSDChange}) {
        (this->*raise)(false);
        if (!life->Alive)
            return;
    }
    DoBeforeClose();
}

void TCustomComPort::CallAfterClose() {
    ForEachLink([this](TComLink* l) {
        if (l->OnConnChange)
            l->OnConnChange(this, false);
    });
    DoAfterClose();
}

void TCustomComPort::CallTransmitOn() {
    ForEachLink([this](TComLink* l) {
        if (l->OnTxChange)
            l->OnTxChange(this, true);
    });
}

void TCustomComPort::CallTransferCompleted(const TAsyncRequest& request) {
    int left = 1;
    if (request.Kind == akRead) {
        try {
            left = QueueCount(false);
        } catch (const EComPort&) {
            // A lost device counts its input only while some is left.
            if (m_life->LostOpen != m_openGeneration)
                throw;
            left = 0;
        }
    }
    if (request.Kind == akRead && left == 0) {
        ForEachLink([this](TComLink* l) {
            if (l->OnRxChange)
                l->OnRxChange(this, false);
        });
        return;
    }
    if (request.Data) {
        ForEachLink([this, &request](TComLink* l) {
            if (l->OnTxBuf)
                l->OnTxBuf(this, request.Data.get(), request.DataSize);
        });
    }
}

void TCustomComPort::RunEventHandlers(TComEvents events) {
    TDispatchScope scope(this, m_life);
    for (TComEvent event : kEventHandlingOrder) {
        if (!scope.Alive())
            return; // a handler destroyed the port
        if (events & event)
            HandleOneEvent(event);
    }
}

void TCustomComPort::HandleEventMessage(uint32_t maskValue) {
    // One event per message: a value that is not exactly one event's mask value is not ours.
    for (const auto& e : kEventMask) {
        if (e.Mask == maskValue) {
            const std::shared_ptr<TPortLife> life = m_life;
            const uint64_t open = m_openGeneration;
            TDispatchScope scope(this, life);
            try {
                HandleOneEvent(e.Event);
            } catch (const EComPort&) {
                // A query failed because the device has gone: the loss is told as the loss.
                if (life->LostOpen != open)
                    throw;
            }
            return;
        }
    }
}

// Each handler may destroy the port: after a call that may have run one, nothing of it is touched
// unless it still lives.
void TCustomComPort::HandleOneEvent(TComEvent event) {
    switch (event) {
    case evError: {
        const TComErrors errors = LineErrors();
        if (errors)
            DoError(errors);
        break;
    }
    case evRxChar:
        HandleRxChar();
        break;
    case evTxEmpty:
        if (!ForEachLink([this](TComLink* l) {
                if (l->OnTxChange)
                    l->OnTxChange(this, false);
            }))
            return;
        if (!ForEachLink([this](TComLink* l) {
                if (l->OnTxEmpty)
                    l->OnTxEmpty(this);
            }))
            return;
        DoTxEmpty();
        break;
    case evBreak:
        DoBreak();
        break;
    case evRing:
        if (!ForEachLink([this](TComLink* l) {
                if (l->OnRing)
                    l->OnRing(this);
            }))
            return;
        DoRing();
        break;
    case evCTS:
    case evDSR:
    case evRLSD:
        HandleSignal(event);
        break;
    case evRxFlag:
        if (!ForEachLink([this](TComLink* l) {
                if (l->OnRxFlag)
                    l->OnRxFlag(this);
            }))
            return;
        DoRxFlag();
        break;
    case evRx80Full:
        DoRx80Full();
        break;
    }
}

void TCustomComPort::HandleSignal(TComEvent event) {
    const TModemSignals lineState = ReadModemSignals(false);
    TModemSignal signal = msCTS;
    void (TCustomComPort::*raise)(bool) = &TCustomComPort::DoCTSChange;
    auto slot = &TComLink::OnCTSChange;
    switch (event) {
    case evCTS:
        break;
    case evDSR:
        signal = msDSR;
        raise = &TCustomComPort::DoDSRChange;
        slot = &TComLink::OnDSRChange;
        break;
    case evRLSD:
        signal = msRLSD;
        raise = &TCustomComPort::DoRLSDChange;
        slot = &TComLink::OnRLSDChange;
        break;
    default:
        return;
    }
    const bool on = lineState.testFlag(signal);
    if (!ForEachLink([this, on, slot](TComLink* l) {
            if (l->*slot)
                (l->*slot)(this, on);
        }))
        return;
    (this->*raise)(on);
}

void TCustomComPort::HandleRxChar() {
    int count = QueueCount(false);
    if (count <= 0)
        return;
    if (!ForEachLink([this](TComLink* l) {
            if (l->OnRxChange)
                l->OnRxChange(this, true);
        }))
        return;
    if (m_hasRxBufLink) {
        // One read, shared by every link that takes received data.
        std::unique_ptr<char[]> buffer;
        int received = 0;
        const std::shared_ptr<TPortLife> life = m_life;
        const bool alive = ForEachLink([&](TComLink* l) {
            if (!l->OnRxBuf)
                return;
            if (!buffer) {
                buffer = std::make_unique_for_overwrite<char[]>(size_t(count));
                received = ReadBytes(buffer.get(), count);
                DoRxBuf(buffer.get(), received);
                if (!life->Alive)
                    return;
            }
            l->OnRxBuf(this, buffer.get(), received);
        });
        if (!alive)
            return;
        if (buffer)
            count = 0;
    }
    if (count > 0)
        DoRxChar(count);
}

void TCustomComPort::DoAfterClose() {
    if (OnAfterClose)
        OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose)
        OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int count) {
    if (OnRxChar)
        OnRxChar(this, count);
}
void TCustomComPort::DoRxBuf(const void* buffer, int count) {
    if (OnRxBuf)
        OnRxBuf(this, buffer, count);
}
void TCustomComPort::DoTxEmpty() {
    if (OnTxEmpty)
        OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
    if (OnBreak)
        OnBreak(this);
}
void TCustomComPort::DoRing() {
    if (OnRing)
        OnRing(this);
}
void TCustomComPort::DoRxFlag() {
    if (OnRxFlag)
        OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool onOff) {
    if (OnCTSChange)
        OnCTSChange(this, onOff);
}
void TCustomComPort::DoDSRChange(bool onOff) {
    if (OnDSRChange)
        OnDSRChange(this, onOff);
}
void TCustomComPort::DoError(TComErrors errors) {
    if (OnError)
        OnError(this, errors);
}
void TCustomComPort::DoRLSDChange(bool onOff) {
    if (OnRLSDChange)
        OnRLSDChange(this, onOff);
}
void TCustomComPort::DoDeviceLost(int systemError) {
    if (OnDeviceLost)
        OnDeviceLost(this, systemError);
}
void TCustomComPort::DoRx80Full() {
    if (OnRx80Full)
        OnRx80Full(this);
}
