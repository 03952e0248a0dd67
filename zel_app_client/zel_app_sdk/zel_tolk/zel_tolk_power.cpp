// set_power: the camera's sleep and wake-up. Asleep, the head goes to its sleep position (with
// tracking on it re-homes through it, so tracking starts from a known point), uploads stop, the
// channels take no frames and SD recording stops; awake, everything resumes and the head returns to
// where it was when the camera went to sleep.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_sdk_porting/porting_ptz.h"
#include "app_sdk_porting/sdk_porting.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace {

constexpr const char *TAG = "zel_tolk_power";
constexpr int kMsgDevStatus = 17;
constexpr int kSdModeStopped = 2;

// The value of `key` in `out`, empty when absent.
template <size_t N> void read_value(const char *key, char (&out)[N])
{
    memset(out, 0, N);
    zel_api_db_get_value(key, out, static_cast<int>(N));
}

// A stored "[x,y]": false (and the head left alone) unless both numbers are there.
bool parse_point(const char *text, int *x, int *y)
{
    return text[0] != '\0' && sscanf(text, "[%d,%d]", x, y) == 2;
}

int wake_up()
{
    int failed = sdk_porting_report_message(kMsgDevStatus, "stop_sleep", nullptr, nullptr);
    if (failed != 0)
        ZEL_LOGE(TAG, "sdk_porting_report_message sleep fail ret:%d ", failed);
    failed |= _zel_cloud_set_upload_switch(1);
    failed |= _ko_p2p_alive_enable();
    _setup_device_track_switch(1);
    _set_request_keyframe();
    char mode[16];
    read_value("NVM.SD:storage_mode", mode);
    _zel_local_storage_set_mode(0, atoi(mode));
    char angle[5];
    char position[33];
    read_value("NVM.IPC:sleep_angle", angle);
    read_value("NVM.default:motor_position", position);
    int x = 0, y = 0;
    if (atoi(angle) != 0 && parse_point(position, &x, &y))
        ptz_control_goto_point(x, y);
    ZEL_LOGI(TAG, " motor position = %s switch:%s ", position, angle);
    return failed != 0 ? -1 : 0;
}

int go_to_sleep()
{
    char track[5];
    char position[33];
    read_value("NVM.ALGO:track_switch", track);
    read_value("NVM.IPC:motor", position);
    if (position[0] != '\0') {
        const int ret = zel_api_db_set_value("NVM.default:motor_position", position,
                                             static_cast<int>(strlen(position)), 1);
        if (ret != 0)
            ZEL_LOGE(TAG, "save motor position fail ret:%d ", ret);
    }
    ptz_control_stop();
    char angle[5];
    char sleep_point[33];
    read_value("NVM.IPC:sleep_angle", angle);
    read_value("NVM.IPC:sleep_motor", sleep_point);
    int x = 0, y = 0;
    if (atoi(angle) != 0 && parse_point(sleep_point, &x, &y)) {
        if (atoi(track) == 0) {
            ptz_control_goto_point(x, y);
        } else {
            ZEL_LOGI(TAG, " ptz_control_reset start ");
            ptz_control_reset_point(x, y);
        }
    }
    ZEL_LOGI(TAG, " motor position = %s switch:%s ", position, angle);
    int failed = sdk_porting_report_message(kMsgDevStatus, "start_sleep", nullptr, nullptr);
    if (failed != 0)
        ZEL_LOGE(TAG, "sdk_porting_report_message sleep fail ret:%d ", failed);
    failed |= _zel_cloud_set_upload_switch(0);
    _setup_device_track_switch(0);
    _zel_local_storage_set_mode(0, kSdModeStopped);
    return failed != 0 ? -1 : 0;
}

} // namespace

int set_power(int on)
{
    ZEL_LOGI(TAG, " set_power switch:%d ", on);
    return on == 1 ? wake_up() : go_to_sleep();
}
