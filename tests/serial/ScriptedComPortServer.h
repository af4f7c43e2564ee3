#pragma once

// A COM-PORT server played by the test, in-process: a thread with a listening socket that follows a
// script, for what a real server never does on purpose (silence, one answer only, no purge answer, a
// negotiation flood, a subnegotiation broken off, garbage answers, a stream the client does not read)
// and for what ser2net on a pty cannot show (changed values, modem and line notifications). It takes
// one connection after another; the data bytes it receives are kept.

#include "serial/platform/NetworkSerialDevice.h"
#include "serial/platform/TelnetComPort.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Short network limits for one test, so that every wait against a misbehaving server ends quickly; the
// limits in force before come back when it goes.
class TShortNetworkLimits {
public:
    TShortNetworkLimits(int answerMs, int purgeMs, int drainMs) : m_saved(TNetworkSerialDevice::Limits()) {
        TNetworkLimits limits;
        limits.ConnectMs = answerMs;
        limits.AnswerMs = answerMs;
        limits.PurgeMs = purgeMs;
        limits.DrainMs = drainMs;
        limits.StallMs = 2000;
        TNetworkSerialDevice::SetLimits(limits);
    }
    ~TShortNetworkLimits() { TNetworkSerialDevice::SetLimits(m_saved); }
    TShortNetworkLimits(const TShortNetworkLimits&) = delete;
    TShortNetworkLimits& operator=(const TShortNetworkLimits&) = delete;

private:
    TNetworkLimits m_saved;
};

struct TServerScript {
    TServerScript() = default;
    TServerScript(const TServerScript& o)
        : Silent(o.Silent), AgreeBinary(o.AgreeBinary), AnswerLimit(o.AnswerLimit.load()),
          AnswerPurge(o.AnswerPurge), FloodNegotiation(o.FloodNegotiation), Read(o.Read.load()),
          Greeting(o.Greeting), CloseAfterGreeting(o.CloseAfterGreeting), Answer(o.Answer) {}

    bool Silent = false;     // accepts and never says or reads anything
    bool AgreeBinary = true; // WILL BINARY and DO BINARY (else WONT / DONT)
    // Answers this many commands, then holds the answers back (-1: answers every one). Raising it lets
    // the held answers go, late, in front of the next one.
    std::atomic<int> AnswerLimit{-1};
    bool AnswerPurge = true;       // PURGE-DATA is answered
    bool FloodNegotiation = false; // IAC DO 99 without end, reading nothing
    std::atomic<bool> Read{true};  // reads what the client sends (after the greeting); may stop later
    std::vector<uint8_t> Greeting; // raw bytes sent once the option is agreed
    bool CloseAfterGreeting = false;
    // The value of the answer to a command (by default the value asked for).
    std::function<std::vector<uint8_t>(uint8_t code, const std::vector<uint8_t>& value)> Answer =
        [](uint8_t, const std::vector<uint8_t>& value) { return value; };
};

// The default script with what `adjust` changes.
template <class F> TServerScript Adjusted(F&& adjust) {
    TServerScript script;
    adjust(script);
    return script;
}

