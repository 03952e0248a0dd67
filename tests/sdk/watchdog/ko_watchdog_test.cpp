// The thread watchdog against the simulated supervisor and daemon: keep-alives, and the end of a
// process whose watched thread went silent.
#include "common/report_stat/ko_watchdog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/rpc/ko_rpc.h"
#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_thread_alive.h"
#include "daemon_sim_client.h"
#include "ko_porting_hooks_double.h"
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

int camera_state_8()
{
    return 8;
}

TEST(ThreadWatchdog, SendsKeepAlivesEveryTenSecondsAndReportsCrashInfoAtState8)
{
    zeltest::TempRoot root;
    zeltest::DaemonSim sim(root, {"--crash-info", "signal 11 in p2p_v"}, true);
    setenv("ZELMAR_DAEMON_PORT", std::to_string(sim.port()).c_str(), 1);
    ASSERT_EQ(ko_message_init(nullptr), 0);
    ASSERT_EQ(ko_rpc_init(), 0);
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            Json links = sim.command(R"({"cmd":"links"})");
            return json_object_get_boolean(member(member(member(links.get(), "links"), "rpc"), "connected"));
        },
        10s));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        while (!done.load()) {
            thread_alive_update_status(THREAD_ALIVE_RUNNING, 1);
            std::this_thread::sleep_for(100ms);
        }
        thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    });
    ko_thread_watchdog_set_state_source(camera_state_8);
    ASSERT_EQ(ko_thread_watchdog_init(), 0);
    EXPECT_EQ(ko_thread_watchdog_init(), -1);

    // The first sight of state 8 asks the supervisor once and reports its answer.
    Json report = sim.wait_object("rpc", "_async.stat", 0, 10000);
    ASSERT_TRUE(report);
    EXPECT_STREQ(json_object_get_string(member(member(report.get(), "params"), "crash.info")), "signal 11 in p2p_v");

    auto keepalives = [&] {
        std::vector<double> times;
        for (const auto &[t, msg] : supervisor_messages(sim)) {
            if (const char *extra = keepalive_extra(msg.get())) {
                EXPECT_STREQ(extra, "");
                EXPECT_EQ(json_object_get_int(member(member(msg.get(), "para"), "pid")), getpid());
                times.push_back(t);
            }
        }
        return times;
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return keepalives().size() >= 2; }, 30s));
    EXPECT_EQ(ko_thread_watchdog_deinit(), 0);
    EXPECT_EQ(ko_thread_watchdog_deinit(), -1);
    ko_thread_watchdog_set_state_source(nullptr);
    done.store(true);
    worker.join();

    const std::vector<double> times = keepalives();
    ASSERT_GE(times.size(), 2u);
    const double interval = times[1] - times[0];
    EXPECT_GT(interval, 9.5);
    EXPECT_LT(interval, 10.0 + 3.0 * zeltest::time_scale());
    int getinfo = 0;
    for (const auto &[t, msg] : supervisor_messages(sim))
        getinfo += std::string(json_object_get_string(member(msg.get(), "method"))) == "daemon.getinfo";
    EXPECT_EQ(getinfo, 1);

    EXPECT_EQ(ko_rpc_deinit(), 0);
    EXPECT_EQ(ko_message_deinit(), 0);
    unsetenv("ZELMAR_DAEMON_PORT");
}

TEST(ThreadWatchdog, SilentWatchedThreadEndsTheProcessAfterItsReport)
{
    zeltest::TempRoot root;
    zeltest::DaemonSim sim(root, {}, true);
    // The child writes the code it gives ko_ipc_on_error into this pipe.
    int hook_pipe[2];
    ASSERT_EQ(pipe(hook_pipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(hook_pipe[0]);
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim.port()).c_str(), 1);
        if (ko_message_init(nullptr) != 0 || ko_rpc_init() != 0 || ko_thread_watchdog_init() != 0)
            _exit(3);
        std::thread hook_watch([fd = hook_pipe[1]] {
            zeltest::wait_until([] { return !zeltest::porting_hooks_seen().errors.empty(); }, 60s);
            const int code = zeltest::porting_hooks_seen().errors.at(0);
            if (write(fd, &code, sizeof code) != static_cast<ssize_t>(sizeof code))
                _exit(5);
        });
        hook_watch.detach();
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

    close(hook_pipe[1]);
    int status = 0;
    const bool ended = zeltest::wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 45s);
    const double ended_at = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    int hook_code = -1;
    const ssize_t got = read(hook_pipe[0], &hook_code, sizeof hook_code);
    close(hook_pipe[0]);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof hook_code));
    EXPECT_EQ(hook_code, 0);

    // The supervisor's clock and steady_clock are both the monotonic clock.
    double named_at = -1;
    for (const auto &[t, msg] : supervisor_messages(sim)) {
        const char *extra = keepalive_extra(msg.get());
        if (extra && std::string(extra) == "silent_worker")
            named_at = t;
    }
    ASSERT_GE(named_at, 0);
    EXPECT_GE(ended_at - named_at, 19.5); // the pause that lets the report leave

    Json report = sim.wait_object("rpc", "_async.stat", 0, 1000);
    ASSERT_TRUE(report);
    EXPECT_STREQ(json_object_get_string(member(member(member(report.get(), "params"), "watchdog.info"), "thread_name")),
                 "silent_worker");
}

} // namespace
