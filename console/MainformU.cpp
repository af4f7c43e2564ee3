#include "console/MainformU.h"

#include "console/Dialogs.h"
#include "console/HexLogWindow.h"
#include "console/SessionLog.h"
#include "console/TerminalSettings.h"
#include "controls/ComComboBox.h"
#include "controls/ComLed.h"
#include "controls/ComTerminal.h"
#include "persistence/PropStorage.h"
#include "persistence/PropStorageManager.h"
#include "runtime/Exception.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "serial/DeviceWatcher.h"
#include "serial/RemotePorts.h"
#include "serial/platform/NetworkWait.h"
#include "serial/platform/SerialDevice.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaEnum>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

namespace {

// The application's key in the settings store: the remembered settings and the list of remote ports.
const QString kApplicationKey = QStringLiteral("Software\\Varnholt\\Corvantel");

// The layout was drawn for a client area of this height; the two bottom buttons keep their distance
// from the panel's bottom edge.
constexpr int kDesignedHeight = 569;
constexpr int kPanelWidth = 172;
// The least client size at which no control covers another: the panel's bottom buttons stay below
// "Clear Log" (which ends at 473), and the terminal keeps a usable width.
constexpr int kLeastHeight = 473 + 8 + (kDesignedHeight - 501);
constexpr int kLeastTerminalWidth = 200;

// The settings store's value that remembers the terminal's emulation, by its value name.
const QString kEmulationValue = QStringLiteral("Emulation");

QPushButton* Button(QWidget* parent, const char* name, const QString& caption, QRect place) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(place);
    return b;
}

QLabel* Label(QWidget* parent, const char* name, const QString& caption, QPoint at) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    l->move(at);
    l->adjustSize();
    return l;
}

QLineEdit* TextField(QWidget* parent, const char* name, QPoint at) {
    auto* e = new QLineEdit(QString::fromLatin1(name), parent);
    e->setObjectName(name);
    e->setGeometry(at.x(), at.y(), 73, 21);
    return e;
}

// A component of the layout: created under its name with its loading flag set, and listed for Loaded().
template <class T, class Parent>
T* LayoutComponent(Parent* parent, const char* name, std::vector<TComponent*>& components) {
    auto* c = new T(parent);
    c->setObjectName(QString::fromLatin1(name));
    c->BeginLoading();
    components.push_back(c);
    return c;
}

// Connects a button's click to a handler that runs through the application's exception report.
template <class F> void OnClick(QAbstractButton* button, F handler) {
    QObject::connect(button, &QAbstractButton::clicked, button, [handler] { GuardedCall(handler); });
}

} // namespace

TMainFormF::TMainFormF(TClock clock, QWidget* parent) : TForm(parent), m_clock(std::move(clock)) {
    BuildLayout();
    LoadComponents(m_components);
    GuardedCall([this] { FormCreate(); });
}

TMainFormF::~TMainFormF() {
    // The port may still close (and report) while the panel is already gone.
    ComPort1->OnAfterClose = nullptr;
    ComPort1->OnDeviceLost = nullptr;
    DeviceWatcher->Stop();
    SetConnectingHandler(nullptr);
    // The hex window reads the session log: it goes before the log does.
    delete m_hexWindow;
    // The destroy handlers (the property storage's among them) run while the window is whole.
    DoDestroy();
}

