// The settings socket server: the listening socket, the epoll thread "ipc_server" with its wake-up
// descriptor for a clean stop, and the request handler that answers from the stores.
#include "zel_db/zel_db_server.h"

#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_env.h"
#include "zel_db/zel_db_store.h"
#include "zel_db/zel_db_wire.h"
#include "zelmar/zel_clock.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_send.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <system_error>
#include <thread>

namespace {

constexpr int BACKLOG = 128;
constexpr int INET_PORT = 55555;
constexpr const char *INET_ADDRESS = "127.0.0.1";
constexpr int MAX_EVENTS = 64;
constexpr int SEND_TIMEOUT_MS = 5000;
// Requests served from one connection before the others get their turn.
constexpr int REQUESTS_PER_TURN = 16;
// Reply bytes a connection may leave untaken, and for how long it may take none of them.
constexpr size_t MAX_PENDING_OUTPUT = 4 * 1024 * 1024;
constexpr int64_t STALL_MS = 1000;
// Connections held at once: each holds a descriptor of the process that keeps the settings, and
// clients that never hang up must not use them all.
constexpr size_t MAX_CONNECTIONS = 64;

struct Conn {
    std::string out;               // reply bytes the client has not taken yet
    int64_t last_progress_ms = 0;  // when it last took some (while `out` is not empty)
    int64_t last_request_ms = 0;   // when it was accepted or last sent a request
    bool input_left = false;       // reading stopped with requests possibly waiting
    bool queued = false;           // in Server::ready
    bool peer_closed = false;      // the client shut its side: closed once its replies are out
    bool broken = false;           // a send failed: closed by the loop
    size_t skip_left = 0;          // bytes of an oversized request still to throw away
    bool skip_to_nul = false;      // ... and up to the NUL that ends its value
};

struct Server {
    std::thread thread;
    std::string path;  // real path of the socket
    ipc_server_handler handler = nullptr;
    int listen_fd = -1;
    int wake_fd = -1;
    int epfd = -1;
    std::atomic<bool> running{false};
    // Touched by the server thread only, and by deinit after the join.
    std::map<int, Conn> connections;
    std::deque<int> ready;  // connections with requests left over from their last turn
};

// Set on the server thread, the one that owns the connections.
thread_local bool t_server_thread = false;

// Never destroyed: a process may exit() while the server thread runs, and destroying a joinable
// std::thread would abort it.
Server &g_server = *new Server;

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void drop_connection(int fd)
{
    epoll_ctl(g_server.epfd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    g_server.connections.erase(fd);
}

// Makes room for one more connection: the one idle the longest (nothing to answer, nothing
// waiting) gives way; false when every connection is busy.
bool make_room()
{
    auto oldest = g_server.connections.end();
    for (auto it = g_server.connections.begin(); it != g_server.connections.end(); ++it) {
        const Conn &c = it->second;
        if (c.out.empty() && !c.input_left && !c.queued &&
            (oldest == g_server.connections.end() || c.last_request_ms < oldest->second.last_request_ms))
            oldest = it;
    }
    if (oldest == g_server.connections.end())
        return false;
    ZEL_LOGW(ZEL_DB_TAG, "[%s %d] %zu connections: client %d idle for %lld ms closed\n", __func__, __LINE__,
             g_server.connections.size(), oldest->first,
             static_cast<long long>(time_monotonic_ms() - oldest->second.last_request_ms));
    drop_connection(oldest->first);
    return true;
}

void accept_connections()
{
    for (;;) {
        const int fd = accept4(g_server.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                ZEL_LOGE(ZEL_DB_TAG, "connfd < 0: %s\n", std::strerror(errno));
                ZEL_LOGE(ZEL_DB_TAG, "[%s %d] There is something wrong with create_new_connection\n", __func__,
                         __LINE__);
            }
            if (errno == EINTR)
                continue;
            // Out of descriptors or memory: the listening socket stays readable, so pause rather
            // than spin until something is released.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return;
        }
        if (g_server.connections.size() >= MAX_CONNECTIONS && !make_room()) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] %zu connections all busy, client %d refused\n", __func__, __LINE__,
                     g_server.connections.size(), fd);
            close(fd);
            continue;
        }
        epoll_event ev {};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
        ev.data.fd = fd;
        if (epoll_ctl(g_server.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] There is something wrong with create_new_connection\n", __func__, __LINE__);
            close(fd);
            continue;
        }
        Conn &c = g_server.connections[fd] = Conn{};
        c.last_request_ms = time_monotonic_ms();
        ZEL_LOGD(ZEL_DB_TAG, "[%s %d] create new connection connfd = %d\n", __func__, __LINE__, fd);
    }
}

