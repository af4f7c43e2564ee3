#pragma once

#include "console/ControllerCommands.h"
#include "runtime/widgets/Form.h"

#include <QByteArray>

#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class TComComboBox;
class TComLed;
class TComPort;
class TComTerminal;
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

    QByteArray SessionLog;

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

    // Handlers
    void FormCreate();
    void FormShow();
    void FormCloseQuery(bool& canClose);
    void ComPort1AfterOpen(TCustomComPort* sender);
    void ComTerminal1Char(TCustomComTerminal* sender, char ch);
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

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildLayout();
    void PlacePanelBottomControls();

    TClock m_clock;
    std::vector<TComponent*> m_components;
};
