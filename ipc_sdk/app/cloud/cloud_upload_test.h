// Test-only controls of the cloud upload thread. Not for product code.
#pragma once

#include <stdint.h>

// Divides every pause of the upload side (its 50, 100 and 200 ms polls, the 1 s retries of the
// requests and the 10 s back-off) by `divisor`; 1 restores them.
void cloud_upload_test_set_pause_divisor(uint32_t divisor);
// The refresh margin r2 and the token margin r1 (s) of the running thread.
void cloud_upload_test_margins(uint32_t *r1, uint32_t *r2);
