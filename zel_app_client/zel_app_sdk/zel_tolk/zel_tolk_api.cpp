// The device settings operations that the alarm gates and the timer thread use.
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"

#include "app_sdk_porting/sdk_porting.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_control/log/zel_log.h"

namespace {
constexpr const char *TAG = "zel_tolk_api";
constexpr int kMsgSdcardCmd = 42;
} // namespace

int set_motion_event_ignore_time(int seconds)
{
    return zel_tolk_set_ignore_time(seconds);
}

int set_sdcard_cmd(void)
{
    ZEL_LOGI(TAG, " enter ");
    const int zero = 0;
    const int ret = sdk_porting_report_message(kMsgSdcardCmd, &zero, nullptr, nullptr);
    if (ret != 0) {
        ZEL_LOGE(TAG, "sdk_porting_report_message sdcard cmd fail ret:%d ", ret);
        return -1;
    }
    return 0;
}

int get_device_sdcard_status(void)
{
    return _zel_tolk_client_get_sdcard_status();
}

int set_rpc_properties_change(const char *name, const char *value, int length)
{
    return zel_rpc_properties_change(name, value, length);
}
