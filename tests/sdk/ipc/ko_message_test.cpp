// The message bus: registration codes, synchronous delivery in the caller's thread, queued delivery on
// the workers, queue-full refusal, the pool growing to 16 and shrinking to 4, overrun reports and the
// bus's own "msg.info" statistics report.
#include "common/ipc/ko_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

// What handlers saw, shared by every handler of a test.
struct Seen {
    std::mutex lock;
    std::condition_variable cv;
    bool gate_open = true;
    std::vector<std::string> params;
    std::vector<uint32_t> to_uids;
    std::vector<void *> users;
    std::set<std::string> thread_names;
    std::vector<pthread_t> threads;
    std::atomic<int> count{0};
};

Seen *g_seen = nullptr;

void note(const ko_message_arg *arg, uint32_t to_uid)
{
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    std::lock_guard<std::mutex> guard(g_seen->lock);
    g_seen->params.emplace_back(static_cast<const char *>(arg->param), arg->len);
    g_seen->to_uids.push_back(to_uid);
    g_seen->users.push_back(arg->user);
    g_seen->thread_names.insert(name);
    g_seen->threads.push_back(pthread_self());
    ++g_seen->count;
}

void on_uid3(const ko_message_arg *arg) { note(arg, 3); }
void on_uid4(const ko_message_arg *arg) { note(arg, 4); }
void on_uid5(const ko_message_arg *arg) { note(arg, 5); }

void gated(const ko_message_arg *arg)
{
    {
        std::unique_lock<std::mutex> lock(g_seen->lock);
        g_seen->cv.wait(lock, [] { return g_seen->gate_open; });
    }
    note(arg, 0);
}

void slow(const ko_message_arg *arg)
{
    std::this_thread::sleep_for(250ms);
    note(arg, 0);
}

void unregister_both(const ko_message_arg *arg)
{
    ko_message_unregister(4, "k");
    ko_message_unregister(5, "k");
    note(arg, 3);
}

ko_message_reg make_reg(uint32_t uid, const char *key, ko_message_handler handler, void *user = nullptr)
{
    ko_message_reg reg{};
    reg.uid = uid;
    std::strcpy(reg.msgkey, key);
    reg.handler = handler;
    reg.user = user;
    return reg;
}

ko_message make_msg(uint32_t to, const char *key, const std::string &param, uint32_t mode)
{
    ko_message msg{};
    msg.from_uid = 1;
    msg.to_uid = to;
    std::strcpy(msg.msgkey, key);
    msg.param = param.data();
    msg.len = static_cast<uint32_t>(param.size());
    msg.mode = mode;
    msg.target = KO_MSG_TARGET_REG;
    return msg;
}

void open_gate(bool open)
{
    std::lock_guard<std::mutex> guard(g_seen->lock);
    g_seen->gate_open = open;
    g_seen->cv.notify_all();
}

int live_workers()
{
    int live = -1;
    ko_message_stat_get(nullptr, &live, nullptr);
    return live;
}

class KoMessage : public testing::Test {
protected:
    void SetUp() override
    {
        g_seen = &seen_;
        ASSERT_EQ(ko_message_init(nullptr), 0);
    }
    void TearDown() override
    {
        open_gate(true);
        EXPECT_EQ(ko_message_deinit(), 0);
        g_seen = nullptr;
    }
    Seen seen_;
};

} // namespace

TEST(KoMessageLifecycle, RefusesWhileStopped)
{
    const std::string p = "x";
    ko_message msg = make_msg(3, "k", p, KO_MSG_MODE_SYNC);
    ko_message_reg reg = make_reg(3, "k", on_uid3);
    EXPECT_EQ(ko_message_push(&msg), -1);
    EXPECT_EQ(ko_message_register(&reg), -1);
    EXPECT_EQ(ko_message_deinit(), -1);
    ASSERT_EQ(ko_message_init(nullptr), 0);
    EXPECT_EQ(ko_message_init(nullptr), -1);
    EXPECT_EQ(ko_message_deinit(), 0);
    EXPECT_EQ(ko_message_push(&msg), -1);
}

