// The console window, headless, against a controller played on a pseudo-terminal: enabling, commands,
// the session log, saving, closing, and the remembered port and speed across two runs.
#include "console/Dialogs.h"
#include "console/HexLogWindow.h"
#include "console/MainformU.h"
#include "console/TerminalSettings.h"
#include "controls/ComComboBox.h"
#include "controls/ComLed.h"
#include "controls/ComTerminal.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "serial/DeviceTestSupport.h"
#include "serial/DeviceWatcher.h"
#include "serial/platform/SerialDevice.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "NoDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <chrono>
#include <deque>
#include <thread>

namespace {

// Answers the window's questions and file choices from a script, and records what was asked.
class TScriptedDialogs : public TDialogs {
public:
    std::deque<TModalResult> Answers;
    std::deque<QString> SavePaths; // an empty path cancels the dialog
    QStringList Asked;
    QStringList ProposedNames;
    QStringList Reported;
    std::function<void()> OnAsk; // runs while a question is open

    TModalResult MessageDlg(const QString& message, TMsgDlgType type, TMsgDlgButtons buttons) override {
        Asked.append(message);
        if (OnAsk)
            OnAsk();
        EXPECT_EQ(type, mtConfirmation);
        if (message == "Save changes?")
            EXPECT_EQ(buttons, TMsgDlgButtons(mbYes) | mbNo | mbCancel);
        else
            EXPECT_EQ(buttons, TMsgDlgButtons(mbYes) | mbNo);
        if (Answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << message.toStdString();
            return mrCancel;
        }
        const TModalResult r = Answers.front();
        Answers.pop_front();
        return r;
    }
    bool ExecuteSave(TSaveDialog& dialog) override {
        ProposedNames.append(dialog.FileName());
        EXPECT_EQ(dialog.DefaultExt(), "txt");
        EXPECT_EQ(dialog.Filter(), "Log files (*.txt)|*.txt|All files (*.*)|*.*");
        if (SavePaths.empty() || SavePaths.front().isEmpty()) {
            if (!SavePaths.empty())
                SavePaths.pop_front();
            return false;
        }
        dialog.SetFileName(SavePaths.front());
        SavePaths.pop_front();
        return true;
    }
    void ShowException(const QString& message) override { Reported.append(message); }
};

class MainForm : public ::testing::Test {
protected:
    // A window whose port points at the pseudo-terminal, shown (which restores nothing: empty store).
    void Open(QDateTime now = QDateTime(QDate(2026, 3, 5), QTime(10, 5, 7))) {
        window = std::make_unique<TMainFormF>([now] { return now; });
        window->ComPort1->SetPort(QString::fromStdString(controller.SlavePath()));
        window->show();
    }
    void Connect() {
        window->btnConnect->click();
        ASSERT_TRUE(window->ComPort1->Connected()) << dialogs->Reported.join("; ").toStdString();
    }
    void OpenConnected() {
        Open();
        Connect();
    }

    TTempConfigHome home;
    TPtyPair controller;
    TDialogsInUse<TScriptedDialogs> dialogs{true};
    std::unique_ptr<TMainFormF> window; // goes first, while the dialogs are in use
};

QList<QWidget*> CommandControls(TMainFormF& w) {
    return {w.btnClear, w.btnSyncTime, w.btnRead, w.btnGetTime, w.BtnSyncDate, w.BtnCLRLog,
            w.btnSave,  w.CellNomber,  w.Visio,   w.CtrlADR,    w.Room};
}

} // namespace

