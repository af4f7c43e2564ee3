// Ports on a network device server: names, connection failures, the device and the port against a
// real ser2net whose serial side is a pty that the test plays, and a scripted server for what ser2net
// on a pty cannot show (changed values, modem and line notifications).

#include "serial/ComError.h"
#include "serial/ComPort.h"
#include "serial/platform/NetworkSerialDevice.h"
#include "serial/platform/TelnetComPort.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"
#include "Ser2NetSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <termios.h>
#include <thread>

namespace {

TDcb Dcb(uint32_t baud, uint8_t stopBits = kOneStopBit) {
    TDcb dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.StopBits = stopBits;
    dcb.Flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

struct TPtySettings {
    termios Termios{};
    uint32_t Speed = 0;
};

TPtySettings ReadBack(const std::string& path) {
    TPtySettings s;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    ::tcgetattr(fd, &s.Termios);
    uint32_t in = 0;
    GetSpeeds(fd, &s.Speed, &in);
    ::close(fd);
    return s;
}

QByteArray AllBytes() {
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return all;
}

// Reads until count bytes arrived (total timeout per call), as the port's reads do.
QByteArray ReadDevice(TSerialDevice& device, int count) {
    QByteArray out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        QByteArray chunk(count - out.size(), '\0');
        TRecord rec;
        uint32_t got = 0;
        int r = device.ReadFile(chunk.data(), uint32_t(chunk.size()), &got, &rec.Ov);
        if (r == kErrorIoPending)
            r = rec.Finish(&got);
        if (r != 0)
            break;
        out.append(chunk.left(int(got)));
    }
    return out;
}

bool WriteDevice(TSerialDevice& device, const QByteArray& bytes) {
    TRecord rec;
    uint32_t written = 0;
    int r = device.WriteFile(bytes.data(), uint32_t(bytes.size()), &written, &rec.Ov);
    if (r == kErrorIoPending)
        r = rec.Finish(&written);
    return r == 0 && written == uint32_t(bytes.size());
}

// A pty, ser2net in front of it, and the names of both of its ports.
class NetworkDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (TSer2Net::Binary().isEmpty())
            GTEST_SKIP() << "ser2net is not installed (scripts/setup-debian.sh installs it)";
        m_server = std::make_unique<TSer2Net>(m_pty.SlavePath());
        ASSERT_TRUE(m_server->Start()) << m_server->Error;
    }

    std::unique_ptr<TSerialDevice> Open(const std::string& name) {
        int error = 0;
        auto device = OpenSerialDevice(name, &error);
        EXPECT_TRUE(device) << name << ": " << strerror(error);
        if (device) {
            EXPECT_EQ(device->SetCommTimeouts({0, 0, 200, 0, 0}), 0);
        }
        return device;
    }

    TPtyPair m_pty;
    std::unique_ptr<TSer2Net> m_server;
};

} // namespace

TEST(NetworkPortName, SplitsSchemeHostAndPort) {
    struct TCase {
        const char* Name;
        bool Ok;
        TNetworkAddress Address;
    };
    // clang-format off
    const TCase cases[] = {
        {"rfc2217://127.0.0.1:2001", true, {true, "127.0.0.1", 2001}},
        {"RFC2217://host.example:7000", true, {true, "host.example", 7000}},
        {"tcp://[::1]:65535", true, {false, "::1", 65535}},
        {"tcp://[fe80::1%eth0]:23", true, {false, "fe80::1%eth0", 23}},
        {"tcp://localhost:1", true, {false, "localhost", 1}},
        {"tcp://::1:23", false, {}},          // IPv6 needs brackets
        {"tcp://host:0", false, {}},
        {"tcp://host:65536", false, {}},
        {"tcp://host:", false, {}},
        {"tcp://:23", false, {}},
        {"tcp://host:23/x", false, {}},
        {"tcp://[::1]23", false, {}},
        {"tcp://host:2x", false, {}},
        {"udp://host:23", false, {}},
        {"/dev/ttyUSB0", false, {}},
    };
    // clang-format on
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TNetworkAddress a;
        EXPECT_EQ(ParseNetworkPortName(c.Name, &a), c.Ok);
        if (c.Ok) {
            EXPECT_EQ(a, c.Address);
        }
    }
    EXPECT_TRUE(IsNetworkPortName("Tcp://x"));
    EXPECT_FALSE(IsNetworkPortName("ttyS1"));
}

