// The SD file pool on a directory of the temporary root, sized by the porting-hooks double as a card
// of a few GiB. Pool files made by the tests are sparse (their length is what the pool checks), so a
// test costs no real card space unless the pool itself creates files.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>

#include "app/record/ko_local_storage_test.h"
#include "app/record/sd_index_ops.h"
#include "app/record/sd_pool.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "record_media.h"
#include "ko_porting_hooks_double.h"
#include "zel_test_support.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr uint64_t kIndexSize = 64 * 1024;

// The index calls the pool made, in order.
std::mutex g_calls_lock;
std::vector<std::string> g_calls;
int g_fail_record_delete = 0;

void note(const std::string &call)
{
    std::lock_guard<std::mutex> lock(g_calls_lock);
    g_calls.push_back(call);
}

std::vector<std::string> calls()
{
    std::lock_guard<std::mutex> lock(g_calls_lock);
    return g_calls;
}

const sd_index_ops_t kRecordingOps = {
    [](int, uint32_t) -> uint64_t { return kIndexSize; },
    [](int kind, const char *) { return note("clear " + std::to_string(kind)), 0; },
    [](int cameras) { return note("record_init " + std::to_string(cameras)), 0; },
    [] { return note("record_deinit"), 0; },
    [](int) { return 0; },
    [] { return 0; },
    [](int) { return 0; },
    [] { return 0; },
    [](int, const char *) { return 0; },
    [](int, const char *) { return 0; },
    [](int channel, FILE *, const sd_file_info_t *f) {
        return note("record_reset " + std::to_string(channel) + " " + f->path), 0;
    },
    [](int channel, FILE *, const sd_file_info_t *f) {
        return note("pic_reset " + std::to_string(channel) + " " + f->path), 0;
    },
    [](int channel, uint64_t end) {
        note("record_del " + std::to_string(channel) + " " + std::to_string(end));
        return g_fail_record_delete;
    },
    [](int channel, uint32_t end) { return note("pic_del " + std::to_string(channel) + " " + std::to_string(end)), 0; },
    [](int channel, uint64_t end) {
        return note("event_del " + std::to_string(channel) + " " + std::to_string(end)), 0;
    },
    [](int, const char *from, const char *to) { return note(std::string("record_rename ") + from + " " + to), 0; },
    [](int, const char *from, const char *to) { return note(std::string("pic_rename ") + from + " " + to), 0; },
    [](int, const char *from, const char *to) { return note(std::string("yvideo_rename ") + from + " " + to), 0; },
    nullptr,
};

std::vector<int> g_status;
void status_cb(int code) { g_status.push_back(code); }

std::string local_text(uint64_t seconds)
{
    std::string out;
    zeltest::run_command("'" ZEL_PYTHON "' -c 'import time; print(time.strftime(\"%Y%m%d%H%M%S\", time.localtime(" +
                             std::to_string(static_cast<int64_t>(seconds)) + ")))'",
                         &out);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

std::string name(const char *kind, int number, int channel, int priority, uint64_t start, uint64_t end,
                 const char *ext)
{
    char buf[160];
    snprintf(buf, sizeof buf, "%s_%04d_%d_%d_%s_%s%s", kind, number, channel, priority, local_text(start).c_str(),
             end == SD_TIME_OPEN ? local_text(static_cast<uint64_t>(-1)).c_str() : local_text(end).c_str(), ext);
    return buf;
}

class SdPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        zeltest::porting_hooks_reset();
        zeltest::PortingHooksScript script;
        script.card_size = 4 * kGiB;
        // Sparse test files take no space: the card's other use makes the used bytes cover their
        // lengths and keeps the free space below one data file, so the creation thread adds none.
        script.card_other_used = 4 * kGiB - 64 * kMiB;
        zeltest::porting_hooks_script(script);
        sd_set_index_ops(&kRecordingOps);
        std::lock_guard<std::mutex> lock(g_calls_lock);
        g_calls.clear();
        g_status.clear();
        g_fail_record_delete = 0;
    }
    void TearDown() override
    {
        sd_uninit();
        sd_set_index_ops(nullptr);
    }

    std::string card(const std::string &file = "") const { return root_.path("/mnt/sdcard") + (file.empty() ? "" : "/" + file); }
    void sparse(const std::string &file, uint64_t size = 134217728) const
    {
        ASSERT_EQ(truncate(card(file).c_str(), 0) == 0 || true, true);
        std::ofstream(card(file)).close();
        ASSERT_EQ(truncate(card(file).c_str(), static_cast<off_t>(size)), 0);
    }
    std::set<std::string> files() const
    {
        std::set<std::string> out;
        DIR *d = opendir(card().c_str());
        while (struct dirent *e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.')
                out.insert(e->d_name);
        if (d)
            closedir(d);
        return out;
    }
    int init() { return sd_init("/mnt/sdcard", 1, 0, 0, 0, status_cb); }

    zeltest::TempRoot root_;
};

