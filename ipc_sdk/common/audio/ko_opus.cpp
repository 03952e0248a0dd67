// Opus frame encoding and decoding over libopus: the VoIP encoder set-up, one packet per call, and
// the little-endian PCM on both sides; each state is used under its own mutex.
#include "common/audio/ko_opus.h"

#include <new>
#include <mutex>

#include <opus/opus.h>

#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

#define OPUS_MODULE "KO OPUS"

struct ko_opus_encoder {
    int16_t *buf;     // staging samples
    uint32_t buf_len; // staging size in bytes
    OpusEncoder *enc;
    uint8_t inited;
    std::mutex mutex;
};

struct ko_opus_decoder {
    OpusDecoder *dec;
    uint8_t inited;
    std::mutex mutex;
};

namespace {

template <class T> T *make_state()
{
    void *mem = _vexa_malloc(0, 0, sizeof(T));
    if (!mem) {
        KO_LOGE(OPUS_MODULE, "malloc failed!\n");
        return nullptr;
    }
    return new (mem) T;
}

template <class T> void free_state(T *s)
{
    s->~T();
    _vexa_free(0, 0, s);
}

int configure(OpusEncoder *enc)
{
    const struct {
        int rc;
        const char *what;
    } steps[] = {
        {opus_encoder_ctl(enc, OPUS_SET_BANDWIDTH(OPUS_AUTO)), "bandwidth"},
        {opus_encoder_ctl(enc, OPUS_SET_VBR(1)), "vbr"},
        {opus_encoder_ctl(enc, OPUS_SET_VBR_CONSTRAINT(0)), "vbr constraint"},
        {opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(0)), "complexity"},
        {opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(0)), "fec"},
        {opus_encoder_ctl(enc, OPUS_SET_FORCE_CHANNELS(OPUS_AUTO)), "channels"},
        {opus_encoder_ctl(enc, OPUS_SET_DTX(0)), "dtx"},
        {opus_encoder_ctl(enc, OPUS_SET_PACKET_LOSS_PERC(0)), "packet loss"},
        {opus_encoder_ctl(enc, OPUS_SET_LSB_DEPTH(16)), "lsb depth"},
        {opus_encoder_ctl(enc, OPUS_SET_EXPERT_FRAME_DURATION(OPUS_FRAMESIZE_ARG)), "frame duration"},
    };
    for (const auto &s : steps) {
        if (s.rc != OPUS_OK) {
            KO_LOGE(OPUS_MODULE, "encoder %s setting failed: %s\n", s.what, opus_strerror(s.rc));
            return -1;
        }
    }
    return 0;
}

} // namespace

extern "C" ko_opus_encoder *opus_encode_init(const ko_audio_param *p)
{
    if (!p || p->samplebit != 16) {
        KO_LOGE(OPUS_MODULE, "input param error!\n");
        return nullptr;
    }
    ko_opus_encoder *s = make_state<ko_opus_encoder>();
    if (!s)
        return nullptr;
    s->buf_len = p->samplebit * p->samplerate / 40;
    s->buf = static_cast<int16_t *>(_vexa_malloc(0, 0, s->buf_len));
    if (!s->buf) {
        KO_LOGE(OPUS_MODULE, "malloc failed!\n");
        free_state(s);
        return nullptr;
    }
    int err = OPUS_OK;
    s->enc = opus_encoder_create((opus_int32)p->samplerate, 1, OPUS_APPLICATION_VOIP, &err);
    if (!s->enc || err != OPUS_OK || configure(s->enc) != 0) {
        KO_LOGE(OPUS_MODULE, "creat encoder failed: %s\n", opus_strerror(err));
        if (s->enc)
            opus_encoder_destroy(s->enc);
        _vexa_free(0, 0, s->buf);
        free_state(s);
        return nullptr;
    }
    s->inited = 1;
    KO_LOGI(OPUS_MODULE, "opus encode ok!,buf_len=%u\n", s->buf_len);
    return s;
}

