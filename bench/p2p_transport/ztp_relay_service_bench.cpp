// Round trips per second through the camera's relay service: one 1032-byte datagram (a full DRW)
// from one peer to the other and one back per trip, on loopback, beside a bare forwarder thread
// (poll, recvfrom, sendto) doing the same job in the same run.
// Goal on the build host: the relay service at least half the bare forwarder's rate.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ztp_api.h"
#include "ztp_bytes.h"
#include "ztp_scramble.h"
#include "ztp_tables.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr size_t kMsg = 1032;
constexpr char kKey[] = "KEYSTR";

sockaddr_in at(const char *ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

struct Udp {
    int fd;
    uint16_t port;
    explicit Udp(const char *ip, uint16_t p = 0) : fd(socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a = at(ip, p);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Udp() { close(fd); }
    void send(const sockaddr_in &to, const uint8_t *msg, size_t n) const
    {
        sendto(fd, msg, n, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    // Sends a plain message scrambled with the key string.
    void send_msg(const sockaddr_in &to, const uint8_t *msg, int n) const
    {
        uint8_t out[ZTP_MSG_BUFFER];
        ztp_scramble_key key;
        ztp_scramble_key_init(&key, kKey);
        ztp_scramble(&key, msg, out, static_cast<size_t>(n));
        send(to, out, static_cast<size_t>(n));
    }
    int recv(uint8_t *buf, size_t n, int timeout_ms, sockaddr_in *from = nullptr) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return -1;
        sockaddr_in f{};
        socklen_t len = sizeof f;
        const int r = static_cast<int>(recvfrom(fd, buf, n, 0, reinterpret_cast<sockaddr *>(&f), &len));
        if (from)
            *from = f;
        return r;
    }
};

// The init string whose servers are `names`, with the key string.
std::string init_string(const std::string &names)
{
    std::string out;
    uint8_t s = 0x39;
    for (size_t i = 0; i < names.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(names[i]);
        const uint8_t v = b ^ ztp_init_table[i % ZTP_INIT_TABLE_SIZE] ^ s;
        out += static_cast<char>('A' + (v >> 4));
        out += static_cast<char>('A' + (v & 15));
        s ^= b;
    }
    return out + ":" + kKey;
}

uint16_t free_udp_port()
{
    Udp u("127.0.0.1");
    return u.port;
}

void round_trips(benchmark::State &state, const Udp &a, const Udp &b, const sockaddr_in &via)
{
    uint8_t msg[kMsg];
    std::memset(msg, 0x5A, sizeof msg);
    uint8_t buf[2048];
    int64_t trips = 0;
    for (auto _ : state) {
        a.send(via, msg, sizeof msg);
        if (b.recv(buf, sizeof buf, 1000) != static_cast<int>(kMsg)) {
            state.SkipWithError("lost a datagram");
            break;
        }
        b.send(via, msg, sizeof msg);
        if (a.recv(buf, sizeof buf, 1000) != static_cast<int>(kMsg)) {
            state.SkipWithError("lost a datagram");
            break;
        }
        ++trips;
    }
    state.counters["trips_per_s"] = benchmark::Counter(static_cast<double>(trips), benchmark::Counter::kIsRate);
}

void BM_BareForwarder(benchmark::State &state)
{
    Udp relay("127.0.0.1"), a("127.0.0.1"), b("127.0.0.1");
    const sockaddr_in to_a = at("127.0.0.1", a.port), to_b = at("127.0.0.1", b.port);
    std::atomic<bool> stop{false};
    std::thread forward([&] {
        uint8_t buf[2048];
        while (!stop.load()) {
            sockaddr_in from{};
            const int n = relay.recv(buf, sizeof buf, 50, &from);
            if (n > 0)
                relay.send(from.sin_port == to_a.sin_port ? to_b : to_a, buf, static_cast<size_t>(n));
        }
    });
    round_trips(state, a, b, at("127.0.0.1", relay.port));
    stop = true;
    forward.join();
}

// The relay service as the servers and two peers set it up: SDevRun during a listen, RlyPort,
// one RlyPkt from each side.
void BM_RelayService(benchmark::State &state)
{
    const uint16_t server_port = free_udp_port();
    setenv("ZELMAR_ZTP_UDP_PORT", std::to_string(server_port).c_str(), 1);
    setenv("ZELMAR_ZTP_LAN_PORT", std::to_string(free_udp_port()).c_str(), 1);
    Udp server("127.0.0.2", server_port), a("127.0.0.1"), b("127.0.0.1");
    if (ZTP_Initialize(init_string("127.0.0.2,127.0.0.3,127.0.0.4,").c_str()) != 0) {
        state.SkipWithError("init failed");
        return;
    }
    ZTP_Share_Bandwidth(1);
    const uint16_t listen_port = free_udp_port();
    std::thread listen([&] { ZTP_Listen("ABC-123-XYZ", 600, listen_port, 0); });

    uint8_t msg[ZTP_MSG_BUFFER];
    uint8_t buf[2048];
    sockaddr_in from{};
    int relay_port = -1;
    for (int i = 0; i < 50 && relay_port < 0; ++i) {
        server.send_msg(at("127.0.0.1", listen_port), msg, ztp_write_Empty(ZTP_MSG_SDEV_RUN, msg, sizeof msg));
        if (server.recv(buf, sizeof buf, 100, &from) > 0)
            relay_port = ntohs(from.sin_port);
    }
    const sockaddr_in relay = at("127.0.0.1", static_cast<uint16_t>(relay_port));
    a.send_msg(relay, msg, ztp_write_Empty(ZTP_MSG_RLY_PORT, msg, sizeof msg));
    uint32_t ticket = 0;
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, kKey);
    if (relay_port < 0 || a.recv(buf, sizeof buf, 1000) != ZTP_HEADER_LEN + 8) {
        state.SkipWithError("relay service did not start");
    } else {
        ztp_unscramble(&key, buf, buf, ZTP_HEADER_LEN + 8);
        ticket = ztp::get_be32(buf + ZTP_HEADER_LEN);
        ztp_rly_pkt pkt{ticket, {"ABC", 123, "XYZ"}, 1};
        a.send_msg(relay, msg, ztp_write_RlyPkt(&pkt, msg, sizeof msg));
        pkt.side = 0;
        b.send_msg(relay, msg, ztp_write_RlyPkt(&pkt, msg, sizeof msg));
        // Drain the RlyPortAck repeats and the RlyRdy on both sides.
        while (a.recv(buf, sizeof buf, 100) > 0 || b.recv(buf, sizeof buf, 100) > 0) {
        }
        round_trips(state, a, b, relay);
    }
    ZTP_Listen_Break();
    listen.join();
    ZTP_DeInitialize();
}

BENCHMARK(BM_BareForwarder)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_RelayService)->MinTime(1.0)->UseRealTime();

} // namespace
