// The agent-bus side shared by our outside apps (agent, SD-card, network setup): a receive thread that
// joins the bus as a module, registers its message numbers, drains messages into the app's handler and
// reconnects every 5 s, until it is told to stop.
#pragma once

#include "zel_app_agent_client/agent_client.h"

#include <atomic>
#include <memory>
#include <vector>

namespace platform_app {

class AgentLink {
public:
    // Starts the thread; nullptr (logged) when it cannot be started.
    static std::shared_ptr<AgentLink> start(const char *module, std::vector<int> keys, agent_msg_handler_t handler);
    // Asks the thread to end; it closes its connection within 100 ms. Safe from the handler itself.
    void stop() { running_ = false; }
    // The current connection, or -1.
    int fd() const { return fd_; }

private:
    AgentLink(const char *module, std::vector<int> keys, agent_msg_handler_t handler)
        : module_(module), keys_(std::move(keys)), handler_(handler)
    {
    }
    void run();
    // Joins the bus and registers the keys; false (logged) when either fails.
    bool connect();
    void drop();

    const char *module_;
    std::vector<int> keys_;
    agent_msg_handler_t handler_;
    std::atomic<bool> running_{true};
    std::atomic<int> fd_{-1};
};

} // namespace platform_app
