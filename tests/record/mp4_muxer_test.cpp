// The plain MP4 writer against ffprobe and ffmpeg: board H.265 with Opus, x264 with delimiters and
// slices, and H.265 whose key frames open with SEI all give one packet per access unit fed, keys
// where the source has them, the fed durations, and decode without an error.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/resource.h>

#include <fstream>
#include <sstream>

#include "common/tiny_fmp4/fmp4_box.h"
#include "common/tiny_mp4/mp4_muxer.h"
#include "record_media.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

constexpr uint64_t kStartUs = 1700000000ull * 1000000;

bool tools() { return have_tool("ffprobe") && have_tool("ffmpeg"); }

mp4_muxer_config_t config(const std::string &path, bool h265)
{
    mp4_muxer_config_t c{};
    c.path = path.c_str();
    c.video_codec = h265 ? 35 : 33;
    c.audio_channels = 1;
    c.width = 864;
    c.height = 480;
    c.video_time_scale = 90000;
    c.audio_time_scale = 16000;
    return c;
}

ko_av_frame frame_of(const void *data, size_t size, uint64_t ts_us)
{
    ko_av_frame f{};
    f.data = const_cast<void *>(data);
    f.size = static_cast<uint32_t>(size);
    f.timestamp_us = ts_us;
    f.timestamp_s = ts_us / 1000000;
    return f;
}

struct Fed {
    int video = 0, audio = 0, errors = 0;
};

// `frames` video frames at 20 fps with 40 ms Opus frames interleaved by time.
Fed feed(mp4_muxer_t *m, const Stream &s, int frames)
{
    Fed fed;
    const auto audio = audio_frames(1032, static_cast<size_t>(frames) * 2);
    uint64_t audio_us = kStartUs;
    size_t a = 0;
    for (int i = 0; i < frames; i++) {
        const uint64_t ts = kStartUs + static_cast<uint64_t>(i) * 50000;
        while (audio_us <= ts && a < audio.size()) {
            const ko_av_frame f = frame_of(audio[a].data(), audio[a].size(), audio_us);
            fed.errors += mp4_muxer_update_audio(m, &f) != 0;
            fed.audio++;
            a++;
            audio_us += 40000;
        }
        const board::AccessUnit &au = s.units[static_cast<size_t>(i) % s.units.size()];
        const ko_av_frame f = frame_of(s.bytes.data() + au.offset, au.size, ts);
        fed.errors += mp4_muxer_update_video(m, &f) != 0;
        fed.video++;
    }
    return fed;
}

std::string probe(const std::string &path, const std::string &what)
{
    std::string out;
    zeltest::run_command("ffprobe -v error " + what + " -of csv=p=0 '" + path + "'", &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ','))
        out.pop_back();
    return out;
}

struct Input {
    const char *name;
    const char *file;
    const char *ffmpeg;
    int frames;
};

class PlainInputs : public ::testing::TestWithParam<Input> {};

TEST_P(PlainInputs, EveryAccessUnitIsAPacketAndTheClipDecodes)
{
    if (!tools())
        GTEST_SKIP() << "ffmpeg/ffprobe missing";
    const Input in = GetParam();
    zeltest::TempRoot root;
    const std::string made = std::string(in.name) + (strstr(in.ffmpeg, "libx265") ? ".h265" : ".h264");
    const std::string src = in.file[0] ? board_media(in.file) : make_stream(root.dir(), made, in.ffmpeg);
    ASSERT_FALSE(src.empty());
    const Stream s = load_stream(src);
    ASSERT_TRUE(s.units.at(0).key);
    const std::string clip = root.dir() + "/clip.mp4";
    const mp4_muxer_config_t cfg = config(clip, s.h265);
    mp4_muxer_t *m = mp4_muxer_init(&cfg);
    ASSERT_NE(m, nullptr);
    const Fed fed = feed(m, s, in.frames);
    EXPECT_EQ(fed.errors, 0);
    ASSERT_EQ(mp4_muxer_finish(m), 0);

    EXPECT_EQ(ffprobe_stream(clip, "v:0", "codec_name"), s.h265 ? "hevc" : "h264");
    EXPECT_EQ(ffprobe_stream(clip, "a:0", "codec_name"), "opus");
    const auto packets = ffprobe_packets(clip, "v:0");
    ASSERT_EQ(packets.size(), static_cast<size_t>(in.frames));
    for (int i = 0; i < in.frames; i++)
        EXPECT_EQ(packets[static_cast<size_t>(i)].key, s.units[static_cast<size_t>(i) % s.units.size()].key)
            << "packet " << i;
    EXPECT_EQ(ffprobe_packets(clip, "a:0").size(), static_cast<size_t>(fed.audio));
    // 20 fps: the first sample is 50 ms (no earlier frame), every other one the 50 ms between frames
    EXPECT_EQ(probe(clip, "-select_streams v:0 -show_entries stream=duration_ts"),
              std::to_string(in.frames * 4500));
    EXPECT_EQ(ffmpeg_decode_errors(clip), "");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PlainInputs,
    ::testing::Values(
        Input{"board_h265", "sub_864x480.h265", "", 200},
        Input{"x264_aud_slices", "", "-f lavfi -i testsrc2=size=320x240:rate=20 -t 5 -c:v libx264 -preset ultrafast "
                                     "-pix_fmt yuv420p -bf 0 -g 40 -x264-params slices=4:aud=1 "
                                     "-bsf:v dump_extra=freq=keyframe -f h264",
              100},
        Input{"h265_sei_first", "", "-f lavfi -i testsrc2=size=320x240:rate=20 -t 5 -c:v libx265 -preset ultrafast "
                                    "-pix_fmt yuv420p -x265-params log-level=error:keyint=40:bframes=0:"
                                    "repeat-headers=1:info=1 -f hevc",
              100}),
    [](const ::testing::TestParamInfo<Input> &info) { return std::string(info.param.name); });

