#include "serial/platform/NetworkSerialDevice.h"

#include "serial/platform/StreamSerialDevice.h"
#include "serial/platform/TelnetComPort.h"

#include <array>
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
// How long a purge waits for the server to confirm it.
constexpr int kPurgeAnswerMs = 1000;

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

// Connects to the first address of the host that takes the connection; -1 with *error otherwise.
int Connect(const TNetworkAddress& address, int timeoutMs, int* error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.Port);
    const int rc = ::getaddrinfo(address.Host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        *error = rc == EAI_SYSTEM && errno ? errno : ENXIO;
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
            pollfd p{fd, POLLOUT, 0};
            int n;
            do {
                n = ::poll(&p, 1, MsLeft(deadline));
            } while (n < 0 && errno == EINTR);
            if (n == 0) {
                e = ETIMEDOUT;
            } else if (n < 0) {
                e = errno;
            } else {
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
        if (e == ETIMEDOUT || MsLeft(deadline) == 0) {
            last = ETIMEDOUT;
            break;
        }
    }
    *error = last;
    return -1;
}

// A raw byte stream: the engine works on the socket itself.
class TRawNetworkBackend final : public TSerialBackend {
public:
    explicit TRawNetworkBackend(int fd) : m_fd(fd) {}
    ~TRawNetworkBackend() override { ::close(m_fd); }

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

// The COM-PORT option over a relay thread; see the header.
class TRfc2217Backend final : public TSerialBackend, private Telnet::TTelnetHandler {
public:
    static constexpr size_t kHighWater = 256 * 1024; // a queue this full stops reading its source
    static constexpr size_t kReadBytes = 64 * 1024;

    TRfc2217Backend(int netFd, int engineFd, int relayFd, int wakeFd)
        : m_netFd(netFd), m_engineFd(engineFd), m_relayFd(relayFd), m_wakeFd(wakeFd) {}

