// The port's life at its edges, in every way line events reach the main thread: closes from another
// thread, handlers that close, reopen or destroy the port while it opens or closes, a handler's own event
// loop while a close or a loss waits, bytes read just before a loss, and a loss in a thread without an
// event loop.
#include "runtime/Exception.h"
#include "runtime/Thread.h"
#include "serial/ComPort.h"
#include "serial/ComThread.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cerrno>
#include <functional>
#include <memory>

namespace {

enum class TMode { Direct, EventThread, WindowSync };

// Runs this thread's event loop for `ms`, as a handler that shows a dialog would; returns how often the
// loop woke up meanwhile.
int NestedLoop(int ms) {
    int wakeUps = 0;
    QEventLoop loop;
    const QMetaObject::Connection counting = QObject::connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counting);
    return wakeUps;
}

// Lets whatever was posted meanwhile run.
void TurnEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class PortLife : public ::testing::TestWithParam<TMode> {
protected:
    void SetUp() override { TComThread::SetDirectHandOver(GetParam() == TMode::Direct); }
    // Nothing a handler did reached the application's exception report.
    void TearDown() override {
        TComThread::SetDirectHandOver(true);
        EXPECT_TRUE(m_reports.Lines.isEmpty()) << m_reports.Lines.join("; ").toStdString();
    }

    void Prepare(TCustomComPort& port, const TPtyPair& pty) {
        port.SetSyncMethod(GetParam() == TMode::WindowSync ? smWindowSync : smThreadSync);
        port.SetPort(QString::fromStdString(pty.SlavePath()));
    }
    void OpenOn(TCustomComPort& port, const TPtyPair& pty) {
        Prepare(port, pty);
        port.OpenPort();
        ASSERT_EQ(port.EventThread()->Direct(), GetParam() == TMode::Direct);
    }
    // Line events have happened and wait for the main thread, which does not run its loop meanwhile.
    static bool EventsWait(TCustomComPort& port) {
        return WaitPlain([&] { return port.EventThread()->EventsWaiting() || PendingHandOvers() > 0; });
    }

    TWatchdog m_watchdog{std::chrono::seconds(60)};
    TReports m_reports;
};

TEST_P(PortLife, CloseFromAWorkerThreadIsSafeWhateverTheMainThreadDoes) {
    TPtyPair pty;
    TComPort port;
    QByteArray got;
    TComLink link;
    CollectInto(link, got);
    port.RegisterLink(&link);
    QStringList closedIn;
    port.OnBeforeClose = [&](TCustomComPort*) {
        closedIn << (QThread::currentThread() == QCoreApplication::instance()->thread() ? "main" : "worker");
    };

    // The main thread runs its loop while a worker closes, with events waiting for it.
    OpenOn(port, pty);
    pty.Write("a");
    ASSERT_TRUE(WaitUntil([&] { return got == "a"; }));
    pty.Write("b");
    ASSERT_TRUE(EventsWait(port));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        port.ClosePort();
        done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    TurnEvents(); // what watched the line is deleted here, in its own thread

    // The main thread waits for the worker and serves nothing meanwhile.
    OpenOn(port, pty);
    pty.Write("c");
    ASSERT_TRUE(EventsWait(port));
    std::thread([&] { port.ClosePort(); }).join();
    EXPECT_FALSE(port.Connected());
    TurnEvents();

    // A handler runs in the main thread when the worker closes: the close waits until it has returned.
    OpenOn(port, pty);
    QStringList order;
    port.OnBeforeClose = [&](TCustomComPort*) { order << "before-close"; };
    std::thread closer;
    std::atomic<bool> asked{false};
    link.OnRxBuf = [&](TCustomComPort*, const void* b, int n) {
        got.append(static_cast<const char*>(b), n);
        if (closer.joinable())
            return;
        closer = std::thread([&] {
            asked = true;
            port.ClosePort();
        });
        WaitPlain([&] { return asked.load(); });
        for (int i = 0; i < 200; ++i) {
            QCoreApplication::processEvents();
            std::this_thread::yield();
        }
        order << "handler returned";
    };
    pty.Write("d");
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    closer.join();
    EXPECT_EQ(order, (QStringList{"handler returned", "before-close"}));
    EXPECT_EQ(closedIn, (QStringList{"worker", "worker"}));

    // And the port works again in the main thread.
    CollectInto(link, got);
    OpenOn(port, pty);
    pty.Write("e");
    EXPECT_TRUE(WaitUntil([&] { return got.endsWith("e"); }));
    port.ClosePort();
    port.UnregisterLink(&link);
}

