// The ring's look-ups by position and by time: a node some frames back from the newest, the key frame
// a pre-record starts from, and the audio frame that goes with a video time stamp.
#include <unistd.h>

#include "common/ringbuffer/ko_ringbuffer_internal.h"
#include "common/ringbuffer/ko_ringbuffer_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

using namespace ko_ringbuf;

namespace {

constexpr uint64_t kTooOldMs = 10000;

uint32_t max_back(const ko_ringbuf_channel &c) { return c.seconds > 2 ? (c.seconds - 2) * c.fps : 0; }

// The node `n` frames back from the newest (1 = the newest), written and consistent.
int pre_frame(const ko_ringbuf_channel &c, unsigned chn, uint32_t n, node_snap *out)
{
    if (n == 0 || n > max_back(c)) {
        KO_LOGE(KO_RINGBUF_MODULE, "backward frame num too big %u > %u max\n", n, max_back(c));
        return KO_RINGBUF_INVALID;
    }
    const uint64_t head = c.frame_count.load(std::memory_order_acquire);
    const uint32_t index = (uint32_t)((head + c.node_num + 1 - n) % c.node_num);
    if (head < n || !snap_node(c, index, out) || out->seq != head + 1 - n)
        return KO_RINGBUF_NONE; // never written, or rewritten meanwhile
    KO_LOGD(KO_RINGBUF_MODULE, "chn %d backwards to node index %d, current head %d, timestamp %llu\n", (int)chn,
            (int)index, (int)node_of(c, head), (unsigned long long)out->timestamp_us);
    return 0;
}

uint64_t age_ms(const node_snap &n, uint64_t now_ms)
{
    const uint64_t ts = n.timestamp_us / 1000;
    return ts > now_ms ? ts - now_ms : now_ms - ts;
}

// Frames to walk back for `seconds`: never more than were put or than a look-up may reach.
uint32_t walk_length(const ko_ringbuf_channel &c, uint32_t seconds)
{
    uint64_t n = (uint64_t)c.fps * seconds;
    const uint64_t count = c.frame_count.load(std::memory_order_acquire);
    if (n > count)
        n = count;
    if (n > max_back(c))
        n = max_back(c);
    return (uint32_t)n;
}

// Runs a look-up inside a ready channel: its result, -5 for a bad argument, or the readiness code.
template <class F> int look_up(unsigned chn, const ko_av_frame *out, F body)
{
    if (chn >= KO_STREAM_CHN_MAX) {
        KO_LOGE(KO_RINGBUF_MODULE, "Wrong buffer ring index channel:%d\n", (int)chn);
        return KO_RINGBUF_INVALID;
    }
    if (!out)
        return KO_RINGBUF_INVALID;
    ko_ringbuf_channel &c = g_chn[chn];
    channel_guard guard(c, kSlotLookup);
    // Not entered counts as not set up, even if the channel was set up again meanwhile.
    if (const int ready = guard.ok() ? readiness(chn) : -1)
        return log_readiness(chn, ready);
    return body(c);
}

} // namespace

extern "C" int ringbuffer_get_pre_frame(unsigned int channel, uint32_t frames_back, uint32_t *node_index,
                                        ko_av_frame *out)
{
    return look_up(channel, out, [&](const ko_ringbuf_channel &c) {
        node_snap n;
        if (int rc = pre_frame(c, channel, frames_back, &n))
            return rc;
        if (node_index)
            *node_index = n.index;
        fill_frame(n, nullptr, out);
        return 0;
    });
}

extern "C" int ringbuffer_get_video_lastest_Iframe(unsigned int channel, uint32_t seconds, ko_av_frame *out)
{
    return look_up(channel, out, [&](const ko_ringbuf_channel &c) {
        const uint32_t n = walk_length(c, seconds);
        const uint64_t now_ms = vexa_time_tick_ms();
        KO_LOGD(KO_RINGBUF_MODULE, "backwards %u head index is %d , time is %llu\n", n,
                (int)node_of(c, c.frame_count.load(std::memory_order_acquire)), (unsigned long long)now_ms);
        for (uint32_t i = n; i >= 1; i--) {
            node_snap node;
            if (pre_frame(c, channel, i, &node) != 0) {
                KO_LOGE(KO_RINGBUF_MODULE, "get pre frame i %d fail\n", (int)i);
                break;
            }
            const uint64_t age = age_ms(node, now_ms);
            const bool key = node.frame_type == KO_FRAME_TYPE_I;
            if (age > kTooOldMs || (key && age > (uint64_t)seconds * 1000)) {
                KO_LOGD(KO_RINGBUF_MODULE,
                        "Channel:%d, The timestamp is too old. i %d Break frame %llu current %llu\n", (int)channel,
                        (int)i, (unsigned long long)(node.timestamp_us / 1000), (unsigned long long)now_ms);
                continue;
            }
            if (key) {
                KO_LOGI(KO_RINGBUF_MODULE, "find video I frame i %d..index [%d]\n", (int)i, (int)node.index);
                stat_inc(g_stat[channel].i_frame_out);
                fill_frame(node, nullptr, out);
                return 0;
            }
        }
        if (c.force_iframe) {
            KO_LOGI(KO_RINGBUF_MODULE, "channel %d force I frame , i = %d\n", (int)channel, (int)n);
            c.force_iframe((int)channel);
        }
        usleep(100 * 1000);
        stat_inc(g_stat[channel].get_no_frame_times);
        return (int)KO_RINGBUF_NONE;
    });
}

extern "C" int ringbuffer_get_audio_related_with_video(unsigned int channel, uint32_t seconds, uint64_t video_ts_us,
                                                       ko_av_frame *out)
{
    return look_up(channel, out, [&](const ko_ringbuf_channel &c) {
        const uint32_t n = walk_length(c, seconds);
        KO_LOGD(KO_RINGBUF_MODULE, "audio sync with video backwards is %u , header is %u\n", n,
                (unsigned)node_of(c, c.frame_count.load(std::memory_order_acquire)));
        if (n == 0)
            return (int)KO_RINGBUF_NONE;
        const uint64_t now_ms = vexa_time_tick_ms();
        node_snap node{};
        for (uint32_t i = n; i >= 1; i--) {
            if (pre_frame(c, channel, i, &node) != 0) {
                stat_inc(g_stat[channel].get_no_frame_times);
                return (int)KO_RINGBUF_NONE;
            }
            if (age_ms(node, now_ms) > kTooOldMs) {
                KO_LOGD(KO_RINGBUF_MODULE, "Channel:%d, The timestamp is too old. i %d Break %llu %llu\n",
                        (int)channel, (int)i, (unsigned long long)(node.timestamp_us / 1000),
                        (unsigned long long)now_ms);
                continue;
            }
            if (node.timestamp_us >= video_ts_us) {
                KO_LOGD(KO_RINGBUF_MODULE, "audio find bigger time ..%llu\n",
                        (unsigned long long)node.timestamp_us);
                break;
            }
        }
        stat_inc(g_stat[channel].p_frame_out);
        fill_frame(node, nullptr, out);
        return 0;
    });
}
