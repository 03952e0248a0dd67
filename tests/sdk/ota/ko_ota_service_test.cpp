// The OTA service end to end inside the SDK: "lumo.ota" from the device-daemon simulator, the image
// from the simulated cloud over HTTPS (with scripted cuts, stalls and wrong answers to a resume), and
// the porting-hook double in the app-client library's place, which starts the update with the test's
// root. A good image hands exactly its payload to the hooks; every broken one ends in status 6 without
// the install hook.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../cloud/cloud_sim_client.h"
#include "../sdk/ko_sdk_fixture.h"
#include "app/ota/ko_ota.h"
#include "app/ota/ko_ota_test.h"
#include "common/http/vexa_http_test.h"
#include "ota_daemon_calls.h"
#include "ota_image_maker.h"

namespace {

using namespace std::chrono_literals;
using sdktest::canonical;
using zeltest::Json;
using zeltest::member;
using zeltest::OtaImageSpec;

class OtaService : public sdktest::SdkTest {
protected:
    static void SetUpTestSuite()
    {
        char dir[] = "/tmp/ota_service_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_TRUE(zeltest::make_ota_pki(dir, &pki_));
        payload_.resize(150000);
        std::mt19937 rng(11);
        for (char &c : payload_)
            c = static_cast<char>(rng());
    }
    static void TearDownTestSuite() { zeltest::run_command("rm -rf " + pki_.dir); }

    void SetUp() override
    {
        SdkTest::SetUp();
        if (HasFatalFailure())
            return;
        const uint8_t key[16] = {1};
        ASSERT_TRUE(cloud_.start(root_, key, "token"));
        ASSERT_EQ(ko_ota_init(0), 0);
        script_root(pki_.pem("root"));
    }
    void TearDown() override
    {
        ko_ota_abort();
        EXPECT_TRUE(zeltest::wait_until([] { return ko_ota_test_busy() == 0; }, 30s));
        EXPECT_EQ(ko_ota_deinit(), 0);
        vexa_http_test_set_limits(0, 0);
        vexa_http_test_set_low_speed_time(0);
        SdkTest::TearDown();
    }

    static void script_root(const std::string &root)
    {
        zeltest::porting_hooks_update([&](zeltest::PortingHooksRecord &, zeltest::PortingHooksScript &s) {
            s.ota_root = root;
        });
    }

    // Serves `image` as /ota/NAME and returns its URL.
    std::string serve(const std::string &image, const std::string &name = "fw.bin")
    {
        std::ofstream(cloud_.out() + "/" + name, std::ios::binary) << image;
        return cloud_.base() + "/ota/" + name;
    }
    std::string image(OtaImageSpec spec = {})
    {
        if (spec.payload.empty())
            spec.payload = payload_;
        std::string img = zeltest::make_ota_image(pki_, spec);
        EXPECT_FALSE(img.empty());
        return img;
    }

    Json rpc(const std::string &method, const std::string &params)
    {
        return otatest::daemon_call(*sim_, ++next_id_, method, params);
    }
    std::string request(const std::string &url, const std::string &md5, const std::string &signed_file = "true")
    {
        Json reply = rpc("lumo.ota", R"({"app_url":")" + url + R"(","file_md5":")" + md5 + R"(","signed_file":")" +
                                         signed_file + R"(","original_length":1})");
        if (json_object *r = member(reply.get(), "result"))
            return canonical(r);
        return json_object_get_string(member(member(reply.get(), "error"), "message"));
    }

    // Runs one update of `img` to its end: the last status the hooks were told.
    unsigned update(const std::string &img)
    {
        if (request(serve(img), zeltest::ota_md5_hex(img)) != R"(["OK"])")
            return 0;
        return final_status();
    }
    static unsigned final_status()
    {
        unsigned last = 0;
        zeltest::wait_until(
            [&] {
                const auto stats = zeltest::porting_hooks_seen().ota_stats;
                last = stats.empty() ? 0 : stats.back();
                return last == 5 || last == 6;
            },
            60s);
        EXPECT_TRUE(zeltest::wait_until([] { return ko_ota_test_busy() == 0; }, 10s));
        return last;
    }

    std::vector<std::string> props(const std::string &key) { return otatest::reported_props(*sim_, key); }
    std::vector<std::string> image_ranges()
    {
        std::vector<std::string> ranges;
        for (const std::string &line : cloud_.requests()) {
            Json r = zeltest::parse_json(line);
            if (json_object *range = member(r.get(), "range"))
                ranges.emplace_back(json_object_get_string(range));
        }
        return ranges;
    }

    static zeltest::OtaPki pki_;
    static std::string payload_;
    cloudtest::CloudSim cloud_;
    int next_id_ = 0;
};