TEST_P(PortLife, HandlersOfTheCloseMayDestroyThePort) {
    struct TCase {
        const char* Name;
        bool EventsWaiting; // the close serves line events
        std::function<void(TCustomComPort&, std::function<void()>)> Arm;
    };
    const TCase cases[] = {
        {"line event served by the close", true,
         [](TCustomComPort& p, std::function<void()> destroy) {
             p.OnRxChar = [destroy](TCustomComPort*, int) { destroy(); };
         }},
        {"OnBeforeClose", false,
         [](TCustomComPort& p, std::function<void()> destroy) {
             p.OnBeforeClose = [destroy](TCustomComPort*) { destroy(); };
         }},
        {"OnRLSDChange(false) of the close", false,
         [](TCustomComPort& p, std::function<void()> destroy) {
             p.OnRLSDChange = [destroy](TCustomComPort*, bool on) {
                 if (!on)
                     destroy();
             };
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const int threadsBefore = ThreadCount();
        TPtyPair pty;
        TEventLog log; // outlives the port
        auto* port = new TComPort;
        TComLink link;
        FillLink(link, "L", log, false);
        port->RegisterLink(&link);
        port->OnBeforeClose = [&](TCustomComPort*) { log.Add("OnBeforeClose"); };
        port->OnAfterClose = [&](TCustomComPort*) { log.Add("OnAfterClose"); };
        bool destroyed = false;
        OpenOn(*port, pty);
        c.Arm(*port, [&] {
            if (destroyed)
                return;
            log.Add("destroying");
            destroyed = true;
            delete port;
        });
        if (c.EventsWaiting) {
            pty.Write("x");
            ASSERT_TRUE(EventsWait(*port));
            ASSERT_TRUE(WaitPlain([&] { return port->InputQueueCount() == 1; }));
        }
        log.Lines.clear();
        port->ClosePort(); // the port is gone when this returns
        EXPECT_TRUE(destroyed) << log.Lines.join(" ").toStdString();
        EXPECT_EQ(log.With("OnBeforeClose").size(), c.EventsWaiting ? 1 : 0)
            << log.Lines.join(" ").toStdString();
        EXPECT_EQ(log.With("L.Conn(0)").size(), 1);
        EXPECT_EQ(log.With("OnAfterClose"), QStringList{"OnAfterClose"});
        EXPECT_EQ(log.Lines.last(), "OnAfterClose");
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; })) << "nothing left running";
    }
}

