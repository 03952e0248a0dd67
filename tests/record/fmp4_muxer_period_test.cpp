// The writer's periods, limits and reuse: index boxes, the commit order of a period, a full file, a
// resumed and a reused file, period deletion, and frames that are not what they claim to be.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "app/record/ko_local_storage_test.h"
#include "common/tiny_fmp4/fmp4_box.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "record_media.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

constexpr uint64_t kFileSize = 16 * 1024 * 1024;

json_object *member(json_object *o, const char *key)
{
    json_object *v = nullptr;
    json_object_object_get_ex(o, key, &v);
    return v;
}

std::vector<fmp4_index_entry_t> entries_of(const std::string &file)
{
    std::vector<fmp4_index_entry_t> out;
    fmp4_demuxer_t *d = fmp4_demuxer_open(file.c_str());
    if (!d)
        return out;
    const fmp4_index_entry_t *e = nullptr;
    uint32_t bytes = 0;
    fmp4_demuxer_read_fileinfo(d, &e, &bytes);
    out.assign(e, e + bytes / FMP4_INDEX_ENTRY_SIZE);
    fmp4_demuxer_close(d);
    return out;
}

fmp4_index_entry_t entry_on_card(const std::string &file, uint32_t position)
{
    uint8_t box[FMP4_INDEX_BOX_SIZE] = {};
    std::ifstream in(file, std::ios::binary);
    in.seekg(position);
    in.read(reinterpret_cast<char *>(box), sizeof box);
    return fmp4::decode_index_entry(box + fmp4::kIndexEntryOffset);
}

struct PeriodLog {
    std::string file;
    std::vector<fmp4_index_entry_t> at_update;
    std::vector<fmp4_index_entry_t> on_card_at_finish;
    fmp4_index_entry_t last{};
};
PeriodLog *g_log = nullptr;

int on_update(uint8_t channel, uint32_t *start, uint8_t *duration, uint8_t *motion)
{
    fmp4_index_entry_t e{};
    e.channel = channel;
    e.start = *start;
    e.duration = *duration;
    *motion = 1;
    g_log->at_update.push_back(e);
    return 0;
}

int on_finish()
{
    for (const auto &e : entries_of(g_log->file))
        if (e.start == g_log->at_update.back().start)
            g_log->on_card_at_finish.push_back(entry_on_card(g_log->file, e.position));
    return 0;
}

class MuxerPeriods : public ::testing::Test {
protected:
    void SetUp() override
    {
        video_ = load_stream(board_media("sub_864x480.h265"));
        audio_ = audio_frames(FMP4_CODEC_OPUS, 200);
        file_ = root_.dir() + "/video.mp4";
        make_pool_file(file_, kFileSize, 'x');
        log_.file = file_;
        g_log = &log_;
        const fmp4_muxer_callbacks_t cb = {on_update, on_finish};
        fmp4_muxer_set_callbacks(&cb);
    }
    void TearDown() override { fmp4_muxer_set_callbacks(nullptr); }

    // 125 s from 1700000000 into a fresh file: periods at +0, +60 and +120 s. The finish's result.
    int record_125_seconds()
    {
        fmp4_muxer_t *m = open(1);
        if (!m)
            return -1;
        FeedPlan plan;
        plan.frames = 20 * 125;
        feed(m, video_, audio_, plan);
        return fmp4_muxer_finish(m);
    }

    fmp4_muxer_t *open(int cover)
    {
        fmp4_muxer_config_t cfg = muxer_config(file_, true, FMP4_CODEC_OPUS);
        return fmp4_muxer_init(&cfg, cover);
    }

    // One fragment of the board's frames at these stamps (the first a key frame, passed twice as the
    // writer asks); the video sample durations the walker reads back.
    void record_stamps(const std::vector<uint64_t> &stamps, std::vector<int> *durations);

    zeltest::TempRoot root_;
    Stream video_;
    std::vector<std::vector<uint8_t>> audio_;
    std::string file_;
    PeriodLog log_;
};

