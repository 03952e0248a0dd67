// The sample tables: stts run-length coded, one sample per chunk (stsc has one entry), 32-bit chunk
// offsets unless a sample lies past 4 GiB (co64), and stss for video.
#include "mp4_track.h"

#include "common/tiny_fmp4/fmp4_codec.h"
#include "common/tiny_fmp4/fmp4_moov.h"

namespace mp4 {

namespace {

using fmp4::BoxWriter;

void sample_tables(BoxWriter &w, const Track &t)
{
    w.open_full("stts", 0, 0);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const Sample &s : t.samples) {
        if (!runs.empty() && runs.back().second == s.duration)
            runs.back().first++;
        else
            runs.push_back({1, s.duration});
    }
    w.u32(static_cast<uint32_t>(runs.size()));
    for (const auto &r : runs) {
        w.u32(r.first);
        w.u32(r.second);
    }
    w.close();

    w.open_full("stsz", 0, 0);
    w.u32(0);
    w.u32(static_cast<uint32_t>(t.samples.size()));
    for (const Sample &s : t.samples)
        w.u32(s.size);
    w.close();

    w.open_full("stsc", 0, 0);
    w.u32(t.samples.empty() ? 0 : 1);
    if (!t.samples.empty()) {
        w.u32(1);
        w.u32(1);
        w.u32(1);
    }
    w.close();

    const bool wide = !t.samples.empty() && t.samples.back().offset > UINT32_MAX;
    w.open_full(wide ? "co64" : "stco", 0, 0);
    w.u32(static_cast<uint32_t>(t.samples.size()));
    for (const Sample &s : t.samples) {
        if (wide)
            w.u64(s.offset);
        else
            w.u32(static_cast<uint32_t>(s.offset));
    }
    w.close();

    if (t.video) {
        w.open_full("stss", 0, 0);
        uint32_t keys = 0;
        for (const Sample &s : t.samples)
            keys += s.sync;
        w.u32(keys);
        for (size_t i = 0; i < t.samples.size(); i++)
            if (t.samples[i].sync)
                w.u32(static_cast<uint32_t>(i + 1));
        w.close();
    }
}

void trak(BoxWriter &w, const MoovInput &in, const Track &t)
{
    fmp4::TrakHeader h;
    h.video = t.video;
    h.track_id = t.id;
    h.unix_time = in.unix_time;
    h.time_scale = t.time_scale;
    h.media_duration = static_cast<uint32_t>(t.duration());
    // the movie's time scale is the video's
    h.movie_duration = static_cast<uint32_t>(t.duration() * in.video->time_scale / t.time_scale);
    h.width = in.width;
    h.height = in.height;
    fmp4::open_trak(w, h);
    if (t.video)
        fmp4::write_video_sample_entry(w, {in.codec, in.width, in.height, in.vps, in.sps, in.pps});
    else
        fmp4::write_audio_sample_entry(w, {FMP4_CODEC_OPUS, t.time_scale});
    w.close(); // stsd
    sample_tables(w, t);
    fmp4::close_trak(w);
}

} // namespace

uint64_t Track::duration() const
{
    uint64_t d = 0;
    for (const Sample &s : samples)
        d += s.duration;
    return d;
}

size_t moov_capacity(const MoovInput &in)
{
    size_t sets = 0;
    for (const fmp4::ParamSetList *l : {in.vps, in.sps, in.pps})
        sets += l ? l->bytes().size() : 0;
    // per sample at most: stts 8, stsz 4, co64 8, stss 4
    return 2048 + sets + 24 * (in.audio->samples.size() + in.video->samples.size());
}

void build_moov(BoxWriter &w, const MoovInput &in)
{
    w.open("moov");
    fmp4::write_mvhd(w, in.unix_time, in.video->time_scale, static_cast<uint32_t>(in.video->duration()));
    w.open_full("iods", 0, 0);
    w.u32(0x10808080);
    w.u32(0x07004FFF);
    w.u32(0xFF02FFFF);
    w.close();
    trak(w, in, *in.audio);
    trak(w, in, *in.video);
    w.close();
}

} // namespace mp4
