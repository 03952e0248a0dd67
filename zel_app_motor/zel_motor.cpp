// The motor start-up and the motor status callback. A stored position goes to the head as it is
// (the head stops where its travel ends); text that is not two numbers is never sent to it: the
// head goes to the middle, {50, 50}, instead.
#include "zel_motor.h"

#include "zel_algo.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_parse.h"
#include "zel_db/zel_db.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kTag = "ZEL_MOTOR";
constexpr zel_ptz_point_t kMiddle = {50, 50};

std::atomic<int> g_motor_running{0};

// The calibration's completion callback: nothing to do. Kept inside the program, apart from the
// client library's callback of the same name.
void motor_reset_callback(int, zel_ptz_result_t *, void *) {}

// The setting's text read into `size` bytes; "" when it cannot be read.
std::string setting(const char *key, size_t size)
{
    std::string value(size, '\0');
    if (zel_api_db_get_value(key, value.data(), static_cast<int>(size)) != 0)
        return "";
    value.resize(strlen(value.c_str()));
    return value;
}

void store_now(const char *key, const char *value)
{
    if (zel_api_db_set_value(key, value, static_cast<int>(strlen(value)), 1) != 0)
        ZEL_LOGE(kTag, "[%s %d] cannot store %s = %s\n", __func__, __LINE__, key, value);
}

// The position stored under `key` as `text`, or the middle (logged) when it is not one.
zel_ptz_point_t position(const char *key, const std::string &text)
{
    zel_ptz_point_t p = kMiddle;
    if (zel_parse_point(text.c_str(), &p.x, &p.y) != 0)
        ZEL_LOGE(kTag, "[%s %d] %s \"%s\" is not a position, using [%d,%d]\n", __func__, __LINE__, key, text.c_str(),
                 kMiddle.x, kMiddle.y);
    return p;
}

} // namespace

extern "C" {

int zel_motor_init(void)
{
    const std::string reset = setting("RAM.RUN:motor_reset", 8);
    ZEL_LOGI(kTag, "[%s][%d]current reset flag = %s", __func__, __LINE__, reset.c_str());
    const std::string auto_ota = setting("NVM.IPC:motor_auto_ota_flag", 8);
    ZEL_LOGI(kTag, "[%s][%d] last_auto_ota_flag = %s", __func__, __LINE__, auto_ota.c_str());
    const std::string motor = setting("NVM.IPC:motor", 16);

    char flip_text[16];
    memset(flip_text, 0, sizeof flip_text);
    if (zel_api_db_get_value("NVM.VIDEO:flip", flip_text, sizeof flip_text) != 0) {
        ZEL_LOGE(kTag, "[%s %d] cat't get %s value\n", __func__, __LINE__, "NVM.VIDEO:flip");
    } else {
        int32_t flip = atoi(flip_text);
        zel_api_ptz_prop_set(ZEL_PTZ_PROP_FLIP, &flip, sizeof flip);
    }

    zel_ptz_point_t target = motor.empty() ? kMiddle : position("NVM.IPC:motor", motor);
    const int auto_flag = atoi(auto_ota.c_str());
    if (atoi(reset.c_str()) != 0 || auto_flag != 0) {
        ZEL_LOGI(kTag, " no need to reset motor, set postiton %s to motor \n", motor.c_str());
        zel_api_ptz_prop_set(ZEL_PTZ_PROP_POSITION, &target, sizeof target);
        if (auto_flag == 1) {
            store_now("NVM.IPC:motor_auto_ota_flag", "0");
            ZEL_LOGI(kTag, "set last_auto_ota_flag to 0 \n");
            store_now("RAM.RUN:motor_reset", "1");
        }
    } else {
        const std::string sleep_motor = setting("NVM.IPC:sleep_motor", 16);
        if (atoi(setting("NVM.IPC:power", 16).c_str()) == 0 && atoi(setting("NVM.IPC:sleep_angle", 16).c_str()) != 0 &&
            sleep_motor.size() > 1)
            target = position("NVM.IPC:sleep_motor", sleep_motor);
        zel_api_ptz_control(ZEL_PTZ_CMD_CALIBRATE, -1, &target, sizeof target, motor_reset_callback);
        store_now("RAM.RUN:motor_reset", "1");
    }

    ZEL_LOGI(kTag, " set ptz status cb func \n");
    return zel_api_ptz_prop_set(ZEL_PTZ_PROP_STATUS_CB, reinterpret_cast<void *>(status_handle), 1);
}

void status_handle(int status)
{
    if (status == ZEL_PTZ_STATUS_STOPPED) {
        ZEL_LOGI(kTag, "[%s %d] ******************motor stoped*******************\n", __func__, __LINE__);
        g_motor_running = 0;
        zel_algo_set_motor_status(0);
    } else if (status == ZEL_PTZ_STATUS_RUNNING) {
        ZEL_LOGI(kTag, "[%s %d] ******************motor running*******************\n", __func__, __LINE__);
        g_motor_running = 1;
        zel_algo_set_motor_status(1);
    }
}

int motor_running_status_get(void)
{
    return g_motor_running;
}

} // extern "C"
