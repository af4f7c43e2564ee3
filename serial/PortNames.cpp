#include "serial/PortNames.h"

#include "serial/ComError.h"
#include "serial/platform/SerialDevice.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The port engine's diagnostics category (defined with the port).
Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace {

// clang-format off
constexpr std::array<const char*, 16> kBaudRateTexts = {
    "Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
    "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 3> kStopBitsTexts    = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataBitsTexts    = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts      = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDTRControlTexts  = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRTSControlTexts  = {"Disable", "Enable", "Handshake", "Toggle"};
// clang-format on

constexpr const char* kRealSysfsTtyRoot = "/sys/class/tty";
constexpr const char* kRealSerialByIdRoot = "/dev/serial/by-id";

template <size_t N> QString ValueText(const std::array<const char*, N>& texts, int ordinal) {
    if (ordinal < 0 || size_t(ordinal) >= N)
        return {};
    return QString::fromLatin1(texts[size_t(ordinal)]);
}

// Upper-cases the letters a to z only; every other character stays as it is.
QString UpperAscii(const QString& text) {
    QString result = text;
    for (QChar& c : result) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - ('a' - 'A'));
    }
    return result;
}

template <class E, size_t N>
E TextToValue(const std::array<const char*, N>& texts, const QString& text, E fallback) {
    const QString wanted = UpperAscii(text);
    for (size_t i = 0; i < N; ++i) {
        if (UpperAscii(QString::fromLatin1(texts[i])) == wanted)
            return static_cast<E>(i);
    }
    return fallback;
}

// A decimal integer: optional sign, at least one digit, nothing else, within the 32-bit range.
bool ParseDecimalInt(QStringView text, int& value) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return false;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > 1LL + INT_MAX)
            return false;
    }
    const long long signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX || signedValue < INT_MIN)
        return false;
    value = int(signedValue);
    return true;
}

QByteArray SysfsTtyRoot() {
    const QByteArray root = qgetenv(kSysfsTtyRootVariable);
    return root.isEmpty() ? QByteArray(kRealSysfsTtyRoot) : root;
}

QString SerialByIdRoot() {
    const QByteArray root = qgetenv(kSerialByIdRootVariable);
    return QString::fromLocal8Bit(root.isEmpty() ? QByteArray(kRealSerialByIdRoot) : root);
}

// The first line of a small sysfs attribute file, empty when it cannot be read.
QString ReadAttribute(const QString& dir, const char* name) {
    QFile file(dir + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).section(QLatin1Char('\n'), 0, 0).trimmed();
}

// The USB device a tty belongs to: the nearest folder above the tty's device that has a vendor number
// (the tty's device is the USB interface, or a port below it). Empty for other hardware.
QString UsbDeviceFolder(const QString& deviceFolder) {
    QDir dir(deviceFolder);
    for (int level = 0; level < 4 && !deviceFolder.isEmpty(); ++level) {
        if (QFileInfo::exists(dir.filePath(QStringLiteral("idVendor"))))
            return dir.path();
        if (!dir.cdUp())
            break;
    }
    return {};
}

// The /dev/serial/by-id links that point at the device node `node` ("ttyUSB0").
QStringList ByIdNames(const QString& node) {
    QStringList names;
    const QDir dir(SerialByIdRoot());
    for (const QString& entry :
         dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString target = QFile::symLinkTarget(dir.filePath(entry));
        if (!target.isEmpty() && QFileInfo(target).fileName() == node)
            names.append(dir.filePath(entry));
    }
    return names;
}

// The driver of a port's hardware with its bus ("serial8250 (platform)"). The serial core's own port
// and controller devices (bus serial-base) stand between the tty and the hardware; their drivers are
// skipped. Empty when none is found.
QString DriverOf(const QString& deviceFolder) {
    QDir dir(deviceFolder);
    for (int level = 0; level < 4; ++level) {
        // The link points at .../bus/<bus>/drivers/<driver>.
        const QString target = QFile::symLinkTarget(dir.filePath(QStringLiteral("driver")));
        const QStringList parts = target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.size() >= 4 && parts[parts.size() - 4] == QLatin1String("bus")) {
            const QString& bus = parts[parts.size() - 3];
            if (bus != QLatin1String("serial-base"))
                return parts.last() + QStringLiteral(" (") + bus + QLatin1Char(')');
        }
        if (!dir.cdUp())
            break;
    }
    return {};
}

