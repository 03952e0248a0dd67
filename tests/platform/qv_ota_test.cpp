// The simulated OTA install library: staging stops at the context's size, only the install writes the
// partition (whole, with the progress reaching 100), faults come from the script or the environment,
// and a reboot is recorded in the root, never done.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "qv_ota.h"
#include "qv_ota_test.h"
#include "zel_test_support.h"

namespace {

class QvOta : public ::testing::Test {
protected:
    void SetUp() override { qv_ota_test_reset(); }
    void TearDown() override
    {
        qv_ota_test_reset();
        unsetenv("ZELMAR_QV_OTA");
    }
    zeltest::TempRoot root_;
};

TEST_F(QvOta, StagesWithinItsSizeAndOnlyTheInstallWrites)
{
    void *h = qv_ota_init(300000);
    ASSERT_NE(h, nullptr);
    const std::string a(200000, 'a'), b(100000, 'b');
    EXPECT_NE(qv_ota_download_ing(h, a.data(), static_cast<int>(a.size())), 0);
    EXPECT_EQ(qv_ota_download_ing(h, b.data(), static_cast<int>(b.size()) + 1), 0) << "one byte past the size";
    EXPECT_NE(qv_ota_download_ing(h, b.data(), static_cast<int>(b.size())), 0);
    EXPECT_EQ(qv_ota_download_ing(h, "x", 1), 0) << "full";
    EXPECT_FALSE(root_.exists(QV_OTA_PARTITION));

    int percent = -1;
    std::thread install([&] { EXPECT_EQ(qv_ota_download_install(h, "900303"), 0); });
    install.join();
    ASSERT_EQ(qv_ota_get_install_progress(&percent), 0);
    EXPECT_EQ(percent, 100);
    EXPECT_TRUE(root_.read_file(QV_OTA_PARTITION) == a + b);
    EXPECT_EQ(qv_ota_test_installs(), std::vector<std::string>{"900303"});
    EXPECT_EQ(qv_ota_get_install_progress(nullptr), -1);
}

TEST_F(QvOta, RebootsAreRecordedInTheRoot)
{
    void *h = qv_ota_init(16);
    EXPECT_NE(qv_ota_device_reboot(h), 0);
    EXPECT_NE(qv_ota_device_reboot(h), 0);
    EXPECT_EQ(qv_ota_test_reboots(), 2);
    EXPECT_EQ(root_.read_file("/tmp/qv_ota_reboots"), "reboot\nreboot\n");
}

TEST_F(QvOta, FaultsFromTheEnvironment)
{
    setenv("ZELMAR_QV_OTA", "fault=no_handle", 1);
    qv_ota_test_reset();
    EXPECT_EQ(qv_ota_init(16), nullptr);
    setenv("ZELMAR_QV_OTA", "piece_ms=0,fault=install_fail", 1);
    qv_ota_test_reset();
    void *h = qv_ota_init(16);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(qv_ota_download_ing(h, "abc", 3), 0);
    EXPECT_NE(qv_ota_download_install(h, "1"), 0);
    EXPECT_FALSE(root_.exists(QV_OTA_PARTITION));
    setenv("ZELMAR_QV_OTA", "fault=refuse_chunk", 1);
    qv_ota_test_reset();
    EXPECT_EQ(qv_ota_download_ing(qv_ota_init(16), "abc", 3), 0);
}

TEST_F(QvOta, StuckInstallEndsWithTheReboot)
{
    qv_ota_test_set(QvOtaScript{QvOtaFault::stuck60, 0});
    void *h = qv_ota_init(1 << 20);
    const std::string image(1 << 20, 'i');
    ASSERT_NE(qv_ota_download_ing(h, image.data(), static_cast<int>(image.size())), 0);
    int rc = 0;
    std::thread install([&] { rc = qv_ota_download_install(h, "7"); });
    int percent = 0;
    EXPECT_TRUE(zeltest::wait_until(
        [&] { return qv_ota_get_install_progress(&percent) == 0 && percent == 60; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    qv_ota_get_install_progress(&percent);
    EXPECT_EQ(percent, 60);
    qv_ota_device_reboot(h);
    install.join();
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(root_.exists(QV_OTA_PARTITION));
}

} // namespace
