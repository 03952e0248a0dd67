// Services that answer daemon methods have them in the RPC link's table by the time their start
// returns: a request that came in between the start and a queued announcement would reach the
// application instead. A withdrawal at the stop is done by then too, so that it never lands after the
// next start's announcement.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/logfiles/ko_logfiles.h"
#include "app/ota/ko_ota.h"
#include "common/ipc/ko_message.h"
#include "zel_test_support.h"

namespace {

struct Told {
    std::string key, method;
    std::thread::id thread;
};
std::mutex g_lock;
std::vector<Told> g_told;

void on_told(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_told.push_back({arg->msgkey, std::string(static_cast<const char *>(arg->param), arg->len),
                      std::this_thread::get_id()});
}

int no_files(char *, unsigned, unsigned) { return 0; }

class Announce : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ko_message_init(nullptr), 0);
        for (const char *key : {"rpc.register", "rpc.unregister"})
            ASSERT_EQ(ko_message_listen(KO_UID_RPC, key, on_told, nullptr), 0);
        std::lock_guard<std::mutex> g(g_lock);
        g_told.clear();
    }
    void TearDown() override { ko_message_deinit(); }

    // The methods told under `key`, each checked to have been handled before the call returned.
    static std::vector<std::string> told(const std::string &key)
    {
        std::lock_guard<std::mutex> g(g_lock);
        std::vector<std::string> out;
        for (const Told &t : g_told)
            if (t.key == key) {
                EXPECT_EQ(t.thread, std::this_thread::get_id()) << t.method << " was left to the bus's workers";
                out.push_back(t.method);
            }
        return out;
    }

    zeltest::TempRoot root_;
};

TEST_F(Announce, LogUploadMethodsAreInTheTableWhenItsStartReturns)
{
    ASSERT_EQ(ko_logfiles_upload_init(no_files), 0);
    const std::vector<std::string> methods{"set_dlog_switch", "get_dlog_switch", "async_device_feedback_log",
                                           "set_dlog_accept", "_sync.get_devicelog_url"};
    EXPECT_EQ(told("rpc.register"), methods);
    ASSERT_EQ(ko_logfiles_upload_deinit(), 0);
    EXPECT_EQ(told("rpc.unregister"), methods);
}

TEST_F(Announce, OtaMethodsAreInTheTableWhenItsStartReturns)
{
    ASSERT_EQ(ko_ota_init(0), 0);
    EXPECT_EQ(told("rpc.register"), (std::vector<std::string>{"lumo.ota", "ota.downgrade"}));
    ASSERT_EQ(ko_ota_deinit(), 0);
    EXPECT_EQ(told("rpc.unregister"), (std::vector<std::string>{"lumo.ota", "ota.downgrade"}));
}

} // namespace
