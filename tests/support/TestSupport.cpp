#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::yieldCurrentThread();
    }
    return true;
}

TPtyPair::TPtyPair() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_slavePath = name;
    // Raw far end: no echo, no line discipline in either direction.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    tcgetattr(m_master, &t);
    cfmakeraw(&t);
    tcsetattr(m_master, TCSANOW, &t);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_slaveKeep = slave;
}

TPtyPair::~TPtyPair() {
    if (m_slaveKeep >= 0)
        close(m_slaveKeep);
    CloseMaster();
}

void TPtyPair::CloseMaster() {
    if (m_master >= 0)
        close(m_master);
    m_master = -1;
}

void TPtyPair::Write(const QByteArray& bytes) {
    qsizetype done = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("pty write failed");
        if (Clock::now() > end)
            throw std::runtime_error("pty write timed out");
        pollfd p{m_master, POLLOUT, 0};
        poll(&p, 1, 100);
    }
}

QByteArray TPtyPair::Read(int count, std::chrono::milliseconds deadline) {
    QByteArray out;
    const auto end = Clock::now() + deadline;
    while (out.size() < count && Clock::now() < end) {
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            ssize_t n = ::read(m_master, buf, std::min<size_t>(sizeof buf, size_t(count - out.size())));
            if (n > 0)
                out.append(buf, n);
        }
        QCoreApplication::processEvents();
    }
    return out;
}

QByteArray TPtyPair::ReadNow() {
    QByteArray out;
    char buf[4096];
    pollfd p{m_master, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

QByteArray TPtyPair::ReadAvailable(std::chrono::milliseconds quiet) {
    QByteArray out;
    for (;;) {
        pollfd p{m_master, POLLIN, 0};
        QCoreApplication::processEvents();
        if (poll(&p, 1, int(quiet.count())) <= 0 || !(p.revents & POLLIN))
            return out;
        char buf[4096];
        ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, n);
    }
}

TTempConfigHome::TTempConfigHome() {
    const char* old = getenv("XDG_CONFIG_HOME");
    m_hadOld = old != nullptr;
    if (old)
        m_old = old;
    QTemporaryDir dir(QDir::tempPath() + "/cv-config-XXXXXX");
    dir.setAutoRemove(false);
    m_path = dir.path();
    setenv("XDG_CONFIG_HOME", m_path.toLocal8Bit().constData(), 1);
}

TTempConfigHome::~TTempConfigHome() {
    QDir(m_path).removeRecursively();
    if (m_hadOld)
        setenv("XDG_CONFIG_HOME", m_old.constData(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

void WriteFileBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

void TTempConfigHome::Block() {
    QFile blocker(m_path + "/file");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    setenv("XDG_CONFIG_HOME", QFile::encodeName(blocker.fileName()).constData(), 1);
}

void TTempConfigHome::Unblock() {
    setenv("XDG_CONFIG_HOME", m_path.toLocal8Bit().constData(), 1);
}

void PointLink(const QString& link, const std::string& target) {
    const QByteArray temp = QFile::encodeName(link + QStringLiteral(".new"));
    ASSERT_EQ(::symlink(target.c_str(), temp.constData()), 0);
    ASSERT_EQ(std::rename(temp.constData(), QFile::encodeName(link).constData()), 0);
}
