// The reader keeps to what the writer lays down and bounds every size it reads: a moov or moof is
// read whole into memory only up to kMaxBoxInMemory, and a walk that breaks after at least one index
// box keeps what it found (a power cut leaves a broken tail).
#include "fmp4_demuxer.h"
#include "fmp4_demuxer_internal.h"
#include "fmp4_demuxer_state.h"

#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "common/utils/ko_log.h"
#include "fmp4_box.h"
#include "fmp4_walk.h"


namespace fmp4 {

namespace {

constexpr const char *kModule = "fmp4";
constexpr uint64_t kMinFileSize = 32768;
constexpr uint64_t kMaxBoxInMemory = 4 * 1024 * 1024;
constexpr int kMaxDepth = 8;

bool is(const BoxRef &b, const char *type) { return memcmp(b.type, type, 4) == 0; }

const uint8_t *payload(const uint8_t *buf, const BoxRef &b, size_t *len)
{
    *len = static_cast<size_t>(b.size - b.header);
    return buf + b.pos + b.header;
}

// Parameter-set entries (2-byte length + NAL) of a run of `count` entries; false when they overrun.
bool read_param_entries(const uint8_t *p, size_t len, size_t *at, int count, ParamSetList *out)
{
    for (int i = 0; i < count; i++) {
        if (*at + 2 > len)
            return false;
        const size_t n = be16(p + *at);
        if (n > len - *at - 2)
            return false;
        out->add(p + *at + 2, n);
        *at += 2 + n;
    }
    return true;
}

void parse_avcc(const uint8_t *p, size_t len, TrackInfo *t)
{
    if (len < 7)
        return;
    size_t at = 6;
    if (!read_param_entries(p, len, &at, p[5] & 0x1F, &t->sps) || at >= len) {
        KO_LOGE(kModule, "_mp4_read_spspps read sps fail");
        t->damaged = true;
        return;
    }
    const int pps = p[at++];
    if (!read_param_entries(p, len, &at, pps, &t->pps)) {
        KO_LOGE(kModule, "_mp4_read_spspps read pps fail");
        t->damaged = true;
    }
}

void parse_hvcc(const uint8_t *p, size_t len, TrackInfo *t)
{
    if (len < 23)
        return;
    size_t at = 23;
    for (int a = 0; a < p[22]; a++) {
        if (at + 3 > len) {
            t->damaged = true;
            return;
        }
        const int type = p[at] & 0x3F;
        const int count = be16(p + at + 1);
        at += 3;
        ParamSetList *list = type == 32 ? &t->vps : type == 33 ? &t->sps : type == 34 ? &t->pps : nullptr;
        ParamSetList ignored;
        if (!read_param_entries(p, len, &at, count, list ? list : &ignored)) {
            KO_LOGE(kModule, "_mp4_read_vpsspspps read %s fail, offset = %zu, readbytes = %zu",
                    type == 32 ? "vps" : type == 33 ? "sps" : "pps", at, len);
            t->damaged = true;
            return;
        }
    }
}

void parse_sample_entry(const uint8_t *buf, const BoxRef &entry, TrackInfo *t)
{
    const bool h264 = is(entry, "avc1");
    const bool h265 = is(entry, "hvc1") || is(entry, "hev1");
    if (is(entry, "alaw"))
        t->codec = FMP4_CODEC_ALAW;
    else if (is(entry, "Opus"))
        t->codec = FMP4_CODEC_OPUS;
    if (!h264 && !h265)
        return;
    t->codec = h264 ? FMP4_CODEC_H264 : FMP4_CODEC_H265;
    const size_t start = static_cast<size_t>(entry.pos + entry.header);
    const size_t end = static_cast<size_t>(entry.pos + entry.size);
    if (end - start < 78)
        return;
    t->width = be16(buf + start + 24);
    t->height = be16(buf + start + 26);
    walk_buffer(buf, start + 78, end, [&](const BoxRef &c) {
        size_t len;
        const uint8_t *p = payload(buf, c, &len);
        if (is(c, "avcC"))
            parse_avcc(p, len, t);
        else if (is(c, "hvcC"))
            parse_hvcc(p, len, t);
        return true;
    });
}

struct TrakScan {
    TrackInfo info;
    char handler[5] = {0};
};

void scan_trak(const uint8_t *buf, size_t start, size_t end, int depth, TrakScan *out)
{
    if (depth > kMaxDepth) {
        KO_LOGE(kModule, "err:too deep atoms nesting!");
        return;
    }
    walk_buffer(buf, start, end, [&](const BoxRef &b) {
        size_t len;
        const uint8_t *p = payload(buf, b, &len);
        if (is(b, "mdia") || is(b, "minf") || is(b, "stbl")) {
            scan_trak(buf, static_cast<size_t>(b.pos + b.header), static_cast<size_t>(b.pos + b.size), depth + 1,
                      out);
        } else if (is(b, "tkhd") && len >= 16) {
            out->info.track_id = be32(p + (p[0] == 1 ? 20 : 12));
        } else if (is(b, "mdhd") && len >= 24) {
            out->info.timescale = be32(p + (p[0] == 1 ? 20 : 12));
        } else if (is(b, "hdlr") && len >= 12) {
            memcpy(out->handler, p + 8, 4);
        } else if (is(b, "stsd") && len >= 8) {
            walk_buffer(buf, static_cast<size_t>(b.pos + b.header + 8), static_cast<size_t>(b.pos + b.size),
                        [&](const BoxRef &e) {
                            parse_sample_entry(buf, e, &out->info);
                            return false; // the first entry describes the track
                        });
        }
        return true;
    });
}

bool parse_moov(fmp4_demuxer_t *h, const BoxRef &moov)
{
    if (moov.size > kMaxBoxInMemory) {
        KO_LOGE(kModule, "moov of %llu bytes is too large", static_cast<unsigned long long>(moov.size));
        return false;
    }
    std::vector<uint8_t> buf(static_cast<size_t>(moov.size));
    if (!read_at(h->fp, moov.pos, buf.data(), buf.size()))
        return false;
    walk_buffer(buf.data(), moov.header, buf.size(), [&](const BoxRef &b) {
        if (!is(b, "trak"))
            return true;
        TrakScan scan;
        scan_trak(buf.data(), static_cast<size_t>(b.pos + b.header), static_cast<size_t>(b.pos + b.size), 1, &scan);
        const int slot = strcmp(scan.handler, "vide") == 0 ? 0 : strcmp(scan.handler, "soun") == 0 ? 1 : -1;
        if (slot >= 0 && !h->tracks[slot].present) {
            h->tracks[slot] = scan.info;
            h->tracks[slot].present = true;
        }
        return true;
    });
    return true;
}

bool parse_traf(const uint8_t *buf, const BoxRef &traf, const fmp4_demuxer_t *h, uint64_t moof_pos, FragmentInfo *f)
{
    int slot = -1;
    bool ok = true;
    walk_buffer(buf, static_cast<size_t>(traf.pos + traf.header), static_cast<size_t>(traf.pos + traf.size),
                [&](const BoxRef &b) {
                    size_t len;
                    const uint8_t *p = payload(buf, b, &len);
                    if (is(b, "tfhd") && len >= 8) {
                        const uint32_t id = be32(p + 4);
                        for (int i = 0; i < 2; i++)
                            if (h->tracks[i].present && h->tracks[i].track_id == id)
                                slot = i;
                        if (slot < 0) {
                            KO_LOGE(kModule, "_read_payload error, track_id = %u, max track count:%u", id, 2u);
                            ok = false;
                            return false;
                        }
                    } else if (is(b, "tfdt") && slot >= 0 && len >= 8) {
                        f->base[slot] = p[0] == 1 && len >= 12 ? be64(p + 4) : be32(p + 4);
                    } else if (is(b, "trun") && slot >= 0 && len >= 8) {
                        const uint32_t flags = be32(p) & 0xFFFFFF;
                        const uint32_t count = be32(p + 4);
                        size_t at = 8;
                        int32_t offset = 0;
                        if (flags & 0x1) {
                            if (at + 4 > len)
                                return ok = false;
                            offset = static_cast<int32_t>(be32(p + at));
                            at += 4;
                        }
                        if (flags & 0x4) {
                            if (at + 4 > len)
                                return ok = false;
                            f->first_flags[slot] = be32(p + at);
                            at += 4;
                        }
                        const size_t per = ((flags & 0x100) ? 4 : 0) + ((flags & 0x200) ? 4 : 0) +
                                           ((flags & 0x400) ? 4 : 0) + ((flags & 0x800) ? 4 : 0);
                        if (per == 0 || count > (len - at) / per)
                            return ok = false;
                        f->data_pos[slot] = moof_pos + static_cast<uint64_t>(static_cast<int64_t>(offset));
                        f->samples[slot].reserve(count);
                        for (uint32_t i = 0; i < count; i++) {
                            MoofSample s{0, 0};
                            if (flags & 0x100) {
                                s.duration = be32(p + at);
                                at += 4;
                            }
                            if (flags & 0x200) {
                                s.size = be32(p + at);
                                at += 4;
                            }
                            at += ((flags & 0x400) ? 4 : 0) + ((flags & 0x800) ? 4 : 0);
                            f->samples[slot].push_back(s);
                        }
                    }
                    return true;
                });
    return ok;
}

bool parse_moof(fmp4_demuxer_t *h, const BoxRef &moof, FragmentInfo *f)
{
    if (moof.size > kMaxBoxInMemory)
        return false;
    std::vector<uint8_t> buf(static_cast<size_t>(moof.size));
    if (!read_at(h->fp, moof.pos, buf.data(), buf.size()))
        return false;
    f->moof_pos = moof.pos;
    bool ok = true;
    walk_buffer(buf.data(), moof.header, buf.size(), [&](const BoxRef &b) {
        if (is(b, "mfhd") && b.size >= 16)
            f->sequence = be32(buf.data() + b.pos + 12);
        else if (is(b, "traf"))
            ok = parse_traf(buf.data(), b, h, moof.pos, f) && ok;
        return ok;
    });
    return ok;
}

} // namespace

uint64_t PeriodInfo::samples(int track) const
{
    uint64_t n = 0;
    for (const FragmentInfo &f : fragments)
        n += f.samples[track].size();
    return n;
}

uint64_t PeriodInfo::end_time(int track) const
{
    for (auto it = fragments.rbegin(); it != fragments.rend(); ++it) {
        if (it->samples[track].empty())
            continue;
        uint64_t t = it->base[track];
        for (const MoofSample &s : it->samples[track])
            t += s.duration;
        return t;
    }
    return 0;
}

const TrackInfo *demuxer_track(const fmp4_demuxer_t *h, int track)
{
    return h && track >= 0 && track < 2 && h->tracks[track].present ? &h->tracks[track] : nullptr;
}

const std::vector<fmp4_index_entry_t> &demuxer_entries(const fmp4_demuxer_t *h) { return h->entries; }

bool demuxer_load_period(fmp4_demuxer_t *h, size_t index, PeriodInfo *out)
{
    out->fragments.clear();
    if (index >= h->entries.size())
        return false;
    const fmp4_index_entry_t &e = h->entries[index];
    const uint64_t start = e.position;
    const uint64_t end = start + e.length;
    if (e.length < FMP4_INDEX_BOX_SIZE || end > h->size) {
        KO_LOGE(kModule, "mp4_demuxer_seek_fragment seek fragment offset failed!");
        return false;
    }
    bool ok = true;
    const WalkResult r = walk_file(h->fp, start + FMP4_INDEX_BOX_SIZE, end, [&](const BoxRef &b) {
        if (is(b, "moof")) {
            FragmentInfo f;
            if (!parse_moof(h, b, &f))
                return ok = false;
            out->fragments.push_back(std::move(f));
        }
        return true;
    });
    if (!ok || r != WalkResult::done) {
        KO_LOGE(kModule, "seek fragemnt failed ...");
        return false;
    }
    KO_LOGD(kModule, "read box over, read movie fragment count: %zu", out->fragments.size());
    return true;
}

} // namespace fmp4