// Hands the socket as much of the pending reply as it takes now; false when the send failed.
bool flush_output(int fd, Conn &c)
{
    const ssize_t sent = zel_send_pending(fd, &c.out);
    if (sent < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] send to client %d: %s\n", __func__, __LINE__, fd, std::strerror(errno));
        c.broken = true;
        return false;
    }
    if (sent > 0)
        c.last_progress_ms = time_monotonic_ms();
    return true;
}

void queue_turn(int fd, Conn &c)
{
    if (!c.queued) {
        c.queued = true;
        g_server.ready.push_back(fd);
    }
}

// A set whose value does not end within the largest request: the value would be cut and its tail
// read as a request of its own. It is refused and thrown away whole: through the length its
// sender gave, and at least up to the NUL that ends the value.
bool starts_oversized_set(Conn &c, const char *request, size_t n)
{
    if (n < ZEL_DB_MSG_MAX || std::memchr(request + ZEL_DB_MSG_VALUE, '\0', n - ZEL_DB_MSG_VALUE))
        return false;
    const zel_db_request_t req = zel_db_msg_parse(reinterpret_cast<const uint8_t *>(request), n);
    if (req.op != ZEL_DB_OP_SET)
        return false;
    const uint64_t total = static_cast<uint64_t>(ZEL_DB_MSG_VALUE) + req.length;
    c.skip_left = total > n ? static_cast<size_t>(std::min<uint64_t>(total - n, SIZE_MAX)) : 0;
    c.skip_to_nul = true;
    return true;
}

// Throws away the rest of an oversized request from the front of buf; the bytes used.
size_t skip_oversized(Conn &c, const char *buf, size_t n)
{
    size_t take = n;
    if (c.skip_to_nul) {
        if (const void *nul = std::memchr(buf, '\0', n)) {
            take = static_cast<size_t>(static_cast<const char *>(nul) - buf) + 1;
            c.skip_to_nul = false;
        }
    } else {
        take = std::min(take, c.skip_left);
    }
    c.skip_left -= std::min(c.skip_left, take);
    return take;
}

void refuse_oversized(int fd)
{
    ZEL_LOGE(ZEL_DB_TAG, "[%s %d] set value over %d characters from client %d refused\n", __func__, __LINE__,
             ZEL_DB_MSG_MAX - ZEL_DB_MSG_VALUE - 1, fd);
    uint8_t reply[ZEL_DB_REPLY_HEAD];
    zel_db_reply_head_put(reply, ZEL_DB_REPLY_FAILED, 0);
    ipc_server_send(fd, reply, sizeof reply);
}

