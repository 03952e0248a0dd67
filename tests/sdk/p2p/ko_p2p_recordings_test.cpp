// A phone's playback of, and file requests on, recordings that the fragmented-MP4 writer made in a
// pool on a directory: playback replies and frames as recorded, speed changes, moving on to the next
// period and the end, "until now" with the wall clock past the point where it overflows 32 bits; a
// recording from a period as one fragmented MP4 that ffmpeg decodes and the independent walker
// accepts, the record list against the independent index reader, the custom-record index against
// its independent reader, and bare heads where the file or period is not there.
#include <json-c/json.h>

#include <fstream>
#include <map>
#include <utility>

#include "app/record/custom_record_index.h"
#include "app/record/ko_playback.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_time_test.h"
#include "index_pool_recording.h"
#include "p2p_lab.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kT0 = 1700000000;
// 2029-04-05: now + 311040000 s no longer fits 31 bits.
constexpr uint64_t kLateWall_s = 1870000000;
constexpr uint32_t kOpus = 1032;

uint64_t late_wall_us()
{
    return kLateWall_s * 1000000;
}
using rectest::json_int;

json_object *member(json_object *o, const char *key)
{
    json_object *v = nullptr;
    return o && json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

class Recordings : public rectest::RecordedPool {
protected:
    static void SetUpTestSuite() { ko_message_init(nullptr); }
    static void TearDownTestSuite() { ko_message_deinit(); }
    void SetUp() override
    {
        lab_install(info_);
        RecordedPool::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        p2p_started_ = true;
        ASSERT_EQ(lab_start_service(), 0);
    }
    void TearDown() override
    {
        ko_time_set_wall_source(nullptr);
        if (p2p_started_) {
            // As the server does for every session it closes: the slot's playback ends with it.
            vasq_on_disconnect(phone(0), 0, nullptr);
            ko_p2p_deinit();
        }
        record_index_deinit();
        RecordedPool::TearDown();
        lab_uninstall();
    }
    void rdt(const std::string &bytes)
    {
        Lab::get().reset();
        vasq_on_rdt_data(phone(0), bytes.data(), static_cast<int>(bytes.size()), nullptr);
    }
    std::string save(const std::string &bytes, const std::string &name)
    {
        const std::string path = root_.path("/tmp/" + name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // The pool file that holds the period starting at `time`.
    std::string recording_of(uint32_t time)
    {
        record_index_record_t r{};
        EXPECT_EQ(record_find_record_info(0, time, &r, 0), 1);
        return card(r.name);
    }

    int command(int code, const std::string &json)
    {
        return vasq_on_cmd(phone(0), code, json.data(), static_cast<int>(json.size()), nullptr);
    }
    void play(uint32_t start, int speed)
    {
        ASSERT_EQ(command(269, R"({"sessionid":9,"starttime":)" + std::to_string(start) +
                                   R"(,"endtime":0,"autoswitchtolive":0,"offset":0,"speed":)" + std::to_string(speed) +
                                   "}"),
                  0);
    }
    std::vector<vasq_frame_info> video_frames()
    {
        std::lock_guard<std::mutex> g(Lab::get().lock);
        std::vector<vasq_frame_info> out;
        for (const vasq_frame_info &f : Lab::get().frames)
            if (f.codec_id != kOpus)
                out.push_back(f);
        return out;
    }
    std::string found(uint32_t start, uint32_t duration)
    {
        return R"({"id":9, "status":"filefound", "starttime":)" + std::to_string(start) + R"(, "duration":)" +
               std::to_string(duration) + "}";
    }

    ko_sdk_info info_{};
    bool p2p_started_ = false;
};

// The walker's fragments of a report: per fragment the sequence and per track its base and sizes.
struct WalkedFragment {
    int64_t sequence;
    std::vector<int64_t> base;
    std::vector<std::string> sizes;
};
std::vector<WalkedFragment> fragments(json_object *report)
{
    std::vector<WalkedFragment> out;
    json_object *list = member(report, "fragments");
    for (size_t i = 0; list && i < json_object_array_length(list); i++) {
        json_object *f = json_object_array_get_idx(list, i);
        WalkedFragment w{json_int(f, "sequence"), {}, {}};
        json_object *tracks = member(f, "tracks");
        for (size_t t = 0; tracks && t < json_object_array_length(tracks); t++) {
            json_object *tr = json_object_array_get_idx(tracks, t);
            w.base.push_back(json_int(tr, "base"));
            w.sizes.push_back(json_object_to_json_string(member(tr, "sizes")));
        }
        out.push_back(w);
    }
    return out;
}

TEST_F(Recordings, PlaybackUntilNowRunsThroughEveryPeriodToTheEndAfter2028)
{
    record(kT0, 62);
    record(kT0 + 100, 4);
    ASSERT_EQ(periods_.size(), 3u);
    ko_time_set_wall_source(late_wall_us);
    play(kT0, 16);
    const std::string end = R"({"id":9, "status":"endoffile"})";
    ASSERT_TRUE(zeltest::wait_until([&] { return playback_texts().size() >= 6; }, zeltest::scaled(30s)))
        << "end time 0 plays until now + 311040000 s, past 32 bits";
    const std::vector<std::string> r = playback_texts();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0], found(kT0, 60));
    EXPECT_EQ(r[1], end);
    EXPECT_EQ(r[2].find(R"({"id":9, "status":"filefound", "starttime":)" + std::to_string(periods_[1])), 0u) << r[2];
    EXPECT_EQ(r[3], end);
    EXPECT_EQ(r[4], found(kT0 + 100, 4)) << "the next recording";
    EXPECT_EQ(r[5], end) << "and the end";
    const std::vector<vasq_frame_info> v = video_frames();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front().flags & 1, 1u) << "a key frame first";
    EXPECT_EQ(v.front().time_s, kT0);
    EXPECT_EQ(v.back().time_s / 10, (kT0 + 100 + 3) / 10) << "the last frames are of the last recording";
}

