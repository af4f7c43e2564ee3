#include "runtime/Registry.h"

#include "runtime/Exception.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const ERegistryException& e) {
        return e.Message();
    }
    return QString();
}

void WriteStoreBytes(const QByteArray& bytes) {
    WriteFileBytes(RegistryStorePath(), bytes);
}

QByteArray StoreBytes() {
    return FileBytes(RegistryStorePath());
}

// Bytes of a literal that may hold NUL bytes.
template <size_t N> QByteArray Bytes(const char (&s)[N]) {
    return QByteArray(s, qsizetype(N - 1));
}

// Joins what a list of reads gave, for the tables below.
QString Reads(const QStringList& parts) {
    return parts.join(QLatin1Char('|'));
}

TRegistryData::TValue Value(const QString& name, TRegDataType type, const QByteArray& data) {
    TRegistryData::TValue v;
    v.Name = name;
    v.Type = type;
    v.Data = data;
    return v;
}

} // namespace

TEST(Registry, StoreLivesUnderTheConfigHome) {
    TTempConfigHome home;
    EXPECT_EQ(RegistryStorePath(), home.Path() + "/corvantel/registry.conf");
    EXPECT_EQ(LegacyRegistryStorePath(), home.Path() + "/corvantel/registry.dat");
}

TEST(Registry, TypedReadAndWriteFailuresNameTheValue) {
    TTempConfigHome home;
    TRegistry reg;
    // Writing without an open key.
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("X", "y"); }), "Failed to set data for 'X'");
    ASSERT_TRUE(reg.OpenKey("Software\\T", true));
    reg.WriteString("Text", "abc");
    reg.WriteInteger("Number", 7);
    EXPECT_EQ(reg.ReadString("Missing"), ""); // missing text reads as empty
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Text"); }), "Invalid data type for 'Text'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("Number"); }), "Invalid data type for 'Number'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("Text"); }), "Invalid data type for 'Text'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadBinaryData("Missing"); }), "Failed to get data for 'Missing'");

    TRegistry ro;
    ASSERT_TRUE(ro.OpenKeyReadOnly("Software\\T"));
    EXPECT_EQ(ErrorOf([&] { ro.WriteInteger("Number", 1); }), "Failed to set data for 'Number'");
    // A key deleted behind an open registry object is not silently recreated.
    EXPECT_TRUE(TRegistry().DeleteKey("Software\\T"));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Text", "x"); }), "Failed to set data for 'Text'");
}

TEST(Registry, DeleteKeyRemovesTheSubtreeOnly) {
    TTempConfigHome home;
    TRegistry reg;
    ASSERT_TRUE(reg.CreateKey("A\\B\\C"));
    ASSERT_TRUE(reg.CreateKey("A\\Bx"));
    EXPECT_TRUE(reg.DeleteKey("a\\b"));
    EXPECT_FALSE(reg.KeyExists("A\\B\\C"));
    EXPECT_TRUE(reg.KeyExists("A\\Bx"));
    EXPECT_FALSE(reg.DeleteKey("A\\B"));
}

TEST(Registry, GarbledOrTruncatedBinaryFormsAreRefusedWhole) {
    TRegistryData data;
    TRegistryData::TKey& key = data.CreateKey(HKEY_CURRENT_USER, "Software\\K");
    TRegistryData::SetValue(key, Value("Name", TRegDataType::rdString, "value"));
    TRegistryData::SetValue(key, Value("Bin", TRegDataType::rdBinary, QByteArray(100, 'x')));
    const QByteArray good = data.SerializeBinary();
    TRegistryData parsed;
    ASSERT_TRUE(parsed.Parse(good));
    EXPECT_EQ(parsed.Serialize(), data.Serialize());

    // Every truncation and a length field blown up to 4 GB are refused whole.
    for (qsizetype n = 8; n < good.size(); ++n)
        EXPECT_FALSE(parsed.Parse(good.left(n))) << n;
    EXPECT_TRUE(parsed.Empty());
    QByteArray huge = good;
    huge[8] = char(0xFF), huge[9] = char(0xFF), huge[10] = char(0xFF), huge[11] = char(0x7F);
    EXPECT_FALSE(parsed.Parse(huge));
    EXPECT_FALSE(parsed.Parse(good + "x"));
}

