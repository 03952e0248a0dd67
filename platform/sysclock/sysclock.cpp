#include "zel_sysclock.h"

#include <cerrno>
#include <mutex>

#include "zel_sysclock_test.h"

namespace {

constexpr size_t kMaxRequests = 4096;

struct State {
    std::mutex lock;
    std::vector<struct timeval> requests;
    int failures = 0;
};

State &state()
{
    static State s;
    return s;
}

} // namespace

extern "C" int zel_sysclock_set(const struct timeval *tv)
{
    if (!tv || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000) {
        errno = EINVAL;
        return -1;
    }
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.failures > 0) {
        --s.failures;
        errno = EPERM;
        return -1;
    }
    if (s.requests.size() == kMaxRequests)
        s.requests.erase(s.requests.begin());
    s.requests.push_back(*tv);
    return 0;
}

std::vector<struct timeval> zel_sysclock_test_requests()
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.requests;
}

void zel_sysclock_test_clear()
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.requests.clear();
    s.failures = 0;
}

void zel_sysclock_test_fail(int times)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failures = times;
}
