// A firmware update in the real zelmar_app, with the device-daemon simulator, the simulated cloud
// serving the image and the simulated OTA install library: "lumo.ota" is taken, the client stops its
// services and starts the download, the pre-update script runs once, and an image whose chain does
// not lead to the product's root certificate is refused: nothing is installed, the device "reboots"
// once (recorded), and the program lives on.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "../sdk/cloud/cloud_sim_client.h"
#include "../sdk/ota/ota_daemon_calls.h"
#include "app_test_apps.h"
#include "daemon_sim_client.h"
#include "ota_image_maker.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

TEST(ZelmarAppOta, ForeignImageIsRefusedAndNothingInstalled)
{
    apptest::Env env;
    const auto flash = apptest::serve_factory(env);
    ASSERT_TRUE(flash);
    cloudtest::CloudSim cloud;
    const uint8_t key[16] = {4};
    ASSERT_TRUE(cloud.start(env.root, key, "token"));
    zeltest::OtaPki pki;
    ASSERT_TRUE(zeltest::make_ota_pki(env.root.path("/pki"), &pki));
    zeltest::OtaImageSpec spec;
    spec.payload = std::string(200000, 'p');
    spec.model = "ZT-CAM1";
    spec.new_ver = {9, 0, 0, 0, 0};
    const std::string image = zeltest::make_ota_image(pki, spec);
    ASSERT_FALSE(image.empty());
    std::ofstream(cloud.out() + "/fw.bin", std::ios::binary) << image;
    env.root.write_file("/mnt/data/bin/pre-ota.sh", "#!/bin/sh\necho ran >> " + env.root.path("/tmp/pre-ota.log") + "\n");
    zeltest::run_command("chmod +x " + env.root.path("/mnt/data/bin/pre-ota.sh"));

    const std::string now = std::to_string(time(nullptr));
    zeltest::DaemonSim sim(env.root, {"--did", "424242", "--time", now, "--push-status", "--status", "cloud_connected"},
                           true);
    zeltest::ChildProcess app({ZELMAR_APP_PATH},
                              {"ZELMAR_DAEMON_PORT=" + std::to_string(sim.port()), "ZELMAR_QV_OTA=piece_ms=1"},
                              env.root.path("/tmp/zelmar_app.log"));
    auto connected = [&](const char *name) {
        Json links = sim.command(R"({"cmd":"links"})");
        return json_object_get_boolean(member(member(member(links.get(), "links"), name), "connected"));
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return connected("internal") && connected("rpc"); }, 30s));

    // The OTA service announces its key once the client has started it.
    Json reply;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            reply = otatest::daemon_call(sim, 7, "lumo.ota",
                                         R"({"app_url":")" + cloud.base() + R"(/ota/fw.bin","file_md5":")" +
                                             zeltest::ota_md5_hex(image) +
                                             R"(","signed_file":"true","original_length":1})");
            return member(reply.get(), "result") != nullptr;
        },
        30s));
    EXPECT_STREQ(json_object_to_json_string_ext(member(reply.get(), "result"), JSON_C_TO_STRING_PLAIN), R"(["OK"])");

    // The 12 s pause for the application, the download, the refusal.
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            const auto states = otatest::reported_props(sim, "ota_state");
            return !states.empty() && states.back() == "failed";
        },
        zeltest::scaled(90s)))
        << env.root.read_file("/tmp/zelmar_app.log").substr(0, 4000);
    EXPECT_EQ(otatest::reported_props(sim, "ota_state").front(), "downloading");
    // The result report: verification (-33025) refused the signature chain (-4).
    Json received;
    json_object *result = nullptr;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            received = sim.command(R"({"cmd":"received","link":"rpc","since":0})");
            json_object *objects = member(received.get(), "objects");
            for (size_t i = 0; !result && objects && i < json_object_array_length(objects); ++i)
                result = member(member(json_object_array_get_idx(objects, i), "params"), "ota.result");
            return result != nullptr;
        },
        10s));
    EXPECT_EQ(json_object_get_int(member(result, "result")), -33025);
    EXPECT_EQ(json_object_get_int(member(member(result, "ota_app"), "reason")), -4);
    EXPECT_TRUE(zeltest::wait_until([&] { return env.root.exists("/tmp/qv_ota_reboots"); }, 10s));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(env.root.read_file("/tmp/qv_ota_reboots"), "reboot\n");
    EXPECT_EQ(env.root.read_file("/tmp/pre-ota.log"), "ran\n");
    EXPECT_FALSE(env.root.exists("/dev/mtdblock_fw"));
    EXPECT_TRUE(app.running());
    const int status = app.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status)) << status;

    // The program's console lines are complete once it has ended.
    const std::string log = env.root.read_file("/tmp/zelmar_app.log");
    EXPECT_NE(log.find(R"("method":"set_dev_status","params":"start_ota")"), std::string::npos)
        << "the application was told";
}

} // namespace
