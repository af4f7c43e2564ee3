#include "runtime/RegistryStore.h"

#include "runtime/Exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <map>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcRegistry, "corvantel.registry", QtCriticalMsg)

namespace regstore {

namespace {

std::mutex g_holdersMutex;
std::map<std::thread::id, int> g_exclusiveHolders; // threads holding the exclusive lock, and how often

} // namespace

TStoreLock::TStoreLock(const QString& lockFile, bool exclusive) : m_thread(std::this_thread::get_id()) {
    {
        std::lock_guard guard(g_holdersMutex);
        if (g_exclusiveHolders.count(m_thread)) {
            m_locked = !exclusive;
            qCWarning(lcRegistry) << "settings store locked by an update of this thread";
            return;
        }
    }
    const QByteArray lockPath = QFile::encodeName(lockFile);
    m_fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return;
    int rc;
    do {
        rc = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    m_locked = rc == 0;
    if (m_locked && exclusive) {
        std::lock_guard guard(g_holdersMutex);
        ++g_exclusiveHolders[m_thread];
        m_counted = true;
    }
}

TStoreLock::~TStoreLock() {
    if (m_counted) {
        std::lock_guard guard(g_holdersMutex);
        if (--g_exclusiveHolders[m_thread] == 0)
            g_exclusiveHolders.erase(m_thread);
    }
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
}

namespace {

bool g_failReads = false;

QString LockPath() {
    return LegacyRegistryStorePath() + QStringLiteral(".lock");
}

} // namespace

namespace {

// The file a path ends at after following symbolic links (at most 40, as the kernel does).
QString FollowLinks(const QString& path) {
    QString at = path;
    for (int i = 0; i < 40; ++i) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            break;
        at = info.symLinkTarget();
    }
    return at;
}

// Where bytes that should be UTF-8 text stop being it, as "line 3" (1-based); empty when they are.
QString FirstBadLine(const QByteArray& bytes) {
    qsizetype line = 1;
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = Utf8SequenceLength(bytes, i);
        if (n == 0)
            return QStringLiteral("line %1").arg(line);
        if (bytes[i] == '\n')
            ++line;
        i += n;
    }
    return QString();
}

} // namespace

TLoadResult ReadStoreFile(const QString& path, TRegistryData& data, QString* why) {
    data = TRegistryData();
    const auto fail = [&](TLoadResult result, const QString& reason) {
        qCWarning(lcRegistry) << "settings store ignored:" << path << reason;
        if (why)
            *why = reason;
        return result;
    };
    QFile file(path);
    if (!QFileInfo::exists(path)) {
        // A symbolic link to a file not made yet is a store not made yet: the first write makes the
        // file it names. A loop of links can be neither read nor written.
        if (!QFileInfo(path).isSymLink())
            return TLoadResult::lrMissing;
        if (QFileInfo(FollowLinks(path)).isSymLink())
            return fail(TLoadResult::lrUnreadable, QStringLiteral("Too many levels of symbolic links"));
        return TLoadResult::lrMissing;
    }
    if (g_failReads)
        return fail(TLoadResult::lrUnreadable, QStringLiteral("Input/output error"));
    // A pipe would wait for a writer and a device may never end: only a plain file is read.
    if (!QFileInfo(path).isFile() && !QFileInfo(path).isDir())
        return fail(TLoadResult::lrUnreadable, QStringLiteral("it is no regular file"));
    if (!file.open(QIODevice::ReadOnly))
        return fail(TLoadResult::lrUnreadable, file.errorString());
    if (file.size() > kMaxStoreBytes)
        return fail(TLoadResult::lrGarbled,
                    QStringLiteral("it is larger than %1 MiB").arg(kMaxStoreBytes >> 20));
    const QByteArray bytes = file.readAll(); // size checked above
    if (file.error() != QFileDevice::NoError)
        return fail(TLoadResult::lrUnreadable, file.errorString());
    if (bytes.isEmpty())
        return TLoadResult::lrMissing;
    if (!data.Parse(bytes)) {
        if (TRegistryData::IsBinaryForm(bytes))
            return fail(TLoadResult::lrGarbled,
                        QStringLiteral("it is a damaged store of an earlier version"));
        return fail(TLoadResult::lrGarbled, QStringLiteral("%1 is not UTF-8 text").arg(FirstBadLine(bytes)));
    }
    return TLoadResult::lrOk;
}

