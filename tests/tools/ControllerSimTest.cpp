#include "TextShape.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

using namespace std::chrono;

namespace {

constexpr milliseconds kDeadline{10000};

int MillisecondsLeft(steady_clock::time_point deadline) {
    return int(std::max<long long>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
}

// Reads from fd into `buffer` until it holds `ending` and takes what comes up to the ending off it; at the
// deadline or the end of the data, takes all there is.
std::string ReadUntil(int fd, std::string& buffer, const std::string& ending) {
    const auto deadline = steady_clock::now() + kDeadline;
    for (;;) {
        const size_t at = buffer.find(ending);
        if (at != std::string::npos) {
            std::string answer = buffer.substr(0, at + ending.size());
            buffer.erase(0, at + ending.size());
            return answer;
        }
        pollfd fds{fd, POLLIN, 0};
        if (poll(&fds, 1, MillisecondsLeft(deadline)) <= 0)
            break;
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0)
            buffer.append(chunk, size_t(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return std::exchange(buffer, {});
}

// The simulator as a child process; stopped with SIGTERM when the object goes.
class TSimProcess {
public:
    explicit TSimProcess(std::vector<std::string> args) {
        int pipeFds[2];
        EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        m_stdout = pipeFds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        args.insert(args.begin(), CV_CONTROLLER_SIM);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_pid, CV_CONTROLLER_SIM, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
    }
    ~TSimProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_stdout);
    }

    // The first line of the simulator's output: the device path (empty when none came).
    std::string Path() {
        std::string line = ReadUntil(m_stdout, m_output, "\n");
        return line.ends_with('\n') ? line.substr(0, line.size() - 1) : std::string();
    }

    // Waits for the process to end by itself; its exit status and CPU time.
    bool WaitExit(int& status, rusage& usage) {
        const auto deadline = steady_clock::now() + kDeadline;
        while (steady_clock::now() < deadline) {
            // The child's end closes its output: wait on that rather than sleeping.
            pollfd fds{m_stdout, POLLIN, 0};
            poll(&fds, 1, std::min(MillisecondsLeft(deadline), 100));
            if (fds.revents & POLLIN) {
                char buffer[256];
                (void)!read(m_stdout, buffer, sizeof buffer);
            }
            if (wait4(m_pid, &status, WNOHANG, &usage) == m_pid) {
                m_pid = -1;
                return true;
            }
        }
        return false;
    }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_output;
};

// The console's side of the line, with plain termios.
class TLine {
public:
    explicit TLine(const std::string& path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(m_fd, 0) << path << ": " << std::strerror(errno);
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B38400);
        tcsetattr(m_fd, TCSANOW, &t);
        tcflush(m_fd, TCIFLUSH);
    }
    ~TLine() { close(m_fd); }

    void Send(const std::string& bytes) {
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // The answer to `command`: everything received until `ending` has arrived (or the deadline passed).
    std::string Ask(const std::string& command, const std::string& ending = "\r\n") {
        Send(command);
        return ReadUntil(m_fd, m_received, ending);
    }

private:
    int m_fd = -1;
    std::string m_received;
};

TEST(ControllerSim, AnswersEveryCommandOnItsPseudoTerminal) {
    TSimProcess sim({"--no-events"});
    const std::string path = sim.Path();
    ASSERT_TRUE(path.starts_with("/dev/pts/")) << path;
    TLine line(path);

    const std::string_view clock = "TIME 99:99:99 DATE 99.99.99 WD 9\r\n";
    EXPECT_TRUE(HasShape(line.Ask("O"), clock));

    EXPECT_EQ(line.Ask("t0905031"), "TIME SET\r\n");
    const std::string time = line.Ask("O");
    EXPECT_TRUE(time.starts_with("TIME 09:05:0")) << time;
    EXPECT_TRUE(time.ends_with(" WD 1\r\n")) << time;

    EXPECT_EQ(line.Ask("d2603054"), "DATE SET\r\n");
    const std::string date = line.Ask("O");
    EXPECT_TRUE(date.starts_with("TIME 09:0")) << date;
    EXPECT_TRUE(date.ends_with(" DATE 05.03.26 WD 4\r\n")) << date;

    const std::string log = line.Ask("R", "END OF LOG\r\n");
    EXPECT_TRUE(log.find(" SYSTEM START\r\n") != std::string::npos) << log;
    EXPECT_TRUE(HasShape(log.substr(0, 32), "9999-99-99 99:99:99 POWER FAIL\r\n")) << log;
    EXPECT_EQ(line.Ask("C"), "LOG CLEARED\r\n");
    EXPECT_EQ(line.Ask("R", "END OF LOG\r\n"), "END OF LOG\r\n");

    // Garbage, line ends and a command split over several writes; several commands in one write.
    EXPECT_TRUE(HasShape(line.Ask("xyz\r\n\x1b[A o r c\r\nO"), clock));
    line.Send("t2");
    line.Send("3");
    line.Send("5959");
    EXPECT_EQ(line.Ask("7"), "TIME SET\r\n");
    EXPECT_EQ(line.Ask("ROt09", "WD 7\r\n"), "END OF LOG\r\nTIME 23:59:59 DATE 05.03.26 WD 7\r\n");
    // The rest of that last command arrives later.
    EXPECT_EQ(line.Ask("05031"), "TIME SET\r\n");
    EXPECT_EQ(line.Ask("R", "END OF LOG\r\n"), "END OF LOG\r\n");
}

TEST(ControllerSim, SurvivesThePeerClosingAndReopeningWithoutSpinning) {
    QTemporaryDir dir;
    const std::string pathFile = dir.filePath("sim.path").toStdString();
    TSimProcess sim({"--no-events", "--seconds", "2", "--once-path-file", pathFile});
    const std::string path = sim.Path();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(FileBytes(QString::fromStdString(pathFile)).toStdString(), path + "\n");

    for (int round = 0; round < 3; ++round) {
        TLine line(path);
        EXPECT_EQ(line.Ask("C"), "LOG CLEARED\r\n") << round;
    }
    {
        TLine line(path);
        line.Send("t09"); // left half-done when the peer goes; the controller does not notice
    }
    {
        TLine line(path);
        EXPECT_EQ(line.Ask("05031O", "\r\n"), "TIME SET\r\n");
    }

    // Nobody holds the device for the rest of its two seconds: an idle simulator sleeps.
    int status = 0;
    rusage usage{};
    ASSERT_TRUE(sim.WaitExit(status, usage));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    EXPECT_LT(cpu, 0.5);
}

TEST(ControllerSim, LogGrowsWithEvents) {
    TSimProcess sim({"--event-ms", "20", "--seed", "3"});
    TLine line(sim.Path());
    const auto countLines = [&] {
        const std::string log = line.Ask("R", "END OF LOG\r\n");
        return std::count(log.begin(), log.end(), '\n') - 1;
    };
    const long first = countLines();
    EXPECT_GE(first, 10);
    const auto deadline = steady_clock::now() + kDeadline;
    long later = first;
    while (later < first + 5 && steady_clock::now() < deadline) {
        pollfd none{-1, 0, 0};
        poll(&none, 0, 20); // pace the questions; the condition is the log's length
        later = countLines();
    }
    EXPECT_GE(later, first + 5);
}

TEST(ControllerSim, RefusesBadOptions) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--seconds"}, {"--seconds", "x"}, {"--event-ms", "0"}, {"--bogus"}}) {
        TSimProcess sim(args);
        int status = 0;
        rusage usage{};
        ASSERT_TRUE(sim.WaitExit(status, usage));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0];
    }
}

} // namespace
