// The device layer on real pseudo-terminals: open, settings read back from the kernel, transfers,
// timeouts, purge, comm events and the loss of the device.

#include "serial/platform/SerialDevice.h"
#include "serial/platform/Termios2.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"
#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <vector>

namespace {

// A pseudo-terminal and the device opened on it.
class DevicePty : public ::testing::Test {
protected:
    TPtyPair pty;
    std::unique_ptr<TSerialDevice> device;
};

} // namespace

TEST_F(DevicePty, OpenMapsNamesAndRefusesMissingOrSecondOpener) {
    // Only the mapping: that device is the kernel console here and is never opened.
    EXPECT_EQ(PortNameToPath("COM1"), "/dev/ttyS0"); // never opened
    EXPECT_EQ(PortNameToPath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(PortNameToPath("com3"), "/dev/ttyS2");
    EXPECT_EQ(PortNameToPath("COM0"), "/dev/COM0");
    EXPECT_EQ(PortNameToPath("COMX"), "/dev/COMX");
    EXPECT_EQ(PortNameToPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(PortNameToPath("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(PortNameToPath("rel/path"), "rel/path");

    int error = 0;
    EXPECT_FALSE(OpenSerialDevice("/dev/cv-no-such-tty", &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(OpenSerialDevice("cv-no-such-tty", &error));
    EXPECT_EQ(error, ENOENT);
    // Not a terminal at all.
    EXPECT_FALSE(OpenSerialDevice("/dev/null", &error));
    EXPECT_EQ(error, ENOTTY);

    auto first = OpenDevice(pty.SlavePath());
    ASSERT_TRUE(first);
    EXPECT_GE(first->NativeHandle(), 0);
    EXPECT_FALSE(OpenSerialDevice(pty.SlavePath(), &error));
    EXPECT_TRUE(error == EAGAIN || error == EBUSY) << error;
    first.reset();
    auto again = OpenDevice(pty.SlavePath());
    EXPECT_TRUE(again);
}

TEST_F(DevicePty, ExclusiveUseNeverChangesAnotherProgramsTty) {
    const auto exclusive = [](int fd) {
        int on = -1;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &on), 0);
        return on;
    };
    // Another program has the tty open and locked: the open is refused and the tty stays shared.
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    int error = 0;
    EXPECT_FALSE(OpenSerialDevice(pty.SlavePath(), &error));
    EXPECT_EQ(error, EWOULDBLOCK);
    EXPECT_EQ(exclusive(other), 0) << "a refused open left the tty exclusive";

    // Unlocked, the device holds the tty exclusively while it is open, and only then.
    ASSERT_EQ(::flock(other, LOCK_UN), 0);
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    EXPECT_EQ(exclusive(other), 1);
    device.reset();
    EXPECT_EQ(exclusive(other), 0);

    // A flag the other program set itself stays set, whether the open is refused (not root) or not.
    ASSERT_EQ(::ioctl(other, TIOCEXCL), 0);
    device = OpenSerialDevice(pty.SlavePath(), &error);
    device.reset();
    EXPECT_EQ(exclusive(other), 1);
    ::ioctl(other, TIOCNXCL);
    ::close(other);
}

TEST_F(DevicePty, SettingsAreReadBackAndRefusalsKeepThePreviousState) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    const int fd = int(device->NativeHandle());

    ASSERT_EQ(device->SetCommState(Dcb(38400)), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Any speed goes through termios2.
    ASSERT_EQ(device->SetCommState(Dcb(12345)), 0);
    uint32_t out = 0, in = 0;
    ASSERT_EQ(GetSpeeds(fd, &out, &in), 0);
    EXPECT_EQ(out, 12345u);
    EXPECT_EQ(in, 12345u);
    ASSERT_EQ(device->SetCommState(Dcb(256000, 8, kNoParity, kOneStopBit, kDcbBinary | kDcbOutX | kDcbInX)),
              0);
    ASSERT_EQ(GetSpeeds(fd, &out, &in), 0);
    EXPECT_EQ(out, 256000u);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    const TDcb accepted = Dcb(256000, 8, kNoParity, kOneStopBit, kDcbBinary | kDcbOutX | kDcbInX);

    struct TRefusal {
        const char* Name;
        TDcb Settings;
        int Error;
    };
    const TRefusal refusals[] = {
        {"7 data bits (a pty forces 8)", Dcb(9600, 7), EINVAL},
        {"even parity (a pty clears it)", Dcb(9600, 8, kEvenParity), EINVAL},
        {"DTR handshake", Dcb(9600, 8, kNoParity, kOneStopBit, kDcbBinary | kDcbDtrControlHandshake), EINVAL},
        {"1.5 stop bits with 8 data bits", Dcb(9600, 8, kNoParity, kOne5StopBits), EINVAL},
        {"speed 0", Dcb(0), EINVAL},
        {"RTS toggle without RS-485 mode",
         Dcb(9600, 8, kNoParity, kOneStopBit, kDcbBinary | kDcbRtsControlToggle), ENOTTY},
    };
    for (const TRefusal& r : refusals) {
        EXPECT_EQ(device->SetCommState(r.Settings), r.Error) << r.Name;
        ASSERT_EQ(GetSpeeds(fd, &out, &in), 0);
        EXPECT_EQ(out, 256000u) << r.Name << ": the previous speed stays";
        TDcb now;
        ASSERT_EQ(device->GetCommState(&now), 0);
        EXPECT_EQ(now, accepted) << r.Name;
    }
}

TEST_F(DevicePty, DataRoundTripAndInputFlushedAtOpen) {
    pty.Write("stale"); // sent while the device was closed
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    ASSERT_EQ(device->SetCommState(Dcb(115200)), 0);
    ASSERT_EQ(device->SetCommTimeouts({kMaxDword, 0, 0, 0, 0}), 0);

    ASSERT_EQ(WriteAll(*device, "hello"), 0);
    EXPECT_EQ(pty.Read(5), QByteArray("hello"));

    QByteArray sent;
    for (int i = 0; i < 3000; ++i)
        sent.append(char(i * 7));
    pty.Write(sent);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(*device) == uint32_t(sent.size()); }));
    EXPECT_EQ(ReadQueued(*device), sent);
    EXPECT_EQ(InQueue(*device), 0u);

    // A zero-length write completes at once.
    TRecord zero;
    uint32_t written = 1;
    EXPECT_EQ(device->WriteFile("", 0, &written, &zero.Ov), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(zero.Event.IsSet());
}

TEST_F(DevicePty, ReadTimeoutsCompleteSuccessfullyWithTheBytesSoFar) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    char buffer[64] = {};
    uint32_t got = 99;

    // Interval at MAXDWORD, totals 0: at once with what is queued, also nothing.
    ASSERT_EQ(device->SetCommTimeouts({kMaxDword, 0, 0, 0, 0}), 0);
    {
        TRecord rec;
        EXPECT_EQ(device->ReadFile(buffer, 10, &got, &rec.Ov), 0);
        EXPECT_EQ(got, 0u);
        EXPECT_TRUE(rec.Event.IsSet());
    }

    // MAXDWORD, MAXDWORD, constant: waits for the first byte, then returns at once.
    ASSERT_EQ(device->SetCommTimeouts({kMaxDword, kMaxDword, 100, 0, 0}), 0);
    {
        TRecord rec;
        ASSERT_EQ(device->ReadFile(buffer, 10, &got, &rec.Ov), kErrorIoPending);
        EXPECT_EQ(rec.Finish(&got), 0); // timed out: success with nothing
        EXPECT_EQ(got, 0u);
        TRecord second;
        ASSERT_EQ(device->ReadFile(buffer, 10, &got, &second.Ov), kErrorIoPending);
        pty.Write("x");
        EXPECT_EQ(second.Finish(&got), 0);
        EXPECT_EQ(got, 1u);
        EXPECT_EQ(buffer[0], 'x');
    }

    // All zero: waits for the full count.
    ASSERT_EQ(device->SetCommTimeouts({0, 0, 0, 0, 0}), 0);
    {
        TRecord rec;
        ASSERT_EQ(device->ReadFile(buffer, 5, &got, &rec.Ov), kErrorIoPending);
        pty.Write("abc");
        EXPECT_FALSE(rec.Done());
        pty.Write("de");
        EXPECT_EQ(rec.Finish(&got), 0);
        ASSERT_EQ(got, 5u);
        EXPECT_EQ(QByteArray(buffer, 5), QByteArray("abcde"));
    }

    // A total timeout returns the bytes that arrived; so does an interval timeout after the first byte.
    const TCommTimeouts partial[] = {{0, 0, 100, 0, 0}, {50, 0, 0, 0, 0}, {50, 10, 5000, 0, 0}};
    for (const TCommTimeouts& t : partial) {
        ASSERT_EQ(device->SetCommTimeouts(t), 0);
        pty.Write("1234");
        ASSERT_TRUE(WaitUntil([&] { return InQueue(*device) == 4; }));
        TRecord rec;
        const int r = device->ReadFile(buffer, 10, &got, &rec.Ov);
        EXPECT_EQ(r, kErrorIoPending);
        EXPECT_EQ(rec.Finish(&got), 0) << t.ReadIntervalTimeout;
        EXPECT_EQ(got, 4u);
        EXPECT_EQ(QByteArray(buffer, 4), QByteArray("1234"));
    }

    // Timeouts near the top of the range do not overflow into an early completion.
    ASSERT_EQ(device->SetCommTimeouts({0, kMaxDword - 1, kMaxDword - 1, 0, 0}), 0);
    ASSERT_EQ(device->SetCommMask(kEvRxChar), 0);
    {
        TRecord rec;
        ASSERT_EQ(device->ReadFile(buffer, 64, &got, &rec.Ov), kErrorIoPending);
        // Once EV_RXCHAR for a later byte is raised, the I/O thread has looked at the read's timeouts.
        TRecord wait;
        uint32_t mask = 0;
        ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
        pty.Write("z");
        EXPECT_EQ(wait.Finish(), 0);
        EXPECT_FALSE(rec.Done());
        EXPECT_EQ(device->PurgeComm(kPurgeRxAbort), 0);
        EXPECT_EQ(rec.Finish(&got), kErrorOperationAborted);
        EXPECT_EQ(got, 1u); // what had arrived stays in the buffer
        EXPECT_EQ(buffer[0], 'z');
    }
    EXPECT_EQ(device->SetCommTimeouts({kMaxDword, kMaxDword, kMaxDword, 0, 0}), EINVAL);
}

// A write the far end never takes stays pending until a purge aborts it or its time-out completes it
// with the bytes written so far.
TEST_F(DevicePty, APendingWriteEndsByPurgeOrTimeout) {
    for (const bool timeout : {false, true}) {
        SCOPED_TRACE(timeout ? "write timeout" : "purge");
        TPtyPair pty; // nobody reads the far end
        auto device = OpenDevice(pty.SlavePath());
        ASSERT_TRUE(device);
        ASSERT_EQ(device->SetCommTimeouts({kMaxDword, 0, 0, 0, timeout ? 50u : 0u}), 0);
        static char block[16384];
        TRecord rec;
        int r = 0;
        uint64_t total = 0;
        for (int i = 0; i < 1000 && r == 0; ++i) {
            uint32_t written = 0;
            r = device->WriteFile(block, sizeof block, &written, &rec.Ov);
            total += written;
        }
        ASSERT_EQ(r, kErrorIoPending);
        uint32_t n = 0;
        if (timeout) {
            EXPECT_EQ(rec.Finish(&n), 0);
            EXPECT_LT(n, sizeof block);
            // Exactly the bytes reported reached the far end.
            EXPECT_EQ(uint64_t(pty.ReadAvailable().size()), total + n);
            continue;
        }
        TComStat stat;
        ASSERT_EQ(device->ClearCommError(nullptr, &stat), 0);
        EXPECT_GT(stat.cbOutQue, 0u);
        EXPECT_FALSE(rec.Done());
        ASSERT_EQ(device->PurgeComm(kPurgeTxAbort | kPurgeRxAbort), 0);
        EXPECT_EQ(rec.Finish(&n), kErrorOperationAborted);
        EXPECT_LT(n, sizeof block);
        EXPECT_EQ(device->PurgeComm(kPurgeTxClear | kPurgeRxClear), 0);
        EXPECT_EQ(device->PurgeComm(0x10), EINVAL);
    }
}

TEST_F(DevicePty, CommEventsLatchAndMaskChangesEndTheWait) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    uint32_t mask = 0;
    TRecord wait;
    EXPECT_EQ(device->WaitCommEvent(&mask, &wait.Ov), EINVAL); // nothing watched

    ASSERT_EQ(device->SetCommMask(kEvTxEmpty | kEvRxChar), 0);
    // A pty drains at once: the write raises EV_TXEMPTY while nobody waits; the next wait gets it.
    TRecord w;
    uint32_t written = 0;
    ASSERT_EQ(device->WriteFile("a", 1, &written, &w.Ov), 0);
    EXPECT_EQ(device->WaitCommEvent(&mask, &wait.Ov), 0);
    EXPECT_EQ(mask, kEvTxEmpty);
    EXPECT_TRUE(wait.Event.IsSet());

    // Setting the mask forgets what happened before.
    ASSERT_EQ(device->WriteFile("b", 1, &written, &w.Ov), 0);
    ASSERT_EQ(device->SetCommMask(kEvTxEmpty | kEvRxChar), 0);
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    EXPECT_FALSE(wait.Event.IsSet());
    TRecord second;
    EXPECT_EQ(device->WaitCommEvent(&mask, &second.Ov), EINVAL); // one wait at a time

    // Received bytes end the wait with EV_RXCHAR.
    pty.Write("in");
    EXPECT_EQ(wait.Finish(), 0);
    EXPECT_EQ(mask, kEvRxChar);

    // SetCommMask(0) ends a pending wait with mask 0.
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    ASSERT_EQ(device->SetCommMask(0), 0);
    EXPECT_EQ(wait.Finish(), 0);
    EXPECT_EQ(mask, 0u);
}

