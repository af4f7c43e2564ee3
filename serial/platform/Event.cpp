#include "serial/platform/SerialDevice.h"

#include "runtime/Exception.h"

#include <cerrno>
#include <chrono>
#include <cstring>
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

// Takes the event's count: true when it was set. Only one of several racing waiters of an
// automatic-reset event gets it.
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

TEvent::TEvent(bool manualReset, bool initiallySet) : m_manualReset(manualReset) {
    m_fd = ::eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Only when the process runs out of descriptors.
    if (m_fd < 0)
        throw Exception(
            QStringLiteral("Cannot create an event: %1").arg(QString::fromLocal8Bit(strerror(errno))));
}

TEvent::~TEvent() {
    ::close(m_fd);
}

void TEvent::Set() {
    const uint64_t one = 1;
    // The count only grows until a reset; a full counter (EAGAIN) is still set.
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TEvent::Reset() {
    Consume(m_fd);
}

bool TEvent::IsSet() const {
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool TEvent::Wait(int timeoutMs) {
    TEvent* self = this;
    return WaitForAnyEvent(std::span<TEvent* const>(&self, 1), timeoutMs) == 0;
}

int WaitForAnyEvent(std::span<TEvent* const> events, int timeoutMs) {
    std::vector<pollfd> fds(events.size());
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (true) {
        for (size_t i = 0; i < events.size(); ++i)
            fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        const int n = ::poll(fds.data(), nfds_t(fds.size()), RemainingMs(timeoutMs, end));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -2;
        }
        if (n == 0)
            return -1;
        for (size_t i = 0; i < events.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            if (events[i]->ManualReset() || Consume(fds[i].fd))
                return int(i);
            // Another waiter took this automatic-reset event first: look further, then wait again.
        }
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
