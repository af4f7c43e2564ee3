// The console's report of a port that would not open: the exact message, and a second line on what to
// do for a device the user may not use or one that another program holds.
#include "console/OpenFailureHint.h"
#include "console/Dialogs.h"
#include "console/MainformU.h"
#include "console/SessionLog.h"
#include "serial/ComError.h"
#include "serial/ComPort.h"
#include "support/TestSupport.h"

#include "NoDialogs.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

class OpenFailure : public ::testing::Test {
protected:
    void SetUp() override {
        dialogs = std::make_shared<TNoDialogs>();
        SetDialogs(dialogs);
        previous = SetExceptionReporter(ConsoleExceptionReporter([this] { return portName; }));
        ASSERT_TRUE(node.open());
    }
    void TearDown() override {
        SetExceptionReporter(previous);
        SetDialogs(nullptr);
    }
    // Raises `e` from a handler, as the port does when opening fails, and returns what was shown.
    QString Report(const std::exception& e) {
        dialogs->Reported.clear();
        GuardedCall([&] {
            if (auto* port = dynamic_cast<const EComPort*>(&e))
                throw *port;
            if (auto* file = dynamic_cast<const EInOutError*>(&e))
                throw *file;
            throw Exception(QString::fromUtf8(e.what()));
        });
        EXPECT_EQ(dialogs->Reported.size(), 1);
        return dialogs->Reported.value(0);
    }
    // Clicks "Connect COM" in a window whose port is `port`, and returns what was shown.
    QString ConnectTo(const QString& port) {
        TTempConfigHome home;
        TMainFormF window;
        portName = port;
        window.ComPort1->SetPort(portName);
        window.show();
        dialogs->Reported.clear();
        window.btnConnect->click();
        EXPECT_FALSE(window.ComPort1->Connected());
        EXPECT_EQ(dialogs->Reported.size(), 1);
        window.close();
        return dialogs->Reported.value(0);
    }
    // Gives the stand-in device node the group `gid`.
    void SetGroup(gid_t gid) {
        ASSERT_EQ(::chown(QFile::encodeName(node.fileName()).constData(), -1, gid), 0);
    }

    std::shared_ptr<TNoDialogs> dialogs;
    TExceptionReporter previous;
    QTemporaryFile node; // stands in for the device node
    QString portName;
};

// A group other than root that the test may give the node: its own when that is not root, else dialout.
const group* OrdinaryGroup() {
    if (getegid() != 0)
        return getgrgid(getegid());
    return getgrnam("dialout");
}

} // namespace

// A node of root's asks the administrator; a node of another group names it and a new login.
TEST_F(OpenFailure, AccessDeniedNamesTheDevicesGroupOrAsksTheAdministrator) {
    portName = node.fileName();
    if (getuid() == 0) {
        SetGroup(0);
        EXPECT_EQ(Report(EComPort(CError_OpenFailed, EACCES)),
                  "Unable to open com port (win error code: 13)\nYou may not use " + node.fileName() +
                      ": ask the administrator for access to it, then log in again.");
    }
    const group* g = OrdinaryGroup();
    if (!g)
        GTEST_SKIP() << "no group to give the device node";
    const QString groupName = QString::fromLocal8Bit(g->gr_name);
    SetGroup(g->gr_gid);
    const QString shown = Report(EComPort(CError_OpenFailed, EACCES));
    const QStringList lines = shown.split('\n');
    ASSERT_EQ(lines.size(), 2) << shown.toStdString();
    EXPECT_EQ(lines[0], "Unable to open com port (win error code: 13)");
    EXPECT_EQ(lines[1], "You may not use " + node.fileName() + ": it is for the members of the group \"" +
                            groupName + "\". Have your account added to that group (sudo usermod -aG " +
                            groupName + " $USER), then log out and in again.");
}

