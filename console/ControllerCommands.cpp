#include "console/ControllerCommands.h"

#include "serial/ComPort.h"

namespace {

QByteArray TwoDigits(int value) {
    return QByteArray::number(value).rightJustified(2, '0');
}

} // namespace

namespace ControllerCommands {

QByteArray SyncTime(const QDateTime& now) {
    const QTime t = now.time(); // milliseconds are dropped, not rounded
    return "t" + TwoDigits(t.hour()) + TwoDigits(t.minute()) + TwoDigits(t.second()) +
           QByteArray::number(now.date().dayOfWeek());
}

QByteArray SyncDate(const QDateTime& now) {
    const QDate d = now.date();
    const int year = d.year() >= 2000 ? d.year() - 2000 : ((d.year() % 100) + 100) % 100;
    return "d" + TwoDigits(year) + TwoDigits(d.month()) + TwoDigits(d.day()) +
           QByteArray::number(d.dayOfWeek());
}

} // namespace ControllerCommands

TClock SystemClock() {
    return [] { return QDateTime::currentDateTime(); };
}

void SendControllerCommand(TCustomComPort& port, const QByteArray& command) {
    port.WriteText(command);
}
