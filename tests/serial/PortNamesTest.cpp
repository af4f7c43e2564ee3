#include "serial/PortNames.h"
#include "serial/ComError.h"
#include "support/EnvGuard.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <unistd.h>

namespace {

// A fake tty class folder: each entry is a folder, with a `device` symlink when it stands for hardware
// and a `type` file when given.
class TFakeSysfs {
public:
    TFakeSysfs() { EXPECT_TRUE(m_dir.isValid()); }
    QString Root() const { return m_dir.path(); }

    void Add(const QString& name, bool device, const char* type = nullptr) {
        const QString entry = m_dir.filePath(name);
        ASSERT_TRUE(QDir().mkpath(entry));
        if (device) {
            ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("devices/") + name)));
            ASSERT_EQ(symlink(QByteArray("../devices/" + name.toLocal8Bit()).constData(),
                              QByteArray(entry.toLocal8Bit() + "/device").constData()),
                      0);
        }
        if (type)
            WriteFileBytes(entry + QStringLiteral("/type"), type);
    }

private:
    QTemporaryDir m_dir;
};

// The list read from a tty class folder: hardware entries sorted without regard to case (placeholder
// serial slots and virtual terminals left out), the extra names joined once, what the list held dropped.
TEST(PortNames, ListFromTheClassFolder) {
    struct TEntry {
        const char* Name;
        bool Device;
        const char* Type;
    };
    struct TCase {
        const char* Name;
        std::vector<TEntry> Entries;
        QByteArray Extra;
        QStringList Before, After;
    };
    // clang-format off
    const TCase cases[] = {
        {"hardware entries sorted case-insensitively",
         {{"COM3", true, nullptr}, {"COM1", true, nullptr}, {"COM10", true, nullptr}, {"com2", true, nullptr},
          {"ttyS0", true, "0\n"},      // placeholder slot
          {"ttyS1", true, "4\n"},      // a real 16550A
          {"ttyS2", true, nullptr},    // no type file: kept
          {"tty0", false, nullptr},    // virtual console, no device link
          {"console", false, nullptr}, {"devices", false, nullptr},
          {"ttyUSB0", true, "0\n"}},   // only ttyS slots are placeholders
         "", {"stale"}, {"COM1", "COM10", "com2", "COM3", "ttyS1", "ttyS2", "ttyUSB0"}},
        {"extra names join the sorted list once", {{"ttyUSB0", true, nullptr}}, "/dev/pts/5::ttyUSB0: ttyACM1 ",
         {}, {"/dev/pts/5", "ttyACM1", "ttyUSB0"}},
        {"an empty folder gives an empty list", {}, "", {"COM1"}, {}},
    };
    // clang-format on
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeSysfs sysfs;
        for (const TEntry& e : c.Entries)
            sysfs.Add(e.Name, e.Device, e.Type);
        TEnvGuard root(kSysfsTtyRootVariable, sysfs.Root().toLocal8Bit());
        TEnvGuard extra(kExtraPortsVariable, c.Extra);
        QStringList ports = c.Before;
        ListPortNames(ports);
        EXPECT_EQ(ports, c.After);
    }
}

TEST(PortNames, RealListNamesExistingDevices) {
    TEnvGuard root(kSysfsTtyRootVariable, QByteArray());
    TEnvGuard extra(kExtraPortsVariable, QByteArray());
    QStringList ports;
    ListPortNames(ports);
    for (const QString& name : ports) {
        EXPECT_FALSE(name.startsWith(QStringLiteral("/dev/")));
        EXPECT_TRUE(QFile::exists(QStringLiteral("/dev/") + name)) << name.toStdString();
    }
}

TEST(PortNames, UnreadableListRaisesRegistryErrorAndKeepsPorts) {
    QTemporaryDir dir;
    WriteFileBytes(dir.filePath(QStringLiteral("file")), {});

    const struct {
        QString root;
        int error;
    } cases[] = {
        {dir.filePath(QStringLiteral("missing")), ENOENT},
        {dir.filePath(QStringLiteral("file")), ENOTDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.root.toStdString());
        TEnvGuard root(kSysfsTtyRootVariable, c.root.toLocal8Bit());
        QStringList ports{QStringLiteral("COM7")};
        EXPECT_EQ(FailureOf([&] { ListPortNames(ports); }), std::make_pair(23, c.error));
        EXPECT_EQ(MessageOf([&] { ListPortNames(ports); }),
                  QStringLiteral("Registry error (win error code: %1)").arg(c.error));
        EXPECT_EQ(ports, QStringList{QStringLiteral("COM7")});
    }
}

