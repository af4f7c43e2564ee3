#pragma once

#include "runtime/Component.h"
#include "runtime/Persistent.h"
#include "serial/ComError.h"
#include "serial/ComLink.h"
#include "serial/ComTypes.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TCustomComPort;
class TComThread;
class TComPortWindow;
class TSerialDevice;
class TCustomIniFile;
class TRegistry;
struct TAsyncRequest;
struct TDispatchScope;

// Read and write time-outs of the port, in milliseconds; -1 stands for the system's maximum. A change
// is applied to an open port at once.
class TComTimeouts : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(int ReadInterval READ ReadInterval WRITE SetReadInterval)
    Q_PROPERTY(int ReadTotalMultiplier READ ReadTotalMultiplier WRITE SetReadTotalMultiplier)
    Q_PROPERTY(int ReadTotalConstant READ ReadTotalConstant WRITE SetReadTotalConstant)
    Q_PROPERTY(int WriteTotalMultiplier READ WriteTotalMultiplier WRITE SetWriteTotalMultiplier)
    Q_PROPERTY(int WriteTotalConstant READ WriteTotalConstant WRITE SetWriteTotalConstant)
    Q_CLASSINFO("Default.ReadInterval", "-1")
    Q_CLASSINFO("Default.ReadTotalMultiplier", "0")
    Q_CLASSINFO("Default.ReadTotalConstant", "0")
    Q_CLASSINFO("Default.WriteTotalMultiplier", "100")
    Q_CLASSINFO("Default.WriteTotalConstant", "1000")
public:
    explicit TComTimeouts(QObject* parent = nullptr) : TPersistent(parent) {}
    void Assign(const TPersistent* source) override;

    TCustomComPort* ComPort = nullptr;

    int ReadInterval() const { return m_readInterval; }
    int ReadTotalMultiplier() const { return m_readTotalMultiplier; }
    int ReadTotalConstant() const { return m_readTotalConstant; }
    int WriteTotalMultiplier() const { return m_writeTotalMultiplier; }
    int WriteTotalConstant() const { return m_writeTotalConstant; }
    void SetReadInterval(int value);
    void SetReadTotalMultiplier(int value);
    void SetReadTotalConstant(int value);
    void SetWriteTotalMultiplier(int value);
    void SetWriteTotalConstant(int value);

private:
    void Set(int& field, int value);

    int m_readInterval = -1;
    int m_readTotalMultiplier = 0;
    int m_readTotalConstant = 0;
    int m_writeTotalMultiplier = 100;
    int m_writeTotalConstant = 1000;
};

// Flow-control settings. FlowControl is a summary of the fields, computed from them and written into
// them; it is never stored.
class TComFlowControl : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(CPort::TFlowControl FlowControl READ FlowControl WRITE SetFlowControl STORED false)
    Q_PROPERTY(bool OutCTSFlow READ OutCTSFlow WRITE SetOutCTSFlow)
    Q_PROPERTY(bool OutDSRFlow READ OutDSRFlow WRITE SetOutDSRFlow)
    Q_PROPERTY(CPort::TDTRFlowControl ControlDTR READ ControlDTR WRITE SetControlDTR)
    Q_PROPERTY(CPort::TRTSFlowControl ControlRTS READ ControlRTS WRITE SetControlRTS)
    Q_PROPERTY(bool XonXoffOut READ XonXoffOut WRITE SetXonXoffOut)
    Q_PROPERTY(bool XonXoffIn READ XonXoffIn WRITE SetXonXoffIn)
    Q_PROPERTY(bool DSRSensitivity READ DSRSensitivity WRITE SetDSRSensitivity)
    Q_PROPERTY(bool TxContinueOnXoff READ TxContinueOnXoff WRITE SetTxContinueOnXoff)
    Q_PROPERTY(char XonChar READ XonChar WRITE SetXonChar)
    Q_PROPERTY(char XoffChar READ XoffChar WRITE SetXoffChar)
    Q_CLASSINFO("Default.DSRSensitivity", "false")
    Q_CLASSINFO("Default.TxContinueOnXoff", "false")
    Q_CLASSINFO("Default.XonChar", "17")
    Q_CLASSINFO("Default.XoffChar", "19")
