// The network probes: the echo formats on their own, the route table through the path root, and the
// probes against routers in namespaces made for each test (a raw-socket capture on the router checks
// every byte the camera sends; a DNS stub answers names, or hijacks them all as some routers do).
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zel_net_core/zel_net.h"
#include "zel_net_core/zel_net_echo.h"
#include "zel_netns_lab.h"
#include "zel_test_support.h"

namespace {

using namespace std::chrono_literals;

TEST(EchoFormat, RequestIsTheTwentyBytesWithItsChecksum)
{
    uint8_t request[zel_net::kEchoRequestSize];
    zel_net::echo_request_build(request, 0x1234, 1);
    EXPECT_EQ(zeltest::hex(request, sizeof request), "0800dbc512340001313233343536373839300000");
    EXPECT_EQ(zel_net::inet_checksum(request, sizeof request), 0) << "the checksum verifies";
}

// An IPv4 datagram from 198.18.1.1 carrying an echo reply, with `options` bytes of IP options.
std::vector<uint8_t> reply_datagram(uint16_t identifier, uint16_t sequence, size_t options = 0, uint8_t type = 0)
{
    std::vector<uint8_t> d(20 + options, 0);
    d[0] = static_cast<uint8_t>(0x40 | (20 + options) / 4);
    d[9] = 1;
    const uint8_t source[4] = {198, 18, 1, 1};
    std::copy(source, source + 4, d.begin() + 12);
    uint8_t icmp[zel_net::kEchoRequestSize];
    zel_net::echo_request_build(icmp, identifier, sequence);
    icmp[0] = type;
    d.insert(d.end(), icmp, icmp + sizeof icmp);
    return d;
}

uint32_t addr(const char *text)
{
    uint32_t a;
    inet_pton(AF_INET, text, &a);
    return a;
}

TEST(EchoFormat, OnlyARepliesFromTheTargetWithASentSequenceCount)
{
    const uint32_t target = addr("198.18.1.1");
    const auto good = reply_datagram(7, 3);
    EXPECT_TRUE(zel_net::echo_reply_matches(good.data(), good.size(), target, 7, 3));
    EXPECT_FALSE(zel_net::echo_reply_matches(good.data(), good.size(), target, 7, 2)) << "sequence not sent yet";
    EXPECT_FALSE(zel_net::echo_reply_matches(good.data(), good.size(), target, 8, 3)) << "other identifier";
    EXPECT_FALSE(zel_net::echo_reply_matches(good.data(), good.size(), addr("198.18.2.1"), 7, 3))
        << "another probe's target";
    const auto zero = reply_datagram(7, 0);
    EXPECT_FALSE(zel_net::echo_reply_matches(zero.data(), zero.size(), target, 7, 3));
    const auto request = reply_datagram(7, 1, 0, 8);
    EXPECT_FALSE(zel_net::echo_reply_matches(request.data(), request.size(), target, 7, 3)) << "not a reply";

    const auto with_options = reply_datagram(7, 1, 8);
    EXPECT_TRUE(zel_net::echo_reply_matches(with_options.data(), with_options.size(), target, 7, 1))
        << "the ICMP header follows the IP header's own length";
    for (size_t n = 0; n < 20 + 8 + 8; ++n) {
        // Cut copies on the heap: AddressSanitizer sees any read past the bytes received.
        std::vector<uint8_t> cut(with_options.begin(), with_options.begin() + static_cast<long>(n));
        EXPECT_FALSE(zel_net::echo_reply_matches(cut.data(), cut.size(), target, 7, 1)) << n << " bytes";
    }
}

class RouteTable : public ::testing::Test {
protected:
    void write_table(const std::string &rows)
    {
        mkdir(root_.path("/proc/net").c_str(), 0755);
        root_.write_file("/proc/net/route",
                         "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" + rows);
    }
    int gateway(std::string *out)
    {
        char buf[32] = {};
        const int rc = zel_net_get_gateway_ip(buf, sizeof buf);
        *out = buf;
        return rc;
    }
    zeltest::TempRoot root_;
};

TEST_F(RouteTable, TheDefaultRouteGivesTheGateway)
{
    write_table("wlan0\t0012C6\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                "wlan0\t00000000\t0112C6\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    std::string gw;
    EXPECT_EQ(gateway(&gw), 0);
    EXPECT_EQ(gw, "198.18.1.0");
    write_table("wlan0\t00000000\t010113C6\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(gateway(&gw), 0);
    EXPECT_EQ(gw, "198.19.1.1");
}

TEST_F(RouteTable, NoDefaultRouteOrNoTableIsMinusOneAndAMalformedLineMinusTwo)
{
    std::string gw;
    EXPECT_EQ(gateway(&gw), -1) << "no table";
    write_table("wlan0\t0012C6\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n");
    EXPECT_EQ(gateway(&gw), -1);
    write_table("wlan0\tzz\n"
                "wlan0\t00000000\t0112C6\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(gateway(&gw), -2);
    write_table("averyveryverylongname0\t00000000\t0112C6\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(gateway(&gw), -2) << "a name longer than an interface name can be";
    EXPECT_EQ(zel_net_get_gateway_ip(nullptr, 32), -1);
}

TEST(NetProbeArguments, BadInputFailsAtOnce)
{
    char buf[32];
    EXPECT_EQ(zel_net_resolv_domain_addr(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(zel_net_ping_ip(nullptr, nullptr), -1);
    EXPECT_EQ(zel_net_ping_ip("198.18.1.300", nullptr), -1);
    EXPECT_EQ(zel_net_ping_domain(nullptr, nullptr), -1);
}

TEST(SharedLibraries, LoadLooksUpAndCloses)
{
    void *handle = zel_load_library("libm.so.6");
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(zel_load_function(handle, "cos"), nullptr);
    EXPECT_EQ(zel_load_function(handle, "no_such_function_here"), nullptr);
    EXPECT_EQ(zel_close_library(handle), 0);
    EXPECT_EQ(zel_load_library("/nonexistent/libnothing.so"), nullptr);
}

// The camera with "wlan0" to router 0 (198.18.1.1, also 198.18.1.15) and "eth0" to router 1
// (198.18.2.1), the default route over wlan0, and the route table seen through the path root.
class NetProbe : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!zeltest::NetLab::available(&why))
            GTEST_SKIP() << why;
        mkdir(root_.path("/proc").c_str(), 0755);
        ASSERT_EQ(symlink("/proc/thread-self/net", root_.path("/proc/net").c_str()), 0);
    }
    void build(zeltest::NetLab &lab)
    {
        wlan_ = lab.add_router("wlan0", "198.18.1.2/24", "198.18.1.1/24");
        eth_ = lab.add_router("eth0", "198.18.2.2/24", "198.18.2.1/24");
        EXPECT_EQ(lab.router(wlan_, "ip addr add 198.18.1.15/24 dev rwlan0"), 0);
        EXPECT_EQ(lab.camera("ip route add default via 198.18.1.1 dev wlan0"), 0);
    }
    // Captures the echo requests reaching router `index`.
    std::unique_ptr<zeltest::ChildProcess> capture(zeltest::NetLab &lab, int index, const std::string &name)
    {
        const std::string log = root_.path("/tmp/" + name + ".log");
        auto child = lab.start_in_router(index, zeltest::python_peer("icmp_capture.py", {root_.path("/tmp/" + name)}),
                                         log);
        EXPECT_TRUE(zeltest::wait_ready(log));
        return child;
    }
    std::vector<std::string> captured(const std::string &name)
    {
        std::vector<std::string> lines;
        std::istringstream in(root_.exists("/tmp/" + name) ? root_.read_file("/tmp/" + name) : "");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::unique_ptr<zeltest::ChildProcess> dns(const std::string &address, const std::vector<std::string> &args)
    {
        std::vector<std::string> all{address};
        all.insert(all.end(), args.begin(), args.end());
        const std::string log = root_.path("/tmp/dns_" + address + ".log");
        auto child = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("dns_stub.py", all),
                                                             std::vector<std::string>{}, log);
        EXPECT_TRUE(zeltest::wait_ready(log)) << root_.read_file("/tmp/dns_" + address + ".log");
        return child;
    }
    zeltest::TempRoot root_;
    int wlan_ = -1, eth_ = -1;
};

std::string expected_request(uint16_t sequence)
{
    uint8_t request[zel_net::kEchoRequestSize];
    zel_net::echo_request_build(request, static_cast<uint16_t>(getpid() & 0xFFFF), sequence);
    return "198.18.1.2 " + zeltest::hex(request, sizeof request);
}

TEST_F(NetProbe, EchoesAreExactAndCountUpWhileTheTargetIsSilent)
{
    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        build(lab);
        auto cap = capture(lab, wlan_, "wlan_echo");
        EXPECT_EQ(zel_net_ping_ip("198.18.1.1", "wlan0"), 0);
        ASSERT_TRUE(zeltest::wait_until([&] { return !captured("wlan_echo").empty(); }, 5s));
        const size_t first = captured("wlan_echo").size();
        EXPECT_EQ(captured("wlan_echo")[0], expected_request(1));

        lab.silence(wlan_);
        EXPECT_EQ(zel_net_ping_ip("198.18.1.1", "wlan0"), -1);
        ASSERT_TRUE(zeltest::wait_until([&] { return captured("wlan_echo").size() >= first + 20; }, 5s));
        const std::vector<std::string> lines = captured("wlan_echo");
        ASSERT_EQ(lines.size(), first + 20) << "twenty attempts";
        for (uint16_t seq = 1; seq <= 20; ++seq)
            EXPECT_EQ(lines[first + seq - 1], expected_request(seq));
    });
}

TEST_F(NetProbe, ATargetAnswersOnlyOverTheInterfaceThatReachesIt)
{
    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        build(lab);
        int over_eth = 0;
        std::thread other([&] { over_eth = zel_net_ping_ip("198.18.1.1", "eth0"); });
        EXPECT_EQ(zel_net_ping_ip("198.18.2.1", "eth0"), 0);
        EXPECT_EQ(zel_net_ping_ip("198.18.1.1", nullptr), 0) << "no interface: the routes decide";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(zel_net_ping_ip("198.18.1.1", "nosuch0"), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, zeltest::scaled(3s)) << "an unknown interface fails at once";
        other.join();
        EXPECT_EQ(over_eth, -1);
    });
}

