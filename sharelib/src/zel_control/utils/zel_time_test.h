// Test-only control of the core library's wall clock: a test replaces the source behind
// zel_time_now, time_t_milli, time_t_micro, get_local_time and the time-of-day readings of
// zel_clock.h, to set any date or step the clock. The monotonic clock and the host's clock are never
// touched.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Microseconds since 1970; NULL restores the system's realtime clock.
typedef int64_t (*zel_wall_source)(void);
void zel_time_set_wall_source(zel_wall_source source);

#ifdef __cplusplus
}
#endif
