#include "zel_control/utils/zel_time.h"

#include "zel_test_clock.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <random>
#include <string>

using zeltest::ScopedTz;

TEST(ZelTimeArithmetic, AddBorrowsAndCarries)
{
    zel_time t = zel_time_add(zel_time{10, 0}, -1);
    EXPECT_EQ(t.sec, 9);
    EXPECT_EQ(t.usec, 999999);
    t = zel_time_add(zel_time{10, 999999}, 2);
    EXPECT_EQ(t.sec, 11);
    EXPECT_EQ(t.usec, 1);
    t = zel_time_add(zel_time{10, 500000}, -2500000);
    EXPECT_EQ(t.sec, 8);
    EXPECT_EQ(t.usec, 0);
    EXPECT_EQ(zel_time_diff(zel_time{10, 0}, zel_time{9, 999999}), 1);
    EXPECT_EQ(zel_time_diff(zel_time{5, 0}, zel_time{7, 250000}), -2250000);
    EXPECT_EQ(zel_time_compare(zel_time{5, 1}, zel_time{5, 2}), -1);
    EXPECT_EQ(zel_time_compare(zel_time{6, 0}, zel_time{5, 999999}), 1);
    EXPECT_EQ(zel_time_compare(zel_time{6, 3}, zel_time{6, 3}), 0);
    EXPECT_EQ(zel_time_elapse(3, 25), 3000025);
    zel_time p{1, 0};
    tv_time_add(&p, 1500000);
    EXPECT_EQ(p.sec, 2);
    EXPECT_EQ(p.usec, 500000);
}

TEST(ZelTimeCalendar, ArithmeticFieldsMatchTheCLibrary)
{
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const int32_t sec = static_cast<int32_t>(rng());  // the whole signed 32-bit range
        const int offset = static_cast<int>(rng() % 25) - 12;
        int y, mo, d, h, mi, s;
        zel_time_parse_local(zel_time{sec, 0}, offset, &y, &mo, &d, &h, &mi, &s);
        const time_t shifted = static_cast<time_t>(sec) + offset * 3600;
        struct tm tm;
        gmtime_r(&shifted, &tm);
        ASSERT_EQ(y, tm.tm_year + 1900) << sec;
        ASSERT_EQ(mo, tm.tm_mon + 1) << sec;
        ASSERT_EQ(d, tm.tm_mday) << sec;
        ASSERT_EQ(h, tm.tm_hour) << sec;
        ASSERT_EQ(mi, tm.tm_min) << sec;
        ASSERT_EQ(s, tm.tm_sec) << sec;
    }
    int y, mo, d, h, mi, s;
    zel_time_parse_utc(zel_time{951782400, 123456}, &y, &mo, &d, &h, &mi, &s);  // 2000-02-29 00:00:00
    EXPECT_EQ(y, 2000);
    EXPECT_EQ(mo, 2);
    EXPECT_EQ(d, 29);
    EXPECT_EQ(zel_time_parse_millisecond(zel_time{0, 123456}), 123);
}

TEST(ZelTimeZone, OffsetFromTheEpochHour)
{
    {
        ScopedTz tz("EST5");
        EXPECT_EQ(zel_local_timezone(), -5);
        EXPECT_EQ(utc_to_local(3600 * 10), 3600 * 5);
        EXPECT_EQ(local_to_utc(3600 * 5), 3600 * 10);
    }
    {
        ScopedTz tz("CST-8");
        EXPECT_EQ(zel_local_timezone(), 8);
        // 2024-03-10 (a Sunday) 20:00 UTC is Monday in UTC+8.
        EXPECT_EQ(zel_time_day_of_week(zel_time{1710100800, 0}), 1);
        char text[32];
        ASSERT_GT(zel_strftime_local(zel_time{1710100800, 0}, text, sizeof text, "%F %T"), 0u);
        EXPECT_STREQ(text, "2024-03-11 04:00:00");
        ASSERT_GT(zel_strftime_utc(zel_time{1710100800, 0}, text, sizeof text, "%F %T"), 0u);
        EXPECT_STREQ(text, "2024-03-10 20:00:00");
        const zel_time t = zel_time_create(2024, 3, 11, 4, 0, 0, 250);
        EXPECT_EQ(t.sec, 1710100800);
        EXPECT_EQ(t.usec, 250000);
        EXPECT_EQ(zel_string_to_time("2024/03/11 04:00:00", "%d/%d/%d %d:%d:%d"), 1710100800);
        EXPECT_EQ(zel_string_to_time("2024/03/11", "%d/%d/%d %d:%d:%d"), 0);
        EXPECT_EQ(zel_string_to_time(nullptr, "%d"), -1);
    }
    {
        ScopedTz tz("UTC0");
        EXPECT_EQ(zel_local_timezone(), 0);
    }
}