public:
    explicit TComFlowControl(QObject* parent = nullptr) : TPersistent(parent) {}
    void Assign(const TPersistent* source) override;

    TCustomComPort* ComPort = nullptr;

    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl value);
    bool OutCTSFlow() const { return m_outCTSFlow; }
    bool OutDSRFlow() const { return m_outDSRFlow; }
    TDTRFlowControl ControlDTR() const { return m_controlDTR; }
    TRTSFlowControl ControlRTS() const { return m_controlRTS; }
    bool XonXoffOut() const { return m_xonXoffOut; }
    bool XonXoffIn() const { return m_xonXoffIn; }
    bool DSRSensitivity() const { return m_dsrSensitivity; }
    bool TxContinueOnXoff() const { return m_txContinueOnXoff; }
    char XonChar() const { return m_xonChar; }
    char XoffChar() const { return m_xoffChar; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);

private:
    template <class T> void Set(T& field, T value);

    bool m_outCTSFlow = false;
    bool m_outDSRFlow = false;
    TDTRFlowControl m_controlDTR = dtrDisable;
    TRTSFlowControl m_controlRTS = rtsDisable;
    bool m_xonXoffOut = false;
    bool m_xonXoffIn = false;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = false;
    char m_xonChar = 17;
    char m_xoffChar = 19;
};

// Parity scheme and checking. Replace (only together with Check) puts ReplaceChar in place of each
// byte received with a parity error.
class TComParity : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(CPort::TParityBits Bits READ Bits WRITE SetBits)
    Q_PROPERTY(bool Check READ Check WRITE SetCheck)
    Q_PROPERTY(bool Replace READ Replace WRITE SetReplace)
    Q_PROPERTY(char ReplaceChar READ ReplaceChar WRITE SetReplaceChar)
    Q_CLASSINFO("Default.Check", "false")
    Q_CLASSINFO("Default.Replace", "false")
    Q_CLASSINFO("Default.ReplaceChar", "0")
public:
    explicit TComParity(QObject* parent = nullptr) : TPersistent(parent) {}
    void Assign(const TPersistent* source) override;

    TCustomComPort* ComPort = nullptr;

    TParityBits Bits() const { return m_bits; }
    bool Check() const { return m_check; }
    bool Replace() const { return m_replace; }
    char ReplaceChar() const { return m_replaceChar; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

private:
    template <class T> void Set(T& field, T value);

    TParityBits m_bits = prNone;
    bool m_check = false;
    bool m_replace = false;
    char m_replaceChar = 0;
};

// Recommended sizes of the driver's queues. A positive size is kept even: an odd one is lowered by one.
class TComBuffer : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(int InputSize READ InputSize WRITE SetInputSize)
    Q_PROPERTY(int OutputSize READ OutputSize WRITE SetOutputSize)
    Q_CLASSINFO("Default.InputSize", "1024")
    Q_CLASSINFO("Default.OutputSize", "1024")
public:
    explicit TComBuffer(QObject* parent = nullptr) : TPersistent(parent) {}
    void Assign(const TPersistent* source) override;

    TCustomComPort* ComPort = nullptr;

    int InputSize() const { return m_inputSize; }
    int OutputSize() const { return m_outputSize; }
    void SetInputSize(int value);
    void SetOutputSize(int value);

private:
    void Set(int& field, int value);

    int m_inputSize = 1024;
    int m_outputSize = 1024;
};

// The record of one overlapped transfer. Made with NewAsyncRequest and freed with FreeAsyncRequest by
// its caller; one request serves one operation at a time.
using PAsyncRequest = TAsyncRequest*;
void NewAsyncRequest(PAsyncRequest& request);
void FreeAsyncRequest(PAsyncRequest& request);

// What a running handler's frames still need when the handler destroyed the port: whether the port
// exists, its links' lock and the dispatch depth they unwind through. Shared by the port, its event
// thread, the frames of its dispatch and the device's loss report.
struct TPortLife {
    std::atomic<bool> Alive{true};
    std::recursive_mutex LinksLock;
    int DispatchDepth = 0; // > 0 while the port's own line-event handlers run
    std::thread::id DispatchThread;
    std::atomic<uint64_t> LostOpen{0}; // the open whose device told of its loss (0: none)
    std::atomic<int> LossError{0};     // and the system's error it told
};

