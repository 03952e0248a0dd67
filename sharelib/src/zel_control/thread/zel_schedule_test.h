// Test-only view of the schedule.
#pragma once

#include <stdint.h>

#include "zel_control/thread/zel_schedule.h"

#ifdef __cplusplus
extern "C" {
#endif

// The next fire time of the first entry with that user data, in microseconds (monotonic for delays
// and periods, else since 1970): 0, or -4 when no waiting entry has that user data.
int zel_schedule_peek_due(zel_schedule_t *schedule, void *user_data, int64_t *due);

#ifdef __cplusplus
}
#endif
