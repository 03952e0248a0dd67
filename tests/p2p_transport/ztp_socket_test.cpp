// The socket layer on real sockets: binding, datagrams, the non-blocking TCP calls with their break
// flag and deadline, descriptors above 1023 in every wait, and interfaces and broadcast inside a
// network namespace of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "zel_test_support.h"
#include "ztp_peer_vectors.h"
#include "ztp_ports.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

using namespace ztptest;
using namespace std::chrono_literals;

namespace {

// A socket that closes itself.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    operator int() const { return fd; }
};

sockaddr_in bound_addr(int sock)
{
    sockaddr_in a{};
    ztp_TCPSkt_GetLocalAddr(sock, &a);
    return a;
}

sockaddr_in loopback(uint16_t port)
{
    return addr("127.0.0.1", port);
}

// A TCP listener on loopback that never accepts, its queue already full, so that a further connect
// stays in progress.
struct FullListener {
    Fd listener;
    std::vector<std::unique_ptr<Fd>> fillers;
    sockaddr_in where{};

    FullListener() : listener(zt_TCPNBSkt_CreateBindListenAddr(std::make_unique<sockaddr_in>(loopback(0)).get(), 0))
    {
        where = bound_addr(listener);
        for (int i = 0; i < 4; ++i) {
            auto f = std::make_unique<Fd>(zt_TCPNBSkt_Create());
            connect(*f, reinterpret_cast<sockaddr *>(&where), sizeof where);
            fillers.push_back(std::move(f));
        }
        std::this_thread::sleep_for(50ms);
    }
};

// A connected loopback TCP pair: `ours` (non-blocking) and the accepted `theirs`.
struct TcpPair {
    Fd listener{zt_TCPNBSkt_CreateBind(0)};
    Fd ours, theirs;
    TcpPair()
    {
        zt_TCPNBSkt_Listen(listener, 4);
        sockaddr_in to = loopback(static_cast<uint16_t>(zt_SA_GetLocalPort(listener)));
        ours.fd = zt_TCPNBSkt_Create();
        EXPECT_EQ(zt_TCPNBSkt_Overtime_Connect(ours, &to, nullptr, ztp_tick_ms() + 2000), 0);
        theirs.fd = zt_TCPNBSkt_Overtime_Accept(listener, nullptr, nullptr, ztp_tick_ms() + 2000);
        EXPECT_GE(theirs.fd, 0);
    }
};

// Raises `flag` after `delay` from another thread.
struct RaiseLater {
    std::thread t;
    RaiseLater(uint8_t *flag, std::chrono::milliseconds delay)
        : t([flag, delay] {
              std::this_thread::sleep_for(delay);
              __atomic_store_n(flag, 1, __ATOMIC_RELEASE);
          })
    {
    }
    ~RaiseLater() { t.join(); }
};

int64_t elapsed_since(int64_t start)
{
    return ztp_tick_ms() - start;
}

TEST(Ports, DefaultsAndOverrides)
{
    unsetenv("ZELMAR_ZTP_UDP_PORT");
    unsetenv("ZELMAR_ZTP_TCP_PORT");
    unsetenv("ZELMAR_ZTP_LAN_PORT");
    EXPECT_EQ(ztp_udp_port(), 32100);
    EXPECT_EQ(ztp_punch_port(2), 32102);
    EXPECT_EQ(ztp_tcp_port(), 443);
    EXPECT_EQ(ztp_lan_port(), 32108);
    setenv("ZELMAR_ZTP_UDP_PORT", "40000", 1);
    setenv("ZELMAR_ZTP_TCP_PORT", "8443", 1);
    setenv("ZELMAR_ZTP_LAN_PORT", "40008", 1);
    EXPECT_EQ(ztp_punch_port(1), 40001);
    EXPECT_EQ(ztp_tcp_port(), 8443);
    EXPECT_EQ(ztp_lan_port(), 40008);
    // The punch ports must exist above the login port; junk falls back to the default.
    for (const char *bad : {"65534", "0", "12ab", ""}) {
        setenv("ZELMAR_ZTP_UDP_PORT", bad, 1);
        EXPECT_EQ(ztp_udp_port(), 32100) << bad;
    }
    unsetenv("ZELMAR_ZTP_UDP_PORT");
    unsetenv("ZELMAR_ZTP_TCP_PORT");
    unsetenv("ZELMAR_ZTP_LAN_PORT");
}

