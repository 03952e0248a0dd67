// What the P2P service sends to a phone, encrypted with the session's key, and its queries.
#include <arpa/inet.h>
#include <string.h>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_crypto.h"
#include "vasq_errors.h"
#include "vasq_internal.h"
#include "zt_adapter.h"

namespace {

constexpr const char *kModule = "VASQ";

int encrypt(vasq_session *s, const void *data, int length, uint8_t *out, int cap, int *out_len)
{
    vasq_crypt_req req{};
    req.in = static_cast<const uint8_t *>(data);
    req.in_len = length;
    req.out = out;
    req.out_cap = cap;
    req.encrypt_type = s->encrypt_type;
    const int r = vasq_frame_encrypt(s->shared_key, s->aes_key, &req);
    if (r != 0)
        return VASQ_ERR_FRAME_ENCTYPTO;
    *out_len = req.out_len;
    return 0;
}

int media_send(vasq_session *s, const vasq_frame_info *header, const void *data, bool video)
{
    const int size = video ? s->send_video_size : s->send_audio_size;
    if (!s || !header || !data || static_cast<int64_t>(header->length) > static_cast<int64_t>(size) - 64)
        return VASQ_ERR_INVALID_ARG;
    if (vasq_state(s) != VASQ_STATE_NORMAL)
        return VASQ_ERR_AUTHORIZED;
    if (video)
        vasq_first_frame(s, header->flags);
    if (size < 1)
        return VASQ_ERR_FUNCTION_DISABLE;
    const int n = static_cast<int>(header->length);
    const int cap = vasq_crypt_size(s->encrypt_type, n);
    uint8_t *out = vasq_crypt_buffer(static_cast<size_t>(cap));
    if (!out)
        return VASQ_ERR_NOT_ENOUGH_MEMORY;
    int out_len = 0;
    const int r = encrypt(s, data, n, out, cap, &out_len);
    if (r != 0)
        return r;
    vasq_frame_info sent = *header;
    sent.length = static_cast<uint32_t>(out_len);
    if (sent.seq % 100 == 0)
        KO_LOGD(kModule, "send %s seq:%u, len:%d\n", video ? "video" : "audio", sent.seq, out_len);
    return zt_av_send(s, &sent, out, video ? 1 : 0);
}

} // namespace

int vasq_video_send(vasq_session *s, const vasq_frame_info *header, const void *data)
{
    return s ? media_send(s, header, data, true) : VASQ_ERR_INVALID_ARG;
}

int vasq_audio_send(vasq_session *s, const vasq_frame_info *header, const void *data)
{
    return s ? media_send(s, header, data, false) : VASQ_ERR_INVALID_ARG;
}

int vasq_cmd_send(vasq_session *s, int code, const void *data, int length)
{
    KO_LOGI(kModule, "%s, cmd(0x%x):%s\n", __func__, code, vasq_get_cmd_info(code));
    if (!s || length < 0 || length > VASQ_CMD_PARAM_MAX || (length > 0 && !data))
        return VASQ_ERR_INVALID_ARG;
    const bool plain = code == 256 || code == 257;
    if (!plain && vasq_state(s) != VASQ_STATE_NORMAL) {
        KO_LOGW(kModule, "sesion is not on connect\n");
        return VASQ_ERR_SESSION_HANDLE;
    }
    int r;
    pthread_mutex_lock(&s->send_lock);
    if (plain) {
        r = zt_cmd_send(s, code, data, length);
    } else {
        uint8_t inner[4 + VASQ_CMD_PARAM_MAX];
        const uint32_t be = htonl(static_cast<uint32_t>(code));
        memcpy(inner, &be, 4);
        if (length > 0)
            memcpy(inner + 4, data, static_cast<size_t>(length));
        uint8_t out[4 + VASQ_CMD_PARAM_MAX + 40];
        int out_len = 0;
        r = encrypt(s, inner, length + 4, out, sizeof out, &out_len);
        if (r == 0)
            r = zt_cmd_send(s, 4097, out, out_len);
    }
    pthread_mutex_unlock(&s->send_lock);
    if (r == 0 && code == 258)
        __atomic_store_n(&s->video_start_ms, vexa_time_tick_ms(), __ATOMIC_RELEASE);
    return r;
}

int vasq_rdt_send(vasq_session *s, const void *data, int length)
{
    if (!s || !data || length <= 0 || length > VASQ_RDT_MAX)
        return VASQ_ERR_INVALID_ARG;
    if (vasq_state(s) != VASQ_STATE_NORMAL)
        return VASQ_ERR_AUTHORIZED;
    uint8_t out[VASQ_RDT_MAX + 40];
    int out_len = 0;
    const int r = encrypt(s, data, length, out, sizeof out, &out_len);
    return r != 0 ? r : zt_rdt_send(s, out, out_len);
}

int vasq_session_query(vasq_session *s, int code, void *out)
{
    int value;
    switch (code) {
    case 0: value = 0x030207; break;
    case 1: value = 3; break;
    case 2: value = 2; break;
    case 3: value = 7; break;
    case 19:
        if (!s || !out)
            return VASQ_ERR_INVALID_ARG;
        memcpy(out, s->did, strlen(s->did) + 1);
        return 0;
    default:
        if (!s)
            return VASQ_ERR_INVALID_ARG;
        value = zt_local_status(s, code);
        break;
    }
    if (!out)
        return value;
    memcpy(out, &value, sizeof value);
    return 0;
}

int vasq_statistics_set(vasq_session *s, int type, const void *data, int length)
{
    switch (type) {
    case 1:
        if (!s || !data || length < static_cast<int>(sizeof(vasq_frame_stats)))
            return -1;
        return vasq_report_frames(s, static_cast<const vasq_frame_stats *>(data));
    case 2:
        if (!data || length < 0)
            return -1;
        vasq_report_set_net_type(static_cast<const char *>(data), length);
        return 0;
    case 3:
        if (!data || length < 0)
            return -1;
        vasq_report_set_uuid(static_cast<const char *>(data), length);
        return 0;
    default:
        KO_LOGW(kModule, "%s unknown type: %d\n", __func__, type);
        return -1;
    }
}
