// What a session receives: commands (256 in the clear, the rest encrypted inside 4097), media frames
// and RDT blocks, decrypted and handed to the P2P service.
#include <string.h>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_crypto.h"
#include "vasq_errors.h"
#include "vasq_internal.h"

namespace {

constexpr const char *kModule = "VASQ";

uint32_t get_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

int decrypt(vasq_session *s, char *data, int length, char **plain, int *n)
{
    int offset = 0;
    const int r = vasq_frame_decrypt(s->encrypt_type, s->shared_key, s->aes_key, reinterpret_cast<uint8_t *>(data),
                                     length, &offset, n);
    if (r == 0)
        *plain = data + offset;
    return r;
}

bool reported_command(int code)
{
    return code >= 260 && code <= 264;
}

// A received frame: its header must tell the bytes that came; the payload is decrypted in place.
int frame(vasq_session *s, char *buffer, char *payload, int length, const char *who, vasq_frame_info *header,
          char **plain, int *n)
{
    memcpy(header, buffer, sizeof *header);
    int r;
    if (length < 0 || header->length != static_cast<uint32_t>(length)) {
        KO_LOGW(kModule, "%s frame header says %u bytes, %d came\n", who, header->length, length);
        r = VASQ_ERR_FRAME_DECRYPTO;
    } else {
        r = decrypt(s, payload, length, plain, n);
        if (r != 0)
            KO_LOGW(kModule, "%s decrypto error.\n", who);
    }
    if (r != 0) {
        vasq_on_error(s, VASQ_ERR_FRAME_DECRYPTO, s->user_data);
        vasq_report_error(s->server, s, VASQ_ERR_FRAME_DECRYPTO);
        return VASQ_ERR_FRAME_DECRYPTO;
    }
    header->length = static_cast<uint32_t>(*n);
    return 0;
}

} // namespace

int vasq_cmd_process(vasq_session *s, int code, char *data, int length)
{
    if (code == 256)
        return vasq_auth_process(s, data, length);
    int state = vasq_state(s);
    const bool proving = state == VASQ_STATE_AUTHENTICATING && s->proving;
    if (state != VASQ_STATE_NORMAL && !proving) {
        KO_LOGW(kModule, "session is not on connect: %s\n", vasq_get_session_stat_info(state));
        return 0;
    }
    char *plain;
    int n;
    if (decrypt(s, data, length, &plain, &n) != 0 || n < 4) {
        KO_LOGW(kModule, "session(%d) command of %d bytes does not decrypt\n", s->handle, length);
        return VASQ_ERR_FRAME_DECRYPTO;
    }
    const int inner = static_cast<int>(get_be32(reinterpret_cast<uint8_t *>(plain)));
    if (proving) {
        const int r = vasq_auth_proved(s, inner);
        if (r != 0)
            return r;
        state = vasq_state(s);
    }
    char *params = plain + 4;
    const int params_len = n - 4;
    params[params_len] = 0; // within the read buffer: the plaintext ends at or before the bytes read
    KO_LOGI(kModule, "%s: 0x%x(%s), status: %s\n", __func__, inner, vasq_get_cmd_info(inner),
            vasq_get_session_stat_info(state));
    if (inner == 258) {
        __atomic_store_n(&s->video_start_ms, vexa_time_tick_ms(), __ATOMIC_RELEASE);
        s->session_type = 0;
        KO_LOGI(kModule, "set session type: normal session\n");
    }
    if (reported_command(inner))
        vasq_report_command(s, inner, params, params_len);
    vasq_on_cmd(s, inner, params, params_len, s->user_data);
    return 0;
}

int vasq_video_process(vasq_session *s, char *buffer, char *payload, int length)
{
    vasq_frame_info header;
    char *plain;
    int n;
    const int r = frame(s, buffer, payload, length, "vasq_video_process", &header, &plain, &n);
    if (r != 0)
        return r;
    if (header.seq % 100 == 0)
        KO_LOGD(kModule, "seq:%d, len:%d\n", header.seq, n);
    vasq_first_frame(s, header.flags);
    vasq_on_video_data(s, &header, plain, n, s->user_data);
    return 0;
}

int vasq_audio_process(vasq_session *s, char *buffer, char *payload, int length)
{
    vasq_frame_info header;
    char *plain;
    int n;
    const int r = frame(s, buffer, payload, length, "vasq_audio_process", &header, &plain, &n);
    if (r != 0)
        return r;
    vasq_on_audio_data(s, &header, plain, n, s->user_data);
    return 0;
}

int vasq_rdt_process(vasq_session *s, char *, char *payload, int length)
{
    if (length <= 0)
        return VASQ_ERR_INVALID_ARG;
    char *plain;
    int n;
    if (decrypt(s, payload, length, &plain, &n) != 0) {
        KO_LOGW(kModule, "vasq_rdt_process decrypto error.\n");
        return VASQ_ERR_FRAME_DECRYPTO;
    }
    vasq_on_rdt_data(s, plain, n, s->user_data);
    return 0;
}

void vasq_first_frame(vasq_session *s, uint32_t flags)
{
    if ((flags & 3) != 1)
        return;
    int expected = -1;
    if (!__atomic_compare_exchange_n(&s->first_frame, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return;
    if (vasq_report_first_frame(s) == 0)
        vasq_report_full_time(s);
}
