// The agent bus end to end: our client modules on their own threads talking through our agent server.
#include <gtest/gtest.h>

#include "agent_server.h"
#include "agent_server_test.h"
#include "agent_test_util.h"

using namespace agenttest;

namespace {

class AgentBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        use_unique_bus_name();
        requests_clear();
        ASSERT_EQ(agent_server_init(), 0);
    }
    void TearDown() override
    {
        agent_server_stop();
        requests_clear();
    }
    static bool wait_subscribers(const char *method, int n)
    {
        return zeltest::wait_until([&] { return agent_server_subscribers(method) >= n; }, 10s);
    }
};

TEST_F(AgentBus, RequestReachesItsModuleAndTheSenderGetsOkOrFail)
{
    Module motor("motor", {0}, [](int, const void *p) { return *static_cast<const int32_t *>(p) == 7 ? 0 : -1; });
    Module sender("sender", {});
    ASSERT_TRUE(sender.wait_connected());
    ASSERT_TRUE(wait_subscribers("set_motor", 1));

    Replies replies;
    const int32_t good = 7, bad = 8;
    ASSERT_EQ(send_request_api(0, &good, Replies::callback, &replies, 0, sender.fd()), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return replies.count() == 1; }, 10s));
    EXPECT_EQ(replies.at(0), 0);
    ASSERT_EQ(send_request_api(0, &bad, Replies::callback, &replies, 0, sender.fd()), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return replies.count() == 2; }, 10s));
    EXPECT_EQ(replies.at(1), 1);

    ASSERT_TRUE(motor.wait_received(2));
    EXPECT_EQ(motor.received()[0].cmd, 0);
    EXPECT_EQ(motor.received()[0].text, "7");
    EXPECT_EQ(motor.received()[1].text, "8");
    EXPECT_EQ(zel_array_get_size(requests), 0);
}

TEST_F(AgentBus, RequestToSeveralModulesIsAnsweredOnceAndFailsWhenAnyFails)
{
    Module a("a", {17});
    Module b("b", {17}, [](int, const void *) { return -1; });
    ASSERT_TRUE(wait_subscribers("set_dev_status", 2));
    RawPeer sender;
    ASSERT_TRUE(sender.send_text(R"({"id":5,"method":"set_dev_status","params":"cloud_connected"})"));
    auto reply = sender.recv_text();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"id":5,"result":"FAIL"})");
    EXPECT_FALSE(sender.recv_text(300ms)) << "one acknowledgement per request";
    EXPECT_TRUE(a.wait_received(1));
    EXPECT_TRUE(b.wait_received(1));
    EXPECT_EQ(a.received()[0].text, "cloud_connected");
}

TEST_F(AgentBus, RequestWithoutReceiverOrWhoseReceiverLeavesFails)
{
    RawPeer sender;
    ASSERT_TRUE(sender.send_text(R"({"id":1,"method":"set_light","params":1})"));
    auto reply = sender.recv_text();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"id":1,"result":"FAIL"})");

    auto receiver = std::make_unique<RawPeer>();
    ASSERT_TRUE(receiver->register_key("set_light"));
    ASSERT_TRUE(wait_subscribers("set_light", 1));
    ASSERT_TRUE(sender.send_text(R"({"id":2,"method":"set_light","params":1})"));
    ASSERT_TRUE(receiver->recv_text());
    receiver.reset();
    reply = sender.recv_text();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"id":2,"result":"FAIL"})");
    EXPECT_EQ(agent_server_subscribers("set_light"), 0) << "a closed connection's registrations go";
}

TEST_F(AgentBus, RequestIdsArePerSender)
{
    Module motor("motor", {0}, [](int, const void *p) { return *static_cast<const int32_t *>(p) == 1 ? 0 : -1; });
    ASSERT_TRUE(wait_subscribers("set_motor", 1));
    RawPeer one, two;
    ASSERT_TRUE(one.send_text(R"({"id":1,"method":"set_motor","params":1})"));
    ASSERT_TRUE(two.send_text(R"({"id":1,"method":"set_motor","params":2})"));
    auto r1 = one.recv_text();
    auto r2 = two.recv_text();
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(*r1, R"({"id":1,"result":"OK"})");
    EXPECT_EQ(*r2, R"({"id":1,"result":"FAIL"})");
}

