// NetBIOS against a responder written apart (tests/peers/netbios_responder.py), reached through
// ZELMAR_NAS_NETBIOS: a name resolves (also to the test smbd, which a share then reaches by name
// alone), discovery on the "nas_ev" loop finds every host with its name and group, survives junk,
// and lets silent hosts go offline.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
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

// The online hosts, read on the loop, sorted by name.
std::vector<nas_nb_host> online_hosts()
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
    ASSERT_TRUE(zeltest::wait_until([] { return online_hosts().size() == 2; }, 5s));
    const auto found = online_hosts();
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
    ASSERT_TRUE(zeltest::wait_until([] { return online_hosts().size() == 2; }, 5s));
    // Junk keeps arriving every round; the list stays as it is.
    std::this_thread::sleep_for(1s);
    const auto found = online_hosts();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_STREQ(found[1].name, "ZELNAS");
}

TEST_F(NasNetbiosTest, SilentHostsGoOffline)
{
    start({"--silent-after", "2"});
    discover();
    ASSERT_TRUE(zeltest::wait_until([] { return online_hosts().size() == 2; }, 5s));
    // Rounds of 0.3 s: three silent ones after the responder stops.
    EXPECT_TRUE(zeltest::wait_until([] { return online_hosts().empty(); }, 5s));
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

// nmbd in a network namespace of its own, joined to the camera's namespace by a veth pair: the
// camera's broadcasts on its interface find it by name, group and address. Needs root.
class NmbdNamespace {
public:
    bool start(std::string *why)
    {
        if (geteuid() != 0 || access("/usr/sbin/nmbd", X_OK) != 0) {
            *why = "needs root and nmbd";
            return false;
        }
        const std::string id = std::to_string(getpid() % 100000);
        a_ = "zelnbA" + id;
        b_ = "zelnbB" + id;
        net_ = "198.18." + std::to_string(getpid() % 200 + 20);
        dir_ = "/tmp/zelnb_" + id;
        const std::string va = "znA" + id, vb = "znB" + id;
        const std::string setup =
            "mkdir -p " + dir_ + "/lock " + dir_ + "/state " + dir_ + "/cache " + dir_ + "/pid " + dir_ + "/private " +
            dir_ + "/log && ip netns add " + a_ + " && ip netns add " + b_ + " && ip link add " + va +
            " type veth peer name " + vb + " && ip link set " + va + " netns " + a_ + " && ip link set " + vb +
            " netns " + b_ + " && ip -n " + a_ + " addr add " + net_ + ".1/24 brd + dev " + va + " && ip -n " + a_ +
            " link set " + va + " up && ip -n " + b_ + " addr add " + net_ + ".2/24 brd + dev " + vb + " && ip -n " +
            b_ + " link set " + vb + " up";
        made_ = true;
        if (zeltest::run_command(setup + " 2>&1") != 0) {
            *why = "network namespaces cannot be made here";
            return false;
        }
        std::ofstream conf(dir_ + "/smb.conf");
        conf << "[global]\n  netbios name = ZELNMB\n  workgroup = ZELGRP\n  interfaces = " << va
             << "\n  bind interfaces only = yes\n  lock directory = " << dir_ << "/lock\n  state directory = " << dir_
             << "/state\n  cache directory = " << dir_ << "/cache\n  pid directory = " << dir_
             << "/pid\n  private dir = " << dir_ << "/private\n  log file = " << dir_ << "/log/log.%m\n";
        conf.close();
        // nmbd makes a session of its own, which a process-group leader cannot.
        nmbd_ = std::make_unique<zeltest::ChildProcess>(
            std::vector<std::string>{"/bin/ip", "netns", "exec", a_, "/bin/sh", "-c",
                                     "nmbd --foreground -s " + dir_ + "/smb.conf & echo $! > " + dir_ + "/nmbd.pid; wait"},
            std::vector<std::string>{}, dir_ + "/log/out");
        return true;
    }
    ~NmbdNamespace()
    {
        std::ifstream pid_file(dir_ + "/nmbd.pid");
        long pid = 0;
        if (pid_file >> pid && pid > 1)
            kill(static_cast<pid_t>(pid), SIGTERM);
        nmbd_.reset();
        if (made_)
            zeltest::run_command("ip netns del " + a_ + " 2>/dev/null; ip netns del " + b_ + " 2>/dev/null; rm -rf " + dir_);
    }
    // Moves the calling thread into the camera's namespace.
    bool enter_camera_side() const
    {
        const int fd = open(("/var/run/netns/" + b_).c_str(), O_RDONLY | O_CLOEXEC);
        const bool ok = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }
    std::string server_addr() const { return net_ + ".1"; }

private:
    std::string a_, b_, net_, dir_;
    bool made_ = false;
    std::unique_ptr<zeltest::ChildProcess> nmbd_;
};

TEST(NasNetbiosNmbd, NmbdIsFoundByNameGroupAndAddress)
{
    NmbdNamespace ns;
    std::string why;
    if (!ns.start(&why))
        GTEST_SKIP() << why;
    unsetenv("ZELMAR_NAS_NETBIOS");
    std::string resolved;
    std::vector<nas_nb_host> found;
    bool entered = false;
    // A thread of its own enters the namespace; the loop thread it starts inherits it.
    std::thread camera([&] {
        entered = ns.enter_camera_side();
        if (!entered)
            return;
        char addr[16] = {0};
        if (zeltest::wait_until([&] { return nas_netbios_resolve("zelnmb", 500, addr, sizeof addr) == 0; }, 20s))
            resolved = addr;
        if (ko_nas_ev_start() != 0)
            return;
        int rc = -1;
        ko_nas_ev_call([](struct ev_loop *loop, void *arg) { *static_cast<int *>(arg) = nas_netbios_discover_start(loop, 0.5); },
                       &rc);
        if (rc == 0)
            zeltest::wait_until(
                [&] {
                    found = online_hosts();
                    return !found.empty();
                },
                10s);
        ko_nas_ev_stop([](struct ev_loop *loop, void *) { nas_netbios_discover_stop(loop); }, nullptr);
    });
    camera.join();
    ASSERT_TRUE(entered);
    EXPECT_EQ(resolved, ns.server_addr());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_STREQ(found[0].name, "ZELNMB");
    EXPECT_STREQ(found[0].group, "ZELGRP");
    EXPECT_EQ(std::string(found[0].addr), ns.server_addr());
}

} // namespace
