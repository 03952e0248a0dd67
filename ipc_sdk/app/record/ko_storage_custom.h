// The recorder's custom-record entry points: a custom record is switched on with its start time,
// takes raw frames appended to its file while on, and is listed in the custom-record index. Each
// needs the recorder instance of its video channel and a usable card (status 0).
#pragma once

#include <stdint.h>

#include "common/ringbuffer/ko_av_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_STORAGE_CARD_NOT_READY = -10 };

// Opens the custom container's index for `count` cameras.
int ko_storage_custom_record_start(int count);
int ko_storage_custom_record_finish(void);
// -1 no instance, -10 card not usable; otherwise the index's result.
int ko_storage_set_custom_record(int on, uint32_t start_time, int instance);
// -1 no instance, -10 card not usable, -5 the record is off or the frame older than its start, -4 no
// path, -1 the append failed; 0.
int ko_storage_custom_put_frame(const ko_av_frame *frame, int instance);
int ko_storage_custom_record_delete(uint32_t time, int instance);

#ifdef __cplusplus
}
#endif
