// The simulated board media library against independent tools: frames match ffprobe's packets and
// the files byte for byte, at their frame rate; key-frame requests, injected failures, snapshots,
// setter record, speaker recording and scripted detection.
#include "boardav.h"
#include "boardav_test.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Packet {
    size_t size;
    bool key;
};

std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<Packet> ffprobe_packets(const std::string &path)
{
    std::string out;
    EXPECT_EQ(zeltest::run_command("ffprobe -v error -show_packets -show_entries packet=size,flags -of csv=p=0 '" +
                                       path + "'",
                                   &out),
              0);
    std::vector<Packet> packets;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos)
            continue;
        packets.push_back({std::stoul(line.substr(0, comma)), line[comma + 1] == 'K'});
    }
    return packets;
}

struct Frame {
    int result;
    std::vector<uint8_t> data;
    board_video_frame_info_t info;
};

// The next frame of `chn`, retrying reads that found none yet.
Frame next_frame(int chn, int cap = 524288)
{
    Frame f{};
    f.data.resize(cap);
    for (int tries = 0; tries < 50; ++tries) {
        f.info = {};
        f.result = get_video_stream(chn, f.data.data(), cap, &f.info);
        if (f.result != 0 || f.info.length > 0)
            break;
    }
    f.data.resize(f.result == 0 ? f.info.length : 0);
    return f;
}

class BoardStreams : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        board_test_set_codec(GetParam());
        ASSERT_EQ(board_system_init(1, 0), 0);
    }
    void TearDown() override { board_system_exit(); }
};

struct Expected {
    std::string path;
    std::vector<Packet> packets;
    std::vector<uint8_t> file;
};

Expected expected_for(int chn)
{
    Expected e;
    e.path = board_test_stream_path(chn);
    e.packets = ffprobe_packets(e.path);
    e.file = file_bytes(e.path);
    return e;
}

// One loop of a channel: every frame's size and key flag as ffprobe sees the file, the concatenation
// equal to the file, time stamps 50 ms apart, delivered at 20 frames a second; then the loop restarts.
void check_one_loop(int chn, const Expected &e)
{
    ASSERT_GT(e.packets.size(), 60u);
    std::vector<uint8_t> joined;
    uint64_t prev_ts = 0;
    Clock::time_point first_at;
    for (size_t i = 0; i < e.packets.size(); ++i) {
        const Frame f = next_frame(chn);
        ASSERT_EQ(f.result, 0) << "frame " << i;
        if (i == 0)
            first_at = Clock::now();
        else
            EXPECT_EQ(f.info.timestamp - prev_ts, 50000u) << "frame " << i;
        prev_ts = f.info.timestamp;
        EXPECT_EQ(static_cast<size_t>(f.info.length), e.packets[i].size) << "frame " << i;
        EXPECT_EQ(f.info.key_frame == 1, e.packets[i].key) << "frame " << i;
        joined.insert(joined.end(), f.data.begin(), f.data.end());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - first_at).count();
    const double expected = (e.packets.size() - 1) / 20.0;
    EXPECT_NEAR(seconds, expected, expected * 0.02 * zeltest::time_scale());
    EXPECT_TRUE(joined == e.file) << "concatenated frames differ from " << e.path;

    const Frame again = next_frame(chn);
    ASSERT_EQ(again.result, 0);
    EXPECT_EQ(again.info.timestamp, prev_ts + 50000) << "time stamps keep rising over the loop";
    EXPECT_EQ(again.info.key_frame, 1);
    EXPECT_TRUE(std::equal(again.data.begin(), again.data.end(), e.file.begin()));
}

TEST_P(BoardStreams, FramesAreTheFilesAccessUnitsAtTheirRate)
{
    const Expected main_stream = expected_for(0), sub_stream = expected_for(1);
    // Start again so that the first frames are not a backlog from the time ffprobe took.
    board_system_exit();
    ASSERT_EQ(board_system_init(1, 0), 0);
    std::thread sub([&] { check_one_loop(1, sub_stream); });
    check_one_loop(0, main_stream);
    sub.join();
}

