// Semaphores. sem_clockwait on CLOCK_MONOTONIC: a wall-clock step must not cut a wait short or
// stretch it.
#include "zel_control/thread/zel_semaphore.h"

#include <errno.h>
#include <semaphore.h>
#include <time.h>

#include <cstdlib>

#include "zel_control/utils/zel_error.h"

struct semaphore {
    sem_t sem;
};

extern "C" {

semaphore_t *semaphore_init(unsigned value)
{
    auto *s = static_cast<semaphore_t *>(std::malloc(sizeof(semaphore_t)));
    if (!s)
        return nullptr;
    if (sem_init(&s->sem, 0, value) != 0) {
        std::free(s);
        return nullptr;
    }
    return s;
}

int semaphore_post(semaphore_t *sem)
{
    if (!sem)
        return ZEL_EINVAL;
    return sem_post(&sem->sem) == 0 ? 0 : errno;
}

int semaphore_wait(semaphore_t *sem, int ms)
{
    if (!sem)
        return ZEL_EINVAL;
    if (ms == -1) {
        while (sem_wait(&sem->sem) != 0) {
            if (errno != EINTR)
                return errno;
        }
        return 0;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long wait = ms < 0 ? 0 : ms;
    deadline.tv_sec += static_cast<time_t>(wait / 1000);
    deadline.tv_nsec += static_cast<long>(wait % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(&sem->sem, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

void semaphore_destory(semaphore_t *sem)
{
    if (!sem)
        return;
    sem_destroy(&sem->sem);
    std::free(sem);
}

} // extern "C"
