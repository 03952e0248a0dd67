// The algorithm app with the simulated detection library and board, the push double in the client's
// place, the agent hub and messages from the Python agent peer: detections to client events, sleep
// and wake, the power status at start, the alarm settings at start and from the phone-facing apps,
// cry events, a second creation while the first one's workers run, and the stop before an upgrade.
#include "algo_test_env.h"
#include "media_test_env.h"

#include "agent_server_test.h"
#include "boardav_test.h"
#include "sdk_porting_double.h"
#include "zel_algo.h"
#include "zel_db/zel_db.h"
#include "zel_detection_test.h"
#include "zel_ircut.h"
#include "zel_ircut_test.h"
#include "zel_media.h"
#include "zel_peripheral_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using mediatest::store;
using mediatest::setting;
using algotest::param_floats;
using algotest::param_int;
using algotest::param_text;
using algotest::threads_named;

// The pause before the detection library starts, and a generous margin.
constexpr auto kDetectionStart = 25s;

// A text message for the agent peer: the JSON text goes as a string, as the apps send it.
std::string text_message(const std::string &method, const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    return method + "=" + quoted + "\"";
}

void detect(int code)
{
    zel_algo_event_t event{};
    event.code = code;
    zel_algo_trigger_event_send(&event);
}

class AlgoApp : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_ = std::make_unique<mediatest::Env>();
        ASSERT_EQ(zel_media_init(), 0);
        portdouble::clear();
        board_test_clear_calls();
    }
    void TearDown() override
    {
        zel_algo_finish();
        zel_media_deinit();
        if (first_)
            first_->invoke(first_, APP_CMD_DESTROY, 0, 0, 0);
    }
    void create()
    {
        first_ = algo_app_create(0);
        ASSERT_NE(first_, nullptr);
        ASSERT_TRUE(zeltest::wait_until([] { return agent_server_subscribers("set_detection_sensi_cmd") > 0; }, 10s));
    }
    void wait_detection()
    {
        ASSERT_TRUE(zeltest::wait_until([] { return detection_test_running(); }, kDetectionStart));
    }
    std::string send(const std::vector<std::string> &messages) { return mediatest::agent_send(messages); }
    std::unique_ptr<mediatest::Env> env_;
    app_object_t *first_ = nullptr;
};

TEST_F(AlgoApp, DetectionsBecomeClientEvents)
{
    create();
    wait_detection();
    detection_test_script({{0, false, 5}, {10, false, 2}, {20, false, 1}, {30, false, 8}, {40, false, 6},
                           {50, false, 14}, {60, false, 3}, {70, false, 1}});
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::events().size() >= 7; }, 5s));
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(portdouble::events(), (std::vector<int>{1, 0, 3, 2, 5, 6, 3})) << "code 3 is dropped";
    EXPECT_TRUE(zel_ircut_test_people_flag()) << "a person arms the smart mode's colour phase";
}

TEST_F(AlgoApp, SleepDropsEventsAndEndsTheWorkerWakingRestoresBoth)
{
    create();
    ASSERT_TRUE(zeltest::wait_until([] { return threads_named("soc_ircut_ctrl") == 1; }, 10s));
    detect(2);
    EXPECT_EQ(portdouble::events(), std::vector<int>{0});

    send({"set_dev_status=start_sleep_for_a_while"}); // a prefix is enough
    ASSERT_TRUE(zeltest::wait_until([] { return get_power_status() == 0 && threads_named("soc_ircut_ctrl") == 0; }, 10s));
    EXPECT_FALSE(periph_test_light(1).enabled);
    detect(2);
    detect(5);
    EXPECT_EQ(portdouble::events(), std::vector<int>{0});

    send({"set_dev_status=stop_sleep"});
    ASSERT_TRUE(zeltest::wait_until([] { return get_power_status() == 1 && threads_named("soc_ircut_ctrl") == 1; }, 10s));
    detect(2);
    EXPECT_EQ(portdouble::events(), (std::vector<int>{0, 0}));
    send({"set_dev_status=sleeping"}); // neither
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(get_power_status(), 1);
}

