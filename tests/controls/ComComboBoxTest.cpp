// The port property selector: its lists, how it follows the port, and what the user's choice does to
// a real port on pseudo-terminals.
#include "controls/ComComboBox.h"

#include "runtime/Exception.h"
#include "serial/DeviceTestSupport.h"
#include "serial/PortNames.h"
#include "serial/platform/Termios2.h"
#include "support/EnvGuard.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The port list holds exactly the given names: an empty tty class folder plus the extra names.
class TFakePortList {
public:
    explicit TFakePortList(const QStringList& names)
        : m_root(kSysfsTtyRootVariable, m_dir.path().toLocal8Bit()),
          m_extra(kExtraPortsVariable, names.join(':').toLocal8Bit()) {}

private:
    QTemporaryDir m_dir;
    TEnvGuard m_root;
    TEnvGuard m_extra;
};

// Collects what reaches the application's exception report.
class TReportSpy {
public:
    TReportSpy() {
        m_previous = SetExceptionReporter([this](const QString& message) { Messages.append(message); });
    }
    ~TReportSpy() { SetExceptionReporter(m_previous); }
    QStringList Messages;

private:
    TExceptionReporter m_previous;
};

// The items' texts, or another role of theirs.
QStringList Items(const QComboBox& box, int role = Qt::DisplayRole) {
    QStringList items;
    for (int i = 0; i < box.count(); ++i)
        items.append(box.itemData(i, role).toString());
    return items;
}

// A selector of `property` of `port` shown in a window, as the user meets it.
struct TSelector {
    QWidget window;
    TComComboBox* box = new TComComboBox(&window);
    int changes = 0;

    TSelector(TComProperty property, TComPort* port, bool autoApply) {
        box->SetComProperty(property);
        box->SetAutoApply(autoApply);
        box->SetComPort(port);
        box->OnChange = [this](TComComboBox*) { ++changes; };
        window.resize(200, 60);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    // The user opens the list, moves to the item and confirms it with Return.
    void UserChooses(const QString& text) {
        const int index = box->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        box->showPopup();
        QAbstractItemView* view = box->view();
        ASSERT_TRUE(WaitUntil([&] { return view->isVisible(); }));
        view->setCurrentIndex(box->model()->index(index, 0));
        QTest::keyClick(view, Qt::Key_Return);
        ASSERT_EQ(box->currentIndex(), index);
    }
};

} // namespace

TEST(ComComboBox, ListsEverySettingAndSelectsTheFirstItemWithoutAPort) {
    struct TCase {
        TComProperty property;
        QStringList items;
    };
    const TCase cases[] = {
        {cpNone, {}},
        {cpBaudRate,
         {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
          "57600", "115200", "128000", "256000"}},
        {cpDataBits, {"5", "6", "7", "8"}},
        {cpStopBits, {"1", "1.5", "2"}},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}},
    };
    TComComboBox box;
    EXPECT_FALSE(box.isEditable()) << "a drop-down list: the user cannot type";
    for (const TCase& c : cases) {
        SCOPED_TRACE(int(c.property));
        box.SetComProperty(c.property);
        EXPECT_EQ(Items(box), c.items);
        EXPECT_EQ(box.ItemIndex(), c.items.isEmpty() ? -1 : 0);
        EXPECT_EQ(box.Text(), c.items.value(0));
    }
}