TEST_F(OpenFailure, EachCauseSaysWhatToDoAndOtherFailuresStayAsTheyAre) {
    struct Row {
        const char* port;
        int error;
        QString hint; // empty: the message alone
    };
    const QString busy = "/dev/ttyUSB3 is in use by another program: close it there, then connect again.";
    const Row rows[] = {
        {"ttyNoSuchDevice", EACCES,
         "You may not use /dev/ttyNoSuchDevice: ask the administrator for access to it, then log in again."},
        {"ttyUSB3", EBUSY, busy},
        {"ttyUSB3", EAGAIN, busy},
        {"ttyUSB3", EWOULDBLOCK, busy},
        {"ttyUSB3", EIO, {}},
        {"ttyUSB7", ENOENT,
         "There is no device /dev/ttyUSB7: is the adapter plugged in, and is the port's name right?"},
        {"tcp://127.0.0.1:7", ECONNREFUSED,
         "Nothing accepts connections at tcp://127.0.0.1:7: is the device server running, and is the port "
         "number right?"},
        {"rfc2217://no.such.host:2217", ENXIO,
         "The host of rfc2217://no.such.host:2217 is not known: check its name, or use its address."},
        {"tcp://10.1.2.3:4001", ETIMEDOUT,
         "tcp://10.1.2.3:4001 did not answer in time: is the host on, reachable from here, and not behind a "
         "firewall that drops the connection?"},
        {"tcp://10.1.2.3:4001", ENETUNREACH,
         "There is no way to the host of tcp://10.1.2.3:4001 from here: check the network."},
        {"tcp://10.1.2.3:4001", EIO, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.port << " " << row.error);
        portName = row.port;
        const QString message = QString("Unable to open com port (win error code: %1)").arg(row.error);
        EXPECT_EQ(EComPort(CError_OpenFailed, row.error).Message(), message); // callers see it exactly
        EXPECT_EQ(Report(EComPort(CError_OpenFailed, row.error)),
                  row.hint.isEmpty() ? message : message + "\n" + row.hint);
    }
    // Another code, another exception, a message reported outside of any handler: the message alone.
    EXPECT_EQ(Report(EComPort(CError_WriteFailed, EACCES)), EComPort(CError_WriteFailed, EACCES).Message());
    EXPECT_EQ(Report(Exception("Unable to open com port (win error code: 13)")),
              "Unable to open com port (win error code: 13)");
    dialogs->Reported.clear();
    ReportException("plain");
    EXPECT_EQ(dialogs->Reported, QStringList{"plain"});
}

// Seen for real: another program holds the pseudo-terminal's lock when "Connect COM" is clicked, and a
// network port nobody listens on.
TEST_F(OpenFailure, ConnectingToALockedDeviceOrARefusedPortShowsBothLines) {
    TPtyPair device;
    const int holder = ::open(device.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const QString path = QString::fromStdString(device.SlavePath());
    EXPECT_EQ(ConnectTo(path),
              QString("Unable to open com port (win error code: %1)\n%2 is in use by another "
                      "program: close it there, then connect again.")
                  .arg(EWOULDBLOCK)
                  .arg(path));
    ::close(holder);
    const QString shown = ConnectTo("tcp://127.0.0.1:1");
    EXPECT_TRUE(shown.endsWith("\nNothing accepts connections at tcp://127.0.0.1:1: is the device server "
                               "running, and is the port number right?"))
        << shown.toStdString();
}

TEST_F(OpenFailure, FileErrorsNameThePathAndTheCause) {
    QTemporaryDir dir;
    const QString missing = dir.filePath("gone/log.txt");
    // A real failure: a folder that does not exist.
    try {
        WriteLogFile(missing, QByteArray("x"));
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(Report(e), "Invalid filename\nCould not write " + missing + ": the folder " +
                                 dir.filePath("gone") + " does not exist.");
    }
    struct Row {
        QString path;
        int error;
        QString line;
    };
    const Row rows[] = {
        {dir.filePath("log.txt"), EACCES,
         "Could not write " + dir.filePath("log.txt") + ": you may not write to the folder " + dir.path() +
             "."},
        {dir.filePath("log.txt"), EROFS,
         "Could not write " + dir.filePath("log.txt") + ": the folder " + dir.path() +
             " is on a read-only file system."},
        {dir.path(), EISDIR, "Could not write " + dir.path() + ": it is a folder."},
        {"/dev/full", ENOSPC, "Could not write /dev/full: No space left on device."},
        {{}, EACCES, {}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(FileFailureHint(row.path, row.error), row.line) << row.error;
    EXPECT_EQ(Report(EInOutError::For(EACCES, dir.filePath("log.txt"))),
              "File access denied\n" + FileFailureHint(dir.filePath("log.txt"), EACCES));
}
