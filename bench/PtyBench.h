#pragma once

// What the end-to-end benchmarks share: a raw pseudo-terminal pair, running the event loop until a
// condition holds, and `cat` (or another reading program) as the yardstick.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

struct TBenchPty {
    int Master = -1;
    int Slave = -1;
    char Name[256] = {};
    termios Raw{};

    bool Open() {
        if (openpty(&Master, &Slave, Name, nullptr, nullptr) != 0) {
            perror("openpty");
            return false;
        }
        tcgetattr(Slave, &Raw);
        cfmakeraw(&Raw);
        tcsetattr(Slave, TCSANOW, &Raw);
        tcsetattr(Master, TCSANOW, &Raw);
        fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
        return true;
    }
    ~TBenchPty() {
        if (Master >= 0)
            close(Master);
        if (Slave >= 0)
            close(Slave);
    }
};

// The test stream: every byte value, in an order that does not repeat every 256 bytes.
inline uint8_t PatternByte(uint64_t i) {
    return uint8_t((i % 251) ^ (i >> 16));
}

// The wrong bytes of a received block that should be expected[received ...] (bytes past the stream's
// end are checked against the pattern). The common case, all right, costs one memcmp.
inline uint64_t WrongBytes(const std::vector<char>& expected, uint64_t received, const void* buffer,
                           int count) {
    const uint64_t total = expected.size();
    const uint64_t n = std::min<uint64_t>(uint64_t(count), received < total ? total - received : 0);
    if (n == uint64_t(count) && std::memcmp(buffer, expected.data() + received, n) == 0)
        return 0;
    uint64_t wrong = 0;
    const auto* b = static_cast<const uint8_t*>(buffer);
    for (int k = 0; k < count; ++k)
        if (b[k] != PatternByte(received + uint64_t(k)))
            ++wrong;
    return wrong;
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Writes all bytes to a non-blocking descriptor.
inline void WriteAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t w = ::write(fd, data + done, std::min<size_t>(65536, size - done));
        if (w > 0) {
            done += size_t(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            perror("write");
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

// Runs the event loop until done() holds or the limit has passed, looking every `tickMs`.
template <class F> void RunEventsUntil(F&& done, std::chrono::milliseconds limit, int tickMs = 5) {
    QEventLoop loop;
    QTimer tick;
    QElapsedTimer t;
    t.start();
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() > limit.count())
            loop.quit();
    });
    tick.start(tickMs);
    if (!done())
        loop.exec();
}

// A reading program (argv) runs while `writeAll` sends `total` bytes from the far end; its output is
// counted through a pipe. `beforeWriting` runs once the program has started (to wait until it is ready).
// Returns the seconds it took (and the bytes in *bytes).
inline double ProgramReadSeconds(const std::vector<std::string>& argv, const std::function<void()>& writeAll,
                                 uint64_t total, uint64_t* bytes,
                                 const std::function<void()>& beforeWriting = {}) {
    int out[2];
    if (pipe(out) != 0)
        return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    if (beforeWriting)
        beforeWriting();
    QElapsedTimer timer;
    timer.start();
    std::thread writer(writeAll);
    uint64_t got = 0;
    char buffer[1 << 16];
    // A reader that stalls is given up after two minutes.
    while (got < total && timer.elapsed() < 120000) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) == 0)
            continue;
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += uint64_t(n);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    // A reader gets a short grace to end; one that holds on (socat with a server's connection open)
    // is killed.
    kill(child, SIGTERM);
    QElapsedTimer grace;
    grace.start();
    while (waitpid(child, nullptr, WNOHANG) == 0) {
        if (grace.elapsed() > 500) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    writer.join();
    close(out[0]);
    *bytes = got;
    return seconds;
}

// `cat` reads the pair's slave while `writeAll` sends `total` bytes from the master.
inline double CatSeconds(TBenchPty& pty, const std::function<void()>& writeAll, uint64_t total,
                         uint64_t* bytes) {
    // A port leaves the line with reads that return at once; cat needs blocking reads.
    tcsetattr(pty.Slave, TCSANOW, &pty.Raw);
    return ProgramReadSeconds({"cat", pty.Name}, writeAll, total, bytes);
}

// A far end that answers every request at once, as a controller or a script does: a child process (so
// its CPU is not ours) reads `fd` and writes `answer` each time `requestBytes` more bytes have come.
// End it with StopChild.
inline pid_t StartAnsweringPeer(int fd, size_t requestBytes, const std::string& answer) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    size_t pending = 0;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            _exit(1);
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            _exit(0);
        for (pending += size_t(std::max<ssize_t>(n, 0)); pending >= requestBytes; pending -= requestBytes)
            WriteAll(fd, answer.data(), answer.size());
    }
}

// Ends a child of the benchmark at once and reaps it (a child that is asked politely may hang on to a
// descriptor that keeps another process waiting).
inline void StopChild(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}
