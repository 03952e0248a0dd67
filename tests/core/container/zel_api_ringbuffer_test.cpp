#include "zel_control/container/zel_api_ringbuffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

std::string take_all(zel_api_ringbuffer_t *r)
{
    char out[64];
    const uint32_t n = zel_api_ringbuffer_get(r, out, sizeof out);
    return std::string(out, n);
}

} // namespace

TEST(ZelRingBuffer, PutStopsAtTheFreeSpace)
{
    uint8_t pool[8];
    zel_api_ringbuffer_t r;
    zel_api_ringbuffer_init(&r, pool, sizeof pool);
    EXPECT_EQ(zel_api_ringbuffer_put(&r, "0123456789", 10), 8u);
    EXPECT_EQ(zel_api_ringbuffer_data_len(&r), 8u);
    EXPECT_EQ(zel_api_ringbuffer_put(&r, "x", 1), 0u);
    EXPECT_EQ(zel_api_ringbuffer_putchar(&r, 'x'), 0u);
    EXPECT_EQ(take_all(&r), "01234567");
    EXPECT_EQ(zel_api_ringbuffer_data_len(&r), 0u);
}

TEST(ZelRingBuffer, PutForceKeepsTheLastBytes)
{
    uint8_t pool[8];
    zel_api_ringbuffer_t r;
    zel_api_ringbuffer_init(&r, pool, sizeof pool);
    EXPECT_EQ(zel_api_ringbuffer_put_force(&r, "0123456789", 10), 8u);
    EXPECT_EQ(take_all(&r), "23456789");

    zel_api_ringbuffer_put(&r, "abcde", 5);
    EXPECT_EQ(zel_api_ringbuffer_put_force(&r, "WXYZ", 4), 4u);  // overwrites a
    EXPECT_EQ(zel_api_ringbuffer_data_len(&r), 8u);
    EXPECT_EQ(take_all(&r), "bcdeWXYZ");
}

TEST(ZelRingBuffer, WrapsAroundTheEnd)
{
    uint8_t pool[8];
    zel_api_ringbuffer_t r;
    zel_api_ringbuffer_init(&r, pool, sizeof pool);
    char out[8];
    zel_api_ringbuffer_put(&r, "abcde", 5);
    EXPECT_EQ(zel_api_ringbuffer_get(&r, out, 5), 5u);
    EXPECT_EQ(zel_api_ringbuffer_put(&r, "uvwxyz", 6), 6u);
    EXPECT_EQ(zel_api_ringbuffer_data_len(&r), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(pool) + 5, 3), "uvw");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(pool), 3), "xyz");
    EXPECT_EQ(r.write, 3u << 1 | 1u);  // index 3, mirror flipped
    EXPECT_EQ(take_all(&r), "uvwxyz");
}

TEST(ZelRingBuffer, SingleBytesAndForcedBytesOnAFullRing)
{
    uint8_t pool[4];
    zel_api_ringbuffer_t r;
    zel_api_ringbuffer_init(&r, pool, sizeof pool);
    uint8_t b = 0;
    EXPECT_EQ(zel_api_ringbuffer_getchar(&r, &b), 0u);
    for (uint8_t c = 'a'; c <= 'f'; ++c)
        EXPECT_EQ(zel_api_ringbuffer_putchar_force(&r, c), 1u);
    EXPECT_EQ(zel_api_ringbuffer_data_len(&r), 4u);
    std::string got;
    while (zel_api_ringbuffer_getchar(&r, &b))
        got += static_cast<char>(b);
    EXPECT_EQ(got, "cdef");
}

TEST(ZelRingBuffer, MatchesAModelUnderRandomTraffic)
{
    uint8_t pool[13];
    zel_api_ringbuffer_t r;
    zel_api_ringbuffer_init(&r, pool, sizeof pool);
    std::deque<uint8_t> model;
    std::mt19937 rng(11);
    uint8_t next = 0;
    for (int step = 0; step < 5000; ++step) {
        const uint32_t len = rng() % 20;
        std::vector<uint8_t> data(len);
        for (auto &c : data)
            c = next++;
        switch (rng() % 3) {
        case 0: {
            const uint32_t n = zel_api_ringbuffer_put(&r, data.data(), len);
            ASSERT_EQ(n, std::min<uint32_t>(len, 13 - static_cast<uint32_t>(model.size())));
            model.insert(model.end(), data.begin(), data.begin() + n);
            break;
        }
        case 1: {
            ASSERT_EQ(zel_api_ringbuffer_put_force(&r, data.data(), len), std::min<uint32_t>(len, 13));
            model.insert(model.end(), data.begin(), data.end());
            while (model.size() > 13)
                model.pop_front();
            break;
        }
        default: {
            std::vector<uint8_t> out(len);
            const uint32_t n = zel_api_ringbuffer_get(&r, out.data(), len);
            ASSERT_EQ(n, std::min<uint32_t>(len, static_cast<uint32_t>(model.size())));
            for (uint32_t i = 0; i < n; ++i) {
                ASSERT_EQ(out[i], model.front());
                model.pop_front();
            }
        }
        }
        ASSERT_EQ(zel_api_ringbuffer_data_len(&r), model.size()) << "step " << step;
    }
}

TEST(ZelRingBuffer, UnusableRingMovesNothing)
{
    zel_api_ringbuffer_t r;
    zel_api_ringbuffer_init(&r, nullptr, 8);
    EXPECT_EQ(zel_api_ringbuffer_put(&r, "ab", 2), 0u);
    EXPECT_EQ(zel_api_ringbuffer_put_force(&r, "ab", 2), 0u);
    EXPECT_EQ(zel_api_ringbuffer_data_len(&r), 0u);
}
