// The app object of one of our outside apps: allocated and freed here, with its agent link; the
// destroy hook stops the link, frees the object and forgets it.
#pragma once

#include "platform_app_agent.h"
#include "zel_app_object.h"

#include <memory>
#include <mutex>
#include <vector>

namespace platform_app {

class App {
public:
    App(int id, const char *module, std::vector<int> keys, agent_msg_handler_t handler)
        : id_(id), module_(module), keys_(std::move(keys)), handler_(handler)
    {
    }
    // Makes the app object and starts the agent link; NULL when one already runs or on failure.
    app_object_t *create();
    // Destroys the running app object through its invoke entry (0x400); -1 when none runs.
    int destroy();
    // The running link's descriptor for sending, or -1.
    int fd();

private:
    static int on_destroy(app_object_t *obj, int cmd, int a, int b, int c);
    struct Object {
        app_object_t base; // first: the manager sees an app_object_t
        App *owner;
    };

    const int id_;
    const char *module_;
    std::vector<int> keys_;
    agent_msg_handler_t handler_;
    std::mutex destroy_lock_; // one destruction at a time
    std::mutex lock_;
    Object *obj_ = nullptr;
    std::shared_ptr<AgentLink> link_;
};

} // namespace platform_app
