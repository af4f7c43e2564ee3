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
