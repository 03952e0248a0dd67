// The byte ring for streams of bytes. The record and its buffer belong to the caller. A read or write
// word holds the index in bits 31..1 and a mirror bit in bit 0 that flips each time the index wraps;
// equal words mean empty, equal indexes with different mirrors mean full. No locking: callers guard it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_api_ringbuffer {
    uint8_t *buffer;
    uint32_t read;   // index << 1 | mirror
    uint32_t write;  // index << 1 | mirror
    uint32_t size;   // bytes, below 2^31
} zel_api_ringbuffer_t;

// Both words 0. A null ring or buffer, or a size of 0 or 2^31 and more, leaves the ring unusable
// (size 0: every transfer moves nothing).
void zel_api_ringbuffer_init(zel_api_ringbuffer_t *ring, void *buffer, uint32_t size);

// Bytes held and bytes free.
uint32_t zel_api_ringbuffer_data_len(const zel_api_ringbuffer_t *ring);
uint32_t zel_api_ringbuffer_space_len(const zel_api_ringbuffer_t *ring);

// Stores at most the free space; returns the bytes stored (0 when full).
uint32_t zel_api_ringbuffer_put(zel_api_ringbuffer_t *ring, const void *data, uint32_t len);
// Stores everything, overwriting the oldest bytes (only the last `size` bytes of a longer write are
// kept); returns len cut to the size.
uint32_t zel_api_ringbuffer_put_force(zel_api_ringbuffer_t *ring, const void *data, uint32_t len);
// Takes at most the bytes held; returns the bytes taken.
uint32_t zel_api_ringbuffer_get(zel_api_ringbuffer_t *ring, void *out, uint32_t len);

// Single bytes: 1, or 0 when full (put) or empty (get); the forced put drops the oldest byte.
uint32_t zel_api_ringbuffer_putchar(zel_api_ringbuffer_t *ring, uint8_t byte);
uint32_t zel_api_ringbuffer_putchar_force(zel_api_ringbuffer_t *ring, uint8_t byte);
uint32_t zel_api_ringbuffer_getchar(zel_api_ringbuffer_t *ring, uint8_t *byte);

#ifdef __cplusplus
}
#endif
