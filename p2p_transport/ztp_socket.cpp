#include "ztp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_rand.h"
#include "ztp_tick.h"
#include "ztp_wire.h"

namespace {
constexpr char kTag[] = "ztp";
}

int ztp_break_raised(const uint8_t *brk)
{
    return brk != nullptr && __atomic_load_n(brk, __ATOMIC_ACQUIRE) != 0;
}

int ztp_poll_one(int fd, short events, int timeout_ms)
{
    const int64_t deadline = ztp_tick_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        pollfd p{fd, events, 0};
        const int64_t left = deadline - ztp_tick_ms();
        const int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r > 0)
            return (p.revents & POLLNVAL) ? -1 : 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int ztp_setup_Socket(void)
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        ZEL_LOGE(kTag, "UDP socket: %s\n", strerror(errno));
    return sock;
}

namespace {

int bind_any(int sock, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

} // namespace

int ztp_TryBind(int sock, uint16_t port, struct sockaddr_in *bound)
{
    int ok = -1;
    if (port != 0) {
        ok = bind_any(sock, port);
    } else {
        for (int i = 0; i < 1000 && ok != 0; ++i)
            ok = bind_any(sock, static_cast<uint16_t>(rand_range(10000, 30000)));
    }
    if (ok != 0) {
        ZEL_LOGE(kTag, "bind UDP port %u failed: %s\n", port, strerror(errno));
        return -18;
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len);
    if (bound)
        *bound = addr;
    return ntohs(addr.sin_port);
}

int ztp_setup_listen_port(uint16_t port)
{
    const int sock = ztp_setup_Socket();
    if (sock < 0)
        return -1;
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        ZEL_LOGE(kTag, "listen port %u options: %s\n", port, strerror(errno));
        close(sock);
        return -2;
    }
    if (bind_any(sock, port) != 0) {
        ZEL_LOGE(kTag, "bind listen port %u: %s\n", port, strerror(errno));
        close(sock);
        return -3;
    }
    return sock;
}

int ztp_GetInetAddrByName(const char *name, struct in_addr *out)
{
    if (name == nullptr || out == nullptr)
        return -1;
    if (std::strcmp(name, "255.255.255.255") == 0) {
        out->s_addr = htonl(INADDR_BROADCAST);
        return 0;
    }
    if (inet_pton(AF_INET, name, out) == 1)
        return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *res = nullptr;
    const int err = getaddrinfo(name, nullptr, &hints, &res);
    if (err != 0 || res == nullptr) {
        ZEL_LOGW(kTag, "resolve %s: %s\n", name, gai_strerror(err));
        return -1;
    }
    *out = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return 0;
}

int ztp_SendMessage(int sock, const ztp_scramble_key *key, const uint8_t *msg, size_t n, const struct sockaddr_in *to)
{
    uint8_t out[ZTP_MAX_DATAGRAM];
    if (n > sizeof out || ztp_scramble(key, msg, out, n) != 0)
        return -1;
    for (;;) {
        const ssize_t r = sendto(sock, out, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(to), sizeof *to);
        if (r >= 0 || errno != EINTR)
            return static_cast<int>(r);
    }
}

int ztp_send_datagrams(int sock, const struct sockaddr_in *to, const struct iovec *dgrams, unsigned count)
{
    std::array<mmsghdr, 64> m; // only the `count` used are cleared: this runs for every sending pass
    count = std::min<unsigned>(count, m.size());
    for (unsigned i = 0; i < count; ++i) {
        m[i] = mmsghdr{};
        msghdr &h = m[i].msg_hdr;
        h.msg_name = const_cast<sockaddr_in *>(to);
        h.msg_namelen = sizeof *to;
        h.msg_iov = const_cast<iovec *>(&dgrams[i]);
        h.msg_iovlen = 1;
    }
    unsigned done = 0, sent = 0;
    while (done < count) {
        const int r = sendmmsg(sock, m.data() + done, count - done, MSG_NOSIGNAL);
        if (r > 0) {
            done += static_cast<unsigned>(r);
            sent += static_cast<unsigned>(r);
        } else if (r == 0 || errno != EINTR) {
            ++done;
        }
    }
    return static_cast<int>(sent);
}

int ztp_over_time_receive(int sock, const ztp_scramble_key *key, int timeout_ms, uint8_t *buf, size_t size,
                          struct sockaddr_in *from)
{
    const int ready = ztp_poll_one(sock, POLLIN, timeout_ms);
    if (ready <= 0)
        return ready;
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    ssize_t r;
    do {
        r = recvfrom(sock, buf, size, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&sender), &len);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    if (from)
        *from = sender;
    if (key)
        ztp_unscramble(key, buf, buf, static_cast<size_t>(r));
    return static_cast<int>(r);
}

int ztp_proto_Proto_Recv_ALL(int sock, const ztp_scramble_key *key, int timeout_ms, struct sockaddr_in *from,
                             uint8_t *type, uint8_t *payload, size_t *payload_size)
{
    uint8_t dgram[ZTP_MAX_DATAGRAM];
    // Received as it came: the validation unscrambles in place.
    const int n = ztp_over_time_receive(sock, nullptr, timeout_ms, dgram, sizeof dgram, from);
    if (n == 0)
        return -1;
    if (n < 0)
        return -2;
    return ztp_proto_Proto_Parse(key, dgram, static_cast<size_t>(n), type, payload, payload_size);
}

int ztp_TCPSkt_GetLocalAddr(int sock, struct sockaddr_in *addr)
{
    socklen_t len = sizeof *addr;
    return getsockname(sock, reinterpret_cast<sockaddr *>(addr), &len) == 0 ? 0 : -1;
}

int zt_SA_GetRemoteSockAddr(int sock, struct sockaddr_in *addr)
{
    socklen_t len = sizeof *addr;
    return getpeername(sock, reinterpret_cast<sockaddr *>(addr), &len) == 0 ? 0 : -1;
}

const char *zt_SA_GetIPString(const struct sockaddr_in *addr, char out[16])
{
    if (inet_ntop(AF_INET, &addr->sin_addr, out, 16) == nullptr)
        std::strcpy(out, "0.0.0.0");
    return out;
}

uint16_t zt_SA_GetPort(const struct sockaddr_in *addr)
{
    return ntohs(addr->sin_port);
}

int zt_SA_SetSockAddr(struct sockaddr_in *addr, const char *ip, uint16_t port)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    return ip && inet_pton(AF_INET, ip, &addr->sin_addr) == 1 ? 0 : -1;
}

int zt_SA_GetIPStringByName(const char *name, char out[16])
{
    sockaddr_in addr{};
    if (ztp_GetInetAddrByName(name, &addr.sin_addr) != 0)
        return -1;
    zt_SA_GetIPString(&addr, out);
    return 0;
}

int zt_SA_GetLocalIPString(int sock, char out[16])
{
    sockaddr_in addr{};
    if (ztp_TCPSkt_GetLocalAddr(sock, &addr) != 0)
        return -1;
    zt_SA_GetIPString(&addr, out);
    return 0;
}

int zt_SA_GetLocalPort(int sock)
{
    sockaddr_in addr{};
    return ztp_TCPSkt_GetLocalAddr(sock, &addr) == 0 ? ntohs(addr.sin_port) : -1;
}
