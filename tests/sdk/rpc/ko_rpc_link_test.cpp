// The RPC link against the device-daemon simulator: greetings, framing, id rewriting, routing and
// reconnection.
#include "app/rpc/ko_rpc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/ipc/ko_message.h"
#include "daemon_sim_client.h"
#include "ko_porting_hooks_double.h"
#include "rpc_link_probe.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

namespace {

// What bus handlers of the test's own modules received, by key.
struct BusInbox {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> messages; // (uid:key, text)

    static void on_message(const ko_message_arg *arg)
    {
        auto *inbox = static_cast<BusInbox *>(arg->user);
        std::lock_guard<std::mutex> lock(inbox->mutex);
        inbox->messages.emplace_back(std::string(arg->msgkey),
                                     std::string(static_cast<const char *>(arg->param), arg->len));
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
    std::pair<std::string, std::string> at(size_t i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.at(i);
    }
};

void push_to_link(uint32_t from, const char *key, const std::string &text)
{
    ASSERT_EQ(ko_message_send(from, KO_UID_RPC, key, text.c_str(), static_cast<uint32_t>(text.size()),
                              KO_MSG_MODE_SYNC),
              0);
}

void register_inbox(uint32_t uid, const char *key, BusInbox *inbox)
{
    ASSERT_EQ(ko_message_listen(uid, key, BusInbox::on_message, inbox), 0);
}

bool rpc_link_connected(zeltest::DaemonSim &sim)
{
    Json links = sim.command(R"({"cmd":"links"})");
    return json_object_get_boolean(member(member(member(links.get(), "links"), "rpc"), "connected"));
}

int rpc_connections(zeltest::DaemonSim &sim)
{
    Json links = sim.command(R"({"cmd":"links"})");
    return json_object_get_int(member(member(member(links.get(), "links"), "rpc"), "connections"));
}

// Sends 4 KB reports to a daemon that does not read until the link refuses one; the number sent.
int fill_until_refused()
{
    const std::string report = R"({"method":"properties_changed","params":")" + std::string(4000, 'p') + R"("})";
    for (int i = 0; i < 20000; ++i)
        if (ko_rpc_send(report.c_str(), static_cast<int>(report.size())) != 0)
            return i;
    return -1;
}

class RpcLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        zeltest::porting_hooks_reset();
        sim_ = std::make_unique<zeltest::DaemonSim>(root_, std::vector<std::string>{"--status", "cloud_connected"});
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim_->port()).c_str(), 1);
        ASSERT_EQ(ko_message_init(nullptr), 0);
        ASSERT_EQ(ko_rpc_init(), 0);
        wait_rpc_link_up();
    }
    void wait_rpc_link_up() { ASSERT_TRUE(zeltest::wait_rpc_link_ready(*sim_)); }
    void TearDown() override
    {
        EXPECT_EQ(ko_rpc_deinit(), 0);
        EXPECT_EQ(ko_message_deinit(), 0);
        unsetenv("ZELMAR_DAEMON_PORT");
    }

    // The texts the application hook has received, parsed.
    Json hook_text(size_t i)
    {
        EXPECT_TRUE(zeltest::porting_hooks_wait_rpc(i + 1, 5s));
        return zeltest::parse_json(zeltest::porting_hooks_seen().rpc_received.at(i));
    }
    // The ids of hook texts [from, from + count): bus workers may hand them on in any order.
    std::multiset<int> hook_ids(size_t from, size_t count)
    {
        std::multiset<int> ids;
        for (size_t i = from; i < from + count; ++i)
            ids.insert(json_object_get_int(member(hook_text(i).get(), "id")));
        return ids;
    }

    zeltest::TempRoot root_;
    std::unique_ptr<zeltest::DaemonSim> sim_;
};

