// Dispatch objects: a callback run on a thread of the object's own, as the consumer of a fixed
// queue of items (kind 1), as a periodic timer (kind 2) or once; and groups that start and stop
// their members together. Their messages are written to standard output.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_dispatch zel_dispatch_t;
typedef struct zel_dispatch_group zel_dispatch_group_t;

enum { DISPATCH_KIND_NONE = 0, DISPATCH_KIND_QUEUE = 1, DISPATCH_KIND_TIMER = 2 };

// The callback: a queue item, or null for timer and thread runs.
typedef int (*zel_dispatch_fn)(void *item, void *user_data);

zel_dispatch_t *dispatch_create(zel_dispatch_fn callback, void *user_data);
// Kind 0 with a new callback and user data (an idle object only).
void dispatch_reset_params(zel_dispatch_t *object, zel_dispatch_fn callback, void *user_data);
// Stops what runs (queue, timer, thread), then frees the object.
void dispatch_release(zel_dispatch_t *object);

// Queue consumer with a fixed ring of `capacity` items: 0, -2, -10 (a thread exists), -3, -9.
int dispatch_queue_start(zel_dispatch_t *object, int capacity);
// Appends an item (never read by the queue, only handed to the callback): 0, -21 when full, -2 for a
// null object or item or a queue that is not running.
int dispatch_queue_putq(zel_dispatch_t *object, void *item);
int dispatch_queue_len(zel_dispatch_t *object);
int getq_len(zel_dispatch_t *object);
// Takes the oldest item (which the consumer then does not see), or null.
void *getq(zel_dispatch_t *object);
// Handles every item queued so far, then ends the thread and frees the ring: 0, -2 for null.
int dispatch_queue_stop(zel_dispatch_t *object);

// Timer: the callback after every interval without a post, at once on fire and resume.
int dispatch_timer_start(zel_dispatch_t *object, int interval_ms);
int dispatch_timer_stop(zel_dispatch_t *object);
int dispatch_timer_fire(zel_dispatch_t *object);
int dispatch_timer_pause(zel_dispatch_t *object);
int dispatch_timer_resume(zel_dispatch_t *object);

// callback(null, user data) once on a new thread; async returns 0 at once, sync returns the result.
int dispatch_thread_async(zel_dispatch_t *object);
int dispatch_thread_sync(zel_dispatch_t *object);
// Runs the object's callback on `queue`'s thread, in order with its other items, and returns its
// result: -10 when the object has a thread, -3 or -9 when the request cannot be made, the queue's
// refusal when it does not take the request.
int dispatch_thread_sync_in_queue(zel_dispatch_t *object, zel_dispatch_t *queue);
// The result of the last callback run.
int dispatch_get_result(zel_dispatch_t *object);

zel_dispatch_group_t *dispatch_group_create(void);
// Frees the group (not its members): 0, -2 for null.
int dispatch_group_release(zel_dispatch_group_t *group);
// 0, -2 for null, -21 when the group holds 64 objects.
int dispatch_group_enter(zel_dispatch_group_t *group, zel_dispatch_t *object);
// Removes the object from the group: 0, -2 for null, -4 when it is not a member.
int dispatch_group_leave(zel_dispatch_group_t *group, zel_dispatch_t *object);
int dispatch_group_start(zel_dispatch_group_t *group);
int dispatch_group_stop(zel_dispatch_group_t *group);
int dispatch_group_element_matcher(const void *a, const void *b);

#ifdef __cplusplus
}
#endif
