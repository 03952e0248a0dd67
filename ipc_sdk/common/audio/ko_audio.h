// The SDK's audio codec interface: one encoder and one decoder handle type over G.711 mu-law,
// G.711 A-law and Opus. Samples are 16-bit signed little-endian mono PCM throughout.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Codec ids; the same numbers serve as the stream channels' encode ids.
enum {
    KO_AUDIO_CODEC_G711U = 1026,
    KO_AUDIO_CODEC_G711A = 1027,
    KO_AUDIO_CODEC_OPUS = 1032,
};

typedef struct ko_audio_param {
    uint32_t samplerate; // Hz
    uint32_t samplebit;  // bits per sample
    uint32_t codec;      // KO_AUDIO_CODEC_*
} ko_audio_param;

// Encodes or decodes one frame: output bytes (> 0), or a negative code.
typedef int (*ko_audio_frame_fn)(void *state, const void *in, int in_len, void *out, int out_len);

// One encoder or decoder, owned by the caller through the init and deinit calls.
typedef struct ko_audio_codec {
    uint32_t codec;
    uint8_t inited;
    void *state;
    ko_audio_frame_fn frame;
} ko_audio_codec;

// A handle, or NULL for a null record, an unknown codec id or a codec that cannot start.
ko_audio_codec *ko_audio_encode_init(const ko_audio_param *p);
ko_audio_codec *ko_audio_decode_init(const ko_audio_param *p);
// Output bytes (> 0); -5 bad arguments, -1 handle not initialised, -8 the codec failed.
int ko_audio_encode_frame(ko_audio_codec **h, const void *in, int in_len, void *out, int out_len);
int ko_audio_decode_frame(ko_audio_codec **h, const void *in, int in_len, void *out, int out_len);
// Releases the handle and clears the caller's variable: 0, or -1.
int ko_audio_encode_deinit(ko_audio_codec **h);
int ko_audio_decode_deinit(ko_audio_codec **h);

#ifdef __cplusplus
}
#endif
