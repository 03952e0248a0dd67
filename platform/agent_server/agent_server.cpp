// The agent server's one instance: the listening socket on the agent-bus address, the event loop
// thread, and starting and stopping them.
#include "agent_server.h"

#include <errno.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "agent_hub.h"
#include "agent_server_test.h"
#include "zel_app_agent_client/agent_wire.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_clock.h"

namespace {

constexpr const char *TAG = "AGENT_SERVER";
constexpr uint64_t LISTEN_TAG = 0;
constexpr uint64_t WAKE_TAG = 1;
constexpr int MAX_EVENTS = 32;
// Pending requests are checked for their deadline this often.
constexpr int EXPIRY_TICK_MS = 1000;

std::mutex g_lifecycle;
bool g_running = false;
pthread_t g_thread;
// Never destroyed: the hub thread may still be serving when the process exits.
agent_hub::Hub &g_hub = *new agent_hub::Hub;

void close_fd(int &fd)
{
    if (fd >= 0 && close(fd) != 0)
        ZEL_LOGE(TAG, "close %d: %s", fd, std::strerror(errno));
    fd = -1;
}

void release_hub(agent_hub::Hub &hub)
{
    agent_hub::close_all(hub);
    close_fd(hub.listen_fd);
    close_fd(hub.wake_fd);
    close_fd(hub.epoll_fd);
}

void *server_loop(void *)
{
    pthread_setname_np(pthread_self(), "agent_server");
    agent_hub::Hub &hub = g_hub;
    struct epoll_event events[MAX_EVENTS];
    for (;;) {
        int64_t timeout = hub.forwards.empty() ? -1 : EXPIRY_TICK_MS;
        {
            std::lock_guard<std::mutex> state(hub.state_lock);
            const int64_t silent = agent_hub::expire_silent(hub, time_monotonic_ms());
            agent_hub::close_dead(hub);
            if (silent >= 0)
                timeout = timeout < 0 ? silent : std::min(timeout, silent);
        }
        const int n = epoll_wait(hub.epoll_fd, events, MAX_EVENTS, static_cast<int>(timeout));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ZEL_LOGE(TAG, "epoll_wait: %s", std::strerror(errno));
            return nullptr;
        }
        std::lock_guard<std::mutex> state(hub.state_lock);
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == WAKE_TAG)
                return nullptr;
            if (tag == LISTEN_TAG) {
                agent_hub::accept_all(hub);
                continue;
            }
            auto it = hub.conns.find(tag);
            if (it == hub.conns.end())
                continue;
            agent_hub::Conn &conn = *it->second;
            if (events[i].events & EPOLLOUT)
                agent_hub::flush_out(hub, conn);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                agent_hub::read_some(hub, conn);
        }
        agent_hub::expire_forwards(hub, time_monotonic_ms());
        agent_hub::close_dead(hub);
    }
}

bool add_to_epoll(int epoll_fd, int fd, uint64_t tag)
{
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        ZEL_LOGE(TAG, "epoll_ctl add %d: %s", fd, std::strerror(errno));
        return false;
    }
    return true;
}

bool open_hub(agent_hub::Hub &hub)
{
    hub.listen_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (hub.listen_fd < 0) {
        ZEL_LOGE(TAG, "socket: %s", std::strerror(errno));
        return false;
    }
    struct sockaddr_un addr;
    const socklen_t len = zel_agent_address(&addr);
    if (bind(hub.listen_fd, reinterpret_cast<const struct sockaddr *>(&addr), len) != 0) {
        ZEL_LOGE(TAG, "bind @%s: %s", addr.sun_path + 1, std::strerror(errno));
        return false;
    }
    if (listen(hub.listen_fd, SOMAXCONN) != 0) {
        ZEL_LOGE(TAG, "listen: %s", std::strerror(errno));
        return false;
    }
    hub.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (hub.wake_fd < 0) {
        ZEL_LOGE(TAG, "eventfd: %s", std::strerror(errno));
        return false;
    }
    hub.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (hub.epoll_fd < 0) {
        ZEL_LOGE(TAG, "epoll_create1: %s", std::strerror(errno));
        return false;
    }
    if (!add_to_epoll(hub.epoll_fd, hub.listen_fd, LISTEN_TAG) || !add_to_epoll(hub.epoll_fd, hub.wake_fd, WAKE_TAG))
        return false;
    ZEL_LOGI(TAG, "agent server listening on @%s", addr.sun_path + 1);
    return true;
}

} // namespace

int agent_server_init(void)
{
    std::lock_guard<std::mutex> lock(g_lifecycle);
    if (g_running)
        return 0;
    if (!open_hub(g_hub)) {
        release_hub(g_hub);
        return -1;
    }
    const int rc = pthread_create(&g_thread, nullptr, server_loop, nullptr);
    if (rc != 0) {
        ZEL_LOGE(TAG, "pthread_create: %s", std::strerror(rc));
        release_hub(g_hub);
        return -1;
    }
    g_running = true;
    return 0;
}

void agent_server_stop(void)
{
    std::lock_guard<std::mutex> lock(g_lifecycle);
    if (!g_running)
        return;
    const uint64_t one = 1;
    if (write(g_hub.wake_fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one))
        ZEL_LOGE(TAG, "wake agent server: %s", std::strerror(errno));
    const int rc = pthread_join(g_thread, nullptr);
    if (rc != 0)
        ZEL_LOGE(TAG, "pthread_join: %s", std::strerror(rc));
    release_hub(g_hub);
    g_running = false;
    ZEL_LOGI(TAG, "agent server stopped");
}

int agent_server_subscribers(const char *method)
{
    std::lock_guard<std::mutex> lock(g_lifecycle);
    if (!g_running || !method)
        return 0;
    std::lock_guard<std::mutex> state(g_hub.state_lock);
    int count = 0;
    for (const auto &entry : g_hub.conns)
        count += entry.second->keys.count(method) ? 1 : 0;
    return count;
}
