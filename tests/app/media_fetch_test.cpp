// The media app's frame path through media_app_create with the simulated board and the recording push
// double: ten seconds of main, sub and audio frames are the board's own bytes in order (checked
// against the files and by ffprobe and ffmpeg), at their rates, with the sequence numbers and fields
// the client expects; the 2560 x 1440 main stream by "ROM.hid"; the fetch failure limit; the key-frame
// wait after a lost frame; the pause while the board reloads.
#include "media_test_env.h"

#include "sdk_porting_double.h"
#include "zel_media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using portdouble::Frame;

constexpr int64_t kVideoSlotMs = 50;
constexpr int64_t kAudioSlotMs = 40;

class MediaFetch : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    // `before` runs on the fresh board before the app is created.
    void start(const zeltest::FactoryEntries &rom = {}, const std::function<void()> &before = {})
    {
        env_ = std::make_unique<mediatest::Env>(rom);
        portdouble::clear();
        if (before)
            before();
        ASSERT_NE(media_app_create(0), nullptr);
        started_ = true;
    }
    void stop()
    {
        if (started_)
            zel_media_deinit();
        started_ = false;
    }
    void TearDown() override
    {
        __atomic_store_n(&dev_status.reloading, 0, __ATOMIC_RELEASE);
        stop();
    }
    std::string write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        const std::string path = env_->root().path("/tmp/" + name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
        return path;
    }
    std::unique_ptr<mediatest::Env> env_;
    bool started_ = false;
};

// The threads write chn_status as they pause and resume.
bool paused_channel(int chn)
{
    return __atomic_load_n(&chn_status[chn], __ATOMIC_ACQUIRE) == 1;
}

// The frames from the first key frame on, and their bytes back to back.
std::vector<Frame> from_first_key(const std::vector<Frame> &frames)
{
    const auto key = std::find_if(frames.begin(), frames.end(), [](const Frame &f) { return f.key; });
    return {key, frames.end()};
}

std::vector<uint8_t> joined(const std::vector<Frame> &frames)
{
    std::vector<uint8_t> out;
    for (const Frame &f : frames)
        out.insert(out.end(), f.bytes.begin(), f.bytes.end());
    return out;
}

// Whether `span` appears in the looping file, starting within its first pass.
bool in_looping_file(const std::vector<uint8_t> &span, const std::vector<uint8_t> &file)
{
    if (file.empty())
        return false;
    std::vector<uint8_t> loops;
    while (loops.size() < span.size() + file.size())
        loops.insert(loops.end(), file.begin(), file.end());
    const auto at = std::search(loops.begin(), loops.end(), span.begin(), span.end());
    return at != loops.end() && static_cast<size_t>(at - loops.begin()) < file.size();
}

std::string probe_packets(const std::string &path)
{
    std::string out;
    zeltest::run_command(
        "ffprobe -v error -f hevc -show_packets -show_entries packet=size,flags -of csv=p=0 '" + path + "'", &out);
    return out;
}

std::string expected_packets(const std::vector<Frame> &frames)
{
    std::ostringstream out;
    for (const Frame &f : frames)
        out << f.len << "," << (f.key ? "K" : "_") << "_\n";
    return out.str();
}

