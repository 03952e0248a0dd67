// The client's side of a firmware update with the SDK's OTA service, the simulated cloud serving the
// image and the simulated OTA install library: the image reaches the partition and the device reboots
// once; a stuck, failed or refused install reboots without counting as installed; so does a download
// that stalls on every attempt, without installing; an automatic update of a device that is not idle
// is aborted.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../sdk/cloud/cloud_sim_client.h"
#include "../sdk/ota/ota_daemon_calls.h"
#include "app/ota/ko_ota.h"
#include "app/ota/ko_ota_test.h"
#include "common/http/vexa_http_test.h"
#include "ota_image_maker.h"
#include "qv_ota.h"
#include "qv_ota_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_ota.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_ota_test.h"
#include "zel_client_agent_listener.h"
#include "zel_client_fixture.h"

namespace {

using namespace std::chrono_literals;
using zeltest::OtaImageSpec;

class ClientOta : public clienttest::ClientTest {
protected:
    explicit ClientOta(zeltest::FactoryEntries rom = {{"hid", "900202000001"}}) : ClientTest(std::move(rom)) {}

    static void SetUpTestSuite()
    {
        char dir[] = "/tmp/client_ota_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_TRUE(zeltest::make_ota_pki(dir, &pki_));
    }
    static void TearDownTestSuite() { zeltest::run_command("rm -rf " + pki_.dir); }

    void SetUp() override
    {
        ClientTest::SetUp();
        if (HasFatalFailure())
            return;
        zel_tolk_ota_test_reset();
        qv_ota_test_reset();
        qv_ota_test_set(QvOtaScript{QvOtaFault::none, 1});
        zel_tolk_ota_test_set(pki_.pem("root"), 50, 10);
        // The client app: the business layer and the agent client that tells the application.
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
        const uint8_t key[16] = {1};
        ASSERT_TRUE(cloud_.start(root(), key, "token"));
        root().write_file("/mnt/data/bin/pre-ota.sh", "#!/bin/sh\necho ran >> " + root().path("/tmp/pre-ota.log") + "\n");
        zeltest::run_command("chmod +x " + root().path("/mnt/data/bin/pre-ota.sh"));
        payload_.resize(300000);
        std::mt19937 rng(5);
        for (char &c : payload_)
            c = static_cast<char>(rng());
    }
    void TearDown() override
    {
        zeltest::wait_until([] { return ko_ota_test_busy() == 0; }, 30s);
        ko_ota_deinit();
        vexa_http_test_set_low_speed_time(0);
        zel_tolk_ota_test_set("", 0, 0);
        zel_tolk_ota_test_reset();
        qv_ota_test_reset();
        ClientTest::TearDown();
    }

    // Serves a good image and asks for it: a user's request, or with "app_force" `force` (0 or 1) an
    // automatic one.
    void request(int force = -1, OtaImageSpec spec = {})
    {
        spec.payload = payload_;
        spec.model = ko_ipc_get_sdk_info()->param.model;
        spec.new_ver = {9, 0, 0, 0, 0};
        const std::string img = zeltest::make_ota_image(pki_, spec);
        ASSERT_FALSE(img.empty());
        std::ofstream(cloud_.out() + "/fw.bin", std::ios::binary) << img;
        zeltest::Json reply = otatest::daemon_call(
            *sim_, 1, "lumo.ota",
            R"({"app_url":")" + cloud_.base() + R"(/ota/fw.bin","file_md5":")" + zeltest::ota_md5_hex(img) +
                R"(","signed_file":"true","original_length":1)" +
                (force < 0 ? std::string() : R"(,"app_force":)" + std::to_string(force)) + "}");
        ASSERT_EQ(sdktest_result(reply), R"(["OK"])");
    }
    static std::string sdktest_result(const zeltest::Json &reply)
    {
        json_object *r = zeltest::member(reply.get(), "result");
        return r ? json_object_to_json_string_ext(r, JSON_C_TO_STRING_PLAIN) : "(none)";
    }
    // The update's last reported state once its worker ended.
    std::string final_state()
    {
        EXPECT_TRUE(zeltest::wait_until([] { return ko_ota_test_busy() == 0; }, 60s));
        // The last report may still be on its way to the daemon.
        std::string last = "(none)";
        zeltest::wait_until(
            [&] {
                const std::vector<std::string> states = otatest::reported_props(*sim_, "ota_state");
                last = states.empty() ? "(none)" : states.back();
                return last == "installed" || last.rfind("failed", 0) == 0;
            },
            5s);
        return last;
    }
    bool partition_written() const { return root().exists(QV_OTA_PARTITION); }
    int pre_ota_runs() const
    {
        const std::string log = root().exists("/tmp/pre-ota.log") ? root().read_file("/tmp/pre-ota.log") : "";
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }

    static zeltest::OtaPki pki_;
    cloudtest::CloudSim cloud_;
    std::string payload_;
};

zeltest::OtaPki ClientOta::pki_;

