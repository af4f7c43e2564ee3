#include "serial/platform/NetworkSerialDevice.h"

#include "serial/platform/NetworkWait.h"
#include "serial/platform/StreamSerialDevice.h"
#include "serial/platform/TelnetComPort.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <linux/sockios.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_limitsLock;
TNetworkLimits g_limits;

TNetworkLimits CurrentLimits() {
    std::lock_guard lock(g_limitsLock);
    return g_limits;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= s.size() || (s[i] | 0x20) != prefix[i])
            return false;
    }
    return true;
}

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int Pending(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? n : 0;
}

void DrainSocket(int fd) {
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

uint32_t UnsentBytes(int fd) {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) < 0 || queued < 0)
        return 0;
    return uint32_t(queued);
}

// Waits until fd is ready for events, the deadline passes (0) or cancelFd is readable (-1, ECANCELED).
int WaitFd(int fd, short events, Clock::time_point deadline, int cancelFd, int* error) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(p, cancelFd >= 0 ? 2 : 1, MsLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errno;
            return -1;
        }
        if (n > 0 && cancelFd >= 0 && (p[1].revents & POLLIN)) {
            *error = ECANCELED;
            return -1;
        }
        return n;
    }
}

// A name lookup cannot be cancelled: it runs on a thread of its own that the caller leaves behind when
// the limit passes; whoever of the two ends last frees the result.
struct TLookup {
    std::mutex Lock;
    bool Done = false;
    bool Abandoned = false;
    int Rc = 0;
    int Errno = 0;
    addrinfo* Result = nullptr;
    int DoneFd = -1;
    ~TLookup() {
        if (Result)
            ::freeaddrinfo(Result);
        if (DoneFd >= 0)
            ::close(DoneFd);
    }
};

// Resolves the host; numeric addresses at once, names on a helper thread within the deadline.
int Resolve(const TNetworkAddress& address, Clock::time_point deadline, int cancelFd, addrinfo** out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const std::string port = std::to_string(address.Port);
    if (::getaddrinfo(address.Host.c_str(), port.c_str(), &hints, out) == 0)
        return 0;
    auto lookup = std::make_shared<TLookup>();
    lookup->DoneFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (lookup->DoneFd < 0)
        return errno;
    try {
        std::thread([lookup, host = address.Host, port] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
            const int e = errno;
            std::lock_guard lock(lookup->Lock);
            lookup->Done = true;
            lookup->Rc = rc;
            lookup->Errno = e;
            lookup->Result = found;
            const uint64_t one = 1;
            (void)!::write(lookup->DoneFd, &one, sizeof one);
        }).detach();
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    int error = 0;
    const int n = WaitFd(lookup->DoneFd, POLLIN, deadline, cancelFd, &error);
    std::lock_guard lock(lookup->Lock);
    if (!lookup->Done) {
        lookup->Abandoned = true;
        return n < 0 ? error : ETIMEDOUT;
    }
    if (lookup->Rc != 0)
        return lookup->Rc == EAI_SYSTEM && lookup->Errno ? lookup->Errno : ENXIO;
    *out = lookup->Result;
    lookup->Result = nullptr;
    return 0;
}

// Connects to the first address of the host that takes the connection; -1 with *error otherwise.
int Connect(const TNetworkAddress& address, int timeoutMs, int* error, int cancelFd = -1) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo* found = nullptr;
    if (int e = Resolve(address, deadline, cancelFd, &found)) {
        *error = e;
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    int last = ENXIO;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last = errno;
            continue;
        }
        int e = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
        if (e == EINPROGRESS) {
            const int n = WaitFd(fd, POLLOUT, deadline, cancelFd, &e);
            if (n == 0) {
                e = ETIMEDOUT;
            } else if (n > 0) {
                socklen_t len = sizeof e;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) < 0)
                    e = errno;
            }
        }
        if (e == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        ::close(fd);
        last = e;
        if (e == ECANCELED)
            break;
        if (e == ETIMEDOUT || MsLeft(deadline) == 0) {
            last = ETIMEDOUT;
            break;
        }
    }
    *error = last;
    return -1;
}