TEST_F(MainForm, LayoutAndEnablingAtStartAndAfterConnect) {
    Open();
    EXPECT_EQ(window->windowTitle(), "CV2");
    EXPECT_EQ(window->size(), QSize(780, 569));
    EXPECT_EQ(window->Panel1->width(), 172);
    EXPECT_EQ(window->ComTerminal1->geometry().right() + 1, window->Panel1->geometry().left());
    EXPECT_EQ(window->btnConnect->text(), "Connect COM");
    EXPECT_EQ(window->btnConnect->geometry(), QRect(8, 104, 75, 25));
    EXPECT_EQ(window->btnClose->geometry(), QRect(91, 501, 75, 25));
    EXPECT_EQ(window->CellNomber->text(), "CellNomber");
    EXPECT_EQ(window->ComTerminal1->Emulation(), CPortCtl::teNone);
    EXPECT_TRUE(window->ComTerminal1->WrapLines());
    EXPECT_EQ(window->ComPort1->BaudRate(), br38400);
    EXPECT_EQ(window->ComPort1->Timeouts()->ReadInterval(), 50);
    EXPECT_EQ(window->ComPort1->FlowControl()->ControlDTR(), dtrEnable);
    EXPECT_EQ(window->ComComboBox2->currentText(), "38400");
    EXPECT_TRUE(window->SessionLog.isEmpty());
    for (QWidget* w : CommandControls(*window))
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    for (QWidget* w : QList<QWidget*>{window->btnConnect, window->btnClose, window->chkLocalEcho,
                                      window->ComComboBox1, window->ComComboBox2})
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(window->ComPort1->Connected());

    Connect();
    for (QWidget* w : CommandControls(*window))
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();

    // The window keeps the panel's bottom buttons at the bottom edge.
    window->resize(900, 700);
    EXPECT_EQ(window->btnClose->geometry(), QRect(91, 632, 75, 25));
}

TEST_F(MainForm, CommandsSendExactlyTheirBytes) {
    Open(QDateTime(QDate(2026, 3, 2), QTime(9, 5, 3))); // a Monday
    Connect();
    window->btnRead->click();
    EXPECT_EQ(controller.ReadAvailable(), "R");
    window->btnGetTime->click();
    EXPECT_EQ(controller.ReadAvailable(), "O");
    window->btnSyncTime->click();
    EXPECT_EQ(controller.ReadAvailable(), "t0905031");
    window->BtnSyncDate->click();
    EXPECT_EQ(controller.ReadAvailable(), "d2603021");

    dialogs->Answers = {mrNo, mrYes};
    window->btnClear->click();
    EXPECT_EQ(controller.ReadAvailable(), "");
    window->btnClear->click();
    EXPECT_EQ(controller.ReadAvailable(), "C");
    EXPECT_EQ(dialogs->Asked, QStringList(2, "Are you sure you want to clear the controller's log?"));
    EXPECT_TRUE(dialogs->Reported.isEmpty());

    // The status line shows the speed the open port runs at.
    const int item = window->ComComboBox2->findText("19200");
    window->ComComboBox2->setCurrentIndex(item);
    emit window->ComComboBox2->activated(item);
    EXPECT_EQ(window->lblStatus->text(),
              "Open " + QString::fromStdString(controller.SlavePath()) + ", 19200");
}