// The serial port component: its settings, opening and closing with their notifications, transfers,
// line control, the event thread and its listener links. Every failure is an EComPort.
//
// Threads: opening, closing, setters and writes run in the thread that calls them (the main thread in
// this system). While open, a TComThread waits for line events and hands them to the main thread
// (smThreadSync), to the port's hidden receiver (smWindowSync) or runs the handlers itself (smNone).
// - Open the port, change its settings and register links in the thread it lives in (the thread that
//   created it). The open and close notifications run in the thread that opens or closes.
// - Transfers, line control and status queries may come from any thread while the port is open; the
//   caller keeps them from overlapping a close of the port.
// - ClosePort (and Connected = false) may come from any thread. From another thread than the main one,
//   it first waits for a line-event handler that runs in the main thread to return; line events not
//   handled yet are then dropped with the input, and the Qt objects that watched the line are deleted
//   in the main thread.
// Re-entry, for handlers of every kind:
// - A close asked for from a line-event handler runs once that handler has returned (it is posted once;
//   a handler that runs an event loop of its own holds it off until it returns). A close asked for while
//   the port closes is a no-op; a new Port set then only changes the name.
// - A notification of the open (OnAfterOpen, a link's OnConnChange, the first line states) may close,
//   reopen or destroy the port: OpenPort then stops at once. OnBeforeOpen may destroy the port, and a
//   close asked for while the device is being opened (a connection that takes a while) cancels the
//   open: OpenPort returns with the port closed and no further notification.
// - Any handler may destroy the port, also one that a close runs (events served during the close): the
//   close ends with its after-close notification and the rest is finished off once the handler returned.
// - A network port's waits (connect, settings exchange, purge and drain at close) turn the event loop:
//   a timer or posted call there may destroy the port (the waiting call then returns without touching
//   it), close it (the close runs once the wait has ended) or give it a new name (an open that is
//   connecting opens the new name instead).
// Device loss: the device tells of it from its own thread and the port closes in its own thread when
// the report arrives (OnDeviceLost after the close). Bytes read before the loss still reach the
// handlers, and failures of queries made meanwhile are not reported: the loss is told once, as the loss.
// A port whose thread runs no event loop acts on the loss at the next call made on it in that thread:
// the call closes the port (with OnDeviceLost) and fails with its own code and the loss's system error.
// Connected stays true until then.
class TCustomComPort : public QObject, public TComponent {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TCustomComPort* sender)>;
    using TRxCharEvent = std::function<void(TCustomComPort* sender, int count)>;
    using TRxBufEvent = std::function<void(TCustomComPort* sender, const void* buffer, int count)>;
    using TComSignalEvent = std::function<void(TCustomComPort* sender, bool onOff)>;
    using TComErrorEvent = std::function<void(TCustomComPort* sender, TComErrors errors)>;
    using TDeviceLostEvent = std::function<void(TCustomComPort* sender, int systemError)>;

    explicit TCustomComPort(QObject* owner = nullptr);
    ~TCustomComPort() override;

    // Lifecycle
    void OpenPort();
    void ClosePort();
    bool Connected() const { return m_connected; }
    void SetConnected(bool value);
    intptr_t Handle() const;
    bool ThreadCreated() const { return m_threadCreated; }
    TComThread* EventThread() const { return m_eventThread.get(); }
    void Loaded() override;

    // Line settings
    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate value);
    int CustomBaudRate() const { return m_customBaudRate; }
    void SetCustomBaudRate(int value);
    QString Port() const { return m_port; }
    void SetPort(const QString& value);
    TStopBits StopBits() const { return m_stopBits; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const { return m_dataBits; }
    void SetDataBits(TDataBits value);
    bool DiscardNull() const { return m_discardNull; }
    void SetDiscardNull(bool value);
    char EventChar() const { return m_eventChar; }
    void SetEventChar(char value);
    TComEvents Events() const { return m_events; }
    void SetEvents(TComEvents value) { m_events = value; }
    TSyncMethod SyncMethod() const { return m_syncMethod; }
    void SetSyncMethod(TSyncMethod value);
    TSettingGroups StoredGroups() const { return m_storedGroups; }
    void SetStoredGroups(TSettingGroups value) { m_storedGroups = value; }

    TComBuffer* Buffer() const { return m_buffer; }
    TComParity* Parity() const { return m_parity; }
    TComTimeouts* Timeouts() const { return m_timeouts; }
    TComFlowControl* FlowControl() const { return m_flowControl; }
    void SetBuffer(TComBuffer* value);
    void SetParity(TComParity* value);
    void SetTimeouts(TComTimeouts* value);
    void SetFlowControl(TComFlowControl* value);

    // Apply operations: each acts only on a connected port that is not being loaded.
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyBufferSettings();
    virtual void ApplyAllSettings();
    // Holds the line settings changed in between and applies them once at the last EndUpdate (which
    // fails as the apply does), so that values that only work together, such as the two halves of the
    // hardware handshake, can be set one by one on an open port. Loading from a store does so itself.
    void BeginUpdate();
    void EndUpdate();

    // Settings store: the groups of StoredGroups, into an open registry key or an INI-style store
    // (section = the port's Name). Store failures pass through unchanged.
    virtual void SaveToRegistry(TRegistry& reg);
    virtual void SaveToIni(TCustomIniFile& ini);
    virtual void LoadFromRegistry(TRegistry& reg);
    virtual void LoadFromIni(TCustomIniFile& ini);

    // Transfers
    int WriteBytesAsync(const void* buffer, int count, PAsyncRequest& request);
    int WriteTextAsync(const QByteArray& text, PAsyncRequest& request);
    int WriteText(const QByteArray& text);
    int ReadBytesAsync(void* buffer, int count, PAsyncRequest& request);
    int ReadBytes(void* buffer, int count);
    int WaitForCompletion(PAsyncRequest& request);
    int InputQueueCount();
    void AbortTransfers();

    // Line control and status
    void SetDTRLine(bool onOff);
    void SetRTSLine(bool onOff);
    TModemSignals ModemSignals();
    TComErrors LineErrors();

    // Listener links
    void RegisterLink(TComLink* link);
    void UnregisterLink(TComLink* link);
    bool HasRxBufLink() const { return m_hasRxBufLink; }

    // Published events
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComErrorEvent OnError;
    // The device went away while open (cable or adapter pulled, far end of a pty closed). The port has
    // already closed itself through its normal close path; systemError says why (EIO for a hang-up,
    // ENODEV for a removed device node).
    TDeviceLostEvent OnDeviceLost;

    // Runs the handling of the raised events in the fixed order (called by the event thread's dispatch).
    void RunEventHandlers(TComEvents events);
    // The handling of one event given by its event-mask value (the hidden receiver's message).
    void HandleEventMessage(uint32_t maskValue);

    TSerialDevice* Device() const { return m_device.get(); }
    // The hidden receiver of line events under smWindowSync while open, else nullptr.
    TComPortWindow* Window() const { return m_window.get(); }

protected:
    virtual void CreatePortHandle();
    virtual void ReleasePortHandle();

    // Raising the published events; each calls its handler only when one is assigned.
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int count);
    virtual void DoRxBuf(const void* buffer, int count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool onOff);
    virtual void DoDSRChange(bool onOff);
    virtual void DoError(TComErrors errors);
    virtual void DoRLSDChange(bool onOff);
    virtual void DoRx80Full();
    virtual void DoDeviceLost(int systemError);

