// The property RPC engine against the device-daemon simulator: requests cut and classified, get,
// set, action and method replies, id mapping both ways, the bounded queue, bad input and the engine's
// life (init, deinit, init again).
#include <algorithm>
#include <string>
#include <thread>

#include "app/rpc/ko_rpc.h"

#include "zel_rpc_fixture.h"

namespace rpctest {
namespace {

class RpcEngine : public RpcTest {};

class RpcEngineTestRows : public RpcTest {
protected:
    void SetUp() override
    {
        RpcTest::SetUp();
        zel_rpc_test_install_tables(test_tables());
    }
};

// ---- the product's own rows ------------------------------------------------------------------

TEST_F(RpcEngine, PanTiltRowAnswersTrueUnderItsOutwardIds)
{
    Json reply = ask(R"({"id":21,"method":"get_properties","params":[{"siid":2,"piid":2},{"siid":7,"piid":1}]})");
    EXPECT_TRUE(same_json(reply.get(), R"({"id":21,"result":[{"did":"424242","siid":2,"piid":2,"value":true,"code":0},
        {"did":"424242","siid":7,"piid":1,"code":-4003}]})"))
        << text_of(reply.get());
}

TEST_F(RpcEngine, StartStreamActionIsAnsweredWithCodeZeroAndEmptyOut)
{
    Json reply = ask(R"({"id":22,"method":"action","params":{"siid":9,"aiid":1,"in":[]}})");
    EXPECT_TRUE(same_json(reply.get(), R"({"id":22,"result":{"code":0,"out":[]}})")) << text_of(reply.get());
    reply = ask(R"({"id":23,"method":"action","params":{"siid":"9","aiid":"2"}})");
    EXPECT_TRUE(same_json(reply.get(), R"({"id":23,"result":{"code":0,"out":[]}})")) << text_of(reply.get());
}

TEST_F(RpcEngine, UnlistedActionAndMethodGetNoReply)
{
    const int since = rpc_count();
    sim_->send("rpc", R"({"id":24,"method":"action","params":{"siid":7,"aiid":7}})");
    sim_->send("rpc", R"({"id":25,"method":"no_such_method","params":[]})");
    EXPECT_TRUE(nothing("", since));
    Json reply = ask(R"({"id":26,"method":"get_lock_region_status","params":[]})");
    EXPECT_TRUE(same_json(reply.get(), R"({"code":0,"id":26,"result":[{"lock_region":0,"legal_status":0}]})"))
        << text_of(reply.get());
}

// ---- classification and the ids ----------------------------------------------------------------

TEST_F(RpcEngineTestRows, TwoObjectsInOneTextAreServedInOrder)
{
    const int since = rpc_count();
    const std::string two = R"({"id":31,"method":"get_properties","params":[{"siid":3,"piid":5}]})"
                            R"({"id":32,"method":"get_properties","params":[{"siid":7,"piid":7}]})";
    EXPECT_EQ(zel_rpc_receive_handle(two.c_str(), static_cast<int>(two.size())), 0);
    const std::vector<Json> got = replies(since, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(json_object_get_int(member(got[0].get(), "id")), 31);
    EXPECT_EQ(json_object_get_int(member(got[1].get(), "id")), 32);
}

TEST_F(RpcEngineTestRows, GetMapsOutwardIdsAndKeepsThemInTheReply)
{
    Json reply = ask(
        R"({"id":33,"method":"get_properties","params":[{"siid":3,"piid":5},{"siid":4,"piid":1},{"siid":7,"piid":7}]})");
    // 3.5 reaches internal 4.5, 4.1 reaches internal 3.1 (whose handler writes nothing: null).
    EXPECT_TRUE(same_json(reply.get(), R"({"id":33,"result":[{"did":"424242","siid":3,"piid":5,"value":7,"code":0},null,
        {"did":"424242","siid":7,"piid":7,"code":-4003}]})"))
        << text_of(reply.get());
    const std::vector<Call> seen = calls();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].siid, 3);
    EXPECT_EQ(seen[0].piid, 5);
    EXPECT_EQ(seen[0].op, SPEC_OP_GET);
    EXPECT_FALSE(seen[0].notify);
}

