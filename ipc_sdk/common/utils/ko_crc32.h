// The standard reflected CRC-32 (polynomial 0xEDB88320, initial 0xFFFFFFFF, final inversion), used by
// the SD indexes, the kv store's file names and the config slots.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t ko_crc32_init(void);
uint32_t ko_crc32_update(uint32_t crc, const void *data, size_t len);
uint32_t ko_crc32_finish(uint32_t crc);
// All three in one call; 0 for len 0.
uint32_t ko_crc32_total(const void *data, size_t len);

#ifdef __cplusplus
}
#endif