TEST_F(DevicePty, ASlowStreamIsReportedInGrowingWindowsAndNothingIsLost) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    ASSERT_EQ(device->SetCommState(Dcb(115200)), 0);
    ASSERT_EQ(device->SetCommMask(kEvRxChar), 0);
    // The far end sends at 115200-baud pace: 115 bytes every 10 ms for 1.5 s.
    QByteArray sent;
    for (int i = 0; sent.size() < 150 * 115; ++i)
        sent += QByteArray::number(i).rightJustified(5, '0') + ' ';
    sent.truncate(150 * 115);
    std::thread writer([&] {
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < 150; ++i) {
            pty.Write(sent.mid(i * 115, 115));
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    });
    QByteArray got;
    std::vector<std::chrono::steady_clock::time_point> reports;
    while (got.size() < sent.size()) {
        uint32_t mask = 0;
        TRecord wait;
        const int started = device->WaitCommEvent(&mask, &wait.Ov);
        ASSERT_TRUE(started == 0 || started == kErrorIoPending);
        ASSERT_EQ(wait.Finish(), 0) << "received " << got.size();
        reports.push_back(std::chrono::steady_clock::now());
        got += ReadQueued(*device);
    }
    writer.join();
    EXPECT_EQ(got, sent);
    // The first report comes at once, then windows of 2, 16, 32, 64 and 128 ms: about 17 reports. Fixed
    // short windows, or windows that start over whenever a long one gathered more than a kilobyte, give
    // 24 and more. (A loaded machine gives fewer, never more.)
    EXPECT_LE(reports.size(), 20u);
    std::vector<double> gaps;
    for (size_t i = 6; i < reports.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(reports[i] - reports[i - 1]).count());
    ASSERT_FALSE(gaps.empty());
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 100.0) << "a flowing stream settles on long windows";
}

