// Frame rings that one producer fills and any number of consumers read: the shared frame ring
// ("SHAREBUF", in a shared-memory file or a caller's block, read across processes) and the
// pre-record buffer ("PREBUFF", in caller memory, read inside one process). The producer never waits
// on consumers: it drops the oldest frames for room, and waits at most a few milliseconds for a
// reader holding the lock. Consumers are called from a thread per client, outside the ring lock, in
// sequence order. Errors go to stderr.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_SHAREBUF_KEY_FRAME = 0 };

// Producer of a shared frame ring.
typedef struct zel_sharebuf zel_sharebuf_t;
// Formats `block` (size bytes) for `capacity` entries; null when no data area remains.
zel_sharebuf_t *zel_sharebuf_create(void *block, int size, int capacity);
// Adopts the ring in "/tmp/<name>" when the file holds a sound one of this size, else refuses it
// (leaving the file as it is); creates and formats the file when there is none.
zel_sharebuf_t *zel_sharebuf_create_ex(const char *name, int size, int capacity);
// Removes the file when the ring was made or adopted by name; frees the handle.
void zel_sharebuf_release(zel_sharebuf_t *ring);
// 0: the header mutex (default); non-zero: the process write lock on the ring's file (named rings).
int zel_sharebuf_set_lock_type(zel_sharebuf_t *ring, int type);
// 0; -22 when the frame can never fit in the data area; -11 when a reader held the lock too long.
int zel_sharebuf_enqueue(zel_sharebuf_t *ring, uint32_t frame_type, uint64_t time_ms, const void *header,
                         uint32_t header_len, const void *payload, uint32_t payload_len);
// Frames refused with -11 so far.
unsigned zel_sharebuf_lock_refusals(const zel_sharebuf_t *ring);
// The formatted block.
void *zel_sharebuf_block(const zel_sharebuf_t *ring);

typedef void (*zel_sharebuf_frame_cb)(uint64_t time_ms, uint32_t frame_type, const uint8_t *header,
                                      uint32_t header_len, const uint8_t *payload, uint32_t payload_len,
                                      void *user);
// Non-zero skips the frame.
typedef int (*zel_sharebuf_cond_cb)(const uint8_t *header, uint32_t header_len, void *arg);
typedef void (*zel_sharebuf_free_fn)(void *arg);

// Consumer side of a shared frame ring.
typedef struct zel_sharebuf_cli zel_sharebuf_cli_t;
zel_sharebuf_cli_t *zel_sharebuf_cli_create(void *block);
zel_sharebuf_cli_t *zel_sharebuf_cli_create_ex(const char *name);
int zel_sharebuf_cli_start(zel_sharebuf_cli_t *client);
int zel_sharebuf_cli_stop(zel_sharebuf_cli_t *client);
void zel_sharebuf_cli_release(zel_sharebuf_cli_t *client);
// From the key frame nearest to time_ms (newest at or before it, else the oldest after it).
int zel_sharebuf_cli_register(zel_sharebuf_cli_t *client, uint64_t time_ms, zel_sharebuf_frame_cb callback,
                              void *user);
// The same from the newest frame's time - seconds.
int zel_sharebuf_cli_register_relative(zel_sharebuf_cli_t *client, int seconds, zel_sharebuf_frame_cb callback,
                                       void *user);
// Every held frame from its start (the next frame written when from_newest, else the oldest) that the
// condition accepts, on every pass; a "once" consumer is removed after its first frame.
int zel_sharebuf_cli_register_cond(zel_sharebuf_cli_t *client, zel_sharebuf_cond_cb condition, void *cond_arg,
                                   zel_sharebuf_frame_cb callback, void *user, int once,
                                   zel_sharebuf_free_fn free_arg, int from_newest);
// Marks the consumer of `user` removed (freed on the next pass).
int zel_sharebuf_cli_unregister(zel_sharebuf_cli_t *client, void *user);
// Removes and frees it now, after a callback that is running returns; inside a callback it marks.
int zel_sharebuf_cli_unregister_sync(zel_sharebuf_cli_t *client, void *user);
int zel_sharebuf_cli_set_interval(zel_sharebuf_cli_t *client, int ms);
// 0: header mutex; non-zero: process read lock on the file (named rings; otherwise no lock).
int zel_sharebuf_cli_set_lock_type(zel_sharebuf_cli_t *client, int type);

// Pre-record buffer: the producer.
typedef struct zel_prebuf zel_prebuf_t;
zel_prebuf_t *zel_prebuf_create(void *block, int size, int capacity);
void zel_prebuf_release(zel_prebuf_t *buffer);
int zel_prebuf_clean(zel_prebuf_t *buffer);
// media_kind: non-zero video, 0 audio. 0, -22 or -11 as zel_sharebuf_enqueue.
int zel_prebuf_enqueue(zel_prebuf_t *buffer, uint64_t time_ms, int media_kind, int frame_type, const void *header,
                       uint32_t header_len, const void *payload, uint32_t payload_len);
void *zel_prebuf_block(const zel_prebuf_t *buffer);

typedef void (*zel_prebuf_video_cb)(uint64_t time_ms, uint32_t frame_type, const uint8_t *header,
                                    uint32_t header_len, const uint8_t *payload, uint32_t payload_len, void *user);
typedef void (*zel_prebuf_audio_cb)(uint64_t time_ms, const uint8_t *header, uint32_t header_len,
                                    const uint8_t *payload, uint32_t payload_len, void *user);

// Pre-record buffer: a client, whose thread starts at once and sleeps until a frame is written.
typedef struct zel_prebuf_cli zel_prebuf_cli_t;
zel_prebuf_cli_t *zel_prebuf_cli_create(void *block);
void zel_prebuf_cli_release(zel_prebuf_cli_t *client);
int zel_prebuf_cli_register(zel_prebuf_cli_t *client, int frames_per_pass, uint64_t time_ms,
                            zel_prebuf_video_cb video, zel_prebuf_audio_cb audio, void *user);
int zel_prebuf_cli_register_relative(zel_prebuf_cli_t *client, int frames_per_pass, int seconds,
                                     zel_prebuf_video_cb video, zel_prebuf_audio_cb audio, void *user);
int zel_prebuf_cli_unregister(zel_prebuf_cli_t *client, void *user);

#ifdef __cplusplus
}
#endif
