// The video record index: per camera a circular log of 144-byte records, one per index period of
// recorded video, each naming the pool file that holds the period. Module "KO REC".
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "sd_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { RECORD_INDEX_RECORD_SIZE = 144, RECORD_INDEX_ENTRY_SIZE = 8, RECORD_LIST_HEAD_SIZE = 12 };

// Decoded form of the 144-byte record (little-endian on the card).
typedef struct record_index_record_t {
    uint32_t time;    // start of the period, seconds since 1970
    uint8_t duration; // seconds
    uint8_t motion;
    uint8_t extra;    // the caller's, not interpreted
    uint8_t del;      // 0 live, 1 deleted
    uint32_t seq;
    char name[128];   // pool name of the recording file
    uint32_t crc;
} record_index_record_t;

// The first 8 bytes of a record, also the list entry.
typedef struct record_index_entry_t {
    uint32_t time;
    uint8_t duration, motion, extra, del;
} record_index_entry_t;

typedef int (*record_list_cb)(int channel, uint32_t total, uint32_t remaining, const uint8_t *buf, uint32_t len,
                              void *user);

int record_index_init(int cameras);
int record_index_deinit(void);
uint64_t record_get_defalut_size_bytes(uint32_t fragments);
int record_add_index(int channel, const record_index_entry_t *entry, const char *file_name);
int record_find_record_info(int channel, uint64_t time, record_index_record_t *out, uint8_t next);
int record_get_index_all(int channel, record_list_cb cb, uint32_t size, void *user);
int record_del_index_before(int channel, uint64_t time);
int record_del_index(int channel, const uint32_t *times, int count);
int record_change_file_name(int channel, const char *old_name, const char *new_name);
// Start times of the deleted records among the newest run of records naming `name` (the file being
// written): their number (at most max), or a negative code.
int record_get_deleted_times(int channel, const char *name, uint32_t *times, int max);
int record_index_need_reset(const char *index_name);
// Blanks the footage left of the deleted periods of the recordings that deleted records of the index
// file (pool name) name (a deletion's blanking lost to a power cut or a stop): 0 or -1.
int record_blank_deleted(const char *index_name);
int record_reset_index(int channel, const char *file_name, FILE *index);
// Writes the head of a rebuilt index last, once every record is in, and syncs it.
int record_index_seal(FILE *index);
int record_clear_old_data(const char *path);

#ifdef __cplusplus
}

namespace sd {
void encode_record(const record_index_record_t &r, uint8_t out[RECORD_INDEX_RECORD_SIZE]);
record_index_record_t decode_record(const uint8_t in[RECORD_INDEX_RECORD_SIZE]);
} // namespace sd
#endif
