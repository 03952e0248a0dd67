// A recording as one fragmented MP4 for a phone (RDT 1): the file's ftyp and moov, then every complete
// index period from the one that starts at the asked time to the end of the file, box by box (index,
// moof, mdat). Each moof is renumbered and its decode times moved back so that the phone's stream
// starts at 0 and runs on across periods. The whole is planned from a walk of the boxes before the
// first byte goes, since the head carries the total; the video index and the pool are only asked for
// the file's name and are not held while the phone's channel takes the data.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <vector>

#include "app/p2p/ko_p2p_internal.h"
#include "app/p2p/ko_p2p_rdt.h"
#include "app/record/record_index.h"
#include "app/record/sd_pool.h"
#include "common/tiny_fmp4/fmp4_demuxer_internal.h"
#include "common/tiny_fmp4/fmp4_walk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_p2p {
namespace {

enum { kFragmentMp4 = 1 };
// Far above any moof the writer reserves room for; a larger one is a damaged file.
constexpr uint64_t kMaxMoof = 1u << 20;

struct demuxer_closer {
    void operator()(fmp4_demuxer_t *d) const { fmp4_demuxer_close(d); }
};
struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// A box to send as it lies in the file; a moof is rewritten on the way.
struct part {
    uint64_t pos, size;
    bool moof;
};

struct transfer_plan {
    std::vector<part> parts;
    uint64_t total = 0;
    fmp4_rebase_t rebase{1, 0, 0};
};

bool is(const fmp4::BoxRef &b, const char *type)
{
    return memcmp(b.type, type, 4) == 0;
}

void add_part(transfer_plan &p, const fmp4::BoxRef &b, bool moof)
{
    p.parts.push_back({b.pos, b.size, moof});
    p.total += b.size;
}

// ftyp and moov, which lie before the first index box.
bool plan_header(FILE *fp, uint64_t end, transfer_plan &p)
{
    bool ftyp = false, moov = false;
    const fmp4::WalkResult r = fmp4::walk_file(fp, 0, end, [&](const fmp4::BoxRef &b) {
        if ((is(b, "ftyp") && !ftyp) || (is(b, "moov") && !moov)) {
            (is(b, "ftyp") ? ftyp : moov) = true;
            add_part(p, b, false);
        }
        return true;
    });
    return r == fmp4::WalkResult::done && ftyp && moov;
}

bool plan_period(FILE *fp, const fmp4_index_entry_t &e, transfer_plan &p)
{
    const fmp4::WalkResult r =
        fmp4::walk_file(fp, e.position, uint64_t{e.position} + e.length, [&](const fmp4::BoxRef &b) {
            if (is(b, "uuid") || is(b, "moof") || is(b, "mdat"))
                add_part(p, b, is(b, "moof"));
            return true;
        });
    return r == fmp4::WalkResult::done;
}

bool complete(const fmp4_index_entry_t &e)
{
    return !(e.flags & FMP4_INDEX_DELETED) && e.length >= FMP4_INDEX_BOX_SIZE;
}

// What to send for the period starting at `time`, and the decode times its first fragment starts at.
bool plan_transfer(fmp4_demuxer_t *d, FILE *fp, uint32_t time, transfer_plan &p)
{
    const std::vector<fmp4_index_entry_t> &entries = fmp4::demuxer_entries(d);
    size_t found = entries.size();
    for (size_t i = entries.size(); i-- > 0 && found == entries.size();)
        if (entries[i].start == time)
            found = i;
    fmp4::PeriodInfo period;
    if (found == entries.size() || !fmp4::demuxer_load_period(d, found, &period)) {
        KO_LOGE(KO_P2P_MODULE, "fmp4 demuxer seek fragment failed, fragment timestamp:%u!\n", time);
        return false;
    }
    if (!complete(entries[found]) || period.fragments.empty()) {
        KO_LOGE(KO_P2P_MODULE, "movie fragment not exist, fragment timestamp:%u!\n", time);
        return false;
    }
    p.rebase.video_offset = period.fragments[0].base[0];
    p.rebase.audio_offset = period.fragments[0].base[1];
    if (!plan_header(fp, entries[0].position, p))
        return false;
    for (size_t i = found; i < entries.size(); i++)
        if (complete(entries[i]) && entries[i].position >= entries[found].position && !plan_period(fp, entries[i], p))
            return false;
    return p.total <= UINT32_MAX;
}

bool send_moof(fmp4_demuxer_t *d, FILE *fp, const part &box, std::vector<uint8_t> &buf, fmp4_rebase_t &rebase,
               rdt_packer &out)
{
    try {
        if (box.size > kMaxMoof)
            throw std::bad_alloc();
        buf.resize(box.size);
    } catch (const std::bad_alloc &) {
        KO_LOGE(KO_P2P_MODULE, "realloc moof box mem failed, mem size:%u\n", static_cast<unsigned>(box.size));
        return false;
    }
    if (!fmp4::read_at(fp, box.pos, buf.data(), buf.size())) {
        KO_LOGE(KO_P2P_MODULE, "fread failed\n");
        return false;
    }
    if (fmp4_reorganize_moof_box(d, buf.data(), static_cast<uint32_t>(buf.size()), &rebase) != 0) {
        KO_LOGE(KO_P2P_MODULE, "fmp4 reorganize moof box failed\n");
        return false;
    }
    return out.add(buf.data(), buf.size());
}

bool send_as_is(FILE *fp, const part &box, rdt_packer &out)
{
    uint8_t chunk[VASQ_RDT_MAX];
    for (uint64_t done = 0; done < box.size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, box.size - done));
        if (!fmp4::read_at(fp, box.pos + done, chunk, n)) {
            KO_LOGE(KO_P2P_MODULE, "fread failed\n");
            return false;
        }
        if (!out.add(chunk, n))
            return false;
        done += n;
    }
    return true;
}

