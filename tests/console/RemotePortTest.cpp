// The console on a port of a network device server: a real ser2net in front of a pty that plays the
// controller; the remote port is named in the settings store, chosen in the selector and remembered.
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "controls/ComComboBox.h"
#include "controls/ComTerminal.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "serial/RemotePorts.h"
#include "serial/platform/NetworkSerialDevice.h"
#include "support/TestSupport.h"

#include "serial/ScriptedComPortServer.h"
#include "serial/Ser2NetSupport.h"

#include "NoDialogs.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace {

void WriteRemotePorts(const QString& value) {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey("Software\\Varnholt\\Corvantel", true));
    reg.WriteString(kRemotePortsValue, value);
}

// A controller on a pty behind a real ser2net, in a settings store of the test's own.
class RemoteConsole : public testing::Test {
protected:
    void SetUp() override {
        if (TSer2Net::Binary().isEmpty())
            GTEST_SKIP() << "ser2net is not installed (scripts/setup-debian.sh installs it)";
        ASSERT_TRUE(server.Start()) << server.Error;
        remote = QString::fromStdString(server.Rfc2217Name());
    }

    TTempConfigHome home;
    TPtyPair controller;
    TSer2Net server{controller.SlavePath()};
    QString remote;
    TDialogsInUse<> dialogs;
};

} // namespace

TEST(RemotePortSelector, ListsStoredRemotePortsAndASetOne) {
    TTempConfigHome home;
    WriteRemotePorts(
        "rfc2217://[::1]:2001; bogus tcp://plc-7.example:4001\nrfc2217://[::1]:2001 /dev/ttyUSB9");
    TDialogsInUse dialogs;
    TMainFormF window;
    QStringList items;
    for (int i = 0; i < window.ComComboBox1->count(); ++i)
        items.append(window.ComComboBox1->itemText(i));
    // After the machine's own ports, in the store's order, once each; what is no network name is not
    // taken from that value.
    ASSERT_GE(items.size(), 2);
    EXPECT_EQ(items.mid(items.size() - 2), (QStringList{"rfc2217://[::1]:2001", "tcp://plc-7.example:4001"}));
    // A remote port set by the program (as the command line does) is shown although not stored.
    window.ComPort1->SetPort("tcp://10.1.2.3:23");
    window.ComComboBox1->RefreshFromPort();
    EXPECT_EQ(window.ComComboBox1->currentText(), "tcp://10.1.2.3:23");
}

TEST_F(RemoteConsole, ConnectsToAChosenRemotePortAndRemembersIt) {
    WriteRemotePorts(remote);
    {
        TMainFormF window;
        window.show();
        const int item = window.ComComboBox1->findText(remote);
        ASSERT_GE(item, 0);
        window.ComComboBox1->setCurrentIndex(item);
        emit window.ComComboBox1->activated(item);
        EXPECT_EQ(window.ComPort1->Port(), remote);
        window.btnConnect->click();
        ASSERT_TRUE(window.ComPort1->Connected()) << dialogs->Reported.join("; ").toStdString();
        window.btnRead->click();
        EXPECT_EQ(controller.Read(1), QByteArray("R"));
        controller.Write("LOG OK\r\n");
        EXPECT_TRUE(WaitUntil([&] { return window.SessionLog.contains("LOG OK"); }));
        window.close();
        EXPECT_FALSE(window.isVisible());
    }
    EXPECT_TRUE(WaitUntil([&] { return !server.HoldsDevice(); }));
    {
        // The next start shows and opens the remembered remote port.
        TMainFormF window;
        window.show();
        EXPECT_EQ(window.ComPort1->Port(), remote);
        EXPECT_EQ(window.ComComboBox1->currentText(), remote);
        window.btnConnect->click();
        ASSERT_TRUE(window.ComPort1->Connected()) << dialogs->Reported.join("; ").toStdString();
        window.btnGetTime->click();
        EXPECT_EQ(controller.Read(1), QByteArray("O"));
        window.close();
    }
    EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
}

TEST_F(RemoteConsole, WaitsForALostServerAndReconnects) {
    {
        TMainFormF window;
        window.show();
        window.ComPort1->SetPort(remote);
        window.btnConnect->click();
        ASSERT_TRUE(window.ComPort1->Connected()) << dialogs->Reported.join("; ").toStdString();

        // The server goes away: the port closes itself, the commands disable and the status says so.
        server.Stop();
        ASSERT_TRUE(WaitUntil([&] { return !window.ComPort1->Connected(); }));
        EXPECT_FALSE(window.btnRead->isEnabled());
        EXPECT_TRUE(window.lblStatus->text().startsWith("Lost " + remote))
            << window.lblStatus->text().toStdString();

        // Back under the same address: the console connects again by itself.
        ASSERT_TRUE(server.Start()) << server.Error;
        ASSERT_TRUE(WaitUntil([&] { return window.ComPort1->Connected(); }, std::chrono::seconds(30)));
        EXPECT_TRUE(window.btnRead->isEnabled());
        EXPECT_TRUE(window.lblStatus->text().startsWith("Open " + remote))
            << window.lblStatus->text().toStdString();
        window.btnRead->click();
        EXPECT_EQ(controller.Read(1), QByteArray("R"));
        window.close();
    }
    EXPECT_TRUE(dialogs->Reported.isEmpty()) << dialogs->Reported.join("; ").toStdString();
}

// While a server keeps the port waiting, the window goes on turning its event loop and says whom it
// waits for; after a failed attempt the status line returns.
TEST(RemotePortWait, StatusLineShowsTheConnectionUnderWay) {
    TTempConfigHome home;
    const TNetworkLimits saved = TNetworkSerialDevice::Limits();
    TNetworkLimits limits = saved;
    limits.ConnectMs = 400;
    TNetworkSerialDevice::SetLimits(limits);
    TServerScript script;
    script.Silent = true;
    TScriptedComPortServer silent(script);
    TDialogsInUse dialogs;
    {
        TMainFormF window;
        window.show();
        window.ComPort1->SetPort(QString::fromStdString(silent.Name));
        const QString before = window.lblStatus->text();
        QStringList seen;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] { seen.append(window.lblStatus->text()); });
        look.start(20);
        window.btnConnect->click();
        look.stop();
        EXPECT_FALSE(window.ComPort1->Connected());
        EXPECT_TRUE(seen.contains("Connecting to 127.0.0.1:" + QString::number(silent.Port) + "..."))
            << seen.join(" | ").toStdString();
        EXPECT_EQ(window.lblStatus->text(), before);
        window.close();
    }
    TNetworkSerialDevice::SetLimits(saved);
}
