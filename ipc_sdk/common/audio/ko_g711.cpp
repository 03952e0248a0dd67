// G.711 segment encoding of 16-bit linear PCM (A-law on the 13-bit magnitude with even-bit
// inversion, mu-law on the 14-bit magnitude biased by 33 and clipped at 8159), its expansions, and
// the frame codec states, each used under its own mutex.
#include "common/audio/ko_g711.h"

#include <new>
#include <mutex>

#include "common/audio/ko_audio.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

#define G711_MODULE "KO G711"

struct ko_g711_state {
    uint8_t inited;
    uint32_t codec;
    std::mutex mutex;
};

namespace {

constexpr int kSignBit = 0x80;
constexpr int kQuantMask = 0x0F;
constexpr int kSegShift = 4;
constexpr int kSegMask = 0x70;
constexpr int kUlawBias = 0x84;
constexpr int kUlawClip = 8159;

constexpr int16_t kAlawSegEnd[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
constexpr int16_t kUlawSegEnd[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};

int segment(int value, const int16_t *ends)
{
    int seg = 0;
    while (seg < 8 && value > ends[seg])
        seg++;
    return seg;
}

ko_g711_state *make_state(uint32_t codec)
{
    void *mem = _vexa_malloc(0, 0, sizeof(ko_g711_state));
    if (!mem) {
        KO_LOGE(G711_MODULE, "malloc failed!\n");
        return nullptr;
    }
    auto *s = new (mem) ko_g711_state;
    s->codec = codec;
    s->inited = 1;
    return s;
}

int free_state(ko_g711_state *s)
{
    if (!s)
        return -5;
    s->~ko_g711_state();
    _vexa_free(0, 0, s);
    return 0;
}

} // namespace

extern "C" unsigned char linear2alaw(int16_t pcm)
{
    int value = pcm >> 3;
    int mask;
    if (value >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        value = -value - 1;
    }
    const int seg = segment(value, kAlawSegEnd);
    if (seg >= 8)
        return (unsigned char)(0x7F ^ mask);
    int code = seg << kSegShift;
    code |= seg < 2 ? (value >> 1) & kQuantMask : (value >> seg) & kQuantMask;
    return (unsigned char)(code ^ mask);
}

extern "C" int16_t alaw2linear(unsigned char code)
{
    const int a = code ^ 0x55;
    int t = (a & kQuantMask) << 4;
    const int seg = (a & kSegMask) >> kSegShift;
    if (seg == 0)
        t += 8;
    else if (seg == 1)
        t += 0x108;
    else
        t = (t + 0x108) << (seg - 1);
    return (int16_t)((a & kSignBit) ? t : -t);
}

extern "C" unsigned char linear2ulaw(int16_t pcm)
{
    int value = pcm >> 2;
    int mask;
    if (value < 0) {
        value = -value;
        mask = 0x7F;
    } else {
        mask = 0xFF;
    }
    if (value > kUlawClip)
        value = kUlawClip;
    value += kUlawBias >> 2;
    const int seg = segment(value, kUlawSegEnd);
    if (seg >= 8)
        return (unsigned char)(0x7F ^ mask);
    const int code = (seg << kSegShift) | ((value >> (seg + 1)) & kQuantMask);
    return (unsigned char)(code ^ mask);
}

extern "C" int16_t ulaw2linear(unsigned char code)
{
    const int u = ~code & 0xFF;
    int t = ((u & kQuantMask) << 3) + kUlawBias;
    t <<= (u & kSegMask) >> kSegShift;
    return (int16_t)((u & kSignBit) ? kUlawBias - t : t - kUlawBias);
}

extern "C" ko_g711_state *g711_encoder_init(uint32_t codec) { return make_state(codec); }
extern "C" ko_g711_state *g711_decoder_init(uint32_t codec) { return make_state(codec); }
extern "C" int g711_encoder_deinit(ko_g711_state *state) { return free_state(state); }
extern "C" int g711_decoder_deinit(ko_g711_state *state) { return free_state(state); }

extern "C" int g711_encode(void *state, const void *in, int in_len, void *out, int out_len)
{
    auto *s = static_cast<ko_g711_state *>(state);
    if (!s || !in || !out || in_len <= 0 || out_len <= 0)
        return -5;
    if (!s->inited) {
        KO_LOGE(G711_MODULE, "first init encode!\n");
        return -1;
    }
    const int samples = in_len / 2;
    if (out_len < samples) {
        KO_LOGE(G711_MODULE, "input out_data size is small!\n");
        return -1;
    }
    const auto *pcm = static_cast<const uint8_t *>(in);
    auto *dst = static_cast<uint8_t *>(out);
    std::lock_guard<std::mutex> lock(s->mutex);
    const bool alaw = s->codec == KO_AUDIO_CODEC_G711A;
    for (int i = 0; i < samples; i++) {
        const int16_t v = (int16_t)(pcm[2 * i] | (pcm[2 * i + 1] << 8));
        dst[i] = alaw ? linear2alaw(v) : linear2ulaw(v);
    }
    return samples;
}

extern "C" int g711_decode(void *state, const void *in, int in_len, void *out, int out_len)
{
    auto *s = static_cast<ko_g711_state *>(state);
    if (!s || !in || !out || in_len <= 0 || out_len <= 0)
        return -5;
    if (!s->inited) {
        KO_LOGE(G711_MODULE, "first init g711 decode!\n");
        return -1;
    }
    if (out_len / 2 < in_len) {
        KO_LOGE(G711_MODULE, "input out_data size is small!\n");
        return -1;
    }
    const auto *src = static_cast<const uint8_t *>(in);
    auto *pcm = static_cast<uint8_t *>(out);
    std::lock_guard<std::mutex> lock(s->mutex);
    const bool alaw = s->codec == KO_AUDIO_CODEC_G711A;
    for (int i = 0; i < in_len; i++) {
        const uint16_t v = (uint16_t)(alaw ? alaw2linear(src[i]) : ulaw2linear(src[i]));
        pcm[2 * i] = (uint8_t)(v & 0xFF);
        pcm[2 * i + 1] = (uint8_t)(v >> 8);
    }
    return 2 * in_len;
}
