// Each access unit becomes one sample of its NAL units (parameter sets go to the sample entry, access
// unit delimiters are dropped). A write that fails with the stream's error indicator set means the
// card is gone: the clip is then only recorded in memory and closed, and finish reports the failure.
#include "mp4_muxer.h"

#include <string.h>

#include <memory>
#include <mutex>

#include "app/record/sd_io.h"
#include "common/tiny_fmp4/fmp4_box.h"
#include "common/tiny_fmp4/fmp4_moov.h"
#include "common/tiny_fmp4/fmp4_nal.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "mp4_track.h"

namespace {

constexpr const char *kModule = "KO MP4";
constexpr uint64_t kMdatPos = 160;
constexpr uint64_t kMaxFrameGapUs = 1000000;
constexpr uint64_t kGapReplacementUs = 50000;
constexpr int kCodecH264 = 33;
constexpr int kCodecH265 = 35;

using fmp4::Nal;
using fmp4::NalRole;
using fmp4::VideoCodec;

} // namespace

struct mp4_muxer {
    FILE *fp = nullptr;
    VideoCodec codec = VideoCodec::h264;
    uint16_t width = 0, height = 0;
    uint64_t prev_video_us = 0, prev_audio_us = 0;
    uint64_t wpos = 0;
    mp4::Track audio, video;
    fmp4::ParamSetList vps, sps, pps;
    bool need_vps = true, need_sps = true, need_pps = true, need_key = true;
    bool failed = false;      // the card went away: samples are only recorded
    bool write_error = false; // any write failed: finish reports it
    std::vector<Nal> nals;    // of the access unit being written
    std::mutex lock;
};

