// What a whole process costs while it runs: its user and system CPU from /proc/<pid>/stat and the
// wake-ups of its threads (voluntary context switches, /proc/<pid>/task/*/status), so that a figure
// counts every thread the process has, not only those a benchmark thinks of.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace procload {

inline std::string proc_dir(pid_t pid)
{
    return pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
}

inline std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// User and system CPU of a running process (0 = this one), in ms.
inline double cpu_ms(pid_t pid = 0)
{
    const std::string stat = file_text(proc_dir(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(paren + 2));
    std::string skip;
    for (int i = 3; i < 14; i++)
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ThreadWakes {
    std::string name;
    uint64_t wakes;
};

// Task id -> name and voluntary context switches of every thread of the process (0 = this one).
inline std::map<std::string, ThreadWakes> thread_wakes(pid_t pid = 0)
{
    std::map<std::string, ThreadWakes> out;
    const std::string tasks = proc_dir(pid) + "/task";
    DIR *d = opendir(tasks.c_str());
    if (d == nullptr)
        return out;
    while (const dirent *e = readdir(d)) {
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])))
            continue;
        std::istringstream status(file_text(tasks + "/" + e->d_name + "/status"));
        ThreadWakes t{"", 0};
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Name:", 0) == 0)
                t.name = line.substr(line.find_first_not_of(" \t", 5));
            else if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                t.wakes = std::stoull(line.substr(24));
        }
        out[e->d_name] = t;
    }
    closedir(d);
    return out;
}

// A thread's name with its trailing slot or pool number cut, so that "_send_DRW_03" counts as
// "_send_DRW_".
inline std::string thread_kind(const std::string &name)
{
    size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])))
        --end;
    return name.substr(0, end);
}

// Wake-ups since `before` by thread kind (a thread new since then counts from 0; one that ended
// meanwhile is lost, as the kernel keeps no count for it here).
inline std::map<std::string, uint64_t> wakes_since(const std::map<std::string, ThreadWakes> &before,
                                                   const std::map<std::string, ThreadWakes> &after)
{
    std::map<std::string, uint64_t> out;
    for (const auto &[task, now] : after) {
        const auto it = before.find(task);
        out[thread_kind(now.name)] += now.wakes - (it == before.end() ? 0 : std::min(now.wakes, it->second.wakes));
    }
    return out;
}

inline uint64_t total(const std::map<std::string, uint64_t> &by_kind)
{
    uint64_t sum = 0;
    for (const auto &kv : by_kind)
        sum += kv.second;
    return sum;
}

// The `n` kinds that woke most, as "name=per-second ..." for the benchmark's output.
inline std::string busiest(const std::map<std::string, uint64_t> &by_kind, double seconds, size_t n)
{
    std::vector<std::pair<std::string, uint64_t>> v(by_kind.begin(), by_kind.end());
    std::sort(v.begin(), v.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    std::string out;
    for (size_t i = 0; i < v.size() && i < n; i++) {
        char item[96];
        std::snprintf(item, sizeof item, "%s%s=%.0f/s", out.empty() ? "" : " ", v[i].first.c_str(),
                      static_cast<double>(v[i].second) / seconds);
        out += item;
    }
    return out;
}

} // namespace procload
