// The recorder's custom-record entry points on a started SDK with a created recorder instance: the
// instance and card-status gates, frames appended to the record's file with its index entry marked
// once, switching off, refusals, and deletion.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../sdk/sdk/ko_sdk_fixture.h"
#include "app/record/custom_record_index.h"
#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_test.h"
#include "app/record/ko_storage_custom.h"
#include "app/record/sd_io_test.h"

namespace {

constexpr uint32_t kT = 1700000000;

struct Entry {
    uint32_t start;
    uint8_t state, data;
};

class CustomRecord : public sdktest::SdkTest {
protected:
    void SetUp() override
    {
        sdktest::SdkTest::SetUp();
        ko_stream_chn_info video{};
        video.channel = 0;
        video.resolution = {1920, 1080};
        video.gop = 60;
        video.encode = 5;
        video.bitrate = 2000;
        video.fps = 20;
        video.seconds = 10;
        ASSERT_EQ(ko_ipc_stream_chn_add(&video), 0);
        ko_stream_chn_info audio{};
        audio.channel = 4;
        audio.samplerate = 16000;
        audio.samplebit = 16;
        audio.encode = 1032;
        audio.fps = 25;
        audio.bitrate = 32;
        audio.seconds = 10;
        ASSERT_EQ(ko_ipc_stream_chn_add(&audio), 0);
        ko_local_storage_set_manual(1);
        ASSERT_EQ(ko_local_storage_init_v2("/mnt/sdcard", 1, 1ull << 32, 0, 256ull << 20, 0, [](int) {}), 0);
        ASSERT_EQ(ko_local_storage_create(0, 4), 0);
    }
    void TearDown() override
    {
        ko_local_storage_deinit_v2();
        ko_local_storage_set_manual(0);
        sdktest::SdkTest::TearDown();
    }

    void card_status(int status)
    {
        zeltest::porting_hooks_update([&](zeltest::PortingHooksRecord &, zeltest::PortingHooksScript &s) {
            s.storage_status = status;
        });
    }
    std::string index_file() const { return root_.path("/mnt/sdcard/DORVI_CUSTOM_RECORD/.custom_record_msg"); }
    std::string record_file(uint32_t t) const
    {
        char path[1024];
        return timestamp_to_custom_record_path(t, path, sizeof path) == 0 ? path : "";
    }
    std::vector<Entry> entries() const
    {
        std::ifstream in(index_file(), std::ios::binary);
        std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<Entry> out;
        for (size_t at = 512; at + 8 <= b.size(); at += 8)
            out.push_back({static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                                 static_cast<uint32_t>(b[at + 3]) << 24),
                           b[at + 4], b[at + 5]});
        return out;
    }
    ino_t index_inode() const
    {
        struct stat st {};
        return stat(index_file().c_str(), &st) == 0 ? st.st_ino : 0;
    }
    int put(uint32_t t, const std::string &bytes)
    {
        ko_av_frame f{};
        f.timestamp_s = t;
        f.data = const_cast<char *>(bytes.data());
        f.size = static_cast<uint32_t>(bytes.size());
        return ko_storage_custom_put_frame(&f, 0);
    }
};

TEST_F(CustomRecord, TheEntryPointsNeedAnInstanceAndAUsableCard)
{
    ko_av_frame f{};
    EXPECT_EQ(ko_storage_set_custom_record(1, kT, 1), -1) << "no instance for channel 1";
    EXPECT_EQ(ko_storage_custom_put_frame(&f, 1), -1);
    EXPECT_EQ(ko_storage_custom_record_delete(kT, 1), -1);
    for (int status : {2, 3, 10, -1}) {
        card_status(status);
        EXPECT_EQ(ko_storage_set_custom_record(1, kT, 0), KO_STORAGE_CARD_NOT_READY) << status;
        EXPECT_EQ(ko_storage_custom_put_frame(&f, 0), KO_STORAGE_CARD_NOT_READY) << status;
        EXPECT_EQ(ko_storage_custom_record_delete(kT, 0), KO_STORAGE_CARD_NOT_READY) << status;
    }
    EXPECT_NE(access(index_file().c_str(), F_OK), 0) << "nothing was written";
    card_status(0);
    ASSERT_EQ(ko_storage_set_custom_record(1, kT, 0), 0);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].state, CUSTOM_RECORD_SET_UP);
    EXPECT_EQ(entries()[0].data, CUSTOM_RECORD_NO_FRAME);
}

TEST_F(CustomRecord, FramesAreAppendedAndTheEntryIsMarkedOnce)
{
    ASSERT_EQ(ko_storage_set_custom_record(1, kT, 0), 0);
    EXPECT_EQ(put(kT - 1, "early"), -5) << "older than the start";
    std::string expected;
    ASSERT_EQ(put(kT, "frame-0;"), 0);
    expected += "frame-0;";
    const ino_t marked = index_inode();
    sd_io_fault_set(0, 0, 0);
    for (int i = 1; i < 40; i++) {
        const std::string bytes = "frame-" + std::to_string(i) + ";";
        ASSERT_EQ(put(kT + i / 20, bytes), 0);
        expected += bytes;
    }
    EXPECT_EQ(sd_io_ops(), 0u) << "the index is rewritten for the first frame only";
    EXPECT_EQ(index_inode(), marked);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].state, CUSTOM_RECORD_WRITTEN);
    EXPECT_EQ(entries()[0].data, CUSTOM_RECORD_HAS_FRAMES);
    std::ifstream in(record_file(kT), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), expected);

    ASSERT_EQ(ko_storage_set_custom_record(0, kT, 0), 0);
    EXPECT_EQ(put(kT + 5, "late"), -5) << "switched off";
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].state, CUSTOM_RECORD_OFF);
    EXPECT_EQ(entries()[0].data, CUSTOM_RECORD_HAS_FRAMES);

    ASSERT_EQ(ko_storage_custom_record_delete(kT, 0), 0);
    EXPECT_TRUE(entries().empty());
    EXPECT_NE(access(record_file(kT).c_str(), F_OK), 0);
}

TEST_F(CustomRecord, ARecordWhoseFileExistsIsNotListedAgain)
{
    ASSERT_EQ(ko_storage_set_custom_record(1, kT, 0), 0);
    ASSERT_EQ(put(kT, "x"), 0);
    ASSERT_EQ(ko_storage_custom_record_delete(kT, 0), 0);
    std::ofstream(record_file(kT + 60)) << "left over";
    ASSERT_EQ(ko_storage_set_custom_record(1, kT + 60, 0), 0);
    EXPECT_TRUE(entries().empty());
}

} // namespace
