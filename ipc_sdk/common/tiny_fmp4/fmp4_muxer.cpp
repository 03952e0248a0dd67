// The writer's state machine. Formats come from fmp4_moov, fmp4_moof and fmp4_index; the positioned
// writes from fmp4_output. Two rules keep every cut recoverable:
//  - nothing is written behind the write position before a tail "mdat" header covers it, so boxes
//    of the file's previous use are never walkable again;
//  - a period's entry is durable (fdatasync) before the recorder commits its index records.
#include "fmp4_muxer.h"

#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "app/record/sd_file.h"
#include "app/record/sd_io.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "fmp4_box.h"
#include "fmp4_demuxer_internal.h"
#include "fmp4_moof.h"
#include "fmp4_moov.h"
#include "fmp4_nal.h"
#include "fmp4_output.h"

using namespace fmp4;

// The recorder's side of closing a period, called by name. Referred to weakly: a program that links
// the writer without the recorder (a tool, the writer's own tests) closes its periods without them,
// and the reference alone does not pull the recorder and its hooks out of the archive.
extern "C" int fmp4_muxer_fragment_update_index_callback(uint8_t channel, uint32_t *start_s, uint8_t *duration,
                                                         uint8_t *motion) __attribute__((weak));
extern "C" int fmp4_muxer_fragment_finish_callback(void) __attribute__((weak));

namespace {

constexpr const char *kModule = "fmp4";
constexpr uint64_t kMaxFrameGapUs = 1000000;
constexpr uint64_t kGapReplacementUs = 50000;
constexpr uint32_t kPeriodSeconds = 59;
constexpr size_t kMinAudioBufferPerSecond = 64 * 1024;
constexpr size_t kMaxMoovSize = 64 * 1024;

std::mutex g_callbacks_lock;
bool g_callbacks_replaced = false;
fmp4_muxer_callbacks_t g_callbacks{};

struct Track {
    uint32_t timescale = 0;
    uint64_t decode_time = 0;
    uint64_t frag_duration = 0;
    std::vector<MoofSample> samples;
};

} // namespace

struct fmp4_muxer {
    fmp4_muxer_config_t cfg{};
    VideoCodec codec = VideoCodec::h265;
    Output out;
    uint64_t wpos = 0;
    uint64_t frag_start = 0;
    uint64_t data_start = 0;
    bool frag_open = false;
    bool frag_continued = false; // the open fragment carries on a GOP: its first sample is not sync
    bool index_open = false;
    fmp4_index_entry_t index{};
    uint64_t period_ticks = 0;
    uint32_t sequence = 1;
    bool need_vps = false, need_sps = true, need_pps = true;
    bool waiting_key = true, header_needed = true, moov_needed = true;
    ParamSetList vps, sps, pps;
    Track video, audio;
    uint32_t audio_duration = 0;
    std::vector<uint8_t> audio_buf;
    size_t audio_fill = 0;
    uint64_t prev_ts_us = 0;
    uint64_t max_gop_bytes = 0;
    uint64_t moof_reserve = 0;
    size_t room_samples = 0;
    std::vector<Nal> nals;
    std::vector<uint8_t> moof_buf;
    std::mutex lock;
};

