// The manager's agent-bus module "mgr_app": key 17 ("set_dev_status") brings "cloud_connected", which
// creates the algorithm app when it is absent or abnormal. The receive loop is the apps' shared one.
#include "zel_app_agent_loop.h"
#include "zel_app_manager.h"

#include "zel_control/log/zel_log.h"

#include <pthread.h>

#include <cstring>

namespace {

constexpr const char *kTag = "mgr_app";
constexpr int kKeySetDevStatus = 17;

const int kKeys[] = {kKeySetDevStatus};
app_agent_module_t g_module = {kTag, "app_mgr", kKeys, 1, handle_app_mgr_message, nullptr, -1, nullptr};

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
    return app_agent_client_init(&g_module);
}

void _app_mgr_agent_client_deinit(void)
{
    app_agent_client_deinit(&g_module);
}

void *start_app_mgr_recv_from_agent_thread(void *)
{
    ZEL_LOGI(kTag, "start_app_mgr_recv_from_agent_thread start");
    pthread_setname_np(pthread_self(), kTag);
    app_agent_recv_loop(&g_module);
    return nullptr;
}
