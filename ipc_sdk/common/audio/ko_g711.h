// G.711 (ITU-T) mu-law and A-law: the per-sample segment conversions of 16-bit linear PCM and the
// frame codec states behind the SDK's audio interface.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

unsigned char linear2ulaw(int16_t pcm);
int16_t ulaw2linear(unsigned char code);
unsigned char linear2alaw(int16_t pcm);
int16_t alaw2linear(unsigned char code);

typedef struct ko_g711_state ko_g711_state;

// A state for codec id 1026 (mu-law) or 1027 (A-law); NULL when it cannot be allocated.
ko_g711_state *g711_encoder_init(uint32_t codec);
ko_g711_state *g711_decoder_init(uint32_t codec);
// in_len / 2 little-endian samples to one byte each: the byte count; -5 bad arguments, -1 not
// initialised or out_len below in_len / 2.
int g711_encode(void *state, const void *in, int in_len, void *out, int out_len);
// Each byte to one little-endian sample: 2 * in_len; -5, or -1 when out_len is below 2 * in_len.
int g711_decode(void *state, const void *in, int in_len, void *out, int out_len);
// 0, or -5 for no state.
int g711_encoder_deinit(ko_g711_state *state);
int g711_decoder_deinit(ko_g711_state *state);

#ifdef __cplusplus
}
#endif
