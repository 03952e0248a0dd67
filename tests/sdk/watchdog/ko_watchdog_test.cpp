// The thread watchdog against the simulated supervisor and daemon: keep-alives, and the end of a
// process whose watched thread went silent.
#include "common/report_stat/ko_watchdog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/rpc/ko_rpc.h"
#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_thread_alive.h"
#include "daemon_sim_client.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

namespace {

// The supervisor's messages so far as (monotonic seconds, message) pairs.
std::vector<std::pair<double, Json>> supervisor_messages(zeltest::DaemonSim &sim)
{
    Json answer = sim.command(R"({"cmd":"supervisor","since":0})");
    std::vector<std::pair<double, Json>> out;
    json_object *list = member(answer.get(), "messages");
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
        json_object *entry = json_object_array_get_idx(list, i);
        out.emplace_back(json_object_get_double(json_object_array_get_idx(entry, 0)),
                         Json(json_object_get(json_object_array_get_idx(entry, 1))));
    }
    return out;
}

const char *keepalive_extra(json_object *msg)
{
    if (!msg || std::string(json_object_get_string(member(msg, "method"))) != "daemon.keepalive")
        return nullptr;
    return json_object_get_string(member(member(msg, "para"), "extra"));
}

TEST(ThreadWatchdog, SendsKeepAlivesEveryTenSecondsWhileAllIsWell)
{
    zeltest::TempRoot root;
    zeltest::DaemonSim sim(root, {}, true);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        while (!done.load()) {
            thread_alive_update_status(THREAD_ALIVE_RUNNING, 1);
            std::this_thread::sleep_for(100ms);
        }
        thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    });
    ASSERT_EQ(ko_thread_watchdog_init(), 0);
    EXPECT_EQ(ko_thread_watchdog_init(), -1);
    ASSERT_TRUE(zeltest::wait_until([&] { return supervisor_messages(sim).size() >= 2; }, 30s));
    EXPECT_EQ(ko_thread_watchdog_deinit(), 0);
    EXPECT_EQ(ko_thread_watchdog_deinit(), -1);
    done.store(true);
    worker.join();

    const auto messages = supervisor_messages(sim);
    ASSERT_GE(messages.size(), 2u);
    for (const auto &[t, msg] : messages) {
        ASSERT_TRUE(keepalive_extra(msg.get()));
        EXPECT_STREQ(keepalive_extra(msg.get()), "");
        EXPECT_EQ(json_object_get_int(member(member(msg.get(), "para"), "pid")), getpid());
    }
    const double interval = messages[1].first - messages[0].first;
    EXPECT_GT(interval, 9.5);
    EXPECT_LT(interval, 13.0);
}

TEST(ThreadWatchdog, SilentWatchedThreadEndsTheProcessAfterItsReport)
{
    zeltest::TempRoot root;
    zeltest::DaemonSim sim(root, {}, true);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim.port()).c_str(), 1);
        if (ko_message_init(nullptr) != 0 || ko_rpc_init() != 0 || ko_thread_watchdog_init() != 0)
            _exit(3);
        std::thread waiter([] {
            thread_alive_update_status(THREAD_ALIVE_WAITING, 1); // waiting threads are never declared dead
            std::this_thread::sleep_for(60s);
        });
        std::thread silent([] {
            pthread_setname_np(pthread_self(), "silent_worker");
            thread_alive_update_status(THREAD_ALIVE_RUNNING, 1);
            std::this_thread::sleep_for(60s);
        });
        waiter.detach();
        silent.detach();
        std::this_thread::sleep_for(60s);
        _exit(4);
    }

    int status = 0;
    const bool ended = zeltest::wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 45s);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);

    bool named_keepalive = false;
    for (const auto &[t, msg] : supervisor_messages(sim)) {
        const char *extra = keepalive_extra(msg.get());
        named_keepalive |= extra && std::string(extra) == "silent_worker";
    }
    EXPECT_TRUE(named_keepalive);

    Json report = sim.wait_object("rpc", "_async.stat", 0, 1000);
    ASSERT_TRUE(report);
    EXPECT_STREQ(json_object_get_string(member(member(member(report.get(), "params"), "watchdog.info"), "thread_name")),
                 "silent_worker");
}

} // namespace