// Serves the requests waiting on a connection, a few per turn, and none while a reply is still on
// its way; false once the connection has been closed.
bool serve_input(int fd)
{
    char request[ZEL_DB_MSG_MAX + 1];
    for (int served = 0;;) {
        auto it = g_server.connections.find(fd);
        if (it == g_server.connections.end())
            return false;
        Conn &c = it->second;
        if (c.broken) {
            drop_connection(fd);
            return false;
        }
        if (!c.out.empty() || served == REQUESTS_PER_TURN) {
            c.input_left = true;
            if (c.out.empty())
                queue_turn(fd, c);
            return true;
        }
        std::memset(request, 0, sizeof request);
        const ssize_t n = read(fd, request, ZEL_DB_MSG_MAX);
        if (n > 0) {
            c.last_request_ms = time_monotonic_ms();
            size_t used = 0;
            if (c.skip_left > 0 || c.skip_to_nul)
                used = skip_oversized(c, request, static_cast<size_t>(n));
            if (used == static_cast<size_t>(n))
                continue;
            const char *rest = request + used;
            const size_t size = static_cast<size_t>(n) - used;
            ++served;
            if (starts_oversized_set(c, rest, size))
                refuse_oversized(fd);
            else
                g_server.handler(fd, rest, static_cast<int>(size));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.input_left = false;
            if (c.peer_closed && c.out.empty())
                drop_connection(fd);
            return true;
        }
        if (n < 0)
            ZEL_LOGE(ZEL_DB_TAG, "read error: %s\n", std::strerror(errno));
        else
            ZEL_LOGD(ZEL_DB_TAG, "[%s %d] client closed... \n", __func__, __LINE__);
        drop_connection(fd);
        return false;
    }
}

void serve_output(int fd)
{
    auto it = g_server.connections.find(fd);
    if (it == g_server.connections.end())
        return;
    Conn &c = it->second;
    if (!flush_output(fd, c)) {
        drop_connection(fd);
        return;
    }
    if (!c.out.empty())
        return;
    if (c.input_left)
        queue_turn(fd, c);
    else if (c.peer_closed)
        drop_connection(fd);
}

// Gives the connections with requests left over their next turn.
void serve_ready()
{
    std::deque<int> turn;
    turn.swap(g_server.ready);
    for (int fd : turn) {
        auto it = g_server.connections.find(fd);
        if (it == g_server.connections.end())
            continue;
        it->second.queued = false;
        serve_input(fd);
    }
}

// Closes the connections that took none of their reply for STALL_MS; the time until the next one
// is due, or -1 when no reply is waiting.
int close_stalled(int64_t now)
{
    int next = -1;
    for (auto it = g_server.connections.begin(); it != g_server.connections.end();) {
        const int fd = it->first;
        const Conn &c = it->second;
        ++it;
        if (c.out.empty())
            continue;
        const int64_t idle = now - c.last_progress_ms;
        if (idle >= STALL_MS) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] client %d took no reply for %lld ms (%zu bytes waiting), closed\n",
                     __func__, __LINE__, fd, static_cast<long long>(idle), c.out.size());
            drop_connection(fd);
            continue;
        }
        const int left = static_cast<int>(STALL_MS - idle);
        next = next < 0 ? left : std::min(next, left);
    }
    return next;
}

void server_loop()
{
    pthread_setname_np(pthread_self(), "ipc_server");
    t_server_thread = true;
    epoll_event events[MAX_EVENTS];
    while (g_server.running.load()) {
        const int stall_wait = close_stalled(time_monotonic_ms());
        const int n = epoll_wait(g_server.epfd, events, MAX_EVENTS, g_server.ready.empty() ? stall_wait : 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ZEL_LOGE(ZEL_DB_TAG, "epoll wait error: %s\n", std::strerror(errno));
            break;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            const uint32_t what = events[i].events;
            if (fd == g_server.wake_fd)
                continue;  // deinit: the loop condition ends the thread
            if (fd == g_server.listen_fd) {
                accept_connections();
                continue;
            }
            if (what & EPOLLOUT)
                serve_output(fd);
            if ((what & EPOLLIN) && !serve_input(fd))
                continue;
            auto it = g_server.connections.find(fd);
            if (it == g_server.connections.end())
                continue;
            if (what & (EPOLLHUP | EPOLLERR)) {
                ZEL_LOGD(ZEL_DB_TAG, "[%s %d] client closed... \n", __func__, __LINE__);
                drop_connection(fd);
            } else if (what & EPOLLRDHUP) {
                // Requests already sent are still answered.
                it->second.peer_closed = true;
                if (it->second.out.empty() && !it->second.input_left)
                    drop_connection(fd);
            } else if (!(what & (EPOLLIN | EPOLLOUT))) {
                ZEL_LOGW(ZEL_DB_TAG, "[%s %d] undeal with event.events = 0x%x \n", __func__, __LINE__, what);
            }
        }
        serve_ready();
    }
}

