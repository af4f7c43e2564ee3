#include "runtime/Thread.h"

#include "runtime/Exception.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace {

struct THandOver {
    std::function<void()> Fn;
    const TThread* Poster = nullptr; // the TThread that handed it over, if any
    bool ReplyFirst = false;         // a sent message: release the sender before running
    bool Done = false;
    bool Abandoned = false; // taken off the queue without running
    std::exception_ptr Error;
};

// One queue for all hand-overs to the main thread; the condition also wakes a main thread that waits
// for a worker to end.
std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<THandOver*> g_queue;
// The TThread whose body runs in this thread.
thread_local TThread* t_current = nullptr;

// The oldest hand-over, taken off the queue; nullptr when there is none. With g_mutex held.
THandOver* TakeNextLocked() {
    if (g_queue.empty())
        return nullptr;
    THandOver* h = g_queue.front();
    g_queue.pop_front();
    return h;
}

void WakeMainThread() {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { ServePendingHandOvers(); }, Qt::QueuedConnection);
}

// Hands h over and waits until the main thread has done it. False when it was given up instead (its
// thread's hand-overs were abandoned).
bool Post(THandOver& h) {
    h.Poster = t_current;
    {
        std::lock_guard lock(g_mutex);
        if (h.Poster && h.Poster->HandOversAbandoned())
            return false;
        g_queue.push_back(&h);
    }
    g_changed.notify_all();
    WakeMainThread();
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [&] { return h.Done; });
    return !h.Abandoned;
}

} // namespace

bool InMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void ServePendingHandOvers() {
    THandOver* h = nullptr;
    {
        std::lock_guard lock(g_mutex);
        h = TakeNextLocked();
    }
    while (h) {
        std::function<void()> message;
        if (h->ReplyFirst) {
            // The sender may go on (and h may die) once Done is set: keep what we need.
            message = std::move(h->Fn);
        } else {
            try {
                h->Fn();
            } catch (...) {
                h->Error = std::current_exception();
            }
        }
        // Done and the next hand-over under one lock: the released sender does not find the lock taken
        // again at once when it wakes. A message runs after its sender is released and takes the next one
        // only after it has run, so that a wait inside it (which serves hand-overs) finds the queue whole.
        {
            std::lock_guard lock(g_mutex);
            h->Done = true;
            h = message ? nullptr : TakeNextLocked();
        }
        g_changed.notify_all();
        if (message) {
            GuardedCall(message);
            std::lock_guard lock(g_mutex);
            h = TakeNextLocked();
        }
    }
}

int PendingHandOvers() {
    std::lock_guard lock(g_mutex);
    return int(g_queue.size());
}

void SendToMainThread(std::function<void()> handler) {
    if (InMainThread()) {
        GuardedCall(handler);
        return;
    }
    THandOver h;
    h.Fn = std::move(handler);
    h.ReplyFirst = true;
    (void)Post(h);
}

TThread::TThread() = default;

TThread::~TThread() {
    if (m_thread.joinable())
        WaitFor();
}

void TThread::Start() {
    m_thread = std::thread([this] { Run(); });
}

void TThread::Run() {
    t_current = this;
    try {
        Execute();
    } catch (...) {
        // An exception that ends the thread body ends the thread; it was reported where it arose.
    }
    {
        std::lock_guard lock(g_mutex);
        m_finished = true;
    }
    g_changed.notify_all();
}

void TThread::AbandonHandOvers() {
    {
        std::lock_guard lock(g_mutex);
        m_abandoned = true;
        for (auto it = g_queue.begin(); it != g_queue.end();) {
            if ((*it)->Poster != this) {
                ++it;
                continue;
            }
            (*it)->Abandoned = true;
            (*it)->Done = true;
            it = g_queue.erase(it);
        }
    }
    g_changed.notify_all();
}

void TThread::WaitFor() {
    if (!m_thread.joinable())
        return;
    if (InMainThread()) {
        for (;;) {
            {
                std::unique_lock lock(g_mutex);
                g_changed.wait(lock, [&] { return m_finished.load() || !g_queue.empty(); });
                if (m_finished && g_queue.empty())
                    break;
            }
            ServePendingHandOvers();
        }
    }
    m_thread.join();
}

void TThread::Synchronize(const std::function<void()>& fn) {
    if (InMainThread()) {
        fn();
        return;
    }
    THandOver h;
    h.Fn = fn;
    if (!Post(h))
        return;
    if (h.Error)
        std::rethrow_exception(h.Error);
}
