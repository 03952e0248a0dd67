// Walking boxes, in a file or in memory, with every size bounded by its parent and by the file: a box
// smaller than its header or larger than what is left of its parent ends the walk of that parent.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <functional>

namespace fmp4 {

struct BoxRef {
    char type[5];
    uint64_t pos;    // of the header (file position, or offset in the buffer)
    uint64_t size;   // whole box
    uint32_t header; // 8, or 16 with a 64-bit size
};

enum class WalkResult { done, broken, io_error };

// Reads the box header at pos within [pos, end); false when there is none or it is invalid (logged).
bool read_box_header(FILE *fp, uint64_t pos, uint64_t end, BoxRef *out, bool *io_error);
bool parse_box_header(const uint8_t *buf, size_t pos, size_t end, BoxRef *out);

// Visits the top-level boxes of [start, end) of the file in order; `visit` returns false to stop.
WalkResult walk_file(FILE *fp, uint64_t start, uint64_t end, const std::function<bool(const BoxRef &)> &visit);
// The same over a buffer's [start, end).
WalkResult walk_buffer(const uint8_t *buf, size_t start, size_t end,
                       const std::function<bool(const BoxRef &)> &visit);

// Reads [pos, pos + n) of the file; false on a short read.
bool read_at(FILE *fp, uint64_t pos, void *buf, size_t n);

} // namespace fmp4
