// The SDK's timer service: up to a fixed number of one-shot or periodic millisecond timers on the
// monotonic clock, whose callbacks run one after another on the thread "ko_timer".
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*ko_timer_callback)(int timer_id, void *user);

typedef struct ko_timer {
    uint32_t first_ms;    // first expiry; not 0 when adding (0 in ko_timer_mod disarms)
    uint32_t interval_ms; // period after the first expiry; 0 = one-shot
    void *user;
    ko_timer_callback callback;
} ko_timer;

int ko_timer_init(int capacity);
int ko_timer_deinit(void);
// The new timer's id (>= 0) or -1.
int ko_timer_add(const ko_timer *timer);
int ko_timer_mod(int timer_id, const ko_timer *timer);
// Safe from the timer's own callback. The timer does not fire again (a run already under way on
// the timer thread finishes).
int ko_timer_del(int timer_id);

#ifdef __cplusplus
}
#endif
