// The porting adapter between the camera application and the SDK: the client app object (app 4), the
// agent-bus module "sdk_porting", the record of client operations it binds (the shipped one is
// zel_tolk_client, the business layer) and the calls by which the business layer reaches the camera
// application. The frame and event pushes from the main program are in sdk_media_frame.h.
#pragma once

#include <stdint.h>
#include <pthread.h>

#include "sdk_media_frame.h"
#include "zel_app_agent_client/agent_client.h"
#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

// One client implementation's operations; the adapter only reads it.
typedef struct client_base_ops {
    const char *name;
    void *(*init)(void *holder);
    int (*deinit)(void *client_data);
    int (*push_stream_data)(void *client_data, sdk_media_frame_t *frame);
    int (*push_event_data)(void *client_data, int event_type);
} client_base_t;

// Holds the address of the operations record; allocated once, never freed.
typedef struct client_base_holder {
    const client_base_t *ops;
} client_base_holder_t;

typedef struct sdk_porting_info {
    // Stays -1: the connection lives in the agent module (sdk_porting_agent.cpp), behind the lock that
    // keeps a send off a descriptor the receive thread is closing or replacing.
    int32_t sock;
    pthread_t thread;
    // Published last, with release order: the media threads read it from the moment they run.
    void *client_data;
    client_base_holder_t *client_base;
    int32_t reserved;
} sdk_porting_info_t;

extern sdk_porting_info_t *sdk_porting_info_p;
extern app_object_t *g_client_mgr;
extern const client_base_t zel_tolk_client;

app_object_t *client_app_create(int arg);
int client_destory(app_object_t *obj, int cmd, int a, int b, int c);
int client_user_event(app_object_t *obj, int cmd, int a, int b, int c);

int sdk_porting_init(void);
int sdk_porting_deinit(void);
void *sdk_porting_sdk_init(void);
int sdk_porting_sdk_deinit(void);

client_base_holder_t *_client_base_auto_setup(const client_base_t *ops);
void *_client_base_client_init(client_base_holder_t *holder);
int _client_base_client_deinit(client_base_holder_t *holder, void *client_data);
int _client_base_push_stream_data(client_base_holder_t *holder, void *client_data, sdk_media_frame_t *frame);
int _client_base_push_event_data(client_base_holder_t *holder, void *client_data, int event_type);
client_base_holder_t *zel_tolk_client_setup(void);

// The agent-bus module.
int _sdk_porting_agent_client_init(void);
int sdk_porting_agent_client_init(void);
void sdk_porting_agent_client_deinit(void);
void *sdk_porting_agent_recv_thread(void *arg);
int sdk_porting_handle_message(int cmd, const void *param);

// Agent message `id` (int pointer or text as its row needs): 0, or -1 (also while reconnecting).
int sdk_porting_report_message(int id, const void *payload, agent_request_cb_t callback, void *user);
int sdk_porting_push_cloud_connecting(void);
int sdk_porting_push_bind_failed(void);
int sdk_porting_request_hot_config(const char *text);
int sdk_porting_request_track_switch(const char *text);
int sdk_porting_request_logo_watermark(const char *text);
int sdk_porting_request_set_night_mode(const char *text);
int sdk_porting_request_keyframe(int chn);
int sdk_porting_request_keyframe_all_chn(void);
int sdk_porting_set_sdcard_status(int status);
int sdk_porting_set_wifi_status(int status);
int sdk_porting_push_ssid_passwd(const char *ssid, const char *passwd, int a, int b);
int sdk_porting_push_bind_ok(int a, int b);
int get_sdcard_status(void);
int _zel_tolk_client_get_sdcard_status(void);
int sdk_porting_media_init(void);

// Placeholders kept for the callers that name them; each does nothing and gives 0.
int sd_poring_key_event(void);
int sdk_porting_request_playaudio(void);
int sdk_porting_request_switch_led(void);
int sdk_porting_request_format_sdcard(void);
int sdk_porting_request_sdcard_storage(void);
int sdk_porting_request_reboot_device(void);
int sdk_porting_request_factory_device(void);
int sdk_porting_request_device_status(void);
int sdk_porting_request_ota(void);
int sdk_porting_request_network_info(void);
int sdk_porting_set_network_info(void);
int sdk_porting_request_aiot_config(void);
int sdk_porting_request_motor_config(void);
int sdk_porting_set_qr_string(void);
int sdk_porting_set_wired_status(int status);
int set_speaker_status(const char *text);
int sdk_porting_media_deinit(void);

#ifdef __cplusplus
}
#endif
