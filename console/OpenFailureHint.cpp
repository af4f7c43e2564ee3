#include "console/OpenFailureHint.h"

#include "console/Dialogs.h"
#include "console/SessionLog.h"
#include "serial/ComError.h"
#include "serial/platform/SerialDevice.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <exception>

#include <grp.h>
#include <sys/stat.h>

namespace {

// The name of the device node's group, or its number when the system has no name for it; empty when
// the node cannot be examined.
QString DeviceGroup(const QString& devicePath, bool& isRoot) {
    struct stat st {};
    isRoot = false;
    if (::stat(devicePath.toLocal8Bit().constData(), &st) != 0)
        return {};
    isRoot = st.st_gid == 0;
    if (const group* g = ::getgrgid(st.st_gid))
        return QString::fromLocal8Bit(g->gr_name);
    return QString::number(st.st_gid);
}

} // namespace

QString OpenFailureHint(int systemError, const QString& devicePath) {
    if (devicePath.contains(QLatin1String("://"))) {
        // A port on a network device server.
        switch (systemError) {
        case ECONNREFUSED:
            return QStringLiteral("Nothing accepts connections at %1: is the device server running, and is "
                                  "the port number right?")
                .arg(devicePath);
        case ENXIO:
            return QStringLiteral("The host of %1 is not known: check its name, or use its address.")
                .arg(devicePath);
        case ETIMEDOUT:
            return QStringLiteral("%1 did not answer in time: is the host on, reachable from here, and not "
                                  "behind a firewall that drops the connection?")
                .arg(devicePath);
        case EHOSTUNREACH:
        case ENETUNREACH:
            return QStringLiteral("There is no way to the host of %1 from here: check the network.")
                .arg(devicePath);
        default:
            return {};
        }
    }
    if (systemError == ENOENT)
        return QStringLiteral(
                   "There is no device %1: is the adapter plugged in, and is the port's name right?")
            .arg(devicePath);
    if (systemError == EACCES) {
        bool isRoot = false;
        const QString group = DeviceGroup(devicePath, isRoot);
        if (group.isEmpty() || isRoot)
            return QStringLiteral(
                       "You may not use %1: ask the administrator for access to it, then log in again.")
                .arg(devicePath);
        return QStringLiteral(
                   "You may not use %1: it is for the members of the group \"%2\". Have your account "
                   "added to that group (sudo usermod -aG %2 $USER), then log out and in again.")
            .arg(devicePath, group);
    }
    if (systemError == EBUSY || systemError == EAGAIN || systemError == EWOULDBLOCK)
        return QStringLiteral("%1 is in use by another program: close it there, then connect again.")
            .arg(devicePath);
    return {};
}

QString FileFailureHint(const QString& path, int systemError) {
    if (path.isEmpty())
        return {};
    const QFileInfo file(path);
    const QString folder = QDir::toNativeSeparators(file.absolutePath());
    QString cause;
    switch (systemError) {
    case ENOENT:
    case ENOTDIR:
        cause = file.absoluteDir().exists() ? QStringLiteral("it does not exist")
                                            : QStringLiteral("the folder %1 does not exist").arg(folder);
        break;
    case EACCES:
    case EPERM:
        cause = file.exists() ? QStringLiteral("you may not write to this file")
                              : QStringLiteral("you may not write to the folder %1").arg(folder);
        break;
    case EROFS:
        cause = QStringLiteral("the folder %1 is on a read-only file system").arg(folder);
        break;
    case EISDIR:
        cause = QStringLiteral("it is a folder");
        break;
    default:
        cause = QString::fromLocal8Bit(std::strerror(systemError));
        break;
    }
    return QStringLiteral("Could not write %1: %2.").arg(QDir::toNativeSeparators(path), cause);
}

QString WithOpenFailureHint(const QString& message, const QString& portName) {
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return message;
    try {
        std::rethrow_exception(current);
    } catch (const EComPort& e) {
        if (e.Code() == CError_OpenFailed && e.Message() == message) {
            const QString hint = OpenFailureHint(
                e.SystemError(), QString::fromStdString(PortNameToPath(portName.toStdString())));
            if (!hint.isEmpty())
                return message + QLatin1Char('\n') + hint;
        }
    } catch (const EInOutError& e) {
        const QString hint = e.Message() == message ? FileFailureHint(e.Path(), e.SystemError()) : QString();
        if (!hint.isEmpty())
            return message + QLatin1Char('\n') + hint;
    } catch (...) {
    }
    return message;
}

TExceptionReporter ConsoleExceptionReporter(std::function<QString()> portName) {
    return [portName = std::move(portName)](const QString& message) {
        Dialogs().ShowException(portName ? WithOpenFailureHint(message, portName()) : message);
    };
}
