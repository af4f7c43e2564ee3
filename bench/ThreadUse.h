#pragma once

// Per-thread CPU use of this process, as the scheduler counts it (/proc/self/task/*/schedstat): time on
// a CPU and how often the thread was put on one (its wake-ups, plus returns after preemption).

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>

struct TThreadUse {
    std::string Name;
    double CpuNs = 0;
    double Runs = 0;
};

// Every thread of this process (or of process `pid`), by thread id.
inline std::map<int, TThreadUse> ThreadUse(int pid = 0) {
    std::map<int, TThreadUse> out;
    const std::string tasks =
        (pid > 0 ? "/proc/" + std::to_string(pid) : std::string("/proc/self")) + "/task/";
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = tasks + e->d_name;
        TThreadUse use;
        if (FILE* f = fopen((base + "/comm").c_str(), "r")) {
            char comm[64] = {};
            if (fgets(comm, sizeof comm, f))
                use.Name.assign(comm, strcspn(comm, "\n"));
            fclose(f);
        }
        FILE* f = fopen((base + "/schedstat").c_str(), "r");
        if (!f)
            continue;
        unsigned long long ns = 0, wait = 0, runs = 0;
        if (fscanf(f, "%llu %llu %llu", &ns, &wait, &runs) == 3) {
            use.CpuNs = double(ns);
            use.Runs = double(runs);
            out[atoi(e->d_name)] = use;
        }
        fclose(f);
    }
    closedir(dir);
    return out;
}

// The sum over the threads named `name` (all threads when empty), of this process or of `pid`.
inline TThreadUse ThreadUseTotal(const char* name = "", int pid = 0) {
    TThreadUse total{name};
    for (const auto& [tid, use] : ThreadUse(pid)) {
        if (*name && use.Name != name)
            continue;
        total.CpuNs += use.CpuNs;
        total.Runs += use.Runs;
    }
    return total;
}
