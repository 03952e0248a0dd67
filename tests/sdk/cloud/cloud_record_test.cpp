// The cloud recorder on a started SDK core, fed the board's main stream and Opus audio in real time,
// with alarms from the event manager and pictures from the SDK's snapshot hook. Each clip file is
// checked with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../sdk/ko_sdk_fixture.h"
#include "app/cloud/cloud_list.h"
#include "app/cloud/cloud_resolution.h"
#include "app/cloud/ko_cloud.h"
#include "app/cloud/ko_cloud_test.h"
#include "app/record/sd_io_test.h"
#include "common/event/ko_event.h"
#include "common/utils/ko_time.h"
#include "record_media.h"

namespace {

using namespace std::chrono_literals;

constexpr int kFps = 20;
constexpr int kAudioFps = 25;

std::string g_jpeg; // what the snapshot hook hands out

int snapshot_hook(int, void **data, int *size, uint8_t *must_free)
{
    *data = malloc(g_jpeg.size());
    memcpy(*data, g_jpeg.data(), g_jpeg.size());
    *size = static_cast<int>(g_jpeg.size());
    *must_free = 1;
    return 0;
}

// Plays a board stream and 40 ms Opus frames into channels 0 and 4 at their real rates.
class Feeder {
public:
    Feeder(const rectest::Stream &video, std::vector<std::vector<uint8_t>> audio)
        : video_(video), audio_(std::move(audio)), thread_([this] { run(); })
    {
    }
    ~Feeder()
    {
        stop_ = true;
        thread_.join();
    }
    int video_fed() const { return video_fed_.load(); }

private:
    void run()
    {
        const uint64_t start = vexa_time_tick_us();
        size_t v = 0, a = 0;
        while (!stop_) {
            const uint64_t now = vexa_time_tick_us();
            while (start + v * 1000000 / kFps <= now) {
                const board::AccessUnit &u = video_.units[v % video_.units.size()];
                ko_av_frame f{};
                f.data = const_cast<uint8_t *>(video_.bytes.data() + u.offset);
                f.size = static_cast<uint32_t>(u.size);
                f.frame_type = u.key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
                f.timestamp_us = start + v * 1000000 / kFps;
                ko_ipc_stream_put_frame(0, &f);
                v++;
                video_fed_ = static_cast<int>(v);
            }
            while (start + a * 1000000 / kAudioFps <= now) {
                const auto &pkt = audio_[a % audio_.size()];
                ko_av_frame f{};
                f.data = const_cast<uint8_t *>(pkt.data());
                f.size = static_cast<uint32_t>(pkt.size());
                f.frame_type = KO_FRAME_TYPE_AUDIO;
                f.timestamp_us = start + a * 1000000 / kAudioFps;
                ko_ipc_stream_put_frame(4, &f);
                a++;
            }
            std::this_thread::sleep_for(5ms);
        }
    }

    const rectest::Stream &video_;
    std::vector<std::vector<uint8_t>> audio_;
    std::atomic<bool> stop_{false};
    std::atomic<int> video_fed_{0};
    std::thread thread_;
};

struct Clip {
    cloud_file_node_t node;
    std::string mp4, jpeg; // copies kept after the list deleted the originals
};

class CloudRecord : public sdktest::SdkTest {
protected:
    CloudRecord() : sdktest::SdkTest({"--did", "424242", "--time", "1700000000"}, false) {}

    void SetUp() override
    {
        if (!rectest::have_tool("ffprobe") || !rectest::have_tool("ffmpeg"))
            GTEST_SKIP() << "ffprobe and ffmpeg are needed";
        sdktest::SdkTest::SetUp();
        keep_ = root_.dir() + "/kept";
        std::filesystem::create_directories(keep_);
        const std::string jpg =
            rectest::make_stream(keep_, "snap.jpg", "-f lavfi -i testsrc2=size=2880x1620 -frames:v 1 -q:v 5");
        ASSERT_FALSE(jpg.empty());
        std::ifstream in(jpg, std::ios::binary);
        g_jpeg.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        param_.ko_snapshot_func = snapshot_hook;
        ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
        wait_links();
    }

