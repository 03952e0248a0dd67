// The pan-tilt bridge on the peripheral library's motor.
#include "app_sdk_porting/porting_ptz.h"

#include <cstdio>
#include <cstring>

#include "boardav.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace {

constexpr const char *TAG = "PORTING_PTZ";
constexpr const char *kMotorKey = "NVM.IPC:motor";

int motor_cmd_2_ptz_direction(int cmd)
{
    switch (cmd) {
    case 1:
        return ZEL_PTZ_PAN_POS;
    case 2:
        return ZEL_PTZ_PAN_NEG;
    case 3:
        return ZEL_PTZ_TILT_NEG;
    case 4:
        return ZEL_PTZ_TILT_POS;
    default:
        ZEL_LOGE(TAG, "set motor dir error, dir = %d ", cmd);
        return -1;
    }
}

bool in_range(int v)
{
    return v >= 0 && v <= 100;
}

void report(int event, int angle, int elevation, int ret)
{
    char text[64];
    const int n = snprintf(text, sizeof text, "{\"ret\":%d, \"angle\":%d,\"elevation\":%d}", ret, angle, elevation);
    ZEL_LOGI(TAG, "[zel_main]motor_result: event = %d , %s\n", event, text);
    zel_tolk_send_ptz_info(text, n);
}

void store_position(const zel_ptz_result_t *result, bool save_now)
{
    char text[32];
    const int n = snprintf(text, sizeof text, "[%d,%d]", result->x, result->y);
    zel_api_db_set_value(kMotorKey, text, n, save_now ? 1 : 0);
}

void position_text(const zel_ptz_result_t *result, char *text, size_t size)
{
    snprintf(text, size, "[%d,%d]", result->x, result->y);
}

} // namespace

int if_change_mic_gain = 0;

int ptz_control_turn(int cmd)
{
    ZEL_LOGI(TAG, "cmd:%d \n", cmd);
    const int direction = motor_cmd_2_ptz_direction(cmd);
    if (direction < 0)
        return -1;
    int32_t speed = 1;
    zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &speed, sizeof speed);
    // The gain goes down before the turn starts: the motor's callback may end the turn before the
    // control call returns, and it must find the flag that tells it to restore the gain.
    ZEL_LOGI(TAG, "start ptz , close mic gain\n");
    dorvi_set_mic_gain(0);
    __atomic_store_n(&if_change_mic_gain, 1, __ATOMIC_RELEASE);
    if (zel_api_ptz_control(ZEL_PTZ_CMD_TURN, direction, nullptr, 0, PTZ_control_callback) != 0 &&
        __atomic_exchange_n(&if_change_mic_gain, 0, __ATOMIC_ACQ_REL)) {
        ZEL_LOGW(TAG, "ptz turn refused, recover  mic gain\n");
        dorvi_set_mic_gain(1);
    }
    return 0;
}

int ptz_control_stop(void)
{
    return zel_api_ptz_control(ZEL_PTZ_CMD_STOP, -1, nullptr, 4, nullptr);
}

int ptz_control_reset(void)
{
    return ptz_control_reset_point(50, 50);
}

int ptz_control_reset_point(int x, int y)
{
    zel_ptz_point_t point = {x, y};
    return zel_api_ptz_control(ZEL_PTZ_CMD_CALIBRATE, -1, &point, sizeof point, motor_reset_callback);
}

int ptz_control_goto_point(int x, int y)
{
    char target[32];
    snprintf(target, sizeof target, "[%d,%d]", x, y);
    ZEL_LOGI(TAG, "ptz move to %s\n", target);
    char saved[32];
    memset(saved, 0, sizeof saved);
    zel_api_db_get_value(kMotorKey, saved, sizeof saved);
    ZEL_LOGI(TAG, "[%s][%d]last motor position = %s", __func__, __LINE__, saved);
    // An empty saved position compares equal: without a known position the head is not sent anywhere.
    if (strncmp(saved, target, strlen(saved)) == 0) {
        ZEL_LOGI(TAG, " gotopoint is same as Current position\xef\xbc\x8c no need to go");
        return 0;
    }
    zel_ptz_point_t point = {x, y};
    return zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &point, sizeof point, goto_point_callback);
}

int get_current_motor_position(int *x, int *y)
{
    char saved[33];
    memset(saved, 0, sizeof saved);
    zel_api_db_get_value(kMotorKey, saved, sizeof saved);
    return sscanf(saved, "[%d,%d]", x, y);
}

void PTZ_control_callback(int event, zel_ptz_result_t *result, void *)
{
    if (!result || event < ZEL_PTZ_EVENT_STOPPED || event > ZEL_PTZ_EVENT_FAILED)
        return;
    if (in_range(result->x) && in_range(result->y))
        report(event, 100 - result->x, 100 - result->y, result->ret);
    if (event != ZEL_PTZ_EVENT_FAILED) {
        char text[32];
        position_text(result, text, sizeof text);
        ZEL_LOGI(TAG, "motor_position = %s\n", text);
        store_position(result, false);
    }
    // A turn that failed has ended too: the microphone must not stay lowered after it.
    if (__atomic_exchange_n(&if_change_mic_gain, 0, __ATOMIC_ACQ_REL)) {
        ZEL_LOGI(TAG, "ptz end, recover  mic gain\n");
        dorvi_set_mic_gain(1);
    }
}

void goto_point_callback(int event, zel_ptz_result_t *result, void *)
{
    if (!result)
        return;
    if (in_range(result->x) && in_range(result->y))
        report(event, result->x, result->y, result->ret);
    if (event == ZEL_PTZ_EVENT_FAILED)
        return;
    char text[32];
    position_text(result, text, sizeof text);
    ZEL_LOGI(TAG, "set motor position = %s", text);
    store_position(result, true);
}

void motor_reset_callback(int event, zel_ptz_result_t *result, void *)
{
    if (!result || event == ZEL_PTZ_EVENT_FAILED)
        return;
    char text[32];
    position_text(result, text, sizeof text);
    ZEL_LOGI(TAG, "event:%d motor_position = %s\n", event, text);
    store_position(result, true);
}
