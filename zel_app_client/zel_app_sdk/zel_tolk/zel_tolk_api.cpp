// The device settings operations: agent messages to the camera application and calls of the business
// state. set_power is in zel_tolk_power.cpp.
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "app_sdk_porting/sdk_porting.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_smart_care.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "zel_tolk_api";
constexpr int kPictureIgnoreSecs = 5;
constexpr size_t kJsonTextSize = 128;

enum {
    kMsgFormat = 16,
    kMsgDevStatus = 17,
    kMsgKeyArea = 19,
    kMsgFlip = 21,
    kMsgSpeakerVol = 33,
    kMsgWdr = 37,
    kMsgFullColor = 38,
    kMsgUnmount = 39,
    kMsgSensitivity = 40,
    kMsgLdc = 41,
    kMsgSdcardCmd = 42,
    kMsgSdcardEjected = 45,
};
constexpr int kSdModeStopped = 2;

// Agent message `id`: 0, or -1 with `failure` logged.
int send(int id, const void *payload, const char *failure)
{
    const int ret = sdk_porting_report_message(id, payload, nullptr, nullptr);
    if (ret != 0) {
        ZEL_LOGE(TAG, failure, ret);
        return -1;
    }
    return 0;
}

int send_int(int id, int value, const char *failure)
{
    return send(id, &value, failure);
}

// {"ver":"1.0.0","switch":on[,"type":type]} as plain text in `out`; a text that does not fit leaves
// it empty. False when the object cannot be made.
bool switch_json(int on, const int *type, char (&out)[kJsonTextSize])
{
    out[0] = '\0';
    json_object *obj = json_object_new_object();
    if (!obj)
        return false;
    json_object_object_add(obj, "ver", json_object_new_string("1.0.0"));
    json_object_object_add(obj, "switch", json_object_new_int(on));
    if (type)
        json_object_object_add(obj, "type", json_object_new_int(*type));
    const char *text = json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN);
    if (text && strlen(text) < sizeof out)
        memcpy(out, text, strlen(text) + 1);
    json_object_put(obj);
    return true;
}

// The switch text through `request`: 0, or -1 when it cannot be made or is refused.
int request_switch(int on, const int *type, int (*request)(const char *), const char *entry, const char *failure)
{
    char text[kJsonTextSize];
    if (!switch_json(on, type, text)) {
        ZEL_LOGE(TAG, "json_object_new_object fail");
        return -1;
    }
    ZEL_LOGI(TAG, entry, text);
    const int ret = request(text);
    if (ret != 0) {
        ZEL_LOGE(TAG, failure, ret);
        return -1;
    }
    return 0;
}

void ignore_motion()
{
    zel_tolk_set_ignore_time(kPictureIgnoreSecs);
}

} // namespace

int reset_device_info(void)
{
    ZEL_LOGI(TAG, " reset_device_info enter ");
    const int ret = _zel_ipc_config_reset();
    if (ret != 0)
        ZEL_LOGE(TAG, "_zel_ipc_config_reset fail ret:%d ", ret);
    return send(kMsgDevStatus, "dev_reset", "sdk_porting_report_message reset fail ret:%d ");
}

int set_rotate(int flip)
{
    ZEL_LOGI(TAG, " set_rotate switch:%d ", flip);
    ignore_motion();
    return send_int(kMsgFlip, flip, "sdk_porting_report_message flip fail ret:%d ");
}

int set_night_mode(int mode)
{
    ignore_motion();
    char text[8];
    snprintf(text, sizeof text, "%d", mode);
    ZEL_LOGI(TAG, "set_night_mode:%s  ", text);
    sdk_porting_request_set_night_mode(text);
    return 0;
}

int set_wdr_mode(int mode)
{
    ZEL_LOGI(TAG, "set_wdr_mode:%d  ", mode);
    ignore_motion();
    return send_int(kMsgWdr, mode, "sdk_porting_report_message wdr fail ret:%d ");
}

int set_glimmer_full_color(int on)
{
    ZEL_LOGI(TAG, "glimmer_full_color:%d  ", on);
    ignore_motion();
    return send_int(kMsgFullColor, on, "sdk_porting_report_message full color fail ret:%d ");
}

int set_logo_watermark(int on)
{
    return request_switch(on, nullptr, sdk_porting_request_logo_watermark, " logo_watermark json_param:%s ",
                          "sdk_porting_request_logo_watermark fail ret:%d ");
}

