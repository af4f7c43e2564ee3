// The engine over a scripted backend: the parts that only a real UART would show (sampled modem lines
// and error counters, output that drains at the line's pace, error marks in the input).

#include "serial/platform/StreamSerialDevice.h"
#include "support/TestSupport.h"

#include "DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct TScript {
    std::mutex Lock;
    TLineSample Line;
    std::atomic<int> Samples{0};
    std::atomic<uint32_t> OutputQueued{0};
    std::atomic<int> DrainChecks{0};
    bool Marked = false;
};

// A UART-like device: data over a socket, line state and output queue from the script.
class TScriptedBackend final : public TSerialBackend {
public:
    TScriptedBackend(int fd, TScript& script) : m_fd(fd), m_script(script) {}
    ~TScriptedBackend() override { ::close(m_fd); }
    int DataFd() const override { return m_fd; }
    bool IsSocket() const override { return true; }
    TDcb InitialState() override {
        TDcb dcb;
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        return dcb;
    }
    int ApplyState(const TDcb& dcb) override {
        m_script.Marked = dcb.Flags & kDcbParity;
        return 0;
    }
    bool InputErrorsMarked() const override { return m_script.Marked; }
    int Flush(bool, bool) override { return 0; }
    uint32_t OutputQueued() override {
        ++m_script.DrainChecks;
        return m_script.OutputQueued;
    }
    int ModemStatus(uint32_t* status) override {
        std::lock_guard lock(m_script.Lock);
        *status = m_script.Line.ModemStatus;
        return 0;
    }
    int Escape(uint32_t) override { return 0; }
    bool CanSampleModem() const override { return true; }
    bool CanSampleCounters() const override { return true; }
    int SampleLine(TLineSample* sample) override {
        ++m_script.Samples;
        std::lock_guard lock(m_script.Lock);
        *sample = m_script.Line;
        return 0;
    }

private:
    int m_fd;
    TScript& m_script;
};

struct TRig {
    TScript Script;
    int FarEnd = -1;
    std::unique_ptr<TStreamSerialDevice> Device;
    explicit TRig(const TBatchWindows& windows = {}) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        FarEnd = fds[1];
        int error = 0;
        Device =
            TStreamSerialDevice::Create(std::make_unique<TScriptedBackend>(fds[0], Script), &error, windows);
        EXPECT_TRUE(Device) << error;
    }
    ~TRig() {
        Device.reset();
        ::close(FarEnd);
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(FarEnd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    template <typename F> void Change(F change) {
        std::lock_guard lock(Script.Lock);
        change(Script.Line);
    }
    uint32_t NextEvents() {
        TRecord wait;
        uint32_t mask = 0;
        const int r = Device->WaitCommEvent(&mask, &wait.Ov);
        if (r == kErrorIoPending)
            EXPECT_EQ(wait.Finish(), 0);
        else
            EXPECT_EQ(r, 0);
        return mask;
    }
    uint32_t OutQueue() {
        TComStat stat;
        EXPECT_EQ(Device->ClearCommError(nullptr, &stat), 0);
        return stat.cbOutQue;
    }
    // One round through the I/O thread without any query of the device: a read that waits for a byte.
    void RoundTrip() {
        ASSERT_EQ(Device->SetCommTimeouts({0, 0, 0, 0, 0}), 0);
        char byte = 0;
        uint32_t n = 0;
        TRecord read;
        ASSERT_EQ(Device->ReadFile(&byte, 1, &n, &read.Ov), kErrorIoPending);
        Send("r");
        ASSERT_EQ(read.Finish(), 0);
    }
};

} // namespace

TEST(DeviceEngine, SampledLineChangesBecomeEvents) {
    TRig rig;
    ASSERT_TRUE(rig.Device);
    ASSERT_EQ(rig.Device->SetCommMask(kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvErr | kEvBreak), 0);

    struct TStep {
        const char* Name;
        std::function<void(TLineSample&)> Change;
        uint32_t Events;
        uint32_t Errors;
    };
    const TStep steps[] = {
        {"CTS on", [](TLineSample& s) { s.ModemStatus |= kMsCtsOn; }, kEvCts, 0},
        {"DSR and carrier on", [](TLineSample& s) { s.ModemStatus |= kMsDsrOn | kMsRlsdOn; },
         kEvDsr | kEvRlsd, 0},
        {"CTS pulse seen only by its counter", [](TLineSample& s) { s.Cts += 2; }, kEvCts, 0},
        {"ring comes on", [](TLineSample& s) { s.ModemStatus |= kMsRingOn; }, kEvRing, 0},
        {"frame and overrun errors", [](TLineSample& s) { s.Frame++, s.Overrun += 3; }, kEvErr,
         kCeFrame | kCeOverrun},
        {"break", [](TLineSample& s) { s.Break++; }, kEvBreak, kCeBreak},
        {"parity and buffer overrun", [](TLineSample& s) { s.Parity++, s.BufferOverrun++; }, kEvErr,
         kCeRxParity | kCeRxOver},
    };
    for (const TStep& step : steps) {
        rig.Change(step.Change);
        EXPECT_EQ(rig.NextEvents(), step.Events) << step.Name;
        EXPECT_EQ(TakeErrors(*rig.Device), step.Errors) << step.Name;
    }
    // Ring going off is not an event.
    rig.Change([](TLineSample& s) {
        s.ModemStatus &= ~kMsRingOn;
        s.ModemStatus ^= kMsCtsOn;
    });
    EXPECT_EQ(rig.NextEvents(), kEvCts);

    // Nothing of the line watched: the line is not sampled any more.
    ASSERT_EQ(rig.Device->SetCommMask(kEvRxChar), 0);
    const int samples = rig.Script.Samples;
    rig.RoundTrip();
    rig.RoundTrip();
    EXPECT_EQ(rig.Script.Samples, samples);
}