TEST_F(DevicePty, DiscardNullAndEventCharacter) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    TDcb dcb = Dcb(9600, 8, kNoParity, kOneStopBit, kDcbBinary | kDcbNull);
    dcb.EvtChar = '\n';
    ASSERT_EQ(device->SetCommState(dcb), 0);
    ASSERT_EQ(device->SetCommMask(kEvRxChar | kEvRxFlag), 0);
    pty.Write(QByteArray("ab\0c\n", 5));
    EXPECT_EQ(WaitEvents(*device, kEvRxChar | kEvRxFlag, kEvRxChar | kEvRxFlag), kEvRxChar | kEvRxFlag);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(*device) == 4; }));
    EXPECT_EQ(ReadQueued(*device), QByteArray("abc\n"));
}

TEST_F(DevicePty, ModemQueriesOnAPtyAreHarmless) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    EXPECT_EQ(ModemStatus(*device), 0u);
    for (uint32_t f : {kSetDtr, kClrDtr, kSetRts, kClrRts, kSetBreak, kClrBreak})
        EXPECT_EQ(device->EscapeCommFunction(f), 0) << f;
    EXPECT_EQ(device->EscapeCommFunction(77), EINVAL);
    // Line events cannot be sampled on a pty: watching them costs nothing and raises nothing.
    EXPECT_EQ(device->SetCommMask(kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvErr | kEvBreak), 0);
    EXPECT_EQ(TakeErrors(*device), 0u);
    EXPECT_EQ(device->SetupComm(-1, 0), EINVAL);
    EXPECT_EQ(device->SetupComm(4096, 4096), 0);
}