TEST_F(SdPool, AFormatIsNeededBelowFivePoolNames)
{
    EXPECT_EQ(sd_need_format("/mnt/sdcard"), 1) << "empty card";
    for (int i = 0; i < 4; i++)
        sparse(name("zreserved", i, 9999, 0, 0, 0, ".bin"), 10);
    sparse("holiday.jpg", 10);
    mkdir(card("zreserved_0009_9999_0_19700101000000_19700101000000.bin").c_str(), 0755); // not a file
    EXPECT_EQ(sd_need_format("/mnt/sdcard"), 1);
    sparse(name("video", 7, 0, 10, 1700000000, 1700000060, ".mp4"), 10);
    EXPECT_EQ(sd_need_format("/mnt/sdcard"), 0);
    EXPECT_EQ(sd_need_format("/mnt/nowhere"), SD_ERR_FORMAT_CHECK);
}

TEST_F(SdPool, InitFillsAnEmptyCardWithNamedFilesAndTheReadme)
{
    zeltest::PortingHooksScript script;
    script.card_size = 4 * kGiB; // real free space: the pool creates its files
    script.card_other_used = 0;
    zeltest::porting_hooks_script(script);
    // Three data files: the sync pair and one by the creation thread (reserved bytes stop it there).
    ASSERT_EQ(sd_init("/mnt/sdcard", 1, 4 * kGiB - 4 * 128 * kMiB, 0, 0, status_cb), 0);
    const std::string t0 = local_text(0);
    ASSERT_TRUE(zeltest::wait_until([&] { return files().count("zreserved_0002_9999_0_" + t0 + "_" + t0 + ".bin"); },
                                    std::chrono::seconds(10)));
    const auto names = files();
    EXPECT_TRUE(names.count("zreserved_0000_9999_0_" + t0 + "_" + t0 + ".bin"));
    EXPECT_TRUE(names.count("zreserved_0001_9999_0_" + t0 + "_" + t0 + ".bin"));
    for (const char *kind : {"videoi", "pici", "event"})
        EXPECT_TRUE(names.count(std::string(kind) + "_0001_9999_100_" + t0 + "_" + t0 + ".index")) << kind;
    EXPECT_FALSE(names.count("yvideoi_0001_9999_100_" + t0 + "_" + t0 + ".index")) << "no custom video share";
    EXPECT_EQ(root_.read_file("/mnt/sdcard/readme.txt").size(), 178u);
    struct stat st;
    ASSERT_EQ(stat(card("zreserved_0000_9999_0_" + t0 + "_" + t0 + ".bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 134217728);
    EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, 134217728u) << "reserved, not sparse";
}

TEST_F(SdPool, PoolFilesOfAnotherLengthAreDeletedAndStrangeNamesLeftAlone)
{
    const std::string grown = name("video", 1, 0, 10, 1700000000, 1700000060, ".mp4");
    sparse(grown, 134217728 + 4096);
    sparse(name("zreserved", 2, 9999, 0, 0, 0, ".bin"));
    sparse(name("zreserved", 3, 9999, 0, 0, 0, ".bin"));
    const std::vector<std::string> strange = {
        "zreserved_0004_9999_0_1970010100_19700101000000.bin", // start too short
        "zreserved_0005_9999_0_19700101000000.bin",            // six tokens
        "zreserved_00x6_9999_0_19700101000000_19700101000000.bin",
        std::string(130, 'v') + ".mp4",
    };
    for (const auto &s : strange)
        sparse(s);
    ASSERT_EQ(init(), 0);
    const auto names = files();
    EXPECT_FALSE(names.count(grown));
    for (const auto &s : strange)
        EXPECT_TRUE(names.count(s)) << s;
}

TEST_F(SdPool, TheChannelsOpenFileIsResumedElseTheFirstFreeElseTheOldest)
{
    const std::string open_video = name("video", 5, 0, 10, 1700000000, SD_TIME_OPEN, ".mp4");
    sparse(name("zreserved", 1, 9999, 0, 0, 0, ".bin"));
    sparse(name("zreserved", 2, 9999, 0, 0, 0, ".bin"));
    sparse(open_video);
    ASSERT_EQ(init(), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cover, 0);
    EXPECT_EQ(std::string(f->path), open_video);
    EXPECT_EQ(f->end, SD_TIME_OPEN) << "the open mark reads back as all ones";

    // Another channel gets the first free file in pool (name) order, renamed for it.
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 1, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cover, 1);
    EXPECT_EQ(f->number, 1);
    EXPECT_EQ(f->channel, 1);
    EXPECT_EQ(f->priority, 10);
    EXPECT_TRUE(files().count(f->path));
    EXPECT_EQ(std::string(f->path).substr(0, 16), "video_0001_1_10_");
}

TEST_F(SdPool, WithoutFreeFilesTheEarliestEndIsOverwrittenFirstInPoolOrderOnTies)
{
    sparse(name("video", 1, 0, 10, 1700000000, 1700000900, ".mp4"));
    sparse(name("video", 2, 0, 10, 1700000000, 1700000600, ".mp4"));
    sparse(name("video", 3, 0, 10, 1700000000, 1700000600, ".mp4"));
    sparse(name("video", 4, 1, 10, 1700000000, SD_TIME_OPEN, ".mp4"));   // another channel's open file
    sparse(name("yvideo", 5, 0, 20, 1600000000, 1600000100, ".video"));  // custom video: not for video
    ASSERT_EQ(init(), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(cover, 1);
    EXPECT_EQ(f->number, 2);
    // Taking back a closed video file first deletes its channel's video, picture and event records
    // up to its end.
    const auto c = calls();
    const std::vector<std::string> expected = {"record_del 0 1700000600", "event_del 0 1700000600",
                                               "pic_del 0 1700000600"};
    for (const auto &e : expected)
        EXPECT_NE(std::find(c.begin(), c.end(), e), c.end()) << e;
    // Next: file 3 (tie with 2, later in the pool), then 1; the open and the custom file never.
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 5, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 3);
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 2, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 1);
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEO, 3, &cover), nullptr);
}