ko_av_frame frame_of(const Stream &s, size_t unit, uint64_t ts_us)
{
    ko_av_frame f{};
    const auto &u = s.units[unit % s.units.size()];
    f.data = const_cast<uint8_t *>(s.bytes.data() + u.offset);
    f.size = static_cast<uint32_t>(u.size);
    f.frame_type = u.key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
    f.timestamp_us = ts_us;
    f.timestamp_s = ts_us / 1000000;
    return f;
}

void MuxerPeriods::record_stamps(const std::vector<uint64_t> &stamps, std::vector<int> *durations)
{
    fmp4_muxer_t *m = open(1);
    ASSERT_NE(m, nullptr);
    ko_av_frame k = frame_of(video_, 0, stamps[0]);
    ASSERT_EQ(fmp4_muxer_update_video(m, &k), FMP4_NEW_INDEX);
    ASSERT_EQ(fmp4_muxer_update_video(m, &k), 0);
    for (size_t i = 1; i < stamps.size(); i++) {
        ko_av_frame p = frame_of(video_, static_cast<int>(i), stamps[i]);
        ASSERT_EQ(fmp4_muxer_update_video(m, &p), 0);
    }
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    Json w = walk(file_);
    json_object *frag = json_object_array_get_idx(member(w.get(), "fragments"), 0);
    json_object *d = member(json_object_array_get_idx(member(frag, "tracks"), 0), "durations");
    for (size_t i = 0; i < json_object_array_length(d); i++)
        durations->push_back(json_object_get_int(json_object_array_get_idx(d, i)));
}

TEST_F(MuxerPeriods, TheFirstKeyFrameOpensAnIndexBoxAndMustBePassedAgain)
{
    fmp4_muxer_t *m = open(1);
    ASSERT_NE(m, nullptr);
    ko_av_frame p = frame_of(video_, 1, 1700000000000000ull);
    EXPECT_EQ(fmp4_muxer_update_video(m, &p), 0) << "a non-key frame before the first key is skipped";
    ko_av_frame a{};
    a.data = audio_[0].data();
    a.size = static_cast<uint32_t>(audio_[0].size());
    EXPECT_EQ(fmp4_muxer_update_audio(m, &a), -99) << "audio before the moov";
    ko_av_frame k = frame_of(video_, 0, 1700000000050000ull);
    EXPECT_EQ(fmp4_muxer_update_video(m, &k), FMP4_NEW_INDEX);
    EXPECT_EQ(fmp4_muxer_update_video(m, &k), 0);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    Json w = walk(file_);
    json_object *index = member(w.get(), "index");
    ASSERT_EQ(json_object_array_length(index), 1u);
    EXPECT_EQ(json_int(json_object_array_get_idx(index, 0), "start"), 1700000000);
    EXPECT_EQ(ffprobe_packets(file_, "v:0").size(), 1u);
}

TEST_F(MuxerPeriods, APeriodClosesAfterSixtySecondsAndIsDurableBeforeItsCommit)
{
    fmp4_muxer_t *m = open(1);
    ASSERT_NE(m, nullptr);
    FeedPlan plan;
    plan.frames = 20 * 130; // 130 s: two closed periods and an open one
    const FeedResult r = feed(m, video_, audio_, plan);
    EXPECT_EQ(r.errors, 0);
    EXPECT_EQ(r.new_index, 3);
    ASSERT_EQ(log_.at_update.size(), 2u);
    ASSERT_EQ(log_.on_card_at_finish.size(), 2u);
    for (const auto &e : log_.on_card_at_finish) {
        EXPECT_EQ(e.duration, 60);
        EXPECT_GT(e.length, 0u);
        EXPECT_EQ(e.motion, 1) << "the callback's motion flag is on the card before the commit";
    }
    EXPECT_EQ(log_.at_update[0].start, 1700000000u);
    EXPECT_EQ(log_.at_update[1].start, 1700000060u);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    const auto entries = entries_of(file_);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].position + entries[0].length, entries[1].position) << "a period runs to the next box";
    EXPECT_EQ(entries[2].duration, 10);
    EXPECT_EQ(ffprobe_packets(file_, "v:0").size(), static_cast<size_t>(plan.frames));
    EXPECT_EQ(ffmpeg_decode_errors(file_), "");
}