zeltest::OtaPki OtaService::pki_;
std::string OtaService::payload_;

TEST_F(OtaService, GoodImageReachesTheHooksAndTheStatesFollow)
{
    EXPECT_EQ(update(image()), 5u);
    const zeltest::PortingHooksRecord seen = zeltest::porting_hooks_seen();
    EXPECT_TRUE(seen.ota_data == payload_) << seen.ota_data.size() << " of " << payload_.size();
    EXPECT_EQ(seen.ota_writes, 1);
    EXPECT_EQ(seen.ota_start_result, 0);
    ASSERT_GE(seen.ota_stats.size(), 3u);
    EXPECT_EQ(seen.ota_stats.front(), 1u);
    EXPECT_EQ(seen.ota_stats[seen.ota_stats.size() - 2], 4u);
    ASSERT_TRUE(zeltest::wait_until([&] { return props("ota_state").size() >= 4; }, 5s));
    EXPECT_EQ(props("ota_state"), (std::vector<std::string>{"downloading", "downloaded", "installing", "installed"}));
    const std::vector<std::string> progress = props("ota_progress");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), "0");
    EXPECT_EQ(progress.back(), "100");
}

TEST_F(OtaService, BrokenImagesFailWithoutAnInstall)
{
    OtaImageSpec bad_magic, long_len, short_len, old, other_model, other_org, other_root, not_ca, foreign;
    bad_magic.bad_magic = true;
    long_len.len_delta = 1;
    short_len.len_delta = -1;
    old.new_ver = {1, 2, 2, 0, 0};
    other_model.model = "zelmar.camera.c2";
    other_org.signer = other_org.sign_key = "other_org";
    other_root.issuer = "other_inter";
    other_root.signer = other_root.sign_key = "other_sign";
    not_ca.issuer = "inter_not_ca";
    not_ca.signer = not_ca.sign_key = "leaf_below";
    foreign.sign_key = "other_sign";
    std::string flipped = image();
    flipped[777] ^= 0x20;
    const std::string whole = image();
    std::vector<std::pair<std::string, std::string>> cases = {{"flipped", flipped},
                                                              {"truncated", whole.substr(0, whole.size() - 100)}};
    for (auto *spec : {&bad_magic, &long_len, &short_len, &old, &other_model, &other_org, &other_root, &not_ca, &foreign})
        cases.emplace_back(std::to_string(cases.size()), image(*spec));
    for (const auto &[name, img] : cases) {
        zeltest::porting_hooks_reset();
        script_root(pki_.pem("root"));
        EXPECT_EQ(update(img), 6u) << name;
        EXPECT_EQ(zeltest::porting_hooks_seen().ota_writes, 0) << name;
    }
}

TEST_F(OtaService, VersionRules)
{
    OtaImageSpec equal, old;
    equal.new_ver = {1, 2, 3, 42, 0}; // the running "1.2.3_0042"
    old.new_ver = {1, 2, 3, 41, 0};
    EXPECT_EQ(update(image(equal)), 5u);
    zeltest::porting_hooks_reset();
    script_root(pki_.pem("root"));
    EXPECT_EQ(update(image(old)), 6u);
    zeltest::porting_hooks_reset();
    script_root(pki_.pem("root"));
    EXPECT_EQ(canonical(member(rpc("ota.downgrade", R"({"downgrade":1})").get(), "result")), R"(["OK"])");
    EXPECT_EQ(update(image(old)), 5u);
    EXPECT_EQ(canonical(member(rpc("ota.downgrade", R"({"downgrade":0})").get(), "result")), R"(["OK"])");
}

TEST_F(OtaService, CutsResumeWithoutCountingAByteTwice)
{
    const std::string img = image();
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"cut","at":40000,"times":2})");
    EXPECT_EQ(update(img), 5u);
    EXPECT_TRUE(zeltest::porting_hooks_seen().ota_data == payload_);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"bytes=0-", "bytes=40000-", "bytes=80000-"}));
}

TEST_F(OtaService, ResumeAnsweredFromTheStartFails)
{
    const std::string img = image();
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"cut","at":40000,"times":1,"next":{"mode":"full"}})");
    EXPECT_EQ(update(img), 6u);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"bytes=0-", "bytes=40000-"}));
    EXPECT_LE(zeltest::porting_hooks_seen().ota_data.size(), 40000u);
    EXPECT_EQ(zeltest::porting_hooks_seen().ota_writes, 0);
}

