// The frame ring buffer's statistics: the writer's period figures (frame rate, bit rate, GOP), the
// readers' counters, and the "ringbuf.info" report sent when the statistics reporter asks.
#include <string.h>

#include <initializer_list>

#include <json-c/json.h>

#include "common/report_stat/ko_report_stat.h"
#include "common/ringbuffer/ko_ringbuffer_internal.h"
#include "common/ringbuffer/ko_ringbuffer_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_ringbuf {

ko_ringbuf_stat g_stat[KO_STREAM_CHN_MAX];

namespace {

constexpr uint32_t kUntouched = 0xFFFFFFFFu;
constexpr uint64_t kAudioPeriodMs = 6000;

uint32_t running_avg(std::atomic<uint32_t> &avg, uint32_t x)
{
    const uint32_t old = avg.load(std::memory_order_relaxed);
    const uint32_t v = old ? (uint32_t)(((uint64_t)old + x) / 2) : x;
    avg.store(v, std::memory_order_relaxed);
    return v;
}

// Closes the running period and starts the next one now.
void close_period(unsigned chn, uint64_t now)
{
    ko_ringbuf_stat &s = g_stat[chn];
    const uint64_t elapsed = now - s.period_start_ms.load(std::memory_order_relaxed);
    const uint32_t gop = s.period_gop.load(std::memory_order_relaxed);
    running_avg(s.gop_avg, gop);
    stat_keep_min(s.gop_min, gop);
    stat_keep_max(s.gop_max, gop);
    // A period of 0 ms (two key frames within one millisecond) has no rate to tell.
    if (elapsed > 0) {
        const uint32_t fps = (uint32_t)(s.period_frames.load(std::memory_order_relaxed) * 1000ull / elapsed);
        running_avg(s.fps_avg, fps);
        stat_keep_min(s.fps_min, fps);
        stat_keep_max(s.fps_max, fps);
        const uint64_t rate = s.period_bytes.load(std::memory_order_relaxed) * 1000ull / elapsed;
        const uint32_t bitrate = rate > UINT32_MAX ? UINT32_MAX : (uint32_t)rate;
        running_avg(s.bitrate_avg, bitrate);
        stat_keep_min(s.bitrate_min, bitrate);
        stat_keep_max(s.bitrate_max, bitrate);
    }
    KO_LOGD(KO_RINGBUF_MODULE, "I frame get! stream info:ch=%d,fps=%u,gop=%u,I_force_ms=%u,bitrate=%u byte/s\n",
            (int)chn, s.fps_avg.load(std::memory_order_relaxed), s.gop_avg.load(std::memory_order_relaxed),
            s.I_force_ms.load(std::memory_order_relaxed), s.bitrate_avg.load(std::memory_order_relaxed));
    g_chn[chn].bitrate_avg.store(s.bitrate_avg.load(std::memory_order_relaxed), std::memory_order_relaxed);
    s.period_start_ms.store(now, std::memory_order_relaxed);
    s.period_frames.store(0, std::memory_order_relaxed);
    s.period_bytes.store(0, std::memory_order_relaxed);
    s.period_gop.store(0, std::memory_order_relaxed);
}

uint32_t reported_min(const std::atomic<uint32_t> &v)
{
    const uint32_t x = v.load(std::memory_order_relaxed);
    return x == kUntouched ? 0 : x;
}

struct channel_figures {
    uint32_t inited, pool_size, node_num, fps, bitrate, max_frame_size, seconds;
};

channel_figures figures_of(unsigned chn)
{
    channel_figures f{};
    ko_ringbuf_channel &c = g_chn[chn];
    channel_guard guard(c, kSlotLookup);
    if (guard.ok())
        f = {1, c.pool_size, c.node_num, c.fps, c.bitrate, c.max_frame_size, c.seconds};
    return f;
}

} // namespace

void stat_keep_max(std::atomic<uint32_t> &v, uint32_t x)
{
    uint32_t cur = v.load(std::memory_order_relaxed);
    while (x > cur && !v.compare_exchange_weak(cur, x, std::memory_order_relaxed)) {
    }
}