TEST_F(RpcLink, InternalLinkGreetsTheDaemon)
{
    Json ready = sim_->wait_object("internal", "_internal.helper_ready");
    ASSERT_TRUE(ready);
    Json hello = sim_->wait_object("internal", "_internal.hello");
    ASSERT_TRUE(hello);
    EXPECT_EQ(sim_->received_count("rpc"), 0);
}

TEST_F(RpcLink, RequestIdIsRewrittenGoingOutAndRestoredComingBack)
{
    const std::string request = R"({"id":5,"method":"get_properties","params":[{"siid":2,"piid":1}]})";
    ASSERT_EQ(ko_rpc_send(request.c_str(), static_cast<int>(request.size())), 0);
    Json out = sim_->wait_object("rpc", "get_properties");
    ASSERT_TRUE(out);
    const int new_id = json_object_get_int(member(out.get(), "id"));
    EXPECT_NE(new_id, 5);
    EXPECT_EQ(json_object_get_int(member(json_object_array_get_idx(member(out.get(), "params"), 0), "siid")), 2);

    sim_->send("rpc", R"({"id":)" + std::to_string(new_id) + R"(,"result":[{"siid":2,"piid":1,"code":0}]})");
    Json back = hook_text(0);
    ASSERT_TRUE(back);
    EXPECT_EQ(json_object_get_int(member(back.get(), "id")), 5);
    // The restored id is the object's last member.
    json_object_iterator it = json_object_iter_begin(back.get()), end = json_object_iter_end(back.get()), last = it;
    for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it))
        last = it;
    EXPECT_STREQ(json_object_iter_peek_name(&last), "id");

    // A request without an integer id leaves as it came.
    const std::string plain = R"({"method":"properties_changed","params":[]})";
    ASSERT_EQ(ko_rpc_send(plain.c_str(), static_cast<int>(plain.size())), 0);
    Json unchanged = sim_->wait_object("rpc", "properties_changed");
    ASSERT_TRUE(unchanged);
    EXPECT_FALSE(member(unchanged.get(), "id"));
    const std::string string_id = R"({"id":"a7","method":"event_occured"})";
    ASSERT_EQ(ko_rpc_send(string_id.c_str(), static_cast<int>(string_id.size())), 0);
    Json kept = sim_->wait_object("rpc", "event_occured");
    ASSERT_TRUE(kept);
    EXPECT_STREQ(json_object_get_string(member(kept.get(), "id")), "a7");
}

TEST_F(RpcLink, ReplyNearTheSizeLimitKeepsItsTextWhenItsIdIsRestored)
{
    const std::string request = R"({"id":6,"method":"get_properties"})";
    ASSERT_EQ(ko_rpc_send(request.c_str(), static_cast<int>(request.size())), 0);
    Json out = sim_->wait_object("rpc", "get_properties");
    ASSERT_TRUE(out);
    const int new_id = json_object_get_int(member(out.get(), "id"));
    // 3000 bytes of URL paths: written back with every "/" escaped it would no longer fit a bus message.
    std::string paths;
    while (paths.size() < 3000)
        paths += "/a";
    sim_->send("rpc", R"({"id":)" + std::to_string(new_id) + R"(,"result":")" + paths + R"("})");
    Json back = hook_text(0);
    ASSERT_TRUE(back);
    EXPECT_EQ(json_object_get_int(member(back.get(), "id")), 6);
    EXPECT_EQ(json_object_get_string(member(back.get(), "result")), paths);
}

