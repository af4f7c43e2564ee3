#pragma once

#include "serial/ComTypes.h"

#include <QString>
#include <QStringList>

// The port's world as text: the list of the machine's serial ports, and the fixed (never translated)
// texts of every setting value with their inverses. The port selector fills its lists with them; the
// settings store writes and reads the settings as these texts.

// Environment variable naming the folder that plays the part of /sys/class/tty (tests point it at a
// fake tree). Unset or empty: the real /sys/class/tty.
inline constexpr const char* kSysfsTtyRootVariable = "CV_SYSFS_TTY_ROOT";
// Environment variable with extra port names, separated by ':', that are listed next to the hardware
// ports: device names ("ttyUSB7") or paths ("/dev/pts/5"; a name containing "/" is used by the port as
// a path). Tests and the demo register a pseudo-terminal through it.
inline constexpr const char* kExtraPortsVariable = "CV_EXTRA_PORTS";

// Environment variable naming the folder that plays the part of /dev/serial/by-id (tests point it at a
// fake tree). Unset or empty: the real /dev/serial/by-id.
inline constexpr const char* kSerialByIdRootVariable = "CV_SERIAL_BY_ID_ROOT";

// Replaces the contents of `ports` with the names of the machine's serial ports: every entry of the tty
// class folder that has a `device` link (a hardware port), except `ttyS*` placeholders whose `type`
// reads 0 (8250 slots without a UART), plus the extra names of kExtraPortsVariable. Names carry no
// "/dev/" (the port maps "ttyUSB0" to /dev/ttyUSB0). Sorted case-insensitively (COM1, COM10, COM3;
// names equal but for case in case-sensitive order), duplicates dropped. The order does not depend on
// the process's collation settings, so a list reads the same on every machine.
// Raises EComPort code 23 "Registry error" with the errno when the folder cannot be listed; `ports` is
// left unchanged then.
void ListPortNames(QStringList& ports);

// What the system knows of a port, as lines for the port list's tooltip: the device's path; for a USB
// adapter the maker, the product, the serial number, the vendor and product numbers and the stable
// /dev/serial/by-id name, as far as sysfs has them; for other hardware the driver's name. Attributes
// that cannot be read are left out; never raises.
QString DescribePort(const QString& name);

// Value to text: the value's fixed text; an out-of-range value gives the empty text.
QString BaudRateText(TBaudRate value);
QString StopBitsText(TStopBits value);
QString DataBitsText(TDataBits value);
QString ParityText(TParityBits value);
QString FlowControlText(TFlowControl value);
QString DTRControlText(TDTRFlowControl value);
QString RTSControlText(TRTSFlowControl value);
QString BoolToYesNo(bool value); // "Yes" / "No"

// A character code 33..127 is written as itself, any other code as "#" and the decimal code ("#13").
QString CharText(char value);

// Text to value: the first value whose text equals the given one with the letters a-z upper-cased on
// both sides; text that matches nothing gives the default (br9600, sbOneStopBit, dbEight, prNone,
// fcCustom, dtrDisable, rtsDisable). Never raises.
TBaudRate TextToBaudRate(const QString& text);
TStopBits TextToStopBits(const QString& text);
TDataBits TextToDataBits(const QString& text);
TParityBits TextToParity(const QString& text);
TFlowControl TextToFlowControl(const QString& text);
TDTRFlowControl TextToDTRControl(const QString& text);
TRTSFlowControl TextToRTSControl(const QString& text);
bool YesNoToBool(const QString& text); // true exactly for "YES" in any case of a-z

// Empty text gives 0; "#" followed by a decimal integer (optional sign, 32-bit range) gives the low 8
// bits of that number ("#300" gives 44), "#" followed by anything else gives 0; otherwise the first
// character ("#" alone gives '#', "AB" gives 'A'; a character outside Latin-1 gives '?').
char TextToChar(const QString& text);