private:
    friend class TComThread;
    friend struct TDispatchScope;

    void CallAfterOpen();
    void CallAfterClose();
    void CallBeforeOpen();
    void CallBeforeClose();
    void CallTransmitOn();
    void CallTransferCompleted(const TAsyncRequest& request);

    void HandleOneEvent(TComEvent event);
    void HandleRxChar();
    void HandleSignal(TComEvent event);

    // Calls `fn` for every registered link in registration order (under smNone the list is guarded).
    // False when a callback destroyed the port: the caller must not touch it any more.
    template <class F> bool ForEachLink(F&& fn);
    bool DispatchingHere() const;
    void ClosePortNow();
    void DeviceLost(uint64_t generation, int systemError);
    void DetachDevice();
    void DropOpenPort();
    void RetireOpenPort();
    void ReleaseWindow();
    void PostPendingClose();
    void RunPendingClose();
    // A loss the device told of that has not been acted on: closes the port for it when this thread may
    // (see the header comment) and returns the loss's error, else 0. CheckLoss raises it with `code`.
    int TakeLoss();
    void CheckLoss(int code);
    // Raises a failed device call: the loss behind it first closes the port (CheckLoss).
    [[noreturn]] void Fail(int code, int systemError);
    // The queries; `checked` false for the port's own notifications, which leave a loss to its report.
    TModemSignals ReadModemSignals(bool checked);
    int QueueCount(bool checked);
    int m_updateDepth = 0;           // BeginUpdate calls not yet ended
    bool m_lineSettingsHeld = false; // line settings changed meanwhile

    std::shared_ptr<TSerialDevice> m_device; // shared with the event thread, which may outlive the port
    std::unique_ptr<TComThread> m_eventThread;
    std::unique_ptr<TComPortWindow> m_window;
    bool m_threadCreated = false;
    std::vector<TComLink*> m_links;
    std::shared_ptr<TPortLife> m_life = std::make_shared<TPortLife>();
    bool m_hasRxBufLink = false;
    bool m_connected = false;
    TBaudRate m_baudRate = br9600;
    int m_customBaudRate = 9600;
    QString m_port = QStringLiteral("COM1");
    TStopBits m_stopBits = sbOneStopBit;
    TDataBits m_dataBits = dbEight;
    bool m_discardNull = false;
    char m_eventChar = 0;
    TComEvents m_events = TComEvents(CPort::kAllComEvents);
    TComBuffer* m_buffer = nullptr;
    TComParity* m_parity = nullptr;
    TComTimeouts* m_timeouts = nullptr;
    TComFlowControl* m_flowControl = nullptr;
    TSyncMethod m_syncMethod = smThreadSync;
    TSettingGroups m_storedGroups = sgBasic;
    bool m_closePending = false;  // a close asked for from inside a handler, run once it returns
    bool m_reopenPending = false; // and an open asked for after it (a port changed from a handler)
    bool m_lossPending = false;   // a loss reported while a handler ran, acted on once it returns
    int m_lossPendingError = 0;
    uint64_t m_lossPendingOpen = 0;
    bool m_opening = false;        // OpenPort runs, up to its after-open notification
    bool m_openCancelled = false;  // a close was asked for before the device was open
    bool m_closing = false;        // ClosePortNow runs, up to its after-close notification
    uint64_t m_openGeneration = 0; // counts opens, so that a loss report of an earlier open is dropped
};

