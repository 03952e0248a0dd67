// The listen through real NAT: network namespaces with nftables routers (ztp_netlab.py), the
// servers and relay in their own namespace, the camera as ztp_device_driver behind its router and
// the phone behind another. Needs root and nft; skipped otherwise.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "peer_control.h"
#include "zel_test_support.h"
#include "ztp_loopback.h"
#include "ztp_peer_vectors.h"

using namespace ztptest;
using zeltest::Json;

namespace {

const std::string kServers = "198.18.0.1,198.18.0.2,198.18.0.3,";

class ZtpNetlab : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (getuid() != 0)
            GTEST_SKIP() << "real-NAT tests need root (network namespaces and nftables)";
        if (zeltest::run_command("command -v nft >/dev/null && command -v ip >/dev/null") != 0)
            GTEST_SKIP() << "real-NAT tests need nft and ip (scripts/setup installs nftables)";
        static int counter = 0;
        name_ = "zt" + std::to_string(getpid()) + "n" + std::to_string(counter++);
        init_ = run_wire_peer("initstring " + kServers + " KEYSTR");
        while (!init_.empty() && init_.back() == '\n')
            init_.pop_back();
    }
    void TearDown() override
    {
        phone_.reset();
        phone_proc_.reset();
        servers_.reset();
        server_proc_.reset();
        if (!name_.empty())
            zeltest::run_command(lab("down"));
    }
    std::string lab(const std::string &what) const
    {
        return std::string(ZEL_PYTHON) + " " + ZEL_TEST_PEERS_DIR + "/ztp_netlab.py " + what + " " + name_;
    }
    bool up(const std::string &cam_nat, const std::string &phone_nat = "masquerade")
    {
        if (zeltest::run_command(lab("up") + " --cam-nat " + cam_nat + " --phone-nat " + phone_nat) != 0)
            return false;
        const std::string ctl = root_.path("/tmp/servers.ctl");
        server_proc_ = std::make_unique<zeltest::ChildProcess>(
            in_ns("srv", zeltest::python_peer("ztp_server.py",
                                              {"--udp", "198.18.0.1,198.18.0.2,198.18.0.3", "--control", ctl})),
            std::vector<std::string>{}, root_.path("/tmp/servers.log"));
        servers_ = std::make_unique<zeltest::PeerControl>(ctl, "ztp_server.py in " + name_);
        const std::string phone_ctl = root_.path("/tmp/phone.ctl");
        phone_proc_ = std::make_unique<zeltest::ChildProcess>(
            in_ns("phone", zeltest::python_peer("ztp_phone.py", {"--host", "198.19.2.2", "--control", phone_ctl})),
            std::vector<std::string>{}, root_.path("/tmp/phone.log"));
        phone_ = std::make_unique<zeltest::PeerControl>(phone_ctl, "ztp_phone.py in " + name_);
        return true;
    }
    std::vector<std::string> in_ns(const std::string &role, std::vector<std::string> argv) const
    {
        argv.insert(argv.begin(), {"/usr/bin/env", "ip", "netns", "exec", name_ + "-" + role});
        return argv;
    }
    // Runs the camera's driver with `steps`; its JSON lines.
    std::string camera(const std::string &steps)
    {
        std::string out;
        std::string driver;
        for (const std::string &part : zeltest::emulator())
            driver += part + " ";
        driver += ZTP_DRIVER;
        zeltest::run_command("ip netns exec " + name_ + "-cam " + driver + " '" + init_ + "' " + steps + " 2>>" +
                                 root_.path("/tmp/camera.log"),
                             &out);
        return out;
    }
    int detected_nat()
    {
        const std::string out = camera("detect");
        const size_t at = out.find("{\"detect\"");
        Json j = at == std::string::npos ? nullptr : zeltest::parse_json(out.substr(at, out.find('\n', at) - at));
        return j ? member_int(j.get(), "nat") : -1;
    }

    zeltest::TempRoot root_;
    std::string name_, init_;
    std::unique_ptr<zeltest::ChildProcess> server_proc_, phone_proc_;
    std::unique_ptr<zeltest::PeerControl> servers_, phone_;
};

TEST_F(ZtpNetlab, NatTypesThroughTheRouters)
{
    const struct {
        const char *kind;
        int nat;
    } cases[] = {{"masquerade", 2}, {"fully-random", 3}, {"snat-second", 4}};
    for (const auto &c : cases) {
        ASSERT_TRUE(up(c.kind)) << c.kind;
        EXPECT_EQ(detected_nat(), c.nat) << c.kind;
        TearDown();
    }
    ASSERT_TRUE(up("none"));
    servers_->command(R"({"cmd":"udp_script","server":-1,"hello":"second_port"})");
    EXPECT_EQ(detected_nat(), 1) << "no router, answers from a second port";
}

