#include "console/SessionLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kFileNotFound = 2;
constexpr int kInvalidFileName = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kDiskFull = 101;

} // namespace

EInOutError::EInOutError(int errorCode) : Exception(MessageFor(errorCode)), m_errorCode(errorCode) {}

QString EInOutError::MessageFor(int errorCode) {
    switch (errorCode) {
    case kFileNotFound:
        return QStringLiteral("File not found");
    case kInvalidFileName:
        return QStringLiteral("Invalid filename");
    case kTooManyOpenFiles:
        return QStringLiteral("Too many open files");
    case kAccessDenied:
        return QStringLiteral("File access denied");
    case kDiskFull:
        return QStringLiteral("Disk full");
    default:
        return QStringLiteral("I/O error %1").arg(errorCode);
    }
}

int EInOutError::FromErrno(int err, const QString& path) {
    switch (err) {
    case ENOENT:
        // A missing folder is a bad name; a missing file (when one was to be read) is not found.
        return QFileInfo(path).absoluteDir().exists() ? kFileNotFound : kInvalidFileName;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
        return kInvalidFileName;
    case EMFILE:
    case ENFILE:
        return kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kDiskFull;
    default:
        return err;
    }
}

QString ProposedLogFileName(const QDateTime& now) {
    const QDate d = now.date();
    const QTime t = now.time();
    return QStringLiteral("Terminal log %1.%2.%3 %4 %5.txt")
        .arg(d.day())
        .arg(d.month())
        .arg(d.year())
        .arg(t.hour())
        .arg(t.minute());
}

void WriteLogFile(const QString& path, const QByteArray& bytes) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        throw EInOutError(kInvalidFileName);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw EInOutError(EInOutError::FromErrno(errno, path));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            ::close(fd);
            throw EInOutError(EInOutError::FromErrno(err, path));
        }
        done += n;
    }
    if (::close(fd) != 0)
        throw EInOutError(EInOutError::FromErrno(errno, path));
}
