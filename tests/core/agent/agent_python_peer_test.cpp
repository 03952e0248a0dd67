// An independent Python peer (socket and json modules only) exchanges messages with our client
// modules through our agent server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "agent_server.h"
#include "agent_server_test.h"
#include "agent_test_util.h"

using namespace agenttest;

namespace {

TEST(AgentPythonPeer, ExchangesRequestsBroadcastsAndAcknowledgements)
{
    zeltest::TempRoot root;
    const std::string bus = use_unique_bus_name();
    requests_clear();
    ASSERT_EQ(agent_server_init(), 0);
    {
        Module light("light", {3});
        Module sender("sender", {});
        ASSERT_TRUE(zeltest::wait_until([] { return agent_server_subscribers("set_light") == 1; }, 10s));
        ASSERT_TRUE(sender.wait_connected());

        const std::string log = root.path("/tmp/agent_peer.log");
        zeltest::ChildProcess peer(zeltest::python_peer("agent_peer.py", {bus}), {}, log);
        // The peer registers before it asks for the light, so once the light module has its
        // request the peer's methods are known to the server.
        ASSERT_TRUE(light.wait_received(1, 20s));
        EXPECT_EQ(light.received()[0].cmd, 3);
        EXPECT_EQ(light.received()[0].text, "1");

        Replies replies;
        const int32_t flip = 1, motor = 5;
        ASSERT_EQ(send_request_api(21, &flip, nullptr, nullptr, 0, sender.fd()), 0);
        ASSERT_EQ(send_request_api(0, &motor, Replies::callback, &replies, 0, sender.fd()), 0);
        ASSERT_TRUE(zeltest::wait_until([&] { return replies.count() == 1; }, 20s));
        EXPECT_EQ(replies.at(0), 0);
        const int status = peer.wait_exit(20s);
        ASSERT_TRUE(WIFEXITED(status)) << root.read_file("/tmp/agent_peer.log");
        EXPECT_EQ(WEXITSTATUS(status), 0) << root.read_file("/tmp/agent_peer.log");
    }
    agent_server_stop();
    requests_clear();
}

} // namespace