// Hands what the kernel still holds for the server on at close: the connection is shut for writing, the
// server's acknowledgement awaited, and then its own end of the connection (briefly: a server that
// keeps its end open is not waited for long). What it sends meanwhile is read and dropped: closing with
// unread input would reset the connection, and the server could lose what it had not read yet.
// Returns the bytes still unsent at the deadline.
uint32_t FinishSending(int fd, Clock::time_point deadline) {
    constexpr auto kServerEndMs = std::chrono::milliseconds(250);
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    Clock::time_point sent = Clock::time_point::max();
    for (;;) {
        // The FIN that the shutdown queued counts as one byte until the server has acknowledged it, and
        // it is acknowledged with the data before it: one byte left is the FIN alone.
        const uint32_t queued = UnsentBytes(fd);
        const uint32_t unsent = queued > 0 ? queued - 1 : 0;
        if (unsent == 0 && sent == Clock::time_point::max())
            sent = Clock::now();
        if (MsLeft(deadline) == 0 || (unsent == 0 && Clock::now() - sent > kServerEndMs))
            return unsent;
        pollfd p{fd, POLLIN, 0};
        // The kernel does not tell when the acknowledgement came: look again every few milliseconds.
        if (::poll(&p, 1, std::min(5, MsLeft(deadline))) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                const uint32_t left = UnsentBytes(fd); // the server closed its end (or reset it)
                return left > 0 ? left - 1 : 0;
            }
        }
    }
}

// A raw byte stream: the engine works on the socket itself.
class TRawNetworkBackend final : public TSerialBackend {
public:
    explicit TRawNetworkBackend(int fd) : m_fd(fd) {}
    ~TRawNetworkBackend() override {
        // The engine has stopped: what it wrote is in the kernel, on its way.
        const auto deadline = Clock::now() + std::chrono::milliseconds(CurrentLimits().DrainMs);
        const uint32_t dropped = uint32_t(RunNetworkWork([&] { return int(FinishSending(m_fd, deadline)); }));
        if (dropped)
            NetworkWaiter().Report("network port closed with " + std::to_string(dropped) +
                                   " bytes not taken by the server");
        ::close(m_fd);
    }

    int DataFd() const override { return m_fd; }
    bool IsSocket() const override { return true; }
    TDcb InitialState() override { return PlainDcb(); }
    // Kept by the engine, without effect on the line.
    int ApplyState(const TDcb&) override { return 0; }
    int Flush(bool input, bool) override {
        if (input)
            DrainSocket(m_fd);
        return 0;
    }
    uint32_t OutputQueued() override { return UnsentBytes(m_fd); }
    int ModemStatus(uint32_t* status) override {
        *status = 0;
        return 0;
    }
    int Escape(uint32_t function) override {
        return function >= kSetXoff && function <= kClrBreak ? 0 : EINVAL;
    }

private:
    int m_fd;
};

// The line settings as the COM-PORT option carries them.
struct TLineValues {
    uint32_t Baud = 0;
    uint8_t DataSize = 0, Parity = 0, StopSize = 0, Flow = 0;
    bool operator==(const TLineValues&) const = default;
};

int DcbToLineValues(const TDcb& dcb, TLineValues* values) {
    static constexpr uint8_t kParity[] = {Telnet::kParityNone, Telnet::kParityOdd, Telnet::kParityEven,
                                          Telnet::kParityMark, Telnet::kParitySpace};
    static constexpr uint8_t kStop[] = {Telnet::kStopOne, Telnet::kStopOneHalf, Telnet::kStopTwo};
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > kSpaceParity ||
        dcb.StopBits > kTwoStopBits)
        return EINVAL;
    values->Baud = dcb.BaudRate;
    values->DataSize = dcb.ByteSize;
    values->Parity = kParity[dcb.Parity];
    values->StopSize = kStop[dcb.StopBits];
    const bool hardware =
        (dcb.Flags & kDcbOutxCtsFlow) || (dcb.Flags & kDcbRtsControlMask) == kDcbRtsControlHandshake;
    const bool software = dcb.Flags & (kDcbOutX | kDcbInX);
    values->Flow = hardware   ? Telnet::kControlFlowHardware
                   : software ? Telnet::kControlFlowXonXoff
                              : Telnet::kControlFlowNone;
    return 0;
}

