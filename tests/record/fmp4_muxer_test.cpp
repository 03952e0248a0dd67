// The fragmented-MP4 writer against independent readers: ffprobe and ffmpeg must see exactly the
// frames fed, with key frames at GOP starts, and the Python walker the box layout (ftyp 24, free 136,
// moov, 56-byte index boxes, a moof/mdat per GOP, a tail mdat to the end of the file).
#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <sstream>
#include <sys/stat.h>

#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "record_media.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

constexpr uint64_t kFileSize = 16 * 1024 * 1024;

bool tools()
{
    return have_tool("ffprobe") && have_tool("ffmpeg");
}

std::vector<std::string> top_types(json_object *walk)
{
    std::vector<std::string> types;
    json_object *top = nullptr;
    json_object_object_get_ex(walk, "top", &top);
    for (size_t i = 0; top && i < json_object_array_length(top); i++) {
        json_object *t = nullptr;
        json_object_object_get_ex(json_object_array_get_idx(top, i), "type", &t);
        types.push_back(json_object_get_string(t));
    }
    return types;
}

json_object *member(json_object *o, const char *key)
{
    json_object *v = nullptr;
    json_object_object_get_ex(o, key, &v);
    return v;
}

struct Input {
    const char *name;
    const char *file;       // a board stream, or empty to make one
    const char *ffmpeg;     // arguments that make it
    int audio_codec;
    int gop;                // configured GOP
    int fps;
    int frames;
};

class MuxerInputs : public ::testing::TestWithParam<Input> {};

