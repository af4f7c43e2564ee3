#include "StandIns.h"

#include "persistence/PropStorage.h"
#include "persistence/PropStorageManager.h"
#include "persistence/ValueStream.h"
#include "runtime/Exception.h"
#include "runtime/Registry.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

namespace {

const QString kPath = QStringLiteral("Software\\Varnholt\\Corvantel");
const QString kKey = kPath + QStringLiteral("\\TMainFormF");

// The console's window as its layout builds it: the port, then the storage and its manager, then
// Loaded() on each. Handlers given here are the window's own, assigned before the storage hooks in.
struct TWindow {
    TMainFormF* Form;
    TPropStorageEh* Storage;
    TRegPropStorageManEh* Manager;
    QStringList* Log;

    explicit TWindow(QStringList* log) : Log(log) {
        Form = new TMainFormF();
        Form->BeginLoading();
        Form->OnShow = [this](QObject*) {
            Log->append(
                QStringLiteral("FormShow %1 %2")
                    .arg(Form->ComPort1->Port())
                    .arg(QMetaEnum::fromType<CPort::TBaudRate>().valueToKey(Form->ComPort1->BaudRate())));
        };
        Form->OnCloseQuery = [this](QObject*, bool& canClose) {
            canClose = !Refuse;
            Log->append(canClose ? "FormCloseQuery yes" : "FormCloseQuery no");
        };
        Form->OnDestroy = [this](QObject*) { Log->append("FormDestroy"); };
        Storage = new TPropStorageEh(Form);
        Storage->setObjectName("PropStorageEh1");
        Storage->BeginLoading();
        Manager = new TRegPropStorageManEh(Form);
        Manager->setObjectName("RegPropStorageManEh1");
        Manager->BeginLoading();
        Manager->SetPath(kPath);
        Storage->SetStorageManager(Manager);
        Storage->SetStoredProps({"ComPort1.<P>.BaudRate", "ComPort1.<P>.Port"});
        LoadComponents({Form, Form->ComPort1, Storage, Manager});
    }
    bool Refuse = false; // the window's own handler refuses to close
};

QStringList LineValues(const QString& key = kKey) {
    TRegistry reg;
    if (!reg.OpenKeyReadOnly(key))
        return {};
    QStringList lines;
    for (const QString& name : reg.GetValueNames())
        lines.append(name + "=" + reg.ReadString(name));
    return lines;
}

const QStringList kSixLines = {"Line0000000000=object MainFormF: TMainFormF",
                               "Line0000000001=  object ComPort1: TComPort",
                               "Line0000000002=    BaudRate = br57600",
                               "Line0000000003=    Port = 'COM3'",
                               "Line0000000004=  end",
                               "Line0000000005=end"};

// A window that is shown, given the port and closed, and so saves it.
void SaveThroughWindow(const QString& port, bool asText = true) {
    QStringList log;
    TWindow w(&log);
    w.Manager->SetWriteAsText(asText);
    w.Form->show();
    w.Form->ComPort1->SetPort(port);
    w.Form->close();
    delete w.Form;
}

// Changes the window's key in the store as another program would.
void EditKey(const std::function<void(TRegistry&)>& edit, const QString& key = kKey) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(key, true));
    edit(reg);
}

// A manager that keeps the stream it is handed instead of applying it.
class TCapturingManager : public TRegPropStorageManEh {
public:
    using TRegPropStorageManEh::TRegPropStorageManEh;
    void LoadPropertiesFromStream(QIODevice& stream, TPropStorageEh*) override {
        Loaded.append(stream.readAll());
    }
    QByteArrayList Loaded;
};

} // namespace

TEST(PropStorage, RemembersPortAndSpeedAndAHandEditOfTheStore) {
    TTempConfigHome home;
    QStringList log;
    {
        TWindow first(&log);
        first.Form->show();
        EXPECT_EQ(log.takeFirst(), "FormShow COM1 br38400"); // nothing stored yet: the layout's values
        first.Form->ComPort1->SetPort("COM3");
        first.Form->ComPort1->SetBaudRate(CPort::br57600);
        EXPECT_TRUE(first.Form->close());
        EXPECT_EQ(LineValues(), kSixLines);
        delete first.Form; // saved at close: the destruction saves nothing more
        EXPECT_EQ(log, (QStringList{"FormCloseQuery yes", "FormDestroy"}));
    }
    log.clear();
    {
        TWindow second(&log);
        second.Form->show();
        EXPECT_EQ(log, QStringList{"FormShow COM3 br57600"}); // restored before the window's own handler
        delete second.Form;
    }
    // As a text editor would: read the file, replace a few characters, write it back.
    QByteArray text = FileBytes(RegistryStorePath());
    ASSERT_TRUE(text.contains("[HKEY_CURRENT_USER\\Software\\Varnholt\\Corvantel\\TMainFormF]\n"
                              "\"Line0000000000\"=\"object MainFormF: TMainFormF\"\n"
                              "\"Line0000000001\"=\"  object ComPort1: TComPort\"\n"
                              "\"Line0000000002\"=\"    BaudRate = br57600\"\n"
                              "\"Line0000000003\"=\"    Port = 'COM3'\"\n"
                              "\"Line0000000004\"=\"  end\"\n"
                              "\"Line0000000005\"=\"end\"\n"))
        << text.toStdString();
    text.replace("'COM3'", "'/dev/ttyUSB1'").replace("br57600", "br9600");
    WriteFileBytes(RegistryStorePath(), text);
    log.clear();
    TWindow third(&log);
    third.Form->show();
    EXPECT_EQ(log, QStringList{"FormShow /dev/ttyUSB1 br9600"});
    delete third.Form;
}