TEST(UdpSockets, RandomBindStaysInItsRange)
{
    for (int i = 0; i < 20; ++i) {
        Fd sock(ztp_setup_Socket());
        sockaddr_in bound{};
        const int port = ztp_TryBind(sock, 0, &bound);
        EXPECT_GE(port, 10000);
        EXPECT_LE(port, 29999);
        EXPECT_EQ(ntohs(bound.sin_port), port);
    }
}

TEST(UdpSockets, ABusyPortGivesMinus18)
{
    Fd first(ztp_setup_Socket());
    const int port = ztp_TryBind(first, 0, nullptr);
    ASSERT_GT(port, 0);
    Fd second(ztp_setup_Socket());
    EXPECT_EQ(ztp_TryBind(second, static_cast<uint16_t>(port), nullptr), -18);
}

TEST(UdpSockets, ListenPortsShareAPort)
{
    const int port = zeltest::free_udp_port();
    Fd a(ztp_setup_listen_port(static_cast<uint16_t>(port)));
    Fd b(ztp_setup_listen_port(static_cast<uint16_t>(port)));
    EXPECT_GE(a.fd, 0);
    EXPECT_GE(b.fd, 0);
    int on = 0;
    socklen_t len = sizeof on;
    getsockopt(a, SOL_SOCKET, SO_BROADCAST, &on, &len);
    EXPECT_EQ(on, 1);
}

TEST(UdpSockets, ScrambledMessageArrivesValidated)
{
    Fd rx(ztp_setup_Socket()), tx(ztp_setup_Socket());
    const int port = ztp_TryBind(rx, 0, nullptr);
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    const Bytes &msg = vec("hello_ack");
    const sockaddr_in to = loopback(static_cast<uint16_t>(port));
    ASSERT_EQ(ztp_SendMessage(tx, &key, msg.data(), msg.size(), &to), static_cast<int>(msg.size()));
    uint8_t type = 0, payload[64];
    size_t size = sizeof payload;
    sockaddr_in from{};
    ASSERT_EQ(ztp_proto_Proto_Recv_ALL(rx, &key, 2000, &from, &type, payload, &size), 0);
    EXPECT_EQ(type, ZTP_MSG_HELLO_ACK);
    EXPECT_EQ(ntohs(from.sin_port), zt_SA_GetLocalPort(tx));
    // The peer scrambles the same way.
    uint8_t raw[64];
    ASSERT_EQ(ztp_SendMessage(tx, &key, msg.data(), msg.size(), &to), static_cast<int>(msg.size()));
    ASSERT_EQ(ztp_over_time_receive(rx, nullptr, 2000, raw, sizeof raw, nullptr), static_cast<int>(msg.size()));
    EXPECT_EQ(to_hex(raw, msg.size()), to_hex(vec("hello_ack_scrambled")));
}

