// The index box that opens every index period of a recording: a 56-byte "uuid" box with the user
// type "tolk_index" whose payload is the 32-byte fmp4_index_entry_t, little-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fmp4_index_entry_t {
    uint8_t channel;
    uint32_t start;    // seconds, time stamp of the period's first key frame
    uint8_t duration;  // whole seconds
    uint8_t motion;
    uint8_t flags;     // FMP4_INDEX_DELETED
    uint32_t position; // file position of the index box
    uint32_t length;   // index box to the end of the period's last fragment; 0 while open
} fmp4_index_entry_t;

enum { FMP4_INDEX_ENTRY_SIZE = 32, FMP4_INDEX_BOX_SIZE = 56, FMP4_INDEX_DELETED = 0x01 };

#ifdef __cplusplus
}

namespace fmp4 {

constexpr size_t kIndexEntryOffset = FMP4_INDEX_BOX_SIZE - FMP4_INDEX_ENTRY_SIZE; // 24
extern const uint8_t kIndexUserType[16];

void encode_index_entry(const fmp4_index_entry_t &e, uint8_t out[FMP4_INDEX_ENTRY_SIZE]);
fmp4_index_entry_t decode_index_entry(const uint8_t in[FMP4_INDEX_ENTRY_SIZE]);
void build_index_box(const fmp4_index_entry_t &e, uint8_t out[FMP4_INDEX_BOX_SIZE]);

} // namespace fmp4
#endif
