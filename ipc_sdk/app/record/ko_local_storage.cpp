// One pass of a recorder thread polls the card, starts a file when none is open (resynchronising the
// readers on a key frame after a pause), and writes one video and one audio frame. A period's index
// records are gathered when the writer closes the period and added only once its entry is durable.
#include "ko_local_storage.h"

#include <json-c/json.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/event/ko_event.h"
#include "common/ipc/ko_message.h"
#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/sdk/ko_sdk.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"
#include "common/utils/ko_time.h"
#include "event_index.h"
#include "ko_local_storage_info.h"
#include "ko_local_storage_test.h"
#include "pic_index.h"
#include "record_index.h"
#include "sd_index_log.h"

namespace {
constexpr const char *kModule = "KO REC";
constexpr int kNone = SD_CHANNEL_NONE;
constexpr uint64_t kResyncAfterS = 5;
constexpr uint64_t kPeriodJoinUs = 300000;
constexpr uint64_t kMinClock = 946656001;

using Lock = std::lock_guard<std::recursive_mutex>;

struct Task {
    std::atomic<bool> running{false};
    ko_thread *thread = nullptr;
    std::recursive_mutex lock;
    int video = kNone, audio = kNone, mode = 0;
    sd_file_info_t *file = nullptr;
    int cover = 0;
    fmp4_muxer_t *muxer = nullptr;
    ko_stream_chn_info vinfo{}, ainfo{};
    bool has_audio = false;
    uint64_t file_first_us = 0;
    uint32_t resumed_first_s = 0; // Unix start of a resumed file's first period (0: not resumed)
    uint64_t last_stop_s = 0; // monotonic; 0 never stopped
    uint32_t period_frames = 0;
    uint64_t period_first_us = 0, period_last_us = 0, prev_last_us = 0;
    uint32_t last_start_s = 0; // Unix start of the last period closed
    uint64_t last_count_log = 0, last_event_log = 0;
    uint32_t write_count = 0;
    int prev_status = 10;
    bool created = false;
    // The closed period waiting for its entry to be durable.
    bool pending = false;
    record_index_entry_t pending_entry{};
    uint32_t pending_events = 0;
    std::string pending_file;
    std::vector<uint8_t> vbuf, abuf;
};

struct Module {
    std::mutex lock;                 // init and deinit
    std::recursive_mutex card_lock;  // format check, card start and format stop
    std::mutex lookup;               // the instances' lookups
    bool initialised = false;
    bool manual = false;
    std::atomic<bool> pool_up{false}; // the card start succeeded and the pool was not taken down since
    std::string path;
    int cameras = 1, mode = 0;
    uint64_t min = 0, yvideo = 0, reserved = 0;
    ko_storage_status_cb status_cb = nullptr;
    Task tasks[2];
    sd::RecordStatistics stats;
};
Module g;
thread_local Task *t_current = nullptr;

void report_status(int status)
{
    if (status != 0 && g.status_cb)
        g.status_cb(status);
}

void sd_callback(int code) { report_status(sd::storage_status_for(code)); }

Task *find_task(int video)
{
    std::lock_guard<std::mutex> guard(g.lookup);
    for (Task &t : g.tasks)
        if (t.video == video && video != kNone)
            return &t;
    return nullptr;
}

void push_sync()
{
    ko_message_send(KO_UID_RECORD, KO_UID_RECORD, "mp4.sync", "hello", 5, KO_MSG_MODE_ASYNC);
}

uint64_t now_s() { return vexa_time_tick_s(); }

// Closes the writer (the pool file stays open and is resumed by the next start).
void finish_file(Task &t)
{
    Lock guard(t.lock);
    if (!t.muxer)
        return;
    t_current = &t;
    t.last_stop_s = std::max<uint64_t>(now_s(), 1);
    if (fmp4_muxer_finish(t.muxer) != 0) {
        KO_LOGE(kModule, "mp4 muxer failed!\n");
        g.stats.add(sd::kMp4ErrFile);
    }
    t.muxer = nullptr;
    t.file = nullptr;
    t.period_frames = 0;
    t_current = nullptr;
    push_sync();
}

void abort_file(Task &t)
{
    Lock guard(t.lock);
    if (!t.muxer)
        return;
    fmp4_muxer_abort(t.muxer);
    t.muxer = nullptr;
    t.file = nullptr;
    t.period_frames = 0;
    t.pending = false;
    t.last_stop_s = std::max<uint64_t>(now_s(), 1);
}

// The periods the file's index box list holds: complete ones (length set) and the last one's start.
struct FileState {
    bool complete = false;
    uint32_t first = 0, last_end = 0;
    fmp4_index_entry_t last{};
    std::vector<fmp4_index_entry_t> periods; // the complete ones, in file order
};
FileState file_state(const char *path)
{
    FileState s;
    fmp4_demuxer_t *d = fmp4_demuxer_open(path);
    if (!d)
        return s;
    const fmp4_index_entry_t *entries = nullptr;
    uint32_t bytes = 0;
    if (fmp4_demuxer_read_fileinfo(d, &entries, &bytes) == 0 && entries) {
        for (uint32_t i = 0; i < bytes / FMP4_INDEX_ENTRY_SIZE; i++) {
            const fmp4_index_entry_t &e = entries[i];
            if (e.length == 0 || e.start <= 999999999)
                continue;
            if (!s.complete)
                s.first = e.start;
            s.complete = true;
            s.last = e;
            s.last_end = e.start + e.duration;
            s.periods.push_back(e);
        }
    }
    fmp4_demuxer_close(d);
    return s;
}

fmp4_muxer_config_t writer_config(const Task &t, const char *path)
{
    fmp4_muxer_config_t c{};
    snprintf(c.path, sizeof c.path, "%s", path);
    c.video_codec = t.vinfo.encode == 4 ? 33 : t.vinfo.encode == 5 ? 35 : -1;
    c.audio_codec = t.has_audio ? static_cast<int32_t>(t.ainfo.encode) : -1;
    // The entry carries the camera's channel so that a second camera is indexed as itself.
    c.channel = static_cast<uint8_t>(t.video);
    c.width = t.vinfo.resolution.width;
    c.height = t.vinfo.resolution.height;
    c.gop = static_cast<int32_t>(t.vinfo.gop);
    c.fps = static_cast<int32_t>(t.vinfo.fps);
    c.video_bitrate = static_cast<int32_t>(t.vinfo.bitrate);
    c.video_time_scale = 90000;
    if (t.has_audio) {
        c.audio_fps = static_cast<int32_t>(t.ainfo.fps);
        c.audio_bitrate = static_cast<int32_t>(t.ainfo.bitrate);
        c.audio_time_scale = static_cast<int32_t>(t.ainfo.samplerate);
    }
    return c;
}

int gather_list(int, uint32_t, uint32_t, const uint8_t *buf, uint32_t len, void *user)
{
    auto *out = static_cast<std::vector<uint8_t> *>(user);
    out->insert(out->end(), buf, buf + len);
    return 0;
}

// The start of the newest period the video index lists for the channel (0 when none).
uint32_t newest_listed_start(int channel)
{
    std::vector<uint8_t> list;
    if (record_get_index_all(channel, gather_list, 4096, &list) != 0 ||
        list.size() < RECORD_LIST_HEAD_SIZE + RECORD_INDEX_ENTRY_SIZE)
        return 0;
    const size_t last = RECORD_LIST_HEAD_SIZE +
                        (list.size() - RECORD_LIST_HEAD_SIZE) / RECORD_INDEX_ENTRY_SIZE * RECORD_INDEX_ENTRY_SIZE -
                        RECORD_INDEX_ENTRY_SIZE;
    return sd::get_u32(list.data() + last);
}

// Queues the blanking of the periods of a resumed file that the video index lists as deleted while
// the file still shows them (a deletion still queued when the recorder stopped is lost with the
// queue); the deleted starts.
std::vector<uint32_t> delete_pending_periods(int channel, const char *path, const char *name, const FileState &s)
{
    std::vector<uint32_t> deleted(s.periods.size());
    const int n =
        deleted.empty() ? 0 : record_get_deleted_times(channel, name, deleted.data(), static_cast<int>(deleted.size()));
    deleted.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (fmp4_index_entry_t e : s.periods) {
        if ((e.flags & FMP4_INDEX_DELETED) || std::find(deleted.begin(), deleted.end(), e.start) == deleted.end())
            continue;
        e.flags |= FMP4_INDEX_DELETED;
        if (sd_delete_video_queue_push(path, &e) != 0)
            KO_LOGE(kModule, "fmp4 fragment delete fail.\n");
    }
    return deleted;
}

// Opens the writer on a pool file: 0, or the sleep (ms) the pass ends with.
int start_file(Task &t)
{
    Lock guard(t.lock);
    // A card that needs a format (or whose start failed) has no file to give: starting anyway would
    // ask the encoder for a key frame at every attempt and report 10 over what was said.
    if (!g.pool_up)
        return 200;
    if (t.last_stop_s == 0 || now_s() - t.last_stop_s > kResyncAfterS) {
        ko_av_frame key{};
        if (ringbuffer_get_video_lastest_Iframe(t.video, 2, &key) != 0) {
            KO_LOGW(kModule, "not find I frame...\n");
            return 200;
        }
        if (key.timestamp_us == 0)
            return 100;
        ringbuffer_mark_user_to_node(t.video, 0, &key);
        ko_av_frame audio{};
        if (t.has_audio && ringbuffer_get_audio_related_with_video(t.audio, 2, key.timestamp_us, &audio) == 0)
            ringbuffer_mark_user_to_node(t.audio, 0, &audio);
    }
    int cover = 0;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, t.video, &cover);
    if (!f) {
        KO_LOGE(kModule, "_mp4_storage_start, path is NULL\n");
        report_status(10);
        g.stats.add(sd::kMp4ErrFile);
        return 1000;
    }
    char path[1024];
    if (sd_get_path(f->path, path) != 0) {
        KO_LOGE(kModule, "sd_get_path fail. file=%s\n", f->path);
        return 1000;
    }
    const fmp4_muxer_config_t cfg = writer_config(t, path);
    uint32_t resumed_first = 0;
    t_current = &t;
    // A period the deletion thread is blanking is not taken for the place to resume behind.
    pthread_mutex_lock(&f->lock);
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, cover);
    pthread_mutex_unlock(&f->lock);
    if (!m && cover == 0) {
        // Starting over would wipe the periods the indexes list: only a file without a complete
        // period is overwritten; otherwise it is closed with its times and another is taken.
        const FileState s = file_state(path);
        if (s.complete) {
            KO_LOGW(kModule, "%s cannot be resumed, closed\n", f->path);
            sd_set_file_status(f->path, SD_KIND_VIDEO, t.video, s.first, s.last_end);
            t_current = nullptr;
            return 20;
        }
        m = fmp4_muxer_init(&cfg, 1);
    } else if (m && cover == 0) {
        const FileState s = file_state(path);
        resumed_first = s.complete ? s.first : 0;
        const std::vector<uint32_t> deleted = delete_pending_periods(t.video, path, f->path, s);
        // A cut between the entry's sync and the index add leaves the last closed period unindexed;
        // one the phone deleted is not that.
        record_index_record_t r{};
        if (s.complete && !(s.last.flags & FMP4_INDEX_DELETED) && s.last.start > t.last_start_s &&
            std::find(deleted.begin(), deleted.end(), s.last.start) == deleted.end() &&
            record_find_record_info(t.video, s.last.start, &r, 0) == 0) {
            record_index_entry_t e{s.last.start, s.last.duration, s.last.motion, 0, 0};
            if (record_add_index(t.video, &e, f->path) == 0)
                t.last_start_s = s.last.start;
        }
    }
    t_current = nullptr;
    if (!m) {
        KO_LOGE(kModule, "creat mp4 file failed!\n");
        g.stats.add(sd::kMp4ErrFile);
        report_status(10);
        return 1000;
    }
    // Starts rise across restarts too: a clock that came back behind the newest listed period would
    // otherwise list the next one before it, where no lookup finds it.
    if (t.last_start_s == 0)
        t.last_start_s = newest_listed_start(t.video);
    t.muxer = m;
    t.file = f;
    t.cover = cover;
    t.file_first_us = 0;
    t.resumed_first_s = resumed_first;
    t.period_frames = 0;
    ko_ipc_snapshot_get(0, t.video, nullptr);
    return 0;
}

