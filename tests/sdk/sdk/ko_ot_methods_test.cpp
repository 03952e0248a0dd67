// The daemon's local methods against the simulator: every answer compared with the expected JSON
// (members in order), the hello that follows, and what reaches the porting hooks.
#include <set>
#include <thread>

#include "common/sdk/ko_sdk.h"
#include "ko_sdk_fixture.h"

namespace sdktest {
namespace {

class LocalMethods : public SdkTest {};

ko_wifi_info wifi_info(const char *ssid, const char *bssid)
{
    ko_wifi_info info{};
    std::strcpy(info.ssid, ssid);
    std::strcpy(info.bssid, bssid);
    std::strcpy(info.ip, "192.168.1.20");
    std::strcpy(info.mask, "255.255.255.0");
    std::strcpy(info.gw, "192.168.1.1");
    std::strcpy(info.extra, "eth-bssid");
    info.rssi = -47;
    info.freq = 2437;
    return info;
}

TEST_F(LocalMethods, DeviceInformationIsAnsweredOncePerFiveSeconds)
{
    const std::string expected = canonical(
        R"({"method":"_internal.response_dinfo","params":{"qelt_i2c":"/dev/i2c-1","qelt_gpio":"gpio12",)"
        R"("vendor":"zelmar","mac":"AA:BB:CC:DD:EE:FF","model":"zelmar.camera.c1","sc_type":[16],)"
        R"("wpa_intf":"/var/run/wpa_supplicant/wlan0","OOB":[{"mode":2,"ctx":""},{"mode":3,"ctx":"OOB-0123456789"}]}})");
    int since = call(R"("method":"_internal.request_dinfo","id":11)");
    EXPECT_EQ(reply_with_hello("_internal.response_dinfo", since), expected);
    const auto first_at = std::chrono::steady_clock::now(); // the request was accepted before this

    since = call(R"("method":"_internal.request_dinfo","id":12)");
    EXPECT_TRUE(none_within("internal", "_internal.response_dinfo", since, 1500));
    EXPECT_TRUE(none_within("internal", "_internal.hello", since, 100)) << "a dropped request gets no hello";

    std::this_thread::sleep_until(first_at + 5100ms);
    since = call(R"("method":"_internal.request_dinfo","id":13)");
    EXPECT_EQ(reply_with_hello("_internal.response_dinfo", since), expected);
}

TEST_F(LocalMethods, TokenUpdateIsStoredAndAcknowledged)
{
    int since = call(R"("method":"_internal.update_dtoken","params":{"ntoken":"ab\"cd"})");
    EXPECT_EQ(reply_with_hello("_internal.token_updated", since),
              canonical(R"({"method":"_internal.token_updated","params":"ab\"cd"})"));
    uint8_t out[64];
    ASSERT_EQ(ko_ipc_get_token(out, sizeof out), 5);
    // Output: reversed token, each byte XOR the next reversed one, the last one as it is.
    const char rev[] = {'d', 'c', '"', 'b', 'a'};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(out[i], static_cast<uint8_t>(rev[i] ^ rev[i + 1])) << i;
    EXPECT_EQ(out[4], 'a');

