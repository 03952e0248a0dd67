// Event manager: repeat suppression per consumer, the 100-event cap, the 3-minute expiry and fetch by
// time window, all on an injected monotonic clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "common/event/ko_event.h"
#include "common/utils/ko_time_test.h"
#include "common/utils/vexa_mem.h"

namespace {

std::atomic<uint64_t> g_now_us{1000000000ull};

uint64_t fake_tick_us()
{
    return g_now_us.load();
}

constexpr int SD = KO_EVENT_CONSUMER_SD;
constexpr int CLOUD = KO_EVENT_CONSUMER_CLOUD;
constexpr int BOTH = SD | CLOUD;
constexpr uint64_t kFar = ~0ull;

class EventManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        ko_time_set_tick_source(fake_tick_us);
        ASSERT_EQ(ko_event_manage_init(), 0);
    }
    void TearDown() override
    {
        ko_event_manage_deinit();
        ko_time_set_tick_source(nullptr);
    }

    static uint64_t now_ms() { return g_now_us.load() / 1000; }
    static void advance_ms(uint64_t ms) { g_now_us += ms * 1000; }

    static int trigger(int consumers, int type, uint64_t time_ms)
    {
        ko_event_info info{};
        info.type = type;
        info.time_ms = time_ms;
        return ko_ipc_event_trigger(consumers, &info);
    }
    // Takes every pending event of the consumer; the number found and the type set.
    static int take_all(int consumer, uint64_t *types = nullptr)
    {
        ko_event_result result{};
        const int n = ko_event_get_info(consumer, 0, kFar, &result);
        if (types)
            *types = result.types;
        return n;
    }
};

TEST_F(EventManager, RepeatWithin1500msIsDroppedForBothConsumers)
{
    const uint64_t t = 50000;
    ASSERT_EQ(trigger(BOTH, 1, t), 0);
    ASSERT_EQ(trigger(BOTH, 1, t + 1000), 0); // dropped entirely
    ASSERT_EQ(trigger(BOTH, 1, t + 1600), 0); // 1.6 s after the first: kept for both
    ASSERT_EQ(trigger(BOTH, 1, t + 3099), 0); // 1499 ms after the last stored one: dropped
    EXPECT_EQ(take_all(SD), 2);
    EXPECT_EQ(take_all(CLOUD), 2);
}

TEST_F(EventManager, RepeatCheckIsPerConsumer)
{
    const uint64_t t = 50000;
    trigger(CLOUD, 1, t);
    trigger(BOTH, 1, t + 1000); // a repeat for the cloud only
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(CLOUD, 0, kFar, &result), 1);
    EXPECT_EQ(ko_event_get_info(SD, 0, kFar, &result), 1);
    // A taken event still blocks its repeats for that consumer.
    trigger(SD, 1, t + 2000);
    EXPECT_EQ(take_all(SD), 0);
    // Other types are not repeats.
    trigger(BOTH, 2, t + 1200);
    EXPECT_EQ(take_all(SD), 1);
    EXPECT_EQ(take_all(CLOUD), 1);
}

TEST_F(EventManager, TimeZeroMeansNowAndCountsForTheRepeatCheck)
{
    advance_ms(77);
    const uint64_t t = now_ms();
    trigger(SD, 4, 0);
    trigger(SD, 4, t + 1499); // within 1500 ms of the stamped time
    trigger(SD, 4, t + 1500);
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(SD, t, t + 1, &result), 1);
    EXPECT_EQ(result.types, 1ull << 4);
    EXPECT_EQ(ko_event_get_info(SD, t + 1, kFar, &result), 1);
}

TEST_F(EventManager, The101stEventPushesOutTheOldest)
{
    const uint64_t t0 = 100000;
    for (int i = 0; i <= KO_EVENT_MAX_NODES; ++i)
        ASSERT_EQ(trigger(SD, 1, t0 + 2000ull * i), 0);
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(SD, t0, t0 + 1, &result), 0) << "the oldest is gone";
    EXPECT_EQ(ko_event_get_info(SD, t0 + 2000, t0 + 2001, &result), 1) << "the second oldest stays";
    EXPECT_EQ(take_all(SD), KO_EVENT_MAX_NODES - 1);
}

