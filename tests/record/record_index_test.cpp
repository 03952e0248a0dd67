// The video record index through the pool: adding, finding, listing in pieces, deleting, renaming,
// the start-up check and the rebuild, and a list whose receiver is slow or calls back in.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <future>
#include <thread>
#include <vector>

#include "app/record/event_index.h"
#include "app/record/pic_index.h"
#include "app/record/record_index.h"
#include "app/record/sd_index_log.h"
#include "app/record/sd_io_test.h"
#include "index_pool_fixture.h"
#include "record_media.h"

namespace {

constexpr uint32_t kT0 = 1700000000;

class RecordIndex : public rectest::IndexPool {
public:
    int add(uint32_t time, const char *file = "video_0001_0_10_a.mp4", uint8_t motion = 0, int channel = 0)
    {
        record_index_entry_t e{time, 60, motion, 7, 0};
        return record_add_index(channel, &e, file);
    }
protected:
    // `seconds` of the board's stream from kT0 in the card's file `name`, by the fragmented-MP4 writer.
    void write_recording(const std::string &name, int seconds)
    {
        const rectest::Stream video = rectest::load_stream(rectest::board_media("sub_864x480.h265"));
        const fmp4_muxer_config_t cfg = rectest::muxer_config(card(name), true, 1032);
        fmp4_muxer_t *m = fmp4_muxer_init(&cfg, 1);
        ASSERT_NE(m, nullptr);
        rectest::FeedPlan plan;
        plan.frames = 20 * seconds;
        plan.start_s = kT0;
        rectest::feed(m, video, rectest::audio_frames(1032, static_cast<size_t>(seconds) * 25 + 50), plan);
        ASSERT_EQ(fmp4_muxer_finish(m), 0);
    }
    struct Piece {
        uint32_t total, remaining;
        std::vector<uint8_t> bytes;
    };
    std::vector<Piece> list(uint32_t size, int channel = 0, int *rc = nullptr)
    {
        std::vector<Piece> pieces;
        const int r = record_get_index_all(
            channel,
            [](int, uint32_t total, uint32_t remaining, const uint8_t *buf, uint32_t len, void *user) {
                static_cast<std::vector<Piece> *>(user)->push_back({total, remaining, {buf, buf + len}});
                return 0;
            },
            size, &pieces);
        if (rc)
            *rc = r;
        return pieces;
    }
};

TEST_F(RecordIndex, RecordsAreFoundByTheirStartAndTheNextFlagSkipsDeletedOnes)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(record_index_init(1), 0);
    for (uint32_t i = 0; i < 5; i++)
        ASSERT_EQ(add(kT0 + i * 60, "video_0001_0_10_a.mp4", i % 2), 0);
    record_index_record_t r{};
    ASSERT_EQ(record_find_record_info(0, kT0 + 120, &r, 0), 1);
    EXPECT_EQ(r.time, kT0 + 120);
    EXPECT_EQ(r.seq, 3u);
    EXPECT_EQ(r.extra, 7);
    EXPECT_STREQ(r.name, "video_0001_0_10_a.mp4");
    EXPECT_EQ(record_find_record_info(0, kT0 + 121, &r, 0), 0) << "between two starts";
    EXPECT_EQ(record_find_record_info(0, kT0 + 240, &r, 1), 0) << "the newest has no next";

    const uint32_t gone[] = {kT0 + 180};
    EXPECT_EQ(record_del_index(0, gone, 1), 0) << "no recording file: nothing to blank";
    ASSERT_EQ(record_find_record_info(0, kT0 + 120, &r, 1), 1);
    EXPECT_EQ(r.time, kT0 + 240) << "the deleted record is passed over";
    EXPECT_EQ(record_find_record_info(0, kT0 + 180, &r, 0), 0);
    EXPECT_EQ(add(999999999), -1);
    EXPECT_EQ(record_find_record_info(0, kT0, nullptr, 0), 0);
}