TEST_F(RpcLink, InnerMethodTableHoldsSixtyFourNamesOfUpToThirtyOneCharacters)
{
    BusInbox inbox;
    const std::string longest(31, 'm'), too_long = longest + "x";
    register_inbox(KO_UID_SDK, "m.0", &inbox);
    register_inbox(KO_UID_SDK, "m.64", &inbox);
    register_inbox(KO_UID_SDK, longest.c_str(), &inbox);
    push_to_link(KO_UID_SDK, "rpc.register", "m.0");
    push_to_link(KO_UID_SDK, "rpc.register", "m.0"); // the same name keeps its one slot
    push_to_link(KO_UID_SDK, "rpc.register", too_long);
    for (int i = 1; i < 63; ++i)
        push_to_link(KO_UID_SDK, "rpc.register", "m." + std::to_string(i));
    push_to_link(KO_UID_SDK, "rpc.register", longest); // slot 64
    push_to_link(KO_UID_SDK, "rpc.register", "m.64");  // no slot left

    // Inner methods reach their module; the rest reach the application.
    sim_->send("rpc", R"({"id":1,"method":"m.0"})");
    sim_->send("rpc", R"({"id":2,"method":")" + longest + R"("})");
    sim_->send("rpc", R"({"id":3,"method":"m.64"})");
    sim_->send("rpc", R"({"id":4,"method":")" + too_long + R"("})");
    ASSERT_TRUE(zeltest::wait_until([&] { return inbox.count() >= 2; }, 5s));
    EXPECT_EQ((std::set<std::string>{inbox.at(0).first, inbox.at(1).first}), (std::set<std::string>{"m.0", longest}));
    EXPECT_EQ(hook_ids(0, 2), (std::multiset<int>{3, 4}));
    EXPECT_EQ(inbox.count(), 2u);

    // A freed slot takes the next name.
    push_to_link(KO_UID_SDK, "rpc.unregister", "m.5");
    push_to_link(KO_UID_SDK, "rpc.register", "m.64");
    sim_->send("rpc", R"({"id":5,"method":"m.64"})");
    ASSERT_TRUE(zeltest::wait_until([&] { return inbox.count() >= 3; }, 5s));
    EXPECT_EQ(inbox.at(2).first, "m.64");
}

TEST_F(RpcLink, ObjectsSplitIntoBytesBatchedOrOversizedAreFramed)
{
    const std::string tricky = R"({"id":77,"method":"set_properties","params":[{"ssid":"a}b{\"c"}]})";
    sim_->send("rpc", tricky, 1);
    Json first = hook_text(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(json_object_get_int(member(first.get(), "id")), 77);

    sim_->send("rpc", R"({"id":78,"method":"action"}{"id":79,"method":"action"})");
    EXPECT_EQ(hook_ids(1, 2), (std::multiset<int>{78, 79}));

    const std::string big = R"({"id":80,"method":"set_properties","params":")" + std::string(6000, 'x') + R"("})";
    sim_->send("rpc", big + R"({"id":81,"method":"action"})", 1000);
    EXPECT_EQ(json_object_get_int(member(hook_text(3).get(), "id")), 81);
    EXPECT_EQ(zeltest::porting_hooks_seen().rpc_received.size(), 4u);
}

// A daemon that cuts an object off and goes on with the next costs the camera that object alone.
TEST_F(RpcLink, CutOffObjectLosesOnlyItselfAndTheSevenAfterItArrive)
{
    std::string stream = R"({"id":90,"method":"set_properties","params":[{"siid":2,"piid":1,"value":"cut o)";
    for (int id = 1; id <= 7; ++id)
        stream += R"({"id":)" + std::to_string(id) + R"(,"method":"get_properties","params":[{"siid":2,"piid":1}]})";
    ko_rpc_stat before{};
    ko_rpc_stat_get(&before);
    sim_->send("rpc", stream, 100);
    EXPECT_EQ(hook_ids(0, 7), (std::multiset<int>{1, 2, 3, 4, 5, 6, 7}));
    sim_->send("rpc", R"({"id":8,"method":"get_properties"})");
    EXPECT_EQ(json_object_get_int(member(hook_text(7).get(), "id")), 8);
    EXPECT_EQ(zeltest::porting_hooks_seen().rpc_received.size(), 8u);
    ko_rpc_stat after{};
    ko_rpc_stat_get(&after);
    EXPECT_EQ(after.parse_err, before.parse_err + 1);
    EXPECT_EQ(rpc_connections(*sim_), 1); // the link stayed up
}