TEST_F(MainForm, ReceivedBytesEndTheSessionLogAndAreSavedUnchanged) {
    OpenConnected();
    controller.Write("AB\r\n");
    ASSERT_TRUE(WaitUntil([&] { return window->SessionLog.endsWith("AB\r\n"); }));
    EXPECT_EQ(window->ComTerminal1->Buffer().RowText(1), "AB");

    QTemporaryDir dir;
    dialogs->SavePaths = {dir.filePath("first.txt")};
    window->btnSave->click();
    EXPECT_EQ(dialogs->ProposedNames, QStringList{"Terminal log 5.3.2026 10 5.txt"});
    EXPECT_EQ(FileBytes(dir.filePath("first.txt")), window->SessionLog);
    EXPECT_EQ(window->SessionLog, "AB\r\n") << "saving keeps the log";

    // Clear Log: No keeps it, Yes empties it; the screen keeps its text.
    dialogs->Answers = {mrNo, mrYes};
    window->BtnCLRLog->click();
    EXPECT_EQ(window->SessionLog, "AB\r\n");
    window->BtnCLRLog->click();
    EXPECT_TRUE(window->SessionLog.isEmpty());
    EXPECT_EQ(dialogs->Asked.last(), "Are you sure you want to clear LOG of Terminal?");
    dialogs->SavePaths = {dir.filePath("second.txt")};
    window->btnSave->click();
    EXPECT_EQ(QFileInfo(dir.filePath("second.txt")).size(), 0);
    EXPECT_EQ(window->ComTerminal1->Buffer().RowText(1), "AB");

    // A cancelled dialog writes nothing.
    dialogs->SavePaths = {QString()};
    window->btnSave->click();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

TEST_F(MainForm, SaveFailuresShowTheFileMessageAndKeepTheLogAndTheWindow) {
    OpenConnected();
    controller.Write("data");
    ASSERT_TRUE(WaitUntil([&] { return window->SessionLog == "data"; }));
    QTemporaryDir dir;
    dialogs->SavePaths = {dir.filePath("no-such-folder/log.txt"), "/dev/full", "/dev/full"};
    window->btnSave->click();
    window->btnSave->click();
    EXPECT_EQ(dialogs->Reported, (QStringList{"Invalid filename", "Disk full"}));
    EXPECT_EQ(window->SessionLog, "data");
    // A save that fails while closing keeps the window open; No then closes it.
    dialogs->Answers = {mrYes, mrNo};
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(dialogs->Reported.size(), 3);
    EXPECT_EQ(dialogs->Reported.last(), "Disk full");
    window->close();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainForm, CloseQuestionDecidesWhetherTheWindowCloses) {
    OpenConnected();
    // Cancel: the window and the port stay as they were.
    dialogs->Answers = {mrCancel};
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->ComPort1->Connected());
    EXPECT_EQ(dialogs->Asked, QStringList{"Save changes?"});

    // "Close" closes the port first; Cancel then leaves the window open with the port closed.
    dialogs->Answers = {mrCancel};
    window->btnClose->click();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->ComPort1->Connected());
    EXPECT_TRUE(window->btnRead->isEnabled());
    window->btnRead->click(); // reported, not raised
    EXPECT_EQ(dialogs->Reported.size(), 1);
    EXPECT_TRUE(dialogs->Reported.value(0).startsWith("WriteFile function failed"));

    // Yes, then Cancel in the save dialog: the window stays open with its log.
    window->SessionLog = "kept";
    dialogs->Answers = {mrYes};
    dialogs->SavePaths = {QString()};
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->SessionLog, "kept");

    // Yes with a file saves, then closes.
    QTemporaryDir dir;
    dialogs->Answers = {mrYes};
    dialogs->SavePaths = {dir.filePath("closing.txt")};
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("closing.txt")));
}

// A second close request while "Save changes?" is still open is refused, whether the window's close is
// called again or the window system's close box reaches the window (not the widget); otherwise the window
// goes with the question unanswered.
TEST_F(MainForm, ASecondCloseRequestWaitsForTheOpenQuestion) {
    for (const bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "close");
        Open();
        window->SessionLog = "unsaved";
        dialogs->Asked.clear();
        int requests = 0;
        bool refused = false;
        dialogs->OnAsk = [&] {
            if (requests++ > 0)
                return;
            if (closeBox) {
                QCloseEvent request;
                QCoreApplication::sendEvent(window->windowHandle(), &request);
                refused = !request.isAccepted();
            } else {
                window->close();
                refused = window->isVisible();
            }
        };
        dialogs->Answers = {mrCancel};
        if (closeBox)
            window->btnClose->click();
        else
            window->close();
        EXPECT_TRUE(refused);
        EXPECT_TRUE(window->isVisible());
        ASSERT_NE(window->windowHandle(), nullptr);
        EXPECT_NE(window->windowHandle()->handle(), nullptr) << "the window was destroyed";
        EXPECT_EQ(dialogs->Asked, QStringList{"Save changes?"});
        EXPECT_EQ(window->SessionLog, "unsaved");
        dialogs->OnAsk = nullptr;
    }
}

// The pane's context menu entries of the log, triggered as the menu would.
void Trigger(TMainFormF& window, const char* action) {
    QMenu menu;
    window.AddLogMenuEntries(&menu);
    QAction* a = menu.findChild<QAction*>(action);
    ASSERT_TRUE(a) << action;
    ASSERT_TRUE(a->isEnabled()) << action;
    a->trigger();
}

