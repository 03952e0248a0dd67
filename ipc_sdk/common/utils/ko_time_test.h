// Test-only control of the SDK's monotonic clock: a test may replace the source behind the
// vexa_time_tick_* family (and everything that times out on it) with a clock of its own.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A monotonic source in microseconds; NULL restores the system's monotonic clock.
typedef uint64_t (*ko_tick_source)(void);
void ko_time_set_tick_source(ko_tick_source source);

#ifdef __cplusplus
}
#endif
