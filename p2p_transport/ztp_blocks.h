// The ordered block lists of the reliable channels: blocks (a DRW block or a PSR packet) sorted by
// their 16-bit index in wrap-around order, with count and byte total. Internal to the transport;
// callers hold the session lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    ZTP_INDEX_RANGE = 65536,
    ZTP_BLOCK_DATA_MAX = 1240, // a PSR packet; a DRW block holds at most 1024
    // A list keeps its blocks in order only within this span from its head and its tail.
    ZTP_LIST_SPAN = ZTP_INDEX_RANGE / 3,
};

// The sign of a - b in wrap-around order (-1, 0, 1) and its magnitude (0 to 32768).
int ztp_IndexCompare(uint16_t a, uint16_t b);
int ztp_IndexDistance(uint16_t a, uint16_t b);

struct ztp_block {
    ztp_block *prev, *next;
    uint16_t index;
    uint16_t len;
    int64_t first_send_ms; // 0 = not yet sent
    uint8_t data[ZTP_BLOCK_DATA_MAX];
};

// Plain data (a zeroed record is an empty list).
struct ztp_block_list {
    ztp_block *head, *tail;
    uint32_t count;
    uint64_t bytes;
};

// A new block (not on a list), or null when memory is short.
ztp_block *ztp_block_new(uint16_t index, const uint8_t *data, size_t len);
// True when the list would keep `index` in order: it lies within the span after the head and
// before the tail (whether it is listed already is not looked at).
bool ztp_list_spans(const ztp_block_list *l, uint16_t index);
// Inserts in index order: 0; 1 when the index is already listed or lies outside the list's span
// (the block is then freed).
int ztp_list_insert(ztp_block_list *l, ztp_block *b);
// Takes the head off (null when empty).
ztp_block *ztp_list_pop(ztp_block_list *l);
// Takes the block with `index` off (null when none).
ztp_block *ztp_list_take(ztp_block_list *l, uint16_t index);
void ztp_list_free(ztp_block_list *l);
