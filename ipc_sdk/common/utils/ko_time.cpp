// The SDK's clocks and broken-down time arithmetic. The monotonic tick comes from one replaceable
// source so that tests can drive every time-out built on it.
#include "common/utils/ko_time.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/utils/ko_time_test.h"
#include "zel_control/utils/zel_time.h"

namespace {

uint64_t system_tick_us()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::atomic<ko_tick_source> g_tick_source{nullptr};

uint64_t tick_us()
{
    const ko_tick_source source = g_tick_source.load(std::memory_order_acquire);
    return source ? source() : system_tick_us();
}

std::atomic<ko_wall_source> g_wall_source{nullptr};

uint64_t realtime_us()
{
    const ko_wall_source source = g_wall_source.load(std::memory_order_acquire);
    if (source)
        return source();
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool is_leap(long year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int month_days(long year, int mon)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return mon == 1 && is_leap(year) ? 29 : kDays[mon];
}

} // namespace

void ko_time_set_tick_source(ko_tick_source source)
{
    g_tick_source.store(source, std::memory_order_release);
}

void ko_time_set_wall_source(ko_wall_source source)
{
    g_wall_source.store(source, std::memory_order_release);
}

uint64_t vexa_time_get_ms(void)
{
    return realtime_us() / 1000u;
}

uint64_t vexa_time_get_us(void)
{
    return realtime_us();
}

uint64_t vexa_time_realtime_ms(void)
{
    return realtime_us() / 1000u;
}

uint64_t vexa_time_tick_s(void)
{
    return tick_us() / 1000000u;
}

uint64_t vexa_time_tick_ms(void)
{
    return tick_us() / 1000u;
}

uint64_t vexa_time_tick_us(void)
{
    return tick_us();
}

uint64_t ko_tick_us_to_unix_sec(uint64_t tick_us)
{
    return (vexa_time_get_ms() - vexa_time_tick_ms() + tick_us / 1000u) / 1000u;
}

uint64_t ko_tick_ms_to_unix_ms(uint64_t tick_ms)
{
    return tick_ms + vexa_time_get_ms() - vexa_time_tick_ms();
}

uint64_t ko_sub_uint64(uint64_t a, uint64_t b)
{
    return b >= a ? 0 : a - b;
}

uint64_t ko_time_make_second(const struct tm *tm)
{
    if (!tm)
        return 0;
    const long year = 1900L + tm->tm_year;
    uint64_t days = 0;
    for (long y = 1970; y < year; ++y)
        days += is_leap(y) ? 366 : 365;
    for (int m = 0; m < tm->tm_mon && m < 12; ++m)
        days += static_cast<uint64_t>(month_days(year, m));
    days += static_cast<uint64_t>(tm->tm_mday > 0 ? tm->tm_mday - 1 : 0);
    return days * 86400u + static_cast<uint64_t>(tm->tm_hour) * 3600u + static_cast<uint64_t>(tm->tm_min) * 60u +
           static_cast<uint64_t>(tm->tm_sec);
}

void ko_time_get_date_time(uint32_t seconds, struct tm *tm)
{
    if (!tm)
        return;
    std::memset(tm, 0, sizeof(*tm));
    uint32_t days = seconds / 86400u;
    const uint32_t rest = seconds % 86400u;
    tm->tm_hour = static_cast<int>(rest / 3600u);
    tm->tm_min = static_cast<int>(rest % 3600u / 60u);
    tm->tm_sec = static_cast<int>(rest % 60u);
    long year = 1970;
    while (days >= (is_leap(year) ? 366u : 365u)) {
        days -= is_leap(year) ? 366u : 365u;
        ++year;
    }
    int mon = 0;
    while (days >= static_cast<uint32_t>(month_days(year, mon))) {
        days -= static_cast<uint32_t>(month_days(year, mon));
        ++mon;
    }
    tm->tm_year = static_cast<int>(year - 1900);
    tm->tm_mon = mon;
    tm->tm_mday = static_cast<int>(days) + 1;
    // Sakamoto's method.
    static const int kOffsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const long y = mon < 2 ? year - 1 : year;
    tm->tm_wday = static_cast<int>((y + y / 4 - y / 100 + y / 400 + kOffsets[mon] + tm->tm_mday) % 7);
}

int ko_time_get_str_date_time(char *buf, size_t size)
{
    if (!buf || size < 20)
        return -1;
    const uint64_t now_us = realtime_us();
    const zel_time now{static_cast<int64_t>(now_us / 1000000u), 0};
    const size_t n = zel_strftime_local(now, buf, size, "%m%d %H:%M:%S");
    std::snprintf(buf + n, size - n, ".%03d", static_cast<int>(now_us % 1000000u / 1000u));
    return 0;
}

int ko_check_tm_time(const struct tm *tm)
{
    if (!tm)
        return -1;
    const bool ok = tm->tm_year >= 0 && tm->tm_mon >= 0 && tm->tm_mon <= 11 && tm->tm_mday >= 1 && tm->tm_mday <= 31 &&
                    tm->tm_hour >= 0 && tm->tm_hour <= 23 && tm->tm_min >= 0 && tm->tm_min <= 59 && tm->tm_sec >= 0 &&
                    tm->tm_sec <= 60 && tm->tm_wday >= 0 && tm->tm_wday <= 6 && tm->tm_yday >= 0 &&
                    tm->tm_yday <= 365 && tm->tm_isdst >= -1 && tm->tm_isdst <= 1;
    return ok ? 0 : -1;
}