TEST_F(MainForm, LineTimesAndPortEventsAreSavedBesideTheUnchangedLog) {
    Open();
    window->SessionTimes.SetClock(
        [] { return QDateTime(QDate(2026, 3, 5), QTime(10, 5, 7, 42)).toMSecsSinceEpoch(); });
    Connect();
    controller.Write("A\r\nB\r\n");
    ASSERT_TRUE(WaitUntil([&] { return window->SessionLog.size() == 6; }));
    window->ComPort1->ClosePort();
    QTemporaryDir dir;
    dialogs->SavePaths = {dir.filePath("timed.txt"), dir.filePath("plain.txt")};
    Trigger(*window, "actSaveLogWithTimes");
    EXPECT_EQ(dialogs->ProposedNames, QStringList{"Terminal log 5.3.2026 10 5.txt"});
    const QString open = "[Open " + QString::fromStdString(controller.SlavePath()) + ", 38400]";
    EXPECT_EQ(FileBytes(dir.filePath("timed.txt")), "2026-03-05 10:05:07.042  " + open.toUtf8() +
                                                        "\n2026-03-05 10:05:07.042  A\n"
                                                        "2026-03-05 10:05:07.042  B\n"
                                                        "2026-03-05 10:05:07.042  [Closed]\n");
    window->btnSave->click();
    EXPECT_EQ(FileBytes(dir.filePath("plain.txt")), "A\r\nB\r\n");

    // Clear Log takes the times with it.
    dialogs->Answers = {mrYes};
    window->BtnCLRLog->click();
    EXPECT_EQ(window->SessionTimes.LineCount() + window->SessionTimes.EventCount(), 0);
    EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
}

TEST_F(MainForm, HexWindowShowsTheWholeLogAndFollowsIt) {
    OpenConnected();
    window->SessionLog.SetMemoryLimit(4);
    controller.Write("0123456789");
    ASSERT_TRUE(WaitUntil([&] { return window->SessionLog.size() == 10; }));
    Trigger(*window, "actShowLogAsHex");
    THexLogWindow* hex = window->HexLogWindow();
    ASSERT_TRUE(hex && hex->isVisible());
    EXPECT_EQ(hex->View()->RowText(0),
              "00000000  30 31 32 33 34 35 36 37  38 39" + QString(20, ' ') + "0123456789");
    controller.Write(QByteArray(40, 'x'));
    ASSERT_TRUE(WaitUntil([&] { return hex->View()->RowCount() == 4; }));
    EXPECT_EQ(window->SessionLog, "0123456789" + QByteArray(40, 'x'));
    Trigger(*window, "actShowLogAsHex");
    EXPECT_EQ(window->findChildren<THexLogWindow*>().size(), 1) << "one window, brought forward";

    // The part in the temporary file is saved and cleared with the rest.
    EXPECT_EQ(window->SessionLog.SpilledSize(), 46);
    QTemporaryDir dir;
    dialogs->SavePaths = {dir.filePath("long.txt")};
    window->btnSave->click();
    EXPECT_EQ(FileBytes(dir.filePath("long.txt")), "0123456789" + QByteArray(40, 'x'));
    dialogs->Answers = {mrYes};
    window->BtnCLRLog->click();
    EXPECT_TRUE(window->SessionLog.isEmpty());
    EXPECT_EQ(window->SessionLog.SpilledSize(), 0);
    EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
}

TEST_F(MainForm, EmulationIsChosenInTheMenuAndRemembered) {
    Open();
    EXPECT_EQ(window->ComTerminal1->Emulation(), CPortCtl::teNone);
    Trigger(*window, "actEmulationVT100");
    EXPECT_EQ(window->ComTerminal1->Emulation(), CPortCtl::teVT100orANSI);
    QMenu menu;
    window->AddLogMenuEntries(&menu);
    EXPECT_TRUE(menu.findChild<QAction*>("actEmulationVT100")->isChecked());
    EXPECT_FALSE(menu.findChild<QAction*>("actEmulationNone")->isChecked());

    Open(); // the next start
    EXPECT_EQ(window->ComTerminal1->Emulation(), CPortCtl::teVT100orANSI);
    Trigger(*window, "actEmulationVT52");
    Open();
    EXPECT_EQ(window->ComTerminal1->Emulation(), CPortCtl::teVT52);
    // A value edited by hand into nonsense keeps the layout's none.
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey("Software\\Varnholt\\Corvantel", true));
    reg.WriteString("Emulation", "teVT420");
    Open();
    EXPECT_EQ(window->ComTerminal1->Emulation(), CPortCtl::teNone);
}

