#include "StandIns.h"

#include "persistence/ObjectText.h"
#include "persistence/PropReader.h"
#include "persistence/PropWriter.h"
#include "runtime/Registry.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <cmath>

namespace {

QByteArray WriteStream(QObject* root, const QStringList& paths,
                       std::function<void(TPropWriterEh&)> custom = nullptr) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    TPropWriterEh writer(&buffer);
    writer.OnWriteOwnerProps = std::move(custom);
    writer.WriteOwnerProperties(root, paths);
    return out;
}

void ReadStream(QObject* root, QByteArray bytes) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    TPropReaderEh reader(&buffer);
    reader.ReadOwnerProperties(root);
}

QString ReadError(QObject* root, const QByteArray& bytes) {
    try {
        ReadStream(root, bytes);
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}

QString WriteError(QObject* root, const QStringList& paths) {
    try {
        WriteStream(root, paths);
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}

// Byte strings compared as hexadecimal text, so that a mismatch shows every byte.
std::string Hex(const QByteArray& bytes) {
    return bytes.toHex(' ').toStdString();
}

QByteArray Short(const QByteArray& s) {
    return char(s.size()) + s;
}
QByteArray Record(const QByteArray& name, const QByteArray& value) {
    return Short(name) + value;
}
QByteArray Ident(const QByteArray& s) {
    return '\x07' + Short(s);
}
QByteArray Text(const QByteArray& s) {
    return '\x06' + Short(s);
}
QByteArray Zero(int n) {
    return QByteArray(n, '\0');
}

const QStringList kProgramPaths = {"ComPort1.<P>.Port", "ComPort1.<P>.BaudRate"};

const QByteArray kProgramStream =
    "TPF0" + Short("TMainFormF") + Short("MainFormF") + Zero(1) + Short("TComPort") + Short("ComPort1") +
    Record("BaudRate", Ident("br38400")) + Record("Port", Text("COM1")) + Zero(3);

const QByteArray kProgramText = "object MainFormF: TMainFormF\r\n"
                                "  object ComPort1: TComPort\r\n"
                                "    BaudRate = br38400\r\n"
                                "    Port = 'COM1'\r\n"
                                "  end\r\n"
                                "end\r\n";

// A stream and a text of one object T with the one value V.
QByteArray ValueStream(const QByteArray& value) {
    return "TPF0" + Short("T") + Short("") + Record("V", value) + Zero(2);
}
QByteArray ValueText(const QByteArray& text) {
    return "object T\r\n  V = " + text + "\r\nend\r\n";
}
QByteArray U32(uint32_t v) {
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

// A port block with the given records, inside the program's window block.
QByteArray PortStream(const QByteArray& records) {
    return "TPF0" + Short("TMainFormF") + Short("MainFormF") + Zero(1) + Short("TComPort") +
           Short("ComPort1") + records + Zero(3);
}

// A window placed at `start` (its minimum size 120 x 90), and where it is after reading `records`.
QRect Restored(const QByteArray& records, const QRect& start = {10, 10, 200, 150}, int pixelsPerInch = 0) {
    TMainFormF form;
    form.setMinimumSize(120, 90);
    form.setGeometry(start);
    if (pixelsPerInch)
        form.SetPixelsPerInch(pixelsPerInch);
    ReadStream(&form, ObjectTextToBinary("object MainFormF: TMainFormF\r\n" + records + "end\r\n"));
    return form.geometry();
}

} // namespace

TEST(PropStream, TheProgramsStreamIsByteExactInBothForms) {
    TMainFormF form;
    EXPECT_EQ(Hex(WriteStream(&form, kProgramPaths)), Hex(kProgramStream));
    EXPECT_EQ(ObjectBinaryToText(kProgramStream), kProgramText);
    EXPECT_EQ(Hex(ObjectTextToBinary(kProgramText)), Hex(kProgramStream));
    EXPECT_EQ(TestStreamFormat(kProgramStream), TStreamOriginalFormat::sofBinary);
    EXPECT_EQ(TestStreamFormat(kProgramText), TStreamOriginalFormat::sofText);
}

TEST(PropStream, BlockLayoutFollowsThePaths) {
    TMainFormF form;
    auto* sub = new TComPort(form.ComPort1);
    sub->setObjectName("Sub");
    sub->SetPort("X");
    // No component paths: signature, root header, root records, then three end markers.
    EXPECT_EQ(WriteStream(&form, {}), "TPF0" + Short("TMainFormF") + Short("MainFormF") + Zero(3));
    // Two paths for one component give one block; a child's path opens a nested block after the
    // end of the component's records.
    EXPECT_EQ(WriteStream(&form, {"ComPort1.Sub.<P>.Port", "ComPort1.<P>.Port", "ComPort1.<P>.BaudRate"}),
              "TPF0" + Short("TMainFormF") + Short("MainFormF") + Zero(1) + Short("TComPort") +
                  Short("ComPort1") + Record("BaudRate", Ident("br38400")) + Record("Port", Text("COM1")) +
                  Zero(1) + Short("TComPort") + Short("Sub") + Record("Port", Text("X")) + Zero(4));
    // A path through a child that does not exist is skipped whole.
    EXPECT_EQ(WriteStream(&form, {"Nobody.<P>.Port", "ComPort1.Nobody.<P>.Port"}), WriteStream(&form, {}));
    // Sub-object records are named by their path.
    form.ComPort1->Parity()->Bits = CPort::prEven;
    EXPECT_EQ(Hex(WriteStream(&form, {"ComPort1.<P>.Parity.Bits"})),
              Hex(PortStream(Record("Parity.Bits", Ident("prEven")))));
    EXPECT_EQ(
        Hex(WriteStream(&form, {"ComPort1.<P>.Parity"})),
        Hex(PortStream(Record("Parity.Bits", Ident("prEven")) + Record("Parity.Check", QByteArray("\x08")))));
}

TEST(PropStream, WriterFailuresNameTheFault) {
    TMainFormF form;
    EXPECT_EQ(WriteError(&form, {"<P>"}), "Component name is empty.");
    EXPECT_EQ(WriteError(&form, {".<P>.Port"}), "Component name is empty.");
    EXPECT_EQ(WriteError(&form, {"ComPort1.<P>.Nothing"}), "Invalide property name: Nothing");
    EXPECT_EQ(WriteError(&form, {"ComPort1.<P>.Parity.<Item0>"}), "Component type is not Collection.");
}

TEST(PropStream, MissingComponentsAndPropertiesAreDroppedRecordByRecord) {
    TMainFormF form;
    // A block for a component the window lacks, holding a child block named like a real component.
    const QByteArray ghost = "TPF0" + Short("TMainFormF") + Short("MainFormF") + Zero(1) + Short("TComPort") +
                             Short("Ghost") + Record("Port", Text("COM9")) + Zero(1) + Short("TComPort") +
                             Short("ComPort1") + Record("Port", Text("COM8")) + Zero(4);
    EXPECT_EQ(ReadError(&form, ghost), "");
    EXPECT_EQ(form.ComPort1->Port(), "COM1");
    EXPECT_EQ(form.ComPort1->SetCount, 0);

    // Records that fail are dropped; each following record is still read.
    const QByteArray mixed =
        PortStream(Record("Gone", Text("x")) + Record("BaudRate", Ident("br999")) +
                   Record("Port", Ident("COM2")) + Record("Parity.Nope", '\x02' + Zero(1)) +
                   Record("BaudRate.Deeper", Text("y")) + Record("Parity.Bits", '\x0E' + Zero(1)) +
                   Record("BaudRate", Ident("br57600")) + Record("Port", Text("COM3")));
    EXPECT_EQ(ReadError(&form, mixed), "");
    EXPECT_EQ(form.ComPort1->BaudRate(), CPort::br57600);
    EXPECT_EQ(form.ComPort1->Port(), "COM3");
    EXPECT_EQ(form.ComPort1->SetCount, 2);

    // With load errors reported, the first failing record ends the load with its message.
    SetReportLoadErrors(true);
    EXPECT_EQ(ReadError(&form, PortStream(Record("Gone", Text("x")))),
              "Error reading ComPort1.Gone: Property Gone does not exist");
    EXPECT_EQ(ReadError(&form, PortStream(Record("BaudRate", Ident("br999")))),
              "Error reading ComPort1.BaudRate: Invalid property value");
    EXPECT_EQ(ReadError(&form, PortStream(Record("BaudRate.X", Text("y")))),
              "Error reading ComPort1.BaudRate.X: Invalid property path");
    TAllKinds readOnly;
    readOnly.setObjectName("All");
    EXPECT_EQ(ReadError(&readOnly, "TPF0" + Short("TAllKinds") + Short("All") +
                                       Record("ReadOnly", "\x02\x01") + Zero(3)),
              "Error reading All.ReadOnly: Property is read-only");
    SetReportLoadErrors(false);
}

TEST(PropStream, EveryKindRoundTripsThroughBothForms) {
    TAllKinds source;
    source.setObjectName("All");
    source.Number = -40000;
    source.Root = HKEY_LOCAL_MACHINE;
    source.Letter = '\t';
    source.Flag = true;
    source.Stop = CPort::sbTwoStopBits;
    source.Events = CPort::evRxChar | CPort::evRing | CPort::evRx80Full;
    source.Ratio = -1.25e-7;
    source.Big = -(int64_t(1) << 40);
    source.Narrow = QByteArray("caf\xe9 'quoted'\r\n", 15);
    source.Wide = QString::fromUtf8("\xce\xa9 mixed \xe2\x82\xac") + QString(70, QLatin1Char('x'));
    source.Any = 2.5f;
    source.Extra = 300;
    source.Blob = QByteArray("\x00\x01\x02\xff", 4).repeated(20);
    auto* linked = new TComPort(&source);
    linked->setObjectName("Linked");
    source.Link = linked;
    source.Parity()->Bits = CPort::prMark;
    for (int i = 0; i < 3; ++i) {
        auto* item = static_cast<TItem*>(source.Items()->Add());
        item->Caption = QString("item %1").arg(i);
        item->Width = i * 1000;
    }
    const QStringList paths = {"<P>.Number", "<P>.Root",    "<P>.Letter", "<P>.Flag",   "<P>.Stop",
                               "<P>.Events", "<P>.Ratio",   "<P>.Big",    "<P>.Narrow", "<P>.Wide",
                               "<P>.Any",    "<P>.Items",   "<P>.Link",   "<P>.Parity", "<P>.Extra",
                               "<P>.Blob",   "<P>.ReadOnly"};
    const QByteArray binary = WriteStream(&source, paths);
    const QByteArray text = ObjectBinaryToText(binary);
    EXPECT_TRUE(text.contains("Root = HKEY_LOCAL_MACHINE\r\n")) << text.constData();
    EXPECT_TRUE(text.contains("Events = [evRxChar, evRing, evRx80Full]\r\n")) << text.constData();
    EXPECT_TRUE(text.contains("Link = Linked\r\n")) << text.constData();
    EXPECT_TRUE(text.contains("Any = 2.5s\r\n")) << text.constData();
    EXPECT_FALSE(text.contains("ReadOnly")) << text.constData();
    const QByteArray normal = ObjectTextToBinary(text);
    EXPECT_EQ(ObjectBinaryToText(normal), text);
    EXPECT_EQ(ObjectTextToBinary(ObjectBinaryToText(normal)), normal);

    for (const QByteArray& stream : {binary, normal}) {
        TAllKinds copy;
        auto* other = new TComPort(&copy);
        other->setObjectName("Linked");
        copy.Items()->Add();
        ReadStream(&copy, stream);
        for (const char* name :
             {"Number", "Root", "Letter", "Flag", "Stop", "Events", "Ratio", "Big", "Narrow", "Wide"})
            EXPECT_EQ(copy.property(name), source.property(name))
                << name << " read as " << copy.property(name).toString().toStdString();
        EXPECT_EQ(copy.Any, QVariant(2.5f));
        EXPECT_EQ(copy.Link, other);
        EXPECT_EQ(copy.Parity()->Bits, CPort::prMark);
        EXPECT_EQ(copy.Extra, 300);
        EXPECT_EQ(copy.Blob, source.Blob);
        ASSERT_EQ(copy.Items()->Count(), 3);
        EXPECT_EQ(static_cast<TItem*>(copy.Items()->Item(2))->Caption, "item 2");
        EXPECT_EQ(static_cast<TItem*>(copy.Items()->Item(2))->Width, 2000);
    }
}

TEST(PropStream, CollectionPathsExpandToItemRecords) {
    TAllKinds source;
    for (int i = 0; i < 2; ++i) {
        auto* item = static_cast<TItem*>(source.Items()->Add());
        item->Caption = QString("c%1").arg(i);
        item->Width = i;
    }
    const QByteArray header = "TPF0" + Short("TAllKinds") + Short("");
    EXPECT_EQ(WriteStream(&source, {"<P>.Items.<ForAllItems>.Caption"}),
              header + Record("Items.__Item0.Caption", Text("c0")) +
                  Record("Items.__Item1.Caption", Text("c1")) + Zero(3));
    EXPECT_EQ(Hex(WriteStream(&source, {"<P>.Items.<Item1>"})),
              Hex(header + Record("Items.__Item1.Caption", Text("c1")) +
                  Record("Items.__Item1.Width", "\x02\x01") + Zero(3)));

    TAllKinds copy;
    copy.Items()->Add();
    copy.Items()->Add();
    ReadStream(&copy, WriteStream(&source, {"<P>.Items.<ForAllItems>.Caption"}));
    EXPECT_EQ(static_cast<TItem*>(copy.Items()->Item(1))->Caption, "c1");
    EXPECT_EQ(copy.Items()->UpdateCount(), 0);

    EXPECT_EQ(WriteError(&source, {"<P>.Items.<Item5>"}), "List index out of bounds (5)");
    EXPECT_EQ(WriteError(&source, {"<P>.Items.<Itemx>"}), "'x' is not a valid integer value");
}

TEST(PropStream, TextFormTable) {
    struct TCase {
        const char* name;
        QByteArray value;   // binary value (tag and data)
        QByteArray text;    // its text
        bool exact = false; // the text gives back the very same bytes
    };
    auto u64 = [](double d) { return QByteArray(reinterpret_cast<const char*>(&d), 8); };
    const TCase cases[] = {
        {"int8", "\x02\xff", "-1"},
        {"int16", QByteArray("\x03\x00\x80", 3), "-32768"},
        {"int32", "\x04" + U32(100000), "100000"},
        {"int64", QByteArray("\x13\x00\x00\x00\x00\x01\x00\x00\x00", 9), "4294967296"},
        {"false", "\x08", "False"},
        {"true", "\x09", "True"},
        {"nil", "\x0d", "nil"},
        {"null", Zero(1), "Null"},
        {"ident", Ident("br38400"), "br38400"},
        {"quote", Text("it's"), "'it''s'"},
        {"control", Text("a\r\nb"), "'a'#13#10'b'"},
        {"empty wide", "\x12" + U32(0), "''"},
        {"wide", "\x12" + U32(1) + "\xa9\x03", "#937"},
        {"utf8", "\x14" + U32(3) + "a\xc3\xa9", "'a'#233"},
        {"set", "\x0b" + Short("a") + Short("b") + Zero(1), "[a, b]"},
        {"empty set", "\x0b" + Zero(1), "[]"},
        {"binary", "\x0a" + U32(2) + "\x01\xab", "{\r\n    01AB}"},
        {"list", "\x01\x02\x01\x02\x02" + Zero(1), "(\r\n    1\r\n    2)"},
        {"collection", "\x0e\x01" + Record("W", "\x02\x07") + Zero(2),
         "<\r\n    item\r\n      W = 7\r\n    end>"},
        {"currency", "\x10" + U32(15000) + U32(0), "1.5000c"},
        {"single", "\x0f" + U32(0x3fc00000), "1.5s"},
        {"negative zero", QByteArray("\x05\0\0\0\0\0\0\0\0\0\x80", 11), "-0.0"},
        {"extended", QByteArray("\x05\0\0\0\0\0\0\0\xc0\xff\x3f", 11), "1.5"},
        {"+Inf", QByteArray("\x05\0\0\0\0\0\0\0\x80\xff\x7f", 11), "+Inf", true},
        {"-Inf", QByteArray("\x05\0\0\0\0\0\0\0\x80\xff\xff", 11), "-Inf", true},
        {"+NaN", QByteArray("\x05\0\0\0\0\0\0\0\xc0\xff\x7f", 11), "+NaN", true},
        {"-NaN", QByteArray("\x05\0\0\0\0\0\0\0\xc0\xff\xff", 11), "-NaN", true},
        {"single +Inf", "\x0f" + U32(0x7f800000), "+Infs", true},
        {"single -NaN", "\x0f" + U32(0xffc00000), "-NaNs", true},
        {"double -Inf", "\x11" + u64(-HUGE_VAL), "-Infd", true},
    };
    for (const TCase& c : cases) {
        const QByteArray binary = ValueStream(c.value);
        const QByteArray text = ValueText(c.text);
        EXPECT_EQ(ObjectBinaryToText(binary), text) << c.name;
        const QByteArray back = ObjectTextToBinary(text);
        EXPECT_EQ(ObjectBinaryToText(back), text) << c.name;
        if (c.exact) {
            EXPECT_EQ(back, binary) << c.name;
        }
    }
    // Long texts are split into pieces joined by " +" and read back whole.
    const QByteArray longText = ValueStream(Text(QByteArray(150, 'z')));
    EXPECT_TRUE(ObjectBinaryToText(longText).contains("' +\r\n"));
    EXPECT_EQ(ObjectTextToBinary(ObjectBinaryToText(longText)), longText);
}

TEST(PropStream, ExtendedNumbersConvertExactlyForDoubles) {
    for (double d : {0.0, -0.0, 1.0, -2.5, 1e-310, 1.7976931348623157e308, 3.141592653589793, 1e-5}) {
        uint8_t b[10];
        DoubleToExtended(d, b);
        EXPECT_EQ(ExtendedToDouble(b), d);
    }
    uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xff, 0x3f};
    EXPECT_EQ(ExtendedToDouble(one), 1.0);
    uint8_t huge[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xfe, 0x7f};
    EXPECT_TRUE(std::isinf(ExtendedToDouble(huge)));
}

TEST(PropStream, HostileStreamsEndTheLoadCleanly) {
    TMainFormF form;
    // Every truncation of the program's stream ends with a read error or reads what is whole, and the
    // port never gets a half-read value.
    TMainFormF saved;
    saved.ComPort1->SetPort("COM7");
    const QByteArray stream = WriteStream(&saved, kProgramPaths);
    for (qsizetype n = 0; n < stream.size(); ++n) {
        TMainFormF target;
        const QString error = ReadError(&target, stream.left(n));
        EXPECT_FALSE(error.isEmpty()) << n;
        EXPECT_TRUE(target.ComPort1->Port() == "COM1" || target.ComPort1->Port() == "COM7") << n;
    }
    EXPECT_EQ(ReadError(&form, "TPF1"), "Invalid stream format");
    EXPECT_EQ(ReadError(&form, QByteArray()), "Stream read error");
    // A length far beyond the data.
    EXPECT_EQ(ReadError(&form, PortStream(Record("Port", "\x0c\xff\xff\xff\x7f"
                                                         "COM1"))),
              "Stream read error");
    // A wide string whose count of units overflows when doubled.
    EXPECT_EQ(ReadError(&form, PortStream(Record("Port", "\x12\xff\xff\xff\xff"))), "Stream read error");
    // An unknown tag in a dropped record cannot be skipped.
    EXPECT_EQ(ReadError(&form, PortStream(Record("Gone", "\x33"))), "Invalid property value");
    // Nesting deeper than the bound: blocks, lists, collections.
    QByteArray deep = "TPF0" + Short("T") + Short("") + Zero(1);
    for (int i = 0; i < 100; ++i)
        deep += Short("T") + Short("x") + Zero(1);
    EXPECT_EQ(ReadError(&form, deep), "Invalid stream format");
    EXPECT_EQ(ReadError(&form, PortStream(Record("Gone", QByteArray(5000, '\x01')))),
              "Invalid stream format");
    QByteArray deepText = "object A: T\r\n  V = ";
    deepText += QByteArray(200, '(');
    EXPECT_THROW(ObjectTextToBinary(deepText), EFilerError);
    EXPECT_THROW(ObjectBinaryToText(deep), EFilerError);
    EXPECT_EQ(form.ComPort1->SetCount, 0);
}

TEST(PropStream, MalformedTextIsRefused) {
    const QByteArray bad[] = {
        "object A: T\r\n  V = 'open\r\nend\r\n",
        "object A: T\r\n  V = {0A1}\r\nend\r\n",
        "object A: T\r\n  V = #70000\r\nend\r\n",
        "object A: T\r\n  V = 99999999999999999999\r\nend\r\n",
        "object A: T\r\n  V = 1e999\r\nend\r\n",
        "object A: T\r\n  V = 'a' +\r\nend\r\n",
        "object A: T\r\n  V = \r\n",
        "object A: T\r\n  V 1\r\nend\r\n",
        "thing A: T\r\nend\r\n",
        ValueText("1e300s"),
        ValueText("+Infinity"),
        ValueText("-NaNc"),
    };
    for (const QByteArray& text : bad)
        EXPECT_THROW(ObjectTextToBinary(text), EFilerError) << text.constData();
    // Binary values the text form cannot express.
    EXPECT_THROW(ObjectBinaryToText(ValueStream(Ident("two words"))), EFilerError);
}

TEST(PropStream, LongClassNamesRoundTripThroughBothForms) {
    // The length byte of a name of 240 to 255 characters looks like the object's flags prefix.
    for (int length : {239, 240, 247, 255}) {
        const QByteArray className = "T" + QByteArray(length - 1, 'x');
        const QByteArray text = "object Form: " + className + "\r\n  V = 1\r\nend\r\n";
        const QByteArray binary = ObjectTextToBinary(text);
        EXPECT_EQ(ObjectBinaryToText(binary), text) << length;
        EXPECT_EQ(binary.at(4) == char(0xF0), length >= 240) << length;
    }
    EXPECT_THROW(ObjectTextToBinary("object Form: T" + QByteArray(255, 'x') + "\r\nend\r\n"), EFilerError);
}

TEST(PropStream, AFailingDeviceFailsTheWrite) {
    TMainFormF form;
    for (qint64 limit : {qint64(0), qint64(1), qint64(10), qint64(kProgramStream.size()) - 1}) {
        TFailDevice device(limit);
        TPropWriterEh writer(&device);
        try {
            writer.WriteOwnerProperties(&form, kProgramPaths);
            FAIL() << "write past " << limit << " bytes succeeded";
        } catch (const EFilerError& e) {
            EXPECT_EQ(e.Message(), "Stream write error");
        }
    }
    TFailDevice enough(kProgramStream.size());
    TPropWriterEh writer(&enough);
    writer.WriteOwnerProperties(&form, kProgramPaths);
    EXPECT_EQ(enough.data(), kProgramStream);
}

TEST(PropStream, OwnerCallbacksWriteAndReadTheirOwnRecords) {
    TMainFormF form;
    const QByteArray stream = WriteStream(&form, {}, [](TPropWriterEh& w) {
        w.WritePropName("Custom");
        w.WriteInteger(42);
    });
    EXPECT_EQ(stream,
              "TPF0" + Short("TMainFormF") + Short("MainFormF") + Record("Custom", "\x02\x2a") + Zero(3));
    QBuffer buffer;
    buffer.setData(stream);
    buffer.open(QIODevice::ReadOnly);
    TPropReaderEh reader(&buffer);
    int64_t seen = 0;
    reader.OnReadOwnerProp = [&](TPropReaderEh& r, const QString& name, bool& processed) {
        if (name == "Custom") {
            seen = r.ReadInteger();
            processed = true;
        }
    };
    reader.ReadOwnerProperties(&form);
    EXPECT_EQ(seen, 42);
}

TEST(PropStream, WindowPlaceGoesThroughTheInterceptor) {
    TMainFormF saved;
    saved.setGeometry(30, 40, 300, 200);
    const QStringList paths = {"<P>.Left",   "<P>.Top",         "<P>.Width",
                               "<P>.Height", "<P>.WindowState", "<P>.PixelsPerInch"};
    const QByteArray stream = WriteStream(&saved, paths);
    const QByteArray text = ObjectBinaryToText(stream);
    for (const char* line : {"  Height = 200\r\n", "  Left = 30\r\n", "  PixelsPerInch = 96\r\n",
                             "  Top = 40\r\n", "  Width = 300\r\n", "  WindowState = wsNormal\r\n"})
        EXPECT_TRUE(text.contains(line)) << line << text.constData();

    const int screen = TForm::ScreenPixelsPerInch();
    auto scaled = [&](int v, int from) { return qRound(double(v) * screen / from); };
    TMainFormF restored;
    restored.setGeometry(0, 0, 100, 100);
    restored.SetPosition(TForm::poScreenCenter);
    ReadStream(&restored, stream);
    EXPECT_EQ(restored.geometry(), QRect(scaled(30, 96), scaled(40, 96), scaled(300, 96), scaled(200, 96)));
    EXPECT_EQ(restored.Position(), TForm::poDesigned); // the restored place stays

    // Saved at twice the resolution: sizes come back halved on a screen of the design resolution.
    EXPECT_EQ(Restored("  PixelsPerInch = 192\r\n  Width = 400\r\n  Height = 300\r\n").size(),
              QSize(scaled(400, 192), scaled(300, 192)));
    // Other root records leave the window's place alone.
    EXPECT_EQ(Restored("  WindowState = wsNormal\r\n", {5, 6, 170, 180}, 192), QRect(5, 6, 170, 180));
}

TEST(PropStream, HostileWindowBoundsAreBroughtOntoTheScreen) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    // Scaled far beyond any screen: no overflow, the window fits the area.
    const QRect huge = Restored("  PixelsPerInch = 24\r\n  Left = 5\r\n  Width = 2000000000\r\n"
                                "  Height = 2000000000\r\n");
    EXPECT_TRUE(area.contains(huge)) << huge.x() << "," << huge.y() << " " << huge.width() << "x"
                                     << huge.height();
    EXPECT_EQ(huge.size(), area.size());
    // Nothing left of it: at least the window's minimum size.
    const QRect tiny = Restored("  Width = -7\r\n  Height = 0\r\n");
    EXPECT_EQ(tiny.size(), QSize(120, 90));
    // On a monitor that is no longer there: moved back onto the screen, size kept.
    const QRect away = Restored("  Left = 100000\r\n  Top = -100000\r\n  Width = 300\r\n  Height = 200\r\n");
    EXPECT_TRUE(area.contains(away));
    EXPECT_EQ(away.size(), QSize(300, 200));
}

