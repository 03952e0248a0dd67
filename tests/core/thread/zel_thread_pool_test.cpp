// The thread pool as its users meet it: live threads counted by the kernel (/proc/self/task) while
// the pool grows and shrinks, work ids, refusals, cancels, and release while items still run.
#include "zel_control/thread/zel_thread_pool.h"
#include "zel_control/thread/zel_thread_pool_test.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

using zeltest::task_count;

// The count once it holds still: under an emulator a joined thread's task can linger a moment.
int settled_task_count()
{
    int last = task_count();
    for (int i = 0; i < 100; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int now = task_count();
        if (now == last)
            return now;
        last = now;
    }
    return last;
}

// The threads alive before a test starts its own; one thread is started and joined first, so that
// helper threads a sanitizer starts with the first thread are already counted.
int baseline_tasks()
{
    std::thread([] {}).join();
    return settled_task_count();
}

// Work items that block until the gate opens.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> entered{0};
    std::atomic<int> finished{0};

    void release()
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
    static void *run(void *first, void *)
    {
        auto *g = static_cast<Gate *>(first);
        g->entered++;
        std::unique_lock<std::mutex> lock(g->m);
        g->cv.wait(lock, [g] { return g->open; });
        g->finished++;
        return nullptr;
    }
};

void *count_up(void *first, void *)
{
    static_cast<std::atomic<int> *>(first)->fetch_add(1);
    return nullptr;
}

struct PoolDeleter {
    void operator()(zel_thread_pool_t *p) const { zel_thread_pool_release(p); }
};
using PoolPtr = std::unique_ptr<zel_thread_pool_t, PoolDeleter>;

} // namespace

TEST(ZelThreadPoolCreate, RefusesMaxBelowMinAndNullArguments)
{
    EXPECT_EQ(zel_thread_pool_create(3, 2, 1, 10), nullptr);
    EXPECT_EQ(zel_thread_pool_create(0, 0, 1, 10), nullptr);
    PoolPtr pool(zel_thread_pool_create(0, 1, 1, 10));
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(zel_thread_pool_add_work(nullptr, count_up, nullptr, nullptr, nullptr), -2);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), nullptr, nullptr, nullptr, nullptr), -2);
    EXPECT_EQ(zel_thread_pool_live_workers(pool.get()), 0);  // no worker before the first item
}

TEST(ZelThreadPoolGrowth, GrowsToMaxAndNoFurtherThenShrinksToZero)
{
    const int before = baseline_tasks();
    Gate gate;
    PoolPtr pool(zel_thread_pool_create(1, 4, 2, 100));
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 40; i++)
        ASSERT_GE(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return gate.entered == 4; }, 3000ms));
    std::this_thread::sleep_for(zeltest::scaled(100ms));
    EXPECT_EQ(gate.entered, 4);
    EXPECT_EQ(zel_thread_pool_live_workers(pool.get()), 4);
    EXPECT_TRUE(zeltest::wait_until([&] { return task_count() == before + 4; }, 1000ms)) << task_count();

    gate.release();
    ASSERT_TRUE(zeltest::wait_until([&] { return gate.finished == 40; }, 5000ms));
    // Temporary workers leave once the queue is below the threshold; the permanent one stays.
    ASSERT_TRUE(zeltest::wait_until([&] { return task_count() == before + 1; }, 3000ms));
    EXPECT_EQ(zel_thread_pool_live_workers(pool.get()), 1);

    zel_thread_pool_set_idle_release(pool.get(), 200000);
    ASSERT_TRUE(zeltest::wait_until([&] { return task_count() == before; }, 3000ms));
    EXPECT_EQ(zel_thread_pool_live_workers(pool.get()), 0);

    // An emptied pool starts again on the next item.
    std::atomic<int> ran{0};
    ASSERT_GE(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return ran == 1; }, 2000ms));
}

TEST(ZelThreadPoolGrowth, MinZeroRunsASingleItemBelowTheThreshold)
{
    PoolPtr pool(zel_thread_pool_create(0, 2, 5, 10));
    std::atomic<int> ran{0};
    ASSERT_EQ(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return ran == 1; }, 2000ms));
}

TEST(ZelThreadPoolGrowth, LastTemporaryWorkerStaysWhileItemsWait)
{
    // min 0 and a threshold above what is queued: the only worker is temporary, and leaving after
    // its first item would strand the other two.
    PoolPtr pool(zel_thread_pool_create(0, 2, 4, 10));
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_GE(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return gate.entered == 1; }, 2000ms));
    ASSERT_GE(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), 0);
    ASSERT_GE(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), 0);
    gate.release();
    EXPECT_TRUE(zeltest::wait_until([&] { return ran == 2; }, 2000ms));
}

