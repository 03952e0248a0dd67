// The picture store: per camera, snapshots in picture data files of the pool and one circular index
// of 145-byte records giving each picture's time, file and offset. A picture is written when it
// arrives (pic_add_data) and stamped and indexed when its index period closes (pic_add_index).
#pragma once

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { PIC_INDEX_RECORD_SIZE = 145, PIC_HEAD_SIZE = 12 };

typedef int (*pic_data_cb)(int channel, uint32_t total, uint32_t remaining, const uint8_t *buf, uint32_t len,
                           void *user);

int pic_init(int cameras);
int pic_deinit(void);
uint64_t pic_get_defalut_size_bytes(uint32_t fragments);
int pic_add_data(int channel, const uint8_t *data, uint32_t size);
int pic_add_index(int channel, uint32_t time);
int pic_get_data(int channel, uint32_t time, pic_data_cb cb, uint32_t size, void *user);
int pic_del_index_before(int channel, uint64_t time);
int pic_del_index(int channel, const uint32_t *times, int count);
int pic_change_file_name(int channel, const char *old_name, const char *new_name);
int pic_index_need_reset(const char *index_name);
int pic_reset_index(const char *data_name, FILE *index);
int pic_index_seal(FILE *index);
int pic_clear_old_data(const char *path);

#ifdef __cplusplus
}
#endif
