// Clocks, calendar arithmetic, hex helpers, file deletion and the named-thread starter.
#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "common/utils/ko_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include "zel_test_clock.h"
#include "zel_test_support.h"

namespace {

std::atomic<uint64_t> g_fake_us{0};
uint64_t fake_clock()
{
    return g_fake_us.load();
}

} // namespace

TEST(KoTime, CalendarArithmeticMatchesTimegm)
{
    struct tm t {};
    t.tm_year = 100;
    t.tm_mon = 2;
    t.tm_mday = 1;
    EXPECT_EQ(ko_time_make_second(&t), 951868800u);
    struct tm back {};
    ko_time_get_date_time(951868800u, &back);
    EXPECT_EQ(back.tm_year, 100);
    EXPECT_EQ(back.tm_mon, 2);
    EXPECT_EQ(back.tm_mday, 1);
    EXPECT_EQ(back.tm_wday, 3);

    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const uint32_t s = static_cast<uint32_t>(rng());
        struct tm mine {};
        ko_time_get_date_time(s, &mine);
        struct tm ref {};
        ASSERT_TRUE(zeltest::utc_calendar(s, &ref)) << s;
        ASSERT_EQ(mine.tm_year, ref.tm_year) << s;
        ASSERT_EQ(mine.tm_mon, ref.tm_mon) << s;
        ASSERT_EQ(mine.tm_mday, ref.tm_mday) << s;
        ASSERT_EQ(mine.tm_hour * 3600 + mine.tm_min * 60 + mine.tm_sec,
                  ref.tm_hour * 3600 + ref.tm_min * 60 + ref.tm_sec);
        ASSERT_EQ(mine.tm_wday, ref.tm_wday) << s;
        ASSERT_EQ(ko_time_make_second(&mine), s);
    }
}

TEST(KoTime, CheckTmTimeAndDateText)
{
    struct tm t {};
    t.tm_mday = 1;
    t.tm_yday = 59;
    EXPECT_EQ(ko_check_tm_time(&t), 0);
    t.tm_isdst = 2;
    EXPECT_EQ(ko_check_tm_time(&t), -1);
    char buf[32];
    EXPECT_EQ(ko_time_get_str_date_time(buf, 19), -1);
    ASSERT_EQ(ko_time_get_str_date_time(buf, sizeof(buf)), 0);
    EXPECT_EQ(std::strlen(buf), 17u);
    EXPECT_EQ(buf[4], ' ');
    EXPECT_EQ(buf[13], '.');
}

TEST(KoTime, ConversionsAndReplaceableTickSource)
{
    EXPECT_EQ(ko_sub_uint64(5, 7), 0u);
    EXPECT_EQ(ko_sub_uint64(7, 5), 2u);
    const uint64_t now_ms = vexa_time_get_ms();
    const uint64_t unix_ms = ko_tick_ms_to_unix_ms(vexa_time_tick_ms());
    EXPECT_LE(now_ms > unix_ms ? now_ms - unix_ms : unix_ms - now_ms, 50u);
    EXPECT_LE(ko_tick_us_to_unix_sec(vexa_time_tick_us()) - static_cast<uint64_t>(time(nullptr)) + 1, 2u);

    g_fake_us = 123456789;
    ko_time_set_tick_source(fake_clock);
    EXPECT_EQ(vexa_time_tick_us(), 123456789u);
    EXPECT_EQ(vexa_time_tick_ms(), 123456u);
    EXPECT_EQ(vexa_time_tick_s(), 123u);
    ko_time_set_tick_source(nullptr);
    EXPECT_NE(vexa_time_tick_us(), 123456789u);
}

