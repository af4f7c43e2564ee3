// Ports on a network device server: names, connection failures, the device and the port against a
// real ser2net whose serial side is a pty that the test plays, and a scripted server for what ser2net
// on a pty cannot show (changed values, modem and line notifications).

#include "serial/ComError.h"
#include "serial/ComPort.h"
#include "serial/platform/NetworkSerialDevice.h"
#include "serial/platform/NetworkWait.h"
#include "serial/platform/TelnetComPort.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"
#include "PortTestSupport.h"
#include "ScriptedComPortServer.h"
#include "Ser2NetSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>

namespace {

// A line with DTR and RTS held on, as the port sets it.
TDcb Remote(uint32_t baud, uint8_t stopBits = kOneStopBit) {
    return Dcb(baud, 8, kNoParity, stopBits, kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable);
}

std::vector<uint8_t> Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

QByteArray AllBytes() {
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return all;
}

// Opens the device with short read time-outs; without `error` the open must succeed.
std::unique_ptr<TSerialDevice> OpenRemote(const std::string& name, int* error = nullptr) {
    int own = 0;
    auto device = OpenSerialDevice(name, error ? error : &own);
    if (device) {
        EXPECT_EQ(device->SetCommTimeouts({0, 0, 200, 0, 0}), 0);
    } else if (!error) {
        ADD_FAILURE() << name << ": " << strerror(own);
    }
    return device;
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
    std::vector<std::string> Names() const { return {m_server->Rfc2217Name(), m_server->TcpName()}; }

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
    // A lookup in flight is given up at once when the caller cancels it.
    const int cancel = ::eventfd(1, EFD_CLOEXEC);
    EXPECT_EQ(ProbeNetworkPort("rfc2217://no-such-host.invalid:2217", 60000, cancel), ECANCELED);
    ::close(cancel);
}

TEST(NetworkPortName, ServerThatNeverAnswersTheOptionTimesOut) {
    // A server that accepts but never speaks: the option is never agreed.
    TScriptedComPortServer silent(Adjusted([](TServerScript& s) { s.Silent = true; }));
    int error = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TNetworkSerialDevice::Open(silent.Name, &error, 300));
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The raw kind needs no agreement.
    EXPECT_TRUE(TNetworkSerialDevice::Open(silent.TcpName(), &error, 300));
}

// The server going away fails what waits and what comes; once it is back the device opens again, and every
// byte value passes both ways.
TEST_F(NetworkDevice, BytesPassBothWaysAndALostServerIsALostDevice) {
    for (const std::string& name : Names()) {
        SCOPED_TRACE(name);
        auto device = OpenRemote(name);
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
        EXPECT_EQ(WriteAll(*device, "x"), EIO);
        EXPECT_EQ(device->SetCommState(Remote(9600)), EIO);
        // What closing needs still works.
        EXPECT_EQ(device->PurgeComm(kPurgeTxAbort | kPurgeRxAbort), 0);
        EXPECT_EQ(device->SetCommMask(0), 0);
        device.reset();

        int error = 0;
        EXPECT_FALSE(OpenSerialDevice(name, &error));
        EXPECT_EQ(error, ECONNREFUSED);
        ASSERT_TRUE(m_server->Start()) << m_server->Error;
        device = OpenRemote(name);
        ASSERT_TRUE(device);
        ASSERT_TRUE(WaitUntil([&] { return m_server->HoldsDevice(); }));
        ASSERT_EQ(device->SetCommState(Remote(38400)), 0);
        // Twice, so that IAC pairs and IAC at chunk ends are both seen.
        const QByteArray all = AllBytes() + AllBytes();
        ASSERT_EQ(WriteAll(*device, all), 0);
        EXPECT_EQ(m_pty.Read(all.size()), all);
        m_pty.Write(all);
        EXPECT_EQ(ReadDevice(*device, all.size()), all);
        device.reset();
        EXPECT_TRUE(WaitUntil([&] { return !m_server->HoldsDevice(); }));
    }
}

