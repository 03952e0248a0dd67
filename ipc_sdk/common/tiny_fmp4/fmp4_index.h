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
    uint8_t reserved1[3]; // zero
    uint32_t start;       // seconds, time stamp of the period's first key frame
    uint8_t duration;     // whole seconds
    uint8_t motion;
    uint8_t extra;        // zero as written; a rebuilt video index record copies it
    uint8_t flags;        // FMP4_INDEX_DELETED
    uint32_t position;    // file position of the index box
    uint32_t length;      // index box to the end of the period's last fragment; 0 while open
    uint8_t reserved[12]; // zero
} fmp4_index_entry_t;

enum { FMP4_INDEX_ENTRY_SIZE = 32, FMP4_INDEX_BOX_SIZE = 56, FMP4_INDEX_DELETED = 0x01 };

#ifdef __cplusplus
}

// The reader hands out its list as count x 32 bytes: callers may walk it by this layout alone.
static_assert(sizeof(fmp4_index_entry_t) == FMP4_INDEX_ENTRY_SIZE, "index entry is 32 bytes");
static_assert(offsetof(fmp4_index_entry_t, start) == 4 && offsetof(fmp4_index_entry_t, duration) == 8 &&
                  offsetof(fmp4_index_entry_t, motion) == 9 && offsetof(fmp4_index_entry_t, extra) == 10 &&
                  offsetof(fmp4_index_entry_t, flags) == 11 && offsetof(fmp4_index_entry_t, position) == 12 &&
                  offsetof(fmp4_index_entry_t, length) == 16 && offsetof(fmp4_index_entry_t, reserved) == 20,
              "index entry layout");

namespace fmp4 {

constexpr size_t kIndexEntryOffset = FMP4_INDEX_BOX_SIZE - FMP4_INDEX_ENTRY_SIZE; // 24
extern const uint8_t kIndexUserType[16];

void encode_index_entry(const fmp4_index_entry_t &e, uint8_t out[FMP4_INDEX_ENTRY_SIZE]);
fmp4_index_entry_t decode_index_entry(const uint8_t in[FMP4_INDEX_ENTRY_SIZE]);
void build_index_box(const fmp4_index_entry_t &e, uint8_t out[FMP4_INDEX_BOX_SIZE]);

} // namespace fmp4
#endif
