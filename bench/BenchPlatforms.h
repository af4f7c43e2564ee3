#pragma once

// Benchmarks that show a window take their figures offscreen (where painting costs almost nothing)
// and, asked with --x11, also under an X server, which is what a person sees: the program then runs
// itself twice, once offscreen and once against an Xvfb it starts, echoes what each run prints with
// the platform in front, and ends with a table of both runs' figures side by side.
//
// A figure is printed with Figure(): one line "name: value  target T: met|not met" (or "-" where the
// target is not one of this platform's); a run started from here also hands it to the parent.
//
// Usage in main(): `if (const int rc = RunOffscreenAndX(argc, argv); rc >= 0) return rc;` before the
// application object is made. --x11 runs both, --x11-only only the X run.

#include <QGuiApplication>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline constexpr const char* kBenchChildVariable = "CV_BENCH_RUN";
// The process id of the X server the run draws on, for the figures that count its CPU too.
inline constexpr const char* kBenchXServerVariable = "CV_BENCH_XSERVER_PID";

// Whether this run draws on an X server (decided once the application object exists).
inline bool OnXServer() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// One figure with its target. `applies` false: the target is not one of this platform's.
inline void Figure(const std::string& name, const std::string& value, const std::string& target, bool met,
                   bool applies = true) {
    const char* verdict = !applies ? "-" : met ? "met" : "not met";
    std::printf("%s: %s  target %s: %s\n", name.c_str(), value.c_str(), target.c_str(), verdict);
    if (std::getenv(kBenchChildVariable))
        std::printf("@figure\t%s\t%s\t%s\t%s\n", name.c_str(), value.c_str(), target.c_str(), verdict);
}

// `format` takes doubles only (%f, %g, %e): other conversions would read them as something else.
inline std::string Format(const char* format, double a, double b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// An Xvfb on a display number of its own choosing, stopped with the object.
class TXServer {
public:
    TXServer() = default;
    TXServer(const TXServer&) = delete;
    TXServer& operator=(const TXServer&) = delete;
    ~TXServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

    // Starts it and waits (10 s at most) until it takes connections; false when it cannot be started.
    bool Start() {
        int ready[2];
        if (pipe(ready) != 0)
            return false;
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(ready[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten",
                   "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{ready[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            if (read(ready[0], &c, 1) != 1)
                break; // it ended without telling
            if (c == '\n')
                break;
            number += c;
        }
        close(ready[0]);
        if (number.empty()) {
            std::fprintf(stderr, "Xvfb did not start (is it installed? see scripts/setup-debian.sh)\n");
            return false;
        }
        m_display = ":" + number;
        return true;
    }
    const std::string& Display() const { return m_display; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

struct TBenchRun {
    std::string Platform;
    std::map<std::string, std::vector<std::string>> Figures; // name -> value, target, verdict
    int ExitCode = 0;
};

// Runs this program again with `args` on `platform` (extra environment in `env`), echoing its output
// with the platform in front and collecting its figures.
inline TBenchRun RunBenchChild(const std::string& platform, const std::vector<std::string>& args,
                               const std::vector<std::pair<std::string, std::string>>& env,
                               std::vector<std::string>& order) {
    TBenchRun run{platform, {}, 1};
    int out[2];
    if (pipe(out) != 0)
        return run;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        setenv(kBenchChildVariable, "1", 1);
        for (const auto& [name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // Under its own name, so that its threads are named as in a run of its own.
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
            _exit(127);
        execv(self, argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[4096];
    std::string previous; // a figure this run adds goes after the one it printed before
    while (in && std::fgets(line, sizeof line, in)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (text.rfind("@figure\t", 0) == 0) {
            std::vector<std::string> fields;
            size_t start = 8;
            for (size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1)
                fields.push_back(text.substr(start, tab - start));
            fields.push_back(text.substr(start));
            if (fields.size() == 4) {
                if (std::find(order.begin(), order.end(), fields[0]) == order.end()) {
                    const auto after = std::find(order.begin(), order.end(), previous);
                    order.insert(after == order.end() ? after : after + 1, fields[0]);
                }
                run.Figures[fields[0]] = {fields[1], fields[2], fields[3]};
                previous = fields[0];
            }
            continue;
        }
        std::printf("[%s] %s\n", platform.c_str(), text.c_str());
    }
    if (in)
        std::fclose(in);
    int status = 0;
    waitpid(child, &status, 0);
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    return run;
}

// With --x11 or --x11-only among the arguments: runs the benchmark as described at the top and returns
// its exit code; otherwise returns -1 and the caller runs the benchmark itself.
inline int RunOffscreenAndX(int argc, char** argv) {
    bool both = false, xOnly = false;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (i > 0 && a == "--x11")
            both = true;
        else if (i > 0 && a == "--x11-only")
            xOnly = true;
        else
            args.push_back(a);
    }
    if (!both && !xOnly)
        return -1;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> order;
    std::vector<TBenchRun> runs;
    if (!xOnly)
        runs.push_back(RunBenchChild("offscreen", args, {{"QT_QPA_PLATFORM", "offscreen"}}, order));
    {
        TXServer server;
        if (server.Start()) {
            runs.push_back(RunBenchChild("xcb", args,
                                         {{"QT_QPA_PLATFORM", "xcb"},
                                          {"DISPLAY", server.Display()},
                                          {kBenchXServerVariable, std::to_string(server.Pid())}},
                                         order));
        } else {
            runs.push_back(TBenchRun{"xcb", {}, 1});
        }
    }
    // The table: one row per figure, one value and verdict per platform, then the target.
    size_t nameWidth = 6;
    for (const std::string& name : order)
        nameWidth = std::max(nameWidth, name.size());
    std::printf("\n%-*s", int(nameWidth), "figure");
    for (const TBenchRun& run : runs)
        std::printf(" | %-22s %-7s", (run.Platform == "xcb" ? "X server (Xvfb)" : run.Platform.c_str()), "");
    std::printf(" | target\n");
    for (const std::string& name : order) {
        std::printf("%-*s", int(nameWidth), name.c_str());
        std::string target;
        for (const TBenchRun& run : runs) {
            const auto it = run.Figures.find(name);
            if (it == run.Figures.end()) {
                std::printf(" | %-22s %-7s", "(not taken)", "");
                continue;
            }
            std::printf(" | %-22s %-7s", it->second[0].c_str(), it->second[2].c_str());
            target = it->second[1];
        }
        std::printf(" | %s\n", target.c_str());
    }
    int rc = 0;
    for (const TBenchRun& run : runs) {
        if (run.ExitCode != 0) {
            std::printf("the %s run failed (exit code %d)\n", run.Platform.c_str(), run.ExitCode);
            rc = 1;
        }
    }
    return rc;
}