// A SET-CONTROL answer that reports break, DTR or RTS (or the inbound flow control): not the answer to
// the flow control an exchange asks for.
bool IsLineControlAnswer(uint8_t value) {
    switch (value) {
    case Telnet::kControlBreakOn:
    case Telnet::kControlBreakOff:
    case Telnet::kControlDtrOn:
    case Telnet::kControlDtrOff:
    case Telnet::kControlRtsOn:
    case Telnet::kControlRtsOff:
        return true;
    default:
        return value >= 14 && value <= 19;
    }
}

// The COM-PORT option over a relay thread; see the header.
class TRfc2217Backend final : public TSerialBackend, private Telnet::TTelnetHandler {
public:
    static constexpr size_t kHighWater = TNetworkSerialDevice::kHighWater;
    static constexpr size_t kReadBytes = 64 * 1024;
    // Our answers to the server's negotiation may exceed the queue's mark by this much; beyond it the
    // server floods us without reading.
    static constexpr size_t kReplyAllowance = 128 * 1024;

    TRfc2217Backend(int netFd, int engineFd, int relayFd, int wakeFd, const TNetworkLimits& limits)
        : m_netFd(netFd), m_engineFd(engineFd), m_relayFd(relayFd), m_wakeFd(wakeFd), m_limits(limits) {
        m_decoder.SetBinary(false); // until the server agrees to send in binary mode
    }

    ~TRfc2217Backend() override {
        Detach();
        bool gone;
        {
            std::lock_guard lock(m_lock);
            gone = m_gone;
        }
        // Only an open device has written anything (a failed open has nothing to hand on).
        if (m_relay.joinable() && !gone && m_engine)
            Drain();
        {
            std::lock_guard lock(m_lock);
            m_quit = true;
        }
        Wake();
        if (m_relay.joinable())
            m_relay.join();
        CloseFd(m_netFd);
        CloseFd(m_engineFd);
        CloseFd(m_relayFd);
        CloseFd(m_wakeFd);
    }