TEST(NetworkPortName, ConnectFailuresGiveTheSystemsError) {
    int error = 0;
    const uint16_t port = TSer2Net::FreePort();
    EXPECT_FALSE(OpenSerialDevice("rfc2217://127.0.0.1:" + std::to_string(port), &error));
    EXPECT_EQ(error, ECONNREFUSED);
    EXPECT_FALSE(OpenSerialDevice("tcp://[::1]:" + std::to_string(port), &error));
    EXPECT_TRUE(error == ECONNREFUSED || error == EADDRNOTAVAIL || error == ENETUNREACH) << error;
    EXPECT_FALSE(OpenSerialDevice("tcp://cv-no-such-host.invalid:23", &error));
    EXPECT_EQ(error, ENXIO);
    EXPECT_FALSE(OpenSerialDevice("tcp://127.0.0.1:0", &error));
    EXPECT_EQ(error, EINVAL);
}

TEST(NetworkPortName, ServerThatNeverAnswersTheOptionTimesOut) {
    // A listener that accepts (the kernel does) but never speaks: the option is never agreed.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    int error = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        TNetworkSerialDevice::Open("rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), &error, 300));
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The raw kind needs no agreement.
    auto raw =
        TNetworkSerialDevice::Open("tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), &error, 300);
    EXPECT_TRUE(raw);
    raw.reset();
    ::close(listener);
}

TEST_F(NetworkDevice, EveryByteValuePassesBothWays) {
    for (const std::string& name : {m_server->Rfc2217Name(), m_server->TcpName()}) {
        SCOPED_TRACE(name);
        auto device = Open(name);
        ASSERT_TRUE(device);
        ASSERT_EQ(device->SetCommState(Dcb(38400)), 0);
        // Twice, so that IAC pairs and IAC at chunk ends are both seen.
        const QByteArray all = AllBytes() + AllBytes();
        ASSERT_TRUE(WriteDevice(*device, all));
        EXPECT_EQ(m_pty.Read(all.size()), all);
        m_pty.Write(all);
        EXPECT_EQ(ReadDevice(*device, all.size()), all);
        device.reset();
        EXPECT_TRUE(WaitUntil([&] { return !m_server->HoldsDevice(); }));
    }
}

TEST_F(NetworkDevice, LineSettingsArriveAtThePtyThroughTheOption) {
    auto device = Open(m_server->Rfc2217Name());
    ASSERT_TRUE(device);
    // What the server had is the starting state.
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);

    ASSERT_EQ(device->SetCommState(Dcb(9600)), 0);
    EXPECT_EQ(ReadBack(m_pty.SlavePath()).Speed, 9600u);
    ASSERT_EQ(device->SetCommState(Dcb(57600, kTwoStopBits)), 0);
    TPtySettings s = ReadBack(m_pty.SlavePath());
    EXPECT_EQ(s.Speed, 57600u);
    EXPECT_TRUE(s.Termios.c_cflag & CSTOPB);
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb, Dcb(57600, kTwoStopBits));

    // A block the option cannot carry is refused before anything is sent.
    TDcb bad = Dcb(9600);
    bad.ByteSize = 9;
    EXPECT_EQ(device->SetCommState(bad), EINVAL);
    EXPECT_EQ(ReadBack(m_pty.SlavePath()).Speed, 57600u);

    // DTR and RTS go out as requests; a pty has no lines to show them, and reports no modem signals.
    EXPECT_EQ(device->EscapeCommFunction(kClrDtr), 0);
    EXPECT_EQ(device->EscapeCommFunction(kSetRts), 0);
    uint32_t status = 0xFF;
    EXPECT_EQ(device->GetCommModemStatus(&status), 0);
    EXPECT_EQ(status, 0u);
    // Data still passes after the requests (the server took them as commands, not data).
    ASSERT_TRUE(WriteDevice(*device, "after"));
    EXPECT_EQ(m_pty.Read(5), QByteArray("after"));
}

TEST_F(NetworkDevice, RawPortKeepsSettingsWithoutEffect) {
    auto device = Open(m_server->TcpName());
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetCommState(Dcb(9600, kTwoStopBits)), 0);
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb, Dcb(9600, kTwoStopBits));
    ASSERT_TRUE(WriteDevice(*device, "x"));
    EXPECT_EQ(m_pty.Read(1), QByteArray("x"));
    EXPECT_EQ(ReadBack(m_pty.SlavePath()).Speed, 38400u); // the server's own setting
}

