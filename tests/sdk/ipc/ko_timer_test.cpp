// The timer service: periods within tolerance, one-shots firing once, capacity, deletion from the
// timer's own callback, and ids that stay unique when descriptors are reused.
#include "common/ipc/ko_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

struct Fires {
    std::mutex lock;
    std::vector<uint64_t> at_ms;
    std::atomic<int> count{0};
    std::atomic<int> del_result{1};
};

void record(int, void *user)
{
    auto *f = static_cast<Fires *>(user);
    std::lock_guard<std::mutex> guard(f->lock);
    f->at_ms.push_back(vexa_time_tick_ms());
    ++f->count;
}

void delete_self(int id, void *user)
{
    auto *f = static_cast<Fires *>(user);
    ++f->count;
    f->del_result = ko_timer_del(id);
}

ko_timer make(uint32_t first, uint32_t interval, Fires *f, ko_timer_callback cb = record)
{
    ko_timer t{};
    t.first_ms = first;
    t.interval_ms = interval;
    t.user = f;
    t.callback = cb;
    return t;
}

class KoTimer : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ko_timer_init(16), 0); }
    void TearDown() override { EXPECT_EQ(ko_timer_deinit(), 0); }
};

} // namespace

TEST(KoTimerLifecycle, StartStopAndRefusals)
{
    ko_timer t{};
    EXPECT_EQ(ko_timer_add(&t), -1);
    EXPECT_EQ(ko_timer_deinit(), -1);
    EXPECT_EQ(ko_timer_init(0), -1);
    ASSERT_EQ(ko_timer_init(4), 0);
    EXPECT_EQ(ko_timer_init(4), -1);
    Fires f;
    t = make(0, 10, &f);
    EXPECT_EQ(ko_timer_add(&t), -1);
    t = make(10, 10, &f, nullptr);
    EXPECT_EQ(ko_timer_add(&t), -1);
    EXPECT_EQ(ko_timer_add(nullptr), -1);
    EXPECT_EQ(ko_timer_del(12345), -1);
    EXPECT_EQ(ko_timer_mod(12345, &t), -1);
    EXPECT_EQ(ko_timer_deinit(), 0);
}

TEST_F(KoTimer, PeriodicTimerKeepsItsPeriod)
{
    Fires f;
    const ko_timer t = make(100, 100, &f);
    const uint64_t start = vexa_time_tick_ms();
    const int id = ko_timer_add(&t);
    ASSERT_GE(id, 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 10; }, 5s));
    ASSERT_EQ(ko_timer_del(id), 0);
    std::lock_guard<std::mutex> guard(f.lock);
    // First expiry after 100 ms, then one per period; a loaded machine may stretch single gaps.
    EXPECT_GE(f.at_ms[0] - start, 95u);
    const double mean = static_cast<double>(f.at_ms[9] - f.at_ms[0]) / 9.0;
    EXPECT_GE(mean, 90.0);
    EXPECT_LE(mean, 100.0 + 60.0 * zeltest::time_scale());
}

namespace {

// The SDK's clocks as on a camera up for more than 49.7 days (a 32-bit millisecond count has
// wrapped) in the year 2040 (a 32-bit second count has wrapped): the real clocks, moved.
uint64_t moved_tick_us()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + (1ull << 32)) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t moved_wall_us()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t since_2026 = static_cast<uint64_t>(ts.tv_sec) - 1767225600u;
    return (2214086400u + since_2026) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace

