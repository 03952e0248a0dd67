// The frame ring buffer's channel set-up and release, the single writer's put, and the node and byte
// access rules that readers and look-ups share.
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "common/ringbuffer/ko_ringbuffer_internal.h"
#include "common/ringbuffer/ko_ringbuffer_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/vexa_mem.h"

namespace ko_ringbuf {

ko_ringbuf_channel g_chn[KO_STREAM_CHN_MAX];

namespace {

std::mutex g_setup_mutex; // init and free only; the frame path takes no lock

// Everything but the guard counters, which threads being turned away may still touch.
void clear_block(ko_ringbuf_channel &c)
{
    c.pool = nullptr;
    c.pool_size = c.node_num = 0;
    c.nodes = nullptr;
    c.fps = c.bitrate = c.seconds = c.gop = c.max_frame_size = c.key_wait_ms = 0;
    c.video = false;
    c.force_iframe = nullptr;
    c.tail = 0;
    c.write_pos = 0;
    c.frame_count.store(0, std::memory_order_relaxed);
    c.last_key_seq.store(0, std::memory_order_relaxed);
    c.reserved.store(0, std::memory_order_relaxed);
    c.bitrate_avg.store(0, std::memory_order_relaxed);
    for (auto &s : c.slot)
        s.want.store(0, std::memory_order_relaxed);
}

struct sizing {
    uint32_t pool_size, node_num, max_frame_size;
};

// Sizes a channel from its parameters. A short ring keeps fewer frames, it is not refused: the
// largest frame (a GOP's worth of bytes for video, two seconds' worth for audio) is capped so that it
// still leaves a second of data area (half of a one-second ring) for a reader to trail the writer
// by, or every reader would count as lagging one frame behind. Only what no ring can serve is
// refused: no seconds, a video GOP shorter than a second (its largest frame would be 0 bytes), sizes
// past 32 bits.
int check_sizing(const ko_stream_chn_info &info, bool video, sizing *out)
{
    const uint64_t per_second = (uint64_t)info.bitrate * 128; // bytes at the nominal bit rate
    const uint64_t pool = (uint64_t)info.seconds * per_second;
    const uint64_t nodes = (uint64_t)info.seconds * info.fps;
    if (info.seconds == 0) {
        KO_LOGE(KO_RINGBUF_MODULE, "seconds invalid, %u,%u\n", info.channel, info.seconds);
        return KO_RINGBUF_INVALID;
    }
    if (video && info.gop < info.fps) {
        KO_LOGE(KO_RINGBUF_MODULE, "gop invalid, %u,%u\n", info.channel, info.gop);
        return KO_RINGBUF_INVALID;
    }
    if (pool > UINT32_MAX || nodes > UINT32_MAX) {
        KO_LOGE(KO_RINGBUF_MODULE, "buffer size overflow, channel %u: %llu bytes, %llu nodes\n", info.channel,
                (unsigned long long)pool, (unsigned long long)nodes);
        return KO_RINGBUF_INVALID;
    }
    const uint64_t max_frame = video ? per_second * (info.gop / info.fps) : (uint64_t)info.bitrate * 256;
    out->pool_size = (uint32_t)pool;
    out->node_num = (uint32_t)nodes;
    out->max_frame_size = (uint32_t)std::min(max_frame, pool - std::min(per_second, pool / 2));
    return 0;
}

void write_bytes(word_t *pool, uint32_t off, const uint8_t *src, uint32_t n)
{
    word_t *w = pool + off / kWord;
    const uint32_t full = n / kWord;
    for (uint32_t i = 0; i < full; i++) {
        word_t v;
        memcpy(&v, src + (size_t)i * kWord, kWord);
        st(w[i], v);
    }
    if (const uint32_t rest = n % kWord) {
        word_t v = 0;
        memcpy(&v, src + (size_t)full * kWord, rest);
        st(w[full], v);
    }
}

void read_bytes(const word_t *pool, uint32_t off, uint8_t *dst, uint32_t n)
{
    const word_t *w = pool + off / kWord;
    const uint32_t full = n / kWord;
    for (uint32_t i = 0; i < full; i++) {
        const word_t v = ld(w[i]);
        memcpy(dst + (size_t)i * kWord, &v, kWord);
    }
    if (const uint32_t rest = n % kWord) {
        const word_t v = ld(w[full]);
        memcpy(dst + (size_t)full * kWord, &v, rest);
    }
}

} // namespace

bool snap_node(const ko_ringbuf_channel &c, uint32_t index, node_snap *out)
{
    const ring_node &n = c.nodes[index];
    const uint64_t seq = ld_acquire(n.seq);
    out->pos = ld(n.pos);
    out->timestamp_us = ld(n.timestamp_us);
    out->size = ld(n.size);
    out->frame_type = ld(n.frame_type);
    out->frame_tag = ld(n.frame_tag);
    out->index = index;
    fence_acquire();
    out->seq = seq;
    return ld(n.seq) == seq;
}

bool snap_head(const ko_ringbuf_channel &c, node_snap *out)
{
    for (int attempt = 0; attempt < 4; attempt++) {
        const uint64_t head = c.frame_count.load(std::memory_order_acquire);
        if (snap_node(c, node_of(c, head), out) && out->seq == head)
            return true;
    }
    return false;
}

bool copy_frame(const ko_ringbuf_channel &c, const node_snap &n, void *dst)
{
    if (c.reserved.load(std::memory_order_relaxed) > n.pos + c.pool_size)
        return false; // already gone, no need to copy
    read_bytes(c.pool, (uint32_t)(n.pos % c.pool_size), static_cast<uint8_t *>(dst), n.size);
    fence_acquire();
    return c.reserved.load(std::memory_order_relaxed) <= n.pos + c.pool_size;
}

void fill_frame(const node_snap &n, void *data, ko_av_frame *out)
{
    out->seq_no = (uint32_t)n.seq;
    out->node_index = n.index;
    out->timestamp_us = n.timestamp_us;
    out->timestamp_s = n.timestamp_us / 1000000;
    out->frame_tag = n.frame_tag;
    out->frame_type = n.frame_type;
    out->data = data;
    out->size = n.size;
}

int readiness(unsigned chn)
{
    if (chn >= KO_STREAM_CHN_MAX)
        return KO_RINGBUF_NOT_INIT;
    if (!g_chn[chn].inited.load(std::memory_order_acquire))
        return -1;
    if (g_chn[chn].frame_count.load(std::memory_order_acquire) == 0)
        return KO_RINGBUF_EMPTY;
    return 0;
}

} // namespace ko_ringbuf

