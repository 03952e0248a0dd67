// Detection events through the alarm gates of the started business layer, on SDK clocks the test
// moves: what reaches the daemon simulator as "event_occured" and what the event manager holds for
// the SD recorder and the cloud recorder, per consumer.
#include "zel_client_clocks.h"

#include <atomic>
#include <thread>

#include "app/cloud/ko_cloud_test.h"
#include "common/event/ko_event.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"

namespace clienttest {
namespace {

constexpr int kMotion = ZEL_TOLK_EVENT_MOTION;
constexpr int kPeople = ZEL_TOLK_EVENT_PEOPLE;
constexpr int kLoud = ZEL_TOLK_EVENT_LOUD;

class Alarm : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        info_ = start_business();
        ASSERT_NE(info_, nullptr);
        ASSERT_EQ(zel_tolk_init_cloud(), 0) << "the subscription query answers once the cloud runs";
        // Both clocks stand still unless the test moves them; the tick starts ahead of the real one.
        g_tick_us = (vexa_time_tick_ms() / 1000 + 10) * 1000000;
        g_wall_us = 1700000000ull * 1000000;
        ko_time_set_tick_source(test_tick);
        ko_time_set_wall_source(test_wall);
        __atomic_store_n(&info_->first_key_frame, 1u, __ATOMIC_RELEASE);
        for (int kind : {0, 2, 3})
            ASSERT_EQ(zel_tolk_set_alarm_switch(kind, 1), 0);
        ko_cloud_test_set_vip(1);
        taken(KO_EVENT_CONSUMER_SD), taken(KO_EVENT_CONSUMER_CLOUD);
    }
    void TearDown() override
    {
        ko_time_set_tick_source(nullptr);
        ko_time_set_wall_source(nullptr);
        ko_cloud_deinit();
        ClientTest::TearDown();
    }

    static int push(int type) { return zel_tolk_push_event_data(&type, 0); }
    // The events the consumer has pending (and takes them).
    static int taken(int consumer)
    {
        ko_event_result result{};
        return ko_event_get_info(consumer, 0, UINT64_MAX, &result);
    }
    // The "event_occured" messages the simulator received from `since` (objects on the RPC link).
    int events_since(int since, int wait_ms = 1500) { return device_events_since(*sim_, since, wait_ms); }
    int rpc_count() { return sim_->received_count("rpc"); }

    zel_tolk_info_t *info_ = nullptr;
};

TEST_F(Alarm, SubscribedMotionReachesTheCloudOnlyPastTenSeconds)
{
    const int since = rpc_count();
    ASSERT_EQ(push(kMotion), 0);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1) << "the first event of a kind passes at once";
    advance_tick_ms(10500);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1) << "10.5 s after the last clip";
    advance_tick_ms(10000);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0) << "exactly 10.0 s is not past the interval";
    EXPECT_GE(events_since(since), 2) << "the device events reached the daemon";
}

TEST_F(Alarm, UnsubscribedCloudEventsKeepTheConfiguredMinutesApart)
{
    ko_cloud_test_set_vip(0);
    ASSERT_EQ(zel_tolk_set_alarm_interval(3), 0);
    EXPECT_EQ(info_->alarm_interval_ms, 180000);
    int sd = 0, cloud = 0;
    // An event every 30 s for six minutes: a clip at 0, 3.5 and the SD card every time.
    for (int i = 0; i < 13; ++i) {
        push(kPeople);
        sd += taken(KO_EVENT_CONSUMER_SD);
        const int c = taken(KO_EVENT_CONSUMER_CLOUD);
        cloud += c;
        if (c) {
            EXPECT_TRUE(i == 0 || i == 7) << "clip at event " << i;
        }
        advance_tick_ms(30000);
    }
    EXPECT_EQ(sd, 13);
    EXPECT_EQ(cloud, 2);
}

TEST_F(Alarm, IntervalOutsideItsRangeIsRefusedAndKept)
{
    ASSERT_EQ(zel_tolk_set_alarm_interval(35791), 0);
    EXPECT_EQ(info_->alarm_interval_ms, 35791 * 60000);
    EXPECT_EQ(zel_tolk_set_alarm_interval(35792), -1) << "its milliseconds would wrap below zero";
    EXPECT_EQ(zel_tolk_set_alarm_interval(-1), -1);
    EXPECT_EQ(info_->alarm_interval_ms, 35791 * 60000);
    ko_cloud_test_set_vip(0);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1);
    advance_tick_ms(60000);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0) << "a wrapped interval would let every event through";
}

TEST_F(Alarm, NothingBeforeAKeyFrameOrAValidClockOrWhileOff)
{
    const int since = rpc_count();
    __atomic_store_n(&info_->first_key_frame, 0u, __ATOMIC_RELEASE);
    EXPECT_EQ(push(kMotion), 0);
    __atomic_store_n(&info_->first_key_frame, 1u, __ATOMIC_RELEASE);
    g_wall_us = 1546271999ull * 1000000 + 999999;
    EXPECT_EQ(push(kMotion), 0);
    g_wall_us = 1700000000ull * 1000000;
    // Switching off closes the key-frame gate until the next key frame.
    _setup_device_track_switch(0);
    push(kMotion);
    push(ZEL_TOLK_EVENT_NO_HUMAN);
    _setup_device_track_switch(1);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 0);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0);
    EXPECT_EQ(events_since(since, 700), 0);
    EXPECT_EQ(info_->motion_last_ms, 0u);

    int type = kMotion;
    EXPECT_EQ(zel_tolk_push_event_data(nullptr, 0), -1);
    __atomic_store_n(&info_->first_key_frame, 1u, __ATOMIC_RELEASE);
    EXPECT_EQ(zel_tolk_push_event_data(&type, 0), 0);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1) << "a key frame opens the gates again";
}

