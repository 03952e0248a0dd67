// The recorder's reports and its entry checks: the status values for the pool's codes, the 29
// statistics keys in their order, the card identity against an independent CID decoder, and the
// minimum card size at init.
#include <gtest/gtest.h>

#include <json-c/json.h>

#include <string>
#include <vector>

#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_info.h"
#include "app/record/sd_statistics.h"
#include "zel_test_support.h"

namespace {

std::string python_cid(const std::string &cid)
{
    std::string out;
    zeltest::run_command("'" ZEL_PYTHON "' '" ZEL_TEST_PEERS_DIR "/sd_cid.py' '" + cid + "'", &out);
    return out;
}

std::string member_text(json_object *o, const char *key)
{
    json_object *v = nullptr;
    return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "(absent)";
}

TEST(LocalStorageInfo, PoolCodesMapToTheStatusValues)
{
    const std::vector<std::pair<int, int>> map = {{0, 0},      {-8, 8},     {-1030, 12}, {-1028, 2},  {-1108, 11},
                                                  {-1109, 11}, {-1110, 11}, {-1113, 11}, {-1115, 11}, {-1005, 3},
                                                  {-1107, 10}, {-1, 10},    {-1101, 10}};
    for (const auto &[code, status] : map)
        EXPECT_EQ(sd::storage_status_for(code), status) << code;
}

TEST(LocalStorageInfo, StatisticsCarryTwentyNineKeysInOrderAndClearWithMinimumSizeMinusOne)
{
    sd::RecordStatistics stats;
    stats.add(sd::kTotalVideoFrame, 41);
    stats.add(sd::kStep5);
    g_statistics_storage.index_add_err += 3;
    const std::string text = stats.report_and_clear();
    json_object *o = json_tokener_parse(text.c_str());
    ASSERT_NE(o, nullptr) << text;
    const std::vector<std::string> keys = {
        "mp4_succuss_file", "total_mp4_file", "total_video_frame", "total_audio_frame", "mp4_err_file",
        "mp4_err_video_frame", "mp4_err_audio_frame", "mp4_size_max", "mp4_size_min", "del_err_count",
        "sd_total_MB", "sd_used_MB", "loop_coverage", "index_tatal", "index_file_size", "index_update",
        "index_update_err", "scan_dir_count", "scan_dir_err", "index_add_err", "index_del_err", "del_not_find",
        "index_query_err", "index_scan_err", "step1", "step2", "step3", "step4", "step5"};
    std::vector<std::string> seen;
    json_object_object_foreach(o, key, value)
    {
        seen.push_back(key);
        EXPECT_TRUE(json_object_is_type(value, json_type_int)) << key;
    }
    EXPECT_EQ(seen, keys);
    EXPECT_EQ(member_text(o, "total_video_frame"), "41");
    EXPECT_EQ(member_text(o, "index_add_err"), "3");
    EXPECT_EQ(member_text(o, "mp4_size_min"), "-1");
    json_object_put(o);
    o = json_tokener_parse(stats.report_and_clear().c_str());
    EXPECT_EQ(member_text(o, "total_video_frame"), "0");
    EXPECT_EQ(member_text(o, "index_add_err"), "0");
    EXPECT_EQ(member_text(o, "mp4_size_min"), "-1");
    json_object_put(o);
}

TEST(LocalStorageInfo, TheCardIdentityMatchesAnIndependentCidDecoder)
{
    for (const std::string cid : {"035344534331323880a1b2c3d400e3c1", "1b534d454231514b30e1d2c3b4012345",
                                  "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}) {
        const std::string info = sd::sd_info_json(cid, "ext4", 5120);
        json_object *ours = json_tokener_parse(info.c_str());
        json_object *theirs = json_tokener_parse(python_cid(cid).c_str());
        ASSERT_TRUE(ours && theirs) << cid;
        for (const char *key : {"manufacturer_id", "storage", "class", "serial", "date"})
            EXPECT_EQ(member_text(ours, key), member_text(theirs, key)) << cid << " " << key;
        EXPECT_EQ(member_text(ours, "write_speed"), "0.00");
        EXPECT_EQ(member_text(ours, "file_sys"), "ext4");
        EXPECT_EQ(member_text(ours, "sd_total_MB"), "5120");
        EXPECT_EQ(member_text(ours, "cid"), cid);
        json_object_put(ours);
        json_object_put(theirs);
    }
    EXPECT_EQ(sd::sd_info_json("035344534331323880a1b2c3d400e3c", "ext4", 1), "") << "31 digits";
    EXPECT_EQ(sd::sd_info_json("035344534331323880a1b2c3d400e3cg", "ext4", 1), "") << "not hex";
}

TEST(LocalStorage, InitRefusesACardMinimumBelowFourGibibytes)
{
    auto cb = [](int) {};
    EXPECT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 1, 4294967295ull, 0, 256ull << 20, 0, cb), -1);
    EXPECT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 1, 0, 0, 256ull << 20, 0, cb), -1);
    EXPECT_EQ(ko_local_storage_init_v2(nullptr, 1, 4294967296ull, 0, 0, 0, cb), -1);
    EXPECT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 0, 4294967296ull, 0, 0, 0, cb), -1);
    EXPECT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 1, 4294967296ull, 0, 0, 0, nullptr), -1);
    ASSERT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 1, 4294967296ull, 0, 256ull << 20, 0, cb), 0);
    EXPECT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 1, 4294967296ull, 0, 256ull << 20, 0, cb), 0) << "once";
    EXPECT_EQ(ko_local_storage_set_mode_v2(0, 1), -1) << "no instance";
    uint32_t start = 1;
    uint8_t duration = 0, motion = 0;
    EXPECT_EQ(fmp4_muxer_fragment_update_index_callback(0, &start, &duration, &motion), -1);
    EXPECT_EQ(ko_local_storage_deinit_v2(), 0);
    EXPECT_EQ(ko_local_storage_deinit_v2(), 0);
}

} // namespace
