// Test-only view of the IR-cut machine: its clock moved forward (the colour phase and the lock read
// it), and the state tests wait on.
#pragma once

#include <cstdint>

// Moves the machine's monotonic clock forward by `ms`.
void zel_ircut_test_advance_ms(int64_t ms);
bool zel_ircut_test_locked();
bool zel_ircut_test_people_flag();
int zel_ircut_test_night();