TEST_P(PortLife, HandlersOfTheOpenMayCloseReopenOrDestroyThePort) {
    const QStringList open = {"OnBeforeOpen", "OnAfterOpen", "OnCTSChange(0)", "OnDSRChange(0)",
                              "OnRLSDChange(0)"};
    const QStringList close = {"OnCTSChange(0)", "OnDSRChange(0)", "OnRLSDChange(0)", "OnBeforeClose",
                               "OnAfterClose"};
    struct TCase {
        const char* Name;
        std::function<void(TCustomComPort*, std::function<void()> destroy)> OnAfterOpen;
        bool DestroyFromLink;
        bool DestroyBeforeOpen;
        bool Connected;
        QStringList Log;
    };
    const TCase cases[] = {
        {"OnAfterOpen closes", [](TCustomComPort* p, auto) { p->ClosePort(); }, false, false, false,
         QStringList{"OnBeforeOpen", "OnAfterOpen"} + close},
        {"OnAfterOpen closes and opens again",
         [](TCustomComPort* p, auto) {
             p->ClosePort();
             p->OpenPort();
         },
         false, false, true, QStringList{"OnBeforeOpen", "OnAfterOpen"} + close + open},
        {"OnAfterOpen disconnects and connects",
         [](TCustomComPort* p, auto) {
             p->SetConnected(false);
             p->SetConnected(true);
         },
         false, false, true, QStringList{"OnBeforeOpen", "OnAfterOpen"} + close + open},
        {"OnAfterOpen destroys", [](TCustomComPort*, auto destroy) { destroy(); }, false, false, false,
         QStringList{"OnBeforeOpen", "OnAfterOpen"} + close},
        {"a link's connection notice destroys", nullptr, true, false, false,
         QStringList{"OnBeforeOpen"} + close},
        {"OnBeforeOpen destroys", nullptr, false, true, false, QStringList{"OnBeforeOpen"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TPtyPair pty;
        TEventLog log;
        auto* port = new TComPort;
        bool destroyed = false;
        auto destroy = [&] {
            if (destroyed)
                return;
            destroyed = true;
            delete port;
        };
        HookPort(*port, log);
        TComLink link;
        if (c.DestroyFromLink)
            link.OnConnChange = [&](TCustomComPort*, bool on) {
                if (on)
                    destroy();
            };
        port->RegisterLink(&link);
        if (c.DestroyBeforeOpen)
            port->OnBeforeOpen = [&](TCustomComPort*) {
                log.Add("OnBeforeOpen");
                destroy();
            };
        int afterOpens = 0;
        if (c.OnAfterOpen)
            port->OnAfterOpen = [&](TCustomComPort* p) {
                log.Add("OnAfterOpen");
                if (++afterOpens == 1) // the open it makes again is left alone
                    c.OnAfterOpen(p, destroy);
            };
        Prepare(*port, pty);
        EXPECT_NO_THROW(port->OpenPort());
        EXPECT_EQ(log.Lines, c.Log);
        EXPECT_EQ(!destroyed && port->Connected(), c.Connected);
        if (!destroyed) {
            port->ClosePort();
            port->UnregisterLink(&link);
            delete port;
        }
    }
}

TEST_P(PortLife, CloseOrNewPortAskedForWhileClosingOnlyKeepsTheName) {
    TPtyPair pty, second;
    const QString secondName = QString::fromStdString(second.SlavePath());
    TEventLog log;
    TComPort port;
    port.OnBeforeClose = [&](TCustomComPort* p) {
        log.Add("OnBeforeClose");
        p->ClosePort();
        p->SetConnected(false);
    };
    port.OnAfterClose = [&](TCustomComPort*) { log.Add("OnAfterClose"); };
    port.OnAfterOpen = [&](TCustomComPort*) { log.Add("OnAfterOpen"); };
    port.OnRxChar = [&](TCustomComPort* p, int) {
        log.Add("OnRxChar");
        p->ClosePort();
        p->SetPort(secondName);
    };
    OpenOn(port, pty);
    pty.Write("x");
    ASSERT_TRUE(EventsWait(port));
    log.Lines.clear();
    port.ClosePort();
    // Whatever was posted meanwhile has run.
    TurnEvents();
    EXPECT_EQ(log.Lines, (QStringList{"OnBeforeClose", "OnRxChar", "OnAfterClose"}));
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), secondName);
}

TEST_P(PortLife, AHandlersOwnEventLoopDoesNotSpinOnAPendingCloseOrLoss) {
    for (const bool loss : {false, true}) {
        SCOPED_TRACE(loss ? "device lost" : "close asked for");
        auto pty = std::make_unique<TPtyPair>();
        TComPort port;
        int lost = 0, closed = 0;
        port.OnDeviceLost = [&](TCustomComPort*, int) { ++lost; };
        port.OnAfterClose = [&](TCustomComPort*) { ++closed; };
        int wakeUps = -1;
        bool stillOpenAfterLoop = false;
        port.OnRxChar = [&](TCustomComPort* p, int count) {
            QByteArray buffer(count, '\0');
            p->ReadBytes(buffer.data(), count);
            if (wakeUps >= 0)
                return;
            if (loss)
                pty->CloseMaster();
            else
                p->ClosePort();
            wakeUps = NestedLoop(200); // as a handler that shows a dialog
            stillOpenAfterLoop = p->Connected();
        };
        OpenOn(port, *pty);
        pty->Write("go");
        ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
        EXPECT_TRUE(stillOpenAfterLoop) << "nothing closes the port under its handler";
        EXPECT_EQ(port.Handle(), -1);
        EXPECT_LT(wakeUps, 50) << "wake-ups in 0.2 s of the handler's loop";
        EXPECT_EQ(closed, 1);
        EXPECT_EQ(lost, loss ? 1 : 0);
    }
}