TEST(Registry, TheTextFormReadsBackToTheSameText) {
    // Found by fuzzing: carriage returns piled up at a line end, and more than one byte order mark.
    for (const QByteArray& input :
         {QByteArray("; c\n[HKEY_CURRENT_USER\\S]\n\"L\"=\"x\"\r\r\r\n[H\r\r\r\nrest\r\r"),
          QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF; c\n[HKEY_CURRENT_USER]\n@=dword:1\n"),
          // A key whose header follows one of its subkeys', with lines below it.
          QByteArray(
              "[HKEY_CURRENT_USER\\A]\n[X]\nq\n[HKEY_CURRENT_USER\\]\nbad\n[HKEY_CURRENT_USER\\B]\n")}) {
        TRegistryData once, twice;
        ASSERT_TRUE(once.Parse(input));
        const QByteArray saved = once.Serialize();
        ASSERT_TRUE(twice.Parse(saved));
        EXPECT_EQ(twice.Serialize(), saved);
    }
}

TEST(Registry, AStoreThatCannotBeReadIsNeverWrittenOver) {
    TTempConfigHome home;
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\A", true));
        reg.WriteString("Keep", "me");
        ASSERT_TRUE(reg.OpenKey("\\Software\\B", true));
        reg.WriteInteger("Also", 1);
    }
    const QByteArray before = StoreBytes();
    ASSERT_TRUE(before.contains("\"Keep\"=\"me\"")) << before.toStdString();

    struct TFailReads {
        TFailReads() { SetRegistryReadFailureForTesting(true); }
        ~TFailReads() { SetRegistryReadFailureForTesting(false); }
    };
    auto failing = std::make_unique<TFailReads>();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("", false));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("V", "x"); }), "Failed to set data for 'V'");
    EXPECT_FALSE(reg.OpenKey("\\Software\\C", true));
    EXPECT_FALSE(reg.CreateKey("\\Software\\D"));
    reg.BeginUpdate();
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("W", "x"); }), "Failed to set data for 'W'");
    reg.EndUpdate();
    failing.reset();

    EXPECT_EQ(StoreBytes(), before);
    ASSERT_TRUE(reg.OpenKey("\\Software\\A", false));
    EXPECT_EQ(reg.ReadString("Keep"), "me");
}