    // A long token is hex text stored as bytes; the device configuration reports it back as hex.
    const std::string hex = "00112233445566778899aabbccddeeff0102";
    since = call(R"("method":"_internal.update_dtoken","params":{"ntoken":")" + hex + R"("})");
    EXPECT_EQ(reply_with_hello("_internal.token_updated", since),
              canonical(R"({"method":"_internal.token_updated","params":")" + hex + R"("})"));
    EXPECT_EQ(ko_ipc_get_sdk_info()->token_type, 1);
    EXPECT_EQ(ko_ipc_get_sdk_info()->token_len, 18);
    since = call(R"("method":"_internal.request_ot_config","params":{"ntoken":"unused"})");
    Json conf = next("internal", "_internal.res_ot_config", since);
    ASSERT_TRUE(conf);
    json_object_object_del(conf.get(), "id"); // rewritten by the link
    EXPECT_EQ(canonical(conf.get()),
              canonical(R"({"method":"_internal.res_ot_config","params":{"country":"","token":")" + hex + R"("}})"));
}

TEST_F(LocalMethods, TokenThatCannotBeStoredGetsNoAcknowledgement)
{
    // Not hex: it cannot be converted, so nothing is written and only the hello follows.
    const int since = call(R"("method":"_internal.update_dtoken","params":{"ntoken":"zz112233445566778899"})");
    EXPECT_TRUE(next("internal", "_internal.hello", since));
    EXPECT_TRUE(none_within("internal", "_internal.token_updated", since, 500));
    EXPECT_EQ(ko_ipc_get_sdk_info()->token_len, 0);
}

TEST_F(LocalMethods, DeviceConfigurationFallsBackToTheRequestsToken)
{
    std::strcpy(ko_ipc_get_sdk_info()->param.country, "de");
    const int since = call(R"("method":"_internal.request_ot_config","params":{"ntoken":"tok\"en"})");
    int index = -1;
    Json conf = next("internal", "_internal.res_ot_config", since, &index);
    ASSERT_TRUE(conf);
    EXPECT_TRUE(json_object_is_type(member(conf.get(), "id"), json_type_int));
    json_object_object_del(conf.get(), "id");
    EXPECT_EQ(canonical(conf.get()),
              canonical(R"({"method":"_internal.res_ot_config","params":{"country":"de","token":"tok\"en"}})"));
    EXPECT_TRUE(next("internal", "_internal.hello", index + 1));
}

TEST_F(LocalMethods, WifiConfigurationStatusTellsWhetherBound)
{
    int since = call(R"("method":"_internal.req_wifi_conf_status")");
    EXPECT_EQ(reply_with_hello("_internal.res_wifi_conf_status", since),
              canonical(R"({"method":"_internal.res_wifi_conf_status","params":0})"));
    zeltest::PortingHooksScript script;
    script.bound = 1;
    zeltest::porting_hooks_script(script);
    since = call(R"("method":"_internal.req_wifi_conf_status")");
    EXPECT_EQ(reply_with_hello("_internal.res_wifi_conf_status", since),
              canonical(R"({"method":"_internal.res_wifi_conf_status","params":1})"));
}

TEST_F(LocalMethods, NetworkInformationIsReportedOrNothingAtAll)
{
    zeltest::PortingHooksScript script;
    script.info = wifi_info("home \"net\"", "11:22:33:44:55:66");
    zeltest::porting_hooks_script(script);
    int since = call(R"("method":"_internal.info")");
    EXPECT_EQ(reply_with_hello("_internal.info", since),
              canonical(R"({"method":"_internal.info","params":{"ap":{"ssid":"home \"net\"","bssid":"11:22:33:44:55:66",)"
                        R"("rssi":"-47","freq":2437},"netif":{"localIp":"192.168.1.20","mask":"255.255.255.0",)"
                        R"("gw":"192.168.1.1"},"hw_ver":"Linux","fw_ver":"1.2.3_0042","auto_ota":true}})"));

    script.info_result = -1;
    zeltest::porting_hooks_script(script);
    since = call(R"("method":"_internal.info")");
    EXPECT_TRUE(none_within("internal", "_internal.info", since, 800));
    EXPECT_TRUE(none_within("internal", "_internal.hello", since, 100));
}

TEST_F(LocalMethods, WifiStartJoinsAndReportsTheNetwork)
{
    zeltest::PortingHooksScript script;
    script.info = wifi_info("home", "11:22:33:44:55:66");
    zeltest::porting_hooks_script(script);
    const int since = call(R"("method":"_internal.wifi_start","params":{"ssid":"home","passwd":"secret 1",)"
                           R"("country_domain":"de","tz":"Europe/Berlin","ssid_5g":"home5","passwd_5g":"x"})");
    EXPECT_EQ(reply_with_hello("_internal.wifi_connected", since),
              canonical(R"({"method":"_internal.wifi_connected","params":{"result":"ok","ssid":"home",)"
                        R"("bssid":"11:22:33:44:55:66"}})"));
    const auto seen = zeltest::porting_hooks_seen();
    ASSERT_EQ(seen.wifi_connects.size(), 1u);
    const auto &join = seen.wifi_connects[0];
    EXPECT_EQ(join.mode, KO_WIFI_MODE_NORMAL);
    EXPECT_EQ(join.ssid, "home");
    EXPECT_EQ(join.passwd, "secret 1");
    EXPECT_EQ(join.tz, "Europe/Berlin");
    EXPECT_EQ(join.country_domain, "de");
    EXPECT_FALSE(join.ssid_5g) << "the 5G pair is kept only for a bound camera";
    EXPECT_STREQ(ko_ipc_get_sdk_info()->ssid, "home");
    EXPECT_STREQ(ko_ipc_get_sdk_info()->passwd, "secret 1");
    EXPECT_EQ(camera_state(), 5);
}

