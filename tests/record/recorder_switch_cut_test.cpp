// Power cuts while the recorder switches files on a full pool. The card is prepared once: the oldest
// recording holds one period with its picture and event, every other pool file but one is a closed
// recording after it, and the last one, left open as a stopped recorder leaves it, is filled by the
// writer until a few GOPs of room are left. The run resumes that file, fills it, closes it, takes the
// oldest recording back (its records deleted first) and closes a period in it; the sweep cuts the power
// at the seam positions of that run (recorder_power_cut.h).
#include "recorder_power_cut.h"

using namespace rectest;

namespace {

struct PoolName {
    std::string number;
    sd_file_info_t info{};
};

class RecorderSwitchCut : public RecorderPowerCut {
protected:
    static PoolName parse(const std::string &name)
    {
        PoolName p;
        p.number = number_of(name);
        sd::parse_name(name.c_str(), &p.info);
        return p;
    }

    void SetUp() override
    {
        RecorderPowerCut::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const ChildRun prepared = run_child(0, 0, 0, [this] { fill_pool(); });
        ASSERT_EQ(prepared.code, 0);
        save_card();
        // The oldest closed recording and the open one.
        uint64_t oldest_end = SD_TIME_OPEN;
        for (const std::string &name : saved_files_) {
            const PoolName p = parse(name);
            if (p.info.end == SD_TIME_OPEN) {
                open_ = p.number;
                Json w = walk(card_path(name));
                json_object *entries = zeltest::member(w.get(), "index");
                ASSERT_TRUE(entries && json_object_array_length(entries) > 0) << name;
                open_first_ = static_cast<uint64_t>(json_int(json_object_array_get_idx(entries, 0), "start"));
            } else if (p.info.end < oldest_end) {
                oldest_end = p.info.end;
                oldest_ = p.number;
            }
        }
        ASSERT_FALSE(open_.empty());
        ASSERT_FALSE(oldest_.empty());
        reused_number_ = oldest_;
        // The run writes the open file and the oldest recording only.
        for (const std::string &name : saved_files_)
            unwritten_.insert(number_of(name));
        unwritten_.erase(open_);
        unwritten_.erase(oldest_);
    }

    void fill_pool()
    {
        create();
        play(10);
        trigger_event(3);
        play(60);
        ASSERT_EQ(ko_local_storage_destroy(0), 0);
        Json index = video_index();
        const auto records = live(index.get());
        ASSERT_FALSE(records.empty());
        const uint64_t first = static_cast<uint64_t>(json_int(records.front(), "time"));
        uint64_t end = static_cast<uint64_t>(json_int(records.back(), "time") + json_int(records.back(), "duration"));
        // The stopped recorder's file, closed as a full one is.
        int cover = -1;
        sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(cover, 0);
        ASSERT_EQ(sd_set_file_status(f->path, SD_KIND_VIDEO, 0, first, end), 0);
        // Closed recordings after it in every free file but one.
        while (card_files("zreserved_").size() > 1) {
            f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(cover, 1);
            end += 10;
            ASSERT_EQ(sd_set_file_status(f->path, SD_KIND_VIDEO, 0, end - 5, end), 0);
        }
        // The last one filled until the recorder's writer has a few GOPs of room left: the feeder
        // writes at a higher bit rate, whose larger GOP margin the recorder's does not need.
        f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(cover, 1);
        const std::string name = f->path;
        fmp4_muxer_config_t cfg = muxer_config(card_path(name), true, FMP4_CODEC_OPUS);
        ASSERT_GT(cfg.video_bitrate, static_cast<int>(bitrate_kbps_));
        fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
        ASSERT_NE(m, nullptr);
        FeedPlan plan;
        plan.frames = 1 << 20;
        plan.start_s = end + 60;
        const FeedResult fed = feed(m, video_, audio_, plan);
        ASSERT_EQ(fmp4_muxer_finish(m), 0);
        ASSERT_EQ(fed.errors, 0);
        ASSERT_EQ(fed.full, 1);
        // Its periods listed as the recorder lists them.
        Json w = walk(card_path(name));
        json_object *entries = zeltest::member(w.get(), "index");
        ASSERT_NE(entries, nullptr);
        for (size_t i = 0; i < json_object_array_length(entries); i++) {
            json_object *e = json_object_array_get_idx(entries, i);
            if (json_int(e, "length") == 0)
                continue;
            const record_index_entry_t r{static_cast<uint32_t>(json_int(e, "start")),
                                         static_cast<uint8_t>(json_int(e, "duration")), 0, 0, 0};
            ASSERT_EQ(record_add_index(0, &r, name.c_str()), 0);
        }
        // The clock goes on after the fed video; the renames end with the recorder.
        const uint64_t fed_until_us = fed.next_ts_us + 5000000;
        clock_.advance_wall_to(fed_until_us);
        ko_local_storage_deinit_v2();
    }

    // The open file filled up, the oldest recording taken back, and a period closed in it.
    void scenario_switch()
    {
        create();
        play_watching(32);
        trigger_event(1);
        play_watching(62);
    }

    std::string open_, oldest_;
    uint64_t open_first_ = 0;
};

TEST_F(RecorderSwitchCut, ANearlyFullPoolThroughTheSwitchTheReuseAndAPeriodClose)
{
    sweep([this] { scenario_switch(); },
          [this](const ChildRun &dry) {
              ASSERT_EQ(dry.commits.size(), 2u);
              EXPECT_EQ(number_of(dry.commits[0].file), open_) << "the resumed file's last period";
              EXPECT_EQ(number_of(dry.commits[1].file), oldest_) << "the oldest recording taken back";
              for (const Commit &c : dry.commits) {
                  EXPECT_GT(c.frames, 0u);
                  EXPECT_TRUE(c.picture) << "period " << c.start;
              }
              EXPECT_FALSE(dry.commits[1].events.empty());
              // The full file keeps the start of its first period in its name.
              for (const std::string &name : card_files("video_")) {
                  const PoolName p = parse(name);
                  if (p.number == open_) {
                      EXPECT_EQ(p.info.start, open_first_) << name;
                      EXPECT_NE(p.info.end, SD_TIME_OPEN) << name;
                  }
              }
          },
          4, 3, 24); // the switch follows the first commit
}

} // namespace
