// The SDK's audio codec handles: codec choice by id, the frame calls, and the release of each
// codec's state.
#include "common/audio/ko_audio.h"

#include "common/audio/ko_g711.h"
#include "common/audio/ko_opus.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

#define AUDIO_MODULE "KO AUDIO"

namespace {

bool is_g711(uint32_t codec) { return codec == KO_AUDIO_CODEC_G711U || codec == KO_AUDIO_CODEC_G711A; }

ko_audio_codec *codec_init(const ko_audio_param *p, bool encoder)
{
    if (!p) {
        KO_LOGE(AUDIO_MODULE, "input param error!\n");
        return nullptr;
    }
    auto *h = static_cast<ko_audio_codec *>(_vexa_malloc(0, 0, sizeof(ko_audio_codec)));
    if (!h) {
        KO_LOGE(AUDIO_MODULE, "malloc failed!\n");
        return nullptr;
    }
    if (is_g711(p->codec)) {
        h->state = encoder ? g711_encoder_init(p->codec) : g711_decoder_init(p->codec);
        h->frame = encoder ? g711_encode : g711_decode;
        if (!h->state)
            KO_LOGE(AUDIO_MODULE, encoder ? "g711 encoder init failed!\n" : "g711 decoder init failed!\n");
    } else if (p->codec == KO_AUDIO_CODEC_OPUS) {
        h->state = encoder ? static_cast<void *>(opus_encode_init(p)) : static_cast<void *>(opus_decode_init(p));
        h->frame = encoder ? opus_encode_single_frame : opus_decode_single_frame;
        if (!h->state)
            KO_LOGE(AUDIO_MODULE, encoder ? "opus encoder init failed!\n" : "opus decoder init failed!\n");
    } else {
        KO_LOGE(AUDIO_MODULE, "no support codec type: %d !\n", (int)p->codec);
    }
    if (!h->state) {
        _vexa_free(0, 0, h);
        return nullptr;
    }
    h->codec = p->codec;
    h->inited = 1;
    KO_LOGI(AUDIO_MODULE, encoder ? "ko audio encode init ok...\n" : "ko audio decode init ok...\n");
    return h;
}

int codec_frame(ko_audio_codec **h, const void *in, int in_len, void *out, int out_len, bool encoder)
{
    if (!h || !in || !out || in_len <= 0 || out_len <= 0) {
        KO_LOGE(AUDIO_MODULE, "input param error!\n");
        return -5;
    }
    ko_audio_codec *c = *h;
    if (!c || !c->inited || !c->frame) {
        KO_LOGE(AUDIO_MODULE, encoder ? "please first encode init!\n" : "please first decode init!\n");
        return -1;
    }
    const int n = c->frame(c->state, in, in_len, out, out_len);
    if (n <= 0) {
        KO_LOGE(AUDIO_MODULE, encoder ? "encode failed!\n" : "decode failed!\n");
        return -8;
    }
    return n;
}

int codec_deinit(ko_audio_codec **h, bool encoder)
{
    if (!h || !*h) {
        KO_LOGE(AUDIO_MODULE, encoder ? "input param error,plaese first encode init!\n" : "input param error!\n");
        return -1;
    }
    ko_audio_codec *c = *h;
    *h = nullptr;
    c->inited = 0;
    int rc;
    if (is_g711(c->codec)) {
        auto *s = static_cast<ko_g711_state *>(c->state);
        rc = encoder ? g711_encoder_deinit(s) : g711_decoder_deinit(s);
    } else if (c->codec == KO_AUDIO_CODEC_OPUS) {
        rc = encoder ? opus_encoder_exit(static_cast<ko_opus_encoder *>(c->state))
                     : opus_decoder_exit(static_cast<ko_opus_decoder *>(c->state));
    } else {
        KO_LOGE(AUDIO_MODULE, encoder ? "no support enc codec type(%d)!\n" : "no support dec codec type(%d)!\n",
                (int)c->codec);
        _vexa_free(0, 0, c);
        return -1;
    }
    const uint32_t codec = c->codec;
    _vexa_free(0, 0, c);
    if (rc != 0) {
        KO_LOGE(AUDIO_MODULE,
                encoder ? "audio enc deinit fail,  codec type(%d), ret %d!\n"
                        : "audio dec deinit fail,  codec type(%d), ret %d!\n",
                (int)codec, rc);
        return -1;
    }
    KO_LOGI(AUDIO_MODULE, encoder ? " audio encodec deinit ok!\n" : " audio decode deinit ok!\n");
    return 0;
}

} // namespace

extern "C" ko_audio_codec *ko_audio_encode_init(const ko_audio_param *p) { return codec_init(p, true); }
extern "C" ko_audio_codec *ko_audio_decode_init(const ko_audio_param *p) { return codec_init(p, false); }

extern "C" int ko_audio_encode_frame(ko_audio_codec **h, const void *in, int in_len, void *out, int out_len)
{
    return codec_frame(h, in, in_len, out, out_len, true);
}

extern "C" int ko_audio_decode_frame(ko_audio_codec **h, const void *in, int in_len, void *out, int out_len)
{
    return codec_frame(h, in, in_len, out, out_len, false);
}

extern "C" int ko_audio_encode_deinit(ko_audio_codec **h) { return codec_deinit(h, true); }
extern "C" int ko_audio_decode_deinit(ko_audio_codec **h) { return codec_deinit(h, false); }
