// The in-process null-modem: cross-wired lines, injected errors, breaks and rings, and the input-queue
// events that a pseudo-terminal cannot show, through the same engine as the tty backend.

#include "serial/platform/SerialDevice.h"
#include "serial/platform/StreamSerialDevice.h"
#include "serial/platform/VirtualSerialDevice.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

namespace {

struct TCable {
    std::unique_ptr<TVirtualSerialPair> Pair;
    std::unique_ptr<TSerialDevice> A, B;
    explicit TCable(const char* name) {
        Pair = TVirtualSerialPair::Create(name);
        EXPECT_TRUE(Pair);
        int error = 0;
        A = OpenSerialDevice(std::string(name) + "A", &error);
        B = OpenSerialDevice(std::string(name) + "B", &error);
        EXPECT_TRUE(A && B) << error;
    }
};

} // namespace

TEST(DeviceNullModem, EndsAreRegisteredByNameAndOpenOnce) {
    int error = 0;
    {
        auto pair = TVirtualSerialPair::Create("VNULLREG");
        ASSERT_TRUE(pair);
        EXPECT_EQ(pair->EndName(TVirtualSerialPair::kEndA), "VNULLREGA");
        EXPECT_FALSE(TVirtualSerialPair::Create("VNULLREG")); // names taken
        auto a = OpenSerialDevice("VNULLREGA", &error);
        ASSERT_TRUE(a);
        EXPECT_TRUE(pair->IsOpen(TVirtualSerialPair::kEndA));
        EXPECT_FALSE(OpenSerialDevice("VNULLREGA", &error));
        EXPECT_EQ(error, EBUSY);
        a.reset();
        EXPECT_FALSE(pair->IsOpen(TVirtualSerialPair::kEndA));
        a = OpenSerialDevice("VNULLREGA", &error);
        EXPECT_TRUE(a);
    }
    // Gone with the pair object: the name falls through to /dev.
    EXPECT_FALSE(OpenSerialDevice("VNULLREGA", &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_TRUE(TVirtualSerialPair::Create("VNULLREG"));
}

TEST(DeviceNullModem, AcceptsAndKeepsEveryLineSetting) {
    TCable cable("VNULLDCB");
    TDcb dcb = Dcb(12345, 7, kMarkParity, kTwoStopBits,
                   kDcbBinary | kDcbDtrControlHandshake | kDcbRtsControlToggle | kDcbOutxDsrFlow);
    dcb.EvtChar = '#';
    ASSERT_EQ(cable.A->SetCommState(dcb), 0);
    TDcb back;
    ASSERT_EQ(cable.A->GetCommState(&back), 0);
    EXPECT_EQ(back, dcb);
}

TEST(DeviceNullModem, ModemLinesAreCrossWired) {
    TCable cable("VNULLMODEM");
    TSerialDevice& a = *cable.A;
    TSerialDevice& b = *cable.B;
    EXPECT_EQ(ModemStatus(b), 0u);
    ASSERT_EQ(b.SetCommMask(kEvCts | kEvDsr | kEvRlsd), 0);

    struct TStep {
        uint32_t Function;
        uint32_t Events;  // raised at B
        uint32_t StatusB; // B's modem status afterwards
    };
    const TStep steps[] = {
        {kSetRts, kEvCts, kMsCtsOn},
        {kSetDtr, kEvDsr | kEvRlsd, kMsCtsOn | kMsDsrOn | kMsRlsdOn},
        {kClrRts, kEvCts, kMsDsrOn | kMsRlsdOn},
        {kClrDtr, kEvDsr | kEvRlsd, 0},
    };
    for (const TStep& s : steps) {
        TRecord wait;
        uint32_t mask = 0;
        ASSERT_EQ(b.WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
        ASSERT_EQ(a.EscapeCommFunction(s.Function), 0);
        EXPECT_EQ(wait.Finish(), 0);
        EXPECT_EQ(mask, s.Events) << s.Function;
        EXPECT_EQ(ModemStatus(b), s.StatusB) << s.Function;
        EXPECT_EQ(ModemStatus(a), 0u);
    }
    // Setting a line to the state it has raises nothing; the settings drive the lines.
    TDcb dcb = Dcb(9600, 8, kNoParity, kOneStopBit, kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable);
    ASSERT_EQ(a.SetCommState(dcb), 0);
    EXPECT_EQ(ModemStatus(b), kMsCtsOn | kMsDsrOn | kMsRlsdOn);
    EXPECT_EQ(WaitEvents(b, kEvCts | kEvDsr | kEvRlsd, kEvCts | kEvDsr | kEvRlsd), kEvCts | kEvDsr | kEvRlsd);
    // Lowered by hand, the lines stay low when only the speed changes.
    ASSERT_EQ(a.EscapeCommFunction(kClrDtr), 0);
    dcb.BaudRate = 19200;
    ASSERT_EQ(a.SetCommState(dcb), 0);
    EXPECT_EQ(ModemStatus(b), kMsCtsOn);
    dcb.Flags = kDcbBinary | kDcbRtsControlEnable; // DTR control now disable: applied
    ASSERT_EQ(a.EscapeCommFunction(kSetDtr), 0);
    ASSERT_EQ(a.SetCommState(dcb), 0);
    EXPECT_EQ(ModemStatus(b), kMsCtsOn);
    dcb.Flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
    ASSERT_EQ(a.SetCommState(dcb), 0);
    EXPECT_EQ(ModemStatus(b), kMsCtsOn | kMsDsrOn | kMsRlsdOn);
    // Closing an end drops its lines.
    ASSERT_EQ(b.SetCommMask(kEvCts | kEvDsr | kEvRlsd), 0); // forget the events so far
    TRecord wait;
    uint32_t mask = 0;
    ASSERT_EQ(b.WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    cable.A.reset();
    EXPECT_EQ(wait.Finish(), 0);
    EXPECT_NE(mask & (kEvCts | kEvDsr | kEvRlsd), 0u);
    EXPECT_EQ(ModemStatus(b), 0u);
}

TEST(DeviceNullModem, InjectedErrorsBreaksAndRings) {
    TCable cable("VNULLERR");
    TSerialDevice& b = *cable.B;
    ASSERT_EQ(b.SetCommMask(kEvErr | kEvBreak | kEvRing), 0);

    struct TCase {
        const char* Name;
        std::function<void()> Act;
        uint32_t Events;
        uint32_t Errors;
    };
    const TCase cases[] = {
        {"error word 0x8118", [&] { cable.Pair->InjectLineErrors(TVirtualSerialPair::kEndB, 0x8118); },
         kEvErr | kEvBreak, 0x8118},
        {"framing only", [&] { cable.Pair->InjectLineErrors(TVirtualSerialPair::kEndB, kCeFrame); }, kEvErr,
         kCeFrame},
        {"injected break", [&] { cable.Pair->InjectBreak(TVirtualSerialPair::kEndB); }, kEvBreak, kCeBreak},
        {"break sent by the other end", [&] { cable.A->EscapeCommFunction(kSetBreak); }, kEvBreak, kCeBreak},
        {"ring", [&] { cable.Pair->PulseRing(TVirtualSerialPair::kEndB); }, kEvRing, 0},
    };
    for (const TCase& c : cases) {
        TRecord wait;
        uint32_t mask = 0;
        ASSERT_EQ(b.WaitCommEvent(&mask, &wait.Ov), kErrorIoPending) << c.Name;
        c.Act();
        EXPECT_EQ(wait.Finish(), 0) << c.Name;
        EXPECT_EQ(mask, c.Events) << c.Name;
        EXPECT_EQ(TakeErrors(b), c.Errors) << c.Name;
        EXPECT_EQ(TakeErrors(b), 0u) << c.Name << ": reported once";
    }
    // A break held on raises nothing more until it was cleared.
    EXPECT_EQ(cable.A->EscapeCommFunction(kSetBreak), 0);
    EXPECT_EQ(TakeErrors(b), 0u);
    EXPECT_EQ(cable.A->EscapeCommFunction(kClrBreak), 0);

    // The ring bit shows while the indicator is on; errors of a closed end go nowhere.
    cable.Pair->SetRing(TVirtualSerialPair::kEndB, true);
    EXPECT_EQ(ModemStatus(b) & kMsRingOn, kMsRingOn);
    cable.Pair->SetRing(TVirtualSerialPair::kEndB, false);
    EXPECT_EQ(ModemStatus(b) & kMsRingOn, 0u);
    cable.Pair->InjectLineErrors(TVirtualSerialPair::kEndA, kCeFrame);
    cable.A.reset();
    int error = 0;
    cable.A = cable.Pair->Open(TVirtualSerialPair::kEndA, &error);
    ASSERT_TRUE(cable.A);
    EXPECT_EQ(TakeErrors(*cable.A), 0u);
}

TEST(DeviceNullModem, InputQueueEvents) {
    TCable cable("VNULLRX");
    TSerialDevice& a = *cable.A;
    TSerialDevice& b = *cable.B;
    ASSERT_EQ(b.SetupComm(1000, 1000), 0);
    TDcb dcb;
    ASSERT_EQ(b.GetCommState(&dcb), 0);
    dcb.EvtChar = '!';
    ASSERT_EQ(b.SetCommState(dcb), 0);
    ASSERT_EQ(b.SetCommMask(kEvRx80Full | kEvRxFlag), 0);
    ASSERT_EQ(a.SetCommMask(kEvTxEmpty), 0);

    // 799 bytes stay under the 80 % mark of 1000; the 800th reaches it.
    TRecord wait;
    uint32_t mask = 0;
    ASSERT_EQ(b.WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    ASSERT_EQ(WriteAll(a, QByteArray(799, 'x')), 0);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(b) == 799; }));
    EXPECT_FALSE(wait.Done());
    ASSERT_EQ(WriteAll(a, "!"), 0);
    EXPECT_EQ(wait.Finish(), 0);
    EXPECT_NE(mask & kEvRx80Full, 0u);
    EXPECT_EQ(mask | WaitEvents(b, kEvRxFlag & ~mask, kEvRx80Full | kEvRxFlag), kEvRxFlag | kEvRx80Full);
    // The sender's output drained.
    EXPECT_EQ(WaitEvents(a, kEvTxEmpty, kEvTxEmpty), kEvTxEmpty);

    // Emptied and filled again: the mark is crossed again.
    ASSERT_EQ(b.PurgeComm(kPurgeRxClear), 0);
    EXPECT_EQ(InQueue(b), 0u);
    ASSERT_EQ(b.SetCommMask(kEvRx80Full), 0);
    ASSERT_EQ(WriteAll(a, QByteArray(900, 'y')), 0);
    EXPECT_EQ(WaitEvents(b, kEvRx80Full, kEvRx80Full), kEvRx80Full);
}

TEST(DeviceNullModem, BulkTransferLosesNothingWhenTheQueueFills) {
    TCable cable("VNULLBULK");
    TSerialDevice& a = *cable.A;
    TSerialDevice& b = *cable.B;
    ASSERT_EQ(b.SetCommTimeouts({kMaxDword, 0, 0, 0, 0}), 0);
    ASSERT_EQ(a.SetCommTimeouts({kMaxDword, 0, 0, 0, 0}), 0);
    QByteArray sent(3 * 1024 * 1024, '\0');
    for (int i = 0; i < sent.size(); ++i)
        sent[i] = char((i * 131) ^ (i >> 9));

    // The writer runs ahead while the reader only starts once the input queue is full.
    int writeResult = -1;
    std::thread writer([&] { writeResult = WriteAll(a, sent); });
    ASSERT_TRUE(WaitUntil([&] { return InQueue(b) == TStreamSerialDevice::kMinInputCapacity; }));
    QByteArray received;
    ASSERT_EQ(b.SetCommMask(kEvRxChar), 0);
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (InQueue(b)) {
                received += ReadQueued(b);
            } else {
                // More is on its way: the next EV_RXCHAR (or one latched meanwhile) ends this wait.
                TRecord wait;
                uint32_t mask = 0;
                if (b.WaitCommEvent(&mask, &wait.Ov) == kErrorIoPending) {
                    EXPECT_EQ(wait.Finish(), 0);
                }
            }
            return received.size() >= sent.size();
        },
        std::chrono::seconds(60)));
    writer.join();
    EXPECT_EQ(writeResult, 0);
    EXPECT_TRUE(received == sent);
}

