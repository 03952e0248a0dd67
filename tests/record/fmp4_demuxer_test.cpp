// The recording reader on the writer's own files, checked against ffprobe: every frame in order with
// its key flag and millisecond time, its NAL units those of the access unit fed, parameter sets in
// front of each key frame; seeking; deleted periods; and files damaged on purpose.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "common/tiny_fmp4/fmp4_box.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_demuxer_internal.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "common/tiny_fmp4/fmp4_nal.h"
#include "record_media.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

constexpr uint64_t kFileSize = 16 * 1024 * 1024;

struct Frame {
    std::vector<uint8_t> data;
    bool key;
    uint64_t ms;
};

using Demuxer = std::unique_ptr<fmp4_demuxer_t, decltype(&fmp4_demuxer_close)>;
Demuxer open_file(const std::string &path) { return Demuxer(fmp4_demuxer_open(path.c_str()), fmp4_demuxer_close); }

std::vector<fmp4_index_entry_t> entries_of(fmp4_demuxer_t *d)
{
    const fmp4_index_entry_t *e = nullptr;
    uint32_t bytes = 0;
    EXPECT_EQ(fmp4_demuxer_read_fileinfo(d, &e, &bytes), 0);
    return std::vector<fmp4_index_entry_t>(e, e + bytes / FMP4_INDEX_ENTRY_SIZE);
}

std::vector<Frame> read_all(fmp4_demuxer_t *d, bool video)
{
    std::vector<Frame> out;
    for (;;) {
        fmp4_frame_t f{};
        const int rc = video ? fmp4_demuxer_read_video(d, &f, nullptr) : fmp4_demuxer_read_audio(d, &f, nullptr);
        EXPECT_GE(rc, 0);
        if (rc != 0)
            break;
        out.push_back({std::vector<uint8_t>(f.data, f.data + f.size), f.kind == FMP4_FRAME_KEY, f.timestamp_ms});
        free(f.data);
    }
    return out;
}

// All frames of every period, in file order.
std::vector<Frame> read_file(fmp4_demuxer_t *d, bool video)
{
    std::vector<Frame> all;
    for (const fmp4_index_entry_t &e : entries_of(d)) {
        EXPECT_EQ(fmp4_demuxer_seek_fragment(d, e.start), 0);
        for (Frame &f : read_all(d, video))
            all.push_back(std::move(f));
    }
    return all;
}

// ffprobe's decode times in ms of one stream.
std::vector<uint64_t> ffprobe_dts_ms(const std::string &path, const std::string &stream)
{
    std::string out;
    zeltest::run_command("ffprobe -v error -select_streams " + stream +
                             " -show_entries packet=dts_time -of csv=p=0 '" + path + "'",
                         &out);
    std::vector<uint64_t> ms;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            ms.push_back(static_cast<uint64_t>(std::llround(std::stod(line) * 1e6)) / 1000);
    return ms;
}

using NalList = std::vector<std::vector<uint8_t>>;
NalList nals_of(const uint8_t *p, size_t n, bool h265, bool keep_param_sets)
{
    NalList out;
    size_t pos = 0;
    fmp4::Nal nal;
    const fmp4::VideoCodec codec = h265 ? fmp4::VideoCodec::h265 : fmp4::VideoCodec::h264;
    while (fmp4::next_nal(p, n, &pos, &nal)) {
        const fmp4::NalRole role = fmp4::nal_role(codec, nal);
        if (role == fmp4::NalRole::aud)
            continue;
        const bool ps = role == fmp4::NalRole::vps || role == fmp4::NalRole::sps || role == fmp4::NalRole::pps;
        if (ps && !keep_param_sets)
            continue;
        out.emplace_back(nal.data, nal.data + nal.size);
    }
    return out;
}

struct Recording {
    std::string file;
    Stream video;
    FeedResult fed;
};

