// Stream dispatch: the camera's media for another process, taken from the shared-buffer endpoints
// under "/run" on a libev loop of its own, queued per stream and handed to one consumer in one
// merged time order (audio first on equal time stamps), or pulled by the consumer; with snapshots,
// motion and loud-sound events, key-frame requests and audio for the speaker.
#pragma once

#include <stdint.h>

#include "shbf.h"

#ifdef __cplusplus
extern "C" {
#endif

// Capability bytes (1 = on).
enum {
    ZEL_STREAM_CAP_MAIN = 0,
    ZEL_STREAM_CAP_MAIN_EXTRA = 1,
    ZEL_STREAM_CAP_SUB = 2,
    ZEL_STREAM_CAP_AUDIO = 3,
    ZEL_STREAM_CAP_AUDIO_PLAY = 4,
    ZEL_STREAM_CAP_MOTION = 5,
    ZEL_STREAM_CAP_SNAPSHOT = 6,
    ZEL_STREAM_CAP_SNAPSHOT_FILE = 7,
    ZEL_STREAM_CAP_VOICE = 8,
    ZEL_STREAM_CAP_PULL = 10,
    ZEL_STREAM_CAP_WAIT_KEY = 11,
    ZEL_STREAM_CAP_DIRECT = 12,
    ZEL_STREAM_CAP_RAW_AUDIO = 13,
    ZEL_STREAM_CAP_SIZE = 14,
};
enum { ZEL_STREAM_MAIN = 0, ZEL_STREAM_SUB = 1, ZEL_STREAM_AUDIO = 2 };
enum { ZEL_STREAM_VIDEO_QUEUE = 100, ZEL_STREAM_AUDIO_QUEUE = 125 };

#define ZEL_STREAM_SNAPSHOT_PATH "/tmp/zel_stream_snapshot.jpeg"

typedef struct zel_stream zel_stream_t;
// The frame is freed with shbf_free after the callback returns.
typedef void (*zel_stream_frame_cb)(shbf_frame_t *frame, int is_audio, int stream, void *user);
typedef void (*zel_stream_event_cb)(int value, void *user);
// With capability 7 the snapshot's file path (len = its length), else the JPEG bytes.
typedef void (*zel_stream_snapshot_cb)(const void *data, int len, void *user);

// mode: 0 main only, 1 sub only, 2 both.
zel_stream_t *zel_stream_init(int mode, zel_stream_frame_cb callback, void *user);
// Starts the threads; on failure the stream is released and -1 returned. Queued and direct delivery
// need the frame callback.
int zel_stream_set_capability(zel_stream_t *stream, const uint8_t capability[ZEL_STREAM_CAP_SIZE]);
int zel_stream_switch_stream_type(zel_stream_t *stream, int mode);
int zel_stream_seek_I_frame(zel_stream_t *stream, int index);
// Pull mode: the head frame of a video stream (kind 0) or of audio (kind 1), or null; given back
// with zel_stream_request_next_frame. Audio asked for with a video index (0 or 1) starts where that
// stream's first key frame does; with index 2 it starts at once. Any other index is refused.
shbf_frame_t *zel_stream_request_frame_info(zel_stream_t *stream, int index, int kind);
int zel_stream_request_next_frame(zel_stream_t *stream, int kind, shbf_frame_t *frame);
int zel_stream_register_motion_detect(zel_stream_t *stream, zel_stream_event_cb callback);
int zel_stream_register_voice_detect(zel_stream_t *stream, zel_stream_event_cb callback);
int zel_stream_request_snapshot(zel_stream_t *stream, zel_stream_snapshot_cb callback);
int zel_stream_request_keyframe(zel_stream_t *stream);
int zel_stream_play_audio(zel_stream_t *stream, const void *data, int length);
// Stops the media thread and the dispatcher (waiting for both), then frees every queued frame.
void zel_stream_uninit(zel_stream_t *stream);

#ifdef __cplusplus
}
#endif
