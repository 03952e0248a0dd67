// The P2P start and the callbacks the P2P service calls for a phone: talk-back audio and its switch,
// pan-tilt and cruise commands with their replies, and the bind state the hooks read.
#include "zel_app_sdk/zel_tolk/zel_tolk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app_sdk_porting/porting_ptz.h"
#include "zel_app_agent_client/json_verify.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_sound_play.h"

namespace {

constexpr const char *TAG = "zel_tolk_p2p";
constexpr int kCmdMotor = 274;
constexpr int kCmdCruise = 512;
// A phone's command text is at most this long; a longer (or empty) one is refused.
constexpr int kMaxCommandBytes = 4095;
constexpr int kAudioOutBytes = 2560;
constexpr int kIgnoreSecs = 35;

int reply(int session, int cmd, const char *text, int length)
{
    return ko_p2p_user_cmd_send(session, cmd + 1, text, length);
}

int motor_reply(int session, int cmd, int ret, int angle, int elevation)
{
    char text[64];
    const int n = snprintf(text, sizeof text, "{\"ret\":%d, \"angle\":%d,\"elevation\":%d}", ret, angle, elevation);
    ZEL_LOGI(TAG, " motor_result %s ", text);
    return reply(session, cmd, text, n);
}

int motor_command(zel_tolk_info_t *info, int session, int cmd, const char *json)
{
    int operation = 0;
    if (json_verify_get_int(json, "operation", &operation) != 0) {
        ZEL_LOGE(TAG, "motor,json:operation error,%s ", json);
        return -1;
    }
    // Only a pan-tilt command names the session a later pan-tilt report goes to.
    pthread_mutex_lock(&info->mutex);
    info->motor_session = static_cast<uint32_t>(session);
    info->motor_cmd = cmd;
    pthread_mutex_unlock(&info->mutex);
    switch (operation) {
    case 1:
    case 2:
    case 3:
    case 4:
        zel_tolk_set_ignore_time(kIgnoreSecs);
        if (ptz_control_turn(operation) != 0)
            ZEL_LOGE(TAG, "motor,json:operation error,%s ", json);
        return 0;
    case 5:
        zel_tolk_set_ignore_time(kIgnoreSecs);
        ptz_control_reset();
        motor_reply(session, cmd, 0, 50, 50);
        return 0;
    case 6: {
        int x = 0, y = 0;
        get_current_motor_position(&x, &y);
        motor_reply(session, cmd, 0, x, y);
        return 0;
    }
    default:
        return 0;
    }
}

int cruise_query(int session, int cmd)
{
    char value[1536];
    memset(value, 0, sizeof value);
    const int code = zel_api_db_get_value("MEM.cruise_status", value, sizeof value);
    char text[1536];
    const int n = snprintf(text, sizeof text, "{\"method\":\"cruise_req\",\"value\":%d,\"code\":%d}",
                           code == 0 ? atoi(value) : 0, code);
    return reply(session, cmd, text, n);
}

} // namespace

int zel_tolk_p2p_motor_cmd_cb(int session, int cmd, const char *data, int size)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!data || !info) {
        ZEL_LOGE(TAG, " event data is NULL ");
        return -1;
    }
    if (size <= 0 || size > kMaxCommandBytes) {
        ZEL_LOGE(TAG, "cmd %d: payload of %d bytes refused", cmd, size);
        return -1;
    }
    // The payload is `size` bytes without a terminator.
    const std::string text(data, static_cast<size_t>(size));
    ZEL_LOGI(TAG, " >>>>>cmd=%d,data=%s,data_size=%d ", cmd, text.c_str(), size);
    if (cmd == kCmdMotor)
        return motor_command(info, session, cmd, text.c_str());
    if (cmd == kCmdCruise)
        cruise_query(session, cmd);
    return 0;
}

int zel_tolk_send_ptz_info(const char *text, int length)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!text || !info) {
        ZEL_LOGE(TAG, " input param is NULL ");
        return -1;
    }
    pthread_mutex_lock(&info->mutex);
    const int session = static_cast<int>(info->motor_session);
    const int cmd = info->motor_cmd;
    pthread_mutex_unlock(&info->mutex);
    return reply(session, cmd, text, length);
}

void zel_tolk_recv_audio_cb(ko_p2p_audio_frame *frame, uint32_t, int)
{
    if (!frame || !frame->data) {
        ZEL_LOGE(TAG, " parameters is null ");
        return;
    }
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    device_sdk_info_t *device = get_device_info_pointer();
    ko_audio_codec *decoder = device ? __atomic_load_n(&device->audio_decoder, __ATOMIC_ACQUIRE) : nullptr;
    if (!info || !decoder) {
        ZEL_LOGE(TAG, " device or zel_tolk_info is NULL ");
        return;
    }
    zel_tolk_set_loud_ignore_time(kIgnoreSecs);
    uint8_t pcm[kAudioOutBytes];
    const int n = _zel_audio_decode_frame(&decoder, frame->data, frame->len, pcm, sizeof pcm);
    if (n > 0)
        zel_api_play_audio_data(pcm, n);
    else
        ZEL_LOGE(TAG, " _zel_audio_decode_frame fail ");
}

void zel_tolk_audio_status_cb(int type, bool enable)
{
    ZEL_LOGI(TAG, " type: %d, enable: %d ", type, enable ? 1 : 0);
    if (type == 0 && enable)
        message_queue_clear(0);
}

int zel_tolk_p2p_init(void)
{
    ko_p2p_param param{};
    param.max_session = 3;
    param.send_video_buf = 555008;
    param.send_audio_buf = 2048;
    param.recv_video_buf = -1;
    param.recv_audio_buf = 2048;
    param.user_recv_cmd = zel_tolk_p2p_motor_cmd_cb;
    param.recv_audio = zel_tolk_recv_audio_cb;
    param.audio_status = zel_tolk_audio_status_cb;
    param.encrypt_type = 0;
    if (_zel_p2p_init(&param) != 0) {
        ZEL_LOGE(TAG, " _zel_p2p_init error! ");
        return -1;
    }
    if (_ko_p2p_alive_enable() != 0) {
        ZEL_LOGE(TAG, " _ko_p2p_alive_enable error! ");
        return -1;
    }
    ZEL_LOGI(TAG, " p2p init success! ");
    return 0;
}

void _set_bind_status_ok(void)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (info)
        __atomic_store_n(&info->bind_ok, 1, __ATOMIC_RELEASE);
}

int _get_bind_status(int *out)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!out || !info) {
        ZEL_LOGE(TAG, " status is NULL ");
        return -1;
    }
    *out = static_cast<int>(__atomic_load_n(&info->bind_ok, __ATOMIC_ACQUIRE));
    return 0;
}
