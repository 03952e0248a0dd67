// The custom-record index against an independent reader of its layout (Python, zlib's CRC), and
// against cuts: a process killed at any write of an add, a change or a removal leaves the old or
// the new list, and only an absent or damaged file is ever replaced.
#include <gtest/gtest.h>

#include <json-c/json.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "app/record/custom_record_index.h"
#include "app/record/sd_io_test.h"
#include "common/utils/ko_crc32.h"
#include "ko_porting_hooks_double.h"
#include "record_media.h"
#include "zel_test_support.h"

using namespace rectest;

namespace {

custom_record_index_entry_t entry(uint32_t start, uint8_t state = CUSTOM_RECORD_SET_UP,
                                  uint8_t data = CUSTOM_RECORD_NO_FRAME)
{
    return custom_record_index_entry_t{start, state, data, {0, 0}};
}

class CustomIndex : public ::testing::Test {
protected:
    void SetUp() override { zeltest::porting_hooks_reset(); }
    void TearDown() override
    {
        sd_io_fault_set(0, 0, 0);
        zeltest::porting_hooks_reset();
    }
    std::string index() const { return root_.path("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg"); }

    // The Python reader's view of the file.
    Json read() const
    {
        std::string cmd, out;
        for (const std::string &a : zeltest::python_peer("custom_index_read.py", {index()}))
            cmd += "'" + a + "' ";
        if (zeltest::run_command(cmd, &out) != 0)
            return Json(nullptr, json_object_put);
        return Json(json_tokener_parse(out.c_str()), json_object_put);
    }
    std::vector<uint32_t> starts() const
    {
        std::vector<uint32_t> out;
        Json j = read();
        json_object *entries = nullptr;
        if (j && json_object_object_get_ex(j.get(), "entries", &entries))
            for (size_t i = 0; i < json_object_array_length(entries); i++)
                out.push_back(static_cast<uint32_t>(json_int(json_object_array_get_idx(entries, i), "start")));
        return out;
    }
    bool valid() const
    {
        Json j = read();
        json_object *crc = nullptr, *len = nullptr;
        return j && json_object_object_get_ex(j.get(), "crc_ok", &crc) && json_object_get_boolean(crc) &&
               json_object_object_get_ex(j.get(), "length_ok", &len) && json_object_get_boolean(len);
    }

    zeltest::TempRoot root_;
};

// Before the recorder has started the card, records are named below the card's mount point.
TEST_F(CustomIndex, TheBasePathIsTheCardsBeforeTheRecorderStarts)
{
    EXPECT_STREQ(local_get_base_path(), root_.path("/mnt/sdcard").c_str());
    char path[1024];
    ASSERT_EQ(timestamp_to_custom_record_path(1700000000, path, sizeof path), 0);
    EXPECT_EQ(std::string(path).rfind(root_.path("/mnt/sdcard/DORVI_CUSTOM_RECORD/"), 0), 0u) << path;
}

TEST_F(CustomIndex, LayoutAndCrcAsAnIndependentReaderSeesThem)
{
    ASSERT_EQ(custom_record_index_add(nullptr), -1);
    const custom_record_index_entry_t early = entry(999999999);
    EXPECT_EQ(custom_record_index_add(&early), -1);
    for (uint32_t s : {1700000300u, 1700000100u, 1700000200u}) {
        const custom_record_index_entry_t e = entry(s);
        ASSERT_EQ(custom_record_index_add(&e), 0);
    }
    Json j = read();
    ASSERT_TRUE(j);
    EXPECT_EQ(json_int(j.get(), "version"), 1);
    EXPECT_EQ(json_int(j.get(), "second"), 1);
    EXPECT_EQ(json_int(j.get(), "full_size"), 512 + 3 * 8);
    EXPECT_EQ(json_int(j.get(), "count"), 3);
    json_object *tag = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(j.get(), "tag", &tag));
    EXPECT_STREQ(json_object_get_string(tag), "dorvi");
    EXPECT_TRUE(valid());
    // an earlier start (a clock step back) is put in its place, so lookups keep working
    EXPECT_EQ(starts(), (std::vector<uint32_t>{1700000100u, 1700000200u, 1700000300u}));
    struct stat before;
    ASSERT_EQ(stat(index().c_str(), &before), 0);
    const custom_record_index_entry_t again = entry(1700000200u, CUSTOM_RECORD_OFF);
    EXPECT_EQ(custom_record_index_add(&again), 0);
    EXPECT_EQ(starts().size(), 3u);

