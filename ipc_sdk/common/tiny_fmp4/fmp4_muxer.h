// The fragmented-MP4 writer of the SD recorder: video and audio frames into one pre-allocated pool
// file, a moof/mdat fragment per GOP, an index box opening every period of about 60 s, and the rest
// of the file always one "mdat" box, so the file can be walked whenever the writing stops.
#pragma once

#include <stdint.h>

#include "common/ringbuffer/ko_av_frame.h"
#include "fmp4_codec.h"
#include "fmp4_index.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fmp4_muxer_config_t {
    char path[1024]; // the pool file (real path), already at its full size
    int32_t video_codec; // 33 H.264, 35 H.265
    int32_t audio_codec; // 1027 G.711 A-law, 1032 Opus
    uint8_t channel;     // first byte of every index entry
    int32_t width, height;
    int32_t gop;       // frames per GOP
    int32_t fps;       // video frames per second
    int32_t audio_fps; // audio frames per second
    int32_t video_bitrate, audio_bitrate; // kbit/s
    int32_t video_time_scale; // ticks per second (the recorder passes 90000)
    int32_t audio_time_scale; // the sample rate
} fmp4_muxer_config_t;

typedef struct fmp4_muxer fmp4_muxer_t;

// Results of the update calls besides 0 and negative codes.
enum { FMP4_FILE_FULL = 100, FMP4_NEW_INDEX = 101 };

// The recorder's part of closing an index period: `update_index` may set the motion flag (and gather
// the period's index records); `finish` runs once the entry is durable on the card, and commits them.
// They are the recorder's fmp4_muxer_fragment_update_index_callback and
// fmp4_muxer_fragment_finish_callback unless others are set.
typedef struct fmp4_muxer_callbacks_t {
    int (*update_index)(uint8_t channel, uint32_t *start, uint8_t *duration, uint8_t *motion);
    int (*finish)(void);
} fmp4_muxer_callbacks_t;
// Sets the callbacks (NULL goes back to the recorder's); every handle uses the ones set when a period
// closes.
void fmp4_muxer_set_callbacks(const fmp4_muxer_callbacks_t *callbacks);

// cover 1 starts the file over; cover 0 continues behind its last committed period (a file without
// one is started over), or gives null when the file cannot be continued: the reader cannot open it,
// or its tracks have another codec or time scale than the configuration.
fmp4_muxer_t *fmp4_muxer_init(const fmp4_muxer_config_t *config, int cover);
// One access unit (Annex-B): 0, FMP4_FILE_FULL, FMP4_NEW_INDEX (pass the frame again) or negative.
int fmp4_muxer_update_video(fmp4_muxer_t *handle, const ko_av_frame *frame);
// One encoded audio frame: 0, FMP4_FILE_FULL or negative.
int fmp4_muxer_update_audio(fmp4_muxer_t *handle, const ko_av_frame *frame);
// Closes the open fragment and period and the file; the close's result. Frees the handle.
int fmp4_muxer_finish(fmp4_muxer_t *handle);
// Closes and frees without writing more; 0.
int fmp4_muxer_abort(fmp4_muxer_t *handle);

// Blanks the period the entry describes (the caller has set its deleted bit): 0 or -1.
int fmp4_muxer_fragment_delete_by_index(const char *path, const fmp4_index_entry_t *entry);
// Finds the last period starting at `timestamp` and blanks it: 0 (also when already deleted) or -1.
int fmp4_muxer_fragment_delete(const char *path, uint32_t timestamp);
// Writes the entry (the caller has set its deleted bit) over the period's own and makes it durable, so
// that the period is never read or indexed again whatever becomes of its blanking: 0 or -1.
int fmp4_muxer_fragment_mark_deleted(const char *path, const fmp4_index_entry_t *entry);
// Blanks every period of the file marked deleted whose footage is still there: the number blanked, or
// -1 when the file cannot be read or a blanking failed.
int fmp4_muxer_fragment_blank_deleted(const char *path);

#ifdef __cplusplus
}
#endif