TEST_F(KoMessage, RegistrationCodes)
{
    ko_message_reg reg = make_reg(16, "k", on_uid3);
    EXPECT_EQ(ko_message_register(&reg), -1);
    reg = make_reg(3, "", on_uid3);
    EXPECT_EQ(ko_message_register(&reg), -1);
    reg = make_reg(3, "k", nullptr);
    EXPECT_EQ(ko_message_register(&reg), -1);
    EXPECT_EQ(ko_message_register(nullptr), -1);
    EXPECT_EQ(ko_message_unregister(3, "k"), KO_MSG_ERR_UID);
    reg = make_reg(3, "k", on_uid3);
    ASSERT_EQ(ko_message_register(&reg), 0);
    EXPECT_EQ(ko_message_unregister(3, "other"), KO_MSG_ERR_KEY);
    EXPECT_EQ(ko_message_unregister(16, "k"), -1);
    EXPECT_EQ(ko_message_unregister(3, "k"), 0);
    EXPECT_EQ(ko_message_unregister(3, "k"), KO_MSG_ERR_UID);
}

TEST_F(KoMessage, PushValidatesLengthAndArguments)
{
    ko_message_reg reg = make_reg(3, "k", on_uid3);
    ASSERT_EQ(ko_message_register(&reg), 0);
    const std::string max(4096, 'm'), over(4097, 'm'), one = "1";
    ko_message msg = make_msg(3, "k", max, KO_MSG_MODE_ASYNC);
    EXPECT_EQ(ko_message_push(&msg), 0);
    msg = make_msg(3, "k", over, KO_MSG_MODE_ASYNC);
    EXPECT_EQ(ko_message_push(&msg), -1);
    msg = make_msg(3, "k", one, KO_MSG_MODE_ASYNC);
    msg.len = 0;
    EXPECT_EQ(ko_message_push(&msg), -1);
    msg = make_msg(16, "k", one, KO_MSG_MODE_ASYNC);
    EXPECT_EQ(ko_message_push(&msg), -1);
    msg = make_msg(3, "k", one, KO_MSG_MODE_ASYNC);
    msg.param = nullptr;
    EXPECT_EQ(ko_message_push(&msg), -1);
    EXPECT_EQ(ko_message_push(nullptr), -1);
    msg = make_msg(9, "nobody", one, KO_MSG_MODE_ASYNC);
    EXPECT_EQ(ko_message_push(&msg), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen_.count == 1; }, 5s));
    EXPECT_EQ(seen_.params[0], max);
}

TEST_F(KoMessage, SynchronousDeliveryRunsInTheCallersThread)
{
    int user = 0;
    ko_message_reg reg = make_reg(3, "k", on_uid3, &user);
    ASSERT_EQ(ko_message_register(&reg), 0);
    // A second registration of the same pair replaces the first.
    reg = make_reg(3, "k", on_uid4, &user);
    ASSERT_EQ(ko_message_register(&reg), 0);
    const std::string p = "hello";
    ko_message msg = make_msg(3, "k", p, KO_MSG_MODE_SYNC);
    ASSERT_EQ(ko_message_push(&msg), 0);
    ASSERT_EQ(seen_.count, 1);
    EXPECT_TRUE(pthread_equal(seen_.threads[0], pthread_self()));
    EXPECT_EQ(seen_.to_uids[0], 4u);
    EXPECT_EQ(seen_.users[0], &user);
    EXPECT_EQ(seen_.params[0], "hello");

    int own = 0;
    msg.target = KO_MSG_TARGET_CALLBACK;
    msg.callback = on_uid5;
    msg.user = &own;
    ASSERT_EQ(ko_message_push(&msg), 0);
    EXPECT_EQ(seen_.users[1], &own);
}

