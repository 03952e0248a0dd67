// SD playback on recordings that the fragmented-MP4 writer made in the pool and the video index
// lists: the speed rule on an x264 stream of GOP 60 at 20 fps, audio held behind video, moving on to
// the next recorded period (status 3) up to the end (status 4), pause, refused frames and stopping at
// any moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/record/ko_playback.h"
#include "common/ipc/ko_message.h"
#include "app/record/record_index.h"
#include "index_pool_recording.h"
#include "record_media.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kT0 = 1700000000;

struct Frame {
    int kind;
    uint64_t ts;
    uint32_t sample;
    uint32_t period;
    int speed; // the speed the test had asked for when the frame came
};

struct Sink {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Frame> video;
    std::vector<uint64_t> audio;
    std::vector<int> statuses;
    std::atomic<int> speed{1};
    std::atomic<int> refuse{0}; // video frames still to refuse
    uint64_t last_video = 0;
    bool audio_ahead = false;

    template <typename Pred>
    bool wait(Pred pred, std::chrono::milliseconds timeout = 20s)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, zeltest::scaled(timeout), [&] { return pred(); });
    }
    size_t video_count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return video.size();
    }
};

int on_video(const fmp4_frame_t *f, const ko_playback_meta_t *meta, void *user)
{
    Sink &s = *static_cast<Sink *>(user);
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.refuse > 0) {
        s.refuse--;
        s.video.push_back({-1, f->timestamp_ms, f->sample, meta->start_time, s.speed});
        return -1;
    }
    s.video.push_back({f->kind, f->timestamp_ms, f->sample, meta->start_time, s.speed});
    s.last_video = f->timestamp_ms;
    s.changed.notify_all();
    return 0;
}

int on_audio(const fmp4_frame_t *f, const ko_playback_meta_t *, void *user, int)
{
    Sink &s = *static_cast<Sink *>(user);
    std::lock_guard<std::mutex> guard(s.lock);
    if (f->timestamp_ms > s.last_video)
        s.audio_ahead = true;
    s.audio.push_back(f->timestamp_ms);
    s.changed.notify_all();
    return 0;
}

void on_status(int status, const ko_playback_meta_t *, void *user)
{
    Sink &s = *static_cast<Sink *>(user);
    std::lock_guard<std::mutex> guard(s.lock);
    s.statuses.push_back(status);
    s.changed.notify_all();
}

class Playback : public rectest::RecordedPool {
protected:
    ko_playback_t *start(uint32_t from, uint32_t to, uint32_t offset = 0)
    {
        const ko_playback_request_t request{from, to, offset};
        const ko_playback_callbacks_t callbacks{on_video, on_audio, on_status};
        return ko_playback_start(&request, &callbacks, &value_, &sink_);
    }

    // Key-frame runs whose frames, and the key frame after them, all came at `speed`: their lengths.
    std::vector<size_t> runs_at(int speed)
    {
        std::lock_guard<std::mutex> guard(sink_.lock);
        std::vector<size_t> runs;
        const auto &v = sink_.video;
        size_t begin = v.size();
        for (size_t i = 0; i < v.size(); i++) {
            if (v[i].kind != FMP4_FRAME_KEY)
                continue;
            if (begin < i && std::all_of(v.begin() + begin, v.begin() + i + 1,
                                         [&](const Frame &f) { return f.speed == speed; }))
                runs.push_back(i - begin);
            begin = i;
        }
        return runs;
    }

    void set_speed(ko_playback_t *h, int speed)
    {
        sink_.speed = speed;
        ASSERT_EQ(ko_playback_speed_ctrl(h, speed), 0);
    }

    Sink sink_;
    int value_ = 7;
};

TEST(PlaybackSpeedRule, FramesPerGopFollowTheGopAndTheFrameRateAndNeverDivideByZero)
{
    EXPECT_EQ(ko_playback_frames_per_gop(1200, 20, 60, 4), 15u);
    EXPECT_EQ(ko_playback_frames_per_gop(1200, 20, 60, 16), 3u);
    EXPECT_EQ(ko_playback_frames_per_gop(1200, 30, 60, 4), 10u) << "40-frame GOP";
    EXPECT_EQ(ko_playback_frames_per_gop(1200, 30, 60, 16), 2u);
    EXPECT_EQ(ko_playback_frames_per_gop(1200, 20, 60, 1), 0u);
    EXPECT_GE(ko_playback_frames_per_gop(1200, 0, 60, 4), 1u) << "no key frame";
    EXPECT_GE(ko_playback_frames_per_gop(10, 1, 0, 16), 1u) << "under a second";
    EXPECT_EQ(ko_playback_frames_per_gop(0, 0, 0, 4), 0u);
}

