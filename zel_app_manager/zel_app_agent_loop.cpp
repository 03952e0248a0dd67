// The app modules' agent connection and receive loop. An interrupted poll is retried; any other poll
// failure drops the connection and reconnects after the 5-s pause, so a module never stops listening.
#include "zel_app_agent_loop.h"

#include "zel_control/log/zel_log.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" int gs_zelmar_app_running;

namespace {

constexpr unsigned kReconnectPauseS = 5;
constexpr int kPollMs = 100;

void set_fd(app_agent_module_t *module, int fd)
{
    __atomic_store_n(&module->fd, fd, __ATOMIC_RELEASE);
}

// The module's lock, when it has one, for the life of a scope.
class ModuleLock {
public:
    explicit ModuleLock(app_agent_module_t *module) : lock_(module->lock)
    {
        if (lock_)
            pthread_mutex_lock(lock_);
    }
    ~ModuleLock()
    {
        if (lock_)
            pthread_mutex_unlock(lock_);
    }
    ModuleLock(const ModuleLock &) = delete;
    ModuleLock &operator=(const ModuleLock &) = delete;

private:
    pthread_mutex_t *lock_;
};

} // namespace

int app_agent_client_init(app_agent_module_t *module)
{
    const int fd = start_agent_client(module->name);
    if (fd < 0) {
        ZEL_LOGE(module->name, "start agent client fail");
        set_fd(module, -1);
        return -1;
    }
    set_fd(module, fd);
    // Unregistered, the connection would hang up at once: retry after the pause rather than at once.
    if (module->announce && module->announce(fd) != 0) {
        ZEL_LOGE(module->name, "announcing the module failed, fd=%d", fd);
        app_agent_client_deinit(module);
        return -1;
    }
    if (register_key_module(fd, module->keys, module->key_count, module->name) != 0) {
        ZEL_LOGE(module->name, "register %d keys failed, fd=%d", module->key_count, fd);
        app_agent_client_deinit(module);
        return -1;
    }
    ZEL_LOGI(module->name, "start agent client succeed,fd=%d", fd);
    return 0;
}

void app_agent_client_deinit(app_agent_module_t *module)
{
    ModuleLock guard(module);
    const int fd = module->fd;
    if (fd > 0) {
        ZEL_LOGI(module->name, "%s agent client close,fd=%d", module->log_name, fd);
        stop_agent_client(fd, module->name);
    }
    set_fd(module, -1);
}

int app_agent_send(app_agent_module_t *module, int cmd, const void *params, agent_request_cb_t callback, void *user)
{
    ModuleLock guard(module);
    const int fd = module->fd;
    if (fd < 0) {
        ZEL_LOGE(module->name, "no agent connection, message %d not sent", cmd & 0xff);
        return -1;
    }
    return send_request_api(cmd & 0xff, params, callback, user, 0, fd);
}

int app_agent_client_fd(const app_agent_module_t *module)
{
    return __atomic_load_n(&module->fd, __ATOMIC_ACQUIRE);
}

void app_agent_recv_loop(app_agent_module_t *module)
{
    // A connection the module made before its thread started is used, not leaked.
    while (gs_zelmar_app_running) {
        if (module->fd < 0) {
            ZEL_LOGW(module->name, "reconn agent server...\n");
            if (app_agent_client_init(module) != 0) {
                sleep(kReconnectPauseS);
                continue;
            }
        }
        struct pollfd pfd = {module->fd, POLLIN, 0};
        const int n = poll(&pfd, 1, kPollMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ZEL_LOGE(module->name, "poll fd %d: %s, will reconnect", module->fd, strerror(errno));
            app_agent_client_deinit(module);
            sleep(kReconnectPauseS);
            continue;
        }
        if (n == 0)
            continue;
        if (pfd.revents & POLLIN) {
            if (message_recv_handler(module->fd, module->handler) == -2) {
                ZEL_LOGE(module->name, "demo: recv error\n");
                app_agent_client_deinit(module);
            }
        } else if (pfd.revents & POLLOUT) {
            ZEL_LOGE(module->name, "demo: POLLOUT\n");
        } else if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            ZEL_LOGE(module->name, "demo:POLLNVAL | POLLHUP | POLLERR,will close socket[%d]\n", module->fd);
            app_agent_client_deinit(module);
        }
    }
    app_agent_client_deinit(module);
}
