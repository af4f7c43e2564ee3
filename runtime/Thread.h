#pragma once

#include <atomic>
#include <functional>
#include <thread>

// A worker thread that can hand work to the main (Qt) thread.
//
// Synchronize runs a function in the main thread and blocks the worker until it has run (unless the
// thread's hand-overs were abandoned: then it returns without running it); an exception thrown there is
// carried back and rethrown in the worker. WaitFor, called from the main thread, keeps
// serving such hand-overs (and messages sent with SendToMainThread) while it waits, so a worker blocked
// in a hand-over can always finish. Without an application object every "main thread" call runs
// directly in the calling thread.
class TThread {
public:
    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    // Waits until Execute has returned, then joins the thread.
    void WaitFor();
    // Gives up every hand-over of this thread that the main thread has not taken yet, and every later
    // one: Synchronize and SendToMainThread then return at once without running their work. For a thread
    // stopped from another thread than the main one, whose main thread may not be serving hand-overs.
    void AbandonHandOvers();
    bool Finished() const { return m_finished.load(); }
    bool Started() const { return m_thread.joinable(); }
    bool HandOversAbandoned() const { return m_abandoned.load(); }

protected:
    virtual void Execute() = 0;
    void Synchronize(const std::function<void()>& fn);

private:
    void Run();

    std::thread m_thread;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_abandoned{false}; // changed under the hand-over lock
};

// True in the thread that runs the Qt application's event loop (or in any thread when there is none).
bool InMainThread();

// Hands `handler` to the main thread and returns as soon as the main thread has taken it, before it runs
// (a sent message whose receiver replies first). An exception from the handler goes to the application's
// standard report. From the main thread itself the handler runs at once. From a TThread whose hand-overs
// were abandoned, it returns at once and the handler never runs.
void SendToMainThread(std::function<void()> handler);

// Runs every hand-over that is waiting for the main thread. Called from the main thread.
void ServePendingHandOvers();

// How many hand-overs wait for the main thread right now (for diagnostics and tests).
int PendingHandOvers();
