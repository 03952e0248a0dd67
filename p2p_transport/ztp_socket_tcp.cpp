// Non-blocking TCP sockets of the socket layer (ztp_socket.h).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "zel_control/log/zel_log.h"
#include "ztp_socket.h"
#include "ztp_tick.h"

namespace {

constexpr char kTag[] = "ztp";
// The longest a wait runs before the break flag and the deadline are looked at again.
constexpr int64_t kStepMs = 10;

// Repeats `step` (1 done, 0 not yet, -1 failed), waiting for `events` on sock in between, at most
// 10 ms at a time: 0 done, -1 failed, -2 the break flag was raised, -3 the deadline passed.
template <class Step> int overtime(int sock, short events, const uint8_t *brk, int64_t deadline_ms, Step step)
{
    for (;;) {
        const int r = step();
        if (r != 0)
            return r > 0 ? 0 : -1;
        if (ztp_break_raised(brk))
            return -2;
        const int64_t left = deadline_ms - ztp_tick_ms();
        if (left <= 0)
            return -3;
        ztp_poll_one(sock, events, static_cast<int>(left < kStepMs ? left : kStepMs));
    }
}

int bind_to(int sock, const sockaddr_in *addr)
{
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sock, reinterpret_cast<const sockaddr *>(addr), sizeof *addr) != 0) {
        ZEL_LOGE(kTag, "bind TCP port %u: %s\n", ntohs(addr->sin_port), strerror(errno));
        close(sock);
        return -1;
    }
    return sock;
}

int select_any(const int *socks, int count, short events, int timeout_ms)
{
    if (socks == nullptr || count <= 0)
        return -1;
    std::vector<pollfd> fds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        fds[static_cast<size_t>(i)] = pollfd{socks[i], events, 0};
    const int64_t deadline = ztp_tick_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        const int64_t left = deadline - ztp_tick_ms();
        const int r = poll(fds.data(), fds.size(), left > 0 ? static_cast<int>(left) : 0);
        if (r > 0) {
            for (int i = 0; i < count; ++i)
                if (fds[static_cast<size_t>(i)].revents != 0)
                    return i + 1;
        }
        if (r == 0)
            return 0;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

} // namespace

int zt_TCPNBSkt_Create(void)
{
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0)
        ZEL_LOGE(kTag, "TCP socket: %s\n", strerror(errno));
    return sock;
}

int zt_TCPNBSkt_CreateBind(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return zt_TCPNBSkt_CreateBindAddr(&addr);
}

int zt_TCPNBSkt_CreateBindAddr(const struct sockaddr_in *addr)
{
    const int sock = zt_TCPNBSkt_Create();
    return sock < 0 ? -1 : bind_to(sock, addr);
}

int zt_TCPNBSkt_CreateBindListenAddr(const struct sockaddr_in *addr, int backlog)
{
    const int sock = zt_TCPNBSkt_CreateBindAddr(addr);
    if (sock < 0)
        return -1;
    if (zt_TCPNBSkt_Listen(sock, backlog) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

int zt_TCPNBSkt_Connect(int sock, const struct sockaddr_in *to)
{
    if (connect(sock, reinterpret_cast<const sockaddr *>(to), sizeof *to) == 0 || errno == EISCONN)
        return 0;
    if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR)
        return -2;
    // Still connecting, or done: writability tells, and SO_ERROR says how it ended.
    if (ztp_poll_one(sock, POLLOUT, 0) <= 0)
        return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return -2;
    return 0;
}

int zt_TCPNBSkt_Overtime_Connect(int sock, const struct sockaddr_in *to, const uint8_t *brk, int64_t deadline_ms)
{
    return overtime(sock, POLLOUT, brk, deadline_ms, [&] {
        const int r = zt_TCPNBSkt_Connect(sock, to);
        return r == 0 ? 1 : r == -1 ? 0 : -1;
    });
}

int zt_TCPNBSkt_Send(int sock, const void *data, size_t n)
{
    for (;;) {
        const ssize_t r = send(sock, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r >= 0)
            return static_cast<int>(r);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int zt_TCPNBSkt_Overtime_Send(int sock, const void *data, size_t n, const uint8_t *brk, int64_t deadline_ms)
{
    const auto *p = static_cast<const uint8_t *>(data);
    size_t sent = 0;
    return overtime(sock, POLLOUT, brk, deadline_ms, [&] {
        const int r = sent < n ? zt_TCPNBSkt_Send(sock, p + sent, n - sent) : 0;
        if (r < 0)
            return -1;
        sent += static_cast<size_t>(r);
        return sent == n ? 1 : 0;
    });
}

int zt_TCPNBSkt_Recv(int sock, void *buf, size_t n)
{
    for (;;) {
        const ssize_t r = recv(sock, buf, n, MSG_DONTWAIT);
        if (r > 0)
            return static_cast<int>(r);
        if (r == 0)
            return n == 0 ? 0 : -1;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            return -2;
    }
}

int zt_TCPNBSkt_Overtime_Recv(int sock, void *buf, size_t n, const uint8_t *brk, int64_t deadline_ms)
{
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    return overtime(sock, POLLIN, brk, deadline_ms, [&] {
        const int r = got < n ? zt_TCPNBSkt_Recv(sock, p + got, n - got) : 0;
        if (r < 0)
            return -1;
        got += static_cast<size_t>(r);
        return got == n ? 1 : 0;
    });
}

int zt_TCPNBSkt_Select(const int *socks, int count, int timeout_ms)
{
    return select_any(socks, count, POLLIN, timeout_ms);
}

int zt_TCPNBSkt_WriteSelect(const int *socks, int count, int timeout_ms)
{
    return select_any(socks, count, POLLOUT, timeout_ms);
}

int zt_TCPNBSkt_Listen(int sock, int backlog)
{
    if (listen(sock, backlog) != 0) {
        ZEL_LOGE(kTag, "listen: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

int zt_TCPNBSkt_Accept(int sock, struct sockaddr_in *from)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(sock, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (from)
                *from = peer;
            return fd;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        if (errno != EINTR && errno != ECONNABORTED)
            return -2;
    }
}

int zt_TCPNBSkt_Overtime_Accept(int sock, struct sockaddr_in *from, const uint8_t *brk, int64_t deadline_ms)
{
    int fd = -1;
    const int r = overtime(sock, POLLIN, brk, deadline_ms, [&] {
        fd = zt_TCPNBSkt_Accept(sock, from);
        return fd >= 0 ? 1 : fd == -1 ? 0 : -1;
    });
    return r == 0 ? fd : r;
}

void zt_TCPNBSkt_Close(int sock)
{
    if (sock >= 0)
        close(sock);
}

void zt_TCPSkt_Close(int sock)
{
    zt_TCPNBSkt_Close(sock);
}