TEST(ComComboBox, FollowsThePortOnlyWhenToldAndSelectsNothingForAnUnlistedValue) {
    TFakePortList list({"ttyUSB1", "ttyUSB0"});
    TComPort port;
    port.SetBaudRate(br38400);
    port.SetPort("TTYUSB1");
    TComComboBox rate, name;
    rate.SetComProperty(cpBaudRate);
    rate.SetComPort(&port);
    EXPECT_EQ(rate.count(), 16);
    EXPECT_EQ(rate.ItemIndex(), 10);
    EXPECT_EQ(rate.Text(), "38400");
    name.SetComPort(&port);
    name.SetComProperty(cpPort);
    EXPECT_EQ(Items(name), (QStringList{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(name.Text(), "ttyUSB1") << "found without regard to case";
    EXPECT_EQ(name.Select().Port(), "ttyUSB1") << "the list's spelling is held";

    // Not listening: the selection follows only on RefreshFromPort; an unlisted value selects nothing.
    port.SetBaudRate(brCustom);
    port.SetPort("COM7");
    EXPECT_EQ(rate.Text(), "38400");
    rate.RefreshFromPort();
    name.RefreshFromPort();
    EXPECT_EQ(rate.Text(), "Custom");
    EXPECT_EQ(name.ItemIndex(), -1);
    EXPECT_EQ(name.Text(), "");
    EXPECT_EQ(name.Select().Port(), "ttyUSB1") << "nothing found, nothing held";

    port.SetDataBits(dbSeven);
    port.SetStopBits(sbOne5StopBits);
    port.Parity()->SetBits(prMark);
    port.FlowControl()->SetFlowControl(fcSoftware);
    const std::pair<TComProperty, QString> shown[] = {
        {cpDataBits, "7"}, {cpStopBits, "1.5"}, {cpParity, "Mark"}, {cpFlowControl, "Software"}};
    for (const auto& [property, text] : shown) {
        rate.SetComProperty(property);
        EXPECT_EQ(rate.Text(), text);
    }
    EXPECT_EQ(rate.Select().DataBits(), dbSeven);
    EXPECT_EQ(rate.Select().FlowControl(), fcSoftware);

    rate.SetComProperty(cpNone);
    rate.RefreshFromPort();
    EXPECT_EQ(rate.count(), 0);
    EXPECT_EQ(rate.ItemIndex(), -1);
}

TEST(ComComboBox, SelectionThroughCodeNeverWritesIntoThePortAndARemovedPortIsDropped) {
    auto owned = std::make_unique<TComPort>();
    TComPort& port = *owned;
    port.SetBaudRate(br38400);
    TSelector s(cpBaudRate, &port, true);

    s.box->SetText("custom");
    EXPECT_EQ(s.box->Text(), "Custom") << "found without regard to case";
    s.box->SetText("12345");
    EXPECT_EQ(s.box->Text(), "Custom") << "an unlisted text changes nothing";
    s.box->SetItemIndex(3);
    s.box->setProperty("Text", "115200");
    s.box->RefreshFromPort();
    s.box->SetComProperty(cpBaudRate);
    EXPECT_EQ(port.BaudRate(), br38400);
    EXPECT_EQ(s.changes, 0);
    EXPECT_EQ(s.box->Text(), "38400");

    owned.reset(); // the selector lets go of it and selects the first item
    EXPECT_EQ(s.box->ComPort(), nullptr);
    EXPECT_EQ(s.box->count(), 16);
    EXPECT_EQ(s.box->ItemIndex(), 0);

    // Published for layouts: the port reference and the property by name.
    TComPort other;
    other.SetBaudRate(br110);
    EXPECT_TRUE(s.box->setProperty("ComPort", QVariant::fromValue<QObject*>(&other)));
    EXPECT_EQ(s.box->ComPort(), &other);
    EXPECT_EQ(s.box->Text(), "110");
    EXPECT_TRUE(s.box->setProperty("ComProperty", "cpDataBits"));
    EXPECT_EQ(s.box->ComProperty(), cpDataBits);
    EXPECT_EQ(s.box->Text(), "8");
}

TEST(ComComboBox, TheUsersChoiceIsHeldAndWrittenOnlyWithAutoApply) {
    TComPort port;
    port.SetBaudRate(br38400);
    TSelector s(cpBaudRate, &port, false);

    s.UserChooses("19200");
    EXPECT_EQ(s.box->Select().BaudRate(), br19200);
    EXPECT_EQ(s.changes, 1);
    EXPECT_EQ(port.BaudRate(), br38400) << "AutoApply off: only held";

    // A key step is a choice of the user too.
    s.box->SetAutoApply(true);
    s.box->setFocus();
    QTest::keyClick(s.box, Qt::Key_Down);
    EXPECT_EQ(s.box->Text(), "38400");
    EXPECT_EQ(s.changes, 2);
    EXPECT_EQ(port.BaudRate(), br38400);
    s.UserChooses("115200");
    EXPECT_EQ(port.BaudRate(), br115200);
    EXPECT_EQ(s.changes, 3);

    s.box->SetComProperty(cpParity); // the other settings go to their own setters
    s.UserChooses("Odd");
    EXPECT_EQ(port.Parity()->Bits(), prOdd);
}

TEST(ComComboBox, ANewRateOnAnOpenPortChangesTheLineSpeedAtOnce) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetBaudRate(br38400);
    int closes = 0;
    port.OnAfterClose = [&](TCustomComPort*) { ++closes; };
    port.SetConnected(true);
    ASSERT_EQ(ReadBack(pty.SlavePath()).OutSpeed, 38400u);
    const intptr_t handle = port.Handle();

    TSelector s(cpBaudRate, &port, true);
    s.UserChooses("57600");
    EXPECT_EQ(ReadBack(pty.SlavePath()).OutSpeed, 57600u);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(port.Handle(), handle);
    s.UserChooses("Custom"); // the port's custom speed, 9600 unless set
    EXPECT_EQ(ReadBack(pty.SlavePath()).OutSpeed, 9600u);
}

TEST(ComComboBox, AnotherPortNameReopensAnOpenPortAndAFailureReachesTheReport) {
    TPtyPair ptyA, ptyB;
    const QString a = QString::fromStdString(ptyA.SlavePath());
    const QString b = QString::fromStdString(ptyB.SlavePath());
    const QString missing = "/nonexistent/ttyGone";
    TFakePortList list({a, b, missing});

    TComPort port;
    port.SetPort(a);
    port.SetBaudRate(br38400);
    int opens = 0;
    port.OnAfterOpen = [&](TCustomComPort*) { ++opens; };
    port.SetConnected(true);

    TSelector s(cpPort, &port, true);
    ASSERT_EQ(s.box->Text(), a);

    s.UserChooses(b);
    EXPECT_EQ(port.Port(), b);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(s.changes, 1);
    EXPECT_EQ(ReadBack(ptyB.SlavePath()).OutSpeed, 38400u);
    EXPECT_EQ(port.WriteText("R"), 1);
    EXPECT_EQ(ptyB.Read(1), QByteArray("R")) << "the new device carries the data";

    // A name that cannot be opened: the report shows code 1, the port stays closed holding the name,
    // and OnChange is not raised.
    TReportSpy report;
    s.UserChooses(missing);
    ASSERT_EQ(report.Messages.size(), 1);
    EXPECT_TRUE(report.Messages[0].startsWith(EComPort::CodeMessage(CError_OpenFailed)))
        << report.Messages[0].toStdString();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Port(), missing);
    EXPECT_EQ(s.box->Select().Port(), missing);
    EXPECT_EQ(s.changes, 1);
}

TEST(ComComboBox, AnUnreadablePortListLeavesTheListEmptyAndRaisesCode23) {
    TEnvGuard root(kSysfsTtyRootVariable, "/nonexistent/sys/class/tty");
    TEnvGuard extra(kExtraPortsVariable, QByteArray());
    TComComboBox box;
    box.SetComProperty(cpBaudRate);
    try {
        box.SetComProperty(cpPort);
        FAIL() << "the port list could not be read";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), CError_RegError);
    }
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.ItemIndex(), -1);
}

