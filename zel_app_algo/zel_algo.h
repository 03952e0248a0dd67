// The algorithm app (app 8, module "ZEL_ALGO"): detections from the detection library turned into
// client events, the alarm settings applied to the detection library and the board, the power
// (privacy sleep) status that gates events and the IR-cut worker, and the agent messages of the
// phone-facing apps.
#pragma once

#include "zel_app_object.h"
#include "zel_detection.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A setter of a stored setting: takes the stored text ("" when absent).
typedef int (*zel_algo_text_setter_t)(const char *text);

typedef struct algo_event_map {
    int32_t code;       // detection code
    int32_t event_type; // client event type
} algo_event_map_t;

typedef struct algo_db_row {
    char key[64];
    zel_algo_text_setter_t setter;
} algo_db_row_t;

// Detection code -> client event type, searched in row order.
extern algo_event_map_t map[8];
// The alarm settings applied once at start.
extern algo_db_row_t algo_db_get[4];

app_object_t *algo_app_create(int arg);
// The start sequence (run on the init thread): 0, or -1 when the IR-cut worker cannot start.
int zel_algo_init(void);
// Stops detection and the workers; 0.
int zel_algo_finish(void);

int get_power_status(void);
// 1 wakes the camera (IR-cut worker started), 0 puts it to sleep (worker stopped, events dropped).
int set_zel_algo_power_status(int status);

// The detection library's event callback, also used by the IR-cut and cry workers.
void zel_algo_trigger_event_send(const zel_algo_event_t *event);
int zel_algo_set_motor_status(int status);
int set_hack_light_info(int light_mode);

int sync_algo_fullcolor(const char *text);
int sync_algo_track_switch(const char *text);
int sync_algo_night_mode(const char *text);

int zel_algo_set_motion_prop(const char *text);
int zel_algo_set_human_prop(const char *text);
int zel_algo_set_voice_prop(const char *text);
int zel_algo_set_smart_care_prop(const char *text);
int zel_algo_set_hack_alarm_info(const char *text);
// Applies every row of algo_db_get from the settings; the last read's result.
int zel_algo_db_get_init(void);

int handle_img_algo_message(int cmd, const void *param);
int _zel_algo_agent_client_init(void);
void _img_algo_agent_client_deinit(void);
void *start_img_algo_recv_from_agent_thread(void *arg);

#ifdef __cplusplus
}
#endif
