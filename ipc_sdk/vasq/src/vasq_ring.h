// A session's send ring: whole frames (header and payload) in a fixed byte buffer, oldest first.
// A full ring refuses a frame and never overwrites; nodes of taken frames are kept for reuse, so a
// warmed-up ring allocates nothing per frame.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "vasq_frame_info.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vasq_ring vasq_ring;

enum { VASQ_RING_HEADER = 32 };

vasq_ring *ring_buf_new(int size); // none when the size is not positive or memory is short
void ring_buf_free(vasq_ring *ring);
void ring_buf_reset(vasq_ring *ring);
// header->length payload bytes follow the header. 0, 22 (an argument absent), 26 (no room),
// 11 (no node).
int ring_buf_put_frame(vasq_ring *ring, const vasq_frame_info *header, const void *payload);
// The oldest frame: 0, 22 (an argument absent, or a payload longer than `capacity`: the frame stays),
// 26 (no frame held).
int ring_buf_get_frame(vasq_ring *ring, vasq_frame_info *header, void *payload, size_t capacity);
int ring_buf_data_len(vasq_ring *ring);
int ring_buf_free_len(vasq_ring *ring);
int ring_buf_frame_count(vasq_ring *ring);
int ring_buf_size(vasq_ring *ring);

#ifdef __cplusplus
}
#endif
