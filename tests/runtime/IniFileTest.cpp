#include "runtime/IniFile.h"

#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

TEST(IniFile, TextAndIntegersBySectionAndKey) {
    TTempConfigHome home;
    const QString path = home.Path() + "/port.ini";
    {
        TIniFile ini(path);
        ini.WriteString("ComPort1", "Port", "COM3");
        ini.WriteString("ComPort1", "Note", "a, b; c = d");
        ini.WriteInteger("ComPort1", "Buffer.InputSize", 2048);
        ini.WriteBool("ComPort1", "Flag", true);
    }
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("ComPort1", "Port", "x"), "COM3");
    EXPECT_EQ(ini.ReadString("ComPort1", "Note", "x"), "a, b; c = d");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Buffer.InputSize", 1), 2048);
    EXPECT_TRUE(ini.ReadBool("ComPort1", "Flag", false));
    // Missing keys and sections, and texts that are no number, give the default.
    EXPECT_EQ(ini.ReadString("ComPort1", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Other", "Port", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Port", 9600), 9600);
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Missing", 9600), 9600);
    EXPECT_TRUE(ini.SectionExists("ComPort1"));
    EXPECT_TRUE(ini.ValueExists("ComPort1", "Port"));
    ini.DeleteKey("ComPort1", "Port");
    EXPECT_FALSE(ini.ValueExists("ComPort1", "Port"));
    ini.EraseSection("ComPort1");
    EXPECT_FALSE(ini.SectionExists("ComPort1"));
}

TEST(IniFile, ReadsFilesWrittenByHandAndRefusesUnwritableOnes) {
    TTempConfigHome home;
    const QString path = home.Path() + "/hand.ini";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[ComPort1]\nBaudRate=57600\nList=a, b\nHex=0x10\n");
    f.close();
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("ComPort1", "BaudRate", 0), 57600);
    EXPECT_EQ(ini.ReadString("ComPort1", "List", ""), "a, b");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Hex", 0), 16);

    TIniFile bad(home.Path() + "/hand.ini/inside.ini"); // a folder that is a file
    try {
        bad.WriteString("S", "K", "V");
        FAIL() << "write to an impossible path succeeded";
    } catch (const EIniFileException& e) {
        EXPECT_TRUE(e.Message().startsWith("Unable to write to ")) << e.Message().toStdString();
    }
}

namespace {

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

TEST(IniFile, ValueTextIsReadAndWrittenVerbatimInEverySection) {
    TTempConfigHome home;
    const QString path = home.Path() + "/other.ini";
    WriteBytes(path, "; written by another program\r\n"
                     "top=before any section\r\n"
                     "[General]\r\n"
                     "A=a,b\r\n"
                     "B=C:\\temp\\new\r\n"
                     "C=x;y\r\n"
                     "D = \"quoted\" \r\n"
                     "D=second\r\n"
                     "\r\n"
                     "[ComPort1]\r\n"
                     "Port=COM3\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("General", "A", "?"), "a,b");
    EXPECT_EQ(ini.ReadString("General", "B", "?"), "C:\\temp\\new");
    EXPECT_EQ(ini.ReadString("General", "C", "?"), "x;y");
    EXPECT_EQ(ini.ReadString("General", "D", "?"), "\"quoted\"");
    EXPECT_EQ(ini.ReadString("", "top", "?"), "before any section");
    EXPECT_EQ(ini.ReadSection("General"), (QStringList{"A", "B", "C", "D"}));
    EXPECT_EQ(ini.ReadSections(), (QStringList{"General", "ComPort1"}));
    EXPECT_EQ(ini.ReadString("general", "A", "?"), "?"); // names are case-sensitive

    // Writing changes only the lines it must; everything else stays where and as it was.
    ini.WriteString("General", "B", "D:\\x,y;z");
    ini.WriteString("General", "New", "n");
    ini.WriteString("Added", "K", "v");
    ini.DeleteKey("ComPort1", "Port");
    EXPECT_EQ(FileBytes(path), QByteArray("; written by another program\n"
                                          "top=before any section\n"
                                          "[General]\n"
                                          "A=a,b\n"
                                          "B=D:\\x,y;z\n"
                                          "C=x;y\n"
                                          "D = \"quoted\" \n"
                                          "D=second\n"
                                          "New=n\n"
                                          "\n"
                                          "[ComPort1]\n"
                                          "\n"
                                          "[Added]\n"
                                          "K=v\n"));
    EXPECT_EQ(TIniFile(path).ReadString("General", "B", "?"), "D:\\x,y;z");
    ini.EraseSection("General");
    EXPECT_FALSE(ini.SectionExists("General"));
    EXPECT_EQ(ini.ReadString("", "top", "?"), "before any section");
    EXPECT_EQ(ini.ReadString("Added", "K", "?"), "v");

    // A line break would make a second line: refused, the file unchanged.
    const QByteArray before = FileBytes(path);
    EXPECT_THROW(ini.WriteString("Added", "K", "two\nlines"), EIniFileException);
    EXPECT_EQ(FileBytes(path), before);
}