TEST_F(ClientOta, ImageIsInstalledAndTheDeviceRebootsOnce)
{
    clienttest::AgentListener app(root(), {"set_dev_status"}, 30);
    request();
    EXPECT_EQ(final_state(), "installed");
    EXPECT_TRUE(root().read_file(QV_OTA_PARTITION) == payload_);
    EXPECT_EQ(qv_ota_test_installs(), std::vector<std::string>{"900303"});
    EXPECT_EQ(qv_ota_test_reboots(), 1);
    EXPECT_EQ(pre_ota_runs(), 1);
    const std::vector<std::string> progress = otatest::reported_props(*sim_, "ota_progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), "100");
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_LE(std::stoi(progress[i - 1]), std::stoi(progress[i])) << i;
    EXPECT_EQ(app.params_of("set_dev_status", 1), std::vector<std::string>{R"("start_ota")"});
    // A second start in the same boot is refused.
    EXPECT_EQ(zel_tolk_ota_start(0), -1);
}

TEST_F(ClientOta, InstallStuckAt60PollsThenRebootsAsFailed)
{
    qv_ota_test_set(QvOtaScript{QvOtaFault::stuck60, 0});
    zel_tolk_ota_test_set(pki_.pem("root"), 50, 5);
    request();
    EXPECT_EQ(final_state(), "failed");
    EXPECT_EQ(qv_ota_test_reboots(), 1);
    EXPECT_FALSE(partition_written());
    const std::vector<std::string> progress = otatest::reported_props(*sim_, "ota_progress");
    // 301 polls, each reporting 60 once the install got there (the first ones may come before).
    const auto sixty = std::count(progress.begin(), progress.end(), "60");
    EXPECT_GE(sixty, 290);
    EXPECT_LE(sixty, 301);
}

TEST_F(ClientOta, FailedInstallStopsThePolling)
{
    qv_ota_test_set(QvOtaScript{QvOtaFault::install_fail, 1});
    zel_tolk_ota_test_set(pki_.pem("root"), 50, 10);
    request();
    EXPECT_EQ(final_state(), "failed");
    EXPECT_EQ(qv_ota_test_reboots(), 1);
    EXPECT_FALSE(partition_written());
}

TEST_F(ClientOta, RefusedChunkInstallsNothing)
{
    qv_ota_test_set(QvOtaScript{QvOtaFault::refuse_chunk, 1});
    request();
    EXPECT_EQ(final_state(), "failed");
    EXPECT_TRUE(qv_ota_test_installs().empty());
    EXPECT_FALSE(partition_written());
    EXPECT_EQ(qv_ota_test_reboots(), 1);
    EXPECT_EQ(pre_ota_runs(), 1);
}

// The application released its media and the client stopped live view for the update; a server
// that stalls on every attempt must not hold them: the update fails once the third attempt's bytes
// stop for the low-speed time, nothing is installed, and the reboot brings the camera back.
TEST_F(ClientOta, AServerThatStallsOnEveryAttemptRebootsTheCameraSoonWithoutInstalling)
{
    // The server's silence is timed, not this process's work: no scaling.
    vexa_http_test_set_low_speed_time(2);
    clienttest::AgentListener app(root(), {"set_dev_status"}, 30);
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"stall","at":1000,"times":3})");
    request();
    EXPECT_EQ(final_state(), "failed");
    EXPECT_EQ(app.params_of("set_dev_status", 1), std::vector<std::string>{R"("start_ota")"});
    EXPECT_TRUE(zeltest::wait_until([] { return qv_ota_test_reboots() == 1; }, 10s));
    EXPECT_TRUE(qv_ota_test_installs().empty());
    EXPECT_FALSE(partition_written());
}

// The application has released its media when the install library cannot start: the update ends,
// the device reboots to take them back, and the next request is served.
TEST_F(ClientOta, AStartWithoutInstallContextEndsTheUpdateAndTheNextOneRuns)
{
    qv_ota_test_set(QvOtaScript{QvOtaFault::no_handle, 1});
    request();
    EXPECT_EQ(final_state(), "failed|-33008|install busy");
    EXPECT_EQ(qv_ota_test_reboots(), 1);
    qv_ota_test_set(QvOtaScript{QvOtaFault::none, 1});
    request();
    EXPECT_EQ(final_state(), "installed");
    EXPECT_TRUE(root().read_file(QV_OTA_PARTITION) == payload_);
}

TEST_F(ClientOta, AutomaticUpdateOfABusyDeviceIsAborted)
{
    // Not forced: the device must be idle, and cloud recording has not started here.
    clienttest::AgentListener app(root(), {"set_dev_status"}, 30);
    request(0);
    EXPECT_EQ(final_state(), "failed|-33008|install busy");
    EXPECT_EQ(app.read().find(R"(recv {"id":1,"method":"set_dev_status")"), std::string::npos)
        << "the application is not told";
    EXPECT_EQ(qv_ota_test_reboots(), 0);
    EXPECT_FALSE(partition_written());
}

TEST(ClientOtaIdle, RecentOperationsIncludeFutureOnes)
{
    EXPECT_EQ(zel_tolk_ota_operation_recent(100000, 100000 - 599), 1);
    EXPECT_EQ(zel_tolk_ota_operation_recent(100000, 100000 - 600), 0);
    EXPECT_EQ(zel_tolk_ota_operation_recent(100000, 100000 + 5), 1) << "the clock stepped back";
    EXPECT_EQ(zel_tolk_ota_operation_recent(100000, 0), 0);
}

class ClientOtaNoHid : public ClientOta {
protected:
    ClientOtaNoHid() : ClientOta({}) {}
};

TEST_F(ClientOtaNoHid, EmptyHardwareIdRebootsWithoutInstalling)
{
    request();
    EXPECT_EQ(final_state(), "failed");
    EXPECT_TRUE(qv_ota_test_installs().empty());
    EXPECT_FALSE(partition_written());
    EXPECT_EQ(qv_ota_test_reboots(), 1);
}

} // namespace
