// Clock readings and timerfd timers.
#include "zelmar/zel_clock.h"

#include "zel_control/utils/zel_time.h"

#include <errno.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <sys/timerfd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "[ZELMAR_TIME]";

// The local time of day now (the core library's wall clock), with its microseconds.
struct tm local_now(long *usec)
{
    const zel_time now = zel_time_now();
    struct tm tm;
    const time_t t = static_cast<time_t>(now.sec);
    localtime_r(&t, &tm);
    *usec = now.usec;
    return tm;
}

} // namespace

struct tm *time_utc2local(const time_t *t, struct tm *out)
{
    if (!t || !out)
        return nullptr;
    return localtime_r(t, out);
}

long time_monotonic(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

int64_t time_monotonic_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t time_monotonic_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint64_t time_realtime_ms(void)
{
    return static_cast<uint64_t>(time_t_milli());
}

int time_current_day_ms(void)
{
    long usec;
    const struct tm tm = local_now(&usec);
    return tm.tm_min * 60000 + tm.tm_hour * 3600000 + tm.tm_sec * 1000 + static_cast<int>(usec / 1000);
}

int64_t time_current_day_us(void)
{
    long usec;
    const struct tm tm = local_now(&usec);
    return (static_cast<int64_t>(tm.tm_hour) * 3600 + tm.tm_min * 60 + tm.tm_sec) * 1000000 + usec;
}

long timestamp(void)
{
    std::fprintf(stderr, "%s is deprecated.\n", "timestamp");
    return time_monotonic();
}

long time_uptime(void)
{
    struct sysinfo info;
    if (sysinfo(&info) != 0) {
        ZEL_LOGE(TAG, "%s: Fail to get sysinfo.", __func__);
        zel_log_uninit();
        std::abort();
    }
    return info.uptime;
}

int timer_setup(void)
{
    std::fprintf(stderr, "%s is deprecated.\n", "timer_setup");
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        ZEL_LOGE(TAG, "%s: timerfd_create: %s", __func__, std::strerror(errno));
    return fd;
}

int timer_start(int fd, int first_ms, int interval_ms)
{
    struct itimerspec spec = {};
    // An all-zero first expiry would disarm the timer instead of firing at once.
    const long first_ns = first_ms > 0 ? static_cast<long>(first_ms % 1000) * 1000000 : 1;
    spec.it_value.tv_sec = first_ms > 0 ? first_ms / 1000 : 0;
    spec.it_value.tv_nsec = first_ns;
    if (interval_ms > 0) {
        spec.it_interval.tv_sec = interval_ms / 1000;
        spec.it_interval.tv_nsec = static_cast<long>(interval_ms % 1000) * 1000000;
    }
    if (timerfd_settime(fd, 0, &spec, nullptr) != 0) {
        ZEL_LOGE(TAG, "%s: timerfd_settime: %s", "timer_start", std::strerror(errno));
        return -1;
    }
    return 0;
}

int check_current_between_time(int start_min, int end_min)
{
    long usec;
    const struct tm tm = local_now(&usec);
    const int now = tm.tm_hour * 60 + tm.tm_min;
    if (start_min < end_min)
        return start_min <= now && now <= end_min;
    if (start_min > end_min)
        return now >= start_min || now <= end_min;
    return now == start_min;
}