TEST(KoTime, ReplaceableWallSourceReachesEveryWallReading)
{
    // 2040-02-29 12:00:00.250 UTC: past 2038, so 32-bit seconds anywhere in the path would show.
    g_fake_us = 2213956800ull * 1000000u + 250000u;
    ko_time_set_wall_source(fake_clock);
    EXPECT_EQ(vexa_time_get_us(), g_fake_us);
    EXPECT_EQ(vexa_time_get_ms(), 2213956800250u);
    EXPECT_EQ(vexa_time_realtime_ms(), 2213956800250u);
    char buf[32];
    ASSERT_EQ(ko_time_get_str_date_time(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf + 13, ".250");
    ko_time_set_wall_source(nullptr);
    EXPECT_LT(vexa_time_get_ms(), 2213956800250u);
}

// SDK log lines carry the local date: past January 2038 too, where a 32-bit time_t no longer holds
// the second count (it wrapped to December 1901).
TEST(KoTime, LocalDateTextPast2038)
{
    struct Case {
        uint64_t unix_s;
        const char *tz;
        const char *text;
    };
    const Case cases[] = {
        {2147483647u, "UTC0", "0119 03:14:07.999"}, // the last second a signed 32-bit count holds
        {2147483648u, "UTC0", "0119 03:14:08.999"},
        {2214086400u, "UTC0", "0229 00:00:00.999"},  // a leap day
        {2214086400u, "CST-8", "0229 08:00:00.999"}, // eight hours east of UTC
        {2214086400u, "EST5", "0228 19:00:00.999"},
        {4102444799u, "UTC0", "1231 23:59:59.999"}, // the last second of 2099
        // Summer time by the zone's rule: 2050-07-01 12:00 UTC is 14:00 in central Europe.
        {2540289600u, "CET-1CEST,M3.5.0,M10.5.0/3", "0701 14:00:00.999"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.unix_s) + " " + c.tz);
        zeltest::ScopedTz tz(c.tz);
        g_fake_us = c.unix_s * 1000000u + 999999u;
        ko_time_set_wall_source(fake_clock);
        char buf[32];
        ASSERT_EQ(ko_time_get_str_date_time(buf, sizeof(buf)), 0);
        ko_time_set_wall_source(nullptr);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(KoUtil, HexTextBothWays)
{
    unsigned char out[4] = {0};
    EXPECT_EQ(ko_str2hex_bin("0aFf", 4, out, sizeof(out)), 2);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0xff);
    EXPECT_EQ(ko_str2hex_bin("0g", 2, out, sizeof(out)), 0);
    EXPECT_EQ(ko_str2hex_bin("abc", 3, out, sizeof(out)), 0);
    EXPECT_EQ(ko_str2hex_bin("0011223344", 10, out, sizeof(out)), 0);
    const unsigned char bytes[] = {0x00, 0xab, 0x7f};
    char text[7];
    ko_byte2hex_string(text, sizeof(text), bytes, sizeof(bytes));
    EXPECT_STREQ(text, "00ab7f");
}

TEST(KoUtil, FileDeleteGoesThroughThePathRoot)
{
    zeltest::TempRoot root;
    root.write_file("/tmp/doomed", "x");
    EXPECT_EQ(ko_file_delete("/tmp/doomed"), 0);
    EXPECT_FALSE(root.exists("/tmp/doomed"));
    EXPECT_EQ(ko_file_delete("/tmp/doomed"), -1);
    EXPECT_EQ(ko_file_delete(nullptr), -1);
}

namespace {

struct ThreadSeen {
    char name[16];
    size_t stack;
};

void *record_thread(void *arg)
{
    auto *seen = static_cast<ThreadSeen *>(arg);
    pthread_getname_np(pthread_self(), seen->name, sizeof(seen->name));
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &seen->stack);
    pthread_attr_destroy(&attr);
    return nullptr;
}

void *idle_thread(void *)
{
    return nullptr;
}

} // namespace

TEST(KoThread, DefaultStackNameAndJoin)
{
    ko_thread_attr attr{};
    std::strcpy(attr.name, "a_rather_long_thread_name");
    ThreadSeen seen{};
    ko_thread *t = ko_thread_run(&attr, record_thread, &seen);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(attr.stack_size, 8388608u);
    EXPECT_EQ(ko_thread_destory(t), 0);
    EXPECT_STREQ(seen.name, "a_rather_long_t");
    EXPECT_GE(seen.stack, 8388608u);
    EXPECT_EQ(ko_thread_run(nullptr, record_thread, nullptr), nullptr);
    EXPECT_EQ(ko_thread_run(&attr, nullptr, nullptr), nullptr);
}

TEST(KoThread, DetachedHandleMayBeFreedAtOnce)
{
    for (int i = 0; i < 50; ++i) {
        ko_thread_attr attr{};
        attr.detached = 1;
        attr.stack_size = 64 * 1024;
        std::strcpy(attr.name, "detached");
        ko_thread *t = ko_thread_run(&attr, idle_thread, nullptr);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(ko_thread_destory(t), 0);
    }
}

// The starter's notes are SDK log lines at debug level: silent at the usual level 1, prefixed at 0.
TEST(KoThread, NotesGoToTheSdkLogAtDebugLevel)
{
    ko_log_param param{};
    param.level = KO_LOG_INFO;
    param.output = KO_LOG_OUT_CONSOLE;
    ASSERT_EQ(ko_log_init(&param), 0);
    const auto start_and_join = [] {
        ko_thread_attr attr{};
        std::strcpy(attr.name, "noted");
        testing::internal::CaptureStdout();
        ko_thread_destory(ko_thread_run(&attr, idle_thread, nullptr));
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(start_and_join(), "");
    param.level = KO_LOG_DEBUG;
    ASSERT_EQ(ko_log_param_set(&param), 0);
    const std::string out = start_and_join();
    EXPECT_NE(out.find("[D]["), std::string::npos) << out;
    EXPECT_NE(out.find("[KO THREAD][ko_thread.cpp:"), std::string::npos) << out;
    EXPECT_NE(out.find("start to destory thread noted detach 0"), std::string::npos) << out;
    EXPECT_EQ(ko_log_deinit(), 0);
}
