// The 32-byte header in front of every media frame of a streaming session, in the sender's byte
// order (little-endian here); only the length prefix in front of it on the wire is big-endian.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vasq_frame_info {
    uint32_t length;   // payload bytes as sent (after encryption)
    uint32_t codec_id;
    uint32_t seq;
    uint32_t flags;
    uint64_t time_ms;
    uint32_t time_s;
    uint32_t extra; // resolution code 15: height << 16 | width
} vasq_frame_info;

#ifdef __cplusplus
static_assert(sizeof(vasq_frame_info) == 32, "the frame header is 32 bytes on every target");
}
#endif