TEST_F(RpcEngineTestRows, SetRepliesBeforeAnyHandlerRunsAndUnlistedGetsMinus4003)
{
    const int since = rpc_count();
    bool reply_was_there = false;
    on_set_2_3([&] { reply_was_there = static_cast<bool>(wait_rpc("", since)); });
    sim_->send("rpc", R"({"id":34,"method":"set_properties","params":[{"siid":2,"piid":3,"value":0},)"
                      R"({"siid":3,"piid":5,"value":true},{"siid":7,"piid":7,"value":1}]})");
    ASSERT_TRUE(wait_calls(2, 5s));
    EXPECT_TRUE(reply_was_there);
    Json reply = wait_rpc("", since);
    EXPECT_TRUE(same_json(reply.get(), R"({"id":34,"result":[{"did":"424242","siid":2,"piid":3,"code":0},
        {"did":"424242","siid":3,"piid":5,"code":0},{"did":"424242","siid":7,"piid":7,"code":-4003}]})"))
        << text_of(reply.get());
    const std::vector<Call> seen = calls();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].op, SPEC_OP_SET);
    EXPECT_EQ(seen[0].siid, 2);
    EXPECT_EQ(seen[0].piid, 3);
    EXPECT_TRUE(seen[0].notify);
    EXPECT_TRUE(same_json(zeltest::parse_json(seen[0].json).get(), R"({"siid":2,"piid":3,"value":0})")) << seen[0].json;
    EXPECT_EQ(seen[1].siid, 4); // internal ids on set
    EXPECT_EQ(seen[1].piid, 5);
}

TEST_F(RpcEngineTestRows, ActionHandlerOutputGoesIntoOut)
{
    Json reply = ask(R"({"id":35,"method":"action","params":{"siid":17,"aiid":1}})");
    EXPECT_TRUE(same_json(reply.get(), R"({"id":35,"result":{"code":0,"out":["done"]}})")) << text_of(reply.get());
}

// ---- the queue ----------------------------------------------------------------------------------

// Holds the worker on "test.hold" (id 40), queues gets with ids 1 to n in one text, then lets go;
// what the engine logged meanwhile.
std::string queue_behind_held_worker(zeltest::DaemonSim &sim, int n)
{
    hold_worker(true);
    sim.send("rpc", R"({"id":40,"method":"test.hold"})");
    EXPECT_TRUE(worker_held(5s));
    std::string text;
    for (int id = 1; id <= n; ++id)
        text += R"({"id":)" + std::to_string(id) + R"(,"method":"get_properties","params":[{"siid":3,"piid":5}]})";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(zel_rpc_receive_handle(text.c_str(), static_cast<int>(text.size())), 0);
    const std::string log = ::testing::internal::GetCapturedStderr();
    hold_worker(false);
    return log;
}

TEST_F(RpcEngineTestRows, EleventhRecordWhileTenWaitAnswersTheOldestBusy)
{
    const int since = rpc_count();
    const std::string log = queue_behind_held_worker(*sim_, 11);
    EXPECT_NE(log.find("queue full, request id 1 type 0 answered busy"), std::string::npos) << log;
    // The pushed-out request is answered at once, before the worker lets go of the held one.
    const std::vector<Json> got = replies(since, 12);
    ASSERT_EQ(got.size(), 12u);
    EXPECT_TRUE(same_json(got[0].get(), R"({"id":1,"error":{"code":-33020,"message":"rpc queue is busy"}})"))
        << text_of(got[0].get());
    EXPECT_EQ(json_object_get_int(member(got[1].get(), "id")), 40);
    for (size_t i = 2; i < got.size(); ++i) {
        EXPECT_EQ(json_object_get_int(member(got[i].get(), "id")), static_cast<int>(i)) << "request 1 refused";
        EXPECT_TRUE(member(got[i].get(), "result"));
    }
    EXPECT_TRUE(nothing("", since + 12));
}

TEST_F(RpcEngineTestRows, TenWaitingRecordsAreAllServed)
{
    const int since = rpc_count();
    EXPECT_EQ(queue_behind_held_worker(*sim_, 10).find("dropped"), std::string::npos);
    const std::vector<Json> got = replies(since, 11);
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(json_object_get_int(member(got[1].get(), "id")), 1);
}

TEST_F(RpcEngineTestRows, FiftyRequestsInOneWriteAreAllServedAtTheWorkersPace)
{
    Json answer = sim_->command(
        R"({"cmd":"burst","link":"rpc","count":50,"text":"{\"method\":\"get_properties\",\"params\":[{\"siid\":3,\"piid\":5}]}","timeout_ms":10000})");
    EXPECT_EQ(json_object_get_int(member(answer.get(), "count")), 50) << text_of(answer.get());
    EXPECT_EQ(json_object_get_int(member(answer.get(), "errors")), 0) << text_of(answer.get());
}