TEST_F(MuxerPeriods, AFullFileSaysSoAndIsNeverWrittenPastItsSize)
{
    const uint64_t small = 4 * 1024 * 1024;
    make_pool_file(file_, small, 'x');
    fmp4_muxer_t *m = open(1);
    ASSERT_NE(m, nullptr);
    FeedPlan plan;
    plan.frames = 20 * 180;
    const FeedResult r = feed(m, video_, audio_, plan);
    EXPECT_EQ(r.full, 1);
    EXPECT_EQ(r.errors, 0);
    EXPECT_LT(r.video_fed, plan.frames);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    struct stat st;
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), small);
    Json w = walk(file_);
    EXPECT_TRUE(json_object_get_boolean(member(w.get(), "ok")));
    EXPECT_EQ(ffmpeg_decode_errors(file_), "");
}

TEST_F(MuxerPeriods, AResumedFileContinuesBehindItsLastCommittedPeriod)
{
    fmp4_muxer_t *m = open(1);
    ASSERT_NE(m, nullptr);
    FeedPlan plan;
    plan.frames = 20 * 70;
    feed(m, video_, audio_, plan);
    // A cut: the open period (10 s) was never committed and is dropped without a finish.
    fmp4_muxer_abort(m);
    ASSERT_EQ(entries_of(file_).size(), 2u);

    m = open(0);
    ASSERT_NE(m, nullptr);
    plan.start_s = 1700000200;
    plan.frames = 20 * 12;
    feed(m, video_, audio_, plan);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    const auto entries = entries_of(file_);
    ASSERT_EQ(entries.size(), 2u) << "the uncommitted period is no longer walkable";
    EXPECT_EQ(entries[0].start, 1700000000u);
    EXPECT_EQ(entries[1].start, 1700000200u);
    EXPECT_EQ(ffprobe_packets(file_, "v:0").size(), static_cast<size_t>(20 * 60 + 20 * 12));
    EXPECT_EQ(ffmpeg_decode_errors(file_), "");
}

// The stream was switched to H.264: the H.265 file is not resumed, and its periods still play.
TEST_F(MuxerPeriods, AFileOfAnotherCodecIsNotResumedAndKeepsItsPeriods)
{
    ASSERT_EQ(record_125_seconds(), 0);
    fmp4_muxer_config_t cfg = muxer_config(file_, false, FMP4_CODEC_OPUS);
    EXPECT_EQ(fmp4_muxer_init(&cfg, 0), nullptr);
    fmp4_demuxer_t *d = fmp4_demuxer_open(file_.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(fmp4_demuxer_seek_fragment(d, 1700000000), 0);
    EXPECT_EQ(fmp4_demuxer_sample_count(d, 0), 60u * 20);
    fmp4_demuxer_close(d);
}

TEST_F(MuxerPeriods, AReusedFileShowsNothingOfItsPreviousRecording)
{
    ASSERT_EQ(record_125_seconds(), 0);
    ASSERT_EQ(entries_of(file_).size(), 3u);

    fmp4_muxer_t *m = open(1);
    ASSERT_NE(m, nullptr);
    // Before any new frame: only the header and the tail are walkable.
    Json w = walk(file_);
    EXPECT_TRUE(json_object_get_boolean(member(w.get(), "ok")));
    EXPECT_EQ(json_object_array_length(member(w.get(), "top")), 3u) << json_object_to_json_string(w.get());
    ko_av_frame k = frame_of(video_, 0, 1800000000000000ull);
    ASSERT_EQ(fmp4_muxer_update_video(m, &k), FMP4_NEW_INDEX);
    ASSERT_EQ(fmp4_muxer_update_video(m, &k), 0);
    fmp4_muxer_abort(m); // a cut inside the first fragment
    w = walk(file_);
    EXPECT_TRUE(json_object_get_boolean(member(w.get(), "ok")));
    EXPECT_EQ(json_object_array_length(member(w.get(), "top")), 5u) << "ftyp, free, moov, uuid, tail";
    EXPECT_EQ(json_object_array_length(member(w.get(), "index")), 1u) << "old index boxes are hidden";
}

TEST_F(MuxerPeriods, DeletingAPeriodBlanksItOnceAndKeepsTheRest)
{
    ASSERT_EQ(record_125_seconds(), 0);
    ASSERT_EQ(fmp4_muxer_fragment_delete(file_.c_str(), 1700000060), 0);
    auto entries = entries_of(file_);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].flags & FMP4_INDEX_DELETED, FMP4_INDEX_DELETED);
    fmp4_demuxer_t *d = fmp4_demuxer_open(file_.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(fmp4_demuxer_seek_fragment(d, 1700000060), 1) << "a deleted period is not loaded";
    EXPECT_EQ(fmp4_demuxer_seek_fragment(d, 1700000120), 0);
    EXPECT_EQ(fmp4_demuxer_sample_count(d, 0), 5u * 20);
    fmp4_demuxer_close(d);
    EXPECT_EQ(ffprobe_packets(file_, "v:0").size(), static_cast<size_t>(20 * 65));
    struct stat before, after;
    stat(file_.c_str(), &before);
    EXPECT_EQ(fmp4_muxer_fragment_delete(file_.c_str(), 1700000060), 0) << "already deleted";
    stat(file_.c_str(), &after);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec) << "nothing written";
    EXPECT_EQ(fmp4_muxer_fragment_delete(file_.c_str(), 1234), -1);
    // A stale entry (its box is gone) blanks nothing.
    fmp4_index_entry_t stale = entries[0];
    stale.start = 42;
    stale.flags = FMP4_INDEX_DELETED;
    EXPECT_EQ(fmp4_muxer_fragment_delete_by_index(file_.c_str(), &stale), -1);
    EXPECT_EQ(fmp4_muxer_fragment_delete_by_index(file_.c_str(), nullptr), -1);
}