TEST_F(NetworkDevice, LineSettingsArriveAtThePtyThroughTheOption) {
    auto device = OpenRemote(m_server->Rfc2217Name());
    ASSERT_TRUE(device);
    // What the server had is the starting state.
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);

    ASSERT_EQ(device->SetCommState(Remote(9600)), 0);
    EXPECT_EQ(ReadBack(m_pty.SlavePath()).OutSpeed, 9600u);
    ASSERT_EQ(device->SetCommState(Remote(57600, kTwoStopBits)), 0);
    TDeviceSettings s = ReadBack(m_pty.SlavePath());
    EXPECT_EQ(s.OutSpeed, 57600u);
    EXPECT_TRUE(s.Termios.c_cflag & CSTOPB);
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb, Remote(57600, kTwoStopBits));

    // A block the option cannot carry is refused before anything is sent.
    TDcb bad = Remote(9600);
    bad.ByteSize = 9;
    EXPECT_EQ(device->SetCommState(bad), EINVAL);
    EXPECT_EQ(ReadBack(m_pty.SlavePath()).OutSpeed, 57600u);

    // DTR and RTS go out as requests; a pty has no lines to show them, and reports no modem signals.
    EXPECT_EQ(device->EscapeCommFunction(kClrDtr), 0);
    EXPECT_EQ(device->EscapeCommFunction(kSetRts), 0);
    EXPECT_EQ(ModemStatus(*device), 0u);
    // Data still passes after the requests (the server took them as commands, not data).
    ASSERT_EQ(WriteAll(*device, "after"), 0);
    EXPECT_EQ(m_pty.Read(5), QByteArray("after"));
}

TEST_F(NetworkDevice, RawPortKeepsSettingsWithoutEffect) {
    auto device = OpenRemote(m_server->TcpName());
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetCommState(Remote(9600, kTwoStopBits)), 0);
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb, Remote(9600, kTwoStopBits));
    ASSERT_EQ(WriteAll(*device, "x"), 0);
    EXPECT_EQ(m_pty.Read(1), QByteArray("x"));
    EXPECT_EQ(ReadBack(m_pty.SlavePath()).OutSpeed, 38400u); // the server's own setting
}

TEST_F(NetworkDevice, PurgeDropsQueuedInput) {
    auto device = OpenRemote(m_server->Rfc2217Name());
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetCommState(Remote(38400)), 0);
    m_pty.Write("stale");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(*device) == 5; }));
    ASSERT_EQ(device->PurgeComm(kPurgeRxClear), 0);
    EXPECT_EQ(InQueue(*device), 0u);
    m_pty.Write("new");
    EXPECT_EQ(ReadDevice(*device, 3), QByteArray("new"));
}

TEST(NetworkDeviceScripted, ChangedValueIsARefusalAndThePreviousSettingsAreSentAgain) {
    TScriptedComPortServer server;
    // The server's line runs at 38400; it cannot do 9600 and says 19200 instead.
    server.Script.Answer = [](uint8_t code, const std::vector<uint8_t>& value) {
        if (code == Telnet::kSetBaudRate)
            return value == Be32(0) ? Be32(38400) : value == Be32(9600) ? Be32(19200) : value;
        if (code >= Telnet::kSetDataSize && code <= Telnet::kSetControl && value == std::vector<uint8_t>{0})
            return std::vector<uint8_t>{code == Telnet::kSetDataSize ? uint8_t(8) : uint8_t(1)};
        return value;
    };
    auto device = OpenDevice(server.Name);
    ASSERT_TRUE(device);
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    ASSERT_EQ(device->SetCommState(Remote(57600)), 0);
    EXPECT_EQ(device->SetCommState(Remote(9600)), EINVAL);
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
    TScriptedComPortServer again(server.Script);
    TComPort port;
    port.SetPort(QString::fromStdString(again.Name));
    port.SetBaudRate(br9600);
    EXPECT_EQ(CodeOf([&] { port.SetConnected(true); }), 7);
    EXPECT_FALSE(port.Connected());
}