extern "C" int opus_encode_single_frame(void *state, const void *in, int in_len, void *out, int out_len)
{
    auto *s = static_cast<ko_opus_encoder *>(state);
    if (!s || !in || !out || in_len <= 0 || out_len <= 0) {
        KO_LOGE(OPUS_MODULE, "encode input parma err\n");
        return -1;
    }
    if (!s->inited) {
        KO_LOGE(OPUS_MODULE, "please first encode init\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    if ((uint32_t)in_len >= s->buf_len) {
        KO_LOGE(OPUS_MODULE, "err,buf_len=%u,data_len=%d!\n", s->buf_len, in_len);
        return -1;
    }
    const int samples = in_len / 2;
    const auto *pcm = static_cast<const uint8_t *>(in);
    for (int i = 0; i < samples; i++)
        s->buf[i] = (int16_t)(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    const opus_int32 n = opus_encode(s->enc, s->buf, samples, static_cast<unsigned char *>(out), out_len);
    if (n <= 0) {
        KO_LOGE(OPUS_MODULE, "encode failed!\n");
        return -1;
    }
    return n;
}

extern "C" int opus_encoder_exit(ko_opus_encoder *s)
{
    if (!s || !s->inited) {
        KO_LOGE(OPUS_MODULE, "please first encode init\n");
        return -1;
    }
    s->inited = 0;
    opus_encoder_destroy(s->enc);
    _vexa_free(0, 0, s->buf);
    free_state(s);
    return 0;
}

extern "C" ko_opus_decoder *opus_decode_init(const ko_audio_param *p)
{
    if (!p || p->samplebit != 16) {
        KO_LOGE(OPUS_MODULE, "input param err!\n");
        return nullptr;
    }
    ko_opus_decoder *s = make_state<ko_opus_decoder>();
    if (!s)
        return nullptr;
    int err = OPUS_OK;
    s->dec = opus_decoder_create((opus_int32)p->samplerate, 1, &err);
    if (!s->dec || err != OPUS_OK) {
        KO_LOGE(OPUS_MODULE, "creat decoder failed : %s\n", opus_strerror(err));
        if (s->dec)
            opus_decoder_destroy(s->dec);
        free_state(s);
        return nullptr;
    }
    s->inited = 1;
    KO_LOGI(OPUS_MODULE, "opus decode ok!\n");
    return s;
}

extern "C" int opus_decode_single_frame(void *state, const void *in, int in_len, void *out, int out_len)
{
    auto *s = static_cast<ko_opus_decoder *>(state);
    if (!s || !in || !out || in_len <= 0 || out_len <= 0) {
        KO_LOGE(OPUS_MODULE, "decode input parma err\n");
        return -1;
    }
    if (!s->inited) {
        KO_LOGE(OPUS_MODULE, "please first decode init\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    auto *scratch = static_cast<opus_int16 *>(_vexa_malloc(0, 0, 2 * (size_t)out_len));
    if (!scratch) {
        KO_LOGE(OPUS_MODULE, "malloc failed\n");
        return -1;
    }
    const int samples =
        opus_decode(s->dec, static_cast<const unsigned char *>(in), in_len, scratch, out_len, 0);
    int rc = -1;
    if (samples < 0) {
        KO_LOGE(OPUS_MODULE, "error decoding frame: %s\n", opus_strerror(samples));
    } else if (samples * 2 >= out_len) {
        KO_LOGE(OPUS_MODULE, "in_len=%d,decode_frame_size=%d,out_data_len=%d\n", in_len, samples * 2, out_len);
    } else {
        auto *dst = static_cast<uint8_t *>(out);
        for (int i = 0; i < samples; i++) {
            const uint16_t v = (uint16_t)scratch[i];
            dst[2 * i] = (uint8_t)(v & 0xFF);
            dst[2 * i + 1] = (uint8_t)(v >> 8);
        }
        rc = samples * 2;
    }
    _vexa_free(0, 0, scratch);
    return rc;
}

extern "C" int opus_decoder_exit(ko_opus_decoder *s)
{
    if (!s || !s->inited) {
        KO_LOGE(OPUS_MODULE, "please first decode init\n");
        return -1;
    }
    s->inited = 0;
    opus_decoder_destroy(s->dec);
    free_state(s);
    return 0;
}
