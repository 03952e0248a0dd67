// The call record and failure injection that every simulated platform library keeps for its test
// controls: "name(arguments)" lines (the last 4096), each with the monotonic time it was made, and
// per-function injected results; and the libraries' error line.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// One recorded call and when it was made (steady clock, the clock of the board's frame time stamps).
struct TimedCall {
    int64_t mono_us;
    std::string text;
};

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
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        if (calls_.size() == kMaxCalls)
            calls_.pop_front();
        calls_.push_back({std::chrono::duration_cast<std::chrono::microseconds>(now).count(), call});
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
        std::vector<std::string> out;
        out.reserve(calls_.size());
        for (const TimedCall &c : calls_)
            out.push_back(c.text);
        return out;
    }

    std::vector<TimedCall> timed_calls()
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
    std::deque<TimedCall> calls_;
    std::map<std::string, std::pair<int, int>> failures_; // function -> {result, calls left}
};

} // namespace sim