TEST_F(RpcEngineTestRows, FloodWhileTheWorkerIsHeldStaysBoundedAndTheEngineRecovers)
{
    hold_worker(true);
    sim_->send("rpc", R"({"id":40,"method":"test.hold"})");
    ASSERT_TRUE(worker_held(5s));
    ko_rpc_stat before{};
    ko_rpc_stat_get(&before);
    std::string flood;
    for (int id = 1; id <= 100; ++id)
        flood += R"({"id":)" + std::to_string(id) + R"(,"method":"get_properties","params":[{"siid":3,"piid":5}]})";
    const int since = rpc_count();
    sim_->send("rpc", flood, 977); // in pieces that cut objects
    // Every object has been handed to the bus once the link counted it; the hook runs right after.
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            ko_rpc_stat now{};
            ko_rpc_stat_get(&now);
            return now.down_cmd >= before.down_cmd + 100;
        },
        10s));
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    hold_worker(false);
    // The held request and the ten newest that waited are served; the rest were answered busy.
    const std::vector<Json> got = replies(since, 101, 1500);
    ASSERT_EQ(got.size(), 101u);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Json &r) { return member(r.get(), "error"); }), 90);
    Json reply = ask(R"({"id":200,"method":"get_properties","params":[{"siid":3,"piid":5}]})");
    EXPECT_EQ(json_object_get_int(member(reply.get(), "id")), 200);
}

TEST_F(RpcEngineTestRows, JunkFromTheDaemonIsDroppedAndTheEngineGoesOn)
{
    const int since = rpc_count();
    // Bytes that start no object are the link's to drop (it reconnects); these objects reach the engine.
    sim_->send("rpc", "{\"id\":\"x\"}{\"id\":3,\"method\":\"action\"} {\"id\":4,\"method\":7}{\"id\":6,\"method\":[1,2,3]}");
    sim_->send("rpc", R"({"id":5,"method":"get_properties","params":[{"siid":3,"piid":5,"value":)" +
                          std::string(5000, '9') + "}]}");
    EXPECT_TRUE(nothing("", since));
    Json reply = ask(R"({"id":201,"method":"get_properties","params":[{"siid":3,"piid":5}]})");
    EXPECT_EQ(json_object_get_int(member(reply.get(), "id")), 201);
}

// ---- bad input ----------------------------------------------------------------------------------

TEST_F(RpcEngineTestRows, ObjectOf4096BytesIsRefusedAnd4095IsTaken)
{
    auto request = [](size_t size) {
        std::string head = R"({"id":42,"method":"get_properties","params":[{"siid":3,"piid":5}],"pad":")";
        return head + std::string(size - head.size() - 2, 'x') + "\"}";
    };
    const std::string too_long = request(4096), longest = request(4095);
    ASSERT_EQ(too_long.size(), 4096u);
    const int since = rpc_count();
    EXPECT_EQ(zel_rpc_receive_handle(too_long.c_str(), static_cast<int>(too_long.size())), -1);
    EXPECT_EQ(zel_rpc_receive_handle(longest.c_str(), static_cast<int>(longest.size())), 0);
    EXPECT_TRUE(replies(since, 1).size() == 1);
    EXPECT_TRUE(nothing("", since + 1));
}

TEST_F(RpcEngineTestRows, ParseFaultInTheMiddleReturnsTheBytesBeforeIt)
{
    const std::string first = R"({"id":43,"method":"get_properties","params":[{"siid":3,"piid":5}]})";
    const std::string text = first + "]]garbage";
    const int since = rpc_count();
    EXPECT_EQ(zel_rpc_receive_handle(text.c_str(), static_cast<int>(text.size())), static_cast<int>(first.size()));
    EXPECT_EQ(replies(since, 1).size(), 1u);
    EXPECT_EQ(zel_rpc_receive_handle("not json", 8), -1);
    EXPECT_EQ(zel_rpc_receive_handle(nullptr, 3), -1);
}

TEST_F(RpcEngineTestRows, OnlyLengthBytesAreRead)
{
    // The link's text need not end with a NUL; what follows `length` is not the request's.
    const std::string text =
        R"({"id":44,"method":"get_properties","params":[{"siid":3,"piid":5}]}{"id":45,"method":"get_properties","params":[]})";
    const int first = static_cast<int>(text.find("}{") + 1);
    const int since = rpc_count();
    EXPECT_EQ(zel_rpc_receive_handle(text.c_str(), first), 0);
    Json reply = wait_rpc("", since);
    EXPECT_EQ(json_object_get_int(member(reply.get(), "id")), 44);
    EXPECT_TRUE(nothing("", since + 1));
}

