// A phone's playback and file requests on a test card while the recorder runs, its clock moved past
// the date from which "play until now" no longer fits 32 bits: playback through every recorded
// period to the end, a period as one fragmented MP4, the period's picture, and the event list for
// all times, an hour and a day.
#include <gtest/gtest.h>
#include <time.h>

#include <fstream>

#include "app/p2p/ko_p2p_test.h"
#include "p2p_lab.h"
#include "recorder_card.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;
using rectest::RecorderClock;
using zeltest::member;

// 2029-04-05: now + 311040000 s no longer fits 31 bits.
constexpr uint64_t kLateWall_s = 1870000000;

class CardFiles : public rectest::RecorderCard {
protected:
    void SetUp() override
    {
        RecorderCard::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        Lab::get().reset();
        ko_p2p_test_use_session_ops(&recording_ops());
        p2p_started_ = true;
        ASSERT_EQ(lab_start_service(), 0);
    }
    void TearDown() override
    {
        if (p2p_started_) {
            vasq_on_disconnect(phone(0), 0, nullptr);
            ko_p2p_deinit();
        }
        ko_p2p_test_use_session_ops(nullptr);
        RecorderCard::TearDown();
    }
    // The whole reply to an RDT request.
    std::string rdt(const std::string &request)
    {
        Lab::get().reset();
        vasq_on_rdt_data(phone(0), request.data(), static_cast<int>(request.size()), nullptr);
        return joined_rdt();
    }
    static std::string local_stamp(uint32_t t, const char *format)
    {
        const time_t when = t;
        struct tm tm {};
        localtime_r(&when, &tm);
        char out[16];
        strftime(out, sizeof out, format, &tm);
        return out;
    }

    bool p2p_started_ = false;
};

TEST_F(CardFiles, PlaybackAndFilesOfTheCardWhileTheRecorderRuns)
{
    clock_.advance_wall_to(kLateWall_s * 1000000);
    ASSERT_GE(RecorderClock::wall_us() / 1000000, kLateWall_s);
    start_recorder(0);
    play(10);
    trigger_event(1);
    const uint32_t event_s = static_cast<uint32_t>(RecorderClock::wall_us() / 1000000);
    play(125);

    // The record list: two closed periods, the third still being written.
    const std::string list = rdt(le_words({6, 0}));
    ASSERT_GE(list.size(), 12u + 16u);
    EXPECT_EQ(le_word_at(list, 4), list.size() - 12);
    std::vector<uint32_t> periods;
    for (size_t at = 12; at + 8 <= list.size(); at += 8)
        periods.push_back(le_word_at(list, at));
    ASSERT_EQ(periods.size(), 2u);
    EXPECT_GE(periods[0], kLateWall_s);

    // Played until now, through both periods to the end.
    Lab::get().reset();
    const std::string request = R"({"sessionid":3,"starttime":)" + std::to_string(periods[0]) +
                                R"(,"endtime":0,"autoswitchtolive":0,"offset":0,"speed":16})";
    vasq_on_cmd(phone(0), 269, request.data(), static_cast<int>(request.size()), nullptr);
    const std::string end = R"({"id":3, "status":"endoffile"})";
    ASSERT_TRUE(zeltest::wait_until([&] { return playback_texts().size() >= 4; }, zeltest::scaled(60s)))
        << "end time 0 plays until now + 311040000 s, past 32 bits";
    const std::vector<std::string> r = playback_texts();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].find(R"({"id":3, "status":"filefound", "starttime":)" + std::to_string(periods[0])), 0u) << r[0];
    EXPECT_EQ(r[1], end);
    EXPECT_EQ(r[2].find(R"({"id":3, "status":"filefound", "starttime":)" + std::to_string(periods[1])), 0u) << r[2];
    EXPECT_EQ(r[3], end);
    size_t video = 0;
    {
        std::lock_guard<std::mutex> g(Lab::get().lock);
        for (const vasq_frame_info &f : Lab::get().frames) {
            if (f.codec_id == 1032)
                continue;
            video++;
            EXPECT_GE(f.time_s, periods[0]);
            EXPECT_LE(f.time_s, periods[1] + 61);
        }
    }
    EXPECT_GT(video, 20u);

    // The first period and all after it that are closed, as one fragmented MP4.
    const std::string mp4 = rdt(le_words({1, 4, periods[0]}));
    ASSERT_GT(mp4.size(), 12u);
    EXPECT_EQ(le_word_at(mp4, 4), mp4.size() - 12);
    const std::string path = root_.path("/tmp/fetched.mp4");
    std::ofstream(path, std::ios::binary) << mp4.substr(12);
    EXPECT_EQ(rectest::ffmpeg_decode_errors(path), "");
    rectest::Json walked = rectest::walk(path);
    ASSERT_TRUE(walked);
    EXPECT_TRUE(json_object_get_boolean(member(walked.get(), "ok")));
    EXPECT_EQ(json_object_array_length(member(walked.get(), "index")), 2u);

    // The period's picture: the snapshot the recorder stored.
    const std::string pic = rdt(le_words({5, 4, periods[0]}));
    ASSERT_GT(pic.size(), 12u);
    EXPECT_EQ(le_word_at(pic, 0), 5u);
    EXPECT_EQ(pic.substr(12), std::string(jpeg_.begin(), jpeg_.end()));

    // Events: all, the event's hour and its day (local time).
    auto events = [&](const std::string &time) {
        const std::string json = R"({"time":")" + time + R"("})";
        return rdt(le_words({11, static_cast<uint32_t>(json.size())}) + json);
    };
    const std::string all = events(""), hour = events(local_stamp(event_s, "%Y%m%d%H")),
                      day = events(local_stamp(event_s, "%Y%m%d"));
    for (const std::string *e : {&all, &hour, &day}) {
        ASSERT_GT(e->size(), 12u);
        EXPECT_EQ(le_word_at(*e, 0), 11u);
        EXPECT_EQ(le_word_at(*e, 4), e->size() - 12);
    }
    EXPECT_LE(hour.size(), day.size());
    EXPECT_LE(day.size(), all.size());
    EXPECT_EQ(events(local_stamp(event_s - 86400 * 3, "%Y%m%d")), le_words({11, 0, 0})) << "a day without events";
}

} // namespace
} // namespace p2ptest
