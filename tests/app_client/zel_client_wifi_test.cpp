// The porting hooks of the business layer: the Wi-Fi join from the daemon simulator's request
// through the camera application (a Python agent peer) and back, its failure pauses, time-out and
// script modes, the password kept out of the log; the card's capacity, CID and file system; and the
// network information of "wlan0" in a network namespace of the test's own.
#include "zel_client_agent_listener.h"
#include "zel_client_fixture.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "app_sdk_porting/zel_tolk_wifi.h"
#include "app_sdk_porting/zel_tolk_wifi_test.h"
#include "common/ko_porting_hooks.h"
#include "network_setup_app.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

namespace clienttest {
namespace {

constexpr const char *kPassword = "Tr0ub4dor&3";

class Hooks : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        root().write_file("/mnt/data/operator/zel_log.ini",
                          "[file]\ntype = file\nfile = /tmp/zel.log\nlevel = debug\n\n"
                          "[main]\nappender = file\nasync = false\nlevel = debug\nformat = level,tag\n"
                          "default = true\n");
        zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
        device_ = get_device_info_pointer();
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override
    {
        zel_tolk_wifi_test_set_poll_ms(500);
        ClientTest::TearDown();
    }
    std::string log_text() const { return root().read_file("/tmp/zel.log"); }
    // Every log that may be uploaded: the client's and the SDK's.
    std::string all_logs() const { return log_text() + root().read_file("/tmp/tolk_log.txt"); }
    std::string setting(const char *key)
    {
        char value[128] = {};
        return zel_api_db_get_value(key, value, sizeof value) == 0 ? value : "<absent>";
    }
    // A join attempt in normal mode on its own thread, and the camera application's report after `ms`.
    std::pair<int, std::chrono::milliseconds> attempt_reporting(const char *passwd, int status, int ms)
    {
        const auto start = std::chrono::steady_clock::now();
        std::thread app([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            sdk_porting_set_wifi_status(status);
        });
        const int ret = zel_tolk_set_wifi_connect_sync(KO_WIFI_MODE_NORMAL, "Halvorn-Home", passwd);
        app.join();
        return {ret, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
    }
    // The Wi-Fi start script, writing `result` into its connect-result file and its model into a file.
    void script(const std::string &result)
    {
        root().write_file("/mnt/data/bin/wifi_start.sh",
                          "#!/bin/sh\necho \"$1\" > '" + root().path("/tmp/wifi_model") + "'\nprintf '%s' '" + result +
                              "' > '" + root().path("/tmp/wifi_connect_result") + "'\necho starting\necho done\n");
        chmod(root().path("/mnt/data/bin/wifi_start.sh").c_str(), 0755);
    }

    device_sdk_info_t *device_ = nullptr;
};

TEST_F(Hooks, WifiStartReachesTheCameraApplicationAndItsResultTheDaemon)
{
    ASSERT_NE(network_setup_app_create(0), nullptr);
    AgentListener app(root(), {"wifi_start"}, 20);
    zel_tolk_wifi_test_set_poll_ms(50);
    Json answer = sim_->command(std::string(R"({"cmd":"call","method":"_internal.wifi_start","params":{"ssid":)") +
                                R"("Halvorn-Home","passwd":")" + kPassword +
                                R"(","country_domain":"eu","tz":"Europe/Oslo"}})");
    const int since = json_object_get_int(member(answer.get(), "since"));
    const std::vector<std::string> got = app.params_of("wifi_start", 1);
    ASSERT_EQ(got.size(), 1u) << app.read();
    EXPECT_NE(got[0].find("\"Halvorn-Home\""), std::string::npos) << got[0];
    EXPECT_NE(got[0].find(kPassword), std::string::npos) << got[0];
    EXPECT_EQ(sdk_porting_set_wifi_status(2), 0);
    EXPECT_TRUE(sim_->wait_object("internal", "_internal.wifi_connected", since, 10000));
    EXPECT_EQ(setting("NVM.BIND:timezone"), "Europe/Oslo");
    EXPECT_EQ(setting("MEM.connect_hidden_ssid"), "0");
    const std::string log = all_logs();
    EXPECT_NE(log.find("start to connect STA wifi [Halvorn-Home ******]"), std::string::npos);
    const size_t leak = log.find(kPassword);
    EXPECT_EQ(leak, std::string::npos) << "the password stays out of the log: "
                                       << log.substr(leak > 300 ? leak - 300 : 0, 400);
}