// Queues a reply on one of the server's connections and sends what the socket takes now; `len`,
// or -1 when the client already leaves too much untaken (the connection is then closed).
int queue_reply(int fd, Conn &c, const void *data, int len)
{
    if (c.broken)
        return -1;
    if (c.out.size() + static_cast<size_t>(len) > MAX_PENDING_OUTPUT) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] client %d leaves %zu reply bytes untaken, closed\n", __func__, __LINE__, fd,
                 c.out.size());
        c.broken = true;
        return -1;
    }
    if (c.out.empty())
        c.last_progress_ms = time_monotonic_ms();
    c.out.append(static_cast<const char *>(data), static_cast<size_t>(len));
    return flush_output(fd, c) ? len : -1;
}

// The fuzzy get of a request without section: the first entry of the store whose key holds `key`.
int db_get_value_fuzzy(std::string store, const std::string &key, char *dst, int len)
{
    for (char &c : store)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const int index = zel_db_store_index(store.c_str());
    if (index < 0)
        return -3;
    zel_db_store_t &s = zel_db_state().stores[index];
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.dict)
        return -6;
    return get_value_fuzzy_from_db(s.dict, key.c_str(), dst, len);
}

std::string full_key(const zel_db_request_t &req)
{
    char key[112];
    std::snprintf(key, sizeof key, "%s.%s:%s", req.store.c_str(), req.section.c_str(), req.key.c_str());
    return key;
}

// Without its socket the settings database would serve no other process, and a camera running
// on without it would only fail later and more obscurely: the process ends at once.
[[noreturn]] void socket_failed(int s)
{
    if (s >= 0)
        close(s);
    std::exit(1);
}

int unix_server(const std::string &path)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        ZEL_LOGE(ZEL_DB_TAG, "bind(): socket path too long: %s\n", path.c_str());
        socket_failed(-1);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        ZEL_LOGE(ZEL_DB_TAG, "Can't unlink path: %s, %s\n", path.c_str(), std::strerror(errno));
        socket_failed(-1);
    }
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "Socket():%s\n", std::strerror(errno));
        socket_failed(s);
    }
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "bind(): %s\n", std::strerror(errno));
        socket_failed(s);
    }
    if (zel_set_nonblock(s) != 0)
        socket_failed(s);
    if (listen(s, BACKLOG) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "listen(): %s\n", std::strerror(errno));
        socket_failed(s);
    }
    const int on = 1;
    if (chmod(path.c_str(), 0666) != 0 || setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        ZEL_LOGW(ZEL_DB_TAG, "[%s %d] socket mode or option not set: %s\n", __func__, __LINE__, std::strerror(errno));
    ZEL_LOGI(ZEL_DB_TAG, "Create unix domain server %s success.\n", path.c_str());
    return s;
}

// The network port of the TCP and UDP servers; ZELMAR_DB_PORT moves it (tests run side by side).
int inet_port()
{
    return zel_env_port("ZELMAR_DB_PORT", INET_PORT, 65535);
}