using namespace fmp4;

extern "C" fmp4_demuxer_t *fmp4_demuxer_open(const char *path)
{
    if (!path) {
        KO_LOGE(kModule, "input mp4 file path err");
        return nullptr;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        KO_LOGE(kModule, "mp4 file not found, filepath:%s", path);
        return nullptr;
    }
    KO_LOGD(kModule, "start demuxer file %s", path);
    auto h = std::make_unique<fmp4_demuxer>();
    h->fp = fopen(path, "rb");
    if (!h->fp || fseeko(h->fp, 0, SEEK_END) != 0) {
        KO_LOGE(kModule, "mp4 file not found, filepath:%s", path);
        fmp4_demuxer_close(h.release());
        return nullptr;
    }
    h->size = static_cast<uint64_t>(ftello(h->fp));
    if (h->size < kMinFileSize) {
        KO_LOGE(kModule, "invalid mp4 file %s size %lld", path, static_cast<long long>(h->size));
        fmp4_demuxer_close(h.release());
        return nullptr;
    }
    bool moov_ok = true;
    const WalkResult r = walk_file(h->fp, 0, h->size, [&](const BoxRef &b) {
        if (is(b, "moov")) {
            moov_ok = parse_moov(h.get(), b);
        } else if (is(b, "uuid") && b.size == FMP4_INDEX_BOX_SIZE) {
            uint8_t box[FMP4_INDEX_BOX_SIZE];
            if (read_at(h->fp, b.pos, box, sizeof box) && memcmp(box + 8, "tolk_index", 10) == 0)
                h->entries.push_back(decode_index_entry(box + kIndexEntryOffset));
        }
        return moov_ok;
    });
    if (r != WalkResult::done || !moov_ok) {
        if (h->entries.empty()) {
            KO_LOGE(kModule, "read box fail");
            fmp4_demuxer_close(h.release());
            return nullptr;
        }
        KO_LOGW(kModule, "tolk index exist, there may be valid data, continue parsing the file info");
    }
    const int tracks = (h->tracks[0].present ? 1 : 0) + (h->tracks[1].present ? 1 : 0);
    if (tracks != 2) {
        KO_LOGE(kModule, "track num is wrong track num is %d", tracks);
        fmp4_demuxer_close(h.release());
        return nullptr;
    }
    if (h->tracks[0].damaged || !build_param_sets(h.get())) {
        fmp4_demuxer_close(h.release());
        return nullptr;
    }
    KO_LOGD(kModule, "video [%d x %d] codec %d , timescale %u", h->tracks[0].width, h->tracks[0].height,
            h->tracks[0].codec == FMP4_CODEC_H264 ? 4 : 5, h->tracks[0].timescale);
    KO_LOGD(kModule, "audio codec %d , timescale %u", h->tracks[1].codec, h->tracks[1].timescale);
    return h.release();
}

