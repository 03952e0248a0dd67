// SD playback to a phone: the playback request and speed commands, the engine's frames queued on
// the session like live ones, and its status told to the phone.
#include <string.h>

#include <limits>
#include <string>

#include "app/p2p/ko_p2p_internal.h"
#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_p2p {
namespace {

enum { kReplyPlayback = 270 };
// "Until now" reaches this far ahead.
constexpr int64_t kOpenEnd = 311040000;

bool valid_speed(int64_t speed)
{
    return speed == 1 || speed == 4 || speed == 16;
}

void reply(p2p_client &c, const std::string &json)
{
    KO_LOGI(KO_P2P_MODULE, "playback resp: %s\n", json.c_str());
    const int rc = ops().cmd_send(c.session, kReplyPlayback, json.c_str(), static_cast<int>(json.size()) + 1);
    if (rc != 0)
        KO_LOGE(KO_P2P_MODULE, "vasq_cmd_send VASQ_CMD_PLAYBACK_RESP error, ret: %d", rc);
}

std::string status_text(const p2p_client &c, const char *status)
{
    return R"({"id":)" + std::to_string(c.pb_request_id) + R"(, "status":")" + status + "\"";
}

void found(p2p_client &c, int64_t start, uint32_t duration)
{
    reply(c, status_text(c, "filefound") + R"(, "starttime":)" + std::to_string(start) + R"(, "duration":)" +
                 std::to_string(duration) + "}");
}

// The slot a frame is for, when it still plays back to an online phone.
p2p_client *receiver(void *user)
{
    auto *c = static_cast<p2p_client *>(user);
    if (!c || !g_vasq_ctrl.alive.load() || !c->online.load() || !c->session || c->mode.load() != kModePlayback)
        return nullptr;
    return c;
}

vasq_frame_info header_of(const fmp4_frame_t *frame, const ko_playback_meta_t *meta, int codec)
{
    vasq_frame_info h{};
    h.length = frame->size;
    h.codec_id = static_cast<uint32_t>(codec);
    h.seq = frame->sample;
    h.time_ms = frame->timestamp_ms;
    h.time_s = static_cast<uint32_t>(meta->start_time + frame->timestamp_ms / 1000);
    return h;
}

int on_video(const fmp4_frame_t *frame, const ko_playback_meta_t *meta, void *user)
{
    p2p_client *c = receiver(user);
    if (!c || !frame || !meta)
        return -1;
    vasq_frame_info h = header_of(frame, meta, meta->video_codec);
    const int code = resolution_code(meta->width, meta->height);
    h.flags = (frame->kind == FMP4_FRAME_KEY ? 1u : 0u) | 0x800u | 0x8000u | static_cast<uint32_t>(code) << 17;
    const int rc = ops().video_send(c->session, &h, frame->data);
    if (rc != 0)
        KO_LOGE(KO_P2P_MODULE, "send video error,ret %d \n", rc);
    else
        g_vasq_ctrl.v_pb_send++;
    return rc;
}

int on_audio(const fmp4_frame_t *frame, const ko_playback_meta_t *meta, void *user, int)
{
    p2p_client *c = receiver(user);
    if (!c || !frame || !meta)
        return -1;
    vasq_frame_info h = header_of(frame, meta, meta->audio_codec);
    h.flags = 0x8800u | (meta->sample_rate == 16000 ? 0x18u : 0u) | (meta->sample_bits != 8 ? 0x80u : 0u);
    const int rc = ops().video_send(c->session, &h, frame->data);
    if (rc != 0)
        KO_LOGE(KO_P2P_MODULE, "send audio error,ret %d \n", rc);
    else
        g_vasq_ctrl.a_pb_send++;
    return rc;
}

void on_status(int status, const ko_playback_meta_t *meta, void *user)
{
    KO_LOGI(KO_P2P_MODULE, "#### playback status is %d\n", status);
    auto *c = static_cast<p2p_client *>(user);
    if (!c || !c->session) {
        KO_LOGE(KO_P2P_MODULE, "playback status invalid ptr \n");
        return;
    }
    const uint32_t duration = meta ? meta->duration_s : 0;
    switch (status) {
    case KO_PLAYBACK_NOT_STARTED:
        reply(*c, status_text(*c, "readerror") + R"(, "starttime":)" + std::to_string(c->pb_start_time) + "}");
        break;
    case KO_PLAYBACK_FAILED: reply(*c, status_text(*c, "filenotfound") + "}"); break;
    case KO_PLAYBACK_STARTED:
        found(*c, c->pb_start_time, duration);
        notice_app(kNoticePlayback, 0, c->pb_request_id, "notice failed \n");
        break;
    case KO_PLAYBACK_NEXT_FILE:
        reply(*c, status_text(*c, "endoffile") + "}");
        found(*c, meta ? meta->start_time : 0, duration);
        break;
    case KO_PLAYBACK_END:
        reply(*c, status_text(*c, "endoffile") + "}");
        notice_app(kNoticePlayback, 1, c->pb_request_id, "notice failed \n");
        break;
    default: KO_LOGW(KO_P2P_MODULE, "unkonw pb status %d\n", status); break;
    }
}

