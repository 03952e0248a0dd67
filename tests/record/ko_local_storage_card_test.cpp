// The recorder on a 5 GiB test card fed from the board's stream: what a phone lists and plays after
// continuous and event recording, deletion through the daemon, and the card going read-only or pulled and
// coming back. Every file and index is read back by the independent Python walker and ffmpeg.
#include <gtest/gtest.h>

#include <functional>

#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_test.h"
#include "app/record/pic_index.h"
#include "app/record/record_index.h"
#include "app/record/sd_index_log.h"
#include "recorder_card.h"

using namespace rectest;

namespace {

// Gathers the pieces a list or picture callback is given.
int append_piece(int, uint32_t, uint32_t, const uint8_t *buf, uint32_t len, void *user)
{
    auto *out = static_cast<std::vector<uint8_t> *>(user);
    out->insert(out->end(), buf, buf + len);
    return 0;
}

class Recorder : public RecorderCard {
protected:
    // The recording files the pool handed out.
    std::vector<std::string> recordings() const { return card_files("video_"); }
    // The committed periods of a recording file (entries with a length).
    std::vector<json_object *> committed(json_object *walk_report) const
    {
        std::vector<json_object *> out;
        json_object *index = nullptr;
        if (walk_report && json_object_object_get_ex(walk_report, "index", &index))
            for (size_t i = 0; i < json_object_array_length(index); i++)
                if (json_int(json_object_array_get_idx(index, i), "length") != 0)
                    out.push_back(json_object_array_get_idx(index, i));
        return out;
    }
    // One period recorded, then `fault` strikes the card and `seconds` more are played: whether the
    // application heard 12. The card app then sees the card go.
    bool twelve_after(const std::function<bool()> &fault, double seconds)
    {
        start_recorder(0);
        play(70);
        EXPECT_EQ(live(video_index().get()).size(), 1u);
        EXPECT_TRUE(fault());
        play(seconds);
        const std::vector<int> seen = statuses();
        set_card_status(12);
        play(1);
        return std::find(seen.begin(), seen.end(), 12) != seen.end();
    }
    int64_t stat_value(const std::string &stats, const char *key) const
    {
        Json o(json_tokener_parse(stats.c_str()), &json_object_put);
        return o ? json_int(o.get(), key) : -1;
    }
};

TEST_F(Recorder, ContinuousRecordingIndexesEachPeriodWithItsPictureAndEvents)
{
    start_recorder(0);
    play(10);
    trigger_event(3); // bit 3: type 7
    play(60);
    trigger_event(1); // bit 1: type 1
    play(60);

    const auto files = recordings();
    ASSERT_EQ(files.size(), 1u);
    Json file = walk(card_path(files[0]));
    ASSERT_TRUE(file);
    EXPECT_TRUE(json_object_get_boolean(zeltest::member(file.get(), "ok"))) << "walks to its end";
    const auto periods = committed(file.get());
    ASSERT_EQ(periods.size(), 2u);

    Json index = video_index();
    const auto records = live(index.get());
    ASSERT_EQ(records.size(), 2u);
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(json_int(records[i], "seq"), static_cast<int64_t>(i + 1));
        EXPECT_EQ(json_int(records[i], "time"), json_int(periods[i], "start")) << "the entry has the same start";
        EXPECT_STREQ(json_object_get_string(zeltest::member(records[i], "name")), files[0].c_str());
        EXPECT_EQ(json_int(records[i], "motion"), 1);
        EXPECT_EQ(json_int(periods[i], "channel"), 0);
    }
    const int64_t t1 = json_int(records[0], "time"), t2 = json_int(records[1], "time");
    EXPECT_GE(t2 - t1, 59);
    EXPECT_LE(t2 - t1, 61);
    EXPECT_EQ(ffmpeg_decode_errors(card_path(files[0])), "");

    // The events, one record per type of each period.
    Json events = event_index();
    const auto ev = live(events.get());
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(json_int(ev[0], "time"), t1);
    EXPECT_EQ(json_int(ev[0], "type"), 7);
    EXPECT_EQ(json_int(ev[1], "time"), t2);
    EXPECT_EQ(json_int(ev[1], "type"), 1);

    // The picture taken when the file started, indexed with the first period and read back whole.
    Json pics = pic_index();
    const auto pr = live(pics.get());
    ASSERT_EQ(pr.size(), 1u);
    EXPECT_EQ(json_int(pr[0], "time"), t1);
    std::vector<uint8_t> jpeg;
    ASSERT_EQ(pic_get_data(0, static_cast<uint32_t>(t1), append_piece, 4096, &jpeg), 0);
    ASSERT_GT(jpeg.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(jpeg.begin() + 12, jpeg.end()), jpeg_);

