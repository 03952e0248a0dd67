// A phone's commands: live video and audio on and off, talk-back, stream quality, the audio format
// and the device's information; every other code goes to the app client.
#include <json-c/json.h>
#include <string.h>

#include <string>

#include "app/p2p/ko_p2p_internal.h"
#include "common/ko_porting_hooks.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_p2p {

bool json_number(const std::string &text, const char *key, int64_t *out)
{
    json_object *root = json_tokener_parse(text.c_str());
    json_object *v = nullptr;
    const bool ok = root && json_object_object_get_ex(root, key, &v) && v;
    if (ok)
        *out = json_object_get_int64(v);
    json_object_put(root);
    return ok;
}

namespace {

enum { kQueryClearRings = 4 };

bool json_int(const std::string &text, const char *key, int *out)
{
    int64_t v = 0;
    if (!json_number(text, key, &v))
        return false;
    *out = static_cast<int>(v);
    return true;
}

// The stream channel and automatic-switch flag the app client gives a quality; false on failure.
bool channel_of_quality(int quality, int *channel, bool *auto_flag)
{
    ko_p2p_msg_notice n{};
    n.type = KO_P2P_NOTICE_VIDEO_QUALITY;
    n.quality = static_cast<uint16_t>(quality);
    if (ko_p2p_message_notice(&n) < 0) {
        KO_LOGE(KO_P2P_MODULE, "err : videoquality to chan\n");
        return false;
    }
    *channel = n.channel;
    *auto_flag = n.answer != 0;
    return true;
}

void reply_int(p2p_client &c, int code, int32_t value)
{
    uint8_t le[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                     static_cast<uint8_t>(value >> 24)};
    const int rc = ops().cmd_send(c.session, code, le, sizeof le);
    if (rc != 0)
        KO_LOGE(KO_P2P_MODULE, "vasq_cmd_send error, ret: %d", rc);
}

void video_start(p2p_client &c, const std::string &text)
{
    int quality = 0, audio = 0, channel = c.channel.load();
    bool auto_flag = c.drop.auto_switch, asked = false;
    if (json_int(text, "videoquality", &quality)) {
        json_int(text, "enableaudio", &audio);
        asked = true;
    } else if (c.start_seq == 0) {
        asked = true;
    }
    if (asked && !channel_of_quality(quality, &channel, &auto_flag))
        return;
    KO_LOGI(KO_P2P_MODULE, "start chan is %d  auto flag %d\n", channel, auto_flag ? 1 : 0);
    std::unique_lock<std::shared_mutex> w(c.lock);
    c.channel = channel;
    c.start_seq = c.start_seq >= 20000 ? 1 : c.start_seq + 1;
    force_key_frame(c);
    c.live_start_ms = vexa_time_get_ms();
    c.video_on = true;
    load_drop_params(c.drop, channel);
    c.drop.auto_switch = auto_flag;
    c.video_frames = c.audio_frames = c.audio_errors = 0;
    c.video_bytes = c.audio_bytes = 0;
    stop_playback(c);
    c.mode = kModeLive;
    KO_LOGI(KO_P2P_MODULE, "add new client %d \n", c.index);
    notice_app(kNoticeLive, 0, c.index, "enter notice live status failed\n");
    if (audio) {
        c.audio_on = true;
        KO_LOGI(KO_P2P_MODULE, "regedit client to audio ok\n");
    }
    c.live_started = true;
    c.drop.last_switch_ms = vexa_time_tick_ms();
    KO_LOGI(KO_P2P_MODULE, "b_enable_auto_swtich %d, vchn %d\n", auto_flag ? 1 : 0, channel);
    wake_senders();
}

void video_stop(p2p_client &c)
{
    std::unique_lock<std::shared_mutex> w(c.lock);
    if (c.mode.load() != kModeLive) {
        stop_playback(c);
        return;
    }
    c.video_on = false;
    c.live_started = false;
    KO_LOGI(KO_P2P_MODULE, "remove client video %d\n", c.index);
    notice_app(kNoticeLive, 1, c.index, "exit notice live status failed\n");
    ops().query(c.session, kQueryClearRings, nullptr);
}

void audio_switch(p2p_client &c, bool on)
{
    std::unique_lock<std::shared_mutex> w(c.lock);
    c.audio_on = on;
    g_vasq_ctrl.param.audio_status(1, on);
    wake_senders();
}

// One talker at a time: the count and the claim are one step under the claim mutex.
void speaker_start(p2p_client &c)
{
    vasq_ctrl &v = g_vasq_ctrl;
    int talking = 0;
    {
        std::lock_guard<std::mutex> g(v.claim_mutex);
        for (int i = 0; i < v.max_sessions; i++)
            if (v.slots[i].online.load() && v.slots[i].speaker_on.load()) {
                KO_LOGI(KO_P2P_MODULE, "client %d , speaker is open\n", i);
                talking++;
            }
        if (talking == 0)
            c.speaker_on = true;
    }
    if (talking) {
        KO_LOGW(KO_P2P_MODULE, "There is any other client is calling, reject this request, call session cnt: %d\n",
                talking);
        reply_int(c, 263, -1);
        return;
    }
    v.param.audio_status(0, true);
    reply_int(c, 263, 0);
    KO_LOGI(KO_P2P_MODULE, "VASQ_CMD_SPEAKER_START_RESP OK!\n");
}

void speaker_stop(p2p_client &c)
{
    {
        // The claim mutex alone, as for the speaker's start (the connect hook takes it before a slot lock).
        std::lock_guard<std::mutex> g(g_vasq_ctrl.claim_mutex);
        c.speaker_on = false;
    }
    g_vasq_ctrl.param.audio_status(0, false);
}

void video_quality(p2p_client &c, const std::string &text)
{
    KO_LOGI(KO_P2P_MODULE, "ipc set stream ctrl sid:%d  msg : %s\n", c.index, text.c_str());
    int quality = 0, channel = 0;
    bool auto_flag = false;
    if (!json_int(text, "videoquality", &quality)) {
        KO_LOGE(KO_P2P_MODULE, "ipc set stream ctrl error sid:%d msg : %s \n", c.index, text.c_str());
        return;
    }
    if (!channel_of_quality(quality, &channel, &auto_flag))
        return;
    KO_LOGI(KO_P2P_MODULE, "ctrl chan is %d  auto flag %d\n", channel, auto_flag ? 1 : 0);
    {
        std::unique_lock<std::shared_mutex> w(c.lock);
        c.channel = channel;
        c.drop.auto_switch = auto_flag;
        c.drop.last_switch_ms = vexa_time_tick_ms();
        force_key_frame(c);
    }
    reply_int(c, 266, 0);
}

void device_info(p2p_client &c)
{
    KO_LOGI(KO_P2P_MODULE, "IOTYPE_USER_IPCAM_DEVINFO_REQ\n");
    const ko_sdk_info *info = ko_ipc_get_sdk_info();
    if (!info) {
        KO_LOGE(KO_P2P_MODULE, "please call ko_ipc_sdk_init first ..\n");
        return;
    }
    // The version text the service has carries no "VARNEL_VERSION=" line.
    json_object *o = json_object_new_object();
    json_object_object_add(o, "did", json_object_new_string_len(info->device_id, static_cast<int>(strnlen(info->device_id, 63))));
    json_object_object_add(o, "mac", json_object_new_string_len(info->param.mac, static_cast<int>(strnlen(info->param.mac, 17))));
    json_object_object_add(o, "version", json_object_new_string(""));
    json_object_object_add(o, "rssi", json_object_new_int(-30));
    const char *text = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
    const int rc = ops().cmd_send(c.session, 273, text, static_cast<int>(strlen(text)) + 1);
    if (rc != 0)
        KO_LOGE(KO_P2P_MODULE, "vasq_cmd_send error, ret: %d", rc);
    json_object_put(o);
}

} // namespace
} // namespace ko_p2p