// Writes one video and one audio frame: 0, or the sleep the pass ends with.
int write_frames(Task &t)
{
    Lock guard(t.lock);
    if (!t.muxer)
        return 20;
    t_current = &t;
    ko_av_frame frame{};
    const uint64_t t0 = vexa_time_tick_ms();
    int rc = ringbuffer_get_video_frame(t.video, 0, &frame, t.vbuf.data(), static_cast<uint32_t>(t.vbuf.size()));
    if (vexa_time_tick_ms() - t0 > 100)
        KO_LOGW(kModule, "%s ringbuffer_get_video_frame cost %llu ms, %u \n", __func__,
                static_cast<unsigned long long>(vexa_time_tick_ms() - t0), frame.seq_no);
    bool finish = false;
    if (rc == 0) {
        rc = fmp4_muxer_update_video(t.muxer, &frame);
        if (rc == 0) {
            g.stats.add(sd::kTotalVideoFrame);
            if (t.period_frames == 0)
                t.period_first_us = t.prev_last_us && frame.timestamp_us - t.prev_last_us < kPeriodJoinUs
                                        ? t.prev_last_us
                                        : frame.timestamp_us;
            t.period_frames++;
            t.period_last_us = frame.timestamp_us;
            if (!t.file_first_us)
                t.file_first_us = t.period_first_us;
            t.write_count++;
        } else if (rc == FMP4_FILE_FULL) {
            ringbuffer_mark_user_to_node(t.video, 0, &frame);
            KO_LOGI(kModule, "mp4 is full, need write new file \n");
            sd_file_info_t *f = t.file;
            // A resumed file keeps the start of its first period in its name.
            const uint64_t first = t.resumed_first_s
                                       ? t.resumed_first_s
                                       : ko_tick_us_to_unix_sec(t.file_first_us ? t.file_first_us : frame.timestamp_us);
            const uint64_t last = ko_tick_us_to_unix_sec(t.period_last_us ? t.period_last_us : frame.timestamp_us);
            char name[128];
            snprintf(name, sizeof name, "%s", f ? f->path : "");
            t_current = nullptr;
            finish_file(t);
            if (name[0])
                sd_set_file_status(name, SD_KIND_VIDEO, t.video, first, last);
            return 0;
        } else if (rc == FMP4_NEW_INDEX) {
            ringbuffer_mark_user_to_node(t.video, 0, &frame);
            t_current = nullptr;
            return 0;
        } else {
            KO_LOGE(kModule, "video write fail, ret:%d\n", rc);
            g.stats.add(sd::kMp4ErrVideoFrame);
            // A card that filled up or failed under the writer is the application's to know.
            if (rc == SD_ERR_FULL || rc == SD_ERR_READ_ONLY)
                sd_callback(rc);
            finish = true;
        }
    }
    if (t.has_audio && t.muxer) {
        ko_av_frame audio{};
        if (ringbuffer_get_audio_frame(t.audio, 0, &audio, t.abuf.data(), static_cast<uint32_t>(t.abuf.size())) ==
            0) {
            const int arc = fmp4_muxer_update_audio(t.muxer, &audio);
            if (arc == 0 || arc == FMP4_FILE_FULL) {
                g.stats.add(sd::kTotalAudioFrame);
            } else {
                KO_LOGE(kModule, "audio write fail, ret:%d\n", arc);
                g.stats.add(sd::kMp4ErrAudioFrame);
            }
        }
    }
    t_current = nullptr;
    if (finish)
        finish_file(t);
    if (vexa_time_tick_ms() - t.last_count_log > 3000) {
        KO_LOGI(kModule, "write count: %u, ret: %d\n", t.write_count, rc);
        t.last_count_log = vexa_time_tick_ms();
    }
    return 0;
}

