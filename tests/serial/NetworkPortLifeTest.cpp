// A network port's waits turn the event loop: timers and posted calls run meanwhile and may close or
// destroy the very port that waits.

#include "ScriptedComPortServer.h"
#include "serial/ComError.h"
#include "serial/ComPort.h"
#include "serial/platform/NetworkSerialDevice.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace {

class NetworkPortLife : public ::testing::Test {
protected:
    TShortNetworkLimits m_limits{400, 400, 400};
};

bool TurnUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

enum class EWait { Connect, OpenExchange, SettingsExchange, ClosePurge };

// A server for the wait: it leaves that wait unanswered until its limit.
TServerScript ScriptFor(EWait wait) {
    TServerScript script;
    script.Silent = wait == EWait::Connect;
    script.AnswerPurge = wait != EWait::ClosePurge;
    if (wait == EWait::OpenExchange)
        script.AnswerLimit = 7; // the masks and the first reading of the settings, not the new baud rate
    return script;
}

// Opens the port where the wait comes later, then runs the call that waits.
void RunWaitingCall(TComPort* port, TScriptedComPortServer& server, EWait wait,
                    const std::function<void()>& arm) {
    if (wait == EWait::OpenExchange)
        port->SetBaudRate(br38400);
    if (wait == EWait::SettingsExchange || wait == EWait::ClosePurge) {
        port->OpenPort();
        ASSERT_TRUE(port->Connected());
    }
    if (wait == EWait::SettingsExchange)
        server.Script.AnswerLimit = 0;
    arm();
    try {
        if (wait == EWait::Connect || wait == EWait::OpenExchange)
            port->OpenPort();
        else if (wait == EWait::SettingsExchange)
            port->SetBaudRate(br57600);
        else
            port->ClosePort();
    } catch (const EComPort&) {
        // the wait ran out: a failure of the call, which is not the point here
    }
}

const EWait kWaits[] = {EWait::Connect, EWait::OpenExchange, EWait::SettingsExchange, EWait::ClosePurge};

} // namespace

// A timer destroys the port while its call waits for the server: the call returns without touching the
// port or the device in use, and the close is told once.
TEST_F(NetworkPortLife, DestroyedWhileACallWaits) {
    for (const EWait wait : kWaits) {
        SCOPED_TRACE(int(wait));
        TScriptedComPortServer server(ScriptFor(wait));
        auto* port = new TComPort;
        port->SetPort(QString::fromStdString(server.Name));
        int beforeClose = 0, afterClose = 0;
        port->OnBeforeClose = [&](QObject*) { ++beforeClose; };
        port->OnAfterClose = [&](QObject*) { ++afterClose; };
        RunWaitingCall(port, server, wait, [&] {
            QTimer::singleShot(100, [&] {
                delete port;
                port = nullptr;
            });
        });
        EXPECT_EQ(port, nullptr) << "the call did not wait";
        delete port;
        TurnUntil([] { return true; });
        if (wait == EWait::Connect) {
            EXPECT_EQ(afterClose, 0);
        } else {
            EXPECT_EQ(beforeClose, 1);
            EXPECT_EQ(afterClose, 1);
        }
    }
}

// A close asked for while a settings exchange waits runs once the exchange is over; a new port name given
// there reopens the port on it.
TEST_F(NetworkPortLife, CloseAskedWhileAnExchangeWaitsRunsAfterIt) {
    for (const bool newName : {false, true}) {
        SCOPED_TRACE(newName);
        TScriptedComPortServer server, other;
        TComPort port;
        port.SetPort(QString::fromStdString(server.Name));
        port.SetEvents({});
        port.OpenPort();
        ASSERT_TRUE(port.Connected());
        server.Script.AnswerLimit = 0;
        int afterClose = 0, afterOpen = 0;
        port.OnAfterClose = [&](QObject*) { ++afterClose; };
        port.OnAfterOpen = [&](QObject*) { ++afterOpen; };
        QTimer::singleShot(50, [&] {
            if (newName)
                port.SetPort(QString::fromStdString(other.Name));
            else
                port.ClosePort();
        });
        EXPECT_THROW(port.SetBaudRate(br57600), EComPort);
        EXPECT_TRUE(TurnUntil([&] { return afterClose == 1 && port.Connected() == newName; }));
        EXPECT_EQ(afterOpen, newName ? 1 : 0);
        EXPECT_EQ(other.Connections(), newName ? 1 : 0);
    }
}

// A new name given while the open connects is the one opened.
TEST_F(NetworkPortLife, RenamedWhileConnectingOpensTheNewName) {
    TScriptedComPortServer server, other;
    TComPort port;
    port.SetPort(QString::fromStdString(server.Name));
    QTimer::singleShot(0, [&] { port.SetPort(QString::fromStdString(other.Name)); });
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(TurnUntil([&] { return other.Connections() == 1 && server.ClientGone(); }));
}
