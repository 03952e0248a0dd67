// The circular log under the indexes, on plain files: the head, the scan that finds the newest record
// after a restart (wrapped or not, torn or cleared), the rule that never overwrites a live record and
// the sequence wrap. The Python walker reads the files independently.
#include <gtest/gtest.h>

#include <errno.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "app/record/sd_index_log.h"
#include "app/record/sd_io_test.h"
#include "record_media.h"
#include "zel_test_support.h"

namespace {

using namespace sd;

constexpr IndexLayout kVideo{144, 140, 8, 7, 0};
constexpr uint32_t kT0 = 1700000000;

class IndexLogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        sd_io_fault_set(0, 0, 0);
        sd_io_read_fault_set(0, 0);
        close();
    }
    std::string path() const { return root_.path("/index.bin"); }
    void make(int64_t slots)
    {
        rectest::make_pool_file(path(), static_cast<uint64_t>(kIndexHeadSize + slots * kVideo.slot));
    }
    int open()
    {
        close();
        return log_open(log_, kVideo, mode_, path().c_str(), "test");
    }
    void close()
    {
        std::lock_guard<std::recursive_mutex> guard(log_.lock);
        log_.reset();
    }
    int append(uint32_t time, uint8_t del = 0)
    {
        uint8_t slot[144] = {};
        put_u32(slot, time);
        slot[4] = 60;
        slot[7] = del;
        memcpy(slot + 12, "video_0001.mp4", 14);
        return log_append(log_, kVideo, mode_, slot);
    }
    int64_t cursor() { return ftello(log_.file); }
    int64_t slot_at(int64_t k) const { return kIndexHeadSize + k * kVideo.slot; }
    std::string bytes() const { return root_.read_file("/index.bin"); }
    // Writes a sealed record straight into slot k.
    void put(int64_t k, uint32_t seq, uint32_t time, uint8_t del = 0)
    {
        uint8_t slot[144] = {};
        put_u32(slot, time);
        slot[7] = del;
        put_u32(slot + 8, seq);
        slot_seal(kVideo, slot);
        std::fstream f(path(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(slot_at(k));
        f.write(reinterpret_cast<const char *>(slot), sizeof slot);
    }
    void put_head()
    {
        const auto h = index_head(3);
        std::fstream f(path(), std::ios::in | std::ios::out | std::ios::binary);
        f.write(reinterpret_cast<const char *>(h.data()), h.size());
    }
    // Seqs of the records the walker finds valid, checked unique.
    std::set<int64_t> walker_seqs()
    {
        fflush(log_.file);
        auto report = rectest::walk_index("video", path());
        EXPECT_TRUE(report);
        std::set<int64_t> seqs;
        json_object *records = nullptr;
        json_object_object_get_ex(report.get(), "records", &records);
        for (size_t i = 0; records && i < json_object_array_length(records); i++) {
            const int64_t seq = rectest::json_int(json_object_array_get_idx(records, i), "seq");
            EXPECT_TRUE(seqs.insert(seq).second) << "seq " << seq << " twice";
        }
        return seqs;
    }

    zeltest::TempRoot root_;
    IndexLog log_;
    IndexMode mode_;
};

TEST_F(IndexLogTest, AFreshFileGetsTheHeadAndTheFirstRecordLiesAt128)
{
    make(8);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(mode_.word, 3);
    EXPECT_EQ(log_.valid_count, 0u);
    ASSERT_EQ(append(kT0), 0);
    EXPECT_EQ(log_.max_seq, 1u);
    EXPECT_EQ(log_.beg_pos, 128);
    EXPECT_EQ(cursor(), slot_at(1));
    fflush(log_.file);
    auto report = rectest::walk_index("video", path());
    json_object *head = nullptr, *records = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "head", &head));
    EXPECT_TRUE(json_object_get_boolean(head));
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_EQ(json_object_array_length(records), 1u);
    json_object *r = json_object_array_get_idx(records, 0);
    EXPECT_EQ(rectest::json_int(r, "slot"), 0);
    EXPECT_EQ(rectest::json_int(r, "seq"), 1);
    EXPECT_EQ(rectest::json_int(r, "time"), kT0);
    EXPECT_EQ(rectest::json_int(r, "duration"), 60);
}