int local_create_files()
{
    uint64_t total = 0, used = 0, free_bytes = 0;
    if (ko_storage_get_capacity(&total, &used, &free_bytes) != 0) {
        sd_callback(SD_ERR_CAPACITY);
        return SD_ERR_CAPACITY;
    }
    g.stats.values[sd::kSdTotalMB] = static_cast<int64_t>(total >> 20);
    g.stats.values[sd::kSdUsedMB] = static_cast<int64_t>(used >> 20);
    const int rc = sd_init(g.path.c_str(), g.cameras, g.reserved, g.min, g.yvideo, sd_callback);
    if (rc != 0)
        sd_callback(rc);
    g.pool_up = rc == 0;
    return rc;
}

// The pool frees every file record: each instance first drops its writer and file under its own lock,
// so that no recorder reaches a record through its current file after the pool is gone. An instance
// sees the pool down before it can take another file (start_file checks under the same lock).
void pool_down()
{
    g.pool_up = false;
    for (Task &t : g.tasks)
        abort_file(t);
    sd_uninit();
}

void card_arrived(Task &t)
{
    t.last_stop_s = 0;
    char hw[72] = {};
    if (ko_storage_get_hw_info(hw) == 1) {
        hw[39] = 0;
        const std::string cid(hw, strnlen(hw, 40));
        const std::string info = sd::sd_info_json(cid, std::string(hw + 40, strnlen(hw + 40, 30)),
                                                  g.stats.values[sd::kSdTotalMB]);
        if (info.empty())
            KO_LOGW(kModule, "cid_str len !=32,cid_str=%s\n", cid.c_str());
        else
            report_stat_object("sd.info", info.c_str());
    }
    std::lock_guard<std::recursive_mutex> card(g.card_lock);
    const int need = sd_need_format(g.path.c_str());
    if (need == 1) {
        report_status(8);
        return;
    }
    if (need < 0) {
        sd_callback(need);
        return;
    }
    if (local_create_files() != 0)
        KO_LOGE(kModule, "_local_create_files fail %s\n", g.path.c_str());
}