TEST(Registry, TheStoreIsTextAPersonCanReadWithEveryTypeKept) {
    TTempConfigHome home;
    const QString tricky =
        QString::fromUtf8("say \"hi\"\\ C:\\temp\\new\r\nline 2\ttab \x01 Grüße €\U0001F600");
    {
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKey("Software\\Varnholt\\Corvantel", false));
        ASSERT_TRUE(reg.OpenKey("\\Software\\Varnholt\\Corvantel\\TMainFormF", true));
        reg.WriteString("Line0000000000", "first");
        reg.WriteString("Line0000000001", "    Port = 'COM3'");
        reg.WriteInteger("Count", 42);
        reg.WriteInteger("Negative", -1);
        reg.WriteBinaryData("Blob", QByteArray("\x00\x01\xff", 3));
        reg.WriteBinaryData("Empty", QByteArray());
        reg.WriteExpandString("Home", "$HOME/x");
        reg.WriteString("", "unnamed");
        reg.WriteString(QString::fromUtf8("Näme \"q\""), tricky);
        reg.WriteString("Line0000000000", "object MainFormF: TMainFormF"); // replaced where it stands
    }
    const QByteArray text = StoreBytes();
    const QByteArray expected =
        "[HKEY_CURRENT_USER\\Software\\Varnholt\\Corvantel\\TMainFormF]\n"
        "\"Line0000000000\"=\"object MainFormF: TMainFormF\"\n"
        "\"Line0000000001\"=\"    Port = 'COM3'\"\n"
        "\"Count\"=dword:0000002a\n"
        "\"Negative\"=dword:ffffffff\n"
        "\"Blob\"=hex:00,01,ff\n"
        "\"Empty\"=hex:\n"
        "\"Home\"=expand:\"$HOME/x\"\n"
        "@=\"unnamed\"\n"
        "\"N\xc3\xa4me \\\"q\\\"\"=\"say \\\"hi\\\"\\\\ C:\\\\temp\\\\new\\r\\nline 2\\ttab "
        "\\x01 Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac\xf0\x9f\x98\x80\"\n\n";
    EXPECT_TRUE(text.endsWith(expected)) << text.toStdString();
    EXPECT_TRUE(text.startsWith(";"));

    TRegistry reg;
    EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
    EXPECT_TRUE(reg.KeyExists("software\\VARNHOLT\\corvantel"));
    ASSERT_TRUE(reg.OpenKey("Software\\Varnholt", false));
    EXPECT_EQ(reg.GetKeyNames(), QStringList{"Corvantel"});
    ASSERT_TRUE(reg.OpenKey("Corvantel\\TMainFormF", false)); // relative to the open key
    EXPECT_EQ(reg.CurrentPath(), "Software\\Varnholt\\Corvantel\\TMainFormF");
    EXPECT_EQ(reg.GetValueNames(),
              (QStringList{"Line0000000000", "Line0000000001", "Count", "Negative", "Blob", "Empty", "Home",
                           "", QString::fromUtf8("Näme \"q\"")}));
    EXPECT_EQ(reg.ReadString("line0000000000"), "object MainFormF: TMainFormF");
    EXPECT_EQ(reg.ReadString(QString::fromUtf8("näme \"q\"")), tricky);
    EXPECT_EQ(reg.ReadInteger("Count"), 42);
    EXPECT_EQ(reg.ReadInteger("Negative"), -1);
    EXPECT_EQ(reg.ReadBinaryData("Blob"), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(reg.GetDataType("Blob"), TRegDataType::rdBinary);
    EXPECT_EQ(reg.GetDataSize("Blob"), 3);
    EXPECT_EQ(reg.GetDataSize("Nothing"), -1);
    EXPECT_EQ(reg.GetDataType("Empty"), TRegDataType::rdBinary);
    EXPECT_EQ(reg.GetDataType("Home"), TRegDataType::rdExpandString);
    EXPECT_EQ(reg.ReadString(""), "unnamed");
    EXPECT_TRUE(reg.DeleteValue("Count"));
    EXPECT_FALSE(reg.DeleteValue("Count"));
    EXPECT_FALSE(reg.ValueExists("Count"));
    // A key path is one line of the store.
    EXPECT_FALSE(reg.OpenKey("\\Software\\Two\nLines", true));

    // Other roots are separate trees.
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_FALSE(reg.KeyExists("Software\\Varnholt"));
    reg.SetRootKey(0x12345678);
    EXPECT_FALSE(reg.OpenKey("Software", true));
}

TEST(Registry, ABinaryStoreIsConvertedOnceAndKeptAsABackup) {
    TTempConfigHome home;
    TRegistryData old;
    TRegistryData::TKey& key = old.CreateKey(HKEY_CURRENT_USER, "Software\\Varnholt\\Corvantel\\TMainFormF");
    TRegistryData::SetValue(key,
                            Value("Line0000000000", TRegDataType::rdString, "object MainFormF: TMainFormF"));
    TRegistryData::SetValue(key, Value("N", TRegDataType::rdInteger, QByteArray("\x07\0\0\0", 4)));
    const QByteArray binary = old.SerializeBinary();
    WriteFileBytes(LegacyRegistryStorePath(), binary);

    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Varnholt\\Corvantel\\TMainFormF", false));
    EXPECT_EQ(reg.ReadString("Line0000000000"), "object MainFormF: TMainFormF");
    EXPECT_EQ(reg.ReadInteger("N"), 7);
    EXPECT_FALSE(QFile::exists(LegacyRegistryStorePath()));
    EXPECT_EQ(FileBytes(LegacyRegistryStorePath() + ".bak"), binary);
    EXPECT_TRUE(StoreBytes().contains("\"N\"=dword:00000007\n"));

    // Once converted, a binary store that turns up again is not read.
    WriteFileBytes(LegacyRegistryStorePath(), TRegistryData().SerializeBinary());
    reg.WriteInteger("N", 8);
    EXPECT_EQ(reg.ReadInteger("N"), 8);
    EXPECT_TRUE(QFile::exists(LegacyRegistryStorePath()));
}