TEST_F(IndexLogTest, ANewHeadLeavesNoEarlierRecordValid)
{
    make(8);
    for (int k = 0; k < 5; k++)
        put(k, 40 + k, kT0 + k * 60); // records of an earlier log, without the head
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.valid_count, 0u);
    EXPECT_TRUE(walker_seqs().empty());
    ASSERT_EQ(append(kT0 + 1000), 0);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.max_seq, 1u);
    EXPECT_EQ(log_.valid_count, 1u);
    EXPECT_EQ(walker_seqs(), std::set<int64_t>{1});
}

TEST_F(IndexLogTest, ARestartAfterTenThousandRecordsWithoutWrapPutsTheNextAfterTheNewest)
{
    make(10050);
    ASSERT_EQ(open(), 0);
    for (uint32_t i = 0; i < 10000; i++)
        ASSERT_EQ(append(kT0 + i * 60), 0);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.max_seq, 10000u);
    EXPECT_EQ(log_.valid_count, 10000u);
    EXPECT_EQ(log_.beg_pos, 128);
    EXPECT_EQ(cursor(), slot_at(10000));
    ASSERT_EQ(append(kT0 + 10000 * 60), 0);
    EXPECT_EQ(log_.max_seq, 10001u);
    EXPECT_EQ(walker_seqs().size(), 10001u);
}

TEST_F(IndexLogTest, RestartsOfAWrappedLogPutTheNextAfterTheNewest)
{
    constexpr int64_t kSlots = 100;
    make(kSlots);
    ASSERT_EQ(open(), 0);
    uint32_t written = 0;
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 497; i++, written++) {
            if (log_.valid_count == kSlots) { // as the pool does before reuse: drop the oldest period
                ASSERT_EQ(log_del_before(log_, kVideo, mode_, kT0 + (written - kSlots + 1) * 60ull), 0);
            }
            ASSERT_EQ(append(kT0 + written * 60), 0) << written;
        }
        const uint32_t max = log_.max_seq;
        const uint32_t live = log_.valid_count;
        const int64_t beg = log_.beg_pos;
        const int64_t next = cursor();
        ASSERT_EQ(open(), 0);
        EXPECT_EQ(log_.max_seq, max) << round;
        EXPECT_EQ(log_.valid_count, live) << round;
        EXPECT_EQ(log_.beg_pos, beg) << round;
        EXPECT_EQ(cursor(), next == slot_at(kSlots) ? slot_at(0) : next) << round;
    }
    EXPECT_EQ(log_.max_seq, written);
    EXPECT_EQ(walker_seqs().size(), static_cast<size_t>(kSlots));
}

TEST_F(IndexLogTest, AFullLogWithALiveOldestRecordRefusesTheAddAndStaysUnchanged)
{
    make(4);
    ASSERT_EQ(open(), 0);
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(append(kT0 + i * 60), 0);
    fflush(log_.file);
    const std::string before = bytes();
    EXPECT_EQ(append(kT0 + 240), -5);
    fflush(log_.file);
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(log_.max_seq, 4u);
    // Once the oldest is deleted its slot takes the next record.
    ASSERT_EQ(log_del_before(log_, kVideo, mode_, kT0 + 1), 0);
    EXPECT_EQ(log_.beg_pos, slot_at(1));
    ASSERT_EQ(append(kT0 + 240), 0);
    EXPECT_EQ(walker_seqs(), (std::set<int64_t>{2, 3, 4, 5}));
}