std::vector<uint8_t> slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PlainMuxer, SeiBeforeTheIrapStartsTheClip)
{
    zeltest::TempRoot root;
    const std::string clip = root.dir() + "/clip.mp4";
    const mp4_muxer_config_t cfg = config(clip, true);
    mp4_muxer_t *m = mp4_muxer_init(&cfg);
    ASSERT_NE(m, nullptr);
    // VPS, SPS, PPS, prefix SEI, IDR_W_RADL (19); then a trailing picture
    const uint8_t key[] = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0, 0, 0, 1, 0x42, 0x01, 0x01, 0, 0, 0, 1, 0x44, 0x01, 0xc1,
                           0, 0, 0, 1, 0x4e, 0x01, 0x05, 0x02, 0, 0, 0, 1, 0x26, 0x01, 0xaf, 0x10};
    const uint8_t next[] = {0, 0, 0, 1, 0x02, 0x01, 0xd0, 0x20};
    const uint8_t early[] = {0, 0, 0, 1, 0x02, 0x01, 0xd0, 0x21};
    ko_av_frame f = frame_of(early, sizeof early, kStartUs);
    EXPECT_EQ(mp4_muxer_update_video(m, &f), -1) << "a slice before the parameter sets and an IRAP";
    const uint8_t junk[] = {0x12, 0x34, 0x56};
    f = frame_of(junk, sizeof junk, kStartUs);
    EXPECT_EQ(mp4_muxer_update_video(m, &f), -1) << "no NAL unit at all";
    f = frame_of(key, 21, kStartUs); // the parameter sets alone
    EXPECT_EQ(mp4_muxer_update_video(m, &f), 0);
    f = frame_of(key, sizeof key, kStartUs + 50000);
    EXPECT_EQ(mp4_muxer_update_video(m, &f), 0);
    f = frame_of(next, sizeof next, kStartUs + 100000);
    EXPECT_EQ(mp4_muxer_update_video(m, &f), 0);
    ASSERT_EQ(mp4_muxer_finish(m), 0);
    // the key sample holds the SEI and the IDR behind their lengths; the parameter sets are not in it
    const auto bytes = slurp(clip);
    ASSERT_GT(bytes.size(), 168u + 12u + 8u);
    EXPECT_EQ(fmp4::be32(bytes.data() + 160), 8u + 8u + 8u + 8u);
    EXPECT_EQ(fmp4::be32(bytes.data() + 168), 4u);
    EXPECT_EQ(bytes[172], 0x4e);
    EXPECT_EQ(fmp4::be32(bytes.data() + 176), 4u);
    EXPECT_EQ(bytes[180], 0x26);
}

TEST(PlainMuxer, H264DelimiterDoesNotDropItsFrame)
{
    zeltest::TempRoot root;
    const std::string clip = root.dir() + "/clip.mp4";
    const mp4_muxer_config_t cfg = config(clip, false);
    mp4_muxer_t *m = mp4_muxer_init(&cfg);
    ASSERT_NE(m, nullptr);
    const uint8_t aud_only[] = {0, 0, 0, 1, 0x09, 0xf0};
    const uint8_t key[] = {0, 0, 0, 1, 0x09, 0xf0, 0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0, 0, 0, 1, 0x68, 0xce,
                           0, 0, 0, 1, 0x65, 0x88, 0x80};
    ko_av_frame f = frame_of(aud_only, sizeof aud_only, kStartUs);
    EXPECT_EQ(mp4_muxer_update_video(m, &f), 0);
    f = frame_of(key, sizeof key, kStartUs + 50000);
    EXPECT_EQ(mp4_muxer_update_video(m, &f), 0);
    ASSERT_EQ(mp4_muxer_finish(m), 0);
    const auto bytes = slurp(clip);
    EXPECT_EQ(fmp4::be32(bytes.data() + 160), 8u + 7u) << "the IDR behind its length";
    EXPECT_EQ(bytes[172], 0x65);
}

