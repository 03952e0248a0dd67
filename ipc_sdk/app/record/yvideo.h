// The custom ("yvideo") container: per camera, data records in custom-video pool files and a circular
// index of 145-byte records in a pool file of the custom-index kind, in the picture store's formats.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*yvideo_data_cb)(int channel, uint32_t total, uint32_t remaining, const uint8_t *buf, uint32_t len,
                              void *user);

int yvideo_init(int cameras);
int yvideo_deinit(void);
uint64_t yvideo_get_defalut_size_bytes(uint32_t fragments);
// 0; -3 no data file can be had; -4 the write failed or size 0.
int yvideo_add_data(int channel, const uint8_t *data, uint32_t size);
// 0; -1 not initialised; -3 no data file; -4 nothing pending or the stamp failed; -5 the index
// cannot be opened; -6 the record cannot be added.
int yvideo_add_index(int channel, uint32_t time);
int yvideo_get_data(int channel, uint32_t time, yvideo_data_cb cb, uint32_t size, void *user);
// Deletes the index records before `time` and their data records; a record of `time` itself only
// when it lies in the same data file as the record deleted just before it.
int yvideo_del_index_before(int channel, uint32_t time);
int yvideo_change_file_name(int channel, const char *old_name, const char *new_name);

#ifdef __cplusplus
}
#endif
