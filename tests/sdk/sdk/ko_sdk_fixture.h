// A started SDK core against the device-daemon simulator in a temporary root, with the helpers the
// SDK start and local-method tests share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/sdk/ko_sdk.h"
#include "daemon_sim_client.h"
#include "ko_porting_hooks_double.h"
#include "ko_sdk_test_param.h"
#include "rpc_link_probe.h"
#include "zel_test_support.h"

namespace sdktest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

// The status words the SDK told the application.
inline std::mutex g_status_lock;
inline std::vector<std::string> g_status_words;

inline void on_status(const char *word)
{
    std::lock_guard<std::mutex> lock(g_status_lock);
    g_status_words.emplace_back(word);
}

inline std::vector<std::string> status_words()
{
    std::lock_guard<std::mutex> lock(g_status_lock);
    return g_status_words;
}

inline ko_ipc_sdk_param default_param()
{
    ko_ipc_sdk_param p = zeltest::sdk_test_param();
    p.status_callback = on_status;
    return p;
}

// Plain JSON text with members in their order, for exact comparisons.
inline std::string canonical(json_object *obj)
{
    return obj ? json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE) : "(none)";
}
inline std::string canonical(const std::string &text)
{
    Json obj = zeltest::parse_json(text);
    return canonical(obj.get());
}

class SdkTest : public ::testing::Test {
protected:
    // Extra simulator arguments; a fixture may start the SDK itself (start_sdk = false).
    explicit SdkTest(std::vector<std::string> sim_args = {"--did", "424242", "--time", "1700000000"},
                     bool start_sdk = true)
        : sim_args_(std::move(sim_args)), start_sdk_(start_sdk)
    {
    }

    void SetUp() override
    {
        zeltest::porting_hooks_reset();
        {
            std::lock_guard<std::mutex> lock(g_status_lock);
            g_status_words.clear();
        }
        sim_ = std::make_unique<zeltest::DaemonSim>(root_, sim_args_, true);
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim_->port()).c_str(), 1);
        param_ = default_param();
        if (start_sdk_) {
            ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
            wait_links();
        }
    }

    void TearDown() override
    {
        ko_sdk_info *info = ko_ipc_get_sdk_info();
        if (info && info->valid) {
            EXPECT_EQ(ko_ipc_sdk_deinit(), 0);
        }
        unsetenv("ZELMAR_DAEMON_PORT");
    }

    bool link_connected(const char *name)
    {
        Json links = sim_->command(R"({"cmd":"links"})");
        return json_object_get_boolean(member(member(member(links.get(), "links"), name), "connected"));
    }
    // Both links up and the internal link's greeting seen.
    void wait_links()
    {
        ASSERT_TRUE(zeltest::wait_until([&] { return link_connected("internal") && link_connected("rpc"); }, 15s));
        ASSERT_TRUE(sim_->wait_object("internal", "_internal.hello", 0, 10000));
        ASSERT_TRUE(zeltest::wait_rpc_link_ready(*sim_));
    }

    // Plays a daemon request on the internal link; the index from which the camera's answer counts.
    int call(const std::string &request_fields)
    {
        Json answer = sim_->command(R"({"cmd":"call",)" + request_fields + "}");
        EXPECT_TRUE(json_object_get_boolean(member(answer.get(), "ok"))) << canonical(answer.get());
        return json_object_get_int(member(answer.get(), "since"));
    }
    // The next object with `method` on `link` from `since`, and its index (-1 on time-out).
    Json next(const std::string &link, const std::string &method, int since, int *index = nullptr,
              int timeout_ms = 5000)
    {
        Json reply = sim_->command(R"({"cmd":"wait","link":")" + link + R"(","method":")" + method +
                                   R"(","since":)" + std::to_string(since) +
                                   R"(,"timeout_ms":)" + std::to_string(timeout_ms) + "}");
        json_object *obj = member(reply.get(), "object");
        if (index)
            *index = obj ? json_object_get_int(member(reply.get(), "index")) : -1;
        return obj ? zeltest::parse_json(json_object_to_json_string(obj)) : Json();
    }
    // The camera's answer `method` to a request, followed by its "_internal.hello" (checked).
    std::string reply_with_hello(const std::string &method, int since)
    {
        int index = -1;
        Json reply = next("internal", method, since, &index);
        if (!reply)
            return "(none)";
        EXPECT_TRUE(next("internal", "_internal.hello", index + 1)) << "no hello after " << method;
        return canonical(reply.get());
    }
    // No object with `method` arrives on `link` from `since` within `ms`.
    bool none_within(const std::string &link, const std::string &method, int since, int ms)
    {
        return !next(link, method, since, nullptr, ms);
    }

    int camera_state()
    {
        ko_sdk_info *info = ko_ipc_get_sdk_info();
        pthread_mutex_lock(&info->mutex);
        const int state = info->camera_state;
        pthread_mutex_unlock(&info->mutex);
        return state;
    }
    void tell_status(const std::string &word) { call(R"("method":"local.status","params":")" + word + "\""); }

    zeltest::TempRoot root_;
    std::vector<std::string> sim_args_;
    bool start_sdk_;
    std::unique_ptr<zeltest::DaemonSim> sim_;
    ko_ipc_sdk_param param_{};
};

} // namespace sdktest
