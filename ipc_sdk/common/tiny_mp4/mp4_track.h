// What the plain MP4 writer keeps of a track while a clip is written, and its moov built from it.
#pragma once

#include <stdint.h>

#include <vector>

#include "common/tiny_fmp4/fmp4_box.h"
#include "common/tiny_fmp4/fmp4_nal.h"

namespace mp4 {

struct Sample {
    uint64_t offset;
    uint32_t size;
    uint32_t duration; // in the track's time scale
    bool sync;
};

struct Track {
    bool video = false;
    uint32_t id = 0;
    uint32_t time_scale = 0;
    uint32_t default_duration = 0;
    std::vector<Sample> samples;
    uint64_t duration() const;
};

struct MoovInput {
    uint64_t unix_time;
    const Track *audio;
    const Track *video;
    fmp4::VideoCodec codec;
    uint16_t width, height;
    const fmp4::ParamSetList *vps, *sps, *pps;
};

// Bytes the moov of these tracks can take at most.
size_t moov_capacity(const MoovInput &in);
// The moov into w; w.ok() tells whether it fitted.
void build_moov(fmp4::BoxWriter &w, const MoovInput &in);

} // namespace mp4
