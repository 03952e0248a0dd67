// The shared frame ring inside one process: room rules, start points, delivery order and the
// consumer list. Every frame carries its own sequence in its bytes, so a torn or misplaced copy shows.
#include <string.h>

#include <atomic>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zel_formal_stream2/zel_ring_layout.h"
#include "zel_formal_stream2/zel_sharebuf.h"
#include "zel_test_support.h"
#include "zelmar/zel_le.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kHeader = zel_ring::header_size(zel_ring::Kind::shared);

struct Got {
    std::mutex m;
    std::vector<uint64_t> times;
    std::vector<std::string> payloads;
    std::vector<uint32_t> types;
    size_t size()
    {
        std::lock_guard<std::mutex> g(m);
        return times.size();
    }
};

void record(uint64_t time, uint32_t type, const uint8_t *, uint32_t, const uint8_t *payload, uint32_t len, void *user)
{
    auto *got = static_cast<Got *>(user);
    std::lock_guard<std::mutex> g(got->m);
    got->times.push_back(time);
    got->types.push_back(type);
    got->payloads.emplace_back(reinterpret_cast<const char *>(payload), len);
}

uint32_t field(const std::vector<uint8_t> &block, uint32_t off) { return zel_get_le32(block.data() + off); }

// A reader preempted while it holds the lock (a loaded test host) makes the producer refuse a frame
// with -11 after its few milliseconds; the tests offer such a frame again.
int enqueue(zel_sharebuf_t *ring, uint32_t type, uint64_t time, const void *header, uint32_t header_len,
            const void *payload, uint32_t len)
{
    int rc, tries = 0;
    while ((rc = zel_sharebuf_enqueue(ring, type, time, header, header_len, payload, len)) == -11 && ++tries < 100) {
    }
    return rc;
}

int put(zel_sharebuf_t *ring, uint32_t type, uint64_t time, size_t bytes)
{
    std::string payload(bytes, static_cast<char>('a' + time % 26));
    return enqueue(ring, type, time, "hd", 2, payload.data(), static_cast<uint32_t>(payload.size()));
}

TEST(ZelSharebufRoom, OversizedFrameIsRefusedWithoutEmptyingTheRing)
{
    std::vector<uint8_t> block(kHeader + 32 * 8 + 1000);
    zel_sharebuf_t *ring = zel_sharebuf_create(block.data(), static_cast<int>(block.size()), 8);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(field(block, zel_ring::kDataSize), 1000u);
    ASSERT_EQ(put(ring, 0, 1, 100), 0);
    ASSERT_EQ(put(ring, 1, 2, 100), 0);
    EXPECT_EQ(put(ring, 0, 3, 999), -22); // 2 header bytes + 999 > 1000
    EXPECT_EQ(field(block, zel_ring::kCount), 2u);
    EXPECT_EQ(put(ring, 0, 4, 998), 0); // exactly the data area: the ring empties and starts at 0
    EXPECT_EQ(field(block, zel_ring::kCount), 1u);
    zel_ring::View v;
    ASSERT_TRUE(zel_ring::check_header(block.data(), block.size(), zel_ring::Kind::shared, &v));
    EXPECT_EQ(zel_ring::read_entry(v, field(block, zel_ring::kHead)).offset, 0u);
    zel_sharebuf_release(ring);
}

TEST(ZelSharebufRoom, FrameThatFitsAfterTheLastEntryIsDroppedIsPlacedAtZero)
{
    std::vector<uint8_t> block(kHeader + 32 * 8 + 1000);
    zel_sharebuf_t *ring = zel_sharebuf_create(block.data(), static_cast<int>(block.size()), 8);
    ASSERT_EQ(put(ring, 0, 1, 598), 0);  // 0..600
    ASSERT_EQ(put(ring, 0, 2, 598), 0);  // no room after 600, none before 0: drops the only entry
    EXPECT_EQ(field(block, zel_ring::kCount), 1u);
    EXPECT_EQ(field(block, zel_ring::kWriteOffset), 600u);
    zel_sharebuf_release(ring);
}

TEST(ZelSharebufRoom, CapacityDropsTheOldestEvenWithDataRoom)
{
    std::vector<uint8_t> block(kHeader + 32 * 4 + 100000);
    zel_sharebuf_t *ring = zel_sharebuf_create(block.data(), static_cast<int>(block.size()), 4);
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(put(ring, 0, 100 + i, 10), 0);
    zel_ring::View v;
    zel_ring::State s;
    ASSERT_TRUE(zel_ring::check_header(block.data(), block.size(), zel_ring::Kind::shared, &v));
    ASSERT_TRUE(zel_ring::read_state(v, &s));
    EXPECT_EQ(s.count, 4u);
    EXPECT_EQ(zel_ring::read_entry(v, s.head).time, 102u);
    EXPECT_EQ(s.sequence, 6u);
    EXPECT_TRUE(zel_ring::check_entries(v, s));
    zel_sharebuf_release(ring);
}