// Records `frames` frames of `stream_path` (and 25 audio frames per second) into a fresh file.
Recording record(const zeltest::TempRoot &root, const std::string &stream_path, int audio_codec, int gop, int fps,
                 int frames)
{
    Recording r;
    r.video = load_stream(stream_path);
    r.file = root.dir() + "/video.mp4";
    make_pool_file(r.file, kFileSize, 'x');
    fmp4_muxer_config_t cfg = muxer_config(r.file, r.video.h265, audio_codec, gop, fps);
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
    EXPECT_NE(m, nullptr);
    if (!m)
        return r;
    FeedPlan plan;
    plan.frames = frames;
    plan.fps = fps;
    r.fed = feed(m, r.video, audio_frames(audio_codec, 2000), plan);
    EXPECT_EQ(r.fed.errors, 0);
    EXPECT_EQ(fmp4_muxer_finish(m), 0);
    return r;
}

bool tools() { return have_tool("ffprobe") && have_tool("ffmpeg"); }

struct Input {
    const char *name;
    const char *file;
    const char *ffmpeg;
    int audio_codec;
    int gop, fps, frames;
};

class ReaderInputs : public ::testing::TestWithParam<Input> {};

TEST_P(ReaderInputs, FramesMatchFfprobeAndTheAccessUnitsFed)
{
    if (!tools())
        GTEST_SKIP() << "ffmpeg/ffprobe missing";
    const Input in = GetParam();
    zeltest::TempRoot root;
    const std::string made = std::string(in.name) + (strstr(in.ffmpeg, "libx265") ? ".h265" : ".h264");
    const std::string src = in.file[0] ? board_media(in.file) : make_stream(root.dir(), made, in.ffmpeg);
    ASSERT_FALSE(src.empty());
    const Recording rec = record(root, src, in.audio_codec, in.gop, in.fps, in.frames);
    Demuxer d = open_file(rec.file);
    ASSERT_TRUE(d);

    const std::vector<Frame> video = read_file(d.get(), true);
    const auto packets = ffprobe_packets(rec.file, "v:0");
    const auto times = ffprobe_dts_ms(rec.file, "v:0");
    ASSERT_EQ(video.size(), packets.size());
    ASSERT_EQ(times.size(), packets.size());
    const bool h265 = rec.video.h265;
    for (size_t i = 0; i < video.size(); i++) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(video[i].key, packets[i].key);
        EXPECT_EQ(video[i].ms, times[i]);
        const board::AccessUnit &au = rec.video.units[i % rec.video.units.size()];
        const uint8_t *src_bytes = rec.video.bytes.data() + au.offset;
        EXPECT_EQ(nals_of(video[i].data.data(), video[i].data.size(), h265, false),
                  nals_of(src_bytes, au.size, h265, false));
        const NalList all = nals_of(video[i].data.data(), video[i].data.size(), h265, true);
        ASSERT_FALSE(all.empty());
        if (video[i].key) {
            // VPS (H.265), SPS, PPS, then the picture
            const size_t sets = h265 ? 3 : 2;
            ASSERT_GT(all.size(), sets);
            const fmp4::VideoCodec codec = h265 ? fmp4::VideoCodec::h265 : fmp4::VideoCodec::h264;
            for (size_t k = 0; k < sets; k++) {
                const fmp4::Nal n{all[k].data(), all[k].size()};
                EXPECT_NE(fmp4::nal_role(codec, n), fmp4::NalRole::key_slice);
                EXPECT_NE(fmp4::nal_role(codec, n), fmp4::NalRole::other);
            }
        }
    }
    EXPECT_EQ(read_file(d.get(), false).size(), ffprobe_packets(rec.file, "a:0").size())
        << "every audio frame, the last of a period too";
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ReaderInputs,
    ::testing::Values(
        Input{"board_h265_opus", "sub_864x480.h265", "", FMP4_CODEC_OPUS, 60, 20, 240},
        Input{"board_h264_alaw", "sub_864x480.h264", "", FMP4_CODEC_ALAW, 60, 20, 240},
        Input{"x264_slices_aud", "", kX264SlicesAud,
              FMP4_CODEC_OPUS, 60, 20, 120},
        Input{"gop_equals_fps", "", kX265GopEqualsFps,
              FMP4_CODEC_OPUS, 20, 20, 120}),
    [](const ::testing::TestParamInfo<Input> &info) { return std::string(info.param.name); });