// The list is count x 32 bytes of little-endian records: read by offset, not through the struct.
TEST_F(MuxerPeriods, TheEntryListIsThirtyTwoByteRecordsWithTheDeletedFlagInByteEleven)
{
    ASSERT_EQ(record_125_seconds(), 0);
    fmp4_demuxer_t *d = fmp4_demuxer_open(file_.c_str());
    ASSERT_NE(d, nullptr);
    const fmp4_index_entry_t *entries = nullptr;
    uint32_t bytes = 0;
    ASSERT_EQ(fmp4_demuxer_read_fileinfo(d, &entries, &bytes), 0);
    ASSERT_EQ(bytes, 3u * 32);
    const std::vector<uint8_t> raw(reinterpret_cast<const uint8_t *>(entries),
                                   reinterpret_cast<const uint8_t *>(entries) + bytes);
    fmp4_demuxer_close(d);
    uint32_t end_of_previous = 0;
    for (uint32_t i = 0; i < 3; i++) {
        const uint8_t *e = raw.data() + i * 32;
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(fmp4::le32(e + 4), 1700000000u + 60 * i);
        EXPECT_GE(e[8], i < 2 ? 59 : 4) << "duration";
        EXPECT_EQ(e[9], 1) << "motion";
        EXPECT_EQ(e[11], 0) << "flags";
        if (i > 0)
            EXPECT_EQ(fmp4::le32(e + 12), end_of_previous) << "the box follows the previous period";
        EXPECT_GT(fmp4::le32(e + 16), static_cast<uint32_t>(FMP4_INDEX_BOX_SIZE));
        end_of_previous = fmp4::le32(e + 12) + fmp4::le32(e + 16);
        EXPECT_EQ(std::vector<uint8_t>(e + 20, e + 32), std::vector<uint8_t>(12, 0));
    }
    // A record built by that layout, bit 0 of byte 11 set, is taken as a deletion.
    alignas(fmp4_index_entry_t) uint8_t second[32];
    memcpy(second, raw.data() + 32, sizeof second);
    second[11] |= 1;
    ASSERT_EQ(fmp4_muxer_fragment_delete_by_index(file_.c_str(), reinterpret_cast<const fmp4_index_entry_t *>(second)),
              0);
    uint8_t on_card[FMP4_INDEX_BOX_SIZE];
    std::ifstream in(file_, std::ios::binary);
    in.seekg(fmp4::le32(second + 12));
    in.read(reinterpret_cast<char *>(on_card), sizeof on_card);
    EXPECT_EQ(on_card[24 + 11], 1);
    EXPECT_EQ(ffprobe_packets(file_, "v:0").size(), static_cast<size_t>(20 * 65)) << "its footage is gone";
}

