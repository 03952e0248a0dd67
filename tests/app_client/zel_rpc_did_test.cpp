// The device id the engine carries: from the factory keys, from the daemon through the SDK, and,
// when neither gives one, the daemon kill and SIGUSR1 after 11 failed queries (in a child process).
#include <signal.h>

#include <cstdlib>
#include <string>

#include "zel_db_test_factory.h"
#include "zel_rpc_fixture.h"

namespace rpctest {
namespace {

std::string setting(const char *key)
{
    char buf[64] = {};
    return zel_api_db_get_value(key, buf, sizeof buf) == 0 ? buf : "<absent>";
}

class RpcDidFromFactory : public RpcTest {
protected:
    // The simulator knows no id: only the factory's can be used.
    RpcDidFromFactory() : RpcTest(false, {"--time", "1700000000", "--status", "cloud_connected"}) {}
    zeltest::FakeFactory factory_{root_, zeltest::factory_image({{"model", "ZT-CAM1"}, {"did", "1234567890"}})};
};

TEST_F(RpcDidFromFactory, TheFactoryIdIsUsedWithoutAskingTheSdk)
{
    ASSERT_TRUE(factory_.ok()) << "no pseudo terminal for the factory partition";
    ASSERT_EQ(zel_rpc_init(), 0);
    EXPECT_STREQ(func_did, "1234567890");
    EXPECT_EQ(setting("MEM.default:did"), "1234567890");
    Json reply = ask(R"({"id":3,"method":"get_properties","params":[{"siid":2,"piid":2}]})");
    EXPECT_EQ(json_object_get_string(member(json_object_array_get_idx(member(reply.get(), "result"), 0), "did")),
              std::string("1234567890"));
}

class RpcDidFromDaemon : public RpcTest {};

TEST_F(RpcDidFromDaemon, TheDaemonsIdIsStoredForTheHandlers)
{
    EXPECT_STREQ(func_did, "424242");
    EXPECT_EQ(setting("MEM.default:did"), "424242");
}

TEST(RpcDidMissing, ElevenFailedQueriesKillTheDaemonAndRaiseSigusr1)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    zeltest::TempRoot root;
    start_logging(root);
    ASSERT_EQ(zel_api_db_init(), 0);
    // No SDK runs, so every query fails.
    EXPECT_EXIT(zel_rpc_init(), ::testing::KilledBySignal(SIGUSR1),
                "count=11 (.|\n)*cannot get did 10 times, restart lumo_client and zel_tolk");
    zel_api_db_deinit();
}

TEST(RpcEngineExit, ProcessExitWithTheEngineRunningEndsCleanly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    zeltest::TempRoot root;
    zeltest::FakeFactory factory(root, zeltest::factory_image({{"model", "ZT-CAM1"}, {"did", "1234567890"}}));
    ASSERT_TRUE(factory.ok()) << "no pseudo terminal for the factory partition";
    ASSERT_EQ(zel_api_db_init(), 0);
    // Nothing stops the engine before exit: its worker and tick are still running then.
    EXPECT_EXIT(
        {
            zel_rpc_init();
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "");
    zel_api_db_deinit();
}

TEST(RpcDidApi, SetDidKeepsAtMost31Characters)
{
    set_func_did("12345678901234567890123456789012345", 35);
    EXPECT_EQ(std::string(func_did), std::string("1234567890123456789012345678901"));
    set_func_did("42", 2);
    EXPECT_STREQ(func_did, "42");
    zel_rpc_set_did(nullptr);
}

} // namespace
} // namespace rpctest