using namespace ko_ringbuf;

extern "C" int ringbuffer_init(const ko_stream_chn_info *info)
{
    if (!info) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid param info\n");
        return KO_RINGBUF_INVALID;
    }
    const unsigned chn = info->channel;
    if (chn >= KO_STREAM_CHN_MAX) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid param channel %d\n", (int)chn);
        return KO_RINGBUF_INVALID;
    }
    if (info->bitrate < 1 || info->bitrate > 4194304) {
        KO_LOGE(KO_RINGBUF_MODULE, "bitrate invalid, %d,%d", (int)chn, (int)info->bitrate);
        return KO_RINGBUF_INVALID;
    }
    if (info->fps == 0) {
        KO_LOGE(KO_RINGBUF_MODULE, "fps invalid");
        return KO_RINGBUF_INVALID;
    }
    std::lock_guard<std::mutex> lock(g_setup_mutex);
    ko_ringbuf_channel &c = g_chn[chn];
    if (c.inited.load(std::memory_order_relaxed)) {
        KO_LOGE(KO_RINGBUF_MODULE, "RingBuffer Channel:%d Already Inited", (int)chn);
        return KO_RINGBUF_NOT_INIT;
    }
    const bool video = is_video_channel(chn);
    sizing sz;
    if (int rc = check_sizing(*info, video, &sz))
        return rc;

    clear_block(c);
    c.seconds = info->seconds;
    c.bitrate = info->bitrate;
    c.pool_size = sz.pool_size;
    c.max_frame_size = sz.max_frame_size;
    c.pool = static_cast<word_t *>(_vexa_malloc(0, 0, sz.pool_size)); // zero-filled
    if (!c.pool) {
        KO_LOGE(KO_RINGBUF_MODULE, "malloc mem for buffer ring channel:%d size %u\n", (int)chn, sz.pool_size);
        return KO_RINGBUF_NOMEM;
    }
    KO_LOGI(KO_RINGBUF_MODULE, "ringbuffer init : channel[%u] bitrate[%u] fps[%u], sec[%u], maxFrame[%u]\n", chn,
            info->bitrate, info->fps, info->seconds, sz.max_frame_size);
    c.fps = info->fps;
    c.gop = info->gop;
    c.node_num = sz.node_num;
    c.nodes = static_cast<ring_node *>(_vexa_calloc(0, 0, sz.node_num, sizeof(ring_node)));
    if (!c.nodes) {
        KO_LOGE(KO_RINGBUF_MODULE, "malloc mem for buffer ring channel:%d nodes %d\n", (int)chn, (int)sz.node_num);
        _vexa_free(0, 0, c.pool);
        clear_block(c);
        return KO_RINGBUF_NOMEM;
    }
    c.video = video;
    if (video) {
        c.force_iframe = info->force_iframe;
        // A waiting video reader gives up after one GOP and a second more for a requested key frame.
        c.key_wait_ms = (info->gop / info->fps + 1) * 1000;
    }
    stat_reset_minimums(chn);
    c.inited.store(1, std::memory_order_seq_cst);

    int rc = 0;
    if (stat_register() != 0) {
        KO_LOGE("KO REC", " message register failed!\n");
        rc = -1;
    }
    KO_LOGI(KO_RINGBUF_MODULE, "Init Ring Buffer success: channel:%d size:%u nodes:%u\n", (int)chn, sz.pool_size,
            sz.node_num);
    KO_LOGI(KO_RINGBUF_MODULE, "ringbuffer channel %d start addr %p , end addr %p\n", (int)chn, (void *)c.pool,
            (void *)((uint8_t *)c.pool + sz.pool_size));
    return rc;
}

