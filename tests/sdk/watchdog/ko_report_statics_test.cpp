#include "common/report_stat/ko_report_statics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "common/ipc/ko_message.h"
#include "app/rpc/ko_rpc.h"
#include "common/ipc/ko_timer.h"
#include "daemon_sim_client.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

std::atomic<int> g_turns[16];

void on_upload_statistics(const ko_message_arg *arg)
{
    g_turns[reinterpret_cast<intptr_t>(arg->user)].fetch_add(1);
}

void register_turns(uint32_t uid)
{
    ASSERT_EQ(ko_message_listen(uid, "upload_statistics", on_upload_statistics,
                                reinterpret_cast<void *>(static_cast<intptr_t>(uid))),
              0);
}

class ReportStatics : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto &t : g_turns)
            t.store(0);
        ASSERT_EQ(ko_message_init(nullptr), 0);
        ASSERT_EQ(ko_timer_init(16), 0);
        register_turns(4);
        register_turns(9);
        register_turns(14);
        ASSERT_EQ(ko_report_statics_init(), 0);
        // The schedule is driven by hand from here on.
        ASSERT_EQ(ko_report_statics_deinit(), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(ko_timer_deinit(), 0);
        EXPECT_EQ(ko_message_deinit(), 0);
    }
    static void tick(int n)
    {
        for (int i = 0; i < n; ++i)
            statics_timer_cb(0, nullptr);
    }
};

TEST_F(ReportStatics, EachModuleGetsItsTurnOnceAnHourOneModulePerTick)
{
    tick(3600);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_turns[4].load(), 0);
    tick(1); // tick 3601: uid 4
    ASSERT_TRUE(zeltest::wait_until([] { return g_turns[4].load() == 1; }, 2s));
    EXPECT_EQ(g_turns[9].load(), 0);
    tick(1); // tick 3602: uid 9
    ASSERT_TRUE(zeltest::wait_until([] { return g_turns[9].load() == 1; }, 2s));
    tick(9); // up to tick 3611: uid 14, the last row
    ASSERT_TRUE(zeltest::wait_until([] { return g_turns[14].load() == 1; }, 2s));
    tick(7200 - 3611);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_turns[4].load(), 1);
    tick(1); // tick 7201: 3600 ticks after its last turn
    ASSERT_TRUE(zeltest::wait_until([] { return g_turns[4].load() == 2; }, 2s));
}

TEST_F(ReportStatics, ForcedTurnsComeFirstOnePerTick)
{
    EXPECT_EQ(report_single_triger(15), -1);
    ASSERT_EQ(report_single_triger(9), 0);
    tick(1);
    ASSERT_TRUE(zeltest::wait_until([] { return g_turns[9].load() == 1; }, 2s));
    EXPECT_EQ(g_turns[4].load(), 0);

    ASSERT_EQ(report_single_triger(0), 0);
    EXPECT_EQ(report_single_triger(0), -1); // the first is still being worked off
    tick(11);
    // The turns run on the bus's workers, so they may finish in any order.
    ASSERT_TRUE(zeltest::wait_until(
        [] { return g_turns[14].load() == 1 && g_turns[4].load() == 1 && g_turns[9].load() == 2; }, 2s));
    EXPECT_EQ(report_single_triger(0), 0);
}

} // namespace

namespace {

// The reporter with the real RPC link and timer against the daemon simulator.
TEST(ReportStaticsWithDaemon, TolkStatIsAnsweredAndForcesEveryReport)
{
    zeltest::TempRoot root;
    zeltest::DaemonSim sim(root);
    setenv("ZELMAR_DAEMON_PORT", std::to_string(sim.port()).c_str(), 1);
    ASSERT_EQ(ko_message_init(nullptr), 0);
    ASSERT_EQ(ko_timer_init(16), 0);
    ASSERT_EQ(ko_rpc_init(), 0);
    ASSERT_EQ(ko_report_statics_init(), 0);
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            zeltest::Json links = sim.command(R"({"cmd":"links"})");
            return json_object_get_boolean(
                zeltest::member(zeltest::member(zeltest::member(links.get(), "links"), "rpc"), "connected"));
        },
        10s));
    // "tolk.stat" is an inner method of the reporter: the daemon's request reaches it, not the hook.
    // The registrations of "_async.stat" and "tolk.stat" are queued on the bus.
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            ko_rpc_stat stat{};
            ko_rpc_stat_get(&stat);
            return stat.rpc_reg_count >= 2;
        },
        5s));
    sim.send("rpc", R"({"id":42,"method":"tolk.stat"})");
    zeltest::Json reply = sim.wait_object("rpc", "", 0, 5000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(json_object_get_int(zeltest::member(reply.get(), "id")), 42);
    EXPECT_STREQ(json_object_to_json_string_ext(zeltest::member(reply.get(), "result"), JSON_C_TO_STRING_PLAIN),
                 "[\"OK\"]");

    // The forced turns reach the bus (uid 10), the reporter itself (uid 8) and the link (uid 7), one
    // a second, each answering with its own report.
    bool sys = false, msg = false, rpc = false;
    int since = 0;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            zeltest::Json stat = sim.wait_object("rpc", "_async.stat", since, 200);
            if (!stat)
                return false;
            ++since;
            json_object *params = zeltest::member(stat.get(), "params");
            sys |= zeltest::member(zeltest::member(params, "sys.info"), "uptime") != nullptr;
            msg |= zeltest::member(zeltest::member(params, "msg.info"), "asyn_msg") != nullptr;
            rpc |= zeltest::member(zeltest::member(params, "rpc.info"), "rpc_down") != nullptr;
            EXPECT_EQ(json_object_get_int(zeltest::member(params, "version")), 1);
            return sys && msg && rpc;
        },
        20s));

    EXPECT_EQ(ko_report_statics_deinit(), 0);
    EXPECT_EQ(ko_rpc_deinit(), 0);
    EXPECT_EQ(ko_timer_deinit(), 0);
    EXPECT_EQ(ko_message_deinit(), 0);
    unsetenv("ZELMAR_DAEMON_PORT");
}

} // namespace