TEST_F(KoMessage, SynchronousHandlerMayUnregisterOthers)
{
    ko_message_reg reg = make_reg(3, "k", unregister_both);
    ASSERT_EQ(ko_message_register(&reg), 0);
    reg = make_reg(4, "k", on_uid4);
    ASSERT_EQ(ko_message_register(&reg), 0);
    reg = make_reg(5, "k", on_uid5);
    ASSERT_EQ(ko_message_register(&reg), 0);
    const std::string p = "x";
    ko_message msg = make_msg(0, "k", p, KO_MSG_MODE_SYNC);
    ASSERT_EQ(ko_message_push(&msg), 0);
    // The push works on the handlers it found when it started.
    EXPECT_EQ(seen_.count, 3);
    ASSERT_EQ(ko_message_push(&msg), 0);
    EXPECT_EQ(seen_.count, 4);
}

TEST_F(KoMessage, QueuedDeliveryFansOutOnTheWorkers)
{
    for (auto [uid, handler] : {std::pair{3u, on_uid3}, {4u, on_uid4}, {5u, on_uid5}}) {
        ko_message_reg reg = make_reg(uid, "fan", handler);
        ASSERT_EQ(ko_message_register(&reg), 0);
    }
    const std::string p = "text";
    ko_message msg = make_msg(0, "fan", p, KO_MSG_MODE_ASYNC);
    ASSERT_EQ(ko_message_push(&msg), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen_.count == 3; }, 5s));
    std::lock_guard<std::mutex> guard(seen_.lock);
    EXPECT_EQ(std::set<uint32_t>(seen_.to_uids.begin(), seen_.to_uids.end()), (std::set<uint32_t>{3, 4, 5}));
    for (const auto &name : seen_.thread_names)
        EXPECT_EQ(name.rfind("msg_sch", 0), 0u) << name;
    for (const auto &t : seen_.threads)
        EXPECT_FALSE(pthread_equal(t, pthread_self()));
}

TEST_F(KoMessage, FullQueueRefusesUntilAWorkerTakesOne)
{
    ko_message_reg reg = make_reg(3, "k", gated);
    ASSERT_EQ(ko_message_register(&reg), 0);
    open_gate(false);
    const std::string p = "x";
    ko_message msg = make_msg(3, "k", p, KO_MSG_MODE_ASYNC);
    int accepted = 0;
    int rc = 0;
    while ((rc = ko_message_push(&msg)) == 0 && accepted < 1000)
        ++accepted;
    EXPECT_EQ(rc, KO_MSG_ERR_FULL);
    // 256 waiting, plus those the workers took before blocking.
    EXPECT_GE(accepted, 256);
    EXPECT_LE(accepted, 256 + KO_MSG_MAX_WORKERS);
    ko_message_stat stat{};
    ASSERT_EQ(ko_message_stat_get(&stat, nullptr, nullptr), 0);
    EXPECT_EQ(stat.enough, 1u);
    open_gate(true);
    EXPECT_TRUE(zeltest::wait_until([&] { return ko_message_push(&msg) == 0; }, 5s));
    EXPECT_TRUE(zeltest::wait_until([&] { return seen_.count == accepted + 1; }, 10s));
}

TEST_F(KoMessage, PoolGrowsToSixteenUnderLoadAndShrinksToFour)
{
    ko_message_reg reg = make_reg(3, "k", gated);
    ASSERT_EQ(ko_message_register(&reg), 0);
    EXPECT_TRUE(zeltest::wait_until([] { return live_workers() == 4; }, 5s));
    open_gate(false);
    const std::string p = "x";
    ko_message msg = make_msg(3, "k", p, KO_MSG_MODE_ASYNC);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(ko_message_push(&msg), 0);
    EXPECT_TRUE(zeltest::wait_until([] { return live_workers() == 16; }, 10s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(live_workers(), 16);
    open_gate(true);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen_.count == 40; }, 10s));
    EXPECT_TRUE(zeltest::wait_until([] { return live_workers() == 4; }, 10s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(live_workers(), 4);
    ko_message_stat stat{};
    ASSERT_EQ(ko_message_stat_get(&stat, nullptr, nullptr), 0);
    EXPECT_EQ(stat.thread_max, 16u);
    // The pool still works after shrinking.
    ASSERT_EQ(ko_message_push(&msg), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return seen_.count == 41; }, 5s));
}