// A composed character goes out as the character; a click on a panel button leaves the keyboard in the
// terminal; local echo reports typed characters to the session log too.
TEST_F(MainForm, KeyboardStaysWithTheTerminalAndItsCharactersReachTheLog) {
    OpenConnected();
    EXPECT_TRUE(window->ComTerminal1->testAttribute(Qt::WA_InputMethodEnabled));
    QInputMethodEvent composed;
    composed.setCommitString(QString::fromUtf8("\u00e9"));
    QApplication::sendEvent(window->ComTerminal1, &composed);
    EXPECT_EQ(controller.Read(1), "\xe9");

    window->ComTerminal1->setFocus();
    QTest::mouseClick(window->btnRead, Qt::LeftButton);
    EXPECT_EQ(controller.ReadAvailable(), "R");
    EXPECT_EQ(window->focusWidget(), window->ComTerminal1);
    QTest::mouseClick(window->chkLocalEcho, Qt::LeftButton);
    EXPECT_EQ(window->focusWidget(), window->ComTerminal1);
    for (QAbstractButton* b : window->Panel1->findChildren<QAbstractButton*>())
        EXPECT_EQ(b->focusPolicy(), Qt::TabFocus) << b->objectName().toStdString();

    EXPECT_TRUE(window->ComTerminal1->LocalEcho());
    window->ComTerminal1->SendChar('x');
    EXPECT_EQ(controller.Read(1), "x");
    EXPECT_EQ(window->SessionLog, "x");
}

TEST_F(MainForm, ClosingThePortTurnsItsActivityLampsOff) {
    OpenConnected();
    // Data keeps arriving: the receive lamp is lit, the queue never read empty.
    window->ComLed1->ComLink()->OnRxChange(window->ComPort1, true);
    ASSERT_EQ(window->ComLed1->State(), lsOn);
    TPtyPair other;
    window->ComPort1->SetPort(QString::fromStdString(other.SlavePath())); // the port selector switches
    EXPECT_TRUE(window->ComPort1->Connected());
    EXPECT_EQ(window->ComLed1->State(), lsOff);
    EXPECT_EQ(window->ComLed2->State(), lsOff);
    // Dark at once, not held lit as after a last report.
    EXPECT_FALSE(window->ComLed1->ShowsLit());
    EXPECT_FALSE(window->ComLed1->Holding());
}

TEST_F(MainForm, DefaultPlacementFitsTheScreenAndNoControlOverlapsAtTheLeastSize) {
    Open();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(area.contains(window->geometry())) << area.height() << " " << window->geometry().bottom();
    window->resize(500, 340);
    const QList<QWidget*> controls = window->Panel1->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* a : controls) {
        EXPECT_TRUE(window->Panel1->rect().contains(a->geometry())) << a->objectName().toStdString();
        // The lamps' boxes touch their captions in the layout; their glyphs do not.
        for (QWidget* b : controls)
            EXPECT_TRUE(a == b || qobject_cast<TComLed*>(a) || qobject_cast<TComLed*>(b) ||
                        !a->geometry().intersects(b->geometry()))
                << a->objectName().toStdString() << " covers " << b->objectName().toStdString();
    }
}

TEST_F(MainForm, LostDeviceDisablesTheCommandsShowsItAndReopensWhenItReturns) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyUSB0"));
    auto first = std::make_unique<TPtyPair>();
    PointLink(link, first->SlavePath());
    Open();
    EXPECT_EQ(window->lblStatus->text(), "Closed");
    window->ComPort1->SetPort(link);
    Connect();
    EXPECT_EQ(window->lblStatus->text(), "Open " + link + ", 38400");

    // The cable is pulled.
    first->CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !window->ComPort1->Connected(); }));
    for (QWidget* w : CommandControls(*window))
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(window->btnConnect->isEnabled());
    EXPECT_EQ(window->lblStatus->text(), "Lost " + link + " (device removed) at 10:05:07, waiting for it");
    EXPECT_TRUE(window->DeviceWatcher->Waiting());

    // It comes back under the same name: reopened without a click, and commands reach it.
    first.reset();
    TPtyPair second;
    PointLink(link, second.SlavePath());
    ASSERT_TRUE(WaitUntil([&] { return window->ComPort1->Connected(); }));
    EXPECT_EQ(window->ComPort1->Port(), link);
    EXPECT_EQ(window->lblStatus->text(), "Open " + link + ", 38400");
    EXPECT_FALSE(window->DeviceWatcher->Waiting());
    for (QWidget* w : CommandControls(*window))
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    window->btnRead->click();
    EXPECT_EQ(second.ReadAvailable(), "R");
    second.Write("ok");
    ASSERT_TRUE(WaitUntil([&] { return window->SessionLog.endsWith("ok"); }));

    // A deliberate close is no loss. A lamp that still holds its last activity goes dark at once.
    window->ComLed1->ComLink()->OnRxChange(window->ComPort1, true);
    window->ComLed1->ComLink()->OnRxChange(window->ComPort1, false);
    EXPECT_TRUE(window->ComLed1->ShowsLit());
    window->ComPort1->ClosePort();
    EXPECT_FALSE(window->ComLed1->ShowsLit());
    EXPECT_EQ(window->lblStatus->text(), "Closed");
    EXPECT_FALSE(window->DeviceWatcher->Waiting());

    // Lost again with data in the log: it can still be saved. Another port is chosen during the wait:
    // the old one is not taken back.
    Connect();
    second.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return window->DeviceWatcher->Waiting(); }));
    EXPECT_FALSE(window->btnRead->isEnabled());
    EXPECT_TRUE(window->btnSave->isEnabled());
    window->ComPort1->SetPort(QString::fromStdString(controller.SlavePath()));
    TPtyPair third;
    PointLink(link, third.SlavePath());
    ASSERT_TRUE(WaitUntil([&] { return !window->DeviceWatcher->Waiting(); }));
    EXPECT_FALSE(window->ComPort1->Connected());
    EXPECT_EQ(window->lblStatus->text(), "Closed");
    EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
}