TEST_F(MediaFetch, TenSecondsOfFramesAreTheBoardsStreamsAndAudio)
{
    start();
    std::this_thread::sleep_for(10s);
    stop();

    for (const int chn : {0, 1}) {
        SCOPED_TRACE(chn);
        const std::vector<Frame> all = portdouble::frames(chn);
        ASSERT_GT(all.size(), 100u);
        for (size_t i = 0; i < all.size(); ++i) {
            ASSERT_EQ(all[i].seq, i + 1) << "sequence from 1";
            ASSERT_EQ(all[i].stream, 0);
            ASSERT_EQ(all[i].type, 1);
            ASSERT_EQ(all[i].kind, 1) << "H.265 is the board's frame kind 0";
            ASSERT_FALSE(all[i].bytes_dropped);
            ASSERT_EQ(all[i].len, static_cast<int32_t>(all[i].bytes.size()));
            if (i > 0) {
                ASSERT_EQ(static_cast<int64_t>(all[i].ts_ms - all[i - 1].ts_ms), kVideoSlotMs) << "no frame lost " << i;
            }
        }
        // The first frame's time stamp is when the board began to pace the channel.
        const double expected =
            static_cast<double>(all.back().arrived_us - static_cast<int64_t>(all.front().ts_ms) * 1000) /
                (kVideoSlotMs * 1000) +
            1;
        EXPECT_NEAR(static_cast<double>(all.size()), expected, expected * 0.02) << "20 fps in real time";

        const std::vector<Frame> frames = from_first_key(all);
        ASSERT_FALSE(frames.empty());
        const std::vector<uint8_t> bytes = joined(frames);
        const std::vector<uint8_t> file = mediatest::read_bytes(board_test_stream_path(chn));
        EXPECT_TRUE(in_looping_file(bytes, file));
        const std::string path = write("chn" + std::to_string(chn) + ".h265", bytes);
        EXPECT_EQ(zeltest::run_command("ffmpeg -v error -xerror -f hevc -i '" + path + "' -f null - 2>&1"), 0);
        // Where the board's file starts over, ffprobe's parser gives one zero byte of the next start
        // code to the packet before it: compare the packets of the file's first pass.
        std::vector<Frame> pass;
        size_t pass_bytes = 0;
        for (const Frame &f : frames) {
            if (pass_bytes + f.bytes.size() > file.size())
                break;
            pass_bytes += f.bytes.size();
            pass.push_back(f);
        }
        ASSERT_GT(pass.size(), 60u);
        EXPECT_EQ(probe_packets(write("pass" + std::to_string(chn) + ".h265", joined(pass))), expected_packets(pass));
    }

    const std::vector<Frame> audio = portdouble::frames(2);
    ASSERT_GT(audio.size(), 100u);
    for (size_t i = 0; i < audio.size(); ++i) {
        ASSERT_EQ(audio[i].seq, i) << "audio sequence from 0";
        ASSERT_EQ(audio[i].stream, 1);
        ASSERT_EQ(audio[i].type, 0);
        ASSERT_EQ(audio[i].key, 0);
        ASSERT_EQ(audio[i].len, 1280);
    }
    const double expected =
        static_cast<double>(audio.back().arrived_us - static_cast<int64_t>(audio.front().ts_ms) * 1000) /
            (kAudioSlotMs * 1000) +
        1;
    EXPECT_NEAR(static_cast<double>(audio.size()), expected, expected * 0.02) << "25 frames/s";
    std::vector<uint8_t> pcm = mediatest::read_bytes(board_test_audio_path());
    const std::vector<uint8_t> heard = joined(audio);
    ASSERT_FALSE(pcm.empty());
    const std::vector<uint8_t> once(pcm);
    while (pcm.size() < heard.size())
        pcm.insert(pcm.end(), once.begin(), once.end());
    pcm.resize(heard.size());
    EXPECT_TRUE(pcm == heard) << "audio is the board's PCM from its start";

    EXPECT_GE(board_test_osd_updates(), 15u) << "the time stamp is redrawn every 500 ms";
}

TEST_F(MediaFetch, HidOfTheLargeSensorSelectsA2560x1440MainStream)
{
    start({{"hid", "900101"}});
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::frame_count(0) >= 3; }, 10s));
    EXPECT_LT(mediatest::call_time("set_main_stream_info"), mediatest::call_time("board_system_init"));
    const std::string path = write("main.h265", joined(from_first_key(portdouble::frames(0))));
    std::string size;
    zeltest::run_command("ffprobe -v error -f hevc -show_entries stream=width,height -of csv=p=0 '" + path + "'",
                         &size);
    EXPECT_EQ(size, "2560,1440\n");
}

TEST_F(MediaFetch, OtherHidsKeepTheDefaultMainStream)
{
    start({{"hid", "900303"}});
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::frame_count(0) >= 1; }, 10s));
    EXPECT_EQ(mediatest::call_count("set_main_stream_info"), 0u);
}