TEST(ZelTimeText, FixedFormatsAndConversions)
{
    struct tm tm = {};
    tm.tm_year = 124;
    tm.tm_mon = 0;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 8;
    tm.tm_sec = 9;
    EXPECT_STREQ(tm_to_time_string(&tm), "2024-01-05 07:08:09");
    EXPECT_STREQ(tm_to_time_string2(&tm, "%d%02d%02d_%02d%02d%02d"), "20240105_070809");
    EXPECT_EQ(strlen(get_local_time()), 19u);

    const struct timeval tv = zel_time2timeval(zel_time{12, 34});
    EXPECT_EQ(tv.tv_sec, 12);
    EXPECT_EQ(tv.tv_usec, 34);
    EXPECT_EQ(zel_time_from_timeval(nullptr).sec, 0);
    EXPECT_EQ(zel_time_from_timeval(&tv).usec, 34);
    EXPECT_EQ(zel_time2time_t(zel_time_from_time_t(99)), 99);
    struct timespec ts;
    zel_time2timespec(zel_time{3, 7}, &ts);
    EXPECT_EQ(ts.tv_nsec, 7000);
    const int64_t before = time_t_micro();
    timespec_future(&ts, 2500000);
    const int64_t target = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    EXPECT_GE(target - before, 2500000);
    EXPECT_LT(ts.tv_nsec, 1000000000);
    EXPECT_LE(time_t_milli() / 1000 - time(nullptr), 1);
}

TEST(ZelTimeWallSource, EveryWallReadingFollowsTheTestClock)
{
    ScopedTz tz("UTC0");
    // 2040-02-29 12:00:00 UTC: past 2038, on a leap day.
    const int64_t start = 2214129600LL * 1000000;
    {
        zeltest::TestWallClock clock(start);
        const zel_time now = zel_time_now();
        EXPECT_GE(now.sec, 2214129600LL);
        EXPECT_LT(now.sec, 2214129600LL + 5);
        int y, mo, d, h, mi, s;
        zel_time_parse_utc(now, &y, &mo, &d, &h, &mi, &s);
        EXPECT_EQ(y, 2040);
        EXPECT_EQ(mo, 2);
        EXPECT_EQ(d, 29);
        EXPECT_EQ(h, 12);
        EXPECT_GE(time_t_micro(), start);
        EXPECT_EQ(time_t_milli() / 1000, time_t_micro() / 1000000);
        clock.step(-3600LL * 1000000);
        EXPECT_LT(zel_time_now().sec, 2214129600LL - 3500);
    }
    // Restored: the host's clock again.
    EXPECT_LE(std::llabs(zel_time_now().sec - static_cast<long long>(time(nullptr))), 1);
}

TEST(ZelTimeWallSource, LocalDatesAfter2038StayPositive)
{
    ScopedTz tz("EST5");
    const zel_time t = zel_time_create(2040, 1, 1, 0, 0, 0, 0);
    EXPECT_EQ(t.sec, 2208988800LL + 5 * 3600);
}

// Calendar texts of dates a 32-bit time_t cannot hold (the camera's C library): past January 2038
// and before December 1901, in UTC and in zones with and without summer time.
TEST(ZelTimeCalendar, TextsOfDatesBeyondA32BitTimeT)
{
    char text[64];
    const auto utc = [&](int64_t sec) {
        return zel_strftime_utc(zel_time{sec, 0}, text, sizeof text, "%Y-%m-%d %H:%M:%S %a %j") ? text : "";
    };
    const auto local = [&](int64_t sec) {
        return zel_strftime_local(zel_time{sec, 0}, text, sizeof text, "%Y-%m-%d %H:%M:%S %Z") ? text : "";
    };
    EXPECT_STREQ(utc(2147483648), "2038-01-19 03:14:08 Tue 019");
    EXPECT_STREQ(utc(2214129600), "2040-02-29 12:00:00 Wed 060");
    EXPECT_STREQ(utc(-3786825600), "1850-01-01 00:00:00 Tue 001");
    {
        ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_STREQ(local(2540289600), "2050-07-01 14:00:00 CEST");
        EXPECT_STREQ(local(2525860800), "2050-01-15 13:00:00 CET");
        EXPECT_EQ(zel_time_day_of_week(zel_time{2540289600, 0}), 5); // a Friday
    }
    {
        ScopedTz tz("EST5");
        EXPECT_STREQ(local(2214129600), "2040-02-29 07:00:00 EST");
        EXPECT_EQ(zel_time_day_of_week(zel_time{2214129600 - 13 * 3600, 0}), 2) << "still Tuesday in New York";
    }
    {
        ScopedTz tz("UTC0");
        zeltest::TestWallClock clock(2214129600LL * 1000000);
        EXPECT_EQ(std::string(get_local_time()).substr(0, 16), "2040-02-29 12:00");
    }
}

// The same against the C library with a 64-bit time_t, over dates from 1800 to 2200.
TEST(ZelTimeCalendar, UtcFieldsMatchA64BitReference)
{
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int64_t> any(-5364662400LL, 7258118400LL);
    for (int i = 0; i < 3000; ++i) {
        const int64_t sec = any(rng);
        struct tm ref;
        ASSERT_TRUE(zeltest::utc_calendar(sec, &ref));
        char mine[40], want[40];
        ASSERT_GT(zel_strftime_utc(zel_time{sec, 0}, mine, sizeof mine, "%Y%m%d %H%M%S %w %j"), 0u);
        strftime(want, sizeof want, "%Y%m%d %H%M%S %w %j", &ref);
        ASSERT_STREQ(mine, want) << sec;
    }
}
