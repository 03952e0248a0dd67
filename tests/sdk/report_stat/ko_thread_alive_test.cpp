// The liveness registry on an injected clock, and the rate limits and text of statistics reports.
#include "common/report_stat/ko_report_stat.h"
#include "common/report_stat/ko_thread_alive.h"

#include <gtest/gtest.h>

#include <json-c/json.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_thread.h"
#include "common/utils/ko_time_test.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

std::atomic<uint64_t> g_now_us{1000000000};
uint64_t fake_clock()
{
    return g_now_us.load();
}
void advance_ms(uint64_t ms)
{
    g_now_us += ms * 1000;
}

class FakeClock : public testing::Test {
protected:
    void SetUp() override { ko_time_set_tick_source(fake_clock); }
    void TearDown() override { ko_time_set_tick_source(nullptr); }
};

// A thread named `name` that runs `body` and then stays until the object goes, when it reports itself
// leaving: its record (or its absence) is checked while it lives, and nothing outlives the case.
class NamedThread {
public:
    template <typename F>
    NamedThread(const char *name, F body)
    {
        thread_ = std::thread([this, name, body] {
            pthread_setname_np(pthread_self(), name);
            body();
            std::unique_lock<std::mutex> lock(lock_);
            ran_ = true;
            cv_.notify_all();
            cv_.wait(lock, [this] { return released_; });
            thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
        });
        std::unique_lock<std::mutex> lock(lock_);
        cv_.wait(lock, [this] { return ran_; });
    }
    ~NamedThread()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            released_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    pthread_t id() { return thread_.native_handle(); }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool ran_ = false;
    bool released_ = false;
    std::thread thread_;
};

std::mutex g_sent_lock;
std::vector<std::string> g_sent;

void capture(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> guard(g_sent_lock);
    g_sent.emplace_back(static_cast<const char *>(arg->param), arg->len);
}

size_t sent_count()
{
    std::lock_guard<std::mutex> guard(g_sent_lock);
    return g_sent.size();
}

} // namespace

using ThreadAlive = FakeClock;

TEST_F(ThreadAlive, SilentRunningThreadIsOverdueAfterItsLimit)
{
    thread_alive_info info{};
    EXPECT_EQ(thread_alive_check(nullptr), -1);
    EXPECT_EQ(thread_alive_check(&info), 0);
    NamedThread worker("svc_worker", [] {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 2);
        // A later limit does not replace the first.
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 100);
    });
    advance_ms(2000);
    EXPECT_EQ(thread_alive_check(&info), 0);
    advance_ms(1);
    ASSERT_EQ(thread_alive_check(&info), 1);
    EXPECT_TRUE(pthread_equal(info.tid, worker.id()));
    EXPECT_STREQ(info.name, "svc_worker");
}

TEST_F(ThreadAlive, SdkThreadThatEndsWithoutSayingSoIsForgotten)
{
    ko_thread_attr attr{};
    std::strcpy(attr.name, "forgetful");
    ko_thread *thread = ko_thread_run(
        &attr,
        [](void *) -> void * {
            thread_alive_update_status(THREAD_ALIVE_RUNNING, 1);
            return nullptr;
        },
        nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(ko_thread_destory(thread), 0);
    advance_ms(5000);
    thread_alive_info info{};
    EXPECT_EQ(thread_alive_check(&info), 0);
}

TEST_F(ThreadAlive, WaitingLeavingAndSilentThreadsAreNotOverdue)
{
    thread_alive_info info{};
    NamedThread waiter("waiter", [] { thread_alive_update_status(THREAD_ALIVE_WAITING, 1); });
    NamedThread leaver("leaver", [] {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 1);
        thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    });
    NamedThread silent("silent", [] {});
    advance_ms(3600 * 1000);
    EXPECT_EQ(thread_alive_check(&info), 0);
    // The default limit is 60 s.
    NamedThread fallback("default", [] { thread_alive_update_status(THREAD_ALIVE_RUNNING, 0); });
    advance_ms(60000);
    EXPECT_EQ(thread_alive_check(&info), 0);
    advance_ms(1);
    EXPECT_EQ(thread_alive_check(&info), 1);
    EXPECT_STREQ(info.name, "default");
}

