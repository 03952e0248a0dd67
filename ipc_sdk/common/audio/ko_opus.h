// Opus encoding and decoding of 16-bit mono PCM frames through libopus, behind the SDK's audio
// interface.
#pragma once

#include "common/audio/ko_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ko_opus_encoder ko_opus_encoder;
typedef struct ko_opus_decoder ko_opus_decoder;

// A VoIP encoder (complexity 0, VBR, no FEC, no DTX) at the record's sample rate; NULL on failure.
ko_opus_encoder *opus_encode_init(const ko_audio_param *p);
// in_len bytes (shorter than bits x rate / 40) as in_len / 2 samples into one packet of at most
// out_len bytes: the packet length, or -1.
int opus_encode_single_frame(void *state, const void *in, int in_len, void *out, int out_len);
int opus_encoder_exit(ko_opus_encoder *state);

ko_opus_decoder *opus_decode_init(const ko_audio_param *p);
// One packet into at most out_len samples, written as little-endian bytes: the byte count, which
// must stay below out_len; -1 otherwise.
int opus_decode_single_frame(void *state, const void *in, int in_len, void *out, int out_len);
int opus_decoder_exit(ko_opus_decoder *state);

#ifdef __cplusplus
}
#endif
