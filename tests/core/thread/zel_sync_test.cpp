// The rendezvous and the semaphores: wake-ups that come early, refusals, time-outs measured on the
// monotonic clock, and release under a waiter.
#include "zel_control/thread/zel_semaphore.h"
#include "zel_control/thread/zel_sync.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace

TEST(ZelSync, SetWakesTheWaiterAndCarriesItsContext)
{
    zel_sync_t *sync = zel_sync_create();
    ASSERT_NE(sync, nullptr);
    const int32_t key = 5;
    EXPECT_EQ(zel_sync_set(sync, &key), -4);  // nobody waits yet
    std::atomic<int> result{1};
    std::thread waiter([&] { result = zel_sync_wait(sync, &key, 77, 5000); });
    ASSERT_TRUE(zeltest::wait_until([&] { return zel_sync_get_ctx(sync, &key) == 77; }, 2000ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zel_sync_set(sync, &key), 0);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_LT(since(start), zeltest::scaled(1000ms));
    EXPECT_EQ(zel_sync_get_ctx(sync, &key), 0);
    zel_sync_release(sync);
}

TEST(ZelSync, SecondWaiterOnAKeyIsRefused)
{
    zel_sync_t *sync = zel_sync_create();
    const int32_t key = 9;
    std::thread waiter([&] { zel_sync_wait(sync, &key, 1, 5000); });
    ASSERT_TRUE(zeltest::wait_until([&] { return zel_sync_get_ctx(sync, &key) == 1; }, 2000ms));
    EXPECT_EQ(zel_sync_wait(sync, &key, 2, 10), -50);
    EXPECT_EQ(zel_sync_set(sync, &key), 0);
    waiter.join();
    zel_sync_release(sync);
}

TEST(ZelSync, TimesOutWithMinus8AfterTheFullWait)
{
    zel_sync_t *sync = zel_sync_create();
    const int32_t key = 3;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zel_sync_wait(sync, &key, 1, 150), -8);
    EXPECT_GE(since(start), 150ms);
    EXPECT_EQ(zel_sync_wait(nullptr, &key, 1, 1), -2);
    // The key is free again.
    EXPECT_EQ(zel_sync_wait(sync, &key, 1, 1), -8);
    zel_sync_release(sync);
}

TEST(ZelSync, ManyKeysFromManyThreads)
{
    zel_sync_t *sync = zel_sync_create();
    constexpr int kThreads = 24;  // more than the pool of 16 waiter records
    std::vector<int32_t> keys(kThreads);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kThreads; i++) {
        keys[i] = 100 + i;
        waiters.emplace_back([&, i] {
            if (zel_sync_wait(sync, &keys[i], i + 1, 10000) == 0)
                woken++;
        });
    }
    for (int i = 0; i < kThreads; i++) {
        ASSERT_TRUE(zeltest::wait_until([&] { return zel_sync_get_ctx(sync, &keys[i]) == i + 1; }, 2000ms));
        EXPECT_EQ(zel_sync_set(sync, &keys[i]), 0);
    }
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(woken, kThreads);
    zel_sync_release(sync);
}

TEST(ZelSync, ReleaseWakesAWaiterThatThenLeavesItsRecordAlone)
{
    zel_sync_t *sync = zel_sync_create();
    const int32_t key = 1;
    std::atomic<int> result{1};
    std::thread waiter([&] { result = zel_sync_wait(sync, &key, 4, 10000); });
    ASSERT_TRUE(zeltest::wait_until([&] { return zel_sync_get_ctx(sync, &key) == 4; }, 2000ms));
    const auto start = std::chrono::steady_clock::now();
    zel_sync_release(sync);
    waiter.join();
    EXPECT_EQ(result, -1);
    EXPECT_LT(since(start), zeltest::scaled(1000ms));
}

TEST(ZelSemaphore, PostWaitAndNullArguments)
{
    semaphore_t *sem = semaphore_init(1);
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(semaphore_wait(sem, 0), 0);
    EXPECT_EQ(semaphore_wait(sem, 0), ETIMEDOUT);
    EXPECT_EQ(semaphore_post(sem), 0);
    EXPECT_EQ(semaphore_wait(sem, -1), 0);
    EXPECT_EQ(semaphore_post(nullptr), -2);
    EXPECT_EQ(semaphore_wait(nullptr, 10), -2);
    semaphore_destory(sem);
    semaphore_destory(nullptr);
}

TEST(ZelSemaphore, TimedWaitLastsItsFullTimeFromAnyStartingNanosecond)
{
    // Started where the clock's nanoseconds are above half a second, so that a deadline computed
    // without carrying the nanoseconds would be off by a second.
    semaphore_t *sem = semaphore_init(0);
    struct timespec now;
    do {
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while (now.tv_nsec < 550000000L || now.tv_nsec > 900000000L);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(semaphore_wait(sem, 1999), ETIMEDOUT);
    const auto waited = since(start);
    EXPECT_GE(waited, 1999ms);
    EXPECT_LT(waited, 1999ms + zeltest::scaled(300ms));
    semaphore_destory(sem);
}

TEST(ZelSemaphore, APostFromAnotherThreadEndsTheWait)
{
    semaphore_t *sem = semaphore_init(0);
    std::thread poster([&] {
        std::this_thread::sleep_for(50ms);
        semaphore_post(sem);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(semaphore_wait(sem, 5000), 0);
    EXPECT_LT(since(start), zeltest::scaled(1000ms));
    poster.join();
    semaphore_destory(sem);
}
