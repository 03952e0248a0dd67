// The app client's clocks, read in one place: the wall clock for what depends on the date (the
// clock-valid gates, windows shown to people) and the monotonic clock for durations. Both follow the
// SDK's clock, so tests move them with ko_time_set_wall_source and ko_time_set_tick_source
// (common/utils/ko_time_test.h); the host's clock is never touched.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Seconds since 1970.
int64_t zel_tolk_wall_s(void);
// Milliseconds of the monotonic clock.
uint64_t zel_tolk_tick_ms(void);

#ifdef __cplusplus
}
#endif
