// Starting, steering and stopping a playback, the opening of a recorded period and the "playback.info"
// statistics. The handle's reader has one owner: it is closed under the handle's lock, by whichever of
// the video thread and stop comes first.
#include "ko_playback.h"

#include <json-c/json.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <new>

#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_log.h"
#include "ko_playback_state.h"
#include "record_index.h"
#include "sd_pool.h"

namespace pb {
namespace {

constexpr const char *kModule = "KO PLAYBACK";
constexpr const char *kStatNames[kStatCount] = {
    "start", "start_err", "no_mp4_file", "mp4_demux_file", "mp4_open_err", "mp4_frame_v", "mp4_frame_v_err",
    "v_frame_send", "v_frame_send_err", "mp4_frame_a", "mp4_frame_a_err", "a_frame_send", "a_frame_send_err",
    "stop", "stop_end", "stop_err", "v_step1", "v_step2", "v_step3", "a_step1", "a_step2", "a_step3"};

std::array<std::atomic<int64_t>, kStatCount> g_stats{};
std::mutex g_module_lock;
bool g_initialised = false;
void (*g_release)(void) = nullptr;

void on_statistics(const ko_message_arg *)
{
    json_object *obj = json_object_new_object();
    if (!obj)
        return;
    for (int i = 0; i < kStatCount; i++)
        json_object_object_add(obj, kStatNames[i], json_object_new_int64(g_stats[i].exchange(0)));
    report_stat_json("playback.info", obj);
    json_object_put(obj);
}

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

void free_handle(ko_playback *h)
{
    {
        std::lock_guard<std::mutex> guard(h->lock);
        close_reader(*h);
    }
    delete h;
}

} // namespace

void count(StatKey key) { g_stats[key]++; }

void report(ko_playback &h, int status)
{
    if (h.callbacks.status)
        h.callbacks.status(status, &h.meta, h.user);
}

void close_reader(ko_playback &h)
{
    if (h.reader)
        fmp4_demuxer_close(h.reader);
    h.reader = nullptr;
}

int open_period(ko_playback &h, uint32_t start)
{
    close_reader(h);
    record_index_record_t record{};
    char path[1024];
    if (record_find_record_info(0, start, &record, 0) != 1) {
        KO_LOGE(kModule, "playback:mp4 find error,timestamp:%u\n", start);
        count(kNoMp4File);
        return -1;
    }
    if (sd_get_path(record.name, path) != 0 || !(h.reader = fmp4_demuxer_open(path))) {
        KO_LOGE(kModule, "playback:mp4 demuxer open error\n");
        count(kMp4OpenErr);
        return -1;
    }
    count(kMp4DemuxFile);
    const int rc = fmp4_demuxer_seek_fragment(h.reader, start);
    if (rc < 0) {
        KO_LOGE(kModule, "playback: fmp4 demuxer seek fragment failed, fragment timestamp:%u!\n", start);
        close_reader(h);
        return -1;
    }
    fmp4_video_info_t v{};
    fmp4_audio_info_t a{};
    fmp4_demuxer_video_info(h.reader, &v);
    fmp4_demuxer_audio_info(h.reader, &a);
    // A deleted period (rc 1) is not loaded and has no samples either.
    if (v.samples < 2) {
        KO_LOGE(kModule, "movie fragment not exist, fragment timestamp:%u!\n", start);
        close_reader(h);
        return -1;
    }
    if (start == 0)
        KO_LOGW(kModule, "[%s] invalid mp4 ts ....%u\n", __func__, start);
    h.period_start = start;
    h.origin_ms = v.start_ms;
    h.samples = v.samples;
    h.keys = v.keys;
    h.meta.start_time = start;
    h.meta.end_time = h.request.end_time;
    h.meta.duration_s = v.duration_s;
    h.meta.video_codec = v.codec;
    h.meta.width = v.width;
    h.meta.height = v.height;
    h.meta.fps = v.duration_s ? ceil_div(v.samples, v.duration_s) : v.samples;
    h.meta.audio_codec = a.codec;
    h.meta.sample_rate = a.time_scale;
    h.meta.sample_bits = 16;
    h.meta.channels = 1;
    h.video_sent = false;
    h.last_video_us = 0;
    h.gop_frames = 0;
    h.audio_ended = false;
    h.file_switches++;
    return 0;
}

} // namespace pb

using namespace pb;

extern "C" uint32_t ko_playback_frames_per_gop(uint32_t samples, uint32_t keys, uint32_t duration_s, int speed)
{
    if (speed <= 1 || samples == 0)
        return 0;
    // A period without key frames or shorter than a second still gets a rule, never a division by 0.
    const uint32_t gop = keys ? ceil_div(samples, keys) : samples;
    const uint32_t fps = duration_s ? ceil_div(samples, duration_s) : samples;
    const uint64_t limit = static_cast<uint64_t>(gop) * 20 / (static_cast<uint64_t>(speed) * fps);
    return limit ? static_cast<uint32_t>(limit) : 1;
}