TEST_F(RpcLink, InnerMethodsReachTheirModulesAndRepliesComeBackAsAck)
{
    BusInbox sdk, recorder;
    register_inbox(KO_UID_SDK, "rpc.ack", &sdk);
    register_inbox(KO_UID_SDK, "local.bind", &sdk);
    register_inbox(KO_UID_RECORD, "local.bind", &recorder);
    push_to_link(KO_UID_SDK, "rpc.register", "local.query_status");
    push_to_link(KO_UID_SDK, "rpc.register", "local.bind");
    push_to_link(KO_UID_RECORD, "rpc.register", "local.bind");

    // The query leaves on the internal link; the daemon's reply carries a "local." method and an id.
    push_to_link(KO_UID_SDK, "rpc.rpc", R"({"id":3,"method":"local.query_status"})");
    ASSERT_TRUE(sim_->wait_object("internal", "local.query_status"));
    ASSERT_TRUE(zeltest::wait_until([&] { return sdk.count() >= 1; }, 5s));
    EXPECT_EQ(sdk.at(0).first, "rpc.ack");
    Json ack = zeltest::parse_json(sdk.at(0).second);
    EXPECT_EQ(json_object_get_int(member(ack.get(), "id")), 3);
    EXPECT_STREQ(json_object_get_string(member(ack.get(), "params")), "cloud_connected");

    // A daemon request for a method two modules registered reaches both, unchanged.
    // (The daemon's own "local." requests carry no id: one with an id counts as a reply.)
    sim_->send("internal", R"({"method":"local.bind","result":"ok"})");
    ASSERT_TRUE(zeltest::wait_until([&] { return sdk.count() >= 2 && recorder.count() >= 1; }, 5s));
    EXPECT_EQ(sdk.at(1).first, "local.bind");
    EXPECT_EQ(recorder.at(0).first, "local.bind");
    EXPECT_STREQ(json_object_get_string(member(zeltest::parse_json(recorder.at(0).second).get(), "result")), "ok");
    EXPECT_TRUE(zeltest::porting_hooks_seen().rpc_received.empty());

    ko_rpc_stat stat{};
    ko_rpc_stat_get(&stat);
    EXPECT_EQ(stat.rpc_reg_count, 3u);
    EXPECT_EQ(stat.rpc_inner_max, 64u);
    EXPECT_GE(stat.down_ack, 1u);
    EXPECT_GE(stat.down_cmd, 1u);
}

TEST_F(RpcLink, InternalTrafficFlowsWhileTheRpcLinkIsDown)
{
    BusInbox sdk;
    register_inbox(KO_UID_SDK, "rpc.ack", &sdk);
    push_to_link(KO_UID_SDK, "rpc.register", "local.query_status");
    ASSERT_TRUE(sim_->wait_object("internal", "_internal.hello"));
    ASSERT_TRUE(sim_->command(R"({"cmd":"listen","on":false,"keep_links":true})"));
    ASSERT_TRUE(sim_->command(R"({"cmd":"close","link":"rpc"})"));
    ASSERT_TRUE(zeltest::wait_until([&] { return !rpc_link_connected(*sim_); }, 5s));
    std::this_thread::sleep_for(200ms); // the camera notices and starts its reconnect delays

    push_to_link(KO_UID_SDK, "rpc.rpc", R"({"id":8,"method":"local.query_status"})");
    ASSERT_TRUE(sim_->wait_object("internal", "local.query_status"));
    ASSERT_TRUE(zeltest::wait_until([&] { return sdk.count() >= 1; }, 5s));
    EXPECT_EQ(json_object_get_int(member(zeltest::parse_json(sdk.at(0).second).get(), "id")), 8);
}