TEST_F(RecordIndex, ATwentyByteBufferCarriesTheHeadWithOneEntryThenTwoEntriesAPiece)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(record_index_init(1), 0);
    int rc = 0;
    list(20, 0, &rc);
    EXPECT_EQ(rc, -6) << "nothing to list";
    for (uint32_t i = 0; i < 6; i++)
        ASSERT_EQ(add(kT0 + i * 60), 0);
    EXPECT_EQ(record_get_index_all(0, nullptr, 11, nullptr), -3);
    const auto pieces = list(20, 0, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0].bytes.size(), 20u);
    EXPECT_EQ(sd::get_u32(pieces[0].bytes.data()), 6u);
    EXPECT_EQ(sd::get_u32(pieces[0].bytes.data() + 4), 48u);
    uint32_t remaining = 60;
    std::vector<uint8_t> entries(pieces[0].bytes.begin() + 12, pieces[0].bytes.end());
    for (size_t i = 0; i < pieces.size(); i++) {
        EXPECT_EQ(pieces[i].total, 60u);
        if (i > 0) {
            EXPECT_EQ(pieces[i].bytes.size(), i < 3 ? 16u : 8u);
            entries.insert(entries.end(), pieces[i].bytes.begin(), pieces[i].bytes.end());
        }
        remaining -= static_cast<uint32_t>(pieces[i].bytes.size());
        EXPECT_EQ(pieces[i].remaining, remaining);
    }
    ASSERT_EQ(entries.size(), 48u);
    for (uint32_t i = 0; i < 6; i++) {
        EXPECT_EQ(sd::get_u32(&entries[i * 8]), kT0 + i * 60);
        EXPECT_EQ(entries[i * 8 + 4], 60);
    }
}

TEST_F(RecordIndex, AListReceiverThatWaitsForTheRecorderDoesNotStallIt)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(record_index_init(1), 0);
    ASSERT_EQ(add(kT0), 0);
    struct Ctx {
        RecordIndex *self;
        int added = 1;
    } ctx{this};
    const int rc = record_get_index_all(
        0,
        [](int, uint32_t, uint32_t, const uint8_t *, uint32_t, void *user) {
            auto *c = static_cast<Ctx *>(user);
            // The recorder closes a period on its own thread while the phone's list is in flight.
            auto done = std::async(std::launch::async, [c] { return c->self->add(kT0 + 60); });
            if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
                return c->added = -100;
            return c->added = done.get();
        },
        64, &ctx);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ctx.added, 0);
}

TEST_F(RecordIndex, ARestartContinuesAfterTheNewestRecord)
{
    sparse("video_0001_0_10_a.mp4"); // else the start-up check rebuilds the index
    ASSERT_EQ(init(), 0);
    for (uint32_t i = 0; i < 3; i++)
        ASSERT_EQ(add(kT0 + i * 60), 0);
    sd_uninit();
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(add(kT0 + 180), 0);
    record_index_record_t r{};
    ASSERT_EQ(record_find_record_info(0, kT0 + 180, &r, 0), 1);
    EXPECT_EQ(r.seq, 4u);
    ASSERT_EQ(record_del_index_before(0, kT0 + 60), 0);
    EXPECT_EQ(record_find_record_info(0, kT0, &r, 0), 0);
    EXPECT_EQ(record_find_record_info(0, kT0 + 60, &r, 0), 1);
}

TEST_F(RecordIndex, ARenameReachesEveryRecordOfTheFileFromTheNewestBackwards)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(add(kT0, "video_0001_0_10_old.mp4"), 0);
    ASSERT_EQ(add(kT0 + 60, "video_0002_0_10_open.mp4"), 0);
    ASSERT_EQ(add(kT0 + 120, "video_0002_0_10_open.mp4"), 0);
    ASSERT_EQ(record_change_file_name(0, "video_0002_0_10_open.mp4", "video_0002_0_10_closed.mp4"), 0);
    record_index_record_t r{};
    ASSERT_EQ(record_find_record_info(0, kT0 + 60, &r, 0), 1);
    EXPECT_STREQ(r.name, "video_0002_0_10_closed.mp4");
    ASSERT_EQ(record_find_record_info(0, kT0 + 120, &r, 0), 1);
    EXPECT_STREQ(r.name, "video_0002_0_10_closed.mp4");
    ASSERT_EQ(record_find_record_info(0, kT0, &r, 0), 1);
    EXPECT_STREQ(r.name, "video_0001_0_10_old.mp4");
    ASSERT_EQ(add(kT0 + 180), 0) << "the cursor is back where it was";
    ASSERT_EQ(record_find_record_info(0, kT0 + 180, &r, 0), 1);
    EXPECT_EQ(r.seq, 4u);
}

