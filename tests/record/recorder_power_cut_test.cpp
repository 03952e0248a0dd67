// Power cuts, failing card operations and kill -9 while the recorder works on a fresh file: sweeps of
// the seam positions of a file through two period closes and kills at random moments
// (recorder_power_cut.h). ZELMAR_RECORD_FULL_SWEEP=1 also kills at 20 moments.
#include "recorder_power_cut.h"

using namespace rectest;

namespace {

TEST_F(RecorderPowerCut, TheCutLosesWhatWasNotSynced)
{
    const std::string synced = card_path("synced"), unsynced = card_path("unsynced");
    for (const std::string &path : {synced, unsynced}) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "kept", 4), 4);
        if (path == synced) {
            ASSERT_EQ(fsync(fd), 0);
        }
        close(fd);
    }
    ASSERT_TRUE(card_->power_cut());
    struct stat st{};
    ASSERT_EQ(stat(synced.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_TRUE(stat(unsynced.c_str(), &st) != 0 || st.st_size == 0) << "an unsynced file came back whole";
}

TEST_F(RecorderPowerCut, AFreshFileThroughTwoPeriodCloses)
{
    sweep([this] { scenario_fresh_file(); },
          [](const ChildRun &dry) {
              ASSERT_EQ(dry.commits.size(), 2u);
              for (const Commit &c : dry.commits) {
                  EXPECT_GT(c.frames, 0u);
                  EXPECT_FALSE(c.events.empty()) << "period " << c.start;
              }
              EXPECT_TRUE(dry.commits[0].picture) << "the file's first period has its picture";
          });
}

// A recorder restarted with its clock behind the newest listed period still lists the next one after
// it, so that every period stays reachable by its start.
TEST_F(RecorderPowerCut, ARestartWithTheClockBehindListsTheNextPeriodAfterTheNewest)
{
    const ChildRun first = run_child(0, 0, 0, [this] {
        clock_.advance_to(RecorderClock::tick_us() + 300ull * 1000000);
        scenario_restart();
    });
    ASSERT_EQ(first.code, 0);
    ASSERT_EQ(first.commits.size(), 1u);
    advance_s_ = 0;
    child_tick_us_ = 0; // the next child's clock starts about five minutes behind the first one's
    const ChildRun second = run_child(0, 0, 0, [this] { scenario_restart(); });
    ASSERT_EQ(second.code, 0) << "every listed period is found by its start";
    ASSERT_EQ(second.commits.size(), 1u);
    EXPECT_GT(second.commits[0].start, first.commits[0].start);
    check_card({first.commits[0], second.commits[0]}, 0, 0);
}

} // namespace

