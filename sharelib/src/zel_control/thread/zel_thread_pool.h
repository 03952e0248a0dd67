// The thread pool: work items queued in arrival order and run by workers that grow from a minimum
// (permanent workers) up to a maximum (temporary workers, started while the queue holds at least the
// growth threshold and leaving when it falls below it). Idle workers leave after the idle-release
// time. All functions may be called from any thread, and all but release from inside a work
// function.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_thread_pool zel_thread_pool_t;

typedef void *(*zel_work_fn)(void *first, void *second);
typedef void (*zel_work_done_fn)(void *result, void *second);

// A pool; null when max < min, max is 0 or memory runs out. No worker is started yet.
zel_thread_pool_t *zel_thread_pool_create(uint16_t min, uint16_t max, int threshold, int queue_limit);
// Queues fn(first, second), then done(result, second) when done is given. Returns the work id (from 0
// upwards, back to 0 after INT_MAX), -2 for a null pool or function, -21 when the queue already holds
// queue_limit items, -1 when the pool is being released.
int zel_thread_pool_add_work(zel_thread_pool_t *pool, zel_work_fn fn, void *first, void *second,
                             zel_work_done_fn done);
// Removes the first queued item with that id, if any; a running item is not touched. 0, or -2 for null.
int zel_thread_pool_cancel_work(zel_thread_pool_t *pool, int id);
// How long an idle worker stays (default 120 s).
void zel_thread_pool_set_idle_release(zel_thread_pool_t *pool, int64_t microseconds);
// Stops the pool: waits until every worker has finished its item and left, frees the queued items
// without running them, then the pool.
void zel_thread_pool_release(zel_thread_pool_t *pool);

#ifdef __cplusplus
}
#endif
