// The detection library: motion, people and other detections on the video, reported through the
// event callback (one 40-byte record per detection) and, for the head's tracking, the angle callback.
// Parameters may be set before the library starts; it keeps the last value of each.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One detection: its code, then the object's rectangle in the detection picture (320 x 192).
typedef struct zel_algo_event {
    int32_t code;
    int32_t x1;
    int32_t y1;
    int32_t x2;
    int32_t y2;
    int32_t reserved[5];
} zel_algo_event_t;

// Where a moving object lies from the picture's centre, in degrees.
typedef struct zel_algo_angle {
    int32_t kind; // not read
    int32_t h;
    int32_t v;
} zel_algo_angle_t;

typedef void (*zel_algo_event_cb_t)(const zel_algo_event_t *event);
typedef void (*zel_algo_angle_cb_t)(const zel_algo_angle_t *angle);

enum {
    ZEL_ALGO_PARAM_HUMAN_SENSITIVITY = 6, // s32, 4 bytes
    ZEL_ALGO_PARAM_MOTION_SENSITIVITY = 7, // s32, 4 bytes
    ZEL_ALGO_PARAM_HUMAN_REGION = 10,      // JSON text, its string length
    ZEL_ALGO_PARAM_MOTION_REGION = 11,     // JSON text, its string length
    ZEL_ALGO_PARAM_KEY_AREA = 12,          // four floats x1, y1, x2, y2, 16 bytes
    ZEL_ALGO_PARAM_MOTOR_STATUS = 13,      // s32 1 running, 0 stopped, 4 bytes
};

// Starts detecting; the callbacks run on the library's own thread until zel_api_algo_deinit. 0, 0
// for a library that runs already (its callbacks stay), -1 for a null event callback or a thread
// that cannot start. The angle callback may be null.
int zel_api_algo_init(zel_algo_event_cb_t event_cb, zel_algo_angle_cb_t angle_cb);
// Sets parameter `id` from `length` bytes at `data`: 0, or -1 (logged) for an unknown id or a length
// that does not fit it.
int zel_api_algo_set_param(int id, const void *data, int length);
// Stops detecting; returns once no callback runs. 0.
int zel_api_algo_deinit(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(zel_algo_event_t) == 40, "the detection record is 40 bytes");
static_assert(sizeof(zel_algo_angle_t) == 12, "the angle record is three s32");
#endif
