// The peripheral library: status LEDs 1 and 2, keys, the IR-cut filter, lights (light 1 is the IR
// light) and the pan-tilt motor. Calls are synchronous and return 0 on success; completion, status and
// key callbacks come from the library's own threads.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Pan-tilt positions are 0 to 100 on each axis: x covers 355 degrees of pan, y 90 degrees of tilt.
typedef struct zel_ptz_point {
    int32_t x;
    int32_t y;
} zel_ptz_point_t;

// What a completion callback is told: a result code and where the head stands.
typedef struct zel_ptz_result {
    int32_t ret; // 0, or -1 when the command failed
    int32_t x;
    int32_t y;
} zel_ptz_result_t;

enum {
    ZEL_PTZ_CMD_STOP = 0,      // direction -1, no data (length 4)
    ZEL_PTZ_CMD_CALIBRATE = 1, // direction -1, zel_ptz_point_t: run to the end stops, then to the point
    ZEL_PTZ_CMD_GOTO = 3,      // direction -1, zel_ptz_point_t
    ZEL_PTZ_CMD_TURN = 4,      // a direction, no data: turn until stopped or at an end stop
    ZEL_PTZ_CMD_STEP = 5,      // a direction, degrees (s32)
};
// Directions: 0 pan negative, 1 pan positive, 2 tilt negative, 3 tilt positive.
enum { ZEL_PTZ_PAN_NEG = 0, ZEL_PTZ_PAN_POS = 1, ZEL_PTZ_TILT_NEG = 2, ZEL_PTZ_TILT_POS = 3 };
// Completion events.
enum {
    ZEL_PTZ_EVENT_STOPPED = 0, // ended by a stop or by the next command; the position is valid
    ZEL_PTZ_EVENT_ARRIVED = 1, // reached its target
    ZEL_PTZ_EVENT_LIMIT = 2,   // a turn reached an end stop
    ZEL_PTZ_EVENT_FAILED = 3,  // the motor failed; the position is not known
};
enum {
    ZEL_PTZ_PROP_SPEED = 1,     // s32 1 to 10, 4 bytes
    ZEL_PTZ_PROP_POSITION = 2,  // zel_ptz_point_t: the head stands there (nothing moves)
    ZEL_PTZ_PROP_FLIP = 3,      // s32 0 or 1: image upside down, directions reversed
    ZEL_PTZ_PROP_STATUS_CB = 4, // the data pointer is the zel_ptz_status_cb_t itself, length 1
};
enum { ZEL_PTZ_STATUS_STOPPED = 0, ZEL_PTZ_STATUS_RUNNING = 4 };

// `value` points to the command code of the command that completes.
typedef void (*zel_ptz_cb_t)(int event, zel_ptz_result_t *result, void *value);
typedef void (*zel_ptz_status_cb_t)(int status);
typedef void (*zel_key_cb_t)(int key, int event);

int zel_api_peripheral_init(void);

// A call with flag 1 takes the LED over: calls with flag 0 change nothing until
// zel_api_led_priority_set(0).
int zel_api_led_on(int led, int flag);
int zel_api_led_off(int led, int flag);
int zel_api_led_blink(int led, int on_ms, int off_ms, int times); // times 0: until the next call
int zel_api_led_priority_set(int priority);

int zel_api_key_funcb_set(int key, zel_key_cb_t callback); // key 0 is the reset key

int zel_api_ircut_switch(int on); // 1 filter in (day), 0 out (night)

int zel_api_light_enable(int light);
int zel_api_light_disable(int light);
int zel_api_light_brightness_set(int light, int percent);

int zel_api_ptz_control(int command, int direction, void *data, int length, zel_ptz_cb_t callback);
int zel_api_ptz_prop_set(int property, void *data, int length);

#ifdef __cplusplus
}
#endif