// The port with its settings published for window layouts and the property storage.
class TComPort : public TCustomComPort {
    Q_OBJECT
    Q_PROPERTY(bool Connected READ Connected WRITE SetConnected)
    Q_PROPERTY(CPort::TBaudRate BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(QString Port READ Port WRITE SetPort)
    Q_PROPERTY(TComParity* Parity READ Parity WRITE SetParity)
    Q_PROPERTY(CPort::TStopBits StopBits READ StopBits WRITE SetStopBits)
    Q_PROPERTY(CPort::TDataBits DataBits READ DataBits WRITE SetDataBits)
    Q_PROPERTY(bool DiscardNull READ DiscardNull WRITE SetDiscardNull)
    Q_PROPERTY(char EventChar READ EventChar WRITE SetEventChar)
    Q_PROPERTY(CPort::TComEvents Events READ Events WRITE SetEvents)
    Q_PROPERTY(TComBuffer* Buffer READ Buffer WRITE SetBuffer)
    Q_PROPERTY(TComFlowControl* FlowControl READ FlowControl WRITE SetFlowControl)
    Q_PROPERTY(TComTimeouts* Timeouts READ Timeouts WRITE SetTimeouts)
    Q_PROPERTY(CPort::TSyncMethod SyncMethod READ SyncMethod WRITE SetSyncMethod)
    Q_CLASSINFO("Default.Connected", "false")
    Q_CLASSINFO("Default.DiscardNull", "false")
    Q_CLASSINFO("Default.EventChar", "0")
    Q_CLASSINFO("Default.SyncMethod", "smThreadSync")
public:
    explicit TComPort(QObject* owner = nullptr) : TCustomComPort(owner) {}
};

// The order in which the events of one wait are handled.
inline constexpr std::array<TComEvent, 10> kEventHandlingOrder = {
    evError, evRxChar, evTxEmpty, evBreak, evRing, evCTS, evDSR, evRxFlag, evRLSD, evRx80Full};

// The device control block and time-out block that the port's settings make.
struct TDcb;
struct TCommTimeouts;
TDcb BuildDcb(const TCustomComPort& port);
TCommTimeouts BuildCommTimeouts(const TComTimeouts& timeouts);

// Conversions between the port's event set and the operating system's event mask.
uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);
