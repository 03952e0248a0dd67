// The on-CPU time of this process's threads by name, from /proc/self/task/*/schedstat (nanoseconds,
// not clock ticks).
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "vasq_phone_ctl.h"

namespace p2pbench {

struct ThreadCpu {
    std::string name;
    uint64_t ns;
};

// Task id -> name and on-CPU nanoseconds of the threads whose name `wanted` accepts.
inline std::map<std::string, ThreadCpu> thread_cpu_ns(const std::function<bool(const std::string &)> &wanted)
{
    std::map<std::string, ThreadCpu> out;
    for (const auto &[task, name] : zeltest::tasks()) {
        if (!wanted(name))
            continue;
        std::ifstream schedstat("/proc/self/task/" + task + "/schedstat");
        uint64_t ns = 0;
        if (schedstat >> ns)
            out[task] = {name, ns};
    }
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
