// The business timer: its tick driven by the test against the daemon simulator (server time, clock
// setting through the simulated platform clock, the services started at the first valid time), the
// cloud-connection messages as a Python agent peer receives them, the SD status report, the log-file
// list, the SD service's status callback, and the real thread for two ticks.
#include "zel_client_agent_listener.h"
#include "zel_client_fixture.h"

#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "app/cloud/ko_cloud_internal.h"
#include "app/cloud/ko_cloud_test.h"
#include "app/logfiles/ko_logfiles.h"
#include "app/logfiles/ko_logfiles_test.h"
#include "app/record/ko_local_storage.h"
#include "agent_server.h"
#include "agent_server_test.h"
#include "app/record/ko_local_storage_test.h"
#include "common/utils/ko_time_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer_test.h"
#include "zel_sysclock_test.h"

namespace clienttest {
namespace {

std::atomic<uint64_t> g_wall_us{0};
uint64_t test_wall()
{
    return g_wall_us.load();
}

// The SD-card status reports, through a property row of the test's own.
std::mutex g_reports_lock;
std::vector<std::string> g_reports;
void record_report(int, int, int, int op, char *value, int size, bool)
{
    std::lock_guard<std::mutex> guard(g_reports_lock);
    if (op == SPEC_OP_LOCAL)
        g_reports.emplace_back(value, static_cast<size_t>(size));
}
const spec_property_row_t kSdcardRow[] = {{"sdcard_status", 2, 9, 1, record_report}};
const zel_rpc_tables_t kTables = {kSdcardRow, 1, nullptr, 0, nullptr, 0};
std::vector<std::string> reports()
{
    std::lock_guard<std::mutex> guard(g_reports_lock);
    return g_reports;
}

void tick()
{
    zel_tolk_net_status_timer_cb(nullptr, nullptr, 0);
}

class Timer : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        zel_tolk_timer_test_reset();
        zel_sysclock_test_clear();
        ko_local_storage_set_manual(1);
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:power", "1", 1, 0), 0);
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
        info_ = get_zel_tolk_info_pointer();
        device_ = get_device_info_pointer();
        ASSERT_TRUE(info_ && device_);
        // The SDK answers the server time once the daemon has told it the camera's state.
        ASSERT_TRUE(zeltest::wait_until(
            [] {
                uint32_t t = 0;
                return ko_ipc_get_server_time(&t) == 0;
            },
            15s));
    }
    void TearDown() override
    {
        zel_tolk_timer_test_enable_thread(0);
        zel_tolk_timer_test_set_period(5);
        ko_time_set_wall_source(nullptr);
        ko_logfiles_upload_deinit();
        ko_cloud_deinit();
        ko_local_storage_deinit_v2();
        ClientTest::TearDown();
    }
    void server_time(uint32_t t) { sim_->command(R"({"cmd":"set","time":)" + std::to_string(t) + "}"); }
    void wall(uint64_t seconds)
    {
        g_wall_us = seconds * 1000000;
        ko_time_set_wall_source(test_wall);
    }
    void online(int on) { __atomic_store_n(&device_->cloud_connected, on, __ATOMIC_RELEASE); }

    zel_tolk_info_t *info_ = nullptr;
    device_sdk_info_t *device_ = nullptr;
};

TEST_F(Timer, TheFirstValidServerTimeSetsTheClockAndStartsTheServicesOnce)
{
    ASSERT_EQ(zel_api_db_set_value("NVM.SD:storage_mode", "1", 1, 0), 0);
    __atomic_store_n(&info_->bind_ok, 0u, __ATOMIC_RELEASE);
    online(0); // online would bind the camera
    server_time(1546272000);
    tick();
    EXPECT_TRUE(zel_sysclock_test_requests().empty()) << "1546272000 itself is not a valid time";
    EXPECT_EQ(ko_logfiles_test_started(), 0);
    ko_p2p_conn_info conn{};
    EXPECT_EQ(ko_p2p_get_clients_conn_info(&conn), -1) << "nothing started";

    server_time(1546272001);
    tick();
    const std::vector<struct timeval> set = zel_sysclock_test_requests();
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].tv_sec, 1546272001);
    EXPECT_EQ(set[0].tv_usec, 500000);
    EXPECT_EQ(ko_p2p_get_clients_conn_info(&conn), 0) << "P2P runs";
    EXPECT_EQ(ko_local_storage_create(0, 4), 0) << "the recorder of channels 0 and 4 exists";
    EXPECT_EQ(ko_local_storage_set_mode_v2(0, 1), 0);
    const cloud_init_param_t &cloud = cloud_record_ctx().param;
    EXPECT_STREQ(cloud.dir, "/tmp/stream");
    EXPECT_EQ(cloud.video_channel, 0);
    EXPECT_EQ(cloud.audio_channel, 4);
    EXPECT_EQ(ko_cloud_test_buffer_size(), 2097152u);
    EXPECT_EQ(ko_cloud_test_alarm_config().record_seconds, 9);
    EXPECT_EQ(ko_logfiles_test_started(), 1);

    // Once: a stopped log upload is not started again by later ticks.
    ASSERT_EQ(ko_logfiles_upload_deinit(), 0);
    tick();
    EXPECT_EQ(ko_logfiles_test_started(), 0);
}

