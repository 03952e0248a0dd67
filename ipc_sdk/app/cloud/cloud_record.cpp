#include "app/cloud/cloud_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/cloud/cloud_clip_file.h"
#include "app/cloud/cloud_list.h"
#include "app/cloud/cloud_resolution.h"
#include "app/cloud/cloud_schedule.h"
#include "app/cloud/ko_cloud_internal.h"
#include "common/event/ko_event.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_path.h"

namespace {

constexpr int kIdleMs = 50;
constexpr int kNoFrameMs = 20;
constexpr int64_t kClipTailMs = 80;
constexpr int64_t kKeepPendingMs = 2000;
constexpr int64_t kContinuousClipMaxMs = 30080;
constexpr uint64_t kGroupGapMs = 30000;
constexpr uint64_t kLongFileMs = 3500;
constexpr uint32_t kMinFileBytes = 1024;
constexpr uint64_t kEventBit = 1;

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The settings a pass works with, taken together under the context mutex.
struct settings {
    bool upload = false;
    bool vip = false;
    bool cloud_switch = false;
    bool expired = false;
    int mode = 0;
    int gop = 3;
    int cloud_offset_limit = 600;
    uint32_t upload_speed = 0;
    cloud_alarm_config_t alarm{};
};

settings read_settings(cloud_record_ctx_t &c)
{
    settings s;
    std::lock_guard<std::mutex> lock(c.shared.mutex);
    s.upload = c.upload_switch != 0;
    s.vip = c.shared.vip != 0;
    s.cloud_switch = c.shared.cloud_switch != 0;
    s.expired = c.shared.expired != 0;
    s.mode = c.param.mode;
    s.gop = c.shared.gop;
    s.cloud_offset_limit = c.shared.cloud_offset_limit;
    s.upload_speed = c.upload_speed;
    s.alarm = c.alarm;
    return s;
}

bool in_schedule(const settings &s)
{
    return _check_curtime_is_alarm(&s.alarm, cloud_local_minute_of_day()) == 1;
}

bool cloud_event_pending(int clear)
{
    uint8_t flag = 0;
    return ko_event_get_count(KO_EVENT_CONSUMER_CLOUD, &flag, clear) == 1;
}

// Whether recording may go on at all: an alarm is pending, a subscribed account records
// continuously, or the schedule covers now.
bool start_test(const settings &s, bool pending)
{
    if (!s.upload)
        return false;
    if (pending || (s.vip && s.cloud_switch))
        return true;
    return !s.vip && !s.expired && in_schedule(s);
}

bool probe_channel(unsigned ch, uint64_t *buffered_bytes)
{
    if (!ringbuffer_get_channel_is_init(ch))
        return false;
    const ko_stream_chn_info *info = ko_ipc_get_stream_info(ch);
    if (!info)
        return false;
    *buffered_bytes = static_cast<uint64_t>(info->bitrate) * 1000 / 8 * info->seconds;
    return true;
}

void remove_file(const std::string &path)
{
    if (unlink(zel_path(path).c_str()) != 0 && errno != ENOENT)
        KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
}

// Deletes a dropped file's mp4, then its snapshot, waiting for a snapshot still on its way.
void delete_clip_files(const char *mp4, const char *jpeg)
{
    remove_file(mp4);
    const std::string path = zel_path(jpeg);
    for (int i = 0; i < 10; ++i) {
        if (unlink(path.c_str()) == 0)
            return;
        if (errno != ENOENT) {
            KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
            return;
        }
        sleep_ms(200);
    }
}

class recorder {
public:
    explicit recorder(cloud_record_ctx_t &c) : c_(c), video_(static_cast<unsigned>(c.param.video_channel)) {}

