// The shared-buffer libraries: a broadcaster publishes frames to every process connected to its
// endpoint, and a receiver in another process takes them and can send short messages back. One unix
// stream socket per endpoint; libev watchers on the caller's loop. Paths are real paths: callers map
// device paths ("/run/...") with zel_path first.
//
// Wire format, both directions: a 16-byte little-endian header {u32 length, u32 flags, u64 time
// stamp in ms} followed by `length` bytes. Flags: bit 0 key frame, bit 1 event record.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ev_loop;

enum { SHBF_WIRE_HEADER = 16, SHBF_FLAG_KEY = 1, SHBF_FLAG_EVENT = 2 };
enum { SHBF_MAX_FRAME = 0x80000, SHBF_MAX_MESSAGE = 0x10000 };

// A frame: the record and its bytes in one allocation, freed with shbf_free.
typedef struct shbf_frame {
    uint8_t *data;
    uint32_t length;
    int32_t key;        // 1 for a key frame
    uint64_t timestamp; // ms
    uint32_t flags;     // the wire flags
} shbf_frame_t;

// A frame with room for `size` bytes (length = size), or null.
shbf_frame_t *shbf_frame_alloc(uint32_t size);
void shbf_free(void *frame);

void shbf_wire_put_header(uint8_t *out, uint32_t length, uint32_t flags, uint64_t timestamp);
void shbf_wire_get_header(const uint8_t *in, uint32_t *length, uint32_t *flags, uint64_t *timestamp);

// Broadcaster. Events: 1 closed (the endpoint failed), 2 new receiver, 3 receiver closed,
// 4 receiver error (err: an errno value; EAGAIN when a slow receiver lost whole frames),
// 5 message (data, len). Callbacks run on the loop thread.
enum { SHBF_BRD_CLOSED = 1, SHBF_BRD_NEW_RECEIVER = 2, SHBF_BRD_RECEIVER_CLOSED = 3, SHBF_BRD_RECEIVER_ERROR = 4,
       SHBF_BRD_MESSAGE = 5 };
typedef struct shbfev_brd shbfev_brd_t;
typedef int (*shbfev_brd_cb)(shbfev_brd_t *brd, int event, int receiver, int err, const void *data, int len,
                             void *user);
shbfev_brd_t *shbfev_brd_create(const char *path);
int shbfev_brd_event(shbfev_brd_t *brd, int event, shbfev_brd_cb callback, void *user);
// Listens on the loop (from the loop's thread or before it runs): 0 or a negative errno.
int shbfev_brd_start(struct ev_loop *loop, shbfev_brd_t *brd);
// A frame owned by the library for `size` bytes; fill data, length (<= size), key and timestamp.
void *shbfev_brd_alloc(shbfev_brd_t *brd, int size);
// From any thread: 0, the frame then belongs to the library; negative, it stays the caller's. Never
// waits on a receiver: one that cannot keep up loses whole frames.
int shbfev_brd_broadcast(shbfev_brd_t *brd, void *frame);
int shbfev_brd_receivers(shbfev_brd_t *brd);
// On the loop's thread: closes every link and removes the endpoint.
void shbfev_brd_destroy(shbfev_brd_t *brd);

// Receiver. Events: 0 connected, 1 closed (retried each second), 2 data frame, 3 event record. A data
// or event callback takes the frame and frees it with shbf_free.
enum { SHBF_RCV_START = 0, SHBF_RCV_CLOSE = 1, SHBF_RCV_DATA = 2, SHBF_RCV_EVENT = 3 };
typedef struct shbfev_rcv shbfev_rcv_t;
typedef void (*shbfev_rcv_cb)(shbfev_rcv_t *rcv, int event, shbf_frame_t *frame, void *user);
int shbf_rcv_global_init(void);
void shbf_rcv_global_exit(void);
shbfev_rcv_t *shbfev_rcv_create(struct ev_loop *loop, const char *path);
int shbfev_rcv_event(shbfev_rcv_t *rcv, int event, shbfev_rcv_cb callback, void *user);
int shbfev_rcv_start(shbfev_rcv_t *rcv);
// From any thread: 0 when the whole message was sent, else -1.
int shbfev_rcv_send_message(shbfev_rcv_t *rcv, const void *message, int len);
// Frames longer than `size` (default SHBF_MAX_FRAME) are never allocated: the link closes.
int shbf_set_size(shbfev_rcv_t *rcv, int size);
void shbfev_rcv_destroy(shbfev_rcv_t *rcv);

#ifdef __cplusplus
}
#endif