int run_pass(Task &t)
{
    thread_alive_update_status(THREAD_ALIVE_RUNNING, 600);
    g.stats.add(sd::kStep1);
    const int status = ko_storage_get_status();
    const bool changed = status != t.prev_status;
    if (changed) {
        KO_LOGI(kModule, "storage status changes from %d to %d\n", t.prev_status, status);
        t.prev_status = status;
        if (status == 0 || status == 2)
            card_arrived(t);
    }
    if (status != 0) {
        g.stats.add(sd::kStep2);
        abort_file(t);
        if (changed && status != 2) {
            std::lock_guard<std::recursive_mutex> card(g.card_lock);
            pool_down();
        }
        return 50;
    }
    int mode;
    {
        Lock guard(t.lock);
        mode = t.mode;
    }
    if (mode == 2) {
        finish_file(t);
        return 50;
    }
    if (mode != 0) {
        const int events = ko_event_get_count(KO_EVENT_CONSUMER_SD, nullptr, 0);
        if (mode != 1 || events <= 0) {
            if (vexa_time_tick_ms() - t.last_event_log > 10000) {
                KO_LOGI(kModule, "not have event. %d, ret:%d\n", mode, events);
                t.last_event_log = vexa_time_tick_ms();
            }
            finish_file(t);
            return 200;
        }
    }
    g.stats.add(sd::kStep3);
    if (!t.muxer) {
        const int sleep = start_file(t);
        if (sleep != 0)
            return sleep;
    }
    g.stats.add(sd::kStep4);
    const int sleep = write_frames(t);
    g.stats.add(sd::kStep5);
    return sleep;
}