namespace {

bool WriteAll(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void SyncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool WriteStoreFile(const QString& path, const TRegistryData& data) {
    const QByteArray bytes = data.Serialize();
    if (bytes.size() > kMaxStoreBytes) {
        qCWarning(lcRegistry) << "settings store would exceed" << kMaxStoreBytes << "bytes, not written";
        return false;
    }
    const QString target = FollowLinks(path);
    const QString folder = QFileInfo(target).absolutePath();
    QByteArray temp = QFile::encodeName(target + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // created private to the user
    if (fd < 0)
        return false;
    struct stat existing {};
    bool ok = true;
    if (::stat(QFile::encodeName(target).constData(), &existing) == 0)
        ok = ::fchmod(fd, existing.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    SyncFolder(folder); // so that a power cut keeps the renamed file
    return true;
}

namespace {

// Tells the user once per process: a store that keeps failing is not reported at every save.
void ReportOnce(const QString& message) {
    static std::mutex mutex;
    static QSet<QString> told;
    {
        std::lock_guard guard(mutex);
        if (told.contains(message))
            return;
        told.insert(message);
    }
    ReportException(message);
}

// Keeps a copy of a store that cannot be understood beside it under a name no earlier copy has
// (registry.conf.corrupt, then .corrupt.2, .corrupt.3, ...). The file itself is moved there; a symbolic
// link stays and the file it names is copied. Returns the copy's name, empty when none could be made.
QString KeepAside(const QString& path) {
    const bool link = QFileInfo(path).isSymLink();
    const QByteArray from = QFile::encodeName(path);
    for (int n = 1; n <= 1000; ++n) {
        const QString keep =
            path + QStringLiteral(".corrupt") + (n > 1 ? QStringLiteral(".%1").arg(n) : QString());
        if (QFileInfo::exists(keep) || QFileInfo(keep).isSymLink())
            continue;
        if (!link && ::link(from.constData(), QFile::encodeName(keep).constData()) == 0) {
            ::unlink(from.constData());
            return keep;
        }
        if (!link && errno == EEXIST)
            continue;
        if (QFile::copy(path, keep)) // follows the link; where hard links are refused, copies
            return keep;
        if (!QFileInfo::exists(keep))
            return QString();
    }
    return QString();
}

// A store that cannot be understood: kept aside, and the user told, before the next write replaces it.
// False when no copy could be kept: then it must not be written over.
bool SetAside(const QString& path, const QString& why) {
    const QString keep = KeepAside(path);
    const QString shown = QDir::toNativeSeparators(path);
    if (keep.isEmpty()) {
        ReportOnce(
            QStringLiteral("The settings store %1 could not be understood (%2), and no copy of it could be "
                           "kept; it is left as it is and settings are not saved.")
                .arg(shown, why));
        return false;
    }
    ReportOnce(QStringLiteral("The settings store %1 could not be understood (%2); it was kept as %3 and the "
                              "settings start afresh.")
                   .arg(shown, why, QDir::toNativeSeparators(keep)));
    return true;
}

// With the exclusive lock held: turns an existing binary store of an earlier version into the text
// store, once, keeping the binary file as a backup. False when it exists but cannot be read.
bool ConvertLegacyStore(const QString& path) {
    const QString legacy = LegacyRegistryStorePath();
    if (QFileInfo::exists(path) || !QFileInfo::exists(legacy))
        return true;
    TRegistryData data;
    QString why;
    switch (ReadStoreFile(legacy, data, &why)) {
    case TLoadResult::lrUnreadable:
        return false;
    case TLoadResult::lrGarbled:
        return SetAside(legacy, why);
    case TLoadResult::lrMissing:
    case TLoadResult::lrOk:
        break;
    }
    if (!WriteStoreFile(path, data))
        return false;
    const QString backup = legacy + QStringLiteral(".bak");
    QFile::remove(backup);
    QFile::rename(legacy, backup);
    return true;
}

} // namespace

TRegistryData LoadStore() {
    const QString path = RegistryStorePath();
    TRegistryData data;
    if (!QFileInfo::exists(path)) {
        if (!QFileInfo::exists(LegacyRegistryStorePath()))
            return data;
        TStoreLock lock(LockPath(), true);
        if (!lock.Locked() || !ConvertLegacyStore(path)) {
            ReadStoreFile(LegacyRegistryStorePath(), data);
            return data;
        }
    }
    TStoreLock lock(LockPath(), false);
    ReadStoreFile(path, data);
    return data;
}

std::unique_ptr<TStoreLock> LockForChange(const QString& path, TRegistryData& data) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return nullptr;
    auto lock = std::make_unique<TStoreLock>(LockPath(), true);
    if (!lock->Locked() || !ConvertLegacyStore(path))
        return nullptr;
    QString why;
    switch (ReadStoreFile(path, data, &why)) {
    case TLoadResult::lrUnreadable:
        return nullptr;
    case TLoadResult::lrGarbled:
        if (!SetAside(path, why))
            return nullptr;
        break;
    case TLoadResult::lrMissing:
    case TLoadResult::lrOk:
        break;
    }
    return lock;
}

} // namespace regstore

using namespace regstore;

QString RegistryStorePath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/corvantel/registry.conf");
}

QString LegacyRegistryStorePath() {
    return QFileInfo(RegistryStorePath()).absolutePath() + QStringLiteral("/registry.dat");
}

void SetRegistryReadFailureForTesting(bool fail) {
    g_failReads = fail;
}

QString RegistryStoreProblem() {
    QString path = RegistryStorePath();
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        path = LegacyRegistryStorePath();
    TRegistryData data;
    QString why;
    switch (ReadStoreFile(path, data, &why)) {
    case TLoadResult::lrUnreadable:
        return QStringLiteral("The settings store %1 cannot be read: %2.")
            .arg(QDir::toNativeSeparators(path), why);
    case TLoadResult::lrGarbled:
        return QStringLiteral("The settings store %1 could not be understood: %2.")
            .arg(QDir::toNativeSeparators(path), why);
    case TLoadResult::lrMissing:
    case TLoadResult::lrOk:
        break;
    }
    return QString();
}
