// The status app's agent-bus module "IPC_STATUS": SD-card status and commands (15, 44, 42) and the
// device status sub-commands of message 17 from the other apps.
#include "zel_status_internal.h"

#include "zel_app_agent_loop.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"
#include "zelmar_main.h"

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <thread>

namespace status {

namespace {

enum { kKeySdcardStatus = 15, kKeyDevStatus = 17, kKeyReleaseOver = 18, kKeySdcardCmd = 42, kKeySdcardMessage = 44 };
constexpr double kOtaReleaseDelayS = 7;

const int kKeys[] = {kKeyDevStatus, kKeySdcardStatus, kKeySdcardCmd, kKeySdcardMessage};
pthread_mutex_t g_send_lock = PTHREAD_MUTEX_INITIALIZER;
app_agent_module_t g_module = {kTag, "ipc_status", kKeys, 4, handle_ipc_status_message, nullptr, -1, &g_send_lock};
std::atomic<bool> g_receiving{false};

int32_t int_param(const void *param)
{
    int32_t value = 0;
    if (param)
        memcpy(&value, param, sizeof value);
    return value;
}

void set_cloud_connected(int value)
{
    std::lock_guard<std::mutex> init(g_init_lock);
    g_cloud_connected = value;
}

void release_for_upgrade(const char *line)
{
    ZEL_LOGI(kTag, "%s", line);
    release_resource();
    broadcast_release_over();
}

void set_dev_status(const char *text)
{
    struct SubCommand {
        const char *name;
        void (*run)();
    };
    static const SubCommand kSubCommands[] = {
        {"wifi_ap_mode",
         [] {
             ipc_status_led_control(0);
             start_play_wait_connection();
         }},
        {"cloud_connecting",
         [] {
             set_cloud_connected(0);
             zel_ipc_state_set(STATUS_CLOUD_CONNECTING);
         }},
        {"wifi_connecting", [] { zel_ipc_state_set(STATUS_WIFI_CONFIG_OK); }},
        {"wifi_connected", [] { zel_ipc_state_set(STATUS_WIFI_CONNECTED); }},
        {"wifi_not_exist", [] { play(kPromptWifiConnectionFailed); }},
        {"cloud_connect_failed", [] { play(kPromptConnectCloudFail); }},
        {"cloud_connected",
         [] {
             set_cloud_connected(1);
             zel_ipc_state_set(STATUS_CLOUD_CONNECTED);
         }},
        {"qrcode_success", [] { play(kPromptQrcodeSuccess); }},
        {"qrcode_failed", [] { play(kPromptQrcodeFail); }},
        {"qrcode_ding", [] { play(kPromptQrcodeDing); }},
        {"dingding", [] { play(kPromptDingding); }},
        {"wifi_passwd_err", [] { play(kPromptWlanPasswdErr); }},
        {"dev_reboot", [] { zel_ipc_state_set(STATUS_RESTARTING); }},
        {"dev_reset", [] { zel_ipc_state_set(STATUS_RESETTING); }},
        {"start_ota",
         [] {
             zel_ipc_state_set(STATUS_OTA);
             play(kPromptOta);
             std::this_thread::sleep_for(scaled(kOtaReleaseDelayS));
             release_for_upgrade("start ota , relase resource \n");
         }},
        {"start_auto_ota",
         [] {
             zel_api_db_set_value("NVM.IPC:motor_auto_ota_flag", "1", 1, 1);
             zel_ipc_state_set(STATUS_AUTO_OTA);
             release_for_upgrade("start auto ota , relase resource \n");
         }},
        {"start_sleep",
         [] {
             zel_ipc_state_set(STATUS_SLEEP);
             zel_api_db_set_value("NVM.IPC:power", "0", 1, 1);
         }},
        {"stop_sleep",
         [] {
             zel_api_led_priority_set(0);
             zel_ipc_state_set(STATUS_CLOUD_CONNECTED);
             zel_api_db_set_value("NVM.IPC:power", "1", 1, 1);
         }},
        {"led_on",
         [] {
             zel_api_led_priority_set(0);
             zel_ipc_state_set(STATUS_LED_ON);
         }},
        {"led_off",
         [] {
             zel_ipc_state_set(STATUS_LED_OFF);
             zel_api_db_set_value("NVM.IPC:led_status", "0", 1, 1);
         }},
        {"pincode_start",
         [] {
             char pincode[8];
             memset(pincode, 0, sizeof pincode);
             zel_api_db_get_value("NVM.IPC:pincode", pincode, sizeof pincode);
             if (pincode[0]) {
                 ZEL_LOGI(kTag, " pincode:%s \n", pincode);
                 start_show_pincode(pincode);
             }
         }},
    };
    for (const SubCommand &sub : kSubCommands) {
        if (strncmp(text, sub.name, strlen(sub.name)) == 0) {
            sub.run();
            return;
        }
    }
    ZEL_LOGI(kTag, "unsupport sub cmd, cmd = %d , value = %s", kKeyDevStatus, text);
}

void sdcard_cmd(int value)
{
    ZEL_LOGI(kTag, " SET_SDCARD_CMD cmd:%d \n", value);
    if (zel_ipc_state_get() != STATUS_NORMAL)
        return;
    if (value == 1) {
        if (g_last_sd_prompt.exchange(1) != 1)
            play(kPromptSdcardIn);
    } else if (value == 2) {
        if (g_last_sd_prompt.exchange(2) != 2)
            play(kPromptSdcardOut);
    } else {
        play(kPromptSdcardNotUsed);
    }
}

void *start_ipc_status_recv_from_agent_thread(void *)
{
    pthread_setname_np(pthread_self(), "ipc_status_recv");
    ZEL_LOGI(kTag, "start_ipc_status_recv_from_agent_thread start");
    app_agent_recv_loop(&g_module);
    g_receiving = false;
    return nullptr;
}

} // namespace

void start_agent()
{
    // One connection and one receive thread per process: a later creation finds them serving.
    if (g_receiving.exchange(true))
        return;
    if (app_agent_client_init(&g_module) != 0)
        ZEL_LOGE(kTag, "start agent client fail");
    if (zel_thread_start_detached(start_ipc_status_recv_from_agent_thread, nullptr) != 0) {
        g_receiving = false;
        ZEL_LOGE(kTag, "start_ipc_status_recv_from_agent_thread err!");
    }
}

void broadcast_release_over()
{
    // The message's row carries text: the empty text stands for the value 0.
    app_agent_send(&g_module, kKeyReleaseOver, "", nullptr, nullptr);
}

} // namespace status

using namespace status;

int handle_ipc_status_message(int cmd, const void *param)
{
    ZEL_LOGI(kTag, "ipc_status app,recv cmd=%d", cmd & 0xff);
    switch (cmd) {
    case kKeySdcardStatus: {
        const int value = int_param(param);
        if (value != 10) {
            ZEL_LOGI(kTag, " sdcard message:%d \n", value);
            g_sd_status = value;
        }
        break;
    }
    case kKeySdcardMessage:
        ZEL_LOGI(kTag, " sdcard message:%d \n", int_param(param));
        g_sd_status = int_param(param);
        break;
    case kKeySdcardCmd:
        sdcard_cmd(int_param(param));
        break;
    case kKeyDevStatus:
        set_dev_status(param ? static_cast<const char *>(param) : "");
        break;
    default:
        break;
    }
    return 0;
}