void *storage_thread(void *arg)
{
    Task &t = *static_cast<Task *>(arg);
    while (t.running) {
        const uint64_t t0 = vexa_time_tick_ms();
        int sleep = run_pass(t);
        if (sleep == 0 && vexa_time_tick_ms() - t0 < 20)
            sleep = 20;
        if (sleep > 0)
            usleep(static_cast<useconds_t>(sleep) * 1000);
    }
    return nullptr;
}

int write_pic_cb(int channel, const void *data, int len)
{
    if (len <= 0 || !data || !find_task(channel))
        return -1;
    return pic_add_data(channel, static_cast<const uint8_t *>(data), static_cast<uint32_t>(len));
}

// "deleteVideo": {"id": n, "params": [t1, ...]}; the reply goes to the daemon.
void on_delete_video(const ko_message_arg *arg)
{
    std::string text(static_cast<const char *>(arg->param), arg->len);
    json_object *root = json_tokener_parse(text.c_str());
    json_object *id = nullptr, *params = nullptr;
    if (!root) {
        KO_LOGE(kModule, "json parse fail\n");
        return;
    }
    if (!json_object_object_get_ex(root, "id", &id) || !json_object_is_type(id, json_type_int)) {
        KO_LOGE(kModule, "id json fail\n");
        json_object_put(root);
        return;
    }
    if (!json_object_object_get_ex(root, "params", &params) || !json_object_is_type(params, json_type_array)) {
        KO_LOGE(kModule, "params json fail\n");
        json_object_put(root);
        return;
    }
    std::vector<uint32_t> times;
    for (size_t i = 0; i < json_object_array_length(params) && i < 4096; i++) {
        const int64_t v = json_object_get_int64(json_object_array_get_idx(params, i));
        if (v > 0 && v <= UINT32_MAX)
            times.push_back(static_cast<uint32_t>(v));
    }
    const int request = json_object_get_int(id);
    json_object_put(root);
    std::sort(times.begin(), times.end());
    const int n = static_cast<int>(times.size());
    bool ok = true;
    for (int rc : {record_del_index(0, times.data(), n), pic_del_index(0, times.data(), n),
                   event_del_index(0, times.data(), n)}) {
        if (rc != 0) {
            ok = false;
            g.stats.add(sd::kDelErrCount);
        }
    }
    char reply[160];
    if (ok)
        snprintf(reply, sizeof reply, "{\"id\":%d,\"result\":[\"OK\"]}", request);
    else
        snprintf(reply, sizeof reply, "{\"id\":%d,\"error\":{\"code\":-33020,\"message\":\"%s\"}}", request,
                 "mp4 delete fail");
    ko_message_send(KO_UID_RECORD, KO_UID_RPC, "rpc.rpc", reply, static_cast<uint32_t>(strlen(reply)),
                    KO_MSG_MODE_ASYNC);
}

