// The "nas_ev" thread and its default libev loop, and the hand-over through which every other thread
// reaches that loop: libev is not thread-safe, so other threads never call it themselves but post a
// call into a locked, bounded queue that the loop runs in posting order through one ev_async.
#pragma once

struct ev_loop;

#ifdef __cplusplus
extern "C" {
#endif

// A call run on "nas_ev" with the default loop.
typedef void (*ko_nas_ev_fn)(struct ev_loop *loop, void *arg);

enum { KO_NAS_EV_QUEUE_MAX = 256 };

// Starts "nas_ev" (joinable) running the default loop, kept alive by a 1-second guard timer.
// 0, or -1 when it runs already or the thread cannot be started.
int ko_nas_ev_start(void);
// Runs `before_break` (may be NULL) on the loop, breaks the loop there, joins "nas_ev" and destroys
// the loop; calls still queued are dropped (and a waiting ko_nas_ev_call returns). 0, or -1 when the loop is not running.
int ko_nas_ev_stop(ko_nas_ev_fn before_break, void *arg);
// Queues fn(loop, arg) for "nas_ev". Calls posted before the loop runs (also before it is started)
// wait for it. 0, or -1 when the queue is full or the loop is being stopped (logged).
int ko_nas_ev_post(ko_nas_ev_fn fn, void *arg);
// Posts fn and waits until it has run; on "nas_ev" itself it runs at once. 0, or -1 as for a post,
// or when the loop stopped before running it.
int ko_nas_ev_call(ko_nas_ev_fn fn, void *arg);
// 1 on the "nas_ev" thread, else 0.
int ko_nas_ev_on_loop(void);
// 1 from the moment the loop takes posted calls until it ends, else 0. A caller that holds what its
// queued calls take (its own lock) and sees 0 knows that none of its calls has run on the loop since
// it last ended.
int ko_nas_ev_running(void);

#ifdef __cplusplus
}
#endif