TEST_F(LocalMethods, WifiStartKeepsThe5GPairOnlyForACompleteRequestOfABoundCamera)
{
    zeltest::PortingHooksScript script;
    script.bound = 1;
    script.info = wifi_info("home", "11:22:33:44:55:66");
    zeltest::porting_hooks_script(script);
    int since = call(R"("method":"_internal.wifi_start","params":{"ssid":"home","passwd":"pw",)"
                     R"("ssid_5g":"home5","passwd_5g":"pw5"})"); // no country_domain, no tz
    EXPECT_NE(reply_with_hello("_internal.wifi_connected", since), "(none)");
    since = call(R"("method":"_internal.wifi_start","params":{"ssid":"home","passwd":"pw","country_domain":"de",)"
                 R"("tz":"UTC","ssid_5g":"home5","passwd_5g":"pw5"})");
    EXPECT_NE(reply_with_hello("_internal.wifi_connected", since), "(none)");
    const auto seen = zeltest::porting_hooks_seen();
    ASSERT_EQ(seen.wifi_connects.size(), 2u);
    EXPECT_FALSE(seen.wifi_connects[0].passwd);
    EXPECT_FALSE(seen.wifi_connects[0].ssid_5g);
    EXPECT_EQ(seen.wifi_connects[1].passwd, "pw");
    EXPECT_EQ(seen.wifi_connects[1].ssid_5g, "home5");
    EXPECT_EQ(seen.wifi_connects[1].passwd_5g, "pw5");
    // Joined "home", which does not begin with the 5G name: the camera keeps the 5G pair as its own.
    EXPECT_STREQ(ko_ipc_get_sdk_info()->ssid, "home5");
    EXPECT_STREQ(ko_ipc_get_sdk_info()->passwd, "pw5");
}

TEST_F(LocalMethods, WifiStartFailureAnswersByBinding)
{
    zeltest::PortingHooksScript script;
    script.connect_result = -1;
    script.info = wifi_info("home", "11:22:33:44:55:66");
    zeltest::porting_hooks_script(script);
    const std::string request = R"("method":"_internal.wifi_start","params":{"ssid":"home","passwd":"pw",)"
                                R"("country_domain":"de","tz":"UTC"})";
    int since = call(request);
    EXPECT_EQ(reply_with_hello("_internal.wifi_ap_mode", since),
              canonical(R"({"method":"_internal.wifi_ap_mode","params":null})"));

    script.bound = 1;
    zeltest::porting_hooks_script(script);
    since = call(request);
    EXPECT_EQ(reply_with_hello("_internal.wifi_connect_failed", since),
              canonical(R"({"method":"_internal.wifi_connect_failed","params":{"result":"error","ssid":"home",)"
                        R"("bssid":"11:22:33:44:55:66"}})"));
}