TEST_F(Recordings, PlaybackFramesAreTheRecordedOnes)
{
    record(kT0, 62);
    record(kT0 + 100, 4);
    play(kT0 + 100, 1);
    ASSERT_TRUE(zeltest::wait_until([&] { return playback_texts().size() >= 2; }, zeltest::scaled(30s)));
    EXPECT_EQ(playback_texts(), (std::vector<std::string>{found(kT0 + 100, 4), R"({"id":9, "status":"endoffile"})"}));
    fmp4_demuxer_t *d = fmp4_demuxer_open(recording_of(kT0 + 100).c_str());
    ASSERT_NE(d, nullptr);
    ASSERT_GE(fmp4_demuxer_seek_fragment(d, kT0 + 100), 0);
    std::vector<std::array<uint64_t, 4>> recorded;
    fmp4_frame_t f{};
    while (fmp4_demuxer_read_video(d, &f, nullptr) == 0) {
        recorded.push_back({f.sample, f.size, f.kind == FMP4_FRAME_KEY ? 1u : 0u, f.timestamp_ms});
        free(f.data);
    }
    fmp4_demuxer_close(d);
    std::vector<std::array<uint64_t, 4>> sent;
    for (const vasq_frame_info &h : video_frames()) {
        sent.push_back({h.seq, h.length, h.flags & 1, h.time_ms});
        EXPECT_EQ(h.codec_id, 4u);
        EXPECT_EQ(h.flags & 0x8800, 0x8800u);
        EXPECT_EQ(h.time_s, kT0 + 100 + h.time_ms / 1000);
    }
    EXPECT_EQ(sent, recorded);
}

TEST_F(Recordings, SpeedFourCutsEachGopAndSpeedTwoIsIgnored)
{
    record(kT0, 62);
    play(kT0, 1);
    ASSERT_TRUE(zeltest::wait_until([&] { return video_frames().size() >= 10; }, zeltest::scaled(20s)));
    EXPECT_EQ(command(271, R"({"sessionid":9,"speed":2})"), 0);
    EXPECT_EQ(ko_p2p::g_vasq_ctrl.slots[0].pb_speed, 1) << "2 is not a speed";
    command(269, R"({"sessionid":9,"starttime":)" + std::to_string(kT0) +
                     R"(,"endtime":0,"autoswitchtolive":0,"offset":0,"speed":2})");
    EXPECT_EQ(playback_texts().size(), 1u) << "nor in a request";
    EXPECT_EQ(command(271, R"({"sessionid":9,"speed":4})"), 0);
    const size_t at = video_frames().size();
    auto keys_after = [&] {
        size_t n = 0;
        for (size_t i = at; i < video_frames().size(); i++)
            n += video_frames()[i].flags & 1;
        return n;
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return keys_after() >= 4; }, zeltest::scaled(30s)));
    const std::vector<vasq_frame_info> v = video_frames();
    std::vector<size_t> keys;
    for (size_t i = at; i < v.size(); i++)
        if (v[i].flags & 1)
            keys.push_back(i);
    for (size_t k = 1; k + 1 < keys.size(); k++)
        EXPECT_EQ(keys[k + 1] - keys[k], 15u) << "a quarter of each 60-frame GOP";
}

