// Wall-clock, monotonic and time-of-day readings, and timerfd timers on the monotonic clock. The
// wall-clock readings follow the core library's wall-clock source (zel_time.h).
#pragma once

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// The local broken-down time of *t (reentrant); `out`, or null for null arguments.
struct tm *time_utc2local(const time_t *t, struct tm *out);
// Whole seconds of the coarse monotonic clock.
long time_monotonic(void);
// Milliseconds / microseconds of the monotonic clock, for deadlines and time-outs.
int64_t time_monotonic_ms(void);
int64_t time_monotonic_us(void);
// Wall-clock milliseconds since 1970.
uint64_t time_realtime_ms(void);
// Milliseconds / microseconds since local midnight.
int time_current_day_ms(void);
int64_t time_current_day_us(void);
// time_monotonic(), with a deprecation notice on stderr.
long timestamp(void);
// Seconds since boot; aborts when the kernel does not tell.
long time_uptime(void);
// A non-blocking, close-on-exec timerfd on the monotonic clock (deprecation notice on stderr), or -1.
int timer_setup(void);
// Arms `fd`: first expiry after first_ms (0: at once), then every interval_ms (0: once). 0 or -1.
int timer_start(int fd, int first_ms, int interval_ms);
// 1 when the local time of day in minutes lies in [start_min, end_min], the window wrapping over
// midnight when start_min > end_min; else 0.
int check_current_between_time(int start_min, int end_min);

#ifdef __cplusplus
}
#endif
