// The schedule on a test wall clock: next times across minute, hour, day, week, month and year ends,
// a leap day, a zone west of UTC and dates after 2038; refusals; a period's accuracy; calendar
// entries after steps of the wall clock; callbacks that cancel themselves or register others.
#include "zel_control/thread/zel_schedule.h"
#include "zel_control/thread/zel_schedule_test.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zel_control/utils/zel_time.h"
#include "zel_test_clock.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;
using zeltest::ScopedTz;
using zeltest::TestWallClock;

namespace {

constexpr int64_t kSec = 1000000;
constexpr int64_t kMin = 60 * kSec;
constexpr int64_t kHour = 60 * kMin;
constexpr int64_t kDay = 24 * kHour;

int64_t local_us(int y, int mo, int d, int h, int mi, int s)
{
    const zel_time t = zel_time_create(y, mo, d, h, mi, s, 0);
    return t.sec * kSec;
}

int64_t utc_us(int y, int mo, int d, int h, int mi, int s)
{
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<int64_t>(timegm(&tm)) * kSec;
}

void nothing(zel_schedule_t *, void *) {}

struct ScheduleDeleter {
    void operator()(zel_schedule_t *s) const { zel_schedule_release(s); }
};
using SchedulePtr = std::unique_ptr<zel_schedule_t, ScheduleDeleter>;

int64_t due_of(zel_schedule_t *s, void *user)
{
    int64_t due = -1;
    EXPECT_EQ(zel_schedule_peek_due(s, user, &due), 0);
    return due;
}

// Fire times of one entry: monotonic and wall clock.
struct Fires {
    std::mutex m;
    std::vector<int64_t> mono, wall;
    std::atomic<int> count{0};
    static void record(zel_schedule_t *, void *user)
    {
        auto *f = static_cast<Fires *>(user);
        std::lock_guard<std::mutex> lock(f->m);
        f->mono.push_back(TestWallClock::monotonic_us());
        f->wall.push_back(zel_time_wall_us());
        f->count++;
    }
};

int tag[16];  // distinct user data

} // namespace

TEST(ZelScheduleNextTime, DayHourAndMinuteOffsetsFromTen)
{
    ScopedTz tz("UTC0");
    TestWallClock clock(local_us(2027, 1, 31, 10, 0, 0));
    SchedulePtr s(zel_schedule_create());
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 8 * kHour, nothing, &tag[0]), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 12 * kHour, nothing, &tag[1]), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_HOUR, 30 * kMin, nothing, &tag[2]), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_MINUTE, 15 * kSec, nothing, &tag[3]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[0]), local_us(2027, 2, 1, 8, 0, 0));  // over the month's end
    EXPECT_EQ(due_of(s.get(), &tag[1]), local_us(2027, 1, 31, 12, 0, 0));
    EXPECT_EQ(due_of(s.get(), &tag[2]), local_us(2027, 1, 31, 10, 30, 0));
    EXPECT_EQ(due_of(s.get(), &tag[3]), local_us(2027, 1, 31, 10, 0, 15));
    EXPECT_EQ(zel_schedule_get_count(s.get()), 4);
}

TEST(ZelScheduleNextTime, YearEndAndLeapDay)
{
    ScopedTz tz("UTC0");
    {
        TestWallClock clock(local_us(2026, 12, 31, 20, 0, 0));
        SchedulePtr s(zel_schedule_create());
        ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 8 * kHour, nothing, &tag[0]), 0);
        EXPECT_EQ(due_of(s.get(), &tag[0]), local_us(2027, 1, 1, 8, 0, 0));
        // 2026-12-31 is a Thursday: the week starting on Sunday 00:00 begins on 2027-01-03.
        ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_WEEK, 0, nothing, &tag[1]), 0);
        EXPECT_EQ(due_of(s.get(), &tag[1]), local_us(2027, 1, 3, 0, 0, 0));
    }
    {
        TestWallClock clock(local_us(2028, 2, 28, 20, 0, 0));
        SchedulePtr s(zel_schedule_create());
        ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 8 * kHour, nothing, &tag[0]), 0);
        EXPECT_EQ(due_of(s.get(), &tag[0]), local_us(2028, 2, 29, 8, 0, 0));
        ASSERT_EQ(zel_schedule_register_onetime(s.get(), 2028, 2, 29, 12, 0, 0, nothing, &tag[1]), 0);
        EXPECT_EQ(due_of(s.get(), &tag[1]), utc_us(2028, 2, 29, 12, 0, 0));
    }
}