TEST_F(Playback, FastSpeedsSendTheFirstFramesOfEachGopAndSpeedOneResumesAtAKeyFrame)
{
    record(kT0, 62);
    ko_playback_t *h = start(kT0, kT0 + 3600);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ko_playback_value(h), &value_);
    EXPECT_EQ(ko_playback_speed_ctrl(h, 2), -1);
    EXPECT_EQ(ko_playback_speed_ctrl(nullptr, 4), -1);
    set_speed(h, 4);
    ASSERT_TRUE(sink_.wait([&] { return sink_.video.size() >= 15 * 4 + 2; }));
    set_speed(h, 16);
    const size_t at16 = sink_.video_count();
    ASSERT_TRUE(sink_.wait([&] { return sink_.video.size() >= at16 + 3 * 5 + 2; }));
    // Switched while paused, so that every frame after it was read at speed 1.
    ASSERT_EQ(ko_playback_pause(h), 0);
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    set_speed(h, 1);
    size_t at1, audio1;
    {
        std::lock_guard<std::mutex> guard(sink_.lock);
        at1 = sink_.video.size();
        audio1 = sink_.audio.size();
    }
    ASSERT_EQ(ko_playback_resume(h), 0);
    ASSERT_TRUE(sink_.wait([&] { return sink_.video.size() >= at1 + 10 && sink_.audio.size() >= audio1 + 3; }));
    EXPECT_EQ(ko_playback_stop(h), 0);

    const std::vector<size_t> fours = runs_at(4), sixteens = runs_at(16);
    ASSERT_GE(fours.size(), 2u);
    ASSERT_GE(sixteens.size(), 2u);
    for (size_t n : fours)
        EXPECT_EQ(n, 15u);
    for (size_t n : sixteens)
        EXPECT_EQ(n, 3u);
    std::lock_guard<std::mutex> guard(sink_.lock);
    const auto &v = sink_.video;
    for (size_t i = 1; i < v.size(); i++) {
        if (v[i].kind == FMP4_FRAME_KEY) {
            EXPECT_EQ(v[i].ts % 3000, 0u) << "each run starts at a GOP's key frame";
        }
    }
    EXPECT_EQ(v[at1].kind, FMP4_FRAME_KEY) << "back at speed 1 the next frame is a key frame";
    EXPECT_GT(v[at1].ts, v[at1 - 1].ts);
    EXPECT_FALSE(sink_.audio_ahead);
    // Audio was resynchronised to the key frame, not resumed from where speed 1 left it.
    const uint64_t key_ts = v[at1].ts;
    EXPECT_GE(sink_.audio[audio1], key_ts > 100 ? key_ts - 100 : 0);
}

TEST_F(Playback, AudioNeverRunsAheadOfTheVideoSent)
{
    record(kT0, 62);
    ko_playback_t *h = start(kT0, kT0 + 3600, 10);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(sink_.wait([&] { return sink_.audio.size() >= 30; }));
    EXPECT_EQ(ko_playback_stop(h), 0);
    std::lock_guard<std::mutex> guard(sink_.lock);
    EXPECT_FALSE(sink_.audio_ahead);
    EXPECT_TRUE(std::is_sorted(sink_.audio.begin(), sink_.audio.end()));
    ASSERT_FALSE(sink_.video.empty());
    EXPECT_EQ(sink_.video.front().kind, FMP4_FRAME_KEY);
    EXPECT_EQ(sink_.video.front().ts, 9000u) << "offset 10 s lands on the key frame at 9 s";
    EXPECT_GE(sink_.audio.front(), 8900u);
}

TEST_F(Playback, TheNextRecordGivesStatusThreeAndTheLastOneEndsWithStatusFour)
{
    record(kT0, 62);
    record(kT0 + 100, 4);
    ASSERT_EQ(periods_.size(), 3u);
    ko_playback_t *h = start(kT0, kT0 + 3600);
    ASSERT_NE(h, nullptr);
    set_speed(h, 16);
    ASSERT_TRUE(sink_.wait([&] { return !sink_.statuses.empty() && sink_.statuses.back() == KO_PLAYBACK_END; },
                           30s));
    EXPECT_EQ(ko_playback_stop(h), 0);
    std::lock_guard<std::mutex> guard(sink_.lock);
    EXPECT_EQ(sink_.statuses, (std::vector<int>{KO_PLAYBACK_STARTED, KO_PLAYBACK_NEXT_FILE, KO_PLAYBACK_NEXT_FILE,
                                                KO_PLAYBACK_END}));
    std::vector<uint32_t> seen;
    for (const Frame &f : sink_.video) {
        if (seen.empty() || seen.back() != f.period) {
            seen.push_back(f.period);
            EXPECT_EQ(f.kind, FMP4_FRAME_KEY) << f.period;
            EXPECT_EQ(f.ts, 0u) << "times count from the period's start";
        }
    }
    EXPECT_EQ(seen, periods_);
}

TEST_F(Playback, ANextRecordingThatCannotBeOpenedStillEndsWithStatusFour)
{
    record(kT0, 4);
    record(kT0 + 100, 4);
    record_index_record_t next{};
    ASSERT_EQ(record_find_record_info(0, kT0 + 100, &next, 0), 1);
    ASSERT_EQ(truncate(card(next.name).c_str(), 0), 0) << "overwritten under the playback";
    ko_playback_t *h = start(kT0, kT0 + 3600);
    ASSERT_NE(h, nullptr);
    set_speed(h, 16);
    ASSERT_TRUE(sink_.wait([&] { return sink_.statuses.size() >= 3; }, 30s));
    EXPECT_EQ(ko_playback_stop(h), 0);
    std::lock_guard<std::mutex> guard(sink_.lock);
    EXPECT_EQ(sink_.statuses, (std::vector<int>{KO_PLAYBACK_STARTED, KO_PLAYBACK_FAILED, KO_PLAYBACK_END}));
}