TEST_P(PortLife, BytesReadBeforeALossReachTheHandlersAndTheLossIsToldOnce) {
    for (int round = 0; round < 3; ++round) {
        auto pty = std::make_unique<TPtyPair>();
        TEventLog log;
        TComPort port;
        TComLink link;
        FillLink(link, "L", log);
        port.RegisterLink(&link);
        int lost = 0;
        port.OnDeviceLost = [&](TCustomComPort* p, int error) {
            EXPECT_FALSE(p->Connected());
            EXPECT_NE(error, 0);
            ++lost;
        };
        OpenOn(port, *pty);
        const int threadsOpen = ThreadCount();
        pty->Write("last words");
        // Read by the device, not handed to the handlers yet.
        ASSERT_TRUE(EventsWait(port));
        ASSERT_TRUE(WaitPlain([&] { return port.InputQueueCount() == 10; }));
        pty->CloseMaster();
        // The device has seen the loss (its thread has ended) before the handlers run.
        ASSERT_TRUE(WaitPlain([&] { return ThreadCount() < threadsOpen; }));
        ASSERT_TRUE(WaitUntil([&] { return lost > 0; }));
        TurnEvents();
        EXPECT_EQ(log.With("L.RxBuf").join(""), "L.RxBuf(last words)") << log.Lines.join(" ").toStdString();
        EXPECT_EQ(lost, 1);
        EXPECT_FALSE(port.Connected());
        port.UnregisterLink(&link);
    }
}