TEST_F(AgentBus, BroadcastReachesEveryRegisteredModuleAndIsNotAcknowledged)
{
    Module media("media", {21, 28});
    Module algo("algo", {21});
    Module other("other", {22});
    ASSERT_TRUE(wait_subscribers("set_flip_config_from_app", 2));
    ASSERT_TRUE(wait_subscribers("set_motion_alarm_switch", 1));
    ASSERT_TRUE(other.wait_connected());

    RawPeer sender;
    const int32_t flip = 1;
    ASSERT_EQ(send_request_api(21, &flip, nullptr, nullptr, 0, sender.fd()), 0);
    // Two broadcasts in one packet are split by the server and both delivered, in order.
    ASSERT_TRUE(sender.send_text(R"({"method":"set_motion_alarm_switch","params":0}{"method":"set_flip_config_from_app","params":0})"));

    ASSERT_TRUE(media.wait_received(3));
    ASSERT_TRUE(algo.wait_received(2));
    const auto got = media.received();
    EXPECT_EQ(got[0].cmd, 21);
    EXPECT_EQ(got[0].text, "1");
    EXPECT_EQ(got[1].cmd, 28);
    EXPECT_EQ(got[2].cmd, 21);
    EXPECT_EQ(got[2].text, "0");
    EXPECT_EQ(algo.received()[0].text, "1");
    EXPECT_FALSE(sender.recv_text(300ms)) << "broadcasts are not acknowledged";
    EXPECT_TRUE(other.received().empty());
    EXPECT_EQ(requests ? zel_array_get_size(requests) : 0, 0);
}

TEST_F(AgentBus, Rows8And9ArriveSwapped)
{
    Module mod("mod", {8, 9});
    RawPeer wire;
    ASSERT_TRUE(wire.register_key("local.query_status"));
    ASSERT_TRUE(wire.register_key("get_qrcode"));
    ASSERT_TRUE(wait_subscribers("local.query_status", 2));
    ASSERT_TRUE(wait_subscribers("get_qrcode", 2));
    Module sender("sender", {});
    ASSERT_TRUE(sender.wait_connected());

    ASSERT_EQ(send_request_api(8, "query", nullptr, nullptr, 0, sender.fd()), 0);
    ASSERT_EQ(send_request_api(9, "qr", nullptr, nullptr, 0, sender.fd()), 0);
    ASSERT_TRUE(mod.wait_received(2));
    EXPECT_EQ(mod.received()[0].cmd, 9);
    EXPECT_EQ(mod.received()[0].text, "query");
    EXPECT_EQ(mod.received()[1].cmd, 8);
    EXPECT_EQ(mod.received()[1].text, "qr");
    auto first = wire.recv_text();
    auto second = wire.recv_text();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->find("\"method\": \"local.query_status\""), std::string::npos) << *first;
    EXPECT_NE(second->find("\"method\": \"get_qrcode\""), std::string::npos) << *second;
}

TEST_F(AgentBus, ModulesReconnectWhenTheServerComesBack)
{
    Module status("status", {17});
    Module sender("sender", {});
    ASSERT_TRUE(wait_subscribers("set_dev_status", 1));
    ASSERT_TRUE(sender.wait_connected());

    agent_server_stop();
    ASSERT_EQ(agent_server_init(), 0);
    ASSERT_TRUE(status.wait_connected(2));
    ASSERT_TRUE(sender.wait_connected(2));
    ASSERT_TRUE(wait_subscribers("set_dev_status", 1));

    Replies replies;
    ASSERT_EQ(send_request_api(17, "cloud_connected", Replies::callback, &replies, 0, sender.fd()), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return replies.count() == 1; }, 10s));
    EXPECT_EQ(replies.at(0), 0);
    ASSERT_TRUE(status.wait_received(1));
    EXPECT_EQ(status.received()[0].text, "cloud_connected");
}

} // namespace