void TMainFormF::BuildLayout() {
    BeginLoading();
    setObjectName(QStringLiteral("MainFormF"));
    setWindowTitle(QStringLiteral("CV2"));
    move(54, 135);
    resize(780, kDesignedHeight);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);

    // The window's own handlers come first, so that components which chain them (the property
    // storage) find them in place when they are loaded.
    OnShow = [this](QObject*) { FormShow(); };
    OnCloseQuery = [this](QObject*, bool& canClose) { FormCloseQuery(canClose); };

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    ComTerminal1 = LayoutComponent<TComTerminal>(this, "ComTerminal1", m_components);
    layout->addWidget(ComTerminal1, 1);

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedWidth(kPanelWidth);
    layout->addWidget(Panel1);

    Label1 = Label(Panel1, "Label1", QStringLiteral("Com port"), {8, 8});
    Label2 = Label(Panel1, "Label2", QStringLiteral("Speed"), {8, 56});
    ComLed1 = LayoutComponent<TComLed>(Panel1, "ComLed1", m_components);
    ComLed1->setGeometry(40, 136, 25, 25);
    ComLed2 = LayoutComponent<TComLed>(Panel1, "ComLed2", m_components);
    ComLed2->setGeometry(8, 136, 25, 25);
    Label3 = Label(Panel1, "Label3", QStringLiteral("Tx"), {13, 160});
    Label4 = Label(Panel1, "Label4", QStringLiteral("Rx"), {46, 160});
    btnClose = Button(Panel1, "btnClose", QStringLiteral("Close"), {91, 501, 75, 25});
    ComComboBox1 = LayoutComponent<TComComboBox>(Panel1, "ComComboBox1", m_components);
    ComComboBox1->setGeometry(8, 24, 153, 21);
    ComComboBox2 = LayoutComponent<TComComboBox>(Panel1, "ComComboBox2", m_components);
    ComComboBox2->setGeometry(8, 72, 153, 21);
    chkLocalEcho = new QCheckBox(QStringLiteral("Local echo"), Panel1);
    chkLocalEcho->setObjectName(QStringLiteral("chkLocalEcho"));
    chkLocalEcho->move(8, 248);
    chkLocalEcho->adjustSize();
    btnSave = Button(Panel1, "btnSave", QStringLiteral("Save log"), {8, 501, 75, 25});
    btnSave->setEnabled(false);
    btnClear = Button(Panel1, "btnClear", QStringLiteral("Clear"), {8, 272, 75, 25});
    btnRead = Button(Panel1, "btnRead", QStringLiteral("Read"), {8, 304, 75, 25});
    btnSyncTime = Button(Panel1, "btnSyncTime", QStringLiteral("Sync time"), {88, 272, 75, 25});
    btnGetTime = Button(Panel1, "btnGetTime", QStringLiteral("Get time"), {88, 304, 75, 25});
    btnConnect = Button(Panel1, "btnConnect", QStringLiteral("Connect COM"), {8, 104, 75, 25});
    CellNomber = TextField(Panel1, "CellNomber", {8, 384});
    Visio = TextField(Panel1, "Visio", {8, 416});
    CtrlADR = TextField(Panel1, "CtrlADR", {88, 384});
    Room = TextField(Panel1, "Room", {88, 416});
    for (QLineEdit* e : {CellNomber, Visio, CtrlADR, Room})
        e->setEnabled(false);
    BtnSyncDate = Button(Panel1, "BtnSyncDate", QStringLiteral("Sync Date"), {88, 336, 75, 25});
    BtnSyncDate->setEnabled(false);
    BtnCLRLog = Button(Panel1, "BtnCLRLog", QStringLiteral("Clear Log"), {88, 448, 75, 25});
    BtnCLRLog->setEnabled(false);
    // A click leaves the keyboard in the terminal; Tab still reaches every control.
    for (QAbstractButton* b : Panel1->findChildren<QAbstractButton*>())
        b->setFocusPolicy(Qt::TabFocus);
    lblStatus = new QLabel(QStringLiteral("Closed"), Panel1);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setGeometry(8, 180, 156, 60);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblStatus->setWordWrap(true);
    DeviceWatcher = new TDeviceWatcher(this);
    DeviceWatcher->OnReturn = [this](const QString& path) { DeviceReturned(path); };
    // A network port takes a while to connect; the window goes on painting meanwhile.
    SetConnectingHandler([this, before = std::make_shared<QString>()](const std::string& hostPort) {
        if (QThread::currentThread() != thread())
            return; // a port opened by another thread
        const QString text = QStringLiteral("Connecting to %1...").arg(QString::fromStdString(hostPort));
        if (!hostPort.empty()) {
            *before = lblStatus->text();
            lblStatus->setText(text);
        } else if (lblStatus->text().startsWith(QStringLiteral("Connecting to "))) {
            lblStatus->setText(*before);
        }
    });

    ComPort1 = LayoutComponent<TComPort>(this, "ComPort1", m_components);
    SaveDialog1 = LayoutComponent<TSaveDialog>(this, "SaveDialog1", m_components);
    PropStorageEh1 = LayoutComponent<TPropStorageEh>(this, "PropStorageEh1", m_components);
    RegPropStorageManEh1 = LayoutComponent<TRegPropStorageManEh>(this, "RegPropStorageManEh1", m_components);

    // Values of the layout, references resolved once every component exists.
    ComPort1->SetBaudRate(br38400);
    ComPort1->SetPort(QStringLiteral("COM1"));
    ComPort1->Parity()->SetBits(prNone);
    ComPort1->SetStopBits(sbOneStopBit);
    ComPort1->SetDataBits(dbEight);
    ComPort1->SetEvents(TComEvents(CPort::kAllComEvents));
    ComPort1->FlowControl()->SetOutCTSFlow(false);
    ComPort1->FlowControl()->SetOutDSRFlow(false);
    ComPort1->FlowControl()->SetControlDTR(dtrEnable);
    ComPort1->FlowControl()->SetControlRTS(rtsDisable);
    ComPort1->FlowControl()->SetXonXoffOut(false);
    ComPort1->FlowControl()->SetXonXoffIn(false);
    ComPort1->Timeouts()->SetReadInterval(50);
    ComPort1->Timeouts()->SetReadTotalMultiplier(50);
    ComPort1->Timeouts()->SetReadTotalConstant(10);
    ComPort1->OnAfterOpen = [this](TCustomComPort* sender) { ComPort1AfterOpen(sender); };
    ComPort1->OnAfterClose = [this](TCustomComPort* sender) { ComPort1AfterClose(sender); };
    ComPort1->OnDeviceLost = [this](TCustomComPort* sender, int error) { ComPort1DeviceLost(sender, error); };

    ComTerminal1->SetColor(0x000000);
    ComTerminal1->SetFontColor(0xFFFFFF);
    QFont terminalFont(QStringLiteral("Fixedsys"));
    terminalFont.setPixelSize(12);
    ComTerminal1->setFont(terminalFont);
    ComTerminal1->SetScrollBars(CPortCtl::ssBoth);
    ComTerminal1->SetWrapLines(true);
    ComTerminal1->SetEmulation(CPortCtl::teNone);
    ComTerminal1->SetComPort(ComPort1);
    ComTerminal1->OnChar = [this](TCustomComTerminal* sender, char ch) { ComTerminal1Char(sender, ch); };
    // The same for a run of characters at once: a fast line is logged in blocks, not byte by byte.
    ComTerminal1->SetCharRunHandler(
        [this](TCustomComTerminal*, const char* chars, int count) { LogReceived(chars, count); });
    ComTerminal1->SetHistoryLines(TerminalSettings::HistoryLines(kApplicationKey));
    ComTerminal1->SetShowTimes(TerminalSettings::ShowTimes(kApplicationKey));
    ComTerminal1->OnConfirmPaste = [](TComTerminal*, qsizetype bytes) {
        return Dialogs().MessageDlg(QStringLiteral("Paste %1 bytes to the controller?").arg(bytes),
                                    mtConfirmation, TMsgDlgButtons(mbYes) | mbNo) == mrYes;
    };
    ComTerminal1->OnPasteProgress = [this](TComTerminal*, qsizetype sent, qsizetype total, bool finished) {
        ComTerminal1PasteProgress(sent, total, finished);
    };
    ComTerminal1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ComTerminal1, &QWidget::customContextMenuRequested, this, [this](QPoint at) {
        GuardedCall([&] {
            QMenu* menu = BuildTerminalMenu();
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(ComTerminal1->viewport()->mapToGlobal(at));
        });
    });

    ComLed1->SetComPort(ComPort1);
    ComLed1->SetLedSignal(lsRx);
    ComLed1->SetKind(lkGreenLight);
    ComLed2->SetComPort(ComPort1);
    ComLed2->SetLedSignal(lsTx);
    ComLed2->SetKind(lkRedLight);

    SetRemotePortsKey(kApplicationKey);
    ComComboBox1->SetComPort(ComPort1);
    ComComboBox1->SetComProperty(cpPort);
    ComComboBox1->SetAutoApply(true);
    ComComboBox1->SetText(QStringLiteral("COM1"));
    ComComboBox2->SetComPort(ComPort1);
    ComComboBox2->SetComProperty(cpBaudRate);
    ComComboBox2->SetAutoApply(true);
    ComComboBox2->SetText(QStringLiteral("38400"));
    ComComboBox2->OnChange = [this](TComComboBox*) {
        if (ComPort1->Connected())
            ShowOpenStatus();
    };

    SaveDialog1->SetDefaultExt(QStringLiteral("txt"));
    SaveDialog1->SetFilter(QStringLiteral("Log files (*.txt)|*.txt|All files (*.*)|*.*"));
    SaveDialog1->SetFilterIndex(1);
    SaveDialog1->SetOptions(TSaveDialog::TOpenOptions(TSaveDialog::ofOverwritePrompt) |
                            TSaveDialog::ofHideReadOnly | TSaveDialog::ofPathMustExist |
                            TSaveDialog::ofEnableSizing);

    RegPropStorageManEh1->SetPath(kApplicationKey);
    PropStorageEh1->SetStorageManager(RegPropStorageManEh1);
    PropStorageEh1->SetStoredProps(
        {QStringLiteral("ComPort1.<P>.BaudRate"), QStringLiteral("ComPort1.<P>.Port")});

    // Handlers
    OnClick(btnClose, [this] { btnCloseClick(); });
    OnClick(chkLocalEcho, [this] { chkLocalEchoClick(); });
    OnClick(btnSave, [this] { btnSaveClick(); });
    OnClick(btnClear, [this] { btnClearClick(); });
    OnClick(btnRead, [this] { btnReadClick(); });
    OnClick(btnSyncTime, [this] { btnSyncTimeClick(); });
    OnClick(btnGetTime, [this] { btnGetTimeClick(); });
    OnClick(btnConnect, [this] { btnConnectClick(); });
    OnClick(BtnSyncDate, [this] { BtnSyncDateClick(); });
    OnClick(BtnCLRLog, [this] { BtnCLRLogClick(); });

    // Tab order: the terminal, then the panel.
    QWidget* order[] = {ComTerminal1, btnClose, ComComboBox1, ComComboBox2, chkLocalEcho, btnSave,
                        btnClear,     btnRead,  btnSyncTime,  btnGetTime,   btnConnect,   CellNomber,
                        Visio,        CtrlADR,  Room,         BtnSyncDate,  BtnCLRLog};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    m_components.insert(m_components.begin(), this);
    setMinimumSize(kPanelWidth + kLeastTerminalWidth, kLeastHeight);
}

