// The custom container on a pool with a custom-video share: its records go to data files of its own
// kind (never into the picture store's open file), come back by time, are renamed with their file and
// are deleted by age in the index and in the data file (checked by the Python walker).
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "app/record/pic_index.h"
#include "app/record/yvideo.h"
#include "index_pool_fixture.h"
#include "record_media.h"

namespace {

constexpr uint32_t kT0 = 1700000000;

class Yvideo : public rectest::IndexPool {
protected:
    void SetUp() override
    {
        IndexPool::SetUp();
        ASSERT_EQ(sd_init("/mnt/sdcard", 1, 0, 0, DATA_FILE_SIZE_BYTES, [](int) {}), 0);
        ASSERT_EQ(yvideo_init(1), 0);
    }

    std::vector<uint8_t> bytes(uint8_t seed, size_t n)
    {
        std::vector<uint8_t> b(n);
        for (size_t i = 0; i < n; i++)
            b[i] = static_cast<uint8_t>(seed + i * 7);
        return b;
    }

    static int collect(int, uint32_t, uint32_t, const uint8_t *buf, uint32_t len, void *user)
    {
        auto *out = static_cast<std::vector<uint8_t> *>(user);
        out->insert(out->end(), buf, buf + len);
        return 0;
    }

    // The record of `time` without its 12-byte piece head; rc set to the result.
    std::vector<uint8_t> get(uint32_t time, int *rc)
    {
        std::vector<uint8_t> out;
        *rc = yvideo_get_data(0, time, collect, 2048, &out);
        return out.size() >= 12 ? std::vector<uint8_t>(out.begin() + 12, out.end()) : out;
    }

    // Pool names on the card starting with `kind` + "_".
    std::vector<std::string> files(const std::string &kind)
    {
        std::vector<std::string> names;
        DIR *d = opendir(card().c_str());
        while (dirent *e = d ? readdir(d) : nullptr)
            if (std::string(e->d_name).rfind(kind + "_", 0) == 0)
                names.push_back(e->d_name);
        if (d)
            closedir(d);
        return names;
    }

    int add(uint32_t time, const std::vector<uint8_t> &b)
    {
        const int rc = yvideo_add_data(0, b.data(), static_cast<uint32_t>(b.size()));
        return rc != 0 ? rc : yvideo_add_index(0, time);
    }
};

TEST_F(Yvideo, RecordsGoToTheirOwnDataFilesBesideThePictures)
{
    ASSERT_EQ(pic_add_data(0, bytes(1, 3000).data(), 3000), 0);
    const std::vector<uint8_t> custom = bytes(9, 5000);
    ASSERT_EQ(yvideo_add_data(0, custom.data(), 5000), 0);
    ASSERT_EQ(pic_add_index(0, kT0), 0);
    ASSERT_EQ(yvideo_add_index(0, kT0), 0);
    ASSERT_EQ(files("yvideo").size(), 1u);
    ASSERT_EQ(files("pic").size(), 1u);
    int rc = 0;
    EXPECT_EQ(get(kT0, &rc), custom);
    EXPECT_EQ(rc, 0);
    std::vector<uint8_t> picture;
    ASSERT_EQ(pic_get_data(0, kT0, collect, 2048, &picture), 0);
    EXPECT_EQ(std::vector<uint8_t>(picture.begin() + 12, picture.end()), bytes(1, 3000));
    auto report = rectest::walk_pictures(card(files("yvideo")[0]));
    json_object *pictures = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "pictures", &pictures));
    ASSERT_EQ(json_object_array_length(pictures), 1u);
    EXPECT_EQ(rectest::json_int(json_object_array_get_idx(pictures, 0), "size"), 5000);
    EXPECT_EQ(yvideo_add_index(0, kT0 + 1), -4) << "nothing pending";
    EXPECT_EQ(yvideo_add_data(0, custom.data(), 0), -4);
    EXPECT_EQ(yvideo_get_defalut_size_bytes(10), 128u + 1450u);
}

TEST_F(Yvideo, DeletingBeforeATimeMarksTheIndexAndTheDataRecords)
{
    for (uint32_t i = 0; i < 4; i++)
        ASSERT_EQ(add(kT0 + i * 60, bytes(static_cast<uint8_t>(i), 700 + i)), 0);
    ASSERT_EQ(yvideo_del_index_before(0, kT0 + 100), 0);
    int rc = 0;
    get(kT0, &rc);
    EXPECT_EQ(rc, -6);
    get(kT0 + 60, &rc);
    EXPECT_EQ(rc, -6);
    EXPECT_EQ(get(kT0 + 120, &rc), bytes(2, 702));
    EXPECT_EQ(get(kT0 + 180, &rc), bytes(3, 703));

    auto report = rectest::walk_pictures(card(files("yvideo")[0]));
    json_object *pictures = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "pictures", &pictures));
    ASSERT_EQ(json_object_array_length(pictures), 4u);
    for (size_t i = 0; i < 4; i++) {
        json_object *p = json_object_array_get_idx(pictures, i);
        EXPECT_EQ(rectest::json_int(p, "delete"), i < 2 ? 1 : 0) << i;
        json_object *ok = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(p, "crc_ok", &ok));
        EXPECT_TRUE(json_object_get_boolean(ok)) << "the header CRC is recomputed, record " << i;
    }
    // Writing goes on after the last record, not over the deleted ones.
    ASSERT_EQ(add(kT0 + 240, bytes(4, 704)), 0);
    EXPECT_EQ(get(kT0 + 240, &rc), bytes(4, 704));
    EXPECT_EQ(get(kT0 + 180, &rc), bytes(3, 703));
    // A record of the time itself goes too when it lies in the file of the one deleted before it.
    ASSERT_EQ(yvideo_del_index_before(0, kT0 + 180), 0);
    get(kT0 + 180, &rc);
    EXPECT_EQ(rc, -6);
    EXPECT_EQ(get(kT0 + 240, &rc), bytes(4, 704));
}

TEST_F(Yvideo, ARenamedDataFileIsStillFound)
{
    ASSERT_EQ(add(kT0, bytes(5, 900)), 0);
    const std::string old_name = files("yvideo")[0];
    const std::string new_name = "yvideo_renamed.video";
    ASSERT_EQ(rename(card(old_name).c_str(), card(new_name).c_str()), 0);
    ASSERT_EQ(yvideo_change_file_name(0, old_name.c_str(), new_name.c_str()), 0);
    int rc = 0;
    EXPECT_EQ(get(kT0, &rc), bytes(5, 900));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(yvideo_change_file_name(1, old_name.c_str(), new_name.c_str()), -1) << "no context";
}

} // namespace
