// The schedule: callbacks fired at relative, periodic or calendar times by a thread of its own,
// directly or as work items of a thread pool. Delays and periods run on the monotonic clock;
// one-time and calendar entries on the wall clock (zel_time_now), which the thread re-reads at least
// once a second, so that they follow a step of the clock.
#pragma once

#include <stdint.h>

#include "zel_control/thread/zel_thread_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_schedule zel_schedule_t;
typedef void (*zel_schedule_fn)(zel_schedule_t *schedule, void *user_data);

// Kinds and what their 64-bit microsecond value means.
enum {
    ZEL_SCHEDULE_ONETIME = 0,  // a local date and time (zel_schedule_register_onetime)
    ZEL_SCHEDULE_DELAY = 1,    // once, the value after registration (>= 0)
    ZEL_SCHEDULE_PERIOD = 2,   // every value (> 0), counted from registration
    ZEL_SCHEDULE_MINUTE = 3,   // an offset within each local minute (0 <= value < 1 minute)
    ZEL_SCHEDULE_HOUR = 4,     // within each hour
    ZEL_SCHEDULE_DAY = 5,      // within each local day
    ZEL_SCHEDULE_WEEK = 6,     // within each local week, which starts on Sunday
};

enum { ZEL_SCHEDULE_MAX_ENTRIES = 32 };

// A schedule with its thread running, or null.
zel_schedule_t *zel_schedule_create(void);
// 0; -2 for a null schedule or callback, a kind other than 1 to 6 or a value out of its range; -21
// when the schedule holds 32 entries.
int zel_schedule_register(zel_schedule_t *schedule, int kind, int64_t value, zel_schedule_fn callback,
                          void *user_data);
// Once at a local time: 0, -2, -21, or -31 when that time is before now.
int zel_schedule_register_onetime(zel_schedule_t *schedule, int year, int month, int day, int hour, int minute,
                                  int second, zel_schedule_fn callback, void *user_data);
// Removes the first entry with that user data, if any; a callback of it that runs now is its last.
// 0, -2 for null.
int zel_schedule_cancel(zel_schedule_t *schedule, void *user_data);
// Moves the entry with that user data to the time after its next one (a one-time entry ends):
// 0, -4 when no entry has that user data, -2 for null.
int zel_schedule_skip_next(zel_schedule_t *schedule, void *user_data);
int zel_schedule_get_count(zel_schedule_t *schedule);
// Callbacks then run as work items of the pool (which must outlive the schedule).
void zel_schedule_timer_set_pool(zel_schedule_t *schedule, zel_thread_pool_t *pool);
// Ends the thread, waits for callbacks in progress, frees every entry and the schedule.
void zel_schedule_release(zel_schedule_t *schedule);

#ifdef __cplusplus
}
#endif
