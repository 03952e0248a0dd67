// The SD recorder: per recorded camera a "storage_%d" thread that turns the frames of its video and
// audio channels into fragmented-MP4 files of the pool, continuously (mode 0) or while SD events are
// pending (mode 1), keeping the video, picture and event indexes in step. It also answers the bus keys
// "upload_statistics", "mp4.sync" and "deleteVideo".
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*ko_storage_status_cb)(int status);

enum { KO_STORAGE_MIN_BYTES_SHIFT = 32 }; // the card must offer at least 4 GiB

int ko_local_storage_init_v2(const char *path, int cameras, uint64_t min, uint64_t yvideo, uint64_t reserved,
                             int mode, ko_storage_status_cb status_cb);
int ko_local_storage_create(int video_channel, int audio_channel);
int ko_local_storage_set_mode_v2(int video_channel, int mode);
int ko_local_set_format_status(int state);
int ko_local_storage_deinit_v2(void);
int ko_local_storage_destroy(int video_channel);
// 1 when the recorder instance of the video channel has been created, else 0.
int ko_local_storage_created(int video_channel);

// Called by the fragmented-MP4 writer when it closes an index period and once its entry is durable.
int fmp4_muxer_fragment_update_index_callback(uint8_t channel, uint32_t *start_s, uint8_t *duration,
                                              uint8_t *motion);
int fmp4_muxer_fragment_finish_callback(void);

#ifdef __cplusplus
}
#endif
