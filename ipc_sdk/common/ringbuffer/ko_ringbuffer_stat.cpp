// The frame ring buffer's statistics: the writer's period figures (frame rate, bit rate, GOP), the
// readers' counters, and the "ringbuf.info" report sent when the statistics reporter asks.
#include <stdio.h>
#include <string.h>

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

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

void stat_reset_minimums(unsigned chn)
{
    ko_ringbuf_stat &s = g_stat[chn];
    for (auto *v : {&s.put_frame_min, &s.fps_min, &s.bitrate_min, &s.gop_min})
        v->store(kUntouched, std::memory_order_relaxed);
}

void stat_reset_channel(unsigned chn)
{
    ko_ringbuf_stat &s = g_stat[chn];
    for (auto *v : {&s.i_frame_in, &s.p_frame_in, &s.put_frame_err_times, &s.put_frame_max, &s.i_frame_out,
                    &s.p_frame_out, &s.get_no_frame_times, &s.fps_avg, &s.fps_max, &s.bitrate_avg, &s.bitrate_max,
                    &s.gop_avg, &s.gop_max, &s.I_force_ms, &s.period_frames, &s.period_gop})
        v->store(0, std::memory_order_relaxed);
    stat_reset_minimums(chn);
    s.period_bytes.store(0, std::memory_order_relaxed);
    s.period_start_ms.store(0, std::memory_order_relaxed);
}

int stat_register(void)
{
    return ko_message_listen(KO_UID_RINGBUF, "upload_statistics", msg_ringbuf_report_stat_cb, nullptr);
}

} // namespace ko_ringbuf

using namespace ko_ringbuf;

namespace {

constexpr const char *kReportKey = "ringbuf.info";

// A member of the report: a counter of the statistics, or a figure of the control block.
struct member_def {
    const char *name;
    std::atomic<uint32_t> ko_ringbuf_stat::*counter;
    uint32_t channel_figures::*figure;
    bool minimum; // reported as 0 while untouched
};

// The report's members, in order.
const member_def kMemberDefs[] = {
    {"i_frame_in", &ko_ringbuf_stat::i_frame_in, nullptr, false},
    {"i_frame_out", &ko_ringbuf_stat::i_frame_out, nullptr, false},
    {"p_frame_in", &ko_ringbuf_stat::p_frame_in, nullptr, false},
    {"p_frame_out", &ko_ringbuf_stat::p_frame_out, nullptr, false},
    {"put_frame_err_times", &ko_ringbuf_stat::put_frame_err_times, nullptr, false},
    {"get_no_frame_times", &ko_ringbuf_stat::get_no_frame_times, nullptr, false},
    {"put_frame_max", &ko_ringbuf_stat::put_frame_max, nullptr, false},
    {"put_frame_min", &ko_ringbuf_stat::put_frame_min, nullptr, true},
    {"inited", nullptr, &channel_figures::inited, false},
    {"buf_pool_size", nullptr, &channel_figures::pool_size, false},
    {"node_num", nullptr, &channel_figures::node_num, false},
    {"fps", nullptr, &channel_figures::fps, false},
    {"fps_avg", &ko_ringbuf_stat::fps_avg, nullptr, false},
    {"fps_min", &ko_ringbuf_stat::fps_min, nullptr, true},
    {"fps_max", &ko_ringbuf_stat::fps_max, nullptr, false},
    {"bitrate", nullptr, &channel_figures::bitrate, false},
    {"bitrate_avg", &ko_ringbuf_stat::bitrate_avg, nullptr, false},
    {"bitrate_max", &ko_ringbuf_stat::bitrate_max, nullptr, false},
    {"bitrate_min", &ko_ringbuf_stat::bitrate_min, nullptr, true},
    {"gop_avg", &ko_ringbuf_stat::gop_avg, nullptr, false},
    {"gop_min", &ko_ringbuf_stat::gop_min, nullptr, true},
    {"gop_max", &ko_ringbuf_stat::gop_max, nullptr, false},
    {"I_force_ms", &ko_ringbuf_stat::I_force_ms, nullptr, false},
    {"maxFrameSize", nullptr, &channel_figures::max_frame_size, false},
    {"maxBufferSec", nullptr, &channel_figures::seconds, false},
};
constexpr size_t kMembers = sizeof kMemberDefs / sizeof kMemberDefs[0];

using member_values = std::array<std::pair<const char *, uint32_t>, kMembers>;

// One channel's statistics, in the order of the report's members.
member_values channel_values(unsigned channel)
{
    const ko_ringbuf_stat &s = g_stat[channel];
    const channel_figures f = figures_of(channel);
    member_values values;
    for (size_t m = 0; m < kMembers; m++) {
        const member_def &d = kMemberDefs[m];
        const uint32_t v = !d.counter ? f.*d.figure : d.minimum ? reported_min(s.*d.counter) : (s.*d.counter).load();
        values[m] = {d.name, v};
    }
    return values;
}

// Resets, on every channel, the counters of the members that `part` carried.
void reset_members(json_object *part)
{
    json_object_object_foreach(part, key, val)
    {
        (void)val;
        for (const member_def &d : kMemberDefs) {
            if (!d.counter || strcmp(d.name, key) != 0)
                continue;
            for (ko_ringbuf_stat &s : g_stat)
                (s.*d.counter).store(d.minimum ? kUntouched : 0, std::memory_order_relaxed);
        }
    }
}

// The report: one object whose members are arrays of nine values, channel 0 to 8; null (logged)
// when it cannot be built.
json_object *stat_object()
{
    member_values rows[KO_STREAM_CHN_MAX];
    for (unsigned chn = 0; chn < KO_STREAM_CHN_MAX; chn++)
        rows[chn] = channel_values(chn);
    json_object *root = json_object_new_object();
    if (!root) {
        KO_LOGE(KO_RINGBUF_MODULE, "root_json is null\n");
        return nullptr;
    }
    for (size_t m = 0; m < kMembers; m++) {
        json_object *array = json_object_new_array();
        bool ok = array && json_object_object_add(root, rows[0][m].first, array) == 0;
        if (!ok)
            json_object_put(array);
        for (unsigned chn = 0; ok && chn < KO_STREAM_CHN_MAX; chn++) {
            json_object *v = json_object_new_int64(rows[chn][m].second);
            ok = v && json_object_array_add(array, v) == 0;
            if (!ok)
                json_object_put(v);
        }
        if (!ok) {
            KO_LOGE(KO_RINGBUF_MODULE, "array_json is null\n");
            json_object_put(root);
            return nullptr;
        }
    }
    return root;
}

size_t text_length(json_object *obj)
{
    const char *text = json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN);
    return text ? strlen(text) : SIZE_MAX;
}