    // The phone's list: the two periods, 8 bytes each after the 12-byte head.
    std::vector<uint8_t> list;
    ASSERT_EQ(record_get_index_all(0, append_piece, 20, &list), 0);
    ASSERT_EQ(list.size(), 12u + 16);
    EXPECT_EQ(sd::get_u32(list.data() + 12), static_cast<uint32_t>(t1));
    EXPECT_EQ(sd::get_u32(list.data() + 20), static_cast<uint32_t>(t2));

    // "upload_statistics" reaches the daemon through the reporter; the periods add up to two.
    sim_->send("rpc", R"({"id":42,"method":"tolk.stat"})");
    int64_t closed = 0, video_frames = 0, audio_errors = 0;
    EXPECT_TRUE(zeltest::wait_until(
        [&] {
            closed = video_frames = audio_errors = 0;
            for (int since = 0;;) {
                int at = -1;
                auto stat = next("rpc", "_async.stat", since, &at, 100);
                if (!stat)
                    break;
                since = at + 1;
                json_object *rec = zeltest::member(zeltest::member(stat.get(), "params"), "local_rec.info");
                closed += rec ? json_int(rec, "mp4_succuss_file") : 0;
                video_frames += rec ? json_int(rec, "total_video_frame") : 0;
                audio_errors += rec ? json_int(rec, "mp4_err_audio_frame") : 0;
            }
            return closed == 2;
        },
        zeltest::scaled(std::chrono::seconds(20))))
        << closed;
    EXPECT_GE(video_frames, 126 * kFps);
    EXPECT_EQ(audio_errors, 0) << "no audio is handed over before the file's first video frame";
}

TEST_F(Recorder, ModeOneRecordsOnlyWhileAnSdEventIsPending)
{
    start_recorder(1);
    play(8);
    EXPECT_TRUE(recordings().empty()) << "no event, no file";
    trigger_event(0);
    play(70);
    const auto files = recordings();
    ASSERT_EQ(files.size(), 1u);
    Json index = video_index();
    const auto records = live(index.get());
    ASSERT_EQ(records.size(), 1u) << "the period the event fell into";
    Json file = walk(card_path(files[0]));
    const auto periods = committed(file.get());
    ASSERT_EQ(periods.size(), 1u);
    EXPECT_EQ(json_int(records[0], "time"), json_int(periods[0], "start"));
    EXPECT_EQ(ffmpeg_decode_errors(card_path(files[0])), "");
}

TEST_F(Recorder, DeleteVideoFromTheDaemonDeletesThePeriodFromEveryIndexAndRepliesOk)
{
    start_recorder(0);
    trigger_event(1);
    play(70);
    trigger_event(3);
    play(60);
    Json index = video_index();
    const auto records = live(index.get());
    ASSERT_EQ(records.size(), 2u);
    const int64_t t1 = json_int(records[0], "time"), t2 = json_int(records[1], "time");
    const int since = sim_->received_count("rpc");
    sim_->send("rpc", R"({"id":77,"method":"deleteVideo","params":[)" + std::to_string(t2) + "," +
                          std::to_string(t1 + 100000) + "]}");
    auto reply = sim_->wait_object("rpc", "", since, 10000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(sdktest::canonical(reply.get()), sdktest::canonical(R"({"id":77,"result":["OK"]})"));
    Json after = video_index();
    const auto left = live(after.get());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(json_int(left[0], "time"), t1);
    Json event_report = event_index();
    const auto events = live(event_report.get());
    ASSERT_EQ(events.size(), 1u) << "the second period's event went with it";
    EXPECT_EQ(json_int(events[0], "time"), t1);
    // A request without "params" is dropped.
    const int later = sim_->received_count("rpc");
    sim_->send("rpc", R"({"id":78,"method":"deleteVideo"})");
    EXPECT_FALSE(sim_->wait_object("rpc", "", later, 1000));
}

// A card that needs a format has no file to give: until it is formatted the recorder neither tries to
// start files, reporting failures over the 8 it gave, nor asks the encoder for key frames.
TEST_F(Recorder, ACardThatNeedsAFormatIsLeftAloneUntilItIsFormatted)
{
    init_recorder(0);
    ASSERT_EQ(ko_local_storage_create(0, 4), 0);
    play(10);
    EXPECT_EQ(statuses(), std::vector<int>{8});
    EXPECT_EQ(forced_key_frames(), 0);
    EXPECT_TRUE(recordings().empty());
}

TEST_F(Recorder, ACardTurningReadOnlyIsReportedAndItsPoolDropped)
{
    EXPECT_TRUE(twelve_after([this] { return card_->make_read_only(); }, 3)) << "read-only gives 12";
    // The recorder has dropped the file and the pool.
    EXPECT_GT(stat_value(statistics(), "step2"), 0) << "passes without a usable card";
    int cover = 0;
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover), nullptr) << "the pool is down";
}

