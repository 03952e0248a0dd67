// Dispatch queues, timers, one-off threads and groups: order and thread of delivery, refusal when
// full, timer arithmetic, synchronous requests in line with other items, and items that look like
// requests.
#include "zel_control/thread/zel_dispatch.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

// What a queue's callback saw, in order.
struct Recorder {
    std::mutex m;
    std::vector<void *> items;
    std::vector<pthread_t> threads;
    std::atomic<int> count{0};
    std::atomic<bool> hold{false};
    std::atomic<int> entered{0};

    static int callback(void *item, void *user)
    {
        auto *r = static_cast<Recorder *>(user);
        r->entered++;
        while (r->hold)
            std::this_thread::sleep_for(1ms);
        std::lock_guard<std::mutex> lock(r->m);
        r->items.push_back(item);
        r->threads.push_back(pthread_self());
        r->count++;
        return 7;
    }
};

int counting(void *, void *user)
{
    static_cast<std::atomic<int> *>(user)->fetch_add(1);
    return 0;
}

} // namespace

TEST(ZelDispatchQueue, DeliversInOrderOnItsThreadAndDrainsBeforeStop)
{
    Recorder r;
    zel_dispatch_t *q = dispatch_create(Recorder::callback, &r);
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(dispatch_queue_start(q, 64), 0);
    EXPECT_EQ(dispatch_queue_start(q, 64), -10);
    int values[50];
    for (int &v : values)
        ASSERT_EQ(dispatch_queue_putq(q, &v), 0);
    EXPECT_EQ(dispatch_queue_stop(q), 0);
    ASSERT_EQ(r.items.size(), 50u);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(r.items[i], &values[i]);
    for (pthread_t t : r.threads) {
        EXPECT_TRUE(pthread_equal(t, r.threads[0]));
        EXPECT_FALSE(pthread_equal(t, pthread_self()));
    }
    EXPECT_EQ(dispatch_queue_putq(q, &values[0]), -2);  // stopped
    // It starts again after its stop.
    ASSERT_EQ(dispatch_queue_start(q, 4), 0);
    ASSERT_EQ(dispatch_queue_putq(q, &values[1]), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return r.count == 51; }, 2000ms));
    dispatch_release(q);
}

TEST(ZelDispatchQueue, FullRingRefusesWith21)
{
    Recorder r;
    r.hold = true;
    zel_dispatch_t *q = dispatch_create(Recorder::callback, &r);
    ASSERT_EQ(dispatch_queue_start(q, 4), 0);
    int v[6];
    ASSERT_EQ(dispatch_queue_putq(q, &v[0]), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return r.entered == 1; }, 2000ms));
    for (int i = 1; i <= 4; i++)
        ASSERT_EQ(dispatch_queue_putq(q, &v[i]), 0);
    EXPECT_EQ(dispatch_queue_len(q), 4);
    EXPECT_EQ(dispatch_queue_putq(q, &v[5]), -21);
    EXPECT_EQ(getq(q), &v[1]);  // taken: the consumer never sees it
    EXPECT_EQ(getq_len(q), 3);
    r.hold = false;
    EXPECT_EQ(dispatch_queue_stop(q), 0);
    EXPECT_EQ(r.count, 4);
    dispatch_release(q);
}

TEST(ZelDispatchQueue, AnItemHoldingTheSyncMarkerIsDeliveredAsAnItem)
{
    Recorder r;
    zel_dispatch_t *q = dispatch_create(Recorder::callback, &r);
    ASSERT_EQ(dispatch_queue_start(q, 8), 0);
    // The marker in the second word and a wild pointer in the third, and an item of one byte.
    uint32_t looks_like_request[8] = {0, 0x434E5953u, 0xDEADBEEFu, 0, 0, 0, 0, 0};
    char *tiny = new char[1]{'x'};
    ASSERT_EQ(dispatch_queue_putq(q, looks_like_request), 0);
    ASSERT_EQ(dispatch_queue_putq(q, tiny), 0);
    EXPECT_EQ(dispatch_queue_stop(q), 0);
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_EQ(r.items[0], looks_like_request);
    EXPECT_EQ(r.items[1], tiny);
    delete[] tiny;
    dispatch_release(q);
}

