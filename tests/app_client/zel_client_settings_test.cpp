// The device settings operations against an outside app on the agent bus (the Python agent peer):
// each arrives as its message with the payload its row's kind gives, picture and light changes hold
// motion events back for 5 s, and set_power moves the pan-tilt head (the simulated peripheral
// library's record) only to positions it could read.
#include "zel_client_clocks.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/kv/ko_kv.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_client_agent_listener.h"
#include "zel_peripheral_test.h"

namespace clienttest {
namespace {

const std::vector<std::string> kMethods = {
    "set_dev_status",          "set_human_config_from_app", "set_flip_config_from_app", "set_speaker_vol",
    "set_night_mode",          "set_logo_watermark_from_app", "set_track_switch_from_app", "set_wdr_config_from_app",
    "set_full_color_from_app", "set_ldc_cmd",               "set_detection_sensi_cmd",  "set_sdcard_sejected",
    "sdcard_format"};

std::string point_call(int command, int x, int y)
{
    return "zel_api_ptz_control(" + std::to_string(command) + ",-1,8,[" + std::to_string(x) + "," +
           std::to_string(y) + "])";
}

class Settings : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
        info_ = get_zel_tolk_info_pointer();
        ASSERT_NE(info_, nullptr);
        listener_ = std::make_unique<AgentListener>(root(), kMethods, 60);
    }
    void TearDown() override
    {
        ko_time_set_tick_source(nullptr);
        listener_.reset();
        ClientTest::TearDown();
    }
    std::string last_param(const std::string &method, size_t count)
    {
        const std::vector<std::string> got = listener_->params_of(method, count);
        return got.size() >= count ? got[count - 1] : "";
    }
    static bool called(const std::string &call)
    {
        const std::vector<std::string> calls = periph_test_calls();
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    static void put(const char *key, const char *value)
    {
        ASSERT_EQ(zel_api_db_set_value(key, value, static_cast<int>(strlen(value)), 0), 0);
    }

    zel_tolk_info_t *info_ = nullptr;
    std::unique_ptr<AgentListener> listener_;
};

TEST_F(Settings, EachOperationArrivesAsItsMessage)
{
    ASSERT_EQ(set_key_area(10, 20, 300, 200), 0);
    EXPECT_EQ(last_param("set_human_config_from_app", 1), R"("[10 20 300 200]")");
    ASSERT_EQ(set_key_area(-2147483647 - 1, -2147483647 - 1, 2147483647, -2147483647 - 1), 0);
    EXPECT_EQ(last_param("set_human_config_from_app", 2), R"("[-2147483648 -2147483648 2147483647 -2147483648]")")
        << "four numbers of 32 bits arrive whole";
    ASSERT_EQ(set_ao_volume(0), 0);
    EXPECT_EQ(last_param("set_speaker_vol", 1), R"("volume")");
    ASSERT_EQ(set_ao_volume(3), 0);
    EXPECT_EQ(last_param("set_speaker_vol", 2), R"("mute")");
    ASSERT_EQ(set_rotate(1), 0);
    EXPECT_EQ(last_param("set_flip_config_from_app", 1), "1");
    ASSERT_EQ(set_night_mode(2), 0);
    EXPECT_EQ(last_param("set_night_mode", 1), std::to_string('2')) << "the digit's byte in an int";
    ASSERT_EQ(set_logo_watermark(1), 0);
    EXPECT_EQ(last_param("set_logo_watermark_from_app", 1), R"("{\"ver\":\"1.0.0\",\"switch\":1}")");
    ASSERT_EQ(set_track_switch(0), 0);
    EXPECT_EQ(last_param("set_track_switch_from_app", 1), R"("{\"ver\":\"1.0.0\",\"switch\":0,\"type\":1}")");
    ASSERT_EQ(set_wdr_mode(1), 0);
    EXPECT_EQ(last_param("set_wdr_config_from_app", 1), "1");
    ASSERT_EQ(set_glimmer_full_color(0), 0);
    EXPECT_EQ(last_param("set_full_color_from_app", 1), "0");
    ASSERT_EQ(set_video_ldc(1), 0);
    EXPECT_EQ(last_param("set_ldc_cmd", 1), "1");
    ASSERT_EQ(set_alarm_sensitivity(3), 0);
    EXPECT_EQ(last_param("set_detection_sensi_cmd", 1), "3");
    ASSERT_EQ(set_sdcard_ejected(1), 0);
    EXPECT_EQ(last_param("set_sdcard_sejected", 1), "1");
    ASSERT_EQ(format_sdcard_func(), 0);
    EXPECT_EQ(last_param("sdcard_format", 1), R"("fake_mesasage")");
    ASSERT_EQ(ctrl_led_switch(1), 0);
    ASSERT_EQ(ctrl_led_switch(0), 0);
    EXPECT_EQ(last_param("set_dev_status", 2), R"("led_off")");
    EXPECT_EQ(last_param("set_dev_status", 1), R"("led_on")");

    ASSERT_EQ(set_alarm_interval(2), 0);
    EXPECT_EQ(info_->alarm_interval_ms, 120000);
    ASSERT_EQ(set_alarm_switch_status(3, 1), 0);
    EXPECT_EQ(info_->loud_switch, 1u);
    ASSERT_EQ(set_key_area_switch(1), 0);
    EXPECT_EQ(info_->smart_care_switch, 1u);
}

TEST_F(Settings, RebootStopsRecordingAndResetClearsTheKvStore)
{
    ASSERT_EQ(device_reboot(), 0);
    EXPECT_EQ(last_param("set_dev_status", 1), R"("dev_reboot")");
    ASSERT_EQ(ko_kv_set_value("S", "kept", "v", 1), 0);
    ASSERT_EQ(reset_device_info(), 0);
    EXPECT_EQ(last_param("set_dev_status", 2), R"("dev_reset")");
    char value[8] = {};
    EXPECT_NE(ko_kv_get_value("S", "kept", value, sizeof value), 0) << "the value stored before is gone";
}

TEST_F(Settings, PictureAndLightChangesHoldMotionBackForFiveSeconds)
{
    g_tick_us = (vexa_time_tick_ms() / 1000 + 10) * 1000000;
    ko_time_set_tick_source(test_tick);
    __atomic_store_n(&info_->first_key_frame, 1u, __ATOMIC_RELEASE);
    auto motion_reaches_sim = [&] {
        const int since = sim_->received_count("rpc");
        int type = ZEL_TOLK_EVENT_MOTION;
        zel_tolk_push_event_data(&type, 0);
        return device_events_since(*sim_, since, 700) > 0;
    };
    const std::vector<std::pair<const char *, int (*)()>> changes = {
        {"flip", [] { return set_rotate(0); }},
        {"night", [] { return set_night_mode(1); }},
        {"wdr", [] { return set_wdr_mode(0); }},
        {"full colour", [] { return set_glimmer_full_color(1); }},
        {"led", [] { return ctrl_led_switch(1); }},
        {"lens", [] { return set_video_ldc(0); }},
    };
    for (const auto &change : changes) {
        g_tick_us += 11000000ull; // past the motion event's own 10 s rate limit
        ASSERT_EQ(change.second(), 0) << change.first;
        g_tick_us += 2000000ull;
        EXPECT_FALSE(motion_reaches_sim()) << change.first;
        g_tick_us += 3500000ull;
        EXPECT_TRUE(motion_reaches_sim()) << change.first;
    }
}

TEST_F(Settings, SleepReHomesThroughTheSleepPointWhileTracking)
{
    put("NVM.IPC:sleep_angle", "1");
    put("NVM.IPC:sleep_motor", "[30,60]");
    put("NVM.IPC:motor", "[70,20]");
    put("NVM.ALGO:track_switch", "1");
    periph_test_clear_calls();
    set_power(0);
    EXPECT_TRUE(called(point_call(ZEL_PTZ_CMD_CALIBRATE, 30, 60)));
    EXPECT_FALSE(called(point_call(ZEL_PTZ_CMD_GOTO, 30, 60)));
    EXPECT_EQ(last_param("set_dev_status", 1), R"("start_sleep")");
    EXPECT_EQ(info_->power, 0u);
    char saved[33] = {};
    ASSERT_EQ(zel_api_db_get_value("NVM.default:motor_position", saved, sizeof saved), 0);
    EXPECT_STREQ(saved, "[70,20]") << "where the head was, for the wake-up";

    put("NVM.ALGO:track_switch", "0");
    periph_test_clear_calls();
    set_power(0);
    EXPECT_TRUE(called(point_call(ZEL_PTZ_CMD_GOTO, 30, 60)));
}

TEST_F(Settings, WakeUpDrivesOnlyToAPositionItCouldRead)
{
    put("NVM.IPC:motor", "[1,1]");
    put("NVM.default:motor_position", "[120,45]");
    put("NVM.IPC:sleep_angle", "0");
    periph_test_clear_calls();
    set_power(1);
    EXPECT_EQ(last_param("set_dev_status", 1), R"("stop_sleep")");
    EXPECT_EQ(info_->power, 1u);
    EXPECT_FALSE(called(point_call(ZEL_PTZ_CMD_GOTO, 120, 45))) << "sleep angle 0 keeps the head";

    put("NVM.IPC:sleep_angle", "1");
    set_power(1);
    EXPECT_TRUE(called(point_call(ZEL_PTZ_CMD_GOTO, 120, 45)));

    put("NVM.default:motor_position", "[12");
    periph_test_clear_calls();
    set_power(1);
    for (const std::string &call : periph_test_calls())
        EXPECT_EQ(call.find("zel_api_ptz_control(3,"), std::string::npos) << call;
}

class SettingsUnconnected : public ClientTest {};

TEST_F(SettingsUnconnected, ARefusedMessageFails)
{
    ASSERT_NE(start_business(), nullptr);
    EXPECT_EQ(set_rotate(1), -1) << "the agent module is not connected";
    EXPECT_EQ(set_key_area(1, 2, 3, 4), -1);
    EXPECT_EQ(device_reboot(), -1);
    EXPECT_EQ(set_night_mode(1), 0) << "night mode reports no failure";
}

} // namespace
} // namespace clienttest
