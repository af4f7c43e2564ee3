#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Waits for a lost serial device to come back. The folders of its path and of its stable identity
// (a link under /dev/serial/by-id that names the adapter, not the node it got) are watched with
// inotify, and looked at again every kRecheckMs as a safety net (a node that appears before it may be
// opened, a folder that did not exist yet); between those nothing runs. OnReturn is called with the
// path the device is back under, every time it is seen, until Stop.
class TDeviceWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecheckMs = 500;

    explicit TDeviceWatcher(QObject* parent = nullptr);

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
    QString Candidate() const;

    QFileSystemWatcher m_watcher;
    QTimer m_recheck;
    QString m_identityDir = QStringLiteral("/dev/serial/by-id");
    QString m_path;
    QString m_identity;
    bool m_waiting = false;
};