// The settings carry secrets and the socket asks for no credentials: only processes of this
// device may reach it, so it listens on the loopback address alone.
int inet_server(int kind)
{
    const bool tcp = kind == SOCK_STREAM;
    const int port = inet_port();
    const int s = socket(AF_INET, kind | SOCK_CLOEXEC, 0);
    if (s < 0) {
        if (tcp)
            ZEL_LOGE(ZEL_DB_TAG, "socket error:%s\n", std::strerror(errno));
        else
            ZEL_LOGE(ZEL_DB_TAG, "socket error: %s\n", std::strerror(errno));
        socket_failed(s);
    }
    const int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        ZEL_LOGW(ZEL_DB_TAG, "[%s %d] SO_REUSEADDR not set: %s\n", __func__, __LINE__, std::strerror(errno));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (tcp)
            ZEL_LOGE(ZEL_DB_TAG, "Can't bind(%s:%d): %s\n", INET_ADDRESS, port, std::strerror(errno));
        else
            ZEL_LOGE(ZEL_DB_TAG, "Can't bind: %s\n", std::strerror(errno));
        socket_failed(s);
    }
    if (tcp && listen(s, BACKLOG) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "Can't listen: %s\n", std::strerror(errno));
        socket_failed(s);
    }
    if (tcp)
        ZEL_LOGI(ZEL_DB_TAG, "Create tcp server(%s:%d) success.\n", INET_ADDRESS, port);
    else
        ZEL_LOGI(ZEL_DB_TAG, "Create udp server(%s:%d) success.\n", INET_ADDRESS, port);
    return s;
}

} // namespace

int zel_set_nonblock(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "Can't get sock flags: %s\n", std::strerror(errno));
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "Can't set sock nonblock flags: %s\n", std::strerror(errno));
        return -1;
    }
    return 0;
}

int server_init(int *fd, int type)
{
    if (!fd || type < 1 || type > 3) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] no server of type %d\n", __func__, __LINE__, type);
        return -1;
    }
    const int s = type == 1 ? unix_server(g_server.path) : inet_server(type == 2 ? SOCK_STREAM : SOCK_DGRAM);
    ZEL_LOGI(ZEL_DB_TAG, "server init over.\n");
    *fd = s;
    return 0;
}

int ipc_server_init(const char *path, ipc_server_handler handler)
{
    if (!path || !handler)
        return -1;
    if (g_server.thread.joinable())
        return 0;
    g_server.path = zel_path(path);
    g_server.handler = handler;
    g_server.epfd = epoll_create1(EPOLL_CLOEXEC);
    g_server.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_server.epfd < 0 || g_server.wake_fd < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] epoll_create1 error\n", __func__, __LINE__);
    } else if (server_init(&g_server.listen_fd, 1) == 0) {
        epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.fd = g_server.listen_fd;
        epoll_event wake {};
        wake.events = EPOLLIN;
        wake.data.fd = g_server.wake_fd;
        if (epoll_ctl(g_server.epfd, EPOLL_CTL_ADD, g_server.listen_fd, &ev) != 0 ||
            epoll_ctl(g_server.epfd, EPOLL_CTL_ADD, g_server.wake_fd, &wake) != 0) {
            ZEL_LOGE(ZEL_DB_TAG, "epoll ctl error: %s\n", std::strerror(errno));
        } else {
            g_server.running = true;
            try {
                g_server.thread = std::thread(server_loop);
                return 0;
            } catch (const std::system_error &e) {
                ZEL_LOGE(ZEL_DB_TAG, "create connect2_transfer error: %s\n", e.what());
                g_server.running = false;
            }
        }
    }
    close_fd(g_server.listen_fd);
    close_fd(g_server.wake_fd);
    close_fd(g_server.epfd);
    return -1;
}

int ipc_server_deinit(void)
{
    if (!g_server.thread.joinable())
        return 0;
    g_server.running = false;
    const uint64_t one = 1;
    if (write(g_server.wake_fd, &one, sizeof one) != sizeof one)
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] can't wake the server: %s\n", __func__, __LINE__, std::strerror(errno));
    g_server.thread.join();
    for (const auto &entry : g_server.connections)
        close(entry.first);
    g_server.connections.clear();
    g_server.ready.clear();
    close_fd(g_server.listen_fd);
    close_fd(g_server.wake_fd);
    close_fd(g_server.epfd);
    if (unlink(g_server.path.c_str()) != 0 && errno != ENOENT)
        ZEL_LOGW(ZEL_DB_TAG, "[%s %d] can't remove %s: %s\n", __func__, __LINE__, g_server.path.c_str(),
                 std::strerror(errno));
    return 0;
}