    void run()
    {
        auto_switch_ = c_.param.auto_switch == 1 && ringbuffer_get_channel_is_init(0) && ringbuffer_get_channel_is_init(1);
        while (c_.shared.running.load()) {
            thread_alive_update_status(0, 0);
            if (!pass())
                sleep_ms(kIdleMs);
        }
        thread_alive_update_status(2, 0);
        KO_LOGI(CLOUD_MODULE, "cloud record thread exit!\n");
    }

private:
    // One pass: false when there was nothing to record.
    bool pass()
    {
        const settings s = read_settings(c_);
        bool pending = s.upload && cloud_event_pending(0);
        if (!start_test(s, pending)) {
            clip_left_ms_ = 0;
            return false;
        }
        c_.stats.rec_step[0]++;
        if (clip_left_ms_ < kKeepPendingMs) {
            pending = cloud_event_pending(1);
            c_.stats.rec_step[1]++;
        }
        if (!plan_clip(s, pending))
            return false;
        record_file(s);
        if (auto_switch_)
            switch_resolution(s);
        return true;
    }

    // Opens an event clip or a continuous group when one is due: whether clip time is left.
    bool plan_clip(const settings &s, bool pending)
    {
        if (!s.vip || s.mode == 1) {
            if (pending && clip_left_ms_ <= 0) {
                c_.group++;
                c_.stats.event++;
                c_.stats.rec_step[2]++;
                look_back(s);
                clip_left_ms_ = static_cast<int64_t>(s.alarm.record_seconds) * 1000 + kClipTailMs;
                clip_opens_ = true;
            }
        } else if (s.mode == 0 && (s.cloud_switch || pending || prev_event_file_)) {
            const int64_t group_ms = static_cast<int64_t>(s.cloud_offset_limit) * s.gop * 1000;
            // The group's length in media time, from its first frame to the end of its last file.
            const int64_t elapsed =
                group_start_us_ ? static_cast<int64_t>((last_video_end_us_ - group_start_us_) / 1000) : 0;
            const bool gap = clip_left_ms_ <= 0 && vexa_time_tick_ms() - last_file_end_ms_ > kGroupGapMs;
            // Longer than (cloudOffsetLimit - 0.5) GOPs, in half GOPs.
            const bool long_group = elapsed * 2 > (2 * static_cast<int64_t>(s.cloud_offset_limit) - 1) * s.gop * 1000;
            if (!group_open_ || gap || long_group) {
                c_.group++;
                c_.stats.rec_step[3]++;
                if (!group_open_ || gap)
                    look_back(s);
                group_open_ = true;
                group_start_us_ = 0;
                clip_left_ms_ = std::min(group_ms, kContinuousClipMaxMs);
                clip_opens_ = true;
            } else if (clip_left_ms_ <= 0) {
                clip_left_ms_ = std::min(group_ms - elapsed, kContinuousClipMaxMs);
            }
        }
        return clip_left_ms_ > 0;
    }

    // Puts reader 1 on the newest key frame within the look-back, and audio beside it.
    void look_back(const settings &s)
    {
        const ko_stream_chn_info *v = ko_ipc_get_stream_info(video_);
        const unsigned audio = static_cast<unsigned>(c_.param.audio_channel);
        if (!v || v->fps == 0)
            return;
        const uint32_t gop_s = std::max<uint32_t>(1, v->gop / v->fps);
        uint32_t back = s.alarm.back_seconds;
        if (back == 0 || back > cloud_max_back_seconds(v->seconds, v->gop, v->fps))
            back = gop_s;
        ko_av_frame key{};
        if (ringbuffer_get_video_lastest_Iframe(video_, back, &key) != 0) {
            ringbuffer_reset_user_state(video_, CLOUD_READER);
            return;
        }
        ringbuffer_mark_user_to_node(video_, CLOUD_READER, &key);
        c_.stats.rec_step[4]++;
        ko_av_frame a{};
        if (ringbuffer_get_channel_is_init(audio) &&
            ringbuffer_get_audio_related_with_video(audio, back, key.timestamp_us, &a) == 0)
            ringbuffer_mark_user_to_node(audio, CLOUD_READER, &a);
    }

    cloud_clip_source source() const
    {
        cloud_clip_source src;
        src.video = video_;
        src.audio = static_cast<unsigned>(c_.param.audio_channel);
        if (const ko_stream_chn_info *v = ko_ipc_get_stream_info(video_))
            src.vinfo = *v;
        if (ringbuffer_get_channel_is_init(src.audio)) {
            if (const ko_stream_chn_info *a = ko_ipc_get_stream_info(src.audio)) {
                src.ainfo = *a;
                src.has_audio = true;
            }
        }
        return src;
    }