namespace {

bool ready(const fmp4_muxer *h) { return !h->need_vps && !h->need_sps && !h->need_pps; }

size_t fragment_samples(const fmp4_muxer *h) { return h->video.samples.size() + h->audio.samples.size(); }

int almost_full(fmp4_muxer *h)
{
    KO_LOGW(kModule, "fmp4 file is almost full, filepath:%s!", h->cfg.path);
    h->waiting_key = true;
    return FMP4_FILE_FULL;
}

// Sizes derived from the configuration. GOP seconds round up, so a GOP of fps frames has a whole
// second of room, and the moof reserve is exactly the moof of a GOP's samples and the mdat header.
void derive_sizes(fmp4_muxer *h)
{
    const fmp4_muxer_config_t &c = h->cfg;
    const uint64_t gop_s = (static_cast<uint64_t>(c.gop) + c.fps - 1) / c.fps;
    const uint64_t bitrate = static_cast<uint64_t>(std::max(0, c.video_bitrate)) + std::max(0, c.audio_bitrate);
    h->max_gop_bytes = gop_s * (bitrate * 1024 / 8) * 3;
    h->room_samples = static_cast<size_t>(gop_s * (static_cast<uint64_t>(c.fps) + std::max(0, c.audio_fps)));
    h->moof_reserve = moof_size(h->room_samples) + 8;
    const uint64_t audio_bytes = gop_s * (static_cast<uint64_t>(std::max(0, c.audio_bitrate)) * 1024 / 8) * 3 / 2;
    h->audio_buf.resize(static_cast<size_t>(std::max<uint64_t>(audio_bytes, gop_s * kMinAudioBufferPerSecond)));
    h->moof_buf.resize(static_cast<size_t>(h->moof_reserve));
    const uint32_t per_frame_us = c.audio_fps == 1 ? 50000u : 1000000u / static_cast<uint32_t>(std::max(1, c.audio_fps));
    h->audio_duration = static_cast<uint32_t>(c.audio_time_scale / 1000) * per_frame_us / 1000;
}

// Resets the open fragment's state without writing.
void drop_fragment(fmp4_muxer *h)
{
    h->video.samples.clear();
    h->audio.samples.clear();
    h->video.frag_duration = 0;
    h->audio.frag_duration = 0;
    h->audio_fill = 0;
    h->frag_open = false;
}

int write_fragment(fmp4_muxer *h)
{
    const size_t total = fragment_samples(h);
    const size_t msize = moof_size(total);
    if (msize + 8 > h->moof_reserve) {
        KO_LOGE(kModule, "moof box size %zu is invalid, max moof box size:%llu, please check the gop param", msize,
                static_cast<unsigned long long>(h->moof_reserve));
        return -1;
    }
    const uint64_t audio_pos = h->wpos;
    int rc = h->audio_fill ? h->out.write_at(audio_pos, h->audio_buf.data(), h->audio_fill) : 0;
    if (rc != 0)
        return rc;
    const uint64_t end = audio_pos + h->audio_fill;
    if ((rc = h->out.put_tail(end)) != 0)
        return rc;
    const MoofTrack video{1, h->video.decode_time, static_cast<uint32_t>(h->data_start - h->frag_start),
                          h->frag_continued ? kSampleNonSync : kSampleSync, &h->video.samples};
    const MoofTrack audio{2, h->audio.decode_time, static_cast<uint32_t>(audio_pos - h->frag_start), kSampleNonSync,
                          &h->audio.samples};
    size_t written = 0;
    build_moof(h->sequence, video, audio, h->moof_buf.data(), h->moof_buf.size(), &written);
    if (written != msize)
        return -1;
    uint8_t mdat[8];
    put_box_header(mdat, static_cast<uint32_t>(end - (h->frag_start + msize)), "mdat");
    rc = h->out.write_at(h->frag_start + 8, h->moof_buf.data() + 8, msize - 8);
    if (rc == 0)
        rc = h->out.write_at(h->frag_start + msize, mdat, sizeof mdat);
    if (rc == 0)
        rc = h->out.write_at(h->frag_start, h->moof_buf.data(), 8);
    if (rc != 0)
        return rc;
    h->wpos = end;
    h->period_ticks += h->video.frag_duration;
    h->video.decode_time += h->video.frag_duration;
    h->audio.decode_time += h->audio.frag_duration;
    h->sequence++;
    return 0;
}

// Closes the open fragment. When that fails the fragment is given up: the write position goes back to
// its start, whose tail header hides everything written for it.
int finish_fragment(fmp4_muxer *h)
{
    if (!h->frag_open)
        return 0;
    int rc = fragment_samples(h) ? write_fragment(h) : 0;
    if (rc != 0 || fragment_samples(h) == 0) {
        if (rc != 0)
            KO_LOGE(kModule, "_mp4_muxer_fragment_finish failed, abandon");
        h->wpos = h->frag_start;
        if (!h->out.card_gone() && h->out.put_tail(h->wpos) != 0) {
            KO_LOGE(kModule, "fseek failed, fatal error!");
            h->waiting_key = true;
            rc = -96;
        }
    }
    drop_fragment(h);
    return rc;
}

int start_fragment(fmp4_muxer *h, bool continued)
{
    if (h->wpos + h->moof_reserve + 8 > h->out.size())
        return almost_full(h);
    const int rc = h->out.put_tail(h->wpos);
    if (rc != 0)
        return rc;
    h->frag_start = h->wpos;
    h->wpos += h->moof_reserve;
    h->data_start = h->wpos;
    h->frag_open = true;
    h->frag_continued = continued;
    h->waiting_key = false;
    return 0;
}

// A GOP longer than the fragment's room goes on in a fresh fragment.
int continue_fragment(fmp4_muxer *h)
{
    const int rc = finish_fragment(h);
    if (rc != 0) {
        h->waiting_key = true;
        return h->out.card_gone() ? rc : 0;
    }
    return start_fragment(h, true);
}

// The recorder's, unless a table was set in their place.
fmp4_muxer_callbacks_t period_callbacks()
{
    std::lock_guard<std::mutex> guard(g_callbacks_lock);
    if (g_callbacks_replaced)
        return g_callbacks;
    return {fmp4_muxer_fragment_update_index_callback, fmp4_muxer_fragment_finish_callback};
}

int close_period(fmp4_muxer *h)
{
    if (!h->index_open) {
        KO_LOGD(kModule, "index box not exist, skip ---");
        return 0;
    }
    if (h->period_ticks == 0) {
        KO_LOGD(kModule, "frame data does not exist, skip ---");
        return 0;
    }
    fmp4_index_entry_t &e = h->index;
    e.duration = static_cast<uint8_t>(std::min<uint64_t>(255, h->period_ticks / h->cfg.video_time_scale));
    e.length = static_cast<uint32_t>(h->wpos - e.position);
    const fmp4_muxer_callbacks_t cb = period_callbacks();
    if (cb.update_index)
        cb.update_index(e.channel, &e.start, &e.duration, &e.motion);
    uint8_t bytes[FMP4_INDEX_ENTRY_SIZE];
    encode_index_entry(e, bytes);
    int rc = h->out.write_at(e.position + kIndexEntryOffset, bytes, sizeof bytes);
    if (rc == 0)
        rc = h->out.sync();
    if (rc != 0) {
        // The period is given up: closing it again would ask for its start a second time and could
        // commit an entry the recorder no longer knows.
        KO_LOGE(kModule, "index entry of period %u not written: %d", e.start, rc);
        h->index_open = false;
        h->period_ticks = 0;
        return rc;
    }
    h->period_ticks = 0;
    if (cb.finish)
        cb.finish();
    KO_LOGI(kModule, "write fragment success, timestamp:%u, duration:%u, motion flag:%u", e.start, e.duration,
            e.motion);
    return 0;
}

int write_moov(fmp4_muxer *h)
{
    std::vector<uint8_t> buf(kMaxMoovSize);
    BoxWriter w(buf.data(), buf.size());
    MoovParams p{};
    p.video = {h->codec, static_cast<uint16_t>(h->cfg.width), static_cast<uint16_t>(h->cfg.height), &h->vps, &h->sps,
               &h->pps};
    p.audio = {h->cfg.audio_codec, static_cast<uint32_t>(h->cfg.audio_time_scale)};
    p.video_time_scale = static_cast<uint32_t>(h->cfg.video_time_scale);
    p.audio_time_scale = static_cast<uint32_t>(h->cfg.audio_time_scale);
    p.audio_default_duration = h->audio_duration;
    p.unix_time = vexa_time_get_ms() / 1000;
    build_moov(w, p);
    if (!w.ok() || h->wpos + w.size() + 8 > h->out.size() || h->out.put_box(h->wpos, buf.data(), w.size()) != 0) {
        KO_LOGE(kModule, "write moov box failed");
        return -96;
    }
    h->wpos += w.size();
    h->moov_needed = false;
    return 0;
}

int open_index_box(fmp4_muxer *h, const ko_av_frame *frame)
{
    int rc = close_period(h);
    if (rc != 0)
        return rc == SD_ERR_FULL || rc == SD_ERR_READ_ONLY ? rc : -96; // a card failure keeps its code
    if (h->wpos + FMP4_INDEX_BOX_SIZE + 8 > h->out.size())
        return almost_full(h);
    fmp4_index_entry_t e{};
    e.channel = h->cfg.channel;
    e.start = static_cast<uint32_t>(frame->timestamp_s);
    e.position = static_cast<uint32_t>(h->wpos);
    uint8_t box[FMP4_INDEX_BOX_SIZE];
    build_index_box(e, box);
    if ((rc = h->out.put_box(h->wpos, box, sizeof box)) != 0) {
        KO_LOGE(kModule, "write index box failed: %d", rc);
        return rc == SD_ERR_FULL || rc == SD_ERR_READ_ONLY ? rc : -96;
    }
    h->wpos += FMP4_INDEX_BOX_SIZE;
    h->index = e;
    h->index_open = true;
    h->period_ticks = 0;
    h->audio.decode_time = h->video.decode_time * h->audio.timescale / h->video.timescale;
    h->waiting_key = true;
    return FMP4_NEW_INDEX;
}

int key_frame_steps(fmp4_muxer *h, const ko_av_frame *frame)
{
    int rc;
    if (h->moov_needed && (rc = write_moov(h)) != 0)
        return rc;
    if (h->frag_open && (rc = finish_fragment(h)) != 0 && (rc == -96 || h->out.card_gone()))
        return rc; // a card failure is reported with its own code, once
    if (!h->index_open || frame->timestamp_s > static_cast<uint64_t>(h->index.start) + kPeriodSeconds)
        return open_index_box(h, frame);
    return start_fragment(h, false);
}

uint32_t video_ticks(fmp4_muxer *h, uint64_t ts_us)
{
    uint64_t delta = ts_us > h->prev_ts_us ? ts_us - h->prev_ts_us : h->prev_ts_us - ts_us;
    // A frame with the stamp of the one before (a stalled encoder) would share its decode time, which
    // readers refuse: like a long gap, it counts as one ordinary frame interval.
    if (delta >= kMaxFrameGapUs || delta == 0)
        delta = kGapReplacementUs;
    return static_cast<uint32_t>(delta * static_cast<uint64_t>(h->cfg.video_time_scale) / 1000000);
}

// Cuts the access unit into NAL units: parameter sets are kept for the sample entry, an access unit
// delimiter is dropped, and the rest is the one sample of the frame. Sets *key for an IDR or IRAP.
size_t scan_access_unit(fmp4_muxer *h, const uint8_t *data, size_t size, bool *key)
{
    h->nals.clear();
    *key = false;
    size_t sample = 0;
    size_t pos = 0;
    Nal n;
    while (next_nal(data, size, &pos, &n)) {
        switch (nal_role(h->codec, n)) {
        case NalRole::vps: h->vps.add(n.data, n.size); h->need_vps = false; break;
        case NalRole::sps: h->sps.add(n.data, n.size); h->need_sps = false; break;
        case NalRole::pps: h->pps.add(n.data, n.size); h->need_pps = false; break;
        case NalRole::aud: break;
        case NalRole::key_slice: *key = true; [[fallthrough]];
        case NalRole::other:
            h->nals.push_back(n);
            sample += 4 + n.size;
            break;
        }
    }
    return sample;
}

int write_video_sample(fmp4_muxer *h, size_t size, uint32_t duration)
{
    uint64_t at = h->wpos;
    for (const Nal &n : h->nals) {
        uint8_t len[4];
        put_be32(len, static_cast<uint32_t>(n.size));
        int rc = h->out.write_at(at, len, sizeof len);
        if (rc == 0)
            rc = h->out.write_at(at + 4, n.data, n.size);
        if (rc != 0) {
            if (h->out.card_gone())
                KO_LOGE(kModule, "sdcard exit, video sample of %zu bytes not written", size);
            return rc;
        }
        at += 4 + n.size;
    }
    h->wpos = at;
    h->video.samples.push_back({duration, static_cast<uint32_t>(size)});
    h->video.frag_duration += duration;
    return 0;
}

void start_over(fmp4_muxer *h)
{
    h->wpos = 0;
    h->header_needed = true;
    h->moov_needed = true;
}

enum class Resume { continued, start_over, refused };

// Continues behind the last period that holds video. A file without one is written from the start; one
// the reader cannot open, or whose tracks are not the configured ones (the stream was switched to
// another codec), is not taken: writing over it would lose the periods the indexes list, and going on
// with it would put frames of one codec in a track of another.
Resume resume(fmp4_muxer *h)
{
    fmp4_demuxer_t *d = fmp4_demuxer_open(h->cfg.path);
    if (!d) {
        KO_LOGW(kModule, "mp4_demuxer_open failed! %s", h->cfg.path);
        return Resume::refused;
    }
    const TrackInfo *v = demuxer_track(d, 0);
    const TrackInfo *a = demuxer_track(d, 1);
    const int codec = h->codec == VideoCodec::h264 ? FMP4_CODEC_H264 : FMP4_CODEC_H265;
    if (v->codec != codec || a->codec != h->cfg.audio_codec ||
        v->timescale != static_cast<uint32_t>(h->cfg.video_time_scale) ||
        a->timescale != static_cast<uint32_t>(h->cfg.audio_time_scale)) {
        KO_LOGW(kModule, "%s holds other tracks (codec %d/%d, time scale %u/%u); not resumed", h->cfg.path, v->codec,
                a->codec, v->timescale, a->timescale);
        fmp4_demuxer_close(d);
        return Resume::refused;
    }
    const std::vector<fmp4_index_entry_t> &entries = demuxer_entries(d);
    bool found = false;
    for (size_t i = entries.size(); i-- > 0 && !found;) {
        const fmp4_index_entry_t &e = entries[i];
        if (e.length == 0)
            continue;
        PeriodInfo p;
        if (!demuxer_load_period(d, i, &p)) {
            KO_LOGW(kModule, "fragment timestamp:%u parse failed, parse the previous one!", e.start);
            continue;
        }
        if (p.samples(0) == 0) {
            KO_LOGW(kModule, "fragment timestamp:%u is empty, seek to previous fragment", e.start);
            continue;
        }
        h->wpos = static_cast<uint64_t>(e.position) + e.length;
        h->video.decode_time = p.end_time(0);
        h->audio.decode_time = p.samples(1) ? p.end_time(1)
                                            : h->video.decode_time * h->audio.timescale / h->video.timescale;
        found = true;
    }
    if (found) {
        for (const auto &[from, to, need] : {std::tuple{&v->vps, &h->vps, &h->need_vps},
                                             std::tuple{&v->sps, &h->sps, &h->need_sps},
                                             std::tuple{&v->pps, &h->pps, &h->need_pps}}) {
            *to = *from;
            if (from->count())
                *need = false;
        }
        h->header_needed = h->moov_needed = false;
    } else {
        KO_LOGW(kModule, "first fragment is empty and no valid data exist, overwrite this file!");
    }
    fmp4_demuxer_close(d);
    return found ? Resume::continued : Resume::start_over;
}

bool config_ok(const fmp4_muxer_config_t *c)
{
    if (!c) {
        KO_LOGE(kModule, "arg is empty.");
        return false;
    }
    if (c->width <= 0 || c->height <= 0 || c->width > 65535 || c->height > 65535) {
        KO_LOGE(kModule, "The width or height is empty.");
        return false;
    }
    if (c->video_time_scale <= 0 || c->audio_time_scale <= 0) {
        KO_LOGE(kModule, "the video_time_scale or audio_time_scale is wrong");
        return false;
    }
    if (c->video_codec != FMP4_CODEC_H264 && c->video_codec != FMP4_CODEC_H265) {
        KO_LOGE(kModule, "Unknow codec type. %d [%d,%d]\n", c->video_codec, 4, 5);
        return false;
    }
    if (c->audio_codec != FMP4_CODEC_ALAW && c->audio_codec != FMP4_CODEC_OPUS) {
        KO_LOGE(kModule, "audio codec %d has no sample entry", c->audio_codec);
        return false;
    }
    if (c->fps <= 0 || c->gop <= 0 || c->audio_fps < 0) {
        KO_LOGE(kModule, "the video_fps or gop is wrong");
        return false;
    }
    const size_t len = strnlen(c->path, sizeof c->path);
    if (len == 0 || len >= sizeof c->path) {
        KO_LOGE(kModule, "filepath not valid.");
        return false;
    }
    return true;
}

} // namespace