TEST_F(NetProbe, ConcurrentProbesNeverTakeEachOthersReplies)
{
    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        build(lab);
        // 198.18.1.77 is on wlan0's link but nobody holds it. Replies to the answering target reach
        // every raw socket of the link, the silent probe's too, for as long as that probe runs.
        std::atomic<int> silent{1};
        std::thread quiet([&] { silent = zel_net_ping_ip("198.18.1.77", nullptr); });
        int answered = 0, failed = 0;
        for (int i = 0; i < 200 && silent == 1; ++i) {
            (zel_net_ping_ip("198.18.1.1", "wlan0") == 0 ? answered : failed)++;
            std::this_thread::sleep_for(50ms);
        }
        quiet.join();
        EXPECT_EQ(silent, -1) << "the answering target's replies are not the silent one's";
        EXPECT_GT(answered, 0);
        EXPECT_EQ(failed, 0);
    });
}

TEST_F(NetProbe, HostCheckResolvesComparesWithTheGatewayAndPings)
{
    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        build(lab);
        auto table = dns("127.0.0.1", {"table", "cloud.zelmar.test=198.18.1.15", "gone.zelmar.test=198.18.2.9"});
        auto hijack = dns("127.0.0.2", {"hijack:198.18.1.1"});
        lab.set_resolv_conf("nameserver 127.0.0.1\noptions timeout:1 attempts:2\n");
        auto cap = capture(lab, wlan_, "host_echo");

        char text[32] = {};
        EXPECT_EQ(zel_net_resolv_domain_addr("cloud.zelmar.test", text, sizeof text), 0);
        EXPECT_STREQ(text, "198.18.1.15");
        EXPECT_EQ(zel_net_resolv_domain_addr("nowhere.zelmar.test", text, sizeof text), -1);
        EXPECT_EQ(zel_net_ping_domain("cloud.zelmar.test", "wlan0"), 0)
            << "198.18.1.15 is not the gateway 198.18.1.1, though its text begins with it";
        EXPECT_EQ(zel_net_ping_domain("nowhere.zelmar.test", "wlan0"), -1);
        ASSERT_TRUE(zeltest::wait_until([&] { return !captured("host_echo").empty(); }, 5s));
        const size_t echoes = captured("host_echo").size();

        lab.set_resolv_conf("nameserver 127.0.0.2\noptions timeout:1 attempts:2\n");
        EXPECT_EQ(zel_net_resolv_domain_addr("cloud.zelmar.test", text, sizeof text), 0);
        EXPECT_STREQ(text, "198.18.1.1") << "the rewritten configuration takes effect at once";
        EXPECT_EQ(zel_net_ping_domain("cloud.zelmar.test", "wlan0"), -1) << "a router answering for every name";
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(captured("host_echo").size(), echoes) << "no echo sent to the hijacking router";
    });
}

TEST_F(NetProbe, NoDefaultRouteMeansNoHostCheck)
{
    zeltest::NetLab::run([&](zeltest::NetLab &lab) {
        wlan_ = lab.add_router("wlan0", "198.18.1.2/24", "198.18.1.1/24");
        char gw[32] = {};
        EXPECT_EQ(zel_net_get_gateway_ip(gw, sizeof gw), -1);
        EXPECT_EQ(zel_net_ping_domain("cloud.zelmar.test", "wlan0"), -1);
        EXPECT_EQ(lab.camera("ip route add default via 198.18.1.1 dev wlan0"), 0);
        EXPECT_EQ(zel_net_get_gateway_ip(gw, sizeof gw), 0);
        EXPECT_STREQ(gw, "198.18.1.1");
    });
}

} // namespace
