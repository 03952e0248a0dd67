// The plain MP4 writer of event clips: one Opus audio track and one H.264 or H.265 video track.
// Samples go to the file as they arrive; the sample tables stay in memory and the moov is appended
// when the clip is finished.
#pragma once

#include <stdint.h>

#include "common/ringbuffer/ko_av_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mp4_muxer_config_t {
    const char *path;
    int32_t video_codec; // 33 H.264, 35 H.265
    int32_t audio_channels;
    int32_t width, height;
    uint32_t video_time_scale;
    uint32_t audio_time_scale; // the sample rate
} mp4_muxer_config_t;

typedef struct mp4_muxer mp4_muxer_t;

// Creates the file ("wb") and writes its head; NULL on a bad configuration or a failed write (logged).
mp4_muxer_t *mp4_muxer_init(const mp4_muxer_config_t *config);
// One access unit (Annex-B) as one sample: 0 (also for a frame skipped before the first key frame) or
// -1.
int mp4_muxer_update_video(mp4_muxer_t *muxer, const ko_av_frame *frame);
// One Opus packet as one sample: 0 or -1.
int mp4_muxer_update_audio(mp4_muxer_t *muxer, const ko_av_frame *frame);
// Writes the moov, closes the file and frees the writer: 0, or -1 when any write failed.
int mp4_muxer_finish(mp4_muxer_t *muxer);
// Closes the file without the moov and frees the writer: 0, -1 for NULL.
int mp4_muxer_abort(mp4_muxer_t *muxer);

#ifdef __cplusplus
}
#endif
