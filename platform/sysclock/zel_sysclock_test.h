// Test controls of the simulated system clock.
#pragma once

#include <sys/time.h>

#include <vector>

// Every accepted request since the last clear, oldest first.
std::vector<struct timeval> zel_sysclock_test_requests();
void zel_sysclock_test_clear();
// The next `times` requests fail with -1 and EPERM.
void zel_sysclock_test_fail(int times);
