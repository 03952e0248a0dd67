// The agent server's connection I/O: accepting modules (a bounded number per process, and only
// those that speak up in time), reading their packets into JSON texts a few per turn, and sending
// through a bounded queue per connection so a slow module never blocks the others.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent_hub.h"
#include "zel_app_agent_client/agent_wire.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_clock.h"

namespace agent_hub {

namespace {

constexpr const char *TAG = "AGENT_SERVER";
// Larger than any text a module can receive, so an oversized packet is seen whole and refused.
constexpr size_t READ_BUFFER = 65536;

void update_events(Hub &hub, Conn &conn, bool want_out)
{
    if (conn.want_out == want_out)
        return;
    struct epoll_event ev = {};
    ev.events = EPOLLIN | (want_out ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    ev.data.u64 = conn.id;
    if (epoll_ctl(hub.epoll_fd, EPOLL_CTL_MOD, conn.fd, &ev) != 0) {
        ZEL_LOGE(TAG, "epoll_ctl(%d): %s", conn.fd, std::strerror(errno));
        conn.dead = true;
        return;
    }
    conn.want_out = want_out;
}

bool rate_limit_passes(int64_t *logged_ms, int64_t now_ms)
{
    if (*logged_ms != 0 && now_ms - *logged_ms < 1000)
        return false;
    *logged_ms = now_ms;
    return true;
}

size_t connections_of(const Hub &hub, int pid)
{
    size_t n = 0;
    for (const auto &entry : hub.conns)
        n += entry.second->pid == pid && !entry.second->dead ? 1 : 0;
    return n;
}

// Closes a new connection the hub has no room for; logged at most once a second.
void refuse(Hub &hub, int fd, const char *why, int pid)
{
    ++hub.refusals_unlogged;
    if (rate_limit_passes(&hub.refusal_logged_ms, time_monotonic_ms())) {
        ZEL_LOGE(TAG, "%s (process %d), %u connection(s) refused", why, pid, hub.refusals_unlogged);
        hub.refusals_unlogged = 0;
    }
    close(fd);
}

// One send without waiting: 1 sent, 0 no room now, -1 the connection is broken.
int try_send(Conn &conn, const std::string &text)
{
    for (;;) {
        if (send(conn.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return 1;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        ZEL_LOGW(TAG, "send to connection %llu (fd %d): %s", static_cast<unsigned long long>(conn.id), conn.fd,
                 std::strerror(errno));
        return -1;
    }
}

} // namespace

void accept_all(Hub &hub)
{
    for (;;) {
        const int fd = accept4(hub.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                ZEL_LOGE(TAG, "accept: %s", std::strerror(errno));
            return;
        }
        struct ucred cred = {};
        socklen_t cred_len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0) {
            ZEL_LOGE(TAG, "SO_PEERCRED of fd %d: %s", fd, std::strerror(errno));
            close(fd);
            continue;
        }
        if (hub.conns.size() >= MAX_CONNECTIONS) {
            refuse(hub, fd, "too many connections", cred.pid);
            continue;
        }
        if (connections_of(hub, cred.pid) >= MAX_CONNECTIONS_PER_PROCESS) {
            refuse(hub, fd, "too many connections from one process", cred.pid);
            continue;
        }
        auto conn = std::make_unique<Conn>();
        conn->id = hub.next_conn_id++;
        conn->fd = fd;
        conn->pid = cred.pid;
        conn->connected_ms = time_monotonic_ms();
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = conn->id;
        if (epoll_ctl(hub.epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ZEL_LOGE(TAG, "epoll_ctl add %d: %s", fd, std::strerror(errno));
            close(fd);
            continue;
        }
        ZEL_LOGI(TAG, "module connected: connection %llu, fd %d", static_cast<unsigned long long>(conn->id), fd);
        hub.conns.emplace(conn->id, std::move(conn));
    }
}

void read_some(Hub &hub, Conn &conn)
{
    static thread_local std::vector<char> buf(READ_BUFFER);
    for (int turn = 0; turn < PACKETS_PER_TURN && !conn.dead; ++turn) {
        struct iovec iov = {buf.data(), buf.size()};
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = recvmsg(conn.fd, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            ZEL_LOGW(TAG, "recv from fd %d: %s", conn.fd, std::strerror(errno));
            conn.dead = true;
            return;
        }
        if (n == 0) {
            conn.dead = true;
            return;
        }
        if (msg.msg_flags & MSG_TRUNC) {
            ZEL_LOGE(TAG, "packet over %zu bytes from fd %d dropped", buf.size(), conn.fd);
            continue;
        }
        size_t consumed = 0;
        const int rc = zel_agent_split_texts(
            buf.data(), static_cast<size_t>(n),
            [&](json_object *value, std::string_view text) {
                conn.spoken = true;
                route_text(hub, conn, value, text);
                return 0;
            },
            &consumed);
        if (rc != 0)
            ZEL_LOGE(TAG, "fd %d: text that does not parse dropped: %.*s", conn.fd, static_cast<int>(n - consumed),
                     buf.data() + consumed);
    }
}

void flush_out(Hub &hub, Conn &conn)
{
    while (!conn.out.empty() && !conn.dead) {
        const int rc = try_send(conn, conn.out.front());
        if (rc < 0) {
            conn.dead = true;
            return;
        }
        if (rc == 0)
            break;
        conn.out.pop_front();
    }
    update_events(hub, conn, !conn.out.empty());
}

bool send_packet(Hub &hub, Conn &conn, std::string text)
{
    if (conn.dead)
        return false;
    if (conn.out.empty()) {
        const int rc = try_send(conn, text);
        if (rc > 0)
            return true;
        if (rc < 0) {
            conn.dead = true;
            return false;
        }
    }
    if (conn.out.size() >= MAX_QUEUED_PACKETS) {
        ++conn.drops_unlogged;
        if (rate_limit_passes(&conn.drop_logged_ms, time_monotonic_ms())) {
            ZEL_LOGE(TAG, "connection %llu (fd %d) is not reading, %u message(s) dropped, last: %.64s",
                     static_cast<unsigned long long>(conn.id), conn.fd, conn.drops_unlogged, text.c_str());
            conn.drops_unlogged = 0;
        }
        return false;
    }
    conn.out.push_back(std::move(text));
    update_events(hub, conn, true);
    return true;
}

int64_t expire_silent(Hub &hub, int64_t now_ms)
{
    int64_t next = -1;
    for (auto &entry : hub.conns) {
        Conn &conn = *entry.second;
        if (conn.spoken || conn.dead)
            continue;
        const int64_t left = conn.connected_ms + SILENT_CONNECTION_MS - now_ms;
        if (left <= 0) {
            ZEL_LOGW(TAG, "connection %llu (fd %d, process %d) said nothing in %lld ms, closed",
                     static_cast<unsigned long long>(conn.id), conn.fd, conn.pid,
                     static_cast<long long>(SILENT_CONNECTION_MS));
            conn.dead = true;
            continue;
        }
        next = next < 0 ? left : std::min(next, left);
    }
    return next;
}

void close_dead(Hub &hub)
{
    // Forgetting a connection can answer requests on others, which may find those dead in turn.
    for (bool again = true; again;) {
        again = false;
        for (auto it = hub.conns.begin(); it != hub.conns.end(); ++it) {
            if (!it->second->dead)
                continue;
            std::unique_ptr<Conn> conn = std::move(it->second);
            hub.conns.erase(it);
            if (epoll_ctl(hub.epoll_fd, EPOLL_CTL_DEL, conn->fd, nullptr) != 0)
                ZEL_LOGE(TAG, "epoll_ctl del %d: %s", conn->fd, std::strerror(errno));
            if (close(conn->fd) != 0)
                ZEL_LOGE(TAG, "close %d: %s", conn->fd, std::strerror(errno));
            ZEL_LOGI(TAG, "module gone: connection %llu, fd %d, %zu keys dropped",
                     static_cast<unsigned long long>(conn->id), conn->fd, conn->keys.size());
            forget_conn(hub, conn->id);
            again = true;
            break;
        }
    }
}

void close_all(Hub &hub)
{
    for (auto &entry : hub.conns)
        entry.second->dead = true;
    close_dead(hub);
    hub.forwards.clear();
}

} // namespace agent_hub