TEST_F(DevicePty, DeviceLossFailsPendingRequestsAndStopsTheThread) {
    const int tasksBefore = ThreadCount();
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    EXPECT_EQ(ThreadCount(), tasksBefore + 1); // the I/O thread
    ASSERT_EQ(device->SetCommTimeouts({0, 0, 0, 0, 0}), 0);
    ASSERT_EQ(device->SetCommMask(kEvRxChar | kEvCts), 0);
    uint32_t mask = 0xFFFF;
    TRecord wait, read;
    char buffer[16];
    uint32_t got = 0;
    ASSERT_EQ(device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    ASSERT_EQ(device->ReadFile(buffer, sizeof buffer, &got, &read.Ov), kErrorIoPending);

    pty.CloseMaster();
    TEvent* both[] = {&wait.Event, &read.Event};
    EXPECT_GE(WaitForAnyEvent(both, 10000), 0);
    EXPECT_EQ(wait.Finish(), EIO);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(read.Finish(), EIO);
    // The thread ended instead of spinning on the hang-up.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == tasksBefore; }));

    // Later operations fail at once and leave their event reset, so no waiter spins on them.
    TRecord again;
    EXPECT_EQ(device->WaitCommEvent(&mask, &again.Ov), EIO);
    EXPECT_FALSE(again.Event.IsSet());
    EXPECT_EQ(GetOverlappedResult(again.Ov, &got, false), EIO);
    EXPECT_EQ(device->WriteFile("x", 1, &got, &again.Ov), EIO);
    EXPECT_EQ(device->ClearCommError(nullptr, nullptr), EIO);
    // What closing needs still works.
    EXPECT_EQ(device->PurgeComm(kPurgeTxAbort | kPurgeRxAbort), 0);
    EXPECT_EQ(device->SetCommMask(0), 0);
    device.reset();
}

TEST_F(DevicePty, DestroyingFailsPendingRequests) {
    ASSERT_TRUE(device = OpenDevice(pty.SlavePath()));
    ASSERT_EQ(device->SetCommTimeouts({0, 0, 0, 0, 0}), 0);
    TRecord read;
    char buffer[4];
    uint32_t got = 0;
    ASSERT_EQ(device->ReadFile(buffer, sizeof buffer, &got, &read.Ov), kErrorIoPending);
    device.reset();
    EXPECT_EQ(read.Finish(), kErrorOperationAborted);
}
