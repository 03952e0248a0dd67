// The picture store through the pool: pictures written, stamped, indexed and read back in pieces;
// pictures that never got their time; a data record that lies about its time or size; renames; and a
// restart that resumes the data file after its last picture. The Python walker reads both files.
#include <gtest/gtest.h>

#include <stdio.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/record/pic_index.h"
#include "app/record/sd_index_log.h"
#include "index_pool_fixture.h"
#include "record_media.h"

namespace {

constexpr uint32_t kT0 = 1700000000;

std::vector<uint8_t> jpeg(size_t size, uint8_t seed)
{
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    v[0] = 0xFF;
    v[1] = 0xD8;
    return v;
}

class PicIndex : public rectest::IndexPool {
protected:
    // The picture at `time` as pic_get_data sends it, reassembled; the result code in *rc.
    std::vector<uint8_t> get(uint32_t time, uint32_t size, int *rc, size_t *pieces = nullptr)
    {
        struct Out {
            std::vector<uint8_t> bytes;
            size_t pieces = 0;
            uint32_t remaining = 0;
        } out;
        *rc = pic_get_data(
            0, time,
            [](int, uint32_t total, uint32_t remaining, const uint8_t *buf, uint32_t len, void *user) {
                auto *o = static_cast<Out *>(user);
                if (o->pieces == 0)
                    o->remaining = total;
                o->remaining -= len;
                EXPECT_EQ(remaining, o->remaining);
                o->bytes.insert(o->bytes.end(), buf, buf + len);
                o->pieces++;
                return 0;
            },
            size, &out);
        if (pieces)
            *pieces = out.pieces;
        if (out.bytes.size() < 12)
            return {};
        EXPECT_EQ(sd::get_u32(out.bytes.data()), 5u);
        EXPECT_EQ(sd::get_u32(out.bytes.data() + 4), out.bytes.size() - 12);
        return {out.bytes.begin() + 12, out.bytes.end()};
    }
    std::string data_file()
    {
        auto report = rectest::walk_index("pic", index_path(SD_KIND_PICI, 0));
        json_object *records = nullptr, *path = nullptr;
        if (!json_object_object_get_ex(report.get(), "records", &records) || json_object_array_length(records) == 0)
            return "";
        json_object_object_get_ex(json_object_array_get_idx(records, 0), "path", &path);
        return json_object_get_string(path);
    }
};

TEST_F(PicIndex, APictureIsStampedIndexedAndReadBackInPieces)
{
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(pic_add_index(0, kT0), -3) << "no data file yet";
    const auto first = jpeg(1000, 1), second = jpeg(5000, 2), kept = jpeg(3000, 3);
    ASSERT_EQ(pic_add_data(0, first.data(), first.size()), 0);
    ASSERT_EQ(pic_add_data(0, second.data(), second.size()), 0) << "replaces the pending picture";
    ASSERT_EQ(pic_add_index(0, kT0), 0);
    EXPECT_EQ(pic_add_index(0, kT0 + 60), -4) << "nothing pending";
    ASSERT_EQ(pic_add_data(0, kept.data(), kept.size()), 0);
    ASSERT_EQ(pic_add_index(0, kT0 + 60), 0);
    EXPECT_EQ(pic_add_data(0, kept.data(), 0), -4);

    int rc = 0;
    size_t pieces = 0;
    EXPECT_EQ(get(kT0, 1024, &rc, &pieces), second);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(pieces, 5u) << "(5000 + 12) bytes in 1024-byte pieces";
    EXPECT_EQ(get(kT0 + 60, 64 * 1024, &rc), kept);
    get(kT0 + 30, 1024, &rc);
    EXPECT_EQ(rc, -6);

    auto report = rectest::walk_pictures(card(data_file()));
    json_object *head = nullptr, *pictures = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "head", &head));
    EXPECT_TRUE(json_object_get_boolean(head));
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "pictures", &pictures));
    ASSERT_EQ(json_object_array_length(pictures), 2u);
    json_object *p0 = json_object_array_get_idx(pictures, 0);
    EXPECT_EQ(rectest::json_int(p0, "offset"), 128);
    EXPECT_EQ(rectest::json_int(p0, "size"), 5000);
    json_object *crc_ok = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(p0, "crc_ok", &crc_ok));
    EXPECT_TRUE(json_object_get_boolean(crc_ok));
}

