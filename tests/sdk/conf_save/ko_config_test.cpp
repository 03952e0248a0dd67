// Config slots: the file's size and fill, CRC-protected slots that survive a restart, a torn slot
// that leaves the others readable, and an independent Python reader of the file layout.
#include "common/conf_save/ko_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "zel_test_support.h"

namespace {

constexpr const char *kFile = "/mnt/data/tolk_conf.db";

std::string run_reader(const zeltest::TempRoot &root)
{
    std::string out;
    std::string cmd;
    for (const auto &arg : zeltest::python_peer("conf_slot_reader.py", {root.path(kFile)}))
        cmd += "'" + arg + "' ";
    EXPECT_EQ(zeltest::run_command(cmd, &out), 0);
    return out;
}

void patch_byte(const zeltest::TempRoot &root, long offset, char value)
{
    std::fstream f(root.path(kFile), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.put(value);
}

} // namespace

TEST(KoConfig, FreshFileIsFilledAndEverySlotReadsAbsent)
{
    zeltest::TempRoot root;
    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    EXPECT_EQ(ko_config_init("/mnt/data"), -1);
    EXPECT_EQ(root.read_file(kFile), std::string(KO_CONFIG_FILE_SIZE, '\xff'));
    char buf[252];
    for (unsigned slot : {128u, 384u, 768u, 1024u})
        EXPECT_EQ(ko_config_get(slot, buf, 1), -1) << slot;
    EXPECT_EQ(ko_config_deinit(), 0);
    EXPECT_EQ(ko_config_deinit(), -1);
}

TEST(KoConfig, StartCutsOrFillsTheFile)
{
    zeltest::TempRoot root;
    root.write_file(kFile, std::string(30000, 'a'));
    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    EXPECT_EQ(root.read_file(kFile).size(), static_cast<size_t>(KO_CONFIG_FILE_SIZE));
    ASSERT_EQ(ko_config_deinit(), 0);

    root.write_file(kFile, std::string(1000, 'a'));
    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    EXPECT_EQ(root.read_file(kFile), std::string(1000, 'a') + std::string(KO_CONFIG_FILE_SIZE - 1000, '\xff'));
    ASSERT_EQ(ko_config_deinit(), 0);
}

TEST(KoConfig, SlotsSurviveARestartAndPythonReadsThem)
{
    zeltest::TempRoot root;
    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    const std::string settings = "log-upload-settings-24b!";
    ASSERT_EQ(settings.size(), 24u);
    ASSERT_EQ(ko_config_set(128, settings.data(), 24), 0);
    const std::string big(1532, 'q');
    ASSERT_EQ(ko_config_set(1024, big.data(), 1532), 0);
    ASSERT_EQ(ko_config_deinit(), 0);

    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    char buf[1532] = {0};
    ASSERT_EQ(ko_config_get(128, buf, 24), 0);
    EXPECT_EQ(std::string(buf, 24), settings);
    ASSERT_EQ(ko_config_get(128, buf, 252), 0);
    EXPECT_EQ(std::string(buf, 252), settings + std::string(228, '\0'));
    ASSERT_EQ(ko_config_get(1024, buf, 1532), 0);
    EXPECT_EQ(std::string(buf, 1532), big);
    EXPECT_EQ(ko_config_get(384, buf, 10), -1);
    ASSERT_EQ(ko_config_deinit(), 0);

    std::string payload_hex;
    for (unsigned char c : settings + std::string(228, '\0')) {
        char h[3];
        std::snprintf(h, sizeof(h), "%02x", c);
        payload_hex += h;
    }
    const std::string report = run_reader(root);
    EXPECT_NE(report.find("\"size\": 20480"), std::string::npos) << report;
    EXPECT_NE(report.find("\"128\": {\"state\": \"ok\", \"payload\": \"" + payload_hex + "\"}"), std::string::npos)
        << report;
    EXPECT_NE(report.find("\"1024\": {\"state\": \"ok\""), std::string::npos);
    EXPECT_NE(report.find("\"384\": {\"state\": \"empty\""), std::string::npos);
    EXPECT_NE(report.find("\"fill_ok\": true"), std::string::npos);
}

TEST(KoConfig, TornSlotFailsItsCrcAndLeavesTheOthersReadable)
{
    zeltest::TempRoot root;
    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    const std::string a(100, 'a'), b(200, 'b'), c(50, 'c');
    ASSERT_EQ(ko_config_set(128, a.data(), 100), 0);
    ASSERT_EQ(ko_config_set(384, b.data(), 200), 0);
    ASSERT_EQ(ko_config_set(768, c.data(), 50), 0);
    // A write cut short: the slot's new bytes landed only in part.
    patch_byte(root, 384 + 4 + 150, 'X');
    char buf[284];
    testing::internal::CaptureStdout();
    EXPECT_EQ(ko_config_get(384, buf, 200), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("hash"), std::string::npos);
    ASSERT_EQ(ko_config_get(128, buf, 100), 0);
    EXPECT_EQ(std::string(buf, 100), a);
    ASSERT_EQ(ko_config_get(768, buf, 50), 0);
    EXPECT_EQ(std::string(buf, 50), c);
    EXPECT_NE(run_reader(root).find("\"384\": {\"state\": \"bad\""), std::string::npos);
    // Rewriting the slot heals it.
    ASSERT_EQ(ko_config_set(384, b.data(), 200), 0);
    EXPECT_EQ(ko_config_get(384, buf, 200), 0);
    ASSERT_EQ(ko_config_deinit(), 0);
}

TEST(KoConfig, RefusesBadSlotsAndLengthsAndResets)
{
    zeltest::TempRoot root;
    char buf[300] = {0};
    EXPECT_EQ(ko_config_set(128, buf, 1), -1);
    ASSERT_EQ(ko_config_init("/mnt/data"), 0);
    EXPECT_EQ(ko_config_set(128, buf, 253), -1);
    EXPECT_EQ(ko_config_set(0, buf, 1), -1);
    EXPECT_EQ(ko_config_set(129, buf, 1), -1);
    EXPECT_EQ(ko_config_set(128, nullptr, 1), -1);
    EXPECT_EQ(ko_config_set(128, buf, 0), -1);
    EXPECT_EQ(ko_config_get(384, buf, 285), -1);
    EXPECT_EQ(ko_config_reset(), 0);
    EXPECT_FALSE(root.exists(kFile));
    EXPECT_EQ(ko_config_get(128, buf, 1), -1);
    ASSERT_EQ(ko_config_deinit(), 0);
    EXPECT_EQ(ko_config_reset(), -1);
}
