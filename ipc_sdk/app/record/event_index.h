// The event index: per camera a circular log of 45-byte records, one per event type that occurred in
// an index period; the phone lists them by time range. Module "KO REC".
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { EVENT_INDEX_RECORD_SIZE = 45, EVENT_ENTRY_SIZE = 32, EVENT_GROUP_HEAD_SIZE = 152 };

typedef int (*event_list_cb)(int channel, uint32_t packet_len, uint32_t remaining, const uint8_t *buf, uint32_t len,
                             void *user);

int event_init(int cameras);
int event_deinit(void);
uint64_t event_get_defalut_size_bytes(uint32_t fragments);
int event_add_fargment(int channel, uint32_t start, uint32_t event_bits);
int event_get_index(int channel, uint8_t tag, uint32_t start, uint32_t end, uint32_t size, event_list_cb cb,
                    void *user);
int event_del_index_before(int channel, uint64_t time);
int event_del_index(int channel, const uint32_t *times, int count);
int event_clear_old_data(const char *path);

#ifdef __cplusplus
}
#endif