using namespace ko_p2p;

extern "C" int vasq_on_cmd(vasq_session *s, int code, const char *data, int length, void *)
{
    const std::string text = data && length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
    KO_LOGI(KO_P2P_MODULE, "vasq_on_cmd sesson:%p, cmd:%#x,params: %s,len:%d\n", static_cast<void *>(s),
            static_cast<unsigned>(code), text.c_str(), length);
    vasq_ctrl &v = g_vasq_ctrl;
    p2p_client *c = v.slots ? slot_of(s) : nullptr;
    if (!c)
        return -1;
    switch (code) {
    case 258: video_start(*c, text); break;
    case 259: video_stop(*c); break;
    case 260: audio_switch(*c, true); break;
    case 261: audio_switch(*c, false); break;
    case 262: speaker_start(*c); break;
    case 264: speaker_stop(*c); break;
    case 265: video_quality(*c, text); break;
    case 267: {
        KO_LOGI(KO_P2P_MODULE, "IOTYPE_USER_IPCAM_GETAUDIOOUTFORMAT_REQ\n");
        const int rc = ops().cmd_send(s, 268, "g711a", 6);
        if (rc != 0)
            KO_LOGE(KO_P2P_MODULE, "vasq_cmd_send error, ret: %d", rc);
        break;
    }
    case 269: playback_request(*c, text); break;
    case 271: playback_speed(*c, text); break;
    case 272: device_info(*c); break;
    default:
        if (!v.param.user_recv_cmd) {
            KO_LOGE(KO_P2P_MODULE, "p_vasq_ctrl->user_recv_cmd is NULL\n");
            return -1;
        }
        v.param.user_recv_cmd(c->index, code, data, length);
        return -1;
    }
    KO_LOGI(KO_P2P_MODULE, "vasq con cmd end %d\n", code);
    return 0;
}
