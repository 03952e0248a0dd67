// SD playback: plays the recorded periods of camera 0 from a requested time to one receiver, video
// paced by its own thread "pb_v" and audio held behind the video by "pb_a", at speed 1, 4 or 16, moving
// on to the next recorded period when one ends. Module "KO PLAYBACK".
#pragma once

#include <stdint.h>

#include "common/tiny_fmp4/fmp4_demuxer.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ko_playback_request_t {
    uint32_t start_time; // Unix seconds: the start of a recorded period
    uint32_t end_time;   // Unix seconds
    uint32_t offset;     // seconds into the first period
} ko_playback_request_t;

// What the receiver is told with every frame and status.
typedef struct ko_playback_meta_t {
    uint32_t start_time; // start of the period playing, Unix seconds
    uint32_t end_time;   // the request's end
    uint32_t duration_s; // of the period playing
    int video_codec;     // 4 H.264, 5 H.265
    uint16_t width, height;
    uint32_t fps;
    int audio_codec;     // FMP4_CODEC_ALAW, FMP4_CODEC_OPUS or 0
    uint32_t sample_rate;
    uint8_t sample_bits; // 16
    uint8_t channels;    // 1
} ko_playback_meta_t;

enum {
    KO_PLAYBACK_NOT_STARTED = 0, // a thread could not start
    KO_PLAYBACK_FAILED = 1,      // no recording, or it could not be opened or sought
    KO_PLAYBACK_STARTED = 2,
    KO_PLAYBACK_NEXT_FILE = 3,   // the next period plays; the meta changed
    KO_PLAYBACK_END = 4,         // the recordings (or the request) ended
};

// Frames carry milliseconds from the start of their period. The video callback returns 0 when it
// took the frame; anything else makes the same frame come again. The frame's data stay the engine's.
typedef int (*ko_playback_video_cb)(const fmp4_frame_t *frame, const ko_playback_meta_t *meta, void *user);
typedef int (*ko_playback_audio_cb)(const fmp4_frame_t *frame, const ko_playback_meta_t *meta, void *user,
                                    int count);
typedef void (*ko_playback_status_cb)(int status, const ko_playback_meta_t *meta, void *user);

typedef struct ko_playback_callbacks_t {
    ko_playback_video_cb video;
    ko_playback_audio_cb audio;
    ko_playback_status_cb status;
} ko_playback_callbacks_t;

typedef struct ko_playback ko_playback_t;

// Registers the statistics key; release_fn is what the pool calls to end every playback when the
// card goes.
int ko_playback_init(void (*release_fn)(void));
int ko_playback_deinit(void);
// The running playback, or NULL (the status callback has been told why). `value` is the caller's.
ko_playback_t *ko_playback_start(const ko_playback_request_t *request, const ko_playback_callbacks_t *callbacks,
                                 void *value, void *user);
int ko_playback_speed_ctrl(ko_playback_t *handle, int speed);
int ko_playback_pause(ko_playback_t *handle);
int ko_playback_resume(ko_playback_t *handle);
// Ends both threads and frees the handle.
int ko_playback_stop(ko_playback_t *handle);
void *ko_playback_value(ko_playback_t *handle);

// Frames sent per GOP at `speed` for a period of `samples` video frames, `keys` key frames and
// `duration_s` seconds: GOP x 20 / (speed x fps), at least 1; 0 at speed 1 (every frame).
uint32_t ko_playback_frames_per_gop(uint32_t samples, uint32_t keys, uint32_t duration_s, int speed);

#ifdef __cplusplus
}
#endif