void on_statistics(const ko_message_arg *)
{
    report_stat_object("local_rec.info", g.stats.report_and_clear().c_str());
}

void on_sync(const ko_message_arg *arg)
{
    if (arg->len > 0) {
        KO_LOGI(kModule, "MP4 over , sync\n");
        sync();
    }
}

int register_bus()
{
    if (ko_message_listen(KO_UID_RECORD, "upload_statistics", on_statistics, nullptr) != 0 ||
        ko_message_listen(KO_UID_RECORD, "mp4.sync", on_sync, nullptr) != 0 ||
        ko_message_listen(KO_UID_RECORD, "deleteVideo", on_delete_video, nullptr) != 0 ||
        ko_message_send(KO_UID_RECORD, KO_UID_RPC, "rpc.register", "deleteVideo", 11, KO_MSG_MODE_SYNC) != 0) {
        KO_LOGE(kModule, " _message_register failed!\n");
        return -11;
    }
    return 0;
}

void free_task(Task &t)
{
    t.running = false;
    if (t.thread)
        ko_thread_destory(t.thread);
    t.thread = nullptr;
    {
        Lock guard(t.lock);
        finish_file(t);
        t.pending = false;
        t.created = false;
        t.mode = g.mode;
    }
    std::lock_guard<std::mutex> guard(g.lookup);
    t.video = t.audio = kNone;
}

} // namespace

