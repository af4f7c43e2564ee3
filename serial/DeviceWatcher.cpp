#include "serial/DeviceWatcher.h"

#include "serial/platform/NetworkSerialDevice.h"

#include <QDir>
#include <QFileInfo>

#include <sys/eventfd.h>
#include <unistd.h>

TDeviceWatcher::TDeviceWatcher(QObject* parent) : QObject(parent), m_watcher(this), m_recheck(this) {
    m_recheck.setInterval(kRecheckMs);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { Check(); });
    connect(&m_recheck, &QTimer::timeout, this, [this] { Check(); });
}

TDeviceWatcher::~TDeviceWatcher() {
    Stop();
    EndProbe();
    if (m_cancelFd >= 0)
        ::close(m_cancelFd);
}

void TDeviceWatcher::EndProbe() {
    if (!m_probe.joinable())
        return;
    const uint64_t one = 1;
    (void)!::write(m_cancelFd, &one, sizeof one);
    m_probe.join();
    uint64_t value;
    (void)!::read(m_cancelFd, &value, sizeof value);
}

QString TDeviceWatcher::IdentityOf(const QString& devicePath) const {
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QDir dir(m_identityDir);
    for (const QFileInfo& link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.isSymLink() && link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    }
    return {};
}

void TDeviceWatcher::Start(const QString& devicePath, const QString& identity) {
    Stop();
    m_path = devicePath;
    m_identity = identity;
    m_waiting = true;
    m_remote = IsNetworkPortName(devicePath.toStdString());
    m_ticksToProbe = 0;
    if (m_remote) {
        m_recheck.start();
        return;
    }
    QStringList dirs{QFileInfo(devicePath).absolutePath()};
    if (!identity.isEmpty())
        dirs.append(QFileInfo(identity).absolutePath());
    for (const QString& dir : dirs)
        if (QFileInfo(dir).isDir() && !m_watcher.directories().contains(dir))
            m_watcher.addPath(dir);
    m_recheck.start();
}

void TDeviceWatcher::Stop() {
    m_waiting = false;
    EndProbe();
    m_recheck.stop();
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
}

QString TDeviceWatcher::Candidate() const {
    // The adapter's identity leads to the node it has now (ttyUSB0 may come back as ttyUSB1); another
    // adapter that takes the old node meanwhile is not ours.
    if (!m_identity.isEmpty())
        return QFileInfo(m_identity).canonicalFilePath();
    return QFileInfo::exists(m_path) ? m_path : QString();
}

void TDeviceWatcher::CheckRemote() {
    if (m_probe.joinable()) {
        if (!m_probeDone)
            return;
        m_probe.join();
        if (m_probeResult == 0 && m_probeName == m_path && OnReturn) {
            OnReturn(m_path);
            return;
        }
    }
    if (m_ticksToProbe-- > 0)
        return;
    m_ticksToProbe = kRemoteRecheckMs / kRecheckMs - 1;
    if (m_cancelFd < 0)
        m_cancelFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_probeDone = false;
    m_probeName = m_path;
    m_probe = std::thread([this, name = m_path.toStdString(), cancelFd = m_cancelFd] {
        m_probeResult = ProbeNetworkPort(name, kProbeTimeoutMs, cancelFd);
        m_probeDone = true;
    });
}

void TDeviceWatcher::Check() {
    if (!m_waiting)
        return;
    if (m_remote) {
        CheckRemote();
        return;
    }
    const QString path = Candidate();
    if (!path.isEmpty() && OnReturn)
        OnReturn(path);
}
