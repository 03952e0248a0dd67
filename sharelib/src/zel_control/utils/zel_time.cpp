// Time values (seconds and microseconds), their arithmetic, calendar fields and conversions.
#include "zel_control/utils/zel_time.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "zel_control/utils/zel_time_test.h"

namespace {

std::atomic<zel_wall_source> g_wall_source{nullptr};

constexpr int64_t kUsecPerSec = 1000000;
constexpr int64_t kSecPerDay = 86400;
constexpr int kTimeText = 32;

int64_t floor_div(int64_t a, int64_t b)
{
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

zel_time make_time(int64_t sec, int64_t usec)
{
    sec += floor_div(usec, kUsecPerSec);
    usec -= floor_div(usec, kUsecPerSec) * kUsecPerSec;
    return zel_time{sec, static_cast<int32_t>(usec)};
}

// Days from 1970-01-01 to a Gregorian date (month 1 to 12).
int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool fits_time_t(int64_t seconds)
{
    return static_cast<int64_t>(static_cast<time_t>(seconds)) == seconds;
}

// The broken-down UTC time of any second count, by arithmetic (gmtime_r ends where time_t does).
struct tm calendar_tm(int64_t seconds)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    const int64_t days = floor_div(seconds, kSecPerDay);
    const int64_t in_day = seconds - days * kSecPerDay;
    int y, mo, d;
    zel_time_days_to_date(days, &y, &mo, &d);
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = static_cast<int>(in_day / 3600);
    tm.tm_min = static_cast<int>(in_day % 3600 / 60);
    tm.tm_sec = static_cast<int>(in_day % 60);
    tm.tm_wday = static_cast<int>(days - floor_div(days + 4, 7) * 7 + 4); // 1970-01-01 was a Thursday
    tm.tm_yday = static_cast<int>(days - days_from_civil(y, 1, 1));
    return tm;
}

struct tm utc_tm(int64_t seconds)
{
    if (!fits_time_t(seconds))
        return calendar_tm(seconds);
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    gmtime_r(&t, &tm);
    return tm;
}

// localtime_r of any second count. A 32-bit time_t (the camera's C library) ends in January 2038:
// beyond it, the zone's offset comes from the same moment whole 28-year cycles away, in 2000 to 2027
// (the same week days and leap years from 1901 to 2099, so the same daylight-saving rules), and is
// applied to calendar arithmetic.
struct tm local_tm(int64_t seconds)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    if (fits_time_t(seconds)) {
        const time_t t = static_cast<time_t>(seconds);
        localtime_r(&t, &tm);
        return tm;
    }
    constexpr int64_t kCycle = 28 * 36525LL * 864; // 28 years of 365.25 days
    constexpr int64_t k2000 = 946684800;           // 2000-01-01, whose cycle time_t always holds
    const time_t t = static_cast<time_t>(seconds - floor_div(seconds - k2000, kCycle) * kCycle);
    struct tm then;
    memset(&then, 0, sizeof then);
    localtime_r(&t, &then);
    tm = calendar_tm(seconds + then.tm_gmtoff);
    tm.tm_isdst = then.tm_isdst;
    tm.tm_gmtoff = then.tm_gmtoff;
    tm.tm_zone = then.tm_zone;
    return tm;
}

// mktime of a local calendar time; `isdst` as struct tm takes it (0 off, -1 decided by the library).
// Where time_t cannot hold the date (32-bit targets after 2038) the date is converted with the
// whole-hour zone offset instead.
int64_t local_seconds(int year, int month, int day, int hour, int minute, int second, int isdst)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = isdst;
    const time_t t = mktime(&tm);
    if (t != static_cast<time_t>(-1) || (year == 1969 && month == 12 && day == 31))
        return static_cast<int64_t>(t);
    return days_from_civil(year, month, day) * kSecPerDay + hour * 3600 + minute * 60 + second -
           static_cast<int64_t>(zel_local_timezone()) * 3600;
}

void fields_of(int64_t seconds, int *year, int *month, int *day, int *hour, int *minute, int *second)
{
    const struct tm tm = calendar_tm(seconds);
    if (year)
        *year = tm.tm_year + 1900;
    if (month)
        *month = tm.tm_mon + 1;
    if (day)
        *day = tm.tm_mday;
    if (hour)
        *hour = tm.tm_hour;
    if (minute)
        *minute = tm.tm_min;
    if (second)
        *second = tm.tm_sec;
}

