// The real zelmar_app, bound, with the device-daemon simulator and a person in the detection script
// 2 s after the detection library starts: the algorithm app pushes it through the real client, whose
// alarm road sends one "event_occured" for people. Then "start_ota" from an outside app: 7 s later the
// algorithm app and the media layer are released and the app hears "set_release_resource_over"; a
// restart asked for after that changes nothing, and the program ends on SIGTERM with status 255.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <vector>
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

TEST(ZelmarAppAlgo, APersonReachesTheDaemonAsOneEventThenAnUpgradeReleasesTheApps)
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

    const auto outside_app = [&](const std::vector<std::string> &args, const std::string &log) {
        std::vector<std::string> all{getenv("ZELMAR_AGENT_SOCK")};
        all.insert(all.end(), args.begin(), args.end());
        zeltest::ChildProcess peer(zeltest::python_peer("agent_send.py", all), {}, env.root.path(log));
        const int status = peer.wait_exit(30s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << env.root.read_file(log);
        return env.root.read_file(log);
    };
    const std::string ota = outside_app(
        {"--register", "set_release_resource_over", "--wait", "10", "set_dev_status=start_ota"}, "/tmp/ota_peer.log");
    EXPECT_NE(ota.find("recv {\"method\":\"set_release_resource_over\""), std::string::npos) << ota;
    const std::string log = env.root.read_file("/tmp/zelmar_app.log");
    const size_t release = log.find("start ota , relase resource");
    ASSERT_NE(release, std::string::npos) << log.substr(0, 4000);
    const size_t algo_gone = log.find("exec exit ircut module", release);
    EXPECT_NE(algo_gone, std::string::npos) << "the algorithm app is released";
    EXPECT_NE(log.find("exit zel_media_deinit", algo_gone), std::string::npos) << "then the media layer";
    outside_app({"set_dev_status=dev_reboot"}, "/tmp/reboot_peer.log");
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_TRUE(app.running());
    EXPECT_EQ(env.root.read_file("/tmp/zelmar_app.log").find("[system] reboot"), std::string::npos);
    const int status = app.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
}

} // namespace