namespace {

bool write_all(mp4_muxer *m, const void *data, size_t n)
{
    return fwrite(data, 1, n, m->fp) == n;
}

bool write_head(mp4_muxer *m)
{
    uint8_t ftyp[24];
    fmp4::BoxWriter w(ftyp, sizeof ftyp);
    w.open("ftyp");
    w.fourcc("mp42");
    w.u32(0);
    w.fourcc("mp42");
    w.fourcc("isom");
    w.close();
    if (!write_all(m, ftyp, sizeof ftyp)) {
        KO_LOGE(kModule, "write ftyp box failed!\n");
        return false;
    }
    uint8_t free_box[136] = {};
    fmp4::put_box_header(free_box, sizeof free_box, "free");
    if (!write_all(m, free_box, 8)) {
        KO_LOGE(kModule, "write free box header failed!\n");
        return false;
    }
    if (!write_all(m, free_box + 8, 128)) {
        KO_LOGE(kModule, "write free box body failed!\n");
        return false;
    }
    uint8_t mdat[8];
    fmp4::put_box_header(mdat, 0, "mdat");
    if (!write_all(m, mdat, 4)) {
        KO_LOGE(kModule, "write mdat size failed!\n");
        return false;
    }
    if (!write_all(m, mdat + 4, 4) || fflush(m->fp) != 0) {
        KO_LOGE(kModule, "write mdat type failed!\n");
        return false;
    }
    m->wpos = kMdatPos + 8;
    return true;
}

uint64_t frame_delta_us(uint64_t ts, uint64_t *prev)
{
    uint64_t delta = ts > *prev ? ts - *prev : *prev - ts;
    *prev = ts;
    return delta >= kMaxFrameGapUs ? kGapReplacementUs : delta;
}

// Appends the sample record, then writes its bytes (one buffer, or the access unit's NAL units each
// behind its 4-byte length) unless the card has gone.
int put_sample(mp4_muxer *m, mp4::Track *t, const uint8_t *data, size_t size, uint32_t duration, bool sync)
{
    t->samples.push_back({m->wpos, static_cast<uint32_t>(size), duration ? duration : t->default_duration, sync});
    if (m->failed) {
        m->wpos += size;
        return 0;
    }
    bool ok = true;
    if (data) {
        ok = write_all(m, data, size);
    } else {
        for (const Nal &n : m->nals) {
            uint8_t len[4];
            fmp4::put_be32(len, static_cast<uint32_t>(n.size));
            if (!(ok = write_all(m, len, 4) && write_all(m, n.data, n.size)))
                break;
        }
    }
    ok = ok && fflush(m->fp) == 0;
    m->wpos += size;
    if (ok)
        return 0;
    m->write_error = true;
    if (ferror(m->fp)) {
        KO_LOGE(kModule, "sdcard exit,_mp4_muxer_put_sample mp4 write error\n");
        m->failed = true;
    }
    return -1;
}

// Sorts the access unit's NAL units: parameter sets to the lists, delimiters dropped, the rest kept
// for the sample. Sets *key when it holds an IDR or IRAP picture; returns the NAL units seen.
size_t scan_access_unit(mp4_muxer *m, const uint8_t *data, size_t size, bool *key)
{
    m->nals.clear();
    *key = false;
    size_t pos = 0, seen = 0;
    Nal n;
    while (fmp4::next_nal(data, size, &pos, &n)) {
        seen++;
        switch (fmp4::nal_role(m->codec, n)) {
        case NalRole::vps: m->vps.add(n.data, n.size); m->need_vps = false; break;
        case NalRole::sps: m->sps.add(n.data, n.size); m->need_sps = false; break;
        case NalRole::pps: m->pps.add(n.data, n.size); m->need_pps = false; break;
        case NalRole::aud: break;
        case NalRole::key_slice: *key = true; m->nals.push_back(n); break;
        case NalRole::other: m->nals.push_back(n); break;
        }
    }
    return seen;
}

int update_video(mp4_muxer *m, const ko_av_frame *f)
{
    const uint32_t duration = static_cast<uint32_t>(frame_delta_us(f->timestamp_us, &m->prev_video_us) *
                                                    m->video.time_scale / 1000000);
    bool key = false;
    const size_t seen = scan_access_unit(m, static_cast<const uint8_t *>(f->data), f->size, &key);
    const bool h265 = m->codec == VideoCodec::h265;
    if (seen == 0 && h265) {
        KO_LOGE(kModule, "write h265 frame failed\n");
        return -1;
    }
    if (m->nals.empty())
        return 0; // parameter sets or a delimiter alone
    if (key)
        m->need_key = false;
    if (h265 && (m->need_vps || m->need_sps || m->need_pps || m->need_key)) {
        KO_LOGE(kModule, " vps[%d] sps[%d] pps[%d] idr[%d] Not ready before nalu 0x%x\n", !m->need_vps,
                !m->need_sps, !m->need_pps, !m->need_key, fmp4::nal_type(m->codec, m->nals[0]));
        KO_LOGE(kModule, "write h265 frame failed\n");
        return -1;
    }
    if (!h265) {
        if (m->need_sps) {
            KO_LOGE(kModule, "write h264 frame failed\n");
            return -1;
        }
        if (m->need_pps || m->need_key)
            return 0; // nothing decodes before the first IDR
    }
    size_t size = 0;
    for (const Nal &n : m->nals)
        size += 4 + n.size;
    if (put_sample(m, &m->video, nullptr, size, duration, key) != 0) {
        KO_LOGE(kModule, h265 ? "write h265 frame failed\n" : "write h264 frame failed\n");
        return -1;
    }
    return 0;
}

int close_clip(mp4_muxer *m)
{
    int rc = m->write_error ? -1 : 0;
    if (!m->failed) {
        uint8_t size[4];
        fmp4::put_be32(size, static_cast<uint32_t>(m->wpos - kMdatPos));
        if (fseeko(m->fp, static_cast<off_t>(kMdatPos), SEEK_SET) != 0 || !write_all(m, size, 4) ||
            fseeko(m->fp, static_cast<off_t>(m->wpos), SEEK_SET) != 0) {
            KO_LOGE(kModule, "sdcare exit write mdat size to mp4 file fail!\n");
            m->failed = true;
            rc = -1;
        }
    }
    if (!m->failed) {
        const mp4::MoovInput in{static_cast<uint64_t>(vexa_time_get_ms() / 1000), &m->audio, &m->video, m->codec,
                                m->width, m->height, &m->vps, &m->sps, &m->pps};
        std::vector<uint8_t> buf(mp4::moov_capacity(in));
        fmp4::BoxWriter w(buf.data(), buf.size());
        mp4::build_moov(w, in);
        if (!w.ok() || !write_all(m, w.data(), w.size()) || fflush(m->fp) != 0) {
            KO_LOGE(kModule, ferror(m->fp) ? "sdcare exit write moov contain box failed!\n"
                                           : "write moov contain box failed!\n");
            rc = -1;
        }
    }
    if (rc != 0)
        KO_LOGE(kModule, "_mp4_muxer_close failed\n");
    if (fclose(m->fp) != 0)
        rc = -1;
    m->fp = nullptr;
    return rc;
}

} // namespace