TEST_F(Hooks, AFailedJoinPausesLongerForAShortPassword)
{
    zel_tolk_wifi_test_set_poll_ms(20);
    auto [ret, took] = attempt_reporting("1234567", 3, 100);
    EXPECT_EQ(ret, -1);
    EXPECT_GE(took, 10000ms) << "a 7-character password is not supported: 10 s";
    EXPECT_EQ(__atomic_load_n(&device_->wifi_connect_state, __ATOMIC_ACQUIRE), 0);
    std::tie(ret, took) = attempt_reporting("12345678", 3, 100);
    EXPECT_EQ(ret, -1);
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, zeltest::scaled(8000ms));
    std::tie(ret, took) = attempt_reporting("12345678", 2, 100);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(zel_tolk_set_wifi_connect_sync(0, nullptr, "x"), -1);
}

TEST_F(Hooks, NoResultEndsWithTheTimeOut)
{
    zel_tolk_wifi_test_set_poll_ms(2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zel_tolk_set_wifi_connect_sync(KO_WIFI_MODE_NORMAL, "Halvorn-Home", kPassword), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 480ms) << "241 polls";
    const std::string log = log_text();
    EXPECT_NE(log.find(" timeout_count:240 "), std::string::npos);
    EXPECT_EQ(log.find(" timeout_count:241 "), std::string::npos);
    EXPECT_NE(log.find(" wifi connect timeout  "), std::string::npos);
}

TEST_F(Hooks, HiddenNetworkRunsTheScriptOfTheRoot)
{
    script("STA_CONNECTED guide");
    ko_wifi_connect_info hidden{};
    hidden.ssid = "Halvorn-Hidden";
    hidden.bssid = "02:aa:bb:cc:dd:ee";
    hidden.mode = KO_WIFI_MODE_HIDDEN;
    EXPECT_EQ(ko_ipc_wifi_connect_start(&hidden), 0);
    EXPECT_EQ(root().read_file("/tmp/wifi_model"), "ENTER_HIDDEN_MODEL\n");
    EXPECT_EQ(root().read_file("/tmp/wifi_start_result"), "done\n") << "the script's last line";
    EXPECT_NE(access(root().path("/tmp/wifi_connect_result").c_str(), F_OK), 0) << "removed after reading";
    EXPECT_EQ(setting("MEM.tmp_bssid"), "02:aa:bb:cc:dd:ee");
    EXPECT_EQ(setting("MEM.connect_hidden_ssid"), "1");

    // 64 bytes and more are read as text of 64 characters.
    script("STA_CONNECTED" + std::string(200, 'x'));
    EXPECT_EQ(ko_ipc_wifi_connect_start(&hidden), 0);
    EXPECT_NE(log_text().find("STA_CONNECTED" + std::string(51, 'x') + "\n"), std::string::npos);
    script("STA_FAILED");
    EXPECT_EQ(ko_ipc_wifi_connect_start(&hidden), -1);

    ko_wifi_connect_info master{};
    master.mode = KO_WIFI_MODE_MASTER;
    master.ssid = "Halvorn-Home";
    master.passwd = kPassword;
    script("STA_CONNECTED");
    EXPECT_EQ(ko_ipc_wifi_connect_start(&master), 0);
    EXPECT_EQ(root().read_file("/tmp/wifi_model"), "ENTER_MASTER_MODEL\n");
    EXPECT_EQ(setting("MEM.tmp_passwd"), kPassword);
    EXPECT_EQ(setting("MEM.connect_hidden_ssid"), "0");
    EXPECT_EQ(all_logs().find(kPassword), std::string::npos);
}

TEST_F(Hooks, AnEmptyBssidFailsWithoutTouchingTheSettings)
{
    ko_wifi_connect_info hidden{};
    hidden.ssid = "Halvorn-Hidden";
    hidden.bssid = "";
    hidden.mode = KO_WIFI_MODE_HIDDEN;
    EXPECT_EQ(ko_ipc_wifi_connect_start(&hidden), -1);
    EXPECT_EQ(setting("MEM.tmp_ssid"), "<absent>");
    EXPECT_EQ(setting("MEM.connect_hidden_ssid"), "<absent>");
    EXPECT_EQ(ko_ipc_wifi_connect_start(nullptr), -1);
    ko_wifi_connect_info normal{};
    normal.ssid = "Halvorn-Home";
    EXPECT_EQ(ko_ipc_wifi_connect_start(&normal), -1) << "no password and no time zone";
    ko_wifi_connect_info wired{};
    wired.mode = KO_WIFI_MODE_WIRED;
    EXPECT_EQ(ko_ipc_wifi_connect_start(&wired), 0);
}

