// The manager's agent-bus module "mgr_app": key 17 ("set_dev_status") brings "cloud_connected", which
// creates the algorithm app when it is absent or abnormal; the receive loop polls, reconnects every
// 5 s, retries interrupted polls and closes dropped connections.
#include "zel_app_manager.h"

#include "zel_app_agent_client/agent_client.h"
#include "zel_control/log/zel_log.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" int gs_zelmar_app_running;

namespace {

constexpr const char *kTag = "mgr_app";
constexpr int kKeySetDevStatus = 17;

int g_agent_fd = -1; // owned by the receive thread

} // namespace

int handle_app_mgr_message(int cmd, const void *value)
{
    ZEL_LOGI(kTag, "app_mgr app,recv cmd=%d", cmd & 0xff);
    if (cmd != kKeySetDevStatus)
        return 0;
    const char *text = static_cast<const char *>(value);
    if (!text)
        text = "";
    if (strncmp(text, "cloud_connected", 15) == 0) {
        const int ret = is_app_abnormal(APP_ID_ALGO);
        ZEL_LOGI(kTag, "is_app_abnormal(APP_ID_ALGO) = %d", ret);
        if (ret != 0) {
            ZEL_LOGI(kTag, "create_app_normal_status   \n");
            create_app_normal_status();
        }
    } else if (strncmp(text, "start_ota", 9) == 0) {
        // the status app prepares the upgrade
    } else {
        ZEL_LOGI(kTag, "unsupport sub cmd, cmd = %d , value = %s", cmd, text);
    }
    return 0;
}

int _app_mgr_agent_client_init(void)
{
    const int fd = start_agent_client(kTag);
    if (fd < 0) {
        ZEL_LOGE(kTag, "start agent client fail");
        g_agent_fd = -1;
        return -1;
    }
    g_agent_fd = fd;
    const int keys[] = {kKeySetDevStatus};
    // Unregistered, the connection would hang up at once: retry in 5 s rather than at once.
    if (register_key_module(fd, keys, 1, kTag) != 0) {
        ZEL_LOGE(kTag, "register key %d failed, fd=%d", kKeySetDevStatus, fd);
        _app_mgr_agent_client_deinit();
        return -1;
    }
    ZEL_LOGI(kTag, "start agent client succeed,fd=%d", fd);
    return 0;
}

void _app_mgr_agent_client_deinit(void)
{
    if (g_agent_fd > 0) {
        ZEL_LOGI(kTag, "app_mgr agent client close,fd=%d", g_agent_fd);
        stop_agent_client(g_agent_fd, kTag);
    }
    g_agent_fd = -1;
}

void *start_app_mgr_recv_from_agent_thread(void *)
{
    ZEL_LOGI(kTag, "start_app_mgr_recv_from_agent_thread start");
    pthread_setname_np(pthread_self(), kTag);
    g_agent_fd = -1;
    while (gs_zelmar_app_running) {
        if (g_agent_fd < 0) {
            ZEL_LOGW(kTag, "reconn agent server...\n");
            if (_app_mgr_agent_client_init() != 0) {
                sleep(5);
                continue;
            }
        }
        struct pollfd pfd = {g_agent_fd, POLLIN, 0};
        const int n = poll(&pfd, 1, 100);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ZEL_LOGE(kTag, "poll fd %d: %s, will reconnect", g_agent_fd, strerror(errno));
            _app_mgr_agent_client_deinit();
            sleep(5);
            continue;
        }
        if (n == 0)
            continue;
        if (pfd.revents & POLLIN) {
            if (message_recv_handler(g_agent_fd, handle_app_mgr_message) == -2) {
                ZEL_LOGE(kTag, "demo: recv error\n");
                _app_mgr_agent_client_deinit();
            }
        } else if (pfd.revents & POLLOUT) {
            ZEL_LOGE(kTag, "demo: POLLOUT\n");
        } else if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            ZEL_LOGE(kTag, "demo:POLLNVAL | POLLHUP | POLLERR,will close socket[%d]\n", g_agent_fd);
            _app_mgr_agent_client_deinit();
        }
    }
    _app_mgr_agent_client_deinit();
    return nullptr;
}