// The punched session then carries the phone's channels, which the camera sends back.
TEST_F(ZtpNetlab, TwoMasqueradeRoutersPunchToADirectSessionThatCarriesTheChannels)
{
    ASSERT_TRUE(up("masquerade"));
    std::string out;
    std::thread cam([&] { out = camera("detect listen ABC-123-XYZ 1 60 echo 12000"); });
    Json login = servers_->command(R"({"cmd":"wait","since":0,"timeout_ms":10000,"match":{"type":18,"server":0}})");
    ASSERT_TRUE(zeltest::member(login.get(), "entry")) << "the camera did not log in";
    usleep(300 * 1000);
    phone_->command(R"({"cmd":"p2p_req","server":["198.18.0.1",32100],"did":["ABC",123,"XYZ"]})");
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return json_object_get_type(zeltest::member(phone_->command(R"({"cmd":"state"})").get(), "ready")) ==
                     json_type_array; },
        std::chrono::seconds(10)));
    // Enough blocks for the windows and resends to matter; the routers and the phone may lose some, so
    // the echo has time for the resends.
    constexpr int kBytes = 64 * 1024;
    for (int c = 0; c < 3; ++c)
        phone_->command(R"({"cmd":"chan_send","ch":)" + std::to_string(c) + R"(,"bytes":)" + std::to_string(kBytes) +
                        "}");
    auto channel = [&](int c, const char *key) {
        Json s = phone_->command(R"({"cmd":"chan_stats"})");
        json_object *chs = zeltest::member(s.get(), "ch");
        return json_object_is_type(chs, json_type_array)
                   ? member_int(json_object_array_get_idx(chs, static_cast<size_t>(c)), key)
                   : -1;
    };
    EXPECT_TRUE(zeltest::wait_until([&] { return channel(0, "rx") >= kBytes && channel(1, "rx") >= kBytes &&
                                                 channel(2, "rx") >= kBytes; },
                                    std::chrono::seconds(10)));
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(channel(c, "bad"), 0) << "channel " << c;
    cam.join();
    EXPECT_NE(out.find("{\"echo\":" + std::to_string(3 * kBytes) + "}"), std::string::npos) << out;
    const size_t at = out.find("{\"listen\"");
    ASSERT_NE(at, std::string::npos) << out;
    Json result = zeltest::parse_json(out.substr(at, out.find('\n', at) - at));
    ASSERT_TRUE(result);
    Json phone_log = phone_->command(R"({"cmd":"log","since":0})");
    SCOPED_TRACE(json_object_to_json_string(phone_log.get()));
    EXPECT_GE(member_int(result.get(), "listen"), 0) << out;
    EXPECT_EQ(member_int(result.get(), "mode"), 0);
    EXPECT_EQ(member_string(result.get(), "remote").rfind("198.18.20.2:", 0), 0u) << out;
    EXPECT_EQ(member_string(result.get(), "wan").rfind("198.18.10.2:", 0), 0u) << out;
}

// Two fully random routers map every destination to a port of its own, so the punch cannot meet;
// the servers' RlyTo gives a session through the relay instead.
TEST_F(ZtpNetlab, FullyRandomRoutersGetARelayedSession)
{
    ASSERT_TRUE(up("fully-random", "fully-random"));
    zeltest::ChildProcess relay(
        in_ns("srv", zeltest::python_peer("ztp_relay.py", {"--host", "198.18.0.4", "--udp-port", "32200", "--log",
                                                           root_.path("/tmp/relay.jsonl")})),
        std::vector<std::string>{}, root_.path("/tmp/relay.log"));
    std::string out;
    std::thread cam([&] { out = camera("listen ABC-123-XYZ 1 60"); });
    Json login = servers_->command(R"({"cmd":"wait","since":0,"timeout_ms":10000,"match":{"type":18,"server":0}})");
    ASSERT_TRUE(zeltest::member(login.get(), "entry")) << "the camera did not log in";
    phone_->command(R"({"cmd":"p2p_req","server":["198.18.0.1",32100],"did":["ABC",123,"XYZ"]})");
    usleep(1000 * 1000);
    servers_->command(
        R"({"cmd":"udp_send","server":0,"to":"camera","msg":"rly_to","ticket":5,"relay":["198.18.0.4",32200]})");
    cam.join();
    const size_t at = out.find("{\"listen\"");
    ASSERT_NE(at, std::string::npos) << out;
    Json result = zeltest::parse_json(out.substr(at, out.find('\n', at) - at));
    ASSERT_TRUE(result);
    EXPECT_GE(member_int(result.get(), "listen"), 0) << out;
    EXPECT_EQ(member_int(result.get(), "mode"), 1);
    EXPECT_EQ(member_string(result.get(), "remote"), "198.18.0.4:32200");
}

} // namespace
