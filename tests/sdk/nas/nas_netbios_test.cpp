// NetBIOS against a responder written apart (tests/peers/netbios_responder.py), reached through
// ZELMAR_NAS_NETBIOS: a name resolves (also to the test smbd, which a share then reaches by name
// alone), discovery on the "nas_ev" loop finds every host with its name and group, survives junk,
// and lets silent hosts go offline.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/nas/ko_nas_ev.h"
#include "app/nas/nas_netbios.h"
#include "app/nas/nas_share.h"
#include "smbd_server.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;

class NasNetbiosTest : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra = {})
    {
        port_ = zeltest::free_udp_port();
        // A second host on an address of its own, unique to this run's port.
        second_ = "127." + std::to_string(100 + port_ % 100) + "." + std::to_string(port_ / 256 % 256) + ".2";
        std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(port_), "--host",
                                         "ZELNAS,WORKGROUP,127.0.0.1", "--host", "BACKUP2,HOME," + second_};
        args.insert(args.end(), extra.begin(), extra.end());
        peer_ = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("netbios_responder.py", args),
                                                        std::vector<std::string>{}, root_.dir() + "/responder.log");
        setenv("ZELMAR_NAS_NETBIOS", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
        char addr[16];
        ASSERT_TRUE(zeltest::wait_until([&] { return nas_netbios_resolve("zelnas", 200, addr, sizeof addr) == 0; }, 10s));
    }
    void TearDown() override
    {
        unsetenv("ZELMAR_NAS_NETBIOS");
        ko_nas_ev_stop([](struct ev_loop *loop, void *) { nas_netbios_discover_stop(loop); }, nullptr);
    }

    static std::vector<nas_nb_host> hosts()
    {
        std::vector<nas_nb_host> out(NAS_NB_MAX_HOSTS);
        struct Ask {
            std::vector<nas_nb_host> *out;
            size_t n;
        } ask{&out, 0};
        ko_nas_ev_call([](struct ev_loop *, void *arg) {
            auto *a = static_cast<Ask *>(arg);
            a->n = nas_netbios_hosts(a->out->data(), a->out->size());
        }, &ask);
        out.resize(ask.n);
        std::sort(out.begin(), out.end(),
                  [](const nas_nb_host &a, const nas_nb_host &b) { return std::string(a.name) < b.name; });
        return out;
    }

    static void discover()
    {
        ASSERT_EQ(ko_nas_ev_start(), 0);
        int rc = -1;
        ko_nas_ev_call([](struct ev_loop *loop, void *arg) { *static_cast<int *>(arg) = nas_netbios_discover_start(loop, 0.3); },
                       &rc);
        ASSERT_EQ(rc, 0);
    }

    zeltest::TempRoot root_;
    int port_ = 0;
    std::string second_;
    std::unique_ptr<zeltest::ChildProcess> peer_;
};

TEST_F(NasNetbiosTest, NamesResolveAndUnknownOnesTimeOut)
{
    start();
    char addr[16];
    ASSERT_EQ(nas_netbios_resolve("BACKUP2", 2000, addr, sizeof addr), 0);
    EXPECT_EQ(std::string(addr), second_);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(nas_netbios_resolve("NOBODY", 500, addr, sizeof addr), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(1500ms));
    EXPECT_EQ(nas_netbios_resolve("a-name-far-too-long", 100, addr, sizeof addr), -1);
}

TEST_F(NasNetbiosTest, DiscoveryFindsEveryHostWithNameAndGroup)
{
    start();
    discover();
    ASSERT_TRUE(zeltest::wait_until([] { return hosts().size() == 2; }, 5s));
    const auto found = hosts();
    EXPECT_STREQ(found[0].name, "BACKUP2");
    EXPECT_STREQ(found[0].group, "HOME");
    EXPECT_EQ(std::string(found[0].addr), second_);
    EXPECT_STREQ(found[1].name, "ZELNAS");
    EXPECT_STREQ(found[1].group, "WORKGROUP");
    EXPECT_STREQ(found[1].addr, "127.0.0.1");
}

TEST_F(NasNetbiosTest, JunkAnswersChangeNothing)
{
    start({"--junk"});
    discover();
    ASSERT_TRUE(zeltest::wait_until([] { return hosts().size() == 2; }, 5s));
    // Junk keeps arriving every round; the list stays as it is.
    std::this_thread::sleep_for(1s);
    const auto found = hosts();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_STREQ(found[1].name, "ZELNAS");
}

TEST_F(NasNetbiosTest, SilentHostsGoOffline)
{
    start({"--silent-after", "2"});
    discover();
    ASSERT_TRUE(zeltest::wait_until([] { return hosts().size() == 2; }, 5s));
    // Rounds of 0.3 s: three silent ones after the responder stops.
    EXPECT_TRUE(zeltest::wait_until([] { return hosts().empty(); }, 5s));
}

TEST_F(NasNetbiosTest, AShareWithoutAddressIsReachedByName)
{
    zeltest::SmbdServer smbd;
    std::string why;
    if (!smbd.start(&why))
        GTEST_SKIP() << why;
    start();
    setenv("ZELMAR_NAS_SMB_PORT", std::to_string(smbd.port()).c_str(), 1);
    nas_share_ops_t *s = nas_share_new(NAS_SHARE_TYPE_SMB);
    json_object *cfg = json_object_new_object();
    json_object_object_add(cfg, "name", json_object_new_string("ZELNAS"));
    json_object_object_add(cfg, "dir", json_object_new_string("share\\byname"));
    json_object_object_add(cfg, "user", json_object_new_string(smbd.user().c_str()));
    json_object_object_add(cfg, "pass", json_object_new_string(smbd.password().c_str()));
    EXPECT_EQ(s->open(s, cfg), 0);
    EXPECT_TRUE(zeltest::run_command("test -d '" + smbd.share_dir() + "/byname'") == 0);
    json_object_put(cfg);
    nas_share_free(s);
    unsetenv("ZELMAR_NAS_SMB_PORT");
}

} // namespace
