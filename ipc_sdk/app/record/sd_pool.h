// The SD file pool: the card filled with pre-allocated data files of DATA_FILE_SIZE_BYTES and one index
// file per camera and index kind. A recording borrows a pool file, renames it to say what it holds and
// gives it back by renaming it with its real times; the oldest recording is overwritten by taking its
// file back. Paths handed out are real paths below the mapped base path.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "common/tiny_fmp4/fmp4_index.h"
#include "sd_file.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum sd_file_kind {
    SD_KIND_FREE = 0,   // "zreserved"
    SD_KIND_VIDEO = 1,  // "video"
    SD_KIND_PIC = 2,    // "pic"
    SD_KIND_VIDEOI = 3, // "videoi"
    SD_KIND_PICI = 4,   // "pici"
    SD_KIND_EVENT = 5,  // "event"
    SD_KIND_YVIDEO = 6, // "yvideo"
    SD_KIND_YVIDEOI = 7 // "yvideoi"
} sd_file_kind;

enum { SD_CHANNEL_NONE = 9999, SD_PRIORITY_INDEX = 100 };
#define SD_TIME_OPEN UINT64_MAX // the end of a file open for writing

typedef struct sd_file_info_t {
    char path[128];   // name relative to the base path
    int32_t priority; // 0 free, 10 video and picture, 20 custom video, 100 index
    int32_t channel;  // SD_CHANNEL_NONE when none
    uint64_t start;   // seconds since the epoch of the first content
    uint64_t end;     // of the last content; SD_TIME_OPEN while open
    int32_t kind;     // sd_file_kind
    int32_t number;   // unique among data files
    char ext[9];
    uint8_t busy;     // a rename is pending, or the file is being taken
    pthread_mutex_t lock; // recursive
} sd_file_info_t;

extern const uint64_t DATA_FILE_SIZE_BYTES; // 134217728

typedef void (*sd_status_cb)(int code);

// Sizes the card at `path` (a device path), builds the pool and starts the creation and deletion
// threads: 0 or a negative code. status_cb receives the codes of later failures.
int sd_init(const char *path, int cameras, uint64_t reserved, uint64_t min, uint64_t yvideo, sd_status_cb status_cb);
int sd_uninit(void);
void sd_quick_exit(void);
// 1 when the directory (device path) holds fewer than five pool files, 0 otherwise, -1115 family
// when it does not exist.
int sd_need_format(const char *path);
const char *sd_get_base_path(void);
// base path + name into out[1024]: 0, or -1 when it does not fit.
int sd_get_path(const char *name, char *out);
// The pool file for a channel and kind, renamed for it, or NULL. For data kinds *cover is set to 0
// when the channel's own open file is resumed and to 1 otherwise.
sd_file_info_t *sd_get_path_and_set_channel(int kind, int channel, int *cover);
// Closes a data file with its real times (renamed on a short thread): 0 when started, -1 for an index
// kind, -2 when no pool file has that name, -3 when the thread cannot start.
int sd_set_file_status(const char *path, int kind, int channel, uint64_t start, uint64_t end);
// values[i] = channel bound to index file i of an index kind: 0; -1 when n < cameras or none bound yet,
// -2 for another kind.
int sd_get_exist_channel(int kind, int values[], int n);
// Queues one period of a recording (real path) for blanking by the deletion thread: 0 or -1.
int sd_delete_video_queue_push(const char *path, const fmp4_index_entry_t *descriptor);
void sd_delete_video_queue_reset(void);
void sd_set_free_playback_func(void (*fn)(void));
// The maker's name for the manufacturer id of a card's CID ("Unknown" when not listed).
const char *sd_get_maker_name(int manufacturer_id);

#ifdef __cplusplus
}
#endif
