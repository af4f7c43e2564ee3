#include "runtime/IniFile.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

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

TEST(IniFile, ValueTextIsReadAndWrittenVerbatimInEverySection) {
    TTempConfigHome home;
    const QString path = home.Path() + "/other.ini";
    WriteFileBytes(path, "; written by another program\r\n"
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

    // Writing changes only the lines it must; everything else stays where and as it was, line ends too.
    ini.WriteString("General", "B", "D:\\x,y;z");
    ini.WriteString("General", "New", "n");
    ini.WriteString("Added", "K", "v");
    ini.DeleteKey("ComPort1", "Port");
    EXPECT_EQ(FileBytes(path), QByteArray("; written by another program\r\n"
                                          "top=before any section\r\n"
                                          "[General]\r\n"
                                          "A=a,b\r\n"
                                          "B=D:\\x,y;z\r\n"
                                          "C=x;y\r\n"
                                          "D = \"quoted\" \r\n"
                                          "D=second\r\n"
                                          "New=n\r\n"
                                          "\r\n"
                                          "[ComPort1]\r\n"
                                          "\r\n"
                                          "[Added]\r\n"
                                          "K=v\r\n"));
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

namespace {

struct TBytesCase {
    const char* Name;
    QByteArray Before;
    std::function<void(TIniFile&)> Operation;
    QByteArray After;
};

} // namespace

// Hand-edited files: a change rewrites only the lines it must, byte for byte as they were, and reaches
// every copy of a key or a section.
TEST(IniFile, ChangesLeaveEveryOtherByteAsItWas) {
    const TBytesCase cases[] = {
        {"a line that is not UTF-8 in another section",
         "[Names]\nM\xfcller=Gr\xfc\xdf"
         "e\n\n[S]\nK=1\n",
         [](TIniFile& ini) { ini.WriteString("S", "K", "2"); },
         "[Names]\nM\xfcller=Gr\xfc\xdf"
         "e\n\n[S]\nK=2\n"},
        {"line ends of the file, also for a new line", "[S]\r\nA=1\r\n\r\n[T]\r\nB=1\r\n",
         [](TIniFile& ini) { ini.WriteString("S", "N", "2"); }, "[S]\r\nA=1\r\nN=2\r\n\r\n[T]\r\nB=1\r\n"},
        {"byte order mark, last line without its end", "\xEF\xBB\xBF[S]\nA=1",
         [](TIniFile& ini) { ini.WriteString("S", "B", "2"); }, "\xEF\xBB\xBF[S]\nA=1\nB=2\n"},
        {"the same value again", "[S]\nK = v \n", [](TIniFile& ini) { ini.WriteString("S", "K", "v"); },
         "[S]\nK = v \n"},
        {"new key before the comment that heads the next section", "[S]\nA=1\n; about T\n[T]\n",
         [](TIniFile& ini) { ini.WriteString("S", "B", "2"); }, "[S]\nA=1\nB=2\n; about T\n[T]\n"},
        {"a key of the second block is written there", "[S]\nA=1\n[T]\n[S]\nB=2\n",
         [](TIniFile& ini) { ini.WriteString("S", "B", "3"); }, "[S]\nA=1\n[T]\n[S]\nB=3\n"},
        {"DeleteKey removes every copy", "[S]\nK=1\nK=2\n[T]\nK=3\n[S]\nK=4\n",
         [](TIniFile& ini) { ini.DeleteKey("S", "K"); }, "[S]\n[T]\nK=3\n[S]\n"},
        {"EraseSection removes every block", "[S]\nA=1\n; about T\n[T]\nB=2\n[S]\nC=3\n",
         [](TIniFile& ini) { ini.EraseSection("S"); }, "; about T\n[T]\nB=2\n"},
    };
    for (const TBytesCase& c : cases) {
        TTempConfigHome home;
        const QString path = home.Path() + "/hand.ini";
        WriteFileBytes(path, c.Before);
        TIniFile ini(path);
        c.Operation(ini);
        EXPECT_EQ(FileBytes(path), c.After) << c.Name;
    }
}

TEST(IniFile, ReadsHandEditsAsTheyWereMeant) {
    TTempConfigHome home;
    const QString path = home.Path() + "/hand.ini";
    WriteFileBytes(path, "[Names]\nM\xfcller=Gr\xfc\xdf"
                         "e\nUTF=M\xc3\xbcller\n[S]\nA=1\n[T]\n[S]\nB=2\nA=3\n[U] ; note [x]\nC=4\n"
                         "[ComPort1]\nBaudRate=57600\nList=a, b\nHex=0x10\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("ComPort1", "BaudRate", 0), 57600);
    EXPECT_EQ(ini.ReadString("ComPort1", "List", ""), "a, b");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "Hex", 0), 16);
    EXPECT_EQ(ini.ReadString("Names", QString::fromUtf8("M\xc3\xbcller"), "?"),
              QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                "e"));
    EXPECT_EQ(ini.ReadString("Names", "UTF", "?"), QString::fromUtf8("M\xc3\xbcller"));
    EXPECT_EQ(ini.ReadString("S", "B", "?"), "2");
    EXPECT_EQ(ini.ReadString("S", "A", "?"), "1");
    EXPECT_EQ(ini.ReadSection("S"), (QStringList{"A", "B"}));
    EXPECT_EQ(ini.ReadSection("U"), (QStringList{"C"})); // a header may end in a comment
}

