#include "fmp4_moof.h"

#include "fmp4_box.h"

namespace fmp4 {

namespace {

void traf(BoxWriter &w, const MoofTrack &t)
{
    w.open("traf");
    w.open_full("tfhd", 0, 0x020020);
    w.u32(t.track_id);
    w.u32(kSampleNonSync);
    w.close();
    w.open_full("tfdt", 1, 0);
    w.u64(t.base_decode_time);
    w.close();
    w.open_full("trun", 0, 0x000305);
    w.u32(static_cast<uint32_t>(t.samples->size()));
    w.u32(t.data_offset);
    w.u32(t.first_sample_flags);
    for (const MoofSample &s : *t.samples) {
        w.u32(s.duration);
        w.u32(s.size);
    }
    w.close();
    w.close();
}

} // namespace

void build_moof(uint32_t sequence, const MoofTrack &video, const MoofTrack &audio, uint8_t *out, size_t cap,
                size_t *written)
{
    BoxWriter w(out, cap);
    w.open("moof");
    w.open_full("mfhd", 0, 0);
    w.u32(sequence);
    w.close();
    traf(w, video);
    traf(w, audio);
    w.close();
    *written = w.ok() ? w.size() : 0;
}

} // namespace fmp4
