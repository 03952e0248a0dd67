// The status app's states: the enter function of each state that has one, the LED patterns, the prompts
// and the SD-card prompt after binding.
#include "zel_status_internal.h"

#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"
#include "zel_sound_play.h"
#include "zel_control/utils/zel_system.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace status {

namespace {

enum { kLed1 = 1, kLed2 = 2 };

// A settings value of up to 7 characters as a number; `read` tells whether it was there.
int read_number(const char *key, bool *read)
{
    char value[8];
    memset(value, 0, sizeof value);
    *read = zel_api_db_get_value(key, value, sizeof value) == 0;
    return atoi(value);
}

void led_control_cloud_connected()
{
    ZEL_LOGE(kTag, "led_control_cloud_connected \n");
    bool led_read = false, power_read = false;
    const int led = read_number("NVM.IPC:led_status", &led_read);
    const int power = read_number("NVM.IPC:power", &power_read);
    if (!led_read && !power_read) {
        zel_api_led_off(kLed1, 0);
        zel_api_led_on(kLed2, 0);
    } else if (led == 0 || power == 0) {
        zel_api_led_off(kLed2, 0);
    } else if (led == 1 || power == 1) {
        zel_api_led_on(kLed2, 0);
    }
}

void led_control_on()
{
    ZEL_LOGE(kTag, "led_control_led_on \n");
    bool read = false;
    if (read_number("NVM.IPC:led_status", &read) == 0)
        zel_api_db_set_value("NVM.IPC:led_status", "1", 1, 1);
    const int power = read_number("NVM.IPC:power", &read);
    if (!read) {
        zel_api_led_off(kLed1, 0);
        zel_api_led_on(kLed2, 0);
    } else if (power == 0) {
        zel_api_led_off(kLed2, 0);
    } else if (power == 1) {
        zel_api_led_on(kLed2, 0);
    }
}

void status_init_enter()
{
    ipc_status_led_control(0);
    start_play_wait_connection();
    zel_ipc_state_set(STATUS_WAIT_NETWORK);
}

void status_recv_wifi_cfg_ok_enter()
{
    ZEL_LOGD(kTag, "%s enter %s()\n", kName, __func__);
    stop_play_wait_connection();
    stop_pincode_timer();
    if (bind_status_zero(__func__))
        play(kPromptConnecting);
    ipc_status_led_control(3);
    zel_ipc_state_set(STATUS_WIFI_CONNECTING);
    ZEL_LOGD(kTag, "%s exit %s()\n", kName, __func__);
}

void status_connect_wifi_ok_enter()
{
    if (bind_status_zero(__func__)) {
        play(kPromptWifiConnected);
        extend_bind_timeout();
    }
    zel_ipc_state_set(STATUS_WAIT_CLOUD);
}

void status_wifi_passwd_err_enter()
{
    play(kPromptWlanPasswdErr);
    stop_bind_timeout();
    zel_ipc_state_set(STATUS_INIT);
}

void status_online_prompt_enter()
{
    ipc_status_led_control(13);
    play(kPromptWaitDeviceOnline);
    stop_bind_timeout();
    stop_play_wait_connection();
    zel_ipc_state_set(STATUS_NORMAL);
}

void status_db_reset_enter()
{
    ipc_status_led_control(8);
    zel_api_db_reset();
    zel_ipc_state_set(STATUS_INIT);
}

void status_bind_timeout_enter()
{
    run_cmd("ifconfig wlan0 down", nullptr, 0);
    ipc_status_led_control(11);
    stop_play_wait_connection();
    start_binding_fail();
    zel_ipc_state_set(STATUS_BIND_FAILED);
}

void status_cloud_connected()
{
    ipc_status_led_control(13);
    if (!if_already_bind()) {
        stop_play_wait_connection();
        stop_bind_timeout();
        zel_api_db_set_value("NVM.IPC:bind_status", "1", 1, 1);
        zel_api_db_sync();
        play(kPromptWaitDeviceOnline);
        zel_sdcard_check_after_bind();
    }
    zel_ipc_state_set(STATUS_NORMAL);
}

// States that show an LED pattern and rest in state 20.
template <int kPattern> void led_and_normal_enter()
{
    ipc_status_led_control(kPattern);
    zel_ipc_state_set(STATUS_NORMAL);
}

void status_ota_enter()
{
    if (g_upgrade == 0) {
        ipc_status_led_control(15);
        g_upgrade = 1;
    }
}

void status_auto_ota_enter()
{
    g_upgrade = 1;
}

const std::array<enter_fn, STATUS_COUNT> kEnter = {
    status_init_enter,             // 0
    nullptr,                       // 1
    status_recv_wifi_cfg_ok_enter, // 2
    nullptr,                       // 3
    status_connect_wifi_ok_enter,  // 4
    status_wifi_passwd_err_enter,  // 5
    nullptr,                       // 6
    status_online_prompt_enter,    // 7
    status_db_reset_enter,         // 8
    status_key_reseting_enter,     // 9
    status_device_restart_enter,   // 10
    status_bind_timeout_enter,     // 11
    nullptr,                       // 12
    status_cloud_connected,        // 13
    led_and_normal_enter<14>,      // 14
    status_ota_enter,              // 15
    status_auto_ota_enter,         // 16
    led_and_normal_enter<17>,      // 17
    led_and_normal_enter<18>,      // 18
    led_and_normal_enter<19>,      // 19
    nullptr,                       // 20
};

} // namespace