    void TearDown() override
    {
        ko_cloud_deinit();
        feeder_.reset();
        sd_io_fault_set(0, SD_IO_FAULT_ERRNO, 0);
        sdktest::SdkTest::TearDown();
    }

    // Channels 0 and 4 with the board's stream; feeding starts.
    void start_media(const char *stream, uint32_t encode)
    {
        stream_ = rectest::load_stream(rectest::board_media(stream));
        ASSERT_FALSE(stream_.units.empty());
        ko_stream_chn_info v{};
        v.channel = 0;
        v.resolution = {2880, 1620};
        v.gop = 60;
        v.encode = encode;
        v.bitrate = 2000;
        v.fps = kFps;
        v.seconds = 10;
        ASSERT_EQ(ko_ipc_stream_chn_add(&v), 0);
        ko_stream_chn_info a{};
        a.channel = 4;
        a.samplerate = 16000;
        a.samplebit = 16;
        a.encode = 1032;
        a.bitrate = 32;
        a.fps = kAudioFps;
        a.seconds = 10;
        ASSERT_EQ(ko_ipc_stream_chn_add(&a), 0);
        feeder_ = std::make_unique<Feeder>(stream_, rectest::audio_frames(1032, 150));
    }

    void start_cloud(uint16_t record_s, uint16_t back_s, int mode = 0)
    {
        cloud_init_param_t p{};
        snprintf(p.dir, sizeof p.dir, "/tmp/stream");
        p.mode = mode;
        p.check_face = p.check_baby_cry = 1;
        p.audio_channel = 4;
        p.buffer_size = 8 * 1024 * 1024;
        p.auto_switch = 1;
        ASSERT_EQ(ko_cloud_init(&p), 0);
        cloud_alarm_config_t c{};
        c.record_seconds = record_s;
        c.back_seconds = back_s;
        c.schedule_on = 1;
        c.end_hour = 23;
        c.end_minute = 59;
        ASSERT_EQ(ko_alarm_config_set(&c), 0);
        ASSERT_EQ(ko_cloud_set_upload_switch(1), 0);
    }

    void wait_fed(int frames)
    {
        ASSERT_TRUE(zeltest::wait_until([&] { return feeder_->video_fed() >= frames; }, 30s));
    }

    static void motion()
    {
        ko_event_info e{};
        e.type = 0;
        ASSERT_EQ(ko_ipc_event_trigger(KO_EVENT_CONSUMER_CLOUD, &e), 0);
    }

    // The next queued clip, its files copied aside, taken off the list as the uploader would.
    bool take(Clip *out, std::chrono::milliseconds timeout = 30s)
    {
        cloud_file_node_t n{};
        if (!zeltest::wait_until([&] { return cloud_list_getfile(&n) > 0; }, timeout))
            return false;
        out->node = n;
        const int i = taken_++;
        out->mp4 = keep_ + "/" + std::to_string(i) + ".mp4";
        out->jpeg = keep_ + "/" + std::to_string(i) + ".jpeg";
        std::filesystem::copy_file(root_.path(n.mp4_path), out->mp4);
        std::error_code ec;
        std::filesystem::copy_file(root_.path(n.jpeg_path), out->jpeg, ec);
        cloud_list_delete();
        return true;
    }

    // Clip files still in the clip directory (snapshots on their way included).
    std::vector<std::string> clip_dir_files()
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(root_.path("/tmp/stream"), ec))
            names.push_back(e.path().filename().string());
        return names;
    }

    rectest::Stream stream_;
    std::unique_ptr<Feeder> feeder_;
    std::string keep_;
    int taken_ = 0;
};

void expect_clean_file(const Clip &c, const char *video_codec)
{
    EXPECT_EQ(rectest::ffprobe_stream(c.mp4, "v:0", "codec_name,width,height"),
              std::string(video_codec) + ",2880,1620");
    // The decoder always reports 48 kHz: the track time scale is the source rate.
    EXPECT_EQ(rectest::ffprobe_stream(c.mp4, "a:0", "codec_name,channels,time_base"), "opus,1,1/16000");
    const auto packets = rectest::ffprobe_packets(c.mp4, "v:0");
    ASSERT_FALSE(packets.empty());
    EXPECT_TRUE(packets.front().key) << "a file opens on a key frame";
    EXPECT_EQ(rectest::ffmpeg_decode_errors(c.mp4), "");
}

