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
int fmp4_demuxer_close(fmp4_demuxer_t *handle);

#ifdef __cplusplus
}
#endif
