// The pool and the writer on a real file system: a sparse ext4 image loop-mounted as the card, with
// the faults a camera meets (a full card, a card that turns read-only, a card pulled while recording).
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <functional>
#include <mutex>
#include <set>

#include "app/record/sd_pool.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "ko_porting_hooks_double.h"
#include "record_media.h"
#include "sdcard_watch.h"
#include "zel_test_card.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

constexpr uint64_t kCardSize = 1024ull * 1024 * 1024;

// The pool reports from its own threads as well as the caller's.
std::mutex g_status_lock;
std::vector<int> g_status;
void status_cb(int code)
{
    const std::lock_guard<std::mutex> hold(g_status_lock);
    g_status.push_back(code);
}
void statuses_clear()
{
    const std::lock_guard<std::mutex> hold(g_status_lock);
    g_status.clear();
}
std::vector<int> statuses()
{
    const std::lock_guard<std::mutex> hold(g_status_lock);
    return g_status;
}

class SdCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        zeltest::porting_hooks_reset(); // capacity from statfs of the mounted card
        statuses_clear();
        card_ = std::make_unique<zeltest::TestCard>(root_, kCardSize);
        if (!card_->ready())
            GTEST_SKIP() << card_->reason();
    }
    void TearDown() override { sd_uninit(); }

    std::set<std::string> pool_files() const
    {
        std::set<std::string> out;
        DIR *d = opendir(card_->mount_point().c_str());
        while (struct dirent *e = d ? readdir(d) : nullptr)
            if (strstr(e->d_name, ".bin") || strstr(e->d_name, ".mp4"))
                out.insert(e->d_name);
        if (d)
            closedir(d);
        return out;
    }

    // A recording on the card's first video file: the handle, its path in *path.
    fmp4_muxer_t *start_recording(std::string *path)
    {
        int cover = -1;
        sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
        if (!f)
            return nullptr;
        char full[1024];
        sd_get_path(f->path, full);
        *path = full;
        fmp4_muxer_config_t c = muxer_config(full, true, FMP4_CODEC_OPUS);
        return fmp4_muxer_init(&c, cover);
    }

    // Records 10 s on the card, lets `fault` strike, and records on through a period close (which
    // syncs): what the writer said after the fault.
    FeedResult record_through(const std::function<void()> &fault)
    {
        EXPECT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 0, status_cb), 0);
        std::string path;
        fmp4_muxer_t *m = start_recording(&path);
        EXPECT_NE(m, nullptr);
        if (!m)
            return {};
        const Stream video = load_stream(board_media("sub_864x480.h265"));
        const auto audio = audio_frames(FMP4_CODEC_OPUS, 100);
        FeedPlan plan;
        plan.frames = 20 * 10;
        EXPECT_EQ(feed(m, video, audio, plan).errors, 0);
        fault();
        plan.frames = 20 * 70;
        plan.start_s += 10;
        const FeedResult r = feed(m, video, audio, plan);
        fmp4_muxer_abort(m);
        return r;
    }

    zeltest::TempRoot root_;
    std::unique_ptr<zeltest::TestCard> card_;
};

TEST_F(SdCard, TheCardFillsWithReservedFilesNamedLikeStrftime)
{
    ASSERT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 0, status_cb), 0);
    // The creation thread stops once less than a data file is free.
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            uint64_t t, u, f;
            ko_storage_get_capacity(&t, &u, &f);
            return f < DATA_FILE_SIZE_BYTES;
        },
        std::chrono::seconds(60)));
    const auto files = pool_files();
    EXPECT_GE(files.size(), 6u);
    std::string t0;
    zeltest::run_command("'" ZEL_PYTHON "' -c 'import time; print(time.strftime(\"%Y%m%d%H%M%S\", "
                         "time.localtime(0)), end=\"\")'",
                         &t0);
    int number = 0;
    for (const auto &name : files) {
        char want[128];
        snprintf(want, sizeof want, "zreserved_%04d_9999_0_%s_%s.bin", number++, t0.c_str(), t0.c_str());
        EXPECT_EQ(name, want);
        std::string du;
        zeltest::run_command("du -B1 '" + card_->mount_point() + "/" + name + "' | cut -f1", &du);
        EXPECT_EQ(std::stoull(du), DATA_FILE_SIZE_BYTES) << name << " is reserved on the card";
    }
    EXPECT_EQ(sd_need_format("/mnt/sdcard"), 0);
}

TEST_F(SdCard, AFullCardGivesNoSpace)
{
    ASSERT_TRUE(card_->fill(16 * 1024 * 1024));
    EXPECT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 0, status_cb), SD_ERR_FULL);
}

TEST_F(SdCard, AReadOnlyCardGivesReadOnly)
{
    ASSERT_TRUE(card_->make_read_only());
    EXPECT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 0, status_cb), SD_ERR_READ_ONLY);
    bool mounted = false;
    EXPECT_EQ(sdcard_watch::card_status(&mounted), sdcard_watch::STATUS_READ_ONLY);
}

TEST_F(SdCard, ACardTurningReadOnlyWhileRecordingIsReported)
{
    const FeedResult r = record_through([this] { ASSERT_TRUE(card_->make_read_only()); });
    EXPECT_GT(r.errors, 0);
    EXPECT_EQ(r.first_error, SD_ERR_READ_ONLY);
    int cover = -1;
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEO, 1, &cover), nullptr);
    const std::vector<int> status = statuses();
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back(), SD_ERR_READ_ONLY) << "the rename of the next file fails read-only";
}

TEST_F(SdCard, ACardPulledWhileRecordingGivesAnIoError)
{
    const FeedResult r = record_through([this] {
        sd_uninit(); // the recorder stops the pool when the card goes
        ASSERT_TRUE(card_->remove());
    });
    EXPECT_GT(r.errors, 0);
    EXPECT_EQ(r.first_error, SD_ERR_READ_ONLY) << "EIO";
    bool mounted = true; // it was mounted at the last look
    EXPECT_EQ(sdcard_watch::card_status(&mounted), sdcard_watch::STATUS_ABSENT);
}

} // namespace