TEST_F(CloudRecord, MotionAlarmGivesANineSecondClipWithLookBack)
{
    start_media("main_2880x1620.h265", 5);
    start_cloud(0, 3);
    wait_fed(4 * kFps);
    const uint64_t trigger_ms = vexa_time_get_ms();
    motion();
    std::vector<Clip> clips;
    do {
        clips.emplace_back();
        ASSERT_TRUE(take(&clips.back())) << "clip " << clips.size();
        ASSERT_LE(clips.size(), 6u);
    } while (!clips.back().node.end_of_block);

    uint64_t total_ms = 0;
    size_t video_packets = 0, audio_packets = 0;
    for (const Clip &c : clips) {
        SCOPED_TRACE(c.node.mp4_path);
        total_ms += c.node.duration_ms;
        EXPECT_LE(c.node.duration_ms, 3500u);
        EXPECT_EQ(c.node.group, clips.front().node.group);
        EXPECT_EQ(c.node.video_codec, 35);
        EXPECT_EQ(c.node.audio_codec, 1032);
        EXPECT_EQ(c.node.width, 2880);
        EXPECT_EQ(c.node.outside_schedule, 0);
        EXPECT_TRUE(c.node.event.types & 1) << "motion";
        expect_clean_file(c, "hevc");
        video_packets += rectest::ffprobe_packets(c.mp4, "v:0").size();
        audio_packets += rectest::ffprobe_packets(c.mp4, "a:0").size();
        EXPECT_EQ(rectest::ffprobe_stream(c.jpeg, "v:0", "codec_name,width,height"), "mjpeg,2880,1620");
    }
    EXPECT_NEAR(static_cast<double>(total_ms), 9080.0, 3000.0) << "9 s and 80 ms, within one GOP";
    const ko_cloud_test_counts counts = ko_cloud_test_counters();
    EXPECT_EQ(counts.rec_mp4, clips.size());
    EXPECT_EQ(video_packets, counts.video_frames) << "every frame read is a packet";
    EXPECT_EQ(audio_packets, counts.audio_frames);
    EXPECT_GT(audio_packets, video_packets);
    const uint64_t first = clips.front().node.first_frame_ms;
    EXPECT_LE(first, trigger_ms + 60) << "the clip looks back";
    EXPECT_GE(first + 3000 + 60, trigger_ms) << "by at most the back seconds";
}

TEST_F(CloudRecord, H264StreamGivesCodec33)
{
    start_media("main_2880x1620.h264", 4);
    start_cloud(3, 3);
    wait_fed(kFps);
    motion();
    Clip c;
    ASSERT_TRUE(take(&c));
    EXPECT_EQ(c.node.video_codec, 33);
    expect_clean_file(c, "h264");
}

TEST_F(CloudRecord, SubscribedAccountRecordsContinuousGroups)
{
    start_media("main_2880x1620.h265", 5);
    start_cloud(9, 3);
    // Groups of two 3 s GOPs: a new group once one has run past 1.5 GOPs and its time is used.
    ko_cloud_test_set_gop_limits(3, 2);
    ko_cloud_test_set_account(1, 1);
    std::vector<Clip> clips(4);
    for (Clip &c : clips)
        ASSERT_TRUE(take(&c));
    EXPECT_EQ(clips[1].node.group, clips[0].node.group);
    EXPECT_EQ(clips[2].node.group, clips[0].node.group + 1);
    EXPECT_EQ(clips[3].node.group, clips[2].node.group);
    EXPECT_EQ(clips[0].node.end_of_block, 0);
    EXPECT_EQ(clips[1].node.end_of_block, 1);
    EXPECT_EQ(clips[2].node.end_of_block, 0);
    EXPECT_EQ(clips[3].node.end_of_block, 1);
    for (const Clip &c : clips) {
        EXPECT_EQ(c.node.event.types, 1u) << "no alarm: marked as motion";
        EXPECT_NEAR(static_cast<double>(c.node.duration_ms), 3000.0, 100.0);
    }
    EXPECT_EQ(ko_cloud_test_counters().event, 0u);
}

