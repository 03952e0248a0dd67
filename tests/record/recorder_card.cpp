#include "recorder_card.h"

#include <dirent.h>
#include <time.h>

#include <fstream>
#include <mutex>

#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_test.h"
#include "common/event/ko_event.h"
#include "common/report_stat/ko_watchdog.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/utils/ko_time_test.h"

namespace rectest {

namespace {

std::mutex g_lock;
std::vector<int> g_statuses;
std::vector<uint8_t> g_jpeg;
std::atomic<int> g_forced_keys{0};

void count_forced_key(int)
{
    g_forced_keys++;
}

void on_storage_status(int status)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_statuses.push_back(status);
}

int snapshot(int, void **data, int *size, uint8_t *must_free)
{
    std::lock_guard<std::mutex> guard(g_lock);
    void *copy = malloc(g_jpeg.size());
    memcpy(copy, g_jpeg.data(), g_jpeg.size());
    *data = copy;
    *size = static_cast<int>(g_jpeg.size());
    *must_free = 1;
    return 0;
}

uint64_t clock_us(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

ko_stream_chn_info video_info(int channel, uint16_t width, uint16_t height, uint32_t bitrate_kbps)
{
    ko_stream_chn_info v{};
    v.channel = static_cast<uint32_t>(channel);
    v.resolution = {width, height};
    v.gop = 60;
    v.encode = 5; // H.265
    v.bitrate = bitrate_kbps;
    v.fps = RecorderCard::kFps;
    v.seconds = 9;
    v.force_iframe = count_forced_key;
    return v;
}

ko_stream_chn_info audio_info(int channel)
{
    ko_stream_chn_info a{};
    a.channel = static_cast<uint32_t>(channel);
    a.samplerate = 16000;
    a.samplebit = 16;
    a.encode = FMP4_CODEC_OPUS;
    a.bitrate = 32;
    a.fps = RecorderCard::kAudioFps;
    a.seconds = 4;
    return a;
}

} // namespace

std::atomic<uint64_t> &RecorderClock::offset()
{
    static std::atomic<uint64_t> value{0};
    return value;
}
RecorderClock::RecorderClock()
{
    offset().store(0);
    ko_time_set_tick_source(&RecorderClock::tick_us);
    ko_time_set_wall_source(&RecorderClock::wall_us);
}
RecorderClock::~RecorderClock() { restore(); }
void RecorderClock::restore()
{
    ko_time_set_tick_source(nullptr);
    ko_time_set_wall_source(nullptr);
}
void RecorderClock::advance_to(uint64_t tick)
{
    const uint64_t now = tick_us();
    if (tick > now)
        offset().fetch_add(tick - now);
}
void RecorderClock::advance_wall_to(uint64_t wall)
{
    const uint64_t now = wall_us();
    if (wall > now)
        offset().fetch_add(wall - now);
}
uint64_t RecorderClock::tick_us() { return clock_us(CLOCK_MONOTONIC) + offset().load(); }
uint64_t RecorderClock::wall_us() { return clock_us(CLOCK_REALTIME) + offset().load(); }

void RecorderCard::SetUp()
{
    sdktest::SdkTest::SetUp();
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_statuses.clear();
        g_forced_keys = 0;
        std::ifstream in(board_media("snapshot.jpg"), std::ios::binary);
        g_jpeg.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        jpeg_ = g_jpeg;
    }
    ASSERT_FALSE(jpeg_.empty());
    card_ = std::make_unique<zeltest::TestCard>(root_, kCardSize);
    if (!card_->ready())
        GTEST_SKIP() << card_->reason();
    video_ = load_stream(board_media(stream_));
    audio_ = audio_frames(FMP4_CODEC_OPUS, 150);
    ASSERT_GT(video_.keys(), 0);
    param_.ko_snapshot_func = snapshot;
    if (start_sdk_in_setup_)
        start_sdk();
}

void RecorderCard::start_sdk()
{
    ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
    wait_links();
    // The test's clock outruns the SDK threads' liveness reports: the watchdog would take them for dead.
    ASSERT_EQ(ko_thread_watchdog_deinit(), 0);
    for (const auto &[video, audio] : cameras_) {
        ko_stream_chn_info v = video_info(video, width_, height_, bitrate_kbps_), a = audio_info(audio);
        ASSERT_EQ(ko_ipc_stream_chn_add(&v), 0);
        ASSERT_EQ(ko_ipc_stream_chn_add(&a), 0);
    }
}

void RecorderCard::TearDown()
{
    ko_local_storage_deinit_v2();
    ko_local_storage_set_manual(0);
    // The SDK stops what its start started, the watchdog among it, on the system's clocks.
    clock_.restore();
    if (ko_ipc_get_sdk_info())
        ko_thread_watchdog_init();
    sdktest::SdkTest::TearDown();
}

void RecorderCard::init_recorder(int mode)
{
    ko_local_storage_set_manual(1);
    ASSERT_EQ(ko_local_storage_init_v2("/mnt/sdcard", static_cast<int>(cameras_.size()), 4ull << 30, 0, 256ull << 20, mode, on_storage_status), 0);
}