const char *format_fields(char *buffer, const struct tm *tm, const char *format)
{
    if (!tm) {
        buffer[0] = '\0';
        return buffer;
    }
    snprintf(buffer, kTimeText, format, tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min,
             tm->tm_sec);
    return buffer;
}

constexpr const char *kTimeFormat = "%4d-%02d-%02d %02d:%02d:%02d";

} // namespace

extern "C" {

void zel_time_set_wall_source(zel_wall_source source)
{
    g_wall_source.store(source, std::memory_order_release);
}

int64_t zel_time_wall_us(void)
{
    const zel_wall_source source = g_wall_source.load(std::memory_order_acquire);
    if (source)
        return source();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * kUsecPerSec + tv.tv_usec;
}

zel_time zel_time_now(void)
{
    return make_time(0, zel_time_wall_us());
}

zel_time zel_time_future(int64_t usec)
{
    return zel_time_add(zel_time_now(), usec);
}

zel_time zel_time_create(int year, int month, int day, int hour, int minute, int second, int millisecond)
{
    return make_time(local_seconds(year, month, day, hour, minute, second, 0), static_cast<int64_t>(millisecond) * 1000);
}

zel_time zel_time_add(zel_time t, int64_t usec)
{
    return make_time(t.sec, static_cast<int64_t>(t.usec) + usec);
}

int64_t zel_time_diff(zel_time a, zel_time b)
{
    return (static_cast<int64_t>(a.sec) - b.sec) * kUsecPerSec + (static_cast<int64_t>(a.usec) - b.usec);
}

int zel_time_compare(zel_time a, zel_time b)
{
    if (a.sec != b.sec)
        return a.sec < b.sec ? -1 : 1;
    if (a.usec != b.usec)
        return a.usec < b.usec ? -1 : 1;
    return 0;
}

int64_t zel_time_elapse(int64_t seconds, int64_t microseconds)
{
    return seconds * kUsecPerSec + microseconds;
}

void zel_time_days_to_date(int64_t days, int *year, int *month, int *day)
{
    // Fliegel and Van Flandern, from the Julian day number (2440588 is 1970-01-01).
    int64_t l = days + 2440588 + 68569;
    const int64_t n = 4 * l / 146097;
    l -= (146097 * n + 3) / 4;
    const int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    const int64_t j = 80 * l / 2447;
    const int64_t d = l - 2447 * j / 80;
    l = j / 11;
    *month = static_cast<int>(j + 2 - 12 * l);
    *year = static_cast<int>(100 * (n - 49) + i + l);
    *day = static_cast<int>(d);
}

void zel_time_parse_local(zel_time t, int offset_hours, int *year, int *month, int *day, int *hour, int *minute,
                          int *second)
{
    fields_of(static_cast<int64_t>(t.sec) + static_cast<int64_t>(offset_hours) * 3600, year, month, day, hour,
              minute, second);
}

void zel_time_parse_utc(zel_time t, int *year, int *month, int *day, int *hour, int *minute, int *second)
{
    zel_time_parse_local(t, 0, year, month, day, hour, minute, second);
}

int zel_time_parse_millisecond(zel_time t)
{
    return t.usec / 1000;
}

int zel_time_day_of_week(zel_time t)
{
    return local_tm(t.sec).tm_wday;
}

int zel_local_timezone(void)
{
    const int hour = local_tm(0).tm_hour;
    return hour > 12 ? hour - 24 : hour;
}

struct timeval zel_time2timeval(zel_time t)
{
    struct timeval tv;
    tv.tv_sec = t.sec;
    tv.tv_usec = t.usec;
    return tv;
}

time_t zel_time2time_t(zel_time t)
{
    return t.sec;
}

zel_time zel_time_from_timeval(const struct timeval *tv)
{
    return tv ? make_time(tv->tv_sec, tv->tv_usec) : zel_time{0, 0};
}

zel_time zel_time_from_time_t(time_t seconds)
{
    return zel_time{static_cast<int64_t>(seconds), 0};
}

void zel_time2timespec(zel_time t, struct timespec *ts)
{
    if (!ts)
        return;
    ts->tv_sec = t.sec;
    ts->tv_nsec = static_cast<long>(t.usec) * 1000;
}

void timespec_future(struct timespec *ts, int64_t usec)
{
    if (!ts)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t nsec = static_cast<int64_t>(now.tv_nsec) + (usec % kUsecPerSec) * 1000;
    int64_t sec = static_cast<int64_t>(now.tv_sec) + usec / kUsecPerSec + floor_div(nsec, 1000000000);
    ts->tv_sec = static_cast<time_t>(sec);
    ts->tv_nsec = static_cast<long>(nsec - floor_div(nsec, 1000000000) * 1000000000);
}

size_t zel_strftime_local(zel_time t, char *buffer, size_t size, const char *format)
{
    if (!buffer || !format || size == 0)
        return 0;
    const struct tm tm = local_tm(t.sec);
    return strftime(buffer, size, format, &tm);
}

size_t zel_strftime_utc(zel_time t, char *buffer, size_t size, const char *format)
{
    if (!buffer || !format || size == 0)
        return 0;
    const struct tm tm = utc_tm(t.sec);
    return strftime(buffer, size, format, &tm);
}

int64_t tv_time_diff(const zel_time *a, const zel_time *b)
{
    return a && b ? zel_time_diff(*a, *b) : 0;
}

int tv_time_compare(const zel_time *a, const zel_time *b)
{
    return a && b ? zel_time_compare(*a, *b) : 0;
}

void tv_time_add(zel_time *t, int64_t usec)
{
    if (t)
        *t = zel_time_add(*t, usec);
}

void tv_time_future(zel_time *t, int64_t usec)
{
    if (t)
        *t = zel_time_future(usec);
}

void tv_time_parse_local(const zel_time *t, int offset_hours, int *year, int *month, int *day, int *hour,
                         int *minute, int *second)
{
    if (t)
        zel_time_parse_local(*t, offset_hours, year, month, day, hour, minute, second);
}

void tv_time_parse_utc(const zel_time *t, int *year, int *month, int *day, int *hour, int *minute, int *second)
{
    if (t)
        zel_time_parse_utc(*t, year, month, day, hour, minute, second);
}

int tv_time_day_of_week(const zel_time *t)
{
    return t ? zel_time_day_of_week(*t) : 0;
}

void tv_time_set(zel_time *t, int year, int month, int day, int hour, int minute, int second, int millisecond)
{
    if (t)
        *t = zel_time_create(year, month, day, hour, minute, second, millisecond);
}

void time_to_tm(struct tm *tm, time_t seconds)
{
    if (tm)
        *tm = local_tm(seconds);
}

time_t tm_to_time_t(struct tm *tm)
{
    return tm ? mktime(tm) : static_cast<time_t>(-1);
}

const char *tm_to_time_string(const struct tm *tm)
{
    thread_local char buffer[kTimeText];
    return format_fields(buffer, tm, kTimeFormat);
}

const char *tm_to_time_string2(const struct tm *tm, const char *format)
{
    thread_local char buffer[kTimeText];
    return format_fields(buffer, tm, format ? format : kTimeFormat);
}

const char *get_local_time(void)
{
    const struct tm tm = local_tm(zel_time_now().sec);
    return tm_to_time_string(&tm);
}

int64_t time_t_milli(void)
{
    return floor_div(zel_time_wall_us(), 1000);
}

int64_t time_t_micro(void)
{
    return zel_time_wall_us();
}

time_t utc_to_local(time_t seconds)
{
    struct tm tm = local_tm(seconds);
    return timegm(&tm);
}

time_t local_to_utc(time_t seconds)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    gmtime_r(&seconds, &tm);
    tm.tm_isdst = -1;
    return mktime(&tm);
}

void zel_print_timestamp(void)
{
    const int64_t micro = time_t_micro();
    printf("current timestamp: %ld, %lld, %lld\n", static_cast<long>(micro / kUsecPerSec),
           static_cast<long long>(micro / 1000), static_cast<long long>(micro));
}

time_t zel_string_to_time(const char *text, const char *format)
{
    if (!text || !format)
        return -1;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (sscanf(text, format, &year, &month, &day, &hour, &minute, &second) != 6)
        return 0;
    return local_seconds(year, month, day, hour, minute, second, -1);
}

} // extern "C"
