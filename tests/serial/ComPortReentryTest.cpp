// Calls into the port from its own line-event handlers (destroying it, changing its device, closing and
// opening it), messages that are not one event, handler failures, and the hardware handshake set on an
// open port.
#include "runtime/Exception.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"
#include "serial/ComThread.h"
#include "serial/platform/VirtualSerialDevice.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"
#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class PortDestroyedByHandler : public ::testing::TestWithParam<TSyncMethod> {};

TEST_P(PortDestroyedByHandler, ClosesWithNotificationsAndFinishesOnceTheHandlerReturned) {
    TWatchdog watchdog(std::chrono::seconds(60));
    TPtyPair pty;
    TEventLog log;
    TComLink link;
    FillLink(link, "L", log, false);
    const int threadsBefore = ThreadCount();
    auto* port = new TComPort;
    port->SetSyncMethod(GetParam());
    port->SetPort(QString::fromStdString(pty.SlavePath()));
    port->RegisterLink(&link);
    port->OnAfterClose = [&](TCustomComPort*) { log.Add("OnAfterClose"); };
    bool deleted = false;
    port->OnRxChar = [&](TCustomComPort* sender, int) {
        sender->UnregisterLink(&link);
        sender->RegisterLink(&link);
        // The handler itself lives in the port: nothing of it is touched after the delete.
        deleted = true;
        delete sender;
    };
    port->OpenPort();
    log.Lines.clear();
    pty.Write("x");
    ASSERT_TRUE(WaitUntil([&] { return deleted; }));
    EXPECT_TRUE(log.Contains("L.Conn(0)"));
    EXPECT_TRUE(log.Contains("OnAfterClose"));
    // The event thread and the device are finished off once the handler has returned.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
    pty.Write("more"); // nobody listens any more
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, PortDestroyedByHandler, ::testing::Values(smThreadSync, smWindowSync));

TEST(PortReentry, NewPortNameFromAHandlerReopensOnTheNewDevice) {
    TWatchdog watchdog(std::chrono::seconds(60));
    TPtyPair first, second;
    TEventLog log; // outlives the port, whose destruction still reports
    TComPort port;
    port.SetPort(QString::fromStdString(first.SlavePath()));
    port.OnAfterOpen = [&](TCustomComPort*) { log.Add("AfterOpen"); };
    port.OnAfterClose = [&](TCustomComPort*) { log.Add("AfterClose"); };
    port.OnRxChar = [&](TCustomComPort* p, int) {
        p->SetPort(QString::fromStdString(second.SlavePath()));
        log.Add(p->Connected() ? "asked, still open" : "asked, closed");
    };
    port.OpenPort();
    log.Lines.clear();
    first.Write("go");
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("AfterOpen"); }));
    EXPECT_EQ(log.Lines, (QStringList{"asked, still open", "AfterClose", "AfterOpen"}));
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.WriteText("new"), 3);
    EXPECT_EQ(second.Read(3), QByteArray("new"));
}

TEST(PortReentry, DisconnectThenConnectFromAHandlerLeavesThePortOpen) {
    TWatchdog watchdog(std::chrono::seconds(60));
    TPtyPair pty;
    TEventLog log;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.OnAfterOpen = [&](TCustomComPort*) { log.Add("AfterOpen"); };
    port.OnAfterClose = [&](TCustomComPort*) { log.Add("AfterClose"); };
    int calls = 0;
    port.OnRxChar = [&](TCustomComPort* p, int) {
        if (++calls > 1)
            return;
        p->SetConnected(false);
        p->SetConnected(true);
    };
    port.OpenPort();
    log.Lines.clear();
    pty.Write("a");
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("AfterOpen"); }));
    EXPECT_EQ(log.Lines, (QStringList{"AfterClose", "AfterOpen"}));
    EXPECT_TRUE(port.Connected());

    // Only the last wish counts: connect then disconnect from a handler closes.
    port.OnRxChar = [&](TCustomComPort* p, int) {
        p->SetConnected(false);
        p->SetConnected(true);
        p->SetConnected(false);
    };
    pty.Write("b");
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    EXPECT_EQ(log.Lines.last(), "AfterClose");
}