TEST_F(LocalMethods, WifiStartModesForMarkerAndWiredJoins)
{
    zeltest::PortingHooksScript script; // a wired network: empty SSID
    std::strcpy(script.info.extra, "wired-id");
    zeltest::porting_hooks_script(script);

    int since = call(R"("method":"_internal.wifi_start","params":{"ssid":"25c829b1922d3123_rodane_x"})");
    EXPECT_EQ(reply_with_hello("_internal.wifi_ap_mode", since),
              canonical(R"({"method":"_internal.wifi_ap_mode","params":null})"));
    EXPECT_TRUE(zeltest::porting_hooks_seen().wifi_connects.empty());

    since = call(R"("method":"_internal.wifi_start","params":{"ssid":"25c829b1922d3123_rodane_x","bssid":"aa:bb"})");
    EXPECT_EQ(reply_with_hello("_internal.wifi_connected", since),
              canonical(R"({"method":"_internal.wifi_connected","params":{"result":"ok","ssid":"ethernet",)"
                        R"("bssid":"wired-id"}})"));
    since = call(R"("method":"_internal.wifi_start","params":{"ssid":"25c829b1922d3123_rodane_x","bssid":"aa:bb",)"
                 R"("ln_type":"1"})");
    EXPECT_NE(reply_with_hello("_internal.wifi_connected", since), "(none)");
    const auto seen = zeltest::porting_hooks_seen();
    ASSERT_EQ(seen.wifi_connects.size(), 2u);
    EXPECT_EQ(seen.wifi_connects[0].mode, KO_WIFI_MODE_HIDDEN);
    EXPECT_EQ(seen.wifi_connects[0].bssid, "aa:bb");
    EXPECT_EQ(seen.wifi_connects[1].mode, KO_WIFI_MODE_WIRED);
}

TEST_F(LocalMethods, StatusIsIgnoredWhileAWifiStartRuns)
{
    zeltest::PortingHooksScript script;
    script.connect_delay_ms = 1500;
    script.info = wifi_info("home", "bb");
    zeltest::porting_hooks_script(script);
    const int since = call(R"("method":"_internal.wifi_start","params":{"ssid":"home","passwd":"pw",)"
                           R"("country_domain":"de","tz":"UTC"})");
    ASSERT_TRUE(zeltest::wait_until([] { return !zeltest::porting_hooks_seen().wifi_connects.empty(); }, 5s));
    tell_status("cloud_connected");
    call(R"("method":"_internal.wifi_start","params":{"ssid":"other"})"); // dropped while busy
    EXPECT_NE(reply_with_hello("_internal.wifi_connected", since), "(none)");
    EXPECT_EQ(camera_state(), 5);
    EXPECT_TRUE(status_words().empty());
    EXPECT_EQ(zeltest::porting_hooks_seen().wifi_connects.size(), 1u);
    tell_status("cloud_connected"); // accepted again once the start is over
    ASSERT_TRUE(zeltest::wait_until([&] { return camera_state() == 8; }, 5s));
}

TEST_F(LocalMethods, WifiReloadAndDisconnect)
{
    call(R"("method":"_internal.wifi_reconnect")");
    call(R"("method":"_internal.wifi_reload")");
    ASSERT_TRUE(zeltest::wait_until([] { return zeltest::porting_hooks_seen().wifi_reloads.size() == 2; }, 5s));
    const auto reloads = zeltest::porting_hooks_seen().wifi_reloads;
    EXPECT_EQ(std::multiset<int>(reloads.begin(), reloads.end()), (std::multiset<int>{0, 1}));

    std::strcpy(ko_ipc_get_sdk_info()->ssid, "master");
    std::strcpy(ko_ipc_get_sdk_info()->passwd, "masterpw");
    zeltest::PortingHooksScript script;
    script.bound = 1;
    zeltest::porting_hooks_script(script);
    const int since = call(R"("method":"_internal.wifi_disconnect_req","params":{"ssid":"s\"1","bssid":"b1"})");
    int index = -1;
    Json resp = next("internal", "_internal.wifi_disconnect_resp", since, &index);
    EXPECT_EQ(canonical(resp.get()),
              canonical(R"({"method":"_internal.wifi_disconnect_resp","params":{"ssid":"s\"1","bssid":"b1"}})"));
    ASSERT_TRUE(zeltest::wait_until([] { return zeltest::porting_hooks_seen().wifi_connects.size() == 1; }, 5s));
    const auto join = zeltest::porting_hooks_seen().wifi_connects[0];
    EXPECT_EQ(join.mode, KO_WIFI_MODE_MASTER);
    EXPECT_EQ(join.ssid, "master");
    EXPECT_EQ(join.passwd, "masterpw");
    EXPECT_TRUE(none_within("internal", "_internal.hello", since, 500)) << "reload and disconnect send no hello";
}

