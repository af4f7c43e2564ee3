#include "serial/platform/NetworkWait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

Q_LOGGING_CATEGORY(lcNetwork, "corvantel.serial.network")

// Turns the main thread's event loop, without user input, until the work is done.
class TQtWaiter final : public TNetworkWaiter {
public:
    bool CanTurn() const override {
        const QCoreApplication* app = QCoreApplication::instance();
        return app && QThread::currentThread() == app->thread() && !QCoreApplication::closingDown();
    }

    void Wait(const std::function<bool()>& done) override {
        QEventLoop loop;
        // A wake-up posted just before the loop sleeps is not lost (the posted event is waiting); the
        // timer only guards against a wake-up that found no application to post to.
        QTimer guard;
        guard.start(20);
        while (!done())
            loop.processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
    }

    void Wake() override {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] {}, Qt::QueuedConnection);
    }

    void Report(const std::string& text) override { qCWarning(lcNetwork, "%s", text.c_str()); }
};

TQtWaiter g_qtWaiter;
std::atomic<TNetworkWaiter*> g_waiter{nullptr};
std::mutex g_connectingLock;
std::function<void(const std::string&)> g_connecting;
thread_local int t_turning = 0;
thread_local std::vector<std::function<void()>> t_after;

void Post(std::function<void()> work) {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

// The outermost wait of this thread has ended: what waited for it is posted.
void EndTurning() {
    if (--t_turning > 0)
        return;
    std::vector<std::function<void()>> after;
    after.swap(t_after);
    for (std::function<void()>& work : after)
        Post(std::move(work));
}

} // namespace

void TNetworkWaiter::Report(const std::string&) {}

TNetworkWaiter& NetworkWaiter() {
    TNetworkWaiter* w = g_waiter.load();
    return w ? *w : g_qtWaiter;
}

TNetworkWaiter* SetNetworkWaiter(TNetworkWaiter* waiter) {
    return g_waiter.exchange(waiter);
}

int RunNetworkWork(const std::function<int()>& work) {
    TNetworkWaiter& waiter = NetworkWaiter();
    if (!waiter.CanTurn())
        return work();
    std::atomic<bool> done{false};
    int result = 0;
    std::thread helper;
    try {
        helper = std::thread([&] {
            result = work();
            done = true;
            waiter.Wake();
        });
    } catch (const std::system_error&) {
        return work(); // no thread to spare: wait in this one
    }
    ++t_turning;
    try {
        waiter.Wait([&] { return done.load(); });
    } catch (...) {
        // A handler's exception left the loop: the work still ends within its limit.
        helper.join();
        EndTurning();
        throw;
    }
    helper.join();
    EndTurning();
    return result;
}

bool NetworkWaitTurning() {
    return t_turning > 0;
}

void AfterNetworkWait(std::function<void()> work) {
    if (t_turning > 0)
        t_after.push_back(std::move(work));
    else
        Post(std::move(work));
}

void SetConnectingHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(g_connectingLock);
    g_connecting = std::move(handler);
}

void NotifyConnecting(const std::string& hostPort) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(g_connectingLock);
        handler = g_connecting;
    }
    if (handler)
        handler(hostPort);
}
