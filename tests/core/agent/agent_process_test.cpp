// The agent bus across processes: the server in a process of its own that is stopped and started
// again, and hostile Python peers that flood it or hold idle connections, while our modules keep
// being served.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "agent_test_util.h"

using namespace agenttest;

namespace {

bool server_answers()
{
    const int fd = start_agent_client("probe");
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Sends request row `row` until a module answers "OK" (the server answers "FAIL" while nobody has
// registered it yet).
bool request_until_ok(Module &sender, int row, const void *params)
{
    return zeltest::wait_until(
        [&] {
            Replies replies;
            if (send_request_api(row, params, Replies::callback, &replies, 0, sender.fd()) != 0)
                return false;
            return zeltest::wait_until([&] { return replies.count() == 1; }, 5s) && replies.at(0) == 0;
        },
        20s);
}

TEST(AgentProcess, ModulesReconnectAfterTheServerProcessRestarts)
{
    use_unique_bus_name();
    requests_clear();
    auto hub = std::make_unique<zeltest::ChildProcess>(std::vector<std::string>{ZEL_AGENT_HUB_HELPER});
    ASSERT_TRUE(zeltest::wait_until(server_answers, 10s));

    Module light("light", {3});
    Module sender("sender", {});
    const int32_t on = 1;
    ASSERT_TRUE(request_until_ok(sender, 3, &on));

    hub->stop();
    ASSERT_TRUE(zeltest::wait_until([&] { return light.fd() <= 0 && sender.fd() <= 0; }, 10s))
        << "both modules see the hang-up";
    hub = std::make_unique<zeltest::ChildProcess>(std::vector<std::string>{ZEL_AGENT_HUB_HELPER});
    ASSERT_TRUE(light.wait_connected(2));
    ASSERT_TRUE(sender.wait_connected(2));
    ASSERT_TRUE(request_until_ok(sender, 3, &on));
    EXPECT_GE(light.received().size(), 2u);
    requests_clear();
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class AgentHubUnderAttack : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus_ = use_unique_bus_name();
        requests_clear();
        hub_log_ = root_.path("/tmp/hub.log");
        hub_ = std::make_unique<zeltest::ChildProcess>(std::vector<std::string>{ZEL_AGENT_HUB_HELPER},
                                                       std::vector<std::string>{}, hub_log_);
        ASSERT_TRUE(zeltest::wait_until(server_answers, 10s));
    }
    void TearDown() override { requests_clear(); }

    std::unique_ptr<zeltest::ChildProcess> attack(const std::vector<std::string> &args)
    {
        std::vector<std::string> all{bus_};
        all.insert(all.end(), args.begin(), args.end());
        auto peer = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("agent_flooder.py", all),
                                                            std::vector<std::string>{}, peer_log_);
        EXPECT_TRUE(zeltest::wait_until([&] { return read_text(peer_log_).find("ready") != std::string::npos; },
                                        10s));
        return peer;
    }

    zeltest::TempRoot root_;
    std::string bus_, hub_log_, peer_log_ = root_.path("/tmp/attacker.log");
    std::unique_ptr<zeltest::ChildProcess> hub_;
};

// Four connections flooding broadcasts to a receiver that never reads: the hub reads a few packets
// of each per turn, so another module's round trip stays short, and the receiver's drops are
// logged once a second, not once a packet.
TEST_F(AgentHubUnderAttack, BroadcastFloodLeavesOtherRoundTripsShort)
{
    Module light("light", {3});
    Module sender("sender", {});
    const int32_t on = 1;
    ASSERT_TRUE(request_until_ok(sender, 3, &on));

    auto flooder = attack({"flood", "set_flip_config_from_app", "4", "3"});
    std::vector<double> ms;
    for (int i = 0; i < 100; ++i) {
        Replies replies;
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(send_request_api(3, &on, Replies::callback, &replies, 0, sender.fd()), 0);
        // Looked at finely: wait_until's own steps would round every time up to a few milliseconds.
        const auto give_up = started + zeltest::scaled(5s);
        while (replies.count() == 0 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(100us);
        ASSERT_EQ(replies.count(), 1u);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
        EXPECT_EQ(replies.at(0), 0);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("round trips under the flood: median %.2f ms, 90th %.2f ms, slowest %.2f ms\n", ms[ms.size() / 2],
                ms[ms.size() * 9 / 10], ms.back());
    // Read until empty each round, the flood held a tenth of the round trips up for 100 ms and more.
    EXPECT_LT(ms[ms.size() * 9 / 10], 10.0 * zeltest::time_scale());
    EXPECT_LT(ms.back(), 100.0 * zeltest::time_scale());
    ASSERT_NE(flooder->wait_exit(zeltest::scaled(20s)), -1);

    hub_->stop();
    const std::string log = read_text(hub_log_);
    const size_t drop_lines = count_of(log, "is not reading");
    EXPECT_GE(drop_lines, 1u);
    EXPECT_LE(drop_lines, 6u);
    EXPECT_LT(log.size(), 256u * 1024);
}

// One process holding far more connections than its share, silent: new modules still connect and
// are served, and the silent connections are closed after a while.
TEST_F(AgentHubUnderAttack, IdleConnectionsOfOneProcessLockNobodyOut)
{
    auto holder = attack({"idle", "200", "10"});
    Module late("late", {3});
    Module sender("sender", {});
    ASSERT_TRUE(late.wait_connected());
    const int32_t on = 1;
    ASSERT_TRUE(request_until_ok(sender, 3, &on));
    EXPECT_TRUE(zeltest::wait_until([&] { return read_text(hub_log_).find("said nothing") != std::string::npos; },
                                    10s));
    EXPECT_LE(count_of(read_text(hub_log_), "connection(s) refused"), 12u);
}

} // namespace