TEST(ZelDispatchQueue, SyncInQueueRunsInOrderOnTheQueueThread)
{
    Recorder r;
    zel_dispatch_t *q = dispatch_create(Recorder::callback, &r);
    ASSERT_EQ(dispatch_queue_start(q, 16), 0);
    r.hold = true;
    int v[3];
    for (int &x : v)
        ASSERT_EQ(dispatch_queue_putq(q, &x), 0);

    struct Probe {
        Recorder *queue;
        int seen_before;
        pthread_t thread;
    } probe{&r, -1, {}};
    zel_dispatch_t *job = dispatch_create(
        [](void *item, void *user) {
            auto *p = static_cast<Probe *>(user);
            p->seen_before = p->queue->count;
            p->thread = pthread_self();
            return item ? 123 : -1;
        },
        &probe);
    std::thread release([&] {
        std::this_thread::sleep_for(zeltest::scaled(50ms));
        r.hold = false;
    });
    EXPECT_EQ(dispatch_thread_sync_in_queue(job, q), 123);
    release.join();
    EXPECT_EQ(probe.seen_before, 3);  // after the three items queued before it
    EXPECT_TRUE(pthread_equal(probe.thread, r.threads[0]));
    EXPECT_EQ(dispatch_get_result(job), 123);
    EXPECT_EQ(dispatch_queue_stop(q), 0);
    EXPECT_EQ(r.count, 3);  // the request never reached the queue's own callback
    // A stopped queue refuses the request instead of leaving the caller waiting for ever.
    EXPECT_EQ(dispatch_thread_sync_in_queue(job, q), -2);
    dispatch_release(job);
    dispatch_release(q);
}

TEST(ZelDispatchQueue, ReleaseOfARunningQueueStopsItFirst)
{
    Recorder r;
    zel_dispatch_t *q = dispatch_create(Recorder::callback, &r);
    ASSERT_EQ(dispatch_queue_start(q, 16), 0);
    int v[10];
    for (int &x : v)
        ASSERT_EQ(dispatch_queue_putq(q, &x), 0);
    dispatch_release(q);  // no stop before: under ASan a freed object in use would show here
    EXPECT_EQ(r.count, 10);
}

TEST(ZelDispatchTimer, TwoFiresAndOneIntervalMakeThreeCalls)
{
    std::atomic<int> calls{0};
    zel_dispatch_t *t = dispatch_create(counting, &calls);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(dispatch_timer_start(t, 1000), 0);
    EXPECT_EQ(dispatch_timer_start(t, 1000), -10);
    dispatch_timer_fire(t);
    dispatch_timer_fire(t);
    ASSERT_TRUE(zeltest::wait_until([&] { return calls == 2; }, 500ms));
    ASSERT_TRUE(zeltest::wait_until([&] { return calls == 3; }, 1500ms));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 950ms);
    EXPECT_LE(elapsed, 1000ms + zeltest::scaled(300ms));
    EXPECT_EQ(dispatch_timer_stop(t), 0);
    const int after_stop = calls;
    std::this_thread::sleep_for(zeltest::scaled(100ms));
    EXPECT_EQ(calls, after_stop);
    dispatch_release(t);
}

TEST(ZelDispatchTimer, PauseHoldsAndResumeRunsAtOnce)
{
    std::atomic<int> calls{0};
    zel_dispatch_t *t = dispatch_create(counting, &calls);
    ASSERT_EQ(dispatch_timer_start(t, 100), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return calls >= 1; }, 1000ms));
    dispatch_timer_pause(t);
    std::this_thread::sleep_for(zeltest::scaled(150ms));  // the wait in progress may still end in one call
    const int paused = calls;
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(calls, paused);
    dispatch_timer_fire(t);  // paused: a fire runs nothing
    std::this_thread::sleep_for(zeltest::scaled(50ms));
    EXPECT_EQ(calls, paused);
    dispatch_timer_resume(t);
    EXPECT_TRUE(zeltest::wait_until([&] { return calls == paused + 1; }, 50ms));
    dispatch_release(t);  // a running timer: stopped by release
}