TEST(PropStorage, RefusedCloseSavesNothingLaterCloseAndDestroySave) {
    TTempConfigHome home;
    QStringList log;
    TWindow w(&log);
    w.Refuse = true;
    w.Form->show();
    w.Form->ComPort1->SetPort("COM3");
    w.Form->ComPort1->SetBaudRate(CPort::br57600);
    EXPECT_FALSE(w.Form->close());
    EXPECT_TRUE(w.Form->isVisible());
    EXPECT_TRUE(LineValues().isEmpty());
    w.Refuse = false;
    EXPECT_TRUE(w.Form->close());
    EXPECT_EQ(LineValues(), kSixLines);

    // Shown again (a new load), changed, and destroyed without a close: the destruction saves.
    w.Form->show();
    w.Form->ComPort1->SetPort("COM4");
    delete w.Form;
    EXPECT_EQ(LineValues()[3], "Line0000000003=    Port = 'COM4'");
}

TEST(PropStorage, InactiveStorageNeitherLoadsNorSaves) {
    TTempConfigHome home;
    SaveThroughWindow("COM3");
    QStringList log;
    TWindow w(&log);
    w.Storage->SetActive(false);
    w.Form->show();
    EXPECT_EQ(log.takeFirst(), "FormShow COM1 br38400");
    w.Form->ComPort1->SetPort("COM9");
    w.Form->close();
    delete w.Form;
    EXPECT_EQ(LineValues()[3], "Line0000000003=    Port = 'COM3'");
}

TEST(PropStorage, SaveFailuresAreReportedAndClosingGoesOn) {
    TTempConfigHome home;
    QStringList log;
    TWindow w(&log);
    w.Form->show();
    ASSERT_NO_FATAL_FAILURE(home.Block());
    QStringList reports;
    const TExceptionReporter old = SetExceptionReporter([&](const QString& m) { reports.append(m); });
    EXPECT_TRUE(w.Form->close());
    SetExceptionReporter(old);
    EXPECT_FALSE(w.Form->isVisible());
    EXPECT_EQ(reports, QStringList{"Failed to set data for 'Line0000000000'"});
    home.Unblock();
    delete w.Form;
}

TEST(PropStorage, HandlersArePutBackAndManagerRemovalIsNoticed) {
    TTempConfigHome home;
    QStringList log;
    TWindow w(&log);
    delete w.Manager;
    EXPECT_EQ(w.Storage->StorageManager(), nullptr);
    w.Form->show();
    w.Form->close();
    EXPECT_TRUE(LineValues().isEmpty()); // no manager: nothing saved, silently
    delete w.Storage;
    log.clear();
    w.Form->show();
    EXPECT_EQ(log, QStringList{"FormShow COM1 br38400"});
    delete w.Form;
    EXPECT_EQ(log.last(), "FormDestroy");
}

TEST(PropStorage, DefaultSections) {
    TMainFormF form;
    TPropStorageEh onForm(&form);
    EXPECT_EQ(onForm.EffectiveSection(), "TMainFormF");
    QWidget panel(&form);
    panel.setObjectName("Panel1");
    TPropStorageEh onControl(&panel);
    EXPECT_EQ(onControl.EffectiveSection(), "TMainFormFPanel1");
    TPropStorageEh onPort(form.ComPort1);
    EXPECT_EQ(onPort.EffectiveSection(), "TMainFormF.ComPort1");
    TPropStorageEh orphan;
    EXPECT_EQ(orphan.EffectiveSection(), "");
}

TEST(RegPropStorageMan, LinesAreReplacedAndStaleOnesDeleted) {
    TTempConfigHome home;
    TMainFormF form;
    TPropStorageEh storage(&form);
    TCapturingManager manager;
    manager.SetPath(kPath);
    QByteArray ten;
    for (int i = 0; i < 10; ++i)
        ten += "line " + QByteArray::number(i) + "\r\n";
    manager.WritePropertiesText(&storage, ten);
    EXPECT_EQ(LineValues().size(), 10);
    manager.WritePropertiesText(&storage, "o\rb\nc\r\nd\r\n");
    EXPECT_EQ(LineValues(),
              (QStringList{"Line0000000000=o", "Line0000000001=b", "Line0000000002=c", "Line0000000003=d"}));
    // A gap ends the reading; names are matched without regard to case.
    EditKey([](TRegistry& reg) {
        reg.DeleteValue("Line0000000002");
        reg.DeleteValue("Line0000000001");
        reg.WriteString("LINE0000000001", " object");
    });
    manager.ReadProperties(&storage);
    ASSERT_EQ(manager.Loaded.size(), 1);
    EXPECT_EQ(manager.Loaded[0], "o\r\n object\r\n"); // a first line in the text form: joined with CR LF

    // Another section key and another root keep their own values.
    storage.SetSection("Other");
    manager.WritePropertiesText(&storage, "x");
    EXPECT_EQ(LineValues(kPath + "\\Other"), QStringList{"Line0000000000=x"});
    manager.SetRegistryKey(TRegPropStorageManEh::rkLocalMachineEh);
    EXPECT_EQ(manager.RootKeyHandle(), HKEY_LOCAL_MACHINE);
    manager.WritePropertiesText(&storage, "y");
    EXPECT_EQ(LineValues(kPath + "\\Other"), QStringList{"Line0000000000=x"});
}