TEST_F(Playback, ARequestEndingWithinTheFileEndsAtItsEnd)
{
    record(kT0, 62);
    ko_playback_t *h = start(kT0, kT0 + 30);
    ASSERT_NE(h, nullptr);
    set_speed(h, 16);
    ASSERT_TRUE(sink_.wait([&] { return sink_.statuses.size() >= 2; }, 30s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ko_playback_stop(h), 0) << "after the video thread ended by itself";
    std::lock_guard<std::mutex> guard(sink_.lock);
    EXPECT_EQ(sink_.statuses, (std::vector<int>{KO_PLAYBACK_STARTED, KO_PLAYBACK_END}));
    for (const Frame &f : sink_.video)
        EXPECT_EQ(f.period, kT0);
}

TEST_F(Playback, PauseDeliversNothingAndARefusedFrameComesAgain)
{
    record(kT0, 62);
    sink_.refuse = 2;
    ko_playback_t *h = start(kT0, kT0 + 3600);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(sink_.wait([&] { return sink_.video.size() >= 6; }));
    EXPECT_EQ(ko_playback_pause(h), 0);
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    size_t video, audio;
    {
        std::lock_guard<std::mutex> guard(sink_.lock);
        video = sink_.video.size();
        audio = sink_.audio.size();
    }
    std::this_thread::sleep_for(zeltest::scaled(700ms));
    {
        std::lock_guard<std::mutex> guard(sink_.lock);
        EXPECT_EQ(sink_.video.size(), video);
        EXPECT_EQ(sink_.audio.size(), audio);
    }
    EXPECT_EQ(ko_playback_resume(h), 0);
    ASSERT_TRUE(sink_.wait([&] { return sink_.video.size() >= video + 5; }));
    EXPECT_EQ(ko_playback_stop(h), 0);
    EXPECT_EQ(ko_playback_pause(nullptr), -1);
    EXPECT_EQ(ko_playback_resume(nullptr), -1);
    std::lock_guard<std::mutex> guard(sink_.lock);
    const auto &v = sink_.video;
    EXPECT_EQ(v[0].sample, v[2].sample) << "the refused frame is offered again";
    EXPECT_EQ(v[1].sample, v[2].sample);
    EXPECT_EQ(v[2].kind, FMP4_FRAME_KEY);
    EXPECT_EQ(v[3].sample, v[2].sample + 1);
}

TEST_F(Playback, StopAtAnyMomentJoinsBothThreads)
{
    record(kT0, 62);
    for (int i = 0; i < 12; i++) {
        ko_playback_t *h = start(kT0 + (i % 2 ? 60 : 0), kT0 + 3600);
        ASSERT_NE(h, nullptr);
        if (i % 3 == 0) {
            ASSERT_EQ(ko_playback_speed_ctrl(h, 16), 0);
        }
        if (i % 4 == 1)
            ko_playback_pause(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 23 % 170));
        EXPECT_EQ(ko_playback_stop(h), 0);
    }
    EXPECT_EQ(ko_playback_stop(nullptr), -1);
}

ko_playback_t *g_running = nullptr;

TEST_F(Playback, TheCardGoingEndsThePlaybackThroughTheReleaseFunction)
{
    record(kT0, 62);
    ASSERT_EQ(ko_message_init(nullptr), 0);
    ASSERT_EQ(ko_playback_init([] {
                  ko_playback_stop(g_running);
                  g_running = nullptr;
              }),
              0);
    g_running = start(kT0, kT0 + 3600);
    ASSERT_NE(g_running, nullptr);
    ASSERT_TRUE(sink_.wait([&] { return sink_.video.size() >= 3; }));
    EXPECT_EQ(sd_uninit(), 0);
    EXPECT_EQ(g_running, nullptr) << "the pool released the playback";
    const size_t seen = sink_.video_count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink_.video_count(), seen);
    {
        std::lock_guard<std::mutex> guard(sink_.lock);
        EXPECT_EQ(sink_.statuses, std::vector<int>{KO_PLAYBACK_STARTED}) << "a stop is not reported as the end";
    }
    EXPECT_EQ(ko_playback_deinit(), 0);
    ko_message_deinit();
}

TEST_F(Playback, AStartWithoutARecordingFailsWithStatusOne)
{
    record(kT0, 62);
    EXPECT_EQ(start(kT0 + 1, kT0 + 3600), nullptr) << "no period starts there";
    EXPECT_EQ(start(kT0, kT0 + 3600, 101), nullptr) << "an offset past the reader's limit";
    std::lock_guard<std::mutex> guard(sink_.lock);
    EXPECT_EQ(sink_.statuses, (std::vector<int>{KO_PLAYBACK_FAILED, KO_PLAYBACK_FAILED}));
    EXPECT_TRUE(sink_.video.empty());
}

} // namespace