namespace {

// The phone deletes the newest period while its file is still being written, and the recorder stops
// before the next period closes: the restarted recorder resumes the file without listing the period
// again, and its footage is gone from the card (blanked, or written over by what came after it).
TEST_F(RecorderPowerCut, APeriodDeletedInTheOpenFileStaysDeletedAfterARestart)
{
    const ChildRun first = run_child(0, 0, 0, [this] {
        create();
        play_watching(130);
        ASSERT_FALSE(reported_.empty());
        const uint32_t newest = *reported_.rbegin();
        ASSERT_EQ(record_del_index(0, &newest, 1), 0);
    });
    ASSERT_EQ(first.code, 0);
    ASSERT_EQ(first.commits.size(), 2u);
    const Commit deleted = first.commits[1];
    const ChildRun second = run_child(0, 0, 0, [this] { scenario_restart(); });
    ASSERT_EQ(second.code, 0);
    ASSERT_EQ(second.commits.size(), 1u);
    check_card({first.commits[0], second.commits[0]}, 0, 0);

    ASSERT_EQ(sd_init("/mnt/sdcard", 1, 256ull << 20, 4ull << 30, 0, [](int) {}), 0);
    Json index = video_index();
    for (json_object *r : live(index.get()))
        EXPECT_NE(json_int(r, "time"), deleted.start) << "listed again";
    sd_uninit();
    Json file = walk(card_path(deleted.file));
    ASSERT_TRUE(file) << deleted.file << " was resumed, not renamed";
    json_object *e = entry_at(file.get(), deleted.start);
    if (e) {
        EXPECT_EQ(json_int(e, "flags"), 1);
        EXPECT_TRUE(blanked(file.get(), e)) << "one zero-filled box in place of its fragments";
    }
}

// The phone deletes a period of a recording just closed, whose rename may still be running, and the
// power goes: the card started again, with its video index as it is or rebuilt from the recordings,
// never lists the period, and its footage is blanked.
TEST_F(RecorderPowerCut, APeriodDeletedInAClosedFileStaysDeletedAfterAPowerCut)
{
    const ChildRun first = run_child(0, 0, 0, [this] {
        create();
        play_watching(130);
        ASSERT_EQ(reported_.size(), 2u);
        const uint32_t oldest = *reported_.begin();
        record_index_record_t r{};
        ASSERT_EQ(record_find_record_info(0, oldest, &r, 0), 1);
        ASSERT_EQ(ko_local_storage_destroy(0), 0);
        ASSERT_EQ(sd_set_file_status(r.name, SD_KIND_VIDEO, 0, oldest, RecorderClock::wall_us() / 1000000), 0);
        ASSERT_EQ(record_del_index(0, &oldest, 1), 0);
    });
    ASSERT_EQ(first.code, 0);
    ASSERT_EQ(first.commits.size(), 2u);
    ASSERT_TRUE(card_->power_cut());
    const Commit deleted = first.commits[0];
    for (const bool rebuilt : {false, true}) {
        SCOPED_TRACE(rebuilt ? "index rebuilt" : "index kept");
        if (rebuilt) {
            ASSERT_EQ(unlink(card_path(card_files("videoi_").at(0)).c_str()), 0);
        }
        ASSERT_EQ(sd_init("/mnt/sdcard", 1, 256ull << 20, 4ull << 30, 0, [](int) {}), 0);
        Json index = video_index();
        EXPECT_FALSE(live(index.get()).empty());
        for (json_object *r : live(index.get()))
            EXPECT_NE(json_int(r, "time"), deleted.start) << "listed again";
        sd_uninit();
    }
    std::string name;
    for (const std::string &f : card_files("video_"))
        if (number_of(f) == number_of(deleted.file))
            name = f;
    Json file = walk(card_path(name));
    ASSERT_TRUE(file) << name;
    json_object *e = entry_at(file.get(), deleted.start);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(json_int(e, "flags"), 1);
    EXPECT_TRUE(blanked(file.get(), e)) << "one zero-filled box in place of its fragments";

    const ChildRun second = run_child(0, 0, 0, [this] { scenario_restart(); });
    ASSERT_EQ(second.code, 0);
    ASSERT_EQ(second.commits.size(), 1u);
    check_card({first.commits[1], second.commits[0]}, 0, 0);
}

TEST_F(RecorderPowerCut, FailedCardOperationsAreReportedAndLoseNoCommit)
{
    error_sweep([this] { scenario_fresh_file(); }, 2);
}

} // namespace

namespace {

// kill -9 of a recorder running on its own thread at random moments of its first 70 s of video (the
// first period closes at about 60 s): whatever the moment, the card holds what a phone expects.
TEST_F(RecorderPowerCut, AKilledRecorderLosesNoCommit)
{
    const int moments = full_sweep() ? 20 : zeltest::emulator().empty() ? 4 : 2;
    const unsigned seed = static_cast<unsigned>(time(nullptr));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> kill_ms(500, 44000);
    int committed = 0;
    for (int i = 0; i < moments; i++) {
        const int at = kill_ms(rng);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill after " + std::to_string(at) + " ms");
        restore_card();
        if (HasFatalFailure())
            return;
        const uint64_t since = RecorderClock::wall_us() / 1000000;
        const ChildRun run = run_child(0, 0, 0, [this] { scenario_real_time(); }, at);
        ASSERT_EQ(run.code, 128 + SIGKILL);
        printf("killed after %d ms: %zu commits\n", at, run.commits.size());
        committed += run.commits.empty() ? 0 : 1;
        check_card(run.commits, static_cast<uint64_t>(i), since);
        if (HasFailure())
            return;
        if (i % 3 == 0) {
            const ChildRun again = run_child(0, 0, 0, [this] { scenario_restart(); });
            EXPECT_EQ(again.code, 0);
            EXPECT_GE(again.commits.size(), 1u) << "restart after the kill";
        }
    }
    printf("%d of %d kills came after a commit\n", committed, moments);
}

} // namespace