void RecorderCard::start_recorder(int mode)
{
    init_recorder(mode);
    format_card();
    ASSERT_EQ(ko_local_storage_create(0, 4), 0);
}

void RecorderCard::format_card()
{
    ASSERT_EQ(ko_local_set_format_status(1), 0);
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            uint64_t total = 0, used = 0, free_bytes = 0;
            ko_storage_get_capacity(&total, &used, &free_bytes);
            return free_bytes < DATA_FILE_SIZE_BYTES + (256ull << 20);
        },
        zeltest::scaled(std::chrono::seconds(60))));
}

void RecorderCard::play_frame()
{
    const board::AccessUnit &u = video_.units[frames_ % video_.units.size()];
    ko_av_frame f{};
    // 50 ms after the last frame, or later when the passes took longer than that.
    if (frames_ > 0)
        clock_.advance_to(last_us_ + 1000000 / kFps);
    f.timestamp_us = last_us_ = RecorderClock::tick_us();
    f.frame_type = u.key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
    f.data = video_.bytes.data() + u.offset;
    f.size = static_cast<uint32_t>(u.size);
    for (const auto &camera : cameras_)
        ASSERT_EQ(ko_ipc_stream_put_frame(camera.first, &f), 0);
    // The audio due by this frame, on its own 40 ms grid.
    const uint64_t grid_us = frames_ * 1000000 / kFps;
    for (uint64_t at = audio_sent_ * 1000000 / kAudioFps; at <= grid_us; at = audio_sent_ * 1000000 / kAudioFps) {
        const auto &bytes = audio_[audio_sent_ % audio_.size()];
        ko_av_frame a{};
        a.timestamp_us = f.timestamp_us - (grid_us - at);
        a.frame_type = KO_FRAME_TYPE_AUDIO;
        a.data = const_cast<uint8_t *>(bytes.data());
        a.size = static_cast<uint32_t>(bytes.size());
        for (const auto &camera : cameras_)
            ASSERT_EQ(ko_ipc_stream_put_frame(camera.second, &a), 0);
        audio_sent_++;
    }
    frames_++;
    if (manual_passes_)
        passes();
}

void RecorderCard::passes()
{
    // A pass reads one video and one audio frame; a frame is given out once a newer one exists.
    for (int i = 0; i < 6; i++)
        for (const auto &camera : cameras_)
            ko_local_storage_run_pass(camera.first);
}

void RecorderCard::play(double seconds)
{
    const int n = static_cast<int>(seconds * kFps);
    for (int i = 0; i < n && !::testing::Test::HasFatalFailure(); i++)
        play_frame();
}

void RecorderCard::trigger_event(int type)
{
    ko_event_info e{};
    e.type = type;
    e.time_ms = RecorderClock::tick_us() / 1000;
    ASSERT_EQ(ko_ipc_event_trigger(KO_EVENT_CONSUMER_SD, &e), 0);
}

void RecorderCard::set_card_status(int status)
{
    zeltest::porting_hooks_update(
        [status](zeltest::PortingHooksRecord &, zeltest::PortingHooksScript &s) { s.storage_status = status; });
}

std::string RecorderCard::card_path(const std::string &name) const { return card_->mount_point() + "/" + name; }

std::vector<std::string> RecorderCard::card_files(const std::string &prefix) const
{
    std::vector<std::string> out;
    DIR *d = opendir(card_->mount_point().c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name).rfind(prefix, 0) == 0)
            out.emplace_back(e->d_name);
    if (d)
        closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string RecorderCard::index_file(int kind) const
{
    sd_file_info_t *f = sd_get_path_and_set_channel(kind, 0, nullptr);
    return f ? card_path(f->path) : "";
}

Json RecorderCard::video_index() const { return walk_index("video", index_file(SD_KIND_VIDEOI)); }
Json RecorderCard::event_index() const { return walk_index("event", index_file(SD_KIND_EVENT)); }
Json RecorderCard::pic_index() const { return walk_index("pic", index_file(SD_KIND_PICI)); }

std::vector<json_object *> RecorderCard::live(json_object *report)
{
    std::vector<json_object *> out;
    json_object *records = nullptr;
    if (!report || !json_object_object_get_ex(report, "records", &records))
        return out;
    for (size_t i = 0; i < json_object_array_length(records); i++) {
        json_object *r = json_object_array_get_idx(records, i);
        if (json_int(r, "delete") == 0)
            out.push_back(r);
    }
    std::sort(out.begin(), out.end(),
              [](json_object *a, json_object *b) { return json_int(a, "seq") < json_int(b, "seq"); });
    return out;
}

std::string RecorderCard::statistics()
{
    char text[2048];
    return ko_local_storage_statistics(text, sizeof text) == 0 ? text : "";
}

int RecorderCard::forced_key_frames()
{
    return g_forced_keys.load();
}

std::vector<int> RecorderCard::statuses()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_statuses;
}

} // namespace rectest
