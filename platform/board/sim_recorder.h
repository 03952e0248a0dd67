// The call record and failure injection that every simulated platform library keeps for its test
// controls: "name(arguments)" lines (the last 4096) and per-function injected results; and the
// libraries' error line.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// Prints "[library] text" on stderr as one line.
inline void vlog_error(const char *library, const char *fmt, va_list ap)
{
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
    fprintf(stderr, "[%s] %s\n", library, text);
}

class Recorder {
public:
    void record(const std::string &call)
    {
        std::lock_guard<std::mutex> g(lock_);
        if (calls_.size() == kMaxCalls)
            calls_.pop_front();
        calls_.push_back(call);
    }

    // True when a failure is injected for `function`; its result goes to *result.
    bool injected(const std::string &function, int *result)
    {
        std::lock_guard<std::mutex> g(lock_);
        const auto it = failures_.find(function);
        if (it == failures_.end())
            return false;
        *result = it->second.first;
        if (--it->second.second == 0)
            failures_.erase(it);
        return true;
    }

    void fail(const std::string &function, int result, int times)
    {
        std::lock_guard<std::mutex> g(lock_);
        if (times > 0)
            failures_[function] = {result, times};
    }

    void clear_failures()
    {
        std::lock_guard<std::mutex> g(lock_);
        failures_.clear();
    }

    std::vector<std::string> calls()
    {
        std::lock_guard<std::mutex> g(lock_);
        return {calls_.begin(), calls_.end()};
    }

    void clear_calls()
    {
        std::lock_guard<std::mutex> g(lock_);
        calls_.clear();
    }

private:
    static constexpr size_t kMaxCalls = 4096;
    std::mutex lock_;
    std::deque<std::string> calls_;
    std::map<std::string, std::pair<int, int>> failures_; // function -> {result, calls left}
};

} // namespace sim