TEST(RegPropStorageMan, BinaryFormIsStoredAsHexPiecesAndReadBack) {
    TTempConfigHome home;
    TMainFormF form;
    TPropStorageEh storage(&form);
    TCapturingManager manager;
    manager.SetPath(kPath);
    QByteArray bytes;
    for (int i = 0; i < 100; ++i)
        bytes.append(char(0xA0 + i * 7));
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadOnly);
    manager.WritePropertiesStream(&storage, stream);
    const QStringList lines = LineValues();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0].size() - 15, 80);
    EXPECT_EQ(lines[1].size() - 15, 80);
    EXPECT_EQ(lines[2].size() - 15, 40);
    EXPECT_EQ(lines[0].mid(15, 4), "A0A7");
    manager.ReadProperties(&storage);
    ASSERT_EQ(manager.Loaded.size(), 1);
    EXPECT_EQ(manager.Loaded[0], bytes);

    // Decoding stops at the first pair that is not hexadecimal (an odd digit at the end included).
    EditKey([](TRegistry& reg) {
        reg.WriteString("Line0000000000", "A0A1A");
        reg.DeleteValue("Line0000000001");
    });
    manager.ReadProperties(&storage);
    EXPECT_EQ(manager.Loaded[1], QByteArray("\xA0\xA1"));
}

TEST(RegPropStorageMan, BinaryFormEndToEndAndBrokenStoresLoadNothing) {
    TTempConfigHome home;
    SaveThroughWindow("COM5", false);
    EXPECT_TRUE(LineValues()[0].startsWith("Line0000000000=54504630")); // "TPF0"
    QStringList log;
    {
        TWindow w(&log);
        w.Form->show();
        EXPECT_EQ(log.takeFirst(), "FormShow COM5 br38400");
        w.Storage->SetActive(false);
        delete w.Form;
    }
    // A garbled line: the load at show fails quietly and the layout's values stay.
    EditKey(
        [](TRegistry& reg) { reg.WriteString("Line0000000000", "545046300A544D61696E466F726D4609FFFFFF"); });
    log.clear();
    TWindow w(&log);
    w.Storage->SetActive(true);
    w.Form->show();
    EXPECT_EQ(log.takeFirst(), "FormShow COM1 br38400");
    EXPECT_THROW(w.Storage->LoadProperties(), EFilerError);
    // A value of the wrong type fails the load with the store's message.
    EditKey([](TRegistry& reg) { reg.WriteInteger("Line0000000000", 5); });
    try {
        w.Storage->LoadProperties();
        FAIL() << "a number read as a line";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for 'Line0000000000'");
    }
    // Neither form.
    EditKey([](TRegistry& reg) { reg.WriteString("Line0000000000", "#junk"); });
    try {
        w.Storage->LoadProperties();
        FAIL() << "junk loaded";
    } catch (const EFilerError& e) {
        EXPECT_EQ(e.Message(), "Invalid stream format.");
    }
    w.Storage->SetActive(false);
    delete w.Form;
}

TEST(RegPropStorageMan, LegacySingleValueIsAppliedThenDeleted) {
    TTempConfigHome home;
    EditKey(
        [](TRegistry& reg) {
            reg.WriteString("TMainFormF", "object MainFormF: TMainFormF\r\n  object ComPort1: TComPort\r\n"
                                          "    Port = 'COM6'\r\n  end\r\nend\r\n");
        },
        kPath);
    QStringList log;
    TWindow w(&log);
    w.Form->show();
    EXPECT_EQ(log.takeFirst(), "FormShow COM6 br38400");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kPath, false));
    EXPECT_FALSE(reg.ValueExists("TMainFormF"));
    w.Form->close();
    EXPECT_EQ(LineValues()[3], "Line0000000003=    Port = 'COM6'");
    delete w.Form;
}

TEST(RegPropStorageMan, DefaultPathFromTheApplicationName) {
    const QString old = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName("Console");
    TRegPropStorageManEh manager;
    EXPECT_EQ(manager.EffectivePath(), "Software\\Console");
    QCoreApplication::setApplicationName(old);
    EXPECT_EQ(TRegPropStorageManEh::LineName(12), "Line0000000012");
}
