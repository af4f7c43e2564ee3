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

// Every thread of this process, by thread id.
inline std::map<int, TThreadUse> ThreadUse() {
    std::map<int, TThreadUse> out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
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

// The sum over the threads named `name` (all threads when empty).
inline TThreadUse ThreadUseTotal(const char* name = "") {
    TThreadUse total{name};
    for (const auto& [tid, use] : ThreadUse()) {
        if (*name && use.Name != name)
            continue;
        total.CpuNs += use.CpuNs;
        total.Runs += use.Runs;
    }
    return total;
}
