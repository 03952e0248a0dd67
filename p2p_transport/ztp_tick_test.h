// Test-only: replaces the transport's millisecond tick (ztp_tick_ms) with a clock of the test's own.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t (*ztp_tick_source)(void);
// NULL restores the monotonic clock.
void ztp_tick_set_source(ztp_tick_source source);

#ifdef __cplusplus
}
#endif
