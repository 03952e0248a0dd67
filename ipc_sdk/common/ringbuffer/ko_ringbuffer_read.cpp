// The ring's readers: per-reader cursors, the lag test, the video read that resynchronises on a key
// frame and the audio read that jumps to the newest frame, and the cursor calls (mark, reset, the
// caught-up test).
#include <unistd.h>

#include "common/ringbuffer/ko_ringbuffer_internal.h"
#include "common/ringbuffer/ko_ringbuffer_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

using namespace ko_ringbuf;

namespace {

// Checks shared by every reader call: channel, reader number, set-up and first frame.
int check_reader(unsigned chn, unsigned user, const channel_guard *guard, const char *empty_fmt)
{
    if (!guard->ok()) {
        KO_LOGE(KO_RINGBUF_MODULE, "RingBuffer Channel:%d Not Inited\n", (int)chn);
        stat_inc(g_stat[chn].get_no_frame_times);
        return KO_RINGBUF_NOT_INIT;
    }
    if (g_chn[chn].frame_count.load(std::memory_order_acquire) == 0) {
        KO_LOGE(KO_RINGBUF_MODULE, empty_fmt, (int)chn, (int)user);
        stat_inc(g_stat[chn].get_no_frame_times);
        return KO_RINGBUF_EMPTY;
    }
    return 0;
}

bool valid_ids(unsigned chn, unsigned user)
{
    if (chn >= KO_STREAM_CHN_MAX) {
        KO_LOGE(KO_RINGBUF_MODULE, "Wrong buffer ring index channel:%d\n", (int)chn);
        return false;
    }
    if (user >= KO_RINGBUF_READERS) {
        KO_LOGE(KO_RINGBUF_MODULE, "user index invalid %d\n", (int)user);
        return false;
    }
    return true;
}

// The lag test for a reader that wants sequence number `want`, against the newest node.
bool lagging(const ko_ringbuf_channel &c, unsigned chn, uint64_t want, const node_snap &head)
{
    if (want == 0 || want > head.seq + 1)
        return true;
    if (want == head.seq + 1)
        return false; // got the newest already
    const uint64_t behind = head.seq - (want - 1);
    const uint64_t max_diff = lag_frames(c);
    if (behind > max_diff) {
        KO_LOGW(KO_RINGBUF_MODULE, "channel %d delay too much(seqNo:%u->%u) , max diff %u\n", (int)chn,
                (unsigned)(want - 1), (unsigned)head.seq, (unsigned)max_diff);
        return true;
    }
    node_snap n;
    if (!snap_node(c, node_of(c, want), &n) || n.seq != want)
        return true; // overwritten meanwhile
    const uint64_t distance = head.pos - n.pos;
    if (distance >= (uint64_t)c.pool_size - c.max_frame_size) {
        KO_LOGW(KO_RINGBUF_MODULE, "delay too much(addrDistance %u>%u-%u)\n", (unsigned)distance, c.pool_size,
                c.max_frame_size);
        return true;
    }
    return false;
}

// Copies the node out and moves the cursor behind it. A copy the writer overran is dropped and the
// cursor left on it, so that the next read resynchronises.
int deliver(ko_ringbuf_channel &c, unsigned chn, unsigned user, uint64_t old_want, const node_snap &n,
            ko_av_frame *out, void *buf, uint32_t buf_size)
{
    ko_ringbuf_stat &stat = g_stat[chn];
    std::atomic<uint64_t> &want = c.slot[user].want;
    if (n.size > buf_size) {
        KO_LOGE(KO_RINGBUF_MODULE, "user %d buffer %u too small for frame %u of %u bytes, channel %d\n", (int)user,
                buf_size, (unsigned)n.seq, n.size, (int)chn);
        want.compare_exchange_strong(old_want, n.seq + 1);
        stat_inc(stat.get_no_frame_times);
        return KO_RINGBUF_INVALID;
    }
    if (!copy_frame(c, n, buf)) {
        KO_LOGW(KO_RINGBUF_MODULE, "user %d frame seqNo %u overwritten while read, dropped, channel %d\n", (int)user,
                (unsigned)n.seq, (int)chn);
        want.compare_exchange_strong(old_want, n.seq);
        stat_inc(stat.get_no_frame_times);
        return KO_RINGBUF_NONE;
    }
    // A reset or mark from another thread meanwhile wins over this read's move.
    want.compare_exchange_strong(old_want, n.seq + 1);
    fill_frame(n, buf, out);
    stat_inc(n.frame_type == KO_FRAME_TYPE_I ? stat.i_frame_out : stat.p_frame_out);
    return 0;
}

// The ordinary read step: the wanted frame once a newer one exists.
int read_step(ko_ringbuf_channel &c, unsigned chn, unsigned user, uint64_t want, const node_snap &head,
              ko_av_frame *out, void *buf, uint32_t buf_size)
{
    node_snap n;
    if (want >= head.seq || !snap_node(c, node_of(c, want), &n) || n.seq != want)
        return KO_RINGBUF_NONE;
    return deliver(c, chn, user, want, n, out, buf, buf_size);
}

void note_key_wait(unsigned chn, bool requested, uint64_t request_ms)
{
    if (!requested)
        return;
    const uint64_t cost = vexa_time_tick_ms() - request_ms;
    stat_keep_max(g_stat[chn].I_force_ms, (uint32_t)cost);
    if (cost > 200)
        KO_LOGE(KO_RINGBUF_MODULE, "request I frame end! ch=%d,request I frame cost_ms=%llu,>200 ms!\n", (int)chn,
                (unsigned long long)cost);
}

// A non-waiting reader asks the encoder for a key frame at most once per key_wait_ms.
void ask_key_once(ko_ringbuf_channel &c, unsigned chn, unsigned user)
{
    std::atomic<uint64_t> &asked = c.slot[user].key_asked_ms;
    const uint64_t now = vexa_time_tick_ms();
    uint64_t last = asked.load(std::memory_order_relaxed);
    if ((last && now - last < c.key_wait_ms) || !asked.compare_exchange_strong(last, now))
        return;
    KO_LOGI(KO_RINGBUF_MODULE, "request I frame start! user %d request I frame from channel %d, not waiting\n",
            (int)user, (int)chn);
    c.force_iframe((int)chn);
}

// A lagging video reader: the last key frame when it is at most a second old and newer than what
// the reader got, else a requested fresh key frame, waited for at most key_wait_ms (or, for a
// non-waiting read, asked for and left to a later read).
int video_resync(ko_ringbuf_channel &c, const channel_guard &guard, unsigned chn, unsigned user, uint64_t want,
                 ko_av_frame *out, void *buf, uint32_t buf_size, bool wait)
{
    // What the reader got last; a cursor past the newest frame counts as cleared.
    const uint64_t got = want && want <= c.frame_count.load(std::memory_order_acquire) + 1 ? want - 1 : 0;
    bool requested = false;
    uint64_t request_ms = 0;
    const uint64_t start_ms = vexa_time_tick_ms();
    const uint32_t key_back = std::min(c.fps, lag_frames(c)); // at most a second
    for (;;) {
        // The key frame first: the newest node read after it is never older.
        const uint64_t key = c.last_key_seq.load(std::memory_order_acquire);
        node_snap head;
        if (!snap_head(c, &head))
            return KO_RINGBUF_NONE;
        node_snap k;
        // The key frame must itself pass the lag test, or the reader would lag again at once and its
        // bytes may be gone.
        if (key && key > got && head.seq - key <= key_back && snap_node(c, node_of(c, key), &k) && k.seq == key &&
            k.frame_type == KO_FRAME_TYPE_I && head.pos - k.pos < (uint64_t)c.pool_size - c.max_frame_size) {
            uint64_t expected = want;
            c.slot[user].key_asked_ms.store(0, std::memory_order_relaxed);
            if (!c.slot[user].want.compare_exchange_strong(expected, key))
                return KO_RINGBUF_NONE; // reset or marked meanwhile
            int rc = read_step(c, chn, user, key, head, out, buf, buf_size);
            note_key_wait(chn, requested, request_ms);
            if (rc == KO_RINGBUF_NONE)
                stat_inc(g_stat[chn].get_no_frame_times);
            return rc;
        }
        if (head.frame_type == KO_FRAME_TYPE_I && head.seq > got) {
            KO_LOGI(KO_RINGBUF_MODULE, "user %d get latest I frame success, node %d seqNo %u channel %d\n", (int)user,
                    (int)head.index, (unsigned)head.seq, (int)chn);
            note_key_wait(chn, requested, request_ms);
            c.slot[user].key_asked_ms.store(0, std::memory_order_relaxed);
            return deliver(c, chn, user, want, head, out, buf, buf_size);
        }
        if (!wait) {
            if (c.force_iframe)
                ask_key_once(c, chn, user);
            stat_inc(g_stat[chn].get_no_frame_times);
            return KO_RINGBUF_NONE;
        }
        if (!requested && c.force_iframe) {
            KO_LOGI(KO_RINGBUF_MODULE, "request I frame start! user %d request I frame from channel %d to speed up\n",
                    (int)user, (int)chn);
            request_ms = vexa_time_tick_ms();
            requested = true;
            c.force_iframe((int)chn);
        }
        KO_LOGD(KO_RINGBUF_MODULE, "user %d get latest frame node type %d, nodeindex %d, channel headindex %d\n",
                (int)user, (int)head.frame_type, (int)head.index, (int)head.index);
        if (vexa_time_tick_ms() - start_ms >= c.key_wait_ms) {
            KO_LOGW(KO_RINGBUF_MODULE, "user %d no key frame within %u ms, channel %d\n", (int)user, c.key_wait_ms,
                    (int)chn);
            note_key_wait(chn, requested, request_ms);
            stat_inc(g_stat[chn].get_no_frame_times);
            return KO_RINGBUF_NONE;
        }
        usleep(10 * 1000);
        if (!guard.alive()) {
            KO_LOGW(KO_RINGBUF_MODULE, "channel %d freed while user %d waited for a key frame\n", (int)chn, (int)user);
            return KO_RINGBUF_NOT_INIT;
        }
    }
}

int check_buffer(const ko_av_frame *out, const void *buf)
{
    if (!out || !buf) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid param frame\n");
        return KO_RINGBUF_INVALID;
    }
    return 0;
}

