// The outside apps' agent receive loop: poll 100 ms at a time, retry interrupted polls, close a
// dropped connection and reconnect 5 s later.
#include "platform_app_agent.h"

#include "zel_control/log/zel_log.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

namespace platform_app {

std::shared_ptr<AgentLink> AgentLink::start(const char *module, std::vector<int> keys, agent_msg_handler_t handler)
{
    std::shared_ptr<AgentLink> link(new AgentLink(module, std::move(keys), handler));
    try {
        std::thread([link] { link->run(); }).detach();
    } catch (const std::system_error &e) {
        ZEL_LOGE(module, "cannot start the agent thread: %s", e.what());
        return nullptr;
    }
    return link;
}

void AgentLink::drop()
{
    const int fd = fd_.exchange(-1);
    if (fd < 0)
        return;
    stop_agent_client(fd, module_);
}

bool AgentLink::connect()
{
    const int fd = start_agent_client(module_);
    if (fd < 0) {
        ZEL_LOGW(module_, "agent server not reachable, retry in 5 s");
        return false;
    }
    if (register_key_module(fd, keys_.data(), static_cast<int>(keys_.size()), module_) != 0) {
        ZEL_LOGE(module_, "cannot register its message numbers, retry in 5 s");
        stop_agent_client(fd, module_);
        return false;
    }
    fd_ = fd;
    return true;
}

void AgentLink::run()
{
    pthread_setname_np(pthread_self(), module_);
    while (running_) {
        if (fd_ < 0 && !connect()) {
            for (int i = 0; i < 50 && running_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        struct pollfd pfd = {fd_, POLLIN, 0};
        const int n = poll(&pfd, 1, 100);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ZEL_LOGE(module_, "poll: %s", strerror(errno));
            drop();
            continue;
        }
        if (n == 0)
            continue;
        if (pfd.revents & POLLIN) {
            if (message_recv_handler(fd_, handler_) == -2) {
                ZEL_LOGW(module_, "agent server closed the connection");
                drop();
            }
        } else if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            ZEL_LOGW(module_, "agent connection failed, revents 0x%x", pfd.revents);
            drop();
        }
    }
    drop();
}

} // namespace platform_app