extern "C" int fmp4_demuxer_read_fileinfo(fmp4_demuxer_t *h, const fmp4_index_entry_t **entries, uint32_t *bytes)
{
    if (!h || !entries || !bytes)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    *entries = h->entries.data();
    *bytes = static_cast<uint32_t>(h->entries.size() * FMP4_INDEX_ENTRY_SIZE);
    return 0;
}

extern "C" int fmp4_demuxer_seek_fragment(fmp4_demuxer_t *h, uint32_t timestamp)
{
    if (!h)
        return -1;
    std::lock_guard<std::mutex> guard(h->lock);
    for (size_t i = h->entries.size(); i-- > 0;) {
        const fmp4_index_entry_t &e = h->entries[i];
        if (e.start != timestamp)
            continue;
        if (e.flags & FMP4_INDEX_DELETED) {
            KO_LOGI(kModule, "fragment timestamp:%u, duration:%u is deleted!", e.start, e.duration);
            return 1;
        }
        h->tables[0].clear();
        h->tables[1].clear();
        h->period.fragments.clear();
        if (!demuxer_load_period(h, i, &h->period) || !build_tables(h, e)) {
            h->tables[0].clear();
            h->tables[1].clear();
            return -1;
        }
        return 0;
    }
    KO_LOGE(kModule, "not find fragment timestamp:%u in the demuxer", timestamp);
    return -1;
}

extern "C" uint32_t fmp4_demuxer_sample_count(fmp4_demuxer_t *h, int track)
{
    if (!h || track < 0 || track > 1)
        return 0;
    std::lock_guard<std::mutex> guard(h->lock);
    return static_cast<uint32_t>(h->tables[track].samples.size());
}

extern "C" int fmp4_demuxer_close(fmp4_demuxer_t *h)
{
    if (!h)
        return 0;
    if (h->fp)
        fclose(h->fp);
    delete h;
    return 0;
}