TEST_F(MuxerPeriods, AGapOfASecondOrMoreGivesTheFrameFiftyMilliseconds)
{
    const uint64_t ts = 1700000000000000ull;
    std::vector<int> durations;
    ASSERT_NO_FATAL_FAILURE(record_stamps({ts, ts + 50000, ts + 50000 + 3000000}, &durations));
    ASSERT_EQ(durations.size(), 3u);
    EXPECT_EQ(durations[1], 4500);
    EXPECT_EQ(durations[2], 4500);
}

TEST_F(MuxerPeriods, FramesOfOneTimeStampStillDecodeInOrder)
{
    const uint64_t ts = 1700000000000000ull;
    std::vector<uint64_t> stamps{ts};
    for (uint64_t i = 1; i < 8; i++)
        stamps.push_back(ts + i / 2 * 50000); // a stalled encoder hands two frames the same stamp now and then
    std::vector<int> durations;
    ASSERT_NO_FATAL_FAILURE(record_stamps(stamps, &durations));
    ASSERT_EQ(durations.size(), 8u);
    for (size_t i = 0; i < 8; i++)
        EXPECT_GT(durations[i], 0) << "sample " << i;
    if (have_tool("ffmpeg"))
        EXPECT_EQ(ffmpeg_decode_errors(file_), "");
}

TEST_F(MuxerPeriods, JunkFramesAreRefusedOrSkippedAndTheFileStaysWalkable)
{
    fmp4_muxer_t *m = open(1);
    std::mt19937 rng(7);
    std::vector<uint8_t> junk(64 * 1024);
    uint64_t ts = 1700000000000000ull;
    for (int i = 0; i < 200; i++) {
        for (auto &b : junk)
            b = static_cast<uint8_t>(rng());
        if (i % 3 == 0) // start codes with random NAL types
            for (size_t at = 0; at + 4 < junk.size(); at += 997) {
                junk[at] = 0;
                junk[at + 1] = 0;
                junk[at + 2] = 1;
            }
        ko_av_frame f{};
        f.data = junk.data();
        f.size = static_cast<uint32_t>(1 + rng() % junk.size());
        f.timestamp_us = ts += 50000;
        f.timestamp_s = ts / 1000000;
        const int rc = fmp4_muxer_update_video(m, &f);
        EXPECT_TRUE(rc == 0 || rc == -98 || rc == FMP4_NEW_INDEX || rc == FMP4_FILE_FULL) << rc;
        f.size = 0;
        EXPECT_EQ(fmp4_muxer_update_video(m, &f), -100);
    }
    EXPECT_EQ(fmp4_muxer_update_video(nullptr, nullptr), -100);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    Json w = walk(file_);
    EXPECT_TRUE(json_object_get_boolean(member(w.get(), "ok")));
}

TEST_F(MuxerPeriods, AudioIsKeptWhenTheConfiguredAudioBitRateIsZero)
{
    fmp4_muxer_config_t cfg = muxer_config(file_, true, FMP4_CODEC_ALAW);
    cfg.audio_bitrate = 0; // a staging buffer sized from it would hold nothing
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
    ASSERT_NE(m, nullptr);
    FeedPlan plan;
    plan.frames = 20 * 10;
    const FeedResult r = feed(m, video_, audio_frames(FMP4_CODEC_ALAW, 300), plan);
    EXPECT_EQ(r.errors, 0) << r.first_error;
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    EXPECT_EQ(ffprobe_packets(file_, "a:0").size(), static_cast<size_t>(r.audio_fed));
}

