// The agent app: follows the camera state broadcasts ("local.status") on the agent bus.
#include "agent_app.h"

#include "platform_app_object.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *kModule = "agent_app";
constexpr int kKeyLocalStatus = 7;

int handle(int cmd, const void *params)
{
    if (cmd == kKeyLocalStatus)
        ZEL_LOGI(kModule, "camera state: %s", params ? static_cast<const char *>(params) : "");
    return 0;
}

platform_app::App g_app(5, kModule, {kKeyLocalStatus}, handle);

} // namespace

app_object_t *agent_app_create(int)
{
    return g_app.create();
}