TEST(NetworkDeviceScripted, ModemAndLineNotificationsRaiseEvents) {
    TScriptedComPortServer server;
    auto device = OpenDevice(server.Name);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetCommMask(kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvBreak | kEvErr), 0);
    uint32_t mask = 0;
    TRecord wait;
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    server.Notify(Telnet::kNotifyModemState,
                  Telnet::kModemCts | Telnet::kModemDsr | Telnet::kModemDeltaCts | Telnet::kModemDeltaDsr);
    ASSERT_EQ(wait.Finish(), 0);
    EXPECT_EQ(mask & (kEvCts | kEvDsr), kEvCts | kEvDsr);
    EXPECT_EQ(ModemStatus(*device), kMsCtsOn | kMsDsrOn);

    // A ring comes and goes; DCD rises without a delta bit (some servers send none).
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    server.Notify(Telnet::kNotifyModemState,
                  Telnet::kModemCts | Telnet::kModemDsr | Telnet::kModemDcd | Telnet::kModemRing);
    ASSERT_EQ(wait.Finish(), 0);
    EXPECT_TRUE(
        WaitUntil([&] { return ModemStatus(*device) == (kMsCtsOn | kMsDsrOn | kMsRlsdOn | kMsRingOn); }));

    server.Notify(Telnet::kNotifyLineState, Telnet::kLineBreak | Telnet::kLineFraming);
    uint32_t errors = 0;
    EXPECT_TRUE(WaitUntil([&] { return (errors = TakeErrors(*device)) != 0; }));
    EXPECT_EQ(errors, kCeBreak | kCeFrame);
}