TEST_F(Recordings, GoingBackToLiveEndsThePlayback)
{
    record(kT0, 62);
    play(kT0, 1);
    ASSERT_TRUE(zeltest::wait_until([&] { return video_frames().size() >= 3; }, zeltest::scaled(20s)));
    EXPECT_EQ(command(258, R"({"videoquality":1})"), 0);
    EXPECT_EQ(ko_p2p::g_vasq_ctrl.slots[0].playback, nullptr) << "the engine ended and its recording closed";
    EXPECT_EQ(ko_p2p::g_vasq_ctrl.slots[0].mode.load(), ko_p2p::kModeLive);
}

TEST_F(Recordings, ARecordingFromAPeriodIsOneFragmentedMp4FromItsTimeToTheEnd)
{
    record(kT0, 62);
    ASSERT_GE(periods_.size(), 2u);
    const std::string source = recording_of(periods_[1]);
    Lab::get().reset();
    bool asked = false;
    Lab::get().on_rdt = [&] {
        record_index_record_t r{};
        if (!std::exchange(asked, true)) {
            EXPECT_EQ(record_find_record_info(0, periods_[0], &r, 0), 1) << "the index is free while a packet goes";
        }
    };
    const std::string request = le_words({1, 4, periods_[1]});
    vasq_on_rdt_data(phone(0), request.data(), static_cast<int>(request.size()), nullptr);
    const std::string all = joined_rdt();
    ASSERT_GT(all.size(), 12u) << "not a bare head";
    EXPECT_EQ(all.substr(0, 4), le_words({1}));
    EXPECT_EQ(le_word_at(all, 4), all.size() - 12) << "the head's total covers all that came";
    EXPECT_EQ(le_word_at(all, 8), 0u);
    const std::string got = save(all.substr(12), "period.mp4");

    if (rectest::have_tool("ffprobe")) {
        EXPECT_EQ(rectest::ffmpeg_decode_errors(got), "");
        EXPECT_EQ(rectest::ffprobe_stream(got, "v:0", "codec_name"), "h264");
        EXPECT_EQ(rectest::ffprobe_stream(got, "a:0", "codec_name"), "opus");
    }
    rectest::Json sent = rectest::walk(got), whole = rectest::walk(source);
    ASSERT_TRUE(sent && whole);
    EXPECT_TRUE(json_object_get_boolean(member(sent.get(), "ok"))) << json_object_to_json_string(sent.get());
    EXPECT_EQ(json_object_array_length(member(sent.get(), "errors")), 0u);
    json_object *index = member(sent.get(), "index");
    ASSERT_EQ(json_object_array_length(index), periods_.size() - 1) << "the asked period and those after it";
    EXPECT_EQ(json_int(json_object_array_get_idx(index, 0), "start"), periods_[1]);

    // The same fragments as in the recording from the asked period on, renumbered from 1, with their
    // decode times moved back to start at 0.
    const std::vector<WalkedFragment> out = fragments(sent.get()), in = fragments(whole.get());
    ASSERT_FALSE(out.empty());
    ASSERT_GE(in.size(), out.size());
    const size_t skip = in.size() - out.size();
    for (size_t i = 0; i < out.size(); i++) {
        const WalkedFragment &a = out[i], &b = in[skip + i];
        EXPECT_EQ(a.sequence, static_cast<int64_t>(i + 1));
        ASSERT_EQ(a.base.size(), 2u);
        ASSERT_EQ(b.base.size(), 2u);
        EXPECT_EQ(a.sizes, b.sizes) << "fragment " << i;
        for (size_t t = 0; t < 2; t++)
            EXPECT_EQ(a.base[t], b.base[t] - in[skip].base[t]) << "fragment " << i << " track " << t;
    }
}