TEST_F(NetworkDevice, PurgeDropsQueuedInput) {
    auto device = Open(m_server->Rfc2217Name());
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetCommState(Dcb(38400)), 0);
    m_pty.Write("stale");
    TComStat stat;
    ASSERT_TRUE(WaitUntil([&] { return device->ClearCommError(nullptr, &stat) == 0 && stat.cbInQue == 5; }));
    ASSERT_EQ(device->PurgeComm(kPurgeRxClear), 0);
    ASSERT_EQ(device->ClearCommError(nullptr, &stat), 0);
    EXPECT_EQ(stat.cbInQue, 0u);
    m_pty.Write("new");
    EXPECT_EQ(ReadDevice(*device, 3), QByteArray("new"));
}

TEST_F(NetworkDevice, ServerGoingAwayIsALostDeviceAndItsReturnCanBeOpened) {
    for (const bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
        const std::string name = rfc2217 ? m_server->Rfc2217Name() : m_server->TcpName();
        auto device = Open(name);
        ASSERT_TRUE(device);
        ASSERT_EQ(device->SetCommTimeouts({0, 0, 0, 0, 0}), 0);
        ASSERT_EQ(device->SetCommMask(kEvRxChar), 0);
        uint32_t mask = 0xFFFF, got = 0;
        TRecord wait, read;
        char buffer[16];
        ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
        ASSERT_EQ(device->ReadFile(buffer, sizeof buffer, &got, &read.Ov), kErrorIoPending);

        m_server->Stop();
        EXPECT_EQ(read.Finish(), EIO);
        EXPECT_EQ(wait.Finish(), EIO);
        EXPECT_EQ(mask, 0u);
        TRecord again;
        EXPECT_EQ(device->WriteFile("x", 1, &got, &again.Ov), EIO);
        EXPECT_EQ(device->SetCommState(Dcb(9600)), EIO);
        // What closing needs still works.
        EXPECT_EQ(device->PurgeComm(kPurgeTxAbort | kPurgeRxAbort), 0);
        EXPECT_EQ(device->SetCommMask(0), 0);
        device.reset();

        int error = 0;
        EXPECT_FALSE(OpenSerialDevice(name, &error));
        EXPECT_EQ(error, ECONNREFUSED);
        ASSERT_TRUE(m_server->Start()) << m_server->Error;
        device = Open(name);
        ASSERT_TRUE(device);
        ASSERT_TRUE(WaitUntil([&] { return m_server->HoldsDevice(); }));
        m_pty.Write("back");
        EXPECT_EQ(ReadDevice(*device, 4), QByteArray("back"));
        device.reset();
        EXPECT_TRUE(WaitUntil([&] { return !m_server->HoldsDevice(); }));
    }
}

// The port itself on the network, as the console uses it: 9600 baud, a command out, the answer in
// through OnRxChar, then through a link that takes the data.
TEST_F(NetworkDevice, PortSendsAndReceivesThroughBothKinds) {
    for (const bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
        TComPort port;
        QByteArray received;
        port.OnRxChar = [&](TCustomComPort* p, int count) {
            QByteArray chunk(count, '\0');
            chunk.resize(p->ReadBytes(chunk.data(), count));
            received += chunk;
        };
        port.SetPort(QString::fromStdString(rfc2217 ? m_server->Rfc2217Name() : m_server->TcpName()));
        port.SetBaudRate(br9600);
        port.SetConnected(true);
        ASSERT_TRUE(port.Connected());
        if (rfc2217) {
            EXPECT_EQ(ReadBack(m_pty.SlavePath()).Speed, 9600u);
        }

        EXPECT_EQ(port.WriteText("hello"), 5);
        EXPECT_EQ(m_pty.Read(5), QByteArray("hello"));
        m_pty.Write("world\r\n");
        EXPECT_TRUE(WaitUntil([&] { return received.size() >= 7; }));
        EXPECT_EQ(received, QByteArray("world\r\n"));

        TComLink link;
        QByteArray linked;
        link.OnRxBuf = [&](TCustomComPort*, const void* b, int n) {
            linked.append(static_cast<const char*>(b), n);
        };
        port.RegisterLink(&link);
        EXPECT_EQ(port.WriteText("again"), 5);
        EXPECT_EQ(m_pty.Read(5), QByteArray("again"));
        m_pty.Write("ok\r\n");
        EXPECT_TRUE(WaitUntil([&] { return linked.size() >= 4; }));
        EXPECT_EQ(linked, QByteArray("ok\r\n"));
        port.SetConnected(false);
        port.UnregisterLink(&link);
        EXPECT_TRUE(WaitUntil([&] { return !m_server->HoldsDevice(); }));
    }
}