extern "C" int ko_local_storage_init_v2(const char *path, int cameras, uint64_t min, uint64_t yvideo,
                                        uint64_t reserved, int mode, ko_storage_status_cb status_cb)
{
    if (!path || cameras <= 0 || !status_cb || min < (1ull << KO_STORAGE_MIN_BYTES_SHIFT)) {
        KO_LOGE(kModule, "local storage init para is error.\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(g.lock);
    if (g.initialised) {
        KO_LOGI(kModule, "local storage already init %s\n", g.path.c_str());
        return 0;
    }
    if (ko_set_local_storage_write_pic_func(write_pic_cb) != 0)
        KO_LOGE(kModule, "set write pc func failed\n");
    g.path = path;
    g.cameras = cameras;
    g.min = min;
    g.yvideo = yvideo;
    g.reserved = reserved;
    g.mode = mode;
    g.status_cb = status_cb;
    g.stats.clear();
    for (Task &t : g.tasks) {
        t.video = t.audio = kNone;
        t.mode = mode;
        t.prev_status = 10;
    }
    g.initialised = true;
    return 0;
}

extern "C" int ko_local_storage_create(int video_channel, int audio_channel)
{
    if (static_cast<uint64_t>(time(nullptr)) < kMinClock) {
        KO_LOGE(kModule, "time is not right,now=%ld, min=%d.\n", static_cast<long>(time(nullptr)),
                static_cast<int>(kMinClock));
        return -4;
    }
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.initialised)
        return -1;
    if (video_channel < 0 || video_channel > 7 || video_channel == 3 || video_channel == 4 ||
        (audio_channel != kNone && audio_channel != 4 && audio_channel != 8)) {
        KO_LOGE(kModule, "invalid param v_chn %d , a_chn %d..\n", video_channel, audio_channel);
        return -1;
    }
    if (Task *t = find_task(video_channel)) {
        if (t->created && t->audio == audio_channel) {
            KO_LOGI(kModule, "already init local storage\n");
            return 0;
        }
        KO_LOGE(kModule, "context is already \n");
        return -1;
    }
    Task *t = nullptr;
    {
        std::lock_guard<std::mutex> lookup(g.lookup);
        for (Task &c : g.tasks)
            if (c.video == kNone && !t)
                t = &c;
        if (!t) {
            KO_LOGE(kModule, "over max story size \n");
            return -1;
        }
        t->video = video_channel;
        t->audio = audio_channel;
    }
    int rc = 0;
    const ko_stream_chn_info *v = ko_ipc_get_stream_info(video_channel);
    const ko_stream_chn_info *a = audio_channel != kNone ? ko_ipc_get_stream_info(audio_channel) : nullptr;
    if (!v || ringbuffer_get_max_frame_size(video_channel) == 0) {
        KO_LOGE(kModule, "media channel v_chn %d is empty\n", video_channel);
        rc = -5;
    } else if (audio_channel != kNone && (!a || ringbuffer_get_max_frame_size(audio_channel) == 0)) {
        KO_LOGE(kModule, "media channel a_chn %d is empty\n", audio_channel);
        rc = -5;
    }
    if (rc == 0) {
        Lock task(t->lock);
        t->vinfo = *v;
        t->has_audio = a != nullptr;
        if (a)
            t->ainfo = *a;
        t->vbuf.assign(ringbuffer_get_max_frame_size(video_channel), 0);
        t->abuf.assign(a ? ringbuffer_get_max_frame_size(audio_channel) : 0, 0);
        t->mode = g.mode;
        t->prev_status = 10;
        t->last_stop_s = 0;
        t->created = true;
    }
    if (rc == 0 && !g.manual) {
        t->running = true;
        ko_thread_attr attr{};
        snprintf(attr.name, sizeof attr.name, "storage_%d", video_channel);
        t->thread = ko_thread_run(&attr, storage_thread, t);
        if (!t->thread)
            rc = -2;
    }
    if (rc == 0)
        rc = register_bus();
    if (rc != 0) {
        KO_LOGE(kModule, "_local_storage_create fail,err = %d \n", rc);
        free_task(*t);
    }
    return rc;
}

extern "C" int ko_local_storage_set_mode_v2(int video_channel, int mode)
{
    Task *t = find_task(video_channel);
    if (!t)
        return -1;
    Lock guard(t->lock);
    t->mode = mode;
    return 0;
}

extern "C" int ko_local_set_format_status(int state)
{
    std::lock_guard<std::recursive_mutex> card(g.card_lock);
    if (state == 1)
        return local_create_files();
    if (state == 0) {
        sd_quick_exit();
        pool_down();
    }
    return 0;
}

extern "C" int ko_local_storage_deinit_v2(void)
{
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.initialised) {
        KO_LOGI(kModule, "local storage already deinit %s\n", g.path.c_str());
        return 0;
    }
    for (Task &t : g.tasks)
        if (t.video != kNone)
            free_task(t);
    {
        std::lock_guard<std::recursive_mutex> card(g.card_lock);
        pool_down();
    }
    ko_set_local_storage_write_pic_func(nullptr);
    g.initialised = false;
    return 0;
}

