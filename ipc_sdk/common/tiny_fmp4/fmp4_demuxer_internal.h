// What the writer needs of the reader to resume a file: track details, parameter sets, and the
// fragments of a period by entry number.
#pragma once

#include <stdint.h>

#include <vector>

#include "fmp4_demuxer.h"
#include "fmp4_moof.h"
#include "fmp4_nal.h"

namespace fmp4 {

struct TrackInfo {
    bool present = false;
    uint32_t track_id = 0;
    uint32_t timescale = 0;
    int codec = 0; // FMP4_CODEC_*, 0 when unknown
    uint16_t width = 0, height = 0;
    ParamSetList vps, sps, pps;
    bool damaged = false; // a parameter-set list runs past its box
};

struct FragmentInfo {
    uint64_t moof_pos = 0;
    uint32_t sequence = 0;
    uint64_t base[2] = {0, 0};
    uint64_t data_pos[2] = {0, 0}; // absolute file position of each track's first sample
    uint32_t first_flags[2] = {0, 0};
    std::vector<MoofSample> samples[2];
};

struct PeriodInfo {
    std::vector<FragmentInfo> fragments;
    uint64_t samples(int track) const;
    // Decode time just after the period's last sample of the track.
    uint64_t end_time(int track) const;
};

// 0 video, 1 audio; null when absent.
const TrackInfo *demuxer_track(const fmp4_demuxer_t *h, int track);
const std::vector<fmp4_index_entry_t> &demuxer_entries(const fmp4_demuxer_t *h);
// Walks the fragments of entry `index`; false when they cannot be read.
bool demuxer_load_period(fmp4_demuxer_t *h, size_t index, PeriodInfo *out);

} // namespace fmp4
