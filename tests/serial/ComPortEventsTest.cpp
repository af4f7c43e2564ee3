// The event thread on pseudo-terminals: received data and transmit activity reaching the links and the
// port's events.
#include "serial/ComPort.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>

namespace {

void OpenOn(TComPort& port, const TPtyPair& pty) {
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetBaudRate(br38400);
    port.OpenPort();
}

// A port and the pseudo-terminal it opens on.
class PortEvents : public ::testing::Test {
protected:
    TPtyPair pty;
    TComPort port;
};

} // namespace

TEST_F(PortEvents, ReceivedDataIsReadOnceAndSharedByEveryDataLink) {
    TEventLog log;
    HookPort(port, log);
    TComLink a, signalsOnly, b;
    FillLink(a, "a", log);
    FillLink(signalsOnly, "s", log, false);
    FillLink(b, "b", log);
    port.RegisterLink(&a);
    port.RegisterLink(&signalsOnly);
    port.RegisterLink(&b);
    OpenOn(port, pty);
    log.Lines.clear();

    pty.Write("hello");
    ASSERT_TRUE(WaitUntil([&] {
        return log.With("b.RxBuf").join("") == "b.RxBuf(hello)" || log.Lines.size() > 12;
    })) << log.Lines.join(" ").toStdString();
    // One batch here; the activity on and off framing the one read.
    EXPECT_EQ(log.Lines, (QStringList{"a.Rx(1)", "s.Rx(1)", "b.Rx(1)", "a.Rx(0)", "s.Rx(0)", "b.Rx(0)",
                                      "OnRxBuf(hello)", "a.RxBuf(hello)", "b.RxBuf(hello)"}));
    EXPECT_FALSE(log.Contains("OnRxChar(5)"));
    EXPECT_TRUE(log.AllInMainThread);
    port.ClosePort();
    for (TComLink* l : {&a, &signalsOnly, &b})
        port.UnregisterLink(l);
}

TEST_F(PortEvents, WithoutDataLinkTheHandlerGetsTheCountAndReadsItself) {
    QByteArray got;
    int counted = 0;
    port.OnRxChar = [&](TCustomComPort* p, int count) {
        counted += count;
        QByteArray buffer(count, '\0');
        got += buffer.left(p->ReadBytes(buffer.data(), count));
    };
    bool rxBufCalled = false;
    port.OnRxBuf = [&](TCustomComPort*, const void*, int) { rxBufCalled = true; };
    OpenOn(port, pty);
    pty.Write("0123456789");
    ASSERT_TRUE(WaitUntil([&] { return got.size() == 10; }));
    EXPECT_EQ(got, "0123456789");
    EXPECT_EQ(counted, 10);
    EXPECT_FALSE(rxBufCalled);
}

TEST_F(PortEvents, WriteThenDrainLightsAndDarkensTransmit) {
    TEventLog log;
    HookPort(port, log);
    TComLink link;
    FillLink(link, "L", log);
    port.RegisterLink(&link);
    OpenOn(port, pty);
    log.Lines.clear();
    EXPECT_EQ(port.WriteText("12345"), 5);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnTxEmpty"); }));
    EXPECT_EQ(log.Lines, (QStringList{"L.Tx(1)", "L.TxBuf(12345)", "L.Tx(0)", "L.TxEmpty", "OnTxEmpty"}));
    EXPECT_EQ(pty.Read(5), QByteArray("12345"));
    port.ClosePort();
    port.UnregisterLink(&link);
}

TEST_F(PortEvents, NoSyncRunsHandlersInTheEventThread) {
    port.SetSyncMethod(smNone);
    std::atomic<bool> inEventThread{false};
    std::atomic<int> bytes{0};
    TComLink link;
    link.OnRxBuf = [&](TCustomComPort*, const void*, int n) {
        inEventThread = QThread::currentThread() != QCoreApplication::instance()->thread();
        bytes += n;
    };
    port.RegisterLink(&link);
    OpenOn(port, pty);
    pty.Write("abc");
    ASSERT_TRUE(WaitUntil([&] { return bytes == 3; }));
    EXPECT_TRUE(inEventThread);
    port.ClosePort();
    port.UnregisterLink(&link);
}