TEST_F(RecordIndex, AnIndexNeedsARebuildWithoutItsHeadOrWhenANamedFileIsGone)
{
    ASSERT_EQ(init(), 0);
    sparse("video_0001_0_10_a.mp4");
    ASSERT_EQ(add(kT0, "video_0001_0_10_a.mp4"), 0);
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEOI, 0, nullptr);
    ASSERT_NE(f, nullptr);
    const std::string name = f->path;
    EXPECT_EQ(record_index_need_reset(name.c_str()), 0);
    ASSERT_EQ(add(kT0 + 60, "video_0009_0_10_gone.mp4"), 0);
    EXPECT_EQ(record_index_need_reset(name.c_str()), 1);
    record_index_deinit();
    {
        std::fstream io(card(name), std::ios::in | std::ios::out | std::ios::binary);
        io.write("\0\0\0\0", 4);
    }
    EXPECT_EQ(record_index_need_reset(name.c_str()), 1) << "no head";
}

// The card start alone lays the indexes out at their sizes and serves them: a period's video record,
// picture and events are added with nothing registered beforehand.
TEST_F(RecordIndex, TheCardStartLaysOutAndOpensItsOwnIndexes)
{
    ASSERT_EQ(init(), 0);
    const uint32_t fragments = static_cast<uint32_t>((4 * kGiB >> 19) + 1);
    auto size_of = [&](int kind) {
        struct stat st {};
        return stat(index_path(kind, 0).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    };
    EXPECT_EQ(size_of(SD_KIND_VIDEOI), record_get_defalut_size_bytes(fragments));
    EXPECT_EQ(size_of(SD_KIND_PICI), pic_get_defalut_size_bytes(fragments));
    EXPECT_EQ(size_of(SD_KIND_EVENT), event_get_defalut_size_bytes(fragments));
    EXPECT_EQ(add(kT0), 0);
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(pic_add_data(0, jpeg, sizeof jpeg), 0);
    EXPECT_EQ(pic_add_index(0, kT0), 0);
    EXPECT_EQ(event_add_fargment(0, kT0, 2), 0);
}

// On a card laid out afresh, a picture index that no picture has reached yet has no head; that is no
// reason to rebuild at the next start, which would drop the records whose recordings cannot be
// replayed.
TEST_F(RecordIndex, AnIndexNeverWrittenSinceTheLayoutIsNoReasonToRebuild)
{
    for (int i = 1; i <= 3; i++)
        ASSERT_EQ(
            unlink(card("zreserved_000" + std::to_string(i) + "_9999_0_19700101000000_19700101000000.bin").c_str()), 0);
    ASSERT_EQ(init(), 0);
    int cover = 0;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(add(kT0, f->path), 0) << "a record of a file that holds no recording yet";
    sd_uninit();
    ASSERT_EQ(init(), 0);
    int rc = -1;
    const auto pieces = list(4096, 0, &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].total, 12u + 8);
}

TEST_F(RecordIndex, ARebuildWritesTheHeadOnlyWhenSealed)
{
    ASSERT_EQ(init(), 0);
    // A recording of two index periods, written by the fragmented-MP4 writer.
    const std::string rec = "video_0001_0_10_rec.mp4";
    sparse(rec);
    write_recording(rec, 130);
    ASSERT_FALSE(HasFatalFailure());

    const std::string index = card("videoi_rebuilt.index");
    rectest::make_pool_file(index, record_get_defalut_size_bytes(64));
    FILE *fp = fopen(index.c_str(), "rb+");
    ASSERT_NE(fp, nullptr);
    // A file just taken for a recording, whose head is not written yet, adds nothing and stops
    // nothing: the recordings replayed after it are listed.
    const std::string taken = "video_0002_0_10_taken.mp4";
    sparse(taken);
    EXPECT_EQ(record_reset_index(0, taken.c_str(), fp), 0);
    ASSERT_EQ(record_reset_index(0, rec.c_str(), fp), 0);
    fflush(fp);
    auto report = rectest::walk_index("video", index);
    json_object *head = nullptr, *records = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "head", &head));
    EXPECT_FALSE(json_object_get_boolean(head)) << "a rebuild cut here must not pass as an index";
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_GE(json_object_array_length(records), 2u);
    for (size_t i = 0; i < json_object_array_length(records); i++) {
        json_object *r = json_object_array_get_idx(records, i);
        EXPECT_EQ(rectest::json_int(r, "seq"), static_cast<int64_t>(i + 1));
        EXPECT_EQ(rectest::json_int(r, "slot"), static_cast<int64_t>(i));
        EXPECT_GT(rectest::json_int(r, "time"), 999999999);
    }
    ASSERT_EQ(record_index_seal(fp), 0);
    fclose(fp);
    report = rectest::walk_index("video", index);
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "head", &head));
    EXPECT_TRUE(json_object_get_boolean(head));
}