TEST(Registry, ConcurrentWritersFromTwoProcessesLoseNothing) {
    TTempConfigHome home;
    constexpr int kEach = 40;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            TRegistry reg;
            if (!reg.OpenKey("Software\\Child", true))
                _exit(2);
            for (int i = 0; i < kEach; ++i)
                reg.WriteInteger(QString("C%1").arg(i), i);
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parent", true));
    for (int i = 0; i < kEach; ++i)
        reg.WriteInteger(QString("P%1").arg(i), i);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Child", false));
    EXPECT_EQ(reg.GetValueNames().size(), kEach);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Parent", false));
    EXPECT_EQ(reg.GetValueNames().size(), kEach);
}

TEST(Registry, RootIdentifierTables) {
    EXPECT_EQ(RootKeyToIdent(0x80000001).value_or(""), "HKEY_CURRENT_USER");
    EXPECT_EQ(RootKeyToIdent(0x80000006).value_or(""), "HKEY_DYN_DATA");
    EXPECT_FALSE(RootKeyToIdent(0x80000007));
    EXPECT_FALSE(RootKeyToIdent(5));
    EXPECT_EQ(IdentToRootKey("HKEY_LOCAL_MACHINE").value_or(0), HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(IdentToRootKey("HKEY_NOWHERE"));
}

TEST(Registry, UpdatesWriteOnceAndDropWhatIsNotEnded) {
    TTempConfigHome home;
    {
        TRegistry reg;
        reg.BeginUpdate();
        ASSERT_TRUE(reg.OpenKey("Software\\U", true));
        reg.WriteString("A", "1");
        reg.WriteInteger("B", 2);
        EXPECT_EQ(reg.ReadString("A"), "1"); // the update's own content
        EXPECT_FALSE(QFile::exists(RegistryStorePath()));
        reg.EndUpdate();
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\U", false));
    EXPECT_EQ(reg.GetValueNames(), (QStringList{"A", "B"}));
    {
        TRegistry dropped;
        dropped.BeginUpdate();
        ASSERT_TRUE(dropped.OpenKey("Software\\U", false));
        dropped.WriteString("A", "changed");
        dropped.DeleteValue("B");
    } // never ended: nothing written, the lock released
    EXPECT_EQ(reg.ReadString("A"), "1");
    EXPECT_TRUE(reg.ValueExists("B"));
    reg.WriteString("C", "3"); // the lock is free again
    EXPECT_EQ(reg.ReadString("C"), "3");

    // A store that cannot be written: no key is made, a write fails, an update fails at the first change.
    ASSERT_NO_FATAL_FAILURE(home.Block());
    TRegistry failing;
    EXPECT_FALSE(failing.OpenKey("Software", true));
    ASSERT_TRUE(failing.OpenKey("", false)); // the root itself is always there
    EXPECT_EQ(ErrorOf([&] { failing.WriteString("V", "x"); }), "Failed to set data for 'V'");
    failing.BeginUpdate();
    ASSERT_TRUE(failing.OpenKey("", false));
    EXPECT_EQ(ErrorOf([&] { failing.WriteString("Last", "x"); }), "Failed to set data for 'Last'");
    EXPECT_EQ(ErrorOf([&] { failing.EndUpdate(); }), "");
}

TEST(Registry, AStoreThatCannotBeUsedSaysWhy) {
    TTempConfigHome home;
    EXPECT_EQ(RegistryStoreProblem(), ""); // no store yet
    WriteStoreBytes("[HKEY_CURRENT_USER\\K]\n\"A\"=\"1\"\n\"B\"=\"\xff\"\n");
    EXPECT_EQ(RegistryStoreProblem(), "The settings store " + RegistryStorePath() +
                                          " could not be understood: line 3 is not UTF-8 text.");
    WriteStoreBytes("[HKEY_CURRENT_USER\\K]\n");
    EXPECT_EQ(RegistryStoreProblem(), "");
    SetRegistryReadFailureForTesting(true);
    EXPECT_EQ(RegistryStoreProblem(),
              "The settings store " + RegistryStorePath() + " cannot be read: Input/output error.");
    SetRegistryReadFailureForTesting(false);
    // A symbolic link to a file not made yet: the first write makes it. A loop of links is refused.
    const QString store = RegistryStorePath();
    const QString target = home.Path() + "/later.conf";
    QFile::remove(store);
    ASSERT_TRUE(QFile::link(target, store));
    EXPECT_EQ(RegistryStoreProblem(), "");
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("K", true));
        reg.WriteString("v", "1");
    }
    EXPECT_TRUE(QFileInfo(store).isSymLink());
    EXPECT_TRUE(QFile(target).size() > 0);
    QFile::remove(store);
    ASSERT_TRUE(QFile::link(store, store));
    EXPECT_EQ(RegistryStoreProblem(),
              "The settings store " + store + " cannot be read: Too many levels of symbolic links.");
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("K", true));
    EXPECT_TRUE(QFileInfo(store).isSymLink());
    // A pipe is not read (it would wait for a writer): a writer that is there shows what a read would see.
    QFile::remove(store);
    ASSERT_EQ(mkfifo(QFile::encodeName(store).constData(), 0600), 0);
    const QString problem =
        WithPipeWriter(store, "[HKEY_CURRENT_USER\\K]\n", [] { return RegistryStoreProblem(); });
    EXPECT_EQ(problem, "The settings store " + store + " cannot be read: it is no regular file.");
}

