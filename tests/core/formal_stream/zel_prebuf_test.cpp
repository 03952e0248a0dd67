// The pre-record buffer: video and audio go to their callbacks in order, several frames per pass,
// clients sleep until the sequence moves (no frame written during a pass is missed) and each client
// releases promptly while the producer is idle.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zel_formal_stream2/zel_ring_layout.h"
#include "zel_formal_stream2/zel_sharebuf.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kHeader = zel_ring::header_size(zel_ring::Kind::prerecord);

struct Seen {
    std::mutex m;
    std::vector<std::string> order; // "v<time>" or "a<time>"
    size_t size()
    {
        std::lock_guard<std::mutex> g(m);
        return order.size();
    }
};

void on_video(uint64_t t, uint32_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, void *user)
{
    auto *s = static_cast<Seen *>(user);
    std::lock_guard<std::mutex> g(s->m);
    s->order.push_back("v" + std::to_string(t));
}

void on_audio(uint64_t t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, void *user)
{
    auto *s = static_cast<Seen *>(user);
    std::lock_guard<std::mutex> g(s->m);
    s->order.push_back("a" + std::to_string(t));
}

class ZelPrebuf : public ::testing::Test {
protected:
    void SetUp() override
    {
        block.resize(kHeader + 32 * 512 + 128 * 1024);
        buf = zel_prebuf_create(block.data(), static_cast<int>(block.size()), 512);
        ASSERT_NE(buf, nullptr);
    }
    void TearDown() override { zel_prebuf_release(buf); }
    int put(int video, int type, uint64_t t)
    {
        return zel_prebuf_enqueue(buf, t, video, type, "h", 1, "payload", 7);
    }
    std::vector<uint8_t> block;
    zel_prebuf_t *buf = nullptr;
};

TEST_F(ZelPrebuf, RoutesVideoAndAudioInSequenceOrder)
{
    ASSERT_EQ(put(1, 0, 100), 0);
    zel_prebuf_cli_t *cli = zel_prebuf_cli_create(block.data());
    ASSERT_NE(cli, nullptr);
    Seen seen;
    ASSERT_EQ(zel_prebuf_cli_register(cli, 4, 0, on_video, on_audio, &seen), 0);
    for (uint64_t t = 101; t < 400; t++)
        ASSERT_EQ(put(t % 3 == 0 ? 0 : 1, 1, t), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen.size() == 300; }, 3s)) << seen.size();
    zel_prebuf_cli_release(cli);
    for (uint64_t t = 100; t < 400; t++)
        EXPECT_EQ(seen.order[t - 100], (t % 3 == 0 && t != 100 ? "a" : "v") + std::to_string(t));
}

TEST_F(ZelPrebuf, StartsAtAVideoKeyFrameNotAtAnAudioFrame)
{
    ASSERT_EQ(put(0, 0, 50), 0);  // audio frames carry type 0 too
    ASSERT_EQ(put(1, 0, 60), 0);
    ASSERT_EQ(put(1, 1, 70), 0);
    zel_prebuf_cli_t *cli = zel_prebuf_cli_create(block.data());
    Seen seen;
    ASSERT_EQ(zel_prebuf_cli_register(cli, 1, 55, on_video, on_audio, &seen), 0);
    ASSERT_EQ(put(0, 0, 80), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen.size() == 3; }, 2s));
    zel_prebuf_cli_release(cli);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"v60", "v70", "a80"}));
}

TEST_F(ZelPrebuf, FourIdleClientsEachReleaseWithin100ms)
{
    std::vector<zel_prebuf_cli_t *> clients;
    Seen seen;
    for (int i = 0; i < 4; i++) {
        clients.push_back(zel_prebuf_cli_create(block.data()));
        zel_prebuf_cli_register(clients.back(), 1, 0, on_video, on_audio, &seen);
    }
    ASSERT_EQ(put(1, 0, 1), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen.size() == 4; }, 2s));
    std::this_thread::sleep_for(50ms); // every thread is asleep on the condition now
    for (zel_prebuf_cli_t *c : clients) {
        auto t0 = std::chrono::steady_clock::now();
        zel_prebuf_cli_release(c);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(100ms));
    }
}

TEST_F(ZelPrebuf, CleanedBufferIsReadAgainFromItsStart)
{
    zel_prebuf_cli_t *cli = zel_prebuf_cli_create(block.data());
    Seen seen;
    ASSERT_EQ(put(1, 0, 1), 0);
    ASSERT_EQ(put(1, 1, 2), 0);
    ASSERT_EQ(zel_prebuf_cli_register(cli, 8, 0, on_video, on_audio, &seen), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen.size() == 2; }, 2s));
    ASSERT_EQ(zel_prebuf_clean(buf), 0);
    ASSERT_EQ(put(1, 0, 10), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen.size() == 3; }, 2s));
    zel_prebuf_cli_release(cli);
    EXPECT_EQ(seen.order.back(), "v10");
}

TEST_F(ZelPrebuf, ForeignBlockIsRefused)
{
    std::vector<uint8_t> junk(4096, 0x55);
    EXPECT_EQ(zel_prebuf_cli_create(junk.data()), nullptr);
    EXPECT_EQ(zel_sharebuf_cli_create(block.data()), nullptr); // a pre-record buffer is no shared ring
}

} // namespace