TEST(MuxerConfig, BadConfigurationsAreRefused)
{
    zeltest::TempRoot root;
    const std::string file = root.dir() + "/f.mp4";
    make_pool_file(file, 1024 * 1024);
    fmp4_muxer_config_t good = muxer_config(file, true, FMP4_CODEC_OPUS);
    for (auto spoil : std::vector<void (*)(fmp4_muxer_config_t &)>{
             [](fmp4_muxer_config_t &c) { c.width = 0; }, [](fmp4_muxer_config_t &c) { c.video_time_scale = 0; },
             [](fmp4_muxer_config_t &c) { c.video_codec = 96; }, [](fmp4_muxer_config_t &c) { c.audio_codec = 7; },
             [](fmp4_muxer_config_t &c) { c.fps = 0; }, [](fmp4_muxer_config_t &c) { c.gop = 0; },
             [](fmp4_muxer_config_t &c) { c.path[0] = 0; },
             [](fmp4_muxer_config_t &c) { snprintf(c.path, sizeof c.path, "%s", "/nonexistent/f.mp4"); }}) {
        fmp4_muxer_config_t c = good;
        spoil(c);
        EXPECT_EQ(fmp4_muxer_init(&c, 1), nullptr);
    }
    EXPECT_EQ(fmp4_muxer_init(nullptr, 1), nullptr);
    EXPECT_EQ(fmp4_muxer_init(&good, 0), nullptr) << "a file the reader cannot open is not resumed";
}

// Nobody registered anything: the periods the writer closes still reach the recorder's callbacks,
// which the recorder counts as period closes.
TEST(MuxerRecorder, PeriodsCloseIntoTheRecorderWithoutARegistration)
{
    zeltest::TempRoot root;
    const std::string file = root.dir() + "/video.mp4";
    make_pool_file(file, kFileSize);
    char stats[4096];
    ASSERT_EQ(ko_local_storage_statistics(stats, sizeof stats), 0);
    fmp4_muxer_config_t cfg = muxer_config(file, true, FMP4_CODEC_OPUS);
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
    ASSERT_NE(m, nullptr);
    FeedPlan plan;
    plan.frames = 20 * 125;
    feed(m, load_stream(board_media("sub_864x480.h265")), audio_frames(FMP4_CODEC_OPUS, 200), plan);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    ASSERT_EQ(ko_local_storage_statistics(stats, sizeof stats), 0);
    Json o(json_tokener_parse(stats), &json_object_put);
    ASSERT_TRUE(o);
    EXPECT_EQ(json_object_get_int64(member(o.get(), "total_mp4_file")), 3) << stats;
}

TEST(Demuxer, SmallBrokenAndCorruptedFilesAreRefusedWithinBounds)
{
    zeltest::TempRoot root;
    const std::string file = root.dir() + "/f.mp4";
    make_pool_file(file, 32767);
    EXPECT_EQ(fmp4_demuxer_open(file.c_str()), nullptr) << "under 32768 bytes";
    make_pool_file(file, 1024 * 1024);
    EXPECT_EQ(fmp4_demuxer_open(file.c_str()), nullptr) << "no moov, no index";
    EXPECT_EQ(fmp4_demuxer_open(nullptr), nullptr);

    // A real recording with random bytes overwritten: open never reads out of bounds or hangs.
    const Stream video = load_stream(board_media("sub_864x480.h265"));
    fmp4_muxer_config_t cfg = muxer_config(file, true, FMP4_CODEC_OPUS);
    fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
    FeedPlan plan;
    plan.frames = 20 * 70;
    feed(m, video, audio_frames(FMP4_CODEC_OPUS, 100), plan);
    ASSERT_EQ(fmp4_muxer_finish(m), 0);
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> pristine((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::mt19937 rng(11);
    const size_t used = 2 * 1024 * 1024 < pristine.size() ? 2 * 1024 * 1024 : pristine.size();
    for (int round = 0; round < 40; round++) {
        std::vector<char> bytes = pristine;
        for (int k = 0; k < 8; k++)
            bytes[rng() % (round < 20 ? 4096 : used)] = static_cast<char>(rng());
        std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
        if (fmp4_demuxer_t *d = fmp4_demuxer_open(file.c_str())) {
            const fmp4_index_entry_t *e = nullptr;
            uint32_t n = 0;
            fmp4_demuxer_read_fileinfo(d, &e, &n);
            for (uint32_t i = 0; i < n / FMP4_INDEX_ENTRY_SIZE; i++)
                fmp4_demuxer_seek_fragment(d, e[i].start);
            fmp4_demuxer_close(d);
        }
    }
}

} // namespace