extern "C" int ko_playback_init(void (*release_fn)(void))
{
    std::lock_guard<std::mutex> guard(g_module_lock);
    if (!g_initialised && ko_message_listen(KO_UID_PLAYBACK, "upload_statistics", on_statistics, nullptr) != 0) {
        KO_LOGE(kModule, " message register failed!\n");
        return -1;
    }
    g_initialised = true;
    g_release = release_fn;
    return 0;
}

extern "C" int ko_playback_deinit(void)
{
    std::lock_guard<std::mutex> guard(g_module_lock);
    if (g_initialised)
        ko_message_unregister(KO_UID_PLAYBACK, "upload_statistics");
    g_initialised = false;
    g_release = nullptr;
    return 0;
}

extern "C" ko_playback_t *ko_playback_start(const ko_playback_request_t *request,
                                            const ko_playback_callbacks_t *callbacks, void *value, void *user)
{
    if (!request || !callbacks || !callbacks->video) {
        KO_LOGE(kModule, "invalid playback param\n");
        count(kStartErr);
        return nullptr;
    }
    count(kStart);
    auto *h = new (std::nothrow) ko_playback;
    if (!h) {
        count(kStartErr);
        return nullptr;
    }
    h->request = *request;
    h->callbacks = *callbacks;
    h->value = value;
    h->user = user;
    {
        std::lock_guard<std::mutex> guard(g_module_lock);
        sd_set_free_playback_func(g_release);
    }
    int status = KO_PLAYBACK_FAILED;
    bool ok = false;
    {
        std::lock_guard<std::mutex> guard(h->lock);
        if (open_period(*h, request->start_time) == 0) {
            uint32_t offset = request->offset;
            const uint64_t start = request->start_time;
            if (offset && offset < h->meta.duration_s && offset > 2 && request->end_time < offset + start + 3)
                offset -= 3;
            ok = fmp4_demuxer_seek(h->reader, offset) == 0;
            if (!ok)
                KO_LOGE(kModule, "playback:fmp4 demuxer seek fail\n");
        }
    }
    if (ok) {
        ko_thread_attr attr{};
        snprintf(attr.name, sizeof attr.name, "pb_a");
        h->audio_thread = ko_thread_run(&attr, audio_thread, h);
        if (!h->audio_thread)
            KO_LOGE(kModule, "playback:aideo thread create fail\n");
        ko_thread_attr vattr{};
        snprintf(vattr.name, sizeof vattr.name, "pb_v");
        if (h->audio_thread && !(h->video_thread = ko_thread_run(&vattr, video_thread, h)))
            KO_LOGE(kModule, "playback:video thread create fail\n");
        if (!h->video_thread) {
            status = KO_PLAYBACK_NOT_STARTED;
            ok = false;
            {
                std::lock_guard<std::mutex> guard(h->lock);
                h->state = kStopping;
                h->stop_requested = true;
            }
            ko_thread_destory(h->audio_thread);
            h->audio_thread = nullptr;
        }
    }
    if (!ok) {
        count(kStartErr);
        report(*h, status);
        free_handle(h);
        return nullptr;
    }
    report(*h, KO_PLAYBACK_STARTED);
    KO_LOGI(kModule, "playback start !\n");
    return h;
}

extern "C" int ko_playback_speed_ctrl(ko_playback_t *h, int speed)
{
    if (!h) {
        KO_LOGE(kModule, "invalid playback handle\n");
        return -1;
    }
    if (speed != 1 && speed != 4 && speed != 16) {
        KO_LOGE(kModule, "not support playback speed %d\n", speed);
        return -1;
    }
    std::lock_guard<std::mutex> guard(h->lock);
    KO_LOGI(kModule, "playback speed %d \n", speed);
    h->speed = speed;
    return 0;
}

static int set_state(ko_playback_t *h, int state)
{
    if (!h) {
        KO_LOGE(kModule, "invalid playback handle\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(h->lock);
    if (h->state != kStopping)
        h->state = state;
    return 0;
}

extern "C" int ko_playback_pause(ko_playback_t *h)
{
    KO_LOGI(kModule, "playback pause !\n");
    return set_state(h, kPaused);
}

extern "C" int ko_playback_resume(ko_playback_t *h) { return set_state(h, kPlaying); }

extern "C" void *ko_playback_value(ko_playback_t *h) { return h ? h->value : nullptr; }

extern "C" int ko_playback_stop(ko_playback_t *h)
{
    if (!h) {
        KO_LOGE(kModule, "invalid playback handle\n");
        count(kStopErr);
        return -1;
    }
    KO_LOGI(kModule, "start>>>>> playback stop !\n");
    count(kStop);
    {
        std::lock_guard<std::mutex> guard(h->lock);
        h->state = kStopping;
        h->stop_requested = true;
    }
    ko_thread_destory(h->audio_thread);
    ko_thread_destory(h->video_thread);
    free_handle(h);
    KO_LOGI(kModule, "end>>>>> playback stop !\n");
    return 0;
}