// Every value's text, and the way back from its text in any case of a-z.
template <class E>
void CheckRoundTrip(std::function<QString(E)> toText, std::function<E(const QString&)> toValue,
                    const QStringList& texts) {
    for (int i = 0; i < texts.size(); ++i) {
        const E value = static_cast<E>(i);
        EXPECT_EQ(toText(value), texts[i]);
        EXPECT_EQ(toValue(texts[i]), value) << texts[i].toStdString();
        EXPECT_EQ(toValue(texts[i].toLower()), value) << texts[i].toStdString();
        EXPECT_EQ(toValue(texts[i].toUpper()), value) << texts[i].toStdString();
    }
}

TEST(PortNames, EveryValueTextAndBack) {
    CheckRoundTrip<TBaudRate>(BaudRateText, TextToBaudRate,
                              {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400",
                               "19200", "38400", "56000", "57600", "115200", "128000", "256000"});
    CheckRoundTrip<TStopBits>(StopBitsText, TextToStopBits, {"1", "1.5", "2"});
    CheckRoundTrip<TDataBits>(DataBitsText, TextToDataBits, {"5", "6", "7", "8"});
    CheckRoundTrip<TParityBits>(ParityText, TextToParity, {"None", "Odd", "Even", "Mark", "Space"});
    CheckRoundTrip<TFlowControl>(FlowControlText, TextToFlowControl,
                                 {"Hardware", "Software", "None", "Custom"});
    CheckRoundTrip<TDTRFlowControl>(DTRControlText, TextToDTRControl, {"Disable", "Enable", "Handshake"});
    CheckRoundTrip<TRTSFlowControl>(RTSControlText, TextToRTSControl,
                                    {"Disable", "Enable", "Handshake", "Toggle"});
    EXPECT_EQ(BoolToYesNo(true), QStringLiteral("Yes"));
    EXPECT_EQ(BoolToYesNo(false), QStringLiteral("No"));
}

TEST(PortNames, UnknownTextGivesTheDefault) {
    EXPECT_EQ(TextToBaudRate(QStringLiteral("12345")), br9600);
    EXPECT_EQ(TextToBaudRate(QStringLiteral(" 38400")), br9600);
    EXPECT_EQ(TextToBaudRate(QString()), br9600);
    EXPECT_EQ(TextToStopBits(QStringLiteral("1,5")), sbOneStopBit);
    EXPECT_EQ(TextToDataBits(QStringLiteral("9")), dbEight);
    EXPECT_EQ(TextToParity(QStringLiteral("Nonе")), prNone); // Cyrillic e
    EXPECT_EQ(TextToParity(QStringLiteral("ODD ")), prNone);
    EXPECT_EQ(TextToFlowControl(QString()), fcCustom);
    EXPECT_EQ(TextToDTRControl(QStringLiteral("Toggle")), dtrDisable);
    EXPECT_EQ(TextToRTSControl(QStringLiteral("tOgGlE")), rtsToggle);
    // Only a-z are upper-cased: a Latin-1 letter does not match its capital.
    EXPECT_EQ(TextToParity(QStringLiteral("Spac\u00e9")), prNone);

    const struct {
        const char* text;
        bool value;
    } yesNo[] = {{"Yes", true}, {"yes", true}, {"YES", true},  {"Y", false},
                 {"No", false}, {"", false},   {"yes ", false}};
    for (const auto& c : yesNo)
        EXPECT_EQ(YesNoToBool(QString::fromLatin1(c.text)), c.value) << c.text;
}

TEST(PortNames, CharacterTexts) {
    const struct {
        int code;
        const char* text;
    } toText[] = {{0, "#0"}, {13, "#13"},   {17, "#17"},   {32, "#32"},   {33, "!"},
                  {65, "A"}, {127, "\x7f"}, {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const auto& c : toText)
        EXPECT_EQ(CharText(char(c.code)), QString::fromLatin1(c.text)) << c.code;

    // Every code survives the way to text and back.
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(CharText(char(code)))), code) << code;

    const struct {
        QString text;
        int code;
    } toChar[] = {
        {"", 0},         {"#17", 17},          {"#", '#'},          {"#x", 0},  {"#300", 44},
        {"#-1", 255},    {"#+65", 65},         {"#1 ", 0},          {"# 1", 0}, {"#-", 0},
        {"#$41", 0},     {"#4294967296", 0},   {"AB", 'A'},         {"##", 0},  {"\u00e9", 0xE9},
        {"\u20ac", '?'}, {"#2147483647", 255}, {"#-2147483648", 0},
    };
    for (const auto& c : toChar)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(c.text)), c.code) << c.text.toStdString();
}

} // namespace

