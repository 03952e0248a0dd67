// The reader's handle, shared by its files: the walk at open and the period load (fmp4_demuxer.cpp),
// and the frame reads and seeks (fmp4_demuxer_read.cpp).
#pragma once

#include <stdio.h>

#include <mutex>
#include <vector>

#include "fmp4_demuxer_internal.h"

namespace fmp4 {

// One sample of the loaded period, located and bounded by the window when the period is loaded.
struct SampleRef {
    uint64_t pos;
    uint64_t decode_time; // in the track's time scale
    uint32_t size;
    uint32_t duration;
    bool sync;
};

struct TrackTable {
    std::vector<SampleRef> samples;
    std::vector<uint32_t> keys; // indexes of sync samples (video)
    uint32_t cursor = 0;        // next sample to read
    void clear()
    {
        samples.clear();
        keys.clear();
        cursor = 0;
    }
};

// Flattens the loaded period of entry `e` into h->tables; false when a sample lies outside the
// period's window or the file, or is larger than any frame can be (logged).
bool build_tables(fmp4_demuxer_t *h, const fmp4_index_entry_t &e);

// The Annex-B parameter sets of the video track (first VPS, SPS, PPS); false when they exceed the
// reader's buffer.
bool build_param_sets(fmp4_demuxer_t *h);

} // namespace fmp4

struct fmp4_demuxer {
    FILE *fp = nullptr;
    uint64_t size = 0;
    fmp4::TrackInfo tracks[2];
    std::vector<fmp4_index_entry_t> entries;
    fmp4::PeriodInfo period;
    fmp4::TrackTable tables[2];
    std::vector<uint8_t> param_sets; // Annex-B parameter sets put in front of a key frame
    std::mutex lock;
};
