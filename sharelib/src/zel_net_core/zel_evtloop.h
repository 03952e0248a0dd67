// The event loop: a thread that watches descriptors through a poller and calls a callback per ready
// descriptor, on its own thread or as work items of a thread pool. While a descriptor's callback
// runs, the descriptor is not dispatched again; removing it (also from its own callback) frees its
// entry only after the callback has returned.
#pragma once

#include "zel_control/thread/zel_thread_pool.h"
#include "zel_net_core/zel_poller.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_evtloop zel_evtloop_t;
typedef struct zel_evtloop_ops zel_evtloop_ops_t;

// events: ZEL_POLL_READ, ZEL_POLL_WRITE, ZEL_POLL_ERROR, or ZEL_POLL_RELEASED once when the loop is
// released.
typedef void (*zel_evtloop_fn)(zel_evtloop_ops_t *loop, int fd, int events, void *user_data);

struct zel_evtloop_ops {
    zel_evtloop_t *loop;
    // Stops the loop, waits for callbacks on the pool, calls every entry's callback once with
    // ZEL_POLL_RELEASED, frees everything including this record.
    void (*release)(zel_evtloop_ops_t *ops);
    // 0; -2 for a null callback or a descriptor the poller cannot take; -10 when the descriptor is
    // watched already; -3 without memory; -1 when the poller refuses.
    int (*add)(zel_evtloop_ops_t *ops, int fd, int events, zel_evtloop_fn callback, void *user_data);
    // 0, or -4 when the descriptor is not watched.
    int (*remove)(zel_evtloop_ops_t *ops, int fd);
    // 0, -10 when running, -1 when the thread cannot be created.
    int (*start)(zel_evtloop_ops_t *ops);
    // Clears the running flag and joins the thread (from a callback on the loop thread: only clears).
    void (*stop)(zel_evtloop_ops_t *ops);
    // Waits until the thread has ended.
    void (*join)(zel_evtloop_ops_t *ops);
    void (*set_pool)(zel_evtloop_ops_t *ops, zel_thread_pool_t *pool);
};

// "select" (any case) gives the select poller; anything else or null the epoll poller with room for
// 1024 events per wait. Null without memory.
zel_evtloop_ops_t *zel_evtloop_factory(const char *kind);

#ifdef __cplusplus
}
#endif