TEST_F(KoTimer, PeriodsAndOneShotsHoldWithTheClocksPast2038)
{
    ko_time_set_tick_source(moved_tick_us);
    ko_time_set_wall_source(moved_wall_us);
    Fires periodic, once;
    const ko_timer p = make(50, 50, &periodic);
    const ko_timer o = make(120, 0, &once);
    const uint64_t start = vexa_time_tick_ms();
    ASSERT_GT(start, 1ull << 32);
    const int id = ko_timer_add(&p);
    ASSERT_GE(id, 0);
    ASSERT_GE(ko_timer_add(&o), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return periodic.count >= 6 && once.count == 1; }, 5s));
    ASSERT_EQ(ko_timer_del(id), 0);
    std::this_thread::sleep_for(zeltest::scaled(200ms));
    EXPECT_EQ(once.count, 1);
    {
        std::lock_guard<std::mutex> guard(periodic.lock);
        EXPECT_GE(periodic.at_ms[0] - start, 45u);
        const double mean = static_cast<double>(periodic.at_ms[5] - periodic.at_ms[0]) / 5.0;
        EXPECT_GE(mean, 45.0);
        EXPECT_LE(mean, 50.0 + 40.0 * zeltest::time_scale());
    }
    ko_time_set_tick_source(nullptr);
    ko_time_set_wall_source(nullptr);
}

TEST_F(KoTimer, OneShotFiresOnceAndLeavesTheTable)
{
    Fires f;
    const ko_timer t = make(30, 0, &f);
    const int id = ko_timer_add(&t);
    ASSERT_GE(id, 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 1; }, 3s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(f.count, 1);
    // Gone from the table within about 50 ms: deleting it is refused.
    EXPECT_TRUE(zeltest::wait_until([&] { return ko_timer_del(id) == -1; }, 2s));
}

TEST_F(KoTimer, DeleteFromItsOwnCallback)
{
    Fires f;
    const ko_timer t = make(20, 20, &f, delete_self);
    ASSERT_GE(ko_timer_add(&t), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 1; }, 3s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(f.count, 1);
    EXPECT_EQ(f.del_result, 0);
}

TEST_F(KoTimer, CapacityCountsDeletedTimersUntilTheyAreRemoved)
{
    Fires f;
    const ko_timer t = make(10000, 10000, &f);
    std::vector<int> ids;
    for (int i = 0; i < 16; ++i) {
        ids.push_back(ko_timer_add(&t));
        ASSERT_GE(ids.back(), 0);
    }
    EXPECT_EQ(ko_timer_add(&t), -1);
    ASSERT_EQ(ko_timer_del(ids[3]), 0);
    EXPECT_EQ(ko_timer_del(ids[3]), -1);
    EXPECT_TRUE(zeltest::wait_until([&] { return ko_timer_add(&t) >= 0; }, 2s));
    EXPECT_EQ(ko_timer_add(&t), -1);
}

TEST_F(KoTimer, StaleIdNeverTouchesALaterTimer)
{
    Fires first, second;
    const ko_timer once = make(10, 0, &first);
    const int stale = ko_timer_add(&once);
    ASSERT_GE(stale, 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return first.count >= 1 && ko_timer_del(stale) == -1; }, 3s));
    // The next timer most likely gets the same descriptor number; its id differs all the same.
    const ko_timer periodic = make(20, 20, &second);
    const int id = ko_timer_add(&periodic);
    ASSERT_GE(id, 0);
    EXPECT_NE(id, stale);
    EXPECT_EQ(ko_timer_del(stale), -1);
    EXPECT_TRUE(zeltest::wait_until([&] { return second.count >= 3; }, 3s));
    EXPECT_EQ(ko_timer_del(id), 0);
}

TEST_F(KoTimer, ModifyReArmsAndZeroDisarms)
{
    Fires f;
    ko_timer t = make(10000, 10000, &f);
    const int id = ko_timer_add(&t);
    ASSERT_GE(id, 0);
    t = make(20, 20, nullptr, nullptr);
    ASSERT_EQ(ko_timer_mod(id, &t), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.count >= 3; }, 3s));
    t.first_ms = 0;
    ASSERT_EQ(ko_timer_mod(id, &t), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return ko_timer_del(id) == -1; }, 2s));
    const int settled = f.count;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(f.count, settled);
}
