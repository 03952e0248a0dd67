// Test controls of the timer thread. Not for product code.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Whether zel_tolk_create_timer_proc starts the thread (default 1).
void zel_tolk_timer_test_enable_thread(int enabled);
// The tick period in seconds (default 5).
void zel_tolk_timer_test_set_period(double seconds);
// Puts the module state back as at start: services pending, counters and flags cleared.
void zel_tolk_timer_test_reset(void);
// 1 while a timer thread runs its loop.
int zel_tolk_timer_test_running(void);

#ifdef __cplusplus
}
#endif
