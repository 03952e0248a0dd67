// The session send ring: refusals that keep what is held, frames that cross the buffer's end,
// recycled nodes (no allocation per frame once warm), and two producers with one consumer where
// every frame carries its own checksum, so that a torn or misordered frame cannot pass.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "common/utils/ko_crc32.h"
#include "vasq_errors.h"
#include "vasq_mem.h"
#include "vasq_ring.h"

namespace {

std::atomic<long> g_blocks{0};
std::atomic<long> g_allocs{0};

void *count_alloc(size_t n)
{
    g_blocks++;
    g_allocs++;
    void *p = malloc(n);
    if (p)
        memset(p, 0xA5, n); // vasq_malloc must clear it
    return p;
}
void *count_realloc(void *p, size_t n)
{
    if (!p) {
        g_blocks++;
        g_allocs++;
    }
    return realloc(p, n);
}
void count_free(void *p)
{
    g_blocks--;
    free(p);
}

class CountedAllocators : public ::testing::Test {
protected:
    void SetUp() override { vasq_set_allocators(count_alloc, count_realloc, count_free); }
    void TearDown() override
    {
        EXPECT_EQ(g_blocks.load(), 0) << "blocks left allocated";
        vasq_set_allocators(nullptr, nullptr, nullptr);
    }
};

vasq_frame_info header_of(uint32_t length, uint32_t seq = 0)
{
    vasq_frame_info h{};
    h.length = length;
    h.seq = seq;
    h.codec_id = 78;
    h.time_ms = 0x0102030405060708ull;
    h.extra = 0xCAFE;
    return h;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

using RingTest = CountedAllocators;

TEST_F(RingTest, AllocationsAreZeroFilledThroughTheTable)
{
    auto *p = static_cast<uint8_t *>(vasq_malloc(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(p[i], 0);
    p = static_cast<uint8_t *>(vasq_realloc(p, 64, 128));
    ASSERT_NE(p, nullptr);
    for (int i = 64; i < 128; i++)
        ASSERT_EQ(p[i], 0) << i;
    vasq_free(p);
    vasq_free(nullptr);
}

TEST_F(RingTest, AFullRingRefusesAndKeepsWhatItHolds)
{
    vasq_ring *r = ring_buf_new(1000);
    ASSERT_NE(r, nullptr);
    const auto first = pattern(936, 3);
    vasq_frame_info h = header_of(936, 1);
    ASSERT_EQ(ring_buf_put_frame(r, &h, first.data()), 0);
    ASSERT_EQ(ring_buf_data_len(r), 968);
    ASSERT_EQ(ring_buf_free_len(r), 32);

    const auto more = pattern(1, 9);
    vasq_frame_info h1 = header_of(1, 2);
    EXPECT_EQ(ring_buf_put_frame(r, &h1, more.data()), VASQ_ERR_NO_BUFFER);
    // A length that wraps to a small count when 32 is added in 32 bits.
    vasq_frame_info huge = header_of(0xFFFFFFF0u, 3);
    EXPECT_EQ(ring_buf_put_frame(r, &huge, more.data()), VASQ_ERR_NO_BUFFER);
    EXPECT_EQ(ring_buf_frame_count(r), 1);
    EXPECT_EQ(ring_buf_data_len(r), 968);

    vasq_frame_info out{};
    std::vector<uint8_t> got(936);
    ASSERT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), 0);
    EXPECT_EQ(0, memcmp(&out, &h, sizeof h));
    EXPECT_EQ(got, first);
    EXPECT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), VASQ_ERR_NO_BUFFER);
    ring_buf_free(r);
}