void stat_keep_min(std::atomic<uint32_t> &v, uint32_t x)
{
    uint32_t cur = v.load(std::memory_order_relaxed);
    while (x < cur && !v.compare_exchange_weak(cur, x, std::memory_order_relaxed)) {
    }
}

void stat_on_put(unsigned chn, uint32_t frame_type, uint32_t size)
{
    ko_ringbuf_stat &s = g_stat[chn];
    const uint64_t now = vexa_time_tick_ms();
    const uint64_t start = s.period_start_ms.load(std::memory_order_relaxed);
    if (frame_type == KO_FRAME_TYPE_I || frame_type == KO_FRAME_TYPE_AUDIO) {
        if (start == 0)
            s.period_start_ms.store(now, std::memory_order_relaxed);
        else if (frame_type == KO_FRAME_TYPE_I || now - start > kAudioPeriodMs)
            close_period(chn, now);
    }
    if (s.period_start_ms.load(std::memory_order_relaxed) != 0) {
        stat_inc(s.period_frames);
        s.period_bytes.fetch_add(size, std::memory_order_relaxed);
        stat_inc(s.period_gop);
    }
    stat_keep_min(s.put_frame_min, size);
    stat_keep_max(s.put_frame_max, size);
}

void stat_reset_minimums(void)
{
    for (auto &s : g_stat) {
        s.put_frame_min.store(kUntouched, std::memory_order_relaxed);
        s.fps_min.store(kUntouched, std::memory_order_relaxed);
        s.bitrate_min.store(kUntouched, std::memory_order_relaxed);
        s.gop_min.store(kUntouched, std::memory_order_relaxed);
    }
}

int stat_register(void)
{
    ko_message_reg reg;
    memset(&reg, 0, sizeof reg);
    reg.uid = KO_UID_RINGBUF;
    strcpy(reg.msgkey, "upload_statistics");
    reg.handler = msg_ringbuf_report_stat_cb;
    return ko_message_register(&reg);
}

} // namespace ko_ringbuf

using namespace ko_ringbuf;

extern "C" void ringbuffer_stat_reset(void)
{
    for (auto &s : g_stat) {
        for (auto *v : {&s.i_frame_in, &s.p_frame_in, &s.put_frame_err_times, &s.put_frame_max, &s.i_frame_out,
                        &s.p_frame_out, &s.get_no_frame_times, &s.fps_avg, &s.fps_max, &s.bitrate_avg, &s.bitrate_max,
                        &s.gop_avg, &s.gop_max, &s.I_force_ms, &s.period_frames, &s.period_gop})
            v->store(0, std::memory_order_relaxed);
        s.period_bytes.store(0, std::memory_order_relaxed);
        s.period_start_ms.store(0, std::memory_order_relaxed);
    }
    stat_reset_minimums();
}

