// The property RPC engine running behind a started SDK, against the device-daemon simulator: the
// daemon's requests come down the real RPC link and hook, and every reply, report and event is read
// back from what the simulator received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ko_sdk_fixture.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_rpc_test_rows.h"
#include "zelmar/zel_path.h"

namespace rpctest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

// Parsed JSON equality: json-c compares objects member by member, whatever the spacing.
inline bool same_json(json_object *a, const std::string &b)
{
    Json want = zeltest::parse_json(b);
    return a && want && json_object_equal(a, want.get());
}
inline std::string text_of(json_object *obj)
{
    return sdktest::canonical(obj);
}

inline void start_logging(const zeltest::TempRoot &root)
{
    root.write_file("/mnt/data/operator/zel_log.ini", "[console]\ntype = stderr\ncolor = false\nlevel = info\n\n"
                                                      "[main]\nappender = console\nasync = false\nlevel = info\n"
                                                      "format = level,tag\ndefault = true\n");
    zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
}

class RpcTest : public sdktest::SdkTest {
protected:
    // `start_engine` false leaves zel_rpc_init to the test.
    explicit RpcTest(bool start_engine = true,
                     std::vector<std::string> sim_args = {"--did", "424242", "--time", "1700000000", "--status",
                                                          "cloud_connected"})
        : SdkTest(std::move(sim_args)), start_engine_(start_engine)
    {
    }

    void SetUp() override
    {
        start_logging(root_);
        reset_calls();
        hold_worker(false);
        ASSERT_EQ(zel_api_db_init(), 0);
        before_sdk();
        SdkTest::SetUp();
        if (start_engine_)
            start_engine();
    }

    void TearDown() override
    {
        hold_worker(false);
        zel_rpc_deinit();
        zel_rpc_test_install_tables(nullptr);
        SdkTest::TearDown();
        zel_api_db_deinit();
    }

    // Runs before the SDK starts (settings a test needs at the engine's start).
    virtual void before_sdk() {}

    void start_engine()
    {
        // The SDK answers the device id once the daemon has told its state and the id.
        ASSERT_TRUE(zeltest::wait_until(
            [] {
                char did[32] = {};
                return ko_ipc_query_did(did, sizeof did) == 0;
            },
            10s));
        ASSERT_EQ(zel_rpc_init(), 0);
    }

    int rpc_count() { return sim_->received_count("rpc"); }

    // Objects on the RPC link from `since` with `method` ("" = replies, objects without method).
    Json wait_rpc(const std::string &method, int since, int *index = nullptr, int timeout_ms = 5000)
    {
        const std::string which = method.empty() ? "null" : "\"" + method + "\"";
        Json answer = sim_->command(
            R"({"cmd":"wait","link":"rpc","method":)" + which + R"(,"since":)" + std::to_string(since) +
            R"(,"timeout_ms":)" +
            std::to_string(static_cast<int>(zeltest::scaled(std::chrono::milliseconds(timeout_ms)).count())) + "}");
        json_object *obj = member(answer.get(), "object");
        if (index)
            *index = obj ? json_object_get_int(member(answer.get(), "index")) : -1;
        return obj ? zeltest::parse_json(json_object_to_json_string(obj)) : Json();
    }
    // The next `n` replies from `since`, in the order the simulator got them.
    std::vector<Json> replies(int since, size_t n, int timeout_ms = 5000)
    {
        std::vector<Json> out;
        int index = since - 1;
        for (size_t i = 0; i < n; ++i) {
            Json reply = wait_rpc("", index + 1, &index, timeout_ms);
            if (!reply)
                break;
            out.push_back(std::move(reply));
        }
        return out;
    }
    // Sends `text` as the daemon and returns the camera's first reply after it.
    Json ask(const std::string &text)
    {
        const int since = rpc_count();
        sim_->send("rpc", text);
        return wait_rpc("", since);
    }
    // Nothing with `method` ("" = no reply) reaches the simulator from `since` within `ms`.
    bool nothing(const std::string &method, int since, int ms = 700) { return !wait_rpc(method, since, nullptr, ms); }

    bool start_engine_;
};

} // namespace rpctest