// A cut after a recording's closing rename but before its records were renamed leaves the index naming
// a file that is gone: the start-up rebuilds it, and the rebuilt video and picture indexes are served
// at once, not only once the next period adds to them.
TEST_F(RecordIndex, ARebuiltIndexListsItsRecordsAndServesItsPicturesAtOnce)
{
    ASSERT_EQ(init(), 0);
    int cover = -1;
    sd_file_info_t *f = sd_get_path_and_set_channel(SD_KIND_VIDEO, 0, &cover);
    ASSERT_NE(f, nullptr);
    const std::string open_name = f->path;
    write_recording(open_name, 70);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(add(kT0, open_name.c_str()), 0);
    const std::vector<uint8_t> jpeg(3000, 0x5a);
    ASSERT_EQ(pic_add_data(0, jpeg.data(), static_cast<uint32_t>(jpeg.size())), 0);
    ASSERT_EQ(pic_add_index(0, kT0), 0);
    sd_uninit();
    // Closed under its start as its end: "video_0001_0_10_<start>_<start>.mp4".
    const size_t end_at = open_name.rfind('_') + 1;
    const std::string closed = open_name.substr(0, end_at) + open_name.substr(end_at - 15, 14) + ".mp4";
    ASSERT_EQ(rename(card(open_name).c_str(), card(closed).c_str()), 0);

    ASSERT_EQ(init(), 0);
    int rc = -1;
    const auto pieces = list(64, 0, &rc);
    ASSERT_EQ(rc, 0) << "the rebuilt index is listed";
    ASSERT_EQ(pieces.size(), 1u);
    ASSERT_GE(pieces[0].bytes.size(), 12u + 8);
    EXPECT_EQ(sd::get_u32(pieces[0].bytes.data() + 12), kT0);
    std::vector<uint8_t> got;
    ASSERT_EQ(pic_get_data(
                  0, kT0,
                  [](int, uint32_t, uint32_t, const uint8_t *buf, uint32_t len, void *user) {
                      auto *out = static_cast<std::vector<uint8_t> *>(user);
                      out->insert(out->end(), buf, buf + len);
                      return 0;
                  },
                  4096, &got),
              0)
        << "the rebuilt picture index serves the picture";
    ASSERT_EQ(got.size(), 12u + jpeg.size());
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), got.begin() + 12));
}

// A record counts once it is durable: when the card cannot sync the index after an add or after the
// deletions that come before a file is taken back, the call fails, so that the recorder reports no
// period and reuses no file on records a power cut would take back.
TEST_F(RecordIndex, AnAddOrADeletionWhoseSyncFailsFails)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(add(kT0), 0);
    sd_io_fault_set(2, SD_IO_FAULT_ERRNO, EIO); // 1 the slot's write, 2 its sync
    const int added = add(kT0 + 60);
    sd_io_fault_set(0, SD_IO_FAULT_ERRNO, 0);
    EXPECT_NE(added, 0);
    sd_io_fault_set(2, SD_IO_FAULT_ERRNO, EIO); // 1 the deletion's write, 2 its sync
    const int deleted = record_del_index_before(0, kT0 + 1);
    sd_io_fault_set(0, SD_IO_FAULT_ERRNO, 0);
    EXPECT_NE(deleted, 0);
}

TEST_F(RecordIndex, TwoCamerasKeepTheirOwnIndexes)
{
    ASSERT_EQ(init(2), 0);
    ASSERT_EQ(add(kT0, "a.mp4", 0, 0), 0);
    ASSERT_EQ(add(kT0 + 60, "b.mp4", 0, 1), 0);
    record_index_record_t r{};
    EXPECT_EQ(record_find_record_info(0, kT0 + 60, &r, 0), 0);
    ASSERT_EQ(record_find_record_info(1, kT0 + 60, &r, 0), 1);
    EXPECT_EQ(r.seq, 1u);
    EXPECT_EQ(add(kT0, "c.mp4", 0, 2), -2) << "no third context";
    EXPECT_NE(index_path(SD_KIND_VIDEOI, 0), index_path(SD_KIND_VIDEOI, 1));
}

} // namespace
