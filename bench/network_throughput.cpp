// Throughput of a port on a network device server: a stream from the far end of a pty, through a real
// ser2net, to a data-taking link of a port opened on tcp:// and on rfc2217://, next to socat reading
// the server's raw port in the same run (they take turns; the medians are compared).
//
//   network_throughput [MiB [rounds]]

#include "serial/ComPort.h"

#include "../tests/serial/Ser2NetSupport.h"
#include "PtyBench.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Waits until the server has opened the device for a client (or closed it again).
bool WaitForDevice(const TSer2Net& server, bool held = true) {
    QElapsedTimer t;
    t.start();
    while (server.HoldsDevice() != held) {
        if (t.elapsed() > 10000)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct TRates {
    double Port = 0, Socat = 0;
};

TRates Measure(const char* kind, const std::string& name, uint16_t tcpPort, TBenchPty& pty, TSer2Net& server,
               const std::vector<char>& expected, int rounds) {
    const uint64_t total = expected.size();
    uint64_t received = 0, wrong = 0;
    TComPort port;
    port.SetPort(QString::fromStdString(name));
    port.SetBaudRate(br115200);
    TComLink link;
    link.OnRxBuf = [&](TCustomComPort*, const void* buffer, int count) {
        wrong += WrongBytes(expected, received, buffer, count);
        received += uint64_t(count);
    };
    port.RegisterLink(&link);
    std::vector<double> portRates, socatRates;
    for (int round = 0; round < rounds; ++round) {
        received = wrong = 0;
        port.OpenPort();
        if (!WaitForDevice(server)) {
            std::printf("%s: the server did not open the device\n", kind);
            return {};
        }
        QElapsedTimer timer;
        timer.start();
        std::thread writer([&] { WriteAll(pty.Master, expected.data(), expected.size()); });
        RunEventsUntil([&] { return received >= total; }, std::chrono::seconds(120));
        const double portSeconds = double(timer.nsecsElapsed()) / 1e9;
        writer.join();
        port.ClosePort();
        portRates.push_back(double(received) / portSeconds);
        std::printf("%s port:  %llu bytes in %.3f s = %.1f MB/s, %llu wrong, %llu missing\n", kind,
                    (unsigned long long)received, portSeconds, portRates.back() / 1e6,
                    (unsigned long long)wrong, (unsigned long long)(total > received ? total - received : 0));
        WaitForDevice(server, false);

        uint64_t socatBytes = 0;
        const double socatSeconds = ProgramReadSeconds(
            {"socat", "-u", "-b", "65536", "TCP:127.0.0.1:" + std::to_string(tcpPort), "STDOUT"},
            [&] { WriteAll(pty.Master, expected.data(), expected.size()); }, total, &socatBytes,
            [&] { WaitForDevice(server); });
        socatRates.push_back(double(socatBytes) / socatSeconds);
        std::printf("%s socat: %llu bytes in %.3f s = %.1f MB/s\n", kind, (unsigned long long)socatBytes,
                    socatSeconds, socatRates.back() / 1e6);
        WaitForDevice(server, false);
    }
    return {Median(portRates), Median(socatRates)};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const uint64_t total = uint64_t(argc > 1 ? std::atoll(argv[1]) : 16) << 20;
    const int rounds = std::max(1, argc > 2 ? std::atoi(argv[2]) : 3);
    if (TSer2Net::Binary().isEmpty()) {
        std::printf("ser2net is not installed (scripts/setup-debian.sh installs it)\n");
        return 1;
    }
    TBenchPty pty;
    if (!pty.Open())
        return 1;
    TSer2Net server(pty.Name);
    if (!server.Start()) {
        std::printf("ser2net: %s\n", server.Error.c_str());
        return 1;
    }
    std::vector<char> expected(total);
    for (uint64_t i = 0; i < total; ++i)
        expected[i] = char(PatternByte(i));

    struct TKind {
        const char* Name;
        std::string Port;
        uint16_t TcpPort;
    };
    // socat speaks no Telnet, and the server sends no data to a client that leaves its negotiation
    // unanswered: the COM-PORT port is measured against socat on the same server's raw port.
    const TKind kinds[] = {{"tcp://", server.TcpName(), server.RawPort},
                           {"rfc2217://", server.Rfc2217Name(), server.RawPort}};
    for (const TKind& kind : kinds) {
        const TRates r = Measure(kind.Name, kind.Port, kind.TcpPort, pty, server, expected, rounds);
        const double ratio = r.Socat > 0 ? r.Port / r.Socat : 0;
        std::printf("%s median of %d rounds: port %.1f MB/s, socat %.1f MB/s, ratio port/socat %.2f "
                    "(target >= 0.8) %s\n",
                    kind.Name, rounds, r.Port / 1e6, r.Socat / 1e6, ratio, ratio >= 0.8 ? "met" : "not met");
    }
    return 0;
}