extern "C" void fmp4_muxer_set_callbacks(const fmp4_muxer_callbacks_t *callbacks)
{
    std::lock_guard<std::mutex> guard(g_callbacks_lock);
    g_callbacks_replaced = callbacks != nullptr;
    g_callbacks = callbacks ? *callbacks : fmp4_muxer_callbacks_t{};
}

extern "C" fmp4_muxer_t *fmp4_muxer_init(const fmp4_muxer_config_t *config, int cover)
{
    if (!config_ok(config))
        return nullptr;
    auto h = std::make_unique<fmp4_muxer>();
    h->cfg = *config;
    h->codec = config->video_codec == FMP4_CODEC_H264 ? VideoCodec::h264 : VideoCodec::h265;
    h->need_vps = h->codec == VideoCodec::h265;
    h->video.timescale = static_cast<uint32_t>(config->video_time_scale);
    h->audio.timescale = static_cast<uint32_t>(config->audio_time_scale);
    derive_sizes(h.get());
    struct stat st;
    if (stat(h->cfg.path, &st) != 0) {
        KO_LOGE(kModule, "mp4 file:%s not found!\n", h->cfg.path);
        return nullptr;
    }
    const Resume r = cover != 0 ? Resume::start_over : resume(h.get());
    if (r == Resume::refused)
        return nullptr;
    if (r == Resume::start_over)
        start_over(h.get());
    int err = 0;
    FILE *fp = _open_file(h->cfg.path, "rb+", &err);
    if (!fp) {
        KO_LOGE(kModule, "error: can't open output file %s", h->cfg.path);
        return nullptr;
    }
    const int64_t size = _get_capacity(fp);
    if (size < static_cast<int64_t>(kHeadSize + FMP4_INDEX_BOX_SIZE + 16)) {
        KO_LOGE(kModule, "mp4_muxer_init seek end failed!");
        _close_file(fp);
        return nullptr;
    }
    h->out.attach(fp, static_cast<uint64_t>(size));
    std::lock_guard<std::mutex> guard(h->lock);
    if (h->header_needed) {
        uint8_t head[kHeadSize];
        build_head(head);
        if (h->out.put_tail(kHeadSize) != 0 || h->out.write_at(0, head, sizeof head) != 0) {
            KO_LOGE(kModule, "write ftyp box failed!");
            KO_LOGE(kModule, "mp4_muxer_open fail");
            h->out.close();
            return nullptr;
        }
        h->wpos = kHeadSize;
        h->header_needed = false;
    } else if (h->wpos > h->out.size() - 8 || h->out.put_tail(h->wpos) != 0) {
        KO_LOGE(kModule, "mp4_muxer_init seek write position failed!");
        h->out.close();
        return nullptr;
    }
    KO_LOGD(kModule, "muxer->video_track_id %d  muxer->audio_track_id %d", 0, 1);
    return h.release();
}