TEST_F(MediaFetch, TwoHundredAndOneFailedReadsInARowAreSurvived)
{
    start({}, [] { board_test_fail("get_video_stream:0", -1, 201); });
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::frame_count(0) >= 1; }, 20s));
    EXPECT_GT(portdouble::frame_count(1), 0u);
    const auto calls = board_test_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "board_system_exit()"), 0);
}

TEST_F(MediaFetch, TheTwoHundredAndSecondFailedReadEndsTheProcess)
{
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            start({}, [] { board_test_fail("get_video_stream:1", -1, 202); });
            std::this_thread::sleep_for(60s);
        },
        ::testing::ExitedWithCode(255), "fetch video 1 error for 201 times, exit");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1s + 201 * 20ms) << "not before the 202nd failure";
}

// Audio reads pause 100 ms after each failure: the 262nd failure in a row comes after about 26 s.
TEST_F(MediaFetch, TheTwoHundredAndSixtySecondFailedAudioReadEndsTheProcess)
{
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            start({}, [] { board_test_fail("get_audio_stream_ex", -1, 262); });
            std::this_thread::sleep_for(90s);
        },
        ::testing::ExitedWithCode(255), "get_audio_stream failed more than 260 times");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 261 * 100ms) << "not before the 262nd failure";
}

TEST_F(MediaFetch, ALostFrameDropsFramesUntilTheRequestedKeyFrame)
{
    start();
    ASSERT_TRUE(zeltest::wait_until([] { return portdouble::frame_count(0) >= 10; }, 10s));
    board_test_set_key_delay(3);
    board_test_fail("get_video_stream:0", -2, 1);
    ASSERT_TRUE(zeltest::wait_until([] { return mediatest::call_count("req_IDR_one(0)") == 1; }, 5s));
    const size_t at_request = portdouble::frame_count(0);
    ASSERT_TRUE(zeltest::wait_until([&] { return portdouble::frame_count(0) >= at_request + 3; }, 10s));
    const std::vector<Frame> frames = portdouble::frames(0);
    size_t gaps = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        const int64_t step = static_cast<int64_t>(frames[i].ts_ms - frames[i - 1].ts_ms);
        if (step == kVideoSlotMs)
            continue;
        ++gaps;
        EXPECT_EQ(step, 4 * kVideoSlotMs) << "three frames dropped";
        EXPECT_EQ(frames[i].key, 1) << "the key frame pushed";
        EXPECT_EQ(frames[i].seq, frames[i - 1].seq + 1) << "dropped frames take no sequence number";
    }
    EXPECT_EQ(gaps, 1u);
}

TEST_F(MediaFetch, WhileTheBoardReloadsNothingIsPushedAndSnapshotsAreRefused)
{
    start();
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            return portdouble::frame_count(0) > 0 && portdouble::frame_count(1) > 0 && portdouble::frame_count(2) > 0;
        },
        10s));
    __atomic_store_n(&dev_status.reloading, 1, __ATOMIC_RELEASE);
    ASSERT_TRUE(zeltest::wait_until([] { return paused_channel(0) && paused_channel(1); }, 2s));
    std::this_thread::sleep_for(zeltest::scaled(150ms));
    const size_t paused = portdouble::frame_count();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(portdouble::frame_count(), paused);
    EXPECT_EQ(zel_get_hot_config_status(), 1);
    void *jpeg = nullptr;
    int len = -1;
    EXPECT_EQ(zel_media_get_snapshot(&jpeg, &len), -1);
    EXPECT_EQ(g_jpeg_is_getting, 1);

    __atomic_store_n(&dev_status.reloading, 0, __ATOMIC_RELEASE);
    EXPECT_TRUE(zeltest::wait_until([&] { return portdouble::frame_count(0) > 0 && !paused_channel(0); }, 2s));
    EXPECT_TRUE(zeltest::wait_until([&] { return portdouble::frame_count() > paused + 3; }, 2s));
    EXPECT_EQ(zel_get_hot_config_status(), 0);
}

} // namespace
