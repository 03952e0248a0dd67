// Cloud event recording's start, settings and clip list on a started SDK core.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "../sdk/ko_sdk_fixture.h"
#include "app/cloud/cloud_list.h"
#include "app/cloud/cloud_schedule.h"
#include "app/cloud/ko_cloud.h"
#include "app/cloud/ko_cloud_test.h"
#include "common/utils/ko_time_test.h"

namespace {

std::atomic<uint64_t> g_wall_us{1700000000ull * 1000000};
std::atomic<uint64_t> g_tick_us{5000000};
uint64_t test_wall() { return g_wall_us.load(); }
uint64_t test_tick() { return g_tick_us.load(); }

cloud_init_param_t init_param()
{
    cloud_init_param_t p{};
    snprintf(p.dir, sizeof p.dir, "/tmp/stream");
    p.check_face = p.check_baby_cry = 1;
    p.audio_channel = 4;
    p.buffer_size = 2097152;
    p.auto_switch = 1;
    return p;
}

class Cloud : public sdktest::SdkTest {
protected:
    void SetUp() override
    {
        ko_time_set_wall_source(test_wall);
        g_wall_us = 1700000000ull * 1000000;
        sdktest::SdkTest::SetUp();
        ko_stream_chn_info main{};
        main.channel = 0;
        main.resolution = {1920, 1080};
        main.gop = 60; // 3 s at 20 frames/s
        main.encode = 5;
        main.bitrate = 2000;
        main.fps = 20;
        main.seconds = 10;
        ASSERT_EQ(ko_ipc_stream_chn_add(&main), 0);
    }

    void TearDown() override
    {
        ko_cloud_deinit();
        sdktest::SdkTest::TearDown();
        ko_time_set_wall_source(nullptr);
        ko_time_set_tick_source(nullptr);
    }
};

TEST_F(Cloud, InitChecksItsArguments)
{
    EXPECT_EQ(ko_cloud_init(nullptr), -5);
    cloud_init_param_t p = init_param();
    p.buffer_size = 921599;
    EXPECT_EQ(ko_cloud_init(&p), -5) << "a buffer under 921600 bytes is refused";
    p = init_param();
    memset(p.dir, 'd', 48);
    p.dir[0] = '/';
    p.dir[48] = 0;
    EXPECT_EQ(ko_cloud_init(&p), -5) << "48 characters leave no room for the clip names";
    p.dir[47] = 0;
    EXPECT_EQ(ko_cloud_init(&p), 0);
    EXPECT_EQ(ko_cloud_deinit(), 0);
    g_wall_us = 946656000ull * 1000000;
    p = init_param();
    EXPECT_EQ(ko_cloud_init(&p), -4);
    EXPECT_EQ(ko_cloud_deinit(), -1);
}

TEST_F(Cloud, BufferSizeIsGivenOrDerived)
{
    cloud_init_param_t p = init_param();
    ASSERT_EQ(ko_cloud_init(&p), 0);
    EXPECT_EQ(ko_cloud_init(&p), 0) << "a second init is taken as done";
    cloud_buffer_info_t info{};
    EXPECT_EQ(ko_cloud_query_buffer(nullptr), -5);
    ASSERT_EQ(ko_cloud_query_buffer(&info), 0);
    EXPECT_EQ(info.count, 0);
    EXPECT_EQ(info.size, 2097152);
    EXPECT_EQ(info.free_bytes, 2097152);
    ASSERT_EQ(ko_cloud_deinit(), 0);
    p.buffer_size = 0;
    ASSERT_EQ(ko_cloud_init(&p), 0);
    EXPECT_EQ(ko_cloud_test_buffer_size(), 2000u * 10u * 2048u / 10u);
}

TEST_F(Cloud, AlarmConfigurationIsCheckedAndBounded)
{
    cloud_alarm_config_t c{};
    EXPECT_EQ(ko_alarm_config_set(&c), -1) << "before init";
    cloud_init_param_t p = init_param();
    ASSERT_EQ(ko_cloud_init(&p), 0);
    EXPECT_EQ(ko_alarm_config_set(nullptr), -5);
    c.back_seconds = 6;
    ASSERT_EQ(ko_alarm_config_set(&c), 0);
    EXPECT_EQ(ko_cloud_test_alarm_config().record_seconds, 9) << "0 s becomes 9";
    EXPECT_EQ(ko_cloud_test_alarm_config().back_seconds, 6) << "(10 - 2) s cut to whole 3 s groups";
    c.back_seconds = 7;
    ASSERT_EQ(ko_alarm_config_set(&c), 0);
    EXPECT_EQ(ko_cloud_test_alarm_config().back_seconds, 3) << "too far back becomes one group";
    c.record_seconds = 31;
    EXPECT_EQ(ko_alarm_config_set(&c), -5);
    c.record_seconds = 30;
    EXPECT_EQ(ko_alarm_config_set(&c), 0);
    for (auto field : {&cloud_alarm_config_t::start_hour, &cloud_alarm_config_t::end_hour}) {
        for (int bad : {-1, 24, 99}) {
            cloud_alarm_config_t b = c;
            b.*field = bad;
            EXPECT_EQ(ko_alarm_config_set(&b), -5) << bad;
        }
    }
    for (auto field : {&cloud_alarm_config_t::start_minute, &cloud_alarm_config_t::start_second,
                       &cloud_alarm_config_t::end_minute, &cloud_alarm_config_t::end_second}) {
        for (int bad : {-1, 60}) {
            cloud_alarm_config_t b = c;
            b.*field = bad;
            EXPECT_EQ(ko_alarm_config_set(&b), -5) << bad;
        }
    }
    EXPECT_EQ(ko_cloud_test_alarm_config().record_seconds, 30) << "refused settings leave the last good one";
}

TEST(CloudSchedule, MinutesOfTheDay)
{
    cloud_alarm_config_t c{};
    c.schedule_on = 1;
    c.start_hour = 22;
    c.end_hour = 6;
    EXPECT_EQ(_check_curtime_is_alarm(&c, 23 * 60 + 30), 1);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 5 * 60), 1);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 6 * 60), 1);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 6 * 60 + 1), 0);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 12 * 60), 0);
    c.start_hour = 8;
    c.end_hour = 17;
    c.end_minute = 30;
    EXPECT_EQ(_check_curtime_is_alarm(&c, 8 * 60), 1);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 17 * 60 + 30), 1);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 17 * 60 + 31), 0);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 7 * 60 + 59), 0);
    c.end_hour = 8;
    c.end_minute = 0;
    EXPECT_EQ(_check_curtime_is_alarm(&c, 8 * 60), 1);
    EXPECT_EQ(_check_curtime_is_alarm(&c, 8 * 60 + 1), 0);
    c.schedule_on = 0;
    EXPECT_EQ(_check_curtime_is_alarm(&c, 8 * 60), 0);
}