TEST_P(MuxerInputs, EveryFrameFedIsAPacketWithKeysAtGopStarts)
{
    if (!tools())
        GTEST_SKIP() << "ffmpeg/ffprobe missing";
    const Input in = GetParam();
    zeltest::TempRoot root;
    const std::string made = std::string(in.name) + (strstr(in.ffmpeg, "libx265") ? ".h265" : ".h264");
    std::string stream_path = in.file[0] ? board_media(in.file) : make_stream(root.dir(), made, in.ffmpeg);
    ASSERT_FALSE(stream_path.empty());
    const Stream video = load_stream(stream_path);
    ASSERT_GT(video.units.size(), 10u);
    const std::string file = root.dir() + "/video.mp4";
    make_pool_file(file, kFileSize, 'x');
    fmp4_muxer_config_t cfg = muxer_config(file, video.h265, in.audio_codec, in.gop, in.fps);
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
    ASSERT_NE(m, nullptr);
    FeedPlan plan;
    plan.frames = in.frames;
    plan.fps = in.fps;
    const FeedResult r = feed(m, video, audio_frames(in.audio_codec, 400), plan);
    EXPECT_EQ(r.errors, 0) << r.last_error;
    EXPECT_EQ(r.full, 0);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);

    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), kFileSize) << "the writer never grows a pool file";

    const auto packets = ffprobe_packets(file, "v:0");
    ASSERT_EQ(packets.size(), static_cast<size_t>(in.frames));
    for (int i = 0; i < in.frames; i++) {
        const bool key = video.units[i % video.units.size()].key;
        EXPECT_EQ(packets[i].key, key) << "packet " << i;
    }
    EXPECT_EQ(ffprobe_stream(file, "v:0", "codec_name"), video.h265 ? "hevc" : "h264");
    EXPECT_EQ(ffprobe_stream(file, "a:0", "codec_name,sample_rate,channels"),
              // an Opus decoder always runs at 48 kHz, whatever the stream's input rate
              in.audio_codec == FMP4_CODEC_OPUS ? "opus,48000,1" : "pcm_alaw,16000,1");
    EXPECT_EQ(ffprobe_packets(file, "a:0").size(), static_cast<size_t>(r.audio_fed));
    EXPECT_EQ(ffmpeg_decode_errors(file), "");

    Json w = walk(file);
    ASSERT_TRUE(w);
    EXPECT_TRUE(json_object_get_boolean(member(w.get(), "ok"))) << json_object_to_json_string(w.get());
    const auto types = top_types(w.get());
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ(types[0], "ftyp");
    EXPECT_EQ(types[1], "free");
    EXPECT_EQ(types[2], "moov");
    EXPECT_EQ(types[3], "uuid");
    json_object *top = member(w.get(), "top");
    EXPECT_EQ(json_int(json_object_array_get_idx(top, 0), "size"), 24);
    EXPECT_EQ(json_int(json_object_array_get_idx(top, 1), "size"), 136);
    EXPECT_EQ(json_int(json_object_array_get_idx(top, 3), "size"), 56);
    EXPECT_EQ(types.back(), "mdat");
    // Every fragment is a moof directly followed by its mdat; one per GOP (or more for a GOP longer
    // than its room), and each GOP begins a fragment whose first sample is a sync sample.
    int moofs = 0;
    for (size_t i = 3; i + 1 < types.size(); i++) {
        if (types[i] == "moof") {
            moofs++;
            EXPECT_EQ(types[i + 1], "mdat");
        } else {
            EXPECT_TRUE(types[i] == "mdat" || types[i] == "uuid") << types[i];
        }
    }
    EXPECT_GE(moofs, video.keys() * in.frames / static_cast<int>(video.units.size()));
    json_object *frags = member(w.get(), "fragments");
    size_t video_samples = 0;
    for (size_t i = 0; i < json_object_array_length(frags); i++) {
        json_object *v = json_object_array_get_idx(member(json_object_array_get_idx(frags, i), "tracks"), 0);
        video_samples += static_cast<size_t>(json_int(v, "count"));
        EXPECT_EQ(json_int(v, "tfdt_version"), 1);
    }
    EXPECT_EQ(video_samples, static_cast<size_t>(in.frames));

    // mediainfo's box dump agrees on the top level: its sizes, in order, are the walker's.
    if (have_tool("mediainfo")) {
        std::string dump;
        zeltest::run_command("mediainfo --Details=1 '" + file + "'", &dump);
        std::vector<long long> sizes;
        std::istringstream lines(dump);
        const std::regex top_box("^[0-9A-F]+ [^ ].* \\(([0-9]+) bytes\\)$");
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_match(line, m, top_box))
                sizes.push_back(std::strtoll(m.str(1).c_str(), nullptr, 10));
        }
        ASSERT_GE(sizes.size(), 4u) << dump.substr(0, 2000);
        EXPECT_EQ(sizes[0], 24) << dump.substr(0, 3000);
        for (size_t i = 0; i < sizes.size() && i < json_object_array_length(top); i++)
            EXPECT_EQ(sizes[i], json_int(json_object_array_get_idx(top, i), "size")) << "box " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, MuxerInputs,
    ::testing::Values(
        Input{"board_h265_opus", "sub_864x480.h265", "", FMP4_CODEC_OPUS, 60, 20, 240},
        Input{"board_h264_alaw", "sub_864x480.h264", "", FMP4_CODEC_ALAW, 60, 20, 240},
        Input{"x264_slices_aud", "", kX264SlicesAud,
              FMP4_CODEC_OPUS, 60, 20, 120},
        Input{"gop_equals_fps", "", kX265GopEqualsFps,
              FMP4_CODEC_OPUS, 20, 20, 120},
        Input{"gop_three_times_too_long", "", "-f lavfi -i testsrc2=size=320x240:rate=20 -t 9 -c:v libx265 -preset "
                                              "ultrafast -pix_fmt yuv420p -x265-params log-level=error:keyint=60:"
                                              "min-keyint=60:scenecut=0:bframes=0:repeat-headers=1 -f hevc",
              FMP4_CODEC_ALAW, 20, 20, 180}),
    [](const ::testing::TestParamInfo<Input> &info) { return std::string(info.param.name); });

} // namespace
