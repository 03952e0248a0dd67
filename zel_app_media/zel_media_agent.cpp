// The media app's agent-bus module "ZEL_APP_MEIDA": flip (with the pan-tilt head's flip and the
// stored head position mirrored), OSD watermark, speaker volume and mute from the settings, speaker
// status (talk-back clears the prompt queue; sub-video switch), WDR and lens correction. Key 22 (hot
// encoder configuration from the cloud) is only logged.
#include "zel_media.h"
#include "zel_media_state.h"
#include "zel_sound_play.h"

#include "boardav.h"
#include "zel_app_agent_loop.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_parse.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"

#include <json-c/json.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using media::kTag;

namespace {

enum {
    kKeyFlip = 21,
    kKeyHotConfig = 22,
    kKeyWatermark = 26,
    kKeySpeakerVol = 33,
    kKeySpeakerStatus = 34,
    kKeyWdr = 37,
    kKeyLdc = 41,
};

const int kKeys[] = {kKeyFlip, kKeyHotConfig, kKeyWatermark, kKeySpeakerVol, kKeySpeakerStatus, kKeyWdr, kKeyLdc};
app_agent_module_t g_module = {kTag, "zel_media", kKeys, 7, handle_zel_media_message, nullptr, -1, nullptr};

int int_param(const void *param)
{
    return param ? *static_cast<const int32_t *>(param) : 0;
}

// An upside-down image turns the head round: its stored position is mirrored too.
void mirror_motor_position()
{
    char motor[16];
    memset(motor, 0, sizeof motor);
    zel_api_db_get_value("NVM.IPC:motor", motor, sizeof motor);
    if (motor[0] == '\0')
        return;
    int x = 0, y = 0;
    if (zel_parse_position(motor, &x, &y) != 0) {
        ZEL_LOGW(kTag, "NVM.IPC:motor \"%s\" is not a position, left as it is", motor);
        return;
    }
    char text[16];
    const int n = snprintf(text, sizeof text, "[%d,%d]", 100 - x, 100 - y);
    zel_api_db_set_value("NVM.IPC:motor", text, n, 1);
}

void set_flip(int request)
{
    char stored[8];
    memset(stored, 0, sizeof stored);
    zel_api_db_get_value("NVM.VIDEO:flip", stored, sizeof stored);
    const int current = atoi(stored);
    int32_t head_flip;
    if (request == 1 && current == 0) {
        zel_set_video_vflip();
        head_flip = 1;
    } else if (request == 0 && current == 1) {
        zel_set_video_nomal();
        head_flip = 0;
    } else {
        return;
    }
    zel_api_ptz_prop_set(ZEL_PTZ_PROP_FLIP, &head_flip, sizeof head_flip);
    zel_api_db_set_value("NVM.VIDEO:flip", head_flip ? "1" : "0", 1, 0);
    mirror_motor_position();
    zel_api_db_sync();
}

void set_watermark(const char *text)
{
    json_object *root = text ? json_tokener_parse(text) : nullptr;
    json_object *sw = nullptr;
    if (root && json_object_is_type(root, json_type_object) && json_object_object_get_ex(root, "switch", &sw) &&
        json_object_is_type(sw, json_type_int)) {
        json_object_get_int(sw) != 0 ? zel_enable_osd() : zel_disable_osd();
    } else {
        ZEL_LOGW(kTag, "watermark text without a \"switch\" number: %s", text ? text : "(null)");
    }
    json_object_put(root);
}

void apply_stored_speaker(const char *text)
{
    char value[8];
    memset(value, 0, sizeof value);
    if (text && strncmp(text, "mute", 4) == 0) {
        zel_api_db_get_value("NVM.IPC:speaker_mute", value, sizeof value);
        ZEL_LOGI(kTag, "KEY_NVM_IPC_SPEAKER_MUTE:%s ", value);
        media::board_call("set_speaker_mute", [&] { return set_speaker_mute(atoi(value) != 0); });
    } else {
        zel_api_db_get_value("NVM.IPC:speaker_volume", value, sizeof value);
        ZEL_LOGI(kTag, "KEY_NVM_IPC_SPEAKER_VOLUME:%s ", value);
        media::board_call("set_speaker_vol_percentage", [&] { return set_speaker_vol_percentage(atoi(value)); });
    }
}

void set_speaker_status(const char *text)
{
    if (!text)
        return;
    if (strncmp(text, "call_on", 7) == 0) {
        message_queue_clear(0);
        ZEL_LOGI(kTag, "clear alarm audio queue:%s ", text);
    } else if (strncmp(text, "video_on", 8) == 0) {
        __atomic_store_n(&dev_status.sub_video_switch, 1, __ATOMIC_RELEASE);
        ZEL_LOGI(kTag, "open sub video switch ");
    } else if (strncmp(text, "video_off", 9) == 0) {
        __atomic_store_n(&dev_status.sub_video_switch, 0, __ATOMIC_RELEASE);
        ZEL_LOGI(kTag, "close sub video switch ");
    }
}

} // namespace

int handle_zel_media_message(int cmd, const void *param)
{
    const char *text = static_cast<const char *>(param);
    switch (cmd) {
    case kKeyFlip:
        ZEL_LOGI(kTag, "zel_media app,recv cmd=%d, vaule = %d", cmd, int_param(param));
        set_flip(int_param(param));
        break;
    case kKeyHotConfig:
        ZEL_LOGI(kTag, "recive hot config from cloud  ");
        break;
    case kKeyWatermark:
        ZEL_LOGI(kTag, "recive log watermark from cloud ");
        set_watermark(text);
        break;
    case kKeySpeakerVol:
        apply_stored_speaker(text);
        break;
    case kKeySpeakerStatus:
        set_speaker_status(text);
        break;
    case kKeyWdr:
        ZEL_LOGI(kTag, "recive wdr from cloud %d \n", int_param(param));
        int_param(param) == 1 ? zel_enable_wdr() : zel_disable_wdr();
        break;
    case kKeyLdc:
        ZEL_LOGI(kTag, "recive ldc from cloud %d \n", int_param(param));
        media::board_call(__func__, [&] { return int_param(param) == 1 ? enable_ldc() : disable_ldc(); });
        break;
    default:
        break;
    }
    return 0;
}

int _zel_media_agent_client_init(void)
{
    return app_agent_client_init(&g_module);
}

void _zel_media_agent_client_deinit(void)
{
    app_agent_client_deinit(&g_module);
}

void *start_zel_media_recv_from_agent_thread(void *)
{
    pthread_setname_np(pthread_self(), kTag);
    ZEL_LOGI(kTag, "start_zel_media_recv_from_agent_thread start");
    app_agent_recv_loop(&g_module);
    return nullptr;
}