TEST_P(BoardStreams, KeyFrameRequestGivesADecodableKeyFrameNext)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(next_frame(1).info.key_frame, i == 0 ? 1 : 0);
    ASSERT_EQ(req_IDR_one(1), 0);
    const Frame key = next_frame(1);
    ASSERT_EQ(key.result, 0);
    EXPECT_EQ(key.info.key_frame, 1);
    ASSERT_EQ(req_IDR(), 0);
    EXPECT_EQ(next_frame(0).info.key_frame, 1);
    EXPECT_EQ(next_frame(1).info.key_frame, 1);

    // What follows a forced key frame decodes cleanly on its own.
    zeltest::TempRoot root;
    const std::string out = root.path("/tmp/after_idr.es");
    {
        std::ofstream f(out, std::ios::binary);
        ASSERT_EQ(req_IDR_one(1), 0);
        for (int i = 0; i < 10; ++i) {
            const Frame fr = next_frame(1);
            ASSERT_EQ(fr.result, 0);
            f.write(reinterpret_cast<const char *>(fr.data.data()), fr.data.size());
        }
    }
    const std::string fmt = std::string(GetParam()) == "h264" ? "h264" : "hevc";
    EXPECT_EQ(zeltest::run_command("ffmpeg -v error -xerror -f " + fmt + " -i '" + out + "' -f null - 2>&1"), 0);
}

TEST_P(BoardStreams, KeyFrameRequestActsAfterTheSetDelay)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(next_frame(1).info.key_frame, i == 0 ? 1 : 0);
    board_test_set_key_delay(2);
    ASSERT_EQ(req_IDR_one(1), 0);
    ASSERT_EQ(req_IDR_one(1), 0) << "a second request while one waits does not restart the delay";
    EXPECT_EQ(next_frame(1).info.key_frame, 0);
    EXPECT_EQ(next_frame(1).info.key_frame, 0);
    EXPECT_EQ(next_frame(1).info.key_frame, 1);
    EXPECT_EQ(next_frame(1).info.key_frame, 0);
    board_test_set_key_delay(0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, BoardStreams, ::testing::Values("h265", "h264"));

TEST(BoardStream, MainStreamSizeFollowsSetMainStreamInfo)
{
    ASSERT_EQ(set_main_stream_info(), 0);
    ASSERT_EQ(board_system_init(1, 0), 0);
    std::string out;
    ASSERT_EQ(zeltest::run_command("ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 '" +
                                       board_test_stream_path(0) + "'",
                                   &out),
              0);
    EXPECT_EQ(out.substr(0, out.find('\n')), "2560,1440");
    ASSERT_EQ(zeltest::run_command("ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 '" +
                                       board_test_stream_path(1) + "'",
                                   &(out = "")),
              0);
    EXPECT_EQ(out.substr(0, out.find('\n')), "864,480");
    board_system_exit();
}

TEST(BoardStream, AudioIsThePcmFileIn40msFrames)
{
    ASSERT_EQ(board_system_init(1, 0), 0);
    const std::vector<uint8_t> pcm = file_bytes(board_test_audio_path());
    // Start again so that the first frames are not a backlog from reading the file.
    board_system_exit();
    ASSERT_EQ(board_system_init(1, 0), 0);
    std::vector<uint8_t> joined;
    std::vector<uint8_t> buf(1280);
    uint64_t prev = 0;
    const int frames = 50;
    Clock::time_point first_at;
    for (int i = 0; i < frames;) {
        board_audio_frame_info_t info{};
        ASSERT_EQ(get_audio_stream_ex(buf.data(), 1280, &info), 0);
        if (info.length == 0)
            continue;
        ASSERT_EQ(info.length, 1280);
        if (i == 0)
            first_at = Clock::now();
        else
            EXPECT_EQ(info.timestamp - prev, 40000u);
        prev = info.timestamp;
        joined.insert(joined.end(), buf.begin(), buf.end());
        ++i;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - first_at).count();
    EXPECT_NEAR(seconds, (frames - 1) * 0.04, (frames - 1) * 0.04 * 0.02 * zeltest::time_scale());
    ASSERT_GE(pcm.size(), joined.size());
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), pcm.begin()));
    board_system_exit();
}

TEST(BoardStream, ReadsFailBeforeStartAndAfterExit)
{
    std::vector<uint8_t> buf(524288);
    board_video_frame_info_t info{};
    board_audio_frame_info_t ainfo{};
    EXPECT_EQ(get_video_stream(0, buf.data(), buf.size(), &info), -1);
    EXPECT_EQ(get_audio_stream_ex(buf.data(), 1280, &ainfo), -1);
    ASSERT_EQ(board_system_init(1, 0), 0);
    EXPECT_EQ(get_video_stream(2, buf.data(), buf.size(), &info), -1) << "only channels 0 and 1";
    EXPECT_EQ(next_frame(0).result, 0);
    board_system_exit();
    EXPECT_EQ(get_video_stream(0, buf.data(), buf.size(), &info), -1);
}