TEST_F(CloudRecord, FailedWriteDropsOnlyThatFile)
{
    start_media("main_2880x1620.h265", 5);
    start_cloud(6, 3);
    wait_fed(2 * kFps);
    // The first file's third change to storage: its second sample.
    sd_io_fault_set(3, SD_IO_FAULT_ERRNO, ENOSPC);
    motion();
    Clip c;
    ASSERT_TRUE(take(&c));
    EXPECT_STREQ(c.node.mp4_path, "/tmp/stream/2.mp4");
    EXPECT_EQ(ko_cloud_test_counters().mp4_finish_err, 1u);
    EXPECT_FALSE(root_.exists("/tmp/stream/1.mp4"));
    EXPECT_FALSE(root_.exists("/tmp/stream/1.jpeg"));
    expect_clean_file(c, "hevc");
}

TEST_F(CloudRecord, DeinitMidClipLeavesNoFilesAndReinitRecords)
{
    start_media("main_2880x1620.h265", 5);
    start_cloud(9, 3);
    wait_fed(kFps);
    motion();
    ASSERT_TRUE(zeltest::wait_until([&] { return root_.exists("/tmp/stream/1.jpeg"); }, 10s));
    ASSERT_EQ(ko_cloud_deinit(), 0);
    EXPECT_EQ(clip_dir_files(), std::vector<std::string>{});
    start_cloud(3, 3);
    motion();
    Clip c;
    EXPECT_TRUE(take(&c));
}

// The switch's thresholds, on a main, a middle and a sub stream (the ring's view given here).
bool three_channels(unsigned ch, uint64_t *buffered)
{
    static const uint64_t bytes[] = {1000000, 500000, 100000};
    if (ch > 2)
        return false;
    *buffered = bytes[ch];
    return true;
}

TEST(CloudResolution, SwitchThresholds)
{
    cloud_switch_input in{};
    in.channel = 0;
    in.buffer_size = 10000000;
    in.upload_speed = 200000;
    in.avg_bitrate = 250000;
    in.reader_caught_up = true;
    in.since_switch_ms = 10000;

    in.free_bytes = 3900000; // 39 %
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 1u) << "under 40 % free";
    in.reader_caught_up = false;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 0u) << "not while reader 1 is behind";
    in.reader_caught_up = true;
    in.free_bytes = 1400000;
    in.buffer_size = 2000000; // 70 %, but under 1.5 x the 1 MB the channel buffers
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 1u);
    in.buffer_size = 10000000;

    in.free_bytes = 5000000; // 50 %
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 1u) << "upload slower than the stream";
    in.upload_speed = 300000;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 0u) << "upload keeps up";
    in.free_bytes = 7000000; // 70 %
    in.upload_speed = 100000;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 0u) << "between 60 % and 80 % nothing moves";

    in.channel = 2;
    in.upload_speed = 300000;
    in.free_bytes = 8100000; // 81 %
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 1u) << "room and speed: one step up";
    in.since_switch_ms = 5999;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 2u) << "not within 6 s of the last switch";
    in.since_switch_ms = 6000;
    in.upload_speed = 250000;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 2u) << "upload not faster than the stream";
    in.upload_speed = 300000;
    in.channel = 1;
    in.buffer_size = 1600000;
    in.free_bytes = 1400000; // 87 %, but under 1.5 x the main stream's 1 MB
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 1u) << "not enough free space";

    in.channel = 2;
    in.buffer_size = 10000000;
    in.free_bytes = 1000000;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 2u) << "nothing below the sub stream";
    in.channel = 6;
    EXPECT_EQ(cloud_switch_decide(in, three_channels), 6u) << "channels 6 and 7 keep their stream";
}

} // namespace
