#include "runtime/RegistryStore.h"

#include "runtime/Exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcRegistry, "corvantel.registry", QtCriticalMsg)

namespace regstore {

TStoreLock::TStoreLock(const QString& lockFile, bool exclusive) {
    const QByteArray lockPath = QFile::encodeName(lockFile);
    m_fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return;
    int rc;
    do {
        rc = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    m_locked = rc == 0;
}
TStoreLock::~TStoreLock() {
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
    if (!file.exists())
        return TLoadResult::lrMissing;
    if (g_failReads)
        return fail(TLoadResult::lrUnreadable, QStringLiteral("Input/output error"));
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

bool WriteStoreFile(const QString& path, const TRegistryData& data) {
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = data.Serialize();
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit(); // flushes to disk, then renames over the old store
}

namespace {

// Keeps a garbled store file aside and tells the user, once: the next write replaces it.
void KeepAside(const QString& path) {
    const QString keep = path + QStringLiteral(".corrupt");
    QFile::remove(keep);
    if (!QFile::rename(path, keep))
        QFile::copy(path, keep);
    ReportException(QStringLiteral("The settings store %1 could not be understood; it was kept as %2 and "
                                   "the settings start afresh.")
                        .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(keep)));
}

// With the exclusive lock held: turns an existing binary store of an earlier version into the text
// store, once, keeping the binary file as a backup. False when it exists but cannot be read.
bool ConvertLegacyStore(const QString& path) {
    const QString legacy = LegacyRegistryStorePath();
    if (QFileInfo::exists(path) || !QFileInfo::exists(legacy))
        return true;
    TRegistryData data;
    switch (ReadStoreFile(legacy, data)) {
    case TLoadResult::lrUnreadable:
        return false;
    case TLoadResult::lrGarbled:
        KeepAside(legacy);
        return true;
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
    switch (ReadStoreFile(path, data)) {
    case TLoadResult::lrUnreadable:
        return nullptr;
    case TLoadResult::lrGarbled:
        KeepAside(path);
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
    if (!QFileInfo::exists(path))
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
