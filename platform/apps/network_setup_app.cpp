// The network-setup app: hands Wi-Fi credentials to the agent bus and ends itself once binding
// succeeded, which the manager hears as 0x500 with id 1.
#include "network_setup_app.h"

#include "platform_app_object.h"
#include "zel_control/log/zel_log.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kModule = "network_setup";
constexpr int kKeyWifiStart = 5;
constexpr int kKeySetBindStatus = 12;

int handle(int cmd, const void *params);

platform_app::App g_app(1, kModule, {kKeySetBindStatus}, handle);

int handle(int cmd, const void *params)
{
    if (cmd == kKeySetBindStatus && params && strcmp(static_cast<const char *>(params), "1") == 0) {
        ZEL_LOGI(kModule, "bound, network setup ends");
        g_app.destroy();
    }
    return 0;
}

} // namespace

app_object_t *network_setup_app_create(int)
{
    return g_app.create();
}

int network_set_bind_ok(int, int)
{
    ZEL_LOGI(kModule, "bind ok, network setup ends");
    return g_app.destroy() == 0 ? 0 : -1;
}

int zel_helper_send_ssid_passwd_msg(const char *ssid, const char *passwd, int, int)
{
    if (!ssid || !passwd || strlen(ssid) > 63 || strlen(passwd) > 63) {
        ZEL_LOGE(kModule, "zel_helper_send_ssid_passwd_msg: SSID or password missing or longer than 63");
        return -1;
    }
    const int fd = g_app.fd();
    if (fd < 0) {
        ZEL_LOGE(kModule, "zel_helper_send_ssid_passwd_msg: not on the agent bus");
        return -1;
    }
    agent_wifi_params_t wifi{};
    snprintf(wifi.ssid, sizeof wifi.ssid, "%s", ssid);
    snprintf(wifi.passwd, sizeof wifi.passwd, "%s", passwd);
    return send_request_api(kKeyWifiStart, &wifi, nullptr, nullptr, 0, fd);
}
