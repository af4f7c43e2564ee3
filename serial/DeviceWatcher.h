#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>

// Waits for a lost serial device to come back. The folders of its path and of its stable identity
// (a link under /dev/serial/by-id that names the adapter, not the node it got) are watched with
// inotify, and looked at again every kRecheckMs as a safety net (a node that appears before it may be
// opened, a folder that did not exist yet); between those nothing runs. OnReturn is called with the
// path the device is back under, every time it is seen, until Stop.
// A port on a network device server has no node to watch: every kRemoteRecheckMs a helper thread tries
// to connect to the server (and lets go at once), and OnReturn follows a connection that was taken. The
// probe (name lookup included) runs off the main thread, so an unreachable host never stalls the window,
// and Stop or the destructor end a probe in flight at once (a lookup that hangs is left behind).
class TDeviceWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecheckMs = 500;
    static constexpr int kRemoteRecheckMs = 2000;
    static constexpr int kProbeTimeoutMs = 1500;

    explicit TDeviceWatcher(QObject* parent = nullptr);
    ~TDeviceWatcher() override;

    // Where stable identities are looked up (/dev/serial/by-id unless set).
    void SetIdentityDir(const QString& dir) { m_identityDir = dir; }
    QString IdentityDir() const { return m_identityDir; }
    // The identity link whose target is the device at `devicePath`; empty when it has none.
    QString IdentityOf(const QString& devicePath) const;

    // Starts waiting for `devicePath`, or, when `identity` is given, for whatever node it points to.
    void Start(const QString& devicePath, const QString& identity);
    void Stop();
    bool Waiting() const { return m_waiting; }

    std::function<void(const QString& path)> OnReturn;

private:
    void Check();
    void CheckRemote();
    QString Candidate() const;

    QFileSystemWatcher m_watcher;
    QTimer m_recheck;
    QString m_identityDir = QStringLiteral("/dev/serial/by-id");
    QString m_path;
    QString m_identity;
    bool m_waiting = false;
    bool m_remote = false;
    int m_ticksToProbe = 0;
    void EndProbe();

    std::thread m_probe;
    int m_cancelFd = -1; // readable: the probe in flight gives up
    QString m_probeName;
    std::atomic<bool> m_probeDone{false};
    std::atomic<int> m_probeResult{0};
};