TEST(UdpSockets, NothingArrivingTimesOut)
{
    Fd rx(ztp_setup_Socket());
    ztp_TryBind(rx, 0, nullptr);
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, nullptr);
    uint8_t buf[16], type;
    size_t size = sizeof buf;
    const int64_t start = ztp_tick_ms();
    EXPECT_EQ(ztp_over_time_receive(rx, &key, 50, buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(ztp_proto_Proto_Recv_ALL(rx, &key, 50, nullptr, &type, buf, &size), -1);
    EXPECT_GE(elapsed_since(start), 100);
    const int gone = ztp_setup_Socket();
    close(gone);
    EXPECT_EQ(ztp_proto_Proto_Recv_ALL(gone, &key, 10, nullptr, &type, buf, &size), -2);
}

TEST(Addresses, NamesAndDottedText)
{
    in_addr a{};
    ASSERT_EQ(ztp_GetInetAddrByName("255.255.255.255", &a), 0);
    EXPECT_EQ(a.s_addr, htonl(INADDR_BROADCAST));
    ASSERT_EQ(ztp_GetInetAddrByName("192.168.1.2", &a), 0);
    EXPECT_EQ(ntohl(a.s_addr), 0xC0A80102u);
    ASSERT_EQ(ztp_GetInetAddrByName("localhost", &a), 0);
    EXPECT_EQ(ntohl(a.s_addr) >> 24, 127u);
    char text[16];
    ASSERT_EQ(zt_SA_GetIPStringByName("10.0.0.1", text), 0);
    EXPECT_STREQ(text, "10.0.0.1");
    sockaddr_in sa{};
    EXPECT_EQ(zt_SA_SetSockAddr(&sa, "1.2.3.4", 443), 0);
    EXPECT_EQ(zt_SA_GetPort(&sa), 443);
    EXPECT_STREQ(zt_SA_GetIPString(&sa, text), "1.2.3.4");
    EXPECT_EQ(zt_SA_SetSockAddr(&sa, "1.2.3", 443), -1);
}

TEST(TcpSockets, ConnectStepsEndInSuccessOrFailure)
{
    TcpPair pair;
    sockaddr_in remote{};
    ASSERT_EQ(zt_SA_GetRemoteSockAddr(pair.ours, &remote), 0);
    EXPECT_EQ(ntohs(remote.sin_port), zt_SA_GetLocalPort(pair.listener));
    // A port nobody listens on.
    const sockaddr_in closed = loopback(static_cast<uint16_t>(zeltest::free_tcp_port()));
    Fd s(zt_TCPNBSkt_Create());
    int r = -1;
    ASSERT_TRUE(zeltest::wait_until([&] { return (r = zt_TCPNBSkt_Connect(s, &closed)) != -1; }, 2s));
    EXPECT_EQ(r, -2);
    Fd s2(zt_TCPNBSkt_Create());
    EXPECT_EQ(zt_TCPNBSkt_Overtime_Connect(s2, &closed, nullptr, ztp_tick_ms() + 2000), -1);
}

TEST(TcpSockets, SendAndReceiveExactCounts)
{
    TcpPair pair;
    Bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    std::thread reader([&] {
        Bytes got(data.size());
        EXPECT_EQ(zt_TCPNBSkt_Overtime_Recv(pair.theirs, got.data(), got.size(), nullptr, ztp_tick_ms() + 5000), 0);
        EXPECT_EQ(got, data);
    });
    EXPECT_EQ(zt_TCPNBSkt_Overtime_Send(pair.ours, data.data(), data.size(), nullptr, ztp_tick_ms() + 5000), 0);
    reader.join();
    uint8_t b;
    EXPECT_EQ(zt_TCPNBSkt_Recv(pair.ours, &b, 1), 0); // would block
    close(pair.theirs.fd);
    pair.theirs.fd = -1;
    ASSERT_TRUE(zeltest::wait_until([&] { return zt_TCPNBSkt_Recv(pair.ours, &b, 1) == -1; }, 2s));
    EXPECT_EQ(zt_TCPNBSkt_Overtime_Recv(pair.ours, &b, 1, nullptr, ztp_tick_ms() + 1000), -1);
}

TEST(TcpSockets, SendingToAPeerThatNeverReadsIsBounded)
{
    TcpPair pair;
    const int small = 4096;
    setsockopt(pair.ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(pair.theirs, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Bytes big(8 << 20);
    int64_t start = ztp_tick_ms();
    EXPECT_EQ(zt_TCPNBSkt_Overtime_Send(pair.ours, big.data(), big.size(), nullptr, start + 200), -3);
    EXPECT_LT(elapsed_since(start), zeltest::scaled(2000ms).count());
    uint8_t brk = 0;
    start = ztp_tick_ms();
    {
        RaiseLater raise(&brk, 100ms);
        EXPECT_EQ(zt_TCPNBSkt_Overtime_Send(pair.ours, big.data(), big.size(), &brk, start + 60000), -2);
    }
    EXPECT_LT(elapsed_since(start), zeltest::scaled(2000ms).count());
}

TEST(TcpSockets, BreakFlagFromAnotherThreadEndsEveryWait)
{
    TcpPair pair;
    FullListener full;
    Fd listener(zt_TCPNBSkt_CreateBind(0));
    zt_TCPNBSkt_Listen(listener, 4);
    const auto run = [](const char *what, const std::function<int(const uint8_t *)> &call) {
        uint8_t brk = 0;
        const int64_t start = ztp_tick_ms();
        int r;
        {
            RaiseLater raise(&brk, 100ms);
            r = call(&brk);
        }
        EXPECT_EQ(r, -2) << what;
        const int64_t took = elapsed_since(start);
        EXPECT_GE(took, 90) << what;
        EXPECT_LT(took, zeltest::scaled(2000ms).count()) << what;
    };
    uint8_t buf[8];
    run("receive", [&](const uint8_t *brk) {
        return zt_TCPNBSkt_Overtime_Recv(pair.ours, buf, sizeof buf, brk, ztp_tick_ms() + 60000);
    });
    run("accept",
        [&](const uint8_t *brk) { return zt_TCPNBSkt_Overtime_Accept(listener, nullptr, brk, ztp_tick_ms() + 60000); });
    Fd hanging(zt_TCPNBSkt_Create());
    run("connect", [&](const uint8_t *brk) {
        return zt_TCPNBSkt_Overtime_Connect(hanging, &full.where, brk, ztp_tick_ms() + 60000);
    });
}

TEST(TcpSockets, DeadlineEndsEveryWait)
{
    TcpPair pair;
    FullListener full;
    Fd listener(zt_TCPNBSkt_CreateBind(0));
    zt_TCPNBSkt_Listen(listener, 4);
    uint8_t buf[8];
    uint8_t brk = 0;
    const auto run = [](const char *what, const std::function<int(int64_t)> &call) {
        const int64_t start = ztp_tick_ms();
        EXPECT_EQ(call(start + 150), -3) << what;
        const int64_t took = elapsed_since(start);
        EXPECT_GE(took, 150) << what;
        EXPECT_LT(took, zeltest::scaled(2000ms).count()) << what;
    };
    run("receive", [&](int64_t d) { return zt_TCPNBSkt_Overtime_Recv(pair.ours, buf, sizeof buf, &brk, d); });
    run("accept", [&](int64_t d) { return zt_TCPNBSkt_Overtime_Accept(listener, nullptr, &brk, d); });
    Fd hanging(zt_TCPNBSkt_Create());
    run("connect", [&](int64_t d) { return zt_TCPNBSkt_Overtime_Connect(hanging, &full.where, &brk, d); });
}

TEST(TcpSockets, SelectTellsWhichSocketIsReady)
{
    TcpPair a, b;
    const int socks[2] = {a.ours, b.ours};
    EXPECT_EQ(zt_TCPNBSkt_Select(socks, 2, 20), 0);
    ASSERT_EQ(send(b.theirs, "x", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(zt_TCPNBSkt_Select(socks, 2, 2000), 2);
    EXPECT_EQ(zt_TCPNBSkt_WriteSelect(socks, 2, 2000), 1);
}

// Moves `fd` to a descriptor number of 1024 or more (select() could not wait on it).
int high(int fd, int at)
{
    const int moved = dup2(fd, at);
    close(fd);
    return moved;
}

TEST(TcpSockets, DescriptorsAbove1023WorkInEveryWait)
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 1700) {
        lim.rlim_cur = lim.rlim_max < 1700 ? lim.rlim_max : 1700;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur < 1700)
        GTEST_SKIP() << "the descriptor limit stays below 1700";

    // UDP: the datagram wait.
    Fd rx(high(ztp_setup_Socket(), 1500)), tx(ztp_setup_Socket());
    ASSERT_EQ(rx.fd, 1500);
    const int port = ztp_TryBind(rx, 0, nullptr);
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "k");
    const Bytes &msg = vec("hello");
    const sockaddr_in to = loopback(static_cast<uint16_t>(port));
    uint8_t type, payload[16];
    size_t size = sizeof payload;
    EXPECT_EQ(ztp_proto_Proto_Recv_ALL(rx, &key, 20, nullptr, &type, payload, &size), -1);
    ztp_SendMessage(tx, &key, msg.data(), msg.size(), &to);
    EXPECT_EQ(ztp_proto_Proto_Recv_ALL(rx, &key, 2000, nullptr, &type, payload, &size), 0);

    // TCP: accept, connect, send, receive and select, each on a high descriptor.
    Fd listener(high(zt_TCPNBSkt_CreateBind(0), 1501));
    ASSERT_EQ(zt_TCPNBSkt_Listen(listener, 4), 0);
    const sockaddr_in where = loopback(static_cast<uint16_t>(zt_SA_GetLocalPort(listener)));
    Fd client(high(zt_TCPNBSkt_Create(), 1502));
    ASSERT_EQ(zt_TCPNBSkt_Overtime_Connect(client, &where, nullptr, ztp_tick_ms() + 2000), 0);
    Fd server(high(zt_TCPNBSkt_Overtime_Accept(listener, nullptr, nullptr, ztp_tick_ms() + 2000), 1503));
    ASSERT_EQ(server.fd, 1503);
    const int socks[2] = {client, server};
    EXPECT_EQ(zt_TCPNBSkt_Select(socks, 2, 20), 0);
    ASSERT_EQ(zt_TCPNBSkt_Overtime_Send(client, "abcd", 4, nullptr, ztp_tick_ms() + 2000), 0);
    EXPECT_EQ(zt_TCPNBSkt_Select(socks, 2, 2000), 2);
    char got[4];
    ASSERT_EQ(zt_TCPNBSkt_Overtime_Recv(server, got, 4, nullptr, ztp_tick_ms() + 2000), 0);
    EXPECT_EQ(std::string(got, 4), "abcd");
    EXPECT_EQ(zt_TCPNBSkt_Overtime_Recv(server, got, 1, nullptr, ztp_tick_ms() + 30), -3);
    EXPECT_EQ(zt_TCPNBSkt_WriteSelect(socks, 2, 2000), 1);
}

// Runs `body` on a thread of its own inside a fresh network namespace (the namespace goes away
// with the thread). False when this host does not allow it.
bool in_new_netns(const std::function<void()> &body, std::string *why)
{
    bool entered = false;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
            return;
        }
        if (zeltest::run_command("ip link set lo up 2>&1") != 0) {
            *why = "ip is not usable here";
            return;
        }
        entered = true;
        body();
    });
    t.join();
    return entered;
}

