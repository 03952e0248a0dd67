// Command push and pull queues (`zel_control`): pairs of integers carried to a push handler and a
// pull handler, each on the thread of its own dispatch queue (room for 15 waiting messages), and a
// stream handler called at once in the caller's thread.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*zel_control_fn)(int a, int b);

typedef struct zel_control zel_control_t;

enum { ZEL_CMD_PULL = 0, ZEL_CMD_PUSH = 1, ZEL_CMD_STREAM = 2 };
enum { ZEL_CONTROL_QUEUE_CAPACITY = 15 };

// Both queues started, or null (every handler is required).
zel_control_t *zel_control_init(zel_control_fn pull_handler, zel_control_fn push_handler, zel_control_fn stream_handler);
// Type 1: queue (a, b) for the push handler: 0, or -1 when the queue is full, memory runs out or
// there is no control record. Type 2: stream_handler(a, b) now, when b is not 0: 0. Other types: 0.
int zel_cmd_push(zel_control_t *control, int type, int a, int b);
// Type 0: queue (a, b) for the pull handler, as push type 1. Other types: 0.
int zel_cmd_pull(zel_control_t *control, int type, int a, int b);
// Handles what is queued, stops both queues and frees the record: 0, or -1 for null.
int zel_control_uninit(zel_control_t *control);

#ifdef __cplusplus
}
#endif
