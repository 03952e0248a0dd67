// Our outside apps on a real agent server: one app object per app at a time, and the network-setup
// app broadcasting Wi-Fi credentials and ending itself once bound.
#include "agent_server.h"
#include "network_setup_app.h"
#include "sdcard_app.h"
#include "zel_app_agent_client/agent_client.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string g_ssid, g_passwd;
std::atomic<bool> g_wifi{false};
std::mutex g_card_lock;
std::vector<std::pair<int, int>> g_card; // (message, value) of messages 15 and 42

std::vector<std::pair<int, int>> card_messages()
{
    std::lock_guard<std::mutex> lock(g_card_lock);
    return g_card;
}

int on_message(int cmd, const void *params)
{
    if ((cmd == 15 || cmd == 42) && params) {
        std::lock_guard<std::mutex> lock(g_card_lock);
        g_card.emplace_back(cmd, *static_cast<const int *>(params));
    }
    if (cmd == 5 && params) {
        const auto *w = static_cast<const agent_wifi_params_t *>(params);
        g_ssid = w->ssid;
        g_passwd = w->passwd;
        g_wifi = true;
    }
    return 0;
}

void drain(int fd, const std::function<bool()> &until)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!until() && std::chrono::steady_clock::now() < deadline) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) > 0)
            message_recv_handler(fd, on_message);
    }
}

class PlatformApps : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZELMAR_AGENT_SOCK", ("zeltest_papps_" + std::to_string(getpid())).c_str(), 1);
        ASSERT_EQ(agent_server_init(), 0);
    }
    zeltest::TempRoot root;
};

TEST_F(PlatformApps, OneSdcardAppAtATime)
{
    app_object_t *app = sdcard_app_create(0);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->id, 2);
    EXPECT_EQ(app->get_status(app), 0x10000u);
    EXPECT_EQ(sdcard_app_create(0), nullptr) << "one at a time";
    EXPECT_EQ(app->destroy(app), 0);
    app = sdcard_app_create(0);
    ASSERT_NE(app, nullptr) << "a new one after the end";
    EXPECT_EQ(app->destroy(app), 0);
}

TEST_F(PlatformApps, TheSdcardAppReportsTheCardStateOnChange)
{
    const int fd = start_agent_client("test");
    ASSERT_GE(fd, 0);
    const int keys[] = {15, 42};
    ASSERT_EQ(register_key_module(fd, keys, 2, "test"), 0);
    app_object_t *app = sdcard_app_create(0);
    ASSERT_NE(app, nullptr);
    using Msgs = std::vector<std::pair<int, int>>;
    auto saw = [](const Msgs &want) {
        const Msgs got = card_messages();
        return got.size() >= want.size() && Msgs(got.end() - want.size(), got.end()) == want;
    };
    drain(fd, [&] { return saw({{15, 0}}); });
    EXPECT_TRUE(saw({{15, 0}})) << "a plain directory is a writable card";
    const std::string card = root.path("/mnt/sdcard");
    ASSERT_EQ(rename(card.c_str(), (card + ".out").c_str()), 0);
    drain(fd, [&] { return saw({{15, 1}, {42, 2}}); });
    EXPECT_TRUE(saw({{15, 1}, {42, 2}})) << "removed";
    ASSERT_EQ(rename((card + ".out").c_str(), card.c_str()), 0);
    drain(fd, [&] { return saw({{15, 0}, {42, 1}}); });
    EXPECT_TRUE(saw({{15, 0}, {42, 1}})) << "inserted";
    const size_t seen = card_messages().size();
    drain(fd, [] { return false; }); // nothing changes: nothing more is said
    EXPECT_EQ(card_messages().size(), seen);
    EXPECT_EQ(app->destroy(app), 0);
    stop_agent_client(fd, "test");
}

TEST_F(PlatformApps, NetworkSetupBroadcastsWifiAndEndsOnBind)
{
    const int fd = start_agent_client("test");
    ASSERT_GE(fd, 0);
    const int keys[] = {5};
    ASSERT_EQ(register_key_module(fd, keys, 1, "test"), 0);
    app_object_t *app = network_setup_app_create(0);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->id, 1);
    EXPECT_EQ(zel_helper_send_ssid_passwd_msg(std::string(64, 'x').c_str(), "pw", 0, 0), -1);
    ASSERT_TRUE(zeltest::wait_until([] { return zel_helper_send_ssid_passwd_msg("home", "secret", 0, 0) == 0; }, 5s));
    drain(fd, [] { return g_wifi.load(); });
    ASSERT_TRUE(g_wifi);
    EXPECT_EQ(g_ssid, "home");
    EXPECT_EQ(g_passwd, "secret");

    EXPECT_EQ(network_set_bind_ok(0, 0), 0) << "no dispatch hook here: the app still ends";
    EXPECT_EQ(network_set_bind_ok(0, 0), -1);
    EXPECT_NE(network_setup_app_create(0), nullptr) << "a new one may start after the end";
    close(fd);
}

TEST_F(PlatformApps, NetworkSetupEndsWhenTheBindStatusTurnsOne)
{
    ASSERT_NE(network_setup_app_create(0), nullptr);
    const int fd = start_agent_client("test");
    ASSERT_GE(fd, 0);
    const auto on_bus = [] { return zel_helper_send_ssid_passwd_msg("home", "secret", 0, 0) == 0; };
    ASSERT_TRUE(zeltest::wait_until(on_bus, 5s));
    // Broadcast until the app has taken it (its registration may reach the server after the first).
    EXPECT_TRUE(zeltest::wait_until(
        [&] {
            send_request_api(12, "1", nullptr, nullptr, 0, fd);
            std::this_thread::sleep_for(50ms);
            return !on_bus();
        },
        5s))
        << "set_bind_status 1 ends the app";
    EXPECT_EQ(network_set_bind_ok(0, 0), -1) << "it ended already";
    close(fd);
}

} // namespace