class CloudList : public ::testing::Test {
protected:
    void SetUp() override
    {
        ko_time_set_tick_source(test_tick);
        cloud_list_init(2097152);
    }
    void TearDown() override
    {
        cloud_list_deinit();
        ko_time_set_tick_source(nullptr);
    }

    cloud_file_node_t clip(int n, uint32_t size, bool with_jpeg = true)
    {
        cloud_file_node_t c{};
        snprintf(c.mp4_path, sizeof c.mp4_path, "/tmp/stream/%d.mp4", n);
        snprintf(c.jpeg_path, sizeof c.jpeg_path, "/tmp/stream/%d.jpeg", n);
        root_.write_file(c.mp4_path, "mp4");
        if (with_jpeg)
            root_.write_file(c.jpeg_path, "jpeg");
        c.size = size;
        c.create_tick_ms = g_tick_us / 1000;
        return c;
    }

    static int add(const cloud_file_node_t &c) { return cloud_list_add(&c); }

    zeltest::TempRoot root_;
};

TEST_F(CloudList, TenClipsAtMostAndWithinTheBuffer)
{
    for (int i = 1; i <= 10; ++i)
        ASSERT_EQ(add(clip(i, 1000)), 0) << i;
    EXPECT_EQ(add(clip(11, 1000)), -5) << "the 11th clip is refused";
    cloud_file_node_t out{};
    ASSERT_EQ(cloud_list_getfile(&out), 1);
    EXPECT_STREQ(out.mp4_path, "/tmp/stream/1.mp4");
    ASSERT_EQ(cloud_list_getfile(&out), 2) << "the hand-out count grows";
    ASSERT_EQ(cloud_list_delete(), 0);
    EXPECT_FALSE(root_.exists("/tmp/stream/1.mp4"));
    EXPECT_FALSE(root_.exists("/tmp/stream/1.jpeg"));
    EXPECT_EQ(add(clip(11, 1000)), 0);
    EXPECT_EQ(add(clip(12, 0)), -1) << "an empty clip";
    cloud_list_delete_all();
    int32_t count = -1, used = -1;
    cloud_list_usage(&count, &used, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(used, 0);
    EXPECT_FALSE(root_.exists("/tmp/stream/11.mp4"));
    EXPECT_EQ(cloud_list_getfile(&out), -2);
    EXPECT_EQ(cloud_list_delete(), -2);

    ASSERT_EQ(add(clip(20, 2000000)), 0);
    EXPECT_EQ(add(clip(21, 97153)), -5) << "one byte over the buffer";
    EXPECT_EQ(add(clip(21, 97152)), 0);
}

TEST_F(CloudList, ClipWaitsForItsSnapshotUpTo1200Ms)
{
    ASSERT_EQ(add(clip(1, 100, false)), 0);
    cloud_file_node_t out{};
    EXPECT_EQ(cloud_list_getfile(&out), -3);
    g_tick_us += 1200 * 1000;
    EXPECT_EQ(cloud_list_getfile(&out), -3) << "still within 1200 ms";
    root_.write_file("/tmp/stream/1.jpeg", "jpeg");
    EXPECT_EQ(cloud_list_getfile(&out), 1) << "the snapshot landed";
    cloud_list_delete_all();
    ASSERT_EQ(add(clip(2, 100, false)), 0);
    g_tick_us += 1201 * 1000;
    EXPECT_EQ(cloud_list_getfile(&out), 1) << "sent without a snapshot once it is older";
}

TEST_F(Cloud, StartClearsClipsOfAnEarlierRun)
{
    root_.write_file("/tmp/stream/3.mp4", "old");
    root_.write_file("/tmp/stream/3.jpeg", "old");
    root_.write_file("/tmp/stream/keep.txt", "other");
    cloud_init_param_t p = init_param();
    ASSERT_EQ(ko_cloud_init(&p), 0);
    EXPECT_FALSE(root_.exists("/tmp/stream/3.mp4"));
    EXPECT_FALSE(root_.exists("/tmp/stream/3.jpeg"));
    EXPECT_TRUE(root_.exists("/tmp/stream/keep.txt"));
    EXPECT_EQ(ko_cloud_set_upload_switch(1), 0);
    char vip = 9;
    EXPECT_EQ(ko_cloud_get_vip_status(&vip), 0);
    EXPECT_EQ(vip, 0);
    ASSERT_EQ(ko_cloud_deinit(), 0);
    EXPECT_EQ(ko_cloud_set_upload_switch(1), -1);
    EXPECT_EQ(ko_cloud_get_vip_status(&vip), -1);
    EXPECT_EQ(ko_cloud_init(&p), 0) << "a re-init works";
}

} // namespace
