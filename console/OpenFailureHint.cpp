#include "console/OpenFailureHint.h"

#include "console/Dialogs.h"
#include "serial/ComError.h"
#include "serial/platform/SerialDevice.h"

#include <cerrno>
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
    } catch (...) {
    }
    return message;
}

TExceptionReporter ConsoleExceptionReporter(std::function<QString()> portName) {
    return [portName = std::move(portName)](const QString& message) {
        Dialogs().ShowException(portName ? WithOpenFailureHint(message, portName()) : message);
    };
}