TEST(DeviceEngine, TxEmptyWaitsUntilTheOutputHasDrained) {
    TRig rig;
    ASSERT_TRUE(rig.Device);
    ASSERT_EQ(rig.Device->SetCommMask(kEvTxEmpty), 0);
    rig.Script.OutputQueued = 10; // 10 bytes at 9600 baud: about 10 ms
    TRecord write, wait;
    uint32_t n = 0, mask = 0;
    ASSERT_EQ(rig.Device->WriteFile("0123456789", 10, &n, &write.Ov), 0);
    ASSERT_EQ(rig.Device->WaitCommEvent(&mask, &wait.Ov), kErrorIoPending);
    ASSERT_TRUE(WaitUntil([&] { return rig.Script.DrainChecks >= 2; }));
    EXPECT_FALSE(wait.Event.IsSet());
    rig.Script.OutputQueued = 0;
    EXPECT_EQ(wait.Finish(), 0);
    EXPECT_EQ(mask, kEvTxEmpty);
    // Checks are paced by the line speed, not a busy loop, and stop once drained.
    const int checks = rig.Script.DrainChecks;
    EXPECT_LT(checks, 1000);
    rig.RoundTrip();
    EXPECT_EQ(rig.Script.DrainChecks, checks);
}

TEST(DeviceEngine, OutputQueueCountsTheDriversBytesUntilSeenDrained) {
    TRig rig;
    ASSERT_TRUE(rig.Device);
    // Nothing written yet: nothing queued, and the driver is not asked.
    EXPECT_EQ(rig.OutQueue(), 0u);
    EXPECT_EQ(rig.Script.DrainChecks, 0);

    rig.Script.OutputQueued = 7;
    ASSERT_EQ(WriteAll(*rig.Device, "0123456789"), 0);
    EXPECT_EQ(rig.OutQueue(), 7u); // still in the driver
    EXPECT_EQ(rig.OutQueue(), 7u); // asked again while bytes may be queued

    rig.Script.OutputQueued = 0;
    EXPECT_EQ(rig.OutQueue(), 0u);
    const int checks = rig.Script.DrainChecks;
    EXPECT_EQ(rig.OutQueue(), 0u);
    EXPECT_EQ(rig.Script.DrainChecks, checks); // seen drained: no more questions until the next write

    rig.Script.OutputQueued = 3;
    ASSERT_EQ(WriteAll(*rig.Device, "abc"), 0);
    EXPECT_EQ(rig.OutQueue(), 3u);
}

TEST(DeviceEngine, MarkedInputIsDecodedIntoErrorsAndReplacement) {
    TRig rig;
    ASSERT_TRUE(rig.Device);
    TDcb dcb;
    ASSERT_EQ(rig.Device->GetCommState(&dcb), 0);
    dcb.Flags |= kDcbParity | kDcbErrorChar;
    dcb.ErrorChar = '?';
    ASSERT_EQ(rig.Device->SetCommState(dcb), 0);
    ASSERT_EQ(rig.Device->SetCommMask(kEvErr | kEvBreak), 0);
    rig.Send(std::string("a\377\0x\377\377b\377\0\0", 10)); // octal: \377 is 0xFF
    uint32_t seen = 0;
    ASSERT_TRUE(WaitUntil([&] { return (seen |= rig.NextEvents()) == (kEvErr | kEvBreak); }));
    ASSERT_TRUE(WaitUntil([&] { return InQueue(*rig.Device) == 4; }));
    EXPECT_EQ(ReadQueued(*rig.Device), QByteArray("a?\377b"));
}

TEST(DeviceEngine, AnAnswerIsReportedAtOnceWithinAnOpenWindow) {
    // Windows of a minute: an answer held until one ends misses the deadline by far.
    TRig rig({60000, 60000, 60000});
    ASSERT_TRUE(rig.Device);
    ASSERT_EQ(rig.Device->SetCommMask(kEvRxChar | kEvTxEmpty), 0);
    // The first bytes on a quiet line are reported at once; their window stays open.
    rig.Send("hello");
    EXPECT_EQ(rig.NextEvents(), kEvRxChar);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(WriteAll(*rig.Device, "R"), 0);
        EXPECT_EQ(rig.NextEvents(), kEvTxEmpty);
        char request = 0;
        EXPECT_EQ(::read(rig.FarEnd, &request, 1), 1);
        rig.Send("answer");
        TRecord wait;
        uint32_t mask = 0;
        const int r = rig.Device->WaitCommEvent(&mask, &wait.Ov);
        ASSERT_TRUE(r == 0 || r == kErrorIoPending);
        const bool reported = r == 0 || wait.Event.Wait(5000);
        if (!reported)
            rig.Device->SetCommMask(0); // ends the wait before its record goes
        ASSERT_TRUE(reported) << "round " << round << ": the answer waited for the window to end";
        EXPECT_EQ(mask, kEvRxChar);
    }
}
