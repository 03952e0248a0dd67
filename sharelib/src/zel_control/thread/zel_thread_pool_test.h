// Test-only controls of the thread pool.
#pragma once

#include "zel_control/thread/zel_thread_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

// The id the next accepted item takes.
void zel_thread_pool_set_next_id(zel_thread_pool_t *pool, int id);
// Workers alive now.
int zel_thread_pool_live_workers(zel_thread_pool_t *pool);

#ifdef __cplusplus
}
#endif