TEST(ZelScheduleNextTime, WeekOffsetsFromAWednesday)
{
    ScopedTz tz("UTC0");
    TestWallClock clock(local_us(2027, 1, 6, 10, 0, 0));  // a Wednesday
    SchedulePtr s(zel_schedule_create());
    // Monday 09:00 has passed this week; Thursday 12:00 has not.
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_WEEK, kDay + 9 * kHour, nothing, &tag[0]), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_WEEK, 4 * kDay + 12 * kHour, nothing, &tag[1]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[0]), local_us(2027, 1, 11, 9, 0, 0));
    EXPECT_EQ(due_of(s.get(), &tag[1]), local_us(2027, 1, 7, 12, 0, 0));
}

TEST(ZelScheduleNextTime, ZoneWestOfUtc)
{
    ScopedTz tz("EST5");
    ASSERT_EQ(zel_local_timezone(), -5);
    TestWallClock clock(utc_us(2027, 3, 10, 15, 0, 0));  // 10:00 local
    SchedulePtr s(zel_schedule_create());
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 8 * kHour, nothing, &tag[0]), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 12 * kHour, nothing, &tag[1]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[0]), utc_us(2027, 3, 11, 13, 0, 0));
    EXPECT_EQ(due_of(s.get(), &tag[1]), utc_us(2027, 3, 10, 17, 0, 0));
    // Local Sunday midnight, not UTC's: Sunday 2027-03-14 00:00 local is 05:00 UTC.
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_WEEK, 0, nothing, &tag[2]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[2]), utc_us(2027, 3, 14, 5, 0, 0));
}

TEST(ZelScheduleNextTime, DatesAfter2038StayPositive)
{
    // Seconds since 1970 written out: a 32-bit time_t cannot compute them.
    constexpr int64_t k20400601_1000 = 2222157600LL * kSec;
    constexpr int64_t k20400602_0800 = 2222236800LL * kSec;
    constexpr int64_t k20410101_0000 = 2240611200LL * kSec;
    ScopedTz tz("UTC0");
    TestWallClock clock(k20400601_1000);
    SchedulePtr s(zel_schedule_create());
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 8 * kHour, nothing, &tag[0]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[0]), k20400602_0800);
    ASSERT_EQ(zel_schedule_register_onetime(s.get(), 2041, 1, 1, 0, 0, 0, nothing, &tag[1]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[1]), k20410101_0000);
    EXPECT_EQ(zel_schedule_register_onetime(s.get(), 2040, 5, 31, 0, 0, 0, nothing, &tag[2]), -31);
}

TEST(ZelScheduleRegister, RefusesWhatWouldNeverOrAlwaysFire)
{
    ScopedTz tz("UTC0");
    SchedulePtr s(zel_schedule_create());
    EXPECT_EQ(zel_schedule_register(nullptr, ZEL_SCHEDULE_DELAY, 1, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DELAY, 1, nullptr, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), 7, kSec, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_ONETIME, kSec, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_PERIOD, 0, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_PERIOD, -5, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DELAY, -1, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_MINUTE, kMin, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, -kHour, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_WEEK, 7 * kDay, nothing, nullptr), -2);
    EXPECT_EQ(zel_schedule_register_onetime(s.get(), 2001, 1, 1, 0, 0, 0, nothing, nullptr), -31);
    EXPECT_EQ(zel_schedule_get_count(s.get()), 0);
}

TEST(ZelScheduleRegister, The33rdEntryIsRefused)
{
    SchedulePtr s(zel_schedule_create());
    for (int i = 0; i < ZEL_SCHEDULE_MAX_ENTRIES; i++)
        ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DELAY, 3600 * kSec, nothing, &tag[i % 16]), 0);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, kHour, nothing, nullptr), -21);
    EXPECT_EQ(zel_schedule_get_count(s.get()), ZEL_SCHEDULE_MAX_ENTRIES);
    EXPECT_EQ(zel_schedule_cancel(s.get(), &tag[0]), 0);
    EXPECT_EQ(zel_schedule_get_count(s.get()), ZEL_SCHEDULE_MAX_ENTRIES - 1);
    EXPECT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, kHour, nothing, nullptr), 0);
}

TEST(ZelScheduleSkip, MovesADailyEntryOneDayAndEndsADelay)
{
    ScopedTz tz("UTC0");
    TestWallClock clock(local_us(2027, 6, 1, 10, 0, 0));
    SchedulePtr s(zel_schedule_create());
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 8 * kHour, nothing, &tag[0]), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DELAY, 3600 * kSec, nothing, &tag[1]), 0);
    EXPECT_EQ(zel_schedule_skip_next(s.get(), &tag[0]), 0);
    EXPECT_EQ(due_of(s.get(), &tag[0]), local_us(2027, 6, 3, 8, 0, 0));
    EXPECT_EQ(zel_schedule_skip_next(s.get(), &tag[1]), 0);
    EXPECT_EQ(zel_schedule_get_count(s.get()), 1);
    EXPECT_EQ(zel_schedule_skip_next(s.get(), &tag[5]), -4);
    EXPECT_EQ(zel_schedule_skip_next(nullptr, &tag[5]), -2);
}

