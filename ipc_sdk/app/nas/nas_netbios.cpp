// NetBIOS name resolution and host discovery over UDP (see nas_netbios.h).
#include "app/nas/nas_netbios.h"

#include <arpa/inet.h>
#include <ev.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/nas/nas_netbios_codec.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

constexpr const char *kModule = "KO NAS";
constexpr int kResendMs = 250;
constexpr int kReadsPerWake = 64;

// Where queries go: the override's one address, or the broadcast address of every interface.
std::vector<sockaddr_in> targets()
{
    std::vector<sockaddr_in> out;
    const char *override_text = std::getenv("ZELMAR_NAS_NETBIOS");
    if (override_text && *override_text) {
        std::string text(override_text);
        const size_t colon = text.rfind(':');
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        const long port = colon == std::string::npos ? static_cast<long>(NAS_NB_PORT) : std::strtol(text.c_str() + colon + 1, nullptr, 10);
        if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &sa.sin_addr) == 1 && port > 0 && port < 65536) {
            sa.sin_port = htons(static_cast<uint16_t>(port));
            out.push_back(sa);
        } else {
            KO_LOGE(kModule, "ZELMAR_NAS_NETBIOS %s is no <ipv4>:<port>\n", override_text);
        }
        return out;
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        KO_LOGE(kModule, "getifaddrs failed: %s\n", std::strerror(errno));
        return out;
    }
    for (ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !(ifa->ifa_flags & IFF_BROADCAST) ||
            (ifa->ifa_flags & IFF_LOOPBACK) || !ifa->ifa_broadaddr)
            continue;
        sockaddr_in sa;
        std::memcpy(&sa, ifa->ifa_broadaddr, sizeof sa);
        sa.sin_port = htons(NAS_NB_PORT);
        out.push_back(sa);
    }
    freeifaddrs(list);
    return out;
}

int open_socket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KO_LOGE(kModule, "netbios socket failed: %s\n", std::strerror(errno));
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    return fd;
}

void send_all(int fd, const uint8_t *pkt, size_t len, const std::vector<sockaddr_in> &to)
{
    for (const sockaddr_in &sa : to)
        if (sendto(fd, pkt, len, 0, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) < 0)
            KO_LOGW(kModule, "netbios send failed: %s\n", std::strerror(errno));
}

uint16_t next_trn_id()
{
    static uint16_t id = static_cast<uint16_t>(vexa_time_tick_us());
    return __atomic_add_fetch(&id, 1, __ATOMIC_RELAXED);
}

// ---- discovery -----------------------------------------------------------------------------------

struct Host {
    nas_nb_host info;
    uint32_t addr;   // network order
    bool named;      // the node-status answer came
    int silent;      // rounds without an answer
};

struct Discovery {
    bool running = false;
    int fd = -1;
    ev_io io;
    ev_timer round;
    uint16_t query_id = 0;
    uint16_t status_id = 0;
    uint16_t status_port = htons(NAS_NB_PORT);
    std::vector<Host> hosts;
};

Discovery g_disc;

void log_host(const char *what, const Host &h)
{
    KO_LOGI(kModule, "NetBIOS Host %s: %02x %s\\%s %s\n", what, 0x20, h.info.group, h.info.name, h.info.addr);
}

void send_status(uint32_t addr)
{
    uint8_t pkt[NAS_NB_QUERY_LEN];
    const size_t len = nas_nb_build_node_status(pkt, sizeof pkt, g_disc.status_id);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = g_disc.status_port;
    send_all(g_disc.fd, pkt, len, {sa});
}

Host *find_host(uint32_t addr)
{
    for (Host &h : g_disc.hosts)
        if (h.addr == addr)
            return &h;
    return nullptr;
}

void on_name_answer(uint32_t addr)
{
    if (Host *h = find_host(addr)) {
        h->silent = 0;
        if (!h->named)
            send_status(addr);
        return;
    }
    if (g_disc.hosts.size() >= NAS_NB_MAX_HOSTS)
        return;
    Host h{};
    h.addr = addr;
    in_addr a;
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, h.info.addr, sizeof h.info.addr);
    g_disc.hosts.push_back(h);
    send_status(addr);
}

void on_datagram(const uint8_t *buf, size_t len, const sockaddr_in &from)
{
    nas_nb_reply reply;
    if (nas_nb_parse(buf, len, &reply) != 0)
        return;
    if (reply.kind == NAS_NB_REPLY_NAME && reply.trn_id == g_disc.query_id) {
        for (int i = 0; i < reply.addr_count; ++i)
            on_name_answer(reply.addrs[i]);
    } else if (reply.kind == NAS_NB_REPLY_STATUS && reply.trn_id == g_disc.status_id) {
        // Only the host itself gives its names.
        Host *h = find_host(from.sin_addr.s_addr);
        if (!h || h->named)
            return;
        if (nas_nb_status_names(&reply, h->info.name, h->info.group) != 0)
            return;
        h->named = true;
        h->silent = 0;
        log_host("Online", *h);
    }
}

