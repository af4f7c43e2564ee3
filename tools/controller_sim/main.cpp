// cv-controller-sim: a field controller on a pseudo-terminal, so the console can be tried and tested
// without hardware. Prints the device path it serves (the pty's slave side, e.g. /dev/pts/7) as its
// first line of stdout, then answers the controller's commands (see Controller.h) until it is told to
// stop (SIGINT, SIGTERM) or --seconds have passed.
//
// The simulator keeps the slave side open itself, so the device stays while the console closes and
// reopens it, and the master never sees a hang-up. Answers that the peer does not read wait in a
// bounded queue.

#include "controller_sim/Controller.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

// A peer that never reads gets no more than this waiting for it.
constexpr std::size_t kMaxPendingOutput = 1 << 20;
// After the master reports a hang-up or an error, look again after this pause instead of spinning.
constexpr milliseconds kHangUpPause{200};

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) {
    g_stop = 1;
}

struct TOptions {
    std::string pathFile;
    bool events = true;
    std::optional<int> seconds;
    std::optional<unsigned> seed;
    std::optional<int> eventMs;
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: cv-controller-sim [--once-path-file FILE] [--no-events] [--seconds N] [--seed N]\n"
                 "                        [--event-ms N]\n"
                 "  Serves a field controller on a new pseudo-terminal and prints its device path.\n"
                 "  --once-path-file FILE  also write the device path into FILE\n"
                 "  --no-events            keep the event log as it starts (no new events)\n"
                 "  --seconds N            exit after N seconds\n"
                 "  --seed N               seed of the random events (default: from the clock)\n");
}

bool ParseNumber(const char* text, long max, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= 0 && value <= max;
}

std::optional<TOptions> ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long number = 0;
        if (arg == "--once-path-file" && hasValue) {
            options.pathFile = argv[++i];
        } else if (arg == "--no-events") {
            options.events = false;
        } else if (arg == "--seconds" && hasValue && ParseNumber(argv[++i], 1000000000, number)) {
            options.seconds = int(number);
        } else if (arg == "--seed" && hasValue && ParseNumber(argv[++i], 0xFFFFFFFFL, number)) {
            options.seed = unsigned(number);
        } else if (arg == "--event-ms" && hasValue && ParseNumber(argv[++i], 1000000000, number) &&
                   number > 0) {
            options.eventMs = int(number);
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "cv-controller-sim: bad argument '%s'\n", arg.c_str());
            return std::nullopt;
        }
    }
    return options;
}

// The computer's local date and time, as the controller's clock starts with it.
sys_seconds LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    const year_month_day ymd{year(tm.tm_year + 1900), month(unsigned(tm.tm_mon + 1)),
                             day(unsigned(tm.tm_mday))};
    return sys_days(ymd) + hours(tm.tm_hour) + minutes(tm.tm_min) + seconds(std::min(tm.tm_sec, 59));
}

// Writes the path so that a reader never sees half of it.
bool WritePathFile(const std::string& file, const std::string& path) {
    const std::string temporary = file + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "w");
    if (!out)
        return false;
    const bool written = std::fprintf(out, "%s\n", path.c_str()) > 0;
    if (std::fclose(out) != 0 || !written || std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

milliseconds NextEventDelay(const TOptions& options, std::mt19937& random) {
    if (options.eventMs)
        return milliseconds(*options.eventMs);
    return milliseconds(std::uniform_int_distribution<int>(2000, 6000)(random));
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<TOptions> options = ParseOptions(argc, argv);
    if (!options) {
        Usage(stderr);
        return 2;
    }

    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("cv-controller-sim: openpty");
        return 1;
    }
    const char* slaveName = ttyname(slave);
    if (!slaveName) {
        std::perror("cv-controller-sim: ttyname");
        return 1;
    }
    const std::string path = slaveName;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    cfsetispeed(&raw, B38400);
    cfsetospeed(&raw, B38400);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    // Stop signals are blocked except inside ppoll, so none slips in between the check and the wait.
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    // The file first: whoever sees the path on stdout may rely on the file being there.
    if (!options->pathFile.empty() && !WritePathFile(options->pathFile, path)) {
        std::fprintf(stderr, "cv-controller-sim: cannot write %s: %s\n", options->pathFile.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    const unsigned seed = options->seed.value_or(unsigned(system_clock::now().time_since_epoch().count()));
    std::mt19937 scheduleRandom(seed ^ 0x5bd1e995u);
    TController controller(
        LocalNow(), [] { return steady_clock::now(); }, seed);
    controller.AddHistory();

    const auto started = steady_clock::now();
    const std::optional<steady_clock::time_point> end =
        options->seconds ? std::optional(started + seconds(*options->seconds)) : std::nullopt;
    auto nextEvent = started + NextEventDelay(*options, scheduleRandom);
    std::optional<steady_clock::time_point> hangUpUntil;
    std::string output;

    while (!g_stop) {
        const auto now = steady_clock::now();
        if (end && now >= *end)
            break;
        if (options->events && now >= nextEvent) {
            controller.AddRandomEvent();
            nextEvent = now + NextEventDelay(*options, scheduleRandom);
        }
        if (hangUpUntil && now >= *hangUpUntil)
            hangUpUntil.reset();

        std::optional<steady_clock::time_point> wakeUp = end;
        if (options->events)
            wakeUp = wakeUp ? std::min(*wakeUp, nextEvent) : nextEvent;
        if (hangUpUntil)
            wakeUp = wakeUp ? std::min(*wakeUp, *hangUpUntil) : *hangUpUntil;

        pollfd fds{hangUpUntil ? -1 : master, short(POLLIN | (output.empty() ? 0 : POLLOUT)), 0};
        timespec timeout{};
        if (wakeUp) {
            const auto left = std::max(nanoseconds(0), duration_cast<nanoseconds>(*wakeUp - now));
            timeout.tv_sec = time_t(left.count() / 1000000000);
            timeout.tv_nsec = long(left.count() % 1000000000);
        }
        const int ready = ppoll(&fds, 1, wakeUp ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::perror("cv-controller-sim: ppoll");
            return 1;
        }
        if (ready == 0 || fds.fd < 0)
            continue;

        bool hangUp = (fds.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (fds.revents & POLLIN) {
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                const std::string answer = controller.Feed(std::string_view(buffer, std::size_t(n)));
                if (output.size() + answer.size() <= kMaxPendingOutput)
                    output += answer;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hangUp = true;
            }
        }
        if (!output.empty() && (fds.revents & POLLOUT)) {
            const ssize_t n = write(master, output.data(), output.size());
            if (n > 0)
                output.erase(0, std::size_t(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                hangUp = true;
        }
        if (hangUp && !(fds.revents & POLLIN))
            hangUpUntil = steady_clock::now() + kHangUpPause;
    }

    close(master);
    close(slave);
    return 0;
}