extern "C" int ko_local_storage_destroy(int video_channel)
{
    if (video_channel == kNone)
        return 0;
    Task *t = find_task(video_channel);
    if (!t)
        return -1;
    free_task(*t);
    return 0;
}

extern "C" int ko_local_storage_test_mode(int video_channel)
{
    Task *t = find_task(video_channel);
    if (!t)
        return -1;
    Lock guard(t->lock);
    return t->mode;
}

extern "C" int ko_local_storage_created(int video_channel)
{
    Task *t = find_task(video_channel);
    if (!t)
        return 0;
    Lock guard(t->lock);
    return t->created ? 1 : 0;
}

extern "C" int fmp4_muxer_fragment_update_index_callback(uint8_t channel, uint32_t *start_s, uint8_t *duration,
                                                         uint8_t *motion)
{
    g.stats.add(sd::kTotalMp4File);
    Task *t = t_current && t_current->video == channel ? t_current : find_task(channel);
    if (!t || !start_s || !duration || !motion)
        return -1;
    Lock guard(t->lock);
    // A period whose entry never became durable is not committed with the next one's.
    t->pending = false;
    if (t->period_frames == 0) {
        *start_s = 0;
        return 0;
    }
    const uint64_t start_ms = t->period_first_us / 1000, end_ms = t->period_last_us / 1000;
    ko_event_result events{};
    ko_event_get_info(KO_EVENT_CONSUMER_SD, start_ms > 500 ? start_ms - 500 : start_ms, end_ms, &events);
    uint32_t start = static_cast<uint32_t>(ko_tick_us_to_unix_sec(t->period_first_us));
    const uint32_t end = static_cast<uint32_t>(ko_tick_us_to_unix_sec(t->period_last_us));
    // Starts must rise: a clock step back would hide every later period from the lookups.
    if (t->last_start_s && start <= t->last_start_s)
        start = t->last_start_s + 1;
    *start_s = start;
    *duration = static_cast<uint8_t>(end > start ? end - start : 0);
    *motion = events.types ? 1 : 0;
    t->pending = true;
    t->pending_entry = {start, *duration, *motion, 0, 0};
    t->pending_events = static_cast<uint32_t>(events.types);
    t->pending_file = t->file ? t->file->path : "";
    t->last_start_s = start;
    if (t->last_stop_s && now_s() - t->last_stop_s > kResyncAfterS)
        ko_ipc_snapshot_get(0, t->video, nullptr);
    t->prev_last_us = t->period_last_us;
    t->period_frames = 0;
    t->period_first_us = t->period_last_us = 0;
    return 0;
}

extern "C" int fmp4_muxer_fragment_finish_callback(void)
{
    // The entry is durable: the period's records follow.
    for (Task &t : g.tasks) {
        if (t_current && &t != t_current)
            continue;
        Lock guard(t.lock);
        if (!t.pending)
            continue;
        t.pending = false;
        if (record_add_index(t.video, &t.pending_entry, t.pending_file.c_str()) != 0)
            KO_LOGE(kModule, "record_add_index fail, %u\n", t.pending_entry.time);
        if (pic_add_index(t.video, t.pending_entry.time) != 0)
            KO_LOGW(kModule, "pic_add_index fail, %u\n", t.pending_entry.time);
        if (event_add_fargment(t.video, t.pending_entry.time, t.pending_events) != 0)
            KO_LOGW(kModule, "event_add_fargment fail, %u\n", t.pending_entry.time);
        g.stats.add(sd::kMp4Success);
    }
    push_sync();
    return 0;
}

extern "C" void ko_local_storage_set_manual(int manual) { g.manual = manual != 0; }

extern "C" int ko_local_storage_run_pass(int video_channel)
{
    Task *t = find_task(video_channel);
    return t ? run_pass(*t) : -1;
}

extern "C" int ko_local_storage_statistics(char *out, int size)
{
    const std::string s = g.stats.report_and_clear();
    if (!out || size <= static_cast<int>(s.size()))
        return -1;
    memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}