// The statistics' overwrite flag: raised by taking back a file over a closed recording, not by a free one.
TEST_F(SdPool, TakingBackAClosedRecordingRaisesTheOverwriteFlag)
{
    sparse(name("video", 1, 0, 10, 1700000000, 1700000600, ".mp4"));
    sparse(name("zreserved", 2, 9999, 0, 0, 0, ".bin"));
    ASSERT_EQ(init(), 0);
    auto overwrite_flag = [] {
        char stats[4096];
        if (ko_local_storage_statistics(stats, sizeof stats) != 0)
            return int64_t{-1};
        rectest::Json o(json_tokener_parse(stats), &json_object_put);
        return o ? rectest::json_int(o.get(), "loop_coverage") : int64_t{-1};
    };
    overwrite_flag();
    int cover = 0;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 2);
    EXPECT_EQ(overwrite_flag(), 0) << "a free file";
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 1, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 1);
    EXPECT_EQ(overwrite_flag(), 1);
}

TEST_F(SdPool, ABusyOrOpenFirstFileIsNeverTheOldestCandidate)
{
    // The first file in pool order is open on channel 1: before the fix it was the starting
    // candidate and was handed to channel 0 while still being written.
    sparse(name("video", 1, 1, 10, 1700000000, SD_TIME_OPEN, ".mp4"));
    sparse(name("video", 2, 0, 10, 1700000000, 1700000100, ".mp4"));
    sparse(name("video", 3, 0, 10, 1700000000, 1700000200, ".mp4"));
    ASSERT_EQ(init(), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 2);
}

TEST_F(SdPool, ReusingAPictureFilePrunesPicturesOnly)
{
    sparse(name("pic", 1, 0, 10, 1700000000, 1700000300, ".bin"));
    sparse(name("video", 2, 0, 10, 1700000000, 1700000400, ".mp4"));
    ASSERT_EQ(init(), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_PIC, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 1);
    const auto c = calls();
    EXPECT_NE(std::find(c.begin(), c.end(), "pic_del 0 1700000300"), c.end());
    for (const auto &call : c)
        EXPECT_TRUE(call.rfind("record_del", 0) != 0 && call.rfind("event_del", 0) != 0) << call;
}