// A card pulled while recording: the next period's sync fails, which the application learns as 12; once
// the card app sees the card gone the recorder lets go of it, and when the card is back recording
// resumes on it.
TEST_F(Recorder, APulledCardGivesTwelveAndRecordingResumesWhenItIsBack)
{
    EXPECT_TRUE(twelve_after([this] { return card_->remove(); }, 62)) << "a pulled card gives 12";
    ASSERT_TRUE(card_->reinsert());
    set_card_status(0);
    const uint64_t back_s = RecorderClock::wall_us() / 1000000;
    play(70);
    Json index = video_index();
    const auto records = live(index.get());
    ASSERT_FALSE(records.empty());
    // It starts at the key frame of the last two seconds before the recorder saw the card.
    EXPECT_GE(json_int(records.back(), "time") + 3, static_cast<int64_t>(back_s)) << "a period recorded after the return";
    const std::string name = json_object_get_string(zeltest::member(records.back(), "name"));
    EXPECT_EQ(ffmpeg_decode_errors(card_path(name)), "");
}

TEST_F(Recorder, AFullCardGivesTwo)
{
    ASSERT_TRUE(card_->fill(16ull << 20));
    init_recorder(0);
    EXPECT_EQ(ko_local_set_format_status(1), SD_ERR_FULL);
    EXPECT_EQ(statuses(), std::vector<int>{2});
}

// Two cameras on one pool.
class RecorderTwoCameras : public Recorder {
protected:
    RecorderTwoCameras() { cameras_ = {{0, 4}, {1, 8}}; }
};

// The card blinks out while only the second recorder polls it: it takes the pool down, and the first,
// which never saw the card go, records on into files of the pool that came back (under
// AddressSanitizer a file record the pool freed would be read when its period closes).
TEST_F(RecorderTwoCameras, APoolTakenDownByOneRecorderLeavesTheOtherNoFileOfIt)
{
    start_recorder(0);
    ASSERT_EQ(ko_local_storage_create(1, 8), 0);
    play(20);
    set_card_status(12);
    ko_local_storage_run_pass(1);
    set_card_status(0);
    play(70);
    Json index = video_index();
    const auto records = live(index.get());
    ASSERT_FALSE(records.empty());
    const std::string name = json_object_get_string(zeltest::member(records.back(), "name"));
    EXPECT_EQ(ffmpeg_decode_errors(card_path(name)), "");
}

// The board's main stream fills a 128 MiB file in about nine minutes of video.
class RecorderMainStream : public Recorder {
protected:
    RecorderMainStream()
    {
        stream_ = "main_2880x1620.h265";
        width_ = 2880;
        height_ = 1620;
        bitrate_kbps_ = 4096;
    }
};

TEST_F(RecorderMainStream, AnAlmostFullFileIsClosedAndTheNextStartsWithTheFrameItRefused)
{
    start_recorder(0);
    for (int s = 0; s < 700 && recordings().size() < 2 && !HasFatalFailure(); s += 10)
        play(10);
    play(70);
    std::vector<std::string> files;
    // The full file is renamed with its real end time by a short thread of the pool.
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            files = recordings();
            return files.size() == 2 && files[0].find("19691231") == std::string::npos;
        },
        zeltest::scaled(std::chrono::seconds(10))))
        << files.size();
    Json first = walk(card_path(files[0])), second = walk(card_path(files[1]));
    const auto p1 = committed(first.get()), p2 = committed(second.get());
    ASSERT_FALSE(p1.empty());
    ASSERT_FALSE(p2.empty());
    const int64_t end1 = json_int(p1.back(), "start") + json_int(p1.back(), "duration");
    const int64_t start2 = json_int(p2.front(), "start");
    EXPECT_GE(start2, end1 - 1) << "no jump back";
    EXPECT_LE(start2, end1 + 1) << "the next file goes on where the full one stopped";
    EXPECT_EQ(ffmpeg_decode_errors(card_path(files[0])), "");
    EXPECT_EQ(ffmpeg_decode_errors(card_path(files[1])), "");
    // Every period is listed and names the file that holds it, under its closed name.
    Json index = video_index();
    const auto records = live(index.get());
    EXPECT_EQ(records.size(), p1.size() + p2.size());
    for (json_object *r : records) {
        const std::string name = json_object_get_string(zeltest::member(r, "name"));
        EXPECT_TRUE(name == files[0] || name == files[1]) << name;
    }
}

} // namespace
