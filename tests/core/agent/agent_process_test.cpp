// The agent bus across processes: the server in a process of its own that is stopped and started
// again, and an independent Python peer that exchanges messages with our client through our server.
#include <gtest/gtest.h>

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

} // namespace
