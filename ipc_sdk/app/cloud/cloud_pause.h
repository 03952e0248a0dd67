// Pauses of the cloud upload side that end early when the recording context stops running.
#pragma once

#include <stdint.h>

#include "app/cloud/cloud_types.h"

// Waits `ms` (shortened by a test divisor) unless `rec` stops running first: true while it runs.
bool cloud_pause_ms(const cloud_record_state_t *rec, uint32_t ms);
// Wakes every pause so that it looks at the running flag again.
void cloud_pause_wake(void);