// A key typed or a paste started just as the cable is pulled, when the device has noticed it but the
// window has not been told yet: it goes nowhere, as on a closed port, and the loss is all that is shown.
TEST_F(MainForm, KeysAndPastesMeetingAnUntoldLossAreDroppedWithoutAReport) {
    const std::pair<const char*, std::function<void(TComTerminal&)>> sends[] = {
        {"a typed key", [](TComTerminal& t) { QTest::keyClick(&t, Qt::Key_X); }},
        {"a paste", [](TComTerminal& t) { t.PasteText(QStringLiteral("two\nlines\n")); }},
    };
    for (const auto& [what, send] : sends) {
        SCOPED_TRACE(what);
        TPtyPair device;
        Open();
        window->ComPort1->SetPort(QString::fromStdString(device.SlavePath()));
        Connect();
        device.CloseMaster();
        // No event runs meanwhile: the device knows, the port has not acted on it.
        TSerialDevice* line = window->ComPort1->Device();
        uint32_t errors = 0;
        TComStat stat{};
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line->ClearCommError(&errors, &stat) == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
        ASSERT_TRUE(window->ComPort1->Connected());

        send(*window->ComTerminal1);
        ASSERT_TRUE(
            WaitUntil([&] { return window->DeviceWatcher->Waiting() && !window->ComTerminal1->Pasting(); }));
        EXPECT_TRUE(window->lblStatus->text().startsWith("Lost ")) << window->lblStatus->text().toStdString();
        EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
        window.reset();
    }
}

TEST_F(MainForm, ConnectWorksWhileWaitingAndAnAdapterIsFollowedToItsNewNode) {
    QTemporaryDir ids;
    ASSERT_TRUE(ids.isValid());
    const QString identity = ids.filePath(QStringLiteral("usb-Corvantel_Probe_0042-if00-port0"));
    auto first = std::make_unique<TPtyPair>();
    PointLink(identity, first->SlavePath());
    Open();
    window->DeviceWatcher->SetIdentityDir(ids.path());
    window->ComPort1->SetPort(QString::fromStdString(first->SlavePath()));
    Connect();
    first->CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !window->ComPort1->Connected(); }));

    // "Connect COM" during the wait tries at once and reports what it finds.
    window->btnConnect->click();
    EXPECT_FALSE(window->ComPort1->Connected());
    EXPECT_EQ(dialogs->Reported.size(), 1);
    EXPECT_TRUE(window->DeviceWatcher->Waiting());

    // The adapter returns as another node; its identity leads there.
    TPtyPair second;
    ASSERT_NE(second.SlavePath(), first->SlavePath());
    first.reset();
    PointLink(identity, second.SlavePath());
    ASSERT_TRUE(WaitUntil([&] { return window->ComPort1->Connected(); }));
    EXPECT_EQ(window->ComPort1->Port().toStdString(), second.SlavePath());
    window->btnGetTime->click();
    EXPECT_EQ(second.ReadAvailable(), "O");
}