TEST_F(Hooks, PinCodeIsStoredAndAnnounced)
{
    EXPECT_EQ(ko_ipc_wifi_show_pin(nullptr), -1);
    EXPECT_EQ(ko_ipc_wifi_show_pin("4711"), 0);
    EXPECT_EQ(setting("NVM.IPC:pincode"), "4711");
}

TEST_F(Hooks, P2PNoticeSelectsTheStreamAndEncryptionLeavesTheData)
{
    ko_p2p_msg_notice notice{};
    notice.quality = 0;
    ASSERT_EQ(ko_p2p_message_notice(&notice), 0);
    EXPECT_EQ(notice.channel, 1);
    EXPECT_EQ(notice.answer, 1);
    notice.quality = 3;
    ASSERT_EQ(ko_p2p_message_notice(&notice), 0);
    EXPECT_EQ(notice.channel, 0);
    EXPECT_EQ(notice.answer, 0);
    notice.quality = 9;
    notice.channel = 7;
    ASSERT_EQ(ko_p2p_message_notice(&notice), 0);
    EXPECT_EQ(notice.channel, 7) << "an unknown quality leaves the channel";
    notice.type = 2;
    EXPECT_EQ(ko_p2p_message_notice(&notice), -1);
    EXPECT_EQ(ko_p2p_message_notice(nullptr), -1);
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(ko_p2p_encrypt_data(4, data, sizeof data), 4);
    EXPECT_EQ(ko_p2p_decrypt_data(4, data, sizeof data), 4);
    EXPECT_EQ(data[3], 4);
    EXPECT_EQ(ko_cloud_set_video_gop(60, 1, 2), 0);
}

TEST_F(Hooks, CapacityIsTheFileSystemOfTheRootsCard)
{
    mkdir(root().path("/mnt/sdcard").c_str(), 0755);
    uint64_t total = 1, used = 1, free_bytes = 1;
    ASSERT_EQ(ko_storage_get_capacity(&total, &used, &free_bytes), 0);
    std::string out;
    ASSERT_EQ(zeltest::run_command("stat -f -c '%b %f %a %S' '" + root().path("/mnt/sdcard") + "'", &out), 0);
    unsigned long long blocks = 0, bfree = 0, bavail = 0, bsize = 0;
    ASSERT_EQ(sscanf(out.c_str(), "%llu %llu %llu %llu", &blocks, &bfree, &bavail, &bsize), 4) << out;
    EXPECT_EQ(total, blocks * bsize);
    EXPECT_NEAR(static_cast<double>(used), static_cast<double>((blocks - bfree) * bsize), 64.0 * 1048576);
    EXPECT_NEAR(static_cast<double>(free_bytes), static_cast<double>(bavail * bsize), 64.0 * 1048576);
    EXPECT_EQ(ko_storage_get_capacity(nullptr, &used, &free_bytes), -1);
}

