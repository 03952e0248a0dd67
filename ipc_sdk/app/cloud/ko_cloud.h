// Cloud event recording: the service that cuts alarm clips with a snapshot from ring reader 1 and
// queues them for the upload thread. Started by the app-client library once the server time is
// valid.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*cloud_upload_cb)(uint32_t event_flags, int32_t event_word, int kind);

// 96 bytes on the 32-bit target (copied whole by ko_cloud_init).
typedef struct cloud_init_param_t {
    int32_t mode;          // 0: a VIP account records continuously; 1: event clips only
    char dir[64];          // clip directory; empty = "/tmp/"
    uint8_t check_people_motion;
    uint8_t check_face;
    uint8_t check_baby_cry;
    int32_t video_channel; // 0 = main video
    int32_t audio_channel; // 4
    uint32_t buffer_size;  // bytes; 0 = derived from the video channel's bit rate and buffered seconds
    int32_t auto_switch;   // 1 = automatic resolution switch
    cloud_upload_cb upload_cb;
} cloud_init_param_t;

// 36 bytes.
typedef struct cloud_alarm_config_t {
    uint16_t record_seconds; // 0 becomes 9; above 30 is refused
    uint16_t back_seconds;
    uint32_t schedule_on;
    int32_t interval;
    int32_t start_hour, start_minute, start_second;
    int32_t end_hour, end_minute, end_second;
} cloud_alarm_config_t;

typedef struct cloud_buffer_info_t {
    int32_t count;
    int32_t free_bytes;
    int32_t size;
} cloud_buffer_info_t;

// 0; -1 SDK not started; -5 null argument, a buffer under 921600 bytes or a clip directory too long
// for the clip paths; -4 clock before 2000; -3 clip list; -2 a thread.
int ko_cloud_init(const cloud_init_param_t *param);
int ko_cloud_deinit(void);
int ko_cloud_set_upload_switch(int on);
int ko_cloud_get_vip_status(char *out);
// 0; -1 before init; -5 null or invalid (hours outside 0-23, minutes or seconds outside 0-59,
// record seconds above 30, no main stream).
int ko_alarm_config_set(const cloud_alarm_config_t *config);
int ko_cloud_query_buffer(cloud_buffer_info_t *info);

#ifdef __cplusplus
}
#endif