TEST_F(MainForm, ATemporaryFileThatCannotBeWrittenLosesNoReceivedByte) {
    OpenConnected();
    window->SessionLog.SetMemoryLimit(0);
    window->SessionTimes.SetMemoryLimit(0);
    // A file stands where the temporary folder should be, while 128 KiB of lines arrive.
    QTemporaryDir dir;
    QFile notAFolder(dir.filePath("not-a-folder"));
    ASSERT_TRUE(notAFolder.open(QIODevice::WriteOnly));
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", notAFolder.fileName().toLocal8Bit());
    QByteArray sent;
    for (int piece = 0; piece < 32; ++piece) {
        QByteArray lines;
        for (int i = 0; lines.size() < 4000; ++i)
            lines += QByteArray::number(piece * 1000 + i) + "\r\n";
        sent += lines;
        controller.Write(lines);
        ASSERT_TRUE(WaitUntil([&] { return window->SessionLog.size() >= sent.size(); }))
            << window->SessionLog.size() << " of " << sent.size();
    }
    qputenv("TMPDIR", oldTmp);
    ASSERT_TRUE(WaitUntil([&] { return !dialogs->Reported.isEmpty(); }));
    EXPECT_EQ(dialogs->Reported.first(), "Invalid filename");
    EXPECT_TRUE(window->SessionLog == sent);
    EXPECT_EQ(window->SessionTimes.LineCount(), sent.count('\n'));
    dialogs->SavePaths = {dir.filePath("saved.txt")};
    window->btnSave->click();
    EXPECT_TRUE(FileBytes(dir.filePath("saved.txt")) == sent);
}

TEST(TerminalSettings, HistoryLinesFromTheStore) {
    TTempConfigHome home;
    const QString key = "Software\\Varnholt\\Corvantel";
    EXPECT_EQ(TerminalSettings::HistoryLines(key), 10000); // nothing stored
    struct Row {
        const char* stored;
        int lines;
    };
    const Row rows[] = {{"500", 500}, {" 42 ", 42},         {"0", 0}, {"-5", 10000}, {"abc", 10000},
                        {"", 10000},  {"99999999", 1000000}};
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey(key, true));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored);
        reg.WriteString("HistoryLines", row.stored);
        EXPECT_EQ(TerminalSettings::HistoryLines(key), row.lines);
    }
}

TEST_F(MainForm, TerminalMenuPasteProgressAndRememberedTimes) {
    {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey("Software\\Varnholt\\Corvantel", true));
        reg.WriteString("HistoryLines", "25");
    }
    Open();
    EXPECT_EQ(window->ComTerminal1->HistoryLines(), 25);
    EXPECT_FALSE(window->ComTerminal1->ShowTimes());
    auto action = [](QMenu& menu, const QString& caption) -> QAction* {
        for (QAction* a : menu.actions())
            if (a->text() == caption)
                return a;
        ADD_FAILURE() << "no menu entry " << caption.toStdString();
        return nullptr;
    };
    {
        std::unique_ptr<QMenu> menu(window->BuildTerminalMenu());
        QStringList captions;
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                captions << a->text();
        EXPECT_EQ(captions, (QStringList{"Copy", "Paste", "Select all", "Find...", "Show times",
                                         "Save log with times...", "Show log as hex...", "Emulation"}));
        EXPECT_FALSE(action(*menu, "Copy")->isEnabled()); // nothing selected
        action(*menu, "Show times")->trigger();
    }
    EXPECT_TRUE(window->ComTerminal1->ShowTimes());

    // Paste from the menu: typed lines, each ended as Enter ends it; the status line shows the port again.
    Connect();
    const QString status = window->lblStatus->text();
    QGuiApplication::clipboard()->setText("first\nsecond\n");
    {
        std::unique_ptr<QMenu> menu(window->BuildTerminalMenu());
        action(*menu, "Paste")->trigger();
    }
    EXPECT_EQ(controller.Read(13), "first\rsecond\r");
    EXPECT_EQ(window->lblStatus->text(), status);

    // A paste of more than 64 KiB asks; declined, nothing goes out. Agreed, its progress shows in the
    // status line until Esc stops it.
    dialogs->Answers = {mrNo, mrYes};
    window->ComTerminal1->PasteText(QString(70000, QLatin1Char('a')));
    EXPECT_EQ(dialogs->Asked.last(), "Paste 70000 bytes to the controller?");
    EXPECT_FALSE(window->ComTerminal1->Pasting());
    window->ComTerminal1->PasteText(QString(70000, QLatin1Char('a')));
    ASSERT_TRUE(window->ComTerminal1->Pasting());
    EXPECT_TRUE(window->lblStatus->text().startsWith("Pasting ")) << window->lblStatus->text().toStdString();
    EXPECT_TRUE(window->lblStatus->text().endsWith(" of 70000 bytes (Esc stops)"));
    window->ComTerminal1->StopPaste();
    EXPECT_EQ(window->lblStatus->text(), status);

    // Show times is remembered for the next window; the session log never sees the times.
    window.reset();
    Open();
    EXPECT_TRUE(window->ComTerminal1->ShowTimes());
    EXPECT_EQ(window->SessionLog.size(), 0);
}

