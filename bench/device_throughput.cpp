// Device layer figures on a pseudo-terminal pair: CPU of an idle open device, CPU of a stream paced like
// 115200 baud, and bulk throughput. The reader works as the port's event thread does: wait for a comm
// event, count the queue, read what is queued.
//
//   device_throughput [seconds per phase, default 2]

#include "serial/platform/SerialDevice.h"

#include "ThreadUse.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Percent(double ns, double seconds) {
    return 100.0 * ns / 1e9 / seconds;
}

struct TPty {
    int Master = -1;
    int Slave = -1;
    std::string Path;
    TPty() {
        char name[256] = {};
        if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0) {
            perror("openpty");
            exit(1);
        }
        Path = name;
        termios t{};
        tcgetattr(Master, &t);
        cfmakeraw(&t);
        tcsetattr(Master, TCSANOW, &t);
    }
    ~TPty() {
        close(Slave);
        close(Master);
    }
};

struct TRecord {
    TEvent Event{true, true};
    TOverlapped Ov;
    TRecord() { Ov.Event = &Event; }
};

// The port's event thread and receive handling, until `stop`.
void ReadLikeThePort(TSerialDevice& device, std::atomic<bool>& stop, uint64_t* bytes, uint64_t* cycles) {
    std::vector<char> buffer;
    while (!stop) {
        TRecord wait;
        uint32_t mask = 0;
        int r = device.WaitCommEvent(&mask, &wait.Ov);
        if (r == kErrorIoPending) {
            while (!stop && !wait.Event.Wait(100)) {
            }
            if (stop) {
                device.SetCommMask(0);
                wait.Event.Wait(-1);
                break;
            }
        } else if (r != 0) {
            break;
        }
        ++*cycles;
        TComStat stat;
        device.ClearCommError(nullptr, &stat);
        if (!stat.cbInQue)
            continue;
        buffer.resize(stat.cbInQue);
        TRecord read;
        uint32_t n = 0;
        device.ReadFile(buffer.data(), stat.cbInQue, &n, &read.Ov);
        *bytes += n;
    }
}

std::unique_ptr<TSerialDevice> Open(const TPty& pty) {
    int error = 0;
    auto device = OpenSerialDevice(pty.Path, &error);
    if (!device) {
        fprintf(stderr, "open %s: %s\n", pty.Path.c_str(), strerror(error));
        exit(1);
    }
    TDcb dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Flags = kDcbBinary;
    device->SetCommState(dcb);
    device->SetCommTimeouts({0xFFFFFFFF, 0, 0, 100, 1000});
    device->SetupComm(1024, 1024);
    // Every event the port watches.
    device->SetCommMask(kEvRxChar | kEvRxFlag | kEvTxEmpty | kEvCts | kEvDsr | kEvRlsd | kEvBreak | kEvErr |
                        kEvRing | kEvRx80Full);
    return device;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    const auto phase = std::chrono::milliseconds(long(seconds * 1000));

    {
        // Idle: open, every event watched, a comm-event wait pending, nothing on the line.
        TPty pty;
        auto device = Open(pty);
        TRecord wait;
        uint32_t mask = 0;
        device->WaitCommEvent(&mask, &wait.Ov);
        // Let the thread take in the settings above before counting.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const TThreadUse io0 = ThreadUseTotal("cv-serial-io"), all0 = ThreadUseTotal();
        std::this_thread::sleep_for(phase);
        const TThreadUse io1 = ThreadUseTotal("cv-serial-io");
        const double io = io1.CpuNs - io0.CpuNs, all = ThreadUseTotal().CpuNs - all0.CpuNs;
        const double w0 = io0.Runs, w1 = io1.Runs;
        printf(
            "idle open device:         I/O thread %.3f %% of a core in %.0f wake-ups, whole process %.3f %% "
            "(%.0f us on a CPU in %.1f s)\n",
            Percent(io, seconds), w1 - w0, Percent(all, seconds), all / 1000, seconds);
        device->SetCommMask(0);
    }
    {
        // 11.5 KB/s (115200 baud 8N1), written from the far end in 1 ms slices.
        TPty pty;
        auto device = Open(pty);
        std::atomic<bool> stop{false};
        uint64_t bytes = 0, cycles = 0;
        std::thread reader(ReadLikeThePort, std::ref(*device), std::ref(stop), &bytes, &cycles);
        const TThreadUse io0 = ThreadUseTotal("cv-serial-io"), all0 = ThreadUseTotal();
        const auto start = Clock::now();
        uint64_t sent = 0;
        char slice[64];
        memset(slice, 'p', sizeof slice);
        for (auto next = start; Clock::now() - start < phase;) {
            next += std::chrono::milliseconds(1);
            const uint64_t due = uint64_t(std::chrono::duration<double>(next - start).count() * 11520);
            while (sent < due) {
                const ssize_t n = write(pty.Master, slice, std::min<uint64_t>(sizeof slice, due - sent));
                if (n <= 0)
                    break;
                sent += uint64_t(n);
            }
            std::this_thread::sleep_until(next);
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const TThreadUse io1 = ThreadUseTotal("cv-serial-io");
        const double io = io1.CpuNs - io0.CpuNs, all = ThreadUseTotal().CpuNs - all0.CpuNs;
        const double w0 = io0.Runs, w1 = io1.Runs;
        stop = true;
        reader.join();
        printf(
            "115200-baud paced stream: I/O thread %.2f %% of a core, %.0f wake-ups/s; whole process %.2f %% "
            "(writer included); %llu bytes in %llu event cycles (%.0f bytes per cycle)\n",
            Percent(io, elapsed), (w1 - w0) / elapsed, Percent(all, elapsed), (unsigned long long)bytes,
            (unsigned long long)cycles, cycles ? double(bytes) / double(cycles) : 0.0);
    }
    {
        // Bulk: the far end writes as fast as the pty takes it.
        TPty pty;
        auto device = Open(pty);
        std::atomic<bool> stop{false};
        uint64_t bytes = 0, cycles = 0;
        std::thread reader(ReadLikeThePort, std::ref(*device), std::ref(stop), &bytes, &cycles);
        std::vector<char> block(65536, 'b');
        const auto start = Clock::now();
        uint64_t sent = 0;
        // Not a blocking write: a writer blocked on a full pty master is woken late here (stalls of
        // milliseconds that have nothing to do with the reader); it waits for room in poll() instead, as
        // the port benchmark's far end does.
        fcntl(pty.Master, F_SETFL, fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
        while (Clock::now() - start < phase) {
            const ssize_t n = write(pty.Master, block.data(), block.size());
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{pty.Master, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            if (n <= 0)
                break;
            sent += uint64_t(n);
        }
        while (bytes < sent && Clock::now() - start < phase * 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        stop = true;
        reader.join();
        printf(
            "bulk through the pty:     %.1f MB/s received (%llu of %llu bytes, %.0f bytes per event cycle)\n",
            double(bytes) / elapsed / 1e6, (unsigned long long)bytes, (unsigned long long)sent,
            cycles ? double(bytes) / double(cycles) : 0.0);
    }
    return 0;
}
