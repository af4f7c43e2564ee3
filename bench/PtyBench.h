#pragma once

// What the end-to-end benchmarks share: a raw pseudo-terminal pair, running the event loop until a
// condition holds, and `cat` reading the same pair as the yardstick.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

// `cat` reads the pair's slave while `writeAll` sends `total` bytes from the master; its output is
// counted through a pipe. Returns the seconds it took (and the bytes in *bytes).
inline double CatSeconds(TBenchPty& pty, const std::function<void()>& writeAll, uint64_t total,
                         uint64_t* bytes) {
    // A port leaves the line with reads that return at once; cat needs blocking reads.
    tcsetattr(pty.Slave, TCSANOW, &pty.Raw);
    int out[2];
    if (pipe(out) != 0)
        return -1;
    const pid_t cat = fork();
    if (cat == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execlp("cat", "cat", pty.Name, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    QElapsedTimer timer;
    timer.start();
    std::thread writer(writeAll);
    uint64_t got = 0;
    char buffer[1 << 16];
    while (got < total) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += uint64_t(n);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    kill(cat, SIGTERM);
    waitpid(cat, nullptr, 0);
    writer.join();
    close(out[0]);
    *bytes = got;
    return seconds;
}