// The video and the audio read: the checks, the lag test, and the ordinary read step.
int read_frame(unsigned chn, unsigned user, ko_av_frame *out, void *buf, uint32_t buf_size, bool video,
               bool wait = true)
{
    if (!valid_ids(chn, user))
        return KO_RINGBUF_INVALID;
    if (int rc = check_buffer(out, buf))
        return rc;
    ko_ringbuf_channel &c = g_chn[chn];
    channel_guard guard(c, user);
    if (int rc = check_reader(chn, user, &guard,
                              video ? "No video data inside ring buffer. GET starts before PUT? channel %d\n"
                                    : "No audio data inside channel %d for user %d. GET starts before PUT?\n"))
        return rc;
    node_snap head;
    if (!snap_head(c, &head))
        return KO_RINGBUF_NONE;
    const uint64_t want = c.slot[user].want.load(std::memory_order_acquire);
    if (lagging(c, chn, want, head)) {
        if (video)
            return video_resync(c, guard, chn, user, want, out, buf, buf_size, wait);
        KO_LOGI(KO_RINGBUF_MODULE, "user %d skip to latest audio frame, node %d seqNo %u channel %d\n", (int)user,
                (int)head.index, (unsigned)head.seq, (int)chn);
        return deliver(c, chn, user, want, head, out, buf, buf_size);
    }
    const int rc = read_step(c, chn, user, want, head, out, buf, buf_size);
    if (rc == KO_RINGBUF_NONE)
        stat_inc(g_stat[chn].get_no_frame_times);
    return rc;
}

} // namespace

