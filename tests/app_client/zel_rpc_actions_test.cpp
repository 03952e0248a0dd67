// Actions, the named methods of the older protocol, favourite-area activation and the cloud pull,
// against the running client: requests from the device-daemon simulator, device messages at the
// Python agent peer, the head's moves in the simulated peripheral library, settings read back.
#include <filesystem>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_action.h"
#include "zel_peripheral_test.h"
#include "zel_rpc_rows_fixture.h"

namespace clienttest {
namespace {

class Methods : public Rows {
protected:
    json_object *ask(const std::string &text, int id)
    {
        got_ = exchange(text, id);
        return reply(got_, id);
    }
    static bool called(const std::string &call)
    {
        const std::vector<std::string> calls = periph_test_calls();
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    std::vector<Json> got_;
};

TEST_F(Methods, GetPropAnswersSwitchesSettingsConstantsAndUnknownNames)
{
    put("NVM.IPC:power", "1");
    put("NVM.VIDEO:flip", "0");
    put("NVM.ALGO:night_mode", "2");
    EXPECT_TRUE(same(ask(R"({"id":61,"method":"get_prop","params":["power","flip","max_client","night_mode","nope",
        "track"]})", 61), R"({"id":61,"result":["on","off","3","2","unknow",""]})"))
        << text_of(reply(got_, 61));
    const int since = sim_->received_count("rpc");
    sim_->send("rpc", R"({"id":62,"method":"get_prop","params":"power"})"
                      R"({"id":63,"method":"get_prop"})"
                      R"({"id":64,"method":"get_prop","params":[]})");
    std::vector<Json> seen;
    ASSERT_TRUE(received_until(since, 64, seen));
    EXPECT_TRUE(same(seen.back().get(), R"({"id":64,"result":[]})"));
    for (const Json &o : seen) {
        const int id = json_object_get_int(member(o.get(), "id"));
        EXPECT_TRUE(id != 62 && id != 63) << "a malformed request gets no reply";
    }
}

TEST_F(Methods, LegacySwitchesChangeOnlyTheOtherStateAndAnswerOk)
{
    put("NVM.IPC:power", "1");
    const size_t before = param_count("set_dev_status");
    EXPECT_TRUE(same(ask(R"({"id":65,"method":"set_power","params":["on"]})", 65), R"({"id":65,"result":["OK"]})"));
    EXPECT_EQ(stored("NVM.IPC:power"), "1");
    put("NVM.IPC:led_status", "1");
    EXPECT_TRUE(same(ask(R"({"id":66,"method":"set_light","params":["off"]})", 66), R"({"id":66,"result":["OK"]})"));
    EXPECT_EQ(stored("NVM.IPC:led_status"), "0");
    EXPECT_EQ(last_param("set_dev_status", before + 1), R"("led_off")");
    EXPECT_TRUE(same(ask(R"({"id":67,"method":"set_light","params":["sideways"]})", 67),
                     R"({"id":67,"result":["OK"]})"));
    EXPECT_EQ(param_count("set_dev_status"), before + 1) << "the power request in the same state sent nothing";
    EXPECT_TRUE(reports(got_).empty()) << "the legacy switches report nothing";
}

TEST_F(Methods, CardSizesOrAnErrorWhenTheCardCannotBeQueried)
{
    json_object *r = ask(R"({"id":68,"method":"sd_storge","params":[]})", 68);
    json_object *result = member(r, "result");
    ASSERT_EQ(result ? json_object_array_length(result) : 0u, 4u) << text_of(r);
    const int64_t total = json_object_get_int64(at(result, 0)), used = json_object_get_int64(at(result, 1)),
                  free_bytes = json_object_get_int64(at(result, 2));
    EXPECT_GT(total, 0);
    EXPECT_EQ(used, total - free_bytes);
    EXPECT_EQ(json_object_get_int64(at(result, 3)), 0);
    std::filesystem::remove_all(root().path("/mnt/sdcard"));
    EXPECT_TRUE(same(ask(R"({"id":69,"method":"sd_storge","params":[]})", 69),
                     R"({"id":69,"error":{"code":-1,"message":"statfs failed"}})"))
        << text_of(reply(got_, 69));
}

TEST_F(Methods, MotionDetectionSwitchStoresReportsOnceAndAnswersOk)
{
    put("NVM.CLOUD:detect_swtich", "0");
    EXPECT_TRUE(same(ask(R"({"id":70,"method":"motionDetectionSwitch","params":{"detectionSwitch":true}})", 70),
                     R"({"id":70,"result":["OK"]})"));
    EXPECT_EQ(reports(got_), std::vector<std::string>{report(5, 1, "true")});
    EXPECT_EQ(stored("NVM.CLOUD:detect_swtich"), "1");
    EXPECT_TRUE(same(ask(R"({"id":71,"method":"motionDetectionSwitch","params":{"detectionSwitch":true}})", 71),
                     R"({"id":71,"result":["OK"]})"));
    EXPECT_TRUE(reports(got_).empty());
}

TEST_F(Methods, LocalBindWithOkSendsTheStreamDescription)
{
    // The RPC link answers "local.bind" from the daemon itself; the method row is called as the engine would.
    const int since = sim_->received_count("rpc");
    const std::string request = R"({"id":72,"method":"local.bind","params":{"result":"ok"}})";
    zel_rpc::rpc_func_local_bind(72, request.c_str(), static_cast<int>(request.size()));
    Json m = sim_->wait_object("rpc", "_sync.set_extra_data", since);
    ASSERT_TRUE(m);
    json_object *data = member(member(m.get(), "params"), "data");
    EXPECT_EQ(json_object_get_string(member(data, "v_width")), std::string("2880"));
    EXPECT_EQ(json_object_get_string(member(data, "v_height")), std::string("1620"));
    EXPECT_EQ(json_object_get_string(member(data, "a_samplerate")), std::string("16000"));
}

TEST_F(Methods, CalibrationOnlyLogsAndALocalDidBecomesTheDeviceIdThoughTheFactoryStoreRefusesIt)
{
    // Neither is in a table: they are called as a caller of their own would.
    ::testing::internal::CaptureStderr();
    zel_rpc::spec_action_ptz_calibrate(nullptr, 0);
    const std::string request = R"({"id":74,"method":"local.did","params":5150})";
    EXPECT_EQ(zel_rpc::rpc_func_local_did(74, request.c_str(), static_cast<int>(request.size())), -1);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" enter \n"), std::string::npos) << log;
    EXPECT_NE(log.find("ROM.did"), std::string::npos) << log;
    EXPECT_STREQ(func_did, "5150");
}

TEST_F(Methods, OpenTrackSwitchTurnsDetectionAndTrackingOn)
{
    put("NVM.CLOUD:detect_swtich", "0");
    put("NVM.ALGO:human_detection", "0");
    zel_api_db_unset_value("NVM.ALGO:motion_detection", 0);
    put("NVM.ALGO:track_switch", "0");
    const size_t before = param_count("set_track_switch_from_app");
    EXPECT_TRUE(same(ask(R"({"id":73,"method":"action","params":{"siid":17,"aiid":2}})", 73),
                     R"({"id":73,"result":{"code":0,"out":[]}})"));
    EXPECT_EQ(stored("NVM.CLOUD:detect_swtich"), "1");
    EXPECT_EQ(stored("NVM.ALGO:human_detection"), "1");
    EXPECT_EQ(stored("NVM.ALGO:motion_detection"), R"({"switch":1,"start_time":"00:00","end_time":"23:59"})");
    EXPECT_EQ(stored("NVM.ALGO:track_switch"), "1");
    EXPECT_EQ(last_param("set_track_switch_from_app", before + 1), R"("{\"ver\":\"1.0.0\",\"switch\":1,\"type\":1}")");
    EXPECT_TRUE(reports(got_).empty());
}

TEST_F(Methods, ActivatingAnAreaTurnsToItsPositionOnlyWhenItIsTwoNumbers)
{
    put("NVM.default.FAV_AREA", R"([{"idx":1,"pos":"[10,20]"},{"idx":2,"pos":"[300,40]"},{"idx":3,"pos":"[7,x]"}])");
    put("NVM.IPC:motor", "[0,0]");
    put("NVM.FAV_AREA:active_fav_area", "1");
    EXPECT_EQ(set(10, 2, "2"), std::vector<std::string>{report(10, 2, "2")});
    EXPECT_TRUE(called("zel_api_ptz_control(" + std::to_string(ZEL_PTZ_CMD_GOTO) + ",-1,8,[300,40])"));
    EXPECT_EQ(stored("NVM.FAV_AREA:active_fav_area"), "2");
    EXPECT_EQ(set(10, 2, "3"), std::vector<std::string>{report(10, 2, "2")}) << "the stored area is reported";
    EXPECT_EQ(set(10, 2, "9"), std::vector<std::string>{report(10, 2, "2")}) << "no such area";
    EXPECT_EQ(stored("NVM.FAV_AREA:active_fav_area"), "2");
    EXPECT_TRUE(same(value_of(10, 2).get(), "2"));
}

// The "event_occured" messages among `objects`, as "siid.eiid".
std::vector<std::string> events(const std::vector<Json> &objects)
{
    std::vector<std::string> out;
    for (const Json &o : objects) {
        json_object *m = member(o.get(), "method");
        if (m && std::string(json_object_get_string(m)) == "event_occured") {
            json_object *p = member(o.get(), "params");
            out.push_back(std::to_string(json_object_get_int(member(p, "siid"))) + "." +
                          std::to_string(json_object_get_int(member(p, "eiid"))));
        }
    }
    return out;
}

TEST_F(Methods, ActivationTellsTheAreaReachedAndFirstAHeadOnAMisplacedArea)
{
    put("NVM.default.FAV_AREA", R"([{"idx":1,"pos":"[10,20]"},{"idx":2,"pos":"[300,40]"}])");
    put("NVM.IPC:motor", "[10,20]");
    ask(R"({"id":74,"method":"set_properties","params":[{"siid":10,"piid":2,"value":2}]})", 74);
    EXPECT_EQ(events(got_), (std::vector<std::string>{"10.2", "10.1"}))
        << "the head stands on idx 1, the first area: its idx is not its place 0";
    EXPECT_TRUE(called("zel_api_ptz_control(" + std::to_string(ZEL_PTZ_CMD_GOTO) + ",-1,8,[300,40])"));
}

TEST_F(Methods, FormatStopsRecordingAndFormatsTheCard)
{
    ASSERT_EQ(zel_tolk_init_storage(), 0);
    put("NVM.IPC:power", "1");
    ASSERT_EQ(ko_local_storage_set_mode_v2(0, 1), 0);
    const size_t before = param_count("sdcard_format");
    EXPECT_TRUE(same(ask(R"({"id":75,"method":"action","params":{"siid":3,"aiid":1}})", 75),
                     R"({"id":75,"result":{"code":0,"out":[]}})"));
    EXPECT_EQ(ko_local_storage_test_mode(0), 2);
    EXPECT_EQ(last_param("sdcard_format", before + 1), R"("fake_mesasage")");
    EXPECT_TRUE(same(ask(R"({"id":76,"method":"action","params":{"siid":7,"aiid":7}})" 
                         R"({"id":77,"method":"get_properties","params":[]})", 77),
                     R"({"id":77,"result":[]})"));
    for (const Json &o : got_)
        EXPECT_NE(json_object_get_int(member(o.get(), "id")), 76) << "an unlisted action gets no reply";
}

class PullAtStart : public Methods {
protected:
    void before_client() override
    {
        put("NVM.IPC:bind_status", "1");
        put("NVM.VIDEO:flip", "0");
        put("NVM.SD:storage_mode", "0");
        put("NVM.IPC:led_status", "1");
        sim_->command(R"({"cmd":"script","method":"_sync.spec_get_prop","answer_properties":{"2.4":"180","2.17":"1",)"
                      R"("2.3":"0","3.1":"false"}})");
    }
};

TEST_F(PullAtStart, ThePullRestoresFlipRecordModeNightModeAndLed)
{
    // The LED (outward 3.1) comes last of these in the answer.
    EXPECT_TRUE(zeltest::wait_until([] { return stored("NVM.IPC:led_status") == "0"; }, 20s));
    EXPECT_EQ(stored("NVM.VIDEO:flip"), "1");
    EXPECT_EQ(stored("NVM.SD:storage_mode"), "1");
    EXPECT_EQ(stored("NVM.ALGO:night_mode"), "2");
}

} // namespace
} // namespace clienttest
