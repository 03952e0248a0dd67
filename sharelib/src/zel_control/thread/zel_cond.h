// Condition variables on the monotonic clock, so that a step of the wall clock neither ends a timed
// wait early nor stretches it.
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// pthread_cond_init with CLOCK_MONOTONIC: 0 or an errno value.
int zel_cond_init_monotonic(pthread_cond_t *cond);
// Waits on a condition made by zel_cond_init_monotonic for at most `usec` (the mutex held):
// 0 when signalled (or woken spuriously), ETIMEDOUT when the time has passed.
int zel_cond_wait_for(pthread_cond_t *cond, pthread_mutex_t *mutex, int64_t usec);
// The same until an absolute time of the monotonic clock in microseconds.
int zel_cond_wait_until(pthread_cond_t *cond, pthread_mutex_t *mutex, int64_t monotonic_us);

#ifdef __cplusplus
}
#endif