    // Starts the relay, negotiates the option and reads the server's current settings.
    int Start(int timeoutMs) {
        try {
            m_relay = std::thread(&TRfc2217Backend::Relay, this);
            ::pthread_setname_np(m_relay.native_handle(), "cv-net-relay");
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        std::unique_lock lock(m_lock);
        m_negotiator.AppendOffer(m_toNet);
        // Errors and modem changes are wanted; the server reports them only for bits in its masks.
        Telnet::AppendComPortByte(Telnet::kSetModemStateMask, 0xFF, m_toNet);
        Telnet::AppendComPortByte(
            Telnet::kSetLineStateMask,
            Telnet::kLineBreak | Telnet::kLineFraming | Telnet::kLineParity | Telnet::kLineOverrun, m_toNet);
        Wake();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        m_changed.wait_until(lock, deadline, [this] {
            return m_gone || m_negotiator.ComPortAccepted() || m_negotiator.ComPortRefused();
        });
        if (m_gone)
            return m_goneError;
        if (!m_negotiator.ComPortAccepted())
            return m_negotiator.ComPortRefused() ? EPROTONOSUPPORT : ETIMEDOUT;
        // Asking with value 0 reads the current setting.
        TLineValues current;
        if (int e = Exchange(lock, TLineValues{}, &current))
            return m_gone ? m_goneError : e;
        m_initial = PlainDcb();
        m_initial.BaudRate = current.Baud ? current.Baud : m_initial.BaudRate;
        if (current.DataSize >= 5 && current.DataSize <= 8)
            m_initial.ByteSize = current.DataSize;
        if (current.Parity >= Telnet::kParityNone && current.Parity <= Telnet::kParitySpace)
            m_initial.Parity = uint8_t(current.Parity - 1);
        m_initial.StopBits = current.StopSize == Telnet::kStopTwo       ? kTwoStopBits
                             : current.StopSize == Telnet::kStopOneHalf ? kOne5StopBits
                                                                        : kOneStopBit;
        if (current.Flow == Telnet::kControlFlowHardware)
            m_initial.Flags |= kDcbOutxCtsFlow | kDcbRtsControlHandshake;
        else if (current.Flow == Telnet::kControlFlowXonXoff)
            m_initial.Flags |= kDcbOutX | kDcbInX;
        m_applied = current;
        return 0;
    }

    // Events are raised into the engine by a thread of their own: the relay must never wait for the
    // engine's lock.
    int Attach(TStreamSerialDevice* engine) {
        std::lock_guard lock(m_lock);
        m_engine = engine;
        try {
            m_notifier = std::thread(&TRfc2217Backend::Notify, this);
            ::pthread_setname_np(m_notifier.native_handle(), "cv-net-notify");
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        return 0;
    }

    int DataFd() const override { return m_engineFd; }
    intptr_t NativeHandle() const override { return m_netFd; }
    bool IsSocket() const override { return true; }
    bool AppliesWithoutLock() const override { return true; }
    TDcb InitialState() override { return m_initial; }

    int ApplyState(const TDcb& dcb) override {
        TLineValues wanted;
        if (int e = DcbToLineValues(dcb, &wanted))
            return e;
        return RunNetworkWork([&] {
            std::unique_lock lock(m_lock);
            if (m_gone)
                return EIO;
            TLineValues got;
            int e = Exchange(lock, wanted, &got);
            if (!e && !(got == wanted))
                e = EINVAL;
            if (e && e != EIO) {
                TLineValues ignored;
                Exchange(lock, m_applied, &ignored);
                return e;
            }
            if (!e)
                m_applied = wanted;
            return e;
        });
    }

    // Output handed to the relay counts as sent, as bytes in a tcp:// socket do: a purge of the output
    // (the event thread makes one at every close) neither drops it nor asks the server to. A purge of
    // the input waits (without the engine's lock) until the server has purged too: what the far end
    // sends after the purge returned is kept, what came before the server's answer is stale.
    int Flush(bool input, bool) override {
        if (!input)
            return 0;
        return RunNetworkWork([this] {
            std::unique_lock lock(m_lock);
            m_toEngine.clear();
            DrainSocket(m_engineFd);
            if (m_gone)
                return 0;
            Telnet::AppendComPortByte(Telnet::kPurgeData, Telnet::kPurgeReceive, m_toNet);
            const uint64_t target = ++m_sent[Telnet::kPurgeData];
            Wake();
            // A server that does not answer is not waited for long.
            const auto deadline = Clock::now() + std::chrono::milliseconds(m_limits.PurgeMs);
            m_changed.wait_until(lock, deadline,
                                 [&] { return m_gone || m_got[Telnet::kPurgeData] >= target; });
            m_toEngine.clear();
            DrainSocket(m_engineFd);
            return 0;
        });
    }

    uint32_t OutputQueued() override {
        std::lock_guard lock(m_lock);
        return uint32_t(m_toNet.size()) + UnsentBytes(m_engineFd) + UnsentBytes(m_netFd);
    }

    int ModemStatus(uint32_t* status) override {
        std::lock_guard lock(m_lock);
        *status = 0;
        if (m_gone)
            return EIO;
        *status =
            (m_modem & Telnet::kModemCts ? kMsCtsOn : 0) | (m_modem & Telnet::kModemDsr ? kMsDsrOn : 0) |
            (m_modem & Telnet::kModemRing ? kMsRingOn : 0) | (m_modem & Telnet::kModemDcd ? kMsRlsdOn : 0);
        return 0;
    }

    int Escape(uint32_t function) override {
        uint8_t control = 0;
        switch (function) {
        case kSetDtr:
            control = Telnet::kControlDtrOn;
            break;
        case kClrDtr:
            control = Telnet::kControlDtrOff;
            break;
        case kSetRts:
            control = Telnet::kControlRtsOn;
            break;
        case kClrRts:
            control = Telnet::kControlRtsOff;
            break;
        case kSetBreak:
            control = Telnet::kControlBreakOn;
            break;
        case kClrBreak:
            control = Telnet::kControlBreakOff;
            break;
        case kSetXoff:
        case kSetXon:
            return 0; // the option has no way to hold our transmitter
        default:
            return EINVAL;
        }
        std::lock_guard lock(m_lock);
        if (m_gone)
            return EIO;
        Telnet::AppendComPortByte(Telnet::kSetControl, control, m_toNet);
        Wake();
        return 0;
    }

    void Detach() override {
        {
            std::lock_guard lock(m_lock);
            m_detached = true;
        }
        m_changed.notify_all();
        if (m_notifier.joinable())
            m_notifier.join();
    }

private:
    void Wake() {
        const uint64_t one = 1;
        while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    // The engine has stopped; what it wrote waits in the socket pair and in the queue toward the server.
    // The relay forwards it, then the kernel hands it on.
    void Drain() {
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_limits.DrainMs);
        const int dropped = RunNetworkWork([&] {
            std::unique_lock lock(m_lock);
            m_draining = true;
            Wake();
            m_changed.wait_until(lock, deadline,
                                 [this] { return m_gone || (m_toNet.empty() && Pending(m_relayFd) == 0); });
            if (m_gone)
                return 0;
            const uint32_t held = uint32_t(m_toNet.size()) + uint32_t(Pending(m_relayFd));
            m_quit = true;
            lock.unlock();
            Wake();
            m_relay.join();
            return int(held + FinishSending(m_netFd, deadline));
        });
        if (dropped > 0)
            NetworkWaiter().Report("network port closed with " + std::to_string(dropped) +
                                   " bytes not taken by the server");
    }

    // Sends the settings (0 values ask) and waits for the server's answer to each. Answers are counted:
    // the wait is for the answer to this request, after those to earlier ones.
    int Exchange(std::unique_lock<std::mutex>& lock, const TLineValues& wanted, TLineValues* got) {
        Telnet::AppendSetBaudRate(wanted.Baud, m_toNet);
        Telnet::AppendComPortByte(Telnet::kSetDataSize, wanted.DataSize, m_toNet);
        Telnet::AppendComPortByte(Telnet::kSetParity, wanted.Parity, m_toNet);
        Telnet::AppendComPortByte(Telnet::kSetStopSize, wanted.StopSize, m_toNet);
        // Control value 0 asks for the flow control.
        Telnet::AppendComPortByte(Telnet::kSetControl, wanted.Flow, m_toNet);
        for (uint8_t code = Telnet::kSetBaudRate; code <= Telnet::kSetControl; ++code)
            ++m_sent[code];
        Wake();
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_limits.AnswerMs);
        const bool answered = m_changed.wait_until(lock, deadline, [this] {
            if (m_gone)
                return true;
            for (uint8_t code = Telnet::kSetBaudRate; code <= Telnet::kSetControl; ++code)
                if (m_got[code] < m_sent[code])
                    return false;
            return true;
        });
        if (m_gone)
            return EIO;
        if (!answered)
            return ETIMEDOUT;
        got->Baud = m_answers[Telnet::kSetBaudRate].Number();
        got->DataSize = m_answers[Telnet::kSetDataSize].Byte();
        got->Parity = m_answers[Telnet::kSetParity].Byte();
        got->StopSize = m_answers[Telnet::kSetStopSize].Byte();
        got->Flow = m_answers[Telnet::kSetControl].Byte();
        return 0;
    }

    // True while the relay must read on to reach an answer that is awaited.
    bool AnswerAwaited() const {
        if (!m_negotiator.ComPortAccepted() && !m_negotiator.ComPortRefused())
            return true;
        for (size_t code = 0; code < m_sent.size(); ++code)
            if (m_got[code] < m_sent[code])
                return true;
        return false;
    }

    // With m_lock held (called from the decoder in the relay thread).
    void OnNegotiation(uint8_t cmd, uint8_t option) override {
        m_negotiator.Answer(cmd, option, m_toNet);
        m_decoder.SetBinary(m_negotiator.RemoteBinary());
        m_changed.notify_all();
    }

    void OnComPort(const Telnet::TComPortAnswer& answer) override {
        if (answer.Code == Telnet::kNotifyModemState) {
            const uint8_t now = answer.Byte();
            const uint8_t changed = uint8_t(now ^ m_modem);
            uint32_t events = 0;
            if ((changed & Telnet::kModemCts) || (now & Telnet::kModemDeltaCts))
                events |= kEvCts;
            if ((changed & Telnet::kModemDsr) || (now & Telnet::kModemDeltaDsr))
                events |= kEvDsr;
            if ((changed & Telnet::kModemDcd) || (now & Telnet::kModemDeltaDcd))
                events |= kEvRlsd;
            if ((changed & now & Telnet::kModemRing) || (now & Telnet::kModemRingEnd))
                events |= kEvRing;
            m_modem = now;
            m_pendingEvents |= events;
        } else if (answer.Code == Telnet::kNotifyLineState) {
            const uint8_t line = answer.Byte();
            uint32_t errors = 0;
            if (line & Telnet::kLineBreak)
                errors |= kCeBreak;
            if (line & Telnet::kLineFraming)
                errors |= kCeFrame;
            if (line & Telnet::kLineParity)
                errors |= kCeRxParity;
            if (line & Telnet::kLineOverrun)
                errors |= kCeOverrun;
            m_pendingErrors |= errors;
            if (errors & kCeBreak)
                m_pendingEvents |= kEvBreak;
            if (errors & ~kCeBreak)
                m_pendingEvents |= kEvErr;
        } else if (answer.Code == Telnet::kSetControl && IsLineControlAnswer(answer.Byte())) {
            // The answer to a DTR, RTS or break request: not the flow control an exchange waits for.
        } else if (answer.Code < m_answers.size() && m_got[answer.Code] < m_sent[answer.Code]) {
            m_answers[answer.Code] = answer;
            ++m_got[answer.Code];
        }
        m_changed.notify_all();
    }

    void Notify() {
        std::unique_lock lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [this] { return m_detached || m_pendingEvents || m_pendingErrors; });
            if (m_detached)
                return;
            const uint32_t events = m_pendingEvents, errors = m_pendingErrors;
            m_pendingEvents = m_pendingErrors = 0;
            lock.unlock();
            m_engine->NotifyLine(events, errors);
            lock.lock();
        }
    }

    // The connection ended: the engine sees its socket end, as a tty's hang-up.
    void Gone(int error) {
        m_gone = true;
        m_goneError = error ? error : ECONNRESET;
        ::shutdown(m_relayFd, SHUT_RDWR);
        m_changed.notify_all();
    }

    // Sends the front of a queue; false when the socket failed.
    static bool SendSome(int fd, std::vector<uint8_t>& queue, int* error) {
        while (!queue.empty()) {
            const ssize_t n = ::send(fd, queue.data(), queue.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                queue.erase(queue.begin(), queue.begin() + n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            *error = errno;
            return false;
        }
        return true;
    }

    void Relay() {
        std::vector<uint8_t> buffer(kReadBytes);
        std::unique_lock lock(m_lock);
        while (!m_quit && !m_gone) {
            // The server is read while the engine takes its data, and further (up to kMaxHeld) while an
            // answer is awaited behind data the engine has not taken yet.
            const bool readNet = m_toEngine.size() < kHighWater ||
                                 (AnswerAwaited() && m_toEngine.size() < TNetworkSerialDevice::kMaxHeld);
            pollfd fds[3] = {{m_wakeFd, POLLIN, 0}, {m_netFd, 0, 0}, {m_relayFd, 0, 0}};
            if (readNet)
                fds[1].events |= POLLIN;
            if (!m_toNet.empty())
                fds[1].events |= POLLOUT;
            if (m_toNet.size() < kHighWater)
                fds[2].events |= POLLIN;
            if (!m_toEngine.empty())
                fds[2].events |= POLLOUT;
            int timeoutMs = -1;
            if (m_toNet.empty()) {
                m_sendStalledSince = Clock::time_point::max();
            } else {
                if (m_sendStalledSince == Clock::time_point::max())
                    m_sendStalledSince = Clock::now();
                const int stallLeft =
                    MsLeft(m_sendStalledSince + std::chrono::milliseconds(m_limits.StallMs));
                if (stallLeft == 0) {
                    Gone(EPROTO); // the server takes nothing from us
                    break;
                }
                timeoutMs = timeoutMs < 0 ? stallLeft : std::min(timeoutMs, stallLeft);
            }
            lock.unlock();
            const int n = ::poll(fds, 3, timeoutMs);
            lock.lock();
            if (m_quit)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                Gone(errno);
                break;
            }
            if (fds[0].revents & POLLIN) {
                uint64_t value;
                (void)!::read(m_wakeFd, &value, sizeof value);
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = ::recv(m_netFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got > 0) {
                    m_decoder.Feed(std::span(buffer.data(), size_t(got)), m_toEngine, *this);
                    if (m_toNet.size() > kHighWater + kReplyAllowance) {
                        // Our answers to its commands pile up: the server floods us and does not read.
                        Gone(EPROTO);
                        break;
                    }
                } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    const int error = got == 0 ? ECONNRESET : errno;
                    int ignored = 0;
                    SendSome(m_relayFd, m_toEngine, &ignored); // what came before the end still counts
                    Gone(error);
                    break;
                }
            }
            if (fds[2].revents & POLLIN) {
                const ssize_t got = ::recv(m_relayFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got > 0)
                    Telnet::EscapeData(std::span(buffer.data(), size_t(got)), m_toNet,
                                       !m_negotiator.LocalBinary());
            }
            int error = 0;
            const size_t before = m_toNet.size();
            if (!SendSome(m_netFd, m_toNet, &error)) {
                Gone(error);
                break;
            }
            if (m_toNet.size() < before)
                m_sendStalledSince = Clock::now(); // it reads: the stall starts again
            if (!SendSome(m_relayFd, m_toEngine, &error) && !m_draining) {
                // The engine's end is gone: the device is closing.
                break;
            }
            if (m_draining)
                m_changed.notify_all();
        }
        m_changed.notify_all();
    }

    int m_netFd;
    int m_engineFd; // the engine's end of the socket pair
    int m_relayFd;  // the relay's end
    int m_wakeFd;
    const TNetworkLimits m_limits;
    std::thread m_relay;
    std::thread m_notifier;
    TStreamSerialDevice* m_engine = nullptr;

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_quit = false;
    bool m_detached = false;
    bool m_gone = false;
    bool m_draining = false;
    int m_goneError = 0;
    Telnet::TTelnetDecoder m_decoder;
    Telnet::TTelnetNegotiator m_negotiator;
    std::vector<uint8_t> m_toNet;    // escaped data and commands for the server
    std::vector<uint8_t> m_toEngine; // plain data for the engine
    std::array<Telnet::TComPortAnswer, Telnet::kPurgeData + 1> m_answers;
    std::array<uint64_t, Telnet::kPurgeData + 1> m_sent{};           // requests sent per command
    std::array<uint64_t, Telnet::kPurgeData + 1> m_got{};            // answers received per command
    Clock::time_point m_sendStalledSince = Clock::time_point::max(); // bytes for the server wait since
    uint8_t m_modem = 0;
    uint32_t m_pendingEvents = 0;
    uint32_t m_pendingErrors = 0;
    TDcb m_initial = PlainDcb();
    TLineValues m_applied;
};

} // namespace

