// The thread-liveness registry: long-running SDK threads report themselves here, and the watchdog
// asks it for a watched thread that has been silent longer than its limit.
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { THREAD_ALIVE_RUNNING = 0, THREAD_ALIVE_WAITING = 1, THREAD_ALIVE_LEAVING = 2 };
enum { THREAD_ALIVE_DEFAULT_LIMIT_S = 60 };

typedef struct thread_alive_info {
    pthread_t tid;
    char name[16];
} thread_alive_info;

// Called by a thread about itself: state THREAD_ALIVE_*, limit in seconds (0 = 60; the first call's
// limit stays).
void thread_alive_update_status(int state, unsigned limit_s);
// 1 and the first overdue watched thread, 0 when none is overdue, -1 without `out`.
int thread_alive_check(thread_alive_info *out);

#ifdef __cplusplus
}
#endif