const ko_playback_callbacks_t kCallbacks = {on_video, on_audio, on_status};

} // namespace

void stop_playback(p2p_client &c)
{
    if (!c.playback)
        return;
    ko_playback_stop(c.playback);
    c.playback = nullptr;
}

void playback_request(p2p_client &c, const std::string &text)
{
    KO_LOGI(KO_P2P_MODULE, "PB Receive a msg: %s\n", text.c_str());
    static const struct {
        const char *key, *missing;
    } kRequired[] = {{"sessionid", "error param: id is needed\n"},
                     {"starttime", "error param: starttime is needed\n"},
                     {"endtime", "error param: endtime is needed\n"},
                     {"autoswitchtolive", "error param: switchtolive is needed\n"},
                     {"offset", "error param: offset is needed\n"}};
    int64_t v[5] = {0};
    for (size_t i = 0; i < 5; i++)
        if (!json_number(text, kRequired[i].key, &v[i])) {
            KO_LOGE(KO_P2P_MODULE, "%s", kRequired[i].missing);
            return;
        }
    const int64_t id = v[0], offset = v[4];
    int64_t start = v[1], end = v[2];
    int64_t speed = 1;
    if (json_number(text, "speed", &speed) && !valid_speed(speed)) {
        KO_LOGE(KO_P2P_MODULE, "speed can only be 1/4/16 for temparaily\n");
        return;
    }
    // Times are 64-bit here: "until now" runs past 32 bits from 2028 on; the engine gets at most its 32.
    if (end == 0)
        end = static_cast<int64_t>(vexa_time_get_ms() / 1000) + kOpenEnd;
    if (start >= end || start < 0 || offset < 0) {
        KO_LOGE(KO_P2P_MODULE, "a bad playback request, endtime:[%lld] is less than starttime:[%lld]\n",
                static_cast<long long>(end), static_cast<long long>(start));
        return;
    }
    constexpr int64_t kMax32 = std::numeric_limits<uint32_t>::max();
    std::unique_lock<std::shared_mutex> w(c.lock);
    stop_playback(c);
    if (start == 0) {
        KO_LOGI(KO_P2P_MODULE, "the timestamp is 0, just switch to live status\n");
        c.mode = kModeLive;
        return;
    }
    if (start > kMax32) {
        KO_LOGE(KO_P2P_MODULE, "a bad playback request, starttime:[%lld]\n", static_cast<long long>(start));
        return;
    }
    c.mode = kModePlayback;
    c.pb_start_time = start;
    c.pb_speed = static_cast<int>(speed);
    c.pb_request_id = static_cast<int>(id);
    ko_playback_request_t request{static_cast<uint32_t>(start), static_cast<uint32_t>(std::min(end, kMax32)),
                                  static_cast<uint32_t>(std::min(offset, kMax32))};
    // A failed start is told to the phone by the status callback ("filenotfound").
    c.playback = ko_playback_start(&request, &kCallbacks, nullptr, &c);
    if (c.playback)
        ko_playback_speed_ctrl(c.playback, c.pb_speed);
}

void playback_speed(p2p_client &c, const std::string &text)
{
    KO_LOGI(KO_P2P_MODULE, "Receive a msg: %s\n", text.c_str());
    int64_t id = 0, speed = 0;
    if (!json_number(text, "sessionid", &id)) {
        KO_LOGE(KO_P2P_MODULE, "error param: id is needed\n");
        return;
    }
    if (!json_number(text, "speed", &speed) || !valid_speed(speed)) {
        KO_LOGE(KO_P2P_MODULE, "error param: speed can just be 1/4/16\n");
        return;
    }
    std::unique_lock<std::shared_mutex> w(c.lock);
    if (c.mode.load() != kModePlayback)
        return;
    if (id != c.pb_request_id)
        KO_LOGW(KO_P2P_MODULE, "Error param id:%d, is not equail to playback id:%d\n", static_cast<int>(id),
                c.pb_request_id);
    KO_LOGI(KO_P2P_MODULE, "SID:%d, update playback speed[%d->%d]\n", c.index, c.pb_speed, static_cast<int>(speed));
    if (speed != c.pb_speed && c.playback) {
        c.pb_speed = static_cast<int>(speed);
        c.pb_speed_changed = true;
        ko_playback_speed_ctrl(c.playback, c.pb_speed);
    }
}

void free_all_play_back()
{
    vasq_ctrl &v = g_vasq_ctrl;
    for (int i = 0; i < v.max_sessions; i++) {
        p2p_client &c = v.slots[i];
        std::unique_lock<std::shared_mutex> w(c.lock);
        stop_playback(c);
    }
}

} // namespace ko_p2p