bool IsNetworkPortName(const std::string& name) {
    return StartsWithNoCase(name, "rfc2217://") || StartsWithNoCase(name, "tcp://");
}

bool ParseNetworkPortName(const std::string& name, TNetworkAddress* address) {
    TNetworkAddress a;
    std::string rest;
    if (StartsWithNoCase(name, "rfc2217://")) {
        a.Rfc2217 = true;
        rest = name.substr(10);
    } else if (StartsWithNoCase(name, "tcp://")) {
        rest = name.substr(6);
    } else {
        return false;
    }
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        a.Host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos)
            return false;
        a.Host = rest.substr(0, colon);
    }
    const std::string port = rest.substr(colon + 1);
    if (a.Host.empty() || a.Host.find_first_of("/[] ") != std::string::npos || port.empty() ||
        port.size() > 5)
        return false;
    uint32_t n = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + uint32_t(c - '0');
    }
    if (n == 0 || n > 65535)
        return false;
    a.Port = uint16_t(n);
    *address = a;
    return true;
}

TNetworkLimits TNetworkSerialDevice::Limits() {
    return CurrentLimits();
}

void TNetworkSerialDevice::SetLimits(const TNetworkLimits& limits) {
    std::lock_guard lock(g_limitsLock);
    g_limits = limits;
}