TEST_F(Recordings, AMissingPeriodOrRecordingGetsABareHead)
{
    record(kT0, 62);
    rdt(le_words({1, 4, periods_[0] + 1}));
    EXPECT_EQ(joined_rdt(), le_words({1, 0, 0})) << "no period starts then";
    rdt(le_words({1, 2, periods_[0]}));
    EXPECT_EQ(joined_rdt(), le_words({1, 0, 0})) << "no room for the time stamp";
    ASSERT_EQ(unlink(recording_of(periods_[0]).c_str()), 0);
    rdt(le_words({1, 4, periods_[0]}));
    EXPECT_EQ(joined_rdt(), le_words({1, 0, 0})) << "the file is gone";
}

TEST_F(Recordings, TheRecordListMatchesTheIndexAsAnIndependentReaderSeesIt)
{
    record(kT0, 62);
    record(kT0 + 100, 4);
    rdt(le_words({6, 0}));
    const std::string all = joined_rdt();
    ASSERT_GE(all.size(), 12u);
    EXPECT_EQ(le_word_at(all, 0), 6u);
    EXPECT_EQ(le_word_at(all, 4), all.size() - 12);
    std::vector<uint32_t> listed;
    for (size_t at = 12; at + 8 <= all.size(); at += 8)
        listed.push_back(le_word_at(all, at));
    rectest::Json index = rectest::walk_index("video", index_path(SD_KIND_VIDEOI, 0));
    ASSERT_TRUE(index);
    std::vector<uint32_t> walked;
    json_object *records = member(index.get(), "records");
    std::map<int64_t, uint32_t> by_seq;
    for (size_t i = 0; records && i < json_object_array_length(records); i++) {
        json_object *r = json_object_array_get_idx(records, i);
        if (json_int(r, "delete") == 0)
            by_seq[json_int(r, "seq")] = static_cast<uint32_t>(json_int(r, "time"));
    }
    for (const auto &s : by_seq)
        walked.push_back(s.second);
    EXPECT_EQ(listed, walked);
    EXPECT_EQ(listed, periods_);
}

TEST_F(Recordings, TheCustomIndexMatchesItsIndependentReader)
{
    rdt(le_words({15, 0}));
    const std::string bare = joined_rdt();
    for (uint32_t s : {kT0 + 300, kT0 + 100, kT0 + 200}) {
        const custom_record_index_entry_t e{s, CUSTOM_RECORD_SET_UP, CUSTOM_RECORD_NO_FRAME, {0, 0}};
        ASSERT_EQ(custom_record_index_add(&e), 0);
    }
    // Enough entries that the index takes several packets.
    for (uint32_t s = kT0 + 1000; s < kT0 + 1300; s++) {
        const custom_record_index_entry_t e{s, CUSTOM_RECORD_WRITTEN, CUSTOM_RECORD_NO_FRAME, {0, 0}};
        ASSERT_EQ(custom_record_index_add(&e), 0);
    }
    rdt(le_words({15, 0}));
    const std::string all = joined_rdt();
    ASSERT_GE(all.size(), 16u + 512u);
    const std::string file = root_.path("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg");
    std::string cmd, out;
    for (const std::string &a : zeltest::python_peer("custom_index_read.py", {file}))
        cmd += "'" + a + "' ";
    ASSERT_EQ(zeltest::run_command(cmd, &out), 0);
    rectest::Json read(json_tokener_parse(out.c_str()), json_object_put);
    ASSERT_TRUE(read);
    EXPECT_TRUE(json_object_get_boolean(member(read.get(), "crc_ok")));
    const int64_t count = json_int(read.get(), "count");
    EXPECT_EQ(count, 303);
    EXPECT_EQ(le_word_at(all, 0), 15u);
    EXPECT_EQ(le_word_at(all, 4), all.size() - 16) << "the index size";
    EXPECT_EQ(le_word_at(all, 8), count);
    EXPECT_EQ(le_word_at(all, 12), count);
    std::ifstream in(file, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.substr(16), image) << "the index as it lies on the card";
    EXPECT_TRUE(bare == le_words({15, 0, 0}) || le_word_at(bare, 8) == 0) << "an index not yet made is empty or absent";
}

TEST_F(Recordings, TheCustomIndexOfACardNotReadyIsABareHead)
{
    zeltest::PortingHooksScript script;
    script.storage_status = 1;
    zeltest::porting_hooks_script(script);
    rdt(le_words({15, 0}));
    EXPECT_EQ(joined_rdt(), le_words({15, 0, 0}));
}

} // namespace
} // namespace p2ptest