class ReaderBoard : public ::testing::Test {
protected:
    void SetUp() override
    {
        rec_ = record(root_, board_media("sub_864x480.h265"), FMP4_CODEC_OPUS, 60, 20, 400);
        d_ = open_file(rec_.file);
        ASSERT_TRUE(d_);
        entries_ = entries_of(d_.get());
        ASSERT_EQ(entries_.size(), 1u);
        ASSERT_EQ(fmp4_demuxer_seek_fragment(d_.get(), entries_[0].start), 0);
    }
    zeltest::TempRoot root_;
    Recording rec_;
    Demuxer d_{nullptr, fmp4_demuxer_close};
    std::vector<fmp4_index_entry_t> entries_;
};

TEST_F(ReaderBoard, SeekLandsOnTheKeyFrameAtOrBeforeTheTimeAndAudioFollows)
{
    EXPECT_EQ(fmp4_demuxer_seek(d_.get(), 101), -1);
    ASSERT_EQ(fmp4_demuxer_seek(d_.get(), 0), 0);
    fmp4_frame_t f{};
    ASSERT_EQ(fmp4_demuxer_read_video(d_.get(), &f, nullptr), 0);
    EXPECT_EQ(f.sample, 1u);
    EXPECT_EQ(f.kind, FMP4_FRAME_KEY);
    const uint64_t start = f.timestamp_ms;
    free(f.data);

    // 20 fps, a key every 60 frames: 7 s is frame 140, its key frame is 120 (6 s)
    ASSERT_EQ(fmp4_demuxer_seek(d_.get(), 7), 0);
    ASSERT_EQ(fmp4_demuxer_read_video(d_.get(), &f, nullptr), 0);
    EXPECT_EQ(f.kind, FMP4_FRAME_KEY);
    EXPECT_EQ(f.sample, 121u);
    const uint64_t video_ms = f.timestamp_ms;
    EXPECT_EQ(video_ms - start, 6000u);
    free(f.data);
    ASSERT_EQ(fmp4_demuxer_read_audio(d_.get(), &f, nullptr), 0);
    EXPECT_GE(f.timestamp_ms + 40, video_ms);
    EXPECT_LE(f.timestamp_ms, video_ms + 40);
    free(f.data);
}

TEST_F(ReaderBoard, NextKeyFrameJumpsAndReportsTheEnd)
{
    fmp4_frame_t f{};
    ASSERT_EQ(fmp4_demuxer_read_video(d_.get(), &f, nullptr), 0);
    free(f.data);
    ASSERT_EQ(fmp4_seek_I_frame_playback(d_.get()), 0);
    ASSERT_EQ(fmp4_demuxer_read_video(d_.get(), &f, nullptr), 0);
    EXPECT_EQ(f.sample, 61u);
    EXPECT_EQ(f.kind, FMP4_FRAME_KEY);
    free(f.data);
    EXPECT_EQ(fmp4_demuxer_sync_video_audio(d_.get()), 0);
    ASSERT_EQ(fmp4_demuxer_read_audio(d_.get(), &f, nullptr), 0);
    EXPECT_NEAR(static_cast<double>(f.timestamp_ms), 3050.0 + 0, 60.0) << "the audio at frame 62's time";
    free(f.data);
    // 400 frames: keys at 1, 61, ... 361; after 361 none is left
    for (int i = 0; i < 6; i++)
        if (fmp4_seek_I_frame_playback(d_.get()) == 0) {
            ASSERT_EQ(fmp4_demuxer_read_video(d_.get(), &f, nullptr), 0);
            free(f.data);
        }
    EXPECT_EQ(fmp4_seek_I_frame_playback(d_.get()), 1);
    fmp4_video_info_t info{};
    ASSERT_EQ(fmp4_demuxer_video_info(d_.get(), &info), 0);
    EXPECT_EQ(info.samples, 400u);
    EXPECT_EQ(info.keys, 7u);
    EXPECT_EQ(info.duration_s, 20u);
    EXPECT_EQ(info.codec, 5);
}

