// The porting hooks the SDK calls for the device's binding and network, the PIN code, P2P notices and
// payload encryption, and the cloud recorder's GOP.
#include "common/ko_porting_hooks.h"

#include <cstring>

#include "app_sdk_porting/sdk_porting.h"
#include "app_sdk_porting/zel_tolk_wifi.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace {

constexpr const char *TAG = "zel_tolk_porting";
constexpr int kMsgPin = 17;

int zel_tolk_show_pincode(const char *pin)
{
    if (!pin) {
        ZEL_LOGE(TAG, " pincode is null ");
        return -1;
    }
    ZEL_LOGI(TAG, " pincode is %s ", pin);
    if (zel_api_db_set_value("NVM.IPC:pincode", pin, static_cast<int>(strlen(pin)), 1) != 0)
        ZEL_LOGE(TAG, "set NVM.IPC:pincode failed");
    sdk_porting_report_message(kMsgPin, "pincode_start", nullptr, nullptr);
    return 0;
}

// The stream channel of a requested quality: its answer flag (1 served), the channel set when served.
int zel_tolk_video_quality_to_chn(int quality, int *channel)
{
    switch (quality) {
    case 0:
        *channel = 1;
        return 1;
    case 1:
    case 2:
        *channel = 0;
        return 1;
    case 3:
        *channel = 0;
        return 0;
    default:
        ZEL_LOGE(TAG, " quality invalid: %d,need your support ", quality);
        return 0;
    }
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

extern "C" int ko_ipc_wifi_reload(int level)
{
    ZEL_LOGE(TAG, "network is abnormal , level is %d ", level);
    return 0;
}

extern "C" int ko_ipc_wifi_connect_start(ko_wifi_connect_info *info)
{
    return zel_tolk_wifi_connect_start(info);
}

extern "C" int ko_ipc_wifi_info_get(ko_wifi_info *info)
{
    return zel_tolk_wifi_info_get(info);
}

extern "C" int ko_ipc_wifi_show_pin(const char *pin)
{
    return zel_tolk_show_pincode(pin);
}

extern "C" int ko_cloud_set_video_gop(int gop, int offset, int non_offset)
{
    ZEL_LOGI(TAG, " gop=%d, offset=%d, non_offset=%d ", gop, offset, non_offset);
    return 0;
}

extern "C" int ko_p2p_message_notice(ko_p2p_msg_notice *notice)
{
    if (!notice) {
        ZEL_LOGE(TAG, " param is null ");
        return -1;
    }
    ZEL_LOGI(TAG, " p2p message notice type:%d ", notice->type);
    if (notice->type == KO_P2P_NOTICE_VIDEO_QUALITY) {
        int channel = notice->channel;
        notice->answer = static_cast<uint16_t>(zel_tolk_video_quality_to_chn(notice->quality, &channel));
        notice->channel = static_cast<uint8_t>(channel);
        return 0;
    }
    if (notice->type < 0 || notice->type > 3)
        ZEL_LOGE(TAG, " type invalid: %d ", notice->type);
    return -1;
}

extern "C" int ko_p2p_encrypt_data(int length, uint8_t *, int)
{
    return length;
}

extern "C" int ko_p2p_decrypt_data(int length, uint8_t *, int)
{
    return length;
}