TEST(ZelScheduleFiring, A200MsPeriodIsNeverEarlyAndDoesNotDrift)
{
    SchedulePtr s(zel_schedule_create());
    Fires f;
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_PERIOD, 200000, Fires::record, &f), 0);
    const int64_t first = due_of(s.get(), &f);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 20; }, 6000ms));
    zel_schedule_cancel(s.get(), &f);
    std::lock_guard<std::mutex> lock(f.m);
    const int64_t tolerance = zeltest::scaled(100ms).count() * 1000;
    for (int k = 0; k < 20; k++) {
        const int64_t expected = first + k * 200000;
        EXPECT_GE(f.mono[k], expected) << "fire " << k;
        EXPECT_LT(f.mono[k], expected + tolerance) << "fire " << k;
    }
}

TEST(ZelScheduleFiring, ADelayFiresOnceAndEnds)
{
    SchedulePtr s(zel_schedule_create());
    Fires f;
    const int64_t start = TestWallClock::monotonic_us();
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DELAY, 100000, Fires::record, &f), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count == 1; }, 2000ms));
    ASSERT_TRUE(zeltest::wait_until([&] { return zel_schedule_get_count(s.get()) == 0; }, 1000ms));
    std::this_thread::sleep_for(zeltest::scaled(150ms));
    EXPECT_EQ(f.count, 1);
    EXPECT_GE(f.mono[0] - start, 100000);
}

namespace {

// Registers a minute entry (offset 0) and a daily entry at 12:00, steps the clock by `step`, and
// checks that both fire when the stepped wall clock reaches a full minute, within a second of it (a
// forward step over the minute entry's time runs it once at once before).
void expect_calendar_follows_step(int64_t start, int64_t step)
{
    ScopedTz tz("UTC0");
    TestWallClock clock(start);
    SchedulePtr s(zel_schedule_create());
    Fires minute, noon;
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_MINUTE, 0, Fires::record, &minute), 0);
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_DAY, 12 * kHour, Fires::record, &noon), 0);
    clock.step(step);
    const int64_t stepped = TestWallClock::monotonic_us();
    const size_t full = step > 0 ? 1 : 0;
    ASSERT_TRUE(zeltest::wait_until([&] { return minute.count > static_cast<int>(full); }, 5000ms));
    std::lock_guard<std::mutex> lock(minute.m);
    const int64_t in_minute = minute.wall[full] % kMin;
    EXPECT_LT(in_minute, kSec + zeltest::scaled(200ms).count() * 1000) << "fired at second " << in_minute / kSec;
    EXPECT_LT(minute.mono[full] - stepped, 3 * kSec + zeltest::scaled(500ms).count() * 1000);
    if (full) {
        EXPECT_LT(minute.mono[0] - stepped, zeltest::scaled(1500ms).count() * 1000);
    }
    if (step > 0) {
        // The daily entry's noon came 1.5 s after the forward step.
        ASSERT_TRUE(zeltest::wait_until([&] { return noon.count == 1; }, 2000ms));
        std::lock_guard<std::mutex> noon_lock(noon.m);
        EXPECT_GE(noon.wall[0], utc_us(2027, 5, 5, 12, 0, 0));
        EXPECT_LT(noon.wall[0], utc_us(2027, 5, 5, 12, 0, 1) + zeltest::scaled(200ms).count() * 1000);
    } else {
        EXPECT_EQ(noon.count, 0);
        EXPECT_EQ(due_of(s.get(), &noon), utc_us(2027, 5, 5, 12, 0, 0));
    }
}

} // namespace

TEST(ZelScheduleWallStep, CalendarEntriesFollowAForwardHour)
{
    expect_calendar_follows_step(utc_us(2027, 5, 5, 10, 59, 58) + 500000, kHour);
}

TEST(ZelScheduleWallStep, CalendarEntriesFollowABackwardHour)
{
    expect_calendar_follows_step(utc_us(2027, 5, 5, 11, 59, 58) + 500000, -kHour);
}