extern "C" int ringbuffer_stat_json(char *out, size_t size)
{
    json_object *root = json_object_new_object();
    if (!root) {
        KO_LOGE(KO_RINGBUF_MODULE, "root_json is null\n");
        return -1;
    }
    channel_figures fig[KO_STREAM_CHN_MAX];
    for (unsigned i = 0; i < KO_STREAM_CHN_MAX; i++)
        fig[i] = figures_of(i);
    using getter = uint32_t (*)(unsigned chn, const channel_figures &f);
    static const struct {
        const char *key;
        getter get;
    } members[] = {
        {"i_frame_in", [](unsigned i, const channel_figures &) { return g_stat[i].i_frame_in.load(); }},
        {"i_frame_out", [](unsigned i, const channel_figures &) { return g_stat[i].i_frame_out.load(); }},
        {"p_frame_in", [](unsigned i, const channel_figures &) { return g_stat[i].p_frame_in.load(); }},
        {"p_frame_out", [](unsigned i, const channel_figures &) { return g_stat[i].p_frame_out.load(); }},
        {"put_frame_err_times", [](unsigned i, const channel_figures &) { return g_stat[i].put_frame_err_times.load(); }},
        {"get_no_frame_times", [](unsigned i, const channel_figures &) { return g_stat[i].get_no_frame_times.load(); }},
        {"put_frame_max", [](unsigned i, const channel_figures &) { return g_stat[i].put_frame_max.load(); }},
        {"put_frame_min", [](unsigned i, const channel_figures &) { return reported_min(g_stat[i].put_frame_min); }},
        {"inited", [](unsigned, const channel_figures &f) { return f.inited; }},
        {"buf_pool_size", [](unsigned, const channel_figures &f) { return f.pool_size; }},
        {"node_num", [](unsigned, const channel_figures &f) { return f.node_num; }},
        {"fps", [](unsigned, const channel_figures &f) { return f.fps; }},
        {"fps_avg", [](unsigned i, const channel_figures &) { return g_stat[i].fps_avg.load(); }},
        {"fps_min", [](unsigned i, const channel_figures &) { return reported_min(g_stat[i].fps_min); }},
        {"fps_max", [](unsigned i, const channel_figures &) { return g_stat[i].fps_max.load(); }},
        {"bitrate", [](unsigned, const channel_figures &f) { return f.bitrate; }},
        {"bitrate_avg", [](unsigned i, const channel_figures &) { return g_stat[i].bitrate_avg.load(); }},
        {"bitrate_max", [](unsigned i, const channel_figures &) { return g_stat[i].bitrate_max.load(); }},
        {"bitrate_min", [](unsigned i, const channel_figures &) { return reported_min(g_stat[i].bitrate_min); }},
        {"gop_avg", [](unsigned i, const channel_figures &) { return g_stat[i].gop_avg.load(); }},
        {"gop_min", [](unsigned i, const channel_figures &) { return reported_min(g_stat[i].gop_min); }},
        {"gop_max", [](unsigned i, const channel_figures &) { return g_stat[i].gop_max.load(); }},
        {"I_force_ms", [](unsigned i, const channel_figures &) { return g_stat[i].I_force_ms.load(); }},
        {"maxFrameSize", [](unsigned, const channel_figures &f) { return f.max_frame_size; }},
        {"maxBufferSec", [](unsigned, const channel_figures &f) { return f.seconds; }},
    };
    for (const auto &m : members) {
        json_object *array = json_object_new_array();
        if (!array) {
            KO_LOGE(KO_RINGBUF_MODULE, "array_json is null\n");
            json_object_put(root);
            return -1;
        }
        for (unsigned i = 0; i < KO_STREAM_CHN_MAX; i++)
            json_object_array_add(array, json_object_new_int64(m.get(i, fig[i])));
        json_object_object_add(root, m.key, array);
    }
    const char *text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    int rc = -1;
    if (!text) {
        KO_LOGE(KO_RINGBUF_MODULE, "get string fail\n");
    } else {
        const size_t len = strlen(text);
        if (out && len < size) {
            memcpy(out, text, len + 1);
            rc = (int)len;
        } else {
            KO_LOGE(KO_RINGBUF_MODULE, "statistics text of %zu bytes does not fit %zu\n", len, size);
        }
    }
    json_object_put(root);
    return rc;
}

extern "C" void msg_ringbuf_report_stat_cb(const ko_message_arg *arg)
{
    if (!arg || !arg->msgkey || !arg->param) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid param!\n");
        return;
    }
    KO_LOGD(KO_RINGBUF_MODULE, "ring_buf report come in\n");
    char text[4096];
    const int len = ringbuffer_stat_json(text, sizeof text);
    if (len < 0)
        return; // statistics kept for the next report
    const int rc = report_stat_object("ringbuf.info", text);
    KO_LOGD(KO_RINGBUF_MODULE, "report_stat_object len=%d: %s\n", len, text);
    if (rc != 0) {
        KO_LOGW(KO_RINGBUF_MODULE, "ringbuf.info not sent (%d), statistics kept\n", rc);
        return;
    }
    ringbuffer_stat_reset();
}