int ctrl_led_switch(int on)
{
    ZEL_LOGI(TAG, " ctrl_led_switch param:%d ", on);
    ignore_motion();
    return send(kMsgDevStatus, on ? "led_on" : "led_off", "sdk_porting_report_message led status fail ret:%d ");
}

int get_device_sdcard_status(void)
{
    return _zel_tolk_client_get_sdcard_status();
}

int format_sdcard_func(void)
{
    ZEL_LOGI(TAG, " enter ");
    return send(kMsgFormat, "fake_mesasage", "sdk_porting_report_message format sdcard fail ret:%d ");
}

int set_sdcard_unmount(void)
{
    ZEL_LOGI(TAG, " enter ");
    return send(kMsgUnmount, "sdcard_unmount", "sdk_porting_report_message unmount sdcard fail ret:%d ");
}

int set_sdcard_cmd(void)
{
    ZEL_LOGI(TAG, " enter ");
    return send_int(kMsgSdcardCmd, 0, "sdk_porting_report_message sdcard cmd fail ret:%d ");
}

int device_reboot(void)
{
    ZEL_LOGI(TAG, " enter ");
    const int ret = _zel_local_storage_set_mode(0, kSdModeStopped);
    if (ret != 0)
        ZEL_LOGE(TAG, "_zel_local_storage_set_mode fail ret:%d ", ret);
    return send(kMsgDevStatus, "dev_reboot", "sdk_porting_report_message reboot fail ret:%d ");
}

int set_alarm_interval(int minutes)
{
    ZEL_LOGI(TAG, " enter ");
    zel_tolk_set_alarm_interval(minutes);
    return 0;
}

int set_alarm_sensitivity(int level)
{
    ZEL_LOGI(TAG, " alarm_sensi:%d ", level);
    return send_int(kMsgSensitivity, level, "sdk_porting_report_message sensitivity fail ret:%d ");
}

int set_alarm_time_type(int kind, const char *time)
{
    ZEL_LOGI(TAG, " type:%d ", kind);
    zel_tolk_set_alarm_start_time(kind, time);
    return 0;
}

int set_alarm_switch_status(int kind, int on)
{
    ZEL_LOGI(TAG, " type:%d ", kind);
    zel_tolk_set_alarm_switch(kind, on);
    return 0;
}

int set_track_switch(int on)
{
    const int type = 1;
    return request_switch(on, &type, sdk_porting_request_track_switch, " track switch json_param:%s ",
                          "sdk_porting_request_track_switch  fail ret:%d ");
}

int set_video_ldc(int on)
{
    ZEL_LOGI(TAG, " set video ldc:%d ", on);
    ignore_motion();
    return send_int(kMsgLdc, on, "sdk_porting_report_message ldc fail ret:%d ");
}

int set_ao_volume(int mute)
{
    return sdk_porting_report_message(kMsgSpeakerVol, mute ? "mute" : "volume", nullptr, nullptr);
}

int set_key_area(int x1, int y1, int x2, int y2)
{
    ZEL_LOGI(TAG, " set key_area:(%d %d) - (%d %d) ", x1, y1, x2, y2);
    // Room for four numbers of 11 characters each ("-2147483648"), their blanks and brackets.
    char text[4 * 11 + 3 + 2 + 1];
    snprintf(text, sizeof text, "[%d %d %d %d]", x1, y1, x2, y2);
    return sdk_porting_report_message(kMsgKeyArea, text, nullptr, nullptr);
}

int set_key_area_mode(int mode)
{
    return zel_tolk_set_period_mode(mode);
}

int set_key_area_switch(int on)
{
    return zel_tolk_set_period_switch(on);
}

int set_motion_event_ignore_time(int seconds)
{
    return zel_tolk_set_ignore_time(seconds);
}

int set_sdcard_ejected(int value)
{
    ZEL_LOGI(TAG, " sdcard_ejected ");
    return send_int(kMsgSdcardEjected, value, "sdk_porting_report_message sdcard ejected fail ret:%d ");
}

int dev_smart_care_config_set(int index, const char *json, int length)
{
    if (length < 0)
        return -1;
    return smart_care_config_set(index, json, static_cast<unsigned>(length));
}

int dev_smart_care_db_update_clock_switch(int index, int clock)
{
    return smart_care_db_update_clock_switch(index, clock);
}

int set_rpc_properties_change(const char *name, const char *value, int length)
{
    return zel_rpc_properties_change(name, value, length);
}
