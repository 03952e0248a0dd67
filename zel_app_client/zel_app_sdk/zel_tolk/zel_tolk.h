// The business layer behind the client operations record zel_tolk_client: its start-up (device
// information from the factory keys, SDK logger, SDK start, property engine, stream channels, audio
// codecs, OTA), its state record, the media path into the stream channels and the SDK's media and P2P
// callbacks.
#pragma once

#include <stdint.h>
#include <pthread.h>

#include "common/ko_ipc_sdk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct device_sdk_info {
    ko_ipc_sdk_param sdk_param;
    ko_log_param log_param;
    ko_audio_codec *audio_decoder;
    ko_audio_codec *audio_encoder;
    int32_t cloud_connected;    // atomic: written by the SDK's status callback, read by the timer thread
    int32_t wifi_connect_state; // 0 pending, 1 joined, 2 failed, 3 status 4 reported
} device_sdk_info_t;

typedef struct zel_tolk_info {
    uint32_t bind_ok;
    void *loop;          // the timer thread's libev loop (not started yet)
    void *status_async;  // its stop watcher
    void *net_status_timer;
    pthread_mutex_t mutex; // the alarm gates
    uint32_t power;        // atomic: 1 camera on, 0 off
    uint32_t cloud_detect_switch;
    int32_t alarm_interval_ms;
    uint32_t motion_switch;
    uint64_t motion_last_ms; // monotonic ms of the last motion the cloud took; 0 never
    char motion_start_time[16];
    char motion_end_time[16];
    uint32_t people_switch;
    uint64_t people_last_ms;
    char people_start_time[16];
    char people_end_time[16];
    uint32_t loud_switch;
    uint64_t loud_last_ms;
    char loud_start_time[16];
    char loud_end_time[16];
    uint32_t loud_ignore_secs;
    uint64_t loud_ignore_start; // monotonic ms (zel_tolk_now_ms); 0 never opened
    uint32_t pet_switch;
    char pet_start_time[16];
    char pet_end_time[16];
    uint32_t smart_care_switch;
    int32_t smart_care_mode;
    int32_t smart_care_in_window;
    uint32_t key_area_status;
    uint32_t first_key_frame; // atomic: the three fetch threads and the power switch
    uint32_t ignore_secs;
    uint64_t ignore_start; // monotonic ms (zel_tolk_now_ms); 0 never opened
    uint32_t motor_session; // written and read under `mutex`
    int32_t motor_cmd;
} zel_tolk_info_t;

// Start-up (every failure ends the process) and the deinit that only logs.
zel_tolk_info_t *zel_tolk_init(void);
int zel_tolk_deinit(void *client_data);
zel_tolk_info_t *zel_tolk_sdk_init(void);
int zel_sdk_init(void);
int _device_sdk_info_init(void);
device_sdk_info_t *get_device_info_pointer(void);
zel_tolk_info_t *get_zel_tolk_info_pointer(void);
int check_cloud_file(void);
int get_device_alarm_configration(zel_tolk_info_t *info);
// The text after "HALVORN_VERSION=" in /etc/os-release up to a newline, within `size`: 0 or -1.
int get_firmware_version(char *buffer, int size);
int zel_tolk_status_change_cb(const char *status);
int zel_tolk_stream_init(void);
void zel_tolk_req_key_frame_cb(int channel);
int _set_bind_wifi_status(int status);

// The media path: 0 taken or dropped by a gate, -1 on a failure.
int zel_tolk_push_media_data(int channel, const void *data, int length, int type, int key, int ignored,
                             uint64_t ts_ms, uint32_t seq);
int zel_tolk_media_push_data(int channel, const void *data, int length, int type, int key, int ignored,
                             uint64_t ts_ms, uint32_t seq);
int zel_tolk_media_get_snap_cb(int channel, void **buffer, int *length, uint8_t *flag);

// P2P.
int zel_tolk_p2p_init(void);
void zel_tolk_recv_audio_cb(ko_p2p_audio_frame *frame, uint32_t seq, int media_type);
void zel_tolk_audio_status_cb(int type, bool enable);
int zel_tolk_p2p_motor_cmd_cb(int session, int cmd, const char *data, int size);
int zel_tolk_send_ptz_info(const char *text, int length);
void _setup_device_track_switch(int status);
void _set_bind_status_ok(void);
int _get_bind_status(int *out);
int _set_request_keyframe(void);

#ifdef __cplusplus
}
#endif
