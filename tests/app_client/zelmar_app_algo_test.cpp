// The real zelmar_app, bound, with the device-daemon simulator and a person in the detection script
// 2 s after the detection library starts: the algorithm app pushes it through the real client, whose
// alarm road sends one "event_occured" for people.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app_test_apps.h"
#include "daemon_sim_client.h"
#include "zel_db/zel_db.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

size_t count_of(const std::string &text, const std::string &word)
{
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size()))
        ++n;
    return n;
}

TEST(ZelmarAppAlgo, APersonReachesTheDaemonAsOnePeopleEvent)
{
    apptest::Env env;
    // Bound: the manager creates the algorithm app at start.
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:bind_status", "1", 1, 1), 0);
    ASSERT_EQ(zel_api_db_deinit(), 0);
    const auto flash = apptest::serve_factory(env);
    ASSERT_TRUE(flash);
    env.root.write_file("/tmp/detection.script", "2000 5\n");

    const std::string now = std::to_string(time(nullptr));
    zeltest::DaemonSim sim(env.root, {"--did", "424242", "--time", now, "--push-status", "--status", "cloud_connected"},
                           true);
    zeltest::ChildProcess app({ZELMAR_APP_PATH},
                              {"ZELMAR_DAEMON_PORT=" + std::to_string(sim.port()), "LD_BIND_NOW=1",
                               "ZELMAR_DETECTION_SCRIPT=" + env.root.path("/tmp/detection.script")},
                              env.root.path("/tmp/zelmar_app.log"));

    Json event = sim.wait_object("rpc", "event_occured", 0, static_cast<int>(zeltest::scaled(90s).count()));
    ASSERT_TRUE(event) << env.root.read_file("/tmp/zelmar_app.log").substr(0, 6000);
    json_object *params = member(event.get(), "params");
    EXPECT_EQ(json_object_get_int(member(params, "siid")), 8) << json_object_to_json_string(event.get());
    EXPECT_EQ(json_object_get_int(member(params, "eiid")), 5) << json_object_to_json_string(event.get());

    std::this_thread::sleep_for(zeltest::scaled(3s));
    EXPECT_EQ(count_of(env.root.read_file("/tmp/daemon_sim.log"), "\"event_occured\""), 1u)
        << "one person, one event";
    EXPECT_TRUE(app.running()) << env.root.read_file("/tmp/zelmar_app.log").substr(0, 4000);
    const int status = app.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
}

} // namespace