TEST(PropStream, NumbersAtTheEdges) {
    // The smallest 64-bit number in hexadecimal, and both ends in decimal.
    auto int64Of = [](const QByteArray& text) {
        const QByteArray binary = ObjectTextToBinary(ValueText(text));
        return binary.mid(binary.indexOf("\x01V") + 2);
    };
    EXPECT_EQ(int64Of("-$8000000000000000"), QByteArray("\x13\0\0\0\0\0\0\0\x80\0\0", 11));
    EXPECT_EQ(int64Of("$FFFFFFFFFFFFFFFF"), QByteArray("\x02\xff\0\0", 4));
    EXPECT_EQ(int64Of("-9223372036854775808"), QByteArray("\x13\0\0\0\0\0\0\0\x80\0\0", 11));
}

TEST(PropStream, TextValueEncodingTable) {
    struct TCase {
        QString text;
        uint8_t tag;
    };
    const TCase cases[] = {
        {"", 18},                                     // no units: the wide form, as ever
        {"COM1", 6},                                  // plain ASCII
        {QString(300, QLatin1Char('x')), 12},         // longer than a short string
        {QString::fromUtf8("caf\xc3\xa9"), 20},       // mostly ASCII
        {QString::fromUtf8("\xce\xa9\xce\xa9"), 18},  // two UTF-8 bytes per unit
        {QString(QChar(char16_t(0xDF41))) + "A", 18}, // a lone surrogate survives only as wide text
    };
    for (const TCase& c : cases) {
        const QByteArray encoded = EncodeTextValue(c.text);
        EXPECT_EQ(uint8_t(encoded[0]), c.tag) << c.text.toStdString();
        const QByteArray stream = ValueStream(encoded);
        EXPECT_EQ(Hex(ObjectTextToBinary(ObjectBinaryToText(stream))), Hex(stream)) << c.text.toStdString();
    }
}