namespace {

std::unique_ptr<TSerialDevice> OpenNow(const TNetworkAddress& address, const TNetworkLimits& limits,
                                       int* error) {
    const int netFd = Connect(address, limits.ConnectMs, error);
    if (netFd < 0)
        return nullptr;
    if (!address.Rfc2217)
        return TStreamSerialDevice::Create(std::make_unique<TRawNetworkBackend>(netFd), error);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) < 0) {
        *error = errno;
        ::close(netFd);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        *error = errno;
        ::close(netFd);
        ::close(pair[0]);
        ::close(pair[1]);
        return nullptr;
    }
    auto backend = std::make_unique<TRfc2217Backend>(netFd, pair[0], pair[1], wakeFd, limits);
    if (int e = backend->Start(limits.ConnectMs)) {
        *error = e;
        return nullptr;
    }
    TRfc2217Backend* raw = backend.get();
    auto device = TStreamSerialDevice::Create(std::move(backend), error);
    if (!device)
        return nullptr;
    if (int e = raw->Attach(device.get())) {
        *error = e;
        return nullptr;
    }
    return device;
}

} // namespace

std::unique_ptr<TSerialDevice> TNetworkSerialDevice::Open(const std::string& name, int* error,
                                                          int connectTimeoutMs) {
    TNetworkAddress address;
    if (!ParseNetworkPortName(name, &address)) {
        *error = EINVAL;
        return nullptr;
    }
    TNetworkLimits limits = CurrentLimits();
    if (connectTimeoutMs > 0)
        limits.ConnectMs = connectTimeoutMs;
    const bool v6 = address.Host.find(':') != std::string::npos;
    const std::string hostPort =
        (v6 ? "[" + address.Host + "]" : address.Host) + ":" + std::to_string(address.Port);
    NotifyConnecting(hostPort);
    std::unique_ptr<TSerialDevice> device;
    int e = 0;
    RunNetworkWork([&] {
        device = OpenNow(address, limits, &e);
        return 0;
    });
    NotifyConnecting({});
    if (!device)
        *error = e;
    return device;
}

int ProbeNetworkPort(const std::string& name, int timeoutMs, int cancelFd) {
    TNetworkAddress address;
    if (!ParseNetworkPortName(name, &address))
        return EINVAL;
    int error = 0;
    const int fd = Connect(address, timeoutMs, &error, cancelFd);
    if (fd < 0)
        return error;
    ::close(fd);
    return 0;
}