// The remembered port and speed across two runs of the program: each phase runs in a process of its
// own, with one settings folder.
TEST(MainFormRuns, PortAndSpeedAreRememberedAcrossRuns) {
    TTempConfigHome home;
    TPtyPair device;
    auto run = [&](const char* phase) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CV_MAINFORM_PHASE_DEVICE", QString::fromStdString(device.SlavePath()));
        env.insert("CV_EXTRA_PORTS", QString::fromStdString(device.SlavePath()));
        env.insert("XDG_CONFIG_HOME", home.Path());
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(),
                {QString("--gtest_filter=MainFormPhase.%1").arg(phase), "--gtest_also_run_disabled_tests"});
        EXPECT_TRUE(p.waitForFinished(60000));
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
    };
    run("DISABLED_ChooseAndCloseWithNo");
    run("DISABLED_StartAgain");

    // The store holds the six text lines of the window's stream.
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey("Software\\Varnholt\\Corvantel\\TMainFormF", false));
    QStringList lines;
    for (int i = 0; i < 6; ++i)
        lines.append(reg.ReadString(QString("Line%1").arg(i, 10, 10, QChar('0'))));
    EXPECT_EQ(
        lines,
        (QStringList{"object MainFormF: TMainFormF", "  object ComPort1: TComPort", "    BaudRate = br57600",
                     "    Port = '" + QString::fromStdString(device.SlavePath()) + "'", "  end", "end"}));
}

TEST(MainFormPhase, DISABLED_ChooseAndCloseWithNo) {
    TDialogsInUse<TScriptedDialogs> dialogs;
    const QString device = qEnvironmentVariable("CV_MAINFORM_PHASE_DEVICE");
    TMainFormF window;
    window.show();
    EXPECT_EQ(window.ComPort1->Port(), "COM1") << "first start: the layout's port";
    // The user picks the listed device and 57600.
    const int portItem = window.ComComboBox1->findText(device);
    ASSERT_GE(portItem, 0);
    window.ComComboBox1->setCurrentIndex(portItem);
    emit window.ComComboBox1->activated(portItem);
    const int speedItem = window.ComComboBox2->findText("57600");
    window.ComComboBox2->setCurrentIndex(speedItem);
    emit window.ComComboBox2->activated(speedItem);
    EXPECT_EQ(window.ComPort1->Port(), device);
    EXPECT_EQ(window.ComPort1->BaudRate(), br57600);
    dialogs->Answers = {mrNo};
    window.close();
    EXPECT_FALSE(window.isVisible());
}

TEST(MainFormPhase, DISABLED_StartAgain) {
    TDialogsInUse<TScriptedDialogs> dialogs;
    const QString device = qEnvironmentVariable("CV_MAINFORM_PHASE_DEVICE");
    TMainFormF window;
    // Nothing is read before the window is shown: the layout's values stand until then.
    EXPECT_EQ(window.ComPort1->Port(), "COM1");
    window.show();
    // The storage restored the port before the window's show handler made the selectors follow it.
    EXPECT_EQ(window.ComPort1->Port(), device);
    EXPECT_EQ(window.ComPort1->BaudRate(), br57600);
    EXPECT_EQ(window.ComComboBox1->currentText(), device);
    EXPECT_EQ(window.ComComboBox2->currentText(), "57600");
    window.btnConnect->click();
    ASSERT_TRUE(window.ComPort1->Connected());
    EXPECT_EQ(ReadBack(device.toStdString()).OutSpeed, 57600u);
    dialogs->Answers = {mrNo};
    window.close();
}