bool send_fragment_mp4(vasq_session *s, uint32_t time)
{
    record_index_record_t record{};
    char path[1024];
    if (record_find_record_info(0, time, &record, 0) != 1 || sd_get_path(record.name, path) != 0) {
        KO_LOGE(KO_P2P_MODULE, "movie fragment not exist, fragment timestamp:%u!\n", time);
        return false;
    }
    std::unique_ptr<fmp4_demuxer_t, demuxer_closer> d(fmp4_demuxer_open(path));
    std::unique_ptr<FILE, file_closer> fp(d ? fopen(path, "rb") : nullptr);
    transfer_plan plan;
    if (!fp) {
        KO_LOGE(KO_P2P_MODULE, "fmp4 demuxer seek fragment failed, fragment timestamp:%u!\n", time);
        return false;
    }
    if (!plan_transfer(d.get(), fp.get(), time, plan))
        return false;
    rdt_packer out(s);
    uint8_t head[kRdtHead];
    put_rdt_head(head, kFragmentMp4, static_cast<uint32_t>(plan.total));
    if (!out.add(head, sizeof head))
        return false;
    std::vector<uint8_t> moof;
    for (const part &box : plan.parts) {
        const bool sent =
            box.moof ? send_moof(d.get(), fp.get(), box, moof, plan.rebase, out) : send_as_is(fp.get(), box, out);
        if (!sent)
            return false;
    }
    return out.flush();
}

} // namespace

void rdt_fragment_mp4(vasq_session *s, uint32_t time)
{
    const uint64_t begin = vexa_time_tick_ms();
    if (!send_fragment_mp4(s, time)) {
        KO_LOGE(KO_P2P_MODULE, "rdt_send_fragment_mp4 failed, timestamp:%u\n", time);
        send_bare_head(s, kFragmentMp4);
        return;
    }
    KO_LOGI(KO_P2P_MODULE, "rdt_send_fragment_mp4 success, timestamp:%u, cost:%llu\n", time,
            static_cast<unsigned long long>(vexa_time_tick_ms() - begin));
}

} // namespace ko_p2p