TEST(ZelDispatchThread, SyncReturnsTheResultAndAsyncCanRunAgain)
{
    std::atomic<int> calls{0};
    zel_dispatch_t *o = dispatch_create(
        [](void *, void *user) {
            static_cast<std::atomic<int> *>(user)->fetch_add(1);
            return 55;
        },
        &calls);
    EXPECT_EQ(dispatch_thread_sync(o), 55);
    EXPECT_EQ(dispatch_thread_async(o), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return calls == 2; }, 1000ms));
    std::this_thread::sleep_for(zeltest::scaled(20ms));
    EXPECT_EQ(dispatch_thread_async(o), 0);  // the finished thread does not count as running
    ASSERT_TRUE(zeltest::wait_until([&] { return calls == 3; }, 1000ms));
    dispatch_release(o);
    EXPECT_EQ(dispatch_get_result(nullptr), -2);
}

TEST(ZelDispatchGroup, StartsStopsAndLeaveRemoves)
{
    std::atomic<int> ticks{0};
    Recorder r;
    zel_dispatch_t *q = dispatch_create(Recorder::callback, &r);
    zel_dispatch_t *t = dispatch_create(counting, &ticks);
    zel_dispatch_t *idle = dispatch_create(counting, &ticks);
    ASSERT_EQ(dispatch_queue_start(q, 8), 0);
    ASSERT_EQ(dispatch_timer_start(t, 20), 0);
    zel_dispatch_group_t *g = dispatch_group_create();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(dispatch_group_enter(g, q), 0);
    EXPECT_EQ(dispatch_group_enter(g, t), 0);
    EXPECT_EQ(dispatch_group_enter(g, idle), 0);
    EXPECT_EQ(dispatch_group_stop(g), 0);
    int v = 0;
    EXPECT_EQ(dispatch_queue_putq(q, &v), -2);
    EXPECT_EQ(dispatch_group_start(g), 0);
    EXPECT_EQ(dispatch_queue_putq(q, &v), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return r.count == 1; }, 1000ms));
    const int before = ticks;
    EXPECT_TRUE(zeltest::wait_until([&] { return ticks > before; }, 1000ms));

    EXPECT_EQ(dispatch_group_leave(g, t), 0);
    EXPECT_EQ(dispatch_group_leave(g, t), -4);
    EXPECT_EQ(dispatch_group_stop(g), 0);  // the timer left: it keeps running
    const int running = ticks;
    EXPECT_TRUE(zeltest::wait_until([&] { return ticks > running; }, 1000ms));
    EXPECT_EQ(dispatch_group_release(g), 0);
    EXPECT_EQ(dispatch_group_release(nullptr), -2);
    EXPECT_EQ(dispatch_group_element_matcher(q, q), 0);
    EXPECT_EQ(dispatch_group_element_matcher(q, t), -1);
    dispatch_release(idle);
    dispatch_release(t);
    dispatch_release(q);
}

TEST(ZelDispatchConcurrency, ProducersAndStopRaceWithoutLoss)
{
    std::atomic<int> delivered{0};
    zel_dispatch_t *q = dispatch_create(counting, &delivered);
    ASSERT_EQ(dispatch_queue_start(q, 1024), 0);
    std::atomic<int> accepted{0};
    std::vector<std::thread> producers;
    static int item;
    for (int p = 0; p < 4; p++) {
        producers.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                if (dispatch_queue_putq(q, &item) == 0)
                    accepted++;
            }
        });
    }
    std::this_thread::sleep_for(1ms);
    dispatch_queue_stop(q);
    for (auto &t : producers)
        t.join();
    EXPECT_EQ(delivered, accepted);  // every accepted item handled, none after the stop
    dispatch_release(q);
}