TEST_F(RingTest, AbsentArgumentsAreRefused)
{
    vasq_ring *r = ring_buf_new(256);
    uint8_t b[8] = {};
    vasq_frame_info h = header_of(8);
    EXPECT_EQ(ring_buf_put_frame(nullptr, &h, b), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(ring_buf_put_frame(r, nullptr, b), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(ring_buf_put_frame(r, &h, nullptr), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(ring_buf_get_frame(r, nullptr, b, sizeof b), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(ring_buf_get_frame(r, &h, nullptr, sizeof b), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(ring_buf_data_len(nullptr), 0);
    EXPECT_EQ(ring_buf_free_len(nullptr), 0);
    EXPECT_EQ(ring_buf_new(0), nullptr);
    ring_buf_free(nullptr);
    ring_buf_free(r);
}

TEST_F(RingTest, ATooSmallOutputIsRefusedAndTheFrameKept)
{
    vasq_ring *r = ring_buf_new(4096);
    const auto payload = pattern(1500, 1);
    vasq_frame_info h = header_of(1500);
    ASSERT_EQ(ring_buf_put_frame(r, &h, payload.data()), 0);
    std::vector<uint8_t> got(1499);
    vasq_frame_info out{};
    EXPECT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(ring_buf_frame_count(r), 1);
    got.resize(1500);
    ASSERT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), 0);
    EXPECT_EQ(got, payload);
    ring_buf_free(r);
}

TEST_F(RingTest, FramesAcrossTheEndReadBackIntact)
{
    vasq_ring *r = ring_buf_new(1000);
    std::vector<uint8_t> got(1000);
    vasq_frame_info out{};
    // Every split point of the header and of the payload at the buffer's end comes up.
    for (uint32_t round = 0; round < 300; round++) {
        const uint32_t n = 100 + (round * 37) % 400;
        const auto payload = pattern(n, static_cast<uint8_t>(round));
        vasq_frame_info h = header_of(n, round);
        ASSERT_EQ(ring_buf_put_frame(r, &h, payload.data()), 0) << round;
        ASSERT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), 0);
        ASSERT_EQ(0, memcmp(&out, &h, sizeof h)) << round;
        ASSERT_EQ(0, memcmp(got.data(), payload.data(), n)) << round;
        ASSERT_EQ(ring_buf_data_len(r), 0);
    }
    ring_buf_free(r);
}

TEST_F(RingTest, ResetEmptiesAndRecyclesTheNodes)
{
    vasq_ring *r = ring_buf_new(8192);
    const auto payload = pattern(200, 5);
    for (int i = 0; i < 10; i++) {
        vasq_frame_info h = header_of(200, i);
        ASSERT_EQ(ring_buf_put_frame(r, &h, payload.data()), 0);
    }
    ring_buf_reset(r);
    EXPECT_EQ(ring_buf_data_len(r), 0);
    EXPECT_EQ(ring_buf_frame_count(r), 0);
    EXPECT_EQ(ring_buf_free_len(r), 8192);
    vasq_frame_info out{};
    std::vector<uint8_t> got(200);
    EXPECT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), VASQ_ERR_NO_BUFFER);

    const long before = g_allocs.load();
    for (int i = 0; i < 10; i++) {
        vasq_frame_info h = header_of(200, 100 + i);
        ASSERT_EQ(ring_buf_put_frame(r, &h, payload.data()), 0);
    }
    EXPECT_EQ(g_allocs.load(), before) << "the put after a reset allocated";
    ASSERT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), 0);
    EXPECT_EQ(out.seq, 100u);
    ring_buf_free(r);
}

TEST_F(RingTest, NoAllocationPerFrameOnceWarm)
{
    vasq_ring *r = ring_buf_new(64 * 1024);
    std::vector<uint8_t> payload(2000, 0x11), got(2000);
    vasq_frame_info out{};
    auto cycle = [&](int frames) {
        for (int i = 0; i < frames; i++) {
            vasq_frame_info h = header_of(static_cast<uint32_t>(100 + i * 50 % 1900), i);
            ASSERT_EQ(ring_buf_put_frame(r, &h, payload.data()), 0);
        }
        for (int i = 0; i < frames; i++)
            ASSERT_EQ(ring_buf_get_frame(r, &out, got.data(), got.size()), 0);
    };
    cycle(20);
    const long warm = g_allocs.load();
    for (int round = 0; round < 200; round++)
        cycle(1 + round % 20);
    EXPECT_EQ(g_allocs.load(), warm);
    ring_buf_free(r);
}

// The payload's CRC and the producer's sequence travel in the header.
TEST(RingConcurrency, TwoProducersOneConsumerEveryFrameWholeAndInOrder)
{
    constexpr int kFrames = 1000000;
    constexpr int kPerProducer = kFrames / 2;
    constexpr uint32_t kMaxPayload = 300;
    vasq_ring *r = ring_buf_new(16 * 1024);
    ASSERT_NE(r, nullptr);
    auto produce = [&](uint32_t id) {
        std::mt19937 rng(id);
        std::vector<uint8_t> payload(kMaxPayload);
        for (uint32_t seq = 0; seq < static_cast<uint32_t>(kPerProducer);) {
            const uint32_t n = rng() % kMaxPayload;
            uint32_t x = rng() | 1;
            for (uint32_t i = 0; i < n; i++) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                payload[i] = static_cast<uint8_t>(x);
            }
            vasq_frame_info h{};
            h.length = n;
            h.seq = seq;
            h.codec_id = id;
            h.flags = ko_crc32_total(payload.data(), n);
            for (;;) {
                const int rc = ring_buf_put_frame(r, &h, payload.data());
                if (rc == 0)
                    break;
                ASSERT_EQ(rc, VASQ_ERR_NO_BUFFER);
                std::this_thread::yield();
            }
            seq++;
        }
    };
    std::thread a(produce, 1), b(produce, 2);
    uint32_t next[3] = {0, 0, 0};
    std::vector<uint8_t> got(kMaxPayload);
    int taken = 0;
    while (taken < kFrames) {
        vasq_frame_info h{};
        const int rc = ring_buf_get_frame(r, &h, got.data(), got.size());
        if (rc == VASQ_ERR_NO_BUFFER) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(rc, 0);
        ASSERT_TRUE(h.codec_id == 1 || h.codec_id == 2);
        ASSERT_EQ(h.seq, next[h.codec_id]) << "producer " << h.codec_id;
        next[h.codec_id]++;
        ASSERT_EQ(h.flags, ko_crc32_total(got.data(), h.length)) << "frame " << taken;
        taken++;
    }
    a.join();
    b.join();
    EXPECT_EQ(ring_buf_frame_count(r), 0);
    EXPECT_EQ(ring_buf_data_len(r), 0);
    ring_buf_free(r);
}

} // namespace
