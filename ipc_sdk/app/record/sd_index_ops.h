// The index operations the pool calls. By default they are the video, picture, event and custom-record
// indexes of this library (record_index_ops); a table set with sd_set_index_ops replaces them, and a
// member left NULL there is skipped as if it succeeded.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "sd_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sd_index_ops_t {
    // Default size of an index file of an index kind for `fragments` fragments.
    uint64_t (*index_size)(int kind, uint32_t fragments);
    // Empties a newly created index file (real path).
    int (*index_clear)(int kind, const char *path);
    int (*record_index_init)(int cameras);
    int (*record_index_deinit)(void);
    int (*pic_init)(int cameras);
    int (*pic_deinit)(void);
    int (*event_init)(int cameras);
    int (*event_deinit)(void);
    // Non-zero when the channel's index (pool name, NULL when the channel has none) must be rebuilt.
    int (*record_need_reset)(int channel, const char *index_name);
    int (*pic_need_reset)(int channel, const char *index_name);
    // Replays one data file of the channel into its index, opened "rb+".
    int (*record_reset_index)(int channel, FILE *index, const sd_file_info_t *file);
    int (*pic_reset_index)(int channel, FILE *index, const sd_file_info_t *file);
    // Deletes the channel's records up to `end` (seconds).
    int (*record_del_index_before)(int channel, uint64_t end);
    int (*pic_del_index_before)(int channel, uint32_t end);
    int (*event_del_index_before)(int channel, uint64_t end);
    // The records naming old_name now name new_name (names relative to the base path).
    int (*record_change_file_name)(int channel, const char *old_name, const char *new_name);
    int (*pic_change_file_name)(int channel, const char *old_name, const char *new_name);
    int (*yvideo_change_file_name)(int channel, const char *old_name, const char *new_name);
    // Ends the rebuild of an index file of an index kind: writes its head and makes it durable.
    int (*index_seal)(int kind, FILE *index);
    // Closes the custom container, opened on request (not by the pool).
    int (*yvideo_deinit)(void);
    // Blanks the footage of deleted periods of the channel's recordings that a lost deletion left.
    int (*record_blank_deleted)(int channel, const char *index_name);
} sd_index_ops_t;

// Copies the table (NULL goes back to the indexes of this library).
void sd_set_index_ops(const sd_index_ops_t *ops);

#ifdef __cplusplus
}
#endif