TEST_F(PicIndex, ADataRecordWithAnotherTimeOrAnImpossibleSizeIsRefused)
{
    ASSERT_EQ(init(), 0);
    const auto pic = jpeg(2000, 4);
    ASSERT_EQ(pic_add_data(0, pic.data(), pic.size()), 0);
    ASSERT_EQ(pic_add_index(0, kT0), 0);
    ASSERT_EQ(pic_add_data(0, pic.data(), pic.size()), 0);
    ASSERT_EQ(pic_add_index(0, kT0 + 60), 0);
    const std::string path = card(data_file());
    {
        std::fstream io(path, std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(128 + 5); // the first record's size: far beyond the file
        const uint8_t huge[4] = {0xF0, 0xFF, 0xFF, 0x7F};
        io.write(reinterpret_cast<const char *>(huge), 4);
        io.seekp(128 + 2013); // the second record's time
        io.put(0x11);
    }
    int rc = 0;
    get(kT0, 1024, &rc);
    EXPECT_EQ(rc, -6);
    get(kT0 + 60, 1024, &rc);
    EXPECT_EQ(rc, -6);
}

TEST_F(PicIndex, ARenameReachesEveryRecordOfTheFileAndARestartResumesAfterTheLastPicture)
{
    ASSERT_EQ(init(), 0);
    std::vector<std::vector<uint8_t>> pics;
    for (uint32_t i = 0; i < 3; i++) {
        pics.push_back(jpeg(1500 + i * 100, static_cast<uint8_t>(i)));
        ASSERT_EQ(pic_add_data(0, pics[i].data(), pics[i].size()), 0);
        ASSERT_EQ(pic_add_index(0, kT0 + i * 60), 0);
    }
    const std::string old_name = data_file();
    const std::string new_name = "pic_renamed.bin";
    ASSERT_EQ(rename(card(old_name).c_str(), card(new_name).c_str()), 0);
    ASSERT_EQ(pic_change_file_name(0, old_name.c_str(), new_name.c_str()), 0);
    auto report = rectest::walk_index("pic", index_path(SD_KIND_PICI, 0));
    json_object *records = nullptr, *path = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "records", &records));
    ASSERT_EQ(json_object_array_length(records), 3u);
    for (size_t i = 0; i < 3; i++) {
        ASSERT_TRUE(json_object_object_get_ex(json_object_array_get_idx(records, i), "path", &path));
        EXPECT_EQ(std::string(json_object_get_string(path)), new_name) << "record " << i;
    }
    int rc = 0;
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_EQ(get(kT0 + i * 60, 4096, &rc), pics[i]) << i;
    ASSERT_EQ(rename(card(new_name).c_str(), card(old_name).c_str()), 0);
    ASSERT_EQ(pic_change_file_name(0, new_name.c_str(), old_name.c_str()), 0);

    // A picture written but never stamped is lost with the restart; the next goes after the last.
    ASSERT_EQ(pic_add_data(0, pics[0].data(), pics[0].size()), 0);
    sd_uninit();
    sparse("video_0001_0_10_a.mp4");
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(pic_add_index(0, kT0 + 180), -4) << "nothing pending";
    const auto late = jpeg(700, 9);
    ASSERT_EQ(pic_add_data(0, late.data(), late.size()), 0);
    ASSERT_EQ(pic_add_index(0, kT0 + 180), 0);
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_EQ(get(kT0 + i * 60, 4096, &rc), pics[i]) << i;
    EXPECT_EQ(get(kT0 + 180, 4096, &rc), late);
    report = rectest::walk_pictures(card(old_name));
    json_object *pictures = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(report.get(), "pictures", &pictures));
    EXPECT_EQ(json_object_array_length(pictures), 4u);

    ASSERT_EQ(pic_del_index_before(0, kT0 + 61), 0);
    get(kT0, 4096, &rc);
    EXPECT_EQ(rc, -6);
    const uint32_t gone[] = {kT0 + 120};
    ASSERT_EQ(pic_del_index(0, gone, 1), 0);
    get(kT0 + 120, 4096, &rc);
    EXPECT_EQ(rc, -6);
    EXPECT_EQ(get(kT0 + 180, 4096, &rc), late);
}

// Pictures written on through their data files filling up: each full file is closed (its records renamed
// on a short thread) while the writer, under its index lock, takes the next file, and later the
// oldest one back.
TEST_F(PicIndex, PicturesGoOnThroughFullDataFiles)
{
    ASSERT_EQ(init(), 0);
    const auto big = jpeg(8 << 20, 4);
    const uint32_t per_file = static_cast<uint32_t>(134217728 / big.size());
    for (uint32_t i = 0; i < per_file * 4 + 1 && !HasFailure(); i++) {
        ASSERT_EQ(pic_add_data(0, big.data(), static_cast<uint32_t>(big.size())), 0) << i;
        ASSERT_EQ(pic_add_index(0, kT0 + i * 60), 0) << i;
    }
    int rc = 0;
    EXPECT_EQ(get(kT0 + per_file * 4 * 60, 1 << 20, &rc).size(), big.size());
    EXPECT_EQ(rc, 0);
}

} // namespace