// The port itself on the network, as the console uses it: 9600 baud, a command out, the answer in
// through OnRxChar, then through a link that takes the data. A dropped connection is a lost device: the
// port closes itself and tells OnDeviceLost; once the server is back, opening again works.
TEST_F(NetworkDevice, PortWorksThroughBothKindsAndClosesItselfWhenTheServerGoes) {
    for (const std::string& name : Names()) {
        SCOPED_TRACE(name);
        TComPort port;
        QByteArray received;
        port.OnRxChar = [&](TCustomComPort* p, int count) {
            QByteArray chunk(count, '\0');
            chunk.resize(p->ReadBytes(chunk.data(), count));
            received += chunk;
        };
        int lostCount = 0, lostError = 0;
        port.OnDeviceLost = [&](TCustomComPort* sender, int error) {
            EXPECT_FALSE(sender->Connected());
            lostError = error;
            ++lostCount;
        };
        port.SetPort(QString::fromStdString(name));
        port.SetBaudRate(br9600);
        port.SetConnected(true);
        ASSERT_TRUE(port.Connected());
        if (name == m_server->Rfc2217Name()) {
            EXPECT_EQ(ReadBack(m_pty.SlavePath()).OutSpeed, 9600u);
        }
        EXPECT_EQ(port.WriteText("hello"), 5);
        EXPECT_EQ(m_pty.Read(5), QByteArray("hello"));
        m_pty.Write("world\r\n");
        EXPECT_TRUE(WaitUntil([&] { return received.size() >= 7; }));
        EXPECT_EQ(received, QByteArray("world\r\n"));

        TComLink link;
        QByteArray linked;
        CollectInto(link, linked);
        port.RegisterLink(&link);
        EXPECT_EQ(port.WriteText("again"), 5);
        EXPECT_EQ(m_pty.Read(5), QByteArray("again"));
        m_pty.Write("ok\r\n");
        EXPECT_TRUE(WaitUntil([&] { return linked.size() >= 4; }));
        EXPECT_EQ(linked, QByteArray("ok\r\n"));
        port.UnregisterLink(&link);
        ASSERT_TRUE(WaitUntil([&] { return m_server->HoldsDevice(); }));

        m_server->Stop();
        ASSERT_TRUE(WaitUntil([&] { return lostCount > 0; }));
        EXPECT_EQ(lostCount, 1);
        EXPECT_NE(lostError, 0);
        EXPECT_FALSE(port.Connected());
        EXPECT_THROW(port.WriteText("x"), EComPort);
        // While the server is away, opening fails with "Unable to open com port".
        EXPECT_EQ(CodeOf([&] { port.OpenPort(); }), 1);

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

// ---- servers that misbehave on purpose ----

namespace {

// Short limits, so that every wait below ends in well under a second; the production limits return
// when the test ends.
class HostileServer : public ::testing::Test {
protected:
    TShortNetworkLimits m_limits{600, 300, 600};
};

// The longest gap between the ticks of a 10 ms timer while work runs in the main thread.
std::chrono::milliseconds LongestStall(const std::function<void()>& work) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    Clock::duration longest{};
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(10);
    last = Clock::now();
    work();
    longest = std::max(longest, Clock::now() - last);
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

long RssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace

// Every wait for a server that does not answer ends at its limit, and the main thread's event loop
// turns meanwhile: the open against a silent server, an exchange that gets no answer (and its
// restore), and a close whose purge goes unanswered.
TEST_F(HostileServer, WaitsEndAtTheirLimitWithTheEventLoopTurning) {
    // The stall limit is generous against the 600 ms waits, for sanitizer runs on a loaded machine.
    constexpr auto kStall = std::chrono::milliseconds(300);
    {
        TScriptedComPortServer silent(Adjusted([](TServerScript& s) { s.Silent = true; }));
        TComPort port;
        port.SetPort(QString::fromStdString(silent.Name));
        std::string connecting;
        SetConnectingHandler([&](const std::string& hostPort) {
            if (!hostPort.empty())
                connecting = hostPort;
        });
        std::pair<int, int> failure;
        EXPECT_LT(LongestStall([&] { failure = FailureOf([&] { port.OpenPort(); }); }), kStall);
        SetConnectingHandler(nullptr);
        EXPECT_EQ(failure, std::make_pair(1, ETIMEDOUT));
        EXPECT_EQ(connecting, "127.0.0.1:" + std::to_string(silent.Port));
    }
    {
        // Answers only the two masks and the first reading of the settings.
        TScriptedComPortServer once(Adjusted([](TServerScript& s) { s.AnswerLimit = 7; }));
        TComPort port;
        port.SetPort(QString::fromStdString(once.Name));
        port.SetBaudRate(br38400);
        port.SetEvents({});
        int code = 0; // the settings exchange and its restore go unanswered
        EXPECT_LT(LongestStall([&] { code = CodeOf([&] { port.OpenPort(); }); }), kStall);
        EXPECT_EQ(code, 7);
        EXPECT_FALSE(port.Connected());
    }
    {
        // The close purges the input; the server never confirms it.
        TScriptedComPortServer mute(Adjusted([](TServerScript& s) { s.AnswerPurge = false; }));
        TComPort port;
        port.SetPort(QString::fromStdString(mute.Name));
        port.OpenPort();
        ASSERT_TRUE(port.Connected());
        EXPECT_LT(LongestStall([&] { port.ClosePort(); }), kStall);
        EXPECT_FALSE(port.Connected());
    }
    {
        TScriptedComPortServer deaf(Adjusted([](TServerScript& s) { s.Read = false; }));
        int error = 0;
        auto device = OpenRemote(deaf.Name, &error);
        if (!device) {
            // The server reads nothing, not even the settings: the open itself times out.
            EXPECT_EQ(error, ETIMEDOUT);
        }
    }
}

// Answers are counted per command: an answer that comes after its exchange gave up, or one nobody
// asked for, never passes for the answer to the next exchange.
TEST_F(HostileServer, LateAndUnaskedAnswersAreNotTakenForTheNextOne) {
    TScriptedComPortServer server(Adjusted([](TServerScript& s) { s.AnswerLimit = 7; }));
    auto device = OpenRemote(server.Name);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->SetCommState(Dcb(9600)), ETIMEDOUT);
    // The held answers (9600 and the restore) now arrive in front of the next exchange's.
    server.Script.AnswerLimit = -1;
    EXPECT_EQ(device->SetCommState(Dcb(19200)), 0);
    // A stray baud answer of the server's own, seen (the notification behind it has arrived) before
    // the next exchange starts.
    std::vector<uint8_t> stray;
    Telnet::AppendComPort(Telnet::kSetBaudRate + Telnet::kServerOffset, Be32(1234), stray);
    Telnet::AppendComPortByte(Telnet::kNotifyModemState + Telnet::kServerOffset, Telnet::kModemCts, stray);
    server.Send(stray);
    ASSERT_TRUE(WaitUntil([&] { return ModemStatus(*device) == kMsCtsOn; }));
    EXPECT_EQ(device->SetCommState(Dcb(57600)), 0);
    TDcb dcb;
    ASSERT_EQ(device->GetCommState(&dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 57600u);
}

// What the server sends that is not well-formed never reaches the data, and a garbage answer is a
// refusal at once rather than a timeout.
TEST_F(HostileServer, MalformedServerBytes) {
    struct TCase {
        const char* Name;
        std::vector<uint8_t> Greeting;
        bool AgreeBinary;
        QByteArray Data;
    };
    const std::vector<TCase> cases = {
        {"subnegotiation broken off by WILL BINARY",
         {'a', 255, 250, 44, 107, 255, 251, 0, 'b', 255, 255, 'c'},
         true,
         QByteArray("ab\377c")}, // octal: \377 is 0xFF
        {"CR NUL from a server that refuses binary mode",
         {'a', '\r', 0, 'b', '\r', '\n'},
         false,
         QByteArray("a\rb\r\n")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TServerScript script;
        script.Greeting = c.Greeting;
        script.AgreeBinary = c.AgreeBinary;
        TScriptedComPortServer server(script);
        auto device = OpenRemote(server.Name);
        ASSERT_TRUE(device);
        EXPECT_EQ(ReadDevice(*device, c.Data.size()), c.Data);
        if (!c.AgreeBinary) {
            // Our CR goes out as CR NUL to a server that is not in binary mode.
            ASSERT_EQ(WriteAll(*device, "x\r"), 0);
            EXPECT_TRUE(WaitUntil([&] { return server.Data().size() >= 3; }));
            EXPECT_EQ(server.Data(), (std::vector<uint8_t>{'x', '\r', 0}));
        }
    }

    TServerScript garbage;
    garbage.Answer = [](uint8_t code, const std::vector<uint8_t>& value) {
        return code == Telnet::kSetControl ? std::vector<uint8_t>{200} : value;
    };
    TScriptedComPortServer server(garbage);
    TNetworkLimits limits = TNetworkSerialDevice::Limits();
    limits.AnswerMs = 60000; // a wait for the answer would outlast the test
    TNetworkSerialDevice::SetLimits(limits);
    auto device = OpenRemote(server.Name);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->SetCommState(Dcb(9600)), EINVAL);

    // A server that hangs up inside a subnegotiation: the open fails, nothing is left waiting.
    TServerScript dropped;
    dropped.Greeting = {255, 250, 44, 101, 0, 0};
    dropped.CloseAfterGreeting = true;
    TScriptedComPortServer dropper(dropped);
    int error = 0;
    EXPECT_FALSE(OpenRemote(dropper.Name, &error));
    EXPECT_NE(error, 0);
}

// Memory stays bounded against a server that floods negotiation and reads nothing: it is dropped as a
// protocol error.
TEST_F(HostileServer, NegotiationFloodIsDroppedWithMemoryBounded) {

    TScriptedComPortServer server(Adjusted([](TServerScript& s) { s.FloodNegotiation = true; }));
    const long before = RssKiB();
    int error = 0;
    auto device = OpenRemote(server.Name, &error);
    EXPECT_FALSE(device);
    EXPECT_EQ(error, EPROTO);
    EXPECT_LT(RssKiB() - before, 32 * 1024);
}

// Settings work while a stream waits unread in front of the server's answers, and every byte of that
// stream is still delivered, in order.
TEST_F(HostileServer, SettingsWorkWithInputUnread) {
    TScriptedComPortServer server;
    auto device = OpenRemote(server.Name);
    ASSERT_TRUE(device);
    std::vector<uint8_t> stream(4 * 1024 * 1024);
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = uint8_t(i * 7 + i / 251);
    server.StreamData(stream);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(*device) > 512 * 1024; }));
    EXPECT_EQ(device->SetCommState(Dcb(9600)), 0);
    const QByteArray got = ReadDevice(*device, int(stream.size()));
    ASSERT_EQ(size_t(got.size()), stream.size());
    EXPECT_EQ(memcmp(got.data(), stream.data(), stream.size()), 0);
}