TEST_F(KoMessage, OverrunIsReportedOnceAndTheHandlerCompletes)
{
    ko_message_reg reg = make_reg(6, "slow", slow);
    reg.timeout_ms = 50;
    ASSERT_EQ(ko_message_register(&reg), 0);
    const std::string p = "x";
    ko_message msg = make_msg(6, "slow", p, KO_MSG_MODE_ASYNC);
    ASSERT_EQ(ko_message_push(&msg), 0);
    ko_message_stat stat{};
    EXPECT_TRUE(zeltest::wait_until(
        [&] { return ko_message_stat_get(&stat, nullptr, nullptr) == 0 && stat.cb_timeout == 1; }, 5s));
    EXPECT_EQ(stat.cb_timeout_toid, 6u);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen_.count == 1; }, 5s));
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(ko_message_stat_get(&stat, nullptr, nullptr), 0);
    EXPECT_EQ(stat.cb_timeout, 1u);
    EXPECT_GE(stat.cb_time_max, 240u);
}

TEST_F(KoMessage, StatisticsReportGoesToTheRpcLink)
{
    ko_message_reg reg = make_reg(KO_UID_RPC, "rpc.rpc", on_uid3);
    ASSERT_EQ(ko_message_register(&reg), 0);
    const std::string p = "x";
    ko_message msg = make_msg(KO_UID_SDK, "nobody", p, KO_MSG_MODE_SYNC);
    ASSERT_EQ(ko_message_push(&msg), 0);
    const std::string hello = "hello";
    msg = make_msg(KO_UID_MESSAGE, "upload_statistics", hello, KO_MSG_MODE_ASYNC);
    ASSERT_EQ(ko_message_push(&msg), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return seen_.count == 1; }, 5s));
    json_object *root = json_tokener_parse(seen_.params[0].c_str());
    ASSERT_NE(root, nullptr) << seen_.params[0];
    json_object *method = nullptr, *params = nullptr, *info = nullptr, *syn = nullptr, *ver = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(root, "method", &method));
    EXPECT_STREQ(json_object_get_string(method), "_async.stat");
    ASSERT_TRUE(json_object_object_get_ex(root, "params", &params));
    ASSERT_TRUE(json_object_object_get_ex(params, "msg.info", &info));
    ASSERT_TRUE(json_object_object_get_ex(info, "syn_msg", &syn));
    EXPECT_EQ(json_object_get_int(syn), 1);
    ASSERT_TRUE(json_object_object_get_ex(params, "tolkver", &ver));
    EXPECT_STREQ(json_object_get_string(ver), "5.1.7.1");
    EXPECT_EQ(json_object_object_length(info), 14);
    json_object_put(root);
    // The counters start again from zero after a report.
    ko_message_stat stat{};
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return ko_message_stat_get(&stat, nullptr, nullptr) == 0 && stat.syn_msg == 0; }, 5s));
}

TEST_F(KoMessage, StopDropsQueuedMessagesWithoutRunningThem)
{
    ko_message_reg reg = make_reg(3, "k", gated);
    ASSERT_EQ(ko_message_register(&reg), 0);
    open_gate(false);
    const std::string p = "x";
    ko_message msg = make_msg(3, "k", p, KO_MSG_MODE_ASYNC);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(ko_message_push(&msg), 0);
    std::thread opener([] {
        std::this_thread::sleep_for(200ms);
        open_gate(true);
    });
    EXPECT_EQ(ko_message_deinit(), 0);
    opener.join();
    EXPECT_LT(seen_.count, 100);
    ASSERT_EQ(ko_message_init(nullptr), 0);
}

// A process may end with the bus still running (the SDK's fatal-error path does): the exit must
// not wait on the workers' condition variables. The alarm turns such a hang into a failure.
TEST(MessageBusDeathTest, ProcessExitsWhileTheBusRuns)
{
    EXPECT_EXIT(
        {
            alarm(10);
            if (ko_message_init(nullptr) != 0)
                std::_Exit(2);
            std::this_thread::sleep_for(100ms);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