// A tty class folder with hardware entries that appear and go while the selector lives.
class TPluggablePorts {
public:
    TPluggablePorts()
        : m_root(kSysfsTtyRootVariable, QFile::encodeName(m_dir.filePath("class/tty"))),
          m_extra(kExtraPortsVariable, QByteArray()) {
        EXPECT_TRUE(QDir().mkpath(m_dir.filePath("class/tty")));
    }
    void Plug(const QString& name) {
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath("class/tty/" + name)));
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath("devices/" + name)));
        ASSERT_EQ(symlink(QFile::encodeName("../../../devices/" + name).constData(),
                          QFile::encodeName(m_dir.filePath("class/tty/" + name + "/device")).constData()),
                  0);
    }
    void Unplug(const QString& name) {
        ASSERT_TRUE(QDir(m_dir.filePath("class/tty/" + name)).removeRecursively());
    }
    void RemoveAll() { ASSERT_TRUE(QDir(m_dir.filePath("class")).removeRecursively()); }

private:
    QTemporaryDir m_dir;
    TEnvGuard m_root;
    TEnvGuard m_extra;
};

TEST(ComComboBox, PortItemsCarryTheirDescriptionAsToolTip) {
    TPluggablePorts ports;
    ports.Plug("ttyUSB0");
    ports.Plug("ttyS4");
    TComComboBox box;
    box.SetComProperty(cpPort);
    EXPECT_EQ(Items(box), (QStringList{"ttyS4", "ttyUSB0"}));
    EXPECT_EQ(Items(box, Qt::ToolTipRole), (QStringList{DescribePort("ttyS4"), DescribePort("ttyUSB0")}));
    EXPECT_TRUE(Items(box, Qt::ToolTipRole)[1].startsWith("/dev/ttyUSB0"));
    // The other settings have no tooltips.
    box.SetComProperty(cpBaudRate);
    EXPECT_EQ(Items(box, Qt::ToolTipRole).join(""), "");
}

