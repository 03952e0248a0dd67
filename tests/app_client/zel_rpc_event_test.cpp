// "event_occured" messages against the daemon simulator, on an SDK clock the test moves: the per-type
// intervals, the outward pairs and arguments of each row, and one send per interval when many
// threads report the same type at once.
#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "zel_rpc_fixture.h"

namespace rpctest {
namespace {

std::atomic<uint64_t> g_now_us{0};

uint64_t test_tick()
{
    return g_now_us.load();
}

class RpcEvent : public RpcTest {
protected:
    void SetUp() override
    {
        RpcTest::SetUp();
        // The clock stands at a whole second (plus 100 ms) and moves only when the test says so.
        g_now_us = (vexa_time_tick_ms() / 1000 + 10) * 1000000 + 100000;
        ko_time_set_tick_source(test_tick);
    }
    void TearDown() override
    {
        ko_time_set_tick_source(nullptr);
        RpcTest::TearDown();
    }
    static void advance_ms(uint64_t ms) { g_now_us += ms * 1000; }

    // The events that reached the simulator from `since`, waiting up to `ms` for each.
    std::vector<Json> events(int since, int ms = 1500)
    {
        std::vector<Json> out;
        int index = since - 1;
        while (Json e = wait_rpc("event_occured", index + 1, &index, ms))
            out.push_back(std::move(e));
        return out;
    }
};

// (Type 6 waits 60 s: a jump of the SDK clock that long would trip the SDK's thread watchdog.)
TEST_F(RpcEvent, EachTypeWaitsMoreThanItsIntervalBeforeTheNextSend)
{
    const struct {
        int type;
        uint64_t interval_ms;
        const char *params;
    } cases[] = {
        {0, 10000, R"({"did":"424242","siid":8,"eiid":4,"arguments":[]})"},
        {9, 0, R"({"did":"424242","siid":13,"eiid":3,"arguments":[]})"},
    };
    for (const auto &c : cases) {
        const int since = rpc_count();
        EXPECT_EQ(zel_rpc_send_if_then_msg(c.type), 0) << c.type;
        advance_ms(c.interval_ms / 2);
        EXPECT_EQ(zel_rpc_send_if_then_msg(c.type), -1) << c.type;
        advance_ms(c.interval_ms - c.interval_ms / 2 + 800); // the interval and a part of the next second
        EXPECT_EQ(zel_rpc_send_if_then_msg(c.type), -1) << c.type;
        advance_ms(200);
        EXPECT_EQ(zel_rpc_send_if_then_msg(c.type), 0) << c.type;
        const std::vector<Json> got = events(since);
        ASSERT_EQ(got.size(), 2u) << c.type;
        EXPECT_TRUE(same_json(member(got[0].get(), "params"), c.params)) << text_of(got[0].get());
        EXPECT_LT(json_object_get_int(member(got[0].get(), "id")), json_object_get_int(member(got[1].get(), "id")));
    }
}

TEST_F(RpcEvent, TypesWithoutAMessageSendNothing)
{
    const int since = rpc_count();
    EXPECT_EQ(zel_rpc_send_if_then_msg(5), -1); // no argument row for 17.4
    EXPECT_EQ(zel_rpc_send_if_then_msg(3), -1); // no row at all
    EXPECT_EQ(zel_rpc_send_if_then_msg(-1), -1);
    EXPECT_TRUE(events(since, 700).empty());
}

TEST_F(RpcEvent, EachRowGoesOutUnderItsOutwardPair)
{
    const struct {
        int type, siid, eiid;
    } rows[] = {{0, 8, 4}, {2, 8, 7}, {8, 2, 1}, {7, 2, 2}, {6, 13, 1}, {9, 13, 3}};
    const int since = rpc_count();
    for (const auto &row : rows)
        ASSERT_EQ(zel_rpc_send_if_then_msg(row.type), 0) << row.type;
    const std::vector<Json> got = events(since);
    ASSERT_EQ(got.size(), std::size(rows));
    for (size_t i = 0; i < got.size(); ++i) {
        json_object *params = member(got[i].get(), "params");
        EXPECT_EQ(json_object_get_int(member(params, "siid")), rows[i].siid) << rows[i].type;
        EXPECT_EQ(json_object_get_int(member(params, "eiid")), rows[i].eiid) << rows[i].type;
    }
}

TEST_F(RpcEvent, FavouriteAreaEventsCarryTheActiveAreaAsANumber)
{
    ASSERT_EQ(zel_api_db_set_value("NVM.FAV_AREA:active_fav_area", "3", 1, 0), 0);
    const int since = rpc_count();
    ASSERT_EQ(zel_rpc_send_if_then_msg(10), 0);
    ASSERT_EQ(zel_rpc_send_if_then_msg(11), 0);
    const std::vector<Json> got = events(since);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(same_json(member(got[0].get(), "params"),
                          R"({"did":"424242","siid":10,"eiid":1,"arguments":[{"piid":2,"value":3}]})"))
        << text_of(got[0].get());
    EXPECT_TRUE(same_json(member(got[1].get(), "params"),
                          R"({"did":"424242","siid":10,"eiid":2,"arguments":[{"piid":2,"value":3}]})"))
        << text_of(got[1].get());
}

TEST_F(RpcEvent, AnAreaTextThatIsNotANumberCannotBreakTheMessage)
{
    ASSERT_EQ(zel_api_db_set_value("NVM.FAV_AREA:active_fav_area", "\"}]}x", 5, 0), 0);
    const int since = rpc_count();
    ASSERT_EQ(zel_rpc_send_if_then_msg(10), 0);
    const std::vector<Json> got = events(since);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(same_json(member(got[0].get(), "params"),
                          R"({"did":"424242","siid":10,"eiid":1,"arguments":[{"piid":2,"value":0}]})"))
        << text_of(got[0].get());
}

TEST_F(RpcEvent, PeopleEventCarriesItsFlagAndTheWallClockSeconds)
{
    const int since = rpc_count();
    const long before = static_cast<long>(zeltest::wall_seconds());
    ASSERT_EQ(zel_rpc_send_if_then_msg(1), 0);
    const long after = static_cast<long>(zeltest::wall_seconds());
    const std::vector<Json> got = events(since);
    ASSERT_EQ(got.size(), 1u);
    json_object *params = member(got[0].get(), "params");
    EXPECT_EQ(json_object_get_int(member(params, "siid")), 8);
    EXPECT_EQ(json_object_get_int(member(params, "eiid")), 5);
    json_object *args = member(params, "arguments");
    ASSERT_EQ(json_object_array_length(args), 2u);
    EXPECT_TRUE(same_json(json_object_array_get_idx(args, 0), R"({"piid":2,"value":"1"})"));
    const long stamp = json_object_get_int64(member(json_object_array_get_idx(args, 1), "value"));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

TEST_F(RpcEvent, ManyThreadsReportingOneTypeGiveOneSendPerInterval)
{
    const int since = rpc_count();
    std::atomic<int> sent{0};
    for (int interval = 0; interval < 3; ++interval) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 50; ++i)
                    sent += zel_rpc_send_if_then_msg(0) == 0;
            });
        for (auto &t : threads)
            t.join();
        advance_ms(11000);
    }
    EXPECT_EQ(sent.load(), 3);
    const std::vector<Json> got = events(since);
    ASSERT_EQ(got.size(), 3u);
    std::set<int> ids;
    for (const Json &e : got)
        ids.insert(json_object_get_int(member(e.get(), "id")));
    EXPECT_EQ(ids.size(), 3u);
}