TEST_F(EventManager, EventsOlderThanThreeMinutesAreGone)
{
    trigger(BOTH, 1, 0);
    const uint64_t t = now_ms();
    EXPECT_EQ(ko_event_get_count(SD, nullptr, 0), 1);
    advance_ms(KO_EVENT_EXPIRE_MS);
    EXPECT_EQ(ko_event_get_count(CLOUD, nullptr, 0), 1) << "exactly 3 minutes old still counts";
    advance_ms(1);
    EXPECT_EQ(ko_event_get_count(SD, nullptr, 0), 0);
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(CLOUD, t, t + 1, &result), 0);
}

// Past 49.7 days of uptime a 32-bit millisecond count wraps, and past January 2038 a 32-bit second
// count: repeats, windows and expiry must not notice either.
TEST_F(EventManager, RepeatsWindowsAndExpiryHoldAcrossThe32BitWraps)
{
    static std::atomic<uint64_t> wall_us{2214086400ull * 1000000u}; // 2040-02-29
    ko_time_set_wall_source([] { return wall_us.load(); });
    const uint64_t saved = g_now_us.load();
    g_now_us = ((1ull << 32) - 1000) * 1000; // one second before the millisecond count needs bit 32
    const uint64_t first = now_ms();
    ASSERT_EQ(trigger(BOTH, 1, 0), 0);
    advance_ms(1200);
    ASSERT_EQ(trigger(BOTH, 1, 0), 0); // 1.2 s later, past the wrap: a repeat
    advance_ms(400);
    ASSERT_EQ(trigger(BOTH, 1, 0), 0); // 1.6 s after the first: kept
    const uint64_t second = now_ms();
    ASSERT_GT(second, UINT32_MAX);
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(SD, first, first + 1, &result), 1);
    EXPECT_EQ(ko_event_get_info(SD, first + 1, kFar, &result), 1);
    EXPECT_EQ(ko_event_get_count(CLOUD, nullptr, 0), 1);
    advance_ms(KO_EVENT_EXPIRE_MS - 1600);
    EXPECT_EQ(ko_event_get_count(CLOUD, nullptr, 0), 1) << "the first is exactly 3 minutes old";
    advance_ms(1601);
    EXPECT_EQ(ko_event_get_count(CLOUD, nullptr, 0), 0) << "both are older than 3 minutes";
    g_now_us = saved;
    ko_time_set_wall_source(nullptr);
}

TEST_F(EventManager, PendingCheckDropsTakenEventsAndFindsTheFirstPending)
{
    const uint64_t t = now_ms();
    trigger(SD, 1, t - 5000);
    trigger(CLOUD, 2, t - 4000);
    EXPECT_EQ(ko_event_get_count(SD, nullptr, 0), 1);
    EXPECT_EQ(take_all(SD), 1);
    EXPECT_EQ(ko_event_get_count(SD, nullptr, 0), 0);
    EXPECT_EQ(ko_event_get_count(CLOUD, nullptr, 0), 1);
    EXPECT_EQ(take_all(CLOUD), 1);
    EXPECT_EQ(ko_event_get_count(CLOUD, nullptr, 0), 0);
}

TEST_F(EventManager, FetchReturnsExactlyTheEventsInsideTheWindow)
{
    const uint64_t t = 600000;
    trigger(SD, 3, t - 1000);
    trigger(SD, 5, t);
    trigger(SD, 6, t + 9999);
    trigger(SD, 7, t + 10000);
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(SD, t, t + 10000, &result), 2);
    EXPECT_EQ(result.types, (1ull << 5) | (1ull << 6));
    // The one before the window was taken without being reported; the one at the end stays.
    EXPECT_EQ(ko_event_get_info(SD, 0, kFar, &result), 1);
    EXPECT_EQ(result.types, 1ull << 7);
}

TEST_F(EventManager, AnEmptyWindowTakesTheEventAtItsStart)
{
    const uint64_t t = 700000;
    trigger(SD, 3, t);
    ko_event_result result{};
    EXPECT_EQ(ko_event_get_info(SD, t, t, &result), 0);
    EXPECT_EQ(take_all(SD), 0);
}