// Every name the store takes is found again; the others are refused and the file stays as it was.
TEST(IniFile, NamesAreEitherFoundAgainOrRefused) {
    TTempConfigHome home;
    const QString path = home.Path() + "/names.ini";
    WriteFileBytes(path, "[S]\nK=1\n");
    const QString lone(QChar(0xD800));
    const std::pair<QString, QString> refused[] = {
        {"S", " K"},  {"S", "K\t"},      {"S", ";K"},  {"S", "#K"},   {"S", "[K"},
        {"S", ""},    {"S", "K=L"},      {"S", "K\r"}, {" S", "K"},   {"S ", "K"},
        {"S\r", "K"}, {"S", "K" + lone}, {lone, "K"},  {"S] ;x", "K"}};
    TIniFile ini(path);
    for (const auto& [section, key] : refused) {
        try {
            ini.WriteString(section, key, "v");
            ADD_FAILURE() << "accepted [" << section.toStdString() << "] " << key.toStdString();
        } catch (const EIniFileException& e) {
            EXPECT_TRUE(e.Message().startsWith("Unable to write to ")) << e.Message().toStdString();
        }
    }
    EXPECT_EQ(FileBytes(path), "[S]\nK=1\n");

    const std::pair<QString, QString> found[] = {{"a]b", "k;x"}, {"[x", "k"}, {"", "top"},
                                                 {"S", "a b"},   {"S", "k]"}, {"=", "k#"}};
    for (int round = 0; round < 2; ++round)
        for (const auto& [section, key] : found)
            ini.WriteString(section, key, QString::number(round));
    for (const auto& [section, key] : found)
        EXPECT_EQ(TIniFile(path).ReadString(section, key, "?"), "1") << key.toStdString();
    EXPECT_EQ(FileBytes(path).count('\n'), 14) << FileBytes(path).toStdString(); // no line twice
}

// The content is kept between operations, but a change by another writer is always seen.
TEST(IniFile, SeesEveryOtherWriter) {
    TTempConfigHome home;
    const QString path = home.Path() + "/shared.ini";
    TIniFile a(path), b(path);
    a.WriteString("S", "K", "1");
    EXPECT_EQ(b.ReadString("S", "K", "?"), "1");
    b.WriteString("S", "K", "2");
    EXPECT_EQ(a.ReadString("S", "K", "?"), "2");
    a.WriteString("S", "L", "3");
    EXPECT_EQ(FileBytes(path), "[S]\nK=2\nL=3\n");
    WriteFileBytes(path, "[S]\nK=7\nL=8\n"); // same size, same file, at once
    EXPECT_EQ(a.ReadString("S", "K", "?"), "7");
    a.WriteString("S", "M", "9");
    EXPECT_EQ(FileBytes(path), "[S]\nK=7\nL=8\nM=9\n");
    try { // a folder that is a file
        TIniFile(path + "/inside.ini").WriteString("S", "K", "V");
        FAIL() << "write to an impossible path succeeded";
    } catch (const EIniFileException& e) {
        EXPECT_TRUE(e.Message().startsWith("Unable to write to ")) << e.Message().toStdString();
    }
    QFile::remove(path);
    EXPECT_EQ(a.ReadString("S", "K", "?"), "?");

    // A store that cannot be read is never written over.
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_THROW(a.WriteString("S", "K", "1"), EIniFileException);
    EXPECT_TRUE(QFileInfo(path).isDir());
    // A pipe is not read (it would wait for a writer): a writer that is there shows what a read would see.
    const QString pipe = home.Path() + "/pipe.ini";
    ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_EQ(WithPipeWriter(pipe, "[S]\nK=V\n", [&] { return TIniFile(pipe).ReadString("S", "K", "?"); }),
              "?");
}