int ipc_server_send(int fd, const void *data, int len)
{
    if (fd < 0 || !data || len < 0)
        return -1;
    if (t_server_thread) {
        auto it = g_server.connections.find(fd);
        if (it != g_server.connections.end())
            return queue_reply(fd, it->second, data, len);
    }
    const auto *p = static_cast<const uint8_t *>(data);
    size_t left = static_cast<size_t>(len);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SEND_TIMEOUT_MS);
    while (left > 0) {
        const ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            pollfd pfd {fd, POLLOUT, 0};
            if (wait.count() > 0 && poll(&pfd, 1, static_cast<int>(wait.count())) > 0)
                continue;
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] peer does not take the reply\n", __func__, __LINE__);
        }
        return -1;
    }
    return len;
}

void zel_db_server_callback(int fd, const char *request, int size)
{
    const zel_db_request_t req =
        zel_db_msg_parse(reinterpret_cast<const uint8_t *>(request), size > 0 ? static_cast<size_t>(size) : 0);
    std::string body;
    uint32_t type = ZEL_DB_REPLY_FAILED;
    uint32_t length = 0;
    int ret = -1;
    switch (req.op) {
    case ZEL_DB_OP_GET: {
        char value[ZEL_DB_MSG_MAX] = {};
        if (!req.section.empty())
            ret = zel_api_db_get_value(full_key(req).c_str(), value, sizeof value);
        else
            ret = db_get_value_fuzzy(req.store, req.key, value, sizeof value);
        if (ret == 0) {
            body.assign(value).append("\n").push_back('\0');
            type = ZEL_DB_REPLY_DATA;
            length = static_cast<uint32_t>(body.size());
        }
        break;
    }
    case ZEL_DB_OP_SET:
        ret = zel_api_db_set_value(full_key(req).c_str(), req.value.c_str(), static_cast<int>(req.value.size()), 0);
        type = ret == 0 ? ZEL_DB_REPLY_DONE : ZEL_DB_REPLY_FAILED;
        break;
    case ZEL_DB_OP_DUMP: {
        ret = zel_db_dump_body(req.store, &body) ? 0 : -1;
        if (ret == 0) {
            type = ZEL_DB_REPLY_DATA;
            // The length of a one-store dump counts the head too; peers read it that way.
            const bool all = strcasecmp(req.store.c_str(), "all") == 0;
            length = static_cast<uint32_t>(body.size() + (all ? 0 : ZEL_DB_REPLY_HEAD));
        }
        break;
    }
    case ZEL_DB_OP_SAVE:
        ret = zel_db_ko_save_db_file();
        type = ret == 0 ? ZEL_DB_REPLY_DONE : ZEL_DB_REPLY_FAILED;
        break;
    case ZEL_DB_OP_UNSET:
        ret = zel_api_db_unset_value(full_key(req).c_str(), 0);
        type = ret == 0 ? ZEL_DB_REPLY_DONE : ZEL_DB_REPLY_FAILED;
        break;
    default:
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] unknow op cmd never happened.\n ", __func__, __LINE__);
        return;
    }
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] ret=%d\n", __func__, __LINE__, ret);
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] msg_ack.type=%u\n", __func__, __LINE__, type);
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] msg_ack.len=%u\n", __func__, __LINE__, length);
    std::string reply(ZEL_DB_REPLY_HEAD, '\0');
    zel_db_reply_head_put(reinterpret_cast<uint8_t *>(reply.data()), type, length);
    if (type == ZEL_DB_REPLY_DATA)
        reply += body;
    if (ipc_server_send(fd, reply.data(), static_cast<int>(reply.size())) < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] ipc_server_send err \n ", __func__, __LINE__);
        // Part of the reply may have gone out: end the connection rather than let the next reply
        // be read as the rest of this one. The server loop closes it at its hang-up.
        shutdown(fd, SHUT_RDWR);
    }
}