// Hand-edited stores: the file as a person left it, one operation of the program, what the program
// reads, and the file it leaves.
TEST(Registry, HandEditedStores) {
    using TOp = std::function<QString(TRegistry&)>;
    struct TCase {
        const char* name;
        QByteArray before;
        TOp op;
        QString reads;
        QByteArray after;
    };
    const QString deep = QStringLiteral("k\\").repeated(600) + "k";
    const TCase cases[] = {
        {"comments, unknown lines and other roots survive a rewrite",
         "# written by hand\r\n[HKEY_CURRENT_USER\\Software\\A]\r\n; about first\r\n\"First\" = \"1\"\r\n"
         "this line means nothing\r\n\"Second\"=dword:2a\r\n\"Bad\"=dword:123456789\r\n\r\n"
         "[SOMEWHERE_ELSE\\X]\r\n\"Hidden\"=\"not a value here\"\r\n"
         "[HKEY_CURRENT_USER\\Software\\B]\r\n\"Gone\"=\"soon\"\r\n; after gone\r\n",
         [](TRegistry& r) {
             r.OpenKey("Software\\A", false);
             const QString before =
                 Reads({r.GetValueNames().join(','), QString::number(r.ReadInteger("Second"))});
             r.WriteString("First", "one");
             r.WriteString("Third", "3");
             r.OpenKey("\\Software\\B", false);
             return Reads({before, r.DeleteValue("Gone") ? "deleted" : ""});
         },
         "First,Second|42|deleted",
         "# written by hand\n[HKEY_CURRENT_USER\\Software\\A]\n; about first\n\"First\"=\"one\"\n"
         "this line means nothing\n\"Second\"=dword:0000002a\n\"Third\"=\"3\"\n\"Bad\"=dword:123456789\n\n"
         "[SOMEWHERE_ELSE\\X]\n\"Hidden\"=\"not a value here\"\n\n[HKEY_CURRENT_USER\\Software\\B]\n"
         "; after gone\n\n"},
        {"a header may end in a comment",
         "[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n\n[HKEY_CURRENT_USER\\B] ; note [x]\n\"v\"=\"2\"\n",
         [](TRegistry& r) {
             r.OpenKey("A", false);
             const QString a = r.ReadString("v");
             r.WriteString("w", "3");
             r.OpenKey("\\B", false);
             return Reads({a, r.ReadString("v")});
         },
         "1|2",
         "[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n\"w\"=\"3\"\n\n[HKEY_CURRENT_USER\\B] ; note "
         "[x]\n\"v\"=\"2\"\n\n"},
        {"a line that starts like a header but is none ends the key above",
         "[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n\"y\"=\"2\"\n[HKEY_CURRENT_USER\\B] // note\n\"v\"=\"3\"\n",
         [](TRegistry& r) {
             r.OpenKey("A", false);
             const QString a = r.ReadString("v");
             r.WriteString("y", "4");
             return Reads({a, r.KeyExists("\\B") ? "B" : ""});
         },
         "1|",
         "[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n\"y\"=\"4\"\n\n[HKEY_CURRENT_USER\\B] // "
         "note\n\"v\"=\"3\"\n\n"},
        {"lines directly above a header stay when the key before goes",
         "[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n; end of A\n\n; about "
         "B\n[SOMEWHERE\\X]\nkept\n[HKEY_CURRENT_USER\\B]\n"
         "\"w\"=\"2\"\n",
         [](TRegistry& r) {
             return Reads({r.DeleteKey("A") ? "deleted" : "", r.KeyExists("B") ? "B" : ""});
         },
         "deleted|B", "; about B\n[SOMEWHERE\\X]\nkept\n\n[HKEY_CURRENT_USER\\B]\n\"w\"=\"2\"\n\n"},
        {"a value may end in a comment, kept when the value changes",
         "[HKEY_CURRENT_USER\\A]\n\"port\"=\"COM3\" ; my port\n\"n\"=dword:2a # "
         "answer\n\"b\"=hex:01,02 ;bytes\n",
         [](TRegistry& r) {
             r.OpenKey("A", false);
             const QString before =
                 r.ReadString("port") + QString::number(r.ReadInteger("n")) + r.ReadBinaryData("b").toHex();
             r.WriteString("port", "COM4");
             return Reads({before, r.GetValueNames().join(',')});
         },
         "COM3420102|port,n,b",
         "[HKEY_CURRENT_USER\\A]\n\"port\"=\"COM4\" ; my port\n\"n\"=dword:0000002a # answer\n"
         "\"b\"=hex:01,02 ;bytes\n\n"},
        {"a NUL byte spoils one line only",
         Bytes("[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\nx\0y\n\"w\"=\"a\0b\"\n"),
         [](TRegistry& r) {
             r.OpenKey("A", false);
             const QString w = r.ReadString("w");
             r.WriteString("v", "2");
             return Reads({QString::number(w.size()), r.ReadString("v")});
         },
         "3|2", Bytes("[HKEY_CURRENT_USER\\A]\n\"v\"=\"2\"\nx\0y\n\"w\"=\"a\\x00b\"\n\n")},
        {"a leading U+FEFF is part of a name",
         "[HKEY_CURRENT_USER\\A]\n\"\xEF\xBB\xBFPort\"=\"a\"\n\"Port\"=\"b\"\n",
         [](TRegistry& r) {
             r.OpenKey("A", false);
             return Reads({QString::number(r.GetValueNames().size()), r.ReadString("Port"),
                           r.ReadString(QChar(0xFEFF) + QString("Port"))});
         },
         "2|b|a", "[HKEY_CURRENT_USER\\A]\n\"\xEF\xBB\xBFPort\"=\"a\"\n\"Port\"=\"b\"\n"},
        {"values deleted in order leave their comments in place",
         "[HKEY_CURRENT_USER\\A]\n; one\n\"a\"=\"1\"\n; two\n\"b\"=\"2\"\n\"c\"=\"3\"\n; end\n",
         [](TRegistry& r) {
             r.BeginUpdate();
             r.OpenKey("A", false);
             r.DeleteValue("a");
             r.DeleteValue("b");
             r.EndUpdate();
             return r.GetValueNames().join(',');
         },
         "c", "[HKEY_CURRENT_USER\\A]\n; one\n; two\n\"c\"=\"3\"\n; end\n\n"},
        {"a section whose path is too deep is kept as it stands",
         "[HKEY_CURRENT_USER\\" + deep.toUtf8() + "]\n\"v\"=\"1\"\n\n[HKEY_CURRENT_USER\\B]\n",
         [](TRegistry& r) {
             const bool seen = r.KeyExists("k");
             r.OpenKey("B", false);
             r.WriteString("v", "2");
             return Reads({seen ? "seen" : "not seen"});
         },
         "not seen",
         "[HKEY_CURRENT_USER\\" + deep.toUtf8() +
             "]\n\"v\"=\"1\"\n\n[HKEY_CURRENT_USER\\B]\n\"v\"=\"2\"\n\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TTempConfigHome home;
        WriteStoreBytes(c.before);
        TRegistry reg;
        QString reads;
        try {
            reads = c.op(reg);
        } catch (const Exception& e) {
            reads = "failed: " + e.Message();
        }
        EXPECT_EQ(reads, c.reads);
        const QByteArray after = StoreBytes();
        EXPECT_EQ(after.toStdString(), c.after.toStdString());
        TRegistryData again; // what the program writes it reads back the same
        EXPECT_TRUE(again.Parse(after));
        if (after != c.before) {
            EXPECT_EQ(again.Serialize(), after);
        }
    }
}

TEST(Registry, TextComesBackAsWrittenWithLeadingMarksAndLoneSurrogates) {
    TTempConfigHome home;
    const QString mark = QChar(0xFEFF) + QString("Port");
    const QString lone = QString("a") + QChar(0xD800) + "b" + QChar(0xDFFF) + QString::fromUtf8("\U0001F600");
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("K", true));
        reg.WriteString(mark, mark);
        reg.WriteString("Port", "plain");
        reg.WriteString(lone, lone);
        reg.WriteExpandString("e", QString(QChar(0xDC00)));
    }
    const QByteArray file = StoreBytes();
    EXPECT_TRUE(file.contains("\"a\\xed\\xa0\\x80b\\xed\\xbf\\xbf\xF0\x9F\x98\x80\"")) << file.toStdString();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("K", false));
    EXPECT_EQ(reg.GetValueNames(), (QStringList{mark, "Port", lone, "e"}));
    EXPECT_EQ(reg.ReadString(mark), mark);
    EXPECT_EQ(reg.ReadString("port"), "plain");
    EXPECT_EQ(reg.ReadString(lone), lone);
    EXPECT_EQ(reg.ReadString("e"), QString(QChar(0xDC00)));
    EXPECT_EQ(reg.GetDataSize(lone), (lone.size() + 1) * 2);
    // A key path is one line of the store and must come back from its header.
    EXPECT_FALSE(reg.OpenKey("\\K" + QString(QChar(0xD800)), true));
    EXPECT_FALSE(reg.OpenKey("\\K] ; x", true));
    EXPECT_TRUE(reg.OpenKey("\\K]x]", true));
}

