// Joining fragments taken from different places (and periods) into one stream for the phone: each
// moof gets the next sequence number and its decode times moved back by the caller's offsets, so the
// stream runs on from where the previous fragment ended. The buffer is walked with the same bounds
// as the file: a box that runs past its parent or the buffer refuses the whole moof.
#include <string.h>

#include "common/utils/ko_log.h"
#include "fmp4_box.h"
#include "fmp4_demuxer.h"
#include "fmp4_demuxer_state.h"
#include "fmp4_walk.h"

namespace fmp4 {

namespace {

constexpr const char *kModule = "fmp4";
constexpr int kMaxDepth = 4;

bool is(const BoxRef &b, const char *type) { return memcmp(b.type, type, 4) == 0; }

struct Rewrite {
    const fmp4_demuxer_t *h;
    uint8_t *buf;
    fmp4_rebase_t *rebase;
    int track = -1; // of the traf being walked
    bool ok = true;
};

uint64_t moved_back(uint64_t t, uint64_t offset) { return t > offset ? t - offset : 0; }

void rewrite_box(Rewrite *r, const BoxRef &b, int depth);

void rewrite_children(Rewrite *r, const BoxRef &parent, int depth)
{
    if (depth > kMaxDepth) {
        KO_LOGE(kModule, "err:too deep atoms nesting!");
        r->ok = false;
        return;
    }
    const WalkResult res = walk_buffer(r->buf, static_cast<size_t>(parent.pos + parent.header),
                                       static_cast<size_t>(parent.pos + parent.size), [&](const BoxRef &b) {
                                           rewrite_box(r, b, depth + 1);
                                           return r->ok;
                                       });
    if (res != WalkResult::done)
        r->ok = false;
}

void rewrite_box(Rewrite *r, const BoxRef &b, int depth)
{
    uint8_t *p = r->buf + b.pos + b.header;
    const uint64_t len = b.size - b.header;
    if (is(b, "moof")) {
        rewrite_children(r, b, depth);
    } else if (is(b, "traf")) {
        r->track = -1;
        rewrite_children(r, b, depth);
    } else if (is(b, "mfhd") && len >= 8) {
        put_be32(p + 4, r->rebase->sequence++);
    } else if (is(b, "tfhd") && len >= 8) {
        const uint32_t id = be32(p + 4);
        for (int i = 0; i < 2; i++)
            if (r->h->tracks[i].present && r->h->tracks[i].track_id == id)
                r->track = i;
        if (r->track < 0) {
            KO_LOGE(kModule, "_read_payload error, track_id = %u, max track count:%u", id, 2u);
            r->ok = false;
        }
    } else if (is(b, "tfdt") && len >= 8) {
        if (r->track < 0) {
            KO_LOGE(kModule, "tfdt before the tfhd of its traf");
            r->ok = false;
            return;
        }
        const uint64_t offset = r->track == 0 ? r->rebase->video_offset : r->rebase->audio_offset;
        if (p[0] == 1) {
            if (len < 12) {
                r->ok = false;
                return;
            }
            put_be64(p + 4, moved_back(be64(p + 4), offset));
        } else {
            put_be32(p + 4, static_cast<uint32_t>(moved_back(be32(p + 4), offset)));
        }
    }
}

} // namespace

} // namespace fmp4

using namespace fmp4;

extern "C" int fmp4_reorganize_moof_box(fmp4_demuxer_t *h, uint8_t *buffer, uint32_t length, fmp4_rebase_t *rebase)
{
    if (!h || !buffer || !rebase) {
        KO_LOGE(kModule, "_read_box input param err");
        return -1;
    }
    std::lock_guard<std::mutex> guard(h->lock);
    Rewrite r{h, buffer, rebase};
    const WalkResult res = walk_buffer(buffer, 0, length, [&](const BoxRef &b) {
        rewrite_box(&r, b, 0);
        return r.ok;
    });
    return res == WalkResult::done && r.ok ? 0 : -1;
}
