// Command push and pull queues: capacity with a stuck handler, order per queue, the two handlers on
// threads of their own, the stream handler in the caller's thread, and refusals.
#include "zel_control/control/zel_control.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

struct Seen {
    std::mutex m;
    std::vector<std::pair<int, int>> push, pull, stream;
    pthread_t push_thread{}, pull_thread{}, stream_thread{};
    std::atomic<bool> hold_push{false};
    std::atomic<int> push_entered{0};
};

Seen *g_seen = nullptr;

int on_push(int a, int b)
{
    g_seen->push_entered++;
    while (g_seen->hold_push)
        std::this_thread::sleep_for(1ms);
    std::lock_guard<std::mutex> lock(g_seen->m);
    g_seen->push.emplace_back(a, b);
    g_seen->push_thread = pthread_self();
    return 0;
}

int on_pull(int a, int b)
{
    std::lock_guard<std::mutex> lock(g_seen->m);
    g_seen->pull.emplace_back(a, b);
    g_seen->pull_thread = pthread_self();
    return 0;
}

int on_stream(int a, int b)
{
    std::lock_guard<std::mutex> lock(g_seen->m);
    g_seen->stream.emplace_back(a, b);
    g_seen->stream_thread = pthread_self();
    return 0;
}

class ZelControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen = &seen;
        control = zel_control_init(on_pull, on_push, on_stream);
        ASSERT_NE(control, nullptr);
    }
    void TearDown() override
    {
        seen.hold_push = false;
        if (control) {
            EXPECT_EQ(zel_control_uninit(control), 0);
        }
        g_seen = nullptr;
    }
    Seen seen;
    zel_control_t *control = nullptr;
};

} // namespace

TEST_F(ZelControl, AStuckPushHandlerLeavesRoomFor15AndRefusesThe16th)
{
    seen.hold_push = true;
    ASSERT_EQ(zel_cmd_push(control, ZEL_CMD_PUSH, 0, 0), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen.push_entered == 1; }, 2000ms));
    for (int i = 1; i <= 15; i++)
        ASSERT_EQ(zel_cmd_push(control, ZEL_CMD_PUSH, i, -i), 0) << i;
    EXPECT_EQ(zel_cmd_push(control, ZEL_CMD_PUSH, 16, -16), -1);
    // The pull queue is independent of the stuck push handler.
    EXPECT_EQ(zel_cmd_pull(control, ZEL_CMD_PULL, 100, 200), 0);
    EXPECT_TRUE(zeltest::wait_until([&] {
        std::lock_guard<std::mutex> lock(seen.m);
        return seen.pull.size() == 1;
    }, 2000ms));
    seen.hold_push = false;
    ASSERT_TRUE(zeltest::wait_until([&] {
        std::lock_guard<std::mutex> lock(seen.m);
        return seen.push.size() == 16;
    }, 2000ms));
    std::lock_guard<std::mutex> lock(seen.m);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(seen.push[i], std::make_pair(i, -i));
    EXPECT_FALSE(pthread_equal(seen.push_thread, seen.pull_thread));
    EXPECT_FALSE(pthread_equal(seen.push_thread, pthread_self()));
}

TEST_F(ZelControl, StreamDataGoesToItsHandlerInTheCallersThread)
{
    EXPECT_EQ(zel_cmd_push(control, ZEL_CMD_STREAM, 5, 0), 0);  // no data: nothing called
    EXPECT_TRUE(seen.stream.empty());
    EXPECT_EQ(zel_cmd_push(control, ZEL_CMD_STREAM, 5, 6), 0);
    ASSERT_EQ(seen.stream.size(), 1u);
    EXPECT_EQ(seen.stream[0], std::make_pair(5, 6));
    EXPECT_TRUE(pthread_equal(seen.stream_thread, pthread_self()));
}

TEST_F(ZelControl, UnknownTypesAreLoggedAndAnswered0)
{
    EXPECT_EQ(zel_cmd_pull(control, ZEL_CMD_PUSH, 1, 2), 0);
    EXPECT_EQ(zel_cmd_push(control, 9, 1, 2), 0);
    EXPECT_EQ(zel_cmd_push(control, ZEL_CMD_PULL, 1, 2), 0);
    std::this_thread::sleep_for(zeltest::scaled(50ms));
    std::lock_guard<std::mutex> lock(seen.m);
    EXPECT_TRUE(seen.pull.empty());
    EXPECT_TRUE(seen.push.empty());
}

TEST_F(ZelControl, UninitHandsOnWhatIsQueued)
{
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(zel_cmd_push(control, ZEL_CMD_PUSH, i, i), 0);
        ASSERT_EQ(zel_cmd_pull(control, ZEL_CMD_PULL, i, i), 0);
    }
    EXPECT_EQ(zel_control_uninit(control), 0);
    control = nullptr;
    EXPECT_EQ(seen.push.size(), 10u);
    EXPECT_EQ(seen.pull.size(), 10u);
}

TEST(ZelControlArguments, EveryHandlerIsRequiredAndNullIsRefused)
{
    EXPECT_EQ(zel_control_init(nullptr, on_push, on_stream), nullptr);
    EXPECT_EQ(zel_control_init(on_pull, nullptr, on_stream), nullptr);
    EXPECT_EQ(zel_control_init(on_pull, on_push, nullptr), nullptr);
    EXPECT_EQ(zel_cmd_push(nullptr, ZEL_CMD_PUSH, 1, 2), -1);
    EXPECT_EQ(zel_cmd_pull(nullptr, ZEL_CMD_PULL, 1, 2), -1);
    EXPECT_EQ(zel_control_uninit(nullptr), -1);
}

TEST(ZelControlConcurrency, ProducersOnBothQueuesLoseNothingAccepted)
{
    Seen seen;
    g_seen = &seen;
    zel_control_t *control = zel_control_init(on_pull, on_push, on_stream);
    std::atomic<int> pushed{0}, pulled{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; p++) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 500; i++) {
                if (p % 2 ? zel_cmd_push(control, ZEL_CMD_PUSH, p, i) == 0 : zel_cmd_pull(control, ZEL_CMD_PULL, p, i) == 0)
                    (p % 2 ? pushed : pulled)++;
            }
        });
    }
    for (auto &t : producers)
        t.join();
    zel_control_uninit(control);
    EXPECT_EQ(seen.push.size(), static_cast<size_t>(pushed.load()));
    EXPECT_EQ(seen.pull.size(), static_cast<size_t>(pulled.load()));
    g_seen = nullptr;
}