// Stores that cannot be understood: each one is kept under a name of its own before it is replaced.
TEST(Registry, EveryUnreadableStoreIsKeptAndNamed) {
    TTempConfigHome home;
    QStringList reports;
    TExceptionReporter old = SetExceptionReporter([&](const QString& m) { reports.append(m); });
    const QString store = RegistryStorePath();
    const QByteArray first = "[HKEY_CURRENT_USER\\Software\\K]\n\"Name\"=\"\xff\xfe\"\n";
    for (const QByteArray& bad : {first, QByteArray("second \xfe\n")}) {
        WriteStoreBytes(bad);
        TRegistry reg;
        EXPECT_FALSE(reg.KeyExists("Software\\K")); // nothing of it is taken
        ASSERT_TRUE(reg.OpenKey("K", true));
        ASSERT_TRUE(reg.OpenKey("\\Software\\New", true)); // the user is told at the first write only
    }
    // Through a symbolic link: the link stays, the file it names is copied and then written.
    const QString target = home.Path() + "/elsewhere.conf";
    QFile::remove(store);
    ASSERT_TRUE(QFile::link(target, store));
    QFile t(target);
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write("third \xfd\n");
    t.close();
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("L", true));
    }
    SetExceptionReporter(old);
    const QStringList copies = {store + ".corrupt", store + ".corrupt.2", store + ".corrupt.3"};
    const QList<QByteArray> kept = {first, "second \xfe\n", "third \xfd\n"};
    ASSERT_EQ(reports.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(FileBytes(copies[i]), kept[i]);
        EXPECT_TRUE(reports[i].endsWith("it was kept as " + copies[i] + " and the settings start afresh."))
            << reports[i].toStdString();
    }
    EXPECT_TRUE(QFileInfo(store).isSymLink());
    TRegistry reg;
    EXPECT_TRUE(reg.KeyExists("L"));
    EXPECT_TRUE(StoreBytes().contains("[HKEY_CURRENT_USER\\L]"));
}