TEST(BoardStream, InjectedResultsComeBeforeRealFrames)
{
    ASSERT_EQ(board_system_init(1, 0), 0);
    std::vector<uint8_t> buf(524288);
    board_video_frame_info_t info{};
    board_test_fail("get_video_stream:0", -1, 2);
    EXPECT_EQ(get_video_stream(0, buf.data(), buf.size(), &info), -1);
    EXPECT_EQ(get_video_stream(0, buf.data(), buf.size(), &info), -1);
    board_test_fail("get_video_stream:0", 0, 1);
    info.length = 99;
    EXPECT_EQ(get_video_stream(0, buf.data(), buf.size(), &info), 0);
    EXPECT_EQ(info.length, 0) << "an injected 0 is a read without a frame";
    board_test_fail("get_video_stream:0", -2, 1);
    EXPECT_EQ(get_video_stream(0, buf.data(), buf.size(), &info), -2);
    const Frame f = next_frame(0);
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.info.key_frame, 1) << "injected reads consume no frame";

    board_audio_frame_info_t ainfo{};
    board_test_fail("get_audio_stream_ex", -1, 1);
    EXPECT_EQ(get_audio_stream_ex(buf.data(), 1280, &ainfo), -1);
    board_system_exit();
}

TEST(BoardStream, FrameTooLargeOrReaderTooLateAsksForAKeyFrame)
{
    ASSERT_EQ(board_system_init(1, 0), 0);
    std::vector<uint8_t> buf(100);
    board_video_frame_info_t info{};
    int r = 0;
    for (int i = 0; i < 50 && (r = get_video_stream(1, buf.data(), buf.size(), &info)) == 0 && info.length == 0; ++i) {
    }
    EXPECT_EQ(r, -2) << "a frame larger than the buffer is dropped";
    EXPECT_EQ(next_frame(1).info.key_frame, 0) << "the stream went on after the dropped frame";

    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    EXPECT_EQ(next_frame(1).result, -2) << "a reader more than 2 s behind loses frames";
    ASSERT_EQ(req_IDR_one(1), 0);
    const Frame f = next_frame(1);
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.info.key_frame, 1);
    board_system_exit();
}

TEST(BoardSnapshot, GivesTheJpegWithItsLengthInTheFifthWord)
{
    std::vector<uint8_t> buf(131072);
    board_jpeg_info_t info{};
    EXPECT_EQ(get_jpeg_snap(buf.data(), buf.size(), &info), -1) << "not started";
    ASSERT_EQ(board_system_init(1, 0), 0);
    ASSERT_EQ(get_jpeg_snap(buf.data(), buf.size(), &info), 0);
    ASSERT_GT(info.length, 100);
    EXPECT_EQ(reinterpret_cast<const int32_t *>(&info)[4], info.length);
    EXPECT_EQ(buf[0], 0xff);
    EXPECT_EQ(buf[1], 0xd8);
    EXPECT_EQ(buf[info.length - 2], 0xff);
    EXPECT_EQ(buf[info.length - 1], 0xd9);
    EXPECT_EQ(get_jpeg_snap(buf.data(), 64, &info), -2);
    board_test_fail("get_jpeg_snap", -1, 1);
    EXPECT_EQ(get_jpeg_snap(buf.data(), buf.size(), &info), -1);
    board_system_exit();
}

TEST(BoardControls, SettersAreRecordedAndGettersReportTheLastSetting)
{
    board_test_clear_calls();
    set_video_Vflip();
    enable_wdr();
    set_speaker_vol_percentage(75);
    set_speaker_mute(1);
    set_soc_lsd_threshold(40);
    ASSERT_EQ(set_isp_dnmode(1), 0);
    const std::vector<std::string> want{"set_video_Vflip()", "enable_wdr()", "set_speaker_vol_percentage(75)",
                                        "set_speaker_mute(1)", "set_soc_lsd_threshold(40)", "set_isp_dnmode(1)"};
    EXPECT_EQ(board_test_calls(), want);
    int mode = -1;
    ASSERT_EQ(get_isp_dnmode(&mode), 0);
    EXPECT_EQ(mode, 1);
    board_test_fail("set_isp_dnmode", -1, 1);
    EXPECT_EQ(set_isp_dnmode(0), -1);
    ASSERT_EQ(get_isp_dnmode(&mode), 0);
    EXPECT_EQ(mode, 1) << "a failed switch keeps the mode";
    EXPECT_EQ(set_speaker_vol_percentage(101), -1);
}

