// The property rows end to end: the device-daemon simulator asks the running client (its RPC link,
// the engine, the table) as the phone would, a Python agent peer receives the device messages, and
// the settings are read back. The rows are this test's own list, written from the protocol the phone
// uses (outward pairs, value types, settings keys, device messages), not from the table.
#include <atomic>
#include <thread>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_action.h"
#include "zel_rpc_rows_fixture.h"

namespace clienttest {
namespace {

// ---- every reachable row ---------------------------------------------------------------------

enum Type { kBool, kInt, kText, kObject, kReal, kUnsupported };
struct GetRow {
    int siid, piid;
    Type type;
};
// The outward pairs the phone reads, with the type of their value.
const GetRow kGetRows[] = {
    {2, 1, kBool},   {2, 2, kBool},   {2, 3, kInt},    {2, 4, kInt},    {2, 5, kBool},   {2, 6, kBool},
    {2, 7, kBool},   {2, 8, kBool},   {2, 17, kInt},   {2, 18, kBool},  {2, 19, kBool},  {3, 1, kBool},
    {4, 1, kInt},    {4, 2, kInt},    {4, 3, kUnsupported}, {4, 4, kUnsupported}, {4, 5, kBool}, {5, 1, kBool},
    {5, 2, kInt},    {5, 3, kInt},    {5, 4, kText},   {5, 5, kText},   {6, 1, kInt},    {6, 2, kBool},
    {8, 1, kBool},   {8, 3, kBool},   {8, 4, kBool},   {9, 1, kInt},    {9, 2, kInt},    {9, 3, kInt},
    {9, 4, kInt},    {9, 5, kInt},    {9, 6, kInt},    {9, 7, kReal},   {9, 8, kReal},   {9, 9, kInt},
    {9, 10, kInt},   {10, 1, kText},  {10, 2, kInt},   {11, 1, kText},  {11, 2, kText},  {11, 3, kBool},
    {13, 1, kBool},  {13, 2, kText},  {13, 3, kText},  {13, 4, kText},  {14, 9, kInt},   {15, 9, kInt},
    {16, 5, kBool},  {19, 1, kBool},  {20, 1, kObject}, {23, 1, kText}, {23, 2, kInt},   {24, 1, kBool},
    {24, 2, kText},  {31, 1, kBool},  {32, 1, kText},  {32, 2, kText},  {32, 3, kText},  {32, 4, kText},
    {32, 5, kText},  {32, 6, kText},  {32, 7, kText},  {32, 8, kText},  {33, 1, kBool},
};

TEST_F(Rows, EveryReachableRowAnswersItsOutwardIdsAndValueType)
{
    std::string params;
    for (const GetRow &r : kGetRows)
        params += (params.empty() ? "" : ",") + std::string(R"({"siid":)") + std::to_string(r.siid) +
                  R"(,"piid":)" + std::to_string(r.piid) + "}";
    std::vector<Json> got = exchange(R"({"id":7,"method":"get_properties","params":[)" + params + "]}", 7);
    json_object *result = member(reply(got, 7), "result");
    ASSERT_TRUE(result);
    ASSERT_EQ(json_object_array_length(result), std::size(kGetRows));
    const json_type want[] = {json_type_boolean, json_type_int, json_type_string, json_type_object, json_type_double};
    for (size_t i = 0; i < std::size(kGetRows); ++i) {
        const GetRow &r = kGetRows[i];
        json_object *e = at(result, i);
        const std::string where = std::to_string(r.siid) + "." + std::to_string(r.piid) + " " + text_of(e);
        EXPECT_EQ(json_object_get_int(member(e, "siid")), r.siid) << where;
        EXPECT_EQ(json_object_get_int(member(e, "piid")), r.piid) << where;
        EXPECT_EQ(json_object_get_string(member(e, "did")), std::string("424242")) << where;
        if (r.type == kUnsupported) {
            EXPECT_EQ(json_object_get_int(member(e, "code")), -4001) << where;
            EXPECT_FALSE(member(e, "value")) << where;
            continue;
        }
        EXPECT_EQ(json_object_get_int(member(e, "code")), 0) << where;
        json_object *v = member(e, "value");
        ASSERT_TRUE(v) << where;
        EXPECT_TRUE(json_object_is_type(v, want[r.type])) << where;
    }
    EXPECT_TRUE(reports(got).empty());
    // The media description's constants: outward 9.1 is the video codec.
    for (const auto &c : {std::make_pair(9, 1), std::make_pair(9, 7), std::make_pair(9, 9), std::make_pair(14, 9)}) {
        json_object *e = nullptr;
        for (size_t i = 0; i < std::size(kGetRows); ++i)
            if (kGetRows[i].siid == c.first && kGetRows[i].piid == c.second)
                e = at(result, i);
        const char *want = c.second == 7 ? "0.25" : c.second == 9 && c.first == 9 ? "7" : "1";
        EXPECT_TRUE(same(member(e, "value"), want)) << text_of(e);
    }
}

TEST_F(Rows, NightModeSwapsZeroAndTwoAndPowerRestsOnItsValue)
{
    put("NVM.ALGO:night_mode", "1");
    const size_t before = param_count("set_night_mode");
    EXPECT_EQ(set(2, 3, "0"), std::vector<std::string>{report(2, 3, "0")});
    EXPECT_EQ(stored("NVM.ALGO:night_mode"), "2");
    EXPECT_TRUE(same(value_of(2, 3).get(), "0"));
    EXPECT_EQ(last_param("set_night_mode", before + 1), std::to_string('2'));
    put("NVM.IPC:power", "1");
    const size_t status_before = param_count("set_dev_status");
    EXPECT_TRUE(set(2, 1, "true").empty());
    EXPECT_EQ(set(2, 1, "false"), std::vector<std::string>{report(2, 1, "false")});
    EXPECT_EQ(stored("NVM.IPC:power"), "0");
    EXPECT_EQ(last_param("set_dev_status", status_before + 1), R"("start_sleep")")
        << "the equal set before it sent nothing";
}

TEST_F(Rows, WdrWithAnUnknownDayNightModeIsStoredButNotSwitched)
{
    // The board is not started here: its day/night mode reads as -1, which is not day.
    put("NVM.VIDEO:wdr", "0");
    EXPECT_EQ(set(2, 6, "true"), std::vector<std::string>{report(2, 6, "true")});
    EXPECT_EQ(stored("NVM.VIDEO:wdr"), "1");
    EXPECT_TRUE(set(2, 6, "true").empty());
    put("NVM.VIDEO:wdr", "0");
    exchange(R"({"id":81,"method":"set_wdr","params":["on"]})", 81);
    EXPECT_EQ(stored("NVM.VIDEO:wdr"), "0") << "the legacy switch takes wdr on in day mode only";
    EXPECT_EQ(param_count("set_wdr_config_from_app"), 0u);
}

TEST_F(Rows, CardStatusBeforeTheClockIsValidIsAbsent)
{
    ko_time_set_wall_source([] { return uint64_t{1546000000} * 1000000; });
    EXPECT_TRUE(same(value_of(4, 1).get(), "1"));
}

// ---- sets: stored, reported once under the outward pair, the device told; equal values rest -----

struct SetRow {
    int siid, piid;
    const char *value;  // JSON
    const char *key;    // "" where the row stores nothing
    const char *stored;
    const char *agent;  // device message, or null
    const char *param;  // its params as the peer printed them
};
const SetRow kSetRows[] = {
    {2, 5, "false", "NVM.VIDEO:watermark", "0", "set_logo_watermark_from_app", R"("{\"ver\":\"1.0.0\",\"switch\":0}")"},
    {2, 7, "false", "NVM.ALGO:full_color", "0", "set_full_color_from_app", "0"},
    {2, 8, "true", "NVM.ALGO:track_switch", "1", "set_track_switch_from_app",
     R"("{\"ver\":\"1.0.0\",\"switch\":1,\"type\":1}")"},
    {2, 18, "false", "NVM.IPC:ldc_status", "0", "set_ldc_cmd", "0"},
    {3, 1, "false", "NVM.IPC:led_status", "0", "set_dev_status", R"("led_off")"},
    {2, 3, "1", "NVM.ALGO:night_mode", "1", "set_night_mode", "49"},
    {5, 3, "4", "NVM.ALGO:sensitivity", "4", "set_detection_sensi_cmd", "4"},
    {8, 3, "true", "NVM.ALGO:pet_switch", "1", nullptr, nullptr},
    {11, 3, "true", "NVM.ALGO:sound_alarm_enable", "1", nullptr, nullptr},
    {16, 5, "true", "NVM.CLOUD:babycry_switch", "1", nullptr, nullptr},
    {24, 1, "true", "NVM.ko_cruise:switch", "1", nullptr, nullptr},
    {11, 1, R"("door bell")", "NVM.ALGO:sound_alarm_name", "door bell", nullptr, nullptr},
    {11, 2, R"("siren")", "NVM.ALGO:sound_alarm_type", "siren", nullptr, nullptr},
    {32, 7, R"("07:30:00")", "NVM.CLOUD:md_start_time", "07:30:00", nullptr, nullptr},
    {32, 6, R"("21:00:00")", "NVM.CLOUD:pet_end_time", "21:00:00", nullptr, nullptr},
    {24, 2, R"("{\"mode\":1}")", "NVM.ko_cruise:config", "{\"mode\":1}", nullptr, nullptr},
};

TEST_F(Rows, ANewValueIsStoredReportedOnceAndSentAndTheSameValueRests)
{
    for (const SetRow &r : kSetRows) {
        const std::string where = std::to_string(r.siid) + "." + std::to_string(r.piid);
        const size_t before = r.agent ? param_count(r.agent) : 0;
        const std::vector<std::string> got = set(r.siid, r.piid, r.value);
        ASSERT_EQ(got.size(), 1u) << where;
        EXPECT_EQ(got[0], report(r.siid, r.piid, r.value)) << where;
        EXPECT_EQ(stored(r.key), r.stored) << where;
        if (r.agent) {
            EXPECT_EQ(last_param(r.agent, before + 1), r.param) << where;
        }
        EXPECT_TRUE(set(r.siid, r.piid, r.value).empty()) << where << ": an equal value is not reported";
        EXPECT_TRUE(same(value_of(r.siid, r.piid).get(), r.value)) << where;
        if (r.agent) {
            EXPECT_EQ(param_count(r.agent), before + 1) << where << ": nor sent again";
        }
    }
}

TEST_F(Rows, TheActiveAreaIsReportedAlsoWhenItIsUnchanged)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(set(23, 2, "3"), std::vector<std::string>{report(23, 2, "3")}) << "set " << i + 1;
    EXPECT_EQ(stored("NVM.FAV_AREA:active_fav_area"), "3");
}

TEST_F(Rows, DetectionSwitchAndTimesGoIntoTheCloudAlarmRecord)
{
    ASSERT_EQ(zel_tolk_init_cloud(), 0);
    ASSERT_EQ(ko_cloud_test_alarm_config().record_seconds, 9);
    put("NVM.CLOUD:detect_swtich", "0");
    EXPECT_EQ(set(5, 1, "true").size(), 1u);
    EXPECT_EQ(ko_cloud_test_alarm_config().schedule_on, 1u);
    EXPECT_EQ(set(5, 2, "7").size(), 1u);
    EXPECT_EQ(ko_cloud_test_alarm_config().interval, 7);
    EXPECT_EQ(set(5, 4, R"("06:05:04")").size(), 1u);
    cloud_alarm_config_t c = ko_cloud_test_alarm_config();
    EXPECT_EQ(c.start_hour * 10000 + c.start_minute * 100 + c.start_second, 60504);

    // A bad time or interval is answered as refused and leaves key, record and reports as they were.
    for (const char *bad : {R"("24:00:00")", R"("10:61:00")", R"("7")"})
        EXPECT_TRUE(set(5, 4, bad, -4005).empty()) << bad;
    EXPECT_TRUE(set(5, 2, "35792", -4005).empty());
    EXPECT_TRUE(set(5, 2, "-1", -4005).empty());
    EXPECT_EQ(stored("NVM.CLOUD:detect_start_time"), "06:05:04");
    EXPECT_EQ(stored("NVM.CLOUD:interval"), "7");
    c = ko_cloud_test_alarm_config();
    EXPECT_EQ(c.start_hour, 6);
    EXPECT_EQ(c.interval, 7);
    EXPECT_EQ(set(5, 5, R"("23:59:59")").size(), 1u) << "the record still takes good values";
    EXPECT_EQ(ko_cloud_test_alarm_config().end_hour, 23);

    // A time stored without seconds keeps its hour and minute when the record is filled again.
    EXPECT_EQ(set(5, 4, R"("08:30")").size(), 1u);
    EXPECT_EQ(set(5, 1, "false").size(), 1u);
    c = ko_cloud_test_alarm_config();
    EXPECT_EQ(c.start_hour * 10000 + c.start_minute * 100 + c.start_second, 83000);
}

TEST_F(Rows, PrefixesOfTheStoredTextTake)
{
    put("NVM.ALGO:sensitivity", "10");
    EXPECT_EQ(set(5, 3, "1"), std::vector<std::string>{report(5, 3, "1")});
    EXPECT_EQ(stored("NVM.ALGO:sensitivity"), "1");
    put("NVM.CLOUD:human_start_time", "10:10:10");
    EXPECT_EQ(set(32, 1, R"("10:10:1")").size(), 1u);
    EXPECT_EQ(stored("NVM.CLOUD:human_start_time"), "10:10:1");
    put("NVM.ALGO:sound_alarm_name", "door bell");
    EXPECT_EQ(set(11, 1, R"("door")").size(), 1u);
    EXPECT_EQ(stored("NVM.ALGO:sound_alarm_name"), "door");
    EXPECT_TRUE(set(11, 1, R"("")").empty()) << "an empty text changes nothing";
    EXPECT_EQ(stored("NVM.ALGO:sound_alarm_name"), "door");
}

TEST_F(Rows, OddTextsComeBackAsSent)
{
    const std::string odd = "say \"hi\"\t\\ back \xC3\xBC\xE6\x97\xA5 \"},{\"x\":1";
    Json s(json_object_new_string(odd.c_str()));
    const std::string quoted = json_object_to_json_string_ext(s.get(), JSON_C_TO_STRING_PLAIN);
    EXPECT_EQ(set(11, 1, quoted).size(), 1u);
    Json v = value_of(11, 1);
    EXPECT_EQ(v ? json_object_get_string(v.get()) : "", odd);
    EXPECT_EQ(set(24, 2, quoted).size(), 1u);
    v = value_of(24, 2);
    EXPECT_EQ(v ? json_object_get_string(v.get()) : "", odd);

    Json list = zeltest::parse_json(R"([{"idx":1,"pos":"[10,20]","name":""},{"idx":2,"pos":"[300,40]"}])");
    json_object_object_add(at(list.get(), 0), "name", json_object_new_string(odd.c_str()));
    Json list_text(json_object_new_string(json_object_to_json_string_ext(list.get(), JSON_C_TO_STRING_PLAIN)));
    EXPECT_EQ(set(10, 1, json_object_to_json_string_ext(list_text.get(), JSON_C_TO_STRING_PLAIN)).size(), 1u);
    v = value_of(10, 1);
    ASSERT_TRUE(v && json_object_is_type(v.get(), json_type_string));
    Json back = zeltest::parse_json(json_object_get_string(v.get()));
    EXPECT_TRUE(back && json_object_equal(back.get(), list.get())) << json_object_get_string(v.get());
}

TEST_F(Rows, FavouriteSlotsTakeOnlyIdx1To6AndABadListWipesNothing)
{
    EXPECT_TRUE(same(value_of(23, 1).get(), R"("")"));
    EXPECT_EQ(set(23, 1, R"("[{\"idx\":2,\"pos\":\"[1,2]\"},{\"idx\":5,\"pos\":\"[3,4]\"}]")").size(), 1u);
    EXPECT_EQ(stored("NVM.FAV_AREA:idx2"), R"({"idx":2,"pos":"[1,2]"})");
    EXPECT_EQ(stored("NVM.FAV_AREA:idx5"), R"({"idx":5,"pos":"[3,4]"})");
    Json v = value_of(23, 1);
    ASSERT_TRUE(v);
    EXPECT_TRUE(same(zeltest::parse_json(json_object_get_string(v.get())).get(),
                     R"([{"idx":2,"pos":"[1,2]"},{"idx":5,"pos":"[3,4]"}])"));
    for (const char *bad : {R"("[{\"idx\":7}]")", R"("[{\"idx\":-1}]")", R"("[{\"idx\":100000}]")", R"("[{\"idx\":1},")",
                            R"("{\"idx\":1}")"})
        EXPECT_TRUE(set(23, 1, bad, -4005).empty()) << bad;
    EXPECT_EQ(stored("NVM.FAV_AREA:idx2"), R"({"idx":2,"pos":"[1,2]"})") << "a refused list wipes nothing";
    EXPECT_TRUE(set(10, 1, R"("{\"idx\":1}")", -4005).empty()) << "the older pair's list is an array too";
    EXPECT_EQ(stored("NVM.default.FAV_AREA"), "<absent>");
    for (const char *key : {"NVM.FAV_AREA:idx7", "NVM.FAV_AREA:idx-1", "NVM.FAV_AREA:idx100000", "NVM.FAV_AREA:idx0"})
        EXPECT_EQ(stored(key), "<absent>") << key;
}

TEST_F(Rows, SchedulesTakeOnlyIdx0And1AndALongOneReadsBackWhole)
{
    std::string days(1400, 'x');
    Json one = zeltest::parse_json(R"({"idx":0,"clock":1,"start":"08:00","end":"09:00","days":""})");
    json_object_object_add(one.get(), "days", json_object_new_string(days.c_str()));
    const std::string one_text = json_object_to_json_string_ext(one.get(), JSON_C_TO_STRING_PLAIN);
    ASSERT_GT(one_text.size(), 1400u);
    Json list(json_object_new_array());
    json_object_array_add(list.get(), json_object_get(one.get()));
    const auto set_list = [&](int code) {
        Json text(json_object_new_string(json_object_to_json_string_ext(list.get(), JSON_C_TO_STRING_PLAIN)));
        return set(13, 4, json_object_to_json_string_ext(text.get(), JSON_C_TO_STRING_PLAIN), code).size();
    };
    // A list with a slot the smart-care module does not keep is refused whole.
    json_object_array_add(list.get(), zeltest::parse_json(R"({"idx":7})").release());
    json_object_array_add(list.get(), zeltest::parse_json(R"({"idx":-1})").release());
    const std::string slot0 = stored("NVM.ALARM:smart_care_config0");
    EXPECT_EQ(set_list(-4005), 0u);
    EXPECT_EQ(stored("NVM.ALARM:smart_care_config0"), slot0);
    EXPECT_EQ(stored("NVM.ALARM:smart_care_config7"), "<absent>");
    json_object_array_del_idx(list.get(), 1, 2);
    EXPECT_EQ(set_list(0), 1u);
    Json v = value_of(13, 4);
    ASSERT_TRUE(v && json_object_is_type(v.get(), json_type_string));
    Json back = zeltest::parse_json(json_object_get_string(v.get()));
    ASSERT_TRUE(back && json_object_is_type(back.get(), json_type_array)) << json_object_get_string(v.get());
    EXPECT_TRUE(json_object_equal(at(back.get(), 0), one.get()));
}

TEST_F(Rows, SpeakerRowsAlwaysOpenTheSpeaker)
{
    put("NVM.IPC:speaker_volume", "60");
    const size_t before = param_count("set_speaker_vol");
    EXPECT_EQ(set(6, 1, "60"), std::vector<std::string>{report(6, 2, "false")})
        << "an equal volume still unmutes and reports mute false";
    EXPECT_EQ(stored("NVM.IPC:speaker_mute"), "0");
    EXPECT_EQ(last_param("set_speaker_vol", before + 2), R"("mute")");
    EXPECT_EQ(last_param("set_speaker_vol", before + 1), R"("volume")");
    EXPECT_EQ(set(6, 1, "70"), (std::vector<std::string>{report(6, 1, "70"), report(6, 2, "false")}));
    EXPECT_TRUE(set(6, 2, "false").empty());
    EXPECT_EQ(param_count("set_speaker_vol"), before + 5) << "mute calls the speaker also when nothing changed";
}

TEST_F(Rows, FlipLeavesTheHeadPositionToTheMediaApp)
{
    put("NVM.VIDEO:flip", "0");
    put("NVM.IPC:motor", "[10,20]");
    const size_t before = param_count("set_flip_config_from_app");
    // The media app's part, played by the test: on message 21 it stores the mirrored position 50 ms later.
    std::thread media([&] {
        if (listener_->params_of("set_flip_config_from_app", before + 1).size() > before) {
            std::this_thread::sleep_for(50ms);
            put("NVM.IPC:motor", "[90,80]");
        }
    });
    EXPECT_EQ(set(2, 4, "180"), std::vector<std::string>{report(2, 4, "180")});
    media.join();
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(stored("NVM.IPC:motor"), "[90,80]");
    EXPECT_EQ(last_param("set_flip_config_from_app", before + 1), "1");
}

TEST_F(Rows, RecordModeFollowsPowerAndTheCardReadyAgainAfterACardOperationRestoresIt)
{
    ASSERT_EQ(zel_tolk_init_storage(), 0);
    ASSERT_GE(ko_local_storage_test_mode(0), 0);
    put("NVM.IPC:power", "1");
    put("NVM.SD:storage_mode", "0");
    EXPECT_EQ(set(2, 17, "1").size(), 1u);
    EXPECT_EQ(ko_local_storage_test_mode(0), 1);
    EXPECT_TRUE(set(2, 17, "5").empty()) << "an unknown mode changes nothing";
    put("NVM.IPC:power", "0");
    EXPECT_EQ(set(2, 17, "0").size(), 1u);
    EXPECT_EQ(ko_local_storage_test_mode(0), 1) << "asleep, the recorder is left alone";
    EXPECT_EQ(stored("NVM.SD:storage_mode"), "0");

    put("NVM.IPC:power", "1");
    put("NVM.SD:storage_mode", "1");
    std::vector<Json> got = exchange(R"({"id":44,"method":"action","params":{"siid":3,"aiid":1,"in":[]}})", 44);
    EXPECT_TRUE(same(reply(got, 44), R"({"id":44,"result":{"code":0,"out":[]}})"));
    EXPECT_EQ(ko_local_storage_test_mode(0), 2) << "formatting stops recording";
    mediatest::agent_send({"--wait", "0.2", "sdcard_status=10"});
    EXPECT_TRUE(zeltest::wait_until([] { return ko_local_storage_test_mode(0) == 1; }, 10s))
        << "the card app's ready status sets the stored mode again";

    exchange(R"({"id":45,"method":"action","params":{"siid":3,"aiid":2}})", 45);
    EXPECT_EQ(ko_local_storage_test_mode(0), 2);
    mediatest::agent_send({"--wait", "0.2", "sdcard_status=10"});
    EXPECT_TRUE(zeltest::wait_until([] { return ko_local_storage_test_mode(0) == 1; }, 10s))
        << "a card ready again after the pop-up records again";
}

// The card app's status (agent key 15) is reported only when it is 1, its card message (key 44)
// always.
TEST_F(Rows, CardStatusFromTheCardAppIsReportedUnder4_1)
{
    const int since = sim_->received_count("rpc");
    mediatest::agent_send({"--wait", "0.2", "sdcard_status=2", "sdcard_status=1", "set_sdcard_message=5"});
    std::vector<Json> got;
    int next = since;
    const bool two = zeltest::wait_until(
        [&] {
            for (const int n = sim_->received_count("rpc"); next < n; ++next)
                got.push_back(sim_->wait_object("rpc", "", next));
            return reports(got).size() >= 2;
        },
        10s);
    ASSERT_TRUE(two) << reports(got).size() << " reports";
    EXPECT_EQ(reports(got), (std::vector<std::string>{report(4, 1, "1"), report(4, 1, "5")}))
        << "in the order sent: status 2 is not reported";
}

std::atomic<uint64_t> g_tick_ms{0};
std::atomic<int64_t> g_wall_s{0};

TEST_F(Rows, PlayAlarmWaitsTwelveSecondsOfTheMonotonicClock)
{
    g_tick_ms = 1000000;
    g_wall_s = 1700000000;
    ko_time_set_tick_source([] { return g_tick_ms.load() * 1000; });
    ko_time_set_wall_source([] { return static_cast<uint64_t>(g_wall_s.load()) * 1000000; });
    std::vector<Json> got = exchange(R"({"id":51,"method":"action","params":{"siid":18,"aiid":1}})", 51);
    EXPECT_TRUE(same(reply(got, 51), R"({"id":51,"result":{"code":0,"out":[]}})"));
    g_tick_ms += 5000;
    EXPECT_FALSE(zel_rpc::play_alarm_take()) << "within 11 s";
    g_wall_s -= 3600;
    g_tick_ms += 7000;
    EXPECT_TRUE(zel_rpc::play_alarm_take()) << "12 s later, whatever the wall clock did";
}

class RowsOfTheLargerModel : public Rows {
protected:
    RowsOfTheLargerModel() : Rows({{"hid", "900303001"}, {"lock_region", "2"}}) {}
};

TEST_F(RowsOfTheLargerModel, CapacityAndLockRegionAnswer)
{
    EXPECT_TRUE(same(value_of(18, 1).get(), "7"));
    put("NVM.default:legal_status", "1");
    EXPECT_TRUE(same(value_of(20, 1).get(), R"({"lock_region":2,"legal_status":1})"));
    EXPECT_EQ(set(20, 1, R"("{\"lock_region\":2,\"legal_status\":0}")").size(), 1u);
    EXPECT_TRUE(set(20, 1, R"("{\"lock_region\":2}")", -4005).empty());
    EXPECT_EQ(stored("NVM.default:legal_status"), "0");
}

} // namespace
} // namespace clienttest