TEST_P(PortLife, HandlersRunInTheMainThreadInOrderAcrossManyReports) {
    TPtyPair pty;
    TComPort port;
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

TEST_P(PortLife, AHandlersNestedEventLoopGetsNoEventsOfTheSamePortUntilItReturns) {
    if (GetParam() == TMode::WindowSync)
        GTEST_SKIP() << "the window's messages reach every event loop, a handler's own too";
    TPtyPair pty;
    TComPort port;
    QByteArray got;
    int depth = 0, deepest = 0;
    TComLink link;
    link.OnRxBuf = [&](TCustomComPort* p, const void* b, int n) {
        deepest = std::max(deepest, ++depth);
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

// A receive handler destroys the port: it closes with notifications, and the event thread and the device
// are finished off once the handler has returned.
TEST_P(PortLife, AReceiveHandlerMayDestroyThePort) {
    TPtyPair pty;
    TEventLog log;
    TComLink link;
    FillLink(link, "L", log, false);
    const int threadsBefore = ThreadCount();
    auto* port = new TComPort;
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
    OpenOn(*port, pty);
    log.Lines.clear();
    pty.Write("x");
    ASSERT_TRUE(WaitUntil([&] { return deleted; }));
    EXPECT_TRUE(log.Contains("L.Conn(0)"));
    EXPECT_TRUE(log.Contains("OnAfterClose"));
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
    pty.Write("more"); // nobody listens any more
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
}

// A receive handler moves the port to another device, or closes and opens it: the port does what was
// asked last, once the handler has returned.
TEST_P(PortLife, AReceiveHandlerMayReopenThePortOrCloseIt) {
    struct TCase {
        const char* Name;
        std::function<void(TCustomComPort*, const QString& second)> Act;
        QStringList Log;
        int OpenOn; // 0: closed, 1: the first device, 2: the second
    };
    const QStringList reopened = {"asked, still open", "AfterClose", "AfterOpen"};
    const TCase cases[] = {
        {"a new port name", [](TCustomComPort* p, const QString& second) { p->SetPort(second); }, reopened,
         2},
        {"disconnect, connect",
         [](TCustomComPort* p, const QString&) {
             p->SetConnected(false);
             p->SetConnected(true);
         },
         reopened, 1},
        {"connect, then disconnect: only the last wish counts",
         [](TCustomComPort* p, const QString&) {
             p->SetConnected(false);
             p->SetConnected(true);
             p->SetConnected(false);
         },
         {"asked, still open", "AfterClose"},
         0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TPtyPair first, second;
        TEventLog log; // outlives the port, whose destruction still reports
        TComPort port;
        port.OnAfterOpen = [&](TCustomComPort*) { log.Add("AfterOpen"); };
        port.OnAfterClose = [&](TCustomComPort*) { log.Add("AfterClose"); };
        int calls = 0;
        port.OnRxChar = [&](TCustomComPort* p, int) {
            if (++calls > 1)
                return;
            c.Act(p, QString::fromStdString(second.SlavePath()));
            log.Add(p->Connected() ? "asked, still open" : "asked, closed");
        };
        OpenOn(port, first);
        log.Lines.clear();
        first.Write("go");
        ASSERT_TRUE(WaitUntil([&] { return log.Lines.size() >= c.Log.size(); }));
        TurnEvents();
        EXPECT_EQ(log.Lines, c.Log);
        EXPECT_EQ(port.Connected(), c.OpenOn != 0);
        if (c.OpenOn) {
            EXPECT_EQ(port.WriteText("new"), 3);
            EXPECT_EQ((c.OpenOn == 2 ? second : first).Read(3), QByteArray("new"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(HandOver, PortLife,
                         ::testing::Values(TMode::Direct, TMode::EventThread, TMode::WindowSync),
                         [](const auto& info) {
                             switch (info.param) {
                             case TMode::Direct:
                                 return "Direct";
                             case TMode::EventThread:
                                 return "EventThread";
                             case TMode::WindowSync:
                                 return "WindowSync";
                             }
                             return "";
                         });

// A port made and used in a thread that runs no event loop: the loss is acted on by the next call.
TEST(PortLossWithoutEventLoop, TheNextCallClosesThePortAndFailsWithTheLoss) {
    TWatchdog watchdog(std::chrono::seconds(60));
    struct TCall {
        const char* Name;
        int Code;
        std::function<void(TComPort&)> Call;
    };
    const TCall calls[] = {
        {"WriteText", 2, [](TComPort& p) { p.WriteText("x"); }},
        {"InputQueueCount", 10, [](TComPort& p) { p.InputQueueCount(); }},
        {"SetDTRLine", 12, [](TComPort& p) { p.SetDTRLine(true); }},
        {"ModemSignals", 11, [](TComPort& p) { p.ModemSignals(); }},
        {"SetBaudRate", 7, [](TComPort& p) { p.SetBaudRate(p.BaudRate() == br9600 ? br19200 : br9600); }},
    };
    for (const TCall& c : calls) {
        SCOPED_TRACE(c.Name);
        TPtyPair pty;
        int code = 0, systemError = 0, lost = 0;
        bool connectedAfter = true, lostInThisThread = false;
        std::thread worker([&] {
            TComPort port;
            port.SetPort(QString::fromStdString(pty.SlavePath()));
            port.OnDeviceLost = [&](TCustomComPort*, int) {
                ++lost;
                lostInThisThread = QThread::currentThread() == port.thread();
            };
            port.OpenPort();
            pty.CloseMaster();
            // Calls fail as the device fails until it has told of the loss; the next call closes.
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < end && port.Connected()) {
                try {
                    c.Call(port);
                } catch (const EComPort& e) {
                    code = e.Code();
                    systemError = e.SystemError();
                }
                std::this_thread::yield();
            }
            connectedAfter = port.Connected();
        });
        worker.join();
        EXPECT_EQ(code, c.Code);
        EXPECT_EQ(systemError, EIO);
        EXPECT_FALSE(connectedAfter);
        EXPECT_EQ(lost, 1);
        EXPECT_TRUE(lostInThisThread);
    }
}

namespace {

// A port whose device takes a while to open (a network connection), while the event loop turns: the
// test plays what happens meanwhile.
class TSlowOpenPort : public TComPort {
public:
    std::function<void(TSlowOpenPort*)> WhileOpening;

protected:
    void CreatePortHandle() override {
        TComPort::CreatePortHandle();
        if (auto fn = WhileOpening)
            fn(this);
    }
};

} // namespace

TEST(PortOpening, ACloseOrDestroyWhileTheDeviceOpensStopsTheOpenQuietly) {
    TWatchdog watchdog(std::chrono::seconds(60));
    TReports reports;
    TPtyPair pty;
    TEventLog log;
    auto* port = new TSlowOpenPort;
    port->SetPort(QString::fromStdString(pty.SlavePath()));
    HookPort(*port, log);
    port->WhileOpening = [](TSlowOpenPort* p) { p->SetConnected(false); };
    EXPECT_NO_THROW(port->OpenPort());
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(log.Lines, QStringList{"OnBeforeOpen"}) << "no notification of an open that did not happen";
    // The device was let go: it opens again at once.
    port->WhileOpening = nullptr;
    port->OpenPort();
    EXPECT_TRUE(port->Connected());
    port->ClosePort();

    log.Lines.clear();
    port->WhileOpening = [](TSlowOpenPort* p) { delete p; };
    EXPECT_NO_THROW(port->OpenPort());
    EXPECT_EQ(log.Lines, QStringList{"OnBeforeOpen"});
    EXPECT_TRUE(reports.Lines.isEmpty()) << reports.Lines.join("; ").toStdString();
}
