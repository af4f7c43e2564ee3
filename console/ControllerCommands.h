#pragma once

#include <QByteArray>
#include <QDateTime>

#include <functional>

class TCustomComPort;

// The field controller's commands: one ASCII letter, the two setting commands followed by digits, sent
// without terminator in one write.
namespace ControllerCommands {

inline const QByteArray kRead = QByteArrayLiteral("R");
inline const QByteArray kGetTime = QByteArrayLiteral("O");
inline const QByteArray kClearLog = QByteArrayLiteral("C");

// "t" + hh mm ss + weekday (Monday 1 .. Sunday 7), from one reading of the clock.
QByteArray SyncTime(const QDateTime& now);
// "d" + yy mo dd + weekday. yy is the year minus 2000 with at least two digits (2100 gives 100); a clock
// set before 2000 sends the year's last two digits instead of a wrapped number.
QByteArray SyncDate(const QDateTime& now);

} // namespace ControllerCommands

// The computer's local clock, replaceable in tests.
using TClock = std::function<QDateTime()>;
TClock SystemClock();

// Sends one command on the port with the port's synchronous text write.
void SendControllerCommand(TCustomComPort& port, const QByteArray& command);