TEST_F(AlgoApp, AsleepAtStartTheCryDetectorRunsAndDetectionStartsLater)
{
    store("NVM.IPC:power", "0");
    create();
    ASSERT_TRUE(zeltest::wait_until([] { return threads_named("babycry_task") == 1; }, 5s));
    EXPECT_EQ(get_power_status(), 0);
    std::this_thread::sleep_for(3s); // not scaled: the pause is 10 s of real time
    EXPECT_FALSE(detection_test_running()) << "the detection library waits 10 s";
    wait_detection();
    EXPECT_EQ(threads_named("soc_ircut_ctrl"), 0);
    detection_test_script({{0, false, 2}});
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    EXPECT_TRUE(portdouble::events().empty()) << "asleep, detections are dropped";

    send({"set_dev_status=stop_sleep"});
    ASSERT_TRUE(zeltest::wait_until([] { return threads_named("soc_ircut_ctrl") == 1; }, 10s));
    detection_test_script({{0, false, 2}});
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::events() == std::vector<int>{0}; }, 5s));
}

TEST_F(AlgoApp, StoredAlarmSettingsReachTheDetectionLibraryAndTheBoard)
{
    store("NVM.ALGO:motion_prop", R"({"switch":1,"sensitive":3,"region":[[0, 0], [10, 10]]})");
    store("NVM.ALGO:human_prop", R"({"sensitive":2,"region":{"x": 1}})");
    store("NVM.ALGO:voice_prop", R"({"sensitive":40})");
    store("NVM.ALARM:smart_care_area", R"([{"area":"[0.5,0.25],[2,4]"},{"other":1}])");
    create();
    wait_detection();
    EXPECT_EQ(param_int(7), 3);
    EXPECT_EQ(param_text(11), "[[0,0],[10,10]]");
    EXPECT_EQ(param_int(6), 2);
    EXPECT_EQ(param_text(10), R"({"x":1})");
    EXPECT_EQ(param_floats(12), (std::vector<float>{0.5f, 0.25f, 2.f, 4.f}));
    EXPECT_EQ(mediatest::call_count("set_soc_lsd_threshold(40)"), 1u);
    EXPECT_EQ(setting("NVM.ALGO:motion_prop"), R"({"switch":1,"sensitive":3,"region":[[0, 0], [10, 10]]})");
}

TEST_F(AlgoApp, AlarmSettingsAreStoredOnlyWhenTheyDiffer)
{
    store("NVM.ALGO:motion_prop", R"({"sensitive":5}   )");
    EXPECT_EQ(zel_algo_set_motion_prop(R"({"sensitive":5})"), 0);
    EXPECT_EQ(setting("NVM.ALGO:motion_prop"), R"({"sensitive":5}   )") << "the stored text begins with it";
    EXPECT_EQ(param_int(7), 5);
    EXPECT_EQ(zel_algo_set_motion_prop(R"({"sensitive":6})"), 0);
    EXPECT_EQ(setting("NVM.ALGO:motion_prop"), R"({"sensitive":6})");

    for (const char *bad : {"", "{\"sensitive\":", "[1,2]", "sensitive=7"}) {
        EXPECT_EQ(zel_algo_set_motion_prop(bad), -1) << bad;
        EXPECT_EQ(zel_algo_set_human_prop(bad), -1) << bad;
        EXPECT_EQ(zel_algo_set_voice_prop(bad), -1) << bad;
    }
    EXPECT_EQ(zel_algo_set_motion_prop(nullptr), -1);
    EXPECT_EQ(param_int(7), 6);
    EXPECT_EQ(setting("NVM.ALGO:motion_prop"), R"({"sensitive":6})");
    EXPECT_EQ(mediatest::call_count("set_soc_lsd_threshold"), 0u);

    EXPECT_EQ(zel_algo_set_smart_care_prop(R"([{"area":"[1,2],[3,4]"},{"area":"[5,6],[7,8]"}])"), 0);
    EXPECT_EQ(param_floats(12), (std::vector<float>{5, 6, 7, 8})) << "the last area counts";
    EXPECT_EQ(zel_algo_set_smart_care_prop("{\"area\":1}"), -1);
    EXPECT_EQ(zel_algo_set_smart_care_prop("[{"), -1);
    EXPECT_EQ(param_floats(12), (std::vector<float>{5, 6, 7, 8}));
    EXPECT_EQ(zel_algo_set_smart_care_prop("[]"), 0);
    EXPECT_EQ(param_floats(12), (std::vector<float>{0, 0, 0, 0})) << "an empty array gives zeros";
}