TEST_F(IndexLogTest, TheSequenceWrapsFromTheLastNumberToOne)
{
    make(8);
    put_head();
    put(0, 0xFFFFFFFEu, kT0);
    put(1, 0xFFFFFFFFu, kT0 + 60);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.max_seq, 0xFFFFFFFFu);
    EXPECT_EQ(cursor(), slot_at(2));
    ASSERT_EQ(append(kT0 + 120), 0);
    EXPECT_EQ(log_.max_seq, 1u);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.max_seq, 1u);
    EXPECT_EQ(log_.valid_count, 3u);
    EXPECT_EQ(log_.beg_pos, slot_at(0));
    EXPECT_EQ(cursor(), slot_at(3));
}

TEST_F(IndexLogTest, ATornRecordIsHiddenAndItsSlotRewritten)
{
    make(8);
    ASSERT_EQ(open(), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(append(kT0 + i * 60), 0);
    close();
    {
        std::fstream f(path(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(slot_at(2) + 20);
        f.put('x');
    }
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.max_seq, 2u);
    EXPECT_EQ(cursor(), slot_at(2));
    ASSERT_EQ(append(kT0 + 180), 0);
    EXPECT_EQ(walker_seqs(), (std::set<int64_t>{1, 2, 3}));
}

TEST_F(IndexLogTest, AFailedWriteAddsNothingAndTheNextAddTakesTheSameSlot)
{
    make(8);
    ASSERT_EQ(open(), 0);
    ASSERT_EQ(append(kT0), 0);
    sd_io_fault_set(1, SD_IO_FAULT_ERRNO, ENOSPC);
    EXPECT_EQ(append(kT0 + 60), -5);
    sd_io_fault_set(0, 0, 0);
    EXPECT_EQ(log_.max_seq, 1u);
    EXPECT_EQ(log_.valid_count, 1u);
    ASSERT_EQ(append(kT0 + 120), 0);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.max_seq, 2u);
    EXPECT_EQ(log_.valid_count, 2u);
    EXPECT_EQ(walker_seqs(), (std::set<int64_t>{1, 2}));
}

TEST_F(IndexLogTest, AClearedLogScansAsEmptyFromItsFirstSlot)
{
    make(8);
    ASSERT_EQ(open(), 0);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(append(kT0 + i * 60, i == 2 ? 1 : 0), 0);
    close();
    ASSERT_EQ(log_clear_file(kVideo, path().c_str(), "test"), 0);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.valid_count, 0u);
    EXPECT_EQ(cursor(), slot_at(0));
    EXPECT_TRUE(walker_seqs().empty()) << "a record deleted before the clear fails its CRC too";
    ASSERT_EQ(append(kT0 + 600), 0);
    EXPECT_EQ(log_.max_seq, 1u);
}

TEST_F(IndexLogTest, AReadOnlyFileAllowsReadingAndRefusesWrites)
{
    make(8);
    ASSERT_EQ(open(), 0);
    ASSERT_EQ(append(kT0), 0);
    close();
    ASSERT_EQ(chmod(path().c_str(), 0444), 0);
    if (access(path().c_str(), W_OK) == 0)
        GTEST_SKIP() << "root writes read-only files";
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(mode_.word, 1);
    EXPECT_EQ(log_.valid_count, 1u);
    EXPECT_EQ(append(kT0 + 60), -5);
    EXPECT_EQ(log_del_before(log_, kVideo, mode_, kT0 + 1), SD_ERR_READ_ONLY);
}

// A head that cannot be read says nothing of the log: the open fails with the read's error and every
// record stays, where taking the log for one without a head would clear it.
TEST_F(IndexLogTest, AFailedHeadReadFailsTheOpenAndKeepsTheLog)
{
    make(16);
    ASSERT_EQ(open(), 0);
    for (uint32_t i = 0; i < 3; i++)
        ASSERT_EQ(append(kT0 + i * 60), 0);
    const std::string before = bytes();
    close();
    sd_io_read_fault_set(1, EIO);
    EXPECT_EQ(open(), SD_ERR_READ_ONLY) << "EIO";
    sd_io_read_fault_set(0, 0);
    EXPECT_EQ(bytes(), before);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(log_.valid_count, 3u);
    EXPECT_EQ(log_.max_seq, 3u);
}

} // namespace