// A server that stops taking our bytes is dropped once it has taken none for the stall limit: the write
// waiting for it fails instead of waiting for ever.
TEST_F(HostileServer, ServerThatStopsReadingIsDropped) {
    TNetworkLimits limits = TNetworkSerialDevice::Limits();
    limits.StallMs = 300;
    TNetworkSerialDevice::SetLimits(limits);
    TScriptedComPortServer server;
    auto device = OpenRemote(server.Name);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetCommTimeouts({0, 0, 0, 0, 0}), 0);
    server.Script.Read = false;
    std::vector<char> block(32 * 1024 * 1024, 'w');
    TRecord write;
    uint32_t written = 0;
    int r = device->WriteFile(block.data(), uint32_t(block.size()), &written, &write.Ov);
    if (r == kErrorIoPending)
        r = write.Finish(&written);
    EXPECT_NE(r, 0);
    EXPECT_LT(written, block.size());
}

// A purge that the server never confirms does not stop input for good.
TEST_F(HostileServer, UnansweredPurgeLetsLaterInputThrough) {
    TScriptedComPortServer server(Adjusted([](TServerScript& s) { s.AnswerPurge = false; }));
    auto device = OpenRemote(server.Name);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->PurgeComm(kPurgeRxClear), 0);
    ASSERT_TRUE(WaitUntil([&] {
        server.StreamData({'n'});
        return InQueue(*device) > 0;
    }));
}

