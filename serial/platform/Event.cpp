#include "serial/platform/SerialDevice.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `end`, for poll(): -1 without a limit, never below 0.
int RemainingMs(int timeoutMs, Clock::time_point end) {
    if (timeoutMs < 0)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Empties an eventfd's count: true when it was not empty.
bool Consume(int fd) {
    uint64_t value = 0;
    while (true) {
        if (::read(fd, &value, sizeof value) == ssize_t(sizeof value))
            return true;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

TEvent::TEvent(bool manualReset, bool initiallySet) : m_set(initiallySet), m_manualReset(manualReset) {}

TEvent::~TEvent() {
    // A Set that has made the event set may still be writing its descriptor or waking waiters, and
    // whoever saw the event set may free it: the event goes only after that Set is through.
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [this] { return m_writing == 0; });
    if (m_fd >= 0)
        ::close(m_fd);
}

void TEvent::Set() {
    bool wake = false;
    int fd = -1;
    {
        std::lock_guard lock(m_lock);
        if (m_set)
            return;
        m_set = true;
        wake = m_waiters > 0;
        fd = m_fd;
        if (fd < 0 && !wake)
            return;
        ++m_writing;
    }
    // Written and woken outside the lock, so that a woken waiter does not block on it at once. The descriptor
    // may therefore lag behind the state; WaitForAnyEvent drops a count that the state does not back.
    if (fd >= 0) {
        const uint64_t one = 1;
        while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    if (wake)
        m_changed.notify_all();
    std::lock_guard lock(m_lock);
    if (--m_writing == 0)
        m_changed.notify_all();
}

void TEvent::ClearLocked() {
    if (!m_set)
        return;
    m_set = false;
    // Keep the descriptor quiet too, so that the next multi-wait does not wake for nothing (a Set still
    // writing leaves a count behind, which that wait drops).
    if (m_fd >= 0)
        Consume(m_fd);
}

void TEvent::Reset() {
    std::lock_guard lock(m_lock);
    ClearLocked();
}

bool TEvent::IsSet() const {
    std::lock_guard lock(m_lock);
    return m_set;
}

bool TEvent::TryTake() {
    std::lock_guard lock(m_lock);
    if (!m_set)
        return false;
    if (!m_manualReset)
        ClearLocked();
    return true;
}

bool TEvent::TakeOrDrain() {
    std::lock_guard lock(m_lock);
    if (!m_set) {
        // A count left by a Set whose state was already taken (or reset).
        Consume(m_fd);
        return false;
    }
    if (!m_manualReset)
        ClearLocked();
    return true;
}

bool TEvent::Wait(int timeoutMs) {
    std::unique_lock lock(m_lock);
    ++m_waiters;
    const auto isSet = [this] { return m_set; };
    bool set = true;
    if (timeoutMs < 0)
        m_changed.wait(lock, isSet);
    else
        set = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet);
    --m_waiters;
    if (set && !m_manualReset)
        ClearLocked();
    return set;
}

int TEvent::Fd() {
    std::lock_guard lock(m_lock);
    if (m_fd < 0)
        m_fd = ::eventfd(m_set ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    return m_fd;
}

int WaitForAnyEvent(std::span<TEvent* const> events, int timeoutMs) {
    std::vector<pollfd> fds(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        if (fds[i].fd < 0)
            return -2;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (true) {
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i]->TryTake())
                return int(i);
        const int n = ::poll(fds.data(), nfds_t(fds.size()), RemainingMs(timeoutMs, end));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -2;
        }
        // A readable event may have been taken by another waiter in between: its count is dropped, and
        // the wait goes on unless the time is up.
        for (size_t i = 0; i < events.size(); ++i)
            if ((fds[i].revents & POLLIN) && events[i]->TakeOrDrain())
                return int(i);
        if (timeoutMs >= 0 && Clock::now() >= end)
            return -1;
    }
}

int GetOverlappedResult(TOverlapped& ov, uint32_t* bytesTransferred, bool wait) {
    if (wait) {
        while (true) {
            {
                std::lock_guard lock(ov.Lock);
                if (!ov.Pending)
                    break;
                if (!ov.Event)
                    return EINVAL;
            }
            ov.Event->Wait(-1);
        }
    }
    std::lock_guard lock(ov.Lock);
    if (ov.Pending)
        return kErrorIoIncomplete;
    if (bytesTransferred)
        *bytesTransferred = ov.BytesTransferred;
    return ov.Error;
}