TEST(DeviceNullModem, DisconnectFailsTheEventWait) {
    TCable cable("VNULLGONE");
    ASSERT_EQ(cable.B->SetCommMask(kEvRxChar), 0);
    TRecord wait;
    uint32_t mask = 0;
    ASSERT_EQ(cable.B->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    cable.Pair->Disconnect();
    EXPECT_EQ(wait.Finish(), EIO);
    EXPECT_EQ(WriteAll(*cable.A, "x"), EIO);
    cable.A.reset();
    cable.B.reset();
}

// The port's event thread: wait for a comm event or quit; on quit end the wait with SetCommMask(0) and
// free the record at once. Repeated under traffic, so that a completion racing with the quit would touch
// a freed record (the sanitizer build catches that).
TEST(DeviceNullModem, EventThreadQuitRacesCompletionsSafely) {
    TCable cable("VNULLQUIT");
    ASSERT_EQ(cable.B->SetCommTimeouts({kMaxDword, 0, 0, 0, 0}), 0);
    std::atomic<bool> stopWriter{false};
    std::thread writer([&] {
        while (!stopWriter)
            WriteAll(*cable.A, "tick");
    });
    std::atomic<int> dispatched{0};
    for (int round = 0; round < 200; ++round) {
        TEvent quit(true, false);
        ASSERT_EQ(cable.B->SetCommMask(kEvRxChar | kEvTxEmpty), 0);
        std::thread events([&] {
            auto ov = std::make_unique<TRecord>();
            TEvent* list[] = {&quit, &ov->Event};
            uint32_t mask = 0; // written until the outstanding wait is ended
            while (true) {
                cable.B->WaitCommEvent(&mask, &ov->Ov);
                if (WaitForAnyEvent(list) != 1)
                    break;
                uint32_t n = 0;
                if (GetOverlappedResult(ov->Ov, &n, false) == 0 && mask) {
                    ++dispatched;
                    char buffer[256];
                    TRecord read;
                    cable.B->ReadFile(buffer, sizeof buffer, &n, &read.Ov);
                }
            }
            cable.B->SetCommMask(0);
            cable.B->PurgeComm(kPurgeTxClear | kPurgeRxClear);
            ov.reset();
        });
        // Odd rounds quit once events flow, even rounds at once: both race with completions.
        if (round % 2) {
            const int before = dispatched;
            EXPECT_TRUE(WaitUntil([&] { return dispatched > before; }));
        }
        quit.Set();
        events.join();
    }
    stopWriter = true;
    writer.join();
    EXPECT_GT(dispatched, 0);
}