class ReportStat : public FakeClock {
protected:
    void SetUp() override
    {
        FakeClock::SetUp();
        {
            std::lock_guard<std::mutex> guard(g_sent_lock);
            g_sent.clear();
        }
        ASSERT_EQ(ko_message_init(nullptr), 0);
        ASSERT_EQ(ko_message_listen(KO_UID_RPC, "rpc.rpc", capture, nullptr), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(ko_message_deinit(), 0);
        FakeClock::TearDown();
    }
};

TEST_F(ReportStat, RateLimitsPerKey)
{
    EXPECT_EQ(report_stat_object("p2p.info", "{\"a\":1}"), 0);
    EXPECT_EQ(report_stat_object("p2p.info", "{\"a\":2}"), -1);
    advance_ms(5000);
    EXPECT_EQ(report_stat_object("p2p.info", "{\"a\":3}"), 0);
    EXPECT_EQ(report_stat_object("wifi_pair.info", "{}"), 0);
    EXPECT_EQ(report_stat_object("wifi_pair.info", "{}"), 0);
    EXPECT_EQ(report_stat_object("my.key", "{}"), 0);
    advance_ms(59000);
    EXPECT_EQ(report_stat_object("my.key", "{}"), -1);
    advance_ms(1000);
    EXPECT_EQ(report_stat_object("my.key", "{}"), 0);
    // The reporter's stop forgets every last send.
    EXPECT_EQ(report_stat_object("my.key", "{}"), -1);
    report_stat_reset();
    EXPECT_EQ(report_stat_object("my.key", "{}"), 0);
    EXPECT_TRUE(zeltest::wait_until([] { return sent_count() == 7; }, 5s));
}

TEST_F(ReportStat, TextLimitsAndNotificationLayout)
{
    const std::string ok = "\"" + std::string(897, 'x') + "\"";
    ASSERT_EQ(ok.size(), 899u);
    EXPECT_EQ(report_stat_object("wifi_pair.info", (ok + " ").c_str()), -1);
    EXPECT_EQ(report_stat_object("wifi_pair.info", ""), -1);
    EXPECT_EQ(report_stat_object(std::string(32, 'k').c_str(), "{}"), -1);
    EXPECT_EQ(report_stat_object(nullptr, "{}"), -1);
    EXPECT_EQ(report_stat_object("wifi_pair.info", nullptr), -1);
    report_stat_identity_set("cam-model", "1.2.3");
    report_stat_identity_set("other", nullptr);
    ASSERT_EQ(report_stat_object("wifi_pair.info", ok.c_str()), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return sent_count() == 1; }, 5s));
    json_object *root = json_tokener_parse(g_sent[0].c_str());
    ASSERT_NE(root, nullptr);
    json_object *params = nullptr, *v = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(root, "params", &params));
    std::vector<std::string> keys;
    json_object_object_foreach(params, key, val)
    {
        (void)val;
        keys.emplace_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"wifi_pair.info", "model", "fw_ver", "version", "tolkver"}));
    ASSERT_TRUE(json_object_object_get_ex(params, "model", &v));
    EXPECT_STREQ(json_object_get_string(v), "cam-model");
    ASSERT_TRUE(json_object_object_get_ex(root, "id", &v));
    EXPECT_GE(json_object_get_int64(v), 0);
    json_object_put(root);
}

// The process's exit handlers run while detached SDK threads still report (the bus workers do on
// every message): the registry must outlive them.
TEST(ThreadAliveDeathTest, ReportsWhileTheProcessExitsStaySafe)
{
    EXPECT_EXIT(
        {
            std::atomic<bool> reported{false};
            std::thread([&reported] {
                for (;;) {
                    thread_alive_update_status(THREAD_ALIVE_RUNNING, 0);
                    reported = true;
                }
            }).detach();
            while (!reported)
                std::this_thread::yield();
            std::this_thread::sleep_for(20ms);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
