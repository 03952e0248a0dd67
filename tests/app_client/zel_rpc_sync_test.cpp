// Cloud synchronisation after start, against the daemon simulator: a camera bound at start pulls the
// 14 pairs once and the answer reaches the property rows as pulled values; a camera bound while
// running pushes its six defaults once.
#include <string>
#include <thread>

#include "zel_rpc_fixture.h"

namespace rpctest {
namespace {

void set(const std::string &key, const std::string &value)
{
    ASSERT_EQ(zel_api_db_set_value(key.c_str(), value.c_str(), static_cast<int>(value.size()), 0), 0) << key;
}

class RpcSync : public RpcTest {
protected:
    explicit RpcSync(const char *bind_status) : RpcTest(false), bind_status_(bind_status) {}
    void before_sdk() override
    {
        set("NVM.IPC:bind_status", bind_status_);
        zel_rpc_test_install_tables(test_tables());
    }
    const char *bind_status_;
};

class RpcSyncBound : public RpcSync {
protected:
    RpcSyncBound() : RpcSync("1") {}
};

class RpcSyncUnbound : public RpcSync {
protected:
    RpcSyncUnbound() : RpcSync("0") {}
};

TEST_F(RpcSyncBound, PullsTheFourteenOutwardPairsOnceAndTheAnswerReachesThePulledHandlers)
{
    sim_->command(
        R"({"cmd":"script","method":"_sync.spec_get_prop","answer_properties":{"5.1":"true","5.4":"08:00","2.3":"2"}})");
    start_engine();
    int index = -1;
    Json pull = wait_rpc("_sync.spec_get_prop", 0, &index, 10000);
    ASSERT_TRUE(pull);
    json_object *list = member(member(pull.get(), "params"), "properties");
    ASSERT_TRUE(list && json_object_is_type(list, json_type_array));
    // Outward pairs: internal 2.2 (flip) goes out as 2.4, 2.7 (record mode) as 2.17, the LED 4.1 as 3.1.
    const int want[14][2] = {{2, 1}, {2, 4}, {2, 3}, {2, 6}, {2, 7}, {2, 17}, {2, 8},
                             {2, 5}, {3, 1}, {5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}};
    ASSERT_EQ(json_object_array_length(list), 14u);
    for (size_t i = 0; i < 14; ++i) {
        json_object *e = json_object_array_get_idx(list, i);
        EXPECT_EQ(json_object_get_int(member(e, "siid")), want[i][0]) << i;
        EXPECT_EQ(json_object_get_int(member(e, "piid")), want[i][1]) << i;
        EXPECT_EQ(json_object_get_string(member(e, "did")), std::string("424242"));
    }
    // Every answered pair that a row serves gets its element, with or without a value: internal 2.3,
    // 2.8 and 5.1 to 5.5 of the test rows.
    ASSERT_TRUE(wait_calls(7, 5s));
    const std::vector<Call> seen = calls();
    ASSERT_EQ(seen.size(), 7u);
    const int rows[7][2] = {{2, 3}, {2, 8}, {5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(seen[i].op, SPEC_OP_PULLED);
        EXPECT_EQ(seen[i].siid, rows[i][0]) << i;
        EXPECT_EQ(seen[i].piid, rows[i][1]) << i;
        EXPECT_FALSE(seen[i].notify);
    }
    EXPECT_TRUE(same_json(member(zeltest::parse_json(seen[2].json).get(), "value"), "\"true\"")) << seen[2].json;
    EXPECT_TRUE(same_json(member(zeltest::parse_json(seen[5].json).get(), "value"), "\"08:00\"")) << seen[5].json;
    EXPECT_FALSE(member(zeltest::parse_json(seen[1].json).get(), "value")) << seen[1].json;
    EXPECT_TRUE(nothing("_sync.spec_get_prop", index + 1, 2500));
}

TEST_F(RpcSyncBound, TopLevelParamsOfTheAnswerWinOverResult)
{
    sim_->command(
        R"({"cmd":"script","method":"_sync.spec_get_prop","reply":{"result":{"properties":[{"siid":5,"piid":2,"value":"9"}]},"params":[{"siid":5,"piid":3,"value":"4"}]}})");
    start_engine();
    int index = -1;
    ASSERT_TRUE(wait_rpc("_sync.spec_get_prop", 0, &index, 10000));
    ASSERT_TRUE(wait_calls(1, 5s));
    EXPECT_TRUE(nothing("_sync.spec_get_prop", index + 1, 500));
    const std::vector<Call> seen = calls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].op, SPEC_OP_PULLED);
    EXPECT_EQ(seen[0].piid, 3);
}

TEST_F(RpcSyncBound, AnAnswerWithAnotherIdIsNotAPull)
{
    start_engine();
    Json pull = wait_rpc("_sync.spec_get_prop", 0, nullptr, 10000);
    ASSERT_TRUE(pull);
    sim_->send("rpc", R"({"id":999,"result":{"properties":[{"siid":5,"piid":2,"value":"9"}]}})");
    EXPECT_FALSE(wait_calls(1, 700ms));
}

TEST_F(RpcSyncUnbound, BindingWhileRunningPushesTheSixDefaultsOnce)
{
    set("NVM.TEST:track", "0");
    set("NVM.TEST:md_switch", "1");
    set("NVM.TEST:md_interval", "5");
    set("NVM.TEST:md_level", "abc");
    set("NVM.TEST:md_start", "08:00:00");
    set("NVM.TEST:md_end", "say \"x\"");
    start_engine();
    // Ticks run while unbound; the bind comes later.
    std::this_thread::sleep_for(zeltest::scaled(6s));
    EXPECT_TRUE(nothing("properties_changed", 0, 10));
    set("NVM.IPC:bind_status", "1");
    int index = -1;
    Json push = wait_rpc("properties_changed", 0, &index, 5000);
    ASSERT_TRUE(push);
    EXPECT_TRUE(same_json(member(push.get(), "params"), R"([
        {"did":"424242","siid":2,"piid":8,"value":false},
        {"did":"424242","siid":5,"piid":1,"value":true},
        {"did":"424242","siid":5,"piid":2,"value":5},
        {"did":"424242","siid":5,"piid":3,"value":0},
        {"did":"424242","siid":5,"piid":4,"value":"08:00:00"},
        {"did":"424242","siid":5,"piid":5,"value":"say \"x\""}])"))
        << text_of(push.get());
    EXPECT_TRUE(nothing("properties_changed", index + 1, 2500));
    EXPECT_TRUE(nothing("_sync.spec_get_prop", 0, 10));
}

} // namespace
} // namespace rpctest
