// The algorithm app's agent-bus module "ZEL_ALGO": key area, motion, voice, tracking, sleep, night
// mode, the hack alarm light, talk-back, full colour and people sensitivity from the phone-facing apps.
#include "zel_algo.h"
#include "zel_algo_motion.h"
#include "zel_algo_state.h"

#include "zel_app_agent_loop.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

#include <json-c/json.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>

using algo::kTag;

namespace {

enum {
    kKeyNightMode = 4,
    kKeyDevStatus = 17,
    kKeyKeyArea = 19,
    kKeyMotion = 20,
    kKeyVoice = 23,
    kKeyTrackSwitch = 25,
    kKeyHackAlarm = 32,
    kKeySpeakerStatus = 34,
    kKeyFullColour = 38,
    kKeyDetectionSensitivity = 40,
};

const int kKeys[] = {kKeyKeyArea,   kKeyMotion,   kKeyVoice,         kKeyDevStatus,  kKeyTrackSwitch,
                     kKeyNightMode, kKeyHackAlarm, kKeySpeakerStatus, kKeyFullColour, kKeyDetectionSensitivity};
app_agent_module_t g_module = {kTag, "img_algo", kKeys, 10, handle_img_algo_message, nullptr, -1, nullptr};

int32_t int_param(const void *param)
{
    return param ? *static_cast<const int32_t *>(param) : 0;
}

void set_key_area(const char *text)
{
    if (!*text)
        return;
    float area[4] = {0, 0, 0, 0};
    sscanf(text, "[%f %f %f %f]", &area[0], &area[1], &area[2], &area[3]);
    ZEL_LOGI(kTag, "set key area:[(%.1f,%.1f),(%.1f,%.1f)] \n", area[0], area[1], area[2], area[3]);
    zel_api_algo_set_param(ZEL_ALGO_PARAM_KEY_AREA, area, sizeof area);
}

int set_track_switch(const char *text)
{
    if (!*text) {
        ZEL_LOGE(kTag, "SET_TRACK_SWITCH_FROM_APP value is empty");
        return -1;
    }
    json_object *root = json_tokener_parse(text);
    if (!root || !json_object_is_type(root, json_type_object)) {
        json_object_put(root);
        ZEL_LOGE(kTag, "SET_TRACK_SWITCH_FROM_APP value is not json format");
        return -1;
    }
    json_object *sw = nullptr;
    if (json_object_object_get_ex(root, "switch", &sw) && json_object_is_type(sw, json_type_int)) {
        const int32_t value = json_object_get_int(sw);
        motion_track_mode_config(value);
        ZEL_LOGI(kTag, "set track_switch = %d ", value);
        char stored[8];
        const int n = snprintf(stored, sizeof stored, "%d", value);
        zel_api_db_set_value("NVM.ALGO:track_switch", stored, n < static_cast<int>(sizeof stored) ? n : 7, 0);
    }
    json_object_put(root);
    return 0;
}

void set_dev_status(const char *text)
{
    if (strncmp(text, "start_sleep", 11) == 0)
        set_zel_algo_power_status(0);
    else if (strncmp(text, "stop_sleep", 10) == 0)
        set_zel_algo_power_status(1);
}

} // namespace

int handle_img_algo_message(int cmd, const void *param)
{
    const char *text = param ? static_cast<const char *>(param) : "";
    ZEL_LOGI(kTag, "img_algo app,recv cmd=%d", cmd & 0xff);
    switch (cmd) {
    case kKeyKeyArea:
        set_key_area(text);
        break;
    case kKeyMotion:
        zel_algo_set_motion_prop(text);
        break;
    case kKeyVoice:
        zel_algo_set_voice_prop(text);
        break;
    case kKeyTrackSwitch:
        return set_track_switch(text);
    case kKeyDevStatus:
        set_dev_status(text);
        break;
    case kKeyNightMode: {
        const char mode[2] = {static_cast<char>(int_param(param) & 0xff), '\0'};
        sync_algo_night_mode(mode);
        break;
    }
    case kKeyHackAlarm:
        ZEL_LOGI(kTag, "hack cmd type:%d  param:%s \n", cmd, text);
        zel_algo_set_hack_alarm_info(text);
        break;
    case kKeySpeakerStatus:
        if (strncmp(text, "call_on", 7) == 0) {
            set_hack_light_info(0);
            ZEL_LOGI(kTag, "stop full color: %s ", text);
        }
        break;
    case kKeyFullColour:
        sync_algo_fullcolor(int_param(param) == 1 ? "1" : "0");
        break;
    case kKeyDetectionSensitivity: {
        const int32_t sensitivity = int_param(param);
        zel_api_algo_set_param(ZEL_ALGO_PARAM_HUMAN_SENSITIVITY, &sensitivity, sizeof sensitivity);
        break;
    }
    default:
        ZEL_LOGI(kTag, " cmd not support");
        break;
    }
    return 0;
}

int _zel_algo_agent_client_init(void)
{
    return app_agent_client_init(&g_module);
}

void _img_algo_agent_client_deinit(void)
{
    app_agent_client_deinit(&g_module);
}

void *start_img_algo_recv_from_agent_thread(void *)
{
    pthread_setname_np(pthread_self(), kTag);
    ZEL_LOGI(kTag, "start_img_algo_recv_from_agent_thread start");
    app_agent_recv_loop(&g_module);
    return nullptr;
}