    void record_file(const settings &s)
    {
        const uint32_t n = ++c_.file_counter;
        cloud_file_node_t node{};
        snprintf(node.mp4_path, sizeof node.mp4_path, "%.47s/%u.mp4", c_.dir, n);
        snprintf(node.jpeg_path, sizeof node.jpeg_path, "%.47s/%u.jpeg", c_.dir, n);
        const cloud_clip_source src = source();
        if (file_.open(src, zel_path(node.mp4_path).c_str()) != 0) {
            c_.stats.handle_err++;
            remove_file(node.mp4_path);
            sleep_ms(1000);
            return;
        }
        c_.stats.rec_step[5]++;
        ko_ipc_snapshot_get(1, 0, node.jpeg_path);
        bool stopped = false;
        for (;;) {
            if (!c_.shared.running.load()) {
                file_.abort();
                delete_clip_files(node.mp4_path, node.jpeg_path);
                return;
            }
            const clip_step step = file_.step();
            if (step == clip_step::cut) {
                c_.stats.rec_step[6]++;
                break;
            }
            if (step == clip_step::idle)
                sleep_ms(kNoFrameMs);
            if (file_.video_frames() && static_cast<int64_t>(file_.duration_ms()) >= clip_left_ms_) {
                c_.stats.rec_step[7]++;
                break;
            }
            if (!start_test(read_settings(c_), cloud_event_pending(0))) {
                ringbuffer_reset_user_state(src.video, CLOUD_READER);
                if (src.has_audio)
                    ringbuffer_reset_user_state(src.audio, CLOUD_READER);
                stopped = true;
                c_.stats.rec_step[8]++;
                break;
            }
        }
        if (!stopped)
            file_.put_back_audio();
        finish_file(s, src, node, stopped);
    }

    void finish_file(const settings &s, const cloud_clip_source &src, cloud_file_node_t &node, bool stopped)
    {
        c_.stats.rec_step[9]++;
        const uint64_t duration = file_.duration_ms();
        if (duration > kLongFileMs)
            KO_LOGE(CLOUD_MODULE, "mp4 total time err!!!,time=%llu\n", static_cast<unsigned long long>(duration));
        ko_event_result ev{};
        const uint64_t from = clip_opens_ ? 0 : file_.first_us() / 1000;
        if (ko_event_get_info(KO_EVENT_CONSUMER_CLOUD, from, file_.end_us() / 1000, &ev) > 0) {
            prev_event_file_ = true;
        } else {
            ev = prev_event_;
            ev.types = (ev.types & ~static_cast<uint64_t>(CLOUD_FACE_BITS)) | kEventBit;
            prev_event_file_ = false;
        }
        prev_event_ = ev;
        std::memset(prev_event_.face, 0, sizeof prev_event_.face); // the feature copy goes with the node
        clip_opens_ = false;
        clip_left_ms_ -= static_cast<int64_t>(duration);
        last_file_end_ms_ = vexa_time_tick_ms();
        if (!group_start_us_)
            group_start_us_ = file_.first_us();
        last_video_end_us_ = file_.end_us();

        node.create_tick_ms = vexa_time_tick_ms();
        node.duration_ms = duration;
        node.group = c_.group;
        node.end_of_block = clip_left_ms_ <= 0 || stopped;
        node.outside_schedule = !in_schedule(s);
        node.event = ev;
        node.video_codec = cloud_video_codec(src.vinfo.encode);
        node.audio_codec = src.has_audio ? static_cast<int32_t>(src.ainfo.encode) : -1;
        node.width = src.vinfo.resolution.width;
        node.height = src.vinfo.resolution.height;
        node.first_frame_ms = ko_tick_ms_to_unix_ms(file_.first_us() / 1000);
        const uint32_t video_frames = file_.video_frames(), audio_frames = file_.audio_frames();
        c_.stats.video_frame_err += file_.video_errors();
        c_.stats.audio_frame_err += file_.audio_errors();

        const int rc = file_.finish();
        struct stat st {};
        const bool kept = rc == 0 && video_frames && stat(zel_path(node.mp4_path).c_str(), &st) == 0 &&
                          st.st_size >= kMinFileBytes;
        if (!kept) {
            KO_LOGE(CLOUD_MODULE, "mp4 muxer finish error %d\n", rc);
            c_.stats.mp4_finish_err++;
        } else {
            node.size = static_cast<uint32_t>(st.st_size);
            if (cloud_list_add(&node) == 0) {
                c_.stats.rec_mp4++;
                if (c_.stats.mp4_size_min == 0 || node.size < c_.stats.mp4_size_min)
                    c_.stats.mp4_size_min = node.size;
                if (node.size > c_.stats.mp4_size_max)
                    c_.stats.mp4_size_max = node.size;
                c_.stats.video_frames += video_frames;
                c_.stats.audio_frames += audio_frames;
                return;
            }
            KO_LOGE(CLOUD_MODULE, "add file to send list is failed, rm this file:%s!\n", node.mp4_path);
            c_.stats.add_node_err++;
        }
        cloud_node_release(&node);
        delete_clip_files(node.mp4_path, node.jpeg_path);
        if (kept)
            sleep_ms(1000);
    }

