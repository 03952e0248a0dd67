// The transport's one clock: 64-bit milliseconds of the monotonic clock, for every time-out, pacing
// and age in the transport (ztp_tick_test.h lets a test replace it).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int64_t ztp_tick_ms(void);

#ifdef __cplusplus
}
#endif