TEST_F(RpcEngineTestRows, NegativeIdAndActionWithoutIdsAreRefused)
{
    const std::string negative = R"({"id":-5,"method":"get_properties","params":[]})";
    EXPECT_EQ(zel_rpc_receive_handle(negative.c_str(), static_cast<int>(negative.size())), -1);
    const std::string no_aiid = R"({"id":46,"method":"action","params":{"siid":17}})";
    EXPECT_EQ(zel_rpc_receive_handle(no_aiid.c_str(), static_cast<int>(no_aiid.size())), -1);
    const std::string array_params = R"({"id":47,"method":"action","params":[17,1]})";
    EXPECT_EQ(zel_rpc_receive_handle(array_params.c_str(), static_cast<int>(array_params.size())), -1);
}

TEST_F(RpcEngineTestRows, MalformedParamsAreDroppedAndTheEngineGoesOn)
{
    const int since = rpc_count();
    for (const char *text : {
             R"({"id":50,"method":"get_properties","params":{"siid":3,"piid":5}})",
             R"({"id":51,"method":"get_properties","params":[5,{"siid":3,"piid":5}]})",
             R"({"id":52,"method":"set_properties","params":"x"})",
             R"({"id":53,"method":"set_properties","params":[[1],{"siid":3,"piid":5,"value":1}]})",
             R"({"id":54,"method":"get_properties","params":null})",
         })
        sim_->send("rpc", text);
    EXPECT_TRUE(nothing("", since));
    EXPECT_TRUE(calls().empty());
    // Ids that are not integers name no row.
    Json reply = ask(R"({"id":55,"method":"get_properties","params":[{"siid":"3","piid":5},{"siid":3.0,"piid":5}]})");
    EXPECT_TRUE(same_json(reply.get(), R"({"id":55,"result":[{"did":"424242","siid":-1,"piid":-1,"code":-4003},
        {"did":"424242","siid":-1,"piid":-1,"code":-4003}]})"))
        << text_of(reply.get());
    reply = ask(R"({"id":56,"method":"get_properties","params":[{"siid":3,"piid":5}]})");
    EXPECT_EQ(json_object_get_int(member(reply.get(), "id")), 56);
}

// ---- life -----------------------------------------------------------------------------------------

class RpcEngineLife : public RpcTest {
protected:
    RpcEngineLife() : RpcTest(false) {}
};

TEST_F(RpcEngineLife, ReceiveBeforeInitAndAfterDeinitIsRefusedAndInitWorksAgain)
{
    const std::string get = R"({"id":60,"method":"get_properties","params":[{"siid":2,"piid":2}]})";
    EXPECT_EQ(zel_rpc_receive_handle(get.c_str(), static_cast<int>(get.size())), -1);
    start_engine();
    int since = rpc_count();
    EXPECT_EQ(zel_rpc_receive_handle(get.c_str(), static_cast<int>(get.size())), 0);
    EXPECT_EQ(replies(since, 1).size(), 1u);
    EXPECT_EQ(zel_rpc_deinit(), 0);
    EXPECT_EQ(zel_rpc_receive_handle(get.c_str(), static_cast<int>(get.size())), -1);
    EXPECT_EQ(zel_rpc_deinit(), 0);
    ASSERT_EQ(zel_rpc_init(), 0);
    since = rpc_count();
    Json reply = ask(get);
    EXPECT_EQ(json_object_get_int(member(reply.get(), "id")), 60);
}

TEST_F(RpcEngineLife, DeinitWithARequestWaitingStopsCleanlyAndInitWorksAgain)
{
    start_engine();
    zel_rpc_test_install_tables(test_tables());
    hold_worker(true);
    sim_->send("rpc", R"({"id":61,"method":"test.hold"})");
    ASSERT_TRUE(worker_held(5s));
    const std::string get = R"({"id":62,"method":"get_properties","params":[{"siid":3,"piid":5}]})";
    EXPECT_EQ(zel_rpc_receive_handle(get.c_str(), static_cast<int>(get.size())), 0);
    hold_worker(false);
    EXPECT_EQ(zel_rpc_deinit(), 0);
    ASSERT_EQ(zel_rpc_init(), 0);
    Json reply = ask(R"({"id":63,"method":"get_properties","params":[{"siid":3,"piid":5}]})");
    EXPECT_TRUE(reply);
}

} // namespace
} // namespace rpctest