TEST(ComComboBox, OpeningThePortListReadsItAgainAndKeepsTheSelectedText) {
    TPluggablePorts ports;
    ports.Plug("ttyUSB1");
    TComPort port;
    port.SetPort("ttyUSB1");
    TSelector s(cpPort, &port, true);
    ASSERT_EQ(s.box->Text(), "ttyUSB1");

    // An adapter plugged in after start appears when the list drops down; the selection stays.
    ports.Plug("ttyUSB0");
    ports.Plug("ttyACM0");
    s.box->showPopup();
    EXPECT_EQ(Items(*s.box), (QStringList{"ttyACM0", "ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(s.box->Text(), "ttyUSB1");
    EXPECT_EQ(Items(*s.box, Qt::ToolTipRole)[0], DescribePort("ttyACM0"));
    s.box->hidePopup();
    EXPECT_EQ(s.changes, 0) << "refreshing is not the user's choice";
    EXPECT_EQ(s.box->Select().Port(), "ttyUSB1");

    // The selected adapter is unplugged: nothing is selected, the port keeps its name.
    ports.Unplug("ttyUSB1");
    s.box->showPopup();
    s.box->hidePopup();
    EXPECT_EQ(Items(*s.box), (QStringList{"ttyACM0", "ttyUSB0"}));
    EXPECT_EQ(s.box->ItemIndex(), -1);
    EXPECT_EQ(port.Port(), "ttyUSB1");
    EXPECT_EQ(s.changes, 0);

    // A list that cannot be read keeps the items and goes to the report.
    TReportSpy report;
    ports.RemoveAll();
    s.box->showPopup();
    s.box->hidePopup();
    EXPECT_EQ(Items(*s.box), (QStringList{"ttyACM0", "ttyUSB0"}));
    ASSERT_EQ(report.Messages.size(), 1);
    EXPECT_TRUE(report.Messages[0].startsWith("Registry error")) << report.Messages[0].toStdString();

    // Other settings' lists are not read again.
    s.box->SetComProperty(cpBaudRate);
    const int speed = s.box->ItemIndex();
    s.box->showPopup();
    s.box->hidePopup();
    EXPECT_EQ(s.box->ItemIndex(), speed);
    EXPECT_EQ(report.Messages.size(), 1);
}