struct TDirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// 8250 placeholder slots (no UART behind them) report type 0 and fail to open.
bool IsPlaceholderPort(int entryDirFd) {
    const int fd = openat(entryDirFd, "type", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[16] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    // The file holds the UART type as a decimal number and a line feed.
    return n > 0 && std::strtol(buf, nullptr, 10) == 0 && buf[0] == '0';
}

bool IsHardwarePort(int rootFd, const char* name) {
    const int entryFd = openat(rootFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (entryFd < 0)
        return false;
    struct stat st;
    bool result = fstatat(entryFd, "device", &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (result && qstrncmp(name, "ttyS", 4) == 0)
        result = !IsPlaceholderPort(entryFd);
    close(entryFd);
    return result;
}

} // namespace

void ListPortNames(QStringList& ports) {
    const QByteArray root = SysfsTtyRoot();
    std::unique_ptr<DIR, TDirCloser> dir(opendir(root.constData()));
    if (!dir) {
        const int error = errno;
        qCDebug(lcSerial) << "cannot open" << root << "errno" << error;
        throw EComPort(CError_RegError, error);
    }

    QStringList names;
    const int rootFd = dirfd(dir.get());
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0) {
                const int error = errno;
                qCDebug(lcSerial) << "cannot read" << root << "errno" << error;
                throw EComPort(CError_RegError, error);
            }
            break;
        }
        if (entry->d_name[0] == '.')
            continue;
        if (IsHardwarePort(rootFd, entry->d_name))
            names.append(QString::fromLocal8Bit(entry->d_name));
    }

    const QString extra = QString::fromLocal8Bit(qgetenv(kExtraPortsVariable));
    for (const QString& name : extra.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString trimmed = name.trimmed();
        if (!trimmed.isEmpty())
            names.append(trimmed);
    }

    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int byText = a.compare(b, Qt::CaseInsensitive);
        return byText != 0 ? byText < 0 : a < b;
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());
    ports = std::move(names);
}

QString DescribePort(const QString& name) {
    QStringList lines;
    const QString path = QString::fromStdString(PortNameToPath(name.toStdString()));
    lines.append(path);
    if (name.contains(QLatin1Char('/')))
        return lines.join(QLatin1Char('\n'));

    const QString entry = QString::fromLocal8Bit(SysfsTtyRoot()) + QLatin1Char('/') + name;
    const QString device = QFileInfo(entry + QStringLiteral("/device")).canonicalFilePath();
    if (device.isEmpty())
        return lines.join(QLatin1Char('\n'));
    auto add = [&lines](const char* label, const QString& value) {
        if (!value.isEmpty())
            lines.append(QLatin1String(label) + value);
    };
    const QString usb = UsbDeviceFolder(device);
    if (!usb.isEmpty()) {
        add("Maker: ", ReadAttribute(usb, "manufacturer"));
        add("Product: ", ReadAttribute(usb, "product"));
        add("Serial number: ", ReadAttribute(usb, "serial"));
        const QString vendor = ReadAttribute(usb, "idVendor");
        const QString product = ReadAttribute(usb, "idProduct");
        if (!vendor.isEmpty() && !product.isEmpty())
            add("USB ID: ", vendor + QLatin1Char(':') + product);
        for (const QString& byId : ByIdNames(QFileInfo(path).fileName()))
            add("", byId);
    } else {
        add("Driver: ", DriverOf(device));
    }
    return lines.join(QLatin1Char('\n'));
}

QString BaudRateText(TBaudRate value) {
    return ValueText(kBaudRateTexts, int(value));
}
QString StopBitsText(TStopBits value) {
    return ValueText(kStopBitsTexts, int(value));
}
QString DataBitsText(TDataBits value) {
    return ValueText(kDataBitsTexts, int(value));
}
QString ParityText(TParityBits value) {
    return ValueText(kParityTexts, int(value));
}
QString FlowControlText(TFlowControl value) {
    return ValueText(kFlowControlTexts, int(value));
}
QString DTRControlText(TDTRFlowControl value) {
    return ValueText(kDTRControlTexts, int(value));
}
QString RTSControlText(TRTSFlowControl value) {
    return ValueText(kRTSControlTexts, int(value));
}
QString BoolToYesNo(bool value) {
    return value ? QStringLiteral("Yes") : QStringLiteral("No");
}

QString CharText(char value) {
    const int code = static_cast<unsigned char>(value);
    if (code >= 33 && code <= 127)
        return QString(QChar(char16_t(code)));
    return QLatin1Char('#') + QString::number(code);
}

TBaudRate TextToBaudRate(const QString& text) {
    return TextToValue(kBaudRateTexts, text, br9600);
}
TStopBits TextToStopBits(const QString& text) {
    return TextToValue(kStopBitsTexts, text, sbOneStopBit);
}
TDataBits TextToDataBits(const QString& text) {
    return TextToValue(kDataBitsTexts, text, dbEight);
}
TParityBits TextToParity(const QString& text) {
    return TextToValue(kParityTexts, text, prNone);
}
TFlowControl TextToFlowControl(const QString& text) {
    return TextToValue(kFlowControlTexts, text, fcCustom);
}
TDTRFlowControl TextToDTRControl(const QString& text) {
    return TextToValue(kDTRControlTexts, text, dtrDisable);
}
TRTSFlowControl TextToRTSControl(const QString& text) {
    return TextToValue(kRTSControlTexts, text, rtsDisable);
}
bool YesNoToBool(const QString& text) {
    return UpperAscii(text) == QLatin1String("YES");
}

char TextToChar(const QString& text) {
    if (text.isEmpty())
        return 0;
    if (text.size() > 1 && text[0] == QLatin1Char('#')) {
        int number = 0;
        if (!ParseDecimalInt(QStringView(text).mid(1), number))
            return 0;
        return static_cast<char>(static_cast<unsigned char>(number & 0xFF));
    }
    const char16_t first = text[0].unicode();
    return first <= 0xFF ? static_cast<char>(static_cast<unsigned char>(first)) : '?';
}
