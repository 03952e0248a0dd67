// The key-based rendezvous (`zel_sync`): one thread waits on a key with a context value, another
// wakes it by the key. A wake that comes before the waiter has begun to sleep still counts.
#pragma once

#include "zel_control/container/zel_dict.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_sync zel_sync_t;

// Keys are pointers to 32-bit integers.
zel_sync_t *zel_sync_create(void);
// Keys of the caller's kind, with its dictionary key operations.
zel_sync_t *zel_sync_create_ex(int capacity, zel_dict_hash_fn hash, zel_dict_compare_fn compare,
                               zel_dict_duplicate_fn duplicate, zel_dict_release_fn release);
// 0 when woken by zel_sync_set, -8 on time-out, -50 when the key already has a waiter, -3 when no
// waiter record can be had, -2 for null arguments, -1 when the rendezvous is released meanwhile.
int zel_sync_wait(zel_sync_t *sync, const void *key, int value, int timeout_ms);
// The context value of the key's waiter, or 0.
int zel_sync_get_ctx(zel_sync_t *sync, const void *key);
// Wakes the key's waiter: 0, -4 when nobody waits on the key, -2 for null arguments.
int zel_sync_set(zel_sync_t *sync, const void *key);
// Wakes every waiter (their waits give -1), waits until they have left, then frees everything.
void zel_sync_release(zel_sync_t *sync);

#ifdef __cplusplus
}
#endif
