// The device going away under an open port: a pty whose far end closes, a replugged adapter that comes
// back under the old name through a symlink, and the null-modem's pulled cable.
#include "serial/ComPort.h"
#include "serial/platform/VirtualSerialDevice.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <unistd.h>

namespace {

const QStringList kLossClose = {"a.CTS(0)",       "a.DSR(0)",        "a.RLSD(0)",     "OnCTSChange(0)",
                                "OnDSRChange(0)", "OnRLSDChange(0)", "OnBeforeClose", "a.Conn(0)",
                                "OnAfterClose",   "OnDeviceLost"};

} // namespace

TEST(PortLoss, ClosedFarEndClosesThePortOnceAndAReplugReopensThroughTheLink) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ttyUSB0"));
    auto first = std::make_unique<TPtyPair>();
    PointLink(path, first->SlavePath());

    TEventLog log; // outlives the port
    int lostError = 0, lostCount = 0;
    TComPort port;
    port.SetPort(path);
    port.SetBaudRate(br38400);
    HookPort(port, log);
    port.OnDeviceLost = [&](TCustomComPort* sender, int error) {
        EXPECT_EQ(sender, &port);
        EXPECT_FALSE(sender->Connected()) << "closed before the loss is told";
        lostError = error;
        ++lostCount;
        log.Add("OnDeviceLost");
    };
    TComLink a;
    FillLink(a, "a", log);
    port.RegisterLink(&a);

    const int threadsBefore = ThreadCount();
    port.OpenPort();
    ASSERT_TRUE(port.Connected());
    log.Lines.clear();

    // Nothing pending: the loss is noticed by the device's own thread and the port closes by itself.
    first->CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return lostCount > 0; }));
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadCreated());
    EXPECT_EQ(port.EventThread(), nullptr);
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_NE(lostError, 0);
    EXPECT_EQ(log.Lines, kLossClose);
    EXPECT_TRUE(log.AllInMainThread);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; })) << "no thread left running";

    // Commands now fail as on a closed port, and "connect" is free to open again.
    EXPECT_THROW(port.WriteText("x"), EComPort);
    port.ClosePort(); // nothing left to close
    EXPECT_EQ(log.Lines, kLossClose);

    // The adapter comes back: a new device under the old name.
    first.reset();
    TPtyPair second;
    PointLink(path, second.SlavePath());
    log.Lines.clear();
    port.OpenPort();
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(port.WriteText("ping"), 4);
    EXPECT_EQ(second.Read(4), QByteArray("ping"));
    second.Write("pong");
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("a.RxBuf(pong)"); }));
    EXPECT_EQ(lostCount, 1) << "one loss, told once";
    EXPECT_FALSE(log.Contains("OnDeviceLost"));

    port.ClosePort();
    EXPECT_EQ(lostCount, 1) << "an ordinary close is no loss";
    port.UnregisterLink(&a);
}

TEST(PortLoss, LossDuringAPendingReadFailsItAndStillClosesTheNextTurn) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetEvents({});                  // no event thread: the device alone tells of the loss
    port.Timeouts()->SetReadInterval(0); // a read that waits for its bytes without limit
    int lostCount = 0;
    port.OnDeviceLost = [&](TCustomComPort*, int) { ++lostCount; };
    port.OpenPort();
    PAsyncRequest request = nullptr;
    NewAsyncRequest(request);
    char buffer[16];
    port.ReadBytesAsync(buffer, sizeof buffer, request);
    pty.CloseMaster();
    EXPECT_THROW(port.WaitForCompletion(request), EComPort);
    FreeAsyncRequest(request);
    ASSERT_TRUE(WaitUntil([&] { return lostCount == 1; }));
    EXPECT_FALSE(port.Connected());
}

TEST(PortLoss, PulledNullModemCableClosesBothEndsAndAFreshCableReopens) {
    auto pair = TVirtualSerialPair::Create("VLOSSTEST");
    ASSERT_NE(pair, nullptr);
    TEventLog log;
    int nearLost = 0, farLost = 0;
    TComPort near, far;
    near.SetPort(QString::fromStdString(pair->EndName(TVirtualSerialPair::kEndA)));
    far.SetPort(QString::fromStdString(pair->EndName(TVirtualSerialPair::kEndB)));
    HookPort(near, log);
    near.OnDeviceLost = [&](TCustomComPort*, int error) {
        ++nearLost;
        EXPECT_EQ(error, EIO);
        log.Add("OnDeviceLost");
    };
    far.OnDeviceLost = [&](TCustomComPort*, int) { ++farLost; };
    TComLink a;
    FillLink(a, "a", log);
    near.RegisterLink(&a);
    near.OpenPort();
    far.OpenPort();
    far.SetDTRLine(true); // near sees DSR and RLSD on
    far.SetRTSLine(true);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRLSDChange(1)") && log.Contains("OnCTSChange(1)"); }));
    log.Lines.clear();
    EXPECT_FALSE(pair->Reconnect()) << "refused while the ends are open";

    pair->Disconnect();
    ASSERT_TRUE(WaitUntil([&] { return nearLost == 1 && farLost == 1; }));
    EXPECT_FALSE(near.Connected());
    EXPECT_FALSE(far.Connected());
    // The lines read off before the close, as with every close; no line-event handler after the loss.
    EXPECT_EQ(log.Lines.mid(log.Lines.size() - kLossClose.size()), kLossClose);

    ASSERT_TRUE(pair->Reconnect());
    near.OpenPort();
    far.OpenPort();
    EXPECT_EQ(near.WriteText("back"), 4);
    char buffer[4] = {};
    ASSERT_TRUE(WaitUntil([&] { return far.InputQueueCount() == 4; }));
    EXPECT_EQ(far.ReadBytes(buffer, 4), 4);
    EXPECT_EQ(QByteArray(buffer, 4), QByteArray("back"));
    EXPECT_EQ(nearLost, 1);
    near.ClosePort();
    far.ClosePort();
    near.UnregisterLink(&a);
}