TEST_F(RpcLink, BothLinksReconnectWithGrowingDelay)
{
    const int port = sim_->port();
    sim_.reset(); // the daemon goes away
    const auto gone = std::chrono::steady_clock::now();
    // Connect attempts fail at about 0, 1 and 3 s; the next one comes 3 s later, at about 6 s.
    std::this_thread::sleep_for(3500ms);
    sim_ = std::make_unique<zeltest::DaemonSim>(root_, std::vector<std::string>{}, false, port);
    ASSERT_TRUE(sim_->wait_object("internal", "_internal.hello", 0, 10000));
    const double back_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - gone).count();
    EXPECT_GT(back_s, 5.0);
    EXPECT_LT(back_s, 8.5);
    wait_rpc_link_up();

    const std::string request = R"({"id":1,"method":"get_properties"})";
    ASSERT_EQ(ko_rpc_send(request.c_str(), static_cast<int>(request.size())), 0);
    EXPECT_TRUE(sim_->wait_object("rpc", "get_properties"));
}

// A daemon that stops reading holds up neither the camera's senders nor its receiving: sends are
// refused once the link's queue is full, objects keep arriving on both links, and the link is
// dropped and connected afresh once the daemon has taken nothing for 5 s.
TEST_F(RpcLink, DaemonThatStopsReadingIsDroppedWhileEverythingElseFlows)
{
    ASSERT_TRUE(sim_->command(R"({"cmd":"reading","link":"rpc","on":false})"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_GT(fill_until_refused(), 0);
    ko_rpc_stat stat{};
    ko_rpc_stat_get(&stat);
    EXPECT_GT(stat.rpc_send_err, 0u);

    sim_->send("internal", R"({"id":41,"method":"get_properties"})");
    sim_->send("rpc", R"({"id":42,"method":"get_properties"})");
    EXPECT_EQ(hook_ids(0, 2), (std::multiset<int>{41, 42}));

    ASSERT_TRUE(zeltest::wait_until([&] { return rpc_connections(*sim_) >= 2; }, 15s));
    const double dropped_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GT(dropped_s, 4.5);
    wait_rpc_link_up();
    const std::string request = R"({"id":3,"method":"get_properties"})";
    ASSERT_EQ(ko_rpc_send(request.c_str(), static_cast<int>(request.size())), 0);
    EXPECT_TRUE(sim_->wait_object("rpc", "get_properties"));
}

TEST_F(RpcLink, StopReturnsQuicklyWhileTheDaemonDoesNotRead)
{
    ASSERT_TRUE(sim_->command(R"({"cmd":"reading","link":"rpc","on":false})"));
    ASSERT_GT(fill_until_refused(), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ko_rpc_deinit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, zeltest::scaled(1000ms));
    ASSERT_EQ(ko_rpc_init(), 0); // for TearDown
}

// A stream that can no longer be cut into objects is dropped, and the link finds the objects
// again on a new connection.
TEST_F(RpcLink, StreamOutOfStepIsDroppedAndTheLinkRecovers)
{
    const int connections = rpc_connections(*sim_);
    ko_rpc_stat before{};
    ko_rpc_stat_get(&before);
    // An object that never ends.
    Json answer = sim_->command(
        R"({"cmd":"flood","link":"rpc","head":"{\"id\":1,\"method\":\"set_properties\",\"params\":\"",)"
        R"("fill":"a","bytes":200000})");
    // The camera gives up on the stream long before the daemon is through with it.
    EXPECT_LT(json_object_get_int(member(answer.get(), "sent")), 64 * 1024 * 1024);

    ASSERT_TRUE(zeltest::wait_until([&] { return rpc_connections(*sim_) > connections; }, 15s));
    wait_rpc_link_up();
    ko_rpc_stat after{};
    ko_rpc_stat_get(&after);
    EXPECT_GT(after.parse_err, before.parse_err);
    sim_->send("rpc", R"({"id":61,"method":"get_properties"}{"id":62,"method":"get_properties"})");
    EXPECT_EQ(hook_ids(0, 2), (std::multiset<int>{61, 62}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(zeltest::porting_hooks_seen().rpc_received.size(), 2u);
}

} // namespace
