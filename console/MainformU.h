#pragma once

#include "console/ControllerCommands.h"
#include "console/HexLogWindow.h"
#include "console/SessionLog.h"
#include "console/SessionTimes.h"
#include "controls/ComTerminal.h"
#include "runtime/widgets/Form.h"

#include <QByteArray>
#include <QPointer>

#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QWidget;
class TComComboBox;
class TComLed;
class TComPort;
class TComTerminal;
class TDeviceWatcher;
class TCustomComPort;
class TCustomComTerminal;
class TPropStorageEh;
class TRegPropStorageManEh;
class TSaveDialog;

// The console's one window: the terminal pane on the left, the panel with the port selectors, the
// lamps, the connect button and the controller's command buttons on the right, and the session log
// that collects every character the terminal reports. The port name and speed are remembered through
// the property storage.
//
// The layout is built in the constructor with every component's loading flag set; Loaded() then runs
// for each in creation order. Every handler runs through the application's exception report.
class TMainFormF : public TForm {
    Q_OBJECT
public:
    explicit TMainFormF(TClock clock = SystemClock(), QWidget* parent = nullptr);
    ~TMainFormF() override;

    // Everything the terminal reported; beyond 64 MiB it continues in a temporary file.
    TSessionLog SessionLog;
    // When each line of it arrived, and the port's events.
    TSessionTimes SessionTimes;

    // Components, under their layout names.
    TComTerminal* ComTerminal1 = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    TComLed* ComLed1 = nullptr;
    TComLed* ComLed2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* btnClose = nullptr;
    TComComboBox* ComComboBox1 = nullptr;
    TComComboBox* ComComboBox2 = nullptr;
    QCheckBox* chkLocalEcho = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnRead = nullptr;
    QPushButton* btnSyncTime = nullptr;
    QPushButton* btnGetTime = nullptr;
    QPushButton* btnConnect = nullptr;
    QLineEdit* CellNomber = nullptr;
    QLineEdit* Visio = nullptr;
    QLineEdit* CtrlADR = nullptr;
    QLineEdit* Room = nullptr;
    QPushButton* BtnSyncDate = nullptr;
    QPushButton* BtnCLRLog = nullptr;
    TComPort* ComPort1 = nullptr;
    TSaveDialog* SaveDialog1 = nullptr;
    TPropStorageEh* PropStorageEh1 = nullptr;
    TRegPropStorageManEh* RegPropStorageManEh1 = nullptr;
    // Additions: the line's state under the lamps, and the wait for a lost device to come back.
    QLabel* lblStatus = nullptr;
    TDeviceWatcher* DeviceWatcher = nullptr;

    // Handlers
    void FormCreate();
    void FormShow();
    void FormCloseQuery(bool& canClose);
    void ComPort1AfterOpen(TCustomComPort* sender);
    void ComPort1AfterClose(TCustomComPort* sender);
    void ComPort1DeviceLost(TCustomComPort* sender, int systemError);
    void ComTerminal1Char(TCustomComTerminal* sender, char ch);
    // Appends received (or echoed) characters to the session log and follows them in the times.
    void LogReceived(const char* chars, int count);
    void chkLocalEchoClick();
    void btnConnectClick();
    void btnReadClick();
    void btnGetTimeClick();
    void btnClearClick();
    void btnSyncTimeClick();
    void BtnSyncDateClick();
    void BtnCLRLogClick();
    void btnSaveClick();
    void btnCloseClick();

    void UpdateControlStates();

    // The terminal pane's context menu entries for the log and the emulation.
    void AddLogMenuEntries(QMenu* menu);
    // "Save log with times...": the log with each line's arrival time and the port's events.
    void SaveLogWithTimes();
    // "Show log as hex...": opens the hex window, or brings it forward.
    void ShowLogAsHex();
    THexLogWindow* HexLogWindow() const { return m_hexWindow; }
    // Sets the terminal's emulation and remembers it in the settings store.
    void SetTerminalEmulation(CPortCtl::TTermEmulation emulation);
    // The emulation remembered in the settings store (the layout's none when there is none).
    static CPortCtl::TTermEmulation StoredEmulation();
    // The terminal pane's context menu, built afresh for each showing (the caller owns it).
    QMenu* BuildTerminalMenu();
    void ComTerminal1PasteProgress(qsizetype sent, qsizetype total, bool finished);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildLayout();
    void ConnectPort();
    void DeviceReturned(const QString& path);
    QString DevicePath() const;
    void PlacePanelBottomControls();
    // Shows a state of the line under the lamps and records it beside the log.
    void SetStatus(const QString& text);
    // "Open <device>, <speed>" with the speed the device runs at.
    void ShowOpenStatus();
    // Chooses the file with the save dialog; false when the user cancelled it.
    bool ChooseLogFile();
    // Fits the window into the screen's available area.
    void FitOnScreen();

    TClock m_clock;
    QString m_identity;       // the open device's stable identity, if it has one
    QString m_identityTarget; // and the node it led to
    QString m_lostPath;       // the device path that was lost, while waiting for it
    QString m_lostName;       // and the port name it had
    std::vector<TComponent*> m_components;
    QPointer<THexLogWindow> m_hexWindow;
    bool m_closeQuestionOpen = false;
    bool m_logFailureReported = false; // a failure of the log's temporary file is being reported
    bool m_placed = false;
    QString m_statusBeforePaste; // the status line a paste's progress took over
};
