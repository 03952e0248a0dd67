// The frame ring buffer: the last few seconds of encoded frames of every stream channel, read by up
// to eight readers per channel (0 SD recorder, 1 cloud recorder, 2 and up the P2P clients), each at
// its own pace through a cursor of its own.
//
// One writer thread per channel puts frames; no call takes a lock on the frame path. A read copies
// the frame's bytes into the reader's buffer and checks afterwards that the writer did not reach
// them meanwhile; a frame overrun during the copy is dropped, never delivered torn.
#pragma once

#include <stdint.h>

#include "common/ringbuffer/ko_av_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_RINGBUF_READERS = 8 };

// Results besides 0.
enum {
    KO_RINGBUF_NONE = -1,     // nothing to deliver (caught up, overrun, or no key frame in time)
    KO_RINGBUF_NOMEM = -3,
    KO_RINGBUF_INVALID = -5,  // bad argument, frame too large, or reader's buffer too small
    KO_RINGBUF_NOT_INIT = -8, // channel not set up (or, for a put, no room)
    KO_RINGBUF_EMPTY = -10,   // nothing put yet
};

// Sets up the ring of info->channel: 0, -5 bad or unworkable parameters, -8 already set up, -3 out
// of memory, -1 the statistics registration failed (the channel is usable all the same).
int ringbuffer_init(const ko_stream_chn_info *info);
// Frees the channel; waits until every reader and the writer have left the channel.
void ringbuffer_free(unsigned int channel);
// Copies the frame in (single writer per channel): 0, -5 bad argument or too large, -8 not set up.
int ringbuffer_put_frame(unsigned int channel, const ko_av_frame *frame);

// The next frame for reader `user`: 0 with `out` filled and out->data == buf, else a result above.
// `buf` must hold ringbuffer_get_max_frame_size() bytes. A lagging video reader moves to a key frame
// (asking the encoder for one and waiting a bounded time when none is near); an audio reader moves to
// the newest frame.
int ringbuffer_get_video_frame(unsigned int channel, unsigned int user, ko_av_frame *out, void *buf,
                               uint32_t buf_size);
// The same without waiting: a lagging reader with no key frame near asks the encoder for one and
// gets -1 (KO_RINGBUF_NONE); a later read delivers the key frame once it is there.
int ringbuffer_try_get_video_frame(unsigned int channel, unsigned int user, ko_av_frame *out, void *buf,
                                   uint32_t buf_size);
int ringbuffer_get_audio_frame(unsigned int channel, unsigned int user, ko_av_frame *out, void *buf,
                               uint32_t buf_size);

// Look-ups by position and time. They fill `out` with a node's record without its bytes
// (out->data is NULL); a reader marks its cursor on the node to read it. 0, or a result above.
// The node `frames_back` from the newest (1 = the newest); also its index through `node_index`.
int ringbuffer_get_pre_frame(unsigned int channel, uint32_t frames_back, uint32_t *node_index,
                             ko_av_frame *out);
// The oldest key frame at most `seconds` old: the start point of a pre-record.
int ringbuffer_get_video_lastest_Iframe(unsigned int channel, uint32_t seconds, ko_av_frame *out);
// The first audio frame at or after the video time stamp among the last `seconds` of audio.
int ringbuffer_get_audio_related_with_video(unsigned int channel, uint32_t seconds, uint64_t video_ts_us,
                                            ko_av_frame *out);

// The reader gets the node with that index next.
void ringbuffer_mark_user_to_node(unsigned int channel, unsigned int user, const ko_av_frame *node);
// Clears the cursor so the next read resynchronises: 0, else the readiness code (or -5 bad reader).
int ringbuffer_reset_user_state(unsigned int channel, unsigned int user);
// 0 when the reader is at most 3 frames behind the newest, else -1.
int ringbuffer_no_cache_data(unsigned int channel, unsigned int user);

int ringbuffer_get_channel_is_init(unsigned int channel);
uint32_t ringbuffer_get_bitrate_avg(unsigned int channel); // bytes per second
uint32_t ringbuffer_get_max_frame_size(unsigned int channel);
// 0 ready; -8 channel number above 8; -1 not set up; -10 nothing put yet.
int ringbuffer_is_ready(unsigned int channel);

#ifdef __cplusplus
}
#endif
