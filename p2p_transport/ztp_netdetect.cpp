#include "ztp_netdetect.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_ports.h"
#include "ztp_servers.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int kWaitMs = 200;
constexpr int kBudgetMs = 5000;

int index_in(const sockaddr_in servers[ZTP_SERVER_COUNT], const sockaddr_in &from)
{
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i)
        if (servers[i].sin_addr.s_addr != 0 && servers[i].sin_addr.s_addr == from.sin_addr.s_addr)
            return i;
    return -1;
}

int open_bound(uint16_t port)
{
    const int sock = ztp_setup_Socket();
    if (sock < 0)
        return ERROR_ZTP_UDP_PORT_BIND_FAILED;
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (ztp_TryBind(sock, port, nullptr) < 0) {
        close(sock);
        return ERROR_ZTP_UDP_PORT_BIND_FAILED;
    }
    return sock;
}

struct detection {
    uint16_t reported_port[ZTP_SERVER_COUNT] = {};
    int answered = 0;
    int nat = -1; // decided early: 1 or 4
    sockaddr_in last_sender{};
};

void on_hello_ack(const sockaddr_in servers[ZTP_SERVER_COUNT], const sockaddr_in &from, const uint8_t *payload,
                  size_t n, ztp_net_info *info, detection *d)
{
    const int i = index_in(servers, from);
    sockaddr_in wan{};
    if (i < 0 || ztp_read_Addr(payload, n, &wan) != 0 || d->reported_port[i] != 0)
        return;
    ztp_gLastHelloAckTime = ztp_tick_ms();
    d->reported_port[i] = ntohs(wan.sin_port) ? ntohs(wan.sin_port) : 1;
    d->last_sender = from;
    char text[16];
    zt_SA_GetIPString(&wan, text);
    if (d->answered++ == 0) {
        std::strcpy(info->wan_ip, text);
        info->internet_ok = info->server_hello_ok = 1;
    } else if (std::strcmp(info->wan_ip, text) != 0) {
        d->nat = 4;
    }
    if (d->nat < 0 && ntohs(from.sin_port) != ztp_udp_port())
        d->nat = 1;
}

int nat_type(const detection &d)
{
    if (d.nat >= 0)
        return d.nat;
    if (d.answered < 2)
        return 0;
    uint16_t seen = 0;
    for (const uint16_t p : d.reported_port) {
        if (p == 0)
            continue;
        if (seen != 0 && p != seen)
            return 3;
        seen = p;
    }
    return 2;
}

int detect(ztp_net_info *info, uint16_t port, const char names[ZTP_SERVER_COUNT][64], bool stored)
{
    std::memset(info, 0, sizeof *info);
    std::strcpy(info->lan_ip, "0.0.0.0");
    std::strcpy(info->wan_ip, "0.0.0.0");
    sockaddr_in servers[ZTP_SERVER_COUNT];
    info->host_resolved = static_cast<uint8_t>(ztp_resolve_servers(names, servers));
    if (stored) {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        std::memcpy(ztp_gP2PServerAddr, servers, sizeof servers);
    }
    const int sock = open_bound(port);
    if (sock < 0)
        return sock;

    uint8_t hello[ZTP_HEADER_LEN];
    ztp_write_Empty(ZTP_MSG_HELLO, hello, sizeof hello);
    detection d;
    auto send_hellos = [&] {
        for (int i = 0; i < ZTP_SERVER_COUNT; ++i)
            if (servers[i].sin_addr.s_addr != 0 && d.reported_port[i] == 0)
                ztp_SendMessage(sock, &ztp_gP2PKey, hello, sizeof hello, &servers[i]);
    };
    send_hellos();
    for (int budget = kBudgetMs; budget > 0 && d.nat < 0 && d.answered < ZTP_SERVER_COUNT;) {
        sockaddr_in from{};
        uint8_t type = 0;
        uint8_t payload[ZTP_MAX_DATAGRAM];
        size_t size = sizeof payload;
        const int64_t start = ztp_tick_ms();
        const int r = ztp_proto_Proto_Recv_ALL(sock, &ztp_gP2PKey, kWaitMs, &from, &type, payload, &size);
        if (r == -1) {
            budget -= kWaitMs * (1 + d.answered);
            if (d.answered >= 2)
                break;
            send_hellos();
            continue;
        }
        budget -= static_cast<int>(ztp_tick_ms() - start);
        if (r == 0 && type == ZTP_MSG_HELLO_ACK)
            on_hello_ack(servers, from, payload, size, info, &d);
    }
    if (d.answered > 0) {
        sockaddr_in local{};
        if (ztp_local_addr_towards(&d.last_sender, &local) == 0)
            zt_SA_GetIPString(&local, info->lan_ip);
    }
    close(sock);
    info->nat_type = static_cast<uint8_t>(nat_type(d));
    ZEL_LOGI(kTag, "network: %d servers answered, NAT type %d, WAN %s, LAN %s\n", d.answered, info->nat_type,
             info->wan_ip, info->lan_ip);
    if (stored) {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        ztp_gNetInfo = *info;
        ztp_gLastNetDetectTime = ztp_tick_ms();
    }
    return 0;
}

} // namespace

int ztp_local_addr_towards(const struct sockaddr_in *to, struct sockaddr_in *local)
{
    const int sock = ztp_setup_Socket();
    if (sock < 0)
        return -1;
    const int r = connect(sock, reinterpret_cast<const sockaddr *>(to), sizeof *to) == 0
                      ? ztp_TCPSkt_GetLocalAddr(sock, local)
                      : -1;
    close(sock);
    return r;
}

int ztp_proto_NetworkDetect(ztp_net_info *info, uint16_t udp_port)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (info == nullptr)
        return ERROR_ZTP_INVALID_PARAMETER;
    return detect(info, udp_port, ztp_gP2PServerName, true);
}

int ztp_proto_NetworkDetectByServer(ztp_net_info *info, uint16_t udp_port, const char *init_string)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (info == nullptr || init_string == nullptr)
        return ERROR_ZTP_INVALID_PARAMETER;
    char names[ZTP_SERVER_COUNT][64];
    if (ztp_server_names(init_string, names) < 0)
        return ERROR_ZTP_INVALID_PARAMETER;
    const bool stored = std::strcmp(init_string, ztp_gServerString) == 0;
    return detect(info, udp_port, names, stored);
}
