// Monotonic condition variables.
#include "zel_control/thread/zel_cond.h"

#include <errno.h>
#include <time.h>

#include "zelmar/zel_clock.h"

extern "C" {

int zel_cond_init_monotonic(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

int zel_cond_wait_until(pthread_cond_t *cond, pthread_mutex_t *mutex, int64_t monotonic_us)
{
    if (monotonic_us < 0)
        monotonic_us = 0;
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(monotonic_us / 1000000);
    deadline.tv_nsec = static_cast<long>(monotonic_us % 1000000) * 1000;
    return pthread_cond_timedwait(cond, mutex, &deadline);
}

int zel_cond_wait_for(pthread_cond_t *cond, pthread_mutex_t *mutex, int64_t usec)
{
    return zel_cond_wait_until(cond, mutex, time_monotonic_us() + (usec > 0 ? usec : 0));
}

} // extern "C"