TEST_F(SdPool, CustomVideoMayTakeVideoFilesButNeverTheReverse)
{
    sparse(name("yvideo", 1, 0, 20, 1600000000, 1600000100, ".video"));
    sparse(name("video", 2, 0, 10, 1700000000, 1700000400, ".mp4"));
    sparse(name("video", 3, 0, 10, 1700000000, 1700000500, ".mp4"));
    ASSERT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 2 * 134217728ull, status_cb), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_YVIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 1) << "the oldest of both";
    f = sd_get_path_and_set_channel(SD_KIND_YVIDEO, 1, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 2);
    EXPECT_EQ(std::string(f->ext), ".video");
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_YVIDEO, 2, &cover), nullptr) << "the custom share is used up";
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 3);
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEO, 1, &cover), nullptr) << "custom files are not for video";
}

TEST_F(SdPool, AFailedPruneIsReportedAndTheFileNotTaken)
{
    sparse(name("video", 1, 0, 10, 1700000000, 1700000300, ".mp4"));
    sparse(name("video", 2, 0, 10, 1700000000, 1700000400, ".mp4"));
    ASSERT_EQ(init(), 0);
    g_fail_record_delete = SD_ERR_WRITE;
    int cover = -1;
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover), nullptr);
    EXPECT_NE(std::find(g_status.begin(), g_status.end(), SD_ERR_WRITE), g_status.end());
    EXPECT_TRUE(files().count(name("video", 1, 0, 10, 1700000000, 1700000300, ".mp4")));
}

TEST_F(SdPool, ClosingAFileRenamesItWithItsTimesAndUninitWaitsForTheRename)
{
    sparse(name("zreserved", 1, 9999, 0, 0, 0, ".bin"));
    sparse(name("zreserved", 2, 9999, 0, 0, 0, ".bin"));
    ASSERT_EQ(init(), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    const std::string open_name = f->path;
    EXPECT_EQ(sd_set_file_status(open_name.c_str(), SD_KIND_VIDEOI, 0, 1, 2), -1);
    EXPECT_EQ(sd_set_file_status("video_0042_0_10_x.mp4", SD_KIND_VIDEO, 0, 1, 2), -2);
    // An end after 2038 keeps its value: such a file must be reused in its turn, not look open.
    const uint64_t start = 2200000000ull, end = 4102444800ull; // 2039-09 .. 2100-01-01
    ASSERT_EQ(sd_set_file_status(open_name.c_str(), SD_KIND_VIDEO, 0, start, end), 0);
    ASSERT_EQ(sd_uninit(), 0);
    const std::string closed = name("video", 1, 0, 10, start, end, ".mp4");
    EXPECT_TRUE(files().count(closed)) << "renamed before uninit returned";
    const auto c = calls();
    EXPECT_NE(std::find(c.begin(), c.end(), "record_rename " + open_name + " " + closed), c.end());

    ASSERT_EQ(init(), 0);
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 2) << "the free file first";
    f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 1, &cover);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->number, 1) << "the file ending in 2100 is reused";
}

TEST_F(SdPool, IndexFilesAreBoundToTheirChannel)
{
    sparse(name("zreserved", 1, 9999, 0, 0, 0, ".bin"));
    sparse(name("zreserved", 2, 9999, 0, 0, 0, ".bin"));
    ASSERT_EQ(sd_init("/mnt/sdcard", 2, 0, 0, 0, status_cb), 0);
    int values[2] = {-5, -5};
    EXPECT_EQ(sd_get_exist_channel(SD_KIND_VIDEOI, values, 2), -1) << "none bound yet";
    EXPECT_EQ(sd_get_exist_channel(SD_KIND_VIDEO, values, 2), -2);
    EXPECT_EQ(sd_get_exist_channel(SD_KIND_VIDEOI, values, 1), -1);
    sd_file_info_t *a = sd_get_path_and_set_channel(SD_KIND_VIDEOI, 3, nullptr);
    sd_file_info_t *b = sd_get_path_and_set_channel(SD_KIND_VIDEOI, 5, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEOI, 3, nullptr), a);
    EXPECT_EQ(sd_get_path_and_set_channel(SD_KIND_VIDEOI, 7, nullptr), nullptr);
    ASSERT_EQ(sd_get_exist_channel(SD_KIND_VIDEOI, values, 2), 0);
    EXPECT_EQ(values[0], 3);
    EXPECT_EQ(values[1], 5);
    EXPECT_EQ(a->start, a->end);
    EXPECT_TRUE(files().count(a->path));
}

