// Smart-care schedules: two schedules (mode 0 and mode 1) of up to nine daily windows ("clocks") each,
// with a weekday pattern or a one-shot flag, stored as JSON under "NVM.ALARM:smart_care_config0" and
// "...config1". Every 30 s the timer thread evaluates the schedule of the current mode: in mode 0 it
// opens and closes the window in which key-area events are reported, in mode 1 it reports "nobody
// seen" at the end of a window without a key-area event. One-shot clocks switch themselves off after
// their window, in the table and in the stored JSON.
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SMART_CARE_SCHEDULES = 2, SMART_CARE_CLOCKS = 9, SMART_CARE_DAYS = 7 };

// Statuses of one clock at a given minute.
enum {
    SMART_CARE_OUTSIDE = 0,
    SMART_CARE_INSIDE = 1,
    SMART_CARE_REPEAT_ENDED = 3,
    SMART_CARE_ONCE_ENDED = 4,
};

typedef struct smart_care_clock {
    uint8_t enable;
    int32_t repeat;                         // weekday mask as stored (bit 0 Sunday); 0 one-shot
    int32_t start_repeat[SMART_CARE_DAYS];  // index = weekday, 0 Sunday: the window may start that day
    int32_t end_repeat[SMART_CARE_DAYS];    // the window may end that day
    int32_t start_hour;
    int32_t start_min;
    int32_t end_hour;
    int32_t end_min;
    int32_t clock_idx; // the phone's identifier; -1 marks a free slot
} smart_care_clock_t;

typedef struct smart_care_config {
    smart_care_clock_t clock[SMART_CARE_SCHEDULES][SMART_CARE_CLOCKS];
    pthread_mutex_t *lock;
} smart_care_config_t;

// The table; read it under `lock`.
extern smart_care_config_t g_smart_care_config;

// Clears the table and loads both schedules from the settings: 0 (failures are logged).
int set_smart_care_clock_init(void);
// Replaces schedule `index` (0 or 1) from the JSON text {"clock":[...]} of `length` characters:
// 0 once parsed, -1 when refused. Clocks past the ninth are dropped (logged).
int smart_care_config_set(int index, const char *json, unsigned length);
// Sets "enable" to false for every stored clock of schedule `index` with that identifier: 0 or the
// failing result.
int smart_care_db_update_clock_switch(int index, int clock_idx);
// Fills the day flags from the weekday mask (bits 0 to 6; 0 means every day); -1 for NULL arrays.
int _zel_tolk_set_repeat_cnt(int repeat, int same_day, int32_t *start_repeat, int32_t *end_repeat);
// Status of one clock at the local time `now`.
int _check_smart_care_need_work(const smart_care_clock_t *clock, const struct tm *now);
// Evaluates schedule `mode` now: 1 while any enabled clock holds the present time, else the status
// of the last enabled clock (0 when none); -1 while the clock reads before 2019. In mode 1 a window
// end sends "nobody seen" once, unless a key-area event was seen since the window opened.
int zel_tolk_smart_care_need_work(int mode);
// The 30-second task of the timer thread: 0, or -1 before start-up.
int _check_device_period_task(void);
// 1 when the local time lies in the window of two "HH:MM:SS" texts, else 0.
int check_alarm_event_need_work(const char *start, const char *end);
// The local time as "%02d:%02d:00": 0, or -1 for a NULL buffer or size 0.
int format_current_clock(char *buffer, int size);

#ifdef __cplusplus
}
#endif