extern "C" int fmp4_muxer_update_video(fmp4_muxer_t *h, const ko_av_frame *frame)
{
    if (!h || !frame || !frame->data || frame->size == 0)
        return -100;
    std::lock_guard<std::mutex> guard(h->lock);
    if (h->out.card_gone())
        return -1;
    bool key = false;
    const size_t size = scan_access_unit(h, static_cast<const uint8_t *>(frame->data), frame->size, &key);
    if (h->nals.empty())
        return 0; // parameter sets or a delimiter only
    if (key && !ready(h)) {
        KO_LOGE(kModule, " vps[%d] sps[%d] pps[%d] idr[%d] Not ready before nalu 0x%x\n", !h->need_vps, !h->need_sps,
                !h->need_pps, 1, nal_type(h->codec, h->nals.front()));
        return -98;
    }
    if (!key && (!ready(h) || h->waiting_key)) {
        h->prev_ts_us = frame->timestamp_us;
        return 0;
    }
    int rc = 0;
    if (key) {
        if (h->wpos + h->max_gop_bytes >= h->out.size())
            return almost_full(h);
        if ((rc = key_frame_steps(h, frame)) != 0)
            return rc;
    } else if (fragment_samples(h) + 1 > h->room_samples && (rc = continue_fragment(h)) != 0) {
        return rc;
    }
    if (!h->frag_open) {
        h->prev_ts_us = frame->timestamp_us;
        return 0;
    }
    if (h->wpos + size + h->audio_fill + 8 > h->out.size())
        return almost_full(h);
    if ((rc = write_video_sample(h, size, video_ticks(h, frame->timestamp_us))) != 0)
        return rc;
    h->prev_ts_us = frame->timestamp_us;
    return 0;
}

