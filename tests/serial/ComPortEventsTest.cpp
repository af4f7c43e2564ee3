// The event thread on pseudo-terminals: received data and transmit activity reaching the links and the
// port's events in the main thread, and closing while the thread hands events over.
#include "runtime/Thread.h"
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"
#include "serial/ComThread.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <thread>

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

// Events that happened before a close reach the handlers during the close, whether the event thread
// hands them over or the main thread's event loop watches the wait itself.
class PortHandOver : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { TComThread::SetDirectHandOver(GetParam()); }
    void TearDown() override { TComThread::SetDirectHandOver(true); }
    TPtyPair pty;
    TComPort port;
};

TEST_P(PortHandOver, CloseWithEventsWaitingForTheMainThreadServesThem) {
    QByteArray got;
    TComLink link;
    CollectInto(link, got);
    port.RegisterLink(&link);
    OpenOn(port, pty);
    ASSERT_EQ(port.EventThread()->Direct(), GetParam());
    pty.Write("x");
    // Do not run the event loop: the events wait for this thread.
    ASSERT_TRUE(WaitPlain([&] { return port.EventThread()->EventsWaiting(); }));
    port.ClosePort(); // serves them while it waits for the thread
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(got, "x");
    port.UnregisterLink(&link);
}

TEST_P(PortHandOver, HandlersRunInTheMainThreadInOrderAcrossManyReports) {
    QByteArray got;
    int reports = 0;
    bool inMain = true;
    TComLink link;
    link.OnRxBuf = [&](TCustomComPort*, const void* b, int n) {
        inMain = inMain && QThread::currentThread() == QCoreApplication::instance()->thread();
        got.append(static_cast<const char*>(b), n);
        ++reports;
    };
    port.RegisterLink(&link);
    OpenOn(port, pty);
    QByteArray sent;
    for (int i = 0; i < 200; ++i) {
        const QByteArray piece = QByteArray::number(i) + ';';
        sent += piece;
        pty.Write(piece);
        if (i % 20 == 0) { // let some arrive on a quiet line, some while the handlers run
            ASSERT_TRUE(WaitUntil([&] { return got.size() == sent.size(); }));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return got.size() == sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(inMain);
    EXPECT_GE(reports, 10);
    port.ClosePort();
    port.UnregisterLink(&link);
}

TEST_P(PortHandOver, HandlerFailureUnderThreadSyncIsReportedAndEndsTheThread) {
    QStringList reported;
    auto previous = SetExceptionReporter([&](const QString& m) { reported.append(m); });
    int calls = 0;
    port.OnRxChar = [&](TCustomComPort*, int) {
        ++calls;
        throw EComPort(CError_ReadFailed, 5);
    };
    OpenOn(port, pty);
    pty.Write("a");
    ASSERT_TRUE(WaitUntil([&] { return port.EventThread()->Finished(); }));
    pty.Write("b"); // nothing more is handed over
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reported, QStringList{"ReadFile function failed (win error code: 5)"});
    port.ClosePort(); // still closes at once
    EXPECT_FALSE(port.Connected());
    SetExceptionReporter(previous);
}

TEST_P(PortHandOver, AHandlersNestedEventLoopGetsNoEventsOfTheSamePortUntilItReturns) {
    QByteArray got;
    int depth = 0, deepest = 0;
    TComLink link;
    link.OnRxBuf = [&](TCustomComPort* p, const void* b, int n) {
        ++depth;
        deepest = std::max(deepest, depth);
        got.append(static_cast<const char*>(b), n);
        if (got == "a") {
            // More arrives while this handler runs an event loop of its own.
            pty.Write("b");
            WaitUntil([&] { return p->InputQueueCount() > 0; });
            for (int i = 0; i < 20; ++i)
                QCoreApplication::processEvents();
        }
        --depth;
    };
    port.RegisterLink(&link);
    OpenOn(port, pty);
    pty.Write("a");
    ASSERT_TRUE(WaitUntil([&] { return got == "ab"; }));
    EXPECT_EQ(deepest, 1) << "handlers of one port never nest";
    port.ClosePort();
    port.UnregisterLink(&link);
}

INSTANTIATE_TEST_SUITE_P(HandOver, PortHandOver, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Direct" : "EventThread"; });

TEST_F(PortEvents, CloseFromInsideAHandlerRunsOnceTheHandlerReturns) {
    bool stillOpenAfterAsking = false;
    port.OnRxChar = [&](TCustomComPort* p, int) {
        p->ClosePort();
        stillOpenAfterAsking = p->Connected();
    };
    OpenOn(port, pty);
    pty.Write("bye");
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    EXPECT_TRUE(stillOpenAfterAsking) << "the close waits until the handler has returned";
    EXPECT_EQ(port.Handle(), -1);
}

TEST_F(PortEvents, WindowSyncSendsOneMessagePerEventAndHandlesInMainThread) {
    port.SetSyncMethod(smWindowSync);
    TEventLog log;
    TComLink link;
    FillLink(link, "L", log);
    port.RegisterLink(&link);
    OpenOn(port, pty);
    ASSERT_NE(port.Window(), nullptr);
    TMessageSpy spy;
    port.Window()->installEventFilter(&spy);
    pty.Write("w");
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("L.RxBuf(w)"); }));
    EXPECT_TRUE(log.AllInMainThread);
    EXPECT_EQ(spy.WParams.first(), 0x0001u);
    port.ClosePort();
    EXPECT_EQ(port.Window(), nullptr);
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

TEST_F(PortEvents, DeviceLossEndsTheThreadAndClosesThePort) {
    auto lost = std::make_unique<TPtyPair>();
    OpenOn(port, *lost);
    lost.reset(); // the far end and the device go away
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    EXPECT_EQ(port.EventThread(), nullptr);
    port.ClosePort(); // nothing left to close
    EXPECT_FALSE(port.Connected());
    // A new device opens again on the same port object.
    TPtyPair again;
    OpenOn(port, again);
    EXPECT_TRUE(port.Connected());
    port.WriteText("ok");
    EXPECT_EQ(again.Read(2), QByteArray("ok"));
    port.ClosePort(); // before the pty it runs on goes
}
