// Reading a recording written by the fragmented-MP4 writer: its tracks, the list of its index periods
// ("tolk_index" boxes) and the fragments of one period.
#pragma once

#include <stdint.h>

#include "fmp4_index.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fmp4_demuxer fmp4_demuxer_t;

// Opens and walks the file; NULL when it is not a recording with two tracks (logged).
fmp4_demuxer_t *fmp4_demuxer_open(const char *path);
// The index entries in file order (owned by the handle) and their size in bytes (count x 32).
int fmp4_demuxer_read_fileinfo(fmp4_demuxer_t *handle, const fmp4_index_entry_t **entries, uint32_t *bytes);
// Loads the period whose start time equals `timestamp` (the last such entry): >= 0, 1 without loading
// when it is marked deleted, negative on failure.
int fmp4_demuxer_seek_fragment(fmp4_demuxer_t *handle, uint32_t timestamp);
// Samples of the loaded period: track 0 video, 1 audio.
uint32_t fmp4_demuxer_sample_count(fmp4_demuxer_t *handle, int track);

enum { FMP4_FRAME_KEY = 3, FMP4_FRAME_OTHER = 1 };

// A frame handed out by the reader; `data` is malloc'ed and the caller's to free.
typedef struct fmp4_frame_t {
    uint32_t sample;       // 1-based sample number in the loaded period
    uint8_t *data;         // video: Annex-B, parameter sets in front of a key frame; audio: as stored
    uint32_t size;
    int kind;              // FMP4_FRAME_KEY or FMP4_FRAME_OTHER
    uint64_t timestamp_ms; // decode time
} fmp4_frame_t;

// Summary of the loaded period's video track.
typedef struct fmp4_video_info_t {
    int codec; // 4 H.264, 5 H.265
    uint16_t width, height;
    uint32_t time_scale;
    uint32_t samples;
    uint32_t duration_s; // rounded up
    uint32_t keys;       // key samples
    uint64_t start_ms;   // decode time of the period's first sample
} fmp4_video_info_t;
int fmp4_demuxer_video_info(fmp4_demuxer_t *handle, fmp4_video_info_t *out);

// The audio track of the file.
typedef struct fmp4_audio_info_t {
    int codec; // FMP4_CODEC_ALAW, FMP4_CODEC_OPUS, or 0 for another sample entry
    uint32_t time_scale; // the sample rate
    uint32_t samples;    // of the loaded period
} fmp4_audio_info_t;
int fmp4_demuxer_audio_info(fmp4_demuxer_t *handle, fmp4_audio_info_t *out);

// 0 with a frame, 1 at the end of the loaded period, -1 on error; *duration_ms (when given) is the
// sample's duration.
int fmp4_demuxer_read_video(fmp4_demuxer_t *handle, fmp4_frame_t *frame, uint32_t *duration_ms);
int fmp4_demuxer_read_audio(fmp4_demuxer_t *handle, fmp4_frame_t *frame, uint32_t *duration_ms);
// Moves to the key frame at or before `seconds` (at most 100) from the period's start, audio with it.
int fmp4_demuxer_seek(fmp4_demuxer_t *handle, uint32_t seconds);
// Moves the audio cursor to the audio sample at the video cursor's time: 0.
int fmp4_demuxer_sync_video_audio(fmp4_demuxer_t *handle);
// Moves the video cursor to the next key frame at or after it: 0, 1 when there is none, -1 without a
// video track.
int fmp4_seek_I_frame_playback(fmp4_demuxer_t *handle);
int fmp4_demuxer_close(fmp4_demuxer_t *handle);

// Running state that joins moofs taken from different places into one continuous stream.
typedef struct fmp4_rebase_t {
    uint32_t sequence;     // given to the next mfhd, then incremented
    uint64_t video_offset; // subtracted from the video tfdt
    uint64_t audio_offset; // subtracted from the audio tfdt
} fmp4_rebase_t;
// Rewrites in place a moof of this file held in `buffer`: 0 or -1 (a damaged box or an unknown track).
int fmp4_reorganize_moof_box(fmp4_demuxer_t *handle, uint8_t *buffer, uint32_t length, fmp4_rebase_t *rebase);

#ifdef __cplusplus
}
#endif
