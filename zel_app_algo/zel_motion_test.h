// Test-only view of motion tracking: its monotonic clock moved forward (the 100 ms between steps and
// the 5 s before the way back read it).
#pragma once

#include <cstdint>

void zel_motion_test_advance_ms(int64_t ms);
