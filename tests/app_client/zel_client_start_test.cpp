// The business layer's start-up: the SDK's start parameters from the factory keys and the firmware
// version, the stream channels by hardware id, the SDK logger by the debug marker, the clip-directory
// clean-up, the alarm settings with their range checks, the hooks before and after the start, and the
// end of the process when a factory key is missing.
#include "zel_client_fixture.h"

#include <sys/stat.h>

#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"

namespace clienttest {
namespace {

class ClientStart : public ClientTest {
protected:
    ClientStart() : ClientTest({{"hid", "900202000001"}}) {}
};

TEST_F(ClientStart, SdkInfoHoldsTheFactoryValues)
{
    start_business();
    const ko_sdk_info *sdk = ko_ipc_get_sdk_info();
    ASSERT_NE(sdk, nullptr);
    ASSERT_TRUE(sdk->valid);
    const ko_ipc_sdk_param &p = sdk->param;
    EXPECT_STREQ(p.vendor, "Halvorn");
    EXPECT_STREQ(p.model, "ZT-CAM1");
    EXPECT_STREQ(p.mac, "02:11:22:33:44:55");
    EXPECT_STREQ(p.oob, "oob-0123456789");
    EXPECT_STREQ(p.qelt_i2c, "/dev/i2c-1");
    EXPECT_STREQ(p.qelt_gpio, "57");
    EXPECT_STREQ(p.fw_ver, "2.4.1_0107");
    EXPECT_EQ(p.chip_type, 0u);
    EXPECT_EQ(p.sc_type, 8u);
    EXPECT_EQ(p.auto_ota, 1);
    EXPECT_EQ(p.wpa_required, 1);
    EXPECT_STREQ(p.wpa_intf, "/var/run/wpa_supplicant/wlan0");
    EXPECT_STREQ(p.data_dir, "/mnt/data");
    EXPECT_STREQ(p.country, "");
    EXPECT_NE(p.ko_snapshot_func, nullptr);
    EXPECT_NE(p.status_callback, nullptr);
}

TEST_F(ClientStart, HardwareIdSelectsTheMainResolutionAndTheChannelsStand)
{
    start_business();
    const ko_stream_chn_info *main = ko_ipc_get_stream_info(0);
    const ko_stream_chn_info *sub = ko_ipc_get_stream_info(1);
    const ko_stream_chn_info *audio = ko_ipc_get_stream_info(4);
    ASSERT_TRUE(main && sub && audio);
    EXPECT_EQ(main->resolution.width, 2560);
    EXPECT_EQ(main->resolution.height, 1440);
    EXPECT_EQ(main->bitrate, 2000u);
    EXPECT_EQ(sub->resolution.width, 864);
    EXPECT_EQ(sub->resolution.height, 480);
    EXPECT_EQ(audio->samplerate, 16000u);
    EXPECT_EQ(audio->encode, 1032u);
    EXPECT_NE(get_device_info_pointer()->audio_encoder, nullptr);
    EXPECT_NE(get_device_info_pointer()->audio_decoder, nullptr);
}

class ClientStartOtherHid : public ClientTest {
protected:
    ClientStartOtherHid() : ClientTest({{"hid", "900303"}}) {}
};

TEST_F(ClientStartOtherHid, OtherHardwareGetsTheLargerPicture)
{
    start_business();
    const ko_stream_chn_info *main = ko_ipc_get_stream_info(0);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->resolution.width, 2880);
    EXPECT_EQ(main->resolution.height, 1620);
}

TEST_F(ClientStart, DebugMarkerLogsEverythingToTheFileOnly)
{
    root().write_file("/mnt/data/tolk_debug", "");
    start_business();
    ko_log_param p{};
    ASSERT_EQ(ko_log_param_get(&p), 0);
    EXPECT_EQ(p.level, 0u);
    EXPECT_EQ(p.output, static_cast<uint32_t>(KO_LOG_OUT_FILE));
    EXPECT_STREQ(p.file_path, "/tmp/tolk_log.txt");
}

TEST_F(ClientStart, WithoutTheMarkerLevelOneToConsoleAndFile)
{
    start_business();
    ko_log_param p{};
    ASSERT_EQ(ko_log_param_get(&p), 0);
    EXPECT_EQ(p.level, 1u);
    EXPECT_EQ(p.output, static_cast<uint32_t>(KO_LOG_OUT_CONSOLE | KO_LOG_OUT_FILE));
    EXPECT_EQ(p.file_size, 102400u);
}

TEST_F(ClientStart, HiddenClipFilesSurviveTheCleanUp)
{
    root().write_file("/tmp/stream/clip_0001.mp4", "clip");
    root().write_file("/tmp/stream/.index", "keep");
    start_business();
    struct stat st {};
    EXPECT_NE(stat(root().path("/tmp/stream/clip_0001.mp4").c_str(), &st), 0);
    EXPECT_EQ(stat(root().path("/tmp/stream/.index").c_str(), &st), 0);
}

TEST_F(ClientStart, OtaKeysAreServedAfterTheStart)
{
    start_business();
    for (const char *key : {"lumo.ota", "sdkinfo_resp", "ota.downgrade"})
        EXPECT_EQ(ko_message_send(KO_UID_APP, KO_UID_OTA, key, "{}", 2, KO_MSG_MODE_SYNC), 0) << key;
    EXPECT_EQ(ko_ota_init(0), 0) << "a second start changes nothing";
}

TEST_F(ClientStart, RpcHookRefusesUntilTheEngineStands)
{
    const char text[] = R"({"id":1,"method":"get_properties","params":[]})";
    EXPECT_EQ(ko_rpc_receive(text, sizeof text - 1), -1);
    start_business();
    EXPECT_EQ(ko_rpc_receive(text, sizeof text - 1), 0);
}

TEST_F(ClientStart, BindHooksFollowTheStoredBindStatus)
{
    int bound = -1;
    EXPECT_EQ(ko_ipc_wifi_mode_get(&bound), -1) << "no business state yet";
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:bind_status", "1", 1, 0), 0);
    start_business();
    ASSERT_EQ(ko_ipc_wifi_mode_get(&bound), 0);
    EXPECT_EQ(bound, 1);
    EXPECT_EQ(ko_ipc_on_bind(0), 0);
    EXPECT_EQ(ko_ipc_on_error(3), 0);
    EXPECT_EQ(ko_ipc_wifi_reload(1), 0);
    ko_wifi_connect_info request{};
    EXPECT_EQ(ko_ipc_wifi_connect_start(&request), -1);
    ko_wifi_info wifi{};
    EXPECT_EQ(ko_ipc_wifi_info_get(&wifi), -1);
    EXPECT_EQ(ko_ipc_wifi_show_pin(nullptr), -1);
}

TEST_F(ClientStart, StatusWordsSetTheCloudState)
{
    start_business();
    device_sdk_info_t *device = get_device_info_pointer();
    EXPECT_EQ(zel_tolk_status_change_cb("cloud_connected"), 0);
    EXPECT_EQ(device->cloud_connected, 1);
    zel_tolk_status_change_cb("cloud_retry_later");
    EXPECT_EQ(device->cloud_connected, 0);
    zel_tolk_status_change_cb("cloud_connected");
    zel_tolk_status_change_cb("local_only");
    EXPECT_EQ(device->cloud_connected, 1) << "another word changes nothing";
    EXPECT_EQ(zel_tolk_status_change_cb(nullptr), -1);
    EXPECT_EQ(_set_bind_wifi_status(2), 0);
    EXPECT_EQ(device->wifi_connect_state, 1);
    _set_bind_wifi_status(4);
    EXPECT_EQ(device->wifi_connect_state, 3);
    _set_bind_wifi_status(7);
    EXPECT_EQ(device->wifi_connect_state, 2);
}

class ClientStartNoModel : public ClientTest {
protected:
    ClientStartNoModel() : ClientTest({}, false, false) {}
};

TEST_F(ClientStartNoModel, MissingModelEndsTheProcessWithItsLine)
{
    EXPECT_DEATH(zel_tolk_init(), "zel_db get KEY_ROM_MODEL fail");
}

// The firmware version and the alarm settings read the files and settings alone.
class ClientSettings : public ClientTest {};

TEST_F(ClientSettings, FirmwareVersionStripsOnlyANewlineAndStaysInItsBuffer)
{
    char v[64];
    root().write_file("/etc/os-release", "A=1\nHALVORN_VERSION=3.0.7");
    ASSERT_EQ(get_firmware_version(v, sizeof v), 0);
    EXPECT_STREQ(v, "3.0.7") << "a last line without newline keeps its last character";
    root().write_file("/etc/os-release", "HALVORN_VERSION=");
    memset(v, 'x', sizeof v);
    ASSERT_EQ(get_firmware_version(v, sizeof v), 0);
    EXPECT_STREQ(v, "");
    root().write_file("/etc/os-release", "HALVORN_VERSION=123456789\n");
    char small[5];
    memset(small, 'x', sizeof small);
    ASSERT_EQ(get_firmware_version(small, sizeof small), 0);
    EXPECT_STREQ(small, "1234");
    root().write_file("/etc/os-release", "NAME=x\n");
    ASSERT_EQ(get_firmware_version(v, sizeof v), 0);
    EXPECT_STREQ(v, "") << "no version line: an empty version";
    unlink(root().path("/etc/os-release").c_str());
    EXPECT_EQ(get_firmware_version(v, sizeof v), -1);
    EXPECT_EQ(get_firmware_version(nullptr, 8), -1);
    EXPECT_EQ(get_firmware_version(v, 0), -1);
}

zel_tolk_info_t defaults()
{
    zel_tolk_info_t info{};
    info.alarm_interval_ms = 10000;
    info.power = 1;
    return info;
}

int interval_for(const char *minutes)
{
    zel_api_db_set_value("NVM.CLOUD:interval", minutes, static_cast<int>(strlen(minutes)), 0);
    zel_tolk_info_t info = defaults();
    get_device_alarm_configration(&info);
    return info.alarm_interval_ms;
}

TEST_F(ClientSettings, AlarmIntervalInMinutesWithinRange)
{
    EXPECT_EQ(interval_for("5"), 300000);
    EXPECT_EQ(interval_for("0"), 0);
    EXPECT_EQ(interval_for("35791"), 2147460000);
    EXPECT_EQ(interval_for("35792"), 10000) << "would wrap past 32 bits";
    EXPECT_EQ(interval_for("4294967"), 10000);
    EXPECT_EQ(interval_for("-1"), 10000);
    EXPECT_EQ(interval_for("soon"), 10000);
}

TEST_F(ClientSettings, SwitchesCountTheirFirstCharacterOnly)
{
    zel_api_db_set_value("NVM.ALGO:motion_detection", "10", 2, 0);
    zel_api_db_set_value("NVM.ALGO:human_detection", " 1", 2, 0);
    zel_api_db_set_value("NVM.IPC:power", "0", 1, 0);
    zel_api_db_set_value("NVM.CLOUD:md_start_time", "08:00:00-and-more-text", 22, 0);
    zel_tolk_info_t info = defaults();
    EXPECT_EQ(get_device_alarm_configration(&info), 0);
    EXPECT_EQ(info.motion_switch, 1u);
    EXPECT_EQ(info.people_switch, 0u);
    EXPECT_EQ(info.power, 0u);
    EXPECT_STREQ(info.motion_start_time, "08:00:00-and-mo");
    EXPECT_EQ(get_device_alarm_configration(nullptr), -1);
}

TEST_F(ClientSettings, DetectionSwitchesStoredAsObjectsReadTheirSwitch)
{
    const std::string on = R"({"switch":1,"start_time":"00:00","end_time":"23:59"})";
    const std::string off = R"({"switch":0,"start_time":"00:00","end_time":"23:59"})";
    zel_api_db_set_value("NVM.ALGO:motion_detection", on.c_str(), static_cast<int>(on.size()), 0);
    zel_api_db_set_value("NVM.ALGO:human_detection", off.c_str(), static_cast<int>(off.size()), 0);
    zel_tolk_info_t info = defaults();
    info.people_switch = 1;
    EXPECT_EQ(get_device_alarm_configration(&info), 0);
    EXPECT_EQ(info.motion_switch, 1u);
    EXPECT_EQ(info.people_switch, 0u);
}

} // namespace
} // namespace clienttest