QMenu* TMainFormF::BuildTerminalMenu() {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("TerminalMenu"));
    auto add = [&](const QString& caption, const char* keys, auto handler) {
        QAction* action = menu->addAction(caption, menu, [handler] { GuardedCall(handler); });
        if (keys) {
            // Shown beside the caption; the terminal itself handles the keys.
            action->setShortcut(QKeySequence(QString::fromLatin1(keys)));
            action->setShortcutContext(Qt::WidgetShortcut);
            action->setShortcutVisibleInContextMenu(true);
        }
        return action;
    };
    add(QStringLiteral("Copy"), "Ctrl+Shift+C", [this] {
        ComTerminal1->Copy();
    })->setEnabled(ComTerminal1->Selection().Active());
    add(QStringLiteral("Paste"), "Ctrl+Shift+V", [this] { ComTerminal1->Paste(); });
    add(QStringLiteral("Select all"), "Ctrl+Shift+A", [this] { ComTerminal1->SelectAll(); });
    add(QStringLiteral("Find..."), "Ctrl+Shift+F", [this] { ComTerminal1->ShowFind(); });
    menu->addSeparator();
    QAction* times = add(QStringLiteral("Show times"), nullptr, [this] {
        const bool on = !ComTerminal1->ShowTimes();
        ComTerminal1->SetShowTimes(on);
        TerminalSettings::SetShowTimes(kApplicationKey, on);
    });
    times->setCheckable(true);
    times->setChecked(ComTerminal1->ShowTimes());
    menu->addSeparator();
    AddLogMenuEntries(menu);
    return menu;
}