TEST(ZelThreadPoolIds, CountByOneAndARefusedItemTakesNone)
{
    Gate gate;
    PoolPtr pool(zel_thread_pool_create(1, 1, 100, 3));
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return gate.entered == 1; }, 2000ms));
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 1);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 2);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 3);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), -21);
    gate.release();
    ASSERT_TRUE(zeltest::wait_until([&] { return gate.finished == 4; }, 2000ms));
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr), 4);
}

TEST(ZelThreadPoolIds, StayNonNegativePastIntMax)
{
    PoolPtr pool(zel_thread_pool_create(1, 1, 1, 10));
    std::atomic<int> ran{0};
    zel_thread_pool_set_next_id(pool.get(), INT_MAX);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), INT_MAX);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), 0);
    EXPECT_EQ(zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr), 1);
    EXPECT_TRUE(zeltest::wait_until([&] { return ran == 3; }, 2000ms));
}

TEST(ZelThreadPoolCancel, RemovesAQueuedItemOnly)
{
    Gate gate;
    PoolPtr pool(zel_thread_pool_create(1, 1, 100, 10));
    const int running = zel_thread_pool_add_work(pool.get(), Gate::run, &gate, nullptr, nullptr);
    ASSERT_TRUE(zeltest::wait_until([&] { return gate.entered == 1; }, 2000ms));
    std::atomic<int> kept{0}, cancelled{0};
    ASSERT_GE(zel_thread_pool_add_work(pool.get(), count_up, &kept, nullptr, nullptr), 0);
    const int id = zel_thread_pool_add_work(pool.get(), count_up, &cancelled, nullptr, nullptr);
    EXPECT_EQ(zel_thread_pool_cancel_work(pool.get(), id), 0);
    EXPECT_EQ(zel_thread_pool_cancel_work(pool.get(), running), 0);  // running: untouched
    EXPECT_EQ(zel_thread_pool_cancel_work(pool.get(), 999), 0);
    gate.release();
    ASSERT_TRUE(zeltest::wait_until([&] { return kept == 1; }, 2000ms));
    std::this_thread::sleep_for(zeltest::scaled(50ms));
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(gate.finished, 1);
}

TEST(ZelThreadPoolDone, CompletionGetsTheResultAndSecondArgument)
{
    PoolPtr pool(zel_thread_pool_create(1, 2, 1, 10));
    static std::atomic<intptr_t> seen{0};
    static std::atomic<void *> second_seen{nullptr};
    int marker = 0;
    auto fn = [](void *first, void *) -> void * { return first; };
    auto done = [](void *result, void *second) {
        second_seen = second;
        seen = reinterpret_cast<intptr_t>(result);
    };
    ASSERT_GE(zel_thread_pool_add_work(pool.get(), fn, reinterpret_cast<void *>(42), &marker, done), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen == 42; }, 2000ms));
    EXPECT_EQ(second_seen, &marker);
}

TEST(ZelThreadPoolRelease, WaitsForRunningItemsAndDropsQueuedOnes)
{
    const int before = baseline_tasks();
    static std::atomic<int> finished{0}, started{0};
    finished = started = 0;
    auto slow = [](void *, void *) -> void * {
        started++;
        std::this_thread::sleep_for(300ms);
        finished++;
        return nullptr;
    };
    zel_thread_pool_t *pool = zel_thread_pool_create(2, 2, 100, 50);
    for (int i = 0; i < 20; i++)
        ASSERT_GE(zel_thread_pool_add_work(pool, slow, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return started == 2; }, 2000ms));
    zel_thread_pool_release(pool);
    // Both running items ended before release returned; none of the 18 queued ran.
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(started, 2);
    // Joined, not merely told to stop. Under an emulator (time scale above 1) the joined threads'
    // tasks may take a moment to leave the list.
    EXPECT_EQ(zeltest::time_scale() > 1 ? settled_task_count() : task_count(), before);
}

TEST(ZelThreadPoolConcurrency, EightProducersLoseNothing)
{
    PoolPtr pool(zel_thread_pool_create(2, 6, 8, 100000));
    std::atomic<int> ran{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 8; p++) {
        producers.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                while (zel_thread_pool_add_work(pool.get(), count_up, &ran, nullptr, nullptr) == -21)
                    std::this_thread::yield();
            }
        });
    }
    for (auto &t : producers)
        t.join();
    EXPECT_TRUE(zeltest::wait_until([&] { return ran == 16000; }, 10000ms));
}