TEST(ZelScheduleWallStep, AnHourlyEntryRunsOnceForEachHourTheClockPasses)
{
    ScopedTz tz("UTC0");
    TestWallClock clock(utc_us(2027, 5, 5, 8, 59, 59) + 500000);
    SchedulePtr s(zel_schedule_create());
    Fires f;
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_HOUR, 0, Fires::record, &f), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count == 1; }, 3000ms));
    clock.step(-3 * kSec);
    const int64_t nine_again = utc_us(2027, 5, 5, 9, 0, 0) + zeltest::scaled(500ms).count() * 1000;
    ASSERT_TRUE(zeltest::wait_until([&] { return TestWallClock::read() > nine_again; }, 6000ms));
    EXPECT_EQ(f.count, 1);
    EXPECT_EQ(due_of(s.get(), &f), utc_us(2027, 5, 5, 10, 0, 0));
    // Forward over 10:00: that hour still runs, at once.
    clock.step(utc_us(2027, 5, 5, 10, 0, 2) - TestWallClock::read());
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count == 2; }, 3000ms));
    EXPECT_EQ(due_of(s.get(), &f), utc_us(2027, 5, 5, 11, 0, 0));
}

TEST(ZelScheduleWallStep, APeriodKeepsItsSpacing)
{
    TestWallClock clock(utc_us(2027, 5, 5, 10, 0, 0));
    SchedulePtr s(zel_schedule_create());
    Fires f;
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_PERIOD, 300000, Fires::record, &f), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 2; }, 3000ms));
    clock.step(kHour);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 4; }, 3000ms));
    clock.step(-2 * kHour);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 6; }, 3000ms));
    zel_schedule_cancel(s.get(), &f);
    std::lock_guard<std::mutex> lock(f.m);
    const int64_t tolerance = zeltest::scaled(100ms).count() * 1000;
    for (int k = 1; k < 6; k++) {
        EXPECT_GT(f.mono[k] - f.mono[k - 1], 300000 - tolerance) << k;
        EXPECT_LT(f.mono[k] - f.mono[k - 1], 300000 + tolerance) << k;
    }
}

namespace {

struct SelfCancel {
    std::atomic<int> first{0};
    Fires second;
};

void cancel_self_and_register(zel_schedule_t *s, void *user)
{
    auto *c = static_cast<SelfCancel *>(user);
    c->first++;
    // The schedule's own operations from inside a callback: no deadlock, and the cancel wins over
    // the re-insertion of this period.
    EXPECT_EQ(zel_schedule_cancel(s, c), 0);
    EXPECT_EQ(zel_schedule_get_count(s), 0);
    EXPECT_EQ(zel_schedule_register(s, ZEL_SCHEDULE_DELAY, 50000, Fires::record, &c->second), 0);
}

} // namespace

TEST(ZelScheduleCallbacks, ACallbackCancelsItselfAndRegistersAnother)
{
    SchedulePtr s(zel_schedule_create());
    SelfCancel c;
    ASSERT_EQ(zel_schedule_register(s.get(), ZEL_SCHEDULE_PERIOD, 50000, cancel_self_and_register, &c), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return c.second.count == 1; }, 2000ms));
    std::this_thread::sleep_for(zeltest::scaled(200ms));
    EXPECT_EQ(c.first, 1);
    EXPECT_EQ(c.second.count, 1);
    EXPECT_EQ(zel_schedule_get_count(s.get()), 0);
}

TEST(ZelScheduleCallbacks, OnAPoolTheyRunOffTheScheduleThreadAndReleaseWaitsForThem)
{
    zel_thread_pool_t *pool = zel_thread_pool_create(1, 2, 4, 16);
    zel_schedule_t *s = zel_schedule_create();
    zel_schedule_timer_set_pool(s, pool);
    static std::atomic<int> started{0}, finished{0};
    started = finished = 0;
    auto slow = [](zel_schedule_t *, void *) {
        started++;
        std::this_thread::sleep_for(200ms);
        finished++;
    };
    ASSERT_EQ(zel_schedule_register(s, ZEL_SCHEDULE_DELAY, 0, slow, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return started == 1; }, 2000ms));
    zel_schedule_release(s);
    EXPECT_EQ(finished, 1);
    zel_thread_pool_release(pool);
}

TEST(ZelScheduleConcurrency, RegisterAndCancelFromManyThreadsWhileFiring)
{
    SchedulePtr s(zel_schedule_create());
    std::atomic<int> fired{0};  // registrations tried
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                void *user = &tag[t];
                zel_schedule_register(
                    s.get(), i % 2 ? ZEL_SCHEDULE_DELAY : ZEL_SCHEDULE_PERIOD, 1000 + i,
                    [](zel_schedule_t *, void *) {}, user);
                if (i % 3 == 0)
                    zel_schedule_cancel(s.get(), user);
                fired++;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(fired, 800);
    // Periods left over keep firing; cancelling them all (also one in its callback) empties it.
    EXPECT_TRUE(zeltest::wait_until([&] {
        for (int t = 0; t < 4; t++)
            zel_schedule_cancel(s.get(), &tag[t]);
        return zel_schedule_get_count(s.get()) == 0;
    }, 2000ms));
}
