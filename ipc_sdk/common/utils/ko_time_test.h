// Test-only control of the SDK's clocks: a test may replace the source behind the vexa_time_tick_*
// family (and everything that times out on it), and the wall clock behind vexa_time_get_* and
// vexa_time_realtime_ms (dates people see, names, expiry), with clocks of its own. The host's clock
// is never touched.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A monotonic source in microseconds; NULL restores the system's monotonic clock.
typedef uint64_t (*ko_tick_source)(void);
void ko_time_set_tick_source(ko_tick_source source);

// A wall-clock source in microseconds since 1970; NULL restores the system's realtime clock.
typedef uint64_t (*ko_wall_source)(void);
void ko_time_set_wall_source(ko_wall_source source);

#ifdef __cplusplus
}
#endif
