// Thin wrappers over process-private POSIX unnamed semaphores, each in a block of its own. Timed
// waits run on the monotonic clock.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct semaphore semaphore_t;

// A semaphore holding `value`, or null.
semaphore_t *semaphore_init(unsigned value);
// 0, an errno value, or -2 for null.
int semaphore_post(semaphore_t *sem);
// ms = -1 waits without limit; any other value waits at most ms milliseconds (0: only takes a count
// that is there). 0, ETIMEDOUT on time-out, another errno value, or -2 for null. A signal does not
// end the wait.
int semaphore_wait(semaphore_t *sem, int ms);
void semaphore_destory(semaphore_t *sem);

#ifdef __cplusplus
}
#endif
