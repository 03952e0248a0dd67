// The client's agent-bus module "sdk_porting" against an outside app (the Python agent peer): SD-card
// status and message keys set the status the hooks read, status 10 and the clock gate leave it alone,
// and the business layer's messages go out on the same connection.
#include "zel_client_fixture.h"

#include <thread>

#include "app/record/ko_local_storage.h"
#include "app/record/ko_local_storage_test.h"
#include "common/utils/ko_time_test.h"

namespace clienttest {
namespace {

std::atomic<uint64_t> g_wall_us{0};
uint64_t test_wall()
{
    return g_wall_us.load();
}

class ClientAgent : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        // Status 10 starts the SD recorder: its passes are left to the recorder's own tests.
        ko_local_storage_set_manual(1);
        ASSERT_NO_FATAL_FAILURE(start_business_app());
    }
    void TearDown() override
    {
        ko_time_set_wall_source(nullptr);
        ko_local_storage_deinit_v2();
        ClientTest::TearDown();
    }
    // The client app without the media app: frames are not needed here.
    void start_business_app()
    {
        ASSERT_NE(client_app_create(0), nullptr);
        wait_links();
    }

    std::string send(const std::vector<std::string> &messages)
    {
        std::vector<std::string> args{"--wait", "0.2"};
        args.insert(args.end(), messages.begin(), messages.end());
        return mediatest::agent_send(args);
    }
    // Sends until the status reads `want` (the module may still be registering at first).
    bool status_becomes(const std::string &message, int want)
    {
        return zeltest::wait_until(
            [&] {
                send({message});
                return get_sdcard_status() == want;
            },
            15s);
    }
};

TEST_F(ClientAgent, SdcardStatusIsStoredExceptTen)
{
    EXPECT_EQ(get_sdcard_status(), -1);
    ASSERT_TRUE(status_becomes("sdcard_status=2", 2));
    EXPECT_EQ(_zel_tolk_client_get_sdcard_status(), 2);
    ASSERT_TRUE(status_becomes("sdcard_status=1", 1));
    send({"sdcard_status=10", "set_sdcard_status=1", "set_sdcard_status=0"});
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    EXPECT_EQ(get_sdcard_status(), 1) << "status 10 starts local storage and is not stored";
    EXPECT_EQ(ko_local_storage_set_mode_v2(0, 2), 0) << "the recorder of channel 0 exists";
    ASSERT_TRUE(status_becomes("sdcard_status=0", 0));
}

TEST_F(ClientAgent, SdcardMessageWaitsForAValidClock)
{
    ASSERT_TRUE(status_becomes("sdcard_status=2", 2));
    g_wall_us = 1546271999ull * 1000000;
    ko_time_set_wall_source(test_wall);
    send({"set_sdcard_message=5"});
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    EXPECT_EQ(get_sdcard_status(), 2) << "before 2019 the message is ignored";
    g_wall_us = 1546272001ull * 1000000;
    ASSERT_TRUE(status_becomes("set_sdcard_message=5", 5));
}

TEST_F(ClientAgent, BusinessMessagesGoOutOnTheModulesConnection)
{
    ASSERT_TRUE(status_becomes("sdcard_status=2", 2)) << "connected and registered";
    EXPECT_EQ(sdk_porting_request_hot_config(nullptr), -1);
    EXPECT_EQ(sdk_porting_request_set_night_mode(nullptr), -1);
    EXPECT_EQ(sdk_porting_request_set_night_mode("1"), 0) << "a one-byte text is read as a whole int";
    EXPECT_EQ(sdk_porting_request_track_switch(R"({"switch":1})"), 0);
    EXPECT_EQ(sdk_porting_report_message(18, "set_release_resource_over", nullptr, nullptr), 0);
}

} // namespace
} // namespace clienttest
