// The shared table of the 46 agent-bus methods and the generators that put a caller's params on the
// wire as its row's kind requires.
#include "zel_app_agent_client/agent_client.h"

#include <json-c/json.h>

#include <cstring>
#include <string>

#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "AGENT_CLIENT";

// The text of a fixed-size field, stopping at its NUL or its end.
std::string field_text(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

} // namespace

json_object *generate_string_params(const void *params)
{
    return params ? json_object_new_string(static_cast<const char *>(params)) : nullptr;
}

json_object *generate_int_params(const void *params)
{
    return params ? json_object_new_int(*static_cast<const int32_t *>(params)) : nullptr;
}

json_object *generate_ota_params(const void *params)
{
    return generate_int_params(params);
}

json_object *generate_wifi_params(const void *params)
{
    if (!params) {
        ZEL_LOGE(TAG, "wifi params error");
        return nullptr;
    }
    const auto *wifi = static_cast<const agent_wifi_params_t *>(params);
    json_object *obj = json_object_new_object();
    const std::string ssid = field_text(wifi->ssid, sizeof wifi->ssid);
    const std::string passwd = field_text(wifi->passwd, sizeof wifi->passwd);
    json_object *jssid = json_object_new_string(ssid.c_str());
    json_object *jpasswd = json_object_new_string(passwd.c_str());
    if (!obj || !jssid || !jpasswd || json_object_object_add(obj, "ssid", jssid) != 0) {
        json_object_put(jssid);
        json_object_put(jpasswd);
        json_object_put(obj);
        ZEL_LOGE(TAG, "wifi params error");
        return nullptr;
    }
    if (json_object_object_add(obj, "passwd", jpasswd) != 0) {
        json_object_put(jpasswd);
        json_object_put(obj);
        ZEL_LOGE(TAG, "wifi params error");
        return nullptr;
    }
    return obj;
}

namespace {

constexpr request_api_t row(int32_t cmd, const char *method, int32_t kind, int32_t broadcast)
{
    return {cmd, method, 0,
            kind == AGENT_PARAMS_TEXT    ? generate_string_params
            : kind == AGENT_PARAMS_INT   ? generate_int_params
            : kind == AGENT_PARAMS_OTA_INT ? generate_ota_params
                                           : generate_wifi_params,
            kind, broadcast};
}

} // namespace

const request_api_t request_api_all[AGENT_METHOD_COUNT] = {
    row(0, "set_motor", AGENT_PARAMS_INT, 0),
    row(1, "set_motor_position", AGENT_PARAMS_TEXT, 0),
    row(2, "set_lsd_config", AGENT_PARAMS_OTA_INT, 0),
    row(3, "set_light", AGENT_PARAMS_INT, 0),
    row(4, "set_night_mode", AGENT_PARAMS_INT, 0),
    row(5, "wifi_start", AGENT_PARAMS_WIFI, 1),
    row(6, "sdcard_rw", AGENT_PARAMS_TEXT, 1),
    row(7, "local.status", AGENT_PARAMS_TEXT, 1),
    row(9, "local.query_status", AGENT_PARAMS_TEXT, 1),
    row(8, "get_qrcode", AGENT_PARAMS_TEXT, 1),
    row(10, "set_wired_status", AGENT_PARAMS_INT, 1),
    row(11, "set_wifi_status", AGENT_PARAMS_INT, 1),
    row(12, "set_bind_status", AGENT_PARAMS_TEXT, 1),
    row(13, "set_wifi_ssid", AGENT_PARAMS_TEXT, 1),
    row(14, "set_wifi_passwd", AGENT_PARAMS_TEXT, 1),
    row(15, "sdcard_status", AGENT_PARAMS_INT, 1),
    row(16, "sdcard_format", AGENT_PARAMS_TEXT, 0),
    row(17, "set_dev_status", AGENT_PARAMS_TEXT, 0),
    row(18, "set_release_resource_over", AGENT_PARAMS_TEXT, 1),
    row(19, "set_human_config_from_app", AGENT_PARAMS_TEXT, 1),
    row(20, "set_motion_config_from_app", AGENT_PARAMS_TEXT, 1),
    row(21, "set_flip_config_from_app", AGENT_PARAMS_INT, 1),
    row(22, "set_hot_config_from_cloud", AGENT_PARAMS_TEXT, 1),
    row(23, "set_voice_config_from_app", AGENT_PARAMS_TEXT, 1),
    row(24, "new_record", AGENT_PARAMS_TEXT, 1),
    row(25, "set_track_switch_from_app", AGENT_PARAMS_TEXT, 1),
    row(26, "set_logo_watermark_from_app", AGENT_PARAMS_TEXT, 1),
    row(27, "set_people_alarm_switch", AGENT_PARAMS_INT, 1),
    row(28, "set_motion_alarm_switch", AGENT_PARAMS_INT, 1),
    row(29, "set_lsd_alarm_switch", AGENT_PARAMS_INT, 1),
    row(30, "sip_register", AGENT_PARAMS_TEXT, 1),
    row(31, "set_hot_record", AGENT_PARAMS_TEXT, 1),
    row(32, "set_hack_alarm", AGENT_PARAMS_TEXT, 1),
    row(33, "set_speaker_vol", AGENT_PARAMS_TEXT, 1),
    row(34, "set_speaker_status", AGENT_PARAMS_TEXT, 1),
    row(35, "set_gb_ota_status", AGENT_PARAMS_TEXT, 1),
    row(36, "onvif_register", AGENT_PARAMS_TEXT, 1),
    row(37, "set_wdr_config_from_app", AGENT_PARAMS_INT, 1),
    row(38, "set_full_color_from_app", AGENT_PARAMS_INT, 1),
    row(39, "set_sdcard_unmount_cmd", AGENT_PARAMS_INT, 1),
    row(40, "set_detection_sensi_cmd", AGENT_PARAMS_INT, 1),
    row(41, "set_ldc_cmd", AGENT_PARAMS_INT, 1),
    row(42, "set_sdcard_cmd", AGENT_PARAMS_INT, 1),
    row(43, "set_sdcard_status", AGENT_PARAMS_INT, 1),
    row(44, "set_sdcard_message", AGENT_PARAMS_INT, 1),
    row(45, "set_sdcard_sejected", AGENT_PARAMS_INT, 1),
};
