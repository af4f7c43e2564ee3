#pragma once

// A real network device server for tests and benchmarks: ser2net in the foreground, serving one serial
// device (a pty whose far end the test plays) through two free local ports, one speaking the COM-PORT
// option and one raw.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class TSer2Net {
public:
    // The program's path; empty when ser2net is not installed.
    static QString Binary() {
        QString path = QStandardPaths::findExecutable("ser2net");
        if (path.isEmpty())
            path = QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
        return path;
    }

    // A local TCP port nobody listens on at the moment.
    static uint16_t FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        uint16_t port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }

    explicit TSer2Net(std::string devicePath) : m_device(std::move(devicePath)) {
        TelnetPort = FreePort();
        do
            RawPort = FreePort();
        while (RawPort == TelnetPort);
    }
    ~TSer2Net() { Stop(); }

    std::string Rfc2217Name() const { return "rfc2217://127.0.0.1:" + std::to_string(TelnetPort); }
    std::string TcpName() const { return "tcp://127.0.0.1:" + std::to_string(RawPort); }

    // Starts the server and waits until both ports listen; false (with the reason in Error) otherwise.
    bool Start() {
        const QString config = m_dir.filePath("ser2net.yaml");
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly)) {
            Error = "cannot write the configuration";
            return false;
        }
        const QByteArray dev = QByteArray::fromStdString(m_device);
        f.write("connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                QByteArray::number(TelnetPort) + "\n  connector: serialdev," + dev + ",38400n81,local\n");
        f.write("connection: &raw\n  accepter: tcp,127.0.0.1," + QByteArray::number(RawPort) +
                "\n  connector: serialdev," + dev + ",38400n81,local\n");
        f.close();
        m_process.setProgram(Binary());
        m_process.setArguments({"-n", "-d", "-u", "-P", m_dir.filePath("ser2net.pid"), "-c", config});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            Error = "ser2net did not start: " + m_process.errorString().toStdString();
            return false;
        }
        // Listening is seen in the kernel's socket table, so that no test connection makes the server
        // open the device before the test wants it.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(Listening(TelnetPort) && Listening(RawPort))) {
            if (m_process.state() != QProcess::Running || std::chrono::steady_clock::now() > end) {
                Error = "ser2net does not listen: " + m_process.readAll().toStdString();
                return false;
            }
            m_process.waitForReadyRead(20);
        }
        return true;
    }

    // Ends the server (its connections drop) and waits until it is gone.
    void Stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    // True while the server holds the serial device open (it opens it per client connection and may
    // refuse a second connection on the same device until it has closed it for the first).
    bool HoldsDevice() const {
        const QString dir = QString("/proc/%1/fd").arg(m_process.processId());
        for (const QString& fd : QDir(dir).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            if (QFile::symLinkTarget(dir + "/" + fd) == QString::fromStdString(m_device))
                return true;
        }
        return false;
    }

    uint16_t TelnetPort = 0;
    uint16_t RawPort = 0;
    std::string Error;

private:
    static bool Listening(uint16_t port) {
        QFile tcp("/proc/net/tcp");
        if (!tcp.open(QIODevice::ReadOnly))
            return false;
        // "sl local_address rem_address st ...": 0100007F:PORT ... 0A is LISTEN.
        const QByteArray want = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + " ";
        for (const QByteArray& line : tcp.readAll().split('\n')) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            if (parts.size() > 3 && (parts[1] + " ").endsWith(want) && parts[3] == "0A")
                return true;
        }
        return false;
    }

    std::string m_device;
    QTemporaryDir m_dir;
    QProcess m_process;
};
