// Fuzz-side porting hooks (no-ops with fixed answers) and the one-time SDK set-up.
#include "ko_sdk_fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/ipc/ko_message.h"
#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"

void ko_fuzz_sdk_start()
{
    ko_log_param param{};
    param.level = KO_LOG_FATAL;
    param.output = KO_LOG_OUT_CONSOLE;
    if (ko_log_init(&param) != 0)
        std::fprintf(stderr, "ko_log_init failed\n");
    if (ko_message_init(nullptr) != 0)
        std::fprintf(stderr, "ko_message_init failed\n");
}

extern "C" int ko_rpc_receive(const char *msg, int len)
{
    return msg && len > 0 ? 0 : -1;
}

extern "C" int ko_ipc_on_error(int)
{
    return 0;
}

extern "C" int ko_ipc_wifi_mode_get(int *bound)
{
    if (!bound)
        return -1;
    *bound = 1;
    return 0;
}

extern "C" int ko_ipc_wifi_connect_start(ko_wifi_connect_info *info)
{
    return info ? 0 : -1;
}

extern "C" int ko_ipc_wifi_reload(int)
{
    return 0;
}

extern "C" int ko_ipc_wifi_info_get(ko_wifi_info *info)
{
    if (!info)
        return -1;
    std::memset(info, 0, sizeof *info);
    std::snprintf(info->ssid, sizeof info->ssid, "home");
    std::snprintf(info->bssid, sizeof info->bssid, "00:11:22:33:44:55");
    return 0;
}

extern "C" int ko_ipc_wifi_show_pin(const char *pin)
{
    // The real hook shows the text, so a null pin is a fault of the caller.
    if (!pin) {
        std::fprintf(stderr, "ko_ipc_wifi_show_pin: null pin\n");
        std::abort();
    }
    return std::strlen(pin) > 0 ? 0 : -1;
}

extern "C" int ko_ipc_on_bind(int)
{
    return 0;
}

extern "C" int ko_cloud_set_video_gop(int, int, int)
{
    return 0;
}