extern "C" void ringbuffer_free(unsigned int channel)
{
    if (channel >= KO_STREAM_CHN_MAX) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid channel\n");
        return;
    }
    std::lock_guard<std::mutex> lock(g_setup_mutex);
    ko_ringbuf_channel &c = g_chn[channel];
    if (!c.inited.load(std::memory_order_relaxed))
        return;
    KO_LOGI(KO_RINGBUF_MODULE, "ringbuffer free channel %d\n", (int)channel);
    c.inited.store(0, std::memory_order_seq_cst);
    // Readers waiting for a key frame notice within one 10 ms poll; a copy in progress ends soon.
    const uint64_t start = vexa_time_tick_ms();
    bool warned = false;
    for (auto &s : c.slot) {
        while (s.users.load(std::memory_order_acquire) != 0) {
            if (!warned && vexa_time_tick_ms() - start > 1000) {
                KO_LOGW(KO_RINGBUF_MODULE, "ringbuffer free channel %d waits for its readers\n", (int)channel);
                warned = true;
            }
            usleep(1000);
        }
    }
    _vexa_free(0, 0, c.nodes);
    _vexa_free(0, 0, c.pool);
    clear_block(c);
}

extern "C" int ringbuffer_put_frame(unsigned int channel, const ko_av_frame *frame)
{
    if (!frame) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid param info\n");
        return KO_RINGBUF_INVALID;
    }
    if (channel >= KO_STREAM_CHN_MAX) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid ring index channel:%d\n", (int)channel);
        stat_inc(g_stat[0].put_frame_err_times);
        return KO_RINGBUF_INVALID;
    }
    ko_ringbuf_stat &stat = g_stat[channel];
    stat_on_put(channel, frame->frame_type, frame->size);

    ko_ringbuf_channel &c = g_chn[channel];
    channel_guard guard(c, kSlotWriter);
    if (!guard.ok()) {
        KO_LOGE(KO_RINGBUF_MODULE, "RingBuffer Channel:%d Not Inited\n", (int)channel);
        stat_inc(stat.put_frame_err_times);
        return KO_RINGBUF_NOT_INIT;
    }
    if (frame->size > c.max_frame_size) {
        KO_LOGE(KO_RINGBUF_MODULE, "data over size:%d>%d\n", (int)frame->size, (int)c.max_frame_size);
        stat_inc(stat.put_frame_err_times);
        return KO_RINGBUF_INVALID;
    }
    if (frame->size == 0 || !frame->data) {
        KO_LOGE(KO_RINGBUF_MODULE, "empty frame for channel:%d\n", (int)channel);
        stat_inc(stat.put_frame_err_times);
        return KO_RINGBUF_INVALID;
    }

    const uint64_t seq = c.frame_count.load(std::memory_order_relaxed) + 1;
    const uint32_t index = node_of(c, seq); // (head + 1) modulo node_num
    const uint32_t size = frame->size;
    uint32_t off = c.tail;
    if ((uint64_t)c.tail + size >= c.pool_size) {
        KO_LOGD(KO_RINGBUF_MODULE, "reach end,restart.channel:%d tailOffset:%u dataSize:%u\n", (int)channel, c.tail,
                size);
        c.write_pos += c.pool_size - c.tail;
        off = 0;
    }
    const uint64_t pos = c.write_pos;
    const uint32_t used = align_word(size); // frames start on word boundaries
    ring_node &n = c.nodes[index];

    st(n.seq, (uint64_t)0);
    c.reserved.store(pos + used, std::memory_order_relaxed);
    fence_release();
    write_bytes(c.pool, off, static_cast<const uint8_t *>(frame->data), size);
    const uint64_t ts = frame->timestamp_us ? frame->timestamp_us : vexa_time_tick_us();
    st(n.pos, pos);
    st(n.timestamp_us, ts);
    st(n.size, size);
    st(n.frame_type, frame->frame_type);
    st(n.frame_tag, frame->frame_tag);
    st_release(n.seq, seq);
    c.frame_count.store(seq, std::memory_order_release);
    c.tail = off + used;
    c.write_pos = pos + used;

    if (frame->frame_type == KO_FRAME_TYPE_I) {
        c.last_key_seq.store(seq, std::memory_order_release);
        stat_inc(stat.i_frame_in);
    } else {
        stat_inc(stat.p_frame_in);
    }
    return 0;
}