namespace {

// A COM-PORT server played by the test, for what ser2net on a pty cannot show: a server that changes a
// value, and modem and line state notifications. It agrees to the option at once and answers each
// command through Answer (by default with the value asked for).
class TScriptedServer {
public:
    std::function<std::vector<uint8_t>(uint8_t code, const std::vector<uint8_t>& value)> Answer =
        [](uint8_t, const std::vector<uint8_t>& value) { return value; };

    TScriptedServer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listener, 1);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        Name = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        m_thread = std::thread([this] { Serve(); });
    }
    ~TScriptedServer() {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_client >= 0)
            ::shutdown(m_client, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
        if (m_client >= 0)
            ::close(m_client);
    }
    // Sends IAC SB COM-PORT code+100 value IAC SE to the client.
    void Notify(uint8_t code, uint8_t value) {
        std::vector<uint8_t> out;
        Telnet::AppendComPortByte(uint8_t(code + Telnet::kServerOffset), value, out);
        std::lock_guard lock(m_lock);
        (void)!::send(m_client, out.data(), out.size(), MSG_NOSIGNAL);
    }
    // The commands received so far, as (code, value).
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> Commands() {
        std::lock_guard lock(m_lock);
        return m_commands;
    }

    std::string Name;

private:
    void Serve() {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        {
            std::lock_guard lock(m_lock);
            m_client = client;
        }
        const uint8_t agree[] = {Telnet::kIac, Telnet::kDo, Telnet::kOptComPort};
        (void)!::send(client, agree, sizeof agree, MSG_NOSIGNAL);
        // Only the client's COM-PORT subnegotiations matter: IAC SB 44 code value IAC SE.
        std::vector<uint8_t> sb;
        int state = 0; // 0 data, 1 IAC, 2 IAC SB, 3 in SB, 4 IAC in SB, 5 skip one (negotiation)
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = buffer[i];
                switch (state) {
                case 0:
                    state = b == Telnet::kIac ? 1 : 0;
                    break;
                case 1:
                    state = b == Telnet::kSb ? 2 : b >= Telnet::kWill ? 5 : 0;
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
    void Handle(int client, const std::vector<uint8_t>& sb) {
        if (sb.empty())
            return;
        const std::vector<uint8_t> value(sb.begin() + 1, sb.end());
        std::vector<uint8_t> out;
        Telnet::AppendComPort(uint8_t(sb[0] + Telnet::kServerOffset), Answer(sb[0], value), out);
        std::lock_guard lock(m_lock);
        m_commands.emplace_back(sb[0], value);
        (void)!::send(client, out.data(), out.size(), MSG_NOSIGNAL);
    }

    int m_listener = -1;
    int m_client = -1;
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> m_commands;
};

std::vector<uint8_t> Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

} // namespace

TEST(NetworkDeviceScripted, ChangedValueIsARefusalAndThePreviousSettingsAreSentAgain) {
    TScriptedServer server;
    // The server's line runs at 38400; it cannot do 9600 and says 19200 instead.
    server.Answer = [](uint8_t code, const std::vector<uint8_t>& value) {
        if (code == Telnet::kSetBaudRate)
            return value == Be32(0) ? Be32(38400) : value == Be32(9600) ? Be32(19200) : value;
        if (code >= Telnet::kSetDataSize && code <= Telnet::kSetControl && value == std::vector<uint8_t>{0})
            return std::vector<uint8_t>{code == Telnet::kSetDataSize ? uint8_t(8) : uint8_t(1)};
        return value;
    };
    int error = 0;
    auto device = OpenSerialDevice(server.Name, &error);
    ASSERT_TRUE(device) << strerror(error);
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    ASSERT_EQ(device->SetCommState(Dcb(57600)), 0);
    EXPECT_EQ(device->SetCommState(Dcb(9600)), EINVAL);
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    // The last baud rate asked for is the one that was in force.
    std::vector<uint8_t> lastBaud;
    for (const auto& [code, value] : server.Commands())
        if (code == Telnet::kSetBaudRate)
            lastBaud = value;
    EXPECT_EQ(lastBaud, Be32(57600));

    // The port reports the refusal as a refused setting.
    device.reset();
    TScriptedServer again;
    again.Answer = server.Answer;
    TComPort port;
    port.SetPort(QString::fromStdString(again.Name));
    port.SetBaudRate(br9600);
    int code = 0;
    try {
        port.SetConnected(true);
    } catch (const EComPort& e) {
        code = e.Code();
    }
    EXPECT_EQ(code, 7);
    EXPECT_FALSE(port.Connected());
}