TEST(Registry, AReadOnlyFolderKeepsTheStoreAndClaimsNoCopy) {
    TTempConfigHome home;
    ASSERT_TRUE(TRegistry().CreateKey("K")); // the lock file exists from earlier use
    WriteStoreBytes("garbled \xff\n");
    const QString folder = QFileInfo(RegistryStorePath()).absolutePath();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    if (QFile probe(folder + "/probe"); probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        GTEST_SKIP() << "this user writes into read-only folders";
    }
    QStringList reports;
    TExceptionReporter old = SetExceptionReporter([&](const QString& m) { reports.append(m); });
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("", false));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("A", "1"); }), "Failed to set data for 'A'");
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("B", "2"); }), "Failed to set data for 'B'");
    SetExceptionReporter(old);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_EQ(reports.size(), 1); // told once, not at every save
    EXPECT_FALSE(reports[0].contains("kept as")) << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains("no copy of it could be kept")) << reports[0].toStdString();
    EXPECT_EQ(StoreBytes(), "garbled \xff\n");
    EXPECT_FALSE(QFile::exists(RegistryStorePath() + ".corrupt"));
}

// The store never writes what it would refuse to read, and refuses paths beyond its bounds by name.
TEST(Registry, SizeLimitsHoldForWhatIsWritten) {
    TTempConfigHome home;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("K", true));
    reg.WriteString("small", "kept");
    // 16 MiB of control bytes is within the bound of one value but takes 64 MiB as \xHH escapes.
    const QString controls(16 * 1024 * 1024, QChar(1));
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("big", controls); }), "Failed to set data for 'big'");
    reg.BeginUpdate();
    reg.WriteString("big", controls);
    EXPECT_EQ(ErrorOf([&] { reg.EndUpdate(); }), "Failed to set data for 'big'");
    EXPECT_EQ(RegistryStoreProblem(), "");
    EXPECT_EQ(reg.GetValueNames(), QStringList{"small"});

    const QString deepest = QStringLiteral("k\\").repeated(TRegistryData::kMaxKeyDepth - 1) + "k";
    EXPECT_TRUE(reg.OpenKey("\\" + deepest, true));
    EXPECT_TRUE(reg.KeyExists("\\" + deepest));
    const QString error = ErrorOf([&] { reg.OpenKey("\\" + deepest + "\\k", true); });
    EXPECT_TRUE(error.startsWith("Failed to create key 'k\\k\\")) << error.toStdString();
    EXPECT_TRUE(error.endsWith("at most 512 names and 32768 bytes, this one has 513 names and 1025 bytes"))
        << error.toStdString();
    EXPECT_FALSE(ErrorOf([&] { reg.CreateKey("\\" + QString(40000, 'x')); }).isEmpty());
    EXPECT_EQ(reg.CurrentPath(), deepest);
}