TEST(RpcEventCommon, ClockPropertyEventsCarryTheFirst32Characters)
{
    set_func_did("77", 2);
    char buf[4096];
    std::snprintf(buf, sizeof buf, "{\"key\":\"prop.s_halvorn_clocks\",\"more\":\"ignored\"}");
    ASSERT_EQ(spec_event_common(5, 30, 1, buf, sizeof buf), 0);
    Json msg = zeltest::parse_json(buf);
    ASSERT_TRUE(msg) << buf;
    EXPECT_TRUE(same_json(
        member(msg.get(), "params"),
        R"({"did":"77","siid":30,"eiid":1,"arguments":[{"piid":2,"value":"{\"key\":\"prop.s_halvorn_clocks\",\""}]})"))
        << buf;
    std::snprintf(buf, sizeof buf, "other");
    ASSERT_EQ(spec_event_common(6, 30, 2, buf, sizeof buf), 0);
    EXPECT_TRUE(
        same_json(zeltest::parse_json(buf).get(),
                  R"({"id":6,"method":"event_occured","params":{"did":"77","siid":30,"eiid":2,"arguments":[]}})"))
        << buf;
    EXPECT_EQ(spec_event_common(1, 1, 1, nullptr, 0), -1);
}

} // namespace
} // namespace rpctest
