// Frames of the loaded period. Every sample was placed inside the period's window when the period
// was loaded, so a read only has to check the lengths inside the sample: each 4-byte NAL length
// becomes a start code and must end within the sample.
#include <stdlib.h>
#include <string.h>

#include "common/utils/ko_log.h"
#include "fmp4_box.h"
#include "fmp4_demuxer.h"
#include "fmp4_demuxer_state.h"
#include "fmp4_walk.h"

namespace fmp4 {

namespace {

constexpr const char *kModule = "fmp4";
constexpr uint32_t kMaxFrameSize = 8 * 1024 * 1024;
constexpr size_t kMaxParamSetBuffer = 8191;
constexpr uint32_t kMaxSeekSeconds = 100;

uint64_t to_ms(uint64_t ticks, uint32_t scale) { return scale ? ticks * 1000 / scale : 0; }

void append_param_set(std::vector<uint8_t> *out, const ParamSetList &list)
{
    size_t n;
    const uint8_t *nal = list.first(&n);
    if (!nal)
        return;
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    out->insert(out->end(), kStart, kStart + 4);
    out->insert(out->end(), nal, nal + n);
}

// Replaces every 4-byte length of the sample by a start code; false when one runs past the sample.
// Sets *irap when a NAL unit is an IDR (H.264) or any IRAP picture (H.265).
bool lengths_to_start_codes(uint8_t *p, size_t size, VideoCodec codec, bool *irap)
{
    *irap = false;
    size_t at = 0;
    while (at < size) {
        if (size - at < 5)
            return false;
        const uint32_t n = be32(p + at);
        if (n == 0 || n > size - at - 4)
            return false;
        p[at] = p[at + 1] = p[at + 2] = 0;
        p[at + 3] = 1;
        const Nal nal{p + at + 4, n};
        if (nal_role(codec, nal) == NalRole::key_slice)
            *irap = true;
        at += 4 + n;
    }
    return true;
}

// Index of the first sample whose decode time reaches `t`, or the sample count.
uint32_t sample_at_time(const TrackTable &t, uint64_t time)
{
    uint32_t lo = 0, hi = static_cast<uint32_t>(t.samples.size());
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (t.samples[mid].decode_time < time)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The audio sample at the video cursor's time; false when there is none.
bool align_audio(fmp4_demuxer_t *h)
{
    TrackTable &v = h->tables[0];
    TrackTable &a = h->tables[1];
    if (a.samples.empty() || !h->tracks[0].timescale)
        return false;
    const uint64_t vt = v.cursor < v.samples.size() ? v.samples[v.cursor].decode_time
                                                    : (v.samples.empty() ? 0 : v.samples.back().decode_time);
    const uint64_t at = vt * h->tracks[1].timescale / h->tracks[0].timescale;
    a.cursor = sample_at_time(a, at);
    return a.cursor < a.samples.size();
}

uint8_t *read_sample(fmp4_demuxer_t *h, const SampleRef &s, size_t front, const char *what)
{
    uint8_t *buf = static_cast<uint8_t *>(malloc(front + s.size + 1));
    if (!buf) {
        KO_LOGE(kModule, "malloc %s frame fail", what);
        return nullptr;
    }
    if (!read_at(h->fp, s.pos, buf + front, s.size)) {
        KO_LOGE(kModule, "read %s frame fail", what);
        free(buf);
        return nullptr;
    }
    return buf;
}

} // namespace

bool build_tables(fmp4_demuxer_t *h, const fmp4_index_entry_t &e)
{
    const uint64_t begin = e.position;
    const uint64_t end = static_cast<uint64_t>(e.position) + e.length;
    for (int track = 0; track < 2; track++) {
        TrackTable &t = h->tables[track];
        t.clear();
        for (const FragmentInfo &f : h->period.fragments) {
            uint64_t pos = f.data_pos[track];
            uint64_t time = f.base[track];
            for (size_t i = 0; i < f.samples[track].size(); i++) {
                const MoofSample &m = f.samples[track][i];
                if (m.size == 0 || m.size > kMaxFrameSize || pos < begin || pos > end || m.size > end - pos) {
                    KO_LOGE(kModule, "sample %zu of %u bytes at %llu lies outside its period [%llu, %llu)",
                            t.samples.size() + 1, m.size, static_cast<unsigned long long>(pos),
                            static_cast<unsigned long long>(begin), static_cast<unsigned long long>(end));
                    return false;
                }
                const bool sync = track == 1 || (i == 0 && !(f.first_flags[track] & 0x00010000));
                if (sync && track == 0)
                    t.keys.push_back(static_cast<uint32_t>(t.samples.size()));
                t.samples.push_back({pos, time, m.size, m.duration, sync});
                pos += m.size;
                time += m.duration;
            }
        }
    }
    return true;
}

bool build_param_sets(fmp4_demuxer_t *h)
{
    const TrackInfo &v = h->tracks[0];
    h->param_sets.clear();
    if (v.codec == FMP4_CODEC_H265)
        append_param_set(&h->param_sets, v.vps);
    append_param_set(&h->param_sets, v.sps);
    append_param_set(&h->param_sets, v.pps);
    if (h->param_sets.size() > kMaxParamSetBuffer) {
        KO_LOGE(kModule, "parameter sets of %zu bytes do not fit the %zu-byte buffer", h->param_sets.size(),
                kMaxParamSetBuffer);
        return false;
    }
    return true;
}

} // namespace fmp4

using namespace fmp4;

extern "C" int fmp4_demuxer_video_info(fmp4_demuxer_t *h, fmp4_video_info_t *out)
{
    if (!h || !out)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    const TrackInfo &v = h->tracks[0];
    const TrackTable &t = h->tables[0];
    uint64_t ticks = 0;
    for (const SampleRef &s : t.samples)
        ticks += s.duration;
    out->codec = v.codec == FMP4_CODEC_H264 ? 4 : 5;
    out->width = v.width;
    out->height = v.height;
    out->time_scale = v.timescale;
    out->samples = static_cast<uint32_t>(t.samples.size());
    out->duration_s = v.timescale ? static_cast<uint32_t>((ticks + v.timescale - 1) / v.timescale) : 0;
    out->keys = static_cast<uint32_t>(t.keys.size());
    out->start_ms = t.samples.empty() ? 0 : to_ms(t.samples[0].decode_time, v.timescale);
    return 0;
}

extern "C" int fmp4_demuxer_audio_info(fmp4_demuxer_t *h, fmp4_audio_info_t *out)
{
    if (!h || !out)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    const TrackInfo &a = h->tracks[1];
    out->codec = a.codec == FMP4_CODEC_ALAW || a.codec == FMP4_CODEC_OPUS ? a.codec : 0;
    out->time_scale = a.timescale;
    out->samples = static_cast<uint32_t>(h->tables[1].samples.size());
    return 0;
}

extern "C" int fmp4_demuxer_read_video(fmp4_demuxer_t *h, fmp4_frame_t *frame, uint32_t *duration_ms)
{
    if (!h || !frame)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    TrackTable &t = h->tables[0];
    if (t.samples.size() < 2) {
        KO_LOGE(kModule, "video total frame is too small");
        return -1;
    }
    if (t.cursor >= t.samples.size()) {
        KO_LOGD(kModule, "video frame read over");
        return 1;
    }
    const SampleRef &s = t.samples[t.cursor];
    const size_t front = h->param_sets.size();
    uint8_t *buf = read_sample(h, s, front, "video");
    if (!buf)
        return -1;
    const VideoCodec codec = h->tracks[0].codec == FMP4_CODEC_H264 ? VideoCodec::h264 : VideoCodec::h265;
    bool irap = false;
    if (!lengths_to_start_codes(buf + front, s.size, codec, &irap)) {
        KO_LOGE(kModule, "video sample %u: a NAL length runs past its %u bytes", t.cursor + 1, s.size);
        free(buf);
        return -1;
    }
    const bool key = s.sync || irap;
    size_t size = s.size;
    if (key && front) {
        memcpy(buf, h->param_sets.data(), front);
        size += front;
    } else if (front) {
        memmove(buf, buf + front, s.size);
    }
    frame->sample = t.cursor + 1;
    frame->data = buf;
    frame->size = static_cast<uint32_t>(size);
    frame->kind = key ? FMP4_FRAME_KEY : FMP4_FRAME_OTHER;
    frame->timestamp_ms = to_ms(s.decode_time, h->tracks[0].timescale);
    if (duration_ms)
        *duration_ms = static_cast<uint32_t>(to_ms(s.duration, h->tracks[0].timescale));
    t.cursor++;
    return 0;
}

extern "C" int fmp4_demuxer_read_audio(fmp4_demuxer_t *h, fmp4_frame_t *frame, uint32_t *duration_ms)
{
    if (!h || !frame)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    TrackTable &t = h->tables[1];
    if (t.samples.size() < 2) {
        KO_LOGE(kModule, "audio total frame is too small");
        return -1;
    }
    if (t.cursor >= t.samples.size()) {
        KO_LOGD(kModule, "audio frame read over");
        return 1;
    }
    const SampleRef &s = t.samples[t.cursor];
    const int codec = h->tracks[1].codec;
    frame->sample = t.cursor + 1;
    frame->data = nullptr;
    frame->size = 0;
    if (codec == FMP4_CODEC_ALAW || codec == FMP4_CODEC_OPUS) {
        frame->data = read_sample(h, s, 0, "audio");
        if (!frame->data)
            return -1;
        frame->size = s.size;
    }
    frame->kind = FMP4_FRAME_KEY;
    frame->timestamp_ms = to_ms(s.decode_time, h->tracks[1].timescale);
    if (duration_ms)
        *duration_ms = static_cast<uint32_t>(to_ms(s.duration, h->tracks[1].timescale));
    t.cursor++;
    return 0;
}

extern "C" int fmp4_demuxer_seek(fmp4_demuxer_t *h, uint32_t seconds)
{
    if (!h)
        return -1;
    if (seconds > kMaxSeekSeconds) {
        KO_LOGE(kModule, "invalid mp4 seek offset");
        return -1;
    }
    std::lock_guard<std::mutex> guard(h->lock);
    TrackTable &v = h->tables[0];
    if (v.samples.empty())
        return -1;
    const uint64_t target = v.samples[0].decode_time + static_cast<uint64_t>(seconds) * h->tracks[0].timescale;
    uint32_t i = sample_at_time(v, target);
    if (i >= v.samples.size())
        i = static_cast<uint32_t>(v.samples.size() - 1);
    while (i > 0 && !v.samples[i].sync)
        i--;
    KO_LOGD(kModule, "seek I frame ok, index %u", i + 1);
    v.cursor = i;
    if (!align_audio(h)) {
        KO_LOGE(kModule, "aduio get_sampleid_from_time offset:[%u]", seconds);
        return -1;
    }
    KO_LOGD(kModule, "mp4 demuxer seek offset %u, sample_v %u sample_a %u", seconds, v.cursor + 1,
            h->tables[1].cursor + 1);
    return 0;
}

extern "C" int fmp4_demuxer_sync_video_audio(fmp4_demuxer_t *h)
{
    if (!h)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    align_audio(h);
    return 0;
}

extern "C" int fmp4_seek_I_frame_playback(fmp4_demuxer_t *h)
{
    if (!h)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    TrackTable &v = h->tables[0];
    if (!h->tracks[0].present || v.samples.empty())
        return -1;
    for (uint32_t k : v.keys) {
        if (k >= v.cursor) {
            v.cursor = k;
            return 0;
        }
    }
    return 1;
}