TEST_F(LocalMethods, BindAndPinCodeReachTheHooks)
{
    const int rpc_since = sim_->received_count("rpc");
    call(R"("method":"local.bind","extra":{"result":"okay"})");
    call(R"("method":"local.bind","extra":{"result":"ok"})");
    call(R"("method":"local.show_pin_code","params":{"pin_code":"0815"})");
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            const auto seen = zeltest::porting_hooks_seen();
            return seen.binds.size() == 2 && seen.pins.size() == 1;
        },
        5s));
    const auto seen = zeltest::porting_hooks_seen();
    EXPECT_EQ(std::multiset<int>(seen.binds.begin(), seen.binds.end()), (std::multiset<int>{0, 1}));
    EXPECT_EQ(seen.pins[0], "0815");
    // A successful bind sends the media information.
    Json media = next("rpc", "_sync.set_extra_data", rpc_since);
    ASSERT_TRUE(media);
    EXPECT_TRUE(member(member(member(media.get(), "params"), "data"), "v_encode"));
}

TEST_F(LocalMethods, NullPinCodeReachesTheHookAsEmptyText)
{
    call(R"("method":"local.show_pin_code","params":{"pin_code":null})");
    call(R"("method":"local.show_pin_code","params":{"pin_code":"4711"})");
    ASSERT_TRUE(zeltest::wait_until([] { return zeltest::porting_hooks_seen().pins.size() == 2; }, 5s));
    const auto pins = zeltest::porting_hooks_seen().pins;
    EXPECT_EQ(std::multiset<std::string>(pins.begin(), pins.end()), (std::multiset<std::string>{"", "4711"}));
}

TEST_F(LocalMethods, DeviceIdTimerAsksUntilAPositiveIdArrives)
{
    sim_->command(R"({"cmd":"set","did":0})");
    tell_status("didkey_done");
    ASSERT_TRUE(next("internal", "local.query_did", 0));
    const int asked = sim_->received_count("internal");
    char did[64] = {};
    EXPECT_EQ(ko_ipc_query_did(did, sizeof did), KO_SDK_ERR_EMPTY) << "an id of 0 is not taken";
    sim_->command(R"({"cmd":"set","did":-5})");
    ASSERT_TRUE(next("internal", "local.query_did", asked)) << "the timer goes on asking";
    EXPECT_EQ(ko_ipc_query_did(did, sizeof did), KO_SDK_ERR_EMPTY);
    sim_->command(R"({"cmd":"set","did":9876543210})");
    ASSERT_TRUE(zeltest::wait_until([&] { return ko_ipc_query_did(did, sizeof did) == 0; }, 5s));
    EXPECT_STREQ(did, "9876543210");
    EXPECT_EQ(ko_ipc_query_did(did, 10), KO_SDK_ERR_PARAM) << "no room for the terminator";
    // Once known, the timer stops asking.
    std::this_thread::sleep_for(600ms);
    const int settled = sim_->received_count("internal");
    EXPECT_TRUE(none_within("internal", "local.query_did", settled, 1000));
}

class CertificateDevice : public SdkTest {
protected:
    CertificateDevice() : SdkTest({"--did", "424242"}, false) {}
};

TEST_F(CertificateDevice, DeviceInformationCarriesTheIdAndCertificates)
{
    param_.chip_type = 1;
    std::strcpy(param_.did, "1234567890123");
    param_.manu_cert = "-----BEGIN CERTIFICATE-----\nMIIB\"x\n";
    param_.dev_cert = "dev-cert";
    param_.wpa_required = 0;
    param_.sc_type = KO_SC_TYPE_2 | KO_SC_TYPE_16;
    ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
    wait_links();
    const int since = call(R"("method":"_internal.request_dinfo","id":21)");
    EXPECT_EQ(reply_with_hello("_internal.response_dinfo", since),
              canonical(R"({"method":"_internal.response_dinfo","params":{"did":1234567890123,)"
                        R"("manu_cert":"-----BEGIN CERTIFICATE-----\nMIIB\"x\n","dev_cert":"dev-cert",)"
                        R"("vendor":"zelmar","mac":"AA:BB:CC:DD:EE:FF","model":"zelmar.camera.c1","sc_type":[2,16],)"
                        R"("OOB":[{"mode":2,"ctx":""},{"mode":3,"ctx":"OOB-0123456789"}]}})"));
}

} // namespace
} // namespace sdktest