TEST(NetworkDeviceScripted, ModemAndLineNotificationsRaiseEvents) {
    TScriptedServer server;
    int error = 0;
    auto device = OpenSerialDevice(server.Name, &error);
    ASSERT_TRUE(device) << strerror(error);
    ASSERT_EQ(device->SetCommMask(kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvBreak | kEvErr), 0);
    uint32_t mask = 0;
    TRecord wait;
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    server.Notify(Telnet::kNotifyModemState,
                  Telnet::kModemCts | Telnet::kModemDsr | Telnet::kModemDeltaCts | Telnet::kModemDeltaDsr);
    ASSERT_EQ(wait.Finish(), 0);
    EXPECT_EQ(mask & (kEvCts | kEvDsr), kEvCts | kEvDsr);
    uint32_t status = 0;
    ASSERT_EQ(device->GetCommModemStatus(&status), 0);
    EXPECT_EQ(status, kMsCtsOn | kMsDsrOn);

    // A ring comes and goes; DCD rises without a delta bit (some servers send none).
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    server.Notify(Telnet::kNotifyModemState,
                  Telnet::kModemCts | Telnet::kModemDsr | Telnet::kModemDcd | Telnet::kModemRing);
    ASSERT_EQ(wait.Finish(), 0);
    EXPECT_TRUE(WaitUntil([&] {
        uint32_t s = 0;
        return device->GetCommModemStatus(&s) == 0 && s == (kMsCtsOn | kMsDsrOn | kMsRlsdOn | kMsRingOn);
    }));

    server.Notify(Telnet::kNotifyLineState, Telnet::kLineBreak | Telnet::kLineFraming);
    uint32_t errors = 0;
    EXPECT_TRUE(WaitUntil([&] { return device->ClearCommError(&errors, nullptr) == 0 && errors != 0; }));
    EXPECT_EQ(errors, kCeBreak | kCeFrame);
}

// A dropped connection is a lost device for the port: it closes itself and tells OnDeviceLost; once the
// server is back, opening again works.
TEST_F(NetworkDevice, PortClosesItselfWhenTheServerGoesAndOpensAgainWhenItIsBack) {
    for (const bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
        TComPort port;
        int lostCount = 0, lostError = 0;
        port.OnDeviceLost = [&](TCustomComPort* sender, int error) {
            EXPECT_FALSE(sender->Connected());
            lostError = error;
            ++lostCount;
        };
        port.SetPort(QString::fromStdString(rfc2217 ? m_server->Rfc2217Name() : m_server->TcpName()));
        port.SetBaudRate(br9600);
        port.OpenPort();
        ASSERT_TRUE(port.Connected());
        ASSERT_TRUE(WaitUntil([&] { return m_server->HoldsDevice(); }));

        m_server->Stop();
        ASSERT_TRUE(WaitUntil([&] { return lostCount > 0; }));
        EXPECT_EQ(lostCount, 1);
        EXPECT_NE(lostError, 0);
        EXPECT_FALSE(port.Connected());
        EXPECT_THROW(port.WriteText("x"), EComPort);
        // While the server is away, opening fails with "Unable to open com port".
        int code = 0;
        try {
            port.OpenPort();
        } catch (const EComPort& e) {
            code = e.Code();
        }
        EXPECT_EQ(code, 1);

        ASSERT_TRUE(m_server->Start()) << m_server->Error;
        port.OpenPort();
        ASSERT_TRUE(port.Connected());
        EXPECT_EQ(port.WriteText("back"), 4);
        EXPECT_EQ(m_pty.Read(4), QByteArray("back"));
        port.ClosePort();
        EXPECT_TRUE(WaitUntil([&] { return !m_server->HoldsDevice(); }));
        EXPECT_EQ(lostCount, 1);
    }
}