    const custom_record_index_entry_t off = entry(1700000200u, CUSTOM_RECORD_OFF, 0);
    ASSERT_EQ(custom_record_index_mod(&off), 0);
    Json k = read();
    json_object *entries = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(k.get(), "entries", &entries));
    EXPECT_EQ(json_int(json_object_array_get_idx(entries, 1), "state"), CUSTOM_RECORD_OFF);
    EXPECT_EQ(json_int(json_object_array_get_idx(entries, 1), "data"), CUSTOM_RECORD_NO_FRAME);
    ASSERT_EQ(custom_record_index_del(1700000100u), 0);
    EXPECT_EQ(starts(), (std::vector<uint32_t>{1700000200u, 1700000300u}));
    EXPECT_TRUE(valid());
}

TEST_F(CustomIndex, MarkingFramesRewritesTheFileOnce)
{
    const custom_record_index_entry_t e = entry(1700000000u);
    ASSERT_EQ(custom_record_index_add(&e), 0);
    sd_io_fault_set(0, 0, 0);
    const custom_record_index_entry_t frame = entry(1700000000u, CUSTOM_RECORD_WRITTEN, CUSTOM_RECORD_HAS_FRAMES);
    ASSERT_EQ(custom_record_index_mod(&frame), 0);
    const uint64_t after_first = sd_io_ops();
    EXPECT_GT(after_first, 0u);
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(custom_record_index_mod(&frame), 0);
    EXPECT_EQ(sd_io_ops(), after_first) << "an unchanged entry is not written again";
}

TEST_F(CustomIndex, GetDropsDeadEntriesAndNeedsAReadyCard)
{
    char path[1024];
    ASSERT_EQ(timestamp_to_custom_record_path(1700000000u, path, sizeof path), 0);
    EXPECT_NE(strstr(path, "/DORVI_CUSTOM_RECORD/"), nullptr);
    EXPECT_NE(strstr(path, "S_1700000000.video"), nullptr);
    EXPECT_EQ(timestamp_to_custom_record_path(1700000000u, path, 20), -1) << "a cut path is an error";

    for (uint32_t s : {1700000000u, 1700000100u, 1700000200u}) {
        const custom_record_index_entry_t e = entry(s);
        ASSERT_EQ(custom_record_index_add(&e), 0);
    }
    // 1700000000 switched off before any frame; 1700000100 has frames but its file is gone;
    // 1700000200 has frames and its file
    const custom_record_index_entry_t off = entry(1700000000u, CUSTOM_RECORD_OFF);
    const custom_record_index_entry_t gone = entry(1700000100u, CUSTOM_RECORD_WRITTEN, CUSTOM_RECORD_HAS_FRAMES);
    const custom_record_index_entry_t kept = entry(1700000200u, CUSTOM_RECORD_WRITTEN, CUSTOM_RECORD_HAS_FRAMES);
    ASSERT_EQ(custom_record_index_mod(&off), 0);
    ASSERT_EQ(custom_record_index_mod(&gone), 0);
    ASSERT_EQ(custom_record_index_mod(&kept), 0);
    ASSERT_EQ(timestamp_to_custom_record_path(1700000200u, path, sizeof path), 0);
    std::ofstream(path) << "frames";

    zeltest::PortingHooksScript script;
    script.storage_status = 1;
    zeltest::porting_hooks_script(script);
    uint8_t *img = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(custom_record_index_get(&img, &len), -1);
    script.storage_status = 0;
    zeltest::porting_hooks_script(script);
    ASSERT_EQ(custom_record_index_get(&img, &len), 0);
    EXPECT_EQ(len, 512u + 8u);
    free(img);
    EXPECT_EQ(starts(), (std::vector<uint32_t>{1700000200u}));
    EXPECT_TRUE(valid());
    ASSERT_EQ(custom_record_index_del(1700000200u), 0);
    EXPECT_NE(access(path, F_OK), 0) << "the record file goes with its entry";
}

