// The port on real pseudo-terminals: opening with its settings, transfers, failures and the open and
// close sequences with their notifications.
#include "serial/AsyncRequest.h"
#include "serial/ComPort.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"
#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The console's own line setup: 38400 8N1, no flow control, DTR held on, its read time-outs.
void ConsoleSetup(TComPort& port, const TPtyPair& pty) {
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetBaudRate(br38400);
    port.FlowControl()->SetControlDTR(dtrEnable);
    port.Timeouts()->SetReadInterval(50);
    port.Timeouts()->SetReadTotalMultiplier(50);
    port.Timeouts()->SetReadTotalConstant(10);
}

// A port set up as the console sets it, on a pseudo-terminal of its own.
class PortOnPty : public ::testing::Test {
protected:
    PortOnPty() { ConsoleSetup(port, pty); }
    TPtyPair pty;
    TComPort port;
};

} // namespace

TEST_F(PortOnPty, OpensWithItsLineSettingsAndCustomSpeed) {
    port.SetConnected(true);
    ASSERT_TRUE(port.Connected());
    EXPECT_NE(port.Handle(), -1);

    TDeviceSettings s = ReadBack(pty.SlavePath());
    EXPECT_EQ(s.OutSpeed, 38400u);
    EXPECT_EQ(s.Termios.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(s.Termios.c_cflag & PARENB);
    EXPECT_FALSE(s.Termios.c_cflag & CSTOPB);
    EXPECT_FALSE(s.Termios.c_cflag & CRTSCTS);
    EXPECT_FALSE(s.Termios.c_iflag & (IXON | IXOFF));
    EXPECT_FALSE(s.Termios.c_lflag & (ICANON | ECHO));

    // A speed no table value names goes through unchanged, while open.
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(12345);
    EXPECT_EQ(ReadBack(pty.SlavePath()).OutSpeed, 12345u);
    port.SetBaudRate(br57600);
    EXPECT_EQ(ReadBack(pty.SlavePath()).OutSpeed, 57600u);

    // A pty has no modem lines, but takes line control.
    port.SetDTRLine(true);
    port.SetRTSLine(true);
    port.SetDTRLine(false);
    EXPECT_EQ(port.ModemSignals(), TModemSignals());
    EXPECT_EQ(port.LineErrors(), TComErrors());

    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
}

TEST_F(PortOnPty, RefusedSettingFailsTheOpenAndClosesTheDeviceAgain) {
    port.SetDataBits(dbSeven); // a pseudo-terminal carries 8 bits only
    const auto [code, systemError] = FailureOf([&] { port.OpenPort(); });
    EXPECT_EQ(code, 7);
    EXPECT_NE(systemError, -1);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    // The refused value stays held; once it is changed the port opens (the device was released).
    EXPECT_EQ(port.DataBits(), dbSeven);
    port.SetDataBits(dbEight);
    port.OpenPort();
    EXPECT_TRUE(port.Connected());

    // Refused while open: the value stays held and the port stays open.
    EXPECT_EQ(CodeOf([&] { port.Parity()->SetBits(prEven); }), 7);
    EXPECT_EQ(port.Parity()->Bits(), prEven);
    EXPECT_TRUE(port.Connected());
}

TEST_F(PortOnPty, WritesReachTheFarEndAndFarEndBytesAreRead) {
    port.SetEvents({}); // no event thread: nothing else reads the queue
    TEventLog log;
    TComLink link;
    FillLink(link, "L", log);
    port.RegisterLink(&link);
    port.OpenPort();

    EXPECT_EQ(port.WriteText("R"), 1);
    EXPECT_EQ(pty.Read(1), QByteArray("R"));
    EXPECT_EQ(pty.ReadAvailable(std::chrono::milliseconds(20)), QByteArray()) << "no terminator";
    EXPECT_EQ(log.Lines,
              (QStringList{"L.Conn(1)", "L.CTS(0)", "L.DSR(0)", "L.RLSD(0)", "L.Tx(1)", "L.TxBuf(R)"}));

    // Empty text: no write and no notification.
    log.Lines.clear();
    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_TRUE(log.Lines.isEmpty());

    pty.Write("hello");
    ASSERT_TRUE(WaitUntil([&] { return port.InputQueueCount() == 5; }));
    char buffer[16] = {};
    EXPECT_EQ(port.ReadBytes(buffer, 3), 3);
    EXPECT_EQ(QByteArray(buffer, 3), "hel");
    EXPECT_TRUE(log.With("L.Rx").isEmpty()) << "bytes left waiting: no receive-off";
    EXPECT_EQ(port.ReadBytes(buffer, 16), 2);
    EXPECT_EQ(QByteArray(buffer, 2), "lo");
    EXPECT_EQ(log.With("L.Rx"), QStringList{"L.Rx(0)"});
    port.UnregisterLink(&link);
}

TEST_F(PortOnPty, AsyncOperationsCheckTheirRequest) {
    port.SetEvents({});
    port.OpenPort();
    PAsyncRequest none = nullptr;
    char byte = 'x';
    EXPECT_EQ(CodeOf([&] { port.WriteBytesAsync(&byte, 1, none); }), 4);
    EXPECT_EQ(CodeOf([&] { port.ReadBytesAsync(&byte, 1, none); }), 4);
    EXPECT_EQ(CodeOf([&] { port.WaitForCompletion(none); }), 4);
    EXPECT_EQ(pty.ReadAvailable(std::chrono::milliseconds(20)), QByteArray()) << "nothing written";

    // A request with nothing started completes at once with 0; a zero-length write keeps no copy.
    PAsyncRequest request = nullptr;
    NewAsyncRequest(request);
    EXPECT_EQ(port.WaitForCompletion(request), 0);
    port.WriteBytesAsync(&byte, 0, request);
    EXPECT_EQ(request->Data, nullptr);
    EXPECT_EQ(port.WaitForCompletion(request), 0);
    // An overlapped write, then its wait.
    port.WriteTextAsync("abc", request);
    EXPECT_EQ(request->Kind, akWrite);
    EXPECT_EQ(request->DataSize, 3);
    EXPECT_EQ(port.WaitForCompletion(request), 3);
    EXPECT_EQ(pty.Read(3), QByteArray("abc"));
    FreeAsyncRequest(request);
    EXPECT_EQ(request, nullptr);
}

TEST_F(PortOnPty, ClosedPortFailsEveryDeviceOperation) {
    char buffer[4];
    EXPECT_EQ(CodeOf([&] { port.WriteText("R"); }), 2);
    EXPECT_EQ(CodeOf([&] { port.ReadBytes(buffer, 4); }), 3);
    EXPECT_EQ(CodeOf([&] { port.InputQueueCount(); }), 10);
    EXPECT_EQ(CodeOf([&] { port.LineErrors(); }), 10);
    EXPECT_EQ(CodeOf([&] { port.ModemSignals(); }), 11);
    EXPECT_EQ(CodeOf([&] { port.SetDTRLine(true); }), 12);
    EXPECT_EQ(CodeOf([&] { port.SetRTSLine(false); }), 12);
    EXPECT_EQ(CodeOf([&] { port.AbortTransfers(); }), 5);
    // Closing a closed port does nothing.
    port.SetConnected(false);
    port.ClosePort();
}

TEST_F(PortOnPty, MissingOrBusyDeviceIsRefusedWithCodeOne) {
    TEventLog log;
    HookPort(port, log);
    port.SetPort(QDir::tempPath() + "/no-such-serial-device");
    EXPECT_EQ(MessageOf([&] { port.SetConnected(true); }), "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(log.Lines, QStringList{"OnBeforeOpen"});

    TComPort first, second;
    first.SetPort(QString::fromStdString(pty.SlavePath()));
    second.SetPort(QString::fromStdString(pty.SlavePath()));
    first.OpenPort();
    EXPECT_EQ(CodeOf([&] { second.OpenPort(); }), 1);
    EXPECT_FALSE(second.Connected());
    first.ClosePort();
    second.OpenPort(); // free again once the first has closed
    EXPECT_TRUE(second.Connected());
}

TEST_F(PortOnPty, OpenAndCloseSequencesNotifyInOrder) {
    TEventLog log;
    HookPort(port, log);
    TComLink a, b;
    FillLink(a, "a", log);
    FillLink(b, "b", log, false);
    port.RegisterLink(&a);
    port.RegisterLink(&b);

    port.SetConnected(true);
    port.SetConnected(true); // once
    EXPECT_TRUE(port.ThreadCreated());
    EXPECT_EQ(log.Lines, (QStringList{"OnBeforeOpen", "a.Conn(1)", "b.Conn(1)", "OnAfterOpen", "a.CTS(0)",
                                      "b.CTS(0)", "OnCTSChange(0)", "a.DSR(0)", "b.DSR(0)", "OnDSRChange(0)",
                                      "a.RLSD(0)", "b.RLSD(0)", "OnRLSDChange(0)"}));
    log.Lines.clear();
    port.SetConnected(false);
    EXPECT_EQ(log.Lines, (QStringList{"a.CTS(0)", "b.CTS(0)", "a.DSR(0)", "b.DSR(0)", "a.RLSD(0)",
                                      "b.RLSD(0)", "OnCTSChange(0)", "OnDSRChange(0)", "OnRLSDChange(0)",
                                      "OnBeforeClose", "a.Conn(0)", "b.Conn(0)", "OnAfterClose"}));
    EXPECT_FALSE(port.ThreadCreated());
    port.UnregisterLink(&a);
    port.UnregisterLink(&b);
}

TEST_F(PortOnPty, ChangingThePortWhileOpenReopensOnTheNewDevice) {
    TPtyPair second;
    TEventLog log;
    port.OnBeforeOpen = [&](TCustomComPort*) { log.Add("BeforeOpen"); };
    port.OnAfterOpen = [&](TCustomComPort*) { log.Add("AfterOpen"); };
    port.OnBeforeClose = [&](TCustomComPort*) { log.Add("BeforeClose"); };
    port.OnAfterClose = [&](TCustomComPort*) { log.Add("AfterClose"); };
    port.OpenPort();
    log.Lines.clear();

    port.SetPort(port.Port()); // the same name: nothing
    EXPECT_TRUE(log.Lines.isEmpty());
    port.SetPort(QString::fromStdString(second.SlavePath()));
    EXPECT_EQ(log.Lines, (QStringList{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    EXPECT_TRUE(port.Connected());
    port.WriteText("x");
    EXPECT_EQ(second.Read(1), QByteArray("x"));
    EXPECT_EQ(ReadBack(second.SlavePath()).OutSpeed, 38400u);

    // To a device that cannot be opened: the old one is closed, the name held, code 1 raised.
    EXPECT_EQ(CodeOf([&] { port.SetPort(QDir::tempPath() + "/gone-device"); }), 1);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), QDir::tempPath() + "/gone-device");

    // While closed the name is only held.
    log.Lines.clear();
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    EXPECT_TRUE(log.Lines.isEmpty());
    EXPECT_FALSE(port.Connected());
}

TEST_F(PortOnPty, SyncMethodCannotChangeWhileOpenAndEmptyEventsStartNoThread) {
    port.SetEvents({});
    port.OpenPort();
    EXPECT_FALSE(port.ThreadCreated());
    port.SetSyncMethod(smThreadSync); // its present value: fine
    EXPECT_EQ(CodeOf([&] { port.SetSyncMethod(smNone); }), 14);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.ClosePort();
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST_F(PortOnPty, LayoutLeftConnectedOpensWhenLoadedAndReportsFailure) {
    TReports reports;
    {
        TComPort port;
        port.BeginLoading();
        ConsoleSetup(port, pty);
        port.SetConnected(true); // only held while loading
        EXPECT_EQ(port.Handle(), -1);
        port.Loaded();
        EXPECT_TRUE(port.Connected());
        EXPECT_NE(port.Handle(), -1);
    }
    {
        TComPort port;
        port.BeginLoading();
        port.SetPort(QDir::tempPath() + "/missing-at-load");
        port.SetConnected(true);
        port.Loaded(); // does not raise
        EXPECT_FALSE(port.Connected());
    }
    EXPECT_EQ(reports.Lines, QStringList{"Unable to open com port (win error code: 2)"});
}

TEST_F(PortOnPty, AbortEndsAPendingWriteWithCodeTwo) {
    // Nobody reads the far end: the pty fills up.
    port.SetEvents({});
    port.Timeouts()->SetWriteTotalMultiplier(0);
    port.Timeouts()->SetWriteTotalConstant(0); // no write time-out: the write stays pending
    port.OpenPort();
    const QByteArray big(1 << 20, 'x');
    PAsyncRequest request = nullptr;
    NewAsyncRequest(request);
    port.WriteBytesAsync(big.constData(), int(big.size()), request);
    EXPECT_FALSE(request->Event.IsSet()) << "a megabyte does not fit into a pty";
    port.AbortTransfers();
    EXPECT_EQ(CodeOf([&] { port.WaitForCompletion(request); }), 2);
    FreeAsyncRequest(request);
}

TEST_F(PortOnPty, DestroyingAnOpenPortClosesWithNotifications) {
    TEventLog log;
    auto* closing = new TComPort;
    ConsoleSetup(*closing, pty);
    closing->OnBeforeClose = [&](TCustomComPort* p) {
        log.Add("BeforeClose");
        EXPECT_NE(p->Parity(), nullptr) << "settings still there";
    };
    closing->OnAfterClose = [&](TCustomComPort*) { log.Add("AfterClose"); };
    closing->OpenPort();
    delete closing;
    EXPECT_EQ(log.Lines, (QStringList{"BeforeClose", "AfterClose"}));
    port.OpenPort(); // the device is free again
    EXPECT_TRUE(port.Connected());
}

TEST_F(PortOnPty, LinkRegistrationTwiceOrUnknownIsRefused) {
    TComLink link, rx;
    port.RegisterLink(&link);
    EXPECT_FALSE(port.HasRxBufLink());
    EXPECT_EQ(CodeOf([&] { port.RegisterLink(&link); }), 18);
    port.UnregisterLink(&link);
    EXPECT_EQ(CodeOf([&] { port.UnregisterLink(&link); }), 18) << "exactly one entry was there";
    rx.OnRxBuf = [](TCustomComPort*, const void*, int) {};
    port.RegisterLink(&rx);
    EXPECT_TRUE(port.HasRxBufLink());
    port.UnregisterLink(&rx);
    EXPECT_FALSE(port.HasRxBufLink());
}