// Port descriptions from a fake sysfs tree: a USB serial adapter (tty below the interface), a USB modem
// (the interface is the tty's device) with only some attributes, a built-in UART and a pty path.
class PortDescriptions : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sys.isValid() && m_byId.isValid());
        Device("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0");
        Attribute("devices/usb1/1-1", "manufacturer", "FTDI\n");
        Attribute("devices/usb1/1-1", "product", "FT232R USB UART\n");
        Attribute("devices/usb1/1-1", "serial", "A50285BI\n");
        Attribute("devices/usb1/1-1", "idVendor", "0403\n");
        Attribute("devices/usb1/1-1", "idProduct", "6001\n");
        Device("ttyACM0", "devices/usb1/1-2/1-2:1.0");
        Attribute("devices/usb1/1-2", "idVendor", "2341\n");
        Attribute("devices/usb1/1-2", "idProduct", "0043\n");
        // Newer kernels put the serial core's port and controller devices between the tty and the UART.
        Device("ttyS1", "devices/platform/serial8250/serial8250:0/serial8250:0.1");
        Driver("devices/platform/serial8250/serial8250:0/serial8250:0.1", "serial-base", "port");
        Driver("devices/platform/serial8250/serial8250:0", "serial-base", "ctrl");
        Driver("devices/platform/serial8250", "platform", "serial8250");
        Device("ttyS2", "devices/pnp0/00:01");
        Driver("devices/pnp0/00:01", "pnp", "serial");
        ByIdLink("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
        ByIdLink("usb-Arduino_Uno_7563-if00", "../../ttyACM0");
        m_rootGuard.emplace(kSysfsTtyRootVariable, QFile::encodeName(m_sys.filePath("class/tty")));
        m_byIdGuard.emplace(kSerialByIdRootVariable, QFile::encodeName(m_byId.path()));
    }

    // The tty class entry `name` whose device link points at the folder `device` of the fake tree.
    void Device(const QString& name, const QString& device) {
        ASSERT_TRUE(QDir().mkpath(m_sys.filePath("class/tty/" + name)));
        ASSERT_TRUE(QDir().mkpath(m_sys.filePath(device)));
        ASSERT_EQ(symlink(QFile::encodeName("../../../" + device).constData(),
                          QFile::encodeName(m_sys.filePath("class/tty/" + name + "/device")).constData()),
                  0);
    }
    // Links the device folder's driver to bus/BUS/drivers/NAME of the fake tree.
    void Driver(const QString& folder, const QString& bus, const QString& name) {
        const QString driver = "bus/" + bus + "/drivers/" + name;
        ASSERT_TRUE(QDir().mkpath(m_sys.filePath(driver)));
        const QString up = QString("../").repeated(folder.count('/') + 1);
        ASSERT_EQ(symlink(QFile::encodeName(up + driver).constData(),
                          QFile::encodeName(m_sys.filePath(folder + "/driver")).constData()),
                  0);
    }
    void Attribute(const QString& folder, const QString& name, const QByteArray& value) {
        WriteFileBytes(m_sys.filePath(folder + "/" + name), value);
    }
    void ByIdLink(const QString& name, const QByteArray& target) {
        ASSERT_EQ(symlink(target.constData(), QFile::encodeName(m_byId.filePath(name)).constData()), 0);
    }
    QString ByIdPath(const QString& name) const { return m_byId.filePath(name); }

    QTemporaryDir m_sys;
    QTemporaryDir m_byId;
    std::optional<TEnvGuard> m_rootGuard;
    std::optional<TEnvGuard> m_byIdGuard;
};

TEST_F(PortDescriptions, UsbAdaptersNameMakerProductSerialAndStableName) {
    EXPECT_EQ(
        DescribePort("ttyUSB0"),
        "/dev/ttyUSB0\nMaker: FTDI\nProduct: FT232R USB UART\nSerial number: A50285BI\nUSB ID: 0403:6001\n" +
            ByIdPath("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    // Attributes the device does not have are left out.
    EXPECT_EQ(DescribePort("ttyACM0"),
              "/dev/ttyACM0\nUSB ID: 2341:0043\n" + ByIdPath("usb-Arduino_Uno_7563-if00"));
}

TEST_F(PortDescriptions, OtherPortsNameTheirDriverOrOnlyTheirPath) {
    EXPECT_EQ(DescribePort("ttyS1"), "/dev/ttyS1\nDriver: serial8250 (platform)");
    EXPECT_EQ(DescribePort("ttyS2"), "/dev/ttyS2\nDriver: serial (pnp)");
    EXPECT_EQ(DescribePort("/dev/pts/5"), "/dev/pts/5");
    EXPECT_EQ(DescribePort("COM2"), "/dev/ttyS1") << "no sysfs entry named COM2";
    EXPECT_EQ(DescribePort("ttyUSB9"), "/dev/ttyUSB9") << "not in sysfs";
    // No by-id folder (no USB serial device plugged in): the rest stays.
    TEnvGuard noById(kSerialByIdRootVariable, "/nonexistent/by-id");
    EXPECT_EQ(DescribePort("ttyACM0"), "/dev/ttyACM0\nUSB ID: 2341:0043");
}