void TMainFormF::ComTerminal1PasteProgress(qsizetype sent, qsizetype total, bool finished) {
    static const QString kPasting = QStringLiteral("Pasting ");
    if (finished) {
        // The port's own state is shown again, unless it changed meanwhile and says so already.
        if (lblStatus->text().startsWith(kPasting))
            lblStatus->setText(m_statusBeforePaste);
        m_statusBeforePaste.clear();
        return;
    }
    if (!lblStatus->text().startsWith(kPasting))
        m_statusBeforePaste = lblStatus->text();
    lblStatus->setText(kPasting + QStringLiteral("%1 of %2 bytes (Esc stops)").arg(sent).arg(total));
}

void TMainFormF::resizeEvent(QResizeEvent* event) {
    TForm::resizeEvent(event);
    PlacePanelBottomControls();
}

void TMainFormF::PlacePanelBottomControls() {
    if (!Panel1)
        return;
    // "Close" and "Save log" are anchored to the panel's bottom edge.
    const int y = std::max(0, Panel1->height() - (kDesignedHeight - 501));
    btnSave->move(8, y);
    btnClose->move(91, y);
}

void TMainFormF::FormCreate() {
    UpdateControlStates();
    SessionLog.clear();
    SessionTimes.clear();
}

void TMainFormF::FitOnScreen() {
    QScreen* screen = QGuiApplication::screenAt(geometry().center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The same rule as for a stored place: no larger than the screen's free area (nor smaller than the
    // window's least size), and inside it.
    const QRect area = screen->availableGeometry();
    const QSize least = minimumSize();
    const int w = std::clamp(width(), least.width(), std::max(area.width(), least.width()));
    const int h = std::clamp(height(), least.height(), std::max(area.height(), least.height()));
    const int left = std::clamp(x(), area.left(), area.left() + std::max(0, area.width() - w));
    const int top = std::clamp(y(), area.top(), area.top() + std::max(0, area.height() - h));
    setGeometry(left, top, w, h);
}

bool TMainFormF::eventFilter(QObject* watched, QEvent* event) {
    // The window system's close request goes to the window, which takes it as granted while a close is
    // under way (the one asking "Save changes?"): refused here, it waits for that question's answer.
    if (event->type() == QEvent::Close && watched == windowHandle() && m_closeQuestionOpen) {
        event->ignore();
        return true;
    }
    return TForm::eventFilter(watched, event);
}

void TMainFormF::FormShow() {
    if (QWindow* window = windowHandle())
        window->installEventFilter(this);
    if (!m_placed) {
        m_placed = true;
        FitOnScreen();
        ComTerminal1->SetEmulation(StoredEmulation());
    }
    ComComboBox1->RefreshFromPort();
    ComComboBox2->RefreshFromPort();
}

void TMainFormF::UpdateControlStates() {
    const bool connected = ComPort1->Connected();
    for (QWidget* w : std::initializer_list<QWidget*>{btnClear, btnSyncTime, btnRead, btnGetTime, BtnSyncDate,
                                                      BtnCLRLog, btnSave, CellNomber, Visio, CtrlADR, Room})
        w->setEnabled(connected);
}

QString TMainFormF::DevicePath() const {
    const QString name = ComPort1->Port();
    return name.contains(QLatin1Char('/')) ? name
                                           : QString::fromStdString(PortNameToPath(name.toStdString()));
}

void TMainFormF::ComPort1AfterOpen(TCustomComPort*) {
    UpdateControlStates();
    DeviceWatcher->Stop();
    m_lostPath.clear();
    m_identity = DeviceWatcher->IdentityOf(DevicePath());
    m_identityTarget = QFileInfo(m_identity).canonicalFilePath();
    ShowOpenStatus();
}

void TMainFormF::SetStatus(const QString& text) {
    lblStatus->setText(text);
    SessionTimes.Event(text);
}

void TMainFormF::ShowOpenStatus() {
    // What the device runs at: a speed it refused leaves the one it had.
    TDcb dcb = BuildDcb(*ComPort1);
    if (TSerialDevice* device = ComPort1->Device()) {
        TDcb running = dcb;
        if (device->GetCommState(&running) == 0 && running.BaudRate != 0)
            dcb = running;
    }
    SetStatus(QStringLiteral("Open %1, %2").arg(DevicePath()).arg(dcb.BaudRate));
}

void TMainFormF::ComPort1AfterClose(TCustomComPort*) {
    // A deliberate close leaves the buttons as they are (a command then reports the closed port).
    SetStatus(QStringLiteral("Closed"));
    // A port closed during a flood never read its queue empty: its activity lamps go dark with it.
    for (TComLed* led : {ComLed1, ComLed2}) {
        if (led->State() != lsOn)
            continue;
        TComLink* link = led->ComLink();
        if (link->OnRxChange)
            link->OnRxChange(ComPort1, false);
        if (link->OnTxChange)
            link->OnTxChange(ComPort1, false);
    }
    // Closed or lost: the activity lamps show their state at once, without the hold of a last report
    // (also the one that turning them off above has just begun).
    ComLed1->DropHold();
    ComLed2->DropHold();
}

void TMainFormF::ComPort1DeviceLost(TCustomComPort*, int systemError) {
    // A pulled cable or adapter hangs the line up, fails it with EIO / ENXIO or removes its node.
    const bool removed =
        systemError == EIO || systemError == ENXIO || systemError == ENODEV || systemError == ENOENT;
    const QString why =
        removed ? QStringLiteral("device removed") : QString::fromLocal8Bit(std::strerror(systemError));
    UpdateControlStates();
    // What was captured before the loss is what the technician needs to keep.
    btnSave->setEnabled(!SessionLog.isEmpty());
    m_lostPath = DevicePath();
    m_lostName = ComPort1->Port();
    SetStatus(QStringLiteral("Lost %1 (%2) at %3, waiting for it")
                  .arg(m_lostPath, why, m_clock().time().toString(QStringLiteral("HH:mm:ss"))));
    DeviceWatcher->Start(m_lostPath, m_identity);
}

void TMainFormF::DeviceReturned(const QString& path) {
    if (ComPort1->Connected()) {
        DeviceWatcher->Stop();
        return;
    }
    // Another port was chosen meanwhile: the lost one is no longer wanted.
    if (ComPort1->Port() != m_lostName) {
        DeviceWatcher->Stop();
        SetStatus(QStringLiteral("Closed"));
        return;
    }
    // The adapter came back under another node: the port follows it, named as before (a path or a
    // bare device name).
    if (!m_identity.isEmpty() && path != m_identityTarget) {
        const bool asPath = ComPort1->Port().contains(QLatin1Char('/'));
        ComPort1->SetPort(asPath ? path : path.section(QLatin1Char('/'), -1));
        ComComboBox1->RefreshFromPort();
        m_identityTarget = path;
        m_lostName = ComPort1->Port();
    }
    try {
        ConnectPort();
    } catch (...) {
        // Not ready yet (permissions still being set, a far end not there): the next look tries again.
    }
}

void TMainFormF::ComTerminal1Char(TCustomComTerminal*, char ch) {
    LogReceived(&ch, 1);
}

void TMainFormF::LogReceived(const char* chars, int count) {
    // Both keep the characters when their temporary file cannot be written. The failure is reported
    // after the terminal has placed the rest of what arrived, and once while its report is shown.
    std::exception_ptr failure;
    try {
        SessionLog.append(chars, count);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        SessionTimes.Chars(chars, count);
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    if (failure && !m_logFailureReported) {
        m_logFailureReported = true;
        QTimer::singleShot(0, this, [this, failure] {
            GuardedCall([&] { std::rethrow_exception(failure); });
            m_logFailureReported = false;
        });
    }
}

void TMainFormF::chkLocalEchoClick() {
    ComTerminal1->SetLocalEcho(chkLocalEcho->isChecked());
}

void TMainFormF::ConnectPort() {
    ComPort1->SetConnected(true);
    ComPort1->SetDTRLine(true);
    ComPort1->SetRTSLine(true);
}

void TMainFormF::btnConnectClick() {
    ConnectPort();
}

void TMainFormF::btnReadClick() {
    SendControllerCommand(*ComPort1, ControllerCommands::kRead);
}

void TMainFormF::btnGetTimeClick() {
    SendControllerCommand(*ComPort1, ControllerCommands::kGetTime);
}

void TMainFormF::btnClearClick() {
    if (Dialogs().MessageDlg(QStringLiteral("Are you sure you want to clear the controller's log?"),
                             mtConfirmation, TMsgDlgButtons(mbYes) | mbNo) == mrYes)
        SendControllerCommand(*ComPort1, ControllerCommands::kClearLog);
}

void TMainFormF::btnSyncTimeClick() {
    SendControllerCommand(*ComPort1, ControllerCommands::SyncTime(m_clock()));
}

void TMainFormF::BtnSyncDateClick() {
    SendControllerCommand(*ComPort1, ControllerCommands::SyncDate(m_clock()));
}

void TMainFormF::BtnCLRLogClick() {
    if (Dialogs().MessageDlg(QStringLiteral("Are you sure you want to clear LOG of Terminal?"),
                             mtConfirmation, TMsgDlgButtons(mbYes) | mbNo) == mrYes) {
        SessionLog.clear();
        SessionTimes.clear();
    }
}

bool TMainFormF::ChooseLogFile() {
    SaveDialog1->SetFileName(ProposedLogFileName(m_clock()));
    return SaveDialog1->Execute();
}

void TMainFormF::btnSaveClick() {
    if (ChooseLogFile())
        WriteLogFile(SaveDialog1->FileName(), SessionLog);
}

void TMainFormF::SaveLogWithTimes() {
    if (ChooseLogFile())
        WriteLogWithTimes(SaveDialog1->FileName(), SessionLog, SessionTimes);
}

void TMainFormF::ShowLogAsHex() {
    if (!m_hexWindow)
        m_hexWindow = new THexLogWindow(SessionLog, this);
    m_hexWindow->show();
    m_hexWindow->raise();
    m_hexWindow->activateWindow();
}

CPortCtl::TTermEmulation TMainFormF::StoredEmulation() {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    QString name;
    try {
        if (reg.OpenKeyReadOnly(kApplicationKey) && reg.ValueExists(kEmulationValue))
            name = reg.ReadString(kEmulationValue);
    } catch (...) {
        // An unreadable or hand-edited value keeps the layout's emulation.
    }
    bool ok = false;
    const int value = QMetaEnum::fromType<CPortCtl::TTermEmulation>().keyToValue(name.toLatin1(), &ok);
    return ok ? CPortCtl::TTermEmulation(value) : CPortCtl::teNone;
}

void TMainFormF::SetTerminalEmulation(CPortCtl::TTermEmulation emulation) {
    ComTerminal1->SetEmulation(emulation);
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (!reg.OpenKey(kApplicationKey, true))
        throw Exception(QStringLiteral("Failed to write the setting %1").arg(kEmulationValue));
    reg.WriteString(
        kEmulationValue,
        QString::fromLatin1(QMetaEnum::fromType<CPortCtl::TTermEmulation>().valueToKey(emulation)));
}

void TMainFormF::AddLogMenuEntries(QMenu* menu) {
    QAction* withTimes = menu->addAction(QStringLiteral("Save log with times..."), this,
                                         [this] { GuardedCall([this] { SaveLogWithTimes(); }); });
    withTimes->setObjectName(QStringLiteral("actSaveLogWithTimes"));
    withTimes->setEnabled(!SessionLog.isEmpty());
    QAction* hex = menu->addAction(QStringLiteral("Show log as hex..."), this,
                                   [this] { GuardedCall([this] { ShowLogAsHex(); }); });
    hex->setObjectName(QStringLiteral("actShowLogAsHex"));
    QMenu* emulation = menu->addMenu(QStringLiteral("Emulation"));
    emulation->setObjectName(QStringLiteral("mnuEmulation"));
    auto* group = new QActionGroup(emulation);
    const std::pair<const char*, CPortCtl::TTermEmulation> choices[] = {
        {"None", CPortCtl::teNone}, {"VT52", CPortCtl::teVT52}, {"VT100", CPortCtl::teVT100orANSI}};
    for (const auto& [caption, value] : choices) {
        QAction* a = emulation->addAction(QString::fromLatin1(caption), this, [this, value = value] {
            GuardedCall([&] { SetTerminalEmulation(value); });
        });
        a->setObjectName(QStringLiteral("actEmulation") + QString::fromLatin1(caption));
        a->setCheckable(true);
        a->setChecked(ComTerminal1->Emulation() == value);
        group->addAction(a);
    }
}

void TMainFormF::btnCloseClick() {
    ComPort1->ClosePort();
    close();
}

void TMainFormF::FormCloseQuery(bool& canClose) {
    // A second request while the question is open waits for its answer: that answer closes or keeps
    // the window.
    if (m_closeQuestionOpen) {
        canClose = false;
        return;
    }
    m_closeQuestionOpen = true;
    struct TReset {
        bool& open;
        ~TReset() { open = false; }
    } reset{m_closeQuestionOpen};
    switch (Dialogs().MessageDlg(QStringLiteral("Save changes?"), mtConfirmation,
                                 TMsgDlgButtons(mbYes) | mbNo | mbCancel)) {
    case mrYes:
        // A save that fails or is cancelled keeps the window open: the log would be lost otherwise.
        canClose = false;
        if (ChooseLogFile()) {
            WriteLogFile(SaveDialog1->FileName(), SessionLog);
            canClose = true;
        }
        break;
    case mrNo:
        canClose = true;
        break;
    default:
        canClose = false;
        break;
    }
}
