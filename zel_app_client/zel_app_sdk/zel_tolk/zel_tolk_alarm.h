// Detection events of the camera application and the alarm state behind them: each client event type
// may become a device event for the phone app ("event_occured"), an SD event recording and a cloud
// clip, gated by the first key frame, the clock, the camera's power, the subscription, the switches,
// the motion-ignore and talk-back windows and the alarm interval. Intervals and windows run on the
// monotonic clock, so a step of the wall clock (the timer thread sets it from the server) moves no
// gate.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Client event types as the camera application pushes them.
enum {
    ZEL_TOLK_EVENT_MOTION = 0,
    ZEL_TOLK_EVENT_PEOPLE = 1,
    ZEL_TOLK_EVENT_LOUD = 2,
    ZEL_TOLK_EVENT_KEY_AREA = 6,
    ZEL_TOLK_EVENT_NO_HUMAN = 9,
};

// Milliseconds of the monotonic clock (64-bit, never 0: a stored 0 means "never").
uint64_t zel_tolk_now_ms(void);

// One detection event: 0, or -1 with " event data is NULL " for a NULL type or before start-up.
int zel_tolk_push_event_data(const int *event_type, int reserved);
// The device event of `type` through the property engine (types 7 and 8 first open a 5 s
// motion-ignore window); 0.
int send_if_event2ko(int type);
int zel_tolk_send_if_then_no_human(void);

// Setters of the alarm state: 0, or -1 with " zel_tolk_info is NULL " before start-up.
// Minutes between two cloud events of one kind for an account without subscription; outside
// 0..35791 (whose milliseconds no longer fit) -1 and the interval kept.
int zel_tolk_set_alarm_interval(int minutes);
// Kinds 0..7: motion, people, loud, pet start and end texts (at most 15 characters kept); a NULL text -1.
int zel_tolk_set_alarm_start_time(int kind, const char *text);
// Kind 0 cloud alarm and motion, 1 motion, 2 people, 3 loud sound, 4 pet (people events pass while
// either the people or the pet switch is on).
int zel_tolk_set_alarm_switch(int kind, int value);
// Opens the motion-ignore window for `seconds` from now.
int zel_tolk_set_ignore_time(int seconds);
// Opens the talk-back window for `seconds` from now: loud sound then reaches the SD card only.
int zel_tolk_set_loud_ignore_time(int seconds);
int zel_tolk_set_period_mode(int mode);
int zel_tolk_set_period_switch(int on);
// key_area_status, or -1 before start-up.
int zel_tolk_get_key_area_status(void);
int zel_tolk_set_key_area_status(int value);

#ifdef __cplusplus
}
#endif
