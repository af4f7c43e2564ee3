#pragma once

#include "runtime/Exception.h"

#include <QString>

#include <functional>

// Help for a port that would not open. The port's exception keeps its exact message for every caller;
// the console's report adds one line under it saying what the user can do.

// The line for an open failure with the given system error on the device at `devicePath`: for EACCES
// the group whose members may use the device (from the device node's owner group) and that a new
// login is needed after joining it; for EBUSY, EAGAIN and EWOULDBLOCK that another program holds the
// device; for ENOENT that there is no such device. For a network port ("tcp://", "rfc2217://"): a refused
// connection, an unknown host, a time-out and an unreachable host each say what to check. Empty for
// any other error.
QString OpenFailureHint(int systemError, const QString& devicePath);

// The line for a file that could not be written: the path and the cause (a missing folder, a folder
// the user may not write to, a read-only file system, or the system's text). Empty without a path.
QString FileFailureHint(const QString& path, int systemError);

// The text the console's report shows for `message`: when the exception being handled is the port's
// open failure (code 1) or a file error with that message and a hint exists for its error, the message,
// a line feed and the hint; otherwise the message unchanged. `portName` is the port's name as set (mapped to
// its path).
QString WithOpenFailureHint(const QString& message, const QString& portName);

// The console's exception report: a message box with the message and, for an open failure of the port
// named by `portName()`, the hint.
TExceptionReporter ConsoleExceptionReporter(std::function<QString()> portName);
