// The porting record, the client-operation wrappers and the pushes from the main program. The media
// threads push from the moment app 6 runs, before app 4 exists: they see the client only once
// sdk_porting_init has published client_data (release here, acquire in the pushes), and nothing of
// the record is written after that.
#include "app_sdk_porting/sdk_porting.h"

#include <cstdlib>

#include "network_setup_app.h"
#include "zel_app_assert.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"
#include "zel_control/log/zel_log.h"
#include "zel_media.h"

namespace {

constexpr const char *TAG = "sdk_porting_app";

void *loaded_client_data()
{
    sdk_porting_info_t *info = __atomic_load_n(&sdk_porting_info_p, __ATOMIC_ACQUIRE);
    return info ? __atomic_load_n(&info->client_data, __ATOMIC_ACQUIRE) : nullptr;
}

} // namespace

sdk_porting_info_t *sdk_porting_info_p = nullptr;

client_base_holder_t *_client_base_auto_setup(const client_base_t *ops)
{
    if (!ops) {
        ZEL_LOGE(TAG, " client_operations is null \n");
        return nullptr;
    }
    auto *holder = static_cast<client_base_holder_t *>(calloc(1, sizeof(client_base_holder_t)));
    if (!holder) {
        ZEL_LOGE(TAG, "client_base malloc fail \n");
        return nullptr;
    }
    holder->ops = ops;
    return holder;
}

void *_client_base_client_init(client_base_holder_t *holder)
{
    if (!holder || !holder->ops || !holder->ops->init) {
        ZEL_LOGE(TAG, "_client_base_client_init fail \n");
        return nullptr;
    }
    return holder->ops->init(holder);
}

int _client_base_client_deinit(client_base_holder_t *holder, void *client_data)
{
    if (!holder || !holder->ops || !holder->ops->deinit || !client_data) {
        ZEL_LOGE(TAG, "_client_base_client_deinit fail \n");
        return -1;
    }
    const int ret = holder->ops->deinit(client_data);
    if (ret != 0)
        ZEL_LOGE(TAG, " _client_deinit fail \n");
    return ret;
}

int _client_base_push_stream_data(client_base_holder_t *holder, void *client_data, sdk_media_frame_t *frame)
{
    if (!holder || !holder->ops || !holder->ops->push_stream_data) {
        ZEL_LOGE(TAG, " _client_push_stream_data fail \n");
        return -1;
    }
    return holder->ops->push_stream_data(client_data, frame);
}

int _client_base_push_event_data(client_base_holder_t *holder, void *client_data, int event_type)
{
    if (!holder || !holder->ops || !holder->ops->push_event_data) {
        ZEL_LOGE(TAG, " _client_push_event_data fail \n");
        return -1;
    }
    return holder->ops->push_event_data(client_data, event_type);
}

int sdk_porting_init(void)
{
    auto *info = static_cast<sdk_porting_info_t *>(calloc(1, sizeof(sdk_porting_info_t)));
    ZEL_APP_ASSERT(info != 0);
    info->sock = -1;
    // The agent side reads the record from its own thread; client_data stays NULL until the end.
    __atomic_store_n(&sdk_porting_info_p, info, __ATOMIC_RELEASE);
    sdk_porting_agent_client_init();
    info->client_base = zel_tolk_client_setup();
    ZEL_APP_ASSERT(sdk_porting_info_p->client_base != NULL);
    void *client_data = sdk_porting_sdk_init();
    ZEL_APP_ASSERT(client_data != NULL);
    __atomic_store_n(&info->client_data, client_data, __ATOMIC_RELEASE);
    return 0;
}

int sdk_porting_deinit(void)
{
    ZEL_APP_ASSERT(sdk_porting_sdk_deinit() == 0);
    sdk_porting_agent_client_deinit();
    pthread_cancel(sdk_porting_info_p->thread);
    free(sdk_porting_info_p->client_base);
    free(sdk_porting_info_p);
    sdk_porting_info_p = nullptr;
    return 0;
}

void *sdk_porting_sdk_init(void)
{
    ZEL_APP_ASSERT(sdk_porting_info_p != NULL);
    ZEL_APP_ASSERT(sdk_porting_info_p->client_base != NULL);
    return _client_base_client_init(sdk_porting_info_p->client_base);
}

int sdk_porting_sdk_deinit(void)
{
    ZEL_APP_ASSERT(sdk_porting_info_p != NULL);
    ZEL_APP_ASSERT(sdk_porting_info_p->client_base != NULL);
    ZEL_APP_ASSERT(sdk_porting_info_p->client_data != NULL);
    return _client_base_client_deinit(sdk_porting_info_p->client_base, sdk_porting_info_p->client_data);
}

int sdk_porting_push_stream_data(sdk_media_frame_t *frame)
{
    void *client_data = loaded_client_data();
    if (!client_data || !frame || !sdk_porting_info_p->client_base)
        return 0;
    return _client_base_push_stream_data(sdk_porting_info_p->client_base, client_data, frame);
}

int sdk_porting_event_push(int event_type)
{
    void *client_data = loaded_client_data();
    if (!client_data || !sdk_porting_info_p->client_base)
        return 0;
    return _client_base_push_event_data(sdk_porting_info_p->client_base, client_data, event_type);
}

int sdk_porting_request_keyframe(int chn)
{
    return zel_req_IDR_one(chn);
}

int sdk_porting_request_keyframe_all_chn(void)
{
    return zel_req_IDR();
}

int sdk_porting_set_sdcard_status(int status)
{
    if (status == 10)
        zel_tolk_init_storage();
    return 0;
}

int sdk_porting_set_wifi_status(int status)
{
    return _set_bind_wifi_status(status);
}

int sdk_porting_push_ssid_passwd(const char *ssid, const char *passwd, int a, int b)
{
    return zel_helper_send_ssid_passwd_msg(ssid, passwd, a, b);
}

int sdk_porting_push_bind_ok(int a, int b)
{
    network_set_bind_ok(a, b);
    return -1;
}

int sdk_porting_media_init(void)
{
    ZEL_LOGD(TAG, "sdk_porting_media enter \n");
    return 0;
}

int sd_poring_key_event(void) { return 0; }
int sdk_porting_request_playaudio(void) { return 0; }
int sdk_porting_request_switch_led(void) { return 0; }
int sdk_porting_request_format_sdcard(void) { return 0; }
int sdk_porting_request_sdcard_storage(void) { return 0; }
int sdk_porting_request_reboot_device(void) { return 0; }
int sdk_porting_request_factory_device(void) { return 0; }
int sdk_porting_request_device_status(void) { return 0; }
int sdk_porting_request_ota(void) { return 0; }
int sdk_porting_request_network_info(void) { return 0; }
int sdk_porting_set_network_info(void) { return 0; }
int sdk_porting_request_aiot_config(void) { return 0; }
int sdk_porting_request_motor_config(void) { return 0; }
int sdk_porting_set_qr_string(void) { return 0; }
int sdk_porting_set_wired_status(int) { return 0; }
int set_speaker_status(const char *) { return 0; }
int sdk_porting_media_deinit(void) { return 0; }
