// Ring locks.
#include "zel_ring_lock.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include "zel_sharemem.h"

namespace zel_ring {

namespace {

constexpr int64_t kSpinUs = 200;

} // namespace

int mutex_init(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int cond_init(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

int mutex_lock(pthread_mutex_t *mutex, int timeout_ms, const char *dead_line)
{
    int rc;
    if (timeout_ms < 0) {
        rc = pthread_mutex_lock(mutex);
    } else {
        // Polled with try-lock on the monotonic clock: a bounded wait that no clock step moves, and
        // one whose recovery from a dead holder every sanitizer follows.
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        while ((rc = pthread_mutex_trylock(mutex)) == EBUSY) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            int64_t waited_us = (now.tv_sec - start.tv_sec) * 1000000LL + (now.tv_nsec - start.tv_nsec) / 1000;
            if (waited_us >= timeout_ms * 1000LL)
                return -1;
            // A reader holds the lock for one frame's copy: yield through that, sleep past it.
            if (waited_us < kSpinUs)
                sched_yield();
            else
                usleep(20);
        }
    }
    if (rc == 0)
        return 0;
    if (rc == EOWNERDEAD) {
        fputs(dead_line, stderr);
        pthread_mutex_consistent(mutex);
        return 1;
    }
    return -1;
}

void mutex_unlock(pthread_mutex_t *mutex) { pthread_mutex_unlock(mutex); }

int record_lock(int fd, bool exclusive, int timeout_ms)
{
    for (int waited_us = 0;; waited_us += 250) {
        int rc = exclusive ? zel_process_rwlock_trywrlock(fd) : zel_process_rwlock_tryrdlock(fd);
        if (rc == 0)
            return 0;
        if (waited_us >= timeout_ms * 1000)
            return -1;
        usleep(250);
    }
}

void record_unlock(int fd) { zel_process_rwlock_unlock(fd); }

bool create(void *block, int size, int capacity, Kind kind, View *out)
{
    if (size <= 0 || capacity <= 0 ||
        !format(static_cast<uint8_t *>(block), static_cast<size_t>(size), static_cast<uint32_t>(capacity), kind, out)) {
        fprintf(stderr, "data size insufficient\n");
        return false;
    }
    return mutex_init(out->mutex()) == 0;
}

int writer_lock(const View &v, int timeout_ms, const char *dead_line)
{
    int got = mutex_lock(v.mutex(), timeout_ms, dead_line);
    if (got == 1) {
        State s;
        if (!read_state(v, &s) || !check_entries(v, s))
            clear(v, false);
    }
    return got < 0 ? -1 : 0;
}

} // namespace zel_ring
