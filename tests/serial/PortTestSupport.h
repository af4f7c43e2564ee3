#pragma once

#include "runtime/Exception.h"
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

// Records every link callback and port event, in order, as short texts ("link1.Conn(1)", "OnAfterOpen").
class TEventLog {
public:
    QStringList Lines;
    bool AllInMainThread = true;

    void Add(const QString& line) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            AllInMainThread = false;
        Lines.append(line);
    }
    // The lines that start with the prefix, in order.
    QStringList With(const QString& prefix) const {
        QStringList out;
        for (const QString& l : Lines)
            if (l.startsWith(prefix))
                out.append(l);
        return out;
    }
    bool Contains(const QString& line) const { return Lines.contains(line); }
};

// A link whose every slot reports to the log under its name; takes received data when asked.
inline void FillLink(TComLink& link, const QString& name, TEventLog& log, bool takesData = true) {
    auto onOff = [](bool b) { return QString(b ? "1" : "0"); };
    link.OnConnChange = [&log, name, onOff](TCustomComPort*, bool on) {
        log.Add(name + ".Conn(" + onOff(on) + ")");
    };
    if (takesData)
        link.OnRxBuf = [&log, name](TCustomComPort*, const void* b, int n) {
            log.Add(name + ".RxBuf(" + QString::fromLatin1(static_cast<const char*>(b), n) + ")");
        };
    link.OnTxBuf = [&log, name](TCustomComPort*, const void* b, int n) {
        log.Add(name + ".TxBuf(" + QString::fromLatin1(static_cast<const char*>(b), n) + ")");
    };
    link.OnTxEmpty = [&log, name](TCustomComPort*) { log.Add(name + ".TxEmpty"); };
    link.OnRxFlag = [&log, name](TCustomComPort*) { log.Add(name + ".RxFlag"); };
    link.OnCTSChange = [&log, name, onOff](TCustomComPort*, bool on) {
        log.Add(name + ".CTS(" + onOff(on) + ")");
    };
    link.OnDSRChange = [&log, name, onOff](TCustomComPort*, bool on) {
        log.Add(name + ".DSR(" + onOff(on) + ")");
    };
    link.OnRLSDChange = [&log, name, onOff](TCustomComPort*, bool on) {
        log.Add(name + ".RLSD(" + onOff(on) + ")");
    };
    link.OnRing = [&log, name](TCustomComPort*) { log.Add(name + ".Ring"); };
    link.OnTxChange = [&log, name, onOff](TCustomComPort*, bool on) {
        log.Add(name + ".Tx(" + onOff(on) + ")");
    };
    link.OnRxChange = [&log, name, onOff](TCustomComPort*, bool on) {
        log.Add(name + ".Rx(" + onOff(on) + ")");
    };
}

// Collects the bytes the port hands to the link.
inline void CollectInto(TComLink& link, QByteArray& into) {
    link.OnRxBuf = [&into](TCustomComPort*, const void* b, int n) {
        into.append(static_cast<const char*>(b), n);
    };
}

// Records the wParam of every message the port's hidden receiver gets; each must be the one event message.
class TMessageSpy : public QObject {
public:
    QList<uint32_t> WParams;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == TComEventMessage::EventType()) {
            auto* m = static_cast<TComEventMessage*>(e);
            EXPECT_EQ(m->Msg, 1025);
            EXPECT_EQ(m->LParam, 0);
            WParams.append(m->WParam);
        }
        return false;
    }
};

// Hooks every published event of the port to the log.
inline void HookPort(TCustomComPort& port, TEventLog& log) {
    auto onOff = [](bool b) { return QString(b ? "1" : "0"); };
    port.OnBeforeOpen = [&log](TCustomComPort*) { log.Add("OnBeforeOpen"); };
    port.OnAfterOpen = [&log](TCustomComPort*) { log.Add("OnAfterOpen"); };
    port.OnBeforeClose = [&log](TCustomComPort*) { log.Add("OnBeforeClose"); };
    port.OnAfterClose = [&log](TCustomComPort*) { log.Add("OnAfterClose"); };
    port.OnRxChar = [&log](TCustomComPort*, int n) { log.Add(QString("OnRxChar(%1)").arg(n)); };
    port.OnRxBuf = [&log](TCustomComPort*, const void* b, int n) {
        log.Add("OnRxBuf(" + QString::fromLatin1(static_cast<const char*>(b), n) + ")");
    };
    port.OnTxEmpty = [&log](TCustomComPort*) { log.Add("OnTxEmpty"); };
    port.OnBreak = [&log](TCustomComPort*) { log.Add("OnBreak"); };
    port.OnRing = [&log](TCustomComPort*) { log.Add("OnRing"); };
    port.OnRxFlag = [&log](TCustomComPort*) { log.Add("OnRxFlag"); };
    port.OnRx80Full = [&log](TCustomComPort*) { log.Add("OnRx80Full"); };
    port.OnCTSChange = [&log, onOff](TCustomComPort*, bool on) { log.Add("OnCTSChange(" + onOff(on) + ")"); };
    port.OnDSRChange = [&log, onOff](TCustomComPort*, bool on) { log.Add("OnDSRChange(" + onOff(on) + ")"); };
    port.OnRLSDChange = [&log, onOff](TCustomComPort*, bool on) {
        log.Add("OnRLSDChange(" + onOff(on) + ")");
    };
    port.OnError = [&log](TCustomComPort*, TComErrors e) {
        log.Add(QString("OnError(%1)").arg(int(e), 0, 16));
    };
}

// The code of the EComPort that `f` raises, 0 when it raises none.
template <class F> int CodeOf(F&& f) {
    try {
        f();
    } catch (const EComPort& e) {
        return e.Code();
    }
    return 0;
}

// The code and the system error of the EComPort that `f` raises, both 0 when it raises none.
template <class F> std::pair<int, int> FailureOf(F&& f) {
    try {
        f();
    } catch (const EComPort& e) {
        return {e.Code(), e.SystemError()};
    }
    return {0, 0};
}

// The message of the exception that `f` raises, empty when it raises none.
template <class F> QString MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}

// Collects what reaches the application's exception report while it lives; OnReport runs at each report.
struct TReports {
    QStringList Lines;
    std::function<void()> OnReport;
    TExceptionReporter Previous;
    TReports() {
        Previous = SetExceptionReporter([this](const QString& m) {
            Lines.append(m);
            if (OnReport)
                OnReport();
        });
    }
    ~TReports() { SetExceptionReporter(Previous); }
};

// How many threads this process has right now.
inline int ThreadCount() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Ends the whole test program when a test hangs (a deadlock), so that the failure shows instead of a
// stuck run.
class TWatchdog {
public:
    explicit TWatchdog(std::chrono::seconds limit) {
        m_thread = std::thread([this, limit] {
            std::unique_lock lock(m_lock);
            if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
                std::fprintf(stderr, "test hung: deadlock in the port\n");
                std::_Exit(3);
            }
        });
    }
    ~TWatchdog() {
        {
            std::lock_guard lock(m_lock);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// Waits, without running events, until `pred` holds or the deadline passed.
template <class F> bool WaitPlain(F&& pred, std::chrono::seconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}