TEST_F(ReaderBoard, DeletedPeriodIsNotLoaded)
{
    d_.reset();
    ASSERT_EQ(fmp4_muxer_fragment_delete(rec_.file.c_str(), entries_[0].start), 0);
    d_ = open_file(rec_.file);
    ASSERT_TRUE(d_);
    EXPECT_EQ(fmp4_demuxer_seek_fragment(d_.get(), entries_[0].start), 1);
    EXPECT_EQ(fmp4_demuxer_sample_count(d_.get(), 0), 0u);
    fmp4_frame_t f{};
    EXPECT_EQ(fmp4_demuxer_read_video(d_.get(), &f, nullptr), -1);
    EXPECT_EQ(fmp4_demuxer_seek_fragment(d_.get(), entries_[0].start + 1), -1);
}

TEST(ReaderOpen, RefusesSmallAndEmptyFiles)
{
    zeltest::TempRoot root;
    const std::string small = root.dir() + "/small.mp4";
    make_pool_file(small, 32767);
    EXPECT_EQ(fmp4_demuxer_open(small.c_str()), nullptr);
    const std::string blank = root.dir() + "/blank.mp4";
    make_pool_file(blank, 32768);
    EXPECT_EQ(fmp4_demuxer_open(blank.c_str()), nullptr);
    EXPECT_EQ(fmp4_demuxer_open((root.dir() + "/absent.mp4").c_str()), nullptr);
    EXPECT_EQ(fmp4_demuxer_open(nullptr), nullptr);
    EXPECT_EQ(fmp4_demuxer_close(nullptr), 0);
}