TEST_F(Timer, UnboundSetsTheClockEveryTickBoundEvery360th)
{
    server_time(1700000000);
    __atomic_store_n(&info_->bind_ok, 0u, __ATOMIC_RELEASE);
    online(0); // online would bind the camera
    for (int i = 0; i < 3; ++i)
        tick();
    EXPECT_EQ(zel_sysclock_test_requests().size(), 3u);
    __atomic_store_n(&info_->bind_ok, 1u, __ATOMIC_RELEASE);
    wall(1700000000);
    zel_sysclock_test_clear();
    for (int i = 3; i < 359; ++i)
        tick();
    EXPECT_TRUE(zel_sysclock_test_requests().empty()) << "a bound camera with a valid clock waits";
    tick(); // the 360th
    EXPECT_EQ(zel_sysclock_test_requests().size(), 1u);
    wall(1546271999);
    tick();
    EXPECT_EQ(zel_sysclock_test_requests().size(), 2u) << "a clock before 2019 is set at once";
    zel_sysclock_test_fail(1);
    tick();
    EXPECT_EQ(zel_sysclock_test_requests().size(), 2u) << "a refused setting is only logged";
}

TEST_F(Timer, CloudConnectionMessagesFollowEachOnlinePeriod)
{
    AgentListener peer(root(), {"set_dev_status"}, 20);
    server_time(1700000000);
    __atomic_store_n(&info_->bind_ok, 0u, __ATOMIC_RELEASE);
    online(0);
    tick();
    tick();
    online(1);
    tick();
    tick();
    EXPECT_EQ(__atomic_load_n(&info_->bind_ok, __ATOMIC_ACQUIRE), 1u) << "coming online binds the camera";
    online(0);
    tick();
    online(1);
    tick();
    const std::vector<std::string> got = peer.params_of("set_dev_status", 5);
    const std::vector<std::string> want = {R"("cloud_connecting")", R"("cloud_connecting")", R"("cloud_connected")",
                                           R"("cloud_connecting")", R"("cloud_connected")"};
    EXPECT_EQ(got, want) << peer.read();
}

TEST_F(Timer, ACloudConnectedReportThatFailedIsSentAgain)
{
    server_time(1700000000);
    online(1);
    agent_server_stop();
    tick(); // the agent bus is gone: not sent
    ASSERT_EQ(agent_server_init(), 0);
    AgentListener peer(root(), {"set_dev_status"}, 20);
    bool sent = false;
    zeltest::wait_until(
        [&] {
            tick();
            sent = peer.read().find(R"("cloud_connected")") != std::string::npos;
            return sent;
        },
        20s);
    EXPECT_TRUE(sent) << peer.read();
}

TEST_F(Timer, NothingIsReportedWhileTheLocalClockIsInvalid)
{
    AgentListener peer(root(), {"set_dev_status"}, 5);
    zel_rpc_test_install_tables(&kTables);
    server_time(1546272000); // ignored, so the clock stays where it was
    wall(1546271999);
    online(0);
    tick();
    EXPECT_TRUE(reports().empty()) << "no SD report either";
    wall(1700000000);
    tick();
    EXPECT_EQ(peer.params_of("set_dev_status", 1).size(), 1u) << "the next tick with a valid clock reports";
    zel_rpc_test_install_tables(nullptr);
}

TEST_F(Timer, TheFirstTickReportsTheSdcardStatus)
{
    zel_rpc_test_install_tables(&kTables);
    server_time(1700000000);
    tick();
    EXPECT_EQ(reports(), std::vector<std::string>{"1"}) << "no status from the card app yet counts as 1";
    tick();
    EXPECT_EQ(reports().size(), 1u) << "the next report is 120000 ticks on";
    zel_rpc_test_install_tables(nullptr);
}

