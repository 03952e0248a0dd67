// The moof of one fragment: mfhd and a traf per track (tfhd, 64-bit tfdt, trun with a duration and a
// size per sample). Its size is fixed by the sample counts, so the writer can reserve it exactly.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace fmp4 {

struct MoofSample {
    uint32_t duration;
    uint32_t size;
};

struct MoofTrack {
    uint32_t track_id;
    uint64_t base_decode_time;
    uint32_t data_offset; // from the moof's first byte to the track's first sample
    uint32_t first_sample_flags;
    const std::vector<MoofSample> *samples;
};

constexpr size_t kMoofFixedSize = 168; // moof, mfhd and two trafs without samples
constexpr size_t kMoofPerSample = 8;
constexpr uint32_t kSampleSync = 0x02000000;     // depends on no other sample
constexpr uint32_t kSampleNonSync = 0x01010000;  // depends on others, not a sync sample

inline size_t moof_size(size_t samples) { return kMoofFixedSize + kMoofPerSample * samples; }

// Writes the moof of the two tracks into out (moof_size(total samples) bytes).
void build_moof(uint32_t sequence, const MoofTrack &video, const MoofTrack &audio, uint8_t *out, size_t cap,
                size_t *written);

} // namespace fmp4