TEST(Interfaces, ListingAndBroadcastOverTwoVethLinks)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    struct Seen {
        int count = -1;
        std::set<std::string> up;
        int sent = -1;
        std::set<std::string> destinations;
        bool payload_ok = true;
        std::string setup_error;
    } seen;
    std::string why;
    const bool ran = in_new_netns(
        [&] {
            const char *setup = "set -e; "
                                "ip link add zv0 type veth peer name zv0p; ip link add zv1 type veth peer name zv1p; "
                                "ip link add zv2 type veth peer name zv2p; "
                                "ip addr add 198.18.1.1/24 brd + dev zv0; ip addr add 198.18.1.2/24 brd + dev zv0p; "
                                "ip addr add 198.18.2.1/24 brd + dev zv1; ip addr add 198.18.2.2/24 brd + dev zv1p; "
                                "ip addr add 198.18.3.1/24 brd + dev zv2; "
                                "for l in zv0 zv0p zv1 zv1p; do ip link set $l up; done; "
                                "ip addr add 169.254.7.1/16 brd + dev zv1; 2>&1";
            std::string out;
            if (zeltest::run_command(setup, &out) != 0) {
                seen.setup_error = out;
                return;
            }
            seen.count = zt_LanIfNum();
            for (int i = 0; i < seen.count; ++i) {
                char ip[16];
                if (ZT_GetIP(i, ip) == 0)
                    seen.up.insert(ip);
            }
            const uint16_t port = 32108;
            Fd rx(ztp_setup_listen_port(port));
            const int on = 1;
            setsockopt(rx, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
            Fd tx(ztp_setup_listen_port(0));
            ztp_scramble_key key;
            ztp_scramble_key_init(&key, "KEYSTR");
            const Bytes &msg = vec("hello");
            seen.sent = ztp_BroadcastMessage(tx, &key, msg.data(), msg.size(), port);
            for (;;) {
                if (ztp_poll_one(rx, POLLIN, 300) <= 0)
                    break;
                uint8_t buf[64];
                char control[256];
                iovec iov{buf, sizeof buf};
                msghdr mh{};
                mh.msg_iov = &iov;
                mh.msg_iovlen = 1;
                mh.msg_control = control;
                mh.msg_controllen = sizeof control;
                const ssize_t n = recvmsg(rx, &mh, 0);
                if (n <= 0)
                    break;
                ztp_unscramble(&key, buf, buf, static_cast<size_t>(n));
                seen.payload_ok = seen.payload_ok && Bytes(buf, buf + n) == msg;
                for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                        in_pktinfo info;
                        std::memcpy(&info, CMSG_DATA(c), sizeof info);
                        char ip[16];
                        inet_ntop(AF_INET, &info.ipi_addr, ip, sizeof ip);
                        seen.destinations.insert(ip);
                    }
            }
        },
        &why);
    if (!ran)
        GTEST_SKIP() << why;
    ASSERT_TRUE(seen.setup_error.empty()) << seen.setup_error;
    EXPECT_GE(seen.count, 5);
    for (const char *ip : {"127.0.0.1", "198.18.1.1", "198.18.1.2", "198.18.2.1", "198.18.2.2"})
        EXPECT_TRUE(seen.up.count(ip)) << ip;
    EXPECT_FALSE(seen.up.count("198.18.3.1")) << "an interface that is down";
    EXPECT_TRUE(seen.up.count("169.254.7.1")) << "a second address of an interface";
    // Four interface addresses on two links; loopback and link-local are left out.
    std::string listed;
    for (const auto &ip : seen.up)
        listed += ip + " ";
    EXPECT_EQ(seen.sent, 4) << listed;
    EXPECT_EQ(seen.destinations, (std::set<std::string>{"198.18.1.255", "198.18.2.255"}));
    EXPECT_TRUE(seen.payload_ok);
}

} // namespace