TEST(ZelSharebufRoom, WrapsManyTimesWithoutOverlappingLiveFrames)
{
    std::vector<uint8_t> block(kHeader + 32 * 16 + 5000);
    zel_sharebuf_t *ring = zel_sharebuf_create(block.data(), static_cast<int>(block.size()), 16);
    zel_ring::View v;
    ASSERT_TRUE(zel_ring::check_header(block.data(), block.size(), zel_ring::Kind::shared, &v));
    for (uint64_t i = 0; i < 2000; i++) {
        ASSERT_EQ(put(ring, i % 5 ? 1 : 0, i, 37 + (i * 7919) % 900), 0);
        zel_ring::State s;
        ASSERT_TRUE(zel_ring::read_state(v, &s));
        ASSERT_TRUE(zel_ring::check_entries(v, s));
        for (uint32_t k = 0; k < s.count; k++) { // every held frame still has its own bytes
            zel_ring::Entry e = zel_ring::read_entry(v, zel_ring::index_of(v, s, k));
            ASSERT_EQ(v.data()[e.offset + 2], 'a' + e.time % 26);
            ASSERT_EQ(v.data()[e.offset + e.header_len + e.payload_len - 1], 'a' + e.time % 26);
        }
    }
    zel_sharebuf_release(ring);
}

TEST(ZelSharebufRoom, TooSmallBlockIsRefused)
{
    std::vector<uint8_t> block(kHeader + 32 * 8);
    EXPECT_EQ(zel_sharebuf_create(block.data(), static_cast<int>(block.size()), 8), nullptr);
}

class ZelSharebufConsumer : public ::testing::Test {
protected:
    void SetUp() override
    {
        block.resize(kHeader + 32 * 256 + 64 * 1024);
        ring = zel_sharebuf_create(block.data(), static_cast<int>(block.size()), 256);
        ASSERT_NE(ring, nullptr);
        cli = zel_sharebuf_cli_create(block.data());
        ASSERT_NE(cli, nullptr);
    }
    void TearDown() override
    {
        zel_sharebuf_cli_release(cli);
        zel_sharebuf_release(ring);
    }
    // What the consumers write to: it outlives the client, which TearDown stops first.
    Got &got() { return gots.emplace_back(); }

    std::vector<uint8_t> block;
    zel_sharebuf_t *ring = nullptr;
    zel_sharebuf_cli_t *cli = nullptr;
    std::list<Got> gots;
    std::atomic<int> calls{0};
};

TEST_F(ZelSharebufConsumer, StartsAtTheNearestKeyFrame)
{
    // Key frames at 1000, 1200, 1400; P frames between.
    for (uint64_t t = 1000; t < 1600; t += 40)
        ASSERT_EQ(put(ring, (t - 1000) % 200 ? 1 : 0, t, 10), 0);
    Got &at1300 = got(), &early = got(), &late = got();
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 1300, record, &at1300), 0);
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 10, record, &early), 0);  // older than every frame
    ASSERT_EQ(zel_sharebuf_cli_register_relative(cli, 0, record, &late), 0);  // newest key frame
    zel_sharebuf_cli_start(cli);
    ASSERT_TRUE(zeltest::wait_until([&] { return at1300.size() >= 1 && early.size() >= 1 && late.size() >= 1; }, 2s));
    std::lock_guard<std::mutex> g1(at1300.m), g2(early.m), g3(late.m);
    EXPECT_EQ(at1300.times[0], 1200u);
    EXPECT_EQ(early.times[0], 1000u);
    EXPECT_EQ(late.times[0], 1400u);
}

TEST_F(ZelSharebufConsumer, BurstReachesAOneFramePerPassConsumerInOrder)
{
    std::vector<uint8_t> big(kHeader + 32 * 10000 + 10000 * 16);
    zel_sharebuf_t *r = zel_sharebuf_create(big.data(), static_cast<int>(big.size()), 10000);
    zel_sharebuf_cli_t *c = zel_sharebuf_cli_create(big.data());
    ASSERT_EQ(enqueue(r, 0, 0, nullptr, 0, "k", 1), 0);
    Got got;
    ASSERT_EQ(zel_sharebuf_cli_register(c, 0, record, &got), 0);
    zel_sharebuf_cli_start(c);
    for (uint64_t i = 1; i < 10000; i++) {
        std::string p = std::to_string(i);
        ASSERT_EQ(enqueue(r, 1, i, nullptr, 0, p.data(), static_cast<uint32_t>(p.size())), 0);
    }
    ASSERT_TRUE(zeltest::wait_until([&] { return got.size() == 10000; }, 10s)) << got.size();
    zel_sharebuf_cli_release(c);
    for (uint64_t i = 0; i < 10000; i++)
        ASSERT_EQ(got.times[i], i);
    zel_sharebuf_release(r);
}