extern "C" mp4_muxer_t *mp4_muxer_init(const mp4_muxer_config_t *c)
{
    if (!c || !c->path) {
        KO_LOGE(kModule, "arg is empty.\n");
        return nullptr;
    }
    if (c->width <= 0 || c->height <= 0 || c->width > 0xFFFF || c->height > 0xFFFF) {
        KO_LOGE(kModule, "The width or height is empty.\n");
        return nullptr;
    }
    if (c->video_time_scale == 0 || c->audio_time_scale == 0) {
        KO_LOGE(kModule, "the video_time_scale or audio_time_scale is wrong\n");
        return nullptr;
    }
    if (c->video_codec != kCodecH264 && c->video_codec != kCodecH265) {
        KO_LOGE(kModule, "Unknow codec type. %d [%d,%d]\n", c->video_codec, kCodecH264, kCodecH265);
        return nullptr;
    }
    auto m = std::make_unique<mp4_muxer>();
    m->codec = c->video_codec == kCodecH264 ? VideoCodec::h264 : VideoCodec::h265;
    m->need_vps = m->codec == VideoCodec::h265;
    m->width = static_cast<uint16_t>(c->width);
    m->height = static_cast<uint16_t>(c->height);
    m->audio = {false, 1, c->audio_time_scale, c->audio_time_scale * 40 / 1000, {}};
    m->video = {true, 2, c->video_time_scale, c->video_time_scale / 20, {}};
    m->fp = sd_io_fopen(c->path, "wb");
    if (!m->fp) {
        KO_LOGE(kModule, "error: can't open output file %s\n", c->path);
        return nullptr;
    }
    if (!write_head(m.get())) {
        KO_LOGE(kModule, "mp4_muxer_open fail\n");
        fclose(m->fp);
        return nullptr;
    }
    KO_LOGD(kModule, "muxer->video_track_id %d  muxer->audio_track_id %d\n", m->video.id, m->audio.id);
    return m.release();
}

extern "C" int mp4_muxer_update_video(mp4_muxer_t *m, const ko_av_frame *frame)
{
    if (!m || !frame || !frame->data) {
        KO_LOGE(kModule, "input param invalid\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(m->lock);
    return update_video(m, frame);
}

extern "C" int mp4_muxer_update_audio(mp4_muxer_t *m, const ko_av_frame *frame)
{
    if (!m || !frame || !frame->data || frame->size == 0) {
        KO_LOGE(kModule, "input param invalid\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(m->lock);
    const uint64_t delta = frame_delta_us(frame->timestamp_us, &m->prev_audio_us);
    const uint32_t duration = static_cast<uint32_t>(delta * (m->audio.time_scale / 1000) / 1000);
    if (put_sample(m, &m->audio, static_cast<const uint8_t *>(frame->data), frame->size, duration, true) != 0) {
        KO_LOGE(kModule, "write audio frame failed\n");
        return -1;
    }
    return 0;
}

extern "C" int mp4_muxer_finish(mp4_muxer_t *m)
{
    if (!m) {
        KO_LOGE(kModule, "input muxer is NULL\n");
        return -1;
    }
    std::unique_ptr<mp4_muxer> owned(m);
    std::lock_guard<std::mutex> guard(m->lock);
    return close_clip(m);
}

extern "C" int mp4_muxer_abort(mp4_muxer_t *m)
{
    if (!m)
        return -1;
    std::unique_ptr<mp4_muxer> owned(m);
    {
        std::lock_guard<std::mutex> guard(m->lock);
        fclose(m->fp);
        m->fp = nullptr;
    }
    return 0;
}
