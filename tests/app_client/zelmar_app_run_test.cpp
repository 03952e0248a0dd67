// The real zelmar_app, every symbol bound at load (LD_BIND_NOW=1), with its factory partition served by
// the Python flash peer and the device-daemon simulator: both daemon links come up, the statistics the
// simulator asks for ("tolk.stat") show frames arriving in the rings of the main, sub and audio
// channels (board -> media app -> client -> stream channels); every app of the start-up is the
// program's own and created, the status app follows the business layer's "cloud_connected" to its
// resting state (the device then bound), and the program is still running 20 s after its start and
// ends on SIGTERM with status 255.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "app_test_apps.h"
#include "daemon_sim_client.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

TEST(ZelmarAppRun, FramesReachTheRingsAndTheProgramLives)
{
    apptest::Env env;
    const auto flash = apptest::serve_factory(env);
    ASSERT_TRUE(flash);

    const std::string now = std::to_string(time(nullptr));
    zeltest::DaemonSim sim(env.root, {"--did", "424242", "--time", now, "--push-status", "--status", "cloud_connected"},
                           true);
    const auto started = std::chrono::steady_clock::now();
    zeltest::ChildProcess app({ZELMAR_APP_PATH}, {"ZELMAR_DAEMON_PORT=" + std::to_string(sim.port()), "LD_BIND_NOW=1"},
                              env.root.path("/tmp/zelmar_app.log"));

    auto connected = [&](const char *name) {
        Json links = sim.command(R"({"cmd":"links"})");
        return json_object_get_boolean(member(member(member(links.get(), "links"), name), "connected"));
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return connected("internal") && connected("rpc"); }, 30s))
        << env.root.read_file("/tmp/zelmar_app.log").substr(0, 4000);

    // Each "tolk.stat" makes the next statistics turn report every channel with news.
    std::set<int> counted;
    int since = 0;
    int id = 100;
    const bool all = zeltest::wait_until(
        [&] {
            sim.send("rpc", R"({"id":)" + std::to_string(id++) + R"(,"method":"tolk.stat"})");
            for (Json stat; (stat = sim.wait_object("rpc", "_async.stat", since, 300));) {
                ++since;
                json_object *info = member(member(stat.get(), "params"), "ringbuf.info");
                json_object *i_in = member(info, "i_frame_in");
                json_object *p_in = member(info, "p_frame_in");
                if (!json_object_is_type(i_in, json_type_array) || !json_object_is_type(p_in, json_type_array))
                    continue;
                for (const int chn : {0, 1, 4}) {
                    if (json_object_get_int64(json_object_array_get_idx(i_in, chn)) +
                            json_object_get_int64(json_object_array_get_idx(p_in, chn)) >
                        0)
                        counted.insert(chn);
                }
            }
            return counted.size() == 3;
        },
        40s);
    EXPECT_TRUE(all) << counted.size() << " channels counted frames";

    const auto log = [&] { return env.root.read_file("/tmp/zelmar_app.log"); };
    for (const int id : {5, 6, 7, 4, 2, 1})
        EXPECT_NE(log().find("app_create app_id:" + std::to_string(id)), std::string::npos) << id;
    EXPECT_EQ(log().find("create function is not part of this build"), std::string::npos);
    EXPECT_NE(log().find("<app_status>"), std::string::npos);
    // Unbound at start: waiting for the network (state 1) until the cloud connection binds the device.
    EXPECT_TRUE(zeltest::wait_until(
        [&] {
            const std::string text = log();
            const size_t bound = text.find("[IPC_STATUS] cur state 1 change to 13");
            return bound != std::string::npos &&
                   text.find("[IPC_STATUS] cur state 13 change to 20", bound) != std::string::npos;
        },
        30s))
        << log().substr(0, 4000);

    const auto lived = std::chrono::steady_clock::now() - started;
    if (lived < 20s)
        std::this_thread::sleep_for(20s - lived);
    EXPECT_TRUE(app.running()) << env.root.read_file("/tmp/zelmar_app.log").substr(0, 4000);
    const int status = app.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
}

} // namespace