class TScriptedComPortServer {
public:
    explicit TScriptedComPortServer(TServerScript script = {}) : Script(std::move(script)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listener, 4);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        Name = "rfc2217://127.0.0.1:" + std::to_string(Port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~TScriptedComPortServer() {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        {
            std::lock_guard lock(m_lock);
            if (m_client >= 0)
                ::shutdown(m_client, SHUT_RDWR);
        }
        m_thread.join();
        for (std::thread& t : m_senders)
            t.join();
        ::close(m_listener);
    }

    // Sends IAC SB COM-PORT code+100 value IAC SE to the client.
    void Notify(uint8_t code, uint8_t value) {
        std::vector<uint8_t> out;
        Telnet::AppendComPortByte(uint8_t(code + Telnet::kServerOffset), value, out);
        Send(out);
    }
    void Send(const std::vector<uint8_t>& bytes) {
        std::lock_guard lock(m_lock);
        (void)!::send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // Sends data (IAC doubled) from a thread of its own, so the test goes on while the client does not
    // read; the answers to commands queue behind it.
    void StreamData(std::vector<uint8_t> data) {
        std::vector<uint8_t> escaped;
        Telnet::EscapeData(data, escaped);
        int client;
        {
            std::lock_guard lock(m_lock);
            client = m_client;
        }
        m_senders.emplace_back([this, client, escaped = std::move(escaped)] { SendAll(client, escaped); });
    }
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> Commands() {
        std::lock_guard lock(m_lock);
        return m_commands;
    }
    std::vector<uint8_t> Data() {
        std::lock_guard lock(m_lock);
        return m_data;
    }
    std::string TcpName() const { return "tcp://127.0.0.1:" + std::to_string(Port); }
    int Connections() const { return m_connections; }
    bool ClientGone() const { return m_clientGone; }

    TServerScript Script;
    std::string Name;
    uint16_t Port = 0;

private:
    void Serve() {
        while (!m_stop) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            {
                std::lock_guard lock(m_lock);
                m_client = client;
            }
            ++m_connections;
            m_clientGone = false;
            Talk(client);
            m_clientGone = true;
            {
                std::lock_guard lock(m_lock);
                m_client = -1;
            }
            ::close(client);
        }
    }

    bool SendAll(int client, const std::vector<uint8_t>& out) {
        std::lock_guard lock(m_sendLock);
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::send(client, out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

    // Holds the connection without a word until the client or the test lets go.
    void HoldUntilGone(int client) {
        pollfd p{client, POLLRDHUP, 0};
        while (!m_stop && ::poll(&p, 1, 50) == 0) {
        }
    }

    void Talk(int client) {
        if (Script.Silent)
            return HoldUntilGone(client);
        std::vector<uint8_t> hello = {Telnet::kIac, Telnet::kDo, Telnet::kOptComPort};
        const uint8_t binary[] = {Telnet::kIac, Script.AgreeBinary ? Telnet::kWill : Telnet::kWont, 0,
                                  Telnet::kIac, Script.AgreeBinary ? Telnet::kDo : Telnet::kDont,   0};
        hello.insert(hello.end(), std::begin(binary), std::end(binary));
        hello.insert(hello.end(), Script.Greeting.begin(), Script.Greeting.end());
        if (!SendAll(client, hello) || Script.CloseAfterGreeting)
            return;
        if (Script.FloodNegotiation) {
            std::vector<uint8_t> flood;
            for (int i = 0; i < 4096; ++i)
                flood.insert(flood.end(), {Telnet::kIac, Telnet::kDo, 99});
            while (!m_stop && SendAll(client, flood)) {
            }
            return;
        }
        // The client's bytes: data, negotiation (skipped) and COM-PORT subnegotiations.
        std::vector<uint8_t> sb;
        int state = 0; // 0 data, 1 IAC, 2 IAC SB, 3 in SB, 4 IAC in SB, 5 skip one (negotiation)
        uint8_t buffer[4096];
        for (;;) {
            if (!Script.Read)
                return HoldUntilGone(client);
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            std::lock_guard lock(m_lock);
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = buffer[i];
                switch (state) {
                case 0:
                    if (b == Telnet::kIac)
                        state = 1;
                    else
                        m_data.push_back(b);
                    break;
                case 1:
                    if (b == Telnet::kIac)
                        m_data.push_back(b);
                    state = b == Telnet::kSb ? 2 : b >= Telnet::kWill && b != Telnet::kIac ? 5 : 0;
                    break;
                case 2:
                    sb.clear();
                    state = 3;
                    break;
                case 3:
                    if (b == Telnet::kIac)
                        state = 4;
                    else
                        sb.push_back(b);
                    break;
                case 4:
                    if (b == Telnet::kIac) {
                        sb.push_back(b);
                        state = 3;
                    } else {
                        Handle(client, sb);
                        state = 0;
                    }
                    break;
                default:
                    state = 0;
                    break;
                }
            }
        }
    }

    // With m_lock held.
    void Handle(int client, const std::vector<uint8_t>& sb) {
        if (sb.empty())
            return;
        const std::vector<uint8_t> value(sb.begin() + 1, sb.end());
        m_commands.emplace_back(sb[0], value);
        if (sb[0] == Telnet::kPurgeData && !Script.AnswerPurge)
            return;
        std::vector<uint8_t> answer;
        Telnet::AppendComPort(uint8_t(sb[0] + Telnet::kServerOffset), Script.Answer(sb[0], value), answer);
        const int limit = Script.AnswerLimit;
        if (limit >= 0 && m_answered >= limit) {
            m_held.insert(m_held.end(), answer.begin(), answer.end());
            return;
        }
        ++m_answered;
        std::vector<uint8_t> out;
        out.swap(m_held);
        out.insert(out.end(), answer.begin(), answer.end());
        m_lock.unlock();
        SendAll(client, out);
        m_lock.lock();
    }

    int m_listener = -1;
    int m_client = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_clientGone{false};
    int m_answered = 0;
    std::thread m_thread;
    std::vector<std::thread> m_senders;
    std::mutex m_lock;
    std::mutex m_sendLock;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> m_commands;
    std::vector<uint8_t> m_data;
    std::vector<uint8_t> m_held;
};
