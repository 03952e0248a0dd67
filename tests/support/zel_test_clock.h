// Clock helpers for tests of the core library: TZ for one test, and a wall clock of the test's own
// behind zel_time_now (set to any date, stepped at will, running at the monotonic clock's pace).
// The host's clock is never touched.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <string>

#include "zel_control/utils/zel_time_test.h"

namespace zeltest {

// Sets TZ for one test and restores it afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char *tz)
    {
        if (const char *old = getenv("TZ"))
            old_ = old, had_ = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTz(const ScopedTz &) = delete;
    ScopedTz &operator=(const ScopedTz &) = delete;

private:
    std::string old_;
    bool had_ = false;
};

// While it lives, the core library's wall clock reads `start_us` plus the monotonic time elapsed
// since, moved by every step().
class TestWallClock {
public:
    explicit TestWallClock(int64_t start_us)
    {
        offset().store(start_us - monotonic_us());
        zel_time_set_wall_source(&TestWallClock::read);
    }
    ~TestWallClock() { zel_time_set_wall_source(nullptr); }
    TestWallClock(const TestWallClock &) = delete;
    TestWallClock &operator=(const TestWallClock &) = delete;

    void step(int64_t usec) { offset().fetch_add(usec); }
    static int64_t read() { return monotonic_us() + offset().load(); }

    static int64_t monotonic_us()
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }

private:
    static std::atomic<int64_t> &offset()
    {
        static std::atomic<int64_t> value{0};
        return value;
    }
};

} // namespace zeltest
