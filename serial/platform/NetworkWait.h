#pragma once

// Waiting for the network without stopping the caller's event loop.
//
// Opening a network port, a settings exchange with the server and the drain at close can take seconds.
// The work runs on a helper thread; the calling thread waits through the installed waiter. The one the
// program uses keeps the main thread's event loop turning (timers, painting, hand-overs of other ports)
// while it leaves user input for later; other threads simply block. Every such wait has a time limit of
// its own, so the helper always ends.

#include <functional>
#include <string>

class TNetworkWaiter {
public:
    virtual ~TNetworkWaiter() = default;
    // Whether this thread waits by turning its event loop (otherwise the work runs in this thread).
    virtual bool CanTurn() const = 0;
    // Turns the event loop until done() is true. Wake may be called from any thread when done() may
    // have turned true.
    virtual void Wait(const std::function<bool()>& done) = 0;
    virtual void Wake() = 0;
    // What a network port has to say that is no failure of a call (bytes dropped at close).
    virtual void Report(const std::string& text);
};

// The waiter in use: the installed one, else one that keeps the Qt event loop of the application's
// main thread turning.
TNetworkWaiter& NetworkWaiter();
// Installs a waiter (nullptr: back to the default); returns the previous one.
TNetworkWaiter* SetNetworkWaiter(TNetworkWaiter* waiter);

// Runs work to its end; on a thread that can turn its event loop the work runs on a helper thread
// meanwhile. Returns what work returned.
int RunNetworkWork(const std::function<int()>& work);

// True while this thread turns its event loop inside RunNetworkWork: a device call is in progress
// further down the stack, so nothing may close or destroy that device now.
bool NetworkWaitTurning();
// Posts work to this thread's event loop once the outermost network wait in it has ended (at once when
// none runs): for what had to wait because a device call was in progress further down the stack.
void AfterNetworkWait(std::function<void()> work);

// Called with "HOST:PORT" before a connection is made and with an empty text after it was made or
// failed (a status line shows "Connecting to HOST:PORT..."). Runs in the thread that opens the port.
void SetConnectingHandler(std::function<void(const std::string& hostPort)> handler);
void NotifyConnecting(const std::string& hostPort);