TEST(BoardControls, SpeakerRecordsWhatIsPlayed)
{
    board_test_clear_speaker_audio();
    const std::vector<uint8_t> a(1280, 0x11), b(3000, 0x22);
    EXPECT_EQ(play_sound_ex(a.data(), a.size()), 0);
    EXPECT_EQ(play_sound(b.data(), b.size()), 0);
    EXPECT_EQ(play_sound_ex(b.data(), 1281), -1) << "talk-back chunks are at most 1280 bytes";
    std::vector<uint8_t> want(a);
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(board_test_speaker_audio(), want);
}

TEST(BoardControls, BabyCryResultsFollowTheScript)
{
    board_test_script_babycry({1, 0, 1});
    int r = -1;
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(get_soc_babycry_result(&r), 0);
        seen.push_back(r);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 0, 1, 0}));
    board_test_fail("get_soc_babycry_result", -1, 1);
    EXPECT_EQ(get_soc_babycry_result(&r), -1);
}

} // namespace

namespace {

TEST(BoardControls, CallsCarryTheirMonotonicTime)
{
    board_test_clear_calls();
    const int64_t before =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
    enable_ldc();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    disable_ldc();
    const auto calls = board_test_timed_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "enable_ldc()");
    EXPECT_GE(calls[0].mono_us, before);
    EXPECT_GE(calls[1].mono_us - calls[0].mono_us, 20000);
}

TEST(BoardControls, ImageStateViewShowsWhatSucceeded)
{
    EXPECT_EQ(board_test_image_state().logo, -1) << "never set";
    ASSERT_EQ(set_video_Vflip(), 0);
    ASSERT_EQ(enable_logo(), 0);
    board_test_fail("enable_wdr", -1, 1);
    EXPECT_EQ(enable_wdr(), -1);
    const board_image_state s = board_test_image_state();
    EXPECT_EQ(s.flip, 1);
    EXPECT_EQ(s.logo, 1);
    EXPECT_EQ(s.wdr, -1) << "a failed switch changes nothing";
    const uint64_t n = board_test_osd_updates();
    ASSERT_EQ(osd_update_timestamp(3), 0);
    ASSERT_EQ(osd_update_timestamp(3), 0);
    EXPECT_EQ(board_test_osd_updates(), n + 2);
}

TEST(BoardSpeaker, PlaysInRealTimeAndCountsWhatItPlaysWhileOff)
{
    ASSERT_EQ(disable_speaker(), 0);
    const std::vector<uint8_t> pcm(3200, 1); // 100 ms
    const auto start = Clock::now();
    ASSERT_EQ(play_sound(pcm.data(), pcm.size()), 0);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(99));
    EXPECT_LT(took, zeltest::scaled(std::chrono::milliseconds(200)));
    EXPECT_EQ(board_test_speaker_state().bytes_while_disabled, 3200u);
    ASSERT_EQ(enable_speaker(), 0);
    ASSERT_EQ(enable_aec(), 0);
    ASSERT_EQ(play_sound_ex(pcm.data(), 1280), 0);
    const board_speaker_state s = board_test_speaker_state();
    EXPECT_EQ(s.bytes_while_disabled, 3200u);
    EXPECT_EQ(s.enabled, 1);
    EXPECT_EQ(s.aec, 1);
}

TEST(BoardSpeaker, HoldStallsPlaybackUntilReleased)
{
    board_test_hold_speaker(true);
    const std::vector<uint8_t> pcm(640, 2);
    std::atomic<bool> done{false};
    std::thread player([&] {
        play_sound(pcm.data(), pcm.size());
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done);
    EXPECT_TRUE(board_test_speaker_state().held);
    board_test_hold_speaker(false);
    player.join();
    EXPECT_TRUE(done);
}

TEST(BoardSpeaker, VolumeAndMuteAreKept)
{
    ASSERT_EQ(set_speaker_vol_percentage(35), 0);
    EXPECT_EQ(set_speaker_vol_percentage(-1), -1);
    ASSERT_EQ(set_speaker_mute(1), 0);
    ASSERT_EQ(set_speaker_vol(7), 0);
    const board_speaker_state s = board_test_speaker_state();
    EXPECT_EQ(s.vol_percent, 35);
    EXPECT_EQ(s.mute, 1);
    EXPECT_EQ(s.vol, 7);
}

} // namespace