TEST(Registry, ANewStoreIsPrivateAndAnExistingOneKeepsItsMode) {
    TTempConfigHome home;
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("K", true));
    }
    const auto mode = [] {
        struct stat st {};
        return ::stat(QFile::encodeName(RegistryStorePath()).constData(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    EXPECT_EQ(mode(), 0600u);
    ASSERT_EQ(::chmod(QFile::encodeName(RegistryStorePath()).constData(), 0640), 0);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("K", false));
    reg.WriteString("v", "1");
    EXPECT_EQ(mode(), 0640u);
    EXPECT_EQ(QDir(QFileInfo(RegistryStorePath()).absolutePath()).entryList(QDir::Files),
              (QStringList{"registry.conf", "registry.dat.lock"})); // no temporary file left
}

// A second registry object in the thread that holds an update neither waits for itself nor writes
// around the update: it reads the store as it was and its writes fail.
TEST(Registry, ASecondRegistryBesideAnUpdateIsRefusedNotHung) {
    TTempConfigHome home;
    TRegistry first;
    ASSERT_TRUE(first.OpenKey("K", true));
    first.WriteString("v", "old");
    first.BeginUpdate();
    first.WriteString("v", "new");
    TRegistry second;
    ASSERT_TRUE(second.OpenKey("K", false));
    EXPECT_EQ(second.ReadString("v"), "old");
    EXPECT_EQ(ErrorOf([&] { second.WriteString("w", "x"); }), "Failed to set data for 'w'");
    EXPECT_FALSE(second.CreateKey("\\L"));
    first.EndUpdate();
    EXPECT_EQ(second.ReadString("v"), "new");
    second.WriteString("w", "x");
    EXPECT_EQ(first.ReadString("w"), "x");
}