TEST_F(AlgoApp, MessagesOfThePhoneFacingApps)
{
    create();
    send({text_message("set_human_config_from_app", "[1.5 2 3]"),
          text_message("set_motion_config_from_app", R"({"sensitive":4,"region":[1]})"),
          text_message("set_voice_config_from_app", R"({"sensitive":70})"),
          text_message("set_track_switch_from_app", R"({"switch":1})"),
          "set_full_color_from_app=2", "set_detection_sensi_cmd=9"});
    ASSERT_TRUE(zeltest::wait_until([] { return param_int(6) == 9; }, 5s));
    EXPECT_EQ(param_floats(12), (std::vector<float>{1.5f, 2, 3, 0})) << "numbers not there stay 0";
    EXPECT_EQ(param_int(7), 4);
    EXPECT_EQ(param_text(11), "[1]");
    EXPECT_EQ(setting("NVM.ALGO:motion_prop"), R"({"sensitive":4,"region":[1]})");
    EXPECT_EQ(mediatest::call_count("set_soc_lsd_threshold(70)"), 1u);
    EXPECT_EQ(setting("NVM.ALGO:track_switch"), "1");
    EXPECT_EQ(fullcolor_mode_get(), 0);

    // Bad texts change nothing; message 4 takes the lowest byte as the mode's digit.
    send({"set_motion_config_from_app=not json", text_message("set_track_switch_from_app", "{}"),
          "set_full_color_from_app=1",
          "set_night_mode=" + std::to_string(0x139), "set_detection_sensi_cmd=11"});
    ASSERT_TRUE(zeltest::wait_until([] { return param_int(6) == 11; }, 5s));
    EXPECT_EQ(param_int(7), 4);
    EXPECT_EQ(setting("NVM.ALGO:motion_prop"), R"({"sensitive":4,"region":[1]})");
    EXPECT_EQ(setting("NVM.ALGO:track_switch"), "1");
    EXPECT_EQ(fullcolor_mode_get(), 1);
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_TRUE(portdouble::events().empty()) << "mode \"9\" is refused, mode 0 by day stays";

    send({"set_night_mode=" + std::to_string(0x32)}); // mode 2: manual night
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::events() == std::vector<int>{8}; }, 5s));
    EXPECT_EQ(periph_test_ircut(), 0);

    send({text_message("set_hack_alarm", R"({"light_dur":20})"), "34=call_on", "set_detection_sensi_cmd=12"});
    ASSERT_TRUE(zeltest::wait_until([] { return param_int(6) == 12; }, 5s));
}

TEST_F(AlgoApp, CryPollsGiveLoudSoundEventsAtLeast250msApart)
{
    board_test_script_babycry({1, 1, 1});
    create();
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::events().size() >= 3; }, 5s));
    std::this_thread::sleep_for(zeltest::scaled(700ms));
    EXPECT_EQ(portdouble::events(), (std::vector<int>{2, 2, 2}));
    const std::vector<int64_t> at = portdouble::event_times_us();
    ASSERT_EQ(at.size(), 3u);
    EXPECT_GE(at[1] - at[0], 250000);
    EXPECT_GE(at[2] - at[1], 250000);
}

TEST_F(AlgoApp, ASecondCreationStartsNothingTwiceAndTheStopEndsAll)
{
    create();
    std::this_thread::sleep_for(500ms);
    app_object_t *second = algo_app_create(0);
    ASSERT_NE(second, nullptr) << "made again, as the manager does for an abnormal app";
    wait_detection();
    std::this_thread::sleep_for(zeltest::scaled(1s)); // the second start passes the pause too
    EXPECT_EQ(detection_test_starts(), 1);
    EXPECT_EQ(threads_named("babycry_task"), 1);
    EXPECT_EQ(threads_named("soc_ircut_ctrl"), 1);
    EXPECT_EQ(threads_named("ZEL_ALGO"), 1);
    board_test_script_babycry({1});
    ASSERT_TRUE(zeltest::wait_until([] { return !portdouble::events().empty(); }, 5s));
    std::this_thread::sleep_for(zeltest::scaled(700ms));
    EXPECT_EQ(portdouble::events(), std::vector<int>{2});

    EXPECT_EQ(zel_algo_finish(), 0);
    EXPECT_FALSE(detection_test_running());
    // (A joined thread may stay listed for an instant under an emulator.)
    EXPECT_TRUE(zeltest::wait_until([] { return threads_named("babycry_task") == 0; }, 100ms))
        << "the stop waits for the cry worker";
    EXPECT_TRUE(zeltest::wait_until([] { return threads_named("soc_ircut_ctrl") == 0; }, 100ms));
    EXPECT_FALSE(periph_test_light(1).enabled);
    board_test_script_babycry({1});
    std::this_thread::sleep_for(zeltest::scaled(700ms));
    EXPECT_EQ(portdouble::events(), std::vector<int>{2}) << "nothing polls the board after the stop";
    first_->invoke(first_, APP_CMD_DESTROY, 0, 0, 0);
    first_ = nullptr;
    second->invoke(second, APP_CMD_DESTROY, 0, 0, 0);
}

} // namespace