TEST(PlainMuxer, EmptyClipAndTimeJumps)
{
    zeltest::TempRoot root;
    const std::string clip = root.dir() + "/empty.mp4";
    const mp4_muxer_config_t cfg = config(clip, true);
    mp4_muxer_t *m = mp4_muxer_init(&cfg);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(mp4_muxer_finish(m), 0);
    const auto bytes = slurp(clip);
    ASSERT_GT(bytes.size(), 176u);
    EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 8), "ftyp");
    EXPECT_EQ(std::string(bytes.begin() + 28, bytes.begin() + 32), "free");
    EXPECT_EQ(fmp4::be32(bytes.data() + 160), 8u);
    EXPECT_EQ(std::string(bytes.begin() + 172, bytes.begin() + 176), "moov");
    EXPECT_EQ(fmp4::be32(bytes.data() + 168), bytes.size() - 168);

    if (!tools())
        GTEST_SKIP() << "ffprobe missing";
    const std::string jumps = root.dir() + "/jumps.mp4";
    const mp4_muxer_config_t c2 = config(jumps, true);
    m = mp4_muxer_init(&c2);
    ASSERT_NE(m, nullptr);
    const Stream s = load_stream(board_media("sub_864x480.h265"));
    const uint64_t ts[] = {kStartUs, kStartUs + 40000, kStartUs + 3000000, kStartUs + 3060000};
    for (size_t i = 0; i < 4; i++) {
        const ko_av_frame f = frame_of(s.bytes.data() + s.units[i].offset, s.units[i].size, ts[i]);
        ASSERT_EQ(mp4_muxer_update_video(m, &f), 0);
    }
    ASSERT_EQ(mp4_muxer_finish(m), 0);
    // durations: 50 ms (first), 40 ms, 50 ms in place of the 2.96 s jump, 60 ms
    EXPECT_EQ(probe(jumps, "-select_streams v:0 -show_entries packet=duration"), "4500\n3600\n4500\n5400");
}

TEST(PlainMuxer, RefusesBadConfigurations)
{
    zeltest::TempRoot root;
    const std::string clip = root.dir() + "/c.mp4";
    EXPECT_EQ(mp4_muxer_init(nullptr), nullptr);
    mp4_muxer_config_t c = config(clip, true);
    c.width = 0;
    EXPECT_EQ(mp4_muxer_init(&c), nullptr);
    c = config(clip, true);
    c.audio_time_scale = 0;
    EXPECT_EQ(mp4_muxer_init(&c), nullptr);
    c = config(clip, true);
    c.video_codec = 34;
    EXPECT_EQ(mp4_muxer_init(&c), nullptr);
    const std::string missing = root.dir() + "/no/such/dir/c.mp4";
    c = config(missing, true);
    EXPECT_EQ(mp4_muxer_init(&c), nullptr);
    EXPECT_EQ(mp4_muxer_finish(nullptr), -1);
    EXPECT_EQ(mp4_muxer_abort(nullptr), -1);
    EXPECT_EQ(mp4_muxer_update_video(nullptr, nullptr), -1);
    EXPECT_EQ(mp4_muxer_update_audio(nullptr, nullptr), -1);
}

// A clip that outgrows what the file may hold (the process's file size limit stands in for a full
// card) keeps its writer alive, and finish reports the failure instead of the close's success.
TEST(PlainMuxer, FailedWriteMakesFinishFail)
{
    zeltest::TempRoot root;
    const std::string clip = root.dir() + "/full.mp4";
    const Stream s = load_stream(board_media("sub_864x480.h265"));
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct sigaction ignore {}, prev {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &prev);
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const mp4_muxer_config_t cfg = config(clip, true);
    mp4_muxer_t *m = mp4_muxer_init(&cfg);
    int failures = 0;
    if (m) {
        for (size_t i = 0; i < 40; i++) {
            const ko_av_frame f = frame_of(s.bytes.data() + s.units[i].offset, s.units[i].size,
                                           kStartUs + i * 50000);
            failures += mp4_muxer_update_video(m, &f) != 0;
        }
    }
    const int rc = m ? mp4_muxer_finish(m) : 0;
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &prev, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_GE(failures, 1);
    EXPECT_EQ(rc, -1);
}

TEST(PlainMuxer, AbortLeavesNoMoov)
{
    zeltest::TempRoot root;
    const std::string clip = root.dir() + "/a.mp4";
    const mp4_muxer_config_t cfg = config(clip, true);
    mp4_muxer_t *m = mp4_muxer_init(&cfg);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(mp4_muxer_abort(m), 0);
    EXPECT_EQ(slurp(clip).size(), 168u);
}

} // namespace
