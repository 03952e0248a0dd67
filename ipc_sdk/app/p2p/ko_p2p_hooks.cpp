// What the streaming server calls in the P2P service: a phone's session taken into a slot and given
// back, server errors, talk-back audio, and the AES of sessions that use it.
#include <string.h>

#include "app/p2p/ko_p2p_internal.h"
#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_crypto.h"

namespace ko_p2p {

void notice_app(int type, int value, int id, const char *failure)
{
    ko_p2p_msg_notice n{};
    n.type = type;
    n.quality = static_cast<uint16_t>(value);
    n.answer = static_cast<uint16_t>(id);
    if (ko_p2p_message_notice(&n) < 0)
        KO_LOGW(KO_P2P_MODULE, "%s", failure);
}

namespace {

// The first free slot taken for the session under the claim mutex, or null when all are online.
p2p_client *claim(vasq_session *s)
{
    vasq_ctrl &v = g_vasq_ctrl;
    std::lock_guard<std::mutex> g(v.claim_mutex);
    for (int i = 0; i < v.max_sessions; i++) {
        p2p_client &c = v.slots[i];
        if (c.in_use.load())
            continue;
        std::unique_lock<std::shared_mutex> w(c.lock);
        c.transfer = kTransferIdle;
        c.session = s;
        c.reader = i + 2;
        c.in_use = true;
        c.online = true;
        KO_LOGI(KO_P2P_MODULE, "client find free user index %d\n", i);
        return &c;
    }
    return nullptr;
}

void hand_statistics(p2p_client &c)
{
    if (c.video_frames == 0 && c.drop.dropped == 0 && c.video_bytes == 0)
        return;
    vasq_frame_stats st{};
    st.video_frames = static_cast<int>(c.video_frames);
    st.video_dropped = static_cast<int>(c.drop.dropped);
    st.video_bytes = c.video_bytes;
    st.duration_ms = vexa_time_get_ms() - c.live_start_ms;
    st.audio_frames = static_cast<int>(c.audio_frames);
    st.audio_errors = static_cast<int>(c.audio_errors);
    st.audio_bytes = c.audio_bytes;
    st.auto_switches = static_cast<int>(c.drop.auto_switches);
    ops().statistics_set(c.session, 1, &st, sizeof st);
}

} // namespace
} // namespace ko_p2p

using namespace ko_p2p;

extern "C" int vasq_on_connect(vasq_session *s, void **)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (!v.inited.load() || !v.slots)
        return 8;
    p2p_client *c = claim(s);
    if (!c) {
        KO_LOGE(KO_P2P_MODULE, "more than %d client, close this client!\n", v.max_sessions);
        return 8;
    }
    notice_app(kNoticeClient, 0, c->index, "notice client id failed\n");
    return 0;
}

extern "C" void vasq_on_disconnect(vasq_session *s, int code, void *)
{
    vasq_ctrl &v = g_vasq_ctrl;
    v.disconnect_step = 1;
    p2p_client *c = v.slots ? slot_of(s) : nullptr;
    if (!c) {
        KO_LOGE(KO_P2P_MODULE, "Not match session %p\n", static_cast<void *>(s));
        ops().close(s);
        return;
    }
    {
        std::unique_lock<std::shared_mutex> w(c->lock);
        for (std::atomic<bool> *flag : {&c->online, &c->audio_on, &c->video_on, &c->live_started, &c->speaker_on})
            flag->store(false);
        stop_playback(*c);
        c->mode = kModeLive;
        v.disconnect_step = 2;
        hand_statistics(*c);
        c->session = nullptr;
        c->video_frames = c->audio_frames = c->audio_errors = 0;
        c->video_bytes = c->audio_bytes = 0;
        c->drop = drop_state{};
    }
    // Outside the slot's lock: the close may wait for the session's threads, one of which may be
    // waiting for that lock with a command.
    ops().close(s);
    {
        std::lock_guard<std::mutex> g(v.claim_mutex);
        c->in_use = false;
    }
    {
        std::lock_guard<std::mutex> g(v.alive_mutex);
        v.last_disconnect_s = static_cast<uint32_t>(vexa_time_get_ms() / 1000);
    }
    KO_LOGI(KO_P2P_MODULE, "client %d left, code %d\n", c->index, code);
    notice_app(kNoticeClient, 1, c->index, "notice client id failed\n");
    v.disconnect_step = 3;
}

// Errors 8 and 17 restart the server, which closes every session. One session's failure while
// phones are online is left to that session; a server-wide one (no session) restarts the server
// within the retry period whoever watches: the listen has ended and takes no phone any more.
extern "C" void vasq_on_error(vasq_session *s, int code, void *)
{
    vasq_ctrl &v = g_vasq_ctrl;
    KO_LOGE(KO_P2P_MODULE, "vasq_on_error: %d\n", code);
    if (code != 8 && code != 17)
        return;
    if (s && v.slots && online_count() > 0) {
        KO_LOGW(KO_P2P_MODULE, "vasq error %d with %d sessions online, server kept\n", code, online_count());
        return;
    }
    KO_LOGE(KO_P2P_MODULE, "vasq_server_finish() by errorcode:%d\n", code);
    v.restart = true;
}

extern "C" int vasq_on_audio_data(vasq_session *, const vasq_frame_info *header, const char *data, int length, void *)
{
    ko_p2p_audio_fn fn = g_vasq_ctrl.param.recv_audio;
    if (!fn || !header)
        return 0;
    ko_p2p_audio_frame frame{header->seq, header->time_ms, KO_P2P_MEDIA_AUDIO, data, length, header->codec_id};
    fn(&frame, frame.seq, KO_P2P_MEDIA_AUDIO);
    return 0;
}

extern "C" int vasq_on_video_data(vasq_session *, const vasq_frame_info *, const char *, int, void *)
{
    return 0;
}

extern "C" int vasq_on_server_ready(void)
{
    KO_LOGI(KO_P2P_MODULE, "vasq server ready\n");
    return 0;
}

// The session's AES key is the streaming server's: the padded payload is ciphered here in place.
extern "C" int vasq_encrypt_data(vasq_crypt_req *req, const uint8_t key[16], const uint8_t iv[16])
{
    uint8_t *body = req->out + 20;
    return zel_crypto_aes128_cbc_encrypt(key, iv, body, body, static_cast<size_t>(req->in_len + req->pad_len));
}

extern "C" int vasq_decrypt_data(vasq_crypt_req *req, const uint8_t key[16], const uint8_t iv[16])
{
    uint8_t *body = req->out + 20;
    return zel_crypto_aes128_cbc_decrypt(key, iv, body, body, static_cast<size_t>(req->in_len + req->pad_len));
}
