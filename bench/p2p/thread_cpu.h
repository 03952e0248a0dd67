// The on-CPU time of this process's threads by name, from /proc/self/task/*/comm and schedstat
// (nanoseconds, not clock ticks).
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>

namespace p2pbench {

struct ThreadCpu {
    std::string name;
    uint64_t ns;
};

// Task id -> name and on-CPU nanoseconds of the threads whose name `wanted` accepts.
inline std::map<std::string, ThreadCpu> thread_cpu_ns(const std::function<bool(const std::string &)> &wanted)
{
    std::map<std::string, ThreadCpu> out;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        if (!std::getline(comm, name) || !wanted(name))
            continue;
        std::ifstream schedstat(task + "/schedstat");
        uint64_t ns = 0;
        if (schedstat >> ns)
            out[e->d_name] = {name, ns};
    }
    closedir(d);
    return out;
}

// The CPU that the threads of `after` whose name `counted` accepts spent since `before` (a thread new
// since then counts from 0).
inline uint64_t cpu_ns_since(const std::map<std::string, ThreadCpu> &before, const std::map<std::string, ThreadCpu> &after,
                             const std::function<bool(const std::string &)> &counted)
{
    uint64_t sum = 0;
    for (const auto &[task, now] : after) {
        if (!counted(now.name))
            continue;
        const auto it = before.find(task);
        sum += now.ns - (it == before.end() ? 0 : std::min(now.ns, it->second.ns));
    }
    return sum;
}

} // namespace p2pbench