TEST(PortReentry, OnlyExactEventMessagesAreHandled) {
    auto pair = TVirtualSerialPair::Create("VREENTRY");
    ASSERT_NE(pair, nullptr);
    TEventLog log;
    TComPort port;
    port.SetPort(QString::fromStdString(pair->EndName(TVirtualSerialPair::kEndA)));
    port.SetEvents({}); // no thread: the test sends the messages
    HookPort(port, log);
    port.OpenPort();
    log.Lines.clear();
    pair->InjectLineErrors(TVirtualSerialPair::kEndA, kCeFrame);
    for (uint32_t wParam : {0x81u, 0x180u, 0x200u, 0x800u, 0u, 0xFFFFFFFFu})
        port.HandleEventMessage(wParam);
    EXPECT_TRUE(log.Lines.isEmpty()) << log.Lines.join(", ").toStdString();
    port.HandleEventMessage(0x80);
    EXPECT_EQ(log.Lines, QStringList{"OnError(1)"});
}

class HandlerFailure : public ::testing::TestWithParam<TSyncMethod> {};

TEST_P(HandlerFailure, IsReportedAfterTheEventThreadWasReleased) {
    TWatchdog watchdog(std::chrono::seconds(60));
    TPtyPair pty;
    TComPort port;
    port.SetSyncMethod(GetParam());
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.OnRxChar = [](TCustomComPort*, int) { throw EComPort(CError_ReadFailed, 5); };
    QStringList reported;
    bool threadFreeDuringReport = false;
    auto previous = SetExceptionReporter([&](const QString& m) {
        reported.append(m);
        // A modal report must not hold the event thread: it ends while the report is still up.
        threadFreeDuringReport = WaitPlain([&] { return port.EventThread()->Finished(); });
    });
    port.OpenPort();
    pty.Write("a");
    EXPECT_TRUE(WaitUntil([&] { return !reported.isEmpty(); }));
    SetExceptionReporter(previous);
    EXPECT_EQ(reported, QStringList{"ReadFile function failed (win error code: 5)"});
    EXPECT_TRUE(threadFreeDuringReport);
    port.ClosePort();
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, HandlerFailure, ::testing::Values(smThreadSync, smNone));

TEST(PortFlowControl, StoredHardwareHandshakeLoadsIntoAnOpenPort) {
    TTempConfigHome home;
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey("Software\\Test\\Flow", true));
    TPtyPair pty;
    const QString path = QString::fromStdString(pty.SlavePath());
    TComPort stored;
    stored.SetStoredGroups(sgBasic | sgFlowControl);
    stored.SetPort(path);
    stored.FlowControl()->SetFlowControl(fcHardware);
    stored.SaveToRegistry(reg);

    TComPort port;
    port.SetStoredGroups(sgBasic | sgFlowControl);
    port.SetPort(path);
    port.OpenPort();
    EXPECT_NO_THROW(port.LoadFromRegistry(reg));
    EXPECT_EQ(port.FlowControl()->FlowControl(), fcHardware);
    EXPECT_TRUE((ReadBack(pty.SlavePath()).Termios.c_cflag & CRTSCTS));

    // One half alone cannot be had on Linux; both halves in one update can.
    EXPECT_EQ(CodeOf([&] { port.FlowControl()->SetOutCTSFlow(false); }), 7);
    port.FlowControl()->SetOutCTSFlow(true);
    port.BeginUpdate();
    port.FlowControl()->SetOutCTSFlow(false);
    port.FlowControl()->SetControlRTS(rtsEnable);
    port.EndUpdate();
    EXPECT_FALSE((ReadBack(pty.SlavePath()).Termios.c_cflag & CRTSCTS));
    port.BeginUpdate();
    port.FlowControl()->SetControlRTS(rtsHandshake);
    port.FlowControl()->SetOutCTSFlow(true);
    port.EndUpdate();
    EXPECT_TRUE((ReadBack(pty.SlavePath()).Termios.c_cflag & CRTSCTS));

    // What Linux has no equivalent for keeps failing, also inside an update.
    EXPECT_EQ(CodeOf([&] { port.FlowControl()->SetControlDTR(dtrHandshake); }), 7);
    port.FlowControl()->SetControlDTR(dtrDisable);
    EXPECT_EQ(CodeOf([&] { port.FlowControl()->SetOutDSRFlow(true); }), 7);
    port.FlowControl()->SetOutDSRFlow(false);
    port.BeginUpdate();
    port.FlowControl()->SetOutDSRFlow(true);
    EXPECT_EQ(CodeOf([&] { port.EndUpdate(); }), 7);
}
