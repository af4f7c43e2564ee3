// Ports on a network device server: names, connection failures, and the device and the port against a
// real ser2net whose serial side is a pty that the test plays.

#include "serial/ComPort.h"
#include "serial/platform/NetworkSerialDevice.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"
#include "Ser2NetSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>

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
