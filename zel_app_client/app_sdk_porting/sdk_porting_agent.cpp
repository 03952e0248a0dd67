// The agent-bus module "sdk_porting": SD-card and speaker messages from the other apps, and the
// messages and requests the business layer sends to the camera application.
#include "app_sdk_porting/sdk_porting.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app_sdk_porting/zel_tolk_clock.h"
#include "zel_app_agent_loop.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "sdk_porting_app";
// The SD messages count only once the clock is past the start of 2019.
constexpr int64_t kClockValidS = 1546272000;

enum {
    kKeySdcardStatus = 15,
    kKeyReleaseOver = 18,
    kKeySpeakerStatus = 34,
    kKeyFormatStatus = 43,
    kKeySdcardMessage = 44,
};
enum { kMsgCloudStatus = 17, kMsgSetNightMode = 4, kMsgHotConfig = 22, kMsgTrackSwitch = 25, kMsgLogo = 26 };

const int kKeys[] = {15, 18, 27, 28, 29, 30, 22, 34, 43, 44};

pthread_mutex_t g_send_lock = PTHREAD_MUTEX_INITIALIZER;
app_agent_module_t g_module = {"sdk_porting", "sdk_porting", kKeys, 10, sdk_porting_handle_message,
                               sdkclient_module, -1, &g_send_lock};

std::atomic<int> g_sdcard_status{-1};

int int_param(const void *param)
{
    return *static_cast<const int32_t *>(param);
}

void report_sdcard_status(int status)
{
    char text[8];
    const int n = snprintf(text, sizeof text, "%d", status);
    zel_rpc_properties_change("sdcard_status", text, n < static_cast<int>(sizeof text) ? n : 7);
}

int request_text(int id, const char *text)
{
    if (!text)
        return -1;
    sdk_porting_report_message(id, text, nullptr, nullptr);
    return 0;
}

} // namespace

int _sdk_porting_agent_client_init(void)
{
    return app_agent_client_init(&g_module);
}

int sdk_porting_agent_client_init(void)
{
    _sdk_porting_agent_client_init();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const int ret = pthread_create(&sdk_porting_info_p->thread, &attr, sdk_porting_agent_recv_thread, nullptr);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        ZEL_LOGE(TAG, "create sdk_porting_agent_recv_thread err!");
        return -1;
    }
    return 0;
}

void sdk_porting_agent_client_deinit(void)
{
    app_agent_client_deinit(&g_module);
}

void *sdk_porting_agent_recv_thread(void *)
{
    pthread_setname_np(pthread_self(), "sdk_porting_age"); // thread names hold 15 characters
    ZEL_LOGI(TAG, "agent fd: %d", app_agent_client_fd(&g_module));
    ZEL_LOGI(TAG, "recv wired status");
    app_agent_recv_loop(&g_module);
    return nullptr;
}

int sdk_porting_handle_message(int cmd, const void *param)
{
    ZEL_LOGI(TAG, "cmd: %d", cmd & 0xff);
    switch (cmd & 0xff) {
    case kKeySdcardStatus: {
        if (!param)
            break;
        const int status = int_param(param);
        if (status == 10) {
            sdk_porting_set_sdcard_status(10);
            break;
        }
        g_sdcard_status.store(status);
        ZEL_LOGI(TAG, "cmd: %d g_sdcard_status:%d \n", cmd & 0xff, status);
        if (status == 1)
            report_sdcard_status(status);
        break;
    }
    case kKeyReleaseOver:
        ZEL_LOGI(TAG, "resource release over");
        break;
    case kKeySpeakerStatus:
        if (param) {
            ZEL_LOGI(TAG, "ux set speaker status :%s \n", static_cast<const char *>(param));
            set_speaker_status(static_cast<const char *>(param));
        } else {
            ZEL_LOGE(TAG, " set speaker status param error \n");
        }
        break;
    case kKeyFormatStatus:
        if (!param)
            break;
        if (int_param(param) > 0) {
            ZEL_LOGI(TAG, " sdcard format is done \n");
            _zel_local_set_format_status(1);
        } else {
            ZEL_LOGI(TAG, " sdcard format is start \n");
            _zel_local_set_format_status(0);
        }
        break;
    case kKeySdcardMessage:
        if (zel_tolk_wall_s() < kClockValidS) {
            ZEL_LOGW(TAG, " time is err, wait for correct time\n");
            break;
        }
        if (!param)
            break;
        ZEL_LOGI(TAG, " sdcard message:%d \n", int_param(param));
        g_sdcard_status.store(int_param(param));
        report_sdcard_status(int_param(param));
        break;
    default:
        break;
    }
    return 0;
}

int sdk_porting_report_message(int id, const void *payload, agent_request_cb_t callback, void *user)
{
    return app_agent_send(&g_module, id & 0xff, payload, callback, user);
}

int sdk_porting_push_cloud_connecting(void)
{
    return sdk_porting_report_message(kMsgCloudStatus, "cloud_connecting", nullptr, nullptr);
}

int sdk_porting_push_bind_failed(void)
{
    return sdk_porting_report_message(kMsgCloudStatus, "cloud_connect_failed", nullptr, nullptr);
}

int sdk_porting_request_hot_config(const char *text)
{
    return request_text(kMsgHotConfig, text);
}

int sdk_porting_request_track_switch(const char *text)
{
    return request_text(kMsgTrackSwitch, text);
}

int sdk_porting_request_logo_watermark(const char *text)
{
    return request_text(kMsgLogo, text);
}

int sdk_porting_request_set_night_mode(const char *text)
{
    if (!text)
        return -1;
    // Row 4 carries an int and reads four bytes at the payload: a shorter text must not be read past
    // its end, so its first bytes go into a zeroed int.
    int32_t value = 0;
    memcpy(&value, text, strnlen(text, sizeof value));
    sdk_porting_report_message(kMsgSetNightMode, &value, nullptr, nullptr);
    return 0;
}

int get_sdcard_status(void)
{
    return g_sdcard_status.load();
}

int _zel_tolk_client_get_sdcard_status(void)
{
    return g_sdcard_status.load();
}