extern "C" int ringbuffer_is_ready(unsigned int channel)
{
    return log_readiness(channel, readiness(channel));
}

int ko_ringbuf::log_readiness(unsigned channel, int rc)
{
    if (rc == KO_RINGBUF_NOT_INIT)
        KO_LOGE(KO_RINGBUF_MODULE, "Wrong buffer ring index channel:%d", (int)channel);
    else if (rc == -1)
        KO_LOGE(KO_RINGBUF_MODULE, "RingBuffer Channel:%d Not Inited", (int)channel);
    else if (rc == KO_RINGBUF_EMPTY)
        KO_LOGE(KO_RINGBUF_MODULE, "No frame data inside ring buffer. please put frame to channel %d first\n",
                (int)channel);
    return rc;
}

extern "C" int ringbuffer_get_channel_is_init(unsigned int channel)
{
    return channel < KO_STREAM_CHN_MAX ? g_chn[channel].inited.load(std::memory_order_acquire) : 0;
}

extern "C" uint32_t ringbuffer_get_bitrate_avg(unsigned int channel)
{
    return channel < KO_STREAM_CHN_MAX ? g_chn[channel].bitrate_avg.load(std::memory_order_relaxed) : 0;
}

extern "C" uint32_t ringbuffer_get_max_frame_size(unsigned int channel)
{
    if (channel >= KO_STREAM_CHN_MAX)
        return 0;
    channel_guard guard(g_chn[channel], kSlotLookup);
    return guard.ok() ? g_chn[channel].max_frame_size : 0;
}