// Adds a reference of `val` to `part`.
bool share_member(json_object *part, const char *key, json_object *val)
{
    if (!part)
        return false;
    if (json_object_object_add(part, key, json_object_get(val)) == 0)
        return true;
    json_object_put(val);
    return false;
}

// `root` cut, in member order, into objects whose texts each fit one report (one member alone
// always does); empty when memory runs out.
std::vector<json_object *> report_parts(json_object *root)
{
    std::vector<json_object *> parts{json_object_new_object()};
    bool ok = true;
    json_object_object_foreach(root, key, val)
    {
        ok = share_member(parts.back(), key, val);
        if (ok && json_object_object_length(parts.back()) > 1 &&
            text_length(parts.back()) > KO_REPORT_STAT_TEXT_MAX) {
            json_object_object_del(parts.back(), key);
            parts.push_back(json_object_new_object());
            ok = share_member(parts.back(), key, val);
        }
        if (!ok)
            break;
    }
    if (!ok) {
        for (json_object *part : parts)
            json_object_put(part);
        parts.clear();
    }
    return parts;
}

} // namespace

extern "C" void ringbuffer_stat_reset(void)
{
    for (unsigned chn = 0; chn < KO_STREAM_CHN_MAX; chn++)
        stat_reset_channel(chn);
}

extern "C" int ringbuffer_stat_json(char *out, size_t size)
{
    json_object *root = stat_object();
    if (!root)
        return -1;
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

// The whole report passes the length a report may have once a few channels run (nine channels'
// values of 25 members): it goes out in parts, each an object of whole nine-entry arrays in the
// report's member order, the first under "ringbuf.info", the next ones under "ringbuf.info.2",
// "ringbuf.info.3" and so on (keys of their own, as each key is sent at most once a minute).
extern "C" void msg_ringbuf_report_stat_cb(const ko_message_arg *arg)
{
    if (!arg || !arg->msgkey || !arg->param) {
        KO_LOGE(KO_RINGBUF_MODULE, "invalid param!\n");
        return;
    }
    KO_LOGD(KO_RINGBUF_MODULE, "ring_buf report come in\n");
    json_object *root = stat_object();
    if (!root)
        return; // statistics kept for the next report
    const std::vector<json_object *> parts = report_parts(root);
    json_object_put(root);
    if (parts.empty()) {
        KO_LOGE(KO_RINGBUF_MODULE, "root_json is null\n");
        return;
    }
    bool sent = true;
    for (size_t i = 0; i < parts.size(); i++) {
        char key[32];
        if (i == 0)
            snprintf(key, sizeof key, "%s", kReportKey);
        else
            snprintf(key, sizeof key, "%s.%u", kReportKey, static_cast<unsigned>(i + 1));
        if (report_stat_json(key, parts[i]) == 0) {
            reset_members(parts[i]);
        } else {
            KO_LOGW(KO_RINGBUF_MODULE, "%s not sent, its statistics kept\n", key);
            sent = false;
        }
        json_object_put(parts[i]);
    }
    if (sent)
        ringbuffer_stat_reset();
}