    ~TRfc2217Backend() override {
        Detach();
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
            return e;
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

    // Events are raised into the engine by a thread of their own: the engine calls ApplyState with its
    // lock held while the relay must go on reading the answers.
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
    TDcb InitialState() override { return m_initial; }

    int ApplyState(const TDcb& dcb) override {
        TLineValues wanted;
        if (int e = DcbToLineValues(dcb, &wanted))
            return e;
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
    }

    int Flush(bool input, bool output) override {
        std::unique_lock lock(m_lock);
        if (input) {
            m_toEngine.clear();
            DrainSocket(m_engineFd);
        }
        if (output)
            DrainSocket(m_relayFd);
        if ((input || output) && !m_gone) {
            const uint8_t which = input && output ? Telnet::kPurgeBoth
                                  : input         ? Telnet::kPurgeReceive
                                                  : Telnet::kPurgeTransmit;
            m_answers[Telnet::kPurgeData].reset();
            Telnet::AppendComPortByte(Telnet::kPurgeData, which, m_toNet);
            Wake();
            // Until the server has purged, what the far end sends next could still be thrown away there;
            // waiting for its answer keeps every byte that arrives after the purge returned. What came in
            // before the answer is stale. A server that does not answer is not waited for long.
            const auto deadline = Clock::now() + std::chrono::milliseconds(kPurgeAnswerMs);
            m_changed.wait_until(lock, deadline,
                                 [this] { return m_gone || m_answers[Telnet::kPurgeData].has_value(); });
            if (input) {
                m_toEngine.clear();
                DrainSocket(m_engineFd);
            }
        }
        return 0;
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

    // Sends the settings (0 values ask) and waits for the server's answer to each.
    int Exchange(std::unique_lock<std::mutex>& lock, const TLineValues& wanted, TLineValues* got) {
        for (uint8_t code = Telnet::kSetBaudRate; code <= Telnet::kSetControl; ++code)
            m_answers[code].reset();
        Telnet::AppendSetBaudRate(wanted.Baud, m_toNet);
        Telnet::AppendComPortByte(Telnet::kSetDataSize, wanted.DataSize, m_toNet);
        Telnet::AppendComPortByte(Telnet::kSetParity, wanted.Parity, m_toNet);
        Telnet::AppendComPortByte(Telnet::kSetStopSize, wanted.StopSize, m_toNet);
        // Control value 0 asks for the flow control.
        Telnet::AppendComPortByte(Telnet::kSetControl, wanted.Flow, m_toNet);
        Wake();
        const auto deadline = Clock::now() + std::chrono::milliseconds(TNetworkSerialDevice::kAnswerMs);
        const bool answered = m_changed.wait_until(lock, deadline, [this] {
            if (m_gone)
                return true;
            for (uint8_t code = Telnet::kSetBaudRate; code <= Telnet::kSetControl; ++code)
                if (!m_answers[code])
                    return false;
            return true;
        });
        if (m_gone)
            return EIO;
        if (!answered)
            return ETIMEDOUT;
        got->Baud = m_answers[Telnet::kSetBaudRate]->Number();
        got->DataSize = m_answers[Telnet::kSetDataSize]->Byte();
        got->Parity = m_answers[Telnet::kSetParity]->Byte();
        got->StopSize = m_answers[Telnet::kSetStopSize]->Byte();
        got->Flow = m_answers[Telnet::kSetControl]->Byte();
        return 0;
    }

    // With m_lock held (called from the decoder in the relay thread).
    void OnNegotiation(uint8_t cmd, uint8_t option) override {
        m_negotiator.Answer(cmd, option, m_toNet);
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
        } else if (answer.Code == Telnet::kSetControl && answer.Byte() > Telnet::kControlFlowHardware) {
            // The answer to a DTR, RTS or break request: not the flow control an exchange waits for.
        } else if (answer.Code < m_answers.size()) {
            m_answers[answer.Code] = answer;
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
            pollfd fds[3] = {{m_wakeFd, POLLIN, 0}, {m_netFd, 0, 0}, {m_relayFd, 0, 0}};
            if (m_toEngine.size() < kHighWater)
                fds[1].events |= POLLIN;
            if (!m_toNet.empty())
                fds[1].events |= POLLOUT;
            if (m_toNet.size() < kHighWater)
                fds[2].events |= POLLIN;
            if (!m_toEngine.empty())
                fds[2].events |= POLLOUT;
            lock.unlock();
            const int n = ::poll(fds, 3, -1);
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
                    Telnet::EscapeData(std::span(buffer.data(), size_t(got)), m_toNet);
            }
            int error = 0;
            if (!SendSome(m_netFd, m_toNet, &error)) {
                Gone(error);
                break;
            }
            if (!SendSome(m_relayFd, m_toEngine, &error)) {
                // The engine's end is gone: the device is closing.
                break;
            }
        }
    }

    int m_netFd;
    int m_engineFd; // the engine's end of the socket pair
    int m_relayFd;  // the relay's end
    int m_wakeFd;
    std::thread m_relay;
    std::thread m_notifier;
    TStreamSerialDevice* m_engine = nullptr;

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_quit = false;
    bool m_detached = false;
    bool m_gone = false;
    int m_goneError = 0;
    Telnet::TTelnetDecoder m_decoder;
    Telnet::TTelnetNegotiator m_negotiator;
    std::vector<uint8_t> m_toNet;    // escaped data and commands for the server
    std::vector<uint8_t> m_toEngine; // plain data for the engine
    std::array<std::optional<Telnet::TComPortAnswer>, Telnet::kPurgeData + 1> m_answers;
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

std::unique_ptr<TSerialDevice> TNetworkSerialDevice::Open(const std::string& name, int* error,
                                                          int connectTimeoutMs) {
    TNetworkAddress address;
    if (!ParseNetworkPortName(name, &address)) {
        *error = EINVAL;
        return nullptr;
    }
    const int netFd = Connect(address, connectTimeoutMs, error);
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
    auto backend = std::make_unique<TRfc2217Backend>(netFd, pair[0], pair[1], wakeFd);
    if (int e = backend->Start(connectTimeoutMs)) {
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

int ProbeNetworkPort(const std::string& name, int timeoutMs) {
    TNetworkAddress address;
    if (!ParseNetworkPortName(name, &address))
        return EINVAL;
    int error = 0;
    const int fd = Connect(address, timeoutMs, &error);
    if (fd < 0)
        return error;
    ::close(fd);
    return 0;
}