    void switch_resolution(const settings &s)
    {
        cloud_buffer_info_t info{};
        ko_cloud_query_buffer(&info);
        cloud_switch_input in{};
        in.channel = video_;
        in.free_bytes = info.free_bytes > 0 ? static_cast<uint32_t>(info.free_bytes) : 0;
        in.buffer_size = info.size > 0 ? static_cast<uint32_t>(info.size) : 0;
        in.upload_speed = s.upload_speed;
        in.avg_bitrate = ringbuffer_get_bitrate_avg(video_);
        in.reader_caught_up = ringbuffer_no_cache_data(video_, CLOUD_READER) == 0;
        in.since_switch_ms = vexa_time_tick_ms() - last_switch_ms_;
        const unsigned next = cloud_switch_decide(in, probe_channel);
        if (next == video_)
            return;
        const unsigned audio = static_cast<unsigned>(c_.param.audio_channel);
        ringbuffer_reset_user_state(next, CLOUD_READER);
        if (ringbuffer_get_channel_is_init(audio))
            ringbuffer_reset_user_state(audio, CLOUD_READER);
        KO_LOGI(CLOUD_MODULE, next < video_ ? "swtich up to ch %d success!\n" : "swtich down to ch %d success!\n",
                static_cast<int>(next));
        video_ = next;
        last_switch_ms_ = vexa_time_tick_ms();
    }

    cloud_record_ctx_t &c_;
    unsigned video_;
    bool auto_switch_ = false;
    cloud_clip_file file_;
    int64_t clip_left_ms_ = 0;
    bool clip_opens_ = false; // the next file is a clip's first: it reports the alarms that opened it
    bool group_open_ = false;   // a continuous group has been started
    uint64_t group_start_us_ = 0; // first frame of the group (0 until its first file)
    uint64_t last_video_end_us_ = 0;
    uint64_t last_file_end_ms_ = 0;
    uint64_t last_switch_ms_ = 0;
    bool prev_event_file_ = false;
    ko_event_result prev_event_{};
};

void *_task_record(void *arg)
{
    recorder r(*static_cast<cloud_record_ctx_t *>(arg));
    r.run();
    return nullptr;
}

} // namespace

int cloud_record_start(cloud_record_ctx_t *ctx)
{
    ko_thread_attr attr{};
    snprintf(attr.name, sizeof attr.name, "cloud_r");
    ctx->record_thread = ko_thread_run(&attr, _task_record, ctx);
    return ctx->record_thread ? 0 : -2;
}

void cloud_record_stop(cloud_record_ctx_t *ctx)
{
    ko_thread_destory(ctx->record_thread);
    ctx->record_thread = nullptr;
}
