// The porting hooks the SDK calls for the device's binding and network. The Wi-Fi join, the network
// information and the PIN code are not built yet: they refuse with a log line.
#include "common/ko_porting_hooks.h"

#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_control/log/zel_log.h"

namespace {
constexpr const char *TAG = "zel_tolk_porting";

int not_built(const char *hook)
{
    ZEL_LOGE(TAG, "%s is not part of this build", hook);
    return -1;
}
} // namespace

extern "C" int ko_ipc_on_error(int)
{
    ZEL_LOGE(TAG, " zel_tolk run error ,will exit");
    return 0;
}

extern "C" int ko_ipc_wifi_mode_get(int *bound)
{
    int status = 0;
    if (!bound || _get_bind_status(&status) != 0) {
        ZEL_LOGE(TAG, "_get_bind_status fail ...");
        return -1;
    }
    *bound = status ? 1 : 0;
    ZEL_LOGI(TAG, "_get_bind_status :%d ", *bound);
    return 0;
}

extern "C" int ko_ipc_on_bind(int status)
{
    ZEL_LOGI(TAG, " bind_status=%d ", status);
    return 0;
}

extern "C" int ko_cloud_set_video_gop(int gop, int offset, int non_offset)
{
    ZEL_LOGI(TAG, " gop=%d, offset=%d, non_offset=%d ", gop, offset, non_offset);
    return 0;
}

extern "C" int ko_ipc_wifi_reload(int level)
{
    ZEL_LOGE(TAG, "network is abnormal , level is %d ", level);
    return 0;
}

extern "C" int ko_ipc_wifi_connect_start(ko_wifi_connect_info *)
{
    return not_built("ko_ipc_wifi_connect_start");
}

extern "C" int ko_ipc_wifi_info_get(ko_wifi_info *)
{
    return not_built("ko_ipc_wifi_info_get");
}

extern "C" int ko_ipc_wifi_show_pin(const char *)
{
    return not_built("ko_ipc_wifi_show_pin");
}