TEST_F(SdPool, BadArgumentsAndATooSmallCardAreRefused)
{
    EXPECT_EQ(sd_init("/mnt/sdcard", 3, 0, 0, 0, status_cb), SD_ERR_ARG);
    EXPECT_EQ(sd_init(nullptr, 1, 0, 0, 0, status_cb), SD_ERR_NO_PATH);
    EXPECT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 0, nullptr), SD_ERR_ARG);
    EXPECT_EQ(sd_init("/mnt/sdcard/none", 1, 0, 0, 0, status_cb), SD_ERR_PATH_ABSENT);
    EXPECT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, 3 * kGiB, status_cb), SD_ERR_ARG) << "custom share over half";
    zeltest::PortingHooksScript script;
    script.card_size = 700 * kMiB;
    zeltest::porting_hooks_script(script);
    EXPECT_EQ(init(), SD_ERR_ARG) << "fewer than six data files fit";
    script.capacity_result = -1;
    zeltest::porting_hooks_script(script);
    EXPECT_EQ(init(), SD_ERR_CAPACITY);
    char path[1024];
    EXPECT_EQ(sd_get_path(std::string(1100, 'x').c_str(), path), -1);
}

TEST_F(SdPool, TheDeletionThreadBlanksQueuedPeriodsAlsoInAFileClosedSince)
{
    const std::string video = name("video", 1, 0, 10, 1700000000, 1700000130, ".mp4");
    sparse(video);
    sparse(name("zreserved", 2, 9999, 0, 0, 0, ".bin"));
    // A recording of three periods in the pool file.
    {
        const rectest::Stream s = rectest::load_stream(rectest::board_media("sub_864x480.h265"));
        fmp4_muxer_config_t cfg = rectest::muxer_config(card(video), true, FMP4_CODEC_OPUS);
        fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
        ASSERT_NE(m, nullptr);
        rectest::FeedPlan plan;
        plan.frames = 20 * 125;
        rectest::feed(m, s, rectest::audio_frames(FMP4_CODEC_OPUS, 50), plan);
        ASSERT_EQ(fmp4_muxer_finish(m), 0);
    }
    fmp4_demuxer_t *d = fmp4_demuxer_open(card(video).c_str());
    ASSERT_NE(d, nullptr);
    const fmp4_index_entry_t *entries = nullptr;
    uint32_t bytes = 0;
    fmp4_demuxer_read_fileinfo(d, &entries, &bytes);
    ASSERT_EQ(bytes, 3u * FMP4_INDEX_ENTRY_SIZE);
    fmp4_index_entry_t first = entries[0], second = entries[1];
    fmp4_demuxer_close(d);
    first.flags = second.flags = FMP4_INDEX_DELETED;
    ASSERT_EQ(init(), 0);
    // Queued under the name the file had while it was written: it is the same pool file.
    ASSERT_EQ(
        sd_delete_video_queue_push(card(name("video", 1, 0, 10, 1700000000, SD_TIME_OPEN, ".mp4")).c_str(), &second),
        0);
    ASSERT_EQ(sd_delete_video_queue_push(card(video).c_str(), &first), 0);
    auto deleted = [&](int i) {
        fmp4_demuxer_t *h = fmp4_demuxer_open(card(video).c_str());
        const fmp4_index_entry_t *e = nullptr;
        uint32_t n = 0;
        fmp4_demuxer_read_fileinfo(h, &e, &n);
        const bool gone = h && n > static_cast<uint32_t>(i) * FMP4_INDEX_ENTRY_SIZE && (e[i].flags & FMP4_INDEX_DELETED);
        fmp4_demuxer_close(h);
        return gone;
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return deleted(0) && deleted(1); }, std::chrono::seconds(10)));
}

TEST_F(SdPool, MakerNames)
{
    EXPECT_STREQ(sd_get_maker_name(3), "SanDisk");
    EXPECT_STREQ(sd_get_maker_name(39), "Kingston|Phison");
    EXPECT_STREQ(sd_get_maker_name(223), "YouLin");
    EXPECT_STREQ(sd_get_maker_name(4), "Unknown");
}

} // namespace