TEST_F(ZelSharebufConsumer, SlowCallbackNeverHoldsTheProducer)
{
    auto slow = [](uint64_t, uint32_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, void *user) {
        static_cast<std::atomic<int> *>(user)->fetch_add(1);
        std::this_thread::sleep_for(300ms);
    };
    ASSERT_EQ(put(ring, 0, 1, 10), 0);
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 0, slow, &calls), 0);
    zel_sharebuf_cli_start(cli);
    ASSERT_TRUE(zeltest::wait_until([&] { return calls.load() == 1; }, 2s));
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(put(ring, 1, 2 + i, 100), 0);
    // Each frame would wait out the 300 ms callback if callbacks ran under the ring lock.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(250ms));
}

TEST_F(ZelSharebufConsumer, UnregisterSyncWaitsForARunningCallbackAndMarksFromInside)
{
    struct State {
        std::atomic<bool> inside{false};
        std::atomic<bool> finished{false};
        std::atomic<int> calls{0};
        zel_sharebuf_cli_t *cli;
    } st;
    st.cli = cli;
    auto cb = [](uint64_t, uint32_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, void *user) {
        auto *s = static_cast<State *>(user);
        s->inside = true;
        std::this_thread::sleep_for(100ms);
        s->finished = true;
        s->calls++;
    };
    ASSERT_EQ(put(ring, 0, 1, 10), 0);
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 0, cb, &st), 0);
    zel_sharebuf_cli_start(cli);
    ASSERT_TRUE(zeltest::wait_until([&] { return st.inside.load(); }, 2s));
    EXPECT_EQ(zel_sharebuf_cli_unregister_sync(cli, &st), 0);
    EXPECT_TRUE(st.finished.load());
    put(ring, 1, 2, 10);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(st.calls.load(), 1);
    EXPECT_EQ(zel_sharebuf_cli_unregister_sync(cli, &st), -1);

    // From inside its own callback a consumer is only marked, and never called again.
    struct Self {
        zel_sharebuf_cli_t *cli;
        std::atomic<int> calls{0};
        std::atomic<int> rc{1};
    } self;
    self.cli = cli;
    auto own = [](uint64_t, uint32_t, const uint8_t *, uint32_t, const uint8_t *, uint32_t, void *user) {
        auto *s = static_cast<Self *>(user);
        s->calls++;
        s->rc = zel_sharebuf_cli_unregister_sync(s->cli, s);
    };
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 0, own, &self), 0);
    put(ring, 1, 3, 10);
    ASSERT_TRUE(zeltest::wait_until([&] { return self.calls.load() == 1; }, 2s));
    put(ring, 1, 4, 10);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(self.calls.load(), 1);
    EXPECT_EQ(self.rc.load(), 0);
}

TEST_F(ZelSharebufConsumer, ConditionalOnceConsumerGetsTheFirstAcceptedFrame)
{
    auto want_x = [](const uint8_t *header, uint32_t len, void *) { return len == 2 && header[0] == 'x' ? 0 : 1; };
    static std::atomic<int> freed{0};
    auto free_arg = [](void *) { freed++; };
    Got &once = got();
    ASSERT_EQ(zel_sharebuf_cli_register_cond(cli, want_x, nullptr, record, &once, 1, free_arg, 1), 0);
    zel_sharebuf_cli_start(cli);
    enqueue(ring, 1, 10, "ab", 2, "no", 2);
    enqueue(ring, 1, 11, "xy", 2, "yes", 3);
    enqueue(ring, 1, 12, "xz", 2, "later", 5);
    ASSERT_TRUE(zeltest::wait_until([&] { return freed.load() == 1; }, 2s));
    std::lock_guard<std::mutex> g(once.m);
    ASSERT_EQ(once.payloads.size(), 1u);
    EXPECT_EQ(once.payloads[0], "yes");
}

TEST_F(ZelSharebufConsumer, ConsumerThatLostItsFrameResumesAtTheNextKeyFrame)
{
    Got &resumed = got();
    ASSERT_EQ(put(ring, 0, 1, 10), 0);
    ASSERT_EQ(zel_sharebuf_cli_register(cli, 0, record, &resumed), 0);
    // 300 frames overrun the 256 entries before the consumer starts: frame 2 is gone.
    for (uint64_t t = 2; t < 300; t++)
        ASSERT_EQ(put(ring, t == 150 ? 0 : 1, t, 10), 0);
    zel_sharebuf_cli_start(cli);
    ASSERT_TRUE(zeltest::wait_until([&] { return resumed.size() >= 150; }, 3s));
    std::lock_guard<std::mutex> g(resumed.m);
    EXPECT_EQ(resumed.times[0], 150u);
    EXPECT_EQ(resumed.types[0], 0u);
}

} // namespace
