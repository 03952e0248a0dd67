// Custom records: plain files of raw frames in "DORVI_CUSTOM_RECORD" under the card's base path, one
// per start time, listed with their state in the index file ".custom_record_msg" of that directory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    CUSTOM_RECORD_SET_UP = 1,
    CUSTOM_RECORD_WRITTEN = 2,
    CUSTOM_RECORD_OFF = 3,
    CUSTOM_RECORD_HAS_FRAMES = 1,
    CUSTOM_RECORD_NO_FRAME = 2,
};

typedef struct custom_record_index_entry_t {
    uint32_t start; // seconds since 1970 UTC
    uint8_t state;  // CUSTOM_RECORD_SET_UP, _WRITTEN or _OFF
    uint8_t data;   // CUSTOM_RECORD_NO_FRAME or CUSTOM_RECORD_HAS_FRAMES
    uint8_t reserved[2];
} custom_record_index_entry_t;

// The file's layout: a 512-byte head, then 8-byte entries sorted by start time.
enum {
    CUSTOM_INDEX_HEAD_SIZE = 512,
    CUSTOM_INDEX_ENTRY_SIZE = 8,
    CUSTOM_INDEX_MAX_SIZE = 1024 * 1024,
};

// The card's base path (the pool's, or "/mnt/sdcard/" when it has none).
const char *local_get_base_path(void);
// The record file of a start time: 0, or -1 when it does not fit `size`.
int timestamp_to_custom_record_path(uint32_t time, char *buffer, size_t size);

// 0 (also when the start is already listed); -1 for a start not above 999999999 or a failed load or
// write.
int custom_record_index_add(const custom_record_index_entry_t *entry);
// Replaces the entry's nonzero state and data bytes; the file is written only when they change.
int custom_record_index_mod(const custom_record_index_entry_t *entry);
// Removes the record file and the entry.
int custom_record_index_del(uint32_t start);
// The index image (head and entries) in a malloc'ed buffer the caller frees, after dropping entries
// switched off before any frame and entries whose file is gone: 0, or -1 when the card is not ready
// or the index cannot be loaded.
int custom_record_index_get(uint8_t **out, uint32_t *length);

#ifdef __cplusplus
}
#endif