TEST_F(Alarm, LoudSoundDuringTalkBackGoesToTheCardOnly)
{
    ASSERT_EQ(zel_tolk_set_loud_ignore_time(35), 0);
    advance_tick_ms(30000);
    push(kLoud);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0);
    EXPECT_NE(info_->loud_last_ms, 0u) << "the interval counts from the refused clip";
    advance_tick_ms(6000); // the talk-back window is over, the interval is not
    push(kLoud);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0);
    advance_tick_ms(5000);
    push(kLoud);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1);
}

TEST_F(Alarm, KeyAreaOutsideItsWindowOnlyMarksTheStatus)
{
    const int since = rpc_count();
    ASSERT_EQ(zel_tolk_set_period_mode(1), 0);
    EXPECT_EQ(zel_tolk_get_key_area_status(), 0);
    push(ZEL_TOLK_EVENT_KEY_AREA);
    EXPECT_EQ(zel_tolk_get_key_area_status(), 1);
    EXPECT_EQ(events_since(since, 700), 0);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 0) << "type 6 is no SD event";
    ASSERT_EQ(zel_tolk_set_period_mode(0), 0);
    info_->smart_care_in_window = 1;
    push(ZEL_TOLK_EVENT_KEY_AREA);
    EXPECT_EQ(events_since(since), 1) << "inside its window the event reaches the daemon";
}

TEST_F(Alarm, WallClockStepsMoveNoGate)
{
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1);
    g_wall_us -= 3600ull * 1000000;
    advance_tick_ms(11000);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1) << "an hour back: the interval still ran out";
    g_wall_us += 7200ull * 1000000;
    advance_tick_ms(2000);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0) << "two hours forward: the interval has not";
    ASSERT_EQ(zel_tolk_set_ignore_time(5), 0);
    g_wall_us -= 3600ull * 1000000;
    advance_tick_ms(12000);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1) << "the 5 s window closed on the monotonic clock";
}

TEST_F(Alarm, MotionIgnoreWindowHoldsTheDeviceEventAndTheClip)
{
    const int since = rpc_count();
    ASSERT_EQ(send_if_event2ko(7), 0) << "type 7 opens a 5 s window";
    events_since(since);
    const int mark = rpc_count();
    advance_tick_ms(2000);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1) << "the card records anyway";
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0);
    EXPECT_EQ(events_since(mark, 700), 0) << "no device event for motion inside the window";
    advance_tick_ms(12000);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 1);
}

TEST_F(Alarm, SwitchesAndPowerGateEachKind)
{
    ASSERT_EQ(zel_tolk_set_alarm_switch(0, 0), 0);
    EXPECT_EQ(info_->cloud_detect_switch, 0u);
    EXPECT_EQ(info_->motion_switch, 0u);
    push(kMotion);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 0);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    ASSERT_EQ(zel_tolk_set_alarm_switch(4, 0), 0);
    advance_tick_ms(2000);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1) << "the pet switch leaves people detection on";
    ASSERT_EQ(zel_tolk_set_alarm_switch(2, 0), 0);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 0);
    ASSERT_EQ(zel_tolk_set_alarm_switch(4, 1), 0);
    advance_tick_ms(2000);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1) << "pets come as people events";
    __atomic_store_n(&info_->power, 0u, __ATOMIC_RELEASE);
    push(kLoud);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 0);
    __atomic_store_n(&info_->power, 1u, __ATOMIC_RELEASE);
    push(kLoud);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
}

TEST_F(Alarm, TheCardRecordsWhileTheCloudGivesNoSubscriptionAnswer)
{
    ASSERT_EQ(ko_cloud_deinit(), 0);
    push(kPeople);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_SD), 1);
    EXPECT_EQ(taken(KO_EVENT_CONSUMER_CLOUD), 0) << "clips wait for the cloud's answer";
}

TEST_F(Alarm, StartTimeTextsKeepFifteenCharactersAndTheirEnd)
{
    EXPECT_EQ(zel_tolk_set_alarm_start_time(0, nullptr), -1);
    const std::string end_before = info_->motion_end_time;
    ASSERT_EQ(zel_tolk_set_alarm_start_time(0, "0123456789abcdefXYZ"), 0);
    EXPECT_STREQ(info_->motion_start_time, "0123456789abcde");
    EXPECT_EQ(info_->motion_end_time, end_before) << "the next field is untouched";
    ASSERT_EQ(zel_tolk_set_alarm_start_time(7, "23:59:59"), 0);
    EXPECT_STREQ(info_->pet_end_time, "23:59:59");
    EXPECT_EQ(zel_tolk_set_alarm_start_time(8, "00:00:00"), 0) << "an unknown kind changes nothing";
}

} // namespace
} // namespace clienttest