TEST_F(Timer, LogFileListsHoldDevicePaths)
{
    char list[3 * KO_LOGFILES_ENTRY_SIZE] = {};
    unlink(root().path("/tmp/tolk_log.txt").c_str()); // the SDK logger's file
    EXPECT_EQ(zel_tolk_logfiles_cb(list, 2, 1), 0) << "no files";
    EXPECT_EQ(zel_tolk_logfiles_cb(list, 2, 0), 0);
    root().write_file("/tmp/messages.0", "m");
    root().write_file("/tmp/tolk_log.txt", "t");
    EXPECT_EQ(zel_tolk_logfiles_cb(list, 0, 1), 0);
    ASSERT_EQ(zel_tolk_logfiles_cb(list, 1, 1), 1);
    EXPECT_STREQ(list, "/tmp/messages.0");
    ASSERT_EQ(zel_tolk_logfiles_cb(list, 2, 1), 2);
    EXPECT_STREQ(list + KO_LOGFILES_ENTRY_SIZE, "/tmp/tolk_log.txt");
    root().write_file("/tmp/tolk_log_backup.txt", "b");
    ASSERT_EQ(zel_tolk_logfiles_cb(list, 3, 0), 2);
    EXPECT_STREQ(list, "/tmp/tolk_log_backup.txt");
    EXPECT_STREQ(list + KO_LOGFILES_ENTRY_SIZE, "/tmp/messages.0");
    root().write_file("/tmp/tolk_log_ready.txt", "r");
    ASSERT_EQ(zel_tolk_logfiles_cb(list, 1, 0), 1);
    EXPECT_STREQ(list, "/tmp/tolk_log_ready.txt");

    // Through the service, as the upload asks for them.
    server_time(1700000000);
    tick();
    EXPECT_EQ(ko_logfiles_test_list(1, 1), std::vector<std::string>{"/tmp/messages.0"});
}

TEST_F(Timer, StorageStatusEightAsksForACheckAndTwelveRemountsReadOnly)
{
    AgentListener peer(root(), {"set_sdcard_cmd"}, 10);
    zel_tolk_storage_status_callback(8);
    EXPECT_EQ(peer.params_of("set_sdcard_cmd", 1), std::vector<std::string>{"0"}) << peer.read();

    // A mount of the test's own, first in PATH, writes what it was asked.
    const std::string bin = root().path("/test-bin");
    mkdir(bin.c_str(), 0755);
    const std::string args = root().path("/tmp/mount.args");
    root().write_file("/test-bin/mount", "#!/bin/sh\necho \"$@\" > '" + args + "'\n");
    chmod((bin + "/mount").c_str(), 0755);
    const std::string path = getenv("PATH");
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    zel_tolk_storage_status_callback(12);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(root().read_file("/tmp/mount.args"), "-o remount,ro " + root().path("/mnt/sdcard/") + "\n");
    zel_tolk_storage_status_callback(3); // nothing more
}

TEST_F(Timer, SdStatusTenAndTheFirstValidTickStartOneRecorder)
{
    server_time(1700000000);
    std::thread agent([] { sdk_porting_set_sdcard_status(10); });
    tick();
    agent.join();
    EXPECT_EQ(ko_local_storage_set_mode_v2(0, 0), 0);
    EXPECT_EQ(ko_local_storage_create(0, 4), 0) << "one recorder, already there";
    sdk_porting_set_sdcard_status(10);
    EXPECT_EQ(ko_local_storage_set_mode_v2(0, 1), 0);
}

TEST_F(Timer, TheRealThreadTicksAndStops)
{
    AgentListener peer(root(), {"set_dev_status"}, 20);
    server_time(1700000000);
    online(0);
    zel_tolk_timer_test_set_period(1);
    zel_tolk_timer_test_enable_thread(1);
    ASSERT_EQ(zel_tolk_create_timer_proc(), 0);
    EXPECT_EQ(peer.params_of("set_dev_status", 2).size(), 2u) << "two ticks";
    EXPECT_TRUE(zeltest::wait_until(
        [] {
            for (const auto &t : zeltest::tasks())
                if (t.second == "zel_tolk_timer_")
                    return true;
            return false;
        },
        5s));
    EXPECT_EQ(zel_tolk_timer_test_running(), 1);
    zel_tolk_media_evloop_stop();
    EXPECT_TRUE(zeltest::wait_until([] { return zel_tolk_timer_test_running() == 0; }, 10s));
}

} // namespace
} // namespace clienttest
