// The event index through the pool: event bits to records, grouped lists in pieces, and deletion of
// whole periods. The Python walker reads the records independently.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "app/record/event_index.h"
#include "app/record/sd_index_log.h"
#include "index_pool_fixture.h"
#include "record_media.h"

namespace {

constexpr uint32_t kT0 = 1700000000;

struct Piece {
    uint32_t packet, remaining;
    std::vector<uint8_t> bytes;
};

class EventIndex : public rectest::IndexPool {
protected:
    std::vector<Piece> list(uint32_t start, uint32_t end, uint32_t size, int *rc)
    {
        std::vector<Piece> pieces;
        *rc = event_get_index(
            0, 0x5A, start, end, size,
            [](int, uint32_t packet, uint32_t remaining, const uint8_t *buf, uint32_t len, void *user) {
                static_cast<std::vector<Piece> *>(user)->push_back({packet, remaining, {buf, buf + len}});
                return 0;
            },
            &pieces);
        return pieces;
    }
    rectest::Json walk() { return rectest::walk_index("event", index_path(SD_KIND_EVENT, 0)); }
};

TEST_F(EventIndex, EachListedBitGivesOneRecordAndAllCarryTheirCount)
{
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(event_add_fargment(0, kT0, 1u << 2), 0) << "only an unlisted bit";
    EXPECT_EQ(event_add_fargment(0, kT0, 0x1 | 0x8), 0);
    EXPECT_EQ(event_add_fargment(0, 999999999, 0x1), -1);
    auto report = walk();
    json_object *records = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_EQ(json_object_array_length(records), 2u);
    const int64_t types[] = {0, 7};
    for (size_t i = 0; i < 2; i++) {
        json_object *r = json_object_array_get_idx(records, i);
        EXPECT_EQ(rectest::json_int(r, "slot"), static_cast<int64_t>(i));
        EXPECT_EQ(rectest::json_int(r, "seq"), static_cast<int64_t>(i + 1));
        EXPECT_EQ(rectest::json_int(r, "time"), kT0);
        EXPECT_EQ(rectest::json_int(r, "type"), types[i]);
        EXPECT_EQ(rectest::json_int(r, "count"), 2);
    }
}

TEST_F(EventIndex, ARangeListsOneGroupPerPeriodAndA184ByteBufferSplitsAGroupIntoFiveEntryPieces)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(event_add_fargment(0, kT0, 0x1), 0);
    // Twelve types in the second period.
    ASSERT_EQ(event_add_fargment(0, kT0 + 60, 0x1 | 0x2 | (1u << 18) | (1u << 9) | (1u << 10) | 0x8 | (1u << 17) |
                                                  (1u << 19) | (1u << 20) | (1u << 21) | (1u << 22) | (1u << 23)),
              0);
    ASSERT_EQ(event_add_fargment(0, kT0 + 120, 0x2), 0);
    int rc = 0;
    auto pieces = list(kT0 + 60, kT0 + 60, 184, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(pieces.size(), 4u) << "head and one entry, then 5, 5 and 1 entries";
    EXPECT_EQ(pieces[0].bytes.size(), 184u);
    EXPECT_EQ(pieces[1].bytes.size(), 160u);
    EXPECT_EQ(pieces[2].bytes.size(), 160u);
    EXPECT_EQ(pieces[3].bytes.size(), 32u);
    const uint8_t *head = pieces[0].bytes.data();
    EXPECT_EQ(head[0], 0x5A);
    EXPECT_EQ(sd::get_u32(head + 4), 12u * 32 + 140);
    EXPECT_EQ(sd::get_u32(head + 16), 1u) << "groups in range";
    EXPECT_EQ(sd::get_u32(head + 20), 0u);
    uint32_t remaining = 12 * 32;
    for (const Piece &p : pieces) {
        EXPECT_EQ(p.packet, 12u * 32 + 152);
        remaining -= static_cast<uint32_t>(&p == &pieces[0] ? 32 : p.bytes.size());
        EXPECT_EQ(p.remaining, remaining);
    }
    const uint8_t *first = head + 152;
    EXPECT_EQ(sd::get_u32(first), kT0 + 60);
    EXPECT_EQ(sd::get_u32(first + 8), 0u) << "type 0 first";

    pieces = list(kT0, kT0 + 200, 1024, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(pieces.size(), 3u) << "one piece per group";
    EXPECT_EQ(sd::get_u32(pieces[2].bytes.data() + 16), 3u);
    EXPECT_EQ(sd::get_u32(pieces[2].bytes.data() + 20), 2u);
    EXPECT_EQ(pieces[2].bytes.size(), 152u + 32);

    list(kT0 + 1, kT0 + 59, 1024, &rc);
    EXPECT_EQ(rc, -1) << "no period in range";
    list(kT0, kT0, 152, &rc);
    EXPECT_EQ(rc, -2) << "a buffer must hold the head and an entry";
}

TEST_F(EventIndex, DeletingAPeriodMarksAllItsRecordsAndTheGroupAnnouncesWhatIsLeft)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(event_add_fargment(0, kT0, 0x1 | 0x2 | 0x8), 0);
    ASSERT_EQ(event_add_fargment(0, kT0 + 60, 0x1 | 0x2 | 0x8), 0);
    ASSERT_EQ(event_del_index_before(0, kT0 + 1), 0);
    int rc = 0;
    auto pieces = list(kT0, kT0 + 60, 1024, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(sd::get_u32(pieces[0].bytes.data() + 20), 0u);
    EXPECT_EQ(pieces[0].bytes.size(), 152u + 3 * 32);
    EXPECT_EQ(sd::get_u32(pieces[0].bytes.data() + 4), 3u * 32 + 140);

    const uint32_t times[] = {kT0, kT0 + 60};
    ASSERT_EQ(event_del_index(0, times, 2), 0);
    list(kT0, kT0 + 60, 1024, &rc);
    EXPECT_EQ(rc, -6) << "nothing live";
    auto report = walk();
    json_object *records = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_EQ(json_object_array_length(records), 6u);
    for (size_t i = 0; i < 6; i++)
        EXPECT_EQ(rectest::json_int(json_object_array_get_idx(records, i), "delete"), 1);

    // A restart keeps the sequence going after the newest record.
    sd_uninit();
    sparse("video_0001_0_10_a.mp4");
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(event_add_fargment(0, kT0 + 120, 0x1), 0);
    report = walk();
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_EQ(json_object_array_length(records), 7u);
    EXPECT_EQ(rectest::json_int(json_object_array_get_idx(records, 6), "seq"), 7);
}

TEST_F(EventIndex, AnIndexFileThatCannotBeOpenedAtInitIsOpenedByTheFirstAdd)
{
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(event_add_fargment(0, kT0, 0x1), 0);
    ASSERT_EQ(event_deinit(), 0);
    // No descriptor can be had: the lowest free one becomes the limit.
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int rc = event_init(1);
    const int add = event_add_fargment(0, kT0 + 60, 0x1);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(rc, 0) << "the context waits without a file";
    EXPECT_EQ(add, -3) << "still no descriptor";
    EXPECT_EQ(event_add_fargment(0, kT0 + 120, 0x2), 0);
    auto report = walk();
    json_object *records = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_EQ(json_object_array_length(records), 2u);
    EXPECT_EQ(rectest::json_int(json_object_array_get_idx(records, 1), "seq"), 2);
    EXPECT_EQ(rectest::json_int(json_object_array_get_idx(records, 1), "time"), kT0 + 120);
}

} // namespace