TEST_F(EventManager, FaceEventsKeepTheirOwnFeatureCopies)
{
    uint32_t features_a[3] = {11, 12, 13};
    uint32_t features_b[2] = {21, 22};
    const uint64_t t = 800000;
    ko_event_info info{};
    info.type = KO_EVENT_TYPE_FACE;
    info.time_ms = t;
    ko_event_face face{};
    face.feature = features_a;
    face.feature_num = 3;
    std::memcpy(info.data, &face, sizeof(face));
    ASSERT_EQ(ko_ipc_event_trigger(SD, &info), 0);
    features_a[0] = 99; // the manager holds a copy

    info.type = KO_EVENT_TYPE_FACE2;
    info.time_ms = t + 10;
    face.feature = features_b;
    face.feature_num = 2;
    std::memcpy(info.data, &face, sizeof(face));
    ASSERT_EQ(ko_ipc_event_trigger(SD, &info), 0);

    ko_event_result result{};
    ASSERT_EQ(ko_event_get_info(SD, t, t + 100, &result), 2);
    EXPECT_EQ(result.types, (1ull << 9) | (1ull << 10));
    ko_event_face got{};
    std::memcpy(&got, result.face, sizeof(got));
    ASSERT_EQ(got.feature_num, 2);
    ASSERT_NE(got.feature, features_b);
    EXPECT_EQ(got.feature[0], 21u);
    EXPECT_EQ(got.feature[1], 22u);
    vexa_free(got.feature); // the leak checker proves the first face event's copy was freed too
}

TEST_F(EventManager, FaceEventWithoutFeaturesIsRefused)
{
    ko_event_info info{};
    info.type = KO_EVENT_TYPE_FACE;
    info.time_ms = 900000;
    EXPECT_EQ(ko_ipc_event_trigger(SD, &info), 0);
    uint32_t one = 1;
    ko_event_face face{};
    face.feature = &one;
    face.feature_num = 0;
    std::memcpy(info.data, &face, sizeof(face));
    EXPECT_EQ(ko_ipc_event_trigger(SD, &info), 0);
    EXPECT_EQ(take_all(SD), 0);
}

TEST_F(EventManager, TypesBeyondTheTypeSetAreRefused)
{
    EXPECT_EQ(trigger(SD, -1, 1000), -1);
    EXPECT_EQ(trigger(SD, KO_EVENT_TYPE_MAX + 1, 1000), -1);
    EXPECT_EQ(trigger(SD, KO_EVENT_TYPE_MAX, 1000), 0);
    uint64_t types = 0;
    EXPECT_EQ(take_all(SD, &types), 1);
    EXPECT_EQ(types, 1ull << KO_EVENT_TYPE_MAX);
}

TEST_F(EventManager, Type2FlagIsReportedAndCleared)
{
    uint8_t seen = 7;
    EXPECT_EQ(ko_event_get_count(SD, &seen, 0), 0);
    EXPECT_EQ(seen, 0);
    trigger(CLOUD, 2, 0);
    EXPECT_EQ(ko_event_get_count(SD, &seen, 1), 0);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(ko_event_get_count(CLOUD, &seen, 0), 1);
    EXPECT_EQ(seen, 0);
}

TEST_F(EventManager, CallsOutsideTheManagersLifeAreRefused)
{
    EXPECT_EQ(ko_ipc_event_trigger(SD, nullptr), -1);
    EXPECT_EQ(ko_event_get_info(SD, 0, 1, nullptr), -1);
    trigger(SD, 1, 0);
    ASSERT_EQ(ko_event_manage_deinit(), 0);
    ko_event_result result{};
    EXPECT_EQ(trigger(SD, 1, 0), -1);
    EXPECT_EQ(ko_event_get_info(SD, 0, kFar, &result), -1);
    EXPECT_EQ(ko_event_get_count(SD, nullptr, 0), -1);
    ASSERT_EQ(ko_event_manage_init(), 0);
    EXPECT_EQ(ko_event_manage_init(), 0);
    EXPECT_EQ(take_all(SD), 0) << "a stop drops every event";
}

} // namespace