TEST_F(CustomIndex, OnlyAnAbsentOrDamagedFileIsReplaced)
{
    const custom_record_index_entry_t a = entry(1700000000u);
    ASSERT_EQ(custom_record_index_add(&a), 0);
    EXPECT_TRUE(valid());
    // damaged: a count of 2^29 + 1 whose (count + 64) x 8 wraps to the file's 520 bytes in 32 bits,
    // under a CRC that matches
    {
        std::string img = root_.read_file("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg");
        ASSERT_EQ(img.size(), 520u);
        const uint32_t count = 0x20000001u;
        for (int i = 0; i < 4; i++)
            img[508 + i] = static_cast<char>(count >> (8 * i));
        uint32_t c = ko_crc32_init();
        c = ko_crc32_update(c, img.data(), 504);
        c = ko_crc32_update(c, img.data() + 508, img.size() - 508);
        c = ko_crc32_finish(c);
        for (int i = 0; i < 4; i++)
            img[504 + i] = static_cast<char>(c >> (8 * i));
        root_.write_file("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg", img);
    }
    const custom_record_index_entry_t b = entry(1700000100u);
    ASSERT_EQ(custom_record_index_add(&b), 0);
    EXPECT_EQ(starts(), (std::vector<uint32_t>{1700000100u})) << "a damaged file starts over";
    EXPECT_TRUE(valid());

    if (geteuid() == 0)
        return; // root reads an unreadable file all the same
    ASSERT_EQ(chmod(index().c_str(), 0), 0);
    const custom_record_index_entry_t c = entry(1700000200u);
    EXPECT_EQ(custom_record_index_add(&c), -1);
    ASSERT_EQ(chmod(index().c_str(), 0644), 0);
    EXPECT_EQ(starts(), (std::vector<uint32_t>{1700000100u})) << "a file that cannot be read is kept";
}

// Runs `op` in a child killed before its n-th card operation; true when the op ran to its end.
bool run_cut(uint64_t n, const std::function<void()> &op)
{
    const pid_t pid = fork();
    if (pid == 0) {
        sd_io_fault_set(n, SD_IO_FAULT_KILL, 0);
        op();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(CustomIndex, ACutAtAnyWriteLeavesTheOldOrTheNewEntries)
{
    for (uint32_t s : {1700000000u, 1700000100u}) {
        const custom_record_index_entry_t e = entry(s);
        ASSERT_EQ(custom_record_index_add(&e), 0);
    }
    struct Op {
        const char *name;
        std::function<void()> run;
        std::vector<uint32_t> after;
    };
    const std::vector<uint32_t> before{1700000000u, 1700000100u};
    const std::vector<Op> ops{
        {"add", [] { custom_record_index_entry_t e = entry(1700000050u); custom_record_index_add(&e); },
         {1700000000u, 1700000050u, 1700000100u}},
        {"del", [] { custom_record_index_del(1700000000u); }, {1700000100u}},
    };
    for (const Op &op : ops) {
        for (uint64_t n = 1;; n++) {
            SCOPED_TRACE(std::string(op.name) + " cut before operation " + std::to_string(n));
            const std::string saved = root_.read_file("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg");
            const bool finished = run_cut(n, op.run);
            EXPECT_TRUE(valid());
            const auto now = starts();
            EXPECT_TRUE(now == before || now == op.after);
            root_.write_file("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg", saved);
            if (finished) {
                EXPECT_EQ(now, op.after);
                break;
            }
            ASSERT_LT(n, 20u);
        }
    }
    // a state change, cut at each step: the old or the new state byte
    for (uint64_t n = 1;; n++) {
        const custom_record_index_entry_t off = entry(1700000000u, CUSTOM_RECORD_OFF);
        const bool finished = run_cut(n, [&] { custom_record_index_mod(&off); });
        EXPECT_TRUE(valid());
        Json j = read();
        json_object *entries = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(j.get(), "entries", &entries));
        const int64_t state = json_int(json_object_array_get_idx(entries, 0), "state");
        EXPECT_TRUE(state == CUSTOM_RECORD_SET_UP || state == CUSTOM_RECORD_OFF);
        if (finished) {
            EXPECT_EQ(state, CUSTOM_RECORD_OFF);
            break;
        }
        ASSERT_LT(n, 20u);
    }
}

} // namespace