std::vector<uint8_t> slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void spit(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Damaged copies made by the Python crafter (written from the box layout alone): each must be refused
// at open, at the period load or at a frame read, and never read outside what the file holds.
TEST(ReaderDamaged, CraftedFilesAreRefusedCleanly)
{
    zeltest::TempRoot root;
    const Recording rec = record(root, board_media("sub_864x480.h265"), FMP4_CODEC_OPUS, 60, 20, 200);
    std::string cmd, listing;
    for (const std::string &arg : zeltest::python_peer("fmp4_damage.py", {rec.file, root.dir()}))
        cmd += "'" + arg + "' ";
    ASSERT_EQ(zeltest::run_command(cmd, &listing), 0) << listing;
    std::vector<std::string> lines;
    std::istringstream names(listing);
    for (std::string name; std::getline(names, name);)
        lines.push_back(name);
    ASSERT_GE(lines.size(), 6u);
    for (const std::string &line : lines) {
        SCOPED_TRACE(line);
        const std::string path = root.dir() + "/" + line;
        Demuxer d = open_file(path);
        if (!d)
            continue;
        int refused = 0;
        for (const fmp4_index_entry_t &e : entries_of(d.get())) {
            if (fmp4_demuxer_seek_fragment(d.get(), e.start) != 0) {
                refused++;
                continue;
            }
            for (int track = 0; track < 2; track++)
                for (int i = 0; i < 1000; i++) {
                    fmp4_frame_t f{};
                    const int rc = track == 0 ? fmp4_demuxer_read_video(d.get(), &f, nullptr)
                                              : fmp4_demuxer_read_audio(d.get(), &f, nullptr);
                    if (rc != 0) {
                        refused += rc < 0;
                        break;
                    }
                    free(f.data);
                }
        }
        if (line.rfind("tail_", 0) != 0) {
            EXPECT_GT(refused, 0) << "the damage went unnoticed";
        }
    }
}

// A power cut leaves a broken tail behind the last complete index box: every complete one is listed.
TEST(ReaderDamaged, PowerCutTailListsEveryCompleteIndexBox)
{
    zeltest::TempRoot root;
    const Recording rec = record(root, board_media("sub_864x480.h265"), FMP4_CODEC_OPUS, 60, 20, 1300);
    Demuxer d = open_file(rec.file);
    ASSERT_TRUE(d);
    const auto entries = entries_of(d.get());
    ASSERT_EQ(entries.size(), 2u);
    d.reset();
    std::vector<uint8_t> bytes = slurp(rec.file);
    // a moof header torn in the second period: its size runs far past the file
    const size_t torn = entries[1].position + FMP4_INDEX_BOX_SIZE;
    ASSERT_EQ(memcmp(bytes.data() + torn + 4, "moof", 4), 0);
    bytes[torn] = 0x7f;
    spit(rec.file, bytes);
    d = open_file(rec.file);
    ASSERT_TRUE(d);
    EXPECT_EQ(entries_of(d.get()).size(), 2u);
    EXPECT_EQ(fmp4_demuxer_seek_fragment(d.get(), entries[0].start), 0);
    EXPECT_EQ(fmp4_demuxer_sample_count(d.get(), 0), 1200u);
    EXPECT_LT(fmp4_demuxer_seek_fragment(d.get(), entries[1].start), 0);
}

// Fragments of two periods, renumbered and moved back in time behind the file's ftyp and moov, make
// one clean stream whose times start at 0 and run on without a jump.
TEST(ReaderRebase, FragmentsOfTwoPeriodsJoinIntoOneStream)
{
    if (!tools())
        GTEST_SKIP() << "ffmpeg/ffprobe missing";
    zeltest::TempRoot root;
    const Recording rec = record(root, board_media("sub_864x480.h265"), FMP4_CODEC_OPUS, 60, 20, 1300);
    Demuxer d = open_file(rec.file);
    ASSERT_TRUE(d);
    const auto entries = entries_of(d.get());
    ASSERT_EQ(entries.size(), 2u);
    const std::vector<uint8_t> bytes = slurp(rec.file);
    const size_t moov_end = 160 + fmp4::be32(bytes.data() + 160);
    std::vector<uint8_t> out(bytes.begin(), bytes.begin() + static_cast<long>(moov_end));
    fmp4_rebase_t rebase{1, 0, 0};
    uint64_t joined_end[2] = {0, 0};
    size_t frames = 0;
    // the last two fragments of the first period, then the first two of the second
    for (size_t p = 0; p < 2; p++) {
        fmp4::PeriodInfo period;
        ASSERT_TRUE(fmp4::demuxer_load_period(d.get(), p, &period));
        ASSERT_GE(period.fragments.size(), 2u);
        const size_t first = p == 0 ? period.fragments.size() - 2 : 0;
        rebase.video_offset = period.fragments[first].base[0] - joined_end[0];
        rebase.audio_offset = period.fragments[first].base[1] - joined_end[1];
        for (size_t i = first; i < first + 2; i++) {
            const fmp4::FragmentInfo &f = period.fragments[i];
            const size_t moof_size = fmp4::be32(bytes.data() + f.moof_pos);
            const size_t mdat_size = fmp4::be32(bytes.data() + f.moof_pos + moof_size);
            std::vector<uint8_t> moof(bytes.begin() + static_cast<long>(f.moof_pos),
                                      bytes.begin() + static_cast<long>(f.moof_pos + moof_size));
            ASSERT_EQ(fmp4_reorganize_moof_box(d.get(), moof.data(), static_cast<uint32_t>(moof.size()), &rebase), 0);
            out.insert(out.end(), moof.begin(), moof.end());
            out.insert(out.end(), bytes.begin() + static_cast<long>(f.moof_pos + moof_size),
                       bytes.begin() + static_cast<long>(f.moof_pos + moof_size + mdat_size));
            frames += f.samples[0].size();
            for (int t = 0; t < 2; t++) {
                joined_end[t] = f.base[t] - (t == 0 ? rebase.video_offset : rebase.audio_offset);
                for (const fmp4::MoofSample &s : f.samples[t])
                    joined_end[t] += s.duration;
            }
        }
    }
    EXPECT_EQ(rebase.sequence, 5u);
    const std::string joined = root.dir() + "/joined.mp4";
    spit(joined, out);
    EXPECT_EQ(ffmpeg_decode_errors(joined), "");
    const auto ms = ffprobe_dts_ms(joined, "v:0");
    ASSERT_EQ(ms.size(), frames);
    EXPECT_EQ(ms[0], 0u);
    for (size_t i = 1; i < ms.size(); i++)
        EXPECT_LE(ms[i] - ms[i - 1], 100u) << "frame " << i;

    uint8_t junk[64] = {0, 0, 0, 200, 'm', 'o', 'o', 'f'};
    EXPECT_EQ(fmp4_reorganize_moof_box(d.get(), junk, sizeof junk, &rebase), -1);
}

} // namespace
