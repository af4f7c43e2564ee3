#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

// Waits until pred() holds, processing Qt events meanwhile; false after the deadline. Tests never sleep
// for a fixed time: they wait on a condition with a generous deadline.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// A pseudo-terminal pair: the test opens the port on SlavePath() and plays the far end on the master.
class TPtyPair {
public:
    TPtyPair();
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }

    // Writes all bytes from the far end.
    void Write(const QByteArray& bytes);
    // Reads from the far end until `count` bytes arrived or the deadline passed; returns what arrived.
    QByteArray Read(int count, std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // What the far end has received so far, without waiting and without running events (for a port that
    // writes synchronously, whatever it sent is already there).
    QByteArray ReadNow();
    // Reads whatever arrives within `quiet` after the last byte.
    QByteArray ReadAvailable(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
    // Closes the master side: the device goes away for the slave's user.
    void CloseMaster();

private:
    int m_master = -1;
    int m_slaveKeep = -1; // keeps the slave side alive between opens so no data is lost
    std::string m_slavePath;
};

// Points the symlink `link` at `target`, replacing what was there in one step (as udev does when a
// device comes back): a replugged adapter under its old name.
void PointLink(const QString& link, const std::string& target);

// The whole content of a file; "(unreadable)" when it cannot be read.
QByteArray FileBytes(const QString& path);
// Replaces the content of a file, making its folder first; the test fails when it cannot.
void WriteFileBytes(const QString& path, const QByteArray& bytes);

// Runs f while a thread stands ready to write bytes into the pipe at path and close it, and lets that
// thread finish afterwards whether f opened the pipe or not.
template <class F> auto WithPipeWriter(const QString& path, const QByteArray& bytes, F&& f) {
    const QByteArray name = QFile::encodeName(path);
    std::thread writer([&] {
        const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, bytes.constData(), size_t(bytes.size()));
            ::close(fd);
        }
    });
    auto result = f();
    const int reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); // frees the writer
    writer.join();
    ::close(reader);
    return result;
}

// Points XDG_CONFIG_HOME at a fresh temporary folder for the lifetime of the object.
class TTempConfigHome {
public:
    TTempConfigHome();
    ~TTempConfigHome();
    QString Path() const { return m_path; }
    // Points XDG_CONFIG_HOME at a plain file inside the folder (no store folder can be made there), and
    // back at the folder.
    void Block();
    void Unblock();

private:
    QString m_path;
    QByteArray m_old;
    bool m_hadOld = false;
};