extern "C" int fmp4_muxer_update_audio(fmp4_muxer_t *h, const ko_av_frame *frame)
{
    if (!h || !frame || !frame->data || frame->size == 0)
        return -100;
    std::lock_guard<std::mutex> guard(h->lock);
    if (h->out.card_gone())
        return -1;
    if (h->moov_needed) {
        KO_LOGD(kModule, "fmp4 muxer need moov box");
        return -99;
    }
    if (h->wpos >= h->out.size())
        return almost_full(h);
    if (h->cfg.audio_fps == 0) {
        KO_LOGE(kModule, "audio fps:%u is invalid", 0u);
        return -100;
    }
    if (!h->frag_open)
        return 0; // no fragment to carry it until the next key frame
    if (frame->size > h->audio_buf.size()) {
        KO_LOGE(kModule, "audio buffer is full, maybe need check the audio bitrate");
        return -97;
    }
    if (fragment_samples(h) + 1 > h->room_samples || h->audio_fill + frame->size > h->audio_buf.size()) {
        const int rc = continue_fragment(h);
        if (rc != 0 || !h->frag_open)
            return rc;
    }
    if (h->wpos + h->audio_fill + frame->size + 8 > h->out.size())
        return almost_full(h);
    memcpy(h->audio_buf.data() + h->audio_fill, frame->data, frame->size);
    h->audio_fill += frame->size;
    h->audio.samples.push_back({h->audio_duration, frame->size});
    h->audio.frag_duration += h->audio_duration;
    return 0;
}

extern "C" int fmp4_muxer_finish(fmp4_muxer_t *h)
{
    if (!h)
        return -100;
    {
        std::lock_guard<std::mutex> guard(h->lock);
        if (!h->out.card_gone()) {
            if (finish_fragment(h) != 0)
                KO_LOGE(kModule, "mp4 muxer flush box failed");
            close_period(h);
            if (!h->out.card_gone() && h->out.put_tail(h->wpos) != 0)
                KO_LOGE(kModule, "write mdat box failed!");
        }
    }
    const int rc = h->out.close();
    delete h;
    return rc;
}

extern "C" int fmp4_muxer_abort(fmp4_muxer_t *h)
{
    if (!h)
        return 0;
    {
        std::lock_guard<std::mutex> guard(h->lock);
        h->out.close();
    }
    delete h;
    return 0;
}
