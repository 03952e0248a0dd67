// Pool file names: "%s_%04d_%d_%d_%s_%s%s" (kind name, number, channel, priority, start, end,
// extension), times as local "%Y%m%d%H%M%S" of 64-bit seconds, the open mark written as the local
// time of -1 and read back as all ones.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sd_pool.h"

namespace sd {

struct KindInfo {
    const char *name;
    int priority;
    const char *ext;
};
// Entry of a kind (kind 0 for an unknown value).
const KindInfo &kind_info(int kind);
bool is_index_kind(int kind);
bool is_data_kind(int kind); // video, pic, yvideo

// 14 characters and a NUL.
void format_time(uint64_t seconds, char out[15]);
// false when the text is not 14 digits of a date.
bool parse_time(const char *text, uint64_t *seconds);

// The name of a record's fields into out[128]; false when it does not fit.
bool build_name(const sd_file_info_t &f, char *out, size_t size);
// Fills kind, number, channel, priority, start, end, ext and path from a name; false (logged) when it
// is not a pool name.
bool parse_name(const char *name, sd_file_info_t *out);

} // namespace sd