std::atomic<int> g_upgrade{0};
std::atomic<int> g_resetting{0};
std::atomic<int> g_restarting{0};
std::atomic<int> g_intro_played{0};
std::atomic<int> g_sd_status{-1};
std::atomic<int> g_last_sd_prompt{0};

enter_fn state_enter(int state)
{
    return state >= 0 && state < STATUS_COUNT ? kEnter[state] : nullptr;
}

void play(int prompt)
{
    zel_api_sound_play_file(prompt);
}

bool bind_status_zero(const char *func)
{
    char bind_status[128];
    memset(bind_status, 0, sizeof bind_status);
    const int ret = zel_api_db_get_value("NVM.IPC:bind_status", bind_status, sizeof bind_status);
    ZEL_LOGD(kTag, "%s %s(),ret=%d,atoi(bind_status)=%d\n", kName, func, ret, atoi(bind_status));
    return ret == 0 && atoi(bind_status) == 0;
}

void ipc_status_led_control(int index)
{
    if (g_upgrade == 1) {
        ZEL_LOGI(kTag, " current_state is ota state, no need to change led status to %d  \n", index);
        return;
    }
    ZEL_LOGI(kTag, "%s %s():led control in %d state", kName, __func__, index);
    switch (index) {
    case 0:
    case 8:
    case 11:
        zel_api_led_off(kLed2, 0);
        zel_api_led_blink(kLed1, 100, 200, 0);
        break;
    case 3:
        zel_api_led_off(kLed1, 0);
        zel_api_led_blink(kLed2, 100, 200, 0);
        break;
    case 4:
        zel_api_led_off(kLed1, 0);
        zel_api_led_blink(kLed2, 100, 800, 0);
        break;
    case 9:
    case 10:
        zel_api_led_off(kLed2, 1);
        zel_api_led_on(kLed1, 1);
        break;
    case 13:
        led_control_cloud_connected();
        break;
    case 14:
        zel_api_led_off(kLed1, 0);
        zel_api_led_blink(kLed2, 4000, 1000, 0);
        break;
    case 15:
        zel_api_led_off(kLed2, 0);
        zel_api_led_blink(kLed1, 200, 800, 0);
        break;
    case 17:
    case 19:
        zel_api_led_off(kLed2, 1);
        zel_api_led_off(kLed1, 1);
        break;
    case 18:
        led_control_on();
        break;
    default:
        break;
    }
}

} // namespace status

using namespace status;

void zel_sdcard_check_after_bind(void)
{
    const int sd = g_sd_status;
    if (sd == 2 || sd == 3 || sd == 8 || sd == 9) {
        std::this_thread::sleep_for(scaled(0.1));
        ZEL_LOGI(kTag, "timer is active, ignore it");
        play(kPromptSdcardNotUsed);
    }
}
