// The native lock objects inside a ring block: robust, process-shared, error-checking mutexes and a
// process-shared condition on the monotonic clock. A holder that died is reported with the caller's
// line and the mutex is made consistent, so service goes on.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "zel_ring_layout.h"

namespace zel_ring {

// How long a producer waits for a reader holding the ring lock before it refuses the frame.
constexpr int kProducerWaitMs = 5;

int mutex_init(pthread_mutex_t *mutex);
int cond_init(pthread_cond_t *cond);
// 0 taken; 1 taken from a holder that died (the state it guards must be checked again); -1 not
// taken within timeout_ms (negative: waits without limit).
int mutex_lock(pthread_mutex_t *mutex, int timeout_ms, const char *dead_line);
void mutex_unlock(pthread_mutex_t *mutex);
// A whole-file record lock taken by polling F_SETLK: 0, or -1 after timeout_ms.
int record_lock(int fd, bool exclusive, int timeout_ms);
void record_unlock(int fd);

// Formats a block and its ring mutex for a producer ("data size insufficient" when no data area
// remains); the pre-record buffer adds its own objects.
bool create(void *block, int size, int capacity, Kind kind, View *out);
// The producer's lock on the ring mutex: a ring whose last holder died is checked again and emptied
// when that holder left it half written. 0, or -1 when not taken within timeout_ms.
int writer_lock(const View &v, int timeout_ms, const char *dead_line);

} // namespace zel_ring