// A FAT32 file system of `sectors` 512-byte sectors, one sector per cluster, with an empty root.
void write_fat32_image(const std::string &path, uint32_t sectors)
{
    const uint32_t reserved = 32;
    const uint32_t fat_sectors = (sectors * 4 + 511) / 512;
    std::vector<uint8_t> head(static_cast<size_t>(reserved + 2 * fat_sectors + 1) * 512, 0);
    auto le16 = [&](size_t at, uint16_t v) { head[at] = v & 0xff, head[at + 1] = v >> 8; };
    auto le32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            head[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    uint8_t *boot = head.data();
    boot[0] = 0xeb, boot[1] = 0x58, boot[2] = 0x90;
    memcpy(boot + 3, "HALVORN ", 8);
    le16(11, 512);
    boot[13] = 1;
    le16(14, reserved);
    boot[16] = 2;
    boot[21] = 0xf8;
    le16(24, 32);
    le16(26, 64);
    le32(32, sectors);
    le32(36, fat_sectors);
    le32(44, 2);
    le16(48, 1);
    le16(50, 6);
    boot[64] = 0x80;
    boot[66] = 0x29;
    le32(67, 0x20261209);
    memcpy(boot + 71, "NO NAME    FAT32   ", 19);
    boot[510] = 0x55, boot[511] = 0xaa;
    le32(512, 0x41615252);
    le32(512 + 484, 0x61417272);
    le32(512 + 488, 0xffffffff);
    le32(512 + 492, 0xffffffff);
    le32(512 + 508, 0xaa550000);
    memcpy(head.data() + 6 * 512, boot, 512);
    for (uint32_t fat = 0; fat < 2; ++fat) {
        const size_t at = static_cast<size_t>(reserved + fat * fat_sectors) * 512;
        le32(at, 0x0ffffff8);
        le32(at + 4, 0x0fffffff);
        le32(at + 8, 0x0fffffff); // the root directory's one cluster
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(head.data()), static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(sectors) * 512 - 1);
    out.put('\0');
}

TEST_F(Hooks, HardwareInfoOfAMountedFat32Card)
{
    char buf[70];
    EXPECT_EQ(ko_storage_get_hw_info(buf), 0) << "no card, no CID";
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a card image needs root";
    const std::string cid = "035344534331323880a1b2c3d400e3c1";
    root().write_file("/sys/block/mmcblk0/device/cid", cid + "\n");
    const std::string image = root().path("/tmp/card.img");
    const std::string mount_point = root().path("/mnt/sdcard");
    mkdir(mount_point.c_str(), 0755);
    write_fat32_image(image, 70000);
    std::string out;
    if (zeltest::run_command("mount -t vfat -o loop '" + image + "' '" + mount_point + "' 2>&1", &out) != 0)
        GTEST_SKIP() << "cannot mount a FAT32 image here: " << out;
    struct statfs st {};
    statfs(mount_point.c_str(), &st);
    const int ret = ko_storage_get_hw_info(buf);
    zeltest::run_command("umount '" + mount_point + "'", &out);
    ASSERT_EQ(st.f_type, 0x4d44) << "the image mounted as FAT";
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(std::string(buf), cid);
    EXPECT_STREQ(buf + 40, "FAT32");
}

TEST_F(Hooks, NetworkInfoOfWlan0InANamespaceOfItsOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a network namespace needs root";
    root().write_file("/proc/net/wireless", "Inter-| sta-|   Quality        |   Discarded packets\n"
                                            " face | tus | link level noise |  nwid  crypt   frag\n"
                                            " wlan0: 0000   52.  -58.  -256        0      0      0\n");
    ASSERT_EQ(zel_api_db_set_value("NVM.BIND:wifi_ssid", "Halvorn-Home", 12, 0), 0);
    ASSERT_EQ(zel_api_db_set_value("NVM.BIND:wifi_pwd", kPassword, static_cast<int>(strlen(kPassword)), 0), 0);
    std::string skip;
    int as_ap = 0, as_station = -1;
    ko_wifi_info info{};
    // unshare applies to the calling thread only; the commands it forks run in the same namespace.
    // Without the dummy link type a veth pair stands in.
    std::thread netns([&] {
        std::string out;
        if (unshare(CLONE_NEWNET) != 0 ||
            zeltest::run_command("{ ip link add wlan0 type dummy || ip link add wlan0 type veth peer name wlan9; } "
                                 "2>&1 && ip link set wlan0 up && ip addr add 192.168.14.1/24 dev wlan0 2>&1",
                                 &out) != 0) {
            skip = "no network namespace with a dummy link here: " + out;
            return;
        }
        as_ap = ko_ipc_wifi_info_get(&info);
        zeltest::run_command("ip addr flush dev wlan0 && ip addr add 10.20.30.40/16 dev wlan0 2>&1", &out);
        as_station = ko_ipc_wifi_info_get(&info);
    });
    netns.join();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    EXPECT_EQ(as_ap, -1) << "the camera's own access-point address is no network";
    ASSERT_EQ(as_station, 0);
    EXPECT_STREQ(info.ip, "10.20.30.40");
    EXPECT_STREQ(info.mask, "255.255.0.0");
    EXPECT_EQ(info.rssi, -58);
    EXPECT_STREQ(info.ssid, "Halvorn-Home") << "no iwgetid here: the bound network's settings";
    EXPECT_STREQ(info.passwd, kPassword);
    EXPECT_EQ(info.bssid[0], '\0');
    EXPECT_EQ(info.freq, 0);
    EXPECT_EQ(all_logs().find(kPassword), std::string::npos);
    EXPECT_NE(log_text().find(" get ssid:Halvorn-Home, passwd:****** "), std::string::npos);
    EXPECT_EQ(ko_ipc_wifi_info_get(nullptr), -1);
}

} // namespace
} // namespace clienttest
