// The network check on a camera whose "wlan0" leads to a router in a namespace of its own: the host
// names it probes resolve through a DNS stub to an address behind that router.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app_sdk_porting/porting_netcheck.h"
#include "zel_client_fixture.h"
#include "zel_netns_lab.h"

namespace {

using namespace std::chrono_literals;

class NetCheck : public clienttest::ClientTest {
protected:
    void SetUp() override
    {
        std::string why;
        if (!zeltest::NetLab::available(&why))
            GTEST_SKIP() << why;
        ClientTest::SetUp();
        mkdir(root().path("/proc").c_str(), 0755);
        ASSERT_EQ(symlink("/proc/thread-self/net", root().path("/proc/net").c_str()), 0);
        setenv("ZELMAR_NET_PROBE_HOST1", "www1.zelmar.test", 1);
        setenv("ZELMAR_NET_PROBE_HOST2", "www2.zelmar.test", 1);
    }
    void TearDown() override
    {
        unsetenv("ZELMAR_NET_PROBE_HOST1");
        unsetenv("ZELMAR_NET_PROBE_HOST2");
        ClientTest::TearDown();
    }
    std::string eth0_status()
    {
        char value[8] = {};
        zel_api_db_get_value("RAM.default:eth0_status", value, sizeof value);
        return value;
    }
};

TEST_F(NetCheck, ReportsWlanThenNoInternetOnceTheRouterFallsSilent)
{
    start_business();
    device_sdk_info_t *device = get_device_info_pointer();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:bind_status", "1", 1, 0), 0);
    ASSERT_EQ(zel_api_db_set_value("RAM.default:eth0_status", "x", 1, 0), 0);
    EXPECT_EQ(get_bind_status(), 1);

    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        const int wlan = lab.add_router("wlan0", "198.18.1.2/24", "198.18.1.1/24");
        EXPECT_EQ(lab.router(wlan, "ip addr add 198.18.9.1/32 dev lo"), 0);
        EXPECT_EQ(lab.camera("ip route add default via 198.18.1.1 dev wlan0"), 0);
        const std::string log = root().path("/tmp/dns.log");
        zeltest::ChildProcess stub(
            zeltest::python_peer("dns_stub.py",
                                 {"127.0.0.1", "table", "www1.zelmar.test=198.18.9.1", "www2.zelmar.test=198.18.9.1"}),
            {}, log);
        ASSERT_TRUE(zeltest::wait_ready(log));
        lab.set_resolv_conf("nameserver 127.0.0.1\noptions timeout:1 attempts:2\n");

        ASSERT_EQ(create_checknetwork_task(), 0);
        EXPECT_TRUE(zeltest::wait_until([&] { return eth0_status() == "1" && device->wifi_connect_state == 1; }, 30s))
            << "status 2: Wi-Fi reported joined";

        lab.silence(wlan);
        EXPECT_TRUE(zeltest::wait_until([&] { return device->wifi_connect_state == 2; }, 120s))
            << "status 1: Wi-Fi reported failed";
        EXPECT_EQ(eth0_status(), "1");
    });
}

TEST(NetCheckProbe, TcpProbeConnectsOverTheGivenInterfaceOnly)
{
    std::string why;
    if (!zeltest::NetLab::available(&why))
        GTEST_SKIP() << why;
    zeltest::TempRoot root;
    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        lab.add_router("wlan0", "198.18.1.2/24", "198.18.1.1/24");
        const int eth = lab.add_router("eth0", "198.18.2.2/24", "198.18.2.1/24");
        EXPECT_EQ(lab.camera("ip route add default via 198.18.1.1 dev wlan0"), 0);
        const std::string log = root.path("/tmp/dns.log");
        auto dns = lab.start_in_router(eth, zeltest::python_peer("dns_stub.py", {"198.18.2.1", "table"}), log);
        ASSERT_TRUE(zeltest::wait_ready(log));
        setenv("ZELMAR_NET_PROBE_DNS", "198.18.2.1", 1);
        EXPECT_EQ(connecting_try_network_by_iface("eth0"), 0);
        EXPECT_EQ(connecting_try_network_by_iface("wlan0"), -1) << "no route to it over wlan0";
        unsetenv("ZELMAR_NET_PROBE_DNS");
    });
}

} // namespace