// Every byte reported written before the close reaches the server, on both kinds of port; toward a
// server that does not read, the close ends at its limit.
TEST_F(HostileServer, CloseHandsOnEveryWrittenByte) {
    for (const bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217);
        TScriptedComPortServer server;
        const std::string name = rfc2217 ? server.Name : server.TcpName();
        std::vector<uint8_t> expected;
        for (int round = 0; round < 20; ++round) {
            TComPort port;
            port.SetPort(QString::fromStdString(name));
            port.OpenPort();
            const QByteArray line = QByteArray("line ") + QByteArray::number(round) + "\r\n";
            ASSERT_EQ(port.WriteText(line), line.size());
            port.ClosePort();
            expected.insert(expected.end(), line.begin(), line.end());
        }
        EXPECT_TRUE(WaitUntil([&] { return server.Data().size() >= expected.size(); }));
        EXPECT_EQ(server.Data(), expected);
    }

    // Toward a server that takes nothing, the close gives up at its limit without stalling the window.
    TScriptedComPortServer deaf(Adjusted([](TServerScript& s) { s.Read = false; }));
    TComPort port;
    port.SetPort(QString::fromStdString(deaf.TcpName()));
    port.OpenPort();
    ASSERT_EQ(port.WriteText(QByteArray(64 * 1024, 'z')), 64 * 1024);
    EXPECT_LT(LongestStall([&] { port.ClosePort(); }), std::chrono::milliseconds(300));
    EXPECT_FALSE(port.Connected());
}
