// The "nas_ev" hand-over: calls from any thread run on the loop thread in posting order, calls
// posted before the loop runs wait for it, the queue is bounded, and a stop runs its last call.
#include <gtest/gtest.h>

#include <ev.h>

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/nas/ko_nas_ev.h"

namespace {

std::vector<int> g_order;

void record(struct ev_loop *, void *arg)
{
    EXPECT_EQ(ko_nas_ev_on_loop(), 1);
    g_order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

TEST(NasEv, CallsRunOnTheLoopInPostingOrder)
{
    g_order.clear();
    ASSERT_EQ(ko_nas_ev_start(), 0);
    EXPECT_EQ(ko_nas_ev_start(), -1) << "one loop";
    for (intptr_t i = 0; i < 100; ++i)
        ASSERT_EQ(ko_nas_ev_post(record, reinterpret_cast<void *>(i)), 0);
    ASSERT_EQ(ko_nas_ev_call(record, reinterpret_cast<void *>(100)), 0);
    ASSERT_EQ(g_order.size(), 101u);
    for (int i = 0; i <= 100; ++i)
        EXPECT_EQ(g_order[i], i);
    EXPECT_EQ(ko_nas_ev_on_loop(), 0);
    EXPECT_EQ(ko_nas_ev_running(), 1) << "it ran calls";
    ASSERT_EQ(ko_nas_ev_stop(nullptr, nullptr), 0);
    EXPECT_EQ(ko_nas_ev_running(), 0);
    EXPECT_EQ(ko_nas_ev_stop(nullptr, nullptr), -1) << "not running";
}

// Shell commands of other modules keep their status while the loop runs: it reaps no child.
TEST(NasEv, CommandsRunWhileTheLoopRunsKeepTheirStatus)
{
    ASSERT_EQ(ko_nas_ev_start(), 0);
    ASSERT_EQ(ko_nas_ev_call([](struct ev_loop *, void *) {}, nullptr), 0);
    for (int i = 0; i < 20; ++i) {
        FILE *pipe = popen("sleep 0.01; exit 3", "r");
        ASSERT_NE(pipe, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(30)); // the child ends before pclose waits
        const int status = pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
    ASSERT_EQ(ko_nas_ev_stop(nullptr, nullptr), 0);
}

TEST(NasEv, TimersArmedFromOtherThreadsFire)
{
    static ev_timer timer;
    static std::atomic<int> fired{0};
    fired = 0;
    ASSERT_EQ(ko_nas_ev_start(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i)
                ko_nas_ev_post(
                    [](struct ev_loop *loop, void *) {
                        ev_timer_stop(loop, &timer);
                        ev_timer_init(&timer, [](struct ev_loop *, ev_timer *, int) { ++fired; }, 0.01, 0.0);
                        ev_timer_start(loop, &timer);
                    },
                    nullptr);
        });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < 200 && fired == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(fired.load(), 1) << "re-arming keeps one timer";
    bool stopped_on_loop = false;
    ASSERT_EQ(ko_nas_ev_stop(
                  [](struct ev_loop *loop, void *arg) {
                      ev_timer_stop(loop, &timer);
                      *static_cast<bool *>(arg) = ko_nas_ev_on_loop() == 1;
                  },
                  &stopped_on_loop),
              0);
    EXPECT_TRUE(stopped_on_loop);
}

TEST(NasEv, PostsBeforeTheLoopRunsWaitAndTheQueueIsBounded)
{
    g_order.clear();
    // The status app arms its timers before the NAS service starts the loop.
    ASSERT_EQ(ko_nas_ev_post(record, reinterpret_cast<void *>(-2)), 0);
    EXPECT_EQ(ko_nas_ev_running(), 0) << "queued, not run";
    ASSERT_EQ(ko_nas_ev_start(), 0);
    // Block the loop so the queue fills.
    std::atomic<bool> release{false};
    ASSERT_EQ(ko_nas_ev_post(
                  [](struct ev_loop *, void *arg) {
                      while (!static_cast<std::atomic<bool> *>(arg)->load())
                          std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  },
                  &release),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int accepted = 0;
    for (intptr_t i = 0; i < KO_NAS_EV_QUEUE_MAX + 10; ++i)
        accepted += ko_nas_ev_post(record, reinterpret_cast<void *>(i)) == 0;
    EXPECT_EQ(accepted, KO_NAS_EV_QUEUE_MAX);
    release = true;
    // Refused while the queue is still full; runs once the loop has made room.
    while (ko_nas_ev_call(record, reinterpret_cast<void *>(-1)) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(g_order.size(), static_cast<size_t>(KO_NAS_EV_QUEUE_MAX) + 2);
    EXPECT_EQ(g_order.front(), -2);
    ASSERT_EQ(ko_nas_ev_stop(nullptr, nullptr), 0);
}

} // namespace