TEST_F(OtaService, LengthIsRequiredAndBounded)
{
    const std::string img = image();
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"nolength"})");
    EXPECT_EQ(update(img), 6u);
    EXPECT_TRUE(zeltest::porting_hooks_seen().ota_data.empty());
    zeltest::porting_hooks_reset();
    script_root(pki_.pem("root"));
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"length","length":16777217})");
    EXPECT_EQ(update(img), 6u);
    EXPECT_TRUE(zeltest::porting_hooks_seen().ota_data.empty());
    // No such image: the 404's text is no image.
    zeltest::porting_hooks_reset();
    script_root(pki_.pem("root"));
    EXPECT_EQ(request(cloud_.base() + "/ota/missing.bin", "abc"), R"(["OK"])");
    EXPECT_EQ(final_status(), 6u);
    EXPECT_TRUE(zeltest::porting_hooks_seen().ota_data.empty());
}

TEST_F(OtaService, StallIsRetriedFromWhereItStopped)
{
    vexa_http_test_set_limits(0, zeltest::scaled(3000ms).count());
    const std::string img = image();
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"stall","at":30000,"times":1})");
    EXPECT_EQ(update(img), 5u);
    EXPECT_TRUE(zeltest::porting_hooks_seen().ota_data == payload_);
}

// A server that sends a little and then nothing, on every attempt: each attempt ends once the bytes
// stop for the low-speed time (not at the 300 s total), resumes where they stopped, and the update
// fails after the third, so that the camera, its media released for the update, is not held.
TEST_F(OtaService, AServerThatStallsOnEveryAttemptFailsTheUpdateSoon)
{
    // The server's silence is timed, not this process's work: no scaling. The transfer's speed is an
    // average over its last seconds, so each attempt ends some seconds after the bytes stop.
    vexa_http_test_set_low_speed_time(2);
    const std::string img = image();
    cloud_.script(R"({"path":"/ota/fw.bin","mode":"stall","at":1000,"times":3})");
    EXPECT_EQ(update(img), 6u);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"bytes=0-", "bytes=1000-", "bytes=2000-"}));
    EXPECT_EQ(zeltest::porting_hooks_seen().ota_writes, 0);
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            const std::vector<std::string> states = props("ota_state");
            return !states.empty() && states.back() == "failed";
        },
        5s));
}

TEST_F(OtaService, UnverifiableUpdatesAreRefused)
{
    const std::string img = image();
    script_root(pki_.pem("rsa_root"));
    EXPECT_EQ(update(img), 6u);
    zeltest::porting_hooks_reset();
    script_root(pki_.pem("root"));
    EXPECT_EQ(request(serve(img), zeltest::ota_md5_hex(img), "false"), R"(["OK"])");
    EXPECT_EQ(final_status(), 6u);
    EXPECT_EQ(zeltest::porting_hooks_seen().ota_writes, 0);
}

TEST_F(OtaService, RequestsAreCheckedAndOneRunsAtATime)
{
    script_root(""); // the start never comes: the request waits in state 0
    const std::string url = serve(image());
    EXPECT_EQ(request(url, "abc"), R"(["OK"])");
    EXPECT_EQ(request(url, "abc"), "ota is busy");
    // Asked again about once a second while it waits.
    EXPECT_TRUE(zeltest::wait_until([] { return zeltest::porting_hooks_seen().ota_stats.size() >= 2; }, 10s));
    EXPECT_EQ(ko_ota_abort(), 0);
    EXPECT_TRUE(zeltest::wait_until([] { return ko_ota_test_busy() == 0; }, 10s));
    EXPECT_TRUE(zeltest::wait_until(
        [&] {
            const std::vector<std::string> states = props("ota_state");
            return !states.empty() && states.back() == "failed|-33008|install busy";
        },
        5s));

    EXPECT_EQ(request(std::string(1024, 'u'), "abc"), "Url or md5 is null");
    EXPECT_EQ(request(url, std::string(64, 'f')), "Url or md5 is null");
    Json missing = rpc("lumo.ota", R"({"app_url":"x","signed_file":"true","original_length":1})");
    EXPECT_EQ(canonical(missing.get()),
              R"({"id":)" + std::to_string(next_id_) + R"(,"error":{"code":-33020,"message":"Unknown params md5"}})");
    EXPECT_EQ(ko_ota_test_busy(), 0);
}

} // namespace
