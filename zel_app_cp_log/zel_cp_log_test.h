// Test-only control of the log-copy app: a shorter pause between its checks, and whether the card
// is taken as being formatted.
#pragma once

#include <chrono>

void cp_log_test_set_period(std::chrono::milliseconds period);
bool cp_log_test_formatting();