void on_readable(struct ev_loop *, ev_io *, int)
{
    uint8_t buf[1500];
    for (int i = 0; i < kReadsPerWake; ++i) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(g_disc.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0)
            return;
        on_datagram(buf, static_cast<size_t>(n), from);
    }
}

void on_round(struct ev_loop *, ev_timer *, int)
{
    KO_LOGD(kModule, "netbios discovery round: %zu hosts\n", g_disc.hosts.size());
    for (auto it = g_disc.hosts.begin(); it != g_disc.hosts.end();) {
        if (++it->silent >= NAS_NB_SILENT_ROUNDS) {
            if (it->named)
                log_host("Offline", *it);
            it = g_disc.hosts.erase(it);
        } else {
            ++it;
        }
    }
    uint8_t pkt[NAS_NB_QUERY_LEN];
    const size_t len = nas_nb_build_name_query(pkt, sizeof pkt, g_disc.query_id, "*", NAS_NB_SUFFIX_WORKSTATION, 1);
    const std::vector<sockaddr_in> to = targets();
    if (!to.empty())
        g_disc.status_port = std::getenv("ZELMAR_NAS_NETBIOS") ? to.front().sin_port : htons(NAS_NB_PORT);
    send_all(g_disc.fd, pkt, len, to);
}

} // namespace

int nas_netbios_resolve(const char *name, int timeout_ms, char *addr_out, size_t size)
{
    if (!name || !addr_out || size < INET_ADDRSTRLEN)
        return -1;
    // The file-server name first; a server that registered only its workstation name answers that.
    uint8_t pkts[2][NAS_NB_QUERY_LEN];
    const uint16_t id = next_trn_id();
    if (nas_nb_build_name_query(pkts[0], sizeof pkts[0], id, name, NAS_NB_SUFFIX_SERVER, 1) == 0 ||
        nas_nb_build_name_query(pkts[1], sizeof pkts[1], id, name, NAS_NB_SUFFIX_WORKSTATION, 1) == 0)
        return -1;
    const std::vector<sockaddr_in> to = targets();
    const int fd = open_socket();
    if (fd < 0 || to.empty()) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const uint64_t deadline = vexa_time_tick_ms() + static_cast<uint64_t>(timeout_ms);
    uint64_t next_send = 0;
    int rc = -1;
    for (uint64_t now = vexa_time_tick_ms(); now < deadline && rc != 0; now = vexa_time_tick_ms()) {
        if (now >= next_send) {
            for (const auto &pkt : pkts)
                send_all(fd, pkt, sizeof pkt, to);
            next_send = now + kResendMs;
        }
        pollfd p{fd, POLLIN, 0};
        const uint64_t wait = std::min(deadline, next_send) - now;
        if (poll(&p, 1, static_cast<int>(wait)) <= 0)
            continue;
        uint8_t buf[1500];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        nas_nb_reply reply;
        if (n > 0 && nas_nb_parse(buf, static_cast<size_t>(n), &reply) == 0 && reply.trn_id == id &&
            reply.kind == NAS_NB_REPLY_NAME && reply.addr_count > 0) {
            in_addr a;
            a.s_addr = reply.addrs[0];
            inet_ntop(AF_INET, &a, addr_out, static_cast<socklen_t>(size));
            rc = 0;
        }
    }
    close(fd);
    if (rc != 0)
        KO_LOGE(kModule, "netbios: %s not found\n", name);
    return rc;
}

int nas_netbios_discover_start(struct ev_loop *loop, double round_s)
{
    if (g_disc.running)
        return 0;
    g_disc.fd = open_socket();
    if (g_disc.fd < 0)
        return -1;
    g_disc.hosts.clear();
    g_disc.query_id = next_trn_id();
    g_disc.status_id = next_trn_id();
    ev_io_init(&g_disc.io, on_readable, g_disc.fd, EV_READ);
    ev_io_start(loop, &g_disc.io);
    ev_timer_init(&g_disc.round, on_round, 0.0, round_s);
    ev_timer_start(loop, &g_disc.round);
    g_disc.running = true;
    return 0;
}

void nas_netbios_discover_stop(struct ev_loop *loop)
{
    if (!g_disc.running)
        return;
    ev_io_stop(loop, &g_disc.io);
    ev_timer_stop(loop, &g_disc.round);
    close(g_disc.fd);
    g_disc.fd = -1;
    g_disc.hosts.clear();
    g_disc.running = false;
}

int nas_netbios_discover_running(void)
{
    return g_disc.running ? 1 : 0;
}

size_t nas_netbios_hosts(nas_nb_host *out, size_t max)
{
    size_t n = 0;
    for (const Host &h : g_disc.hosts)
        if (h.named && n < max)
            out[n++] = h.info;
    return n;
}