extern "C" int ringbuffer_get_video_frame(unsigned int channel, unsigned int user, ko_av_frame *out, void *buf,
                                          uint32_t buf_size)
{
    return read_frame(channel, user, out, buf, buf_size, true);
}

extern "C" int ringbuffer_try_get_video_frame(unsigned int channel, unsigned int user, ko_av_frame *out, void *buf,
                                              uint32_t buf_size)
{
    return read_frame(channel, user, out, buf, buf_size, true, false);
}

extern "C" int ringbuffer_get_audio_frame(unsigned int channel, unsigned int user, ko_av_frame *out, void *buf,
                                          uint32_t buf_size)
{
    return read_frame(channel, user, out, buf, buf_size, false);
}

extern "C" void ringbuffer_mark_user_to_node(unsigned int channel, unsigned int user, const ko_av_frame *node)
{
    if (!valid_ids(channel, user) || !node)
        return;
    ko_ringbuf_channel &c = g_chn[channel];
    channel_guard guard(c, user);
    if (!guard.ok())
        return;
    if (node->node_index >= c.node_num) {
        KO_LOGE(KO_RINGBUF_MODULE, "node index invalid %d\n", (int)node->node_index);
        return;
    }
    node_snap n;
    if (!snap_node(c, node->node_index, &n))
        n.seq = 0; // being rewritten: the next read resynchronises
    c.slot[user].want.store(n.seq, std::memory_order_release);
    KO_LOGI(KO_RINGBUF_MODULE, "mark user %d  to node index %d , seq %u\n", (int)user, (int)node->node_index,
            (unsigned)n.seq);
}

extern "C" int ringbuffer_reset_user_state(unsigned int channel, unsigned int user)
{
    const int rc = ringbuffer_is_ready(channel);
    if (rc != 0)
        return rc;
    if (user >= KO_RINGBUF_READERS) {
        KO_LOGE(KO_RINGBUF_MODULE, "user index invalid %d\n", (int)user);
        return KO_RINGBUF_INVALID;
    }
    g_chn[channel].slot[user].want.store(0, std::memory_order_release);
    return 0;
}

extern "C" int ringbuffer_no_cache_data(unsigned int channel, unsigned int user)
{
    if (readiness(channel) != 0) {
        KO_LOGE(KO_RINGBUF_MODULE, "ringbuffer is not ready\n");
        return -1;
    }
    if (user >= KO_RINGBUF_READERS) {
        KO_LOGE(KO_RINGBUF_MODULE, "user index invalid %d\n", (int)user);
        return -1;
    }
    ko_ringbuf_channel &c = g_chn[channel];
    const uint64_t head = c.frame_count.load(std::memory_order_acquire);
    const uint64_t want = c.slot[user].want.load(std::memory_order_acquire);
    KO_LOGD(KO_RINGBUF_MODULE, "channel %d user seqNo %u  last seqNo %u\n", (int)channel, (unsigned)want,
            (unsigned)head);
    if (want != 0 && (want >= head || head - want <= 3)) {
        KO_LOGD(KO_RINGBUF_MODULE, "current node is latest node\n");
        return 0;
    }
    return -1;
}
